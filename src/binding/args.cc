#include "binding/args.h"

#include <string>

namespace mevora::py {

bool bind_args_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject** out, std::span<PyObject* const>* rest) {
  const std::size_t nparams = sig.params.size();
  const auto given = static_cast<std::size_t>(nargs);
  std::size_t npos = given;
  if (given > nparams) {
    if (!sig.varargs) {
      PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", sig.name, nparams,
                   nparams == 1 ? "" : "s", nargs + (kwnames ? PyTuple_Size(kwnames) : 0));
      return false;
    }
    npos = nparams;
  }
  for (std::size_t i = 0; i < nparams; ++i) out[i] = i < npos ? args[i] : nullptr;
  if (rest != nullptr) {
    *rest = given > nparams ? std::span<PyObject* const>(args + nparams, given - nparams)
                            : std::span<PyObject* const>();
  }

  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* kw = PyTuple_GetItem(kwnames, k);  // borrowed
      std::size_t match = nparams;
      for (std::size_t i = 0; i < nparams; ++i) {
        if (PyUnicode_CompareWithASCIIString(kw, sig.params[i]) == 0) {
          match = i;
          break;
        }
      }
      if (match == nparams) {
        PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", kw, sig.name);
        return false;
      }
      if (out[match] != nullptr) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", sig.name,
                     sig.params[match], match + 1);
        return false;
      }
      out[match] = args[nargs + k];
    }
  }
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", sig.name, sig.params[i], i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace mevora::py
