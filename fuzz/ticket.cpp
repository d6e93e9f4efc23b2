// libFuzzer target for the barcode and ticket texts that exit readers,
// spitters and memory-card readers send: the spitter's ticket record, the
// exit barcode's issue time (both formats), the printed ticket date, the
// memory-card record time, and the SQL literal a barcode becomes.
// Checks: no crash, fields within their sizes, the "untouched on failure"
// promises, and that the escaped barcode reads back as the barcode.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "access/checksteps.h"
#include "config/datetime.h"
#include "db/sql.h"
#include "loop/loop.h"
#include "platform/clock.h"
#include "platform/format.h"

namespace {

// Reads a literal written as '...' with doubled quotes (and doubled
// backslashes when mysql) back; false when it is not exactly one literal.
bool Unquote(const std::string& sql, bool mysql, std::string& out) {
  if (sql.size() < 2 || sql.front() != '\'' || sql.back() != '\'') return false;
  out.clear();
  for (std::size_t i = 1; i + 1 < sql.size(); ++i) {
    const char c = sql[i];
    if (c == '\'' || (mysql && c == '\\')) {
      if (i + 2 >= sql.size() || sql[i + 1] != c) return false;  // the literal would end here
      ++i;
    }
    out += c;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  const orlo::TTicketData t = orlo::TLoop::ParseTicketData(text);
  if (t.Failed != (text.size() != 17)) std::abort();
  if (!t.Failed && (t.Barcode.size() != 10 || t.Ticket.empty() || t.Ticket.size() > 6 ||
                    t.Lane < -9 || t.Lane > 99 || !std::isfinite(t.IssueTime)))
    std::abort();

  for (bool oldFormat : {false, true}) {
    const orlo::TDateTime issued = orlo::BarcodeIssueTime(text, oldFormat);
    if (!std::isfinite(issued)) std::abort();
    if (issued != 0 && (text.size() < 10 || text.size() > 12)) std::abort();
  }

  std::string ticket = "x";
  orlo::TDateTime when = -12345;
  if (!orlo::ParseTicketDate(text, ticket, when) && when != -12345) std::abort();
  if (ticket.size() > 4) std::abort();

  try {
    const orlo::TDateTime t2 = orlo::MemoryCardTime(text, orlo::Now());
    if (!std::isfinite(t2)) std::abort();
  } catch (const orlo::EConvertError&) {
    // an impossible date: the documented outcome
  }

  (void)orlo::StrToIntPart(text, 9, 2, 0);
  (void)orlo::StripLeadingZeros(text);

  for (orlo::TDBKind kind : {orlo::dbkMySQL, orlo::dbkUnknown}) {
    std::string back;
    const std::string literal = "'" + orlo::TSql(kind).Escape(text) + "'";
    if (!Unquote(literal, kind == orlo::dbkMySQL, back) || back != text) std::abort();
  }
  return 0;
}
