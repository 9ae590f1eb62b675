// The Python Cache object and the pieces its method files share.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "binding/py.h"
#include "core/store.h"

namespace mevora::py {

struct CacheObject {
  PyObject_HEAD
  // Both fixed at construction. The store is shared with any Server built
  // on this cache; the persist_dir (file-system encoded bytes) is present
  // exactly when the cache was opened with a data directory.
  std::shared_ptr<Store> store;
  std::optional<std::string> persist_dir;
};

inline Store& store_of(PyObject* self) { return *reinterpret_cast<CacheObject*>(self)->store; }

// Builds the Cache type object (a heap type); nullptr with an exception set
// on failure.
PyObject* make_cache_type();
// The Cache type once built (borrowed; lives as long as the module).
PyTypeObject* cache_type();

// Cache.scan and Cache.scan_iter (cache_scan.cc), and the type of the
// iterator scan_iter returns: built once per process by
// make_scan_iter_type (nullptr with an exception set on failure).
PyObject* cache_scan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_scan_iter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* make_scan_iter_type();

// The second group of key and string methods (cache_key_methods.cc).
PyObject* cache_type_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_rename(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_renamenx(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_expireat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_pexpireat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_expiretime(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_pexpiretime(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_touch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_randomkey(PyObject* self, PyObject* unused);
PyObject* cache_strlen(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_getrange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_setrange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_msetnx(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_incrbyfloat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_getex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The methods in their published order, terminated by a null entry.
extern PyMethodDef kCacheMethods[];

}  // namespace mevora::py
