// The Transaction type (see transaction_object.h).
//
// Recording: each data method of the transaction (set, incr, hset, ...:
// the data methods of Cache, with the same signatures) appends the call to
// a list and returns None. Iterables and mappings are copied into lists and
// dicts at once, so no caller code (a generator, a custom mapping) runs
// later, while shard locks are held.
//
// Running (the end of a `with` block without an exception): the keys of
// every call are converted and declared to Store::atomically, which locks
// their shards (all shards when keys() or flush() was called) with the GIL
// released; inside, the GIL is taken back and each call runs through the
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
#include "binding/transaction_object.h"
#include "core/watch.h"

namespace mevora::py {
namespace {

// The data methods a transaction records, in the order the stubs list them.
constexpr std::array kRecorded = {
    "set",  "get",    "mget",    "mset",  "incr",  "decr", "append", "delete", "exists", "expire", "pexpire",
    "persist", "ttl", "pttl",   "keys",  "flush", "hset", "hget",  "hdel",   "hgetall", "hlen",  "lpush",
    "rpush", "lpop",  "rpop",    "lrange", "llen", "sadd", "srem",  "smembers", "sismember", "scard",
    "getset", "getdel",
};

enum class TxnState { Open, Ran, Discarded };

struct TransactionObject {
  PyObject_HEAD
  PyObject* cache;    // strong reference
  PyObject* calls;    // list of (method index, args tuple, kwargs dict or None)
  PyObject* results;  // list once run, else nullptr
  Watcher* watcher;   // owned; null without watched keys
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

// A copy of the argument that runs no caller code when it is used later.
PyObject* settle(std::string_view method, std::size_t position, PyObject* arg) {
  if (position == 0 && method == "mget") return PySequence_List(arg);
  if (position == 0 && method == "mset") {
    PyRef items(PyObject_CallMethod(arg, "items", nullptr));
    if (!items) return nullptr;
    PyRef list(PySequence_List(items.get()));
    if (!list) return nullptr;
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_Size(list.get()); ++i) {
      PyObject* pair = PyList_GetItem(list.get(), i);
      if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
        PyErr_SetString(PyExc_TypeError, "mset expects a mapping of key/value pairs");
        return nullptr;
      }
      if (PyDict_SetItem(dict.get(), PyTuple_GetItem(pair, 0), PyTuple_GetItem(pair, 1)) != 0) return nullptr;
    }
    return dict.release();
  }
  return Py_NewRef(arg);
}

template <std::size_t I>
PyObject* record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  TransactionObject* t = as_txn(self);
  if (!ensure_open(t)) return nullptr;
  const std::string_view method = kRecorded[I];
  PyRef pos(PyTuple_New(nargs));
  if (!pos) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    PyObject* v = settle(method, static_cast<std::size_t>(i), args[i]);
    if (v == nullptr) return nullptr;
    PyTuple_SetItem(pos.get(), i, v);  // steals v
  }
  PyRef kw;
  if (kwnames != nullptr && PyTuple_Size(kwnames) > 0) {
    kw = PyRef(PyDict_New());
    if (!kw) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_Size(kwnames); ++i) {
      PyObject* name = PyTuple_GetItem(kwnames, i);
      const bool first = PyUnicode_CompareWithASCIIString(name, method == "mget" ? "keys" : "mapping") == 0;
      PyRef v(settle(method, first ? 0 : 1, args[nargs + i]));
      if (!v || PyDict_SetItem(kw.get(), name, v.get()) != 0) return nullptr;
    }
  }
  PyRef index(PyLong_FromSize_t(I));
  if (!index) return nullptr;
  PyRef call(PyTuple_Pack(3, index.get(), pos.get(), kw ? kw.get() : Py_None));
  if (!call || PyList_Append(t->calls, call.get()) != 0) return nullptr;
  Py_RETURN_NONE;
}

// The keys one recorded call touches, appended to keys (converted as the
// Cache method converts them); whole is set for calls over every key.
bool call_keys(std::string_view method, PyObject* pos, PyObject* kw, std::vector<Bytes>& keys, bool& whole) {
  if (method == "keys" || method == "flush") {
    whole = true;
    return true;
  }
  const auto add = [&](PyObject* k) {
    keys.emplace_back();
    keys.back().keep = PyRef::borrow(k);  // the call keeps k alive anyway
    return to_bytes(k, keys.back());
  };
  PyObject* first = PyTuple_Size(pos) > 0 ? PyTuple_GetItem(pos, 0) : nullptr;
  if (method == "delete") {
    for (Py_ssize_t i = 0; i < PyTuple_Size(pos); ++i) {
      if (!add(PyTuple_GetItem(pos, i))) return false;
    }
    return true;
  }
  if (first == nullptr && kw != Py_None) {
    first = PyDict_GetItemString(kw, method == "mget" ? "keys" : method == "mset" ? "mapping" : "key");
  }
  if (first == nullptr) return true;  // the call itself will fail on its arguments
  if (method == "mget") {
    if (!PyList_Check(first)) return true;
    for (Py_ssize_t i = 0; i < PyList_Size(first); ++i) {
      if (!add(PyList_GetItem(first, i))) return false;
    }
    return true;
  }
  if (method == "mset") {
    if (!PyDict_Check(first)) return true;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(first, &at, &k, &v)) {
      if (!add(k)) return false;
    }
    return true;
  }
  return add(first);
}

