#include "counters/input.h"

#include <cmath>

#include "db/odbc.h"

namespace orlo {

namespace {

// Whole seconds from since to now. Rounded to milliseconds first, so that a
// span of exactly 30 s held as a day fraction does not come out as 29.
long long SecondsBetween(TDateTime since, TDateTime now) {
  const long long ms = std::llround((now - since) * kSecondsPerDay * 1000.0);
  return ms / 1000;
}

}  // namespace

bool TInput::InputActive(std::string_view report, int input) {
  if (input < 1 || input > 8 || report.empty()) return false;
  return (static_cast<unsigned char>(report[0]) >> (input - 1)) & 1U;
}

void TEventLog::AddEvent(const std::string& text, int kind, int address) {
  if (listener_) listener_(text, kind, address);
}

TInput::TInput(int loopId, TODBC* conn, TEventLog* eventLog, TMessLog* messLog, TPulseOutput pulse,
               int address)
    : pulse_(std::move(pulse)),
      address_(address),
      messLog_(messLog),
      eventLog_(eventLog),
      conn_(conn) {
  TODBCStatement q(conn_);
  if (q.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", loopId, address)) {
    deviceId_ = q.FieldAsInteger("id");
    doorInput_ = q.FieldAsInteger("door_input");
    ajarTimer_ = q.FieldAsInteger("ajar_timer");
    ajarOutput_ = q.FieldAsInteger("ajar_output");
    fireInput_ = q.FieldAsInteger("fire_input");
  }
}

void TInput::ProcessInput(std::string_view report) {
  if (report.empty()) return;
  DoorAjar(report);
  FireInput(report);
}

void TInput::DoorAjar(std::string_view report) {
  if (doorInput_ == 0 || ajarOutput_ == 0) return;
  TODBCStatement q(conn_);
  if (InputActive(report, doorInput_)) {
    const TDateTime now = Now();
    if (openSince_ == 0) openSince_ = now;
    if (SecondsBetween(openSince_, now) < ajarTimer_) return;
    // The alarm counts as started only once door_ajar = 1 is stored, so a
    // failed write is tried again at the next report.
    if (!alarm_ && q.ExecSQLFmt("UPDATE device SET door_ajar = 1 WHERE id = %d", deviceId_)) {
      if (eventLog_) eventLog_->AddEvent("Door Ajar Alarm", TEventLog::kDoorAjarAlarm, -1);
      alarm_ = true;
    }
    if (!acknowledged_ && q.ExecSQLFmt("SELECT alarm_ack FROM device WHERE id = %d", deviceId_) &&
        q.FieldAsBoolean("alarm_ack")) {
      acknowledged_ = true;
      q.ExecSQLFmt("UPDATE device SET alarm_ack = 0 WHERE id = %d", deviceId_);
      if (eventLog_)
        eventLog_->AddEvent("Door Ajar Acknowledged", TEventLog::kDoorAjarAcknowledged, -1);
    }
    if (!acknowledged_ && pulse_) pulse_(address_, ajarOutput_, kAjarPulse);
    return;
  }
  // Door closed. A failed clear keeps the alarm flag so the next report that
  // shows the door closed writes door_ajar = 0 again.
  if (alarm_ && q.ExecSQLFmt("UPDATE device SET door_ajar = 0 WHERE id = %d", deviceId_))
    alarm_ = false;
  openSince_ = 0;
  acknowledged_ = false;
}

void TInput::FireInput(std::string_view report) {
  if (fireInput_ == 0) return;
  const bool active = InputActive(report, fireInput_);
  if (active == fire_) return;
  TODBCStatement q(conn_);
  // The state changes only with a stored perm_open: gates that must open in a
  // fire may not stay shut because one write failed; the next report retries.
  if (active) {
    if (q.ExecSQL("UPDATE device SET perm_open = 1, remote_user = 'FIRE INPUT!', remote_ip = 'ON' "
                  "WHERE fire_flag = 1")) {
      if (eventLog_) eventLog_->AddEvent("Fire Alarm", TEventLog::kFireAlarm, -1);
      fire_ = true;
    }
  } else {
    if (q.ExecSQL("UPDATE device SET perm_open = 0, remote_user = 'FIRE INPUT!', remote_ip = "
                  "'OFF' WHERE fire_flag = 1"))
      fire_ = false;
  }
}

}  // namespace orlo
