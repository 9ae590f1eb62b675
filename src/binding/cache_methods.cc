// The Cache data methods. Each one binds its arguments, converts them with
// the GIL held (in the order its signature publishes), makes exactly one
// store call, then builds the result or raises the exception for the
// store's error.
//
// Every store call goes through store_call (store_call.h): the GIL stays
// held unless the store reports that it is about to wait, and reads of one
// value build their bytes straight from the stored value (read_bytes).
#include <limits>
#include <type_traits>

#include "binding/args.h"
#include "binding/call_support.h"
#include "binding/cache_object.h"
#include "binding/convert.h"
#include "binding/py_ref.h"
#include "binding/store_call.h"
#include "binding/transaction_object.h"

namespace mevora::py {

namespace {


constexpr const char* kKey[] = {"key"};
constexpr const char* kKeyValue[] = {"key", "value"};
constexpr const char* kSet[] = {"key", "value", "ex", "px", "nx", "xx", "get", "keepttl", "exat", "pxat"};
constexpr const char* kKeys[] = {"keys"};
constexpr const char* kMapping[] = {"mapping"};
constexpr const char* kKeyAmount[] = {"key", "amount"};
constexpr const char* kKeySeconds[] = {"key", "seconds"};
constexpr const char* kKeyMillis[] = {"key", "milliseconds"};
constexpr const char* kPattern[] = {"pattern"};
constexpr const char* kKeyField[] = {"key", "field"};
constexpr const char* kKeyFieldValue[] = {"key", "field", "value"};
constexpr const char* kKeyStartStop[] = {"key", "start", "stop"};
constexpr const char* kKeyMember[] = {"key", "member"};

// ---- persistence ---------------------------------------------------------------

PyObject* m_close(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    store_call([&] { store_of(self).close(); });
    Py_RETURN_NONE;
  });
}

PyObject* m_save(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!reinterpret_cast<CacheObject*>(self)->persist_dir.has_value()) {
      PyErr_SetString(PyExc_ValueError, "persistence is not enabled");
      return nullptr;
    }
    auto r = store_call([&] { return store_of(self).save(); });
    if (!r.ok()) return raise_persist_error(r.error(), "save failed: " + r.error().text());
    Py_RETURN_NONE;
  });
}

// ---- strings and keys -------------------------------------------------------------

// set() with any of the options beyond ex/px/nx/xx: the previous value
// (get), the kept deadline (keepttl) and absolute deadlines (exat, pxat).
// a holds set's bound arguments; ttl, nx and xx are already checked. Kept
// out of m_set so that the common call pays nothing for these options.
PyObject* set_with_options(PyObject* self, PyObject* const* a, std::optional<std::uint64_t> ttl, bool nx, bool xx) {
  SetOptions options = SetOptions::plain(ttl, nx, xx);
  PyObject* exat = a[8] == Py_None ? nullptr : a[8];
  PyObject* pxat = a[9] == Py_None ? nullptr : a[9];
  bool keepttl = false;
  if (a[6] != nullptr && !to_flag(a[6], "get", options.get)) return nullptr;
  if (a[7] != nullptr && !to_flag(a[7], "keepttl", keepttl)) return nullptr;
  const int deadlines = (ttl.has_value() ? 1 : 0) + (keepttl ? 1 : 0) + (exat != nullptr) + (pxat != nullptr);
  if (deadlines > 1) {
    PyErr_SetString(PyExc_ValueError, "ex, px, exat, pxat and keepttl are mutually exclusive");
    return nullptr;
  }
  std::uint64_t n = 0;
  if (exat != nullptr) {
    if (!positive_int(exat, "exat", n)) return nullptr;
    if (n > std::numeric_limits<std::uint64_t>::max() / 1000) {
      PyErr_SetString(PyExc_ValueError, "exat is too large");
      return nullptr;
    }
    options.expiry = SetOptions::Expiry::At;
    options.ms = n * 1000;
  } else if (pxat != nullptr) {
    if (!positive_int(pxat, "pxat", n)) return nullptr;
    options.expiry = SetOptions::Expiry::At;
    options.ms = n;
  } else if (keepttl) {
    options.expiry = SetOptions::Expiry::Keep;
  }
  Bytes key;
  Bytes value;
  if (!to_bytes(a[0], key) || !to_bytes(a[1], value)) return nullptr;
  auto r = store_call([&] { return store_of(self).set_with(key.view, value.view, options); });
  if (!r.ok()) return raise_store_error(r.error());
  return options.get ? optional_bytes(r.value().previous) : py_bool(r.value().written);
}

// set(key, value) with the options already checked: True when written.
PyObject* plain_set(PyObject* self, PyObject* key_arg, PyObject* value_arg, std::optional<std::uint64_t> ttl, bool nx,
                    bool xx) {
  return guarded([&]() -> PyObject* {
    Bytes key;
    Bytes value;
    if (!to_bytes(key_arg, key) || !to_bytes(value_arg, value)) return nullptr;
    Store& store = store_of(self);
    auto r = store_call([&] { return store.set(key.view, value.view, ttl, nx, xx); });
    if (!r.ok()) return raise_store_error(r.error());
    return py_bool(r.value());
  });
}

