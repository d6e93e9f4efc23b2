// TRowCache: the rows of statements that read a site's configuration
// (settings, devices, card types, message sets, access levels, holidays),
// kept for a set time and handed to later reads of the same SQL text without
// asking the server again. It is for sites far from their database, where
// every read costs a network round trip; a change another program makes to
// such a row is seen once the kept copy is older than the keep time. A keep
// time of 0 keeps nothing: every read runs its statement.
//
// Rows that change with every passage (the card row, group counts) and all
// writes never go through it.
//
// Owned by one thread and used only on it (a loop's decisions run on the
// main thread).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/dbrow.h"
#include "db/odbc.h"

namespace orlo {

// Runs sql on a statement of its own (a failure is logged, as ExecSQL logs)
// and copies its first row: not Found when there is none or the statement
// failed.
TDBRow ReadRow(TODBC& odbc, const std::string& sql);

class TRowCache;

// Through the cache when one is given, else read now.
TDBRow ConfigRow(TODBC& odbc, TRowCache* cache, const std::string& sql);
std::vector<TDBRow> ConfigRows(TODBC& odbc, TRowCache* cache, const std::string& sql);

class TRowCache {
 public:
  using TClock = std::chrono::steady_clock;

  explicit TRowCache(std::chrono::seconds keep = std::chrono::seconds(0));
  std::chrono::seconds Keep() const { return keep_; }
  bool Keeps() const { return keep_.count() > 0; }

  // The first row of sql's result, as ReadRow gives it.
  TDBRow Row(TODBC& odbc, const std::string& sql);
  // Every row of sql's result, in the order the statement gave them.
  std::vector<TDBRow> Rows(TODBC& odbc, const std::string& sql);
  // Drops the kept rows of sql: for a row the holder has just changed, so
  // that the next read asks the database.
  void Forget(const std::string& sql) { entries_.erase(sql); }

 private:
  struct TEntry {
    TClock::time_point read;
    TDBRow first;               // Found or not, with the result's columns
    std::vector<TDBRow> rows;   // every row, the first included
  };
  // The kept entry of sql while it is fresh, else one read now (kept when
  // the statement succeeded: a failure is asked again at the next read).
  const TEntry& Entry(TODBC& odbc, const std::string& sql);
  void DropStale(TClock::time_point now);

  std::chrono::seconds keep_;
  std::unordered_map<std::string, TEntry> entries_;
  TEntry scratch_;  // the entry of a read that is not kept
};

}  // namespace orlo
