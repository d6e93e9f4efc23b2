// Rows copied out of their statements (TDBRow) and kept across reads
// (TRowCache), on both drivers.
#include <chrono>
#include <thread>

#include "db/rowcache.h"
#include "dbtest.h"
#include "platform/clock.h"

namespace orlo::test {
namespace {

class RowCopy : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    MakeKinds();
    // Long text never reads as a number, even when it holds one.
    TODBCStatement q(*odbc_);
    ASSERT_TRUE(q.ExecSQL("UPDATE kinds SET lt = '17' WHERE id = 1"));
  }

  // Counts the statements run on the connection from now on.
  void CountStatements() {
    statements_ = 0;
    odbc_->SetStatementObserver([this](const std::string&, bool) { ++statements_; });
  }
  void TearDown() override {
    if (odbc_) odbc_->SetStatementObserver({});
    DbTest::TearDown();
  }

  // Sets row 1's i from another connection, as another program would.
  void ChangeElsewhere(int i) {
    TODBC other;
    ASSERT_TRUE(ConnectAnother(other));
    TODBCStatement q(other);
    ASSERT_TRUE(q.ExecSQLFmt("UPDATE kinds SET i = %d WHERE id = 1", i));
  }

  int statements_ = 0;
};

// Every reader of the copy gives what the statement's reader gives, on
// values, NULLs, long text, missing columns and a result without a row.
TEST_P(RowCopy, ReadsAsTheStatementItCameFrom) {
  const char* columns[] = {"id", "i", "f", "d", "s", "dt", "tm", "ts", "lt", "nosuch"};
  for (const char* sql : {"SELECT * FROM kinds WHERE id = 1", "SELECT * FROM kinds WHERE id = 2",
                          "SELECT * FROM kinds WHERE id = 99"}) {
    TODBCStatement q(*odbc_);
    q.ExecSQL(sql);
    const TDBRow row = q.CurrentRow();
    EXPECT_EQ(row.Found(), !q.Eof()) << sql;
    for (const char* c : columns) {
      EXPECT_EQ(row.FieldAsString(c), q.FieldAsString(c)) << sql << " " << c;
      EXPECT_EQ(row.FieldAsInteger(c), q.FieldAsInteger(c)) << sql << " " << c;
      EXPECT_EQ(row.FieldAsFloat(c), q.FieldAsFloat(c)) << sql << " " << c;
      EXPECT_EQ(row.FieldAsDateTime(c), q.FieldAsDateTime(c)) << sql << " " << c;
    }
  }
  // A result without a row still knows its columns: a date column reads as
  // 0, an absent one as today.
  const TDBRow none = ReadRow(*odbc_, "SELECT * FROM kinds WHERE id = 99");
  EXPECT_FALSE(none.Found());
  EXPECT_EQ(none.FieldAsDateTime("ts"), 0);
  EXPECT_EQ(TDBRow().FieldAsDateTime("ts"), Date());
}

TEST_P(RowCopy, MirroredWritesReadAsAFreshReadWould) {
  TDBRow row = ReadRow(*odbc_, "SELECT * FROM kinds WHERE id = 2");
  const TDateTime when = EncodeDate(2024, 6, 1) + EncodeTime(7, 8, 9, 600);
  row.SetInteger("I", -5);
  row.SetDateTime("ts", when);
  row.SetInteger("nosuch", 1);
  TODBCStatement q(*odbc_);
  ASSERT_TRUE(q.ExecSQL("UPDATE kinds SET i = -5, ts = {ts '2024-06-01 07:08:09'} WHERE id = 2"));
  const TDBRow fresh = ReadRow(*odbc_, "SELECT * FROM kinds WHERE id = 2");
  EXPECT_EQ(row.FieldAsInteger("i"), fresh.FieldAsInteger("i"));
  EXPECT_EQ(row.FieldAsDateTime("ts"), fresh.FieldAsDateTime("ts"));  // to the second
  EXPECT_EQ(row.FieldAsString("nosuch"), "");
}

// Kept rows are handed out without a statement until the keep time has
// passed or the holder forgets them; a change made elsewhere meanwhile is
// not seen. Without a keep time every read asks the database.
TEST_P(RowCopy, CacheKeepsRowsForItsTimeAndUntilForgotten) {
  const std::string sql = "SELECT * FROM kinds WHERE id = 1";
  TRowCache keeping(std::chrono::seconds(3600)), live;
  CountStatements();
  EXPECT_EQ(keeping.Row(*odbc_, sql).FieldAsInteger("i"), 42);
  ChangeElsewhere(43);
  EXPECT_EQ(keeping.Row(*odbc_, sql).FieldAsInteger("i"), 42);
  EXPECT_EQ(keeping.Rows(*odbc_, sql).size(), 1u);
  EXPECT_EQ(statements_, 1);
  EXPECT_EQ(live.Row(*odbc_, sql).FieldAsInteger("i"), 43);
  EXPECT_EQ(live.Row(*odbc_, sql).FieldAsInteger("i"), 43);
  EXPECT_EQ(statements_, 3);
  keeping.Forget(sql);
  EXPECT_EQ(keeping.Row(*odbc_, sql).FieldAsInteger("i"), 43);

  TRowCache brief(std::chrono::seconds(1));
  EXPECT_EQ(brief.Row(*odbc_, sql).FieldAsInteger("i"), 43);
  ChangeElsewhere(44);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(brief.Row(*odbc_, sql).FieldAsInteger("i"), 44);
}

// "No row" is kept like a row; a failed statement is not, so the next read
// asks again.
TEST_P(RowCopy, CacheKeepsAMissingRowButNotAFailure) {
  TRowCache keeping(std::chrono::seconds(3600));
  EXPECT_FALSE(keeping.Row(*odbc_, "SELECT * FROM kinds WHERE id = 4").Found());
  EXPECT_FALSE(keeping.Row(*odbc_, "SELECT * FROM later").Found());
  TODBCStatement q(*odbc_);
  ASSERT_TRUE(q.ExecSQL("INSERT INTO kinds (id, i) VALUES (4, 1)"));
  ASSERT_TRUE(q.ExecSQL("CREATE TABLE later (id INTEGER)"));
  ASSERT_TRUE(q.ExecSQL("INSERT INTO later VALUES (8)"));
  EXPECT_FALSE(keeping.Row(*odbc_, "SELECT * FROM kinds WHERE id = 4").Found());
  EXPECT_EQ(keeping.Row(*odbc_, "SELECT * FROM later").FieldAsInteger("id"), 8);
}

INSTANTIATE_TEST_SUITE_P(Drivers, RowCopy, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);

}  // namespace
}  // namespace orlo::test
