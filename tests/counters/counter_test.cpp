// TCounter against a real database: hardware counter reports, granted passes
// and count_soft increases turned into lot changes through counter_item rows.
#include "counters/counter.h"

#include <initializer_list>

#include "counters/input.h"
#include "countertest.h"

namespace orlo::test {
namespace {

// A counter report as a reader sends it: one character per counter whose low
// four bits are the value ('0'..'9', ':'..'?' for 10..15).
std::string Report(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(0x30 + v);
  return s;
}

class CounterTest : public CountersDbTest {
 protected:
  void SetUp() override {
    CountersDbTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Exec("INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'North', 10, 100)");
    Exec("INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (2, 'South', 1, 50)");
    Exec("INSERT INTO counters (id, name, lot_id) VALUES (1, 'North', 1)");
    Exec("INSERT INTO counters (id, name, lot_id) VALUES (2, 'South', 2)");
    // Loop 1: the counting device at 3 (lot 1), a lot-full output and sign
    // device at 4 (lot 1), one at 5 of lot 2, and a device at 6 whose lot row
    // is missing. Loop 9 ("POE/POF"): a pay station at 2.
    Exec(
        "INSERT INTO device (id, loop_id, addr_ess, name, lot_id, count1, count2, count3, "
        "count4, count5, count_soft) VALUES (10, 1, 3, 'Entry 3', 1, 100, 200, 300, 400, 500, 7)");
    Exec(
        "INSERT INTO device (id, loop_id, addr_ess, name, lot_id, lf_enabled, lf_sign) "
        "VALUES (11, 1, 4, 'Sign 4', 1, 1, 1)");
    Exec(
        "INSERT INTO device (id, loop_id, addr_ess, name, lot_id, lf_enabled, lf_sign) "
        "VALUES (12, 1, 5, 'Sign 5', 2, 1, 1)");
    Exec(
        "INSERT INTO device (id, loop_id, addr_ess, name, lot_id, count1) "
        "VALUES (13, 1, 6, 'Lost 6', 42, 5)");
    Exec(
        "INSERT INTO device (id, loop_id, addr_ess, name, lot_id, count_soft) "
        "VALUES (20, 9, 2, 'Pay 2', 1, 50)");
    // Items: counter 1 (input 2) adds to lot 1, counter 2 (input 3) takes from
    // lot 2, counter 3 (input 4) does nothing, passes (input 7) add to lot 1.
    Exec(
        "INSERT INTO counter_item (id, device_id, input, cntr_id, chg_lot) VALUES (1, 10, 2, 1, "
        "1)");
    Exec(
        "INSERT INTO counter_item (id, device_id, input, cntr_id, chg_lot) VALUES (2, 10, 3, 2, "
        "2)");
    Exec(
        "INSERT INTO counter_item (id, device_id, input, cntr_id, chg_lot) VALUES (3, 10, 4, 1, "
        "0)");
    Exec(
        "INSERT INTO counter_item (id, device_id, input, cntr_id, chg_lot) VALUES (4, 10, 7, 1, "
        "1)");
    Exec(
        "INSERT INTO counter_item (id, device_id, input, cntr_id, chg_lot) VALUES (5, 13, 2, 1, "
        "1)");
    Exec(
        "INSERT INTO counter_item (id, device_id, input, cntr_id, chg_lot) VALUES (6, 13, 7, 1, "
        "1)");
    Exec(
        "INSERT INTO counter_item (id, device_id, input, cntr_id, chg_lot) VALUES (7, 20, 7, 1, "
        "1)");
    Exec(
        "INSERT INTO counter_item (id, device_id, input, cntr_id, chg_lot) VALUES (8, 20, 7, 2, "
        "2)");
  }

