// Shared pieces of the libFuzzer targets in this directory: an invariant
// check that aborts with a message (so the fuzzer records the input), a
// scratch directory for the file-format targets, whole-file helpers, a
// bitwise reference CRC-32 with little-endian loads, and a descriptor-leak
// probe. Harness code only; nothing here is linked into the library.
//
// Thread safety: every target runs single-threaded; none of this is shared.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Aborts the run, naming the broken invariant, when cond is false. The
// scratch directory goes first, since abort skips the exit handlers.
#define MEVORA_FUZZ_CHECK(cond, what)                                                  \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, what); \
      ::mevora::fuzz::ScratchDir::remove_if_made();                                    \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

namespace mevora::fuzz {

// A directory that lives as long as the process: on /dev/shm when it exists
// (no disk traffic per input), else under /tmp. Targets create it once and
// reuse it for every input; normal exit and a broken invariant remove the
// files it was told about and the directory. A sanitizer report or a
// timeout ends the process without that, leaving one small
// mevora-fuzz-XXXXXX directory behind.
class ScratchDir {
 public:
  static ScratchDir& get() {
    if (instance_ == nullptr) instance_ = new ScratchDir();  // leaked on purpose: exit handlers use it
    return *instance_;
  }

  static void remove_if_made() {
    if (instance_ != nullptr) instance_->remove_all();
  }

  const std::string& path() const { return path_; }

  // Registers a file name inside the directory for removal at exit.
  void remember(std::string name) { names_.push_back(std::move(name)); }

 private:
  ScratchDir() {
    struct stat st {};
    std::string tmpl = (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode))
                           ? "/dev/shm/mevora-fuzz-XXXXXX"
                           : "/tmp/mevora-fuzz-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = tmpl;
    std::atexit(remove_if_made);
  }

  void remove_all() {
    for (const std::string& name : names_) ::unlink((path_ + "/" + name).c_str());
    ::rmdir(path_.c_str());
  }

  static inline ScratchDir* instance_ = nullptr;
  std::string path_;
  std::vector<std::string> names_;
};

// Writes data to path, replacing the file. Aborts on failure: the harness
// cannot go on without its input file.
inline void write_whole_file(const std::string& path, std::string_view data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  MEVORA_FUZZ_CHECK(fd >= 0, "cannot create the input file");
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    MEVORA_FUZZ_CHECK(n > 0, "cannot write the input file");
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

// Reads the whole file at path ("" when it cannot be opened).
inline std::string read_whole_file(const std::string& path) {
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

// CRC-32 (IEEE 802.3, reflected 0xEDB88320) bit by bit: slow and obvious,
// so the file targets do not take the product's table-driven CRC on trust.
inline std::uint32_t reference_crc32(std::string_view bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

inline void store_le32(char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

inline std::uint32_t load_le32(const char* p) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= std::uint32_t{static_cast<unsigned char>(p[i])} << (8 * i);
  return v;
}

inline std::uint64_t load_le64(const char* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  return v;
}

// The lowest free descriptor number: if it is higher after a call than
// before, the call left a descriptor open.
inline int lowest_free_fd() {
  int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  MEVORA_FUZZ_CHECK(fd >= 0, "cannot open /dev/null");
  ::close(fd);
  return fd;
}

}  // namespace mevora::fuzz
