// Command frame bytes and the reply reader's rules, byte for byte.
#include "bus/frame.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace orlo {
namespace {

std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

// Feeds bytes until the reader finishes; returns the status and how many bytes it took.
struct TFeedResult {
  TReplyReader::TStatus status = TReplyReader::TStatus::More;
  std::size_t used = 0;
  std::string text;
};

TFeedResult Feed(const std::string& bytes) {
  TReplyReader reader;
  reader.Reset();
  TFeedResult r;
  for (char c : bytes) {
    ++r.used;
    r.status = reader.Feed(static_cast<std::uint8_t>(c));
    if (r.status != TReplyReader::TStatus::More) break;
  }
  r.text = reader.Text();
  return r;
}

std::string ReplyFrame(const std::string& text) {
  std::uint8_t lrc = kEOT;
  for (char c : text) lrc ^= static_cast<std::uint8_t>(c);
  return std::string(1, static_cast<char>(kSOH)) + text + static_cast<char>(kEOT) +
         static_cast<char>(lrc);
}

TEST(CommandFrame, GoldenBytes) {
  EXPECT_EQ(BuildCommandFrame(1, "C", false), Bytes({0x02, 0x31, 0x43, 0x03, 0x71}));
  EXPECT_EQ(BuildCommandFrame(1, "C", true), Bytes({0x05, 0x31, 0x43, 0x03, 0x71}));
  EXPECT_EQ(BuildCommandFrame(10, "G005Open", false),
            Bytes({0x02, 0x3A, 0x47, 0x30, 0x30, 0x35, 0x4F, 0x70, 0x65, 0x6E, 0x03, 0x7F}));
  // A command without data is exactly five bytes.
  EXPECT_EQ(BuildCommandFrame(16, "R", false).size(), 5u);
  EXPECT_EQ(BuildCommandFrame(16, "R", false)[1], '\x40');
  EXPECT_EQ(AddressByte(10), ':');
}

TEST(CommandFrame, DataIsSentRawControlBytesIncluded) {
  const std::string data = Bytes({'L', 0x02, 0x03, 0x00, 0xFF});
  const std::string frame = BuildCommandFrame(2, data, false);
  ASSERT_EQ(frame.size(), data.size() + 4);
  EXPECT_EQ(frame.substr(2, data.size()), data);
  std::uint8_t lrc = 0;
  for (std::size_t i = 1; i + 1 < frame.size(); ++i) lrc ^= static_cast<std::uint8_t>(frame[i]);
  EXPECT_EQ(static_cast<std::uint8_t>(frame.back()), lrc);
}

TEST(ReplyReader, GoldenCardReply) {
  const auto r = Feed(Bytes({0x01, 0x31, 0x43, 0x31, 0x32, 0x33, 0x34, 0x04, 0x72}));
  EXPECT_EQ(r.status, TReplyReader::TStatus::Good);
  EXPECT_EQ(r.text, "1C1234");
  EXPECT_EQ(ReplyKind(r.text), 'C');
  EXPECT_EQ(ReplyPayload(r.text), "1234");
}

TEST(ReplyReader, AckAloneIsTheStarReply) {
  const auto r = Feed(Bytes({0x06}));
  EXPECT_EQ(r.status, TReplyReader::TStatus::Good);
  EXPECT_EQ(r.text, "*");
  EXPECT_EQ(ReplyKind(r.text), '\0');
  EXPECT_EQ(ReplyPayload(r.text), "");
}

TEST(ReplyReader, NoiseBeforeSohAndSecondSohAreDropped) {
  // An echo of our own poll, then garbage, then the real frame.
  const std::string noisy = Bytes({0x02, 0x31, 0x43, 0x03, 0x71, 0x7F}) + ReplyFrame("1C42");
  auto r = Feed(noisy);
  EXPECT_EQ(r.status, TReplyReader::TStatus::Good);
  EXPECT_EQ(r.text, "1C42");

  // A broken first start, restarted by a second SOH.
  r = Feed(Bytes({0x01, 0x31, 0x43, 0x39}) + ReplyFrame("3#ABC"));
  EXPECT_EQ(r.status, TReplyReader::TStatus::Good);
  EXPECT_EQ(r.text, "3#ABC");
}

TEST(ReplyReader, AckInsideAFrameEndsItAsStar) {
  const auto r = Feed(Bytes({0x01, 0x31, 0x43, 0x31, 0x06, 0x32, 0x04, 0x00}));
  EXPECT_EQ(r.status, TReplyReader::TStatus::Good);
  EXPECT_EQ(r.text, "*");
  EXPECT_EQ(r.used, 5u);
}

TEST(ReplyReader, CheckByteMayLookLikeAControlByte) {
  // Text whose XOR with EOT gives 0x06 / 0x01: the byte after EOT is the check byte.
  for (std::uint8_t want : {kACK, kSOH, kEOT}) {
    std::string text = "1C";
    std::uint8_t lrc = kEOT;
    for (char c : text) lrc ^= static_cast<std::uint8_t>(c);
    text.push_back(static_cast<char>(lrc ^ want));
    ASSERT_NE(static_cast<std::uint8_t>(text.back()), kSOH);
    const auto r = Feed(ReplyFrame(text));
    EXPECT_EQ(r.status, TReplyReader::TStatus::Good) << int(want);
    EXPECT_EQ(r.text, text);
  }
}

TEST(ReplyReader, BadCheckByteFails) {
  std::string frame = ReplyFrame("1C1234");
  frame.back() = static_cast<char>(frame.back() ^ 0x01);
  EXPECT_EQ(Feed(frame).status, TReplyReader::TStatus::Bad);
}

TEST(ReplyReader, EmptyPayloadAndShortTexts) {
  auto r = Feed(ReplyFrame("1C"));
  EXPECT_EQ(r.status, TReplyReader::TStatus::Good);
  EXPECT_EQ(ReplyKind(r.text), 'C');
  EXPECT_EQ(ReplyPayload(r.text), "");
  r = Feed(ReplyFrame(""));
  EXPECT_EQ(r.status, TReplyReader::TStatus::Good);
  EXPECT_EQ(ReplyKind(r.text), '\0');
}

TEST(ReplyReader, OverlongTextFailsButNoiseBeforeSohDoesNot) {
  const std::string longText = "1C" + std::string(TReplyReader::kMaxText, '9');
  EXPECT_EQ(Feed(ReplyFrame(longText)).status, TReplyReader::TStatus::Bad);
  // Long noise, then a proper frame: the SOH starts afresh.
  const auto r = Feed(std::string(300, 'x') + ReplyFrame("1C77"));
  EXPECT_EQ(r.status, TReplyReader::TStatus::Good);
  EXPECT_EQ(r.text, "1C77");
  // A device that never ends a frame is given up after kMaxBytes.
  const auto babble = Feed(std::string(5000, 'x'));
  EXPECT_EQ(babble.status, TReplyReader::TStatus::Bad);
  EXPECT_EQ(babble.used, TReplyReader::kMaxBytes + 1);
}

// Random input never makes the reader exceed its bounds, and whatever it
// accepts is either the ACK reply or a text whose check byte matched.
TEST(ReplyReaderFuzz, RandomBytesStayWithinBounds) {
  std::mt19937 rng(12345);
  // Control bytes are over-represented so every branch is hit often.
  const std::uint8_t interesting[] = {kSOH, kEOT, kACK, 0x00, 0x31, 'C', 0xFF};
  for (int round = 0; round < 20000; ++round) {
    const std::size_t len = rng() % 80;
    std::string bytes;
    for (std::size_t i = 0; i < len; ++i)
      bytes.push_back(static_cast<char>(rng() % 3 == 0 ? interesting[rng() % 7] : rng() % 256));
    TReplyReader reader;
    std::vector<std::uint8_t> fed;
    TReplyReader::TStatus st = TReplyReader::TStatus::More;
    for (char c : bytes) {
      fed.push_back(static_cast<std::uint8_t>(c));
      st = reader.Feed(static_cast<std::uint8_t>(c));
      ASSERT_LE(reader.Text().size(), TReplyReader::kMaxText);
      if (st != TReplyReader::TStatus::More) break;
    }
    if (st != TReplyReader::TStatus::Good) continue;
    const std::string& text = reader.Text();
    if (fed.back() == kACK && text == "*") continue;
    // Otherwise the last byte was the check byte, right after an EOT.
    ASSERT_GE(fed.size(), 2u);
    ASSERT_EQ(fed[fed.size() - 2], kEOT);
    std::uint8_t lrc = kEOT;
    for (char c : text) lrc ^= static_cast<std::uint8_t>(c);
    ASSERT_EQ(lrc, fed.back());
    for (char c : text) ASSERT_TRUE(c != kSOH && c != kEOT && c != kACK);
  }
}

// Valid frames behind random noise (without frame control bytes) and with one
// corrupted bit: the frame is found exactly, the corruption is never accepted.
TEST(ReplyReaderFuzz, FramesBehindNoiseAndCorruption) {
  std::mt19937 rng(777);
  for (int round = 0; round < 5000; ++round) {
    std::string text(1, static_cast<char>(0x31 + rng() % 16));
    text.push_back("#CDEIJKLMPRUZp"[rng() % 14]);
    const std::size_t payloadLen = rng() % 70;
    for (std::size_t i = 0; i < payloadLen; ++i) {
      char c;
      do c = static_cast<char>(rng() % 256);
      while (c == kSOH || c == kEOT || c == kACK);
      text.push_back(c);
    }
    std::string noise;
    for (std::size_t i = rng() % 20; i > 0; --i) {
      char c;
      do c = static_cast<char>(rng() % 256);
      while (c == kEOT || c == kACK);
      noise.push_back(c);
    }
    const std::string frame = ReplyFrame(text);
    auto r = Feed(noise + frame);
    ASSERT_EQ(r.status, TReplyReader::TStatus::Good);
    ASSERT_EQ(r.text, text);

    // Flip one bit in the text or the check byte.
    std::string bad = frame;
    const std::size_t pos = 1 + rng() % (bad.size() - 1);
    if (pos == bad.size() - 2) continue;  // the EOT itself: different framing
    bad[pos] = static_cast<char>(bad[pos] ^ (1u << (rng() % 8)));
    r = Feed(bad);
    // A corrupted text is never accepted as it stands (only an early end made
    // by a flip into ACK or EOT can still pass, as a different, shorter reply).
    if (r.status == TReplyReader::TStatus::Good) {
      ASSERT_NE(r.text, bad.substr(1, bad.size() - 3));
      ASSERT_LT(r.text.size(), text.size());
    }
  }
}

}  // namespace
}  // namespace orlo
