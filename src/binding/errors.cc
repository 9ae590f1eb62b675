#include "binding/errors.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "binding/py_ref.h"

namespace mevora::py {
namespace {

PyRef decoded(std::string_view text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyObject* raise_text(PyObject* type, std::string_view message) {
  PyRef msg = decoded(message);
  if (msg) PyErr_SetObject(type, msg.get());
  return nullptr;
}

}  // namespace

PyObject* exception_type(StoreError::Kind kind) {
  switch (kind) {
    case StoreError::WrongType:
      return PyExc_TypeError;
    case StoreError::OutOfMemory:
      return PyExc_MemoryError;
    case StoreError::NotInteger:
    case StoreError::Overflow:
    case StoreError::KeyTooLong:
    case StoreError::NotFloat:
    case StoreError::NotFinite:
    case StoreError::TooLarge:
      return PyExc_ValueError;
    case StoreError::NoSuchKey:
      return PyExc_KeyError;  // like a missing key of a mapping
    case StoreError::LogRefused:
      return PyExc_OSError;
  }
  return PyExc_RuntimeError;
}

PyObject* exception_type(PersistErrorKind kind) {
  switch (kind) {
    case PersistErrorKind::WouldBlock:
      return cache_locked_error();
    case PersistErrorKind::InvalidData:
      return corrupt_data_error();
    case PersistErrorKind::InvalidInput:
    case PersistErrorKind::UnexpectedEof:
    case PersistErrorKind::Other:
    case PersistErrorKind::Os:
      return PyExc_OSError;
  }
  return PyExc_OSError;
}

PyObject* raise_store_error(const StoreError& e) {
  PyObject* type = exception_type(e.kind());  // borrowed
  if (e.kind() != StoreError::LogRefused) {
    PyErr_SetString(type, store_error_message(e));
    return nullptr;
  }
  const std::string& text = e.log_message();
  PyRef msg = decoded(text);
  if (!msg) return nullptr;
  PyRef args(e.os_errno() != 0 ? Py_BuildValue("(iO)", e.os_errno(), msg.get()) : Py_BuildValue("(O)", msg.get()));
  if (!args) return nullptr;
  PyErr_SetObject(type, args.get());
  return nullptr;
}

PyObject* raise_persist_error(const PersistError& err, std::string_view message) {
  PyObject* type = exception_type(err.kind());  // borrowed
  if (type == nullptr) return nullptr;          // the class could not be made
  return raise_text(type, message);
}

PyObject* raise_os_error(std::string_view message) { return raise_text(PyExc_OSError, message); }

PyObject* raise_cpp_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
  }
  return nullptr;
}

PyObject* cache_locked_error() {
  // Process-wide and never freed: no static destructor may run while
  // threads of this module still exist.
  static PyObject* cls = PyErr_NewExceptionWithDoc(
      "_mevora.CacheLockedError", "The persistence directory is in use by another live process.", PyExc_OSError,
      nullptr);
  return cls;
}

PyObject* corrupt_data_error() {
  static PyObject* cls = PyErr_NewExceptionWithDoc(
      "_mevora.CorruptDataError", "The persisted snapshot failed its checksum or structure check.",
      PyExc_ValueError, nullptr);
  return cls;
}

}  // namespace mevora::py
