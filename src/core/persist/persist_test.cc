// A persistent store after open: save, close, the counters, the background
// threads and destruction without close.
#include "core/persist/persist.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/persist/lock.h"
#include "core/persist/persist_test_util.h"
#include "core/persist/snapshot.h"
#include "util/platform.h"

namespace mevora::persist {
namespace {

using testing_files::exists;
using testing_files::read_file;
using testing_files::TempDir;
using testing_files::write_file;
using namespace testing_store;

std::string wal(const TempDir& d, std::uint64_t n) { return segment_path(d.path(), n); }

void put(Store& s, const std::string& k, const std::string& v) { (void)s.set(k, v, std::nullopt, false, false); }

template <class T>
T val_of(StoreResult<T> r) {
  EXPECT_TRUE(r.ok());
  return r.ok() ? std::move(r).value() : T();
}

// Polls cond every 5 ms for up to 10 s.
template <class F>
bool eventually(F cond) {
  for (int i = 0; i < 2000; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
}

class NullSink : public SnapshotSink {
 public:
  void add_string(std::string_view, std::uint64_t, std::string_view) override {}
  void begin_list(std::string_view, std::uint64_t) override {}
  void list_item(std::string_view) override {}
  void begin_hash(std::string_view, std::uint64_t) override {}
  void hash_pair(std::string_view, std::string_view) override {}
  void begin_set(std::string_view, std::uint64_t) override {}
  void set_member(std::string_view) override {}
  void end_collection() override {}
};

std::uint64_t snapshot_wal_seq(const std::string& dir) {
  NullSink sink;
  auto info = load_snapshot(dir, sink);
  EXPECT_TRUE(info.ok());
  return info.ok() ? info->wal_seq : ~std::uint64_t{0};
}

TEST(StoreSaveTest, SaveRotatesTheLogAndDeletesCoveredSegments) {
  TempDir d;
  auto store = open_ok(config_for(d.path()));
  put(*store, "a", "1");
  EXPECT_GT(store->persist_stats()->wal_bytes, 0u);

  const std::uint64_t before = platform::wall_clock_ms();
  ASSERT_TRUE(store->save().ok());
  const std::uint64_t after = platform::wall_clock_ms();
  EXPECT_EQ(dir_names(d.path()), (std::vector<std::string>{"LOCK", "snapshot.qvs", "wal-1.log"}));
  EXPECT_EQ(snapshot_wal_seq(d.path()), 1u);
  PersistStats st = *store->persist_stats();
  EXPECT_EQ(st.wal_bytes, 0u);
  EXPECT_EQ(st.snapshot_bytes, read_file(d.file("snapshot.qvs")).size());
  EXPECT_GE(st.last_save_ms, before);
  EXPECT_LE(st.last_save_ms, after);
  EXPECT_FALSE(st.last_error.has_value());

  // An unchanged store still rotates.
  ASSERT_TRUE(store->save().ok());
  EXPECT_EQ(dir_names(d.path()), (std::vector<std::string>{"LOCK", "snapshot.qvs", "wal-2.log"}));
  EXPECT_EQ(snapshot_wal_seq(d.path()), 2u);
  put(*store, "b", "2");
  EXPECT_EQ(log_lines(wal(d, 2)), (std::vector<std::string>{"set b 0 2"}));
}

TEST(StoreSaveTest, SuccessfulSaveClearsTheRecoveryNote) {
  TempDir d;
  const std::string good = frame(WalRecord::set("a", 0, "1"));
  write_file(wal(d, 0), good + "\x05");
  auto store = open_ok(config_for(d.path()));
  EXPECT_EQ(store->persist_stats()->last_error, torn_tail_note(0, good.size()));
  ASSERT_TRUE(store->save().ok());
  EXPECT_FALSE(store->persist_stats()->last_error.has_value());
}

TEST(StoreSaveTest, FailedSaveKeepsThePreviousSnapshotAndIsRecorded) {
  TempDir d;
  {
    auto store = open_ok(config_for(d.path()));
    put(*store, "a", "1");
    ASSERT_TRUE(store->save().ok());
    const std::string snapshot = read_file(d.file("snapshot.qvs"));
    put(*store, "b", "2");
    ASSERT_EQ(::mkdir(d.file("snapshot.tmp").c_str(), 0700), 0);

    auto r = store->save();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), "Is a directory (os error 21)");
    EXPECT_EQ(store->persist_stats()->last_error, "save failed: Is a directory (os error 21)");
    EXPECT_EQ(read_file(d.file("snapshot.qvs")), snapshot);
    // The rotation stands; appends go to the new segment.
    EXPECT_EQ(dir_names(d.path()),
              (std::vector<std::string>{"LOCK", "snapshot.qvs", "snapshot.tmp", "wal-1.log", "wal-2.log"}));
    put(*store, "c", "3");
    EXPECT_EQ(log_lines(wal(d, 2)), (std::vector<std::string>{"set c 0 3"}));
  }
  ASSERT_EQ(::rmdir(d.file("snapshot.tmp").c_str()), 0);
  auto store = open_ok(config_for(d.path()));
  EXPECT_EQ(dump(*store), (std::vector<std::string>{"a d=0 s:1", "b d=0 s:2", "c d=0 s:3"}));
}

TEST(StoreSaveTest, ConcurrentWritesAndSavesLoseNothing) {
  TempDir d;
  std::vector<std::string> before;
  {
    auto store = open_ok(config_for(d.path(), FsyncPolicy::Never, 0, 8));
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
      writers.emplace_back([&, t] {
        for (int i = 0; !stop.load() || i < 200; ++i) {
          const std::string k = "k" + std::to_string(t) + "-" + std::to_string(i % 300);
          put(*store, k, std::to_string(i));
          const std::string_view item[] = {k};
          (void)store->rpush("list" + std::to_string(t), item);
          if (i % 7 == 0) (void)store->lpop("list" + std::to_string(t));
          if (i % 5 == 0) {
            const std::string_view keys[] = {k};
            (void)store->del(keys);
          }
        }
      });
    }
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(store->save().ok());
    stop = true;
    for (auto& w : writers) w.join();
    before = dump(*store);
  }
  auto store = open_ok(config_for(d.path(), FsyncPolicy::Never, 0, 8));
  EXPECT_EQ(dump(*store), before);
}

