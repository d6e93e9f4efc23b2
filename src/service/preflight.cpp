// orlocard --check: the registry store, the settings file, the database
// connection, the SQLite clock functions and the loops' serial ports, each
// tried the way the service would, each problem told in one line.
#include "service/preflight.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "config/connparams.h"
#include "config/inifile.h"
#include "config/registryex.h"
#include "db/odbc.h"
#include "log/messlog.h"
#include "platform/format.h"
#include "platform/ping.h"
#include "platform/program.h"
#include "platform/registrystore.h"
#include "platform/serialport.h"
#include "platform/text.h"
#include "service/jobs.h"

namespace orlo {

namespace {

namespace fs = std::filesystem;

// The connection supervisor's ping: 700 ms per try, up to three tries while
// no answer comes, and no ping of a host name shorter than any dotted address.
constexpr int kPingTimeoutMs = 700;
constexpr int kPingTries = 3;
constexpr std::size_t kShortestPingHost = 7;
// The line speed the loops open their ports at.
constexpr int kLoopBaud = 9600;

class TCheckReport {
 public:
  TCheckReport(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}
  void Ok(const std::string& line) { out_ << line << "\n"; }
  void Problem(const std::string& line) {
    out_.flush();  // the lines in the order they were found, also on one terminal
    err_ << "orlocard --check: " << line << "\n";
    ++problems_;
  }
  int Problems() const { return problems_; }

 private:
  std::ostream& out_;
  std::ostream& err_;
  int problems_ = 0;
};

// One diagnostic record of the driver, as the ODBC layer logs it
// ("<message>. State:  <SQLSTATE>").
struct TDiagnostic {
  std::string message;
  std::string state;
};

// The ODBC layer reports the driver's diagnostics to a message log. The check
// gives it a log of its own in a temporary folder (removed at the end) and
// reads the diagnostics back from there.
class TDiagnostics {
 public:
  TDiagnostics() {
    std::string pattern = (fs::temp_directory_path(ec_) / "orlocard-check.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;  // no diagnostics, the rest still works
    dir_ = pattern;
    log_ = std::make_unique<TMessLog>(dir_ + "/check.log", /*deleteOld=*/false, /*daily=*/false,
                                      /*byDayOfMonth=*/false, /*noStartHeader=*/true);
  }
  ~TDiagnostics() {
    log_.reset();
    if (!dir_.empty()) fs::remove_all(dir_, ec_);
  }
  TDiagnostics(const TDiagnostics&) = delete;
  TDiagnostics& operator=(const TDiagnostics&) = delete;

  TMessLog* Log() const { return log_.get(); }

  // The diagnostics logged since the last call; other lines (SQL texts) are
  // passed over.
  std::vector<TDiagnostic> Take() {
    std::vector<TDiagnostic> found;
    if (!log_) return found;
    std::ifstream in(log_->CurrentFileName(), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(readTo_));
    std::string line;
    while (std::getline(in, line)) {
      readTo_ += line.size() + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (auto d = Parse(line)) found.push_back(*d);
    }
    return found;
  }

 private:
  static std::optional<TDiagnostic> Parse(const std::string& line) {
    static const std::string kStamp = " - ", kState = ". State:  ";
    const std::size_t text = line.find(kStamp);
    const std::size_t state = line.rfind(kState);
    if (text == std::string::npos || state == std::string::npos || state < text) return {};
    return TDiagnostic{line.substr(text + kStamp.size(), state - text - kStamp.size()),
                       line.substr(state + kState.size())};
  }

  std::error_code ec_;
  std::string dir_;
  std::unique_ptr<TMessLog> log_;
  std::size_t readTo_ = 0;
};

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string SystemError(int err) { return std::strerror(err); }

bool ContainsNoCase(const std::string& text, const std::string& lowerPart) {
  return LowerCase(text).find(lowerPart) != std::string::npos;
}

bool IsSQLiteSite(const TConnParams& p) {
  return p.DSNName.empty() && ContainsNoCase(p.ODBCDriver, "sqlite");
}

// Where the connection goes, in the words of the registry values.
std::string Destination(const TConnParams& p) {
  if (!p.DSNName.empty()) return "ODBC data source " + Quoted(p.DSNName);
  if (IsSQLiteSite(p)) return "SQLite database " + p.Database;
  return "database " + Quoted(p.Database) + (p.Host.empty() ? "" : " on " + p.Host) + " as " +
         p.User + " with ODBC driver " + Quoted(p.ODBCDriver);
}

// ---- registry store and settings file ----

bool CheckRegistryStore(const std::string& file, TCheckReport& report) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    const int err = errno;
    report.Problem("registry store " + file +
                   (err == ENOENT ? " does not exist (give it with --registry FILE)"
                                  : " cannot be read: " + SystemError(err)));
    return false;
  }
  const TRegistryStore store = TRegistryStore::Load(file);
  if (!store.ReadError().empty()) {
    report.Problem("registry store " + file + " cannot be read: " + store.ReadError());
    return false;
  }
  report.Ok("registry store " + file + ": read");
  for (const std::string& skipped : store.Problems())
    report.Ok("  note: skipped " + skipped + " (the service skips it too)");
  if (!store.KeyExists("\\Software\\Quenlor\\Orlo\\"))
    report.Ok(
        "  note: no key [HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Orlo]: every connection "
        "value takes its default");
  return true;
}

bool CheckSettingsFile(TCheckReport& report) {
  const std::string home = HomeFolder();
  std::error_code ec;
  if (!fs::is_directory(home, ec)) {
    report.Problem("home folder " + home + " does not exist (give it with --home DIR)");
    return false;
  }
  const std::string file = SettingsFileName();
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 && errno == ENOENT) {
    report.Ok("settings file " + file +
              ": absent (the service writes it with the defaults at its first start)");
    return true;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in || fs::is_directory(file, ec)) {
    report.Problem("settings file " + file +
                   " cannot be read: " + (in ? std::string("it is a folder") : SystemError(errno)));
    return false;
  }
  report.Ok("settings file " + file + ": read");
  return true;
}

