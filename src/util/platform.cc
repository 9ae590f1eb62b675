#include "util/platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
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

int sync_file(int fd) {
  // Linux has no stronger full-flush primitive; fsync reaches the device.
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

void start_writeback(int fd) {
  // Offset 0 and length 0: the whole file.
  (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

int sync_dir(const char* path) {
  UniqueFd fd(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return errno;
  return sync_file(fd.get());
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
