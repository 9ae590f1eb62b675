// The Python Transaction type: Cache.transaction(watch=()) collects data
// method calls and runs them atomically through Store::atomically when its
// `with` block ends.
#pragma once

#include "binding/py.h"

namespace mevora::py {

// Builds the Transaction type object (a heap type); nullptr with an
// exception set on failure.
PyObject* make_transaction_type();

// WatchError, raised when a watched key changed (process-wide, never freed).
PyObject* watch_error();

// Cache.transaction(watch=()): a new Transaction on the cache `self`.
PyObject* cache_transaction(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace mevora::py
