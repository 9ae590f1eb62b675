// OsError: a failure reported by the operating system, as a value: the
// errno it came with (0 when the failing interface reports no errno, as
// the resolver does) and the text callers show: for an errno, the C
// library's description, then " (os error N)".
//
// The common error of everything that talks to the OS directly: the
// persistence layer wraps it in its PersistError, the socket layer returns
// it as it is.
#pragma once

#include <string>
#include <utility>

namespace mevora {

class OsError {
 public:
  OsError() = default;

  // From an errno value. Callers copy errno into a local right after the
  // failing call, before any cleanup can change it.
  static OsError from_errno(int err);
  // A failure of an interface that reports its own text instead of an
  // errno (the resolver's messages).
  static OsError with_text(std::string text) {
    OsError e;
    e.text_ = std::move(text);
    return e;
  }

  // The errno, or 0.
  int os_errno() const { return errno_; }
  const std::string& text() const { return text_; }

 private:
  int errno_ = 0;
  std::string text_;
};

}  // namespace mevora
