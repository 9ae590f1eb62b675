// Store: the sharded in-memory keyspace.
//
// A power-of-two array of shards, each a reader-writer lock around one
// Table of entries. A key's shard is (key_hash >> 32) & shard_mask.
//
// Every operation reads the clock at most once, locks at most one shard at
// a time (except flush, which takes all of them in ascending order, and the
// snapshot writer, which takes all shared locks in ascending order), and
// applies lazy expiry: a key whose deadline is at or before now is absent,
// and a writer that meets it removes it first (logging DEL). Operations
// that can grow used_memory compute their need under shared locks and call
// admit() before taking their exclusive lock, so eviction never runs while
// the caller holds a shard lock.
//
// Results are copies, or handed to a caller's ValueSink under the lock; no
// reference into a shard outlives its lock.
//
// Logging is write-ahead. A mutation first checks what needs no lock (the
// key's length), then, holding no shard lock, has admit() make room for
// what it may need (evicting, and logging each victim's DEL, as the limit
// requires). Then, holding the changed shard's exclusive lock, it checks
// the rest of its request (the entry's kind, NX/XX, counters) and reserves
// what the change needs (allocations, table room), hands its WalRecord to
// log_mutation(), and only then applies the change, a step that cannot
// fail (append alone writes its bytes into room made beforehand, since
// its record carries the whole new value, and takes them off again when
// the record is refused). When the log refuses the record (an I/O failure now or earlier,
// until a successful save), the operation returns StoreError::LogRefused
// and the keyspace is left as it was (keys evicted for it stay evicted).
// One record follows its change instead: the DEL of a collection that a
// logged write emptied (drop_if_empty). Without persistence log_mutation()
// does nothing and always succeeds.
//
// Lock order: save mutex, shard locks (ascending index), log mutex, stats
// mutex. No shard lock is ever requested while the log mutex is held.
// Besides flush and the snapshot writer, mget and the set algebra reads
// (shared, multi_key_read.h) and transactions (exclusive, transaction.h)
// hold several shard locks, taken in ascending index; a transaction's
// operations run under its locks.
//
// Thread safety: every public method may be called from any thread.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/persist_error.h"
#include "core/persistence.h"
#include "core/scan.h"
#include "core/store_internal.h"
#include "core/store_types.h"
#include "core/watch.h"
#include "util/one_shot_threads.h"

namespace mevora {

using KeyList = std::span<const std::string_view>;

// KeyTooLong for a key longer than kMaxKeyLen (4,294,967,295) bytes. Every
// write that can create a key calls it first, before the key is hashed or
// memory admitted, so a refused write changes nothing (and evicts nothing).
[[nodiscard]] inline StoreResult<void> check_key_length(std::string_view key) {
  if (key.size() > kMaxKeyLen) [[unlikely]] return make_err(StoreError::KeyTooLong);
  return {};
}
using KeyValue = std::pair<std::string_view, std::string_view>;

// One page of HSCAN or SSCAN: the next cursor (0: the walk is complete),
// the items found (a hash gives field, value pairs flattened; a set its
// members) and the home positions visited, for tests and diagnostics.
struct CollScanPage {
  std::uint64_t cursor = 0;
  std::vector<std::string> items;
  std::uint64_t homes_visited = 0;
};

class PeriodicThread;

// The options of the general string write (Store::set_with): which
// deadline the new value gets, the NX/XX conditions, and whether the
// previous value is wanted.
struct SetOptions {
  enum class Expiry : std::uint8_t {
    None,   // no deadline (any old one is dropped)
    After,  // now + ms (ms >= 1), saturating
    At,     // the Unix time ms (>= 1); one already past leaves the key absent
    Keep,   // the deadline the key had, none if it was absent
  };
  Expiry expiry = Expiry::None;
  std::uint64_t ms = 0;
  bool nx = false;  // write only when the key is absent
  bool xx = false;  // write only when the key is present
  // Report the previous value. A present key that is not a string then
  // fails the whole write with WrongType, and nothing changes.
  bool get = false;

