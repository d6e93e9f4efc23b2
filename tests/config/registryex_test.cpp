#include "config/registryex.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "config/connparams.h"
#include "support/tempdir.h"

namespace orlo {
namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void Store(const std::string& values) {
    std::ofstream(file, std::ios::binary) << "Windows Registry Editor Version 5.00\r\n\r\n"
                                             "[HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Orlo]\r\n"
                                          << values;
  }
  test::TempDir dir;
  std::string file = dir.file("registry.reg");
};

TEST_F(RegistryTest, TypedReadsSetMissing) {
  Store(
      "\"Text\"=\"abc\"\r\n\"Exp\"=hex(2):41,00,00,00\r\n\"Num\"=dword:0000002a\r\n"
      "\"Neg\"=dword:ffffffff\r\n\"Zero\"=dword:00000000\r\n\"Bin\"=hex:01\r\n");
  TRegistryEx reg("\\Software\\Quenlor\\Orlo\\", file);
  EXPECT_EQ(reg.GetString("text"), "abc");
  EXPECT_FALSE(reg.Missing());
  EXPECT_EQ(reg.GetString("Exp"), "A");
  EXPECT_EQ(reg.GetInteger("Num"), 42);
  EXPECT_EQ(reg.GetInteger("Neg"), -1);
  EXPECT_TRUE(reg.GetBool("Num"));
  EXPECT_FALSE(reg.GetBoolDef("Zero", true));
  EXPECT_FALSE(reg.Missing());
  // Wrong types count as missing.
  EXPECT_EQ(reg.GetString("Num"), "");
  EXPECT_TRUE(reg.Missing());
  EXPECT_EQ(reg.GetIntegerDef("Text", 7), 7);
  EXPECT_TRUE(reg.GetBoolDef("Bin", true));
  EXPECT_EQ(reg.GetStringDef("Absent", "d"), "d");
  EXPECT_TRUE(reg.Missing());
  reg.SetKey("\\Software\\Nowhere\\");
  EXPECT_EQ(reg.GetIntegerDef("Num", 3), 3);
  EXPECT_TRUE(reg.Missing());
  // Every read sees the file as it is now.
  reg.SetKey("\\Software\\Quenlor\\Orlo\\");
  Store("\"Text\"=\"changed\"\r\n");
  EXPECT_EQ(reg.GetString("Text"), "changed");
}

TEST(Scramble, AlphabetAndRoundTrip) {
  const std::string alphabet = kScrambleAlphabet;
  ASSERT_EQ(alphabet.size(), 90u);
  EXPECT_EQ(std::set<char>(alphabet.begin(), alphabet.end()).size(), 90u);
  for (char c : alphabet) EXPECT_TRUE(c > ' ' && c < 127 && c != '"' && c != '\\') << c;

  std::string stored;
  ASSERT_TRUE(Scramble("plover", stored));
  EXPECT_NE(stored, "plover");
  EXPECT_EQ(Unscramble(stored), "plover");
  const std::string longText = std::string(200, 'x') + alphabet;
  ASSERT_TRUE(Scramble(longText, stored));
  EXPECT_EQ(Unscramble(stored), longText);
  EXPECT_EQ(Unscramble(""), "");
  EXPECT_FALSE(Scramble("with blank", stored));
  EXPECT_FALSE(Scramble("caf\xC3\xA9", stored));
  // A character outside the alphabet still yields alphabet characters.
  const std::string out = Unscramble("a b\"\xC3\xA9");
  ASSERT_EQ(out.size(), 6u);
  for (char c : out) EXPECT_NE(alphabet.find(c), std::string::npos);
  // Position 0 moved back by 1 wraps to position 89.
  EXPECT_EQ(Unscramble(" ")[0], alphabet[88]);
}

TEST_F(RegistryTest, ComputerNameFromStoreElseHostName) {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(ReadComputerName(dir.file("absent.reg")), host);
  std::ofstream(file) << "REGEDIT4\n"
                         "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ComputerName\\"
                         "ComputerName]\n\"ComputerName\"=\"GATEPC\"\n";
  EXPECT_EQ(ReadComputerName(file), "GATEPC");
}

