#include "core/persist_error.h"

#include <utility>

namespace mevora {

PersistError::PersistError(const OsError& e)
    : kind_(e.os_errno() != 0 ? PersistErrorKind::Os : PersistErrorKind::Other),
      errno_(e.os_errno()),
      text_(e.text()) {}

PersistError PersistError::make(PersistErrorKind kind, std::string message) {
  PersistError e;
  e.kind_ = kind;
  e.text_ = std::move(message);
  return e;
}

}  // namespace mevora
