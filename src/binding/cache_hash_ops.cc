// The Cache methods of the hash operations beyond hset/hget/hdel/hgetall/
// hlen: hmget, hmset, hsetnx, hexists, hkeys, hvals, hstrlen, hincrby,
// hincrbyfloat, hrandfield and hscan. Each binds and converts its
// arguments with the GIL held, makes one store call with it released and
// builds the result.
#include <cmath>
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

constexpr const char* kKey[] = {"key"};
constexpr const char* kKeyMapping[] = {"key", "mapping"};
constexpr const char* kKeyField[] = {"key", "field"};
constexpr const char* kKeyFieldValue[] = {"key", "field", "value"};
constexpr const char* kKeyFieldAmount[] = {"key", "field", "amount"};
constexpr const char* kRandField[] = {"key", "count", "withvalues"};
constexpr const char* kHscan[] = {"key", "cursor", "match", "count"};

// Binds (key, field) and converts both.
bool key_field(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bytes& key,
               Bytes& field) {
  PyObject* a[2];
  if (!bind_args({name, kKeyField, 2}, args, nargs, kwnames, a)) return false;
  return to_bytes(a[0], key) && to_bytes(a[1], field);
}

}  // namespace

PyObject* cache_hmget(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_key_items(
      self, "hmget", args, nargs, kwnames, [](Store& s, std::string_view k, KeyList f) { return s.hmget(k, f); },
      [](const std::vector<std::optional<std::string>>& values) { return list_of(values, optional_bytes); });
}

PyObject* cache_hmset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args({"hmset", kKeyMapping, 2}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    MappingPairs pairs;
    if (!mapping_pairs(a[1], pairs)) return nullptr;
    const std::vector<KeyValue> views = pairs.views();
    StoreResult<void> r = store_call([&] { return store_of(self).hmset(key.view, views); });
    if (!r.ok()) return raise_store_error(r.error());
    Py_RETURN_NONE;
  });
}

PyObject* cache_hsetnx(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_args({"hsetnx", kKeyFieldValue, 3}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    Bytes field;
    Bytes value;
    if (!to_bytes(a[0], key) || !to_bytes(a[1], field) || !to_bytes(a[2], value)) return nullptr;
    return call_store(
        self, [&](Store& s) { return s.hsetnx(key.view, field.view, value.view); }, py_bool);
  });
}

PyObject* cache_hexists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bytes key;
    Bytes field;
    if (!key_field("hexists", args, nargs, kwnames, key, field)) return nullptr;
    return call_store(
        self, [&](Store& s) { return s.hexists(key.view, field.view); }, py_bool);
  });
}

PyObject* cache_hstrlen(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Bytes key;
    Bytes field;
    if (!key_field("hstrlen", args, nargs, kwnames, key, field)) return nullptr;
    return call_store(
        self, [&](Store& s) { return s.hstrlen(key.view, field.view); },
        [](std::uint64_t n) { return py_u64(n); });
  });
}

// hkeys and hvals: (key) -> list of bytes.
template <class Op>
PyObject* key_to_list(PyObject* self, const char* name, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Op op) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_args({name, kKey, 1}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    return call_store(
        self, [&](Store& s) { return op(s, key.view); },
        [](const std::vector<std::string>& items) { return list_of_bytes(items); });
  });
}

PyObject* cache_hkeys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_to_list(self, "hkeys", args, nargs, kwnames, [](Store& s, std::string_view k) { return s.hkeys(k); });
}

PyObject* cache_hvals(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return key_to_list(self, "hvals", args, nargs, kwnames, [](Store& s, std::string_view k) { return s.hvals(k); });
}

PyObject* cache_hincrby(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_args({"hincrby", kKeyFieldAmount, 2}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    Bytes field;
    std::int64_t amount = 1;
    if (!to_bytes(a[0], key) || !to_bytes(a[1], field)) return nullptr;
    if (a[2] != nullptr && !to_i64(a[2], "amount", amount)) return nullptr;
    return call_store(
        self, [&](Store& s) { return s.hincrby(key.view, field.view, amount); },
        [](std::int64_t v) { return py_i64(v); });
  });
}

PyObject* cache_hincrbyfloat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_args({"hincrbyfloat", kKeyFieldAmount, 2}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    Bytes field;
    double amount = 1.0;
    if (!to_bytes(a[0], key) || !to_bytes(a[1], field)) return nullptr;
    if (a[2] != nullptr) {
      if (!PyFloat_Check(a[2]) && !PyLong_Check(a[2])) {
        PyErr_Format(PyExc_TypeError, "argument 'amount': expected float or int, not %s", type_name(a[2]).c_str());
        return nullptr;
      }
      amount = PyFloat_AsDouble(a[2]);
      if (amount == -1.0 && PyErr_Occurred()) return nullptr;
      if (!std::isfinite(amount)) return raise_store_error(StoreError::NotFloat);
    }
    return call_store(
        self, [&](Store& s) { return s.hincrbyfloat(key.view, field.view, amount); },
        [](const std::string& text) { return PyFloat_FromDouble(std::stod(text)); });
  });
}

PyObject* cache_hrandfield(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_args({"hrandfield", kRandField, 1}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    std::optional<std::int64_t> count;
    if (a[1] != nullptr && a[1] != Py_None) {
      std::int64_t n = 0;
      if (!to_i64(a[1], "count", n)) return nullptr;
      count = n;
    }
    bool with_values = false;
    if (a[2] != nullptr && !to_flag(a[2], "withvalues", with_values)) return nullptr;
    if (with_values && !count) {
      PyErr_SetString(PyExc_ValueError, "withvalues needs a count");
      return nullptr;
    }
    return call_store(
        self, [&](Store& s) { return s.hrandfield(key.view, count, with_values); },
        [&](const std::vector<std::pair<std::string, std::string>>& picked) -> PyObject* {
          if (!count) return picked.empty() ? Py_NewRef(Py_None) : bytes_from(picked.front().first);
          return list_of(picked, [&](const std::pair<std::string, std::string>& p) -> PyObject* {
            if (!with_values) return bytes_from(p.first);
            PyRef f(bytes_from(p.first));
            PyRef v(bytes_from(p.second));
            if (!f || !v) return nullptr;
            return PyTuple_Pack(2, f.get(), v.get());
          });
        });
  });
}

PyObject* cache_hscan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    if (!bind_args({"hscan", kHscan, 1}, args, nargs, kwnames, a)) return nullptr;
    Bytes key;
    if (!to_bytes(a[0], key)) return nullptr;
    std::uint64_t cursor = 0;
    if (a[1] != nullptr && !to_u64(a[1], "cursor", cursor)) return nullptr;
    FilterArgs filter;
    if (!convert_filter(a[2], a[3], nullptr, filter)) return nullptr;
    const ScanFilter f = filter.filter();
    return call_store(
        self, [&](Store& s) { return s.hscan(key.view, cursor, f); },
        [](const CollScanPage& page) -> PyObject* {
          PyRef dict(PyDict_New());
          if (!dict) return nullptr;
          for (std::size_t i = 0; i + 1 < page.items.size(); i += 2) {
            PyRef fk(bytes_from(page.items[i]));
            PyRef fv(bytes_from(page.items[i + 1]));
            if (!fk || !fv || PyDict_SetItem(dict.get(), fk.get(), fv.get()) != 0) return nullptr;
          }
          PyRef next(py_u64(page.cursor));
          if (!next) return nullptr;
          return PyTuple_Pack(2, next.get(), dict.get());
        });
  });
}

}  // namespace mevora::py
