#include "sitedb.h"

#include "support/sqlfile.h"

namespace orlo::test {

TDateTime At(int year, int month, int day, int hour, int minute, int second) {
  return EncodeDate(year, month, day) + EncodeTime(hour, minute, second, 0);
}

void SiteDbFixture::SetUp() {
  testLog_ = std::make_unique<TMessLog>(dir_.file("test.log"), false, false, false, true);
  ASSERT_TRUE(site_.CreateSQLite(DatabaseFile(), testLog_.get())) << TestLogText();
}

void SiteDbFixture::TearDown() { site_.Close(); }

void SiteDbFixture::Exec(const std::string& sql) {
  EXPECT_TRUE(site_.Exec(sql)) << sql << "\n" << TestLogText();
}

std::string SiteDbFixture::TestLogText() {
  testLog_->Log("");
  return ReadFile(dir_.file("test.log"));
}

}  // namespace orlo::test
