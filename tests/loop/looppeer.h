// What the loop tests read and set of a TLoop's own state: the loop names
// this class its friend, so its state stays private to the program. Main
// thread only, like the loop itself (tests use it inside OnMain).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bus/card.h"
#include "counters/counter.h"
#include "counters/input.h"
#include "db/odbc.h"
#include "db/odbcconn.h"
#include "loop/loop.h"

namespace orlo {

class TLoopTestPeer {
 public:
  explicit TLoopTestPeer(TLoop& loop) : loop_(loop) {}

  TCard* Card() const { return loop_.Card.get(); }
  TODBC& DB() const { return *loop_.DB; }
  TODBCConn& Conn() const { return *loop_.Conn; }
  TEventLog& EventLog() const { return *loop_.EventLog; }
  const std::vector<std::unique_ptr<TCounter>>& Counters() const { return loop_.Counters; }
  const std::vector<std::unique_ptr<TInput>>& Inputs() const { return loop_.Inputs; }
  const std::vector<TDeviceTypes>& DeviceTypes() const { return loop_.DeviceTypes; }

  bool DebugLog() const { return loop_.DebugLog; }
  int SyncMinutes() const { return loop_.SyncMinutes; }
  int SyncCount() const { return loop_.SyncCount; }
  int LastPulse() const { return loop_.LastPulse; }
  bool SyncExitReader() const { return loop_.SyncExitReader; }
  const std::string& EmailServer() const { return loop_.EmailServer; }
  int EmailPort() const { return loop_.EmailPort; }
  int GraceTimeFuture() const { return loop_.GraceTimeFuture; }
  // Settings a test may change after the loop read them.
  std::vector<int>& ExtendedGraceLanes() const { return loop_.ExtendedGraceLanes; }
  int& GraceTimeExtended() const { return loop_.GraceTimeExtended; }
  bool& FlatRate() const { return loop_.FlatRate; }
  bool& OldTicketFormat() const { return loop_.OldTicketFormat; }

 private:
  TLoop& loop_;
};

}  // namespace orlo