// set() with keywords or options: binds and checks them. Not inlined, so
// that m_set's common call stays a jump to plain_set.
[[gnu::noinline]] PyObject* set_bound(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[10];
    if (!bind_args({"set", kSet, 2}, args, nargs, kwnames, a)) return nullptr;
    bool nx = false;
    bool xx = false;
    if (a[4] != nullptr && !to_flag(a[4], "nx", nx)) return nullptr;
    if (a[5] != nullptr && !to_flag(a[5], "xx", xx)) return nullptr;
    PyObject* ex = a[2] == Py_None ? nullptr : a[2];
    PyObject* px = a[3] == Py_None ? nullptr : a[3];
    if (ex != nullptr && px != nullptr) {
      PyErr_SetString(PyExc_ValueError, "ex and px are mutually exclusive");
      return nullptr;
    }
    std::optional<std::uint64_t> ttl;
    std::uint64_t n = 0;
    if (ex != nullptr) {
      if (!positive_int(ex, "ex", n)) return nullptr;
      if (n > std::numeric_limits<std::uint64_t>::max() / 1000) {
        PyErr_SetString(PyExc_ValueError, "ex is too large");
        return nullptr;
      }
      ttl = n * 1000;
    } else if (px != nullptr) {
      if (!positive_int(px, "px", n)) return nullptr;
      ttl = n;
    }
    if (nx && xx) {
      PyErr_SetString(PyExc_ValueError, "nx and xx are mutually exclusive");
      return nullptr;
    }
    if (a[6] != nullptr || a[7] != nullptr || a[8] != nullptr || a[9] != nullptr) {
      return set_with_options(self, a, ttl, nx, xx);
    }
    return plain_set(self, a[0], a[1], ttl, nx, xx);
  });
}

PyObject* m_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // The common call, set(key, value), has no option to check and goes
  // straight on, without binding.
  if (nargs == 2 && kwnames == nullptr) return plain_set(self, args[0], args[1], std::nullopt, false, false);
  return set_bound(self, args, nargs, kwnames);
}

// getset(key, value): set(key, value, get=True).
PyObject* m_getset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args({"getset", kKeyValue, 2}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    Bytes value;
    if (!to_bytes(a[0], key) || !to_bytes(a[1], value)) return nullptr;
    SetOptions options;
    options.get = true;
    auto r = store_call([&] { return store_of(self).set_with(key.view, value.view, options); });
    if (!r.ok()) return raise_store_error(r.error());
    return optional_bytes(r.value().previous);
  });
}

PyObject* m_getdel(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_args({"getdel", kKey, 1}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    auto r = store_call([&] { return store_of(self).getdel(key.view); });
    if (!r.ok()) return raise_store_error(r.error());
    return optional_bytes(r.value());
  });
}

// The string value of key_obj as bytes, None when absent.
PyObject* get_value(PyObject* self, PyObject* key_obj) {
  Bytes key;
  if (!to_bytes(key_obj, key)) return nullptr;
  return read_bytes([&](auto& out) { return store_of(self).get(key.view, out); });
}

PyObject* m_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_args({"get", kKey, 1}, args, nargs, kwnames, a)) return nullptr;
    return get_value(self, a[0]);
  });
}

// _decode_reads(encoding, errors): makes this a text cache. Once only.
PyObject* m_decode_reads(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    constexpr const char* kCodec[] = {"encoding", "errors"};
    PyObject* a[2];
    if (!bind_args({"_decode_reads", kCodec, 2}, args, nargs, kwnames, a)) return nullptr;
    std::string_view encoding;
    std::string_view errors;
    if (!to_utf8(a[0], "encoding", encoding) || !to_utf8(a[1], "errors", errors)) return nullptr;
    if (encoding.find('\0') != std::string_view::npos || errors.find('\0') != std::string_view::npos) {
      PyErr_SetString(PyExc_ValueError, "embedded null character in the codec");
      return nullptr;
    }
    std::optional<TextCodec>& text = reinterpret_cast<CacheObject*>(self)->text;
    if (text) {
      PyErr_SetString(PyExc_ValueError, "this cache already decodes its reads");
      return nullptr;
    }
    text.emplace(std::string(encoding), std::string(errors));
    Py_RETURN_NONE;
  });
}

PyObject* m_mget(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_args({"mget", kKeys, 1}, args, nargs, kwnames, a)) return nullptr;
    std::vector<Bytes> keys;
    if (!to_bytes_iter(a[0], keys)) return nullptr;
    const std::vector<std::string_view> views = views_of(keys);
    auto values = store_call([&] { return store_of(self).mget(views); });
    return list_of(values, optional_bytes);
  });
}

PyObject* m_mset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_args({"mset", kMapping, 1}, args, nargs, kwnames, a)) return nullptr;
    MappingPairs mapping;
    if (!mapping_pairs(a[0], mapping)) return nullptr;
    const std::vector<KeyValue> pairs = mapping.views();
    auto r = store_call([&] { return store_of(self).mset(pairs); });
    if (!r.ok()) return raise_store_error(r.error());
    Py_RETURN_NONE;
  });
}

