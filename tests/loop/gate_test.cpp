// Gates driven by the main timer: held open or closed by schedule (ForceGate)
// and opened once from a remote workstation (ManualOpen with its trans row).
#include <string>

#include "bus/card.h"
#include "loopfixture.h"

namespace orlo::test {
namespace {

class LoopGate : public LoopFixture {};
class LoopGateP : public LoopFixtureP {};

TEST_F(LoopGate, ForceGateSendsOnlyChanges) {
  AddLoop(1, "GATEPC", 6);
  AddMessages(1, "Closed", "Held open");
  AddDevice(1, 2, "Barrier", {{"msg_id", "1"}});
  StartSim(6, {2});
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Device started.")) << LogText();
  bool changed = false;
  OnMain([&] { changed = Loop().ForceGate(2, true); });
  EXPECT_TRUE(changed);
  sim::TReceivedFrame f;
  ASSERT_TRUE(WaitFrame(2, 'O', "", &f));
  EXPECT_EQ(f.frame.data, "Held open");
  EXPECT_EQ(LogCount("Loop id 1 address 2 forced open"), 1);

  OnMain([&] { changed = Loop().ForceGate(2, true); });
  EXPECT_FALSE(changed);
  OnMain([&] { changed = Loop().ForceGate(2, false); });
  EXPECT_TRUE(changed);
  ASSERT_TRUE(WaitFrame(2, 'X', "", &f));
  EXPECT_EQ(f.frame.data, "Closed");
  EXPECT_EQ(LogCount("Loop id 1 address 2 forced closed"), 1);
  OnMain([&] { changed = Loop().ForceGate(2, false); });
  EXPECT_FALSE(changed);
  EXPECT_TRUE(WaitPolls(2));
  EXPECT_EQ(FramesOf(2, 'O').size(), 1u);
  EXPECT_EQ(FramesOf(2, 'X').size(), 1u);
}

TEST_F(LoopGate, ForceGateOnAClosedPortForcesAgainEveryTime) {
  AddLoop(1, "GATEPC", 6);
  AddDevice(1, 2, "Barrier");
  SetSetting("COM6", dir_.file("missing-tty"), "Ports");
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Failed to open port COM6 for loop id 1"));
  OnMain([&] {
    EXPECT_TRUE(Loop().ForceGate(2, true));
    EXPECT_TRUE(Loop().ForceGate(2, true));
    EXPECT_FALSE(Loop().ForceGate(2, false));
  });
}

TEST_P(LoopGateP, ManualOpenSendsTheGateAndWritesOneTransRow) {
  AddLoop(1, "GATEPC", 6);
  // The literal O'Brien\ as each server reads it (MariaDB takes backslash as an escape).
  const std::string user = IsMariaDB() ? "'O''Brien\\\\'" : "'O''Brien\\'";
  const int id = AddDevice(1, 2, "Barrier", {{"remote_user", user}, {"remote_ip", "'10.0.0.9'"}});
  // Text a workstation wrote that must stay text: quotes, a backslash, SQL.
  Exec("UPDATE device SET remote_ip = '10.0.0.9''); DELETE FROM trans; --' WHERE id = " +
       std::to_string(id));
  Exec("INSERT INTO trans (card_no, error_code, error_desc) VALUES (1, 0, 'earlier')");
  StartSim(6, {2});
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Device started.")) << LogText();
  OnMain([&] { Loop().ManualOpen(2, 7); });
  EXPECT_EQ(LogCount("Manual open Loop Id 1 address 2"), 1);
  sim::TReceivedFrame f;
  ASSERT_TRUE(WaitFrame(2, 'G', "", &f));
  EXPECT_EQ(f.frame.data, "007Manual Open");

  ASSERT_EQ(CountRows("trans"), 2) << LogText();
  TODBCStatement q(Db());
  ASSERT_TRUE(q.ExecSQL("SELECT * FROM trans WHERE error_code = 999"));
  EXPECT_EQ(q.FieldAsInteger("device_id"), id);
  EXPECT_EQ(q.FieldAsString("error_desc"), "Manual Open");
  EXPECT_EQ(q.FieldAsFloat("cardno"), 9999999.0);
  EXPECT_EQ(q.FieldAsString("card_no"), "");  // no card number: NULL
  EXPECT_EQ(q.FieldAsString("device_name"), "Barrier");
  EXPECT_EQ(q.FieldAsString("first_name"), "O'Brien\\");
  EXPECT_EQ(q.FieldAsString("last_name"), "IP:10.0.0.9'); DELETE FROM trans; --");
  EXPECT_GT(q.FieldAsDateTime("dat_e"), 0.0);
  EXPECT_FALSE(q.dbSkip());
}

INSTANTIATE_TEST_SUITE_P(Backends, LoopGateP, LoopBackends(), LoopBackendName);

}  // namespace
}  // namespace orlo::test
