// Watches: optimistic locking for transactions.
//
// A Watcher is one client's set of watched keys plus a dirty flag. Every
// change of a watched key, whoever makes it (any connection, the Python
// API, lazy expiry, the sweeper, eviction, flush), marks the watchers of
// that key dirty; a transaction run with a dirty watcher runs nothing
// (Store::atomically). A key nobody changes never marks anyone, so no
// transaction is aborted because of unrelated keys.
//
// The hook is Store::log_mutation, which every mutation passes through
// with its shard's exclusive lock held. The registry lives in the shards:
// each shard maps its watched keys to their watchers, under the shard's own
// lock, so registering, unregistering and marking need no other lock, and
// a registration is ordered against every change of its key by that lock.
// A store-wide count of registrations makes the hook a single relaxed load
// while nothing is watched.
//
// Memory: a registration lives until the watcher is cleared or destroyed;
// the shard maps hold only keys with at least one watcher.
//
// Thread safety: a Watcher is used by one thread at a time (its owner's);
// its dirty flag is also set by other threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace mevora {

class Store;
class Watcher;

// The watched keys of one shard and their watchers (guarded by the shard's
// lock). Lookups take a string_view without copying it.
struct WatchKeyHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
};
using ShardWatches = std::unordered_map<std::string, std::vector<Watcher*>, WatchKeyHash, std::equal_to<>>;

class Watcher {
 public:
  explicit Watcher(std::shared_ptr<Store> store) : store_(std::move(store)) {}
  ~Watcher() { clear(); }
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  // Starts watching each key (again watching a key is a no-op). A key that
  // is due for expiry is removed first, so its later expiry is not counted
  // as a change. Takes each key's shard lock in turn; the caller holds no
  // shard lock.
  void watch(std::span<const std::string_view> keys);

  // Stops watching everything and clears the dirty flag.
  void clear();

  // Whether a watched key changed since it was watched.
  bool dirty() const { return dirty_.load(std::memory_order_acquire); }
  const std::vector<std::string>& keys() const { return keys_; }
  const std::shared_ptr<Store>& store() const { return store_; }

  // For the store's hook, under the changed key's shard lock.
  void mark_dirty() { dirty_.store(true, std::memory_order_release); }

 private:
  std::shared_ptr<Store> store_;
  std::vector<std::string> keys_;
  std::atomic<bool> dirty_{false};
};

}  // namespace mevora
