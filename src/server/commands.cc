// Dispatch: name normalisation, the authentication gate, the command table
// and the argument-count check. The handlers live in commands_data.cc,
// commands_server.cc, commands_client.cc and commands_command.cc.
#include "server/commands.h"

#include <cstddef>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

#include "server/command_handlers.h"
#include "util/utf8.h"

namespace mevora::server {
namespace {

// The commands, most frequent first (the lookup is a linear scan that
// compares lengths before bytes). For the commands that run before the
// authentication gate the counts are only what COMMAND INFO reports: they
// check their own arguments.
constexpr CommandSpec kCommands[] = {
    {"GET", 2, 2, cmd_get},
    {"SET", 3, kAnyCount, cmd_set},
    {"DEL", 2, kAnyCount, cmd_del},
    {"INCR", 2, 2, cmd_incr},
    {"MGET", 2, kAnyCount, cmd_mget},
    {"MSET", 3, kAnyCount, cmd_mset},
    {"EXISTS", 2, kAnyCount, cmd_exists},
    {"HSET", 4, kAnyCount, cmd_hset},
    {"HGET", 3, 3, cmd_hget},
    {"LPUSH", 2, kAnyCount, cmd_lpush},
    {"RPUSH", 2, kAnyCount, cmd_rpush},
    {"LPOP", 2, 3, cmd_lpop},
    {"RPOP", 2, 3, cmd_rpop},
    {"SADD", 2, kAnyCount, cmd_sadd},
    {"PING", 1, 2, cmd_ping},
    {"ECHO", 2, 2, cmd_echo},
    {"SETEX", 4, 4, cmd_setex},
    {"EXPIRE", 3, 3, cmd_expire},
    {"PEXPIRE", 3, 3, cmd_pexpire},
    {"PERSIST", 2, 2, cmd_persist},
    {"TTL", 2, 2, cmd_ttl},
    {"PTTL", 2, 2, cmd_pttl},
    {"DECR", 2, 2, cmd_decr},
    {"INCRBY", 3, 3, cmd_incrby},
    {"DECRBY", 3, 3, cmd_decrby},
    {"APPEND", 3, 3, cmd_append},
    {"KEYS", 2, 2, cmd_keys},
    {"SCAN", 2, kAnyCount, cmd_scan},
    {"HDEL", 2, kAnyCount, cmd_hdel},
    {"HGETALL", 2, 2, cmd_hgetall},
    {"HLEN", 2, 2, cmd_hlen},
    {"LRANGE", 4, 4, cmd_lrange},
    {"LLEN", 2, 2, cmd_llen},
    {"SREM", 2, kAnyCount, cmd_srem},
    {"SMEMBERS", 2, 2, cmd_smembers},
    {"SISMEMBER", 3, 3, cmd_sismember},
    {"SCARD", 2, 2, cmd_scard},
    {"SELECT", 2, 2, cmd_select},
    {"DBSIZE", 1, 1, cmd_dbsize},
    {"FLUSHDB", 1, 2, cmd_flush},
    {"FLUSHALL", 1, 2, cmd_flush},
    {"INFO", 1, 2, cmd_info},
    {"SAVE", 1, 1, cmd_save},
    {"BGSAVE", 1, 2, cmd_bgsave},
    {"LASTSAVE", 1, 1, cmd_lastsave},
    {"COMMAND", 1, kAnyCount, cmd_command},
    {"QUIT", 1, kAnyCount, cmd_quit, true, true, true},
    {"AUTH", 2, 2, cmd_auth, true, false},
    {"HELLO", 1, kAnyCount, cmd_hello, true, false},
    {"CLIENT", 2, kAnyCount, cmd_client},
    {"SETNX", 3, 3, cmd_setnx},
    {"UNLINK", 2, kAnyCount, cmd_del},  // removal is immediate: UNLINK is DEL
    {"GETSET", 3, 3, cmd_getset},
    {"GETDEL", 2, 2, cmd_getdel},
    {"MULTI", 1, 1, cmd_multi, false, false, true},
    {"EXEC", 1, 1, cmd_exec, false, false, true},
    {"DISCARD", 1, 1, cmd_discard, false, false, true},
    {"WATCH", 2, kAnyCount, cmd_watch, false, false, true},
    {"UNWATCH", 1, 1, cmd_unwatch},
    // keys and strings, second group
    {"TYPE", 2, 2, cmd_type},
    {"RENAME", 3, 3, cmd_rename},
    {"RENAMENX", 3, 3, cmd_renamenx},
    {"EXPIREAT", 3, 3, cmd_expireat},
    {"PEXPIREAT", 3, 3, cmd_pexpireat},
    {"EXPIRETIME", 2, 2, cmd_expiretime},
    {"PEXPIRETIME", 2, 2, cmd_pexpiretime},
    {"TOUCH", 2, kAnyCount, cmd_touch},
    {"RANDOMKEY", 1, 1, cmd_randomkey},
    {"STRLEN", 2, 2, cmd_strlen},
    {"GETRANGE", 4, 4, cmd_getrange},
    {"SETRANGE", 4, 4, cmd_setrange},
    {"MSETNX", 3, kAnyCount, cmd_msetnx},
    {"INCRBYFLOAT", 3, 3, cmd_incrbyfloat},
    {"GETEX", 2, kAnyCount, cmd_getex},
    {"TIME", 1, 1, cmd_time},
    {"CONFIG", 2, kAnyCount, cmd_config},
    // hashes, lists and sets, second group
    {"HMGET", 3, kAnyCount, cmd_hmget},
    {"HMSET", 4, kAnyCount, cmd_hmset},
    {"HSETNX", 4, 4, cmd_hsetnx},
    {"HEXISTS", 3, 3, cmd_hexists},
    {"HKEYS", 2, 2, cmd_hkeys},
    {"HVALS", 2, 2, cmd_hvals},
    {"HSTRLEN", 3, 3, cmd_hstrlen},
    {"HINCRBY", 4, 4, cmd_hincrby},
    {"HINCRBYFLOAT", 4, 4, cmd_hincrbyfloat},
    {"HRANDFIELD", 2, 4, cmd_hrandfield},
    {"HSCAN", 3, kAnyCount, cmd_hscan},
    {"LINDEX", 3, 3, cmd_lindex},
    {"LPOS", 3, kAnyCount, cmd_lpos},
    {"LPUSHX", 3, kAnyCount, cmd_lpushx},
    {"RPUSHX", 3, kAnyCount, cmd_rpushx},
    {"LTRIM", 4, 4, cmd_ltrim},
    {"LSET", 4, 4, cmd_lset},
    {"LINSERT", 5, 5, cmd_linsert},
    {"LREM", 4, 4, cmd_lrem},
    {"LMOVE", 5, 5, cmd_lmove},
    {"RPOPLPUSH", 3, 3, cmd_rpoplpush},
    {"SMISMEMBER", 3, kAnyCount, cmd_smismember},
    {"SRANDMEMBER", 2, 3, cmd_srandmember},
    {"SPOP", 2, 3, cmd_spop},
    {"SSCAN", 3, kAnyCount, cmd_sscan},
    {"SMOVE", 4, 4, cmd_smove},
    {"SINTER", 2, kAnyCount, cmd_sinter},
    {"SUNION", 2, kAnyCount, cmd_sunion},
    {"SDIFF", 2, kAnyCount, cmd_sdiff},
    {"SINTERSTORE", 3, kAnyCount, cmd_sinterstore},
    {"SUNIONSTORE", 3, kAnyCount, cmd_sunionstore},
    {"SDIFFSTORE", 3, kAnyCount, cmd_sdiffstore},
    {"SINTERCARD", 3, kAnyCount, cmd_sintercard},
};

// Longer than every table name, so a longer argument 0 cannot match.
constexpr std::size_t kNameBufferSize = 16;

// The table entry for a command name as sent, or null. The upper-cased
// copy lives on the stack; a name too long for it matches nothing.
const CommandSpec* find_command(std::string_view sent) {
  if (sent.size() > kNameBufferSize) return nullptr;
  char buf[kNameBufferSize];
  for (std::size_t i = 0; i < sent.size(); ++i) buf[i] = ascii_upper(sent[i]);
  const std::string_view name(buf, sent.size());
  for (const CommandSpec& c : kCommands) {
    if (c.name.size() == name.size() && c.name == name) return &c;
  }
  return nullptr;
}

// Between MULTI and EXEC: the checks of dispatch, then the queue. A failed
// check dooms the transaction.
Reply queue_command(Request& args, const CommandSpec* cmd, ConnectionState& conn) {
  TxnState& txn = *conn.txn;
  Reply refusal;
  if (!conn.authenticated) {
    refusal = Reply::error("NOAUTH Authentication required.");
  } else if (cmd == nullptr) {
    refusal = Reply::error("ERR unknown command '" + echo_text(args[0]) + "'");
  } else if (args.size() < cmd->min_argc || args.size() > cmd->max_argc) {
    refusal = wrong_args(args[0]);
  } else if (txn.failed) {
    return Reply::simple("QUEUED");  // doomed already: EXEC runs nothing, so nothing is kept
  } else {
    std::uint64_t bytes = 0;
    for (const std::string& a : args) bytes += a.size() + sizeof(std::string);
    if (bytes <= txn.max_queued_bytes - txn.queued_bytes) {
      txn.queued.push_back(std::move(args));
      txn.queued_bytes += bytes;
      return Reply::simple("QUEUED");
    }
    refusal = Reply::error("ERR transaction too large: its queued commands would exceed 512 MiB");
    txn.queued = {};  // frees the queue now
    txn.queued_bytes = 0;
  }
  txn.failed = true;
  return refusal;
}

DispatchResult run_command(Request& args, ConnectionState& conn, const ServerContext& ctx) {
  const CommandSpec* cmd = find_command(args[0]);
  if (conn.client) conn.client->touch(cmd == nullptr ? 0 : static_cast<std::uint32_t>(cmd - kCommands) + 1);
  if (conn.in_multi() && (cmd == nullptr || !cmd->immediate)) return {queue_command(args, cmd, conn)};
  if (cmd != nullptr && cmd->before_auth) return {cmd->handler(args, conn, ctx), cmd->closes};
  if (!conn.authenticated) return {Reply::error("NOAUTH Authentication required.")};
  if (cmd == nullptr) return {Reply::error("ERR unknown command '" + echo_text(args[0]) + "'")};
  if (args.size() < cmd->min_argc || args.size() > cmd->max_argc) return {wrong_args(args[0])};
  return {cmd->handler(args, conn, ctx), cmd->closes};
}

// The reply for a standard-library exception escaping a handler; called
// inside a catch block. Nothing has been changed beyond what a multi-step
// command had already applied.
Reply exception_reply() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return Reply::error("ERR out of memory");
  } catch (const std::exception& e) {
    return Reply::error(std::string("ERR ") + e.what());
  } catch (...) {
    return Reply::error("ERR internal error");
  }
}

}  // namespace

