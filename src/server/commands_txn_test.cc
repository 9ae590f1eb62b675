// EXEC against a log that refuses the transaction's batch, and WATCH with a
// fake clock.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/persistence_testing.h"
#include "server/command_test_support.h"
#include "server/commands.h"

namespace mevora::server {
namespace {

using namespace command_test;

TEST(TransactionCommands, ExecReportsARefusedLogAndUndoesEverything) {
  Harness h;
  h.store->install_persistence(std::make_unique<testing_persistence::RefusingBatches>());
  EXPECT_EQ(h.run({"SET", "a", "1"}), ok());
  EXPECT_EQ(h.run({"WATCH", "a"}), ok());
  EXPECT_EQ(h.run({"MULTI"}), ok());
  EXPECT_EQ(h.run({"INCR", "a"}), simple("QUEUED"));
  EXPECT_EQ(h.run({"RPUSH", "l", "x"}), simple("QUEUED"));
  EXPECT_EQ(h.run({"EXEC"}), err("ERR transaction rolled back: disk full"));
  EXPECT_EQ(h.run({"MGET", "a", "l"}), arr({bulk("1"), nil()}));
  EXPECT_EQ(h.run({"EXISTS", "l"}), num(0));
  // The state ended with EXEC: no MULTI, no watch left.
  EXPECT_EQ(h.run({"EXEC"}), err("ERR EXEC without MULTI"));
  EXPECT_TRUE(h.conn.txn->watcher->keys().empty());
}

TEST(TransactionCommands, AQueueOverItsBudgetDoomsTheTransactionAndIsDropped) {
  Harness h;
  EXPECT_EQ(h.run({"MULTI"}), ok());
  h.conn.txn->max_queued_bytes = 200;
  EXPECT_EQ(h.run({"SET", "a", "1"}), simple("QUEUED"));
  EXPECT_EQ(h.run({"SET", "b", std::string(200, 'x')}),
            err("ERR transaction too large: its queued commands would exceed 512 MiB"));
  EXPECT_TRUE(h.conn.txn->queued.empty());
  EXPECT_EQ(h.conn.txn->queued_bytes, 0u);
  // Doomed: later commands are answered but not kept.
  EXPECT_EQ(h.run({"SET", "c", "1"}), simple("QUEUED"));
  EXPECT_TRUE(h.conn.txn->queued.empty());
  EXPECT_EQ(h.run({"EXEC"}), err("EXECABORT Transaction discarded because of previous errors."));
  EXPECT_EQ(h.run({"MGET", "a", "b", "c"}), arr({nil(), nil(), nil()}));
  // The next transaction starts with the whole budget again.
  EXPECT_EQ(h.run({"MULTI"}), ok());
  EXPECT_EQ(h.run({"SET", "a", "1"}), simple("QUEUED"));
  EXPECT_EQ(h.run({"EXEC"}), arr({ok()}));
}

TEST(TransactionCommands, WatchedKeysThatExpireAbortExec) {
  run_scripts({
      {"expires after the watch",
       {{{"SET", "w", "v", "PX", "100"}, ok()},
        {{"WATCH", "w"}, ok()},
        {{"MULTI"}, ok()},
        {{"SET", "x", "1"}, simple("QUEUED")},
        {{"EXEC"}, "*-1\r\n", 100},
        {{"GET", "x"}, nil()}}},
      {"already expired when watched",
       {{{"SET", "w", "v", "PX", "100"}, ok()},
        {{"WATCH", "w"}, ok(), 100},
        {{"MULTI"}, ok()},
        {{"SET", "x", "1"}, simple("QUEUED")},
        {{"EXEC"}, arr({ok()}), 1000}}},
      {"a deadline not reached",
       {{{"SET", "w", "v", "PX", "100"}, ok()},
        {{"WATCH", "w"}, ok()},
        {{"MULTI"}, ok()},
        {{"EXEC"}, arr({}), 99}}},
  });
}

}  // namespace
}  // namespace mevora::server
