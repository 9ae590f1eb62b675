// Module initialisation: registers Cache, Server, CacheLockedError,
// CorruptDataError, Transaction and WatchError, appending each name to
// __all__ as it is added, and the internal _Memoized.
//
// The module uses single-phase initialisation and process-wide state, so it
// refuses to load into a second interpreter.
#include <cstdint>

#include "binding/cache_object.h"
#include "binding/convert.h"
#include "binding/fault_hook.h"
#include "binding/memo_object.h"
#include "binding/py_ref.h"
#include "binding/server_object.h"
#include "binding/transaction_object.h"

namespace mevora::py {
namespace {

// m_size 0 (not -1) makes CPython call PyInit__mevora again for another
// interpreter instead of copying this module's dict there, so the guard
// below can refuse it.
PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "_mevora", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The first interpreter's id and module (a strong reference, never freed).
std::int64_t g_interpreter_id = -1;
PyObject* g_module = nullptr;

bool add(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  PyRef name_obj(PyUnicode_FromString(name));
  if (!name_obj || PyList_Append(all, name_obj.get()) != 0) return false;
  return PyModule_AddObjectRef(module, name, value) == 0;
}

PyObject* init() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_module != nullptr) {
    if (id != g_interpreter_id) {
      PyErr_SetString(PyExc_ImportError, "_mevora does not support sub-interpreters");
      return nullptr;
    }
    Py_INCREF(g_module);
    return g_module;
  }
  kModuleDef.m_methods = fault_hook_methods();
  PyRef module(PyModule_Create(&kModuleDef));
  if (!module) return nullptr;
  PyRef all(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) != 0) return nullptr;

  if (make_scan_iter_type() == nullptr) return nullptr;  // kept for the process
  PyRef cache(make_cache_type());
  if (!cache || !add(module.get(), all.get(), "Cache", cache.get())) return nullptr;
  PyRef decoded(make_decoded_reads(reinterpret_cast<PyTypeObject*>(cache.get())));  // internal
  if (!decoded || PyModule_AddObjectRef(module.get(), "_decoded_reads", decoded.get()) != 0) return nullptr;
  PyRef memo(make_memo_type());  // internal: built by Cache.memoize, not in __all__
  if (!memo || PyModule_AddObjectRef(module.get(), "_Memoized", memo.get()) != 0) return nullptr;
  PyRef server(make_server_type());
  if (!server || !add(module.get(), all.get(), "Server", server.get())) return nullptr;
  PyObject* locked = cache_locked_error();  // process-wide, never freed
  if (locked == nullptr || !add(module.get(), all.get(), "CacheLockedError", locked)) return nullptr;
  PyObject* corrupt = corrupt_data_error();  // process-wide, never freed
  if (corrupt == nullptr || !add(module.get(), all.get(), "CorruptDataError", corrupt)) return nullptr;
  PyRef transaction(make_transaction_type());
  if (!transaction || !add(module.get(), all.get(), "Transaction", transaction.get())) return nullptr;
  PyObject* watch = watch_error();  // process-wide, never freed
  if (watch == nullptr || !add(module.get(), all.get(), "WatchError", watch)) return nullptr;

  g_interpreter_id = id;
  g_module = module.get();
  Py_INCREF(g_module);
  return module.release();
}

}  // namespace
}  // namespace mevora::py

PyMODINIT_FUNC PyInit__mevora(void) { return mevora::py::init(); }
