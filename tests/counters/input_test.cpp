// TInput against a real database: door-ajar timing, alarm output pulses and
// acknowledgement, and the fire input; TEventLog as the events' receiver.
#include "counters/input.h"

#include <tuple>
#include <vector>

#include "countertest.h"
#include "platform/clock.h"

namespace orlo::test {
namespace {

constexpr char kDoor = 0x02;  // input 2 active
constexpr char kFire = 0x08;  // input 4 active
constexpr char kNone = 0x00;

struct Event {
  std::string text;
  int kind, address;
  bool operator==(const Event&) const = default;
};
struct Pulse {
  int address, output, duration;
  bool operator==(const Pulse&) const = default;
};

class InputTest : public CountersDbTest {
 protected:
  void SetUp() override {
    CountersDbTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // Address 7: door contact on input 2, 30 s, alarm output 3; fire input 4.
    Exec(
        "INSERT INTO device (id, loop_id, addr_ess, name, door_input, ajar_timer, ajar_output, "
        "fire_input, fire_flag) VALUES (30, 1, 7, 'Door 7', 2, 30, 3, 4, 1)");
    // Fire gates elsewhere, also on another loop; one gate held open for
    // another reason that is not a fire gate.
    Exec(
        "INSERT INTO device (id, loop_id, addr_ess, name, fire_flag) VALUES (31, 1, 8, 'Gate 8', "
        "1)");
    Exec(
        "INSERT INTO device (id, loop_id, addr_ess, name, fire_flag) VALUES (32, 5, 1, 'Gate 5/1', "
        "1)");
    Exec(
        "INSERT INTO device (id, loop_id, addr_ess, name, perm_open, remote_user, remote_ip) "
        "VALUES (33, 1, 9, 'Held 9', 1, 'ops', '10.0.0.9')");
    // Address 10: door without delay; address 11: a door input beyond the
    // first report byte; address 12: no alarm output, so no supervision.
    Exec(
        "INSERT INTO device (id, loop_id, addr_ess, name, door_input, ajar_timer, ajar_output) "
        "VALUES (34, 1, 10, 'Door 10', 1, 0, 2)");
    Exec(
        "INSERT INTO device (id, loop_id, addr_ess, name, door_input, ajar_timer, ajar_output) "
        "VALUES (35, 1, 11, 'Door 11', 9, 0, 2)");
    Exec(
        "INSERT INTO device (id, loop_id, addr_ess, name, door_input, ajar_timer, ajar_output) "
        "VALUES (36, 1, 12, 'Door 12', 1, 0, 0)");
    events_ = std::make_unique<TEventLog>(odbc_, 1);
    events_->SetListener([this](const std::string& text, int kind, int address) {
      seen_.push_back({text, kind, address});
    });
    t0_ = EncodeDate(2026, 3, 2) + EncodeTime(8, 0, 0, 0);
    SetTestNow(t0_);
  }
  void TearDown() override {
    ClearTestNow();
    CountersDbTest::TearDown();
  }

  std::unique_ptr<TInput> Make(int address) {
    return std::make_unique<TInput>(
        1, odbc_, events_.get(), log_.get(),
        [this](int a, int o, int d) {
          pulses_.push_back({a, o, d});
        },
        address);
  }
  static std::string R(char c) { return std::string(1, c); }
  void At(double seconds) { SetTestNow(t0_ + seconds / kSecondsPerDay); }

