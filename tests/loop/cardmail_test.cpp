// The card-event mail: a granted card is mailed through the mail worker to a
// real SMTP server on loopback; a refused one is not; a hung mail server never
// holds the gate answers back.
#include "cardloop.h"
#include "support/smtpserver.h"

namespace orlo::test {
namespace {

class CardMailTest : public CardLoopTest {
 protected:
  void SetUp() override {
    CardLoopTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Exec("INSERT INTO card_type (id, name, access_level_id, msg_id) VALUES (4, 'Dated', 1, 1)");
    Exec("UPDATE card SET type_id = 4, card_type = 4 WHERE number = 1003");
  }
  void SetMail(int port, const std::string& to) {
    SetSetting("Email Server", "127.0.0.1");
    SetSetting("Email Port", std::to_string(port));
    SetSetting("Email From", "gate@site.test");
    SetSetting("Email To", to);
  }
};

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_P(CardMailTest, GrantedCardIsMailedToBothRecipientsRefusedOneIsNot) {
  TSmtpSink sink;
  ASSERT_TRUE(sink.ok()) << sink.error();
  SetMail(sink.port(), "ann@site.test, bob@site.test");
  mail_ = std::make_unique<TMailWorker>(*log_);
  StartLoop(mail_.get());

  Present(1, "1003");
  EXPECT_EQ(NextGateAnswer(1), "BCard expired");
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "G005Welcome Ann Lee");
  ASSERT_TRUE(sink.WaitForMessages(1)) << LogText();
  EXPECT_TRUE(WaitLog("Sending email to: ann@site.test, bob@site.test Server: 127.0.0.1 Port: " +
                      std::to_string(sink.port())));
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(1) == 1; }));
  const auto messages = sink.Messages();
  ASSERT_EQ(messages.size(), 1u);  // the refused card sent none
  const std::string& m = messages[0];
  EXPECT_TRUE(Has(m, "\r\nSubject: Card Event\r\n")) << m;
  EXPECT_TRUE(Has(m, "Mardelle")) << m;
  EXPECT_TRUE(Has(m, "<gate@site.test>")) << m;
  EXPECT_TRUE(Has(m, "X-Envelope-From: gate@site.test")) << m;
  EXPECT_TRUE(Has(m, "X-Envelope-To: ann@site.test")) << m;
  EXPECT_TRUE(Has(m, "X-Envelope-To: bob@site.test")) << m;
  EXPECT_TRUE(Has(m, "Card: 1001, Name: Ann, Device: Entry reader")) << m;
}

TEST_P(CardMailTest, NoRecipientsIsLoggedWithoutConnecting) {
  TMuteServer server;
  SetMail(server.port(), "");
  mail_ = std::make_unique<TMailWorker>(*log_);
  StartLoop(mail_.get());
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "G005Welcome Ann Lee");
  EXPECT_TRUE(
      WaitLog("Sending email to:  Server: 127.0.0.1 Port: " + std::to_string(server.port())));
  EXPECT_TRUE(WaitLog("No one to send to!"));
  EXPECT_FALSE(server.HasConnection());
}

TEST_P(CardMailTest, HungMailServerNeverHoldsTheGate) {
  TMuteServer server;  // takes the connection, never greets
  SetMail(server.port(), "ann@site.test");
  // Time-outs far beyond the test: only closing the server ends the hang.
  mail_ = std::make_unique<TMailWorker>(
      *log_, TMailTimeouts{std::chrono::seconds(60), std::chrono::seconds(120)});
  const int cards = 6;
  for (int i = 1; i <= cards; ++i)
    Exec("INSERT INTO card (number, type_id, card_type, first_name, last_name) VALUES (" +
         std::to_string(5000 + i) + ", 1, 1, 'Guest', 'N" + std::to_string(i) + "')");
  StartLoop(mail_.get());
  for (int i = 1; i <= cards; ++i) Present(1, std::to_string(5000 + i));
  for (int i = 1; i <= cards; ++i)
    EXPECT_EQ(NextGateAnswer(1), "G005Welcome Guest N" + std::to_string(i));
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(1) == cards; }));
  // The first mail is still waiting for a greeting (its worker may only now
  // be connecting).
  EXPECT_TRUE(WaitUntil([&] { return server.HasConnection(); }));
  EXPECT_EQ(LogCount("Email not sent"), 0);
  server.Close();  // ends the hang before the worker is stopped
}

INSTANTIATE_TEST_SUITE_P(SQLite, CardMailTest, ::testing::Values(LoopBackend::SQLite),
                         LoopBackendName);

}  // namespace
}  // namespace orlo::test
