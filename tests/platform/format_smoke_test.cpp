#include <gtest/gtest.h>

#include "support/tempdir.h"

TEST(TempDir, IsCreatedAndRemoved) {
  std::filesystem::path p;
  {
    orlo::test::TempDir dir;
    p = dir.path();
    EXPECT_TRUE(std::filesystem::is_directory(p));
  }
  EXPECT_FALSE(std::filesystem::exists(p));
}