PyObject* incr_common(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool negate) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args({negate ? "decr" : "incr", kKeyAmount, 1}, args, nargs, kwnames, a)) return nullptr;
    std::int64_t amount = 1;
    if (a[1] != nullptr && !to_i64(a[1], "amount", amount)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    if (negate) {
      if (amount == std::numeric_limits<std::int64_t>::min()) {
        PyErr_SetString(PyExc_ValueError, "decrement would overflow");
        return nullptr;
      }
      amount = -amount;
    }
    Store& store = store_of(self);
    auto r = store_call([&] { return store.incr(key.view, amount); });
    if (!r.ok()) return raise_store_error(r.error());
    return py_i64(r.value());
  });
}

PyObject* m_incr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return incr_common(self, args, nargs, kwnames, false);
}

PyObject* m_decr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return incr_common(self, args, nargs, kwnames, true);
}

PyObject* m_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args({"append", kKeyValue, 2}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    Bytes value;
    if (!to_bytes(a[0], key) || !to_bytes(a[1], value)) return nullptr;
    auto r = store_call([&] { return store_of(self).append(key.view, value.view); });
    if (!r.ok()) return raise_store_error(r.error());
    return py_u64(r.value());
  });
}

// delete(key) of one key, without vectors: the number of keys removed (0
// or 1), or nullopt with the exception set. Serves delete() and del c[key].
std::optional<std::uint64_t> delete_one(PyObject* self, PyObject* key_obj) {
  Bytes key;
  if (!to_bytes(key_obj, key)) return std::nullopt;
  const std::string_view one[] = {key.view};
  auto r = store_call([&] { return store_of(self).del(one); });
  if (!r.ok()) {
    raise_store_error(r.error());
    return std::nullopt;
  }
  return r.value();
}

PyObject* m_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kNone[] = {""};
    std::span<PyObject* const> rest;
    PyObject* unused[1];
    if (!bind_args({"delete", std::span<const char* const>(kNone, 0), 0, true}, args, nargs, kwnames, unused, &rest)) {
      return nullptr;
    }
    if (rest.size() == 1) {
      const std::optional<std::uint64_t> removed = delete_one(self, rest[0]);
      return removed ? py_u64(*removed) : nullptr;
    }
    std::vector<Bytes> keys;
    if (!to_bytes_all(rest, keys)) return nullptr;
    const std::vector<std::string_view> views = views_of(keys);
    auto r = store_call([&] { return store_of(self).del(views); });
    if (!r.ok()) return raise_store_error(r.error());
    return py_u64(r.value());
  });
}

PyObject* m_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_args({"exists", kKey, 1}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    return py_bool(store_call([&] { return store_of(self).exists(key.view); }));
  });
}

// ---- expiry -----------------------------------------------------------------

PyObject* expire_common(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool seconds) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    const Signature sig = seconds ? Signature{"expire", kKeySeconds, 2} : Signature{"pexpire", kKeyMillis, 2};
    if (!bind_args(sig, args, nargs, kwnames, a)) return nullptr;
    std::uint64_t amount = 0;
    if (!positive_int(a[1], seconds ? "seconds" : "milliseconds", amount)) return nullptr;
    if (seconds) {
      if (amount > std::numeric_limits<std::uint64_t>::max() / 1000) {
        PyErr_SetString(PyExc_ValueError, "seconds is too large");
        return nullptr;
      }
      amount *= 1000;
    }
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    auto r = store_call([&] { return store_of(self).pexpire(key.view, amount); });
    if (!r.ok()) return raise_store_error(r.error());
    return py_bool(r.value());
  });
}

PyObject* m_expire(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return expire_common(self, args, nargs, kwnames, true);
}

PyObject* m_pexpire(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return expire_common(self, args, nargs, kwnames, false);
}

PyObject* m_persist(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_args({"persist", kKey, 1}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    auto r = store_call([&] { return store_of(self).persist(key.view); });
    if (!r.ok()) return raise_store_error(r.error());
    return py_bool(r.value());
  });
}

PyObject* ttl_common(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool seconds) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_args({seconds ? "ttl" : "pttl", kKey, 1}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    std::int64_t r = store_call([&] { return store_of(self).pttl(key.view); });
    if (seconds && r >= 0) r = r / 1000 + (r % 1000 != 0 ? 1 : 0);  // rounded up
    return py_i64(r);
  });
}

PyObject* m_ttl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return ttl_common(self, args, nargs, kwnames, true);
}

PyObject* m_pttl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return ttl_common(self, args, nargs, kwnames, false);
}

PyObject* m_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_args({"keys", kPattern, 0}, args, nargs, kwnames, a)) return nullptr;
    std::string_view pattern = "*";
    if (a[0] != nullptr && !to_utf8(a[0], "pattern", pattern)) return nullptr;
    auto keys = store_call([&] { return store_of(self).keys(pattern); });
    return list_of_bytes(keys);
  });
}

PyObject* m_flush(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto r = store_call([&] { return store_of(self).flush(); });
    if (!r.ok()) return raise_store_error(r.error());
    Py_RETURN_NONE;
  });
}

// ---- collections ------------------------------------------------------------------

// A store call taking (key, items) and counting.
template <class Op>
PyObject* key_items_count(PyObject* self, const char* name, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, Op op) {
  return call_key_items(self, name, args, nargs, kwnames, op, py_u64);
}

