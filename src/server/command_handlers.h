// Internal to the command layer: the handler signature, the handlers of
// commands_data.cc and commands_server.cc (named cmd_ + the command), and
// the small helpers they share. Not for use outside src/server/commands*.
//
// A handler runs after dispatch has checked authentication and the
// argument count against the command table, so args.size() is within the
// command's bounds. It may move out of args, returns its reply and may
// throw only the standard library's exceptions (dispatch turns them into
// error replies).
#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/commands.h"

namespace mevora::server {

using Handler = Reply (*)(Request& args, ConnectionState& conn, const ServerContext& ctx);

inline constexpr std::size_t kAnyCount = std::numeric_limits<std::size_t>::max();

// One row of the command table.
struct CommandSpec {
  std::string_view name;  // upper-case ASCII
  std::size_t min_argc;   // argc counts the name too
  std::size_t max_argc;
  Handler handler;
  // Runs before the authentication gate and checks its own arguments.
  bool before_auth = false;
  // The connection closes after the reply.
  bool closes = false;
  // Runs at once also between MULTI and EXEC, instead of being queued.
  bool immediate = false;
};

// Every command the server accepts, in lookup order (commands.cc). The
// position of a row is stable while the server runs; ClientInfo records
// 1 + that position as the connection's last command.
std::span<const CommandSpec> command_table();

// ---- shared replies -------------------------------------------------------

inline Reply ok_reply() { return Reply::simple("OK"); }
inline Reply syntax_error() { return Reply::error("ERR syntax error"); }
inline Reply count_reply(std::uint64_t n) { return Reply::integer(static_cast<std::int64_t>(n)); }

inline char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c; }
inline char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }
std::string ascii_lowered(std::string_view bytes);

// Whether bytes equal upper (an upper-case ASCII word) after ASCII
// upper-casing; no allocation.
bool equals_upper(std::string_view bytes, std::string_view upper);

// A fixed-size list that lives on the stack while short: the views and
// pairs handed to multi-key store calls cost no allocation for the common
// small requests.
template <class T, std::size_t N = 8>
class ShortList {
 public:
  explicit ShortList(std::size_t n) : n_(n) {
    if (n > N) heap_.resize(n);
  }
  T& operator[](std::size_t i) { return n_ > N ? heap_[i] : local_[i]; }
  std::span<const T> span() const { return {n_ > N ? heap_.data() : local_.data(), n_}; }

 private:
  std::size_t n_;
  std::array<T, N> local_{};
  std::vector<T> heap_;
};

// Views of args[first..], in order.
inline ShortList<std::string_view> views_from(const Request& args, std::size_t first) {
  const std::size_t n = args.size() > first ? args.size() - first : 0;
  ShortList<std::string_view> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = args[first + i];
  return out;
}

// ---- cursor arguments (commands_data.cc) ----------------------------------

// A cursor of SCAN, HSCAN or SSCAN: decimal digits only, within the
// unsigned 64-bit range.
std::optional<std::uint64_t> parse_cursor(std::string_view bytes);
// The [MATCH pattern] [COUNT n] options (and [TYPE kind] when with_type)
// from args[first] on, in any order, a repeated option overriding the
// earlier one, into filter; the error reply for a bad one.
std::optional<Reply> parse_scan_options(const Request& args, std::size_t first, bool with_type, ScanFilter& filter);

// ---- data commands (commands_data.cc) -------------------------------------

