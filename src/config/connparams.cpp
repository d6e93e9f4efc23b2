#include "config/connparams.h"

#include <filesystem>

#include "config/registryex.h"
#include "platform/program.h"

namespace orlo {

std::string ConnectionStringValue(std::string_view value, bool braced) {
  const bool needsBraces = value.find_first_of(";{}") != std::string_view::npos;
  if (!braced && !needsBraces) return std::string(value);
  std::string out;
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  return braced ? out : "{" + out + "}";
}

TConnParams::TConnParams() : TConnParams(std::string()) {}

TConnParams::TConnParams(const std::string& registryFile) {
  TRegistryEx reg("\\SOFTWARE\\JavaSoft\\Java Runtime Environment\\", registryFile);
  JavaInstalled = !reg.GetString("CurrentVersion").empty();
  reg.SetKey("\\SOFTWARE\\Apache Software Foundation\\Tomcat\\5.5\\");
  const std::string tomcatPath = reg.GetString("InstallPath");

  reg.SetKey("\\Software\\Quenlor\\Orlo\\");
  DSNName = reg.GetString("DSNName");
  Host = reg.GetStringDef("Host", "127.0.0.1");
  Database = reg.GetStringDef("Database", "tarn");
  User = reg.GetStringDef("User", "kestrel");
  Pass = reg.GetScrambled("Pass");
  // Only an absent value gives the default: an empty password is a password.
  if (reg.Missing()) Pass = "plover";
  ODBCDriver = reg.GetStringDef("ODBCDriver", "MySQL ODBC 3.51 Driver");
  ODBCOptions = reg.GetStringDef("ODBCOptions", "SERVER=%h;database=%d");
  DTLFreq = reg.GetInteger("DTLFreq");
  DebugLog = reg.GetBoolDef("DebugLog", true);
  WebSiteEnabled = reg.GetBool("WebSiteEnabled");
  WebSiteLocation =
      reg.GetStringDef("WebSiteLocation", JavaInstalled ? tomcatPath : "c:\\inetpub\\wwwroot");
  BackupDays = reg.GetIntegerDef("BackupDays", 0);
  BackupEmailAddress = reg.GetString("BackupEmailAddress");
  BackupNotify = reg.GetBool("BackupNotify");
  BackupUnique = reg.GetBool("BackupUnique");
  BackupDest =
      reg.GetStringDef("BackupDest", (std::filesystem::path(HomeFolder()) / "Backup").string());
  BackupTime = reg.GetIntegerDef("BackupTime", 0);
  SMTPServer = reg.GetString("SMTPServer");
  FromEmail = reg.GetString("FromEmail");
  AuthReq = reg.GetBool("AuthReq");
  EmailUser = reg.GetString("EmailUser");
  EmailPass = reg.GetScrambled("EmailPass");
}

std::string TConnParams::ConnectOptions() const {
  // One pass over the template: a substituted value is never scanned again,
  // so a host or password holding "%d" stays as it is.
  std::string out;
  const std::string& t = ODBCOptions;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '%' && i + 1 < t.size()) {
      const std::string* value = nullptr;
      switch (t[i + 1]) {
        case 'h':
          value = &Host;
          break;
        case 'd':
          value = &Database;
          break;
        case 'u':
          value = &User;
          break;
        case 'p':
          value = &Pass;
          break;
        default:
          break;
      }
      if (value) {
        const bool braced = i > 0 && t[i - 1] == '{' && i + 2 < t.size() && t[i + 2] == '}';
        out += ConnectionStringValue(*value, braced);
        ++i;
        continue;
      }
    }
    out += t[i];
  }
  return out;
}

}  // namespace orlo