// A store call taking a key; build makes the result object.
template <class Op, class Build>
PyObject* key_only(PyObject* self, const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Op op, Build build) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_args({name, kKey, 1}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    auto r = store_call([&] { return op(store_of(self), key.view); });
    if (!r.ok()) return raise_store_error(r.error());
    return build(r.value());
  });
}

PyObject* m_hset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_args({"hset", kKeyFieldValue, 3}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    Bytes field;
    Bytes value;
    if (!to_bytes(a[0], key) || !to_bytes(a[1], field) || !to_bytes(a[2], value)) return nullptr;
    Store& store = store_of(self);
    auto r = store_call([&] { return store.hset(key.view, field.view, value.view); });
    if (!r.ok()) return raise_store_error(r.error());
    return py_bool(r.value());
  });
}

PyObject* m_hget(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args({"hget", kKeyField, 2}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    Bytes field;
    if (!to_bytes(a[0], key) || !to_bytes(a[1], field)) return nullptr;
    return read_bytes([&](auto& out) { return store_of(self).hget(key.view, field.view, out); });
  });
}

PyObject* m_hdel(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_items_count(self, "hdel", args, nargs, kwnames,
                         [](Store& s, std::string_view k, KeyList f) { return s.hdel(k, f); });
}

PyObject* m_hgetall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_only(
      self, "hgetall", args, nargs, kwnames, [](Store& s, std::string_view k) { return s.hgetall(k); },
      [](const std::vector<std::pair<std::string, std::string>>& pairs) -> PyObject* {
        PyRef dict(PyDict_New());
        if (!dict) return nullptr;
        for (const auto& [f, v] : pairs) {
          PyRef fk(bytes_from(f));
          PyRef fv(bytes_from(v));
          if (!fk || !fv || PyDict_SetItem(dict.get(), fk.get(), fv.get()) != 0) return nullptr;
        }
        return dict.release();
      });
}

PyObject* m_hlen(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_only(
      self, "hlen", args, nargs, kwnames, [](Store& s, std::string_view k) { return s.hlen(k); }, py_u64);
}

PyObject* m_lpush(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_items_count(
      self, "lpush", args, nargs, kwnames, [](Store& s, std::string_view k, KeyList v) { return s.lpush(k, v); });
}

PyObject* m_rpush(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_items_count(
      self, "rpush", args, nargs, kwnames, [](Store& s, std::string_view k, KeyList v) { return s.rpush(k, v); });
}

PyObject* m_lpop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 1 || kwnames != nullptr) return cache_pop(self, "lpop", args, nargs, kwnames, Store::ListEnd::Head);
  return key_only(
      self, "lpop", args, nargs, kwnames, [](Store& s, std::string_view k) { return s.lpop(k); }, optional_bytes);
}

PyObject* m_rpop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 1 || kwnames != nullptr) return cache_pop(self, "rpop", args, nargs, kwnames, Store::ListEnd::Tail);
  return key_only(
      self, "rpop", args, nargs, kwnames, [](Store& s, std::string_view k) { return s.rpop(k); }, optional_bytes);
}

PyObject* m_lrange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_args({"lrange", kKeyStartStop, 3}, args, nargs, kwnames, a)) return nullptr;
    std::int64_t start = 0;
    std::int64_t stop = 0;
    if (!to_i64(a[1], "start", start) || !to_i64(a[2], "stop", stop)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    auto r = store_call([&] { return store_of(self).lrange(key.view, start, stop); });
    if (!r.ok()) return raise_store_error(r.error());
    return list_of_bytes(r.value());
  });
}

PyObject* m_llen(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_only(
      self, "llen", args, nargs, kwnames, [](Store& s, std::string_view k) { return s.llen(k); }, py_u64);
}

PyObject* m_sadd(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_items_count(
      self, "sadd", args, nargs, kwnames, [](Store& s, std::string_view k, KeyList m) { return s.sadd(k, m); });
}

PyObject* m_srem(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_items_count(self, "srem", args, nargs, kwnames,
                         [](Store& s, std::string_view k, KeyList m) { return s.srem(k, m); });
}

PyObject* m_smembers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_only(
      self, "smembers", args, nargs, kwnames, [](Store& s, std::string_view k) { return s.smembers(k); },
      set_of_bytes);
}

PyObject* m_sismember(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args({"sismember", kKeyMember, 2}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    Bytes member;
    if (!to_bytes(a[0], key) || !to_bytes(a[1], member)) return nullptr;
    auto r = store_call([&] { return store_of(self).sismember(key.view, member.view); });
    if (!r.ok()) return raise_store_error(r.error());
    return py_bool(r.value());
  });
}

PyObject* m_scard(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_only(
      self, "scard", args, nargs, kwnames, [](Store& s, std::string_view k) { return s.scard(k); }, py_u64);
}

#define MEVORA_FAST(name, doc) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_##name)), METH_FASTCALL | METH_KEYWORDS, doc}
#define MEVORA_NOARGS(name, doc) {#name, m_##name, METH_NOARGS, doc}
#define MEVORA_KEYS2(name, fn, doc) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, doc}

}  // namespace

