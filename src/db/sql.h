// TSql: builds the text of one INSERT or UPDATE statement from field/value
// pairs, quoting, escaping and formatting each value on the way. It only builds
// text; the caller runs it with TODBCStatement::ExecSQL (or ExecSQLFmt when the
// WHERE part still holds directives; values must then hold no '%').
// A plain value object: owned and used by one thread.
#pragma once

#include <string>
#include <vector>

#include "db/odbc.h"
#include "platform/clock.h"

namespace orlo {

class TSql {
 public:
  // kind selects the escaping rules (backslashes are doubled for dbkMySQL
  // only) and the current-date function.
  explicit TSql(TDBKind kind);
  // The rules of the connection's database family, as its server names it
  // (see TODBC::DBKind): every statement text built for a connection takes
  // its rules from here. A family the server did not name keeps the MySQL
  // rules: doubling backslashes as well can only ever store a doubled
  // backslash, never end a string early.
  explicit TSql(const TODBC& odbc);
  explicit TSql(const TODBCStatement& statement);
  static TDBKind RulesOf(TDBKind connectionKind);

  void Clear();
  int Count() const { return static_cast<int>(names_.size()); }

  // Adds a field and returns its position. The value is stored trimmed; an
  // empty unquoted value becomes null. A name already present (in any letter
  // case) keeps its first value: use SetField/SetInt to change it.
  int AddField(const std::string& name, const std::string& value, bool quoted);
  int AddInt(const std::string& name, int value);
  // Up to 15 significant digits, '.' separator, no exponent unless needed.
  int AddFloat(const std::string& name, double value);
  int AddBool(const std::string& name, bool value);
  // {ts 'YYYY-MM-DD HH:NN:SS'}
  int AddDateTime(const std::string& name, TDateTime value);
  // {fn now()} ({fn curdate()} for CodeBase)
  int AddNow(const std::string& name);
  // Replaces the value of an existing field, or adds it.
  int SetField(const std::string& name, const std::string& value, bool quoted);
  int SetInt(const std::string& name, int value, bool quoted);

  // insert: "insert into <table> (...) Values (...)"; else
  // "update <table> set ... <where>".
  void BuildSQL(const std::string& table, bool insert, std::string& sql,
                const std::string& where) const;
  void BuildInsert(const std::string& head, const std::string& word, std::string& sql,
                   const std::string& tail) const;
  void BuildUpdate(const std::string& head, const std::string& where, std::string& sql) const;

  // "'" doubled; for dbkMySQL also "\" doubled.
  std::string Escape(const std::string& value) const;
  // A name holding a blank or '-' is wrapped in double quotes (unless it
  // already begins with one).
  static std::string QuoteName(const std::string& name);

  // The SQL text of a float value as AddFloat stores it.
  static std::string FloatText(double value);
  // The SQL text of a date-time as AddDateTime stores it.
  static std::string DateTimeText(TDateTime value);

 private:
  int Find(const std::string& lowerName) const;
  std::string ValueText(int index) const;

  TDBKind kind_;
  std::vector<std::string> names_;  // lower-cased
  std::vector<std::string> values_;
  std::vector<bool> quoted_;
};

}  // namespace orlo
