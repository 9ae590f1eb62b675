// Settling a recorded call (see transaction_calls.h).
#include "binding/transaction_calls.h"

#include <utility>

#include "binding/cache_object.h"
#include "binding/convert.h"

namespace mevora::py {
namespace {

// A key as the Cache methods convert it, as a bytes object.
PyRef key_bytes(PyObject* obj) {
  if (PyBytes_CheckExact(obj)) return PyRef::borrow(obj);
  Bytes b;
  if (!to_bytes(obj, b)) return PyRef();
  return PyRef(bytes_from(b.view));
}

// The keys of an iterable, read as Cache.mget reads them, as a list of
// bytes; each is also added to keys.
PyRef key_list(PyObject* iterable, std::vector<PyRef>& keys) {
  PyRef it(PyObject_GetIter(iterable));
  if (!it) return PyRef();
  PyRef list(PyList_New(0));
  if (!list) return PyRef();
  while (PyRef item = PyRef(PyIter_Next(it.get()))) {
    PyRef k = key_bytes(item.get());
    if (!k || PyList_Append(list.get(), k.get()) != 0) return PyRef();
    keys.push_back(std::move(k));
  }
  if (PyErr_Occurred()) return PyRef();
  return list;
}

// The pairs of a mapping, read as the Cache methods read them, as a dict
// of bytes; with keys, each of its keys is also added there. Repeated keys
// keep the last value, which is what storing the pairs in order leaves.
PyRef settled_mapping(PyObject* mapping, std::vector<PyRef>* keys) {
  MappingPairs pairs;
  if (!mapping_pairs(mapping, pairs)) return PyRef();
  PyRef dict(PyDict_New());
  if (!dict) return PyRef();
  for (const KeyValue& kv : pairs.views()) {
    PyRef k(bytes_from(kv.first));
    PyRef v(bytes_from(kv.second));
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) != 0) return PyRef();
    if (keys != nullptr) keys->push_back(std::move(k));
  }
  return dict;
}

// Replaces one argument by its settled form; false with the exception set.
bool settle(ArgRole role, PyRef& arg, std::vector<PyRef>& keys) {
  PyRef settled;
  switch (role) {
    case ArgRole::None:
      return true;
    case ArgRole::Key:
    case ArgRole::KeysFrom:
      settled = key_bytes(arg.get());
      if (settled) keys.push_back(PyRef::borrow(settled.get()));
      break;
    case ArgRole::KeyList:
      settled = key_list(arg.get(), keys);
      break;
    case ArgRole::KeyMapping:
      settled = settled_mapping(arg.get(), &keys);
      break;
    case ArgRole::Mapping:
      settled = settled_mapping(arg.get(), nullptr);
      break;
  }
  if (!settled) return false;
  arg = std::move(settled);
  return true;
}

}  // namespace

bool settle_call(const Recordable& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, SettledCall& out) {
  std::vector<PyRef> positional;
  positional.reserve(static_cast<std::size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) positional.push_back(PyRef::borrow(args[i]));
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  std::vector<PyRef> keyword;
  keyword.reserve(static_cast<std::size_t>(nkw));
  for (Py_ssize_t i = 0; i < nkw; ++i) keyword.push_back(PyRef::borrow(args[nargs + i]));

  // An argument given both by position and by keyword is settled twice;
  // the call then fails on it, having declared both keys.
  for (const ArgSpec& spec : m.args) {
    if (spec.role == ArgRole::None) continue;
    const std::size_t last = spec.role == ArgRole::KeysFrom ? positional.size() : spec.position + 1u;
    for (std::size_t i = spec.position; i < last && i < positional.size(); ++i) {
      if (!settle(spec.role, positional[i], out.keys)) return false;
    }
    if (spec.keyword == nullptr) continue;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (PyUnicode_CompareWithASCIIString(PyTuple_GetItem(kwnames, i), spec.keyword) != 0) continue;
      if (!settle(spec.role, keyword[static_cast<std::size_t>(i)], out.keys)) return false;
    }
  }

  out.args = PyRef(PyTuple_New(nargs));
  if (!out.args) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    PyTuple_SetItem(out.args.get(), i, positional[static_cast<std::size_t>(i)].release());  // steals
  }
  if (nkw == 0) return true;
  out.kwargs = PyRef(PyDict_New());
  if (!out.kwargs) return false;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (PyDict_SetItem(out.kwargs.get(), PyTuple_GetItem(kwnames, i), keyword[static_cast<std::size_t>(i)].get()) !=
        0) {
      return false;
    }
  }
  return true;
}

}  // namespace mevora::py
