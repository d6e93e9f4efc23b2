#include "platform/program.h"

#include <gtest/gtest.h>

#include <sstream>

namespace orlo {
namespace {

TEST(Program, PathVersionAndHome) {
  EXPECT_NE(ProgramPath().find("test_platform"), std::string::npos);
  // Four decimal numbers joined by full stops.
  std::istringstream version(ProgramVersion());
  int parts = 0;
  for (std::string part; std::getline(version, part, '.'); ++parts)
    EXPECT_TRUE(!part.empty() && part.find_first_not_of("0123456789") == std::string::npos)
        << ProgramVersion();
  EXPECT_EQ(parts, 4);
  SetHomeFolder("/var/lib/orlocard/");
  EXPECT_EQ(HomeFolder(), "/var/lib/orlocard");
  EXPECT_EQ(SettingsFileName(), "/var/lib/orlocard/orlocard.ini");
  SetHomeFolder("");
  EXPECT_FALSE(HomeFolder().empty());
}

}  // namespace
}  // namespace orlo
