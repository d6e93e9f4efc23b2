// Access levels (time ranges by kind of day and device), holidays and the
// validity period of a card, with its first-use start and use counting.
#include <string>

#include "access/checkdetail.h"
#include "access/checksteps.h"
#include "db/sql.h"

namespace orlo {

namespace {

// A range's window applied to a time of day; both ends inclusive, start equal
// to end admits the whole day, start after end spans midnight.
bool InWindow(long long start, long long end, long long t) {
  if (start == end) return true;
  if (start < end) return start <= t && t <= end;
  return t >= start || t <= end;
}

// Starts the holder's period at a first use: date_set 1, start_dt T,
// exp_iry T + days. A shared period is written to the card_type row named by
// the card's card_type column, an own period to the card row.
void StartPeriod(TODBC& odbc, TODBCStatement& card, bool shared, TDateTime t, int days) {
  TSql sql(odbc);
  sql.AddInt("date_set", 1);
  sql.AddDateTime("start_dt", t);
  sql.AddDateTime("exp_iry", t + days);
  std::string text;
  if (shared)
    sql.BuildUpdate("UPDATE card_type", "WHERE id = " + detail::NumberLiteral(card, "card_type"),
                    text);
  else
    sql.BuildUpdate("UPDATE card", "WHERE number = " + detail::NumberLiteral(card, "number"), text);
  TODBCStatement q(odbc);
  q.ExecSQL(text);
}

}  // namespace

int HolidayTab(TODBC& odbc, TDateTime date) {
  TODBCStatement q(odbc);
  if (!q.ExecSQLFmt("SELECT tab_num FROM holiday WHERE holi_day = '%s'", detail::DateText(date)))
    return 0;
  return q.FieldAsInteger("tab_num");
}

int DayColumnIndex(TODBC& odbc, TDateTime date) {
  const int tab = HolidayTab(odbc, date);
  if (tab == 0) return DayOfWeek(date);
  return tab == 2 ? 9 : 8;
}

bool AccessLevelAllows(TODBC& odbc, int accessLevelId, TDateTime transTime, int deviceId) {
  // The column name is built from a number 1..9 only.
  const std::string column = "day_" + std::to_string(DayColumnIndex(odbc, transTime));
  const long long t = detail::TimeOfDayMs(transTime);
  TODBCStatement ranges(odbc);
  TODBCStatement link(odbc);
  for (bool ok = ranges.ExecSQLFmt("SELECT id, %s, start_time, end_time FROM a_l_range WHERE "
                                   "access_level_id = %d",
                                   column, accessLevelId);
       ok; ok = ranges.dbSkip()) {
    if (!ranges.FieldAsBoolean(column)) continue;
    if (!link.ExecSQLFmt(
            "SELECT * FROM a_l_range_device WHERE a_l_range_id = %d and device_id = %d",
            ranges.FieldAsInteger("id"), deviceId))
      continue;
    // Times of day; a NULL reads as midnight.
    const long long s = detail::TimeOfDayMs(ranges.FieldAsDateTime("start_time"));
    const long long e = detail::TimeOfDayMs(ranges.FieldAsDateTime("end_time"));
    if (InWindow(s, e, t)) return true;
  }
  return false;
}

bool CardIsValidNow(TODBC& odbc, TDateTime transTime, TODBCStatement& cardType,
                    TODBCStatement& card) {
  const long long t = detail::Ms(transTime);
  const int days = cardType.FieldAsInteger("days");
  const bool shared = cardType.FieldAsBoolean("global_expiry");
  TODBCStatement& holder = shared ? cardType : card;
  const bool debitFlg = cardType.FieldAsBoolean("debit_flg");
  const bool resetFlag = cardType.FieldAsBoolean("debit_reset_flag");

  long long start = 0, end = 0;
  if (cardType.FieldAsBoolean("first_use_flg") && !debitFlg && !holder.FieldAsBoolean("date_set")) {
    // A failed write is logged by the statement layer; the presentation is
    // judged as if it had been stored.
    StartPeriod(odbc, card, shared, transTime, days);
    start = t;
    end = detail::Ms(transTime + days);
  } else {
    start = detail::Ms(holder.FieldAsDateTime("start_dt"));
    end = detail::Ms(holder.FieldAsDateTime("exp_iry"));
  }

  if (debitFlg || resetFlag) {
    // Count-limited: the period end is not consulted, only the start and
    // whether a use is available.
    if (t < start) start = detail::Ms(holder.FieldAsDateTime("prev_strt"));
    if (!(t > start)) return false;
    if (holder.FieldAsInteger("debit_left") > 0) return true;
    if (resetFlag && detail::Ms(card.FieldAsDateTime("debit_reset_date")) < t) return true;
    return cardType.FieldAsBoolean("debit_time_limit_flg") &&
           t < detail::PlusMinutesMs(card.FieldAsDateTime("debit_date"),
                                     cardType.FieldAsInteger("debit_time_limit"));
  }
  if (cardType.FieldAsBoolean("no_expiry_flg")) return true;
  // Before the current period starts, the previous one is still in force.
  if (t < start) {
    start = detail::Ms(holder.FieldAsDateTime("prev_strt"));
    end = detail::Ms(holder.FieldAsDateTime("prev_exp"));
  }
  return start <= t && t <= end;
}

}  // namespace orlo