  // The options of a plain set: a relative time to live (if any), NX, XX.
  static SetOptions plain(std::optional<std::uint64_t> ttl_ms, bool nx, bool xx) {
    SetOptions o;
    if (ttl_ms.has_value()) {
      o.expiry = Expiry::After;
      o.ms = *ttl_ms;
    }
    o.nx = nx;
    o.xx = xx;
    return o;
  }
};

struct SetOutcome {
  bool written = false;
  // With SetOptions::get: the value before the write; empty when absent.
  std::optional<std::string> previous;
};

// Receives a stored value while its shard lock is held, so that a caller
// can build its own result straight from the stored bytes instead of from
// a copy. take() runs at most once per read and must not call back into the
// store; the bytes are valid only during the call.
class ValueSink {
 public:
  virtual void take(std::string_view bytes) = 0;

 protected:
  ValueSink() = default;
  ~ValueSink() = default;
  ValueSink(const ValueSink&) = default;
  ValueSink& operator=(const ValueSink&) = default;
};

// The sink that copies the value into a string.
class CopySink final : public ValueSink {
 public:
  explicit CopySink(std::string& out) : out_(out) {}
  void take(std::string_view bytes) override { out_.assign(bytes); }

 private:
  std::string& out_;
};

// The copying form of a sink read: read(ValueSink&) -> StoreResult<bool>
// (found) becomes the value, or empty when absent.
template <class Read>
StoreResult<std::optional<std::string>> read_copy(Read&& read) {
  std::string value;
  CopySink sink(value);
  StoreResult<bool> r = read(static_cast<ValueSink&>(sink));
  if (!r.ok()) return make_err(r.error());
  if (!r.value()) return std::optional<std::string>();
  return std::optional<std::string>(std::move(value));
}

// The contract of every operation below, unless its comment says otherwise:
//
//  - Lock: a single-key read holds its key's shard lock shared; a
//    single-key write holds it exclusively. A write that can grow
//    used_memory asks for admission first, before its exclusive lock:
//    under a memory limit that may evict other keys (each removal logged
//    as DEL) or refuse.
//  - Expiry: a key whose deadline has passed is absent. Whoever meets it
//    removes it first, logging its DEL.
//  - Errors: WrongType when the key holds another kind; KeyTooLong when a
//    write would create a key longer than kMaxKeyLen (checked before
//    anything else); OutOfMemory when admission refuses; LogRefused when the log refuses the record (after
//    any earlier log or sync failure, until a successful save). A failed
//    write changes nothing. Missing keys are not errors: reads give
//    empty/0/false, removals 0/false.
//  - Logging: a write that changes something hands exactly the record its
//    comment names to the log before applying it; a write that changes
//    nothing logs nothing. A collection emptied by a write is removed with
//    it (its DEL logged after the write's own record).
//  - Waiting: a caller's WaitHook (wait_hook.h) hears of every point where
//    the call may block; uncontended in-memory work never waits.
class Store : public StoreInternals, public std::enable_shared_from_this<Store> {
 public:
  // An in-memory store. Starts the sweeper when config.sweep_interval_ms
  // != 0. `clock` defaults to the wall clock. config.persist_dir must be
  // absent (the process stops otherwise): persistence is open()'s.
  static std::shared_ptr<Store> create(const StoreConfig& config, std::shared_ptr<Clock> clock = nullptr);

  // A persistent store: locks config.persist_dir, recovers the keyspace
  // from its snapshot and log, and starts the background threads. Errors:
  // the directory is locked by another owner, unreadable, or corrupt.
  static Result<std::shared_ptr<Store>, PersistError> open(const StoreConfig& config);

  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // ---- whole store (no errors, no records) --------------------------------
  // Live keys, counted one shard at a time under its shared lock.
  std::uint64_t len();
  std::uint64_t used_memory() const { return used_.load(std::memory_order_relaxed); }
  std::size_t shard_count() const { return shards_.size(); }
  std::uint64_t max_memory() const { return max_memory_; }
  EvictionPolicy policy() const { return policy_; }
  std::uint32_t lru_clock() const { return lru_clock_.load(std::memory_order_relaxed); }

