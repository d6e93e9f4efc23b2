// ProcessCard end to end: every result code with its transaction row and its
// log line, the outputs for the loop controller, memory-card records, a
// missing device row, failing statements and hostile text.
#include <cmath>

#include "site.h"

namespace orlo::test {
namespace {

class Decision : public SiteTest {
 protected:
  // The row just written for code at device 11 ("Entry A") at time t.
  void ExpectTrans(double card, int code, const std::string& text, TDateTime t,
                   const std::string& first = "Ann", const std::string& last = "Lee") {
    const TransRow r = LastTrans();
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.cardNo, card);
    EXPECT_EQ(r.cardno, card);
    EXPECT_NEAR(r.when, t, 0.5 / 86400);
    EXPECT_EQ(r.deviceId, 11);
    EXPECT_EQ(r.deviceName, "Entry A");
    EXPECT_EQ(r.code, code);
    EXPECT_EQ(r.errorDesc, text);
    EXPECT_EQ(r.firstName, first);
    EXPECT_EQ(r.lastName, last);
    EXPECT_EQ(r.memFlag, 0);
  }
  bool Logged(const std::string& line) { return LogText().find(line) != std::string::npos; }
};

TEST_P(Decision, AcceptedGivesTheOutputsAndItsRow) {
  AddCard(1234567, 1, "space_no = 42");
  EXPECT_EQ(Present(1234567, 1, Tue(10, 0)), crAccepted);
  ExpectTrans(1234567, 0, "Accepted", Tue(10, 0));
  EXPECT_EQ(out_.deviceName, "Entry A");
  EXPECT_EQ(out_.firstName, "Ann");
  EXPECT_EQ(out_.transTime, Tue(10, 0));
  EXPECT_EQ(out_.openPulse, 5);  // 5.7 truncated
  EXPECT_EQ(out_.spaceNo, 42);   // Entry A drives the special output

  EXPECT_EQ(Present(1234567, 2, Tue(10, 5)), crAccepted);
  EXPECT_EQ(out_.openPulse, 3);
  EXPECT_EQ(out_.spaceNo, -1);  // no special output at Exit A
  EXPECT_EQ(TransCount(), 2);
}

TEST_P(Decision, NotOnFileWritesARowWithEmptyNames) {
  EXPECT_EQ(Present(1234567, 1, Tue(10, 0)), crNotOnFile);
  ExpectTrans(1234567, 1, "Not On File", Tue(10, 0), "", "");
  EXPECT_EQ(out_.firstName, "");
  EXPECT_EQ(out_.deviceName, "Entry A");
  EXPECT_EQ(out_.openPulse, 5);
  EXPECT_EQ(out_.spaceNo, 0);  // special output set, no card row: its space reads 0
  EXPECT_TRUE(Logged("Card 1234567 not on file"));
  EXPECT_EQ(QInt("SELECT COUNT(*) AS v FROM card"), 0);
}

TEST_P(Decision, MissingTypeRowAndAccessLevelGiveCode2WithTheirOwnLines) {
  AddCard(501, 99);
  EXPECT_EQ(Present(501, 1, Tue(10, 0)), crNoValidAccess);
  ExpectTrans(501, 2, "No Valid Access Found", Tue(10, 0));
  EXPECT_TRUE(Logged("Type id 99 is not on file for card 501"));

  AddCard(502, 10);  // level 2: 22:00-06:00 only
  EXPECT_EQ(Present(502, 1, Tue(10, 0)), crNoValidAccess);
  ExpectTrans(502, 2, "No Valid Access Found", Tue(10, 0));
  EXPECT_TRUE(Logged("Access level id 2 access failure for card 502"));
}

TEST_P(Decision, ExpiredGivesCode3) {
  AddCard(503, 2, "start_dt = '2023-01-01 00:00:00', exp_iry = '2023-12-31 23:59:59'");
  EXPECT_EQ(Present(503, 1, Tue(10, 0)), crExpired);
  ExpectTrans(503, 3, "Expired, or not valid yet", Tue(10, 0));
  EXPECT_TRUE(Logged("Card 503 is inactive"));
}

TEST_P(Decision, HardAndSoftFailuresOfGroupPathwayAndPassback) {
  Exec("UPDATE card_pool SET cur_inlot = 10 WHERE id = 1");
  AddCard(504, 1, "group_id = 1");
  EXPECT_EQ(Present(504, 1, Tue(10, 0)), crGroupMax);
  ExpectTrans(504, 5, "Group Max. Exceeded", Tue(10, 0));
  EXPECT_TRUE(Logged("Card 504 is over group maximum"));

  AddCard(505, 9, "in_gate = 12, trans_dt = '2024-03-12 09:59:00'");  // no hop 12 -> 11
  EXPECT_EQ(Present(505, 1, Tue(10, 0)), crNotInPath);
  ExpectTrans(505, 6, "Not in Path", Tue(10, 0));
  EXPECT_TRUE(Logged("Card 505 has a pathway error"));

  AddCard(506, 1, "in_lot = 1");
  EXPECT_EQ(Present(506, 1, Tue(10, 0)), crPassback);
  ExpectTrans(506, 4, "Passback Error", Tue(10, 0));
  EXPECT_TRUE(Logged("Card 506 passback error"));

  SetSettings("soft_group = 1, soft_path = 1, soft_pb = 1");
  EXPECT_EQ(Present(504, 1, Tue(10, 1)), crGroupMax | crSoftFlag);
  ExpectTrans(504, 13, "Group Max. Exceeded", Tue(10, 1));
  EXPECT_EQ(Present(505, 1, Tue(10, 1)), crNotInPath | crSoftFlag);
  ExpectTrans(505, 14, "Not in Path", Tue(10, 1));
  EXPECT_EQ(Present(506, 1, Tue(10, 1)), crPassback | crSoftFlag);
  ExpectTrans(506, 12, "Passback Error", Tue(10, 1));
  for (int code : {12, 13, 14}) EXPECT_TRUE(IsGranted(code));
}

TEST_P(Decision, RefusalLinesOnlyWithDetailLogging) {
  debugLog_ = false;
  EXPECT_EQ(Present(777, 1, Tue(10, 0)), crNotOnFile);
  EXPECT_FALSE(Logged("not on file"));
  EXPECT_EQ(TransCount(), 1);
}

TEST_P(Decision, MemoryRecordKeepsItsTimeAndFlag) {
  AddCard(1234567, 1);
  // Processed at 09:20 the record of 09:30 today was made yesterday.
  EXPECT_EQ(PresentMemory(1234567, 1, At(2024, 3, 15, 9, 20), "24031509301234567"), crAccepted);
  EXPECT_EQ(out_.transTime, At(2024, 3, 14, 9, 30));
  const TransRow r = LastTrans();
  EXPECT_EQ(r.memFlag, 1);
  EXPECT_NEAR(r.when, At(2024, 3, 14, 9, 30), 0.5 / 86400);
  EXPECT_NEAR(CardDate(1234567, "trans_dt"), At(2024, 3, 14, 9, 30), 0.5 / 86400);
}

TEST_P(Decision, ImpossibleMemoryDateRaisesBeforeAnythingIsWritten) {
  AddCard(1234567, 1);
  EXPECT_THROW(PresentMemory(1234567, 1, Tue(10, 0), "24023009301234567"), EConvertError);
  EXPECT_THROW(PresentMemory(1234567, 1, Tue(10, 0), "xx"), EConvertError);
  EXPECT_EQ(TransCount(), 0);
  EXPECT_EQ(CardInt(1234567, "in_lot"), 0);
  EXPECT_EQ(CardDate(1234567, "trans_dt"), 0);
}

TEST_P(Decision, MissingDeviceRowIsJudgedAsDevice0) {
  AddCard(601, 1);   // level 1: no range at device 0
  AddCard(602, 13);  // level 5: a range linked to device 0
  EXPECT_EQ(Present(601, 9, Tue(10, 0)), crNoValidAccess);
  EXPECT_EQ(Present(602, 9, Tue(10, 0)), crAccepted);
  const TransRow r = LastTrans();
  EXPECT_EQ(r.deviceId, 0);
  EXPECT_EQ(r.deviceName, "");
  EXPECT_EQ(out_.openPulse, 0);
  EXPECT_EQ(out_.spaceNo, -1);
  EXPECT_EQ(CardInt(602, "in_lot"), 0);  // direction 0
}

TEST_P(Decision, MissingSettingsRowRefusesNothing) {
  Exec("DELETE FROM settings");
  AddCard(603, 1, "in_lot = 2");
  EXPECT_EQ(Present(603, 1, Tue(10, 0)), crAccepted);
  EXPECT_EQ(Present(603, 1, Tue(11, 0)), crPassback);  // reset 0, no soft flag
}

TEST_P(Decision, FailingStatementsCountAsNoRow) {
  AddCard(604, 1, "group_id = 1");
  Exec("DROP TABLE card_pool");
  Exec("DROP TABLE holiday");
  // No readable group row: room; no holiday table: an ordinary day.
  EXPECT_EQ(Present(604, 1, Tue(10, 0)), crAccepted);
  EXPECT_TRUE(Logged("SELECT * FROM card_pool WHERE id = 1"));
  EXPECT_TRUE(Logged("SELECT tab_num FROM holiday WHERE holi_day = '2024-03-12'"));

  Exec("DROP TABLE card");
  EXPECT_EQ(Present(604, 1, Tue(10, 1)), crNotOnFile);
  EXPECT_TRUE(Logged("SELECT * FROM card WHERE number = 604.00"));
  ExpectTrans(604, 1, "Not On File", Tue(10, 1), "", "");
}

TEST_P(Decision, TextFromTheDatabaseCannotChangeAStatement) {
  // Literals for this backend: MariaDB reads a backslash as an escape.
  auto literal = [&](const std::string& text) {
    std::string out = "'";
    for (char c : text) {
      if (c == '\'')
        out += "''";
      else if (c == '\\' && IsMariaDB())
        out += "\\\\";
      else
        out += c;
    }
    return out + "'";
  };
  const std::string name = "O'Neil \\ 100% gate";
  const std::string first = "x');DELETE FROM card;--";
  const std::string last = "back\\";
  Exec("UPDATE device SET name = " + literal(name) + " WHERE id = 11");
  AddCard(605, 1, "first_name = " + literal(first) + ", last_name = " + literal(last));
  ASSERT_EQ(QText("SELECT name AS v FROM device WHERE id = 11"), name);
  EXPECT_EQ(Present(605, 1, Tue(10, 0)), crAccepted);
  const TransRow r = LastTrans();
  EXPECT_EQ(r.deviceName, name);
  EXPECT_EQ(r.firstName, first);
  EXPECT_EQ(r.lastName, last);
  EXPECT_EQ(out_.deviceName, name);
  EXPECT_EQ(QInt("SELECT COUNT(*) AS v FROM card"), 1);
}

TEST_P(Decision, CardNumbersKeepTheirFormsInSqlLogAndRow) {
  AddCard(123456789012345, 3);  // first use: the update names the row by its own number
  EXPECT_EQ(Present(123456789012345, 1, Tue(10, 0)), crAccepted);
  EXPECT_EQ(CardInt(123456789012345, "date_set"), 1);
  EXPECT_EQ(LastTrans().cardNo, 123456789012345);
  EXPECT_EQ(Present(0.25, 1, Tue(10, 0)), crNotOnFile);
  EXPECT_TRUE(Logged("Card 0.25 not on file"));
  EXPECT_EQ(LastTrans().cardNo, 0.25);
  // A number that is no value is judged as card 0, and still recorded.
  EXPECT_EQ(Present(std::nan(""), 1, Tue(10, 0)), crNotOnFile);
  EXPECT_EQ(LastTrans().cardNo, 0);
}

INSTANTIATE_TEST_SUITE_P(Db, Decision, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);

}  // namespace
}  // namespace orlo::test
