// Access levels (time ranges by kind of day and device), holidays and the
// validity period of a card, with its first-use start and use counting.
#include <algorithm>
#include <string>

#include "access/checkdetail.h"
#include "access/checksteps.h"
#include "db/sql.h"
#include "platform/format.h"

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
// the card's card_type column (and its kept copy dropped), an own period to
// the card row (and mirrored into the decision's copy).
void StartPeriod(TODBC& odbc, TRowCache* config, TDecisionRows& rows, bool shared, TDateTime t,
                 int days) {
  TSql sql(odbc);
  sql.AddInt("date_set", 1);
  sql.AddDateTime("start_dt", t);
  sql.AddDateTime("exp_iry", t + days);
  std::string text;
  if (shared)
    sql.BuildUpdate("UPDATE card_type",
                    "WHERE id = " + detail::NumberLiteral(rows.card, "card_type"), text);
  else
    sql.BuildUpdate("UPDATE card", "WHERE number = " + detail::NumberLiteral(rows.card, "number"),
                    text);
  TODBCStatement q(odbc);
  q.ExecSQL(text);
  if (shared) {
    if (config) config->Forget(CardTypeSql(rows.card.FieldAsInteger("card_type")));
    return;
  }
  rows.card.SetInteger("date_set", 1);
  rows.card.SetDateTime("start_dt", t);
  rows.card.SetDateTime("exp_iry", t + days);
}

// Whether access-level range rangeId applies at the device. A cache that
// keeps rows reads the device's links once, with one statement for all its
// ranges; otherwise the one link is asked for.
bool RangeLinked(TODBC& odbc, TRowCache* config, int rangeId, int deviceId) {
  if (!config || !config->Keeps())
    return ReadRow(odbc, Format("SELECT * FROM a_l_range_device WHERE a_l_range_id = %d and "
                                "device_id = %d",
                                rangeId, deviceId))
        .Found();
  const auto links = config->Rows(
      odbc, Format("SELECT a_l_range_id FROM a_l_range_device WHERE device_id = %d", deviceId));
  return std::any_of(links.begin(), links.end(), [&](const TDBRow& link) {
    return link.FieldAsFloat("a_l_range_id") == static_cast<double>(rangeId);
  });
}

// A first use that would start the card type's shared period.
bool StartsSharedPeriod(const TDBRow& cardType) {
  return cardType.FieldAsBoolean("global_expiry") && cardType.FieldAsBoolean("first_use_flg") &&
         !cardType.FieldAsBoolean("debit_flg") && !cardType.FieldAsBoolean("date_set");
}

}  // namespace

int HolidayTab(TODBC& odbc, TDateTime date, TRowCache* config) {
  return ConfigRow(odbc, config,
                   Format("SELECT tab_num FROM holiday WHERE holi_day = '%s'",
                          detail::DateText(date)))
      .FieldAsInteger("tab_num");
}

int DayColumnIndex(TODBC& odbc, TDateTime date, TRowCache* config) {
  const int tab = HolidayTab(odbc, date, config);
  if (tab == 0) return DayOfWeek(date);
  return tab == 2 ? 9 : 8;
}

bool AccessLevelAllows(TODBC& odbc, int accessLevelId, TDateTime transTime, int deviceId,
                       TRowCache* config) {
  // The column name is built from a number 1..9 only.
  const std::string column = "day_" + std::to_string(DayColumnIndex(odbc, transTime, config));
  const long long t = detail::TimeOfDayMs(transTime);
  const std::string rangesSql =
      Format("SELECT id, %s, start_time, end_time FROM a_l_range WHERE access_level_id = %d",
             column, accessLevelId);
  for (const TDBRow& range : ConfigRows(odbc, config, rangesSql)) {
    if (!range.FieldAsBoolean(column)) continue;
    if (!RangeLinked(odbc, config, range.FieldAsInteger("id"), deviceId)) continue;
    // Times of day; a NULL reads as midnight.
    const long long s = detail::TimeOfDayMs(range.FieldAsDateTime("start_time"));
    const long long e = detail::TimeOfDayMs(range.FieldAsDateTime("end_time"));
    if (InWindow(s, e, t)) return true;
  }
  return false;
}

bool CardIsValidNow(TODBC& odbc, TRowCache* config, TDateTime transTime, TDecisionRows& rows) {
  if (config && config->Keeps() && StartsSharedPeriod(rows.cardType)) {
    // A kept type row may predate a start made since (by another loop or
    // program): whether to start the period is decided on the stored row.
    config->Forget(CardTypeSql(rows.card.FieldAsInteger("type_id")));
    rows.cardType = FindCardType(odbc, rows.card, config);
  }
  const TDBRow& card = rows.card;
  const TDBRow& cardType = rows.cardType;
  const long long t = detail::Ms(transTime);
  const int days = cardType.FieldAsInteger("days");
  const bool shared = cardType.FieldAsBoolean("global_expiry");
  const bool debitFlg = cardType.FieldAsBoolean("debit_flg");
  const bool resetFlag = cardType.FieldAsBoolean("debit_reset_flag");
  // A start below changes only the holder's current period, which is then
  // taken from the start itself.
  const TDBRow& holder = shared ? cardType : card;

  long long start = 0, end = 0;
  if (cardType.FieldAsBoolean("first_use_flg") && !debitFlg && !holder.FieldAsBoolean("date_set")) {
    // A failed write is logged by the statement layer; the presentation is
    // judged as if it had been stored.
    StartPeriod(odbc, config, rows, shared, transTime, days);
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
