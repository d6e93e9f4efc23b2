// Placeholder implementation of the connection supervisor: never connects.
#include "db/odbcconn.h"

namespace orlo {

TProcessConn::TProcessConn(TODBCConn& owner, int periodMs) : owner_(owner), periodMs_(periodMs) {}
TProcessConn::~TProcessConn() = default;
void TProcessConn::Stop() {}
void TProcessConn::Run(std::stop_token) {}

TODBCConn::TODBCConn(int pingTimeout) : pingTimeout_(pingTimeout), thread_(*this) {}
TODBCConn::~TODBCConn() = default;
void TODBCConn::SetODBC(TODBC* odbc) { odbc_ = odbc; }
void TODBCConn::SetLog(TMessLog* log) { log_ = log; }
void TODBCConn::SetParams(const std::string& DSN, const std::string& Driver,
                          const std::string& Database, const std::string& User,
                          const std::string& Password, const std::string& Options) {
  dsn_ = DSN;
  driver_ = Driver;
  database_ = Database;
  user_ = User;
  password_ = Password;
  options_ = Options;
}
void TODBCConn::SetPingFunc(TPingFunc ping) { ping_ = std::move(ping); }
bool TODBCConn::IsConnected() { return false; }
bool TODBCConn::ConnectToODBC() { return false; }
bool TODBCConn::Connect() { return false; }
void TODBCConn::Disconnect() {}
bool TODBCConn::Ping() { return false; }
void TODBCConn::LogLine(const std::string&) {}

}  // namespace orlo
