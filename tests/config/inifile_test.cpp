#include "config/inifile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/tempdir.h"

namespace orlo {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void Put(const std::string& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
}

class IniFileTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  std::string name = dir.file("orlocard.ini");
};

TEST_F(IniFileTest, MissingKeyIsWrittenBackWithItsDefault) {
  Put(name, "[Settings]\nLoop Name=North\n");
  TIniFileEx ini(name);
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "PollDelay", 0), 0);
  EXPECT_EQ(Slurp(name), "[Settings]\nLoop Name=North\nPollDelay=0\n");
  Put(name, "[Settings]\nLoop Name=North\nPollDelay=25\n");
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "PollDelay", 0), 25);
  EXPECT_EQ(ini.ReadStringEx("settings", "LOOP NAME", "x"), "North");
}

TEST_F(IniFileTest, FreshFileGetsSectionsAndEveryType) {
  TIniFileEx ini(name);
  EXPECT_TRUE(ini.ReadBoolEx("Settings", "Old Ticket Format?", true));
  EXPECT_FALSE(ini.ReadBoolEx("Settings", "Use Mail", false));
  EXPECT_EQ(ini.ReadStringEx("Ports", "COM3", "/dev/ttyS2"), "/dev/ttyS2");
  EXPECT_EQ(Slurp(name),
            "[Settings]\nOld Ticket Format?=1\nUse Mail=0\n\n[Ports]\nCOM3=/dev/ttyS2\n");
}

TEST_F(IniFileTest, ValueSyntax) {
  Put(name,
      "; comment\r\n[Settings]\r\n  Hex1 = 0x1F \r\nHex2=$ff\r\nNeg=-12\r\nWord=yes\r\n"
      "Quoted=\"a b\"\r\nBig=99999999999\r\nEmpty=\r\nnot a key line\r\n[Other]\r\nNeg=5\r\n");
  TIniFileEx ini(name);
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "hex1", 0), 31);
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "Hex2", 0), 255);
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "Neg", 0), -12);
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "Word", 7), 7);
  EXPECT_TRUE(ini.ReadBoolEx("Settings", "Word", true));  // a word is no number: the default
  EXPECT_FALSE(ini.ReadBoolEx("Settings", "Word", false));
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "Big", 3), 3);
  EXPECT_EQ(ini.ReadStringEx("Settings", "Quoted", ""), "a b");
  EXPECT_EQ(ini.ReadStringEx("Settings", "Empty", "def"), "");
  EXPECT_EQ(ini.ReadIntegerEx("Other", "Neg", 0), 5);
  // Nothing was missing, so nothing was written; a new key keeps CR LF.
  ini.ReadIntegerEx("Other", "New", 1);
  EXPECT_NE(Slurp(name).find("[Other]\r\nNeg=5\r\nNew=1\r\n"), std::string::npos);
}

TEST_F(IniFileTest, LongValuesAreCutAt2047Characters) {
  Put(name, "[S]\nK=" + std::string(3000, 'v') + "\n");
  EXPECT_EQ(TIniFileEx(name).ReadStringEx("S", "K", "").size(), 2047u);
}

TEST_F(IniFileTest, ReadOnlyFileRaisesUnableToWrite) {
  Put(name, "[Settings]\n");
  chmod(name.c_str(), 0444);
  TIniFileEx ini(name);
  try {
    ini.ReadIntegerEx("Settings", "PollDelay", 0);
    FAIL();
  } catch (const EIniFileError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + name);
  }
  EXPECT_EQ(Slurp(name), "[Settings]\n");
  // Keys that exist are still read.
  chmod(name.c_str(), 0644);
  Put(name, "[Settings]\nPollDelay=9\n");
  chmod(name.c_str(), 0444);
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "PollDelay", 0), 9);
}

TEST_F(IniFileTest, UnreadableFileIsNeverReplaced) {
  fs::create_directory(name);  // unreadable as a file, even for root
  TIniFileEx ini(name);
  EXPECT_EQ(ini.ReadString("Settings", "PollDelay", "d"), "d");
  EXPECT_THROW(ini.ReadBoolEx("Settings", "X", true), EIniFileError);
  EXPECT_TRUE(fs::is_directory(name));
  if (geteuid() != 0) {
    const std::string locked = dir.file("locked.ini");
    Put(locked, "[Settings]\nA=1\n");
    chmod(locked.c_str(), 0);
    EXPECT_THROW(TIniFileEx(locked).ReadIntegerEx("Settings", "B", 0), EIniFileError);
    chmod(locked.c_str(), 0644);
    EXPECT_EQ(Slurp(locked), "[Settings]\nA=1\n");
  }
}

TEST_F(IniFileTest, MissingFolderRaisesUnableToWrite) {
  TIniFileEx ini(dir.file("nofolder/orlocard.ini"));
  EXPECT_THROW(ini.ReadStringEx("Settings", "A", ""), EIniFileError);
}

TEST_F(IniFileTest, ReadersNeverSeeAHalfFile) {
  Put(name, "[Settings]\nKeep=1\n");
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::jthread reader([&] {
    TIniFileEx ini(name);
    while (!stop) {
      if (ini.ReadInteger("Settings", "Keep", 0) != 1) ++bad;
    }
  });
  std::vector<std::jthread> writers;
  for (int w = 0; w < 2; ++w)
    writers.emplace_back([&, w] {
      TIniFileEx ini(name);
      for (int i = 0; i < 100; ++i)
        ini.ReadIntegerEx("Settings", "K" + std::to_string(w * 1000 + i), i);
    });
  writers.clear();
  stop = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
  TIniFileEx ini(name);
  for (int w = 0; w < 2; ++w)
    for (int i = 0; i < 100; ++i)
      EXPECT_TRUE(ini.ValueExists("Settings", "K" + std::to_string(w * 1000 + i)));
}

}  // namespace
}  // namespace orlo
