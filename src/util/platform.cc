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
#include <string>
#include <limits>
#include <memory>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

namespace {
std::atomic<void (*)()> sync_hook{nullptr};
}  // namespace

void set_sync_hook(void (*hook)()) { sync_hook.store(hook, std::memory_order_release); }

int sync_file(int fd) {
  if (auto hook = sync_hook.load(std::memory_order_acquire); hook != nullptr) hook();
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

int stream_socket(int family, bool nonblocking) {
  return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
}

int accept_connection(int listener) { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }

namespace {

// strerror_r comes in two forms: the GNU one returns the text (which may
// not be in buf), the POSIX one fills buf and returns 0. Overloading on
// the return type takes whichever the C library declares.
[[maybe_unused]] const char* description_of(const char* text, const char*) { return text; }
[[maybe_unused]] const char* description_of(int rc, const char* buf) { return rc == 0 ? buf : "Unknown error"; }

}  // namespace

std::string error_description(int err) {
  char buf[256] = {};
  return description_of(strerror_r(err, buf, sizeof buf), buf);
}

namespace {

#if defined(__x86_64__)
// Carry-less multiplication folding (x86-64 with PCLMULQDQ): four 128-bit
// lanes are folded forward 512 bits at a time by multiplying with
// x^(512+32) and x^(512-32) mod P, then folded into one lane, reduced to 64
// and 32 bits, and finished with a Barrett reduction. Constants are for the
// reflected polynomial 0xEDB88320 (P' = 0x1DB710641, mu = 0x1F7011641).
// Takes and returns the running state (see crc32_fold); len is a
// multiple of 16 and at least 64.
#define MEVORA_CLMUL __attribute__((target("pclmul,sse4.1")))

MEVORA_CLMUL inline __m128i load(const char* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); }

// x * (k.lo, k.hi) + data: one lane carried forward.
MEVORA_CLMUL inline __m128i fold(__m128i x, __m128i k, __m128i data) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), data);
}

MEVORA_CLMUL std::uint32_t crc32_clmul(std::uint32_t c, const char* p, std::size_t len) {
  const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596LL, 0x154442bd4LL);
  const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009eLL, 0x1751997d0LL);
  const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124LL);
  const __m128i poly_mu = _mm_set_epi64x(0x1F7011641LL, 0x1DB710641LL);
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(c)));
  __m128i x2 = load(p + 16);
  __m128i x3 = load(p + 32);
  __m128i x4 = load(p + 48);
  p += 64;
  len -= 64;
  while (len >= 64) {
    x1 = fold(x1, k1k2, load(p));
    x2 = fold(x2, k1k2, load(p + 16));
    x3 = fold(x3, k1k2, load(p + 32));
    x4 = fold(x4, k1k2, load(p + 48));
    p += 64;
    len -= 64;
  }
  x1 = fold(x1, k3k4, x2);
  x1 = fold(x1, k3k4, x3);
  x1 = fold(x1, k3k4, x4);
  while (len >= 16) {
    x1 = fold(x1, k3k4, load(p));
    p += 16;
    len -= 16;
  }
  // 128 -> 64 bits.
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
  // 64 -> 32 bits.
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 4), _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k5, 0x00));
  // Barrett reduction to the 32-bit remainder.
  __m128i t = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly_mu, 0x10), mask32);
  t = _mm_clmulepi64_si128(t, poly_mu, 0x00);
  return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, t), 1));
}

bool have_clmul() {
  static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return yes;
}

#undef MEVORA_CLMUL
#endif

}  // namespace

bool crc32_fold(std::uint32_t& state, const char* p, std::size_t len) {
#if defined(__x86_64__)
  if (!have_clmul()) return false;
  state = crc32_clmul(state, p, len);
  return true;
#else
  (void)state;
  (void)p;
  (void)len;
  return false;
#endif
}

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
