#include "cardloop.h"

#include <cmath>
#include <fstream>
#include <sstream>

#include "config/registryex.h"
#include "db/odbc.h"
#include "db/odbcconn.h"
#include "platform/format.h"
#include "support/sqlfile.h"

namespace orlo::test {

namespace {

// The 'G' and 'B' frames to the address, oldest first.
std::vector<sim::TReceivedFrame> GateAnswers(const std::vector<sim::TReceivedFrame>& frames,
                                             int address) {
  std::vector<sim::TReceivedFrame> out;
  for (const auto& f : frames)
    if (f.frame.address == address && (f.frame.letter == 'G' || f.frame.letter == 'B'))
      out.push_back(f);
  return out;
}

}  // namespace

void CardLoopTest::SetUp() {
  LoopFixtureP::SetUp();
  if (IsSkipped() || HasFatalFailure()) return;
  LoadDemo();
}

void CardLoopTest::TearDown() {
  LoopFixtureP::TearDown();  // the loop goes first: it holds the mail worker
  mail_.reset();
}

void CardLoopTest::LoadDemo() { ASSERT_TRUE(site_.LoadDemo()); }

void CardLoopTest::StartLoop(TMailWorker* mail) {
  StartSim(1, {1, 2, 3, 4});
  OnMain([&] {
    TLoopContext context;
    context.MessLog = log_.get();
    context.MainLoop = &main_->Loop();
    context.Mail = mail;
    loop_ = std::make_unique<TLoop>(context, 1);
  });
  ASSERT_TRUE(Peer().Card()) << LogText();
  // The devices are polled once the loop runs.
  for (int a = 1; a <= 4; ++a) ASSERT_TRUE(WaitPolls(a, 1)) << "no poll of address " << a;
}

std::string CardLoopTest::NextGateAnswer(int address) {
  const std::size_t seen = static_cast<std::size_t>(seenGate_[address]);
  std::string answer;
  Sim().WaitFrames(
      [&](const std::vector<sim::TReceivedFrame>& all) {  // runs under the simulator's lock
        const auto frames = GateAnswers(all, address);
        if (frames.size() <= seen) return false;
        answer = std::string(1, frames[seen].frame.letter) + frames[seen].frame.data;
        return true;
      },
      kDeadline);
  if (!answer.empty()) ++seenGate_[address];
  return answer;
}

bool CardLoopTest::NoFurtherGateAnswer(int address) {
  WaitPolls(address, 4);
  return GateAnswers(Sim().Frames(), address).size() ==
         static_cast<std::size_t>(seenGate_[address]);
}

bool CardLoopTest::LoopDatabaseUp() {
  bool up = false;
  OnMain([&] { up = Peer().Conn().IsConnected(); });
  return up;
}

void CardLoopTest::TakeDatabaseDown() {
  OnMain([&] {
    Peer().Conn().SetParams("", "No Such ODBC Driver", "nowhere", "", "", "");
    Peer().DB().DisconnectFromDataSource();
  });
  ASSERT_TRUE(WaitUntil([&] { return !LoopDatabaseUp(); })) << "the database stays reachable";
}

void PrivateServerCardTest::TearDown() {
  CardLoopTest::TearDown();
  server_.reset();
}

void PrivateServerCardTest::StartPrivateServer() {
  MariaDBServer shared;
  FindMariaDB(shared);
  ASSERT_FALSE(shared.templateDir.empty()) << "ORLO_MARIADB_TEMPLATE is not set";
  server_ = std::make_unique<TPrivateMariaDB>(shared);
  ASSERT_TRUE(server_->Start());
  const ConnSettings settings = MariaDBSettings(server_->Coordinates(), "tarn");
  TODBC site;
  ASSERT_TRUE(Connect(site, settings));
  ASSERT_TRUE(RunSqlFile(site, SchemaFile("mariadb.sql")));
  ASSERT_TRUE(RunSqlFile(site, SchemaFile("demo.sql")));
  TODBCStatement q(site);
  ASSERT_TRUE(q.ExecSQL("UPDATE device SET open_pulse = 7 WHERE id = 1"));
  std::string scrambled;
  ASSERT_TRUE(Scramble(settings.password, scrambled));
  WriteRegistryStore(registryFile_, {{"Host", RegString("")},  // no ICMP ping
                                     {"Database", RegString("tarn")},
                                     {"User", RegString(settings.user)},
                                     {"Pass", RegString(scrambled)},
                                     {"ODBCDriver", RegString(settings.driver)},
                                     {"ODBCOptions", RegString(settings.options)}});
}

bool PrivateServerCardTest::ConnectToServer(TODBC& odbc) {
  return server_ && Connect(odbc, MariaDBSettings(server_->Coordinates(), "tarn"));
}

TDateTime CardLoopTest::QueryDateTime(const std::string& sql, const std::string& column) {
  TODBCStatement q(Db());
  if (!q.ExecSQL(sql)) return 0;
  return q.FieldAsDateTime(column);
}

std::string CycleBarcode(TDateTime when, int lane) {
  int year = 0, month = 0, day = 0;
  DecodeDate(Now(), year, month, day);
  const int base = year % 2 == 0 ? year : year - 1;
  const auto code =
      static_cast<long long>(std::llround((when - EncodeDate(base, 1, 1)) * kSecondsPerDay)) +
      20000000;
  return Format("%d%.2d", code, lane);
}

std::string SecondsBarcode(TDateTime when, const std::string& tail) {
  const auto seconds = static_cast<long long>(std::llround((when - 36525) * kSecondsPerDay));
  return Format("%.10d", seconds) + tail;
}

std::string OldFormatBarcode(TDateTime when, const std::string& ticket) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msec = 0;
  DecodeDate(when, year, month, day);
  DecodeTime(when, hour, minute, second, msec);
  return ticket + Format("%.2d%.2d%.2d%.2d", month, day, hour, minute);
}

}  // namespace orlo::test
