// JSON scalars decoded without the json module (see json_scalar.h). Each
// accepted form gives what json.loads gives: integers through int() (exact
// in 64 bits up to 18 digits), other numbers through float() (from_chars
// rounds correctly, as float() does), strings decoded as UTF-8 with
// surrogates passed (json.loads decodes bytes so). Forms outside these
// rules, including every invalid document, are left to json.loads, so
// its errors stay its own.
#include "binding/json_scalar.h"

#include <charconv>
#include <cstdint>
#include <system_error>

namespace mevora::py {
namespace {

constexpr std::size_t kMaxIntDigits = 18;  // always fits in 64 bits

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The end of a run of digits starting at i.
std::size_t digits_end(std::string_view s, std::size_t i) {
  while (i < s.size() && is_digit(s[i])) ++i;
  return i;
}

PyObject* json_number(std::string_view doc) {
  std::size_t i = doc[0] == '-' ? 1 : 0;
  if (i >= doc.size() || !is_digit(doc[i])) return nullptr;
  const std::size_t int_start = i;
  i = doc[i] == '0' ? i + 1 : digits_end(doc, i);
  const std::size_t int_digits = i - int_start;
  bool integral = true;
  if (i < doc.size() && doc[i] == '.') {
    const std::size_t frac = i + 1;
    i = digits_end(doc, frac);
    if (i == frac) return nullptr;
    integral = false;
  }
  if (i < doc.size() && (doc[i] == 'e' || doc[i] == 'E')) {
    std::size_t e = i + 1;
    if (e < doc.size() && (doc[e] == '+' || doc[e] == '-')) ++e;
    i = digits_end(doc, e);
    if (i == e) return nullptr;
    integral = false;
  }
  if (i != doc.size()) return nullptr;
  const char* first = doc.data();
  const char* last = doc.data() + doc.size();
  if (integral) {
    if (int_digits > kMaxIntDigits) return nullptr;
    std::int64_t v = 0;
    const auto r = std::from_chars(first, last, v);
    if (r.ec != std::errc() || r.ptr != last) return nullptr;
    return PyLong_FromLongLong(v);
  }
  double v = 0;
  const auto r = std::from_chars(first, last, v);
  if (r.ec != std::errc() || r.ptr != last) return nullptr;  // out of range: float() decides
  return PyFloat_FromDouble(v);
}

PyObject* json_string(std::string_view doc) {
  if (doc.size() < 2 || doc.back() != '"') return nullptr;
  const std::string_view body = doc.substr(1, doc.size() - 2);
  for (char ch : body) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == '"' || c == '\\') return nullptr;
  }
  PyObject* s = PyUnicode_DecodeUTF8(body.data(), static_cast<Py_ssize_t>(body.size()), "surrogatepass");
  if (s == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) PyErr_Clear();  // json.loads reports it
  return s;
}

}  // namespace

PyObject* json_scalar(std::string_view doc) {
  if (doc.empty()) return nullptr;
  switch (doc[0]) {
    case 'n':
      return doc == "null" ? Py_NewRef(Py_None) : nullptr;
    case 't':
      return doc == "true" ? Py_NewRef(Py_True) : nullptr;
    case 'f':
      return doc == "false" ? Py_NewRef(Py_False) : nullptr;
    case '"':
      return json_string(doc);
    default:
      return json_number(doc);
  }
}

}  // namespace mevora::py
