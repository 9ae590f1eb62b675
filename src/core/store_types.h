// Small value types shared by the store and its callers: error kinds,
// policies, configuration and persistence counters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/fsync_policy.h"
#include "util/result.h"

namespace mevora {

// The errors store operations return. Missing keys are never errors.
//
// Every kind but LogRefused carries a fixed message. LogRefused says that a
// write was refused because its record could not be appended to the
// write-ahead log: it carries the operating system's error number (0 when
// the failure did not come from the OS) and a message that starts with
// kLogRefusedPrefix and ends with the error's text. Nothing changed in
// memory when a store operation returns it.
//
// A StoreError converts to its Kind, so callers switch and compare on it
// as on the plain enumeration it used to be.
class StoreError {
 public:
  enum Kind : std::uint8_t {
    WrongType = 0,
    OutOfMemory = 1,
    NotInteger = 2,
    Overflow = 3,
    LogRefused = 4,
    // A write named a key longer than kMaxKeyLen (4 GiB - 1) bytes; it is
    // refused before anything is hashed, admitted, evicted or changed.
    KeyTooLong = 5,
    NotFloat = 6,   // a float operand or stored value is not a finite number
    NoSuchKey = 7,  // an operation that needs its source key found none
    TooLarge = 8,   // a string would grow past kMaxStringLen
    NotFinite = 9,  // a float change whose result would be NaN or infinite
  };

  StoreError() = default;
  StoreError(Kind kind) : kind_(kind) {}  // NOLINT: a kind is an error

  // A write refused because the log could not take its record; `text` is
  // the failure's display text (for an OS error, its description and
  // " (os error N)").
  static StoreError log_refused(int os_errno, std::string_view text);

  Kind kind() const { return kind_; }
  operator Kind() const { return kind_; }  // NOLINT: switch and compare on the kind
  // For LogRefused: the OS error number, or 0.
  int os_errno() const { return os_errno_; }
  // For LogRefused: the whole message, prefix included.
  const std::string& log_message() const { return message_; }

 private:
  Kind kind_ = WrongType;
  int os_errno_ = 0;
  std::string message_;
};

// What every LogRefused message starts with.
inline constexpr std::string_view kLogRefusedPrefix = "write refused, the change could not be logged: ";

// An Err<StoreError> from a bare kind, so make_err(StoreError::WrongType)
// builds the error type store results carry.
inline Err<StoreError> make_err(StoreError::Kind kind) { return Err<StoreError>{StoreError(kind)}; }

// The largest string value a write that grows a string in place of its
// caller's bytes (setrange) may produce: 512 MiB.
inline constexpr std::uint64_t kMaxStringLen = 512ull * 1024 * 1024;

// The message of e: the fixed text of the other kinds, or the LogRefused
// message. Valid while e lives. WrongType and OutOfMemory texts start with
// their reply's error code ("WRONGTYPE", "OOM"); the others carry no code,
// and the server puts "ERR " before them.
const char* store_error_message(const StoreError& e);

template <class T>
using StoreResult = Result<T, StoreError>;

// The most elements hrandfield and srandmember draw for a negative count:
// drawn with repeats, they need not exist, so without a bound a request of
// a few bytes could make the store build a result of any size. The bound
// is the most elements one request may carry.
inline constexpr std::int64_t kMaxRepeatedPicks = std::int64_t{1} << 20;

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
  // True while every mutation is refused: an append or a sync of the log
  // failed, and no save has written a snapshot and started a fresh
  // segment since.
  bool writes_refused = false;
};

}  // namespace mevora
