// TDBRow: one result row copied out of its statement, read with the same
// rules as TODBCStatement's readers. It holds no driver handle, so it may
// outlive its statement and its connection: a decision keeps the rows it has
// read for its later steps, and a TRowCache keeps them across decisions.
//
// A plain value: copy it freely; each copy belongs to the thread that holds it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "db/odbc.h"
#include "platform/clock.h"

namespace orlo {

class TDBRow {
 public:
  // No result at all: every reader gives its default for an absent column.
  TDBRow() = default;

  // False for the row of a statement that found none (or failed); its
  // result's columns are still known and read as empty ('', 0, false, 0).
  bool Found() const { return found_; }

  // As the TODBCStatement readers of the same name: any letter case, the first
  // of equal names wins, '' / 0 / false for an absent or NULL column,
  // FieldAsDateTime today 00:00 for an absent column or one that is not a
  // date/time column.
  std::string FieldAsString(std::string_view name) const;
  int FieldAsInteger(std::string_view name) const;
  double FieldAsFloat(std::string_view name) const;
  bool FieldAsBoolean(std::string_view name) const { return FieldAsInteger(name) != 0; }
  TDateTime FieldAsDateTime(std::string_view name) const;

  // Mirrors a write the holder has just made to the stored row, so that later
  // readers see what a fresh read would give. A column the row does not have
  // stays absent.
  void SetInteger(std::string_view name, long long value);
  // Stored to the second, as the statements write date-times.
  void SetDateTime(std::string_view name, TDateTime value);

 private:
  friend class TODBCStatement;
  struct TColumn {
    std::string name;  // upper-cased
    TColCategory category = ccUnsupported;
    std::string text;  // trimmed; '' for NULL
  };
  int IndexOf(std::string_view name) const;  // -1 when absent
  const TColumn* Find(std::string_view name) const;
  void SetText(std::string_view name, std::string text);

  std::vector<TColumn> columns_;
  bool found_ = false;
};

namespace detail {
// The readers' rules on a column's category and text, shared by the
// statement and the row: numbers are read from plain decimal text only (long
// text never gives one), date-times from "YYYY-MM-DD HH:NN:SS".
int TextAsInteger(TColCategory category, std::string_view text);
double TextAsFloat(TColCategory category, std::string_view text);
TDateTime TextAsDateTime(TColCategory category, std::string_view text);
}  // namespace detail

}  // namespace orlo
