// The Cache methods of the second group of key and string operations:
// type, rename, renamenx, expireat, pexpireat, expiretime, pexpiretime,
// touch, randomkey, strlen, getrange, setrange, msetnx, incrbyfloat and
// getex. Each binds and converts its arguments with the GIL held, makes
// one store call with it released, then builds the result or raises.
#include <cmath>
#include <limits>

#include "binding/args.h"
#include "binding/cache_object.h"
#include "binding/call_support.h"
#include "binding/convert.h"
#include "binding/py_ref.h"

namespace mevora::py {
namespace {

constexpr const char* kKey[] = {"key"};
constexpr const char* kSrcDst[] = {"src", "dst"};
constexpr const char* kKeyWhen[] = {"key", "when"};
constexpr const char* kKeyStartEnd[] = {"key", "start", "end"};
constexpr const char* kKeyOffsetValue[] = {"key", "offset", "value"};
constexpr const char* kMapping[] = {"mapping"};
constexpr const char* kKeyAmount[] = {"key", "amount"};
constexpr const char* kGetEx[] = {"key", "ex", "px", "exat", "pxat", "persist"};

PyObject* type_text(std::optional<KeyKind> kind) {
  const char* name = "none";
  if (kind) {
    switch (*kind) {
      case KeyKind::String: name = "string"; break;
      case KeyKind::List: name = "list"; break;
      case KeyKind::Hash: name = "hash"; break;
      case KeyKind::Set: name = "set"; break;
    }
  }
  return PyUnicode_FromString(name);
}

// The one key argument of `name`, converted; false with an exception set.
bool one_key(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bytes& key) {
  PyObject* a[1];
  return bind_args({name, kKey, 1}, args, nargs, kwnames, a) && to_bytes(a[0], key);
}

PyObject* rename_common(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool nx) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args({nx ? "renamenx" : "rename", kSrcDst, 2}, args, nargs, kwnames, a)) return nullptr;
    Bytes src;
    Bytes dst;
    if (!to_bytes(a[0], src) || !to_bytes(a[1], dst)) return nullptr;
    auto r = store_call([&] { return store_of(self).rename(src.view, dst.view, nx); });
    if (!r.ok()) return raise_store_error(r.error());
    if (nx) return py_bool(r.value());
    Py_RETURN_NONE;
  });
}

PyObject* expireat_common(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          bool seconds) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args({seconds ? "expireat" : "pexpireat", kKeyWhen, 2}, args, nargs, kwnames, a)) return nullptr;
    std::int64_t when = 0;
    if (!to_i64(a[1], "when", when)) return nullptr;
    if (seconds && when > std::numeric_limits<std::int64_t>::max() / 1000) {
      PyErr_SetString(PyExc_ValueError, "when is too large");
      return nullptr;
    }
    // A time at or before now (negative included) removes the key.
    const std::uint64_t unix_ms = when < 0 ? 0 : static_cast<std::uint64_t>(seconds ? when * 1000 : when);
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    auto r = store_call([&] { return store_of(self).pexpireat(key.view, unix_ms); });
    if (!r.ok()) return raise_store_error(r.error());
    return py_bool(r.value());
  });
}

PyObject* expiretime_common(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            bool seconds) {
  return guarded([&]() -> PyObject* {
    Bytes key;
    if (!one_key(seconds ? "expiretime" : "pexpiretime", args, nargs, kwnames, key)) return nullptr;
    const std::int64_t ms = store_call([&] { return store_of(self).pexpiretime(key.view); });
    return py_i64(ms < 0 || !seconds ? ms : ms / 1000);
  });
}

}  // namespace

PyObject* cache_type_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bytes key;
    if (!one_key("type", args, nargs, kwnames, key)) return nullptr;
    return type_text(store_call([&] { return store_of(self).type(key.view); }));
  });
}

PyObject* cache_rename(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return rename_common(self, args, nargs, kwnames, false);
}

PyObject* cache_renamenx(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return rename_common(self, args, nargs, kwnames, true);
}

PyObject* cache_expireat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return expireat_common(self, args, nargs, kwnames, true);
}

PyObject* cache_pexpireat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return expireat_common(self, args, nargs, kwnames, false);
}

PyObject* cache_expiretime(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return expiretime_common(self, args, nargs, kwnames, true);
}

PyObject* cache_pexpiretime(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return expiretime_common(self, args, nargs, kwnames, false);
}

PyObject* cache_touch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::span<PyObject* const> rest;
    PyObject* unused[1];
    if (!bind_args({"touch", std::span<const char* const>(kKey, 0), 0, true}, args, nargs, kwnames, unused, &rest)) {
      return nullptr;
    }
    std::vector<Bytes> keys;
    if (!to_bytes_all(rest, keys)) return nullptr;
    const std::vector<std::string_view> views = views_of(keys);
    return py_u64(store_call([&] { return store_of(self).touch(views); }));
  });
}

