// Steps every Cache method file shares: exception containment, the store
// call (store_call.h), and mapping arguments.
#pragma once

#include <vector>

#include "binding/convert.h"
#include "binding/py.h"
#include "binding/py_ref.h"
#include "binding/store_call.h"

namespace mevora::py {

// Runs a method body, turning a C++ exception into the Python one.
template <class F>
PyObject* guarded(F&& f) {
  try {
    return f();
  } catch (...) {
    return raise_cpp_exception();
  }
}

// The (key, value) pairs of a mapping's items(), converted in order into
// conv (key, value, key, value, ...); held keeps each pair alive while the
// views are used. false with an exception set.
bool mapping_items(PyObject* mapping, std::vector<PyRef>& held, std::vector<Bytes>& conv);

}  // namespace mevora::py
