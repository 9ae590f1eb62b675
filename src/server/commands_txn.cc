// Handlers of the transaction commands: MULTI, EXEC, DISCARD, WATCH and
// UNWATCH. The queueing itself is dispatch's (commands.cc); EXEC runs the
// queue through Store::atomically, holding the shards of every key the
// queued commands name (command_keys.h) and of the watched keys.
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/command_handlers.h"
#include "server/command_keys.h"

namespace mevora::server {
namespace {

TxnState& txn_state(ConnectionState& conn) {
  if (conn.txn == nullptr) conn.txn = std::make_shared<TxnState>();
  return *conn.txn;
}

// Ends MULTI and drops every watch: what EXEC and DISCARD leave behind.
void reset(TxnState& txn) {
  txn.active = false;
  txn.failed = false;
  txn.queued.clear();
  txn.queued_bytes = 0;
  if (txn.watcher != nullptr) txn.watcher->clear();
}

// Resets the transaction state when EXEC ends, however it ends.
class ResetOnExit {
 public:
  explicit ResetOnExit(TxnState& txn) : txn_(txn) {}
  ~ResetOnExit() { reset(txn_); }
  ResetOnExit(const ResetOnExit&) = delete;
  ResetOnExit& operator=(const ResetOnExit&) = delete;

 private:
  TxnState& txn_;
};

}  // namespace

Reply cmd_multi(Request&, ConnectionState& conn, const ServerContext&) {
  TxnState& txn = txn_state(conn);
  if (txn.active) return Reply::error("ERR MULTI calls can not be nested");
  txn.active = true;
  return ok_reply();
}

Reply cmd_discard(Request&, ConnectionState& conn, const ServerContext&) {
  if (!conn.in_multi()) return Reply::error("ERR DISCARD without MULTI");
  reset(*conn.txn);
  return ok_reply();
}

Reply cmd_watch(Request& args, ConnectionState& conn, const ServerContext& ctx) {
  if (conn.in_multi()) return Reply::error("ERR WATCH inside MULTI is not allowed");
  TxnState& txn = txn_state(conn);
  if (txn.watcher == nullptr) txn.watcher = std::make_unique<Watcher>(ctx.store);
  txn.watcher->watch(views_from(args, 1).span());
  return ok_reply();
}

Reply cmd_unwatch(Request&, ConnectionState& conn, const ServerContext&) {
  if (conn.txn != nullptr && conn.txn->watcher != nullptr) conn.txn->watcher->clear();
  return ok_reply();
}

Reply cmd_exec(Request&, ConnectionState& conn, const ServerContext& ctx) {
  if (!conn.in_multi()) return Reply::error("ERR EXEC without MULTI");
  TxnState& txn = *conn.txn;
  const ResetOnExit end(txn);
  if (txn.failed) return Reply::error("EXECABORT Transaction discarded because of previous errors.");
  // The queue leaves the state first: a queued MULTI cannot exist (it is
  // never queued), but a command run below must see a connection that is
  // no longer inside MULTI.
  std::vector<Request> queued = std::move(txn.queued);
  txn.queued.clear();
  txn.active = false;

  std::vector<std::string_view> keys;
  bool whole_keyspace = false;
  for (const Request& r : queued) whole_keyspace |= collect_command_keys(r, keys);
  const Watcher* watcher = txn.watcher != nullptr && !txn.watcher->keys().empty() ? txn.watcher.get() : nullptr;

  std::vector<Reply> replies;
  replies.reserve(queued.size());
  Result<bool, PersistError> ran = ctx.store->atomically(keys, whole_keyspace, watcher, [&] {
    for (Request& r : queued) replies.push_back(run_queued(r, conn, ctx));
  });
  if (!ran.ok()) return Reply::error("ERR transaction rolled back: " + ran.error().text());
  if (!ran.value()) return Reply::null_array();
  return Reply::array(std::move(replies));
}

}  // namespace mevora::server