  // ---- strings and keys ---------------------------------------------------
  // The string's value; empty when absent. Errors: WrongType.
  StoreResult<std::optional<std::string>> get(std::string_view key);
  // The same, handing the value to `out` under the shard lock; true when
  // found. A caller that passes its own final sink type gets take() called
  // directly, inlined into the read.
  template <class Sink>
    requires std::derived_from<Sink, ValueSink>
  StoreResult<bool> get(std::string_view key, Sink& out);
  // Stores a string under key, replacing whatever it held (any kind), with
  // the deadline now + ttl_ms or none. nx: only when absent; xx: only when
  // present; false when that condition declines. Errors: OutOfMemory,
  // LogRefused. Logs SET (key, absolute deadline or 0, value).
  StoreResult<bool> set(std::string_view key, std::string_view value, std::optional<std::uint64_t> ttl_ms,
                        bool nx, bool xx);
  // The general string write behind SET's options, GETSET and SETNX: one
  // step under the key's shard lock, so the previous value it reports is
  // exactly the one it replaced, and a kept deadline is the one the key
  // had at that moment. Errors: as set, and WrongType with options.get
  // when the key is not a string. Logs SET with the absolute deadline.
  StoreResult<SetOutcome> set_with(std::string_view key, std::string_view value, const SetOptions& options);
  // Removes a string key and returns the value it held; empty when absent.
  // Errors: WrongType, LogRefused. Logs DEL.
  StoreResult<std::optional<std::string>> getdel(std::string_view key);
  // Removes the keys, of any kind, one at a time (one shard lock at a
  // time); returns how many existed. Errors: LogRefused, which stops at the
  // first key whose DEL could not be logged (earlier ones stay removed).
  // Logs DEL per removed key.
  StoreResult<std::uint64_t> del(KeyList keys);
  // Whether the key is live. Shared lock.
  bool exists(std::string_view key);
  // Adds amount to the decimal counter stored as a string (absent = 0) and
  // returns the result; the deadline stays. Errors: WrongType, NotInteger
  // (the value is not a 64-bit decimal integer), Overflow, OutOfMemory,
  // LogRefused. Logs SET of the new value with the key's deadline.
  StoreResult<std::int64_t> incr(std::string_view key, std::int64_t amount);
  // Appends bytes to the string (absent = empty) and returns its new
  // length. Errors: WrongType, OutOfMemory, LogRefused. Logs SET of the
  // whole new value with the key's deadline.
  StoreResult<std::uint64_t> append(std::string_view key, std::string_view bytes);
  // Each key's string value; empty for absent keys and other kinds. Holds
  // the keys' shard locks shared together (ascending), so it sees every
  // key at one instant. No errors.
  std::vector<std::optional<std::string>> mget(KeyList keys);
  // set() of each pair in order, without conditions or deadline; stops at
  // the first error (earlier pairs stay written). Logs SET per pair.
  StoreResult<void> mset(std::span<const KeyValue> pairs);

  // ---- expiry ---------------------------------------------------------------
  // Milliseconds left before the deadline (rounded up); -2 when absent,
  // -1 when the key has no deadline. Shared lock.
  std::int64_t pttl(std::string_view key);
  // Gives a live key the deadline now + ms (ms >= 1, saturating); false when
  // absent. Errors: LogRefused. Logs EXPIRE (key, absolute deadline).
  StoreResult<bool> pexpire(std::string_view key, std::uint64_t ms);
  // Drops the key's deadline; false when absent or without one. Errors:
  // LogRefused. Logs EXPIRE (key, 0).
  StoreResult<bool> persist(std::string_view key);

