// Passback, group maximum and pathways: the checks on the state a card carries
// from one presentation to the next, and the updates of that state after a
// granted presentation.
#include "access/checkdetail.h"
#include "access/checksteps.h"
#include "db/sql.h"
#include "log/messlog.h"
#include "platform/format.h"

namespace orlo {

bool GroupHasRoom(TODBC& odbc, const TDecisionRows& rows) {
  const int group = rows.card.FieldAsInteger("group_id");
  // Only entries are held back by a full group.
  if (group <= 0 || rows.device.FieldAsInteger("dir_ection") != 1) return true;
  const TDBRow pool = ReadRow(odbc, Format("SELECT * FROM card_pool WHERE id = %d", group));
  if (!pool.Found()) return true;
  return pool.FieldAsInteger("max_inlot") > pool.FieldAsInteger("cur_inlot");
}

bool PathwayAllows(TODBC& odbc, const TDecisionRows& rows, bool debugLog, TMessLog* log,
                   TDateTime transTime) {
  const TDBRow& card = rows.card;
  const int pathway = rows.cardType.FieldAsInteger("pathway_id");
  const int inGate = card.FieldAsInteger("in_gate");
  const bool noPath = rows.device.FieldAsBoolean("no_path");
  if (debugLog && log)
    log->LogFmt("Card#: %s - pathway_id ( > 0) %d  /  in_gate (<> -1) %d  /  no_path (<> 0) %d",
                card.FieldAsString("number"), pathway, inGate, noPath ? 1 : 0);
  if (pathway <= 0 || inGate == -1 || noPath) return true;

  const int deviceId = rows.device.FieldAsInteger("id");
  const TDBRow hop = ReadRow(odbc, Format("SELECT * FROM pathway_ft WHERE pathway_id=%d and "
                                          "from_device=%d and to_device=%d",
                                          pathway, inGate, deviceId));
  if (!hop.Found()) {
    if (debugLog && log)
      log->LogFmt("Pathway %d does NOT have path for %d to %d!", pathway, inGate, deviceId);
    return false;
  }
  const long long m = detail::MinutesBetween(card.FieldAsDateTime("trans_dt"), transTime);
  const int limit = hop.FieldAsInteger("time_limit");
  const bool allowed = m <= limit;
  if (debugLog && log)
    log->LogFmt("Pathway Time %s - Minutes: %d, Limit: %d", allowed ? "OK" : "OUT", m, limit);
  return allowed;
}

bool PassbackAllows(const TDecisionRows& rows, TSettingsRow& settings, TDateTime transTime) {
  if (rows.cardType.FieldAsBoolean("ignore_passback")) return true;
  const int dir = rows.device.FieldAsInteger("dir_ection");
  if (dir == 3 || dir == 0) return true;
  if (dir != rows.card.FieldAsInteger("in_lot")) return true;
  // The same direction again: allowed only once the reset time has passed;
  // a reset time of 0 never resets.
  const int pbResetMinutes = settings.Row().FieldAsInteger("stup_pbrst");
  if (pbResetMinutes <= 0) return false;
  return detail::MinutesBetween(rows.card.FieldAsDateTime("trans_dt"), transTime) >=
         pbResetMinutes;
}

TCardWrite::TCardWrite(const TODBC& odbc, TDBRow& card) : card_(card), sql_(odbc) {}

void TCardWrite::SetInteger(const std::string& column, long long value) {
  sql_.SetField(column, std::to_string(value), false);
  card_.SetInteger(column, value);
}

void TCardWrite::SetDateTime(const std::string& column, TDateTime value) {
  sql_.SetField(column, TSql::DateTimeText(value), false);
  card_.SetDateTime(column, value);
}

void TCardWrite::Write(TODBCStatement& update, double cardNo) {
  if (sql_.Count() == 0) return;
  std::string text;
  sql_.BuildUpdate("UPDATE card", "WHERE number = %f", text);
  update.ExecSQLFmt(text, cardNo);
}

void UpdateLastPass(TCardWrite& write, TDateTime transTime) {
  write.SetDateTime("trans_dt", transTime);
}

void UpdatePathwayPosition(TODBC& odbc, TCardWrite& write, const TDecisionRows& rows) {
  const int pathway = rows.cardType.FieldAsInteger("pathway_id");
  if (pathway <= 0) return;
  const int deviceId = rows.device.FieldAsInteger("id");
  // On the pathway while a hop of it starts here, off it (-1) otherwise.
  const bool hopStarts =
      ReadRow(odbc, Format("SELECT * FROM pathway_ft WHERE pathway_id=%d and from_device=%d",
                           pathway, deviceId))
          .Found();
  write.SetInteger("in_gate", hopStarts ? deviceId : -1);
}

// The count is changed in place, without reading the row first: a group row
// that is missing matches nothing, and an exit never takes the count below 0.
void UpdateGroupCount(TODBC& odbc, const TDecisionRows& rows) {
  const int group = rows.card.FieldAsInteger("group_id");
  if (group <= 0) return;
  const int dir = rows.device.FieldAsInteger("dir_ection");
  TODBCStatement q(odbc);
  if (dir == 1)
    q.ExecSQLFmt("UPDATE card_pool SET cur_inlot = cur_inlot + 1 WHERE id = %d", group);
  else if (dir == 2)
    q.ExecSQLFmt("UPDATE card_pool SET cur_inlot = cur_inlot - 1 WHERE id = %d and cur_inlot > 0",
                 group);
}

}  // namespace orlo
