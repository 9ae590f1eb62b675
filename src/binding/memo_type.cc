// The _Memoized type (see memo_object.h).
#include "binding/memo_object.h"

#include <structmember.h>  // needs Python.h first

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

#include "binding/cache_object.h"
#include "binding/convert.h"
#include "binding/json_scalar.h"
#include "binding/memo_key.h"
#include "binding/py_ref.h"
#include "binding/store_call.h"

namespace mevora::py {
namespace {

struct MemoObject {
  PyObject_HEAD
  PyRef cache;              // the Cache whose store holds the results
  PyRef prefix;             // str: the key prefix of the function
  PyRef loads;              // the serializer's loads
  PyRef fallback;           // the Python wrapper: misses and calls not handled here
  PyRef method_type;        // types.MethodType, to bind to an instance
  PyRef dict;               // __dict__, created on demand by CPython
  PyObject* weakrefs;       // CPython's weak reference list (no reference)
  const char* prefix_utf8;  // the UTF-8 of `prefix`, owned by it
  std::size_t prefix_len;
  bool typed;
  bool json;  // loads is json.loads
};
// CPython addresses `dict` and `weakrefs` by offset, reading `dict` as the
// PyObject* it holds.
static_assert(std::is_standard_layout_v<MemoObject>);
static_assert(sizeof(PyRef) == sizeof(PyObject*));

MemoObject* as_memo(PyObject* self) { return reinterpret_cast<MemoObject*>(self); }

PyObject* memo_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  if (kwargs != nullptr && PyDict_Size(kwargs) != 0) {
    PyErr_SetString(PyExc_TypeError, "_Memoized takes no keyword arguments");
    return nullptr;
  }
  PyObject* cache = nullptr;  // all borrowed from args
  PyObject* prefix = nullptr;
  int typed = 0;
  PyObject* loads = nullptr;
  int json = 0;
  PyObject* fallback = nullptr;
  if (!PyArg_ParseTuple(args, "OUpOpO:_Memoized", &cache, &prefix, &typed, &loads, &json, &fallback)) return nullptr;
  if (!PyObject_TypeCheck(cache, cache_type())) {
    PyErr_Format(PyExc_TypeError, "_Memoized needs a Cache, not %s", type_name(cache).c_str());
    return nullptr;
  }
  if (!PyCallable_Check(loads) || !PyCallable_Check(fallback)) {
    PyErr_SetString(PyExc_TypeError, "_Memoized needs callable loads and fallback");
    return nullptr;
  }
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(prefix, &n);
  if (utf8 == nullptr) return nullptr;
  PyRef types(PyImport_ImportModule("types"));
  if (!types) return nullptr;
  PyRef method_type(PyObject_GetAttrString(types.get(), "MethodType"));
  if (!method_type) return nullptr;

  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
  PyObject* self = alloc(cls, 0);  // zeroed and tracked by the collector
  if (self == nullptr) return nullptr;
  MemoObject* o = as_memo(self);
  new (&o->cache) PyRef(PyRef::borrow(cache));
  new (&o->prefix) PyRef(PyRef::borrow(prefix));
  new (&o->loads) PyRef(PyRef::borrow(loads));
  new (&o->fallback) PyRef(PyRef::borrow(fallback));
  new (&o->method_type) PyRef(std::move(method_type));
  new (&o->dict) PyRef();
  o->weakrefs = nullptr;
  o->prefix_utf8 = utf8;
  o->prefix_len = static_cast<std::size_t>(n);
  o->typed = typed != 0;
  o->json = json != 0;
  return self;
}

int memo_traverse(PyObject* self, visitproc visit, void* arg) {
  MemoObject* o = as_memo(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(o->cache.get());
  Py_VISIT(o->prefix.get());
  Py_VISIT(o->loads.get());
  Py_VISIT(o->fallback.get());
  Py_VISIT(o->method_type.get());
  Py_VISIT(o->dict.get());
  return 0;
}

// Breaks reference cycles; a call on a cleared object raises.
int memo_clear(PyObject* self) {
  MemoObject* o = as_memo(self);
  o->cache = PyRef();
  o->prefix = PyRef();
  o->loads = PyRef();
  o->fallback = PyRef();
  o->method_type = PyRef();
  o->dict = PyRef();
  return 0;
}

void memo_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  MemoObject* o = as_memo(self);
  if (o->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  o->~MemoObject();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DECREF(tp);
}

// The stored result `raw` as the serializer decodes it.
PyObject* decode(MemoObject* o, std::string_view raw) {
  if (o->json) {
    PyObject* v = json_scalar(raw);
    if (v != nullptr || PyErr_Occurred() != nullptr) return v;
  }
  PyRef b(bytes_from(raw));
  if (!b) return nullptr;
  return PyObject_CallFunctionObjArgs(o->loads.get(), b.get(), nullptr);
}

PyObject* memo_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  MemoObject* o = as_memo(self);
  if (!o->cache || !o->fallback) {
    PyErr_SetString(PyExc_ReferenceError, "this memoized function has been cleared");
    return nullptr;
  }
  try {
    KeyBuffer key;
    key.append(std::string_view(o->prefix_utf8, o->prefix_len));
    if (memo_args_text(args, kwargs, o->typed, key)) {
      std::string value;  // a JSON scalar fits in its inline storage
      // `cache` keeps the store alive: only tp_clear drops it, and never
      // while a call is running. The value is copied (decoding may run
      // Python code, which must not happen under a shard lock); the GIL is
      // given up only if the read has to wait.
      Store& store = store_of(o->cache.get());
      CopySink sink(value);
      StoreResult<bool> found = store_call([&] { return store.get(key.view(), sink); });
      if (found.ok() && found.value()) return decode(o, value);
      // Absent, or an error the Python wrapper raises for itself.
    }
    return PyObject_Call(o->fallback.get(), args, kwargs);
  } catch (...) {
    return raise_cpp_exception();
  }
}

PyObject* memo_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  MemoObject* o = as_memo(self);
  if (!o->method_type) {
    PyErr_SetString(PyExc_ReferenceError, "this memoized function has been cleared");
    return nullptr;
  }
  return PyObject_CallFunctionObjArgs(o->method_type.get(), self, obj, nullptr);
}

// Pickled by reference, as functions are: the qualified name.
PyObject* memo_reduce(PyObject* self, PyObject*) { return PyObject_GetAttrString(self, "__qualname__"); }

PyMethodDef kMethods[] = {
    {"__reduce__", memo_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kMembers[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(MemoObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(MemoObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kDoc = "A memoized function: its results are kept in a Cache (see Cache.memoize).";

}  // namespace

PyObject* make_memo_type() {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(memo_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(memo_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(memo_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(memo_clear)},
      {Py_tp_call, reinterpret_cast<void*>(memo_call)},
      {Py_tp_descr_get, reinterpret_cast<void*>(memo_descr_get)},
      {Py_tp_methods, kMethods},
      {Py_tp_members, kMembers},
      {Py_tp_getset, kGetSet},
      {Py_tp_doc, const_cast<char*>(kDoc)},
      {0, nullptr},
  };
  PyType_Spec spec = {"mevora._mevora._Memoized", sizeof(MemoObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR, slots};
  return PyType_FromSpec(&spec);
}

}  // namespace mevora::py
