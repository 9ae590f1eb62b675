// The translation of the core's errors into Python exceptions, in one
// place: which exception each store, persistence and OS error raises.
//
// Every function here needs the GIL, raises, and returns nullptr so that a
// method can `return raise_...(...)`.
#pragma once

#include <string_view>

#include "binding/py.h"
#include "core/persist_error.h"
#include "core/store_types.h"

namespace mevora::py {

// The exception class for each kind (borrowed references that live for the
// process): the one table the functions below raise from.
//   StoreError:   WrongType -> TypeError, OutOfMemory -> MemoryError,
//                 NotInteger, Overflow, KeyTooLong -> ValueError,
//                 LogRefused -> OSError;
//   PersistError: WouldBlock -> CacheLockedError, InvalidData ->
//                 CorruptDataError, every other kind -> OSError.
PyObject* exception_type(StoreError::Kind kind);
PyObject* exception_type(PersistErrorKind kind);

// Raises the exception for a store error with its message; a write the log
// refused raises OSError(errno, message) (errno omitted when 0), so Python
// picks the subclass for the number.
PyObject* raise_store_error(const StoreError& e);
// Raises the exception for err's kind with `message` (the caller's context
// and, usually, err.text()); undecodable bytes show as U+FFFD.
PyObject* raise_persist_error(const PersistError& err, std::string_view message);
// Raises OSError(message) for an OsError (a socket that could not be
// bound, say); message is the caller's context and the error's text.
PyObject* raise_os_error(std::string_view message);
// Raises the exception for the active C++ exception (std::bad_alloc ->
// MemoryError, std::length_error -> ValueError, others -> RuntimeError).
// Call only inside a catch block.
PyObject* raise_cpp_exception();

// The exception classes of the module (created once per process, never
// freed).
PyObject* cache_locked_error();
PyObject* corrupt_data_error();

}  // namespace mevora::py
