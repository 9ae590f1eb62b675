// Steps every Cache method file shares: exception containment and the
// store call (store_call.h).
#pragma once

#include "binding/cache_object.h"
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

// Runs op(Store&) (one store call, store_call.h); the store's error
// becomes the exception, a result goes to build.
template <class Op, class Build>
PyObject* call_store(PyObject* self, Op&& op, Build&& build) {
  auto r = store_call([&] { return op(store_of(self)); });
  if (!r.ok()) return raise_store_error(r.error());
  return build(r.value());
}

}  // namespace mevora::py
