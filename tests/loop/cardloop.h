// Shared set-up of the card, exit-pass and ticket tests: the loop fixture with
// the demo site loaded (loop 1 on COM1: entry reader 1, exit reader 2, barcode
// exit reader 3, ticket spitter 4; lot 1 counted through input-7 items; cards
// 1001 Ann Lee, 1003 expired, ...), helpers to create the loop with a mail
// worker, to present data at a device through the simulator and to read back
// what the loop wrote.
#pragma once

#include <memory>
#include <string>

#include "loopfixture.h"
#include "mail/mailworker.h"
#include "platform/clock.h"
#include "support/privatemariadb.h"

namespace orlo::test {

class CardLoopTest : public LoopFixtureP {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs schema/demo.sql on the fixture's connection.
  void LoadDemo();
  // Starts the simulator for addresses 1..4 on COM1 and creates loop 1;
  // mail (may be null) becomes the loop's mail worker.
  void StartLoop(TMailWorker* mail = nullptr);

  // Reports from a device: card data ('C'), a memory-card record ('M'), a
  // barcode ('#').
  void Present(int address, const std::string& card) { Sim().QueueReply(address, 'C', card); }
  void PresentMemory(int address, const std::string& record) {
    Sim().QueueReply(address, 'M', record);
  }
  void PresentBarcode(int address, const std::string& code) {
    Sim().QueueReply(address, '#', code);
  }

  // Waits for the next gate answer ('G' or 'B') to the address after the
  // ones already seen; "G005Welcome" or "BCard expired", or "" on time-out.
  std::string NextGateAnswer(int address);
  // Waits for a few more polls of the address and tells whether any gate
  // answer came besides the ones already seen.
  bool NoFurtherGateAnswer(int address);

  // Makes the loop's database unreachable: its supervisor is pointed at a
  // driver that does not exist and the connection is dropped, so every
  // reconnect fails. Waits until the loop sees the database down.
  void TakeDatabaseDown();
  bool LoopDatabaseUp();

  int TransCount(const std::string& where = "") { return CountRows("trans", where); }
  int CountSoft(int deviceId) {
    return QueryInt("SELECT count_soft FROM device WHERE id = " + std::to_string(deviceId));
  }
  int LotCount() { return QueryInt("SELECT lot_count FROM lot WHERE id = 1"); }
  TDateTime QueryDateTime(const std::string& sql, const std::string& column);

  std::unique_ptr<TMailWorker> mail_;

 private:
  int seenGate_[17] = {};
};

// The loop on a MariaDB server of the test's own (started from the test
// template), which the test may stop, kill, freeze and thaw.
class PrivateServerCardTest : public CardLoopTest {
 protected:
  void TearDown() override;
  // Starts the private server, loads the schema and the demo site into its
  // database "tarn" (device 1 with open pulse 7) and points the registry
  // store (the loop's connection parameters) at it.
  void StartPrivateServer();
  // Connects another TODBC to the private server's site database.
  bool ConnectToServer(TODBC& odbc);

  std::unique_ptr<TPrivateMariaDB> server_;
};

// A 10-character barcode: the cycle-seconds code of `when` and the lane.
std::string CycleBarcode(TDateTime when, int lane);
// A 12-character barcode: seconds since 31 December 1999 and two more digits.
std::string SecondsBarcode(TDateTime when, const std::string& tail = "00");
// "TTTTMMDDHHNN" of when.
std::string OldFormatBarcode(TDateTime when, const std::string& ticket = "0042");

}  // namespace orlo::test
