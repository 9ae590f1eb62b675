// The calls a Transaction records (transaction_type.cc): one row per data
// method of Cache, saying which of its arguments are keys, which must be
// copied when the call is recorded, and whether it spans the whole
// keyspace. Making another Cache method recordable is adding its row.
//
// Recording settles a call: every key argument is converted to bytes as
// the Cache method converts it, and every iterable or mapping argument is
// copied into a list or dict of bytes. So when the transaction runs, with
// shard locks held, no caller code (a generator, a custom mapping, a
// number's __str__) runs for them, and the keys declared to the store are
// exactly the keys the call uses.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "binding/py.h"
#include "binding/py_ref.h"

namespace mevora::py {

// What one argument of a recorded method is.
enum class ArgRole : std::uint8_t {
  None,
  Key,         // one key: f(key, ...); a row names two for f(source, destination, ...)
  KeysFrom,    // this positional argument and every later one: f(*keys), or f(destination, *keys) after a Key
  KeyList,     // an iterable of keys, copied into a list: f(keys)
  KeyMapping,  // a mapping whose keys are keys, copied into a dict: f(mapping)
  Mapping,     // a mapping of fields to values, copied into a dict: f(key, mapping)
};

struct ArgSpec {
  ArgRole role = ArgRole::None;
  std::uint8_t position = 0;      // its index among the positional arguments
  const char* keyword = nullptr;  // its keyword name; null for a *args tail
};

struct Recordable {
  const char* name;
  std::array<ArgSpec, 2> args{};
  bool whole_keyspace = false;  // runs over every key: the transaction locks every shard
};

// The pieces of a row.
namespace recordable_rows {
constexpr ArgSpec key(std::uint8_t position, const char* keyword) { return {ArgRole::Key, position, keyword}; }
constexpr ArgSpec keys_from(std::uint8_t position) { return {ArgRole::KeysFrom, position, nullptr}; }
constexpr ArgSpec key_list(std::uint8_t position, const char* keyword) {
  return {ArgRole::KeyList, position, keyword};
}
constexpr ArgSpec key_mapping(std::uint8_t position, const char* keyword) {
  return {ArgRole::KeyMapping, position, keyword};
}
constexpr ArgSpec mapping(std::uint8_t position, const char* keyword) {
  return {ArgRole::Mapping, position, keyword};
}
constexpr Recordable row(const char* name, ArgSpec a, ArgSpec b = {}) { return {name, {a, b}}; }
// The common shape: the first argument, `key`, is the one key.
constexpr Recordable keyed(const char* name) { return row(name, key(0, "key")); }
// No key arguments; the call reads or changes any key.
constexpr Recordable spanning(const char* name) { return {name, {}, true}; }

constexpr auto table() {
  return std::array{
      keyed("set"),
      keyed("get"),
      row("mget", key_list(0, "keys")),
      row("mset", key_mapping(0, "mapping")),
      keyed("incr"),
      keyed("decr"),
      keyed("append"),
      row("delete", keys_from(0)),
      keyed("exists"),
      keyed("expire"),
      keyed("pexpire"),
      keyed("persist"),
      keyed("ttl"),
      keyed("pttl"),
      spanning("keys"),
      spanning("scan"),
      spanning("flush"),
      keyed("hset"),
      keyed("hget"),
      keyed("hdel"),
      keyed("hgetall"),
      keyed("hlen"),
      keyed("lpush"),
      keyed("rpush"),
      keyed("lpop"),
      keyed("rpop"),
      keyed("lrange"),
      keyed("llen"),
      keyed("sadd"),
      keyed("srem"),
      keyed("smembers"),
      keyed("sismember"),
      keyed("scard"),
      keyed("hmget"),
      row("hmset", key(0, "key"), mapping(1, "mapping")),
      keyed("hsetnx"),
      keyed("hexists"),
      keyed("hkeys"),
      keyed("hvals"),
      keyed("hstrlen"),
      keyed("hincrby"),
      keyed("hincrbyfloat"),
      keyed("hrandfield"),
      keyed("hscan"),
      keyed("lindex"),
      keyed("lpos"),
      keyed("lpushx"),
      keyed("rpushx"),
      keyed("ltrim"),
      keyed("lset"),
      keyed("linsert"),
      keyed("lrem"),
      row("lmove", key(0, "source"), key(1, "destination")),
      row("rpoplpush", key(0, "source"), key(1, "destination")),
      keyed("smismember"),
      keyed("srandmember"),
      keyed("spop"),
      keyed("sscan"),
      row("smove", key(0, "source"), key(1, "destination")),
      row("sinter", keys_from(0)),
      row("sunion", keys_from(0)),
      row("sdiff", keys_from(0)),
      row("sinterstore", keys_from(0)),
      row("sunionstore", keys_from(0)),
      row("sdiffstore", keys_from(0)),
      row("sintercard", key_list(0, "keys")),
      keyed("getset"),
      keyed("getdel"),
      keyed("type"),
      row("rename", key(0, "src"), key(1, "dst")),
      row("renamenx", key(0, "src"), key(1, "dst")),
      keyed("expireat"),
      keyed("pexpireat"),
      keyed("expiretime"),
      keyed("pexpiretime"),
      row("touch", keys_from(0)),
      spanning("randomkey"),
      keyed("strlen"),
      keyed("getrange"),
      keyed("setrange"),
      row("msetnx", key_mapping(0, "mapping")),
      keyed("incrbyfloat"),
      keyed("getex"),
  };
}
}  // namespace recordable_rows

// The recordable methods, in the order of Cache's method table. Every
// public method of Cache is here except close, save, transaction and
// scan_iter (an iterator cannot run inside the atomic step); the tests
// hold that list and fail on a Cache method that is in neither.
inline constexpr auto kRecorded = recordable_rows::table();

// A recorded call with its arguments settled.
struct SettledCall {
  PyRef args;               // tuple
  PyRef kwargs;             // dict, or null without keyword arguments
  std::vector<PyRef> keys;  // bytes objects: the keys the call uses
};

// Settles a call of method m (vectorcall arguments). false with the
// exception the Cache method raises for the same argument when a key
// cannot be converted or an iterable or mapping argument cannot be read;
// any other error of the call is left for the call itself to raise when
// it runs.
bool settle_call(const Recordable& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, SettledCall& out);

}  // namespace mevora::py