  // ---- hashes ---------------------------------------------------------------
  // Sets a field (creating the hash); true when the field is new. Errors:
  // WrongType, OutOfMemory, LogRefused. Logs HSET.
  StoreResult<bool> hset(std::string_view key, std::string_view field, std::string_view value);
  // The field's value; empty when the key or field is absent. Errors:
  // WrongType.
  StoreResult<std::optional<std::string>> hget(std::string_view key, std::string_view field);
  // The same, handing the value to `out` under the shard lock; true when
  // found.
  StoreResult<bool> hget(std::string_view key, std::string_view field, ValueSink& out);
  // Removes fields; returns how many existed. Errors: WrongType, LogRefused.
  // Logs HDEL with the given fields.
  StoreResult<std::uint64_t> hdel(std::string_view key, KeyList fields);
  // Every (field, value), in no particular order. Errors: WrongType.
  StoreResult<std::vector<std::pair<std::string, std::string>>> hgetall(std::string_view key);
  // The number of fields. Errors: WrongType.
  StoreResult<std::uint64_t> hlen(std::string_view key);

  // ---- lists ------------------------------------------------------------------
  // Pushes the values one by one at the head (lpush: a, b onto [x] gives
  // [b, a, x]) or the tail, creating the list; returns its new length.
  // Errors: WrongType, OutOfMemory, LogRefused. Logs LPUSH / RPUSH with
  // every value.
  StoreResult<std::uint64_t> lpush(std::string_view key, KeyList values);
  StoreResult<std::uint64_t> rpush(std::string_view key, KeyList values);
  // Removes and returns the head / tail element; empty when absent.
  // Errors: WrongType, LogRefused. Logs LPOP / RPOP.
  StoreResult<std::optional<std::string>> lpop(std::string_view key);
  StoreResult<std::optional<std::string>> rpop(std::string_view key);
  // The elements from start to stop inclusive; negative indexes count from
  // the end; clamped to the list. Errors: WrongType.
  StoreResult<std::vector<std::string>> lrange(std::string_view key, std::int64_t start, std::int64_t stop);
  // The list's length. Errors: WrongType.
  StoreResult<std::uint64_t> llen(std::string_view key);

  // ---- sets -------------------------------------------------------------------
  // Adds members (creating the set); returns how many were new. Errors:
  // WrongType, OutOfMemory, LogRefused. Logs SADD with the given members.
  StoreResult<std::uint64_t> sadd(std::string_view key, KeyList members);
  // Removes members; returns how many existed. Errors: WrongType,
  // LogRefused. Logs SREM with the given members.
  StoreResult<std::uint64_t> srem(std::string_view key, KeyList members);
  // Every member, in no particular order. Errors: WrongType.
  StoreResult<std::vector<std::string>> smembers(std::string_view key);
  StoreResult<bool> sismember(std::string_view key, std::string_view member);  // Errors: WrongType.
  StoreResult<std::uint64_t> scard(std::string_view key);                      // Errors: WrongType.

  // ==== more hash operations (store_hash_ops.cc) ===============================
  // Each is one store operation with lazy expiry and the wrong-kind rule
  // (WrongType for a key of another kind, nothing changed). Reads take the
  // key's shard lock shared and return copies; writes admit() first, then
  // take it exclusively and log before they apply (see the header
  // comment). A missing key reads as an empty hash.

