#include "core/persist/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/persist/test_files.h"

namespace mevora::persist {
namespace {

using testing_files::TempDir;

TEST(PersistFileIoTest, JoinPathAddsOneSeparator) {
  EXPECT_EQ(join_path("data", "LOCK"), "data/LOCK");
  EXPECT_EQ(join_path("data/", "LOCK"), "data/LOCK");
  EXPECT_EQ(join_path("/", "LOCK"), "/LOCK");
  EXPECT_EQ(join_path("", "LOCK"), "LOCK");
}

TEST(PersistFileIoTest, MakeDirsCreatesMissingParentsAndAcceptsExisting) {
  TempDir tmp;
  const std::string deep = tmp.file("a/b//c/");
  ASSERT_TRUE(make_dirs(deep).ok());
  struct stat st {};
  ASSERT_EQ(::stat(tmp.file("a/b/c").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE(make_dirs(deep).ok());
  EXPECT_TRUE(make_dirs(tmp.path()).ok());

  testing_files::write_file(tmp.file("plain"), "x");
  auto on_file = make_dirs(tmp.file("plain"));
  ASSERT_FALSE(on_file.ok());
  EXPECT_EQ(on_file.error().os_errno(), EEXIST);
  auto under_file = make_dirs(tmp.file("plain/sub"));
  ASSERT_FALSE(under_file.ok());
  EXPECT_EQ(under_file.error().os_errno(), ENOTDIR);
}

TEST(PersistFileIoTest, WriteAllReportsTheDeviceError) {
  auto fd = open_file("/dev/full", O_WRONLY);
  ASSERT_TRUE(fd.ok());
  auto w = write_all(fd->get(), "hello");
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error().kind(), PersistErrorKind::Os);
  EXPECT_EQ(w.error().os_errno(), ENOSPC);
  EXPECT_EQ(w.error().text(), "No space left on device (os error 28)");
}

TEST(PersistFileIoTest, OpenFileSetsCloseOnExec) {
  auto fd = open_file("/dev/null", O_RDONLY);
  ASSERT_TRUE(fd.ok());
  EXPECT_NE(::fcntl(fd->get(), F_GETFD) & FD_CLOEXEC, 0);
  auto missing = open_file("/nonexistent/x", O_RDONLY);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().os_errno(), ENOENT);
}

TEST(PersistFileIoTest, BufferedReaderHandsOutExactBytesUpToItsLimit) {
  TempDir tmp;
  std::string data;
  for (int i = 0; i < 20000; ++i) data.push_back(static_cast<char>(i * 7));
  testing_files::write_file(tmp.file("f"), data);

  // Requests smaller than, equal to and larger than the buffer.
  const std::size_t sizes[] = {1, 3, 64, 100, 64, 5000, 7, 1};
  for (std::uint64_t limit : {std::uint64_t{20000}, std::uint64_t{15000}, UINT64_MAX}) {
    SCOPED_TRACE(limit);
    auto fd = open_file(tmp.file("f"), O_RDONLY);
    ASSERT_TRUE(fd.ok());
    BufferedReader r(fd->get(), 64, limit);
    std::size_t pos = 0;
    const std::size_t end = std::min<std::uint64_t>(limit, data.size());
    for (std::size_t i = 0;; ++i) {
      std::size_t n = sizes[i % std::size(sizes)];
      std::string got(n, '\0');
      auto st = r.read_exact(got.data(), n);
      if (pos + n > end) {
        EXPECT_EQ(st, BufferedReader::Status::Eof);
        break;
      }
      ASSERT_EQ(st, BufferedReader::Status::Ok) << pos;
      ASSERT_EQ(got, data.substr(pos, n)) << pos;
      pos += n;
    }
  }

  auto fd = open_file(tmp.file("f"), O_RDONLY);
  ASSERT_TRUE(fd.ok());
  BufferedReader limited(fd->get(), 8, 10);
  std::string eleven(11, '\0');
  EXPECT_EQ(limited.read_exact(eleven.data(), 11), BufferedReader::Status::Eof);
  EXPECT_EQ(limited.remaining(), 10u) << "an impossible request reads nothing";
  std::uint8_t b = 0;
  for (int i = 0; i < 10; ++i) ASSERT_EQ(limited.read_byte(b), BufferedReader::Status::Ok);
  EXPECT_EQ(b, static_cast<std::uint8_t>(data[9]));
  EXPECT_EQ(limited.read_byte(b), BufferedReader::Status::Eof);
}

TEST(PersistFileIoTest, BufferedReaderReportsReadErrors) {
  TempDir tmp;
  auto fd = open_file(tmp.path(), O_RDONLY);
  ASSERT_TRUE(fd.ok());
  BufferedReader r(fd->get(), 64);
  char c = 0;
  EXPECT_EQ(r.read_exact(&c, 1), BufferedReader::Status::Error);
  EXPECT_EQ(r.error_errno(), EISDIR);
}

}  // namespace
}  // namespace mevora::persist
