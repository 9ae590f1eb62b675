// The module's test hooks for injected file faults (fault_hook.cc).
#pragma once

#include "binding/py.h"

namespace mevora::py {

// The module-level functions _inject_fault and _clear_faults, terminated by
// a sentinel entry; static storage.
PyMethodDef* fault_hook_methods();

}  // namespace mevora::py
