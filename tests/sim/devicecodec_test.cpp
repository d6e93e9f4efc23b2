// Device-side frame coding against the published frame examples.
#include "devicecodec.h"

#include <gtest/gtest.h>

#include <random>

#include "simfixture.h"

namespace orlo::sim {
namespace {

using test::Bytes;

TEST(DeviceCodec, BuildsTheExampleFrames) {
  EXPECT_EQ(EncodeCommand(1, 'C', ""), Bytes({0x02, 0x31, 0x43, 0x03, 0x71}));
  EXPECT_EQ(EncodeCommand(1, 'C', "", kEnq), Bytes({0x05, 0x31, 0x43, 0x03, 0x71}));
  EXPECT_EQ(EncodeCommand(10, 'G', "005Open"),
            Bytes({0x02, 0x3A, 0x47, 0x30, 0x30, 0x35, 0x4F, 0x70, 0x65, 0x6E, 0x03, 0x7F}));
  EXPECT_EQ(EncodeReply(AddressByte(1), 'C', "1234"),
            Bytes({0x01, 0x31, 0x43, 0x31, 0x32, 0x33, 0x34, 0x04, 0x72}));
  EXPECT_EQ(AddressByte(16), 0x40);
}

std::vector<TCommandFrame> FeedAll(TCommandParser& p, const std::string& bytes) {
  std::vector<TCommandFrame> out;
  for (char c : bytes)
    if (auto f = p.Feed(static_cast<std::uint8_t>(c))) out.push_back(*f);
  return out;
}

TEST(DeviceCodec, ParsesFramesBehindNoiseWithControlBytesInData) {
  TCommandParser p;
  std::string data = Bytes({0x01, 0x04, 0x06, 0x7F, 0x02});  // raw bytes may be anything but ETX
  std::string line =
      Bytes({0x06, 0xFF, 0x31}) + EncodeCommand(3, 'L', data) + EncodeCommand(16, 'C', "", kEnq);
  auto frames = FeedAll(p, line);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].address, 3);
  EXPECT_EQ(frames[0].letter, 'L');
  EXPECT_EQ(frames[0].data, data);
  EXPECT_TRUE(frames[0].checkOk);
  EXPECT_EQ(frames[0].raw, EncodeCommand(3, 'L', data));
  EXPECT_EQ(frames[1].start, kEnq);
  EXPECT_EQ(frames[1].address, 16);
  EXPECT_EQ(p.Skipped(), 3u);
}

TEST(DeviceCodec, FlagsABadCheckByteAndDropsOverlongFrames) {
  TCommandParser p;
  std::string bad = EncodeCommand(2, 'C', "");
  bad.back() = static_cast<char>(bad.back() ^ 1);
  auto frames = FeedAll(p, bad);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_FALSE(frames[0].checkOk);

  std::string longData(TCommandParser::kMaxFrame + 10, 'x');
  frames = FeedAll(p, EncodeCommand(2, 'B', longData) + EncodeCommand(2, 'C', ""));
  ASSERT_EQ(frames.size(), 1u) << "the overlong frame is dropped, the next one is read";
  EXPECT_EQ(frames[0].letter, 'C');
  EXPECT_TRUE(frames[0].checkOk);
}

TEST(DeviceCodec, RandomLineNoiseNeverBreaksTheNextGoodFrame) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    TCommandParser p;
    std::string noise;
    int len = static_cast<int>(rng() % 40);
    for (int i = 0; i < len; ++i) noise += static_cast<char>(rng() % 256);
    FeedAll(p, noise);
    p.Reset();  // the line goes quiet between noise and the next frame
    int addr = 1 + static_cast<int>(rng() % 16);
    auto frames = FeedAll(p, EncodeCommand(addr, 'G', "123Hello"));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].address, addr);
    EXPECT_TRUE(frames[0].checkOk);
  }
}

}  // namespace
}  // namespace orlo::sim
