// Placeholder implementation of the SQL text builder.
#include "db/sql.h"

namespace orlo {

TSql::TSql(TDBKind kind) : kind_(kind) {}
void TSql::Clear() {}
int TSql::AddField(const std::string&, const std::string&, bool) { return -1; }
int TSql::AddInt(const std::string&, int) { return -1; }
int TSql::AddFloat(const std::string&, double) { return -1; }
int TSql::AddBool(const std::string&, bool) { return -1; }
int TSql::AddDateTime(const std::string&, TDateTime) { return -1; }
int TSql::AddNow(const std::string&) { return -1; }
int TSql::SetField(const std::string&, const std::string&, bool) { return -1; }
int TSql::SetInt(const std::string&, int, bool) { return -1; }
void TSql::BuildSQL(const std::string&, bool, std::string& sql, const std::string&) const {
  sql.clear();
}
void TSql::BuildInsert(const std::string&, const std::string&, std::string& sql,
                       const std::string&) const {
  sql.clear();
}
void TSql::BuildUpdate(const std::string&, const std::string&, std::string& sql) const {
  sql.clear();
}
std::string TSql::Escape(const std::string& value) const { return value; }
std::string TSql::QuoteName(const std::string& name) { return name; }
std::string TSql::FloatText(double) { return {}; }
int TSql::Find(const std::string&) const { return -1; }
std::string TSql::ValueText(int) const { return {}; }

}  // namespace orlo
