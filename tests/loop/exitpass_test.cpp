// Exit passes at the barcode exit reader (address 3) and the ticket records of
// the spitter (address 4), end to end through the simulator and `tickinv`.
#include "cardloop.h"
#include "db/sql.h"
#include "platform/format.h"

namespace orlo::test {
namespace {

constexpr double kMinute = 1.0 / 1440;

class ExitPassTest : public CardLoopTest {
 protected:
  std::string Quoted(const std::string& text) {
    return "'" + TSql(Db().DBKind()).Escape(text) + "'";
  }
  int Rows(const std::string& barcode) {
    return CountRows("tickinv", "barcode = " + Quoted(barcode));
  }
  int Column(const std::string& barcode, const std::string& column) {
    return QueryInt("SELECT " + column + " FROM tickinv WHERE barcode = " + Quoted(barcode));
  }
  std::string Judge(const std::string& barcode) {
    PresentBarcode(3, barcode);
    return NextGateAnswer(3);
  }
};

TEST_P(ExitPassTest, NewValidPassIsRecordedTakenAndThenUsed) {
  StartLoop();
  const std::string pass = CycleBarcode(Now() - 10 * kMinute, 53);
  EXPECT_EQ(Judge(pass), "G005Thank you...");
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(3) == 1; }));
  EXPECT_EQ(Rows(pass), 1);
  EXPECT_EQ(Column(pass, "status"), 1);
  EXPECT_EQ(Column(pass, "takerid"), 3);
  EXPECT_EQ(Column(pass, "issuerid"), 0);
  EXPECT_EQ(Judge(pass), "BExitPass Used");
  EXPECT_EQ(Rows(pass), 1);
  EXPECT_TRUE(NoFurtherGateAnswer(3));
  EXPECT_EQ(CountSoft(3), 1);
}

TEST_P(ExitPassTest, GraceTimesLanesAndFlatRate) {
  StartLoop();
  const TDateTime now = Now();
  // Default grace 15 minutes.
  EXPECT_EQ(Judge(CycleBarcode(now - 20 * kMinute, 53)), "BExitPass Expired");
  EXPECT_EQ(Judge(CycleBarcode(now + 20 * kMinute, 10)), "BExitPass Expired");  // ahead
  EXPECT_EQ(Judge(CycleBarcode(now + 10 * kMinute, 11)), "G005Thank you...");
  OnMain([&] {
    Peer().ExtendedGraceLanes() = {3};
    Peer().GraceTimeExtended() = 30;
  });
  EXPECT_EQ(Judge(CycleBarcode(now - 20 * kMinute - 1.0 / 86400, 53)), "G005Thank you...");
  EXPECT_EQ(Judge(CycleBarcode(now - 20 * kMinute - 2.0 / 86400, 52)), "BExitPass Expired");
  OnMain([&] { Peer().FlatRate() = true; });
  EXPECT_EQ(Judge(CycleBarcode(now - 600 * kMinute, 53)), "G005Thank you...");
  EXPECT_EQ(Judge(CycleBarcode(now - 600 * kMinute, 50)), "BExitPass Expired");
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(3) == 3; }));
  EXPECT_EQ(CountRows("tickinv", "status = 1"), 3);
}

TEST_P(ExitPassTest, SecondsOldFormatAndUnreadableBarcodes) {
  Exec("UPDATE device SET open_pulse = 9 WHERE id = 3");
  StartLoop();
  EXPECT_EQ(Judge(SecondsBarcode(Now() - 5 * kMinute)), "G009Thank you...");
  EXPECT_EQ(Judge(OldFormatBarcode(Now() - 5 * kMinute)), "BExitPass Expired");  // not old format
  OnMain([&] { Peer().OldTicketFormat() = true; });
  EXPECT_EQ(Judge(OldFormatBarcode(Now() - 5 * kMinute, "0043")), "G009Thank you...");
  const int rows = CountRows("tickinv");
  for (const std::string bad : {"12345", "19876543210", "9876543210", "1234567890123"}) {
    EXPECT_EQ(Judge(bad), "BRead ERROR;Please Re-try") << bad;
    int pulse = -1;
    OnMain([&] { pulse = Peer().LastPulse(); });
    EXPECT_EQ(pulse, 5) << bad;  // the default pulse: the device row is not read
  }
  EXPECT_EQ(CountRows("tickinv"), rows);  // no database work for unreadable codes
}

