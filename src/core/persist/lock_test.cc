#include "core/persist/lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/persist/test_files.h"

namespace mevora::persist {
namespace {

using std::chrono::milliseconds;
using testing_files::read_file;
using testing_files::TempDir;
using testing_files::write_file;

std::string own_pid() { return std::to_string(::getpid()); }

std::string canonical(const std::string& p) {
  std::unique_ptr<char, void (*)(void*)> r(::realpath(p.c_str(), nullptr), &::free);
  return r ? std::string(r.get()) : std::string();
}

// The pid of a child that has already exited and been reaped.
pid_t dead_pid() {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

// A child that sleeps until killed.
class LiveChild {
 public:
  LiveChild() : pid_(::fork()) {
    if (pid_ == 0) {
      for (;;) ::pause();
    }
  }
  ~LiveChild() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  std::string pid() const { return std::to_string(pid_); }

 private:
  pid_t pid_;
};

void expect_locked_error(const Result<DirLock, PersistError>& r) {
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), PersistErrorKind::WouldBlock);
  EXPECT_EQ(r.error().text(), "data directory is locked by another live process");
}

TEST(DirLockTest, FreshDirectoryIsCreatedAndLockedWithOwnPid) {
  TempDir tmp;
  const std::string dir = tmp.file("a/b/data");
  {
    auto lock = acquire_dir_lock(dir);
    ASSERT_TRUE(lock.ok()) << lock.error().text();
    EXPECT_TRUE(lock->held());
    EXPECT_EQ(lock->lock_path(), dir + "/LOCK");
    EXPECT_EQ(lock->canonical_dir(), canonical(dir));
    EXPECT_EQ(read_file(dir + "/LOCK"), own_pid() + "\n");
    EXPECT_TRUE(lock_registry_contains(canonical(dir)));

    release_dir_lock(*lock);
    EXPECT_FALSE(lock->held());
    EXPECT_FALSE(testing_files::exists(dir + "/LOCK"));
    EXPECT_FALSE(lock_registry_contains(canonical(dir)));
    release_dir_lock(*lock);  // idempotent

    // Free again at once, and released by destruction this time.
    auto again = acquire_dir_lock(dir, milliseconds(0));
    ASSERT_TRUE(again.ok());
  }
  EXPECT_FALSE(testing_files::exists(dir + "/LOCK"));
  EXPECT_FALSE(lock_registry_contains(canonical(dir)));
}

TEST(DirLockTest, MovingTransfersOwnership) {
  TempDir tmp;
  auto first = acquire_dir_lock(tmp.path());
  ASSERT_TRUE(first.ok());
  DirLock owner = std::move(*first);
  EXPECT_FALSE(first->held());
  EXPECT_TRUE(owner.held());
  first = Result<DirLock, PersistError>(DirLock());  // destroying the moved-from one releases nothing
  EXPECT_TRUE(testing_files::exists(tmp.file("LOCK")));

  TempDir other;
  auto second = acquire_dir_lock(other.path());
  ASSERT_TRUE(second.ok());
  owner = std::move(*second);  // releases the first directory
  EXPECT_FALSE(testing_files::exists(tmp.file("LOCK")));
  EXPECT_FALSE(lock_registry_contains(canonical(tmp.path())));
  EXPECT_TRUE(testing_files::exists(other.file("LOCK")));
}

TEST(DirLockTest, StaleLockFilesAreTakenOver) {
  const std::string dead = std::to_string(dead_pid());
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"own pid", own_pid() + "\n"},
      {"own pid without newline", own_pid()},
      {"dead pid", dead + "\n"},
      {"dead pid padded", " " + dead + " "},
      {"dead pid with plus", "+" + dead},
      {"dead pid in unicode spaces", "\u00a0" + dead + "\u3000\n"},
      {"letters", "abc"},
      {"negative", "-5"},
      {"zero", "0\n"},
      {"empty", ""},
      {"only whitespace", " \n\t"},
      {"only plus", "+"},
      {"one above u32", "4294967296"},
      {"u32 max is -1 as pid", "4294967295"},
      {"above i32 max", "2147483648"},
      {"inner space", "4 2"},
      {"invalid utf-8", "\xff" "42"},
      {"truncated utf-8 after digits", "42\xe3\x80"},
      {"non-space unicode", "42\u00e9"},
      // The file is read 256 bytes at a time.
      {"invalid utf-8 just after a full read", std::string(256, ' ') + "\xff" + dead},
      {"truncated utf-8 ending a full read", std::string(253, ' ') + dead.substr(0, 1) + "\xe3\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    write_file(tmp.file("LOCK"), c.text);
    auto lock = acquire_dir_lock(tmp.path(), milliseconds(0));
    ASSERT_TRUE(lock.ok()) << lock.error().text();
    EXPECT_EQ(read_file(tmp.file("LOCK")), own_pid() + "\n");
  }
}

