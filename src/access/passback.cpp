// Passback, group maximum and pathways: the checks on the state a card carries
// from one presentation to the next, and the updates of that state after a
// granted presentation.
#include "access/checkdetail.h"
#include "access/checksteps.h"
#include "db/sql.h"
#include "log/messlog.h"

namespace orlo {

bool GroupHasRoom(TODBC& odbc, TODBCStatement& card, TODBCStatement& device) {
  const int group = card.FieldAsInteger("group_id");
  // Only entries are held back by a full group.
  if (group <= 0 || device.FieldAsInteger("dir_ection") != 1) return true;
  TODBCStatement pool(odbc);
  if (!pool.ExecSQLFmt("SELECT * FROM card_pool WHERE id = %d", group)) return true;
  return pool.FieldAsInteger("max_inlot") > pool.FieldAsInteger("cur_inlot");
}

bool PathwayAllows(TODBC& odbc, TODBCStatement& card, TODBCStatement& device, bool debugLog,
                   TMessLog* log, TODBCStatement& cardType, TDateTime transTime) {
  const int pathway = cardType.FieldAsInteger("pathway_id");
  const int inGate = card.FieldAsInteger("in_gate");
  const bool noPath = device.FieldAsBoolean("no_path");
  if (debugLog && log)
    log->LogFmt("Card#: %s - pathway_id ( > 0) %d  /  in_gate (<> -1) %d  /  no_path (<> 0) %d",
                card.FieldAsString("number"), pathway, inGate, noPath ? 1 : 0);
  if (pathway <= 0 || inGate == -1 || noPath) return true;

  const int deviceId = device.FieldAsInteger("id");
  TODBCStatement hop(odbc);
  if (!hop.ExecSQLFmt("SELECT * FROM pathway_ft WHERE pathway_id=%d and from_device=%d and "
                      "to_device=%d",
                      pathway, inGate, deviceId)) {
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

bool PassbackAllows(TODBCStatement& card, TODBCStatement& cardType, TODBCStatement& device,
                    int pbResetMinutes, TDateTime transTime) {
  if (cardType.FieldAsBoolean("ignore_passback")) return true;
  const int dir = device.FieldAsInteger("dir_ection");
  if (dir == 3 || dir == 0) return true;
  if (dir != card.FieldAsInteger("in_lot")) return true;
  // The same direction again: allowed only once the reset time has passed;
  // a reset time of 0 never resets.
  if (pbResetMinutes <= 0) return false;
  return detail::MinutesBetween(card.FieldAsDateTime("trans_dt"), transTime) >= pbResetMinutes;
}

void UpdateLastPass(TODBCStatement& update, double cardNo, TDateTime transTime) {
  TSql sql(update);
  sql.AddDateTime("trans_dt", transTime);
  std::string text;
  sql.BuildUpdate("UPDATE card", "WHERE number = %f", text);
  update.ExecSQLFmt(text, cardNo);
}

void UpdatePathwayPosition(TODBC& odbc, TODBCStatement& card, TODBCStatement& device,
                           TODBCStatement& cardType) {
  const int pathway = cardType.FieldAsInteger("pathway_id");
  if (pathway <= 0) return;
  const int deviceId = device.FieldAsInteger("id");
  TODBCStatement q(odbc);
  // On the pathway while a hop of it starts here, off it (-1) otherwise.
  const bool hopStarts = q.ExecSQLFmt(
      "SELECT * FROM pathway_ft WHERE pathway_id=%d and from_device=%d", pathway, deviceId);
  q.ExecSQLFmt("UPDATE card SET in_gate=%d WHERE number=" + detail::NumberLiteral(card, "number"),
               hopStarts ? deviceId : -1);
}

void UpdateGroupCount(TODBC& odbc, TODBCStatement& card, TODBCStatement& device) {
  const int group = card.FieldAsInteger("group_id");
  if (group <= 0) return;
  TODBCStatement q(odbc);
  if (!q.ExecSQLFmt("SELECT * FROM card_pool WHERE id = %d", group)) return;
  const int dir = device.FieldAsInteger("dir_ection");
  if (dir == 1)
    q.ExecSQLFmt("UPDATE card_pool SET cur_inlot = cur_inlot + 1 WHERE id = %d", group);
  else if (dir == 2 && q.FieldAsInteger("cur_inlot") > 0)
    q.ExecSQLFmt("UPDATE card_pool SET cur_inlot = cur_inlot - 1 WHERE id = %d", group);
}

}  // namespace orlo
