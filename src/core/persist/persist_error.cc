#include "core/persist/persist_error.h"

#include <cstring>
#include <utility>

namespace mevora {

PersistError PersistError::from_errno(int err) {
  PersistError e;
  e.kind_ = PersistErrorKind::Os;
  e.errno_ = err;
  char buf[256];
  // GNU strerror_r returns the message pointer (possibly not buf).
  const char* msg = strerror_r(err, buf, sizeof buf);
  e.text_ = std::string(msg) + " (os error " + std::to_string(err) + ")";
  return e;
}

PersistError PersistError::make(PersistErrorKind kind, std::string message) {
  PersistError e;
  e.kind_ = kind;
  e.text_ = std::move(message);
  return e;
}

}  // namespace mevora
