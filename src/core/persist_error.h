// PersistError: the error of persistence operations (lock, log, snapshot,
// open, save), and so of the Persistence interface the store calls. It
// carries a kind, the errno for operating-system errors, and the display
// text that callers show:
//   - OS errors: OsError's text, the C library's description, then
//     " (os error N)";
//   - errors raised by mevora itself: their message alone.
#pragma once

#include <string>

#include "util/os_error.h"
#include "util/result.h"

namespace mevora {

enum class PersistErrorKind {
  WouldBlock,     // the data directory is held by another live owner
  InvalidData,    // persisted bytes failed their checks
  InvalidInput,   // the request itself is not valid (e.g. no persistence)
  UnexpectedEof,  // a read ended before the bytes it needed
  Other,          // raised by mevora, no finer kind
  Os,             // an operating-system error; see os_errno
};

class PersistError {
 public:
  PersistError() = default;
  // An OS failure (kind Os when it carries an errno, else Other).
  PersistError(const OsError& e);  // NOLINT: every OS error is a persistence error

  // Builds an OS error from an errno value. Callers copy errno into a local
  // right after the failing call, before any cleanup can change it.
  static PersistError from_errno(int err) { return PersistError(OsError::from_errno(err)); }
  static PersistError make(PersistErrorKind kind, std::string message);

  PersistErrorKind kind() const { return kind_; }
  int os_errno() const { return errno_; }
  // The display form: what users see after "save failed: " and the like.
  const std::string& text() const { return text_; }

 private:
  PersistErrorKind kind_ = PersistErrorKind::Other;
  int errno_ = 0;
  std::string text_;
};

// The failed result of an OS call that set err, for the persistence steps
// that return Result<T, PersistError>.
inline Err<PersistError> os_error(int err) { return make_err(PersistError::from_errno(err)); }

}  // namespace mevora