TEST(StoreCloseTest, CloseSavesClosesTheLogAndReleasesTheDirectory) {
  TempDir d;
  auto store = open_ok(config_for(d.path(), FsyncPolicy::EverySec, 300));
  EXPECT_EQ(thread_count("mevora-fsync"), 1);
  EXPECT_EQ(thread_count("mevora-snapshot"), 1);
  put(*store, "a", "1");
  store->close();
  EXPECT_TRUE(store->closed());
  EXPECT_EQ(thread_count("mevora-fsync"), 0);
  EXPECT_EQ(thread_count("mevora-snapshot"), 0);
  EXPECT_EQ(dir_names(d.path()), (std::vector<std::string>{"snapshot.qvs", "wal-1.log"}));
  char real[PATH_MAX];
  ASSERT_NE(::realpath(d.path().c_str(), real), nullptr);
  EXPECT_FALSE(lock_registry_contains(real));

  // The data stays usable in memory; nothing is logged any more.
  put(*store, "b", "2");
  EXPECT_EQ(get_or(*store, "b"), "2");
  EXPECT_EQ(read_file(wal(d, 1)), "");
  auto r = store->save();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), PersistErrorKind::Other);
  EXPECT_EQ(r.error().text(), "store is closed");
  EXPECT_EQ(store->persist_stats()->last_error, "save failed: store is closed");
  store->close();  // idempotent
  EXPECT_TRUE(store->persistent());

  // The directory can be opened again at once, while the closed store lives.
  auto again = open_ok(config_for(d.path()));
  EXPECT_EQ(dump(*again), (std::vector<std::string>{"a d=0 s:1"}));
}

TEST(StoreCloseTest, FinalSaveFailureIsRecorded) {
  TempDir d;
  auto store = open_ok(config_for(d.path()));
  put(*store, "a", "1");
  ASSERT_EQ(::mkdir(d.file("snapshot.tmp").c_str(), 0700), 0);
  store->close();
  EXPECT_EQ(store->persist_stats()->last_error, "final save failed: Is a directory (os error 21)");
  EXPECT_FALSE(exists(d.file("LOCK")));
}

