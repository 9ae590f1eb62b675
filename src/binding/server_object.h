// The Python Server object: a RESP2 server over the Store of a Cache.
//
// A Server holds its own reference to the Store (not to the Cache object),
// the address and password fixed at construction, and a run state guarded
// by a mutex: stopped, or running with what shutdown needs. start() and
// stop() run with the GIL released and are serialised by that mutex; the
// server's own threads never touch the interpreter.
#pragma once

#include "binding/py.h"

namespace mevora::py {

// Builds the Server type object (a heap type); nullptr with an exception
// set on failure. Needs the Cache type to have been built first.
PyObject* make_server_type();

}  // namespace mevora::py
