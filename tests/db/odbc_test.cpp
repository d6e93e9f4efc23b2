// TODBC: family detection, connection strings, connect and its failures, lost
// links, and statements that outlive their connection.
#include <atomic>
#include <fstream>
#include <thread>

#include "db/odbccore.h"
#include "dbtest.h"

namespace orlo::test {
namespace {

TEST(DBKind, DetectedFromDriverNamesInOrder) {
  EXPECT_EQ(DetectDBKind("MySQL ODBC 3.51 Driver", 0), dbkMySQL);
  EXPECT_EQ(DetectDBKind("MariaDB Unicode", 0), dbkMySQL);
  EXPECT_EQ(DetectDBKind("SQL Native Client", 0), dbkSQLServer);
  EXPECT_EQ(DetectDBKind("ODBC Driver 17 for SQL Server", 0), dbkSQLServer);
  EXPECT_EQ(DetectDBKind("Microsoft Access Driver (*.mdb)", 0), dbkAccess);
  EXPECT_EQ(DetectDBKind("MySQL access layer", 0), dbkMySQL);  // earlier in the order
  EXPECT_EQ(DetectDBKind("Oracle in OraClient", 0), dbkOracle);
  EXPECT_EQ(DetectDBKind("Firebird/InterBase(r) driver", 0), dbkFirebird);
  EXPECT_EQ(DetectDBKind("CodeBase ODBC", 0), dbkCodeBase);
  EXPECT_EQ(DetectDBKind("Microsoft dBase Driver (*.dbf)", 0), dbkFoxPro);
  EXPECT_EQ(DetectDBKind("Microsoft Excel Driver", 0), dbkExcel);
  EXPECT_EQ(DetectDBKind("SQLite3", 0), dbkUnknown);
  EXPECT_EQ(DetectDBKind("SQLite3", dbkMySQL), dbkMySQL);  // no match keeps the kind
}

TEST(DBKind, ServerNameDecidesOverTheHint) {
  EXPECT_EQ(KindFromServerName("MariaDB", dbkUnknown), dbkMySQL);
  EXPECT_EQ(KindFromServerName("MySQL", dbkUnknown), dbkMySQL);
  EXPECT_EQ(KindFromServerName("SQLite", dbkMySQL), dbkSQLite);
  EXPECT_EQ(KindFromServerName("Microsoft SQL Server", dbkUnknown), dbkSQLServer);
  EXPECT_EQ(KindFromServerName("", dbkMySQL), dbkMySQL);  // no name: the hint stands
}

// What every MySQL-family connection string ends with: the bounds on every
// wait for the server.
const std::string kSeconds = std::to_string(kServerTimeoutSeconds);
const std::string kLockWait =
    "INITSTMT={SET SESSION innodb_lock_wait_timeout=" + std::to_string(kLockWaitSeconds) + "}";
const std::string kServerBounds = ";READ_TIMEOUT=" + kSeconds + ";WRITE_TIMEOUT=" + kSeconds +
                                  ";CONN_TIMEOUT=" + kSeconds + ";" + kLockWait;

TEST(ConnectionString, DefaultSettingsNameTheDatabaseTwice) {
  EXPECT_EQ(detail::BuildConnectionString("", "kestrel", "plover", "tarn", "MySQL ODBC 3.51 Driver",
                                          "SERVER=127.0.0.1;database=tarn", dbkMySQL),
            "DRIVER={MySQL ODBC 3.51 Driver};Database=tarn;UID=kestrel;PWD=plover;"
            "SERVER=127.0.0.1;database=tarn;OPTION=2" +
                kServerBounds);
}

TEST(ConnectionString, SiteOptionsKeepTheirValuesAndBracesHideTheirContent) {
  // A bound the site sets itself stays as it is; the others are added.
  EXPECT_EQ(detail::BuildConnectionString("", "", "", "", "MariaDB", "read_timeout=30;OPTION=3",
                                          dbkMySQL),
            "DRIVER={MariaDB};read_timeout=30;OPTION=3;WRITE_TIMEOUT=" + kSeconds +
                ";CONN_TIMEOUT=" + kSeconds + ";" + kLockWait);
  // "OPTION=" inside a braced password is the password's, not the driver's.
  EXPECT_EQ(detail::BuildConnectionString("", "u", "x;OPTION=7", "", "MariaDB", "", dbkMySQL),
            "DRIVER={MariaDB};UID=u;PWD={x;OPTION=7};OPTION=2" + kServerBounds);
  // A data source of the family: login and family options, no DRIVER pair.
  EXPECT_EQ(detail::DataSourceConnectionString("site db", "u", "p}", "tarn", dbkMySQL),
            "DSN=site db;DATABASE=tarn;UID=u;PWD={p}}};OPTION=2" + kServerBounds);
  EXPECT_EQ(detail::DataSourceConnectionString("lite", "", "", "", dbkUnknown), "DSN=lite");
}

TEST(ConnectionString, PairsByKindAndEmptyParts) {
  EXPECT_EQ(detail::BuildConnectionString("", "", "", "", "", "", 0), "DRIVER={}");
  EXPECT_EQ(detail::BuildConnectionString("site", "", "", "db", "X", "", 0),
            "DSN=site;DRIVER={X};Database=db");
  EXPECT_EQ(detail::BuildConnectionString("", "", "", "orcl", "Oracle", "", dbkOracle),
            "DRIVER={Oracle};DBQ=orcl");
  EXPECT_EQ(detail::BuildConnectionString("", "", "", "c:\\d", "FoxPro", "", dbkFoxPro),
            "DRIVER={FoxPro};SourceDB=c:\\d");
  // The found-rows flag joins an OPTION the admin already gives.
  EXPECT_EQ(detail::BuildConnectionString("", "u", "", "", "MySQL", "OPTION=16", dbkMySQL),
            "DRIVER={MySQL};UID=u;OPTION=18" + kServerBounds);
}

TEST(ConnectionString, ValuesHoldingSemicolonsAreBraced) {
  EXPECT_EQ(detail::BuildConnectionString("", "kestrel", "pa;ss}", "tarn", "SQLite3", "", 0),
            "DRIVER={SQLite3};Database=tarn;UID=kestrel;PWD={pa;ss}}}");
}

TEST(ConnectionString, SettingsFileSectionReplacesDsnDriverAndDatabase) {
  TempDir dir;
  const std::string file = dir.file("site.ini");
  std::ofstream(file) << "[Other]\nX=1\n[ODBC]\nDRIVER=MySQL ODBC 3.51 Driver\nSERVER=db1\n"
                         "; a comment\nPORT=3307\n";
  EXPECT_EQ(detail::BuildConnectionString(file, "u", "p", "tarn", "ignored", "opt=1", dbkUnknown),
            "DRIVER={MySQL ODBC 3.51 Driver};SERVER=db1;PORT=3307;UID=u;PWD=p;opt=1;OPTION=2" +
                kServerBounds);
  // A file without the section: the usual pairs, with the path as DSN.
  const std::string empty = dir.file("empty.ini");
  std::ofstream(empty) << "[Settings]\nA=1\n";
  EXPECT_EQ(detail::BuildConnectionString(empty, "", "", "", "D", "", 0),
            "DSN=" + empty + ";DRIVER={D}");
}

TEST(DBKind, DatabasePathsDoNotDecideTheFamily) {
  // A SQLite file whose folder names another family stays SQLite.
  TempDir dir;
  const std::filesystem::path folder = dir.path() / "access-mysql-dbf";
  std::filesystem::create_directory(folder);
  ConnSettings s = SqliteSettings((folder / "site.db").string());
  TODBC odbc;
  ASSERT_TRUE(odbc.ConnectToDataSource(s.dsn, s.user, s.password, s.database, s.driver, s.options));
  EXPECT_EQ(odbc.DBKind(), dbkSQLite) << odbc.ConnectString();
  EXPECT_EQ(odbc.ConnectString().find("OPTION=2"), std::string::npos);
}

TEST(LinkFailure, StatesAndMessages) {
  EXPECT_TRUE(IsLinkFailureDiag("08S01", "x"));
  EXPECT_TRUE(IsLinkFailureDiag("08003", "x"));
  EXPECT_FALSE(IsLinkFailureDiag("08S02", "x"));
  EXPECT_FALSE(IsLinkFailureDiag("42000", "syntax"));
  EXPECT_TRUE(IsLinkFailureDiag("HY000", "Unable to complete network request to host \"db\""));
}

TEST(TODBCUnconnected, EverythingFailsCleanly) {
  TODBC odbc;
  EXPECT_TRUE(odbc.Bound());
  EXPECT_FALSE(odbc.Connected());
  EXPECT_FALSE(odbc.IsConnectionDead());
  odbc.DisconnectFromDataSource();
  TODBCStatement q(odbc);
  EXPECT_FALSE(q.Allocated());
  EXPECT_FALSE(q.ExecSQL("SELECT 1"));
  EXPECT_FALSE(q.Eof());
  EXPECT_FALSE(q.dbSkip());
  EXPECT_EQ(q.FieldAsString("x"), "");
  EXPECT_EQ(q.GetFieldNames("x"), "");
  TODBCStatement none(nullptr);
  EXPECT_FALSE(none.ExecSQL("SELECT 1"));
}

class Connection : public DbTest {};

TEST_P(Connection, KindAndConnectString) {
  EXPECT_TRUE(odbc_->Connected());
  EXPECT_EQ(odbc_->DBKind(), IsMariaDB() ? dbkMySQL : dbkSQLite);
  EXPECT_FALSE(odbc_->ConnectString().empty());
  EXPECT_FALSE(odbc_->IsConnectionDead());
  // A second connect while connected changes nothing.
  EXPECT_TRUE(odbc_->ConnectToDataSource("", "", "", "", "nonsense", ""));
}

TEST_P(Connection, FailedConnectLogsTheDiagnostics) {
  TODBC bad;
  bad.SetLog(log_.get());
  bad.SetReportErrors(true);
  auto s = settings_;
  if (IsMariaDB())
    s.password = "wrong";
  else
    s.driver = "No Such Driver";
  EXPECT_FALSE(bad.ConnectToDataSource(s.dsn, s.user, s.password, s.database, s.driver, s.options));
  EXPECT_FALSE(bad.Connected());
  EXPECT_EQ(bad.DBKind(), dbkUnknown);
  const std::string log = LogText();
  EXPECT_NE(log.find(IsMariaDB() ? "State:  28000" : "No Such Driver"), std::string::npos) << log;
  EXPECT_NE(log.find(". State:  "), std::string::npos) << log;
  // The same object connects once the settings are right.
  s = settings_;
  EXPECT_TRUE(bad.ConnectToDataSource(s.dsn, s.user, s.password, s.database, s.driver, s.options));
}

TEST_P(Connection, WithoutReportErrorsNothingIsLogged) {
  TODBC bad;
  bad.SetLog(log_.get());
  EXPECT_FALSE(bad.ConnectToDataSource("", "", "", "", "No Such Driver", ""));
  EXPECT_EQ(LogText().find("State:"), std::string::npos);
}

TEST_P(Connection, DisconnectInvalidatesHeldStatements) {
  auto q = std::make_unique<TODBCStatement>(*odbc_);
  ASSERT_TRUE(q->ExecSQL("SELECT * FROM card ORDER BY number"));
  EXPECT_EQ(q->FieldAsFloat("number"), 1001);
  odbc_->DisconnectFromDataSource();
  EXPECT_FALSE(q->Allocated());
  EXPECT_EQ(q->FieldAsFloat("number"), 0);
  EXPECT_FALSE(q->dbSkip());
  EXPECT_FALSE(q->ExecSQL("SELECT * FROM card"));
  EXPECT_NE(LogText().find("SELECT * FROM card"), std::string::npos);  // still logged
  EXPECT_EQ(q->GetFieldNames("card"), "");

  ASSERT_TRUE(ConnectAnother(*odbc_));
  EXPECT_FALSE(q->ExecSQL("SELECT * FROM card"));  // an old statement stays invalid
  TODBCStatement fresh(*odbc_);
  EXPECT_TRUE(fresh.ExecSQL("SELECT * FROM card"));
}

TEST_P(Connection, StatementMayOutliveItsConnection) {
  auto own = std::make_unique<TODBC>();
  ASSERT_TRUE(ConnectAnother(*own));
  auto q = std::make_unique<TODBCStatement>(*own);
  ASSERT_TRUE(q->ExecSQL("SELECT * FROM card"));
  own.reset();
  EXPECT_FALSE(q->ExecSQL("SELECT * FROM card"));
  EXPECT_EQ(q->FieldAsString("first_name"), "");
  q.reset();  // destroying it afterwards is safe too
}

// Statement work on one thread while another disconnects and reconnects:
// every call either works or fails cleanly.
TEST_P(Connection, StatementsSurviveConcurrentReconnects) {
  std::atomic<bool> stop{false};
  std::atomic<int> ok{0}, failed{0};
  std::thread worker([&] {
    while (!stop) {
      TODBCStatement q(*odbc_);
      for (bool row = q.ExecSQL("SELECT * FROM card ORDER BY number"); row; row = q.dbSkip()) {
        if (q.FieldAsString("first_name").empty() && q.Allocated()) ++failed;
      }
      q.Allocated() ? ++ok : ++failed;
    }
  });
  for (int i = 0; i < 20; ++i) {
    odbc_->DisconnectFromDataSource();
    std::this_thread::yield();
    ASSERT_TRUE(ConnectAnother(*odbc_));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop = true;
  worker.join();
  EXPECT_GT(ok + failed, 0);
}

// On a server the writes of a transaction reach other connections together at
// its end; on a file database each statement still commits by itself. Either
// way the connection is back in autocommit afterwards.
TEST_P(Connection, TransactionGroupsWritesOnlyOnServers) {
  TODBC other;
  ASSERT_TRUE(ConnectAnother(other));
  auto seen = [&other] {
    TODBCStatement q(other);
    return q.ExecSQL("SELECT MAX(lot_count) AS n FROM lot") ? q.FieldAsInteger("n") : -1;
  };
  TODBCStatement w(*odbc_);
  {
    TODBCTransaction transaction(*odbc_);
    ASSERT_TRUE(w.ExecSQL("UPDATE lot SET lot_count = 4321"));
    EXPECT_EQ(seen() == 4321, !IsMariaDB());
    EXPECT_TRUE(transaction.Commit());
    EXPECT_EQ(seen(), 4321);
    // After Commit the scope goes on as the next transaction.
    ASSERT_TRUE(w.ExecSQL("UPDATE lot SET lot_count = 4322"));
    EXPECT_EQ(seen() == 4322, !IsMariaDB());
  }
  EXPECT_EQ(seen(), 4322);
  ASSERT_TRUE(w.ExecSQL("UPDATE lot SET lot_count = 4323"));
  EXPECT_EQ(seen(), 4323);
  EXPECT_EQ(IsServerDatabase(odbc_->DBKind()), IsMariaDB());
}

INSTANTIATE_TEST_SUITE_P(Drivers, Connection, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);

// A SQLite file connection has no link to lose: these run on MariaDB only.
class ServerConnection : public DbTest {};

// Decisions in a row each run in a transaction: autocommit is switched off
// once for all of them and on again only for a statement of its own, and a
// scope whose work was committed ends without another commit. The server's
// own counts of this session say what reached it.
TEST_P(ServerConnection, TransactionsInARowCostNoSwitchingAndOneCommitEach) {
  auto count = [this](const char* name) {
    TODBCStatement q(*odbc_);
    return q.ExecSQLFmt(
               "SELECT variable_value AS n FROM information_schema.session_status "
               "WHERE variable_name = '%s'",
               name)
               ? q.FieldAsInteger("n")
               : -1;
  };
  const int setsBefore = count("COM_SET_OPTION");
  const int commitsBefore = count("COM_COMMIT");
  TODBCStatement w(*odbc_);
  for (int i = 1; i <= 5; ++i) {
    TODBCTransaction transaction(*odbc_);
    ASSERT_TRUE(w.ExecSQLFmt("UPDATE lot SET lot_count = %d", i));
    ASSERT_TRUE(transaction.Commit());
  }
  // The status query runs outside a transaction: autocommit is switched on
  // for it (one SET) before it counts.
  EXPECT_EQ(count("COM_SET_OPTION") - setsBefore, 2);
  EXPECT_EQ(count("COM_COMMIT") - commitsBefore, 5);
  TODBC other;
  ASSERT_TRUE(ConnectAnother(other));
  TODBCStatement q(other);
  ASSERT_TRUE(q.ExecSQL("SELECT MAX(lot_count) AS n FROM lot"));
  EXPECT_EQ(q.FieldAsInteger("n"), 5);
}

// Another session kills ours: the next statement fails, and the connection
// counts as dead (the driver answers a write error with HY000, so here it is
// the driver's own check that says so).
TEST_P(ServerConnection, LostLinkMarksTheConnectionDead) {
  TODBCStatement q(*odbc_);
  ASSERT_TRUE(q.ExecSQL("SELECT CONNECTION_ID() AS id"));
  const int id = q.FieldAsInteger("id");
  TODBC other;
  ASSERT_TRUE(ConnectAnother(other));
  TODBCStatement k(other);
  ASSERT_TRUE(k.ExecSQLFmt("KILL %d", id));
  EXPECT_FALSE(q.ExecSQL("SELECT * FROM card"));
  EXPECT_TRUE(odbc_->IsConnectionDead()) << LogText();
  odbc_->DisconnectFromDataSource();
  EXPECT_FALSE(odbc_->LinkFailure());
  ASSERT_TRUE(ConnectAnother(*odbc_));
  EXPECT_FALSE(odbc_->IsConnectionDead());
  TODBCStatement again(*odbc_);
  EXPECT_TRUE(again.ExecSQL("SELECT * FROM card"));
}

INSTANTIATE_TEST_SUITE_P(Server, ServerConnection, ::testing::Values(Backend::MariaDB),
                         BackendName);

}  // namespace
}  // namespace orlo::test
