// Small value types shared by the store and its callers: error kinds,
// policies, configuration and persistence counters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/persist/fsync_policy.h"
#include "util/result.h"

namespace mevora {

// The only errors store operations return. Missing keys are never errors.
enum class StoreError : std::uint8_t {
  WrongType = 0,
  OutOfMemory = 1,
  NotInteger = 2,
  Overflow = 3,
};

// The fixed message of each kind (without any protocol prefix).
const char* store_error_message(StoreError e);

template <class T>
using StoreResult = Result<T, StoreError>;

enum class EvictionPolicy : std::uint8_t { NoEviction = 0, AllKeysLru = 1, VolatileLru = 2 };

struct StoreConfig {
  std::optional<std::string> persist_dir;  // absent = in memory only
  std::uint64_t snapshot_interval = 300;   // seconds; 0 = no periodic snapshot
  FsyncPolicy fsync = FsyncPolicy::EverySec;
  std::uint64_t shards = 64;
  std::uint64_t max_memory = 0;            // bytes; 0 = unlimited
  std::uint64_t sweep_interval_ms = 100;   // 0 = no sweeper thread
  EvictionPolicy policy = EvictionPolicy::NoEviction;
};

struct PersistStats {
  std::optional<std::string> last_error;
  std::uint64_t last_save_ms = 0;
  std::uint64_t snapshot_bytes = 0;
  std::uint64_t wal_bytes = 0;
  std::uint64_t loaded_keys = 0;
};

}  // namespace mevora
