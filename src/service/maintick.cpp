// TOrloCard maintenance tick: restart requests, the minute jobs (resets, gate
// schedules and held-open gates, heartbeat, clock setting), remote opens and
// the output refresh.
#include <exception>

#include "access/cardcheck.h"
#include "config/registryex.h"
#include "db/odbc.h"
#include "db/odbcconn.h"
#include "log/messlog.h"
#include "loop/loop.h"
#include "platform/text.h"
#include "service/jobs.h"
#include "service/orlocard.h"

namespace orlo {

namespace {

struct TDeviceRow {
  int id = 0;
  int address = 0;
  bool permOpen = false;
  bool openFlag = false;
  int openPulse = 0;
};

int MinuteOf(TDateTime when) {
  int h, m, s, ms;
  DecodeTime(when, h, m, s, ms);
  return m;
}

}  // namespace

void TOrloCard::MainTick() {
  try {
    if (RestartRequested()) {
      UpdateAllOutputs();
      ShutDown();
      return;
    }
    const int minute = MinuteOf(Now());
    if (minute == LastMinute) {
      CheckOpenFlags(Now());
    } else {
      LastMinute = minute;
      AutoReset(Now());
      LotCountReset(Now());
      GateControl(Now());
      SyncAllClocks();
    }
    UpdateAllOutputs();
  } catch (const std::exception& e) {
    Log(std::string("MainTick - Exception: ") + e.what());
  } catch (...) {
    Log("MainTick - Exception");
  }
}

bool TOrloCard::RestartRequested() { return Connected() && orlo::RestartRequested(*DB); }

void TOrloCard::AutoReset(TDateTime now) {
  if (Connected()) orlo::AutoReset(*DB, MessLog.get(), now);
}

void TOrloCard::LotCountReset(TDateTime now) {
  if (Connected()) orlo::LotCountReset(*DB, now);
}

void TOrloCard::GateControl(TDateTime now) {
  if (!Connected()) return;
  const int day = GateDayNumber(HolidayTab(*DB, now), now);

  TODBCStatement q(*DB);
  q.ExecSQLFmt("UPDATE " + DB->QuoteTable("loop") + " SET lastupdate={fn now()} WHERE name='%s'",
               SqlStringText(*DB, LowerCase(ReadComputerName())));

  TODBCStatement schedule(*DB);
  for (auto& loop : Loops) {
    // The rows are read first: the updates below and the loop's own
    // connection must not meet an open cursor on the device table.
    std::vector<TDeviceRow> devices;
    for (bool ok = q.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d", loop->Id()); ok;
         ok = q.dbSkip()) {
      TDeviceRow row;
      row.id = q.FieldAsInteger("id");
      row.address = q.FieldAsInteger("addr_ess");
      row.permOpen = q.FieldAsBoolean("perm_open");
      row.openFlag = q.FieldAsBoolean("open_flag");
      row.openPulse = DeviceOpenPulse(q.CurrentRow());
      devices.push_back(row);
    }
    for (const TDeviceRow& device : devices) {
      const bool wanted = ScheduledOpen(schedule, device.id, day, now) || device.permOpen;
      if (loop->ForceGate(device.address, wanted))
        q.ExecSQLFmt("UPDATE device SET gate_up=%d WHERE id=%d", wanted ? 1 : 0, device.id);
      if (device.openFlag) {
        q.ExecSQLFmt("UPDATE device SET open_flag = 0 WHERE id = %d", device.id);
        // A gate held open needs no remote open: the flag is only cleared.
        if (!wanted) loop->ManualOpen(device.address, device.openPulse);
      }
    }
  }
}

void TOrloCard::CheckOpenFlags(TDateTime now) {
  if (LoopIdList.empty() || !Connected()) return;
  bool flagged = false;
  {
    TODBCStatement q(*DB);
    flagged = q.ExecSQLFmt("SELECT * FROM device WHERE loop_id in %s and open_flag<>0", LoopIdList);
  }
  if (flagged) GateControl(now);
}

void TOrloCard::UpdateAllOutputs() {
  for (auto& loop : Loops) loop->UpdateOutputs();
}

void TOrloCard::SyncAllClocks() {
  for (auto& loop : Loops) loop->SyncClocks();
}

}  // namespace orlo