// ---- database ----

bool CheckPing(const std::string& host, TCheckReport& report) {
  if (host.size() < kShortestPingHost) return true;
  TPingResult result;
  for (int i = 0; i < kPingTries; ++i) {
    result = IcmpEcho(host, kPingTimeoutMs);
    if (result.outcome != TPingOutcome::NoAnswer) break;
  }
  if (result.outcome == TPingOutcome::Reply) {
    report.Ok("database host " + host + ": answers ping");
    return true;
  }
  report.Problem("database host " + host + " does not answer ping" +
                 (result.message.empty() ? "" : " (" + result.message + ")") +
                 "; the service connects only to a host that answers");
  return false;
}

// unixODBC's diagnostic for a driver library it cannot load: "... Can't open
// lib 'LIB' : REASON". A driver name that is not registered is taken for a
// library file of that name. False for any other diagnostic.
bool CannotOpenLibrary(const std::string& message, std::string& library, std::string& reason) {
  static const std::string kCantOpen = "Can't open lib '";
  const std::size_t start = message.find(kCantOpen);
  if (start == std::string::npos) return false;
  const std::size_t from = start + kCantOpen.size();
  const std::size_t end = message.find('\'', from);
  if (end == std::string::npos) return false;
  library = message.substr(from, end - from);
  const std::size_t colon = message.find(':', end);
  reason =
      colon == std::string::npos ? "" : message.substr(message.find_first_not_of(' ', colon + 1));
  return true;
}

