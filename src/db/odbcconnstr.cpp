// Database families and driver connection strings: which family a driver name,
// a connection string or a connected server belongs to, and the connection
// string of a connect, with the options the MySQL family needs.
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "config/connparams.h"
#include "db/odbc.h"
#include "db/odbccore.h"
#include "platform/text.h"

namespace orlo {

namespace {

// One key=value item of a connection string; the value as written (braces
// kept). A ';' inside a braced value does not end the item.
struct ConnItem {
  std::string key;  // trimmed
  std::size_t valueBegin = 0;
  std::size_t valueEnd = 0;
};

std::vector<ConnItem> ConnItems(std::string_view conn) {
  std::vector<ConnItem> items;
  std::size_t begin = 0;
  while (begin < conn.size()) {
    std::size_t end = begin;
    bool braced = false;
    while (end < conn.size() && (conn[end] != ';' || braced)) {
      if (conn[end] == '{' && !braced) {
        braced = true;
      } else if (conn[end] == '}' && braced) {
        // "}}" inside braces is a literal '}'.
        if (end + 1 < conn.size() && conn[end + 1] == '}')
          ++end;
        else
          braced = false;
      }
      ++end;
    }
    const std::string_view item = conn.substr(begin, end - begin);
    const std::size_t eq = item.find('=');
    if (eq != std::string_view::npos)
      items.push_back({Trim(item.substr(0, eq)), begin + eq + 1, end});
    begin = end + 1;
  }
  return items;
}

const ConnItem* FindItem(const std::vector<ConnItem>& items, std::string_view key) {
  for (const ConnItem& item : items)
    if (SameText(item.key, key)) return &item;
  return nullptr;
}

std::string Appended(std::string conn, const std::string& pair) {
  if (!conn.empty() && conn.back() != ';') conn += ';';
  return conn + pair;
}

// MySQL/MariaDB count only the rows an UPDATE changed, unless the client asks
// for found rows (flag 2 of the driver's OPTION attribute). "No row matched"
// must not be confused with "the row already held these values", so the flag
// is added to the connection string.
std::string WithFoundRows(const std::string& conn) {
  const auto items = ConnItems(conn);
  const ConnItem* option = FindItem(items, "option");
  if (!option) return Appended(conn, "OPTION=2");
  const std::string value(TrimView(
      std::string_view(conn).substr(option->valueBegin, option->valueEnd - option->valueBegin)));
  unsigned long long flags = 0;
  try {
    std::size_t used = 0;
    flags = value.empty() ? 0 : std::stoull(value, &used);
    if (used != value.size()) return conn;
  } catch (...) {
    return conn;  // not a number: leave the admin's text alone
  }
  return conn.substr(0, option->valueBegin) + std::to_string(flags | 2u) +
         conn.substr(option->valueEnd);
}

// Bounds every wait on the server (see kServerTimeoutSeconds): the driver's
// read, write and connect time-outs, and a row-lock wait that ends before
// them. Options the site sets itself are left as they are.
std::string WithServerTimeouts(std::string conn) {
  const std::string seconds = std::to_string(kServerTimeoutSeconds);
  const std::pair<const char*, std::string> bounds[] = {
      {"READ_TIMEOUT", seconds},
      {"WRITE_TIMEOUT", seconds},
      {"CONN_TIMEOUT", seconds},
      {"INITSTMT",
       "{SET SESSION innodb_lock_wait_timeout=" + std::to_string(kLockWaitSeconds) + "}"},
  };
  const auto items = ConnItems(conn);
  for (const auto& [key, value] : bounds)
    if (!FindItem(items, key)) conn = Appended(conn, std::string(key) + "=" + value);
  return conn;
}

// What a family needs in every connection string.
std::string WithFamilyOptions(const std::string& conn, TDBKind kind) {
  return kind == dbkMySQL ? WithServerTimeouts(WithFoundRows(conn)) : conn;
}

// The key=value lines of section [ODBC] of a settings file, in file order.
std::vector<std::pair<std::string, std::string>> ReadOdbcSection(const std::string& path) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::ifstream in(path);
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t.front() == '[') {
      inSection = t.back() == ']' &&
                  SameText(TrimView(std::string_view(t).substr(1, t.size() - 2)), "odbc");
      continue;
    }
    if (!inSection) continue;
    const std::size_t eq = t.find('=');
    if (eq == std::string::npos) continue;
    std::string key = Trim(std::string_view(t).substr(0, eq));
    if (!key.empty()) pairs.emplace_back(std::move(key), Trim(std::string_view(t).substr(eq + 1)));
  }
  return pairs;
}

