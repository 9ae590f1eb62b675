#include "util/platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <chrono>
#include <cstring>

#include "util/unique_fd.h"

namespace mevora::platform {

void set_thread_name(std::thread::native_handle_type thread, const char* name) {
  char buf[16];
  std::strncpy(buf, name, sizeof buf - 1);
  buf[sizeof buf - 1] = '\0';
  pthread_setname_np(thread, buf);
}

void set_current_thread_name(const char* name) { set_thread_name(pthread_self(), name); }

namespace {

// One armed fault per operation. `armed` is read on every call without the
// mutex; the plan itself is read and counted under it.
struct FaultPlan {
  std::uint64_t calls_left_before = 0;  // calls that still succeed first
  std::uint64_t failures_left = 0;      // 0 with `endless`: fail forever
  bool endless = false;
  int err = 0;
};

struct Faults {
  std::atomic<bool> armed{false};
  std::mutex mu;
  FaultPlan plans[2];
  bool active[2] = {false, false};
};

Faults& faults() {
  static Faults* f = new Faults;  // never destroyed: threads may outlive statics
  return *f;
}

// The errno the current call of op must fail with, or 0.
int injected(FaultOp op) {
  Faults& f = faults();
  if (!f.armed.load(std::memory_order_relaxed)) return 0;
  std::lock_guard<std::mutex> g(f.mu);
  const auto i = static_cast<std::size_t>(op);
  if (!f.active[i]) return 0;
  FaultPlan& p = f.plans[i];
  if (p.calls_left_before > 0) {
    --p.calls_left_before;
    return 0;
  }
  const int err = p.err;
  if (!p.endless && --p.failures_left == 0) f.active[i] = false;
  return err;
}

int fsync_retrying(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace

void inject_fault(FaultOp op, std::uint64_t nth, int err, std::uint64_t times) {
  Faults& f = faults();
  std::lock_guard<std::mutex> g(f.mu);
  const auto i = static_cast<std::size_t>(op);
  f.plans[i] = FaultPlan{nth > 0 ? nth - 1 : 0, times, times == 0, err};
  f.active[i] = true;
  f.armed.store(true, std::memory_order_relaxed);
}

void clear_faults() {
  Faults& f = faults();
  std::lock_guard<std::mutex> g(f.mu);
  f.active[0] = f.active[1] = false;
  f.armed.store(false, std::memory_order_relaxed);
}

ssize_t write_file(int fd, const void* data, std::size_t len) {
  if (int err = injected(FaultOp::Write); err != 0) {
    errno = err;
    return -1;
  }
  return ::write(fd, data, len);
}

int sync_file(int fd) {
  if (int err = injected(FaultOp::Sync); err != 0) return err;
  // Linux has no stronger full-flush primitive; fsync reaches the device.
  return fsync_retrying(fd);
}

void start_writeback(int fd) {
  // Offset 0 and length 0: the whole file.
  (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

int sync_dir(const char* path) {
  UniqueFd fd(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return errno;
  return fsync_retrying(fd.get());
}

int send_flags() { return MSG_NOSIGNAL; }

void fill_random(void* buf, std::size_t len) {
  auto* p = static_cast<unsigned char*>(buf);
  while (len > 0) {
    std::size_t chunk = len < 256 ? len : 256;
    if (::getentropy(p, chunk) != 0) {
      // The entropy source is unavailable: seed from the clocks instead. The
      // seeds only randomise per-collection hash layouts, so this is safe.
      std::uint64_t x = static_cast<std::uint64_t>(
          std::chrono::steady_clock::now().time_since_epoch().count());
      x ^= reinterpret_cast<std::uintptr_t>(p) * 0x9e3779b97f4a7c15ULL;
      for (std::size_t i = 0; i < chunk; ++i) {
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        p[i] = static_cast<unsigned char>(x >> 56);
      }
    }
    p += chunk;
    len -= chunk;
  }
}

std::uint64_t wall_clock_ms() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace mevora::platform
