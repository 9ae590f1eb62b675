// The argument text of a memoized call, built in C for the common argument
// shapes. It is byte for byte the text python/mevora/_memoize.py derives
// (stored keys are shared between the two, and with entries written by
// earlier runs of a persistent cache), for calls whose positional and
// keyword arguments are None, bool, int, float, str, bytes and tuples of
// these.
#pragma once

#include <string>

#include "binding/py.h"

namespace mevora::py {

// Appends the argument text of a call with positional `args` (a tuple) and
// keyword `kwargs` (a dict or nullptr) to `out` and returns true; `typed`
// keeps 1, 1.0 and True apart. Returns false, with no exception set and
// `out` in an unspecified state, for a call left to the Python derivation:
// another argument type, an argument text that derivation replaces by its
// digest (over 200 characters), or a text that could not be produced here
// (the Python derivation then raises the same error itself).
bool memo_args_text(PyObject* args, PyObject* kwargs, bool typed, std::string& out);

}  // namespace mevora::py
