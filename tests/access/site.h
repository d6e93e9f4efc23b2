// The small site every access-decision test runs on, on a SQLite file
// database (schema/sqlite.sql) and on a database of its own on the private
// MariaDB server that scripts/test starts (schema/mariadb.sql). MariaDB cases
// skip loudly when no server was started, and fail under CI=true.
//
// Loop 1 holds the devices (id / address / direction):
//   11/1 "Entry A" 1 (debits, special output, pulse 5.7)   12/2 "Exit A" 2 (debits)
//   13/3 "Inner door" 3 (debits)   14/4 "Lobby" 0   15/5 "Entry B" 1 (no_path, no debit)
//   16/6 "Garage" 1;  address 9 has no device row.
// Access levels: 1 every day, whole day, devices 11..16; 2 22:00-06:00 on
// weekdays 1..7 at 11 and 12; 3 by kind of day (weekdays at 11, holiday
// table 1 at 12, table 2 at 13); 4 a range linked to 12 only; 5 whole day at
// device 0; 6 a range with NULL times at 11.
// Holidays: 2024-12-25 table 1, 2024-12-26 table 2.
// Card types (all level 1 unless said):
//   1 staff (no expiry)   2 own period   3 first use, own period, 30 days
//   4 first use, shared period, 30 days   5 debit_flg, 10 uses, window 10 min
//   6 debit_reset_flag, 20 uses   7 first use + debit_reset_flag, 5 uses, 30 days
//   8 ignore passback   9 pathway 1, ignores passback   10 level 2   11 level 3
//   12 level 4   13 level 5   14 level 6   15 debit_flg without window
//   16 shared period + debit_flg (type row holds debit_left 5)
// Group 1: max 10.  Pathway 1: 11 -> 16 within 5 min, 16 -> 12 within 0 min.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "access/checksteps.h"
#include "db/odbc.h"
#include "log/messlog.h"
#include "support/sitedatabase.h"
#include "support/tempdir.h"

namespace orlo::test {

// The transaction row as stored.
struct TransRow {
  bool found = false;
  double cardNo = 0, cardno = 0;
  TDateTime when = 0;
  int deviceId = 0, code = 0, memFlag = 0;
  std::string errorDesc, deviceName, firstName, lastName;
};

// Tuesday 12 March 2024 at h:m:s.
TDateTime Tue(int h, int m, int s = 0);
TDateTime At(int y, int mo, int d, int h, int m, int s = 0);

class SiteTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override;
  void TearDown() override;

  bool IsMariaDB() const { return GetParam() == Backend::MariaDB; }

  // Runs SQL; fails the test when it fails.
  void Exec(const std::string& sql);
  // First column "v" of the first row ("SELECT x AS v ...").
  int QInt(const std::string& sql);
  double QFloat(const std::string& sql);
  std::string QText(const std::string& sql);
  TDateTime QDate(const std::string& sql);
  // A card of the type, named Ann Lee of 1 Harbour Road, then `set` applied.
  void AddCard(double number, int type, const std::string& set = "");
  int CardInt(double number, const std::string& column);
  TDateTime CardDate(double number, const std::string& column);
  void SetSettings(const std::string& set);

  // One presentation at bus address addr of loop 1 at time `when`.
  int Present(double card, int addr, TDateTime when);
  int PresentMemory(double card, int addr, TDateTime now, const std::string& record);
  TransRow LastTrans();
  int TransCount();
  std::string LogText();

  TempDir dir_;
  std::unique_ptr<TMessLog> log_;
  TSiteDatabase site_;
  TODBC* odbc_ = nullptr;  // site_'s connection
  TCardOutcome out_;
  bool debugLog_ = true;
  TRowCache* config_ = nullptr;  // the configuration cache of Present, if any

 private:
  void BuildSite();
};

}  // namespace orlo::test
