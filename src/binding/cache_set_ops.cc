// The Cache methods of the set operations beyond sadd/srem/smembers/
// sismember/scard: smismember, srandmember, spop, sscan, smove and the set
// algebra (sinter, sunion, sdiff, their store forms, sintercard). Each binds
// and converts its arguments with the GIL held, makes one store call with
// it released and builds the result.
#include <optional>
#include <string>
#include <vector>

#include "binding/args.h"
#include "binding/cache_object.h"
#include "binding/call_support.h"
#include "binding/convert.h"
#include "binding/py_ref.h"

namespace mevora::py {
namespace {

constexpr const char* kKeyCount[] = {"key", "count"};
constexpr const char* kSscan[] = {"key", "cursor", "match", "count"};
constexpr const char* kSmove[] = {"source", "destination", "member"};
constexpr const char* kDestinationKey[] = {"destination", "key"};
constexpr const char* kKeysLimit[] = {"keys", "limit"};

// sinter, sunion, sdiff (name): key, *keys -> a set of bytes.
PyObject* algebra(PyObject* self, const char* name, Store::SetOp op, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  return call_key_items(
      self, name, args, nargs, kwnames,
      [op](Store& s, std::string_view first, KeyList more) {
        std::vector<std::string_view> keys{first};
        keys.insert(keys.end(), more.begin(), more.end());
        return s.set_algebra(op, keys);
      },
      set_of_bytes);
}

// sinterstore, sunionstore, sdiffstore (name): destination, key, *keys ->
// the size of the set stored.
PyObject* algebra_store(PyObject* self, const char* name, Store::SetOp op, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    std::span<PyObject* const> rest;
    if (!bind_args({name, kDestinationKey, 2, true}, args, nargs, kwnames, a, &rest)) return nullptr;
    Bytes destination;
    std::vector<Bytes> keys(1);
    if (!to_bytes(a[0], destination) || !to_bytes(a[1], keys[0])) return nullptr;
    std::vector<Bytes> more;
    if (!to_bytes_all(rest, more)) return nullptr;
    for (Bytes& b : more) keys.push_back(std::move(b));
    const std::vector<std::string_view> views = views_of(keys);
    return call_store(self, [&](Store& s) { return s.set_algebra_store(op, destination.view, views); }, py_u64);
  });
}

}  // namespace

PyObject* cache_smismember(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_key_items(
      self, "smismember", args, nargs, kwnames,
      [](Store& s, std::string_view k, KeyList m) { return s.smismember(k, m); },
      [](const std::vector<bool>& found) { return list_of(found, py_bool); });
}

PyObject* cache_srandmember(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args({"srandmember", kKeyCount, 1}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    std::optional<std::int64_t> count;
    if (a[1] != nullptr && a[1] != Py_None) {
      std::int64_t n = 0;
      if (!to_i64(a[1], "count", n)) return nullptr;
      count = n;
    }
    return call_store(
        self, [&](Store& s) { return s.srandmember(key.view, count); },
        [&](const std::vector<std::string>& picked) -> PyObject* {
          if (!count) return picked.empty() ? Py_NewRef(Py_None) : bytes_from(picked.front());
          return list_of_bytes(picked);
        });
  });
}

PyObject* cache_spop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args({"spop", kKeyCount, 1}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    std::optional<std::uint64_t> count;
    if (a[1] != nullptr && a[1] != Py_None) {
      std::int64_t n = 0;
      if (!to_i64(a[1], "count", n)) return nullptr;
      if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "count can't be negative");
        return nullptr;
      }
      count = static_cast<std::uint64_t>(n);
    }
    return call_store(
        self, [&](Store& s) { return s.spop(key.view, count); },
        [&](const std::vector<std::string>& taken) -> PyObject* {
          if (!count) return taken.empty() ? Py_NewRef(Py_None) : bytes_from(taken.front());
          return set_of_bytes(taken);
        });
  });
}

PyObject* cache_sscan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    if (!bind_args({"sscan", kSscan, 1}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    std::uint64_t cursor = 0;
    if (a[1] != nullptr && !to_u64(a[1], "cursor", cursor)) return nullptr;
    FilterArgs filter;
    if (!convert_filter(a[2], a[3], nullptr, filter)) return nullptr;
    const ScanFilter f = filter.filter();
    return call_store(
        self, [&](Store& s) { return s.sscan(key.view, cursor, f); },
        [](const CollScanPage& page) -> PyObject* {
          PyRef members(list_of_bytes(page.items));
          if (!members) return nullptr;
          PyRef next(py_u64(page.cursor));
          if (!next) return nullptr;
          return PyTuple_Pack(2, next.get(), members.get());
        });
  });
}

PyObject* cache_smove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_args({"smove", kSmove, 3}, args, nargs, kwnames, a)) return nullptr;
    Bytes source, destination, member;
    if (!to_bytes(a[0], source) || !to_bytes(a[1], destination) || !to_bytes(a[2], member)) return nullptr;
    return call_store(
        self, [&](Store& s) { return s.smove(source.view, destination.view, member.view); }, py_bool);
  });
}

PyObject* cache_sinter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return algebra(self, "sinter", Store::SetOp::Inter, args, nargs, kwnames);
}
PyObject* cache_sunion(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return algebra(self, "sunion", Store::SetOp::Union, args, nargs, kwnames);
}
PyObject* cache_sdiff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return algebra(self, "sdiff", Store::SetOp::Diff, args, nargs, kwnames);
}
PyObject* cache_sinterstore(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return algebra_store(self, "sinterstore", Store::SetOp::Inter, args, nargs, kwnames);
}
PyObject* cache_sunionstore(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return algebra_store(self, "sunionstore", Store::SetOp::Union, args, nargs, kwnames);
}
PyObject* cache_sdiffstore(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return algebra_store(self, "sdiffstore", Store::SetOp::Diff, args, nargs, kwnames);
}

PyObject* cache_sintercard(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args({"sintercard", kKeysLimit, 1}, args, nargs, kwnames, a)) return nullptr;
    if (PyUnicode_Check(a[0]) || PyBytes_Check(a[0])) {
      PyErr_SetString(PyExc_TypeError, "argument 'keys': an iterable of keys, not a single key");
      return nullptr;
    }
    std::vector<Bytes> keys;
    if (!to_bytes_iter(a[0], keys)) return nullptr;
    if (keys.empty()) {
      PyErr_SetString(PyExc_ValueError, "sintercard needs at least one key");
      return nullptr;
    }
    std::uint64_t limit = 0;
    if (a[1] != nullptr && a[1] != Py_None) {
      std::int64_t n = 0;
      if (!to_i64(a[1], "limit", n)) return nullptr;
      if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "LIMIT can't be negative");
        return nullptr;
      }
      limit = static_cast<std::uint64_t>(n);
    }
    const std::vector<std::string_view> views = views_of(keys);
    return call_store(self, [&](Store& s) { return s.sintercard(views, limit); }, py_u64);
  });
}

}  // namespace mevora::py
