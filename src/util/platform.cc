#include "util/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

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
  static constexpr std::size_t kOps = 3;
  FaultPlan plans[kOps];
  bool active[kOps] = {false, false, false};
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
  for (bool& a : f.active) a = false;
  f.armed.store(false, std::memory_order_relaxed);
}

ssize_t write_file(int fd, const void* data, std::size_t len) {
  if (int err = injected(FaultOp::Write); err != 0) {
    errno = err;
    return -1;
  }
  return ::write(fd, data, len);
}

int write_fault() { return injected(FaultOp::Write); }

int allocate_file(int fd, std::uint64_t offset, std::uint64_t len) {
  if (int err = injected(FaultOp::Allocate); err != 0) return err;
  constexpr auto kMaxOff = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  if (offset > kMaxOff || len > kMaxOff - offset) return EFBIG;
  for (;;) {
    // posix_fallocate returns the error instead of setting errno.
    const int err = ::posix_fallocate(fd, static_cast<off_t>(offset), static_cast<off_t>(len));
    if (err != EINTR) return err;
  }
}

int truncate_file(int fd, std::uint64_t len) {
  if (len > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EFBIG;
  while (::ftruncate(fd, static_cast<off_t>(len)) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

void* map_file_shared(int fd, std::uint64_t offset, std::size_t len, int* err) {
  void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(offset));
  if (p == MAP_FAILED) {
    *err = errno;
    return nullptr;
  }
  return p;
}

void unmap_file(void* addr, std::size_t len) {
  if (addr != nullptr) (void)::munmap(addr, len);
}

std::size_t page_size() {
  static const std::size_t size = [] {
    const long v = ::sysconf(_SC_PAGESIZE);
    return v > 0 ? static_cast<std::size_t>(v) : std::size_t{4096};
  }();
  return size;
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

namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

std::uint64_t limit_value(rlim_t v) { return v == RLIM_INFINITY ? kUnlimited : static_cast<std::uint64_t>(v); }

// The kernel's ceiling for a descriptor limit (fs.nr_open); 0 if unknown.
rlim_t kernel_descriptor_ceiling() {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen("/proc/sys/fs/nr_open", "re"), std::fclose);
  unsigned long long n = 0;
  if (!f || std::fscanf(f.get(), "%llu", &n) != 1) return 0;
  return static_cast<rlim_t>(n);
}

}  // namespace

std::uint64_t raise_descriptor_limit() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
  if (lim.rlim_cur != RLIM_INFINITY && (lim.rlim_max == RLIM_INFINITY || lim.rlim_cur < lim.rlim_max)) {
    rlimit raised = lim;
    if (lim.rlim_max == RLIM_INFINITY) {
      // Linux refuses an unlimited soft limit; its ceiling is nr_open.
      const rlim_t ceiling = kernel_descriptor_ceiling();
      raised.rlim_cur = ceiling > lim.rlim_cur ? ceiling : lim.rlim_cur;
    } else {
      raised.rlim_cur = lim.rlim_max;
    }
    if (raised.rlim_cur != lim.rlim_cur && ::setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
  }
  return limit_value(lim.rlim_cur);
}

std::uint64_t open_descriptor_count() {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc/self/fd"), ::closedir);
  if (!dir) return 0;
  std::uint64_t n = 0;
  while (const dirent* e = ::readdir(dir.get())) {
    if (e->d_name[0] != '.') ++n;
  }
  // The directory stream's own descriptor is listed too.
  return n > 0 ? n - 1 : 0;
}

}  // namespace mevora::platform
