// StatementCache: the prepared statements of one connection, keyed by
// their parameterized text, as both backends keep them. The handlers run a
// few dozen distinct texts; the bound keeps a stray caller with ever-new
// texts from holding memory (and server-side statements) without end.
// When a new entry would pass the bound, the least recently used one goes.
//
// Entries are destroyed when they leave the cache, so an entry that owns a
// statement handle frees it then. A pointer to an entry stays valid until
// that entry is erased or evicted.
//
// Not thread-safe: one per connection, used by its thread.
#ifndef ZELVAR_DB_STATEMENT_CACHE_H_
#define ZELVAR_DB_STATEMENT_CACHE_H_

#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>

namespace zelvar::db {

template <typename Entry>
class StatementCache {
 public:
  // Statements kept per connection.
  static constexpr size_t kCapacity = 128;

  StatementCache() = default;
  StatementCache(const StatementCache&) = delete;
  StatementCache& operator=(const StatementCache&) = delete;

  // The entry for `text`, now the most recently used; null when there is
  // none.
  Entry* Find(const std::string& text) {
    auto found = entries_.find(text);
    if (found == entries_.end()) return nullptr;
    if (found->second.age != recency_.begin()) {
      recency_.splice(recency_.begin(), recency_, found->second.age);
    }
    return &found->second.entry;
  }

  // Keeps `entry` for `text`, which has none yet, evicting the least
  // recently used entry when the cache is full.
  Entry* Insert(const std::string& text, Entry entry) {
    if (entries_.size() >= kCapacity) {
      entries_.erase(recency_.back());
      recency_.pop_back();
    }
    recency_.push_front(text);
    Slot& slot = entries_[text];
    slot.entry = std::move(entry);
    slot.age = recency_.begin();
    return &slot.entry;
  }

  // Drops the entry for `text`, if any.
  void Erase(const std::string& text) {
    auto found = entries_.find(text);
    if (found == entries_.end()) return;
    recency_.erase(found->second.age);
    entries_.erase(found);
  }

  void Clear() {
    entries_.clear();
    recency_.clear();
  }

 private:
  struct Slot {
    Entry entry;
    std::list<std::string>::iterator age;  // position in recency_
  };

  std::unordered_map<std::string, Slot> entries_;
  std::list<std::string> recency_;  // most recently used first
};

}  // namespace zelvar::db

#endif  // ZELVAR_DB_STATEMENT_CACHE_H_
