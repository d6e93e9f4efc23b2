// Placeholder implementation: the connection is never bound, so every call
// fails the documented way. Replaced by the driver-manager binding.
#include "db/odbc.h"

namespace orlo {

namespace detail {
struct OdbcCore {};
struct StatementState {};
}  // namespace detail

TDBKind DetectDBKind(std::string_view, TDBKind current) { return current; }
std::string QuoteTable(TDBKind, std::string_view table) { return std::string(table); }
bool IsLinkFailureDiag(std::string_view, std::string_view) { return false; }

TODBC::TODBC() : core_(std::make_shared<detail::OdbcCore>()) {}
TODBC::~TODBC() = default;
bool TODBC::ConnectToDataSource(const std::string&, const std::string&, const std::string&,
                                const std::string&, const std::string&, const std::string&) {
  return false;
}
void TODBC::DisconnectFromDataSource() {}
bool TODBC::IsConnectionDead() { return true; }
bool TODBC::Bound() const { return false; }
bool TODBC::Connected() const { return false; }
bool TODBC::LinkFailure() const { return false; }
TDBKind TODBC::DBKind() const { return dbkUnknown; }
std::string TODBC::ConnectString() const { return {}; }
std::string TODBC::QuoteTable(std::string_view table) const { return std::string(table); }
bool TODBC::ReportErrors() const { return false; }
void TODBC::SetReportErrors(bool) {}
bool TODBC::BindColumns() const { return true; }
void TODBC::SetBindColumns(bool) {}
TMessLog* TODBC::Log() const { return nullptr; }
void TODBC::SetLog(TMessLog*) {}

TODBCStatement::TODBCStatement(TODBC& odbc) : core_(odbc.core_) {}
TODBCStatement::TODBCStatement(TODBC* odbc) : core_(odbc ? odbc->core_ : nullptr) {}
TODBCStatement::~TODBCStatement() = default;
bool TODBCStatement::ExecSQL(const std::string&) { return false; }
bool TODBCStatement::DoSQL(const std::string&) { return false; }
bool TODBCStatement::ExecSQLFmtV(std::string_view, std::span<const FormatArg>, bool) {
  return false;
}
bool TODBCStatement::Execute(const std::string&, bool) { return false; }
bool TODBCStatement::dbSkip() { return false; }
bool TODBCStatement::Eof() const { return false; }
std::string TODBCStatement::FieldAsString(std::string_view) { return {}; }
int TODBCStatement::FieldAsInteger(std::string_view) { return 0; }
double TODBCStatement::FieldAsFloat(std::string_view) { return 0; }
bool TODBCStatement::FieldAsBoolean(std::string_view) { return false; }
TDateTime TODBCStatement::FieldAsDateTime(std::string_view) { return 0; }
std::string TODBCStatement::GetFieldNames(const std::string&) { return {}; }
int TODBCStatement::FieldCount() const { return 0; }
int TODBCStatement::FieldIndex(std::string_view) const { return -1; }
std::string TODBCStatement::FieldName(int) const { return {}; }
TColCategory TODBCStatement::FieldCategory(int) const { return ccUnsupported; }
bool TODBCStatement::Allocated() const { return false; }
bool TODBCStatement::CanRefresh() const { return false; }
std::string TODBCStatement::LastSQL() const { return {}; }

}  // namespace orlo
