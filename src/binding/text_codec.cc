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
  if (PyBytes_Check(value)) return decode_bytes(codec, value);
  if (PyList_Check(value)) {
    for (Py_ssize_t i = 0, n = PyList_Size(value); i < n; ++i) {
      PyObject* item = PyList_GetItem(value, i);  // borrowed
      if (item == Py_None) continue;
      PyObject* text = decode_bytes(codec, item);
      // SetItem takes text and drops the bytes it replaces.
      if (text == nullptr || PyList_SetItem(value, i, text) != 0) return nullptr;
    }
    return owned.release();
  }
  if (PyDict_Check(value)) {
    // In the source's order, so that keys decoding alike end as a dict
    // comprehension over it would leave them.
    PyRef out(PyDict_New());
    if (!out) return nullptr;
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(value, &pos, &k, &v)) {
      PyRef dk(decode_bytes(codec, k));
      if (!dk) return nullptr;
      PyRef dv(decode_bytes(codec, v));
      if (!dv || PyDict_SetItem(out.get(), dk.get(), dv.get()) != 0) return nullptr;
    }
    return out.release();
  }
  if (PyAnySet_Check(value)) {
    PyRef out(PySet_New(nullptr));
    PyRef it(PyObject_GetIter(value));
    if (!out || !it) return nullptr;
    while (PyRef item{PyIter_Next(it.get())}) {
      PyRef text(decode_bytes(codec, item.get()));
      if (!text || PySet_Add(out.get(), text.get()) != 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return out.release();
  }
  PyErr_SetString(PyExc_SystemError, "a decoded read returned neither bytes nor a container of them");
  return nullptr;
}

}  // namespace mevora::py
