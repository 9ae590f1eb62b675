// The Transaction type (see transaction_object.h).
//
// Recording: each data method of the transaction (the data methods of
// Cache, with the same signatures; transaction_calls.h lists them) settles
// its call, appends it to a list and returns None. Settling converts the
// keys and copies iterables and mappings, so no caller code runs later,
// while shard locks are held; the keys are collected as the calls come.
// Other Cache methods are not attributes of a transaction, and looking one
// up raises an AttributeError that says why.
//
// Running (the end of a `with` block without an exception): the collected
// keys are declared to Store::atomically, which locks their shards (all
// shards when a call spans the whole keyspace) with the GIL released;
// inside, the GIL is taken back and each call runs through the
// Cache method of the same name (the base class's, never an override), its
// result or exception going into `results`. A thread never waits for a
// shard lock while holding the GIL (the rule of the whole binding), so
// taking the GIL back under the transaction's locks cannot deadlock.
//
// A changed watched key raises WatchError (nothing ran); a log failure
// raises OSError "transaction rolled back: ..." (nothing stayed). The
// watches end when the transaction runs, is discarded (an exception in the
// block) or is destroyed.
#include <array>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/args.h"
#include "binding/cache_object.h"
#include "binding/convert.h"
#include "binding/py_ref.h"
#include "binding/transaction_calls.h"
#include "binding/transaction_object.h"
#include "core/watch.h"

namespace mevora::py {
namespace {

enum class TxnState { Open, Ran, Discarded };

struct TransactionObject {
  PyObject_HEAD
  PyObject* cache;    // strong reference
  PyObject* calls;    // list of (method index, args tuple, kwargs dict or None); null once ended
  PyObject* keys;     // list of the bytes keys the calls use; null once ended
  PyObject* results;  // list once run, else nullptr
  Watcher* watcher;   // owned; null without watched keys
  bool whole;         // a call spans the whole keyspace
  TxnState state;
};

TransactionObject* as_txn(PyObject* self) { return reinterpret_cast<TransactionObject*>(self); }

PyTypeObject* g_transaction_type = nullptr;

// Ends the watches; they take shard locks, so the GIL is released.
void drop_watcher(TransactionObject* t) {
  Watcher* w = std::exchange(t->watcher, nullptr);
  if (w == nullptr) return;
  GilRelease g;
  delete w;
}

bool ensure_open(TransactionObject* t) {
  if (t->state == TxnState::Open) return true;
  PyErr_SetString(PyExc_RuntimeError, "this transaction has already ended");
  return false;
}

template <std::size_t I>
PyObject* record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TransactionObject* t = as_txn(self);
  if (!ensure_open(t)) return nullptr;
  SettledCall settled;
  if (!settle_call(kRecorded[I], args, nargs, kwnames, settled)) return nullptr;
  PyRef index(PyLong_FromSize_t(I));
  if (!index) return nullptr;
  PyRef call(PyTuple_Pack(3, index.get(), settled.args.get(), settled.kwargs ? settled.kwargs.get() : Py_None));
  if (!call) return nullptr;
  // All appended, or the call is not recorded (its keys may stay: declaring
  // more keys than the calls use only locks more).
  for (const PyRef& k : settled.keys) {
    if (PyList_Append(t->keys, k.get()) != 0) return nullptr;
  }
  if (PyList_Append(t->calls, call.get()) != 0) return nullptr;
  t->whole = t->whole || kRecorded[I].whole_keyspace;
  Py_RETURN_NONE;
}

// The exception being raised, taken (with its traceback) to stand as a
// call's result.
PyObject* raised_as_result() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value != nullptr ? value : Py_NewRef(Py_None);
}

// Calls the Cache method of the recorded call; its exception, if any,
// becomes the result.
PyObject* run_call(PyObject* cache, PyObject* call) {
  const std::size_t index = PyLong_AsSize_t(PyTuple_GetItem(call, 0));
  PyObject* pos = PyTuple_GetItem(call, 1);
  PyObject* kw = PyTuple_GetItem(call, 2);
  PyRef method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(cache_type()), kRecorded[index].name));
  PyRef full;
  if (method) full = PyRef(PyTuple_New(PyTuple_Size(pos) + 1));
  if (full) {
    PyTuple_SetItem(full.get(), 0, Py_NewRef(cache));
    for (Py_ssize_t i = 0; i < PyTuple_Size(pos); ++i) {
      PyTuple_SetItem(full.get(), i + 1, Py_NewRef(PyTuple_GetItem(pos, i)));
    }
  }
  PyObject* result = full ? PyObject_Call(method.get(), full.get(), kw == Py_None ? nullptr : kw) : nullptr;
  return result != nullptr ? result : raised_as_result();
}

