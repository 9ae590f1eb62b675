// UniqueMapping: the single owner of one shared file mapping
// (platform::map_file_shared), unmapped when it is reset or destroyed.
// Move-only; an empty mapping has no address and size 0.
#pragma once

#include <cstddef>
#include <utility>

#include "util/platform.h"

namespace mevora {

class UniqueMapping {
 public:
  UniqueMapping() = default;
  UniqueMapping(void* addr, std::size_t size) : addr_(static_cast<char*>(addr)), size_(size) {}
  ~UniqueMapping() { reset(); }

  UniqueMapping(UniqueMapping&& other) noexcept
      : addr_(std::exchange(other.addr_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  UniqueMapping& operator=(UniqueMapping&& other) noexcept {
    if (this != &other) {
      reset();
      addr_ = std::exchange(other.addr_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  UniqueMapping(const UniqueMapping&) = delete;
  UniqueMapping& operator=(const UniqueMapping&) = delete;

  char* data() const { return addr_; }
  std::size_t size() const { return size_; }

  void reset() {
    platform::unmap_file(addr_, size_);
    addr_ = nullptr;
    size_ = 0;
  }

 private:
  char* addr_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace mevora