PyObject* cache_randomkey(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return optional_bytes(store_call([&] { return store_of(self).randomkey(); })); });
}

PyObject* cache_strlen(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bytes key;
    if (!one_key("strlen", args, nargs, kwnames, key)) return nullptr;
    auto r = store_call([&] { return store_of(self).strlen(key.view); });
    if (!r.ok()) return raise_store_error(r.error());
    return py_u64(r.value());
  });
}

PyObject* cache_getrange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_args({"getrange", kKeyStartEnd, 3}, args, nargs, kwnames, a)) return nullptr;
    std::int64_t start = 0;
    std::int64_t end = 0;
    if (!to_i64(a[1], "start", start) || !to_i64(a[2], "end", end)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    auto r = store_call([&] { return store_of(self).getrange(key.view, start, end); });
    if (!r.ok()) return raise_store_error(r.error());
    return bytes_from(r.value());
  });
}

PyObject* cache_setrange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_args({"setrange", kKeyOffsetValue, 3}, args, nargs, kwnames, a)) return nullptr;
    std::int64_t offset = 0;
    if (!to_i64(a[1], "offset", offset)) return nullptr;
    if (offset < 0) {
      PyErr_SetString(PyExc_ValueError, "offset is out of range");
      return nullptr;
    }
    Bytes key;
    Bytes value;
    if (!to_bytes(a[0], key) || !to_bytes(a[2], value)) return nullptr;
    auto r = store_call(
        [&] { return store_of(self).setrange(key.view, static_cast<std::uint64_t>(offset), value.view); });
    if (!r.ok()) return raise_store_error(r.error());
    return py_u64(r.value());
  });
}

PyObject* cache_msetnx(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_args({"msetnx", kMapping, 1}, args, nargs, kwnames, a)) return nullptr;
    MappingPairs mapping;
    if (!mapping_pairs(a[0], mapping)) return nullptr;
    const std::vector<KeyValue> pairs = mapping.views();
    if (pairs.empty()) {
      PyErr_SetString(PyExc_ValueError, "msetnx needs at least one pair");
      return nullptr;
    }
    auto r = store_call([&] { return store_of(self).msetnx(pairs); });
    if (!r.ok()) return raise_store_error(r.error());
    return py_bool(r.value());
  });
}

PyObject* cache_incrbyfloat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args({"incrbyfloat", kKeyAmount, 2}, args, nargs, kwnames, a)) return nullptr;
    if (PyBool_Check(a[1]) || !(PyFloat_Check(a[1]) || PyLong_Check(a[1]))) {
      PyErr_Format(PyExc_TypeError, "amount must be a float or an int, not %s", type_name(a[1]).c_str());
      return nullptr;
    }
    const double amount = PyFloat_AsDouble(a[1]);
    if (amount == -1.0 && PyErr_Occurred()) return nullptr;
    if (!std::isfinite(amount)) return raise_store_error(StoreError::NotFloat);
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    auto r = store_call([&] { return store_of(self).incrbyfloat(key.view, amount); });
    if (!r.ok()) return raise_store_error(r.error());
    return PyFloat_FromDouble(std::strtod(r.value().c_str(), nullptr));
  });
}

PyObject* cache_getex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    using Mode = Store::GetExpiry::Mode;
    PyObject* a[6];
    if (!bind_args({"getex", kGetEx, 1}, args, nargs, kwnames, a)) return nullptr;
    bool persist = false;
    if (a[5] != nullptr && !to_flag(a[5], "persist", persist)) return nullptr;
    Store::GetExpiry expiry;
    int given = persist ? 1 : 0;
    static constexpr const char* kNames[] = {"ex", "px", "exat", "pxat"};
    for (int i = 0; i < 4; ++i) {
      PyObject* v = a[1 + i];
      if (v == nullptr || v == Py_None) continue;
      ++given;
      std::uint64_t n = 0;
      if (!positive_int(v, kNames[i], n)) return nullptr;
      const bool seconds = i == 0 || i == 2;
      if (seconds && n > std::numeric_limits<std::uint64_t>::max() / 1000) {
        PyErr_Format(PyExc_ValueError, "%s is too large", kNames[i]);
        return nullptr;
      }
      expiry.mode = i < 2 ? Mode::After : Mode::At;
      expiry.ms = seconds ? n * 1000 : n;
    }
    if (given > 1) {
      PyErr_SetString(PyExc_ValueError, "ex, px, exat, pxat and persist are mutually exclusive");
      return nullptr;
    }
    if (persist) expiry.mode = Mode::Persist;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    auto r = store_call([&] { return store_of(self).getex(key.view, expiry); });
    if (!r.ok()) return raise_store_error(r.error());
    return optional_bytes(r.value());
  });
}

}  // namespace mevora::py