  // The values of fields in order, nullopt for a missing one. Lock: shared.
  StoreResult<std::vector<std::optional<std::string>>> hmget(std::string_view key, KeyList fields);
  // Sets every field (a later pair wins over an earlier one of the same
  // field). Logs one HSET per pair, as one group (all or nothing).
  StoreResult<void> hmset(std::string_view key, std::span<const KeyValue> pairs);
  // Sets field only when the hash lacks it: true when set (logged as HSET),
  // false with nothing logged.
  StoreResult<bool> hsetnx(std::string_view key, std::string_view field, std::string_view value);
  StoreResult<bool> hexists(std::string_view key, std::string_view field);
  // The fields, or the values, in the hash's iteration order.
  StoreResult<std::vector<std::string>> hkeys(std::string_view key);
  StoreResult<std::vector<std::string>> hvals(std::string_view key);
  // The length of the field's value; 0 when field or key is missing.
  StoreResult<std::uint64_t> hstrlen(std::string_view key, std::string_view field);
  // Adds amount to the field's integer value (a missing field counts as 0)
  // and returns the result. Errors: NotInteger (value not in the counter
  // syntax), Overflow (result outside i64); nothing changes then. Logged
  // as HSET of the new value.
  StoreResult<std::int64_t> hincrby(std::string_view key, std::string_view field, std::int64_t amount);
  // The same for floats: returns the stored text of the result (the
  // shortest exact form). Errors: NotFloat (value not a float), NotFinite
  // (result NaN or infinite). Logged as HSET of the new text.
  StoreResult<std::string> hincrbyfloat(std::string_view key, std::string_view field, double amount);
  // Random fields (with their values when with_values): count absent, one
  // field (none for a missing key); count >= 0, that many distinct ones
  // (all when the hash has fewer); count < 0, -count drawn with repeats,
  // and NotInteger when -count is above 1,048,576 (a result that large
  // would be built from nothing). Lock: shared.
  StoreResult<std::vector<std::pair<std::string, std::string>>> hrandfield(std::string_view key,
                                                                          std::optional<std::int64_t> count,
                                                                          bool with_values);
  // One page of a cursor walk over the hash's fields (ElemTable::scan has
  // the guarantee): filter.match and filter.count apply, filter.kind is
  // ignored. items holds field, value, field, value, ... A missing key
  // gives cursor 0 and no items. Lock: shared, for one page.
  StoreResult<CollScanPage> hscan(std::string_view key, std::uint64_t cursor, const ScanFilter& filter);

  // ==== more list operations (store_list_ops.cc) ================================
  // The same rules as the hash operations above. Indexes count from 0 at
  // the head, negative ones from -1 at the tail.
  enum class ListEnd : std::uint8_t { Head, Tail };

  // The item at index; nullopt when out of range or the key is missing.
  StoreResult<std::optional<std::string>> lindex(std::string_view key, std::int64_t index);
  // The positions of items equal to value: rank r >= 1 starts with the
  // r-th match from the head, r <= -1 with the -r-th from the tail (rank
  // 0 is the caller's error); at most count positions (0: all); only the
  // first maxlen items looked at from where the search starts (0: all).
  StoreResult<std::vector<std::int64_t>> lpos(std::string_view key, std::string_view value, std::int64_t rank,
                                              std::uint64_t count, std::uint64_t maxlen);
  // Pushes onto an existing list only: the new length, or 0 (nothing
  // logged) when the key is missing. Logged as LPUSH / RPUSH.
  StoreResult<std::uint64_t> pushx(std::string_view key, KeyList values, ListEnd end);
  // Pops up to count items from one end: nullopt when the key is missing,
  // else the items in pop order (none for count 0). Logged as one LPOP or
  // RPOP per item, as one group.
  StoreResult<std::optional<std::vector<std::string>>> pop_count(std::string_view key, std::uint64_t count,
                                                                 ListEnd end);
  // Keeps the items from start to stop (inclusive; clamped as LRANGE
  // does), dropping the key when nothing is left. Logged as the LPOPs and
  // RPOPs that remove the rest, as one group.
  StoreResult<void> ltrim(std::string_view key, std::int64_t start, std::int64_t stop);
  // Moves the item at `from`'s end of source to `to`'s end of destination
  // (the same key rotates it) and returns it; nullopt, nothing changed,
  // when source is missing. WrongType for either key of another kind.
  // Locks both keys' shards (ascending); logged as the push onto
  // destination, then the pop from source, as one group.
  StoreResult<std::optional<std::string>> lmove(std::string_view source, std::string_view destination,
                                                ListEnd from, ListEnd to);
  // Replaces the item at index. Logged as LSET (nothing logged when the
  // key is missing or the index out of range).
  enum class ListSet : std::uint8_t { Done, NoSuchKey, OutOfRange };
  StoreResult<ListSet> lset(std::string_view key, std::int64_t index, std::string_view value);
  // Inserts value before (or after) the first item equal to pivot: the new
  // length, -1 (nothing changed) when pivot is absent, 0 when the key is
  // missing. Logged as LINSERT.
  StoreResult<std::int64_t> linsert(std::string_view key, bool after, std::string_view pivot,
                                    std::string_view value);
  // Removes items equal to value: the first count from the head (count >
  // 0), the last -count from the tail (count < 0), or all (0). Returns how
  // many went; the key goes with its last item. Logged as LREM when
  // something is removed.
  StoreResult<std::uint64_t> lrem(std::string_view key, std::int64_t count, std::string_view value);

