#include "binding/text_codec.h"

#include "binding/py_ref.h"

namespace mevora::py {
namespace {

// A new reference to the decoded str of `bytes` (borrowed).
PyObject* decode_bytes(const TextCodec& codec, PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &n) != 0) return nullptr;
  if (codec.utf8_strict) return PyUnicode_DecodeUTF8(data, n, nullptr);
  return PyUnicode_Decode(data, n, codec.encoding.c_str(), codec.errors.c_str());
}

}  // namespace

PyObject* decode_result(const TextCodec& codec, PyObject* value) {
  if (value == nullptr || value == Py_None) return value;
  PyRef owned(value);
  if (!PyList_Check(value)) return decode_bytes(codec, value);
  for (Py_ssize_t i = 0, n = PyList_Size(value); i < n; ++i) {
    PyObject* item = PyList_GetItem(value, i);  // borrowed
    if (item == Py_None) continue;
    PyObject* text = decode_bytes(codec, item);
    // SetItem takes text and drops the bytes it replaces.
    if (text == nullptr || PyList_SetItem(value, i, text) != 0) return nullptr;
  }
  return owned.release();
}

}  // namespace mevora::py
