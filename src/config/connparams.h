// TConnParams: the database connection and shared settings read from the
// registry store key "\Software\Quenlor\Orlo\". Built on demand (start-up,
// each loop); read-only data afterwards, so any thread may read it.
#pragma once

#include <string>
#include <string_view>

namespace orlo {

// A value for an ODBC connection string: in braces, with '}' doubled, when it
// holds a character that would end an attribute or open a braced value
// (';', '{', '}'), so that no value can add attributes of its own. With
// braced set, the caller's text already stands between braces: only '}' is
// doubled.
std::string ConnectionStringValue(std::string_view value, bool braced = false);

class TConnParams {
 public:
  TConnParams();  // reads everything, falling back to the defaults
  // The same from the given registry store file (empty: RegistryFileName()).
  explicit TConnParams(const std::string& registryFile);

  // ODBCOptions with %h, %d, %u and %p replaced by Host, Database, User, Pass.
  // A value holding ';', '{' or '}' is put in braces (ODBC quoting) unless the
  // placeholder already stands in braces, so it cannot add attributes.
  std::string ConnectOptions() const;

  std::string DSNName;
  std::string Host;
  std::string Database;
  std::string User;
  std::string Pass;  // unscrambled
  std::string ODBCDriver;
  std::string ODBCOptions;
  int DTLFreq = 0;
  bool DebugLog = true;
  bool WebSiteEnabled = false;
  std::string WebSiteLocation;
  int BackupDays = 0;
  std::string BackupEmailAddress;
  bool BackupNotify = false;
  bool BackupUnique = false;
  std::string BackupDest;
  int BackupTime = 0;
  std::string SMTPServer;
  std::string FromEmail;
  bool AuthReq = false;
  std::string EmailUser;
  std::string EmailPass;  // unscrambled
  bool JavaInstalled = false;
};

}  // namespace orlo
