// The Cache methods of the list operations beyond the basic pushes, pops
// and ranges: lindex, lpos, lpushx, rpushx, ltrim, lmove, rpoplpush, and
// the count form of lpop and rpop. Each binds and converts its arguments
// with the GIL held, makes one store call with it released and builds the
// result.
#include <limits>
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

using ListEnd = Store::ListEnd;

constexpr const char* kKeyCount[] = {"key", "count"};
constexpr const char* kKeyIndex[] = {"key", "index"};
constexpr const char* kKeyStartStop[] = {"key", "start", "stop"};
constexpr const char* kLpos[] = {"key", "value", "rank", "count", "maxlen"};
constexpr const char* kLmove[] = {"source", "destination", "wherefrom", "whereto"};
constexpr const char* kSourceDestination[] = {"source", "destination"};
constexpr const char* kKeyIndexValue[] = {"key", "index", "value"};
constexpr const char* kKeyCountValue[] = {"key", "count", "value"};
constexpr const char* kLinsert[] = {"key", "where", "pivot", "value"};

// "left" or "right" in any case.
bool to_end(PyObject* obj, const char* name, ListEnd& out) {
  std::string_view text;
  if (!to_utf8(obj, name, text)) return false;
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  if (lower == "left") {
    out = ListEnd::Head;
  } else if (lower == "right") {
    out = ListEnd::Tail;
  } else {
    PyErr_Format(PyExc_ValueError, "%s must be 'left' or 'right'", name);
    return false;
  }
  return true;
}

// A non-negative count, or none given.
bool optional_count(PyObject* obj, const char* name, std::optional<std::uint64_t>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  std::int64_t n = 0;
  if (!to_i64(obj, name, n)) return false;
  if (n < 0) {
    PyErr_Format(PyExc_ValueError, "%s can't be negative", name);
    return false;
  }
  out = static_cast<std::uint64_t>(n);
  return true;
}

PyObject* move(PyObject* self, const Bytes& source, const Bytes& destination, ListEnd from, ListEnd to) {
  return call_store(
      self, [&](Store& s) { return s.lmove(source.view, destination.view, from, to); }, optional_bytes);
}

}  // namespace

PyObject* cache_pop(PyObject* self, const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    Store::ListEnd end) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args({name, kKeyCount, 1}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    std::optional<std::uint64_t> count;
    if (!optional_count(a[1], "count", count)) return nullptr;
    if (!count) {
      return call_store(
          self, [&](Store& s) { return end == ListEnd::Head ? s.lpop(key.view) : s.rpop(key.view); },
          optional_bytes);
    }
    return call_store(
        self, [&](Store& s) { return s.pop_count(key.view, *count, end); },
        [](const std::optional<std::vector<std::string>>& items) -> PyObject* {
          if (!items) Py_RETURN_NONE;
          return list_of_bytes(*items);
        });
  });
}

PyObject* cache_lindex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args({"lindex", kKeyIndex, 2}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    std::int64_t index = 0;
    if (!to_bytes(a[0], key) || !to_i64(a[1], "index", index)) return nullptr;
    return call_store(
        self, [&](Store& s) { return s.lindex(key.view, index); }, optional_bytes);
  });
}

PyObject* cache_lpos(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[5];
    if (!bind_args({"lpos", kLpos, 2}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    Bytes value;
    if (!to_bytes(a[0], key) || !to_bytes(a[1], value)) return nullptr;
    std::int64_t rank = 1;
    if (a[2] != nullptr && a[2] != Py_None) {
      if (!to_i64(a[2], "rank", rank)) return nullptr;
      if (rank == 0 || rank == std::numeric_limits<std::int64_t>::min()) {
        PyErr_SetString(PyExc_ValueError, "rank can't be zero: 1 starts from the first match, -1 from the last");
        return nullptr;
      }
    }
    std::optional<std::uint64_t> count;
    std::optional<std::uint64_t> maxlen;
    if (!optional_count(a[3], "count", count) || !optional_count(a[4], "maxlen", maxlen)) return nullptr;
    return call_store(
        self, [&](Store& s) { return s.lpos(key.view, value.view, rank, count.value_or(1), maxlen.value_or(0)); },
        [&](const std::vector<std::int64_t>& found) -> PyObject* {
          if (!count) return found.empty() ? Py_NewRef(Py_None) : py_i64(found.front());
          return list_of(found, py_i64);
        });
  });
}

