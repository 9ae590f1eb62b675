// The data-directory lock: at most one open store per data directory,
// across processes and within this process.
//
// Between processes the lock is a file "LOCK" in the directory holding the
// owner's process id in decimal and a newline, kept open by its owner with
// an exclusive OS lock (flock) for the store's whole life. The OS lock
// serialises every takeover: a LOCK is judged only while holding it, so of
// several processes opening one directory at once exactly one wins. A LOCK
// whose owner is gone (or that cannot be read as a live process id other
// than ours) is stale and rewritten in place; one that names a live process
// is respected even when nobody holds its OS lock. The owner unlinks LOCK
// on release while still holding the OS lock; an opener that then finds
// the file it locked no longer linked at the path starts over. A crashed
// owner's OS lock goes with its process.
//
// Within this process the file cannot tell two stores apart, so a
// process-wide registry of canonical directory paths (realpath) is kept as
// well, guarded by one mutex. The registry is created on first use and
// deliberately never destroyed, so no static destructor runs while other
// threads may still use it.
//
// Ownership: a DirLock owns one acquisition. It is move-only and releases
// on destruction unless already released; release_dir_lock is idempotent.
// That makes "release on close, on destruction, on a failed open" hold by
// construction. DirLock objects are not synchronised: one owner at a time
// (the store keeps its DirLock under its own mutex).
//
// Errors:
//   - WouldBlock "data directory is locked by another live process": another
//     process holds the OS lock, the LOCK names another live process, or
//     another DirLock of this process holds the same canonical directory
//     for longer than the wait (2 s).
//   - Os: the directory cannot be created or resolved, or LOCK cannot be
//     opened, locked or written (a LOCK that is not a regular file, such as
//     a FIFO, is stale and replaced; a directory named LOCK cannot be
//     opened for writing: EISDIR).
#pragma once

#include <chrono>
#include <string>

#include "core/persist_error.h"
#include "util/result.h"
#include "util/unique_fd.h"

namespace mevora::persist {

inline constexpr char kLockFileName[] = "LOCK";
inline constexpr char kLockedMessage[] = "data directory is locked by another live process";
// How long acquire_dir_lock waits while another DirLock of this process
// holds the same directory.
inline constexpr std::chrono::milliseconds kLockWait{2000};

class DirLock {
 public:
  DirLock() = default;  // holds nothing
  ~DirLock();
  DirLock(DirLock&& other) noexcept;
  DirLock& operator=(DirLock&& other) noexcept;  // releases what *this held
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;

  bool held() const { return held_; }
  // The caller's directory path (not resolved) joined with "LOCK".
  const std::string& lock_path() const { return lock_path_; }
  // The directory after resolving symbolic links and relative parts.
  const std::string& canonical_dir() const { return canonical_dir_; }

 private:
  friend Result<DirLock, PersistError> acquire_dir_lock(const std::string& dir,
                                                        std::chrono::milliseconds max_wait);
  friend void release_dir_lock(DirLock& lock);

  std::string lock_path_;
  std::string canonical_dir_;
  UniqueFd fd_;  // the open LOCK, holding the OS lock while held_
  bool held_ = false;
};

// Creates dir (and missing parents, 0777 before the umask), resolves it and
// takes the lock. While another DirLock of this process holds the same
// canonical directory, polls every 5 ms for up to max_wait (monotonic clock)
// with the registry mutex released between polls. The store passes the
// default; tests may shorten it.
Result<DirLock, PersistError> acquire_dir_lock(const std::string& dir,
                                               std::chrono::milliseconds max_wait = kLockWait);

// Deletes the LOCK file (errors ignored) while still holding its OS lock,
// closes it and removes the registry entry.
// Never fails; does nothing for a DirLock that holds nothing.
void release_dir_lock(DirLock& lock);

// Whether a DirLock of this process currently holds the canonical directory
// `canonical_dir`. For diagnostics and tests.
bool lock_registry_contains(const std::string& canonical_dir);

}  // namespace mevora::persist
