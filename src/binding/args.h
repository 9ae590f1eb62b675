// Argument binding for METH_FASTCALL | METH_KEYWORDS methods.
//
// Binds positional and keyword arguments to a published signature with
// CPython's rules and its error wording (missing, duplicate, unexpected
// and surplus arguments raise TypeError). Every parameter is
// positional-or-keyword; a signature may end in *varargs, which collects
// the positional arguments past the named ones.
#pragma once

#include <span>

#include "binding/py.h"

namespace mevora::py {

struct Signature {
  const char* name;                // the method name, e.g. "set"
  std::span<const char* const> params;
  std::size_t required;            // how many leading params are required
  bool varargs = false;            // positional surplus goes to `rest`
};

// On success fills out[i] with a borrowed reference or nullptr (not given)
// and, for varargs signatures, rest with the surplus positional arguments.
// On failure sets a TypeError and returns false.
bool bind_args_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject** out, std::span<PyObject* const>* rest);

// The common call (every argument by position, none missing, no surplus)
// is bound here without leaving the caller; everything else, including
// every error, goes through bind_args_general.
inline bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      PyObject** out, std::span<PyObject* const>* rest = nullptr) {
  const auto given = static_cast<std::size_t>(nargs);
  if (kwnames == nullptr && given >= sig.required && given <= sig.params.size()) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) out[i] = i < given ? args[i] : nullptr;
    if (rest != nullptr) *rest = std::span<PyObject* const>();
    return true;
  }
  return bind_args_general(sig, args, nargs, kwnames, out, rest);
}

}  // namespace mevora::py