// Other programs fill open_pulse: a value far beyond the integer range gives
// the largest pulse (its last three digits on the line), never an undefined
// conversion.
TEST_P(ExitPassTest, HugeOpenPulseIsKeptInsideTheIntegerRange) {
  Exec("UPDATE device SET open_pulse = 1e300 WHERE id = 3");
  StartLoop();
  EXPECT_EQ(Judge(CycleBarcode(Now() - kMinute, 53)), "G647Thank you...");
  int pulse = 0;
  OnMain([&] { pulse = Peer().LastPulse(); });
  EXPECT_EQ(pulse, 2147483647);
  EXPECT_EQ(LogCount("Card1.GateOpenMsg(3, Y, 2147483647, Thank you...)"), 1);
}

TEST_P(ExitPassTest, BarcodeHoldingQuotesIsJudgedAndRecordedLikeAnyOther) {
  StartLoop();
  // The time digits come first; the two characters after them are free.
  const std::string codes[] = {
      CycleBarcode(Now() - 5 * kMinute, 0).substr(0, 8) + "\\'",  // backslash, quote
      SecondsBarcode(Now() - 6 * kMinute, "'%"),
      CycleBarcode(Now() - 7 * kMinute, 0).substr(0, 8) + "')",
  };
  for (const std::string& code : codes) {
    EXPECT_EQ(Judge(code), "G005Thank you...") << code;
    EXPECT_EQ(Rows(code), 1) << code;
    EXPECT_EQ(Column(code, "status"), 1) << code;
    EXPECT_EQ(Judge(code), "BExitPass Used") << code;
  }
  EXPECT_EQ(CountRows("tickinv"), 3);
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(3) == 3; }));
}

TEST_P(ExitPassTest, SpitterRecordsOnlineArchivedAndBackedOut) {
  StartLoop();
  const std::string bar = CycleBarcode(Now() - kMinute, 7);
  Present(4, "0" + bar + "000042");
  ASSERT_TRUE(WaitFrame(4, 'Y'));  // acknowledged at once
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(4) == 1; })) << LogText();
  EXPECT_EQ(Rows(bar), 1);
  EXPECT_EQ(Column(bar, "ticket"), 42);
  EXPECT_EQ(Column(bar, "issuerid"), 7);
  EXPECT_EQ(Column(bar, "status"), 0);
  EXPECT_EQ(Column(bar, "security"), 1);
  EXPECT_EQ(Column(bar, "online"), 1);
  EXPECT_EQ(LotCount(), 1);

  // The same barcode reported online again: the old row is archived.
  Present(4, "0" + bar + "000043");
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(4) == 2; }));
  EXPECT_EQ(Rows(bar), 1);
  EXPECT_EQ(Column(bar, "ticket"), 43);
  EXPECT_EQ(Rows(bar + "*"), 1);

  // Backed out at the entry.
  const std::string back = CycleBarcode(Now() - 2 * kMinute, 8);
  Present(4, "2" + back + "000045");
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(4) == 3; }));
  EXPECT_EQ(Column(back, "status"), 2);
  EXPECT_EQ(Column(back, "takerid"), 8);
  EXPECT_EQ(Column(back, "online"), 1);

  // A row made elsewhere with this ticket number and no issuer is archived
  // by negating its ticket.
  Exec("INSERT INTO tickinv (barcode, ticket, status) VALUES ('elsewhere', 46, 0)");
  const std::string fresh = CycleBarcode(Now() - 3 * kMinute, 9);
  Present(4, "0" + fresh + "000046");
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(4) == 4; }));
  EXPECT_EQ(Column("elsewhere", "ticket"), -46);
  EXPECT_EQ(Column(fresh, "ticket"), 46);
}

