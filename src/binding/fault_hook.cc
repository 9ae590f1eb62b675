// Test hooks of the module: _inject_fault and _clear_faults make the files
// of every store in this process fail to write or sync, the way a full or
// failing disk does (see util/platform.h). Not part of the public API.
#include "binding/fault_hook.h"

#include <cstdint>
#include <cstring>

#include "util/platform.h"

namespace mevora::py {
namespace {

// _inject_fault(op, nth, errno, times=1): op is "write", "sync" or
// "allocate" (reserving space for the mapped log segment); the nth
// call from now on (1 = the next) and the times - 1 after it fail with
// errno; times 0 fails every call from the nth on until _clear_faults().
PyObject* inject_fault(PyObject*, PyObject* args) {
  const char* op = nullptr;
  unsigned long long nth = 0;
  int err = 0;
  unsigned long long times = 1;
  if (!PyArg_ParseTuple(args, "sKi|K", &op, &nth, &err, &times)) return nullptr;
  platform::FaultOp which;
  if (std::strcmp(op, "write") == 0) {
    which = platform::FaultOp::Write;
  } else if (std::strcmp(op, "sync") == 0) {
    which = platform::FaultOp::Sync;
  } else if (std::strcmp(op, "allocate") == 0) {
    which = platform::FaultOp::Allocate;
  } else {
    PyErr_SetString(PyExc_ValueError, "op must be 'write', 'sync' or 'allocate'");
    return nullptr;
  }
  if (nth == 0 || err <= 0) {
    PyErr_SetString(PyExc_ValueError, "nth and errno must be positive");
    return nullptr;
  }
  platform::inject_fault(which, nth, err, times);
  Py_RETURN_NONE;
}

PyObject* clear_faults(PyObject*, PyObject*) {
  platform::clear_faults();
  Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"_inject_fault", inject_fault, METH_VARARGS,
     "_inject_fault(op, nth, errno, times=1)\n--\n\nTest hook: fail file writes, syncs or space reservations."},
    {"_clear_faults", clear_faults, METH_NOARGS, "_clear_faults()\n--\n\nTest hook: disarm injected faults."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* fault_hook_methods() { return kMethods; }

}  // namespace mevora::py