PyObject* run(TransactionObject* t) {
  PyObject* cache = t->cache;
  const Py_ssize_t n = PyList_Size(t->calls);
  std::vector<std::string_view> views;
  views.reserve(static_cast<std::size_t>(PyList_Size(t->keys)));
  for (Py_ssize_t i = 0; i < PyList_Size(t->keys); ++i) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(PyList_GetItem(t->keys, i), &data, &size) != 0) return nullptr;
    views.emplace_back(data, static_cast<std::size_t>(size));
  }
  const bool whole = t->whole;
  PyRef results(PyList_New(n));
  if (!results) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) PyList_SetItem(results.get(), i, Py_NewRef(Py_None));

  Store& store = store_of(cache);
  const Watcher* watcher = t->watcher;
  Result<bool, PersistError> ran = false;
  {
    PyThreadState* ts = PyEval_SaveThread();
    try {
      ran = store.atomically(views, whole, watcher, [&] {
        PyEval_RestoreThread(ts);
        for (Py_ssize_t i = 0; i < n; ++i) {
          PyList_SetItem(results.get(), i, run_call(cache, PyList_GetItem(t->calls, i)));  // steals
        }
        ts = PyEval_SaveThread();
      });
    } catch (...) {
      PyEval_RestoreThread(ts);
      return raise_cpp_exception();
    }
    PyEval_RestoreThread(ts);
  }
  if (!ran.ok()) return raise_persist_error(ran.error(), "transaction rolled back: " + ran.error().text());
  if (!ran.value()) {
    PyErr_SetString(watch_error(), "a watched key changed; the transaction did not run");
    return nullptr;
  }
  const std::optional<TextCodec>& text = reinterpret_cast<CacheObject*>(cache)->text;
  if (text) {
    // A text cache's results read back as its own reads do, decoded after
    // the atomic step; one that cannot be decoded gets the decoding error.
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* decoded = decode_nested(*text, PyList_GetItem(results.get(), i));
      PyList_SetItem(results.get(), i, decoded != nullptr ? decoded : raised_as_result());  // steals
    }
  }
  t->results = results.release();
  Py_RETURN_NONE;
}

// ---- methods -----------------------------------------------------------------------

PyObject* t_enter(PyObject* self, PyObject*) {
  if (!ensure_open(as_txn(self))) return nullptr;
  return Py_NewRef(self);
}

PyObject* t_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  TransactionObject* t = as_txn(self);
  if (!ensure_open(t)) return nullptr;
  PyObject* out = Py_False;
  if (nargs >= 1 && args[0] != Py_None) {
    t->state = TxnState::Discarded;  // the block failed: nothing runs
  } else {
    t->state = TxnState::Ran;
    try {
      if (run(t) == nullptr) out = nullptr;
    } catch (...) {
      out = raise_cpp_exception();
    }
    if (out == nullptr) t->state = TxnState::Discarded;
  }
  Py_CLEAR(t->calls);
  Py_CLEAR(t->keys);
  drop_watcher(t);
  return out == nullptr ? nullptr : Py_NewRef(out);
}

PyObject* get_results(PyObject* self, void*) {
  TransactionObject* t = as_txn(self);
  return Py_NewRef(t->results != nullptr ? t->results : Py_None);
}

void t_dealloc(PyObject* self) {
  TransactionObject* t = as_txn(self);
  PyTypeObject* type = Py_TYPE(self);
  drop_watcher(t);
  Py_CLEAR(t->cache);
  Py_CLEAR(t->calls);
  Py_CLEAR(t->keys);
  Py_CLEAR(t->results);
  PyObject_Free(self);
  Py_DECREF(type);
}

template <std::size_t... I>
constexpr std::array<PyCFunction, sizeof...(I)> recorders(std::index_sequence<I...>) {
  return {reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record<I>))...};
}

// The method table: the recorders (with the Cache methods' docs and so
// their signatures), then the context manager protocol. nullptr when a
// row names no Cache method.
PyMethodDef* method_table() {
  static bool complete = true;
  static std::array<PyMethodDef, kRecorded.size() + 3> table = [] {
    std::array<PyMethodDef, kRecorded.size() + 3> out{};
    const auto fns = recorders(std::make_index_sequence<kRecorded.size()>());
    for (std::size_t i = 0; i < kRecorded.size(); ++i) {
      const PyMethodDef* found = nullptr;
      for (const PyMethodDef* m = kCacheMethods; m->ml_name != nullptr; ++m) {
        if (std::string_view(m->ml_name) == kRecorded[i].name) found = m;
      }
      if (found == nullptr) complete = false;
      out[i] = {kRecorded[i].name, fns[i], METH_FASTCALL | METH_KEYWORDS, found ? found->ml_doc : nullptr};
    }
    out[kRecorded.size()] = {"__enter__", t_enter, METH_NOARGS, "__enter__($self)\n--\n\n"};
    out[kRecorded.size() + 1] = {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(t_exit)),
                                 METH_FASTCALL, "__exit__($self, exc_type, exc, tb, /)\n--\n\n"};
    out[kRecorded.size() + 2] = {nullptr, nullptr, 0, nullptr};
    return out;
  }();
  return complete ? table.data() : nullptr;
}

