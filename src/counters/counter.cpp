#include "counters/counter.h"

#include "db/odbc.h"
#include "log/messlog.h"
#include "platform/format.h"

namespace orlo {

namespace {}  // namespace

int TCounter::CounterValue(std::string_view report, int i) {
  if (i < 1 || static_cast<std::size_t>(i) > report.size()) return 0;
  return static_cast<unsigned char>(report[static_cast<std::size_t>(i - 1)]) & 0x0F;
}

int TCounter::CounterStep(int last, int now) {
  const int d = (now & 0x0F) - (last & 0x0F);
  return d < 0 ? d + 16 : d;
}

namespace {

// v + 1 without overflow: count_soft is written by other programs too.
int PlusOne(int v) { return static_cast<int>(static_cast<long long>(v) + 1); }

}  // namespace

TCounter::TCounter(TMessLog* log, bool softCounter, int address, int loopId, TODBC* conn)
    : log_(log), conn_(conn), softCounter_(softCounter) {
  TODBCStatement q(conn_);
  if (q.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", loopId, address)) {
    softCount_ = q.FieldAsInteger("count_soft");
    deviceId_ = q.FieldAsInteger("id");
    lotId_ = q.FieldAsInteger("lot_id");
  }
}

void TCounter::Log(const std::string& line) {
  if (log_) log_->Log(line);
}

std::string TCounter::Process(std::string_view report) {
  std::string result = "Invalid";
  if (report.size() < kHardwareCounters) {
    Log("TCounter.Process ERROR!  CounterData Length Invalid! - " + std::string(report));
    return result;
  }
  TODBCStatement dev(conn_);
  const bool deviceFound = dev.ExecSQLFmt("SELECT * FROM device WHERE id = %d", deviceId_);
  if (deviceFound) result = dev.FieldAsString("name");

  if (firstReport_) {
    for (int i = 1; i <= kHardwareCounters; ++i) lastValues_[i] = CounterValue(report, i);
    firstReport_ = false;
    return result;
  }

  const int deviceLot = dev.FieldAsInteger("LOT_ID");
  bool lotFound = false;
  {
    TODBCStatement lot(conn_);
    lotFound = lot.ExecSQLFmt("SELECT * FROM lot WHERE id = %d", deviceLot);
  }
  TODBCStatement upd(conn_);
  for (int i = 1; i <= kHardwareCounters; ++i) {
    const int v = CounterValue(report, i);
    const int d = CounterStep(lastValues_[i], v);
    // Without the device row the running totals are unknown: writing "0 + d"
    // would wipe them, so only the last values move on.
    if (d != 0 && deviceFound) {
      const std::string column = "count" + std::to_string(i);
      const long long total = static_cast<long long>(dev.FieldAsInteger(column)) + d;
      upd.ExecSQLFmt("UPDATE device SET %s = %d WHERE id = %d", column, total, deviceId_);
      if (lotFound) ApplyCounterItems(d, i + 1, dev.FieldAsInteger("lot_id"));
    }
    lastValues_[i] = v;
  }
  return result;
}

void TCounter::Restart() {
  lastValues_.fill(0);
  firstReport_ = false;
}

void TCounter::AddSoftCount() {
  TODBCStatement dev(conn_);
  if (dev.ExecSQLFmt("SELECT * FROM device WHERE id = %d", deviceId_)) {
    softCount_ = PlusOne(dev.FieldAsInteger("count_soft"));
    bool lotFound = false;
    {
      TODBCStatement lot(conn_);
      lotFound = lot.ExecSQLFmt("SELECT * FROM lot WHERE id = %d", dev.FieldAsInteger("LOT_ID"));
    }
    if (lotFound) ApplyCounterItems(1, kSoftInput, dev.FieldAsInteger("lot_id"));
  } else {
    // The row could not be read: follow the increment made below, so that a
    // later CheckSoftCount does not take the whole count_soft as new passes.
    softCount_ = PlusOne(softCount_);
  }
  TODBCStatement upd(conn_);
  upd.ExecSQLFmt("UPDATE device SET count_soft = count_soft + 1 WHERE id = %d", deviceId_);
}

void TCounter::CheckSoftCount(TODBCStatement& s) {
  // A device row that cannot be read says nothing about count_soft; taking it
  // as 0 would make the next successful read count every pass ever made.
  if (!s.ExecSQLFmt("select * from device WHERE id = %d", deviceId_)) return;
  const int n = s.FieldAsInteger("count_soft");
  if (n > softCount_) {
    const long long diff = static_cast<long long>(n) - softCount_;
    bool lotFound = false;
    {
      TODBCStatement lot(conn_);
      lotFound = lot.ExecSQLFmt("SELECT * FROM lot WHERE id = %d", s.FieldAsInteger("LOT_ID"));
    }
    if (lotFound) {
      Log("Timer Lot Change Value: " + std::to_string(diff));
      ApplyCounterItems(diff, kSoftInput, s.FieldAsInteger("lot_id"));
    }
    Log("Soft Count Device Id: " + std::to_string(deviceId_) + " was " +
        std::to_string(softCount_) + " is " + std::to_string(n) + " diff " + std::to_string(diff));
  }
  softCount_ = n;
}

void TCounter::ApplyCounterItems(long long amount, int input, int deviceLot) {
  TODBCStatement items(conn_);
  TODBCStatement work(conn_);
  for (bool row = items.ExecSQLFmt(
           "SELECT c.*,k.lot_id FROM counter_item c left join counters k on c.cntr_id=k.id "
           "WHERE device_id=%d and input=%d",
           deviceId_, input);
       row; row = items.dbSkip()) {
    const int target = items.FieldAsInteger("lot_id");
    std::string sql;
    switch (items.FieldAsInteger("chg_lot")) {
      case 1:
        sql = Format("UPDATE lot SET lot_count=lot_count+%d WHERE id=%d", amount, target);
        break;
      case 2: {
        // A read that failed (as opposed to finding no row) leaves the count
        // unknown; the floor would then set a full lot to 0, so nothing is done.
        if (!work.ExecSQLFmt("select lot_count from lot WHERE id=%d", target) && !work.Eof()) break;
        if (static_cast<long long>(work.FieldAsInteger("lot_count")) - amount < 0)
          sql = Format("UPDATE lot SET lot_count=0 WHERE id=%d", target);
        else
          sql = Format("UPDATE lot SET lot_count=lot_count-%d WHERE id=%d", amount, target);
        break;
      }
      default:
        break;
    }
    Log("Counter sql: " + sql);
    if (!sql.empty()) {
      work.ExecSQL(sql);
      FlagLotFull(deviceLot);
    }
  }
}

void TCounter::FlagLotFull(int lot) {
  TODBCStatement q(conn_);
  q.ExecSQLFmt("UPDATE device SET lf_output_flag = 1 WHERE lot_id = %d and lf_enabled <> 0", lot);
  q.ExecSQLFmt("UPDATE device SET lf_sign_flag = 1 WHERE lot_id = %d and lf_sign <> 0", lot);
}

}  // namespace orlo
