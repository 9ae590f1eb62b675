// Steps every Cache method file shares: exception containment and the
// store call (store_call.h).
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "binding/args.h"
#include "binding/cache_object.h"
#include "binding/convert.h"
#include "binding/py.h"
#include "binding/py_ref.h"
#include "binding/store_call.h"

namespace mevora::py {

// Runs a method body, turning a C++ exception into the Python one. Always
// inlined, so that the body's captures stay in registers.
template <class F>
[[gnu::always_inline]] inline PyObject* guarded(F&& f) {
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

// Runs a method of signature (key, *items): binds and converts the key,
// then every item, and calls op(Store&, key, items) through call_store;
// its result goes to build.
template <class Op, class Build>
PyObject* call_key_items(PyObject* self, const char* name, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, Op&& op, Build&& build) {
  static constexpr const char* kKeyParam[] = {"key"};
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    std::span<PyObject* const> rest;
    if (!bind_args({name, kKeyParam, 1, true}, args, nargs, kwnames, a, &rest)) return nullptr;
    Bytes key;
    std::vector<Bytes> items;
    if (!to_bytes(a[0], key) || !to_bytes_all(rest, items)) return nullptr;
    const std::vector<std::string_view> views = views_of(items);
    return call_store(self, [&](Store& s) { return op(s, key.view, KeyList(views)); }, build);
  });
}

}  // namespace mevora::py