// lpushx and rpushx: (key, *values) -> new length, 0 for a missing key.
PyObject* cache_pushx(PyObject* self, const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      ListEnd end) {
  return call_key_items(
      self, name, args, nargs, kwnames,
      [end](Store& s, std::string_view k, KeyList values) { return s.pushx(k, values, end); }, py_u64);
}

PyObject* cache_lpushx(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return cache_pushx(self, "lpushx", args, nargs, kwnames, ListEnd::Head);
}

PyObject* cache_rpushx(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return cache_pushx(self, "rpushx", args, nargs, kwnames, ListEnd::Tail);
}

PyObject* cache_ltrim(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_args({"ltrim", kKeyStartStop, 3}, args, nargs, kwnames, a)) return nullptr;
    std::int64_t start = 0;
    std::int64_t stop = 0;
    if (!to_i64(a[1], "start", start) || !to_i64(a[2], "stop", stop)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    StoreResult<void> r = store_call([&] { return store_of(self).ltrim(key.view, start, stop); });
    if (!r.ok()) return raise_store_error(r.error());
    Py_RETURN_NONE;
  });
}

PyObject* cache_lset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_args({"lset", kKeyIndexValue, 3}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    std::int64_t index = 0;
    Bytes value;
    if (!to_bytes(a[0], key) || !to_i64(a[1], "index", index) || !to_bytes(a[2], value)) return nullptr;
    return call_store(
        self, [&](Store& s) { return s.lset(key.view, index, value.view); },
        [](Store::ListSet outcome) -> PyObject* {
          switch (outcome) {
            case Store::ListSet::Done:
              break;
            case Store::ListSet::NoSuchKey:
              PyErr_SetString(PyExc_KeyError, "no such key");
              return nullptr;
            case Store::ListSet::OutOfRange:
              PyErr_SetString(PyExc_IndexError, "index out of range");
              return nullptr;
          }
          Py_RETURN_NONE;
        });
  });
}

PyObject* cache_linsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    if (!bind_args({"linsert", kLinsert, 4}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    std::string_view where;
    if (!to_utf8(a[1], "where", where)) return nullptr;
    std::string lower(where);
    for (char& ch : lower) ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch + ('a' - 'A') : ch);
    if (lower != "before" && lower != "after") {
      PyErr_SetString(PyExc_ValueError, "where must be 'before' or 'after'");
      return nullptr;
    }
    Bytes pivot;
    Bytes value;
    if (!to_bytes(a[2], pivot) || !to_bytes(a[3], value)) return nullptr;
    const bool after = lower == "after";
    return call_store(
        self, [&](Store& s) { return s.linsert(key.view, after, pivot.view, value.view); },
        py_i64);
  });
}

PyObject* cache_lrem(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_args({"lrem", kKeyCountValue, 3}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    std::int64_t count = 0;
    Bytes value;
    if (!to_bytes(a[0], key) || !to_i64(a[1], "count", count) || !to_bytes(a[2], value)) return nullptr;
    return call_store(
        self, [&](Store& s) { return s.lrem(key.view, count, value.view); },
        [](std::uint64_t n) { return py_u64(n); });
  });
}

PyObject* cache_lmove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    if (!bind_args({"lmove", kLmove, 4}, args, nargs, kwnames, a)) return nullptr;
    Bytes source;
    Bytes destination;
    ListEnd from = ListEnd::Head;
    ListEnd to = ListEnd::Tail;
    if (!to_bytes(a[0], source) || !to_bytes(a[1], destination)) return nullptr;
    if (!to_end(a[2], "wherefrom", from) || !to_end(a[3], "whereto", to)) return nullptr;
    return move(self, source, destination, from, to);
  });
}

PyObject* cache_rpoplpush(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args({"rpoplpush", kSourceDestination, 2}, args, nargs, kwnames, a)) return nullptr;
    Bytes source;
    Bytes destination;
    if (!to_bytes(a[0], source) || !to_bytes(a[1], destination)) return nullptr;
    return move(self, source, destination, ListEnd::Tail, ListEnd::Head);
  });
}

}  // namespace mevora::py
