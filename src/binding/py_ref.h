// PyRef: a move-only owner of one strong Python reference, and GilRelease:
// a scope that runs without the interpreter lock.
//
// Borrowed references stay raw PyObject* and are commented as such.
#pragma once

#include <utility>

#include "binding/py.h"

namespace mevora::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes ownership of a new reference (may be null after a failed call).
  explicit PyRef(PyObject* owned) : p_(owned) {}
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }
  ~PyRef() { Py_XDECREF(p_); }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller (typically CPython).
  [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

// Releases the GIL for its lifetime. No Python object may be touched inside.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace mevora::py
