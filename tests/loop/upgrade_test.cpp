// Schema upgrade at loop creation: the missing device columns are added, the
// ticket inventory block is tried as a whole when `online` is missing, and an
// up-to-date database sees no statement at all.
#include <string>

#include "loopfixture.h"

namespace orlo::test {
namespace {

class LoopUpgradeP : public LoopFixtureP {
 protected:
  std::string Columns(const std::string& table) {
    TODBCStatement q(Db());
    return "," + q.GetFieldNames(table) + ",";
  }
  bool Has(const std::string& table, const std::string& column) {
    return Columns(table).find("," + column + ",") != std::string::npos;
  }
  // A device table of an early release: none of the later columns.
  void OldDeviceTable() {
    Exec("DROP TABLE device");
    const std::string id =
        IsMariaDB() ? "id INTEGER PRIMARY KEY AUTO_INCREMENT" : "id INTEGER PRIMARY KEY";
    Exec("CREATE TABLE device (" + id +
         ", loop_id INTEGER NOT NULL, addr_ess INTEGER "
         "NOT NULL, name VARCHAR(50), msg_id INTEGER, lot_id INTEGER, online_flag INTEGER, "
         "lf_enabled INTEGER, lf_sign INTEGER, lf_output INTEGER, lf_output_flag INTEGER, "
         "lf_sign_flag INTEGER, count_soft INTEGER, door_input INTEGER, ajar_timer INTEGER, "
         "ajar_output INTEGER, fire_input INTEGER)");
  }
  void OldTickinvTable() {
    Exec("DROP TABLE tickinv");
    Exec(
        "CREATE TABLE tickinv (id INTEGER PRIMARY KEY, barcode VARCHAR(20), ticket INTEGER, "
        "issuerid INTEGER, issuername VARCHAR(30), status INTEGER, in_date DATETIME)");
  }
  int AlterLines() { return LogCount("alter table"); }
};

TEST_P(LoopUpgradeP, OldDatabaseGetsEveryMissingColumn) {
  OldDeviceTable();
  OldTickinvTable();
  AddLoop(1, "GATEPC", 2);
  AddDevice(1, 1, "One");
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("CreateCardInterface - Done")) << LogText();
  for (const char* c : {"GATE_UP", "PTR_PAPER", "PTR_HDWR", "PTR_FAIL", "PTR_STAT", "PTR_PAPER2",
                        "PTR_HDWR2", "PTR_FAIL2", "PTR_STAT2", "DEVICE_TYPE", "SPECIAL_OUT"})
    EXPECT_TRUE(Has("device", c)) << c << " in " << Columns("device");
  // The device statements all worked: none was logged as failing.
  EXPECT_EQ(AlterLines(), 0) << LogText();
  // The tickinv block ran on, past the statements this database refuses
  // (triggers, generators, column positions), and logged none of them.
  EXPECT_TRUE(Has("tickinv", "TAKERID"));
  EXPECT_TRUE(Has("tickinv", "ONLINE"));
  EXPECT_TRUE(Has("tickinv", "TRAN_ID"));
  EXPECT_FALSE(Has("tickinv", "ISSUERNAME"));
  EXPECT_EQ(LogCount("TRIGGER"), 0);
  EXPECT_EQ(LogCount("generator"), 0);
  // The added columns work: a printer status can be written at once.
  EXPECT_EQ(CountRows("device", "ptr_stat IS NULL"), 1);

  // A second loop finds everything in place.
  DestroyLoop();
  const std::string before = Columns("device") + Columns("tickinv");
  CreateLoop(1);
  EXPECT_EQ(Columns("device") + Columns("tickinv"), before);
  EXPECT_EQ(AlterLines(), 0);
}

TEST_P(LoopUpgradeP, OnlySpecialOutMissingAddsExactlyThat) {
  OldDeviceTable();
  // Every later column but special_out.
  for (const char* c : {"gate_up", "ptr_paper", "ptr_hdwr", "ptr_fail", "ptr_stat", "ptr_paper2",
                        "ptr_hdwr2", "ptr_fail2", "ptr_stat2", "device_type"})
    Exec(std::string("alter table device add ") + c + " integer");
  const std::string tickinv = Columns("tickinv");
  AddLoop(1, "GATEPC", 2);
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("CreateCardInterface - Done")) << LogText();
  EXPECT_TRUE(Has("device", "SPECIAL_OUT"));
  EXPECT_EQ(Columns("tickinv"), tickinv);
}

TEST_P(LoopUpgradeP, UpToDateDatabaseRunsNothing) {
  const std::string before = Columns("device") + Columns("tickinv");
  AddLoop(1, "GATEPC", 2);
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("CreateCardInterface - Done")) << LogText();
  EXPECT_EQ(Columns("device") + Columns("tickinv"), before);
  EXPECT_EQ(AlterLines(), 0);
}

TEST_P(LoopUpgradeP, MissingTablesAreTriedAndTheLoopGoesOn) {
  Exec("DROP TABLE device");
  Exec("DROP TABLE tickinv");
  AddLoop(1, "GATEPC", 2);
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("CreateCardInterface - Done")) << LogText();
  // Each device statement failed and was logged; the tickinv block was not.
  EXPECT_EQ(LogCount("alter table device add special_out integer"), 1) << LogText();
  EXPECT_EQ(LogCount("alter table device add gate_up integer"), 1);
  EXPECT_EQ(LogCount("alter table tickinv"), 0);
  EXPECT_EQ(LogCount("No devices found for loop id 1"), 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, LoopUpgradeP, LoopBackends(), LoopBackendName);

}  // namespace
}  // namespace orlo::test
