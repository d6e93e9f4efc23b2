// MailMessage against a real SMTP server (aiosmtpd), a silent listener and a
// closed port.
#include "mail/mail.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/text.h"
#include "support/smtpserver.h"

namespace orlo {
namespace {

using test::ClosedPort;
using test::TMuteServer;
using test::TSmtpSink;

using Items = std::vector<std::string>;

TMailMessage CardMail(int port) {
  TMailMessage msg;
  msg.host = "127.0.0.1";
  msg.port = port;
  msg.from = "gate@example.com";
  msg.to = "ann@example.com, bob@example.org";
  msg.subject = "Card Event";
  msg.body = "Card: 1234567, Name: Ann, Device: Lane 2 In";
  return msg;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Lines of a stored message that start with prefix (header names as sent).
std::vector<std::string> LinesStarting(const std::string& message, const std::string& prefix) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < message.size()) {
    std::size_t end = message.find("\r\n", pos);
    if (end == std::string::npos) end = message.size();
    const std::string line = message.substr(pos, end - pos);
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    pos = end + 2;
  }
  return lines;
}

TEST(SplitAddressList, SplitsAtCommasAndBlanksOutsideQuotes) {
  EXPECT_EQ(SplitAddressList(""), Items{});
  EXPECT_EQ(SplitAddressList(" , ,, "), Items{});
  EXPECT_EQ(SplitAddressList("a@x"), Items{"a@x"});
  EXPECT_EQ(SplitAddressList("a@x, b@y"), (Items{"a@x", "b@y"}));
  EXPECT_EQ(SplitAddressList("a@x b@y,c@z"), (Items{"a@x", "b@y", "c@z"}));
  EXPECT_EQ(SplitAddressList("\"Smith, Ann\"@x, b@y"), (Items{"\"Smith, Ann\"@x", "b@y"}));
  EXPECT_EQ(SplitAddressList("\"a b\""), Items{"\"a b\""});
}

TEST(SplitAddressList, LineBreaksNeverStayInsideAnItem) {
  EXPECT_EQ(SplitAddressList("a@x\r\nb@y"), (Items{"a@x", "b@y"}));
  EXPECT_EQ(SplitAddressList("a@x\tb@y"), (Items{"a@x", "b@y"}));
  EXPECT_EQ(SplitAddressList("\"a\r\nb\"@x"), Items{"\"ab\"@x"});
}

TEST(MailMessage, DeliversCardEventToEveryRecipientOfTheList) {
  TSmtpSink sink;
  ASSERT_TRUE(sink.ok()) << sink.error();

  EXPECT_EQ(MailMessage(CardMail(sink.port())), "Sent");

  const auto messages = sink.Messages();
  ASSERT_EQ(messages.size(), 1u);
  const std::string& m = messages[0];
  EXPECT_TRUE(Has(m, "X-Envelope-From: gate@example.com\r\n")) << m;
  EXPECT_TRUE(Has(m, "X-Envelope-To: ann@example.com\r\n")) << m;
  EXPECT_TRUE(Has(m, "X-Envelope-To: bob@example.org\r\n")) << m;
  EXPECT_EQ(LinesStarting(m, "From: "), Items{"From: \"Mardelle\" <gate@example.com>"});
  EXPECT_EQ(LinesStarting(m, "Reply-To: "), Items{"Reply-To: <gate@example.com>"});
  EXPECT_EQ(LinesStarting(m, "To: "), Items{"To: ann@example.com, bob@example.org"});
  EXPECT_EQ(LinesStarting(m, "Subject: "), Items{"Subject: Card Event"});
  EXPECT_EQ(LinesStarting(m, "Date: ").size(), 1u);
  EXPECT_TRUE(Has(m, "Card: 1234567, Name: Ann, Device: Lane 2 In")) << m;
}

TEST(MailMessage, BlindCopiesReachTheEnvelopeButNoHeader) {
  TSmtpSink sink;
  ASSERT_TRUE(sink.ok()) << sink.error();
  TMailMessage msg = CardMail(sink.port());
  msg.to = "ann@example.com";
  msg.bcc = "audit@example.net";

  EXPECT_EQ(MailMessage(msg), "Sent");

  const auto messages = sink.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(Has(messages[0], "X-Envelope-To: audit@example.net\r\n"));
  EXPECT_EQ(LinesStarting(messages[0], "To: "), Items{"To: ann@example.com"});
  EXPECT_TRUE(LinesStarting(messages[0], "Bcc:").empty());
  EXPECT_EQ(messages[0].find("audit@example.net", messages[0].find("\r\n\r\n")), std::string::npos);
}

TEST(MailMessage, AttachmentGoesInlineBesideTheBodyAndIsDeletedAfterwards) {
  TSmtpSink sink;
  ASSERT_TRUE(sink.ok()) << sink.error();
  test::TempDir dir;
  const std::string file = dir.file("report.txt");
  std::ofstream(file) << "hello attachment";
  TMailMessage msg = CardMail(sink.port());
  msg.attachment = file;

  EXPECT_EQ(MailMessage(msg), "Sent");

  const auto messages = sink.Messages();
  ASSERT_EQ(messages.size(), 1u);
  const std::string& m = messages[0];
  EXPECT_TRUE(Has(m, "multipart/mixed")) << m;
  EXPECT_TRUE(Has(m, "Content-Disposition: inline; filename=\"report.txt\"")) << m;
  EXPECT_TRUE(Has(m, "Content-Type: text/plain\r\nContent-Transfer-Encoding: base64")) << m;
  EXPECT_TRUE(Has(m, "aGVsbG8gYXR0YWNobWVudA==")) << m;  // the file's text in base64
  EXPECT_TRUE(Has(m, "Card: 1234567")) << m;
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(MailMessage, AttachmentThatCannotBeReadStopsTheMailWithoutConnecting) {
  TMuteServer server;
  TMailMessage msg = CardMail(server.port());
  msg.attachment = "/nonexistent/orlo/report.txt";

  const std::string result = MailMessage(msg);

  EXPECT_TRUE(Has(result, "/nonexistent/orlo/report.txt")) << result;
  EXPECT_FALSE(server.HasConnection());
}

TEST(MailMessage, NoRecipientsGivesTheTextAndNeverConnects) {
  TMuteServer server;
  TMailMessage msg = CardMail(server.port());
  for (const char* to : {"", " , "}) {
    msg.to = to;
    msg.bcc = "audit@example.net";
    EXPECT_EQ(MailMessage(msg), "No one to send to!");
  }
  EXPECT_FALSE(server.HasConnection());
}

TEST(MailMessage, AuthenticatesWhenUserAndPasswordAreGiven) {
  TSmtpSink sink("gateuser", "s3cret");
  ASSERT_TRUE(sink.ok()) << sink.error();
  TMailMessage msg = CardMail(sink.port());

  msg.userName = "gateuser";
  msg.password = "wrong";
  EXPECT_NE(MailMessage(msg), "Sent");
  msg.userName.clear();
  msg.password.clear();
  EXPECT_NE(MailMessage(msg), "Sent");  // the server requires a login
  EXPECT_TRUE(sink.Messages().empty());

  msg.userName = "gateuser";
  msg.password = "s3cret";
  EXPECT_EQ(MailMessage(msg), "Sent");
  EXPECT_EQ(sink.Messages().size(), 1u);
}

TEST(MailMessage, RefusedConnectionGivesTheErrorText) {
  const std::string result = MailMessage(CardMail(ClosedPort()));
  EXPECT_NE(result, "Sent");
  EXPECT_FALSE(result.empty());
}

TEST(MailMessage, SilentServerEndsAtTheTimeout) {
  TMuteServer server;
  const std::string result = MailMessage(
      CardMail(server.port()), {std::chrono::milliseconds(500), std::chrono::milliseconds(1500)});
  EXPECT_TRUE(server.HasConnection());
  EXPECT_TRUE(Has(LowerCase(result), "timed out") || Has(LowerCase(result), "timeout")) << result;
}

TEST(MailMessage, ServerNameCannotSmuggleAPathOrAnotherHost) {
  TMuteServer server;
  TMailMessage msg = CardMail(server.port());
  for (const char* host : {"", "127.0.0.1/x", "user@127.0.0.1", "127.0.0.1:25", "a b"}) {
    msg.host = host;
    EXPECT_TRUE(Has(MailMessage(msg), "Invalid mail server")) << host;
  }
  msg.host = "127.0.0.1";
  msg.port = 0;
  EXPECT_TRUE(Has(MailMessage(msg), "Invalid mail server"));
  EXPECT_FALSE(server.HasConnection());
  msg.host = "::1";  // an IPv6 address is a server name
  msg.port = ClosedPort();
  EXPECT_FALSE(Has(MailMessage(msg), "Invalid mail server"));
}

TEST(MailMessage, LineBreaksInHeaderTextsCannotAddHeadersOrRecipients) {
  TSmtpSink sink;
  ASSERT_TRUE(sink.ok()) << sink.error();
  TMailMessage msg = CardMail(sink.port());
  msg.to = "ann@example.com";
  msg.subject = "Card Event\r\nBcc: evil@example.com";

  EXPECT_EQ(MailMessage(msg), "Sent");
  msg.subject = "Card Event";
  msg.from = "gate@example.com>\r\nRCPT TO:<evil@example.com";
  MailMessage(msg);  // the server may refuse this sender; it must not add a recipient

  for (const auto& m : sink.Messages()) {
    EXPECT_FALSE(Has(m, "X-Envelope-To: evil@example.com")) << m;
    EXPECT_TRUE(LinesStarting(m, "Bcc:").empty()) << m;
    EXPECT_EQ(LinesStarting(m, "Subject: ").size(), 1u) << m;
  }
  EXPECT_FALSE(sink.Messages().empty());
}

TEST(MailMessage, NonAsciiSubjectIsSentAsAnEncodedWord) {
  TSmtpSink sink;
  ASSERT_TRUE(sink.ok()) << sink.error();
  TMailMessage msg = CardMail(sink.port());
  msg.subject = "K\xc3\xa4rte";

  EXPECT_EQ(MailMessage(msg), "Sent");

  const auto messages = sink.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(LinesStarting(messages[0], "Subject: "), Items{"Subject: =?UTF-8?B?S8OkcnRl?="});
}

}  // namespace
}  // namespace orlo
