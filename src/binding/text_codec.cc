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

PyObject* decode_nested(const TextCodec& codec, PyObject* value) {
  if (PyBytes_Check(value)) return decode_bytes(codec, value);
  const bool list = PyList_Check(value);
  if (list || PyTuple_Check(value)) {
    const Py_ssize_t n = list ? PyList_Size(value) : PyTuple_Size(value);
    PyRef out(list ? PyList_New(n) : PyTuple_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = decode_nested(codec, list ? PyList_GetItem(value, i) : PyTuple_GetItem(value, i));
      if (item == nullptr) return nullptr;
      // SetItem takes item, into a slot that is still empty.
      if ((list ? PyList_SetItem(out.get(), i, item) : PyTuple_SetItem(out.get(), i, item)) != 0) return nullptr;
    }
    return out.release();
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
      PyRef dk(decode_nested(codec, k));
      if (!dk) return nullptr;
      PyRef dv(decode_nested(codec, v));
      if (!dv || PyDict_SetItem(out.get(), dk.get(), dv.get()) != 0) return nullptr;
    }
    return out.release();
  }
  if (PyAnySet_Check(value)) {
    PyRef out(PySet_New(nullptr));
    PyRef it(PyObject_GetIter(value));
    if (!out || !it) return nullptr;
    while (PyRef item{PyIter_Next(it.get())}) {
      PyRef text(decode_nested(codec, item.get()));
      if (!text || PySet_Add(out.get(), text.get()) != 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return out.release();
  }
  return Py_NewRef(value);
}

PyObject* decode_result(const TextCodec& codec, PyObject* value) {
  if (value == nullptr) return nullptr;
  PyRef owned(value);
  if (!PyList_CheckExact(value)) return decode_nested(codec, value);
  // The read built this list for its caller alone: its items are replaced
  // in place rather than copied into a second list.
  for (Py_ssize_t i = 0, n = PyList_Size(value); i < n; ++i) {
    PyObject* item = decode_nested(codec, PyList_GetItem(value, i));
    // SetItem takes item and drops the one it replaces.
    if (item == nullptr || PyList_SetItem(value, i, item) != 0) return nullptr;
  }
  return owned.release();
}

}  // namespace mevora::py
