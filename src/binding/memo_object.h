// The callable behind `Cache.memoize` for plain functions with the default
// key derivation (python/mevora/_memoize.py builds it).
//
// A call whose arguments memo_key.h can render looks its key up in the
// store and, when the key holds a result, decodes and returns it: JSON
// scalars here, anything else through the serializer's loads. Every other
// call (a miss, arguments of other types, a key that holds another kind of
// value) goes to the Python wrapper it was built with, which derives the
// same key and runs the single-flight computation. A hit always decodes
// the value the store holds at that moment.
//
// Constructor: _Memoized(cache, prefix, typed, loads, json, fallback):
// `cache` a Cache, `prefix` the key prefix (str) of the function, `typed`
// and the serializer's `loads` as given to memoize, `json` true when loads
// is json.loads, `fallback` the Python wrapper. Instances have a __dict__
// (for functools.update_wrapper, cache_clear and cache_key), take weak
// references, bind to instances like functions, and pickle by qualified
// name like functions.
#pragma once

#include "binding/py.h"

namespace mevora::py {

// Builds the _Memoized type object (a heap type); nullptr with an exception
// set on failure. Needs the Cache type to have been built first.
PyObject* make_memo_type();

}  // namespace mevora::py
