// PersistError: the error of persistence operations (lock, log, snapshot,
// open, save). It carries a kind, the errno for operating-system errors, and
// the display text that callers show:
//   - OS errors: the C library's description, then " (os error N)";
//   - errors raised by mevora itself: their message alone.
#pragma once

#include <string>

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

  // Builds an OS error from an errno value. Callers copy errno into a local
  // right after the failing call, before any cleanup can change it.
  static PersistError from_errno(int err);
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

}  // namespace mevora