TEST_F(RegistryTest, ConnParamsDefaultsWithoutAStore) {
  const TConnParams p(dir.file("absent.reg"));
  EXPECT_EQ(p.DSNName, "");
  EXPECT_EQ(p.Host, "127.0.0.1");
  EXPECT_EQ(p.Database, "tarn");
  EXPECT_EQ(p.User, "kestrel");
  EXPECT_EQ(p.Pass, "plover");
  EXPECT_EQ(p.ODBCDriver, "MySQL ODBC 3.51 Driver");
  EXPECT_EQ(p.ODBCOptions, "SERVER=%h;database=%d");
  EXPECT_EQ(p.ConnectOptions(), "SERVER=127.0.0.1;database=tarn");
  EXPECT_TRUE(p.DebugLog);
  EXPECT_EQ(p.DTLFreq, 0);
  EXPECT_FALSE(p.WebSiteEnabled);
  EXPECT_FALSE(p.JavaInstalled);
  EXPECT_EQ(p.WebSiteLocation, "c:\\inetpub\\wwwroot");
  EXPECT_EQ(p.BackupDays, 0);
  EXPECT_EQ(p.BackupTime, 0);
  EXPECT_FALSE(p.BackupNotify || p.BackupUnique || p.AuthReq);
  EXPECT_TRUE(p.BackupEmailAddress.empty() && p.SMTPServer.empty() && p.FromEmail.empty() &&
              p.EmailUser.empty() && p.EmailPass.empty());
  EXPECT_EQ(p.BackupDest.substr(p.BackupDest.size() - 7), "/Backup");
}

TEST_F(RegistryTest, ConnParamsFromTheStore) {
  std::string pass, mailPass;
  ASSERT_TRUE(Scramble("s3cret", pass));
  ASSERT_TRUE(Scramble("m@il", mailPass));
  Store(
      "\"Host\"=dword:00000001\r\n"  // wrong type: the default
      "\"Database\"=\"site\"\r\n\"User\"=\"op\"\r\n\"Pass\"=\"" +
      pass +
      "\"\r\n"
      "\"ODBCOptions\"=\"SERVER=%h;DB=%d;UID=%u;PWD=%p;X=%H\"\r\n"
      "\"DebugLog\"=dword:00000000\r\n\"BackupDays\"=dword:00000007\r\n"
      "\"EmailPass\"=\"" +
      mailPass +
      "\"\r\n\"AuthReq\"=dword:00000001\r\n"
      "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\JavaSoft\\Java Runtime Environment]\r\n"
      "\"CurrentVersion\"=\"1.8\"\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apache Software Foundation\\Tomcat\\5.5]\r\n"
      "\"InstallPath\"=\"/opt/tomcat\"\r\n");
  const TConnParams p(file);
  EXPECT_EQ(p.Host, "127.0.0.1");
  EXPECT_EQ(p.Pass, "s3cret");
  EXPECT_EQ(p.EmailPass, "m@il");
  EXPECT_FALSE(p.DebugLog);
  EXPECT_TRUE(p.AuthReq);
  EXPECT_EQ(p.BackupDays, 7);
  EXPECT_TRUE(p.JavaInstalled);
  EXPECT_EQ(p.WebSiteLocation, "/opt/tomcat");
  EXPECT_EQ(p.ConnectOptions(), "SERVER=127.0.0.1;DB=site;UID=op;PWD=s3cret;X=%H");
}

TEST_F(RegistryTest, EmptyPassStaysEmptyAndValuesCannotAddAttributes) {
  Store(
      "\"Pass\"=\"\"\r\n\"Host\"=\"h%d\"\r\n\"User\"=\"a;DRIVER=evil\"\r\n"
      "\"Database\"=\"x}y\"\r\n\"ODBCOptions\"=\"S=%h;D=%d;U=%u;P={%p}\"\r\n");
  TConnParams p(file);
  EXPECT_EQ(p.Pass, "");
  EXPECT_EQ(p.ConnectOptions(), "S=h%d;D={x}}y};U={a;DRIVER=evil};P={}");
  p.Pass = "p}w";
  EXPECT_EQ(p.ConnectOptions(), "S=h%d;D={x}}y};U={a;DRIVER=evil};P={p}}w}");
}

}  // namespace
}  // namespace orlo
