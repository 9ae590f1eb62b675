// Cache.scan and Cache.scan_iter: cursor iteration over the keyspace (the
// guarantee is Store::scan's, see core/scan.h), and the iterator type that
// scan_iter returns.
//
// The iterator keeps a strong reference to its Cache and fetches one page
// at a time with the GIL released, so iterating a large keyspace never
// builds one list of all keys and never stalls other threads for long.
#include <new>

#include "binding/args.h"
#include "binding/cache_object.h"
#include "binding/convert.h"
#include "binding/py_ref.h"
#include "binding/store_call.h"

namespace mevora::py {
namespace {

constexpr const char* kScanParams[] = {"cursor", "match", "count", "type"};
constexpr const char* kScanIterParams[] = {"match", "count", "type"};

// ---- the iterator type ---------------------------------------------------------

struct ScanIterObject {
  PyObject_HEAD
  PyObject* cache;  // strong; null after tp_clear
  FilterArgs args;
  std::uint64_t cursor;
  bool done;
  bool busy;  // a page is being fetched (the GIL is released meanwhile)
  std::vector<std::string> pending;
  std::size_t next;
};

PyTypeObject* g_scan_iter_type = nullptr;  // a strong reference, created once, never freed

ScanIterObject* as_iter(PyObject* self) { return reinterpret_cast<ScanIterObject*>(self); }

int scan_iter_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_iter(self)->cache);
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return 0;
}

int scan_iter_clear(PyObject* self) {
  Py_CLEAR(as_iter(self)->cache);
  return 0;
}

void scan_iter_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  scan_iter_clear(self);
  ScanIterObject* it = as_iter(self);
  it->args.~FilterArgs();
  it->pending.~vector();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DECREF(tp);
}

PyObject* scan_iter_next(PyObject* self) {
  try {
    ScanIterObject* it = as_iter(self);
    while (it->next == it->pending.size()) {
      if (it->done || it->cache == nullptr) return nullptr;  // StopIteration
      if (it->busy) {
        PyErr_SetString(PyExc_RuntimeError, "scan iterator is already running in another thread");
        return nullptr;
      }
      it->busy = true;
      ScanPage page;
      {
        const ScanFilter filter = it->args.filter();
        Store& store = store_of(it->cache);
        const std::uint64_t cursor = it->cursor;
        try {
          page = store_call([&] { return store.scan(cursor, filter); });
        } catch (...) {
          it->busy = false;
          throw;
        }
      }
      it->busy = false;
      it->pending = std::move(page.keys);
      it->next = 0;
      it->cursor = page.cursor;
      it->done = page.cursor == 0;
    }
    PyObject* out = bytes_from(it->pending[it->next]);
    if (out != nullptr && ++it->next == it->pending.size()) {
      it->pending.clear();
      it->next = 0;
    }
    return out;
  } catch (...) {
    return raise_cpp_exception();
  }
}

PyType_Slot kScanIterSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(scan_iter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(scan_iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(scan_iter_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(scan_iter_next)},
    {Py_tp_doc, const_cast<char*>("Iterator over the keys of a Cache; see Cache.scan_iter.")},
    {0, nullptr},
};

PyType_Spec kScanIterSpec = {
    "mevora._mevora.ScanIterator",
    sizeof(ScanIterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    kScanIterSlots,
};

}  // namespace

// match: None, str (UTF-8) or bytes; count: None or a positive integer;
// type: None or one of "string", "list", "hash", "set".
bool convert_filter(PyObject* match, PyObject* count, PyObject* type, FilterArgs& out) {
  if (match != nullptr && match != Py_None) {
    if (PyBytes_Check(match)) {
      char* data = nullptr;
      Py_ssize_t n = 0;
      if (PyBytes_AsStringAndSize(match, &data, &n) != 0) return false;
      out.match.emplace(data, static_cast<std::size_t>(n));
    } else if (PyUnicode_Check(match)) {
      std::string_view utf8;
      if (!to_utf8(match, "match", utf8)) return false;
      out.match.emplace(utf8);
    } else {
      PyErr_Format(PyExc_TypeError, "argument 'match': expected str, bytes or None, not %s",
                   type_name(match).c_str());
      return false;
    }
  }
  if (count != nullptr && count != Py_None && !positive_int(count, "count", out.count)) return false;
  if (type != nullptr && type != Py_None) {
    std::string_view name;
    if (!to_utf8(type, "type", name)) return false;
    out.kind = key_kind_named(name);
    if (!out.kind) {
      PyErr_SetString(PyExc_ValueError, "type must be 'string', 'list', 'hash' or 'set'");
      return false;
    }
  }
  return true;
}

PyObject* make_scan_iter_type() {
  PyObject* t = PyType_FromSpec(&kScanIterSpec);
  g_scan_iter_type = reinterpret_cast<PyTypeObject*>(t);
  return t;
}

// ---- the methods ------------------------------------------------------------------

PyObject* cache_scan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* a[4];
    if (!bind_args({"scan", kScanParams, 0}, args, nargs, kwnames, a)) return nullptr;
    std::uint64_t cursor = 0;
    if (a[0] != nullptr && !to_u64(a[0], "cursor", cursor)) return nullptr;
    FilterArgs filter;
    if (!convert_filter(a[1], a[2], a[3], filter)) return nullptr;
    ScanPage page;
    {
      const ScanFilter f = filter.filter();
      Store& store = store_of(self);
      page = store_call([&] { return store.scan(cursor, f); });
    }
    PyRef keys(list_of_bytes(page.keys));
    if (!keys) return nullptr;
    PyRef next(PyLong_FromUnsignedLongLong(page.cursor));
    if (!next) return nullptr;
    return PyTuple_Pack(2, next.get(), keys.get());
  } catch (...) {
    return raise_cpp_exception();
  }
}

PyObject* cache_scan_iter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    PyObject* a[3];
    if (!bind_args({"scan_iter", kScanIterParams, 0}, args, nargs, kwnames, a)) return nullptr;
    FilterArgs filter;
    if (!convert_filter(a[0], a[1], a[2], filter)) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(g_scan_iter_type, Py_tp_alloc));
    PyObject* obj = alloc(g_scan_iter_type, 0);
    if (obj == nullptr) return nullptr;
    ScanIterObject* it = as_iter(obj);
    new (&it->args) FilterArgs(std::move(filter));
    new (&it->pending) std::vector<std::string>();
    it->cursor = 0;
    it->done = false;
    it->busy = false;
    it->next = 0;
    it->cache = Py_NewRef(self);
    return obj;
  } catch (...) {
    return raise_cpp_exception();
  }
}

}  // namespace mevora::py
