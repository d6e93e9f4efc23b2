#include "platform/program.h"

#include <gtest/gtest.h>

#include <regex>

namespace orlo {
namespace {

TEST(Program, PathVersionAndHome) {
  EXPECT_NE(ProgramPath().find("test_platform"), std::string::npos);
  EXPECT_TRUE(std::regex_match(ProgramVersion(), std::regex(R"(\d+\.\d+\.\d+\.\d+)")))
      << ProgramVersion();
  SetHomeFolder("/var/lib/orlocard/");
  EXPECT_EQ(HomeFolder(), "/var/lib/orlocard");
  EXPECT_EQ(SettingsFileName(), "/var/lib/orlocard/orlocard.ini");
  SetHomeFolder("");
  EXPECT_FALSE(HomeFolder().empty());
}

}  // namespace
}  // namespace orlo