TEST(StoreCloseTest, InMemoryStoreHasNoPersistence) {
  StoreConfig c;
  c.sweep_interval_ms = 0;
  auto store = Store::create(c);
  auto r = store->save();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), PersistErrorKind::InvalidInput);
  EXPECT_EQ(r.error().text(), "persistence is not enabled for this store");
  EXPECT_FALSE(store->persist_stats().has_value());
  store->close();
  EXPECT_TRUE(store->closed());
}

TEST(StoreLifetimeTest, DroppingTheStoreStopsThreadsAndReleasesTheLockWithoutSaving) {
  TempDir d;
  {
    auto store = open_ok(config_for(d.path(), FsyncPolicy::EverySec, 1));
    EXPECT_EQ(thread_count("mevora-fsync"), 1);
    EXPECT_EQ(thread_count("mevora-snapshot"), 1);
    put(*store, "a", "1");
  }
  EXPECT_EQ(thread_count("mevora-fsync"), 0);
  EXPECT_EQ(thread_count("mevora-snapshot"), 0);
  EXPECT_EQ(dir_names(d.path()), (std::vector<std::string>{"wal-0.log"}));
  auto store = open_ok(config_for(d.path()));
  EXPECT_EQ(get_or(*store, "a"), "1");
}

TEST(StoreLifetimeTest, PoliciesDecideWhichThreadsRun) {
  struct Case {
    FsyncPolicy fsync;
    std::uint64_t interval;
    int fsync_threads;
    int snapshot_threads;
  };
  const Case cases[] = {
      {FsyncPolicy::Always, 0, 0, 0},
      {FsyncPolicy::Never, 5, 0, 1},
      {FsyncPolicy::EverySec, 0, 1, 0},
  };
  for (const Case& c : cases) {
    TempDir d;
    auto store = open_ok(config_for(d.path(), c.fsync, c.interval));
    EXPECT_EQ(thread_count("mevora-fsync"), c.fsync_threads);
    EXPECT_EQ(thread_count("mevora-snapshot"), c.snapshot_threads);
  }
}

TEST(StoreLifetimeTest, SnapshotThreadSavesOnlyWhenSomethingWasLogged) {
  TempDir d;
  auto store = open_ok(config_for(d.path(), FsyncPolicy::Never, 1));
  // Nothing logged: periods pass without a save.
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_EQ(store->persist_stats()->last_save_ms, 0u);
  EXPECT_FALSE(exists(d.file("snapshot.qvs")));
  put(*store, "a", "1");
  ASSERT_TRUE(eventually([&] { return store->persist_stats()->last_save_ms != 0; }));
  EXPECT_EQ(store->persist_stats()->wal_bytes, 0u);
  EXPECT_TRUE(exists(d.file("snapshot.qvs")));
}

