// The real program on sites that name their database by an ODBC data source,
// or through a driver registered under a name that tells no database family:
// the family comes from the connected server, so the start-up finds its
// loops (the `loop` table quoted where the name is reserved) and text is
// escaped by the server's own rules. The data sources and drivers are defined
// in odbc.ini and odbcinst.ini files of the test's own folder, given to the
// program through ODBCINI and ODBCSYSINI.
#include <fstream>

#include "config/registryex.h"
#include "sitefixture.h"

namespace orlo::test {
namespace {

// A card whose name holds what the families escape differently.
constexpr char kFirstName[] = R"(O'Neil \ Co)";

class DataSourceSiteTest : public SystemFixtureP {
 protected:
  void SetUp() override {
    SystemFixtureP::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::ofstream(dir_.file("odbcinst.ini")) << "[SQLite3]\nDriver=libsqlite3odbc.so\n"
                                                "[MariaDB Unicode]\nDriver=libmaodbc.so\n"
                                                "[Site Driver]\nDriver=libmaodbc.so\n";
    std::ofstream ini(dir_.file("odbc.ini"));
    if (Kind() == Backend::MariaDB) {
      const MariaDBServer& server = Server();
      for (const char* driver : {"MariaDB Unicode", "Site Driver"})
        ini << "[" << (driver[0] == 'M' ? "site" : "renamed") << "]\nDriver=" << driver
            << "\nSERVER=" << server.host << "\nPORT=" << server.port
            << "\nDATABASE=" << site_.Name() << "\n";
    } else {
      ini << "[site]\nDriver=SQLite3\nDatabase=" << databaseFile_ << "\nLoadExt=" << SqliteFnPath()
          << "\nJournalMode=WAL\nTimeout=1000\n";
    }
    program_.SetEnv("ODBCSYSINI", dir_.path().string());
    program_.SetEnv("ODBCINI", dir_.file("odbc.ini"));
    ASSERT_TRUE(site_.LoadDemo());
    Exec("UPDATE card SET first_name = '" + SqlText(kFirstName) + "' WHERE number = 1001");
  }

  // The private MariaDB server of scripts/test.
  const MariaDBServer& Server() {
    if (server_info_.port.empty()) FindMariaDB(server_info_);
    return server_info_;
  }
  // The name as a string literal's inside on the test's own connection.
  std::string SqlText(const std::string& text) {
    std::string out;
    for (char c : text) {
      out += c;
      if (c == '\'' || (c == '\\' && Kind() == Backend::MariaDB)) out += c;
    }
    return out;
  }
  // The registry store of a site that names a data source, with the login
  // and the database (which the connection makes current on a server).
  void WriteDataSourceRegistry(const std::string& dsn) {
    // No driver name: the data source gives it.
    TRegistryValues values = {
        {"Host", RegString("")}, {"DSNName", RegString(dsn)}, {"ODBCDriver", RegString("")}};
    if (Kind() == Backend::MariaDB) {
      for (const auto& v : site_.RegistryValues())
        if (v.first == "User" || v.first == "Pass" || v.first == "Database") values.push_back(v);
    }
    WriteRegistryStore(dir_.file("registry.reg"), values, "GATEPC");
  }
  // Starts the program and presents card 1001 at the entry reader; the card
  // must be granted with its name as stored, and recorded with it.
  void ExpectCardsDecided() {
    auto& sim = StartSim(1, {1, 2, 3, 4});
    StartProgram();
    ASSERT_TRUE(WaitLog("Started!")) << LogText();
    EXPECT_NE(LogText().find("Loops FOUND"), std::string::npos) << LogText();
    sim.QueueReply(1, 'C', "1001");
    ASSERT_TRUE(sim.WaitFrames(
        [](const std::vector<sim::TReceivedFrame>& frames) {
          for (const auto& f : frames)
            if (f.frame.letter == 'G') return true;
          return false;
        },
        kDeadline))
        << LogText();
    std::string answer;
    for (const auto& f : sim.Frames())
      if (f.frame.letter == 'G') answer = f.frame.data;
    EXPECT_EQ(answer.substr(3), std::string("Welcome ") + kFirstName + " Lee");
    EXPECT_EQ(StopProgram(), 0) << program_.Output();
    EXPECT_EQ(site_.QueryString("SELECT first_name FROM trans WHERE card_no = 1001"), kFirstName);
  }

  MariaDBServer server_info_;
};

TEST_P(DataSourceSiteTest, ASiteNamedByItsDataSourceStartsAndDecides) {
  WriteDataSourceRegistry("site");
  ExpectCardsDecided();
}

// The driver's name does not say MariaDB: without the server's own name the
// start-up would not quote `loop` and fail for ever.
using RenamedDriverSiteTest = DataSourceSiteTest;

TEST_P(RenamedDriverSiteTest, ADataSourceOfADriverThatTellsNoFamily) {
  WriteDataSourceRegistry("renamed");
  ExpectCardsDecided();
}

TEST_P(RenamedDriverSiteTest, ADriverThatTellsNoFamilyWithoutADataSource) {
  TRegistryValues values = {{"Host", RegString("")}};
  for (auto v : site_.RegistryValues()) {
    if (v.first == "ODBCDriver") v.second = RegString("Site Driver");
    values.push_back(v);
  }
  WriteRegistryStore(dir_.file("registry.reg"), values, "GATEPC");
  ExpectCardsDecided();
}

INSTANTIATE_TEST_SUITE_P(Sites, DataSourceSiteTest, Backends(), BackendName);
INSTANTIATE_TEST_SUITE_P(MariaDB, RenamedDriverSiteTest, ::testing::Values(Backend::MariaDB),
                         BackendName);

}  // namespace
}  // namespace orlo::test
