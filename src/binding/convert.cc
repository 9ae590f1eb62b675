#include "binding/convert.h"

namespace mevora::py {

std::string type_name(PyObject* obj) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (!name) {
    PyErr_Clear();
    return "object";
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
  if (s == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return std::string(s, static_cast<std::size_t>(n));
}

bool to_bytes_general(PyObject* obj, Bytes& out) {
  if (PyBytes_Check(obj)) {
    char* data = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &n) != 0) return false;
    out.view = std::string_view(data, static_cast<std::size_t>(n));
    return true;
  }
  PyObject* text = obj;  // borrowed
  if (!PyUnicode_Check(obj)) {
    if (PyBool_Check(obj)) {
      PyErr_SetString(PyExc_TypeError, "expected bytes, str, int or float, not bool");
      return false;
    }
    if (!PyLong_Check(obj) && !PyFloat_Check(obj)) {
      PyErr_Format(PyExc_TypeError, "expected bytes, str, int or float, not %s", type_name(obj).c_str());
      return false;
    }
    out.keep = PyRef(PyObject_Str(obj));
    if (!out.keep) return false;
    if (!PyUnicode_Check(out.keep.get())) {
      PyErr_SetString(PyExc_TypeError, "__str__ returned non-string");
      return false;
    }
    text = out.keep.get();
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(text, &n);
  if (s == nullptr) return false;
  out.view = std::string_view(s, static_cast<std::size_t>(n));
  return true;
}

bool to_bytes_all(std::span<PyObject* const> objs, std::vector<Bytes>& out) {
  out.resize(objs.size());
  for (std::size_t i = 0; i < objs.size(); ++i) {
    if (!to_bytes(objs[i], out[i])) return false;
  }
  return true;
}

bool to_bytes_iter(PyObject* iterable, std::vector<Bytes>& out) {
  PyRef it(PyObject_GetIter(iterable));
  if (!it) return false;
  while (PyRef item = PyRef(PyIter_Next(it.get()))) {
    out.emplace_back();
    // The item reference must outlive the store call: keep it.
    out.back().keep = PyRef::borrow(item.get());
    Bytes conv;
    if (!to_bytes(item.get(), conv)) return false;
    out.back().view = conv.view;
    if (conv.keep) out.back().keep = std::move(conv.keep);
  }
  return PyErr_Occurred() == nullptr;
}

std::vector<std::string_view> views_of(const std::vector<Bytes>& bytes) {
  std::vector<std::string_view> v;
  v.reserve(bytes.size());
  for (const Bytes& b : bytes) v.push_back(b.view);
  return v;
}

bool prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef t(type);
  PyRef v(value);
  PyRef b(tb);
  PyRef msg(v ? PyObject_Str(v.get()) : nullptr);
  if (!msg) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': invalid value", name);
    return false;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, msg.get());
  return false;
}

bool to_u64(PyObject* obj, const char* name, std::uint64_t& out) {
  PyRef idx(PyNumber_Index(obj));
  if (!idx) return prefix_type_error(name);
  const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_i64(PyObject* obj, const char* name, std::int64_t& out) {
  PyRef idx(PyNumber_Index(obj));
  if (!idx) return prefix_type_error(name);
  const long long v = PyLong_AsLongLong(idx.get());
  if (v == -1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool positive_int(PyObject* obj, const char* name, std::uint64_t& out) {
  if (PyBool_Check(obj) || !PyLong_Check(obj)) {
    PyErr_Format(PyExc_ValueError, "%s must be a positive integer", name);
    return false;
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow != 0) {
    PyErr_Format(PyExc_ValueError, "%s is out of range", name);
    return false;
  }
  if (v <= 0) {
    PyErr_Format(PyExc_ValueError, "%s must be a positive integer", name);
    return false;
  }
  out = static_cast<std::uint64_t>(v);
  return true;
}

namespace {

// A NumPy boolean scalar, recognised by its type's module and name so
// that NumPy is not needed to import this module.
bool is_numpy_bool(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));  // borrowed
  PyRef module(PyObject_GetAttrString(type, "__module__"));
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  const std::string name = type_name(obj);
  return name == "bool_" || name == "bool";
}

}  // namespace

bool to_flag(PyObject* obj, const char* name, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    const int t = PyObject_IsTrue(obj);
    if (t < 0) return false;
    out = t != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'bool'", name,
               type_name(obj).c_str());
  return false;
}

bool to_utf8(PyObject* obj, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'str'", name,
                 type_name(obj).c_str());
    return false;
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (s == nullptr) return false;
  out = std::string_view(s, static_cast<std::size_t>(n));
  return true;
}

PyObject* bytes_from(std::string_view s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* optional_bytes(const std::optional<std::string>& s) {
  if (!s.has_value()) Py_RETURN_NONE;
  return bytes_from(*s);
}

PyObject* set_of_bytes(const std::vector<std::string>& items) {
  PyRef set(PySet_New(nullptr));
  if (!set) return nullptr;
  for (const std::string& m : items) {
    PyRef b(bytes_from(m));
    if (!b || PySet_Add(set.get(), b.get()) != 0) return nullptr;
  }
  return set.release();
}

PyObject* list_of_bytes(const std::vector<std::string>& items) {
  return list_of(items, [](const std::string& b) { return bytes_from(b); });
}

}  // namespace mevora::py
