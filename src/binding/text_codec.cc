#include "binding/text_codec.h"

#include "binding/py_ref.h"

namespace mevora::py {

PyObject* decode_value(const TextCodec& codec, PyObject* value) {
  if (value == nullptr || value == Py_None) return value;
  PyRef bytes(value);
  char* data = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &n) != 0) return nullptr;
  if (codec.utf8_strict) return PyUnicode_DecodeUTF8(data, n, nullptr);
  return PyUnicode_Decode(data, n, codec.encoding.c_str(), codec.errors.c_str());
}

}  // namespace mevora::py
