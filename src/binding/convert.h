// Conversions between Python objects and store arguments and results (the
// translation of errors is in errors.h, included here for every caller).
//
// Every function here needs the GIL. Functions returning bool return false
// with a Python exception set.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/errors.h"
#include "binding/py.h"
#include "binding/py_ref.h"
#include "core/store_types.h"

namespace mevora::py {

// A key, value, field or member converted by `to_bytes`. `view` points into
// an immutable Python object (a bytes object, the UTF-8 cache of a str, or
// the str() of a number held by `keep`), which stays alive while the
// caller holds its argument references, so the bytes may be read with the
// GIL released.
struct Bytes {
  std::string_view view;
  PyRef keep;
};

// bytes -> content; str -> strict UTF-8; bool -> TypeError; int/float ->
// str(obj) as UTF-8; anything else -> TypeError.
bool to_bytes_general(PyObject* obj, Bytes& out);
// The common case (an exact bytes object) is converted in the caller.
inline bool to_bytes(PyObject* obj, Bytes& out) {
  if (Py_IS_TYPE(obj, &PyBytes_Type)) {
    char* data = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &n) != 0) return false;
    out.view = std::string_view(data, static_cast<std::size_t>(n));
    return true;
  }
  return to_bytes_general(obj, out);
}
bool to_bytes_all(std::span<PyObject* const> objs, std::vector<Bytes>& out);
// The same for every item of an iterable, appended to out; each Bytes
// keeps its item alive.
bool to_bytes_iter(PyObject* iterable, std::vector<Bytes>& out);
std::vector<std::string_view> views_of(const std::vector<Bytes>& bytes);

// The __name__ of obj's type.
std::string type_name(PyObject* obj);

// If the pending exception is a TypeError, replaces it with
// TypeError("argument '<name>': <message>"). Always returns false.
bool prefix_type_error(const char* name);

// An int or __index__ object as unsigned / signed 64-bit. A TypeError gets
// the argument-name prefix; OverflowError propagates unchanged.
bool to_u64(PyObject* obj, const char* name, std::uint64_t& out);
bool to_i64(PyObject* obj, const char* name, std::int64_t& out);
// The positive-integer rule: a non-bool int in 1..2^63-1, else ValueError
// "<name> must be a positive integer" / "<name> is out of range".
bool positive_int(PyObject* obj, const char* name, std::uint64_t& out);
// A bool (or NumPy bool scalar) flag; other types raise the prefixed
// TypeError.
bool to_flag(PyObject* obj, const char* name, bool& out);
// A str argument as UTF-8 (other types raise the prefixed TypeError).
bool to_utf8(PyObject* obj, const char* name, std::string_view& out);

// Results.
PyObject* bytes_from(std::string_view s);
PyObject* optional_bytes(const std::optional<std::string>& s);
PyObject* list_of_bytes(const std::vector<std::string>& items);
// A set of bytes objects.
PyObject* set_of_bytes(const std::vector<std::string>& items);
inline PyObject* py_bool(bool b) { return PyBool_FromLong(b ? 1 : 0); }
inline PyObject* py_u64(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* py_i64(std::int64_t v) { return PyLong_FromLongLong(v); }

// A new list holding make(item) (a new reference, or nullptr with the
// exception set) for each item in order; nullptr with the exception set.
template <class Items, class Make>
PyObject* list_of(const Items& items, Make&& make) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    PyObject* v = make(item);
    if (v == nullptr) return nullptr;
    PyList_SetItem(list.get(), i++, v);  // steals v
  }
  return list.release();
}

}  // namespace mevora::py