TEST(DirLockTest, LiveOwnersAreRespected) {
  LiveChild child;
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"live pid", child.pid() + "\n"},
      {"live pid padded", " " + child.pid() + " \n\n"},
      {"live pid with plus", "+" + child.pid()},
      {"live pid with leading zeros", "000" + child.pid()},
      {"live pid in unicode spaces", "\u2003" + child.pid() + "\u00a0"},
      // The file is read 256 bytes at a time: these spaces straddle a read.
      {"live pid after a space cut by a read", std::string(255, ' ') + "\u3000" + child.pid()},
      {"live pid before a space cut by a read",
       child.pid() + std::string(255 - child.pid().size(), ' ') + "\u00a0\n"},
      // init: alive, and for an unprivileged caller kill fails with EPERM,
      // which still counts as alive.
      {"pid 1", "1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    write_file(tmp.file("LOCK"), c.text);
    expect_locked_error(acquire_dir_lock(tmp.path(), milliseconds(0)));
    EXPECT_EQ(read_file(tmp.file("LOCK")), c.text) << "a live owner's LOCK is left alone";
    EXPECT_FALSE(lock_registry_contains(canonical(tmp.path())));
  }
}

TEST(DirLockTest, SecondLockInProcessFailsAfterTheWait) {
  TempDir tmp;
  auto first = acquire_dir_lock(tmp.path());
  ASSERT_TRUE(first.ok());
  expect_locked_error(acquire_dir_lock(tmp.path()));  // the full 2 s wait
  EXPECT_TRUE(first->held());
  EXPECT_EQ(read_file(tmp.file("LOCK")), own_pid() + "\n");

  // The registry holds the directory even when its LOCK file was deleted
  // from outside.
  ASSERT_EQ(::unlink(tmp.file("LOCK").c_str()), 0);
  expect_locked_error(acquire_dir_lock(tmp.path(), milliseconds(20)));
}

TEST(DirLockTest, SecondLockInProcessSucceedsWhenTheFirstIsReleasedInTime) {
  TempDir tmp;
  auto first = acquire_dir_lock(tmp.path());
  ASSERT_TRUE(first.ok());
  std::atomic<bool> released{false};
  std::thread releaser([&] {
    std::this_thread::sleep_for(milliseconds(100));
    released = true;
    release_dir_lock(*first);
  });
  auto second = acquire_dir_lock(tmp.path());
  releaser.join();
  ASSERT_TRUE(second.ok()) << second.error().text();
  EXPECT_TRUE(released.load());
  EXPECT_EQ(read_file(tmp.file("LOCK")), own_pid() + "\n");
}

TEST(DirLockTest, SymlinkedPathIsTheSameDirectory) {
  TempDir tmp;
  const std::string real = tmp.file("real");
  const std::string link = tmp.file("link");
  auto lock = acquire_dir_lock(real);
  ASSERT_TRUE(lock.ok());
  ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
  expect_locked_error(acquire_dir_lock(link, milliseconds(20)));
  expect_locked_error(acquire_dir_lock(real + "/./", milliseconds(20)));

  release_dir_lock(*lock);
  auto via_link = acquire_dir_lock(link, milliseconds(0));
  ASSERT_TRUE(via_link.ok());
  EXPECT_EQ(via_link->lock_path(), link + "/LOCK");  // the caller's path, not resolved
  EXPECT_EQ(via_link->canonical_dir(), canonical(real));
}

TEST(DirLockTest, ConcurrentAcquiresInProcessAdmitExactlyOne) {
  TempDir tmp;
  constexpr int kThreads = 8;
  std::vector<std::unique_ptr<Result<DirLock, PersistError>>> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      results[i] = std::make_unique<Result<DirLock, PersistError>>(
          acquire_dir_lock(tmp.path(), milliseconds(0)));
    });
  }
  for (auto& t : threads) t.join();
  int winners = 0;
  for (auto& r : results) {
    if (r->ok()) {
      ++winners;
    } else {
      EXPECT_EQ(r->error().kind(), PersistErrorKind::WouldBlock);
    }
  }
  EXPECT_EQ(winners, 1);
}

TEST(DirLockTest, LockThatIsAFifoIsStaleAndDoesNotHang) {
  TempDir tmp;
  ASSERT_EQ(::mkfifo(tmp.file("LOCK").c_str(), 0600), 0);
  auto lock = acquire_dir_lock(tmp.path(), milliseconds(0));
  ASSERT_TRUE(lock.ok()) << lock.error().text();
  EXPECT_EQ(read_file(tmp.file("LOCK")), own_pid() + "\n");
}

TEST(DirLockTest, FilesystemErrorsAreReturned) {
  TempDir tmp;
  write_file(tmp.file("plain"), "x");
  auto under_file = acquire_dir_lock(tmp.file("plain/data"));
  ASSERT_FALSE(under_file.ok());
  EXPECT_EQ(under_file.error().kind(), PersistErrorKind::Os);
  EXPECT_EQ(under_file.error().os_errno(), ENOTDIR);

  auto empty = acquire_dir_lock("");
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().os_errno(), ENOENT);

  // A LOCK that is a directory is unreadable (stale) but cannot be deleted
  // as a file: that error is returned and nothing is registered.
  ASSERT_EQ(::mkdir(tmp.file("LOCK").c_str(), 0755), 0);
  auto dir_lock = acquire_dir_lock(tmp.path(), milliseconds(0));
  ASSERT_FALSE(dir_lock.ok());
  EXPECT_EQ(dir_lock.error().kind(), PersistErrorKind::Os);
  EXPECT_EQ(dir_lock.error().os_errno(), EISDIR);
  EXPECT_FALSE(lock_registry_contains(canonical(tmp.path())));
}

}  // namespace
}  // namespace mevora::persist