std::string ConnectProblem(const TConnParams& p, const std::vector<TDiagnostic>& diags) {
  const std::string driver = "ODBC driver " + Quoted(p.ODBCDriver);
  for (const TDiagnostic& d : diags) {
    std::string library, reason;
    if (p.DSNName.empty() && CannotOpenLibrary(d.message, library, reason))
      return library == p.ODBCDriver
                 ? driver +
                       " is not registered with unixODBC (registry value ODBCDriver; "
                       "odbcinst -q -d lists the registered drivers)"
                 : driver + " is registered with unixODBC, but its library " + library +
                       " cannot be loaded: " + reason;
    // IM002: the driver manager knows no such data source.
    if (d.state == "IM002" && !p.DSNName.empty())
      return "ODBC data source " + Quoted(p.DSNName) +
             " is not defined (registry value DSNName; odbcinst -q -s lists them)";
  }
  std::string why = "the driver gave no reason";
  if (!diags.empty()) why = diags.front().message + " (SQLSTATE " + diags.front().state + ")";
  return "cannot connect to the " + Destination(p) + ": " + why;
}

bool WritableForService(const std::string& what, const std::string& path, int mode,
                        TCheckReport& report) {
  if (::access(path.c_str(), mode) == 0) return true;
  const int err = errno;
  report.Problem("SQLite database " + what + " " + Quoted(path) +
                 " is not writable for this user (" + SystemError(err) +
                 "); the service user must be able to write it");
  return false;
}

// The SQLite driver would make a new empty file for a missing one, and opens
// one it may not write read-only: the service's first write would fail. SQLite
// keeps its journal beside the file, so the folder must be writable too. (A
// database copied in by root is the usual case: run the check as the service
// user.)
bool CheckSQLiteFile(const std::string& file, TCheckReport& report) {
  std::error_code ec;
  if (!fs::exists(file, ec)) {
    report.Problem("SQLite database file " + Quoted(file) +
                   " does not exist (registry value Database)");
    return false;
  }
  const std::string folder = fs::absolute(file, ec).parent_path().string();
  return WritableForService("file", file, R_OK | W_OK, report) &&
         WritableForService("folder", folder, W_OK | X_OK, report);
}

bool Connect(TODBC& db, const TConnParams& p, TDiagnostics& diags, TCheckReport& report) {
  if (!db.Bound()) {
    report.Problem(
        "the ODBC driver manager libodbc.so.2 cannot be loaded (Debian package libodbc2)");
    return false;
  }
  if (IsSQLiteSite(p) && !CheckSQLiteFile(p.Database, report)) return false;
  db.SetLog(diags.Log());
  db.SetReportErrors(true);
  db.SetBindColumns(true);
  if (!db.ConnectToDataSource(p.DSNName, p.User, p.Pass, p.Database, p.ODBCDriver,
                              p.ConnectOptions())) {
    report.Problem(ConnectProblem(p, diags.Take()));
    return false;
  }
  report.Ok("connected to the " + Destination(p));
  return true;
}

// The paths of LoadExt= (any letter case) in the connection options; the
// SQLite driver separates several by commas.
std::vector<std::string> LoadExtPaths(const std::string& options) {
  std::vector<std::string> paths;
  std::istringstream attributes(options);
  std::string attribute;
  while (std::getline(attributes, attribute, ';')) {
    const std::size_t eq = attribute.find('=');
    if (eq == std::string::npos || LowerCase(attribute.substr(0, eq)) != "loadext") continue;
    std::string value = attribute.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '{' && value.back() == '}')
      value = value.substr(1, value.size() - 2);
    std::istringstream list(value);
    for (std::string path; std::getline(list, path, ',');)
      if (!path.empty()) paths.push_back(path);
  }
  return paths;
}

// Why {fn now()} is missing on a SQLite site: the function extension.
std::string ExtensionProblem(const TConnParams& p, const std::string& why) {
  const std::vector<std::string> paths = LoadExtPaths(p.ConnectOptions());
  if (paths.empty())
    return "SELECT {fn now()} fails (" + why +
           "): registry value ODBCOptions has no LoadExt=" ORLO_SQLITEFN_INSTALLED;
  std::error_code ec;
  for (const std::string& path : paths)
    if (!fs::exists(path, ec))
      return "SQLite function extension " + path +
             " (LoadExt of registry value ODBCOptions) does not exist; orlocard's "
             "is " ORLO_SQLITEFN_INSTALLED;
  return "SELECT {fn now()} fails (" + why + "): the SQLite driver did not load " + paths.front() +
         " (LoadExt of registry value ODBCOptions)";
}