Reply cmd_get(Request&, ConnectionState&, const ServerContext&);
Reply cmd_set(Request&, ConnectionState&, const ServerContext&);
Reply cmd_setex(Request&, ConnectionState&, const ServerContext&);
Reply cmd_mget(Request&, ConnectionState&, const ServerContext&);
Reply cmd_mset(Request&, ConnectionState&, const ServerContext&);
Reply cmd_del(Request&, ConnectionState&, const ServerContext&);
Reply cmd_exists(Request&, ConnectionState&, const ServerContext&);
Reply cmd_expire(Request&, ConnectionState&, const ServerContext&);
Reply cmd_pexpire(Request&, ConnectionState&, const ServerContext&);
Reply cmd_persist(Request&, ConnectionState&, const ServerContext&);
Reply cmd_ttl(Request&, ConnectionState&, const ServerContext&);
Reply cmd_pttl(Request&, ConnectionState&, const ServerContext&);
Reply cmd_incr(Request&, ConnectionState&, const ServerContext&);
Reply cmd_decr(Request&, ConnectionState&, const ServerContext&);
Reply cmd_incrby(Request&, ConnectionState&, const ServerContext&);
Reply cmd_decrby(Request&, ConnectionState&, const ServerContext&);
Reply cmd_append(Request&, ConnectionState&, const ServerContext&);
Reply cmd_keys(Request&, ConnectionState&, const ServerContext&);
Reply cmd_scan(Request&, ConnectionState&, const ServerContext&);
Reply cmd_hset(Request&, ConnectionState&, const ServerContext&);
Reply cmd_hget(Request&, ConnectionState&, const ServerContext&);
Reply cmd_hdel(Request&, ConnectionState&, const ServerContext&);
Reply cmd_hgetall(Request&, ConnectionState&, const ServerContext&);
Reply cmd_hlen(Request&, ConnectionState&, const ServerContext&);
Reply cmd_lpush(Request&, ConnectionState&, const ServerContext&);
Reply cmd_rpush(Request&, ConnectionState&, const ServerContext&);
Reply cmd_lpop(Request&, ConnectionState&, const ServerContext&);
Reply cmd_rpop(Request&, ConnectionState&, const ServerContext&);
Reply cmd_lrange(Request&, ConnectionState&, const ServerContext&);
Reply cmd_llen(Request&, ConnectionState&, const ServerContext&);
Reply cmd_sadd(Request&, ConnectionState&, const ServerContext&);
Reply cmd_srem(Request&, ConnectionState&, const ServerContext&);
Reply cmd_smembers(Request&, ConnectionState&, const ServerContext&);
Reply cmd_sismember(Request&, ConnectionState&, const ServerContext&);
Reply cmd_scard(Request&, ConnectionState&, const ServerContext&);
Reply cmd_setnx(Request&, ConnectionState&, const ServerContext&);
Reply cmd_getset(Request&, ConnectionState&, const ServerContext&);
Reply cmd_getdel(Request&, ConnectionState&, const ServerContext&);

// ---- more key commands (commands_keys.cc) ----------------------------------

Reply cmd_type(Request&, ConnectionState&, const ServerContext&);
Reply cmd_rename(Request&, ConnectionState&, const ServerContext&);
Reply cmd_renamenx(Request&, ConnectionState&, const ServerContext&);
Reply cmd_expireat(Request&, ConnectionState&, const ServerContext&);
Reply cmd_pexpireat(Request&, ConnectionState&, const ServerContext&);
Reply cmd_expiretime(Request&, ConnectionState&, const ServerContext&);
Reply cmd_pexpiretime(Request&, ConnectionState&, const ServerContext&);
Reply cmd_touch(Request&, ConnectionState&, const ServerContext&);
Reply cmd_randomkey(Request&, ConnectionState&, const ServerContext&);

// ---- more string commands (commands_strings.cc) ------------------------------

Reply cmd_strlen(Request&, ConnectionState&, const ServerContext&);
Reply cmd_getrange(Request&, ConnectionState&, const ServerContext&);
Reply cmd_setrange(Request&, ConnectionState&, const ServerContext&);
Reply cmd_msetnx(Request&, ConnectionState&, const ServerContext&);
Reply cmd_incrbyfloat(Request&, ConnectionState&, const ServerContext&);
Reply cmd_getex(Request&, ConnectionState&, const ServerContext&);

// ---- TIME and CONFIG (commands_config.cc) -------------------------------------

Reply cmd_time(Request&, ConnectionState&, const ServerContext&);
Reply cmd_config(Request&, ConnectionState&, const ServerContext&);
// ---- more hash, list and set commands (commands_hash_ops.cc,
// commands_list_ops.cc, commands_set_ops.cc) ----------------------------------

// An array of bulk strings, moved out of items.
Reply bulk_list_reply(std::vector<std::string>& items);
// The reply of a cursor command: [cursor as a bulk string, [items...]].
Reply cursor_page_reply(std::uint64_t cursor, std::vector<std::string>& items);
// The count of HRANDFIELD or SRANDMEMBER: an integer, and not below
// -(2^63 - 1) / 2 ("ERR value is out of range").
Result<std::int64_t, Reply> random_count_arg(std::string_view bytes);