bool IsExistingFile(const std::string& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

}  // namespace

TDBKind DetectDBKind(std::string_view text, TDBKind current) {
  // "mariadb" follows "mysql": MariaDB Connector/ODBC registers itself under
  // its own name, and MariaDB is of the MySQL family.
  static constexpr std::pair<std::string_view, TDBKind> kMarks[] = {
      {"oracle", dbkOracle},     {"firebird", dbkFirebird},    {"mysql", dbkMySQL},
      {"mariadb", dbkMySQL},     {"sql server", dbkSQLServer}, {"sql native client", dbkSQLServer},
      {"codebase", dbkCodeBase}, {"foxpro", dbkFoxPro},        {"dbf", dbkFoxPro},
      {"access", dbkAccess},     {"excel", dbkExcel},
  };
  const std::string lower = LowerCase(text);
  for (const auto& [mark, kind] : kMarks)
    if (lower.find(mark) != std::string::npos) return kind;
  return current;
}

TDBKind KindFromServerName(std::string_view dbmsName, TDBKind hint) {
  const std::string name = LowerCase(TrimView(dbmsName));
  if (name.find("sqlite") != std::string::npos) return dbkSQLite;
  return DetectDBKind(name, hint);
}

std::string QuoteTable(TDBKind kind, std::string_view table) {
  if (kind == dbkMySQL && SameText(table, "loop")) return "`" + std::string(table) + "`";
  return std::string(table);
}

bool IsServerDatabase(TDBKind kind) {
  return kind == dbkMySQL || kind == dbkSQLServer || kind == dbkOracle || kind == dbkFirebird;
}

namespace detail {

TDBKind KindFromConnectString(std::string_view conn, TDBKind current) {
  // Only DRIVER and DSN decide: other values (a database file path, a
  // password, a server name) may hold any text, and a SQLite file under
  // /srv/access/ is still SQLite.
  TDBKind kind = current;
  for (const ConnItem& item : ConnItems(conn))
    if (SameText(item.key, "driver") || SameText(item.key, "dsn"))
      kind = DetectDBKind(conn.substr(item.valueBegin, item.valueEnd - item.valueBegin), kind);
  return kind;
}

std::string BuildConnectionString(const std::string& dsn, const std::string& user,
                                  const std::string& password, const std::string& database,
                                  const std::string& driver, const std::string& options,
                                  TDBKind kind) {
  std::vector<std::string> pairs;
  if (IsExistingFile(dsn)) {
    for (auto& [key, value] : ReadOdbcSection(dsn)) {
      const bool braces =
          SameText(key, "driver") && value.find(' ') != std::string::npos && value.front() != '{';
      pairs.push_back(key + "=" + (braces ? "{" + value + "}" : ConnectionStringValue(value)));
    }
  }
  if (pairs.empty()) {
    if (!dsn.empty()) pairs.push_back("DSN=" + ConnectionStringValue(dsn));
    pairs.push_back("DRIVER={" + driver + "}");
    if (!database.empty()) {
      const char* key = (kind == dbkOracle || kind == dbkCodeBase) ? "DBQ"
                        : kind == dbkFoxPro                        ? "SourceDB"
                                                                   : "Database";
      pairs.push_back(std::string(key) + "=" + ConnectionStringValue(database));
    }
  }
  if (!user.empty()) pairs.push_back("UID=" + ConnectionStringValue(user));
  if (!password.empty()) pairs.push_back("PWD=" + ConnectionStringValue(password));
  std::string out;
  for (const auto& p : pairs) out = Appended(out, p);
  if (!options.empty()) out = Appended(out, options);
  return WithFamilyOptions(out, KindFromConnectString(out, kind));
}

std::string DataSourceConnectionString(const std::string& dsn, const std::string& user,
                                       const std::string& password, const std::string& database,
                                       TDBKind kind) {
  std::string out = "DSN=" + ConnectionStringValue(dsn);
  if (!database.empty()) out = Appended(out, "DATABASE=" + ConnectionStringValue(database));
  if (!user.empty()) out = Appended(out, "UID=" + ConnectionStringValue(user));
  if (!password.empty()) out = Appended(out, "PWD=" + ConnectionStringValue(password));
  return WithFamilyOptions(out, kind);
}

}  // namespace detail

}  // namespace orlo