  std::unique_ptr<TCounter> Make(int address, int loopId = 1, bool soft = false) {
    return std::make_unique<TCounter>(log_.get(), soft, address, loopId, odbc_);
  }
  std::vector<int> Counts(int deviceId) {
    std::vector<int> v;
    for (int i = 1; i <= 5; ++i) v.push_back(DeviceInt(deviceId, "count" + std::to_string(i)));
    return v;
  }
  bool Flagged(int deviceId) {
    return DeviceInt(deviceId, "lf_output_flag") != 0 || DeviceInt(deviceId, "lf_sign_flag") != 0;
  }
};

TEST_P(CounterTest, CreationReadsTheDeviceRowAtTheAddress) {
  auto c = Make(3);
  EXPECT_EQ(c->DeviceId(), 10);
  EXPECT_EQ(c->LotId(), 1);
  EXPECT_EQ(c->SoftCount(), 7);
  EXPECT_FALSE(c->SoftCounter());
  auto none = Make(8);  // no device row at this address
  EXPECT_EQ(none->DeviceId(), 0);
  EXPECT_EQ(none->SoftCount(), 0);
  EXPECT_TRUE(Make(2, 9, true)->SoftCounter());
}

TEST_P(CounterTest, FirstReportIsOnlyTheStartingPoint) {
  auto c = Make(3);
  const auto mark = LogMark();
  EXPECT_EQ(c->Process(Report({14, 2, 0, 5, 9})), "Entry 3");
  EXPECT_EQ(Counts(10), (std::vector<int>{100, 200, 300, 400, 500}));
  EXPECT_EQ(LotCount(1), 10);
  EXPECT_EQ(LotCount(2), 1);
  EXPECT_FALSE(Flagged(11));
  EXPECT_EQ(LogSince(mark).find("Counter sql"), std::string::npos);
}

TEST_P(CounterTest, DifferencesCountWithWrapAndApplyTheItemsOfEachInput) {
  auto c = Make(3);
  c->Process(Report({14, 2, 0, 5, 9}));
  const auto mark = LogMark();
  // Counter 1 wraps 14 -> 2 (4), counter 2 goes 2 -> 3 (1), counter 3 0 -> 1
  // (an item with chg_lot 0); characters after the fifth are ignored.
  EXPECT_EQ(c->Process(Report({2, 3, 1, 5, 9, 7, 7})), "Entry 3");
  EXPECT_EQ(Counts(10), (std::vector<int>{104, 201, 301, 400, 500}));
  EXPECT_EQ(LotCount(1), 14);
  EXPECT_EQ(LotCount(2), 0);
  const std::string log = LogSince(mark);
  EXPECT_NE(log.find("Counter sql: UPDATE lot SET lot_count=lot_count+4 WHERE id=1\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Counter sql: UPDATE lot SET lot_count=lot_count-1 WHERE id=2\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Counter sql: \n"), std::string::npos) << log;
  // The lot-full devices of the counting device's own lot are flagged, also
  // for the change of lot 2; devices of lot 2 are not.
  EXPECT_EQ(DeviceInt(11, "lf_output_flag"), 1);
  EXPECT_EQ(DeviceInt(11, "lf_sign_flag"), 1);
  EXPECT_FALSE(Flagged(12));
  EXPECT_FALSE(Flagged(10));  // drives neither output nor sign

  // The same values again add nothing.
  const auto mark2 = LogMark();
  c->Process(Report({2, 3, 1, 5, 9}));
  EXPECT_EQ(Counts(10), (std::vector<int>{104, 201, 301, 400, 500}));
  EXPECT_EQ(LotCount(1), 14);
  EXPECT_EQ(LogSince(mark2).find("Counter sql"), std::string::npos);
}

TEST_P(CounterTest, AfterARestartTheNextReportCountsFromZero) {
  auto c = Make(3);
  c->Process(Report({5, 9, 0, 0, 15}));
  c->Process(Report({6, 9, 0, 0, 15}));  // an ordinary step
  EXPECT_EQ(Counts(10), (std::vector<int>{101, 200, 300, 400, 500}));
  EXPECT_EQ(LotCount(1), 11);

  // The device powers up: its counters are 0 again. Counter 1 then shows 1,
  // counter 2 shows 3 (three steps made before this report), counter 5 still
  // 0: taken as a wrap from the values of before, they would count 11, 10 and 1.
  c->Restart();
  c->Process(Report({1, 3, 0, 0, 0}));
  EXPECT_EQ(Counts(10), (std::vector<int>{102, 203, 300, 400, 500}));
  EXPECT_EQ(LotCount(1), 12);
  EXPECT_EQ(LotCount(2), 0);  // 1 - 3 stops at 0

  // Counting goes on from there, wrapping as usual.
  c->Process(Report({15, 3, 0, 0, 0}));
  c->Process(Report({2, 3, 0, 0, 0}));
  EXPECT_EQ(Counts(10), (std::vector<int>{119, 203, 300, 400, 500}));
  EXPECT_EQ(LotCount(1), 29);

  // A restart before any report: 0 is known, so the first report counts too.
  auto fresh = Make(3);
  fresh->Restart();
  fresh->Process(Report({4, 0, 0, 0, 0}));
  EXPECT_EQ(DeviceInt(10, "count1"), 123);
  EXPECT_EQ(LotCount(1), 33);
}

TEST_P(CounterTest, SubtractingStopsAtZeroAndAddingHasNoCeiling) {
  Exec("UPDATE lot SET lot_count = 100 WHERE id = 1");
  auto c = Make(3);
  c->Process(Report({0, 0, 0, 0, 0}));
  const auto mark = LogMark();
  c->Process(Report({5, 3, 0, 0, 0}));
  EXPECT_EQ(LotCount(1), 105);  // max_capacity 100 is no limit here
  EXPECT_EQ(LotCount(2), 0);    // 1 - 3 stops at 0
  EXPECT_NE(LogSince(mark).find("Counter sql: UPDATE lot SET lot_count=0 WHERE id=2\n"),
            std::string::npos);
  c->Process(Report({5, 4, 0, 0, 0}));
  EXPECT_EQ(LotCount(2), 0);
}

TEST_P(CounterTest, ShortReportIsInvalidAndKeepsTheStartingPointPending) {
  auto c = Make(3);
  const auto mark = LogMark();
  EXPECT_EQ(c->Process("123"), "Invalid");
  EXPECT_NE(LogSince(mark).find("TCounter.Process ERROR!  CounterData Length Invalid! - 123\n"),
            std::string::npos);
  // The next good report is still only the starting point.
  c->Process(Report({1, 1, 1, 1, 1}));
  EXPECT_EQ(Counts(10), (std::vector<int>{100, 200, 300, 400, 500}));
  c->Process(Report({2, 1, 1, 1, 1}));
  EXPECT_EQ(Counts(10), (std::vector<int>{101, 200, 300, 400, 500}));
}

TEST_P(CounterTest, MissingLotRowStillCountsTheDeviceButChangesNoLot) {
  auto c = Make(6);
  c->Process(Report({0, 0, 0, 0, 0}));
  const auto mark = LogMark();
  EXPECT_EQ(c->Process(Report({3, 0, 0, 0, 0})), "Lost 6");
  EXPECT_EQ(DeviceInt(13, "count1"), 8);
  EXPECT_EQ(LotCount(1), 10);
  EXPECT_EQ(LogSince(mark).find("Counter sql"), std::string::npos);
  c->AddSoftCount();
  EXPECT_EQ(DeviceInt(13, "count_soft"), 1);
  EXPECT_EQ(LotCount(1), 10);
}

TEST_P(CounterTest, MissingDeviceRowIsInvalidAndWritesNothing) {
  auto c = Make(3);
  c->Process(Report({0, 0, 0, 0, 0}));
  Exec("DELETE FROM device WHERE id = 10");
  EXPECT_EQ(c->Process(Report({4, 4, 4, 4, 4})), "Invalid");
  EXPECT_EQ(LotCount(1), 10);
  EXPECT_EQ(LotCount(2), 1);
  // A device row that comes back is counted from the last report on, its
  // running totals intact.
  Exec(
      "INSERT INTO device (id, loop_id, addr_ess, name, lot_id, count1) "
      "VALUES (10, 1, 3, 'Entry 3', 1, 100)");
  c->Process(Report({5, 4, 4, 4, 4}));
  EXPECT_EQ(DeviceInt(10, "count1"), 101);
  EXPECT_EQ(LotCount(1), 11);
}

TEST_P(CounterTest, ReportBytesAreOnlyReadAsFourBitValues) {
  auto c = Make(3);
  c->Process(Report({0, 0, 0, 0, 0}));
  // Quote, semicolon and a byte above 0x7F: low nibbles 7, 11, 15, 0, 2.
  EXPECT_EQ(c->Process(std::string("'", 1) + ";" + "\xFF" + "@" + "\"--"), "Entry 3");
  EXPECT_EQ(Counts(10), (std::vector<int>{107, 211, 315, 400, 502}));
  EXPECT_EQ(LotCount(1), 17);
}

TEST_P(CounterTest, GrantedPassAddsToTheItemLotsAndFlagsTheDeviceLot) {
  auto c = Make(3);
  const auto mark = LogMark();
  c->AddSoftCount();
  EXPECT_EQ(DeviceInt(10, "count_soft"), 8);
  EXPECT_EQ(c->SoftCount(), 8);
  EXPECT_EQ(LotCount(1), 11);
  EXPECT_NE(LogSince(mark).find("Counter sql: UPDATE lot SET lot_count=lot_count+1 WHERE id=1\n"),
            std::string::npos);
  EXPECT_EQ(DeviceInt(11, "lf_output_flag"), 1);
  EXPECT_EQ(DeviceInt(11, "lf_sign_flag"), 1);
  EXPECT_FALSE(Flagged(12));
}

TEST_P(CounterTest, SoftCountIncreaseIsCountedAndALoweredCountIsTheNewStart) {
  auto c = Make(2, 9, true);
  TODBCStatement s(*odbc_);
  const auto mark = LogMark();
  c->CheckSoftCount(s);  // unchanged: nothing
  EXPECT_EQ(LotCount(1), 10);

  Exec("UPDATE device SET count_soft = 53 WHERE id = 20");
  c->CheckSoftCount(s);
  EXPECT_EQ(LotCount(1), 13);
  EXPECT_EQ(LotCount(2), 0);  // 1 - 3 stops at 0
  EXPECT_EQ(c->SoftCount(), 53);
  const std::string log = LogSince(mark);
  EXPECT_NE(log.find("Timer Lot Change Value: 3\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Soft Count Device Id: 20 was 50 is 53 diff 3\n"), std::string::npos) << log;

  // Reset by another program: the new starting point, no lot change.
  Exec("UPDATE device SET count_soft = 0 WHERE id = 20");
  const auto mark2 = LogMark();
  c->CheckSoftCount(s);
  EXPECT_EQ(c->SoftCount(), 0);
  EXPECT_EQ(LotCount(1), 13);
  EXPECT_EQ(LogSince(mark2).find("Soft Count"), std::string::npos);

  Exec("UPDATE device SET count_soft = 2 WHERE id = 20");
  c->CheckSoftCount(s);
  EXPECT_EQ(LotCount(1), 15);

  // A pass counted here is not counted again by the next check.
  c->AddSoftCount();
  EXPECT_EQ(LotCount(1), 16);
  c->CheckSoftCount(s);
  EXPECT_EQ(LotCount(1), 16);
}

TEST_P(CounterTest, SoftCountOfAnUnreadableDeviceRowIsNotTakenAsAReset) {
  auto c = Make(2, 9, true);
  TODBCStatement s(*odbc_);
  Exec("DELETE FROM device WHERE id = 20");
  c->CheckSoftCount(s);
  EXPECT_EQ(c->SoftCount(), 50);
  // The row back with a few more passes: only those count.
  Exec(
      "INSERT INTO device (id, loop_id, addr_ess, name, lot_id, count_soft) "
      "VALUES (20, 9, 2, 'Pay 2', 1, 52)");
  c->CheckSoftCount(s);
  EXPECT_EQ(LotCount(1), 12);
}

TEST_P(CounterTest, SoftCountLotChangeNeedsTheDeviceLotRow) {
  Exec("UPDATE device SET lot_id = 42 WHERE id = 20");
  auto c = Make(2, 9, true);
  TODBCStatement s(*odbc_);
  Exec("UPDATE device SET count_soft = 55 WHERE id = 20");
  const auto mark = LogMark();
  c->CheckSoftCount(s);
  EXPECT_EQ(LotCount(1), 10);
  const std::string log = LogSince(mark);
  EXPECT_EQ(log.find("Timer Lot Change Value"), std::string::npos) << log;
  EXPECT_NE(log.find("Soft Count Device Id: 20 was 50 is 55 diff 5\n"), std::string::npos) << log;
  EXPECT_EQ(c->SoftCount(), 55);
}

INSTANTIATE_TEST_SUITE_P(Db, CounterTest, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);

}  // namespace
}  // namespace orlo::test

namespace orlo::test {
namespace {

// The report decoding on its own, as the fuzz target drives it: positions
// outside the report and input numbers outside 1..8 read as nothing.
TEST(CounterReport, ValuesAndStepsStayWithinFourBits) {
  EXPECT_EQ(TCounter::CounterValue("\x3F\xFF", 1), 15);
  EXPECT_EQ(TCounter::CounterValue("\x3F\xFF", 2), 15);
  EXPECT_EQ(TCounter::CounterValue("\x3F", 0), 0);
  EXPECT_EQ(TCounter::CounterValue("\x3F", 2), 0);
  EXPECT_EQ(TCounter::CounterStep(14, 2), 4);
  EXPECT_EQ(TCounter::CounterStep(3, 3), 0);
  EXPECT_EQ(TInput::InputActive("", 1), false);
  EXPECT_EQ(TInput::InputActive("\x80", 8), true);
  EXPECT_EQ(TInput::InputActive("\xFF", 9), false);
}

}  // namespace
}  // namespace orlo::test
