#include "site.h"

#include <fstream>
#include <sstream>

#include "platform/format.h"
#include "support/sqlfile.h"

namespace orlo::test {

namespace {

const char* kSite[] = {
    "INSERT INTO settings (id, stup_pbrst, soft_group, soft_path, soft_pb) VALUES (1, 0, 0, 0, 0)",
    "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse, debit_flag, "
    "special_out) VALUES (11, 1, 1, 'Entry A', 1, 5.7, 1, 1)",
    "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse, debit_flag) "
    "VALUES (12, 1, 2, 'Exit A', 2, 3, 1)",
    "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse, debit_flag) "
    "VALUES (13, 1, 3, 'Inner door', 3, 2, 1)",
    "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse) "
    "VALUES (14, 1, 4, 'Lobby', 0, 2)",
    "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse, no_path) "
    "VALUES (15, 1, 5, 'Entry B', 1, 4, 1)",
    "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse) "
    "VALUES (16, 1, 6, 'Garage', 1, 4)",
    // Ranges: id, level, day_1..day_9, start, end.
    "INSERT INTO a_l_range VALUES (1, 1, 1,1,1,1,1,1,1,1,1, '00:00:00', '00:00:00')",
    "INSERT INTO a_l_range VALUES (2, 2, 1,1,1,1,1,1,1,0,0, '22:00:00', '06:00:00')",
    "INSERT INTO a_l_range VALUES (3, 3, 1,1,1,1,1,1,1,0,0, '00:00:00', '00:00:00')",
    "INSERT INTO a_l_range VALUES (4, 3, 0,0,0,0,0,0,0,1,0, '00:00:00', '00:00:00')",
    "INSERT INTO a_l_range VALUES (5, 3, 0,0,0,0,0,0,0,0,1, '00:00:00', '00:00:00')",
    "INSERT INTO a_l_range VALUES (6, 4, 1,1,1,1,1,1,1,1,1, '00:00:00', '00:00:00')",
    "INSERT INTO a_l_range VALUES (7, 5, 1,1,1,1,1,1,1,1,1, '08:00:00', '08:00:00')",
    "INSERT INTO a_l_range VALUES (8, 6, 1,1,1,1,1,1,1,1,1, NULL, NULL)",
    "INSERT INTO a_l_range_device VALUES (1, 11)",
    "INSERT INTO a_l_range_device VALUES (1, 12)",
    "INSERT INTO a_l_range_device VALUES (1, 13)",
    "INSERT INTO a_l_range_device VALUES (1, 14)",
    "INSERT INTO a_l_range_device VALUES (1, 15)",
    "INSERT INTO a_l_range_device VALUES (1, 16)",
    "INSERT INTO a_l_range_device VALUES (2, 11)",
    "INSERT INTO a_l_range_device VALUES (2, 12)",
    "INSERT INTO a_l_range_device VALUES (3, 11)",
    "INSERT INTO a_l_range_device VALUES (4, 12)",
    "INSERT INTO a_l_range_device VALUES (5, 13)",
    "INSERT INTO a_l_range_device VALUES (6, 12)",
    "INSERT INTO a_l_range_device VALUES (7, 0)",
    "INSERT INTO a_l_range_device VALUES (8, 11)",
    "INSERT INTO holiday (holi_day, tab_num) VALUES ('2024-12-25', 1)",
    "INSERT INTO holiday (holi_day, tab_num) VALUES ('2024-12-26', 2)",
    "INSERT INTO card_pool (id, name, max_inlot, cur_inlot) VALUES (1, 'Contractors', 10, 0)",
    "INSERT INTO pathway_ft VALUES (1, 11, 16, 5)",
    "INSERT INTO pathway_ft VALUES (1, 16, 12, 0)",
    "INSERT INTO card_type (id, name, access_level_id, no_expiry_flg) VALUES (1, 'Staff', 1, 1)",
    "INSERT INTO card_type (id, name, access_level_id) VALUES (2, 'Period', 1)",
    "INSERT INTO card_type (id, name, access_level_id, first_use_flg, days) "
    "VALUES (3, 'First use', 1, 1, 30)",
    "INSERT INTO card_type (id, name, access_level_id, first_use_flg, global_expiry, days) "
    "VALUES (4, 'First use shared', 1, 1, 1, 30)",
    "INSERT INTO card_type (id, name, access_level_id, debit_flg, uses, debit_time_limit, "
    "debit_time_limit_flg) VALUES (5, 'Ten uses', 1, 1, 10, 10, 1)",
    "INSERT INTO card_type (id, name, access_level_id, debit_reset_flag, uses) "
    "VALUES (6, 'Monthly', 1, 1, 20)",
    "INSERT INTO card_type (id, name, access_level_id, first_use_flg, debit_reset_flag, uses, "
    "days) VALUES (7, 'Monthly first use', 1, 1, 1, 5, 30)",
    "INSERT INTO card_type (id, name, access_level_id, no_expiry_flg, ignore_passback) "
    "VALUES (8, 'Free', 1, 1, 1)",
    "INSERT INTO card_type (id, name, access_level_id, no_expiry_flg, ignore_passback, "
    "pathway_id) VALUES (9, 'Pathway', 1, 1, 1, 1)",
    "INSERT INTO card_type (id, name, access_level_id, no_expiry_flg) VALUES (10, 'Night', 2, 1)",
    "INSERT INTO card_type (id, name, access_level_id, no_expiry_flg, ignore_passback) "
    "VALUES (11, 'Holiday', 3, 1, 1)",
    "INSERT INTO card_type (id, name, access_level_id, no_expiry_flg) VALUES (12, 'Unlinked', 4, "
    "1)",
    "INSERT INTO card_type (id, name, access_level_id, no_expiry_flg) VALUES (13, 'Device 0', 5, "
    "1)",
    "INSERT INTO card_type (id, name, access_level_id, no_expiry_flg) VALUES (14, 'No times', 6, "
    "1)",
    "INSERT INTO card_type (id, name, access_level_id, debit_flg, uses) "
    "VALUES (15, 'Debit only', 1, 1, 0)",
    "INSERT INTO card_type (id, name, access_level_id, debit_flg, global_expiry, debit_left, "
    "start_dt, start_date) VALUES (16, 'Shared uses', 1, 1, 1, 5, '2024-01-01 00:00:00', "
    "'2024-01-01 00:00:00')",
};

}  // namespace

TDateTime At(int y, int mo, int d, int h, int m, int s) {
  return EncodeDate(y, mo, d) + EncodeTime(h, m, s, 0);
}

TDateTime Tue(int h, int m, int s) { return At(2024, 3, 12, h, m, s); }

void SiteTest::SetUp() {
  log_ = std::make_unique<TMessLog>(dir_.file("access.log"), false, false, false, true);
  if (IsMariaDB()) {
    MariaDBServer server;
    ORLO_REQUIRE_MARIADB(server);
    ASSERT_TRUE(site_.CreateMariaDB(server, "acc_", log_.get())) << LogText();
  } else {
    ASSERT_TRUE(site_.CreateSQLite(dir_.file("site.db"), log_.get())) << LogText();
  }
  odbc_ = &site_.Db();
  BuildSite();
}

void SiteTest::TearDown() {
  ClearTestNow();
  site_.Close();
}

void SiteTest::BuildSite() {
  for (const char* sql : kSite) Exec(sql);
}

void SiteTest::Exec(const std::string& sql) {
  TODBCStatement q(*odbc_);
  EXPECT_TRUE(q.ExecSQL(sql)) << sql << "\n" << LogText();
}

int SiteTest::QInt(const std::string& sql) {
  TODBCStatement q(*odbc_);
  EXPECT_TRUE(q.ExecSQL(sql)) << sql;
  return q.FieldAsInteger("v");
}

double SiteTest::QFloat(const std::string& sql) {
  TODBCStatement q(*odbc_);
  EXPECT_TRUE(q.ExecSQL(sql)) << sql;
  return q.FieldAsFloat("v");
}

std::string SiteTest::QText(const std::string& sql) {
  TODBCStatement q(*odbc_);
  EXPECT_TRUE(q.ExecSQL(sql)) << sql;
  return q.FieldAsString("v");
}

TDateTime SiteTest::QDate(const std::string& sql) {
  TODBCStatement q(*odbc_);
  EXPECT_TRUE(q.ExecSQL(sql)) << sql;
  return q.FieldAsDateTime("v");
}

void SiteTest::AddCard(double number, int type, const std::string& set) {
  const std::string n = Format("%f", number);
  Exec(
      Format("INSERT INTO card (number, type_id, card_type, first_name, last_name, str_eet) VALUES "
             "(%s, %d, %d, 'Ann', 'Lee', '1 Harbour Road')",
             n, type, type));
  if (!set.empty()) Exec("UPDATE card SET " + set + " WHERE number = " + n);
}

int SiteTest::CardInt(double number, const std::string& column) {
  return QInt(Format("SELECT %s AS v FROM card WHERE number = %f", column, number));
}

TDateTime SiteTest::CardDate(double number, const std::string& column) {
  return QDate(Format("SELECT %s AS v FROM card WHERE number = %f", column, number));
}

void SiteTest::SetSettings(const std::string& set) { Exec("UPDATE settings SET " + set); }

int SiteTest::Present(double card, int addr, TDateTime when) {
  SetTestNow(when);
  out_ = TCardOutcome{};
  return ProcessCard(debugLog_, log_.get(), *odbc_, card, addr, 1, false, "0000", out_, config_);
}

int SiteTest::PresentMemory(double card, int addr, TDateTime now, const std::string& record) {
  SetTestNow(now);
  out_ = TCardOutcome{};
  return ProcessCard(debugLog_, log_.get(), *odbc_, card, addr, 1, true, record, out_, config_);
}

TransRow SiteTest::LastTrans() {
  TransRow r;
  TODBCStatement q(*odbc_);
  if (!q.ExecSQL("SELECT * FROM trans ORDER BY id DESC")) return r;
  r.found = true;
  r.cardNo = q.FieldAsFloat("card_no");
  r.cardno = q.FieldAsFloat("cardno");
  r.when = q.FieldAsDateTime("dat_e");
  r.deviceId = q.FieldAsInteger("device_id");
  r.code = q.FieldAsInteger("error_code");
  r.memFlag = q.FieldAsInteger("mem_flag");
  r.errorDesc = q.FieldAsString("error_desc");
  r.deviceName = q.FieldAsString("device_name");
  r.firstName = q.FieldAsString("first_name");
  r.lastName = q.FieldAsString("last_name");
  return r;
}

int SiteTest::TransCount() { return QInt("SELECT COUNT(*) AS v FROM trans"); }

std::string SiteTest::LogText() {
  if (log_) log_->Log("");
  return ReadFile(dir_.file("access.log"));
}

}  // namespace orlo::test
