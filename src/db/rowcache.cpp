// ReadRow and TRowCache.
#include "db/rowcache.h"

#include <iterator>

namespace orlo {

namespace {

// Past this many kept statements the stale ones are dropped, so the cache
// holds no more than the distinct reads of one keep time (holidays are read
// by date, one text a day).
constexpr std::size_t kPruneAbove = 1024;

}  // namespace

TDBRow ReadRow(TODBC& odbc, const std::string& sql) {
  TODBCStatement q(odbc);
  q.ExecSQL(sql);
  return q.CurrentRow();
}

TDBRow ConfigRow(TODBC& odbc, TRowCache* cache, const std::string& sql) {
  return cache ? cache->Row(odbc, sql) : ReadRow(odbc, sql);
}

std::vector<TDBRow> ConfigRows(TODBC& odbc, TRowCache* cache, const std::string& sql) {
  return cache ? cache->Rows(odbc, sql) : TRowCache().Rows(odbc, sql);
}

TRowCache::TRowCache(std::chrono::seconds keep) : keep_(keep) {}

TDBRow TRowCache::Row(TODBC& odbc, const std::string& sql) { return Entry(odbc, sql).first; }

std::vector<TDBRow> TRowCache::Rows(TODBC& odbc, const std::string& sql) {
  return Entry(odbc, sql).rows;
}

const TRowCache::TEntry& TRowCache::Entry(TODBC& odbc, const std::string& sql) {
  const auto now = TClock::now();
  if (Keeps()) {
    const auto kept = entries_.find(sql);
    if (kept != entries_.end() && now - kept->second.read < keep_) return kept->second;
  }
  TEntry fresh{now, {}, {}};
  const auto faultsBefore = odbc.FaultCount();
  TODBCStatement q(odbc);
  bool ok = q.ExecSQL(sql);
  // A failed statement, or a fault while the rows came (a lost link), gives
  // an incomplete result.
  const bool failed = !ok && !q.Eof();
  fresh.first = q.CurrentRow();
  for (; ok; ok = q.dbSkip()) fresh.rows.push_back(q.CurrentRow());
  if (!Keeps() || failed || odbc.FaultCount() != faultsBefore) {
    scratch_ = std::move(fresh);
    return scratch_;
  }
  if (entries_.size() >= kPruneAbove) DropStale(now);
  TEntry& kept = entries_[sql];
  kept = std::move(fresh);
  return kept;
}

void TRowCache::DropStale(TClock::time_point now) {
  for (auto it = entries_.begin(); it != entries_.end();)
    it = now - it->second.read < keep_ ? std::next(it) : entries_.erase(it);
}

}  // namespace orlo
