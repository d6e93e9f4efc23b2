// The main-timer jobs on the service-wide connection: restart request,
// resets, lot count resets and the gate schedule test.
#include "service/jobs.h"

#include <cmath>
#include <vector>

#include "db/odbc.h"
#include "db/sql.h"
#include "log/messlog.h"

namespace orlo {

namespace {

// Hour and minute of a date-time (its time of day).
bool SameHourMinute(TDateTime a, TDateTime b) {
  int ha, ma, sa, msa, hb, mb, sb, msb;
  DecodeTime(a, ha, ma, sa, msa);
  DecodeTime(b, hb, mb, sb, msb);
  return ha == hb && ma == mb;
}

// The time of day in whole milliseconds, so that a stored 07:00:00 and a
// computed 07:00:00 compare equal. Schedule columns are times of day; a full
// date-time stored there counts by its time too.
long long TimeOfDay(TDateTime dt) {
  const double ms = std::llround((dt - std::floor(dt)) * kSecondsPerDay * 1000.0);
  return static_cast<long long>(ms) % 86400000LL;
}

struct TLotRow {
  int id = 0;
  bool countDue = false;
  int resetAmount = 0;
  bool countersDue = false;
  int counterAmount = 0;
};

}  // namespace

bool RestartRequested(TODBC& db) {
  TODBCStatement q(db);
  if (!q.ExecSQL("SELECT reset_tolvsql FROM settings")) return false;
  return q.FieldAsBoolean("reset_tolvsql");
}

void AutoReset(TODBC& db, TMessLog* log, TDateTime now) {
  TODBCStatement q(db);
  if (!q.ExecSQL("SELECT * FROM settings")) return;
  std::string set;   // the SET list of the card reset
  std::string text;  // what the log line names
  if (q.FieldAsBoolean("AUTO_RESET")) {
    set = "in_lot=0";
    text = "Passback ";
  }
  const bool groups = q.FieldAsBoolean("AUTO_RESET_GROUP");
  if (groups) text += "Groups ";
  if (q.FieldAsBoolean("AUTO_RESET_PATHWAY")) {
    if (!set.empty()) set += ",";
    set += "in_gate=-1";
    text += "Pathways ";
  }
  const bool now_ = q.FieldAsBoolean("AUTO_NOW");
  const bool nowGroups = q.FieldAsBoolean("AUTO_NOW_GRP");
  if (now_ || nowGroups) text.clear();
  if (now_) {
    set = "in_lot=0";
    text += "Passback ";
  }
  if (nowGroups) text = "Groups ";
  if (text.empty()) return;
  if (!SameHourMinute(q.FieldAsDateTime("reset_time"), now) && !now_ && !nowGroups) return;

  TODBCStatement u(db);
  if (!set.empty()) u.ExecSQL("UPDATE card SET " + set);
  if (nowGroups || groups) u.ExecSQL("UPDATE card_pool SET cur_inlot=0");
  if (now_) u.ExecSQL("UPDATE settings SET auto_now = 0");
  if (nowGroups) u.ExecSQL("UPDATE settings SET auto_now_grp = 0");
  if (log) log->Log("Auto Reset: " + text);
}

void LotCountReset(TODBC& db, TDateTime now) {
  // The rows are read first and updated afterwards, so no update runs on a
  // table while a cursor of the same connection still walks it.
  std::vector<TLotRow> lots;
  {
    TODBCStatement q(db);
    for (bool ok = q.ExecSQL("SELECT * FROM lot"); ok; ok = q.dbSkip()) {
      TLotRow row;
      row.id = q.FieldAsInteger("id");
      row.countDue =
          q.FieldAsBoolean("AUTO_R_COUNT") && SameHourMinute(q.FieldAsDateTime("auto_r_time"), now);
      row.resetAmount = q.FieldAsInteger("reset_amt");
      row.countersDue = q.FieldAsBoolean("cnt_reset_flag") &&
                        SameHourMinute(q.FieldAsDateTime("cnt_reset_time"), now);
      row.counterAmount = q.FieldAsInteger("cnt_reset_amt");
      lots.push_back(row);
    }
  }
  TODBCStatement u(db);
  for (const TLotRow& lot : lots) {
    if (lot.countDue)
      u.ExecSQLFmt("UPDATE lot SET lot_count = %d WHERE id = %d", lot.resetAmount, lot.id);
    if (lot.countersDue) {
      const int a = lot.counterAmount;
      u.ExecSQLFmt(
          "UPDATE device SET count1 = %d, count2 = %d, count3 = %d, count4 = %d, count5 = %d, "
          "count_soft = %d WHERE lot_id = %d",
          a, a, a, a, a, a, lot.id);
    }
  }
}

bool ScheduledOpen(TODBCStatement& q, int deviceId, int day, TDateTime now) {
  const long long t = TimeOfDay(now);
  for (bool ok = q.ExecSQLFmt("SELECT * FROM gateoc WHERE device_id = %d and dayofweek = %d",
                              deviceId, day);
       ok; ok = q.dbSkip()) {
    const long long s = TimeOfDay(q.FieldAsDateTime("start_time"));
    const long long e = TimeOfDay(q.FieldAsDateTime("end_time"));
    if (e == s) continue;  // an empty window, never a whole day
    const bool holds = e > s ? (s <= t && t <= e) : (t <= e || t >= s);
    if (holds) return true;
  }
  return false;
}

int GateDayNumber(int holidayTab, TDateTime date) {
  if (holidayTab == 0) return (DayOfWeek(date) + 5) % 7 + 1;  // Sunday 1 -> 7, Monday 2 -> 1
  return holidayTab == 2 ? 9 : 8;
}

std::string SqlStringText(const TODBC& db, std::string_view text) {
  return TSql(db.DBKind()).Escape(std::string(text));
}

void ReadLoopIds(TODBC& db, const std::string& computerName, std::vector<int>& own,
                 std::vector<int>& shared) {
  const std::string loopTable = db.QuoteTable("loop");
  TODBCStatement q(db);
  for (bool ok = q.ExecSQL("SELECT * FROM " + loopTable + " WHERE name = '" +
                           SqlStringText(db, computerName) + "'");
       ok; ok = q.dbSkip())
    own.push_back(q.FieldAsInteger("id"));
  for (bool ok = q.ExecSQL("SELECT * FROM " + loopTable + " WHERE UPPER(name) = 'POE/POF'"); ok;
       ok = q.dbSkip())
    shared.push_back(q.FieldAsInteger("id"));
}

}  // namespace orlo