bool mapping_pairs(PyObject* mapping, MappingPairs& out) {
  PyRef items_fn(PyObject_GetAttrString(mapping, "items"));
  if (!items_fn) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "expected a mapping, not %s", type_name(mapping).c_str());
    }
    return false;
  }
  PyRef items(PyObject_CallObject(items_fn.get(), nullptr));
  if (!items) return false;
  PyRef it(PyObject_GetIter(items.get()));
  if (!it) return false;
  while (PyRef item = PyRef(PyIter_Next(it.get()))) {
    if (!PyTuple_Check(item.get())) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'tuple'", type_name(item.get()).c_str());
      return false;
    }
    const Py_ssize_t n = PyTuple_Size(item.get());
    if (n != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
      return false;
    }
    out.conv.emplace_back();
    if (!to_bytes(PyTuple_GetItem(item.get(), 0), out.conv.back())) return false;
    out.conv.emplace_back();
    if (!to_bytes(PyTuple_GetItem(item.get(), 1), out.conv.back())) return false;
    out.held.push_back(std::move(item));
  }
  return !PyErr_Occurred();
}

std::vector<KeyValue> MappingPairs::views() const {
  std::vector<KeyValue> pairs;
  pairs.reserve(conv.size() / 2);
  for (std::size_t i = 0; i + 1 < conv.size(); i += 2) pairs.emplace_back(conv[i].view, conv[i + 1].view);
  return pairs;
}

PyMethodDef kCacheMethods[] = {
    MEVORA_NOARGS(close, "close($self)\n--\n\n"),
    MEVORA_NOARGS(save,
                  "save($self)\n--\n\nWrites a snapshot now. Raises OSError on I/O failure, ValueError if "
                  "persistence is off."),
    MEVORA_FAST(set,
                "set($self, key, value, ex=None, px=None, nx=False, xx=False, get=False, keepttl=False, "
                "exat=None, pxat=None)\n--\n\n"),
    MEVORA_FAST(get, "get($self, key)\n--\n\n"),
    MEVORA_FAST(mget, "mget($self, keys)\n--\n\n"),
    MEVORA_FAST(mset, "mset($self, mapping)\n--\n\n"),
    MEVORA_FAST(incr, "incr($self, key, amount=1)\n--\n\n"),
    MEVORA_FAST(decr, "decr($self, key, amount=1)\n--\n\n"),
    MEVORA_FAST(append, "append($self, key, value)\n--\n\n"),
    MEVORA_FAST(delete, "delete($self, *keys)\n--\n\n"),
    MEVORA_FAST(exists, "exists($self, key)\n--\n\n"),
    MEVORA_FAST(expire, "expire($self, key, seconds)\n--\n\n"),
    MEVORA_FAST(pexpire, "pexpire($self, key, milliseconds)\n--\n\n"),
    MEVORA_FAST(persist, "persist($self, key)\n--\n\n"),
    MEVORA_FAST(ttl,
                "ttl($self, key)\n--\n\nRemaining TTL in whole seconds, rounded up. -2 if missing, -1 if no "
                "expiry."),
    MEVORA_FAST(pttl, "pttl($self, key)\n--\n\n"),
    MEVORA_FAST(keys, "keys($self, pattern=\"*\")\n--\n\n"),
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cache_scan)), METH_FASTCALL | METH_KEYWORDS,
     "scan($self, cursor=0, match=None, count=None, type=None)\n--\n\n"
     "One step of a cursor iteration: returns (next_cursor, keys). Start with\n"
     "cursor 0 and pass each returned cursor back until it is 0. Every key that\n"
     "exists for the whole iteration is returned at least once, also while keys\n"
     "are added and removed; a key may come more than once. Each call does about\n"
     "`count` (default 10) steps of work. `match` is a glob pattern (str or\n"
     "bytes), `type` one of 'string', 'list', 'hash', 'set'."},
    {"scan_iter", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cache_scan_iter)),
     METH_FASTCALL | METH_KEYWORDS,
     "scan_iter($self, match=None, count=None, type=None)\n--\n\n"
     "An iterator over the keys (bytes), fetching them `count` steps at a time\n"
     "with the guarantee of `scan`; it never builds one list of all keys."},
    MEVORA_NOARGS(flush, "flush($self)\n--\n\n"),
    MEVORA_FAST(hset, "hset($self, key, field, value)\n--\n\n"),
    MEVORA_FAST(hget, "hget($self, key, field)\n--\n\n"),
    MEVORA_FAST(hdel, "hdel($self, key, *fields)\n--\n\n"),
    MEVORA_FAST(hgetall, "hgetall($self, key)\n--\n\n"),
    MEVORA_FAST(hlen, "hlen($self, key)\n--\n\n"),
    MEVORA_FAST(lpush, "lpush($self, key, *values)\n--\n\n"),
    MEVORA_FAST(rpush, "rpush($self, key, *values)\n--\n\n"),
    MEVORA_FAST(lpop,
                "lpop($self, key, count=None)\n--\n\nThe first item, or None. With `count`, a list of up to "
                "`count` items from the head (None for a missing key)."),
    MEVORA_FAST(rpop,
                "rpop($self, key, count=None)\n--\n\nThe last item, or None. With `count`, a list of up to "
                "`count` items from the tail (None for a missing key)."),
    MEVORA_FAST(lrange, "lrange($self, key, start, stop)\n--\n\n"),
    MEVORA_FAST(llen, "llen($self, key)\n--\n\n"),
    MEVORA_FAST(sadd, "sadd($self, key, *members)\n--\n\n"),
    MEVORA_FAST(srem, "srem($self, key, *members)\n--\n\n"),
    MEVORA_FAST(smembers, "smembers($self, key)\n--\n\n"),
    MEVORA_FAST(sismember, "sismember($self, key, member)\n--\n\n"),
    MEVORA_FAST(scard, "scard($self, key)\n--\n\n"),
