// TSql: the INSERT/UPDATE text builder, and its text run on both drivers.
#include "db/sql.h"

#include <gtest/gtest.h>

#include <cmath>

#include "dbtest.h"
#include "platform/clock.h"

namespace orlo::test {
namespace {

TDateTime May7() { return EncodeDate(2024, 5, 7) + EncodeTime(13, 45, 0, 0); }

TEST(TSql, InsertExample) {
  TSql s(dbkMySQL);
  s.AddInt("device_id", 12);
  s.AddField("error_desc", "Guard's pass", true);
  s.AddDateTime("dat_e", May7());
  std::string sql;
  s.BuildInsert("INSERT INTO trans", "Values", sql, "");
  EXPECT_EQ(sql,
            "INSERT INTO trans (device_id, error_desc, dat_e) Values (12, 'Guard''s pass', "
            "{ts '2024-05-07 13:45:00'})");
}

TEST(TSql, UpdateExample) {
  TSql s(dbkMySQL);
  s.AddDateTime("debit_date", May7());
  std::string sql;
  s.BuildUpdate("UPDATE card", "WHERE number = %f", sql);
  EXPECT_EQ(sql, "UPDATE card set debit_date={ts '2024-05-07 13:45:00'} WHERE number = %f");
}

TEST(TSql, BuildSqlHeads) {
  TSql s(dbkUnknown);
  s.AddInt("a", 1);
  s.AddBool("b", true);
  s.AddBool("c", false);
  std::string sql;
  s.BuildSQL("t", true, sql, "");
  EXPECT_EQ(sql, "insert into t (a, b, c) Values (1, 1, 0)");
  s.BuildSQL("t", false, sql, "where id=3");
  EXPECT_EQ(sql, "update t set a=1, b=1, c=0 where id=3");
  s.BuildSQL("t", false, sql, "");
  EXPECT_EQ(sql, "update t set a=1, b=1, c=0");
}

TEST(TSql, EmptyValuesAndTrimming) {
  TSql s(dbkUnknown);
  s.AddField("n", "", false);
  s.AddField("q", "", true);
  s.AddField("t", "  spaced out \t", true);
  s.AddField("u", " 17 ", false);
  std::string sql;
  s.BuildUpdate("update x", "", sql);
  EXPECT_EQ(sql, "update x set n=null, q='', t='spaced out', u=17");
}

TEST(TSql, FirstValueWinsAndSetFieldReplaces) {
  TSql s(dbkUnknown);
  EXPECT_EQ(s.AddInt("Count", 1), 0);
  EXPECT_EQ(s.AddInt("other", 5), 1);
  EXPECT_EQ(s.AddInt("COUNT", 2), 0);
  std::string sql;
  s.BuildUpdate("update x", "", sql);
  EXPECT_EQ(sql, "update x set count=1, other=5");
  EXPECT_EQ(s.SetField("count", "it's", true), 0);
  EXPECT_EQ(s.SetInt("new", 9, false), 2);
  s.BuildUpdate("update x", "", sql);
  EXPECT_EQ(sql, "update x set count='it''s', other=5, new=9");
  s.Clear();
  EXPECT_EQ(s.Count(), 0);
}

TEST(TSql, EscapingDependsOnTheFamily) {
  TSql mysql(dbkMySQL), other(dbkUnknown);
  EXPECT_EQ(mysql.Escape(R"(C:\path 'x')"), R"(C:\\path ''x'')");
  EXPECT_EQ(other.Escape(R"(C:\path 'x')"), R"(C:\path ''x'')");
}

TEST(TSql, NamesWithBlanksOrHyphensAreQuoted) {
  EXPECT_EQ(TSql::QuoteName("first name"), "\"first name\"");
  EXPECT_EQ(TSql::QuoteName("a-b"), "\"a-b\"");
  EXPECT_EQ(TSql::QuoteName("\"a b\""), "\"a b\"");
  EXPECT_EQ(TSql::QuoteName("plain"), "plain");
}

TEST(TSql, NowDependsOnTheFamily) {
  TSql s(dbkMySQL), cb(dbkCodeBase);
  s.AddNow("l_date");
  cb.AddNow("l_date");
  std::string a, b;
  s.BuildUpdate("update t", "", a);
  cb.BuildUpdate("update t", "", b);
  EXPECT_EQ(a, "update t set l_date={fn now()}");
  EXPECT_EQ(b, "update t set l_date={fn curdate()}");
}

TEST(TSql, FloatText) {
  EXPECT_EQ(TSql::FloatText(42), "42");
  EXPECT_EQ(TSql::FloatText(2.5), "2.5");
  EXPECT_EQ(TSql::FloatText(-0.125), "-0.125");
  EXPECT_EQ(TSql::FloatText(1234567), "1234567");
  EXPECT_EQ(TSql::FloatText(123456789012345.0), "123456789012345");
  EXPECT_EQ(TSql::FloatText(1e15), "1E15");
  EXPECT_EQ(TSql::FloatText(0.00001), "0.00001");
  EXPECT_EQ(TSql::FloatText(0.000001), "1E-6");
  EXPECT_EQ(TSql::FloatText(0.1), "0.1");
  EXPECT_EQ(TSql::FloatText(1.0 / 3), "0.333333333333333");
  EXPECT_EQ(TSql::FloatText(0), "0");
  EXPECT_EQ(TSql::FloatText(std::nan("")), "null");
}

// The built text runs unchanged on both drivers and stores what was given.
class SqlOnDriver : public DbTest {};

TEST_P(SqlOnDriver, TransactionRowRoundTrips) {
  TSql s(odbc_->DBKind());
  s.AddFloat("card_no", 1234567);
  s.AddDateTime("dat_e", May7());
  s.AddInt("device_id", 1);
  s.AddInt("error_code", 12);
  s.AddField("error_desc", "Guard's pass \\ 100%", true);
  s.AddFloat("cardno", 1234567);
  s.AddField("device_name", "", true);
  s.AddField("first_name", "", false);
  std::string sql;
  s.BuildInsert("INSERT INTO trans", "Values", sql, "");
  TODBCStatement q(*odbc_);
  ASSERT_TRUE(q.ExecSQL(sql)) << sql << LogText();
  ASSERT_TRUE(q.ExecSQL("SELECT * FROM trans"));
  EXPECT_EQ(q.FieldAsFloat("card_no"), 1234567);
  EXPECT_EQ(q.FieldAsDateTime("dat_e"), May7());
  EXPECT_EQ(q.FieldAsString("error_desc"), "Guard's pass \\ 100%");
  EXPECT_EQ(q.FieldAsInteger("error_code"), 12);

  TSql u(odbc_->DBKind());
  u.AddNow("dat_e");
  u.AddInt("mem_flag", 1);
  u.BuildUpdate("UPDATE trans", "WHERE device_id = %d", sql);
  ASSERT_TRUE(q.ExecSQLFmt(sql, 1));
  ASSERT_TRUE(q.ExecSQL("SELECT * FROM trans"));
  EXPECT_EQ(q.FieldAsInteger("mem_flag"), 1);
  EXPECT_NEAR(q.FieldAsDateTime("dat_e"), Now(), 1.0);
}

INSTANTIATE_TEST_SUITE_P(Drivers, SqlOnDriver, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);

}  // namespace
}  // namespace orlo::test