// Calls the Cache method of the recorded call; its exception, if any,
// becomes the result.
PyObject* run_call(PyObject* cache, PyObject* call) {
  const std::size_t index = PyLong_AsSize_t(PyTuple_GetItem(call, 0));
  PyObject* pos = PyTuple_GetItem(call, 1);
  PyObject* kw = PyTuple_GetItem(call, 2);
  PyRef method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(cache_type()), kRecorded[index]));
  PyRef full;
  if (method) full = PyRef(PyTuple_New(PyTuple_Size(pos) + 1));
  if (full) {
    PyTuple_SetItem(full.get(), 0, Py_NewRef(cache));
    for (Py_ssize_t i = 0; i < PyTuple_Size(pos); ++i) {
      PyTuple_SetItem(full.get(), i + 1, Py_NewRef(PyTuple_GetItem(pos, i)));
    }
  }
  PyObject* result = full ? PyObject_Call(method.get(), full.get(), kw == Py_None ? nullptr : kw) : nullptr;
  if (result != nullptr) return result;
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

PyObject* run(TransactionObject* t) {
  PyObject* cache = t->cache;
  const Py_ssize_t n = PyList_Size(t->calls);
  std::vector<Bytes> keys;
  bool whole = false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* call = PyList_GetItem(t->calls, i);
    const std::size_t index = PyLong_AsSize_t(PyTuple_GetItem(call, 0));
    if (!call_keys(kRecorded[index], PyTuple_GetItem(call, 1), PyTuple_GetItem(call, 2), keys, whole)) {
      return nullptr;
    }
  }
  const std::vector<std::string_view> views = views_of(keys);
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
  t->calls = PyList_New(0);
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
  Py_CLEAR(t->results);
  PyObject_Free(self);
  Py_DECREF(type);
}

template <std::size_t... I>
constexpr std::array<PyCFunction, sizeof...(I)> recorders(std::index_sequence<I...>) {
  return {reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record<I>))...};
}

// The method table: the recorders (with the Cache methods' docs and so
// their signatures), then the context manager protocol.
PyMethodDef* method_table() {
  static std::array<PyMethodDef, kRecorded.size() + 3> table = [] {
    std::array<PyMethodDef, kRecorded.size() + 3> out{};
    const auto fns = recorders(std::make_index_sequence<kRecorded.size()>());
    for (std::size_t i = 0; i < kRecorded.size(); ++i) {
      const char* doc = nullptr;
      for (const PyMethodDef* m = kCacheMethods; m->ml_name != nullptr; ++m) {
        if (std::string_view(m->ml_name) == kRecorded[i]) doc = m->ml_doc;
      }
      out[i] = {kRecorded[i], fns[i], METH_FASTCALL | METH_KEYWORDS, doc};
    }
    out[kRecorded.size()] = {"__enter__", t_enter, METH_NOARGS, "__enter__($self)\n--\n\n"};
    out[kRecorded.size() + 1] = {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(t_exit)),
                                 METH_FASTCALL, "__exit__($self, exc_type, exc, tb, /)\n--\n\n"};
    out[kRecorded.size() + 2] = {nullptr, nullptr, 0, nullptr};
    return out;
  }();
  return table.data();
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
    "Made by Cache.transaction(); use it as a context manager. Calls on it are recorded and run when the\n"
    "`with` block ends without an exception; `results` then holds their results.";

}  // namespace

PyObject* watch_error() {
  static PyObject* cls = PyErr_NewExceptionWithDoc(
      "_mevora.WatchError",
      "A key watched by a transaction changed before the transaction ran; nothing of it ran.", PyExc_Exception,
      nullptr);
  return cls;
}

PyObject* make_transaction_type() {
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(t_dealloc)},
      {Py_tp_methods, method_table()},
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
    if (!calls) return nullptr;
    PyObject* obj = PyType_GenericAlloc(g_transaction_type, 0);
    if (obj == nullptr) return nullptr;
    TransactionObject* t = as_txn(obj);
    t->cache = Py_NewRef(self);
    t->calls = calls.release();
    t->results = nullptr;
    t->watcher = nullptr;
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