  // ==== more set operations (store_set_ops.cc) ===================================
  // The same rules as the hash operations above.

  // Whether each member is in the set, in order. Lock: shared.
  StoreResult<std::vector<bool>> smismember(std::string_view key, KeyList members);
  // Random members: count absent, one member (none for a missing key);
  // count >= 0, that many distinct ones (all when the set has fewer);
  // count < 0, -count drawn with repeats, and NotInteger when -count is
  // above 1,048,576 (as hrandfield). Lock: shared.
  StoreResult<std::vector<std::string>> srandmember(std::string_view key, std::optional<std::int64_t> count);
  // Removes and returns up to count random distinct members (one when
  // count is absent); the key goes with its last member. Logged as one
  // SREM of the members taken.
  StoreResult<std::vector<std::string>> spop(std::string_view key, std::optional<std::uint64_t> count);
  // One page of a cursor walk over the set's members (see hscan); items
  // holds the members. Lock: shared, for one page.
  StoreResult<CollScanPage> sscan(std::string_view key, std::uint64_t cursor, const ScanFilter& filter);

  // ==== set algebra (store_set_algebra.cc) ========================================
  // The same rules as the set operations above; a missing key is an empty
  // set, and any key of another kind fails the whole call with WrongType
  // (nothing changed). The multi-key reads see all their keys at one
  // instant (their shards held shared together, ascending); the writes are
  // atomic steps (see "Atomic step" below) over every key they name.
  enum class SetOp : std::uint8_t {
    Inter,  // members of every set
    Union,  // members of any set
    Diff,   // members of the first set that are in none of the others
  };

  // Moves member from the set source to the set destination: true when it
  // was in source (source == destination: true, no change), false (no
  // change) when it was not. WrongType when either key holds another kind,
  // checked before any change. OutOfMemory, LogRefused. Atomic step. Logs
  // SADD destination member, then SREM source member (then DEL source
  // when that emptied it).
  StoreResult<bool> smove(std::string_view source, std::string_view destination, std::string_view member);
  // The members of op over the sets under keys, in no particular order.
  // Lock: the keys' shards shared together. Logs nothing.
  StoreResult<std::vector<std::string>> set_algebra(SetOp op, KeyList keys);
  // Stores op over the sets under keys as the set under destination,
  // replacing whatever destination held (any kind, its deadline dropped);
  // an empty result removes destination. destination may be one of keys.
  // Returns the result's size. Admission for the new set runs inside the
  // step, before its first change (the result is known only there).
  // Errors: WrongType (a source of another kind), KeyTooLong, OutOfMemory,
  // LogRefused. Atomic step. Logs DEL destination (when present), then
  // SADD destination with every member (when the result is not empty).
  StoreResult<std::uint64_t> set_algebra_store(SetOp op, std::string_view destination, KeyList keys);
  // The size of the intersection of the sets under keys, counting stops
  // at limit (0: no limit). Lock: the keys' shards shared together.
  StoreResult<std::uint64_t> sintercard(KeyList keys, std::uint64_t limit);

  // ---- the whole keyspace ------------------------------------------------------
  // The live keys matching a glob pattern (glob.h), one shard at a time
  // under its shared lock. No errors.
  std::vector<std::string> keys(std::string_view pattern);
  // One page of a cursor iteration, under one shard's shared lock at a
  // time; see scan.h for the guarantee. No errors.
  ScanPage scan(std::uint64_t cursor, const ScanFilter& filter);
  // Removes every key, holding every shard's exclusive lock (ascending).
  // Errors: LogRefused. Logs FLUSH.
  StoreResult<void> flush();

  // ==== more key and string operations (store_key_ops.cc, store_string_ops.cc) ====
  // Each follows the rules of the header comment (lazy expiry, admission
  // before locking, write-ahead logging). "Atomic step": both keys' shards
  // are held exclusively together and the records reach the log as one
  // frame (a transaction's, see transaction.h); inside a running
  // transaction the step joins it, whose locks must cover the keys.