TEST_P(ExitPassTest, SpitterRecordReportedLaterUpdatesTheRowUsedAtTheExit) {
  StartLoop();
  const std::string bar = CycleBarcode(Now() - 4 * kMinute, 12);
  EXPECT_EQ(Judge(bar), "G005Thank you...");
  ASSERT_TRUE(WaitUntil([&] { return Column(bar, "status") == 1; }));
  Present(4, "1" + bar + "000050");  // bit 0: reported later
  ASSERT_TRUE(WaitLog("TickInv Record Found! Updating: where barcode='" + bar + "'"));
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(4) == 1; }));
  EXPECT_EQ(Rows(bar), 1);
  EXPECT_EQ(Column(bar, "issuerid"), 12);
  EXPECT_EQ(Column(bar, "ticket"), 50);
  EXPECT_EQ(Column(bar, "online"), 0);
  EXPECT_EQ(Column(bar, "status"), 1);    // kept
  EXPECT_EQ(Column(bar, "security"), 0);  // kept
  EXPECT_EQ(Column(bar, "takerid"), 3);   // kept
}

TEST_P(ExitPassTest, SpitterRecordOfWrongLengthIsCountedButNotRecorded) {
  StartLoop();
  Present(4, "0" + CycleBarcode(Now(), 7) + "00004");  // 16 characters
  ASSERT_TRUE(WaitLog("Invalid or unknown value?"));
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(4) == 1; }));
  EXPECT_EQ(CountRows("tickinv"), 0);
  // A barcode with a quote in a record of the right length is recorded as is.
  const std::string odd = "4'3456\\'9'";  // quote, backslash
  Present(4, "0" + odd + "000007");
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(4) == 2; }));
  EXPECT_EQ(Rows(odd), 1);
  EXPECT_EQ(Column(odd, "ticket"), 7);
  Present(4, "0" + odd + "000008");  // found by its barcode: the first row is archived
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(4) == 3; }));
  EXPECT_EQ(Rows(odd), 1);
  EXPECT_EQ(Column(odd, "ticket"), 8);
  EXPECT_EQ(Rows(odd + "*"), 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, ExitPassTest, LoopBackends(), LoopBackendName);

// ParseTicketData is a pure function of the record text.
TEST(ParseTicketDataTest, SplitsARecordIntoItsFields) {
  int year = 0, month = 0, day = 0;
  DecodeDate(Now(), year, month, day);
  const TDateTime when = EncodeDate(year, 1, 2) + EncodeTime(9, 5, 7, 0);
  const std::string bar = CycleBarcode(when, 7);
  const TTicketData d = TLoop::ParseTicketData("0" + bar + "000042");
  EXPECT_FALSE(d.Failed);
  EXPECT_EQ(d.Barcode, bar);
  EXPECT_TRUE(d.Online);
  EXPECT_FALSE(d.BackOut);
  EXPECT_EQ(d.Ticket, "42");
  EXPECT_EQ(d.Lane, 7);
  EXPECT_NEAR(d.IssueTime, when, 0.5 / kSecondsPerDay);

  const TTicketData later = TLoop::ParseTicketData("3" + bar + "000000");
  EXPECT_FALSE(later.Online);
  EXPECT_TRUE(later.BackOut);
  EXPECT_EQ(later.Ticket, "0");

  const TTicketData junk = TLoop::ParseTicketData("x" + bar + "000001");
  EXPECT_TRUE(junk.Online);  // a flag that is no digit reads as 0
  EXPECT_FALSE(junk.BackOut);
}

TEST(ParseTicketDataTest, WrongLengthFails) {
  for (const std::string text : {"", "0123456789012345", "012345678901234567"}) {
    const TTicketData d = TLoop::ParseTicketData(text);
    EXPECT_TRUE(d.Failed) << text;
    EXPECT_TRUE(d.Barcode.empty());
    EXPECT_TRUE(d.Ticket.empty());
    EXPECT_TRUE(d.BackOut);
    EXPECT_FALSE(d.Online);
    EXPECT_EQ(d.Lane, 0);
    EXPECT_EQ(d.IssueTime, 0.0);
  }
}

}  // namespace
}  // namespace orlo::test
