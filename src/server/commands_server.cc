// Handlers of the connection and server commands: QUIT, AUTH, PING, ECHO,
// SELECT, DBSIZE, FLUSHDB/FLUSHALL, INFO, SAVE, BGSAVE, LASTSAVE.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/persist_error.h"
#include "server/command_handlers.h"

namespace mevora::server {
namespace {

Reply persistence_disabled() { return Reply::error("ERR persistence is not enabled for this server"); }

void append_line(std::string& out, std::string_view name, std::uint64_t value) {
  out.append(name);
  out += ':';
  out += std::to_string(value);
  out += "\r\n";
}

}  // namespace

bool password_matches(std::string_view given, std::string_view expected) {
  const std::size_t n = given.size() > expected.size() ? given.size() : expected.size();
  // Lengths are folded in as a full-width XOR, so any mismatch survives.
  std::size_t diff = given.size() ^ expected.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto a = static_cast<unsigned char>(i < given.size() ? given[i] : 0);
    const auto b = static_cast<unsigned char>(i < expected.size() ? expected[i] : 0);
    diff |= static_cast<std::size_t>(a ^ b);
  }
  return diff == 0;
}

std::string info_text(const ServerContext& ctx) {
  const auto elapsed = std::chrono::steady_clock::now() - ctx.started;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  std::string out;
  out.reserve(256);
  out += "# Server\r\n";
  append_line(out, "uptime_in_seconds", seconds > 0 ? static_cast<std::uint64_t>(seconds) : 0);
  out += "\r\n# Memory\r\n";
  append_line(out, "used_memory", ctx.store->used_memory());
  out += "\r\n# Keyspace\r\n";
  append_line(out, "keys", ctx.store->len());
  out += "\r\n# Persistence\r\n";
  const std::optional<PersistStats> stats = ctx.store->persist_stats();
  if (!stats.has_value()) {
    out += "persistence_enabled:0\r\n";
  } else {
    out += "persistence_enabled:1\r\n";
    append_line(out, "last_save_time", stats->last_save_ms / 1000);
    append_line(out, "wal_bytes", stats->wal_bytes);
    append_line(out, "snapshot_bytes", stats->snapshot_bytes);
    out += "last_error:";
    if (stats->last_error.has_value()) out += *stats->last_error;
    out += "\r\n";
    append_line(out, "writes_refused", stats->writes_refused ? 1 : 0);
  }
  out += "\r\n# Clients\r\n";
  append_line(out, "connected_clients", ctx.connected_clients.load(std::memory_order_relaxed));
  append_line(out, "rejected_connections", ctx.rejected_connections.load(std::memory_order_relaxed));
  append_line(out, "maxclients", ctx.max_clients);
  return out;
}

// ---- connection ------------------------------------------------------------------

Reply cmd_quit(Request&, ConnectionState&, const ServerContext&) { return ok_reply(); }

Reply cmd_auth(Request& args, ConnectionState& conn, const ServerContext& ctx) {
  if (args.size() != 2) return wrong_args(args[0]);
  if (!ctx.password.has_value()) {
    return Reply::error("ERR AUTH <password> called without any password configured");
  }
  conn.authenticated = password_matches(args[1], *ctx.password);
  return conn.authenticated ? ok_reply() : Reply::error("WRONGPASS invalid password");
}

Reply cmd_ping(Request& args, ConnectionState&, const ServerContext&) {
  return args.size() == 1 ? Reply::simple("PONG") : Reply::bulk(std::move(args[1]));
}

Reply cmd_echo(Request& args, ConnectionState&, const ServerContext&) { return Reply::bulk(std::move(args[1])); }

Reply cmd_select(Request& args, ConnectionState&, const ServerContext&) {
  Result<std::int64_t, Reply> index = int_arg(args[1]);
  if (!index.ok()) return std::move(index.error());
  return index.value() == 0 ? ok_reply() : Reply::error("ERR DB index is out of range");
}

// ---- keyspace ----------------------------------------------------------------------

Reply cmd_dbsize(Request&, ConnectionState&, const ServerContext& ctx) { return count_reply(ctx.store->len()); }

Reply cmd_flush(Request& args, ConnectionState&, const ServerContext& ctx) {
  // Both modes flush synchronously; the mode is only validated.
  if (args.size() == 2 && !equals_upper(args[1], "ASYNC") && !equals_upper(args[1], "SYNC")) {
    return syntax_error();
  }
  StoreResult<void> r = ctx.store->flush();
  return r.ok() ? ok_reply() : store_error_reply(r.error());
}

Reply cmd_info(Request&, ConnectionState&, const ServerContext& ctx) { return Reply::bulk(info_text(ctx)); }

// ---- persistence ---------------------------------------------------------------------

Reply cmd_save(Request&, ConnectionState&, const ServerContext& ctx) {
  if (!ctx.store->persistent()) return persistence_disabled();
  Result<void, PersistError> r = ctx.store->save();
  if (!r.ok()) return Reply::error("ERR save failed: " + r.error().text());
  return ok_reply();
}

// BGSAVE [SCHEDULE]. With SCHEDULE, a save already running is not an
// error: the reply says so as a status, and nothing more is started.
Reply cmd_bgsave(Request& args, ConnectionState&, const ServerContext& ctx) {
  const bool schedule = args.size() == 2;
  if (schedule && !equals_upper(args[1], "SCHEDULE")) return syntax_error();
  if (!ctx.store->persistent()) return persistence_disabled();
  bool idle = false;
  if (!ctx.bgsave->compare_exchange_strong(idle, true)) {
    return schedule ? Reply::simple("Background save already in progress")
                    : Reply::error("ERR Background save already in progress");
  }
  // The store owns the thread, which holds a strong reference to the store
  // and so may outlive this connection; stopping the server joins it. The
  // save's result shows up in the persistence counters.
  std::shared_ptr<std::atomic<bool>> flag = ctx.bgsave;
  Result<void, PersistError> started = [&] {
    try {
      return ctx.store->start_background_save([flag] { flag->store(false, std::memory_order_seq_cst); });
    } catch (...) {
      flag->store(false, std::memory_order_seq_cst);
      throw;
    }
  }();
  if (!started.ok()) {
    flag->store(false, std::memory_order_seq_cst);
    return Reply::error("ERR cannot start background save: " + started.error().text());
  }
  return Reply::simple("Background saving started");
}

Reply cmd_lastsave(Request&, ConnectionState&, const ServerContext& ctx) {
  const std::optional<PersistStats> stats = ctx.store->persist_stats();
  return count_reply(stats.has_value() ? stats->last_save_ms / 1000 : 0);
}

}  // namespace mevora::server