Reply cmd_hmget(Request&, ConnectionState&, const ServerContext&);
Reply cmd_hmset(Request&, ConnectionState&, const ServerContext&);
Reply cmd_hsetnx(Request&, ConnectionState&, const ServerContext&);
Reply cmd_hexists(Request&, ConnectionState&, const ServerContext&);
Reply cmd_hkeys(Request&, ConnectionState&, const ServerContext&);
Reply cmd_hvals(Request&, ConnectionState&, const ServerContext&);
Reply cmd_hstrlen(Request&, ConnectionState&, const ServerContext&);
Reply cmd_hincrby(Request&, ConnectionState&, const ServerContext&);
Reply cmd_hincrbyfloat(Request&, ConnectionState&, const ServerContext&);
Reply cmd_hrandfield(Request&, ConnectionState&, const ServerContext&);
Reply cmd_hscan(Request&, ConnectionState&, const ServerContext&);

// LPOP/RPOP key count: up to count items from that end, a null array for
// a missing key, "ERR value is out of range, must be positive" for a
// negative count.
Reply pop_count_reply(Request& args, const ServerContext& ctx, Store::ListEnd end);
Reply cmd_lindex(Request&, ConnectionState&, const ServerContext&);
Reply cmd_lpos(Request&, ConnectionState&, const ServerContext&);
Reply cmd_lpushx(Request&, ConnectionState&, const ServerContext&);
Reply cmd_rpushx(Request&, ConnectionState&, const ServerContext&);
Reply cmd_ltrim(Request&, ConnectionState&, const ServerContext&);
Reply cmd_lset(Request&, ConnectionState&, const ServerContext&);
Reply cmd_linsert(Request&, ConnectionState&, const ServerContext&);
Reply cmd_lrem(Request&, ConnectionState&, const ServerContext&);
Reply cmd_lmove(Request&, ConnectionState&, const ServerContext&);
Reply cmd_rpoplpush(Request&, ConnectionState&, const ServerContext&);
Reply cmd_smismember(Request&, ConnectionState&, const ServerContext&);
Reply cmd_srandmember(Request&, ConnectionState&, const ServerContext&);
Reply cmd_spop(Request&, ConnectionState&, const ServerContext&);
Reply cmd_sscan(Request&, ConnectionState&, const ServerContext&);
Reply cmd_smove(Request&, ConnectionState&, const ServerContext&);
Reply cmd_sinter(Request&, ConnectionState&, const ServerContext&);
Reply cmd_sunion(Request&, ConnectionState&, const ServerContext&);
Reply cmd_sdiff(Request&, ConnectionState&, const ServerContext&);
Reply cmd_sinterstore(Request&, ConnectionState&, const ServerContext&);
Reply cmd_sunionstore(Request&, ConnectionState&, const ServerContext&);
Reply cmd_sdiffstore(Request&, ConnectionState&, const ServerContext&);
Reply cmd_sintercard(Request&, ConnectionState&, const ServerContext&);

// ---- connection and server commands (commands_server.cc) ------------------

Reply cmd_quit(Request&, ConnectionState&, const ServerContext&);
Reply cmd_auth(Request&, ConnectionState&, const ServerContext&);
Reply cmd_ping(Request&, ConnectionState&, const ServerContext&);
Reply cmd_echo(Request&, ConnectionState&, const ServerContext&);
Reply cmd_select(Request&, ConnectionState&, const ServerContext&);
Reply cmd_dbsize(Request&, ConnectionState&, const ServerContext&);
Reply cmd_flush(Request&, ConnectionState&, const ServerContext&);  // FLUSHDB, FLUSHALL
Reply cmd_info(Request&, ConnectionState&, const ServerContext&);
Reply cmd_save(Request&, ConnectionState&, const ServerContext&);
Reply cmd_bgsave(Request&, ConnectionState&, const ServerContext&);
Reply cmd_lastsave(Request&, ConnectionState&, const ServerContext&);

// ---- HELLO and CLIENT (commands_client.cc) ---------------------------------

Reply cmd_hello(Request&, ConnectionState&, const ServerContext&);
Reply cmd_client(Request&, ConnectionState&, const ServerContext&);

// ---- COMMAND (commands_command.cc) -------------------------------------------

Reply cmd_command(Request&, ConnectionState&, const ServerContext&);

// ---- transactions (commands_txn.cc) ----------------------------------------

Reply cmd_multi(Request&, ConnectionState&, const ServerContext&);
Reply cmd_exec(Request&, ConnectionState&, const ServerContext&);
Reply cmd_discard(Request&, ConnectionState&, const ServerContext&);
Reply cmd_watch(Request&, ConnectionState&, const ServerContext&);
Reply cmd_unwatch(Request&, ConnectionState&, const ServerContext&);

// Runs a queued command (checked when it was queued) as dispatch would,
// without the authentication gate; exceptions become error replies.
Reply run_queued(Request& args, ConnectionState& conn, const ServerContext& ctx);

}  // namespace mevora::server
