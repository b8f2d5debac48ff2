// The prepared statements of one SQLite connection, by their text. A text that comes again (the
// same query from call after call) is stepped again after a reset, instead of being parsed and
// planned anew: for a small query that was most of its time.
//
// Only a text that is one whole statement is kept. At most `capacity` are kept; the one used
// longest ago goes first (finalized). A statement is taken out while it runs, so two uses never
// share one. Not thread-safe: used under the connection's own exclusion.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>

namespace qorvin::server {

class SqliteStatementCache {
 public:
  explicit SqliteStatementCache(size_t capacity) : capacity_(capacity) {}
  ~SqliteStatementCache() { Clear(); }
  SqliteStatementCache(const SqliteStatementCache&) = delete;
  SqliteStatementCache& operator=(const SqliteStatementCache&) = delete;

  // The kept statement for `sql`, now the caller's (give it back with Put); null when none.
  sqlite3_stmt* Take(const std::string& sql) {
    auto found = index_.find(sql);
    if (found == index_.end()) return nullptr;
    sqlite3_stmt* st = found->second->second;
    order_.erase(found->second);
    index_.erase(found);
    return st;
  }

  // Keeps `st`, which ran to its end or was reset, for `sql`.
  void Put(const std::string& sql, sqlite3_stmt* st) {
    sqlite3_reset(st);
    if (sqlite3_stmt* old = Take(sql)) sqlite3_finalize(old);
    order_.emplace_front(sql, st);
    index_.emplace(sql, order_.begin());
    while (order_.size() > capacity_) {
      index_.erase(order_.back().first);
      sqlite3_finalize(order_.back().second);
      order_.pop_back();
    }
  }

  void Clear() {
    for (auto& kept : order_) sqlite3_finalize(kept.second);
    order_.clear();
    index_.clear();
  }

  size_t Size() const { return order_.size(); }

 private:
  using Entry = std::pair<std::string, sqlite3_stmt*>;
  const size_t capacity_;
  std::list<Entry> order_;  // most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

}  // namespace qorvin::server