std::shared_ptr<ServerContext> ServerContext::create(std::optional<std::string> password,
                                                     std::shared_ptr<Store> store) {
  auto ctx = std::make_shared<ServerContext>();
  ctx->password = std::move(password);
  ctx->store = std::move(store);
  ctx->started = std::chrono::steady_clock::now();
  ctx->bgsave = std::make_shared<std::atomic<bool>>(false);
  return ctx;
}

std::span<const CommandSpec> command_table() { return kCommands; }

Reply run_queued(Request& args, ConnectionState& conn, const ServerContext& ctx) {
  try {
    const CommandSpec* cmd = find_command(args[0]);
    if (cmd == nullptr) return Reply::error("ERR unknown command '" + echo_text(args[0]) + "'");
    return cmd->handler(args, conn, ctx);
  } catch (...) {
    return exception_reply();
  }
}

DispatchResult dispatch(Request& args, ConnectionState& conn, const ServerContext& ctx) {
  try {
    DispatchResult result = run_command(args, conn, ctx);  // built in place: no move
    result.protocol = conn.protocol;
    return result;
  } catch (...) {
    return {exception_reply(), false, conn.protocol};
  }
}

std::string ascii_lowered(std::string_view bytes) {
  std::string lower(bytes);
  for (char& c : lower) c = ascii_lower(c);
  return lower;
}

