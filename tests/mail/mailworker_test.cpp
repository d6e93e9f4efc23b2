// TMailWorker: the card mail goes out on the worker thread; a hung server
// never holds a caller, a full queue drops with a log line, and stopping
// abandons the mail in progress instead of waiting for its server.
#include "mail/mailworker.h"

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <mutex>

#include "log/messlog.h"
#include "support/smtpserver.h"
#include "support/sqlfile.h"
#include "support/wait.h"

namespace orlo {
namespace {

using namespace std::chrono_literals;
using test::TMuteServer;
using test::TSmtpSink;
using test::WaitUntil;

// Collects the results handed to the done callbacks, by name.
class TResults {
 public:
  TMailWorker::TDone For(const std::string& name) {
    return [this, name](const std::string& result) {
      std::lock_guard lk(lock_);
      results_[name] = result;
    };
  }
  bool Has(const std::string& name) {
    std::lock_guard lk(lock_);
    return results_.count(name) > 0;
  }
  std::string Get(const std::string& name) {
    std::lock_guard lk(lock_);
    return results_.count(name) ? results_[name] : "<none>";
  }
  std::size_t Count() {
    std::lock_guard lk(lock_);
    return results_.size();
  }

 private:
  std::mutex lock_;
  std::map<std::string, std::string> results_;
};

class MailWorkerTest : public ::testing::Test {
 protected:
  std::string LogText() { return test::ReadFile(log_.CurrentFileName()); }
  bool LogHas(const std::string& text) {
    return WaitUntil([&] { return LogText().find(text) != std::string::npos; });
  }
  TMailMessage Mail(int port, const std::string& to) {
    TMailMessage msg;
    msg.host = "127.0.0.1";
    msg.port = port;
    msg.from = "gate@example.com";
    msg.to = to;
    msg.subject = "Card Event";
    msg.body = "Card: 1";
    return msg;
  }

