// TSql: INSERT and UPDATE text from field/value pairs.
#include "db/sql.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/text.h"

namespace orlo {

namespace {

// A value as the statement holds it: trimmed; an empty unquoted one is null.
std::string StoredValue(const std::string& value, bool quoted) {
  std::string v = Trim(value);
  if (v.empty() && !quoted) v = "null";
  return v;
}

}  // namespace

TSql::TSql(TDBKind kind) : kind_(kind) {}

TSql::TSql(const TODBC& odbc) : kind_(RulesOf(odbc.DBKind())) {}

TSql::TSql(const TODBCStatement& statement) : kind_(RulesOf(statement.DBKind())) {}

TDBKind TSql::RulesOf(TDBKind connectionKind) {
  return connectionKind == dbkUnknown ? dbkMySQL : connectionKind;
}

void TSql::Clear() {
  names_.clear();
  values_.clear();
  quoted_.clear();
}

int TSql::Find(const std::string& lowerName) const {
  auto it = std::find(names_.begin(), names_.end(), lowerName);
  return it == names_.end() ? -1 : static_cast<int>(it - names_.begin());
}

int TSql::AddField(const std::string& name, const std::string& value, bool quoted) {
  const std::string key = LowerCase(name);
  if (int at = Find(key); at >= 0) return at;
  names_.push_back(key);
  values_.push_back(StoredValue(value, quoted));
  quoted_.push_back(quoted);
  return static_cast<int>(names_.size()) - 1;
}

int TSql::AddInt(const std::string& name, int value) {
  return AddField(name, std::to_string(value), false);
}

int TSql::AddFloat(const std::string& name, double value) {
  return AddField(name, FloatText(value), false);
}

int TSql::AddBool(const std::string& name, bool value) {
  return AddField(name, value ? "1" : "0", false);
}

std::string TSql::DateTimeText(TDateTime value) {
  return "{ts '" + orlo::DateTimeText(value) + "'}";
}

int TSql::AddDateTime(const std::string& name, TDateTime value) {
  return AddField(name, DateTimeText(value), false);
}

int TSql::AddNow(const std::string& name) {
  return AddField(name, kind_ == dbkCodeBase ? "{fn curdate()}" : "{fn now()}", false);
}

int TSql::SetField(const std::string& name, const std::string& value, bool quoted) {
  int at = Find(LowerCase(name));
  if (at < 0) return AddField(name, value, quoted);
  values_[at] = StoredValue(value, quoted);
  quoted_[at] = quoted;
  return at;
}

int TSql::SetInt(const std::string& name, int value, bool quoted) {
  return SetField(name, std::to_string(value), quoted);
}

std::string TSql::Escape(const std::string& value) const {
  std::string out;
  out.reserve(value.size() + 8);
  for (char c : value) {
    out += c;
    if (c == '\'' || (c == '\\' && kind_ == dbkMySQL)) out += c;
  }
  return out;
}

std::string TSql::QuoteName(const std::string& name) {
  if (name.find_first_of(" -") != std::string::npos && (name.empty() || name[0] != '"'))
    return "\"" + name + "\"";
  return name;
}

std::string TSql::FloatText(double value) {
  // Not a number and infinities have no SQL literal; null is the safe value.
  if (!std::isfinite(value)) return "null";
  if (value == 0) return "0";
  // 15 significant digits and the decimal exponent of the first one.
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.14e", value);
  std::string text = buf;
  const bool negative = text[0] == '-';
  if (negative) text.erase(0, 1);
  const size_t e = text.find('e');
  const int exp = std::atoi(text.c_str() + e + 1);
  std::string digits = text.substr(0, 1) + text.substr(2, e - 2);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string out;
  if (exp >= 15 || std::fabs(value) < 0.00001) {
    out = digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    out += "E" + std::to_string(exp);
  } else if (exp < 0) {
    out = "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
  } else if (static_cast<int>(digits.size()) <= exp + 1) {
    out = digits + std::string(static_cast<size_t>(exp + 1) - digits.size(), '0');
  } else {
    out = digits.substr(0, exp + 1) + "." + digits.substr(exp + 1);
  }
  return negative ? "-" + out : out;
}

std::string TSql::ValueText(int index) const {
  const std::string& v = values_[index];
  if (quoted_[index] || v.empty()) return "'" + Escape(v) + "'";
  return v;
}

void TSql::BuildSQL(const std::string& table, bool insert, std::string& sql,
                    const std::string& where) const {
  if (insert)
    BuildInsert("insert into " + table, "Values", sql, "");
  else
    BuildUpdate("update " + table, where, sql);
}

void TSql::BuildInsert(const std::string& head, const std::string& word, std::string& sql,
                       const std::string& tail) const {
  std::string names, values;
  for (int i = 0; i < Count(); ++i) {
    if (i > 0) {
      names += ", ";
      values += ", ";
    }
    names += QuoteName(names_[i]);
    values += ValueText(i);
  }
  sql = head + " (" + names + ") " + word + " (" + values + ")" + tail;
}

void TSql::BuildUpdate(const std::string& head, const std::string& where, std::string& sql) const {
  sql = head + " set ";
  for (int i = 0; i < Count(); ++i) {
    if (i > 0) sql += ", ";
    sql += QuoteName(names_[i]) + "=" + ValueText(i);
  }
  if (!where.empty()) sql += " " + where;
}

}  // namespace orlo