Reply wrong_args(std::string_view name) {
  // One byte past what is shown, so echo_text still sees that it cuts.
  return Reply::error("ERR wrong number of arguments for '" + echo_text(ascii_lowered(name.substr(0, kEchoMaxBytes + 1))) +
                      "' command");
}

Result<std::int64_t, Reply> int_arg(std::string_view bytes) {
  if (std::optional<std::int64_t> v = parse_int(bytes)) return *v;
  return make_err(Reply::error("ERR value is not an integer or out of range"));
}

Reply store_error_reply(const StoreError& e) {
  switch (e.kind()) {
    case StoreError::WrongType:
    case StoreError::OutOfMemory:
      return Reply::error(store_error_message(e));
    case StoreError::NotInteger:
    case StoreError::Overflow:
    case StoreError::LogRefused:
    case StoreError::KeyTooLong:
    case StoreError::NotFloat:
    case StoreError::NoSuchKey:
    case StoreError::TooLarge:
    case StoreError::NotFinite:
      return Reply::error(std::string("ERR ") + store_error_message(e));
  }
  return Reply::error("ERR internal error");
}

bool equals_upper(std::string_view bytes, std::string_view upper) {
  if (bytes.size() != upper.size()) return false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (ascii_upper(bytes[i]) != upper[i]) return false;
  }
  return true;
}

}  // namespace mevora::server
