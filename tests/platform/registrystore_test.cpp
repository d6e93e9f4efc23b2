#include "platform/registrystore.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/tempdir.h"

namespace orlo {
namespace {

const char kOrlo[] = "\\Software\\Quenlor\\Orlo\\";

TEST(RegistryStore, ValueTypesEscapesAndCase) {
  const auto store = TRegistryStore::Parse(
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Orlo]\r\n"
      "\"Host\"=\"127.0.0.1\"\r\n"
      "\"Quote\"=\"say \\\"hi\\\" C:\\\\dir\\\\\"\r\n"
      "\"DebugLog\"=dword:00000001\r\n"
      "\"Big\"=dword:ffffffff\r\n"
      "\"Path\"=hex(2):25,00,41,00,42,00,\\\r\n"
      "  43,00,25,00,00,00\r\n"
      "\"Bin\"=hex:01,02\r\n"
      "\"Multi\"=hex(7):41,00,00,00,00,00\r\n"
      "@=\"default\"\r\n");
  EXPECT_TRUE(store.Problems().empty());
  ASSERT_TRUE(store.KeyExists("software\\quenlor\\orlo"));
  auto v = store.Value(kOrlo, "HOST");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->type, TRegValueType::String);
  EXPECT_EQ(v->text, "127.0.0.1");
  EXPECT_EQ(store.Value(kOrlo, "quote")->text, "say \"hi\" C:\\dir\\");
  EXPECT_EQ(store.Value(kOrlo, "DebugLog")->type, TRegValueType::DWord);
  EXPECT_EQ(store.Value(kOrlo, "DebugLog")->dword, 1u);
  EXPECT_EQ(store.Value(kOrlo, "Big")->dword, 0xFFFFFFFFu);
  EXPECT_EQ(store.Value(kOrlo, "Path")->type, TRegValueType::ExpandString);
  EXPECT_EQ(store.Value(kOrlo, "Path")->text, "%ABC%");
  EXPECT_EQ(store.Value(kOrlo, "Bin")->type, TRegValueType::Other);
  EXPECT_EQ(store.Value(kOrlo, "Multi")->type, TRegValueType::Other);
  EXPECT_EQ(store.Value(kOrlo, "")->text, "default");
  EXPECT_FALSE(store.Value(kOrlo, "Absent"));
  EXPECT_FALSE(store.Value("\\Software\\Other", "Host"));
}

TEST(RegistryStore, BrokenLinesAreSkippedAndTheRestIsRead) {
  const auto store = TRegistryStore::Parse(
      "REGEDIT4\n"
      "\"Orphan\"=\"before any key\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Orlo]\n"
      "\"Host\"=\"unterminated\n"
      "\"User\"=dword:xyz\n"
      "\"Database\"=dword:123456789\n"
      "\"Pass\" \"no equals\"\n"
      "garbage line\n"
      "\"ODBCDriver\"=\"good\" trailing\n"
      "\"Bad hex\"=hex(2):4,00\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Broken\n"
      "\"InBroken\"=\"x\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Orlo]\n"
      "\"DSNName\"=\"kept\"\n"
      "[HKEY_CURRENT_USER\\Software\\Quenlor\\Orlo]\n"
      "\"DSNName\"=\"other root\"\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\Gone]\n"
      "\"X\"=\"ignored\"\n");
  // Nine broken lines; values under a broken key line are dropped with it.
  EXPECT_EQ(store.Problems().size(), 9u);
  EXPECT_EQ(store.Problems().front(), "line 2: value outside a key");
  EXPECT_EQ(store.Value(kOrlo, "DSNName")->text, "kept");
  for (const char* name : {"Host", "User", "Database", "Pass", "ODBCDriver", "Bad hex"})
    EXPECT_FALSE(store.Value(kOrlo, name)) << name;
  EXPECT_FALSE(store.KeyExists("Software\\Gone"));
}

TEST(RegistryStore, FilesInUtf16AndMissingFiles) {
  test::TempDir dir;
  EXPECT_FALSE(TRegistryStore::Load(dir.file("absent.reg")).KeyExists(kOrlo));
  EXPECT_FALSE(TRegistryStore::Load(dir.path().string()).KeyExists(kOrlo));  // a folder
  // A folder cannot be read, and says so; an absent file is simply empty.
  EXPECT_NE(TRegistryStore::Load(dir.path().string()).ReadError(), "");
  EXPECT_EQ(TRegistryStore::Load(dir.file("absent.reg")).ReadError(), "");
  // regedit exports UTF-16LE with a byte order mark.
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Orlo]\r\n"
      "\"Host\"=\"h\xC3\xA9\"\r\n";
  std::string utf16 = "\xFF\xFE";
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\xC3') {
      utf16 += "\xE9";
      utf16 += '\0';
      ++i;
      continue;
    }
    utf16 += text[i];
    utf16 += '\0';
  }
  std::ofstream(dir.file("u.reg"), std::ios::binary) << utf16;
  EXPECT_EQ(TRegistryStore::Load(dir.file("u.reg")).Value(kOrlo, "Host")->text, "h\xC3\xA9");
}

TEST(RegistryStore, FileNameFromSettingEnvironmentOrDefault) {
  SetRegistryFileName("");
  unsetenv("ORLOCARD_REGISTRY");
  EXPECT_EQ(RegistryFileName(), "/etc/orlocard/registry.reg");
  setenv("ORLOCARD_REGISTRY", "/tmp/env.reg", 1);
  EXPECT_EQ(RegistryFileName(), "/tmp/env.reg");
  SetRegistryFileName("/tmp/option.reg");
  EXPECT_EQ(RegistryFileName(), "/tmp/option.reg");
  SetRegistryFileName("");
  unsetenv("ORLOCARD_REGISTRY");
}

}  // namespace
}  // namespace orlo