  test::TempDir dir_;
  TMessLog log_{dir_.file("mail.log"), false, false, false, true};
  TResults results_;
};

TEST_F(MailWorkerTest, CardEventIsLoggedAndDeliveredToBothRecipients) {
  TSmtpSink sink;
  ASSERT_TRUE(sink.ok()) << sink.error();
  TMailWorker worker(log_);

  ASSERT_TRUE(worker.SubmitCardEvent(
      "127.0.0.1", sink.port(), "gate@example.com", "ann@example.com, bob@example.org",
      "Card: 1234567, Name: Ann, Device: Lane 2 In", results_.For("card")));

  ASSERT_TRUE(WaitUntil([&] { return results_.Has("card"); }));
  EXPECT_EQ(results_.Get("card"), "Sent");
  EXPECT_TRUE(LogHas("Sending email to: ann@example.com, bob@example.org Server: 127.0.0.1 Port: " +
                     std::to_string(sink.port())));
  ASSERT_TRUE(sink.WaitForMessages(1));
  const auto messages = sink.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("\r\nSubject: Card Event\r\n"), std::string::npos);
  EXPECT_NE(messages[0].find("X-Envelope-To: ann@example.com"), std::string::npos);
  EXPECT_NE(messages[0].find("X-Envelope-To: bob@example.org"), std::string::npos);
  EXPECT_EQ(LogText().find("Email not sent"), std::string::npos);
}

TEST_F(MailWorkerTest, EmptyRecipientListLogsTheStartLineAndTheResult) {
  TMuteServer server;
  TMailWorker worker(log_);

  ASSERT_TRUE(worker.SubmitCardEvent("127.0.0.1", server.port(), "gate@example.com", "", "Card: 1",
                                     results_.For("none")));

  ASSERT_TRUE(WaitUntil([&] { return results_.Has("none"); }));
  EXPECT_EQ(results_.Get("none"), "No one to send to!");
  EXPECT_TRUE(
      LogHas("Sending email to:  Server: 127.0.0.1 Port: " + std::to_string(server.port())));
  EXPECT_TRUE(LogHas("Email not sent: No one to send to!"));
  EXPECT_FALSE(server.HasConnection());
}

TEST_F(MailWorkerTest, SilentServerTimesOutOnTheWorkerAndTheErrorIsLogged) {
  TMuteServer server;
  TMailWorker worker(log_, {500ms, 1500ms});

  ASSERT_TRUE(worker.Submit(Mail(server.port(), "ann@example.com"), "", results_.For("a")));

  ASSERT_TRUE(WaitUntil([&] { return results_.Has("a"); }));
  EXPECT_NE(results_.Get("a"), "Sent");
  EXPECT_TRUE(LogHas("Email not sent: "));
}

TEST_F(MailWorkerTest, SubmitReturnsWhileAMailHangsAndAFullQueueDrops) {
  TMuteServer server;
  // Time-outs far beyond the test: only closing the server ends the hang.
  TMailWorker worker(log_, {60s, 120s}, 2);

  ASSERT_TRUE(worker.Submit(Mail(server.port(), "a@example.com"), "", results_.For("a")));
  ASSERT_TRUE(WaitUntil([&] { return server.HasConnection(); }));  // a is in progress
  EXPECT_TRUE(worker.Submit(Mail(server.port(), "b@example.com"), "", results_.For("b")));
  EXPECT_TRUE(worker.Submit(Mail(server.port(), "c@example.com"), "", results_.For("c")));
  EXPECT_FALSE(worker.Submit(Mail(server.port(), "d@example.com"), "", results_.For("d")));

  EXPECT_TRUE(LogHas("Email queue full, mail to d@example.com dropped"));
  EXPECT_EQ(results_.Count(), 0u);  // every Submit returned while a still hangs

  server.Close();  // resets a; b and c find the port closed
  ASSERT_TRUE(WaitUntil([&] { return results_.Count() == 3; }));
  for (const char* name : {"a", "b", "c"}) EXPECT_NE(results_.Get(name), "Sent") << name;
  EXPECT_FALSE(results_.Has("d"));
}

// A stop or restart must not wait out a hung server: the mail in progress is
// abandoned and logged by name. The time-outs lie far beyond the deadline the
// test gives Stop, so only abandoning the exchange lets Stop return in time.
TEST_F(MailWorkerTest, StopAbandonsTheMailToASilentServerAndDropsTheRest) {
  TMuteServer server;
  TMailWorker worker(log_, {120s, 240s}, 4);
  ASSERT_TRUE(worker.Submit(Mail(server.port(), "a@example.com"), "", results_.For("a")));
  ASSERT_TRUE(WaitUntil([&] { return server.HasConnection(); }));
  ASSERT_TRUE(worker.Submit(Mail(server.port(), "b@example.com"), "", results_.For("b")));
  ASSERT_TRUE(worker.Submit(Mail(server.port(), "c@example.com"), "", results_.For("c")));

  auto stopped = std::async(std::launch::async, [&] { worker.Stop(); });
  ASSERT_EQ(stopped.wait_for(60s), std::future_status::ready);

  EXPECT_EQ(results_.Get("a"), kMailAbandoned);
  EXPECT_TRUE(
      LogHas("Email service stopped, mail to a@example.com to server 127.0.0.1 "
             "abandoned: the server had not confirmed it"));
  EXPECT_EQ(results_.Get("b"), "Not sent: the mail service stopped");
  EXPECT_EQ(results_.Get("c"), "Not sent: the mail service stopped");
  EXPECT_TRUE(LogHas("Email service stopped, mail to b@example.com dropped"));
  EXPECT_TRUE(LogHas("Email service stopped, mail to c@example.com dropped"));

  EXPECT_FALSE(worker.Submit(Mail(server.port(), "e@example.com"), "", results_.For("e")));
  worker.Stop();  // a second stop is harmless
  EXPECT_FALSE(results_.Has("e"));
}

TEST_F(MailWorkerTest, StopAbandonsTheMailAServerHangsOnAfterTakingItsText) {
  TSmtpSink sink("", "", test::TSinkMode::HangAfterData);
  ASSERT_TRUE(sink.ok()) << sink.error();
  TMailWorker worker(log_, {120s, 240s});
  ASSERT_TRUE(worker.SubmitCardEvent("127.0.0.1", sink.port(), "gate@example.com",
                                     "ann@example.com", "Card: 7", results_.For("card")));
  ASSERT_TRUE(sink.WaitForMessages(1));  // the server now withholds its answer

  auto stopped = std::async(std::launch::async, [&] { worker.Stop(); });
  ASSERT_EQ(stopped.wait_for(60s), std::future_status::ready);

  EXPECT_EQ(results_.Get("card"), kMailAbandoned);
  EXPECT_TRUE(
      LogHas("Email service stopped, mail to ann@example.com to server 127.0.0.1 "
             "abandoned: the server had not confirmed it"));
  EXPECT_EQ(LogText().find("Email not sent"), std::string::npos);
}

TEST_F(MailWorkerTest, ThrowingCompletionIsLoggedAndTheWorkerGoesOn) {
  TSmtpSink sink;
  ASSERT_TRUE(sink.ok()) << sink.error();
  TMailWorker worker(log_);

  ASSERT_TRUE(worker.Submit(Mail(sink.port(), "a@example.com"), "",
                            [](const std::string&) { throw std::runtime_error("boom"); }));
  ASSERT_TRUE(worker.Submit(Mail(sink.port(), "b@example.com"), "", results_.For("b")));

  ASSERT_TRUE(WaitUntil([&] { return results_.Has("b"); }));
  EXPECT_EQ(results_.Get("b"), "Sent");
  EXPECT_TRUE(LogHas("Exception in mail completion"));
  EXPECT_EQ(sink.Messages().size(), 2u);
}

}  // namespace
}  // namespace orlo