  std::unique_ptr<TEventLog> events_;
  std::vector<Event> seen_;
  std::vector<Pulse> pulses_;
  TDateTime t0_ = 0;
};

TEST_P(InputTest, CreationReadsTheConfiguration) {
  auto in = Make(7);
  EXPECT_EQ(in->DeviceId(), 30);
  EXPECT_EQ(in->DoorInput(), 2);
  EXPECT_EQ(in->AjarTimer(), 30);
  EXPECT_EQ(in->AjarOutput(), 3);
  EXPECT_EQ(in->FireInputNumber(), 4);
  EXPECT_EQ(in->OpenSince(), 0);
  EXPECT_FALSE(in->Alarm() || in->Acknowledged() || in->Fire());
  auto none = Make(13);
  EXPECT_EQ(none->DeviceId(), 0);
  none->ProcessInput(R(static_cast<char>(0xFF)));
  EXPECT_TRUE(pulses_.empty() && seen_.empty());
}

TEST_P(InputTest, DoorAjarAlarmPulsesUntilAcknowledgedAndClearsOnClosing) {
  auto in = Make(7);
  in->ProcessInput(R(kDoor));
  At(29.999);
  in->ProcessInput(R(kDoor));
  EXPECT_TRUE(pulses_.empty());
  EXPECT_EQ(DeviceInt(30, "door_ajar"), 0);
  EXPECT_FALSE(in->Alarm());

  At(30);  // 30 whole seconds after the door was first seen open
  in->ProcessInput(R(kDoor));
  EXPECT_EQ(DeviceInt(30, "door_ajar"), 1);
  EXPECT_EQ(seen_, (std::vector<Event>{{"Door Ajar Alarm", 2, -1}}));
  EXPECT_EQ(pulses_, (std::vector<Pulse>{{7, 3, 5}}));

  // Still open: pulsed again, door_ajar not written again.
  Exec("UPDATE device SET door_ajar = 0 WHERE id = 30");
  At(35);
  in->ProcessInput(R(kDoor));
  EXPECT_EQ(pulses_.size(), 2u);
  EXPECT_EQ(DeviceInt(30, "door_ajar"), 0);
  EXPECT_EQ(seen_.size(), 1u);

  // The operator acknowledges: no more pulses, alarm_ack reset.
  Exec("UPDATE device SET alarm_ack = 1, door_ajar = 1 WHERE id = 30");
  At(40);
  in->ProcessInput(R(kDoor));
  EXPECT_EQ(pulses_.size(), 2u);
  EXPECT_EQ(DeviceInt(30, "alarm_ack"), 0);
  EXPECT_TRUE(in->Acknowledged());
  EXPECT_EQ(seen_.back(), (Event{"Door Ajar Acknowledged", 3, -1}));
  At(50);
  in->ProcessInput(R(kDoor));
  EXPECT_EQ(pulses_.size(), 2u);
  EXPECT_EQ(seen_.size(), 2u);

  // Closing clears door_ajar and starts afresh.
  At(60);
  in->ProcessInput(R(kNone));
  EXPECT_EQ(DeviceInt(30, "door_ajar"), 0);
  EXPECT_FALSE(in->Alarm() || in->Acknowledged());
  EXPECT_EQ(in->OpenSince(), 0);
  At(70);
  in->ProcessInput(R(kDoor));
  At(99);
  in->ProcessInput(R(kDoor));
  EXPECT_EQ(pulses_.size(), 2u);
  At(100);
  in->ProcessInput(R(kDoor));
  EXPECT_EQ(pulses_.size(), 3u);
  EXPECT_EQ(seen_.back(), (Event{"Door Ajar Alarm", 2, -1}));
}

TEST_P(InputTest, DoorClosingBeforeTheTimerWritesNothing) {
  auto in = Make(7);
  Exec("UPDATE device SET door_ajar = 7 WHERE id = 30");  // would show any write
  in->ProcessInput(R(kDoor));
  At(20);
  in->ProcessInput(R(kNone));
  At(60);
  in->ProcessInput(R(kNone));
  EXPECT_EQ(DeviceInt(30, "door_ajar"), 7);
  EXPECT_TRUE(pulses_.empty() && seen_.empty());
}

TEST_P(InputTest, TimerZeroAlarmsAtOnceAndUnwatchableDoorsNever) {
  auto now = Make(10);
  now->ProcessInput(R(0x01));
  EXPECT_EQ(pulses_, (std::vector<Pulse>{{10, 2, 5}}));
  EXPECT_EQ(DeviceInt(34, "door_ajar"), 1);

  auto beyond = Make(11);  // input 9 is not in the first byte
  auto noOutput = Make(12);
  beyond->ProcessInput("\xFF\xFF");
  noOutput->ProcessInput(R(0x01));
  EXPECT_EQ(pulses_.size(), 1u);
  EXPECT_EQ(DeviceInt(35, "door_ajar"), 0);
  EXPECT_EQ(DeviceInt(36, "door_ajar"), 0);
}

TEST_P(InputTest, EmptyReportCarriesNoInputState) {
  auto in = Make(7);
  in->ProcessInput(R(kDoor | kFire));
  ASSERT_TRUE(in->Fire());
  const TDateTime since = in->OpenSince();
  in->ProcessInput("");
  EXPECT_TRUE(in->Fire());
  EXPECT_EQ(in->OpenSince(), since);
  EXPECT_EQ(DeviceInt(31, "perm_open"), 1);
}

TEST_P(InputTest, FireOpensEveryFireGateAndReleasesThemAll) {
  auto in = Make(7);
  in->ProcessInput(R(kFire));
  for (int id : {30, 31, 32}) {
    EXPECT_EQ(DeviceInt(id, "perm_open"), 1) << id;
    EXPECT_EQ(
        Text("SELECT remote_user FROM device WHERE id = " + std::to_string(id), "remote_user"),
        "FIRE INPUT!");
    EXPECT_EQ(Text("SELECT remote_ip FROM device WHERE id = " + std::to_string(id), "remote_ip"),
              "ON");
  }
  EXPECT_EQ(seen_, (std::vector<Event>{{"Fire Alarm", 4, -1}}));

  // Still active: nothing written again.
  Exec("UPDATE device SET perm_open = 0 WHERE id = 31");
  in->ProcessInput(R(kFire));
  EXPECT_EQ(DeviceInt(31, "perm_open"), 0);
  EXPECT_EQ(seen_.size(), 1u);

  // Inactive: every fire gate released, also one held open since for another
  // reason; the gate without fire_flag keeps its state.
  Exec("UPDATE device SET perm_open = 1, remote_user = 'ops' WHERE id = 31");
  in->ProcessInput(R(kNone));
  for (int id : {30, 31, 32}) {
    EXPECT_EQ(DeviceInt(id, "perm_open"), 0) << id;
    EXPECT_EQ(Text("SELECT remote_ip FROM device WHERE id = " + std::to_string(id), "remote_ip"),
              "OFF");
  }
  EXPECT_EQ(DeviceInt(33, "perm_open"), 1);
  EXPECT_EQ(Text("SELECT remote_user FROM device WHERE id = 33", "remote_user"), "ops");
  EXPECT_FALSE(in->Fire());
  EXPECT_EQ(seen_.size(), 1u);
  in->ProcessInput(R(kNone));
  EXPECT_EQ(Text("SELECT remote_user FROM device WHERE id = 31", "remote_user"), "FIRE INPUT!");
}

TEST_P(InputTest, FailedFireWriteIsRetriedAtTheNextReport) {
  auto in = Make(7);
  BlockDeviceUpdates();
  in->ProcessInput(R(kFire));
  EXPECT_FALSE(in->Fire());
  EXPECT_TRUE(seen_.empty());
  UnblockDeviceUpdates();
  in->ProcessInput(R(kFire));
  EXPECT_TRUE(in->Fire());
  EXPECT_EQ(DeviceInt(31, "perm_open"), 1);
  EXPECT_EQ(seen_, (std::vector<Event>{{"Fire Alarm", 4, -1}}));

  BlockDeviceUpdates();
  in->ProcessInput(R(kNone));
  EXPECT_TRUE(in->Fire());
  UnblockDeviceUpdates();
  in->ProcessInput(R(kNone));
  EXPECT_FALSE(in->Fire());
  EXPECT_EQ(DeviceInt(31, "perm_open"), 0);
}

TEST_P(InputTest, FailedDoorAjarWritesAreRetriedWhilePulsesGoOn) {
  auto in = Make(10);
  BlockDeviceUpdates();
  in->ProcessInput(R(0x01));
  EXPECT_EQ(pulses_.size(), 1u);  // the alarm output does not wait for the database
  EXPECT_FALSE(in->Alarm());
  UnblockDeviceUpdates();
  in->ProcessInput(R(0x01));
  EXPECT_TRUE(in->Alarm());
  EXPECT_EQ(DeviceInt(34, "door_ajar"), 1);
  EXPECT_EQ(seen_, (std::vector<Event>{{"Door Ajar Alarm", 2, -1}}));

  BlockDeviceUpdates();
  in->ProcessInput(R(kNone));
  UnblockDeviceUpdates();
  EXPECT_EQ(DeviceInt(34, "door_ajar"), 1);
  in->ProcessInput(R(kNone));
  EXPECT_EQ(DeviceInt(34, "door_ajar"), 0);
  EXPECT_FALSE(in->Alarm());
}

TEST_P(InputTest, EventLogKeepsNothingAndStartsWithoutPrinterStatus) {
  TEventLog plain(odbc_, 4);
  EXPECT_EQ(plain.PrinterStatus(), -1);
  EXPECT_EQ(plain.LoopId(), 4);
  plain.AddEvent("PTR", TEventLog::kPrinter, 3);  // no listener: taken and dropped
  plain.SetPrinterStatus(6);
  EXPECT_EQ(plain.PrinterStatus(), 6);
  events_->AddEvent("PTR", TEventLog::kPrinter, 3);
  EXPECT_EQ(seen_, (std::vector<Event>{{"PTR", 9, 3}}));
}

INSTANTIATE_TEST_SUITE_P(Db, InputTest, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);

}  // namespace
}  // namespace orlo::test
