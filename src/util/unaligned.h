// load_unaligned<T>: a T read from any address, in the host's byte order.
// Goes through memcpy, which compilers turn into one load where the host
// allows unaligned access, so callers need no casts that break aliasing.
#pragma once

#include <cstring>
#include <type_traits>

namespace mevora {

template <class T>
  requires std::is_trivially_copyable_v<T>
inline T load_unaligned(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace mevora
