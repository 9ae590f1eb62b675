// The command layer of the RESP server: one request in, one Reply out.
//
// dispatch() normalises the command name (an ASCII upper-cased copy, so
// names are case-insensitive), runs QUIT, AUTH and HELLO before the
// authentication gate, answers NOAUTH to everything else on an
// unauthenticated connection, looks the name up in a fixed command table,
// checks the argument count and runs the handler against the shared Store.
// Every failure is an Error reply; only QUIT asks for the connection to be
// closed. There is one keyspace (database 0). Handlers never look at the
// connection's protocol: dispatch reports it with the reply, and the
// connection encodes the reply for it.
//
// Transactions: after MULTI every command but EXEC, DISCARD, MULTI, WATCH
// and QUIT passes the same checks (authentication, known name, argument
// count) and is queued (+QUEUED) instead of run; a failed check replies its
// error and dooms the transaction (EXEC then replies EXECABORT). EXEC runs
// the queue through Store::atomically (commands_txn.cc).
//
// Ownership: a ServerContext is shared (shared_ptr) by the accept thread
// and every connection thread of one running server; it holds one strong
// reference to the Store. Background saves run on threads the Store owns
// (Store::start_background_save); stopping the server joins them. A
// ConnectionState belongs to its connection's thread.
//
// Thread safety: dispatch may run on many connection threads at once with
// the same ServerContext; the context is read-only after creation except
// the bgsave flag and the connection counts, which are atomic, and the client
// table, which synchronises itself. The store synchronises itself. A
// command that makes several store calls (HSET with several pairs, EXISTS
// with several keys, EXPIRE below 1) is not atomic as a whole.
//
// Errors: store errors become their texts (store_error_reply: WRONGTYPE
// and OOM replies carry their code, the others get "ERR "); an allocation
// failure (std::bad_alloc) or another standard-library exception raised
// inside a handler becomes an "ERR ..." reply. dispatch itself throws only if
// even that error reply cannot be built; the connection loop then closes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/store.h"
#include "core/store_types.h"
#include "server/client_info.h"
#include "server/dispatch_result.h"
#include "server/reply.h"
#include "server/resp.h"
#include "util/result.h"

namespace mevora::server {

// What the threads of one running server share.
struct ServerContext {
  // When present (never empty), connections start unauthenticated.
  std::optional<std::string> password;
  // The keyspace every command acts on. Never null.
  std::shared_ptr<Store> store;
  // Monotonic time of the server start; INFO reports the seconds since.
  std::chrono::steady_clock::time_point started;
  // True exactly while one of this server's BGSAVE threads runs. Never
  // null; shared with those threads (owned by the store, which may outlive
  // the context).
  std::shared_ptr<std::atomic<bool>> bgsave;
  // Every live connection, for CLIENT LIST and connection ids.
  ClientTable clients;
  // The most connections served at once; fixed when the server starts
  // (INFO reports it as maxclients).
  std::uint64_t max_clients = 0;
  // The port the server listens on (CONFIG GET port); set when it starts.
  std::uint16_t port = 0;
  // Connection threads admitted and not yet ended.
  std::atomic<std::uint64_t> connected_clients{0};
  // Connections turned away because max_clients were connected.
  std::atomic<std::uint64_t> rejected_connections{0};

  // A context started now, with a fresh bgsave flag.
  static std::shared_ptr<ServerContext> create(std::optional<std::string> password, std::shared_ptr<Store> store);
};

// The most a transaction may hold queued: as much as one request's largest
// argument (arguments counted with a small per-argument overhead). Past it
// the transaction is doomed and its queue is dropped at once, so a client
// cannot grow the server's memory without bound between MULTI and EXEC.
inline constexpr std::uint64_t kMaxQueuedBytes = static_cast<std::uint64_t>(kMaxBulkLength);

// A connection's transaction: the commands queued since MULTI and the
// keys it watches. Its watcher unregisters when the state is destroyed
// (with the connection).
struct TxnState {
  bool active = false;  // between MULTI and EXEC or DISCARD
  bool failed = false;  // a command failed its check while queued
  std::vector<Request> queued;
  std::uint64_t queued_bytes = 0;  // what `queued` holds
  std::uint64_t max_queued_bytes = kMaxQueuedBytes;  // lowered only by tests
  std::unique_ptr<Watcher> watcher;  // created by the first WATCH
};

// Per-connection state. AUTH and HELLO change the first two; the client
// info is changed by CLIENT and HELLO; the transaction state is created by
// the first MULTI or WATCH.
struct ConnectionState {
  bool authenticated = true;
  Protocol protocol = Protocol::Resp2;
  // Null only in a default-constructed state (tests); initial() sets it.
  std::shared_ptr<ClientInfo> client;
  std::shared_ptr<TxnState> txn;

  bool in_multi() const { return txn != nullptr && txn->active; }

  // The state a new connection of this server starts in: RESP2,
  // authenticated exactly when the server has no password, registered in
  // the server's client table with the given peer and local addresses.
  static ConnectionState initial(ServerContext& ctx, std::string addr = {}, std::string laddr = {}) {
    ConnectionState s;
    s.authenticated = !ctx.password.has_value();
    s.client = ctx.clients.add(std::move(addr), std::move(laddr));
    return s;
  }
};

// Runs one non-empty request (args[0] is the command name). May move out of
// args. Never fails: every failure is an Error reply.
DispatchResult dispatch(Request& args, ConnectionState& conn, const ServerContext& ctx);

// "ERR wrong number of arguments for '<name>' command", with name ASCII
// lower-cased and shown by echo_text (UTF-8 with invalid sequences replaced
// by U+FFFD, cut to 128 bytes).
Reply wrong_args(std::string_view name);

// A wire integer argument (optional sign, decimal digits, signed 64-bit
// range), or the Error "ERR value is not an integer or out of range".
Result<std::int64_t, Reply> int_arg(std::string_view bytes);

// The Error reply for a store error kind.
Reply store_error_reply(const StoreError& e);

// Compares a client's password with the configured one in time that does
// not depend on where they first differ: every position up to the longer
// length is visited, and a length mismatch alone makes them different.
bool password_matches(std::string_view given, std::string_view expected);

// The INFO report: "# Server", "# Memory", "# Keyspace", "# Persistence"
// and "# Clients" sections, every line ended by CR LF, sections separated
// by an empty line.
std::string info_text(const ServerContext& ctx);

}  // namespace mevora::server