  // The kind of the live value under key; nullopt when absent. Shared lock
  // (a due key is removed first). Logs nothing.
  std::optional<KeyKind> type(std::string_view key);
  // Moves the value under `from`, with its deadline, to `to`, replacing
  // whatever `to` held. With only_if_absent and `to` present: false, no
  // change. `from` == `to`: true (false with only_if_absent), no change.
  // Errors: NoSuchKey when `from` is absent; OutOfMemory; LogRefused.
  // Atomic step. Logs: DEL `to` (when present), DEL `from`, then the
  // records that rebuild the value under `to`: SET with the deadline for a
  // string; RPUSH of every item, SADD of every member or one HSET per
  // field for a collection, then EXPIRE when it has a deadline.
  StoreResult<bool> rename(std::string_view from, std::string_view to, bool only_if_absent);
  // Gives the live key the absolute deadline unix_ms; one at or before now
  // removes the key. false when absent. Exclusive lock. Logs EXPIRE, or DEL.
  StoreResult<bool> pexpireat(std::string_view key, std::uint64_t unix_ms);
  // The key's absolute deadline in Unix milliseconds: -2 absent, -1 none.
  // Shared lock; logs nothing.
  std::int64_t pexpiretime(std::string_view key);
  // How many of keys are live (a repeated key counts each time); stamps
  // them. Shared locks, one key at a time. Logs nothing (a due key's DEL).
  std::uint64_t touch(KeyList keys);
  // A live key drawn at random; nullopt when there is none. Shared locks,
  // one shard at a time. Logs nothing.
  std::optional<std::string> randomkey();

  // Length of the string under key, 0 when absent; WrongType. Shared lock.
  StoreResult<std::uint64_t> strlen(std::string_view key);
  // The bytes of the string between start and stop inclusive; negative
  // indexes count from the end, both are clamped to the value; "" when
  // the range is empty or the key absent. WrongType. Shared lock.
  StoreResult<std::string> getrange(std::string_view key, std::int64_t start, std::int64_t stop);
  // Overwrites the string from offset with bytes, padding with zero bytes
  // up to offset (creating the key); returns the new length. Empty bytes
  // change nothing (an absent key stays absent). Errors: TooLarge when
  // offset + bytes exceeds kMaxStringLen, WrongType, OutOfMemory,
  // LogRefused. Exclusive lock. Logs SET with the key's deadline.
  StoreResult<std::uint64_t> setrange(std::string_view key, std::uint64_t offset, std::string_view bytes);
  // Sets every pair without deadlines when none of the keys is live, else
  // nothing: true when it wrote. Errors: OutOfMemory, LogRefused. Atomic
  // step over all the keys. Logs one SET per pair.
  StoreResult<bool> msetnx(std::span<const KeyValue> pairs);
  // Adds amount to the float under key (0 when absent) and returns the new
  // value's text: the shortest that reads back exactly. Errors: NotFloat
  // (the value is not a finite float), Overflow (the sum is not finite),
  // WrongType, OutOfMemory, LogRefused. Exclusive lock. Logs SET with the
  // key's deadline.
  StoreResult<std::string> incrbyfloat(std::string_view key, double amount);
  // What getex does to the deadline of the string it reads.
  struct GetExpiry {
    enum class Mode : std::uint8_t { Keep, After, At, Persist };
    Mode mode = Mode::Keep;
    std::uint64_t ms = 0;  // After: ms from now (>= 1); At: Unix ms
  };
  // The string under key (nullopt when absent), changing its deadline as
  // `expiry` says (At at or before now removes the key). WrongType.
  // Exclusive lock unless Keep. Logs EXPIRE, or DEL, when it changes one.
  StoreResult<std::optional<std::string>> getex(std::string_view key, const GetExpiry& expiry);