// The first sync_file call of the process, held until released.
std::atomic<bool> first_sync_entered{false};
std::atomic<bool> first_sync_released{false};
void hold_first_sync() {
  if (first_sync_entered.exchange(true)) return;
  while (!first_sync_released.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(StoreLifetimeTest, AppendsGoOnWhileTheFsyncThreadSyncs) {
  TempDir d;
  auto store = open_ok(config_for(d.path(), FsyncPolicy::EverySec));
  first_sync_entered = false;
  first_sync_released = false;
  platform::set_sync_hook(hold_first_sync);
  put(*store, "a", "1");  // dirty: the fsync thread's next period syncs
  ASSERT_TRUE(eventually([] { return first_sync_entered.load(); }));

  std::atomic<bool> written{false};
  std::thread writer([&] {
    put(*store, "b", "2");
    written = true;
  });
  EXPECT_TRUE(eventually([&] { return written.load(); })) << "an append waited for the fsync thread's sync";
  first_sync_released = true;
  writer.join();
  platform::set_sync_hook(nullptr);

  store->close();
  auto reopened = open_ok(config_for(d.path()));
  EXPECT_EQ(get_or(*reopened, "a"), "1");
  EXPECT_EQ(get_or(*reopened, "b"), "2");
}

TEST(StoreLifetimeTest, StoreReleasedByItsOwnSnapshotThreadShutsDownCleanly) {
  // Dropping the last reference while the snapshot thread saves: the
  // destructor waits for that save, joins the thread and shuts down.
  TempDir d;
  std::weak_ptr<Store> weak;
  {
    auto store = open_ok(config_for(d.path(), FsyncPolicy::Never, 1, 16));
    for (int i = 0; i < 100000; ++i) put(*store, "key" + std::to_string(i), std::string(50, 'v'));
    weak = store;
    // The rotation (wal_bytes 0) happens before the snapshot is written;
    // poll without sleeping to catch the thread inside its save.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (store->persist_stats()->wal_bytes != 0) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline);
      std::this_thread::yield();
    }
  }
  ASSERT_TRUE(eventually([&] { return weak.expired(); }));
  ASSERT_TRUE(eventually([&] { return !exists(d.file("LOCK")); }));
  auto store = open_ok(config_for(d.path()));
  EXPECT_EQ(store->len(), 100000u);
}

TEST(StoreStatsTest, AppendsCountFramesUnderEveryPolicy) {
  for (FsyncPolicy p : {FsyncPolicy::Always, FsyncPolicy::EverySec, FsyncPolicy::Never}) {
    TempDir d;
    auto store = open_ok(config_for(d.path(), p));
    put(*store, "k", "v");
    const std::string_view one[] = {"x"};
    (void)store->sadd("s", one);
    EXPECT_EQ(store->persist_stats()->wal_bytes, frames_end(wal(d, 0)));
    EXPECT_EQ(log_lines(wal(d, 0)), (std::vector<std::string>{"set k 0 v", "sadd s x"}));
    EXPECT_FALSE(store->persist_stats()->last_error.has_value());
  }
}


// Faults through the platform seam: the store refuses, keeps memory and log
// in step, and a save makes the log whole again.
class StoreFaultTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::clear_faults(); }
};

TEST_F(StoreFaultTest, FailedSyncUnderAlwaysTakesTheFrameBackAndRefusesUntilSaved) {
  TempDir d;
  auto store = open_ok(config_for(d.path(), FsyncPolicy::Always));
  put(*store, "a", "1");
  const std::string logged = read_file(wal(d, 0));
  platform::inject_fault(platform::FaultOp::Sync, 1, EIO);

  auto r = store->set("b", "2", std::nullopt, false, false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), StoreError::LogRefused);
  EXPECT_EQ(r.error().os_errno(), EIO);
  EXPECT_EQ(std::string(store_error_message(r.error())),
            "write refused, the change could not be logged: Input/output error (os error 5)");
  EXPECT_FALSE(val_of(store->get("b")).has_value());
  EXPECT_EQ(read_file(wal(d, 0)), logged) << "the frame whose sync failed was not cut off";
  EXPECT_TRUE(store->persist_stats()->writes_refused);

  // The fault is gone, the refusal stays until a save.
  auto again = store->incr("n", 1);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().os_errno(), EIO);
  EXPECT_EQ(val_of(store->get("a")), std::optional<std::string>("1"));
  ASSERT_TRUE(store->save().ok());
  EXPECT_FALSE(store->persist_stats()->writes_refused);
  put(*store, "b", "2");
  EXPECT_EQ(log_lines(wal(d, 1)), (std::vector<std::string>{"set b 0 2"}));
}

TEST_F(StoreFaultTest, FailedSaveKeepsRefusingAndALaterSaveHeals) {
  TempDir d;
  auto store = open_ok(config_for(d.path(), FsyncPolicy::Never));
  put(*store, "a", "1");
  platform::inject_fault(platform::FaultOp::Write, 1, ENOSPC, 0);
  EXPECT_FALSE(store->set("b", "2", std::nullopt, false, false).ok());
  EXPECT_FALSE(store->save().ok()) << "the snapshot cannot be written on a full disk";
  EXPECT_TRUE(store->persist_stats()->writes_refused);
  platform::clear_faults();
  ASSERT_TRUE(store->save().ok());
  EXPECT_FALSE(store->persist_stats()->writes_refused);
  put(*store, "b", "2");
  store.reset();
  auto reopened = open_ok(config_for(d.path()));
  EXPECT_EQ(val_of(reopened->get("a")), std::optional<std::string>("1"));
  EXPECT_EQ(val_of(reopened->get("b")), std::optional<std::string>("2"));
}

}  // namespace
}  // namespace mevora::persist