// Attribute lookup. A method of the cache's class that a transaction does
// not record (an iterator, close, ...) gets an AttributeError saying so.
PyObject* t_getattro(PyObject* self, PyObject* name) {
  PyObject* found = PyObject_GenericGetAttr(self, name);
  if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
  PyObject* cache = as_txn(self)->cache;
  if (cache == nullptr || !PyUnicode_Check(name) || PyUnicode_GetLength(name) == 0 ||
      PyUnicode_ReadChar(name, 0) == '_') {
    return nullptr;
  }
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyRef method(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(cache)), name));
  if (!method || PyCallable_Check(method.get()) == 0) {
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return nullptr;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  PyErr_Format(PyExc_AttributeError,
               "Cache.%U cannot be recorded in a transaction: only the data methods that return their result "
               "at once can run inside its atomic step",
               name);
  return nullptr;
}

PyGetSetDef kGetSet[] = {
    {"results", get_results, nullptr,
     "The results of the recorded calls in order (an exception object for a call that failed), or None until "
     "the transaction has run.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kDoc[] =
    "A group of Cache calls run atomically: no other thread or connection sees a state between two of them.\n\n"
    "Made by Cache.transaction(); use it as a context manager. Every data method of Cache can be recorded\n"
    "on it, with the same signature; the call returns None. When the `with` block ends without an\n"
    "exception the calls run in order, and `results` holds what each returned (or the exception it\n"
    "raised; the others still ran). A key, iterable or mapping argument is read when the call is\n"
    "recorded, and one that cannot be read raises there. Not recordable: scan_iter, hscan_iter and\n"
    "sscan_iter (an iterator cannot run inside the atomic step), close, save, transaction, and the\n"
    "conveniences of mevora.Cache written in Python (JSON, the mapping interface, memoize).";

}  // namespace

PyObject* watch_error() {
  static PyObject* cls = PyErr_NewExceptionWithDoc(
      "_mevora.WatchError",
      "A key watched by a transaction changed before the transaction ran; nothing of it ran.", PyExc_Exception,
      nullptr);
  return cls;
}

PyObject* make_transaction_type() {
  PyMethodDef* methods = method_table();
  if (methods == nullptr) {
    PyErr_SetString(PyExc_SystemError, "a recordable transaction method is not a Cache method");
    return nullptr;
  }
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(t_dealloc)},
      {Py_tp_getattro, reinterpret_cast<void*>(t_getattro)},
      {Py_tp_methods, methods},
      {Py_tp_getset, kGetSet},
      {Py_tp_doc, const_cast<char*>(kDoc)},
      {0, nullptr},
  };
  PyType_Spec spec = {"mevora._mevora.Transaction", sizeof(TransactionObject), 0, Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&spec);
  g_transaction_type = reinterpret_cast<PyTypeObject*>(type);
  return type;
}

PyObject* cache_transaction(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    static constexpr const char* kParams[] = {"watch"};
    PyObject* a[1];
    if (!bind_args({"transaction", kParams, 0}, args, nargs, kwnames, a)) return nullptr;
    std::vector<Bytes> keys;
    PyRef watch_list;
    if (a[0] != nullptr) {
      if (PyBytes_Check(a[0]) || PyUnicode_Check(a[0])) {
        PyErr_SetString(PyExc_TypeError, "watch expects an iterable of keys, not a single key");
        return nullptr;
      }
      watch_list = PyRef(PySequence_List(a[0]));
      if (!watch_list) return nullptr;
      std::vector<PyObject*> items;
      for (Py_ssize_t i = 0; i < PyList_Size(watch_list.get()); ++i) items.push_back(PyList_GetItem(watch_list.get(), i));
      if (!to_bytes_all(items, keys)) return nullptr;
    }
    PyRef calls(PyList_New(0));
    PyRef call_keys(PyList_New(0));
    if (!calls || !call_keys) return nullptr;
    PyObject* obj = PyType_GenericAlloc(g_transaction_type, 0);
    if (obj == nullptr) return nullptr;
    TransactionObject* t = as_txn(obj);
    t->cache = Py_NewRef(self);
    t->calls = calls.release();
    t->keys = call_keys.release();
    t->results = nullptr;
    t->watcher = nullptr;
    t->whole = false;
    t->state = TxnState::Open;
    PyRef owned(obj);
    if (!keys.empty()) {
      const std::vector<std::string_view> views = views_of(keys);
      auto w = std::make_unique<Watcher>(reinterpret_cast<CacheObject*>(self)->store);
      {
        GilRelease g;
        w->watch(views);
      }
      t->watcher = w.release();
    }
    return owned.release();
  } catch (...) {
    return raise_cpp_exception();
  }
}

}  // namespace mevora::py