#define MEVORA_MORE(name, doc) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cache_##name)), METH_FASTCALL | METH_KEYWORDS, doc}
    MEVORA_MORE(hmget, "hmget($self, key, *fields)\n--\n\nThe values of the fields in order; None for a missing one."),
    MEVORA_MORE(hmset, "hmset($self, key, mapping)\n--\n\nSets every field of `mapping` in one step."),
    MEVORA_MORE(hsetnx,
                "hsetnx($self, key, field, value)\n--\n\nSets the field only if the hash lacks it; True when set."),
    MEVORA_MORE(hexists, "hexists($self, key, field)\n--\n\n"),
    MEVORA_MORE(hkeys, "hkeys($self, key)\n--\n\nThe fields (a list of bytes)."),
    MEVORA_MORE(hvals, "hvals($self, key)\n--\n\nThe values (a list of bytes), in the order of hkeys."),
    MEVORA_MORE(hstrlen, "hstrlen($self, key, field)\n--\n\nThe length of the field's value; 0 when missing."),
    MEVORA_MORE(hincrby,
                "hincrby($self, key, field, amount=1)\n--\n\nAdds `amount` to the field's integer value (missing: "
                "0) and returns the result. ValueError when the value is not an integer or the result overflows."),
    MEVORA_MORE(hincrbyfloat,
                "hincrbyfloat($self, key, field, amount=1.0)\n--\n\nAdds `amount` to the field's float value "
                "(missing: 0) and returns the result. ValueError when the value is not a float or the result "
                "would be NaN or infinite."),
    MEVORA_MORE(hrandfield,
                "hrandfield($self, key, count=None, withvalues=False)\n--\n\nWithout `count`, one random field "
                "(None for a missing key). With `count` >= 0, a list of up to `count` distinct fields; with a "
                "negative `count`, -count fields that may repeat. `withvalues` gives (field, value) tuples."),
    MEVORA_MORE(hscan,
                "hscan($self, key, cursor=0, match=None, count=None)\n--\n\nOne step of a cursor iteration over "
                "the hash: returns (next_cursor, {field: value}). Every field present for the whole iteration is "
                "returned at least once, also while fields come and go; `count` (default 10) bounds the work."),
    MEVORA_MORE(lindex, "lindex($self, key, index)\n--\n\nThe item at index (negative: from the end), or None."),
    MEVORA_MORE(lpos,
                "lpos($self, key, value, rank=None, count=None, maxlen=None)\n--\n\nThe position of the first "
                "item equal to value, or None; `rank` r starts with the r-th match (negative: from the end), "
                "`count` returns a list of up to that many positions (0: all), `maxlen` looks at that many items."),
    MEVORA_MORE(lpushx, "lpushx($self, key, *values)\n--\n\nPushes onto an existing list only; 0 when missing."),
    MEVORA_MORE(rpushx, "rpushx($self, key, *values)\n--\n\nAppends to an existing list only; 0 when missing."),
    MEVORA_MORE(ltrim,
                "ltrim($self, key, start, stop)\n--\n\nKeeps the items from start to stop (inclusive, as in "
                "lrange); the key goes when none are left."),
    MEVORA_MORE(lset,
                "lset($self, key, index, value)\n--\n\nReplaces the item at index. KeyError for a missing key, "
                "IndexError for an index out of range."),
    MEVORA_MORE(linsert,
                "linsert($self, key, where, pivot, value)\n--\n\nInserts value 'before' or 'after' the first item "
                "equal to pivot: the new length, -1 when pivot is absent, 0 when the key is missing."),
    MEVORA_MORE(lrem,
                "lrem($self, key, count, value)\n--\n\nRemoves items equal to value: the first `count` (count > "
                "0), the last -count (count < 0) or all (0); returns how many."),
    MEVORA_MORE(lmove,
                "lmove($self, source, destination, wherefrom, whereto)\n--\n\nMoves the item at the 'left' or "
                "'right' end of source to that end of destination in one step; returns it, or None when source is "
                "missing."),
    MEVORA_MORE(rpoplpush,
                "rpoplpush($self, source, destination)\n--\n\nlmove(source, destination, 'right', 'left')."),
    MEVORA_MORE(smismember, "smismember($self, key, *members)\n--\n\nWhether each member is in the set (bools)."),
    MEVORA_MORE(srandmember,
                "srandmember($self, key, count=None)\n--\n\nWithout `count`, one random member (None for a "
                "missing key). With `count` >= 0, a list of up to `count` distinct members; with a negative "
                "`count`, -count members that may repeat."),
    MEVORA_MORE(spop,
                "spop($self, key, count=None)\n--\n\nRemoves and returns a random member (None when missing); "
                "with `count`, a set of up to `count` members."),
    MEVORA_MORE(sscan,
                "sscan($self, key, cursor=0, match=None, count=None)\n--\n\nOne step of a cursor iteration over "
                "the set: returns (next_cursor, [members]). Every member present for the whole iteration is "
                "returned at least once, also while members come and go; `count` (default 10) bounds the work."),
    MEVORA_MORE(smove,
                "smove($self, source, destination, member)\n--\n\nMoves member from the set source to the set "
                "destination in one step: True when it was in source, False (nothing changed) when not."),
    MEVORA_MORE(sinter,
                "sinter($self, key, *keys)\n--\n\nThe members of every one of the sets, as a set (a missing key "
                "is an empty set); all keys are read at one instant."),
    MEVORA_MORE(sunion,
                "sunion($self, key, *keys)\n--\n\nThe members of any of the sets, as a set (a missing key is an "
                "empty set); all keys are read at one instant."),
    MEVORA_MORE(sdiff,
                "sdiff($self, key, *keys)\n--\n\nThe members of the first set that are in none of the others, as "
                "a set (a missing key is an empty set); all keys are read at one instant."),
    MEVORA_MORE(sinterstore,
                "sinterstore($self, destination, key, *keys)\n--\n\nStores sinter(key, *keys) as the set under "
                "destination, replacing whatever it held (an empty result removes it), in one step; returns "
                "its size."),
    MEVORA_MORE(sunionstore,
                "sunionstore($self, destination, key, *keys)\n--\n\nStores sunion(key, *keys) as the set under "
                "destination, replacing whatever it held (an empty result removes it), in one step; returns "
                "its size."),
    MEVORA_MORE(sdiffstore,
                "sdiffstore($self, destination, key, *keys)\n--\n\nStores sdiff(key, *keys) as the set under "
                "destination, replacing whatever it held (an empty result removes it), in one step; returns "
                "its size."),
    MEVORA_MORE(sintercard,
                "sintercard($self, keys, limit=0)\n--\n\nThe size of the intersection of the sets under `keys` "
                "(an iterable of at least one key), counting no further than `limit` (0: no limit)."),
