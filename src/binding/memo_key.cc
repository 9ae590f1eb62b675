// The argument text of a memoized call (see memo_key.h). The rules mirror
// _canon and _args_text in python/mevora/_memoize.py:
//   None, int, str, bytes -> repr(x)
//   bool                  -> repr(x) when typed, else repr(int(x))
//   float                 -> repr(int(x)) when not typed and integral, else repr(x)
//   tuple                 -> "t(" + the items' texts joined by "," + ")"
// The arguments' texts are joined by ","; keyword arguments follow after a
// ";" as name=text, sorted by name. A lone int or str positional argument is
// its repr whatever its length; any other text longer than 200 characters
// is replaced by a digest on the Python side, so it is left to that side.
//
// Only the exact built-in types are handled (a subclass may have its own
// repr). repr runs no caller code for them; when it fails (out of memory, an
// int too long to print) the error is dropped here and the Python side,
// doing the same work, raises it.
#include "binding/memo_key.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/py_ref.h"

namespace mevora::py {
namespace {

constexpr std::size_t kMaxInline = 200;  // characters, as the Python side counts them
constexpr int kMaxDepth = 16;            // nested tuples beyond this go to the Python side

// The UTF-8 of a str; false (and no exception) when it has none.
bool utf8_of(PyObject* text, std::string_view& out) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(text, &n);
  if (s == nullptr) {
    PyErr_Clear();
    return false;
  }
  out = std::string_view(s, static_cast<std::size_t>(n));
  return true;
}

bool append_repr(PyObject* x, KeyBuffer& out) {
  PyRef r(PyObject_Repr(x));
  std::string_view s;
  if (!r) {
    PyErr_Clear();
    return false;
  }
  if (!utf8_of(r.get(), s)) return false;
  out.append(s);
  return true;
}

// True when repr of a str or bytes with this content is the content between
// single quotes: printable ASCII without a quote or backslash.
bool plain_quotable(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c >= 0x20 && c < 0x7f && c != '\'' && c != '\\';
  });
}

void append_int(long long v, KeyBuffer& out) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
}

bool append_canon(PyObject* x, bool typed, int depth, KeyBuffer& out);

bool append_items(PyObject* tuple, bool typed, int depth, KeyBuffer& out) {
  const Py_ssize_t n = PyTuple_Size(tuple);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i > 0) out.push_back(',');
    if (!append_canon(PyTuple_GetItem(tuple, i), typed, depth, out)) return false;
  }
  return true;
}

bool append_canon(PyObject* x, bool typed, int depth, KeyBuffer& out) {
  if (x == Py_None) {
    out.append("None");
    return true;
  }
  if (PyLong_CheckExact(x)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
    if (overflow != 0) return append_repr(x, out);
    append_int(v, out);
    return true;
  }
  if (PyUnicode_CheckExact(x)) {
    std::string_view s;
    if (!utf8_of(x, s)) return append_repr(x, out);  // lone surrogates: repr escapes them
    if (!plain_quotable(s)) return append_repr(x, out);
    out.push_back('\'');
    out.append(s);
    out.push_back('\'');
    return true;
  }
  if (PyBool_Check(x)) {
    const bool v = x == Py_True;
    out.append(typed ? (v ? "True" : "False") : (v ? "1" : "0"));
    return true;
  }
  if (PyBytes_CheckExact(x)) {
    char* data = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(x, &data, &n) != 0) {
      PyErr_Clear();
      return false;
    }
    const std::string_view s(data, static_cast<std::size_t>(n));
    if (!plain_quotable(s)) return append_repr(x, out);
    out.append("b'");
    out.append(s);
    out.push_back('\'');
    return true;
  }
  if (PyFloat_CheckExact(x)) {
    const double v = PyFloat_AsDouble(x);
    if (typed || !std::isfinite(v) || v != std::trunc(v)) return append_repr(x, out);
    if (std::fabs(v) < 0x1p62) {
      append_int(static_cast<long long>(v), out);
      return true;
    }
    PyRef as_int(PyLong_FromDouble(v));
    if (!as_int) {
      PyErr_Clear();
      return false;
    }
    return append_repr(as_int.get(), out);
  }
  if (PyTuple_CheckExact(x)) {
    if (depth >= kMaxDepth) return false;
    out.append("t(");
    if (!append_items(x, typed, depth + 1, out)) return false;
    out.push_back(')');
    return true;
  }
  return false;
}

// Characters (code points) of valid UTF-8.
std::size_t code_points(std::string_view s) {
  return static_cast<std::size_t>(
      std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

bool memo_args_text(PyObject* args, PyObject* kwargs, bool typed, KeyBuffer& out) {
  const std::size_t start = out.size();
  const bool no_kwargs = kwargs == nullptr || PyDict_Size(kwargs) == 0;
  if (no_kwargs && PyTuple_Size(args) == 1) {
    PyObject* only = PyTuple_GetItem(args, 0);  // borrowed
    if (PyLong_CheckExact(only) || PyUnicode_CheckExact(only)) return append_canon(only, typed, 0, out);
  }
  if (!append_items(args, typed, 0, out)) return false;
  if (!no_kwargs) {
    std::vector<std::pair<std::string_view, PyObject*>> named;  // values borrowed from kwargs
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      std::string_view s;
      if (!PyUnicode_CheckExact(name) || !utf8_of(name, s)) return false;
      named.emplace_back(s, value);
    }
    // UTF-8 byte order is code point order, the order of Python's sort.
    std::sort(named.begin(), named.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    out.push_back(';');
    for (std::size_t i = 0; i < named.size(); ++i) {
      if (i > 0) out.push_back(',');
      out.append(named[i].first);
      out.push_back('=');
      if (!append_canon(named[i].second, typed, 0, out)) return false;
    }
  }
  const std::string_view text = out.view().substr(start);
  return text.size() <= kMaxInline || code_points(text) <= kMaxInline;
}

}  // namespace mevora::py