void CheckClockFunction(TODBC& db, const TConnParams& p, TDiagnostics& diags,
                        TCheckReport& report) {
  TODBCStatement q(db);
  if (q.ExecSQL("SELECT {fn now()} AS now_time")) {
    report.Ok("SELECT {fn now()}: " + q.FieldAsString("now_time"));
    return;
  }
  const std::vector<TDiagnostic> found = diags.Take();
  const std::string why = found.empty() ? "no reason given" : found.front().message;
  report.Problem(IsSQLiteSite(p) ? ExtensionProblem(p, why) : "SELECT {fn now()} fails: " + why);
}

// ---- loops and ports ----

// The device of port N: key COM<N> of section [Ports], else /dev/ttyS<N-1>
// (read without writing the default back, unlike the service).
std::string PortDevicePath(int port) {
  TIniFileEx ini(SettingsFileName());
  return ini.ReadString("Ports", Format("COM%d", port), Format("/dev/ttyS%d", port - 1));
}

void CheckLoop(TODBC& db, int id, TCheckReport& report) {
  TODBCStatement row(db);
  if (!row.ExecSQLFmt("SELECT * FROM " + db.QuoteTable("loop") + " WHERE id = %d", id)) {
    report.Problem(Format("loop %d cannot be read again", id));
    return;
  }
  const std::string name = Format("loop %d %s", id, Quoted(row.FieldAsString("name")));
  if (!row.FieldAsBoolean("enabled")) {
    report.Ok("  " + name + ": disabled (no port)");
    return;
  }
  const int port = row.FieldAsInteger("port");
  if (port <= 0) {
    report.Problem(name + ": port " + std::to_string(port) + " is no COM port number");
    return;
  }
  const std::string path = PortDevicePath(port);
  std::unique_ptr<TSerialPort> serial = MakeSerialPort();
  std::string error;
  if (!serial->Open(path, kLoopBaud, error)) {
    report.Problem(Format("%s: COM%d: %s", name, port, error));
    return;
  }
  serial->Close();
  report.Ok(Format("  %s: COM%d = %s, opened at %d baud", name, port, path, kLoopBaud));
}

void CheckLoops(TODBC& db, const std::string& registryFile, TCheckReport& report) {
  const std::string computer = LowerCase(ReadComputerName(registryFile));
  std::vector<int> own, shared;
  ReadLoopIds(db, computer, own, shared);
  if (own.empty() && shared.empty()) {
    report.Problem("no loop for this computer: no row of table loop is named " + Quoted(computer) +
                   " (the computer name in lower case) or \"POE/POF\"");
    return;
  }
  report.Ok(Format("computer name %s: %d loop(s) of its own, %d named POE/POF", Quoted(computer),
                   static_cast<int>(own.size()), static_cast<int>(shared.size())));
  for (int id : own) CheckLoop(db, id, report);
  for (int id : shared) CheckLoop(db, id, report);
}

}  // namespace

int RunPreflightCheck(std::ostream& out, std::ostream& err) {
  TCheckReport report(out, err);
  const std::string registry = RegistryFileName();
  const bool registryRead = CheckRegistryStore(registry, report);
  const bool settingsRead = CheckSettingsFile(report);
  if (registryRead && settingsRead) {
    const TConnParams params(registry);
    if (CheckPing(params.Host, report)) {
      TDiagnostics diags;
      TODBC db;
      if (Connect(db, params, diags, report)) {
        CheckClockFunction(db, params, diags, report);
        CheckLoops(db, registry, report);
        db.DisconnectFromDataSource();
      }
    }
  }
  if (report.Problems() > 0) return 1;
  report.Ok("no problem found");
  return 0;
}

}  // namespace orlo
