#include "util/os_error.h"

#include "util/platform.h"

namespace mevora {

OsError OsError::from_errno(int err) {
  OsError e;
  e.errno_ = err;
  e.text_ = platform::error_description(err) + " (os error " + std::to_string(err) + ")";
  return e;
}

}  // namespace mevora
