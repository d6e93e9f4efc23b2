// TODBCStatement on both drivers: execute rules, typed readers, field names.
#include <cmath>

#include "dbtest.h"
#include "platform/clock.h"

namespace orlo::test {
namespace {

using Statement = DbTest;

TEST_P(Statement, TypedReadersOnValuesNullsAndMissingColumns) {
  MakeKinds();
  TODBCStatement q(*odbc_);
  ASSERT_TRUE(q.ExecSQLFmt("SELECT * FROM kinds WHERE id = %d", 1));
  EXPECT_EQ(q.FieldAsInteger("I"), 42);
  EXPECT_EQ(q.FieldAsInteger("i"), 42);  // any letter case
  EXPECT_EQ(q.FieldAsFloat("f"), 123456789012345.0);
  EXPECT_EQ(q.FieldAsFloat("d"), 2.5);
  EXPECT_EQ(q.FieldAsInteger("d"), 0);  // not a whole number
  EXPECT_EQ(q.FieldAsString("s"), "padded");
  EXPECT_EQ(q.FieldAsDateTime("dt"), EncodeDate(2024, 5, 7));
  EXPECT_NEAR(q.FieldAsDateTime("tm"), EncodeTime(13, 45, 30, 0), 1e-9);
  EXPECT_NEAR(q.FieldAsDateTime("ts"), EncodeDate(2024, 5, 7) + EncodeTime(13, 45, 30, 0), 1e-9);
  EXPECT_EQ(q.FieldCategory(q.FieldIndex("lt")), ccLongText);
  EXPECT_EQ(q.FieldAsString("lt"), "line one");
  EXPECT_EQ(q.FieldAsInteger("lt"), 0);       // long text has no bound buffer
  EXPECT_EQ(q.FieldAsDateTime("s"), Date());  // not a date column: today

  EXPECT_EQ(q.FieldAsString("nosuch"), "");
  EXPECT_EQ(q.FieldAsInteger("nosuch"), 0);
  EXPECT_EQ(q.FieldAsFloat("nosuch"), 0);
  EXPECT_FALSE(q.FieldAsBoolean("nosuch"));
  EXPECT_EQ(q.FieldAsDateTime("nosuch"), Date());

  ASSERT_TRUE(q.ExecSQLFmt("SELECT * FROM kinds WHERE id = %d", 2));
  EXPECT_EQ(q.FieldAsString("s"), "");
  EXPECT_EQ(q.FieldAsInteger("i"), 0);
  EXPECT_EQ(q.FieldAsFloat("f"), 0);
  EXPECT_EQ(q.FieldAsDateTime("ts"), 0);
  EXPECT_EQ(q.FieldAsDateTime("dt"), 0);
  EXPECT_EQ(q.FieldAsDateTime("tm"), 0);
  EXPECT_EQ(q.FieldAsString("lt"), "");

  ASSERT_TRUE(q.ExecSQLFmt("SELECT * FROM kinds WHERE id = %d", 3));
  EXPECT_EQ(q.FieldAsInteger("i"), -7);
  EXPECT_TRUE(q.FieldAsBoolean("i"));
  EXPECT_FALSE(q.FieldAsBoolean("s"));            // the letter Y is not a number
  EXPECT_DOUBLE_EQ(q.FieldAsFloat("f"), 1.5e20);  // exponent form on one driver
}

TEST_P(Statement, RowsAreWalkedWithDbSkipAndEndInEof) {
  MakeKinds();
  TODBCStatement q(*odbc_);
  int n = 0;
  for (bool ok = q.ExecSQL("SELECT id FROM kinds ORDER BY id"); ok; ok = q.dbSkip())
    EXPECT_EQ(q.FieldAsInteger("id"), ++n);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(q.FieldAsInteger("id"), 0);  // past the end: defaults
  EXPECT_FALSE(q.ExecSQLFmt("SELECT * FROM kinds WHERE id = %d", 99));
  EXPECT_TRUE(q.Eof());
  EXPECT_EQ(LogText().find("kinds WHERE id = 99"), std::string::npos);  // no row is no error
}

TEST_P(Statement, LongTextIsReadOncePerRowAndKept) {
  MakeKinds();
  std::string text(10000, 'x');
  text += "end";
  TODBCStatement q(*odbc_);
  ASSERT_TRUE(q.ExecSQL("UPDATE kinds SET lt = '" + text + "' WHERE id = 3"));
  ASSERT_TRUE(q.ExecSQL("SELECT lt, id FROM kinds ORDER BY id"));
  EXPECT_EQ(q.FieldAsString("lt"), "line one");
  EXPECT_EQ(q.FieldAsString("LT"), "line one");  // a second read gives the same text
  ASSERT_TRUE(q.dbSkip());
  EXPECT_EQ(q.FieldAsString("lt"), "");
  ASSERT_TRUE(q.dbSkip());
  EXPECT_EQ(q.FieldAsString("lt"), text);
  EXPECT_EQ(q.FieldAsInteger("id"), 3);
}

TEST_P(Statement, SameColumnNameTwiceReadsTheFirst) {
  TODBCStatement q(*odbc_);
  ASSERT_TRUE(q.ExecSQL("SELECT d.name, l.name FROM device d JOIN " + odbc_->QuoteTable("loop") +
                        " l ON l.id = d.loop_id WHERE d.addr_ess = 2"));
  EXPECT_EQ(q.FieldCount(), 2);
  EXPECT_EQ(q.FieldAsString("NAME"), "Exit reader");
}

TEST_P(Statement, CardNumbersSurviveTheRoundTrip) {
  TODBCStatement q(*odbc_);
  const double number = 987654321012345.0;  // 15 digits
  ASSERT_TRUE(
      q.ExecSQLFmt("INSERT INTO card (number, type_id, first_name) VALUES (%f, 1, 'Max')", number));
  ASSERT_TRUE(q.ExecSQLFmt("SELECT * FROM card WHERE number = %f", number));
  EXPECT_EQ(q.FieldAsFloat("number"), number);
  EXPECT_EQ(q.FieldAsString("first_name"), "Max");
}

TEST_P(Statement, SelectWithLeadingBlanksIsNotFetched) {
  TODBCStatement q(*odbc_);
  ASSERT_TRUE(q.ExecSQL("  SELECT * FROM card ORDER BY number"));
  EXPECT_FALSE(q.Eof());
  EXPECT_EQ(q.FieldAsFloat("number"), 0);  // no row fetched yet
  ASSERT_TRUE(q.dbSkip());
  EXPECT_EQ(q.FieldAsFloat("number"), 1001);
}

TEST_P(Statement, UpdateMatchingNoRowIsTrueWithEof) {
  TODBCStatement q(*odbc_);
  EXPECT_TRUE(q.ExecSQL("UPDATE card SET in_lot = 1 WHERE number = 5"));
  EXPECT_TRUE(q.Eof());
  EXPECT_TRUE(q.ExecSQL("DELETE FROM card WHERE number = 5"));
  EXPECT_TRUE(q.Eof());
  EXPECT_TRUE(q.ExecSQL("UPDATE card SET in_lot = 1 WHERE number = 1001"));
  EXPECT_FALSE(q.Eof());
  // A row that already holds the values still counts as matched.
  EXPECT_TRUE(q.ExecSQL("UPDATE card SET in_lot = 1 WHERE number = 1001"));
  EXPECT_FALSE(q.Eof());
}

// The start-up inserts the settings row exactly when the table is empty.
TEST_P(Statement, SettingsRowIsInsertedOnlyIntoAnEmptyTable) {
  TODBCStatement q(*odbc_);
  auto clearRestart = [&] {
    ASSERT_TRUE(q.ExecSQL("UPDATE settings SET reset_tolvsql = 0"));
    if (q.Eof()) {
      ASSERT_TRUE(q.ExecSQL("INSERT into settings (reset_tolvsql) values (0)"));
    }
  };
  auto rows = [&] {
    TODBCStatement c(*odbc_);
    return c.ExecSQL("SELECT count(*) AS n FROM settings") ? c.FieldAsInteger("n") : -1;
  };
  clearRestart();
  clearRestart();  // the row already holds 0
  EXPECT_EQ(rows(), 1);
  ASSERT_TRUE(q.ExecSQL("DELETE FROM settings"));
  clearRestart();
  clearRestart();
  EXPECT_EQ(rows(), 1);
}

TEST_P(Statement, GetFieldNamesListsTheTableColumns) {
  TODBCStatement q(*odbc_);
  EXPECT_EQ(q.GetFieldNames("loop"), "ID,NAME,ENABLED,PORT,RFMODEM,LASTUPDATE");
  EXPECT_EQ(q.GetFieldNames("no_such_table"), "");
  // The statement is usable again afterwards.
  EXPECT_TRUE(q.ExecSQL("SELECT * FROM card"));
}

TEST_P(Statement, NowEscapeWorks) {
  TODBCStatement q(*odbc_);
  ASSERT_TRUE(q.ExecSQL("SELECT {fn now()} AS n, {fn curdate()} AS d"));
  const std::string now = q.FieldAsString("n");
  ASSERT_EQ(now.size(), 19u) << now;
  EXPECT_EQ(now[4], '-');
  EXPECT_EQ(now[10], ' ');
  EXPECT_EQ(now[13], ':');
  EXPECT_EQ(q.FieldAsString("d"), now.substr(0, 10));
  ASSERT_TRUE(q.ExecSQL("UPDATE " + odbc_->QuoteTable("loop") +
                        " SET lastupdate={fn now()} WHERE name='gatepc'"));
  ASSERT_TRUE(q.ExecSQL("SELECT * FROM " + odbc_->QuoteTable("loop")));
  EXPECT_NEAR(q.FieldAsDateTime("lastupdate"), Now(), 1.0);  // within a day: no timing
}

TEST_P(Statement, LoopTableIsQuotedWhereItIsAReservedWord) {
  TODBCStatement q(*odbc_);
  ASSERT_TRUE(
      q.ExecSQLFmt(("SELECT * FROM " + odbc_->QuoteTable("loop") + " WHERE id = %d").c_str(), 1));
  EXPECT_EQ(q.FieldAsString("name"), "gatepc");
  EXPECT_EQ(q.FieldAsInteger("port"), 1);
  EXPECT_EQ(odbc_->QuoteTable("loop"), IsMariaDB() ? "`loop`" : "loop");
  EXPECT_EQ(odbc_->QuoteTable("device"), "device");
}

TEST_P(Statement, FailedStatementLogsTextAndDiagnostics) {
  TODBCStatement q(*odbc_);
  EXPECT_FALSE(q.ExecSQL("SELECT nosuchcolumn FROM card"));
  EXPECT_FALSE(q.Eof());
  const std::string log = LogText();
  EXPECT_NE(log.find("SELECT nosuchcolumn FROM card"), std::string::npos) << log;
  EXPECT_NE(log.find(". State:  "), std::string::npos) << log;
  // DoSQL is silent.
  EXPECT_FALSE(q.DoSQL("SELECT othercolumn FROM card"));
  EXPECT_EQ(LogText().find("othercolumn"), std::string::npos);
}

TEST_P(Statement, TextWithANulByteIsRefused) {
  TODBCStatement q(*odbc_);
  std::string sql = "UPDATE card SET first_name = 'x'";
  sql += '\0';
  sql += " WHERE number = 1001";
  EXPECT_FALSE(q.ExecSQL(sql));
  ASSERT_TRUE(q.ExecSQL("SELECT count(*) AS n FROM card WHERE first_name = 'x'"));
  EXPECT_EQ(q.FieldAsInteger("n"), 0);
}

TEST_P(Statement, FormatErrorFailsAndIsLogged) {
  TODBCStatement q(*odbc_);
  EXPECT_FALSE(q.ExecSQLFmt("SELECT * FROM card WHERE number = %d"));  // argument missing
  EXPECT_FALSE(q.Eof());
  EXPECT_NE(LogText().find("SELECT * FROM card WHERE number = %d"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Drivers, Statement, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);

// MariaDB only: SQLite has no SELECT ... INTO.
class MariaDBOnly : public DbTest {};

TEST_P(MariaDBOnly, SelectIntoIsTrueWithoutFetching) {
  TODBCStatement q(*odbc_);
  EXPECT_TRUE(q.ExecSQL("SELECT 42 INTO @answer"));
  EXPECT_FALSE(q.Eof());
  ASSERT_TRUE(q.ExecSQL("SELECT @answer AS a"));
  EXPECT_EQ(q.FieldAsInteger("a"), 42);
}

TEST_P(MariaDBOnly, UnquotedLoopIsASyntaxError) {
  TODBCStatement q(*odbc_);
  EXPECT_FALSE(q.ExecSQL("SELECT * FROM loop"));
  EXPECT_NE(LogText().find("State:  42000"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Server, MariaDBOnly, ::testing::Values(Backend::MariaDB), BackendName);

}  // namespace
}  // namespace orlo::test
