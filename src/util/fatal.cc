#include "util/fatal.h"

#include <cstdio>
#include <cstdlib>

namespace mevora {

void fatal(const char* message) noexcept {
  std::fprintf(stderr, "mevora: %s\n", message);
  std::fflush(stderr);
  std::abort();
}

}  // namespace mevora