  // ---- transactions (transaction.h, watch.h) ----------------------------------
  // Runs body with the exclusive locks of the shards of keys (and of the
  // watcher's keys) held, ascending, or of every shard when whole_keyspace,
  // so that the operations body makes on this thread are atomic. Their
  // records are logged together as one batch when body ends. false: the
  // watcher was dirty and body did not run. An error: the log refused the
  // batch; every change body made was undone.
  Result<bool, PersistError> atomically(KeyList keys, bool whole_keyspace, const Watcher* watcher,
                                        const std::function<void()>& body);
  // The index of the shard that holds key.
  std::size_t shard_index(std::string_view key) const { return (key_hash(key) >> 32) & shard_mask_; }
  // The watch registry, for Watcher: register or drop w for key (the
  // key's shard lock, exclusive; a due key is removed first).
  void add_watch(Watcher& w, std::string_view key);
  void remove_watch(Watcher& w, std::string_view key);

  // ---- persistence -----------------------------------------------------------
  // Writes a snapshot and starts a new log segment. Errors: InvalidInput
  // "persistence is not enabled for this store" without persistence, Other
  // "cannot save inside a transaction" from a transaction's body; otherwise
  // what the persistence layer reports. A successful save lets refused
  // writes through again.
  Result<void, PersistError> save();
  // Starts save() on a new "mevora-bgsave" thread and returns at once. The
  // thread holds a strong reference to the store while it runs; when the
  // save has ended (failed or thrown included) it calls `done` on that
  // thread. The save's result shows only in persist_stats. The store owns
  // the thread: the next start, join_background_saves, close and the
  // destructor join it. Errors: the OS error (PersistError::from_errno)
  // when the thread cannot be created; `done` is then never called. Lock:
  // none; the save takes what save() takes. Logs nothing.
  Result<void, PersistError> start_background_save(std::function<void()> done);
  // Waits for every background save started so far and joins its thread.
  // Must be called without the save mutex or any shard lock held.
  void join_background_saves();
  // Marks the store closed, stops and joins the sweeper, waits for running
  // background saves and, when persistent, shuts persistence down (which
  // joins its threads). Idempotent; never fails. Must be called without
  // the save mutex or any shard lock held.
  void close();
  bool closed() const { return closed_.load(std::memory_order_acquire); }
  // The persistence counters; empty without persistence.
  std::optional<PersistStats> persist_stats();
  bool persistent() const { return persist_ != nullptr; }

  // Built only by create(), open() and recovery (store_internal.h).
  Store(StoreConstruction, const StoreConfig& config, std::shared_ptr<Clock> clock);

 private:
  // Starts the "mevora-sweeper" thread; once, before the store is shared.
  void start_sweeper(std::uint64_t interval_ms);
  template <class F>
  StoreResult<bool> change_deadline(std::string_view key, F&& deadline_for);
  template <class F>
  std::int64_t deadline_report(std::string_view key, F&& f);
  // previous: where SetOptions::get puts the value before (null = not wanted).
  StoreResult<bool> set_impl(std::string_view key, std::string_view value, const SetOptions& options,
                             std::optional<std::string>* previous);
  StoreResult<bool> del_one(std::string_view key, LazyNow& now);

  // Stopped and joined by close and by the destructor, before anything
  // else goes; they use the store by reference. (The log's threads are
  // joined by persist_, in StoreInternals, destroyed after these.)
  std::unique_ptr<PeriodicThread> sweeper_;
  OneShotThreads background_saves_;
};

// Inline, so that the binding's hottest read reaches its sink without a
// call and a result copy per layer.
template <class Sink>
  requires std::derived_from<Sink, ValueSink>
inline StoreResult<bool> Store::get(std::string_view key, Sink& out) {
  return read_path(key, [&](EntryRef* e) -> StoreResult<bool> {
    if (e == nullptr) return false;
    if (!e->is_string()) return make_err(StoreError::WrongType);
    out.take(e->str()->value());
    return true;
  });
}

inline StoreResult<bool> Store::set(std::string_view key, std::string_view value, std::optional<std::uint64_t> ttl_ms,
                                    bool nx, bool xx) {
  return set_impl(key, value, SetOptions::plain(ttl_ms, nx, xx), nullptr);
}

}  // namespace mevora