#undef MEVORA_MORE
    MEVORA_FAST(getset, "getset($self, key, value)\n--\n\n"),
    MEVORA_FAST(getdel, "getdel($self, key)\n--\n\n"),
    {"transaction", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cache_transaction)),
     METH_FASTCALL | METH_KEYWORDS,
     "transaction($self, watch=())\n--\n\nA Transaction: calls on it run atomically when its `with` block ends. "
     "Raises WatchError there if a key in `watch` changed since this call."},
    // keys and strings, second group (cache_key_methods.cc)
    MEVORA_KEYS2(type, cache_type_of,
                 "type($self, key)\n--\n\nThe kind of value under key: 'string', 'list', 'hash', 'set', or "
                 "'none' when absent."),
    MEVORA_KEYS2(rename, cache_rename,
                 "rename($self, src, dst)\n--\n\nMoves the value of src, with its expiry, to dst, replacing what "
                 "dst held. Raises KeyError if src does not exist."),
    MEVORA_KEYS2(renamenx, cache_renamenx,
                 "renamenx($self, src, dst)\n--\n\nLike rename, but only when dst does not exist: returns "
                 "whether it moved. Raises KeyError if src does not exist."),
    MEVORA_KEYS2(expireat, cache_expireat,
                 "expireat($self, key, when)\n--\n\nExpires key at the Unix time `when` (seconds); a time "
                 "already past removes it. Returns whether key existed."),
    MEVORA_KEYS2(pexpireat, cache_pexpireat,
                 "pexpireat($self, key, when)\n--\n\nexpireat with `when` in Unix milliseconds."),
    MEVORA_KEYS2(expiretime, cache_expiretime,
                 "expiretime($self, key)\n--\n\nThe Unix time (seconds) key expires at: -2 if missing, -1 if "
                 "it has no expiry."),
    MEVORA_KEYS2(pexpiretime, cache_pexpiretime,
                 "pexpiretime($self, key)\n--\n\nexpiretime in Unix milliseconds."),
    MEVORA_KEYS2(touch, cache_touch, "touch($self, *keys)\n--\n\nHow many of keys exist (each repeat counts)."),
    {"randomkey", cache_randomkey, METH_NOARGS,
     "randomkey($self)\n--\n\nA key drawn at random, or None when the cache is empty."},
    MEVORA_KEYS2(strlen, cache_strlen, "strlen($self, key)\n--\n\nLength of the string value, 0 if missing."),
    MEVORA_KEYS2(getrange, cache_getrange,
                 "getrange($self, key, start, end)\n--\n\nThe bytes of the string from start to end inclusive; "
                 "negative indexes count from the end."),
    MEVORA_KEYS2(setrange, cache_setrange,
                 "setrange($self, key, offset, value)\n--\n\nOverwrites the string from offset, padding with "
                 "zero bytes; returns the new length. ValueError past 512 MiB."),
    MEVORA_KEYS2(msetnx, cache_msetnx,
                 "msetnx($self, mapping)\n--\n\nSets every pair only if none of the keys exists; returns "
                 "whether it did."),
    MEVORA_KEYS2(incrbyfloat, cache_incrbyfloat,
                 "incrbyfloat($self, key, amount)\n--\n\nAdds amount to the float value (0 if missing) and "
                 "returns the new value."),
    MEVORA_KEYS2(getex, cache_getex,
                 "getex($self, key, ex=None, px=None, exat=None, pxat=None, persist=False)\n--\n\nThe string "
                 "value, setting or removing its expiry as the one option given says."),
    // For the text caches of the Python layer.
    MEVORA_KEYS2(_decode_reads, m_decode_reads, "_decode_reads($self, encoding, errors)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

namespace {

// A bytes-level read with its result decoded by the cache's codec, after
// the store call (so with no lock held).
template <PyObject* (*Read)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* m_decoded(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const std::optional<TextCodec>& text = reinterpret_cast<CacheObject*>(self)->text;
  if (!text) {
    PyErr_SetString(PyExc_TypeError, "this cache has no text codec");
    return nullptr;
  }
  return decode_result(*text, Read(self, args, nargs, kwnames));
}

#define MEVORA_DECODED(name, fn) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_decoded<fn>)), METH_FASTCALL | METH_KEYWORDS, nullptr}

// The methods whose results carry bytes (alone, in containers, or beside
// numbers and flags, as scan's cursor or set's True), named as the methods
// they replace in a text cache's class; make_decoded_reads gives each the
// doc string (and so the signature) of that method.
PyMethodDef kDecodedReads[] = {
    MEVORA_DECODED(set, m_set),
    MEVORA_DECODED(get, m_get),
    MEVORA_DECODED(mget, m_mget),
    MEVORA_DECODED(getset, m_getset),
    MEVORA_DECODED(getdel, m_getdel),
    MEVORA_DECODED(getrange, cache_getrange),
    MEVORA_DECODED(getex, cache_getex),
    MEVORA_DECODED(keys, m_keys),
    MEVORA_DECODED(scan, cache_scan),
    MEVORA_DECODED(hget, m_hget),
    MEVORA_DECODED(hmget, cache_hmget),
    MEVORA_DECODED(hgetall, m_hgetall),
    MEVORA_DECODED(hkeys, cache_hkeys),
    MEVORA_DECODED(hvals, cache_hvals),
    MEVORA_DECODED(hrandfield, cache_hrandfield),
    MEVORA_DECODED(hscan, cache_hscan),
    MEVORA_DECODED(lpop, m_lpop),
    MEVORA_DECODED(rpop, m_rpop),
    MEVORA_DECODED(lindex, cache_lindex),
    MEVORA_DECODED(lrange, m_lrange),
    MEVORA_DECODED(lmove, cache_lmove),
    MEVORA_DECODED(rpoplpush, cache_rpoplpush),
    MEVORA_DECODED(smembers, m_smembers),
    MEVORA_DECODED(srandmember, cache_srandmember),
    MEVORA_DECODED(spop, cache_spop),
    MEVORA_DECODED(sscan, cache_sscan),
    MEVORA_DECODED(sinter, cache_sinter),
    MEVORA_DECODED(sunion, cache_sunion),
    MEVORA_DECODED(sdiff, cache_sdiff),
};

#undef MEVORA_DECODED

}  // namespace

PyObject* make_decoded_reads(PyTypeObject* cache) {
  PyRef reads(PyDict_New());
  if (!reads) return nullptr;
  for (PyMethodDef& def : kDecodedReads) {
    for (const PyMethodDef* m = kCacheMethods; m->ml_name != nullptr; ++m) {
      if (std::string_view(m->ml_name) == def.ml_name) def.ml_doc = m->ml_doc;
    }
    PyRef descr(PyDescr_NewMethod(cache, &def));
    if (!descr || PyDict_SetItemString(reads.get(), def.ml_name, descr.get()) != 0) return nullptr;
  }
  return reads.release();
}

namespace {

// Raises the exception KeyError(key) itself, so that a tuple key is not
// taken as the exception's argument list.
void raise_key_error(PyObject* key_obj) {
  PyRef error(PyObject_CallFunctionObjArgs(PyExc_KeyError, key_obj, nullptr));
  if (error) PyErr_SetObject(PyExc_KeyError, error.get());
}

}  // namespace

// The mapping forms of get, set and delete, as type slots: Python-level
// methods would cost a frame of their own on the most dict-like accesses.
PyObject* cache_subscript(PyObject* self, PyObject* key_obj) {
  return guarded([&]() -> PyObject* {
    PyObject* value = get_value(self, key_obj);
    if (value == Py_None) {
      Py_DECREF(value);
      raise_key_error(key_obj);
      return nullptr;
    }
    const std::optional<TextCodec>& text = reinterpret_cast<CacheObject*>(self)->text;
    return text ? decode_result(*text, value) : value;
  });
}

int cache_ass_subscript(PyObject* self, PyObject* key_obj, PyObject* value_obj) {
  if (value_obj != nullptr) {
    PyRef written(plain_set(self, key_obj, value_obj, std::nullopt, false, false));
    return written ? 0 : -1;
  }
  PyRef deleted(guarded([&]() -> PyObject* {
    const std::optional<std::uint64_t> removed = delete_one(self, key_obj);
    if (!removed) return nullptr;
    if (*removed == 0) {
      raise_key_error(key_obj);
      return nullptr;
    }
    return Py_NewRef(Py_None);
  }));
  return deleted ? 0 : -1;
}

}  // namespace mevora::py
