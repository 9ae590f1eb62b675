// Handlers of the data commands: strings, counters, keys and expiry,
// hashes, lists and sets. Each one parses its integer arguments before
// touching the store, makes its store call(s) with views of the request's
// bytes, and moves the store's result copies into the reply. A hash comes
// back as a Map and a set as a Set, so RESP3 connections see their kinds;
// under RESP2 both are plain arrays.
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/command_handlers.h"
#include "util/utf8.h"

namespace mevora::server {
namespace {

constexpr std::int64_t kMaxSeconds = std::numeric_limits<std::int64_t>::max() / 1000;

Reply bulk_or_null(std::optional<std::string>& v) { return v ? Reply::bulk(std::move(*v)) : Reply::null(); }

std::vector<Reply> bulks(std::vector<std::string>& items) {
  std::vector<Reply> out;
  out.reserve(items.size());
  for (std::string& s : items) out.push_back(Reply::bulk(std::move(s)));
  return out;
}

Reply bulk_array(std::vector<std::string>& items) { return Reply::array(bulks(items)); }

template <class T>
Reply count_or_error(const StoreResult<T>& r) {
  return r.ok() ? count_reply(r.value()) : store_error_reply(r.error());
}

Reply flag_or_error(const StoreResult<bool>& r) {
  return r.ok() ? Reply::integer(r.value() ? 1 : 0) : store_error_reply(r.error());
}

Reply optional_or_error(StoreResult<std::optional<std::string>>& r) {
  return r.ok() ? bulk_or_null(r.value()) : store_error_reply(r.error());
}

Reply invalid_expire(const char* command) {
  return Reply::error(std::string("ERR invalid expire time in '") + command + "' command");
}

Reply incr_by(Request& args, const ServerContext& ctx, std::int64_t amount) {
  StoreResult<std::int64_t> r = ctx.store->incr(args[1], amount);
  return r.ok() ? Reply::integer(r.value()) : store_error_reply(r.error());
}

// EXPIRE and PEXPIRE: an amount below 1 deletes the key.
Reply expire_by(Request& args, const ServerContext& ctx, std::int64_t unit_ms) {
  Result<std::int64_t, Reply> amount = int_arg(args[2]);
  if (!amount.ok()) return std::move(amount.error());
  if (amount.value() < 1) {
    const std::string_view key = args[1];
    return count_or_error(ctx.store->del(KeyList(&key, 1)));
  }
  if (amount.value() > std::numeric_limits<std::int64_t>::max() / unit_ms) return invalid_expire("expire");
  const auto ms = static_cast<std::uint64_t>(amount.value() * unit_ms);
  return flag_or_error(ctx.store->pexpire(args[1], ms));
}

}  // namespace

std::optional<std::uint64_t> parse_cursor(std::string_view bytes) {
  std::uint64_t v = 0;
  const char* end = bytes.data() + bytes.size();
  auto [ptr, ec] = std::from_chars(bytes.data(), end, v);
  if (bytes.empty() || bytes[0] < '0' || bytes[0] > '9' || ec != std::errc() || ptr != end) return std::nullopt;
  return v;
}

std::optional<Reply> parse_scan_options(const Request& args, std::size_t first, bool with_type, ScanFilter& filter) {
  for (std::size_t i = first; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return syntax_error();
    const std::string& opt = args[i];
    const std::string& value = args[i + 1];
    if (equals_upper(opt, "MATCH")) {
      if (!is_valid_utf8(value)) return Reply::error("ERR invalid pattern");
      filter.match = value;
    } else if (equals_upper(opt, "COUNT")) {
      Result<std::int64_t, Reply> n = int_arg(value);
      if (!n.ok()) return std::move(n.error());
      if (n.value() < 1) return syntax_error();
      filter.count = static_cast<std::uint64_t>(n.value());
    } else if (with_type && equals_upper(opt, "TYPE")) {
      filter.kind = key_kind_named(value);
      if (!filter.kind) return Reply::error("ERR unknown type name '" + utf8_lossy(value) + "'");
    } else {
      return syntax_error();
    }
  }
  return std::nullopt;
}

// ---- strings and keys ---------------------------------------------------------

Reply cmd_get(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<std::optional<std::string>> r = ctx.store->get(args[1]);
  return optional_or_error(r);
}

// SET key value [NX | XX] [GET] [EX s | PX ms | EXAT s | PXAT ms | KEEPTTL]:
// one store step, so GET reports exactly the value the write replaced.
Reply cmd_set(Request& args, ConnectionState&, const ServerContext& ctx) {
  SetOptions options;
  bool expiry_given = false;
  for (std::size_t i = 3; i < args.size(); ++i) {
    const std::string& opt = args[i];
    if (equals_upper(opt, "NX")) {
      options.nx = true;
    } else if (equals_upper(opt, "XX")) {
      options.xx = true;
    } else if (equals_upper(opt, "GET")) {
      options.get = true;
    } else if (equals_upper(opt, "KEEPTTL")) {
      if (expiry_given) return syntax_error();
      expiry_given = true;
      options.expiry = SetOptions::Expiry::Keep;
    } else if (equals_upper(opt, "EX") || equals_upper(opt, "PX") || equals_upper(opt, "EXAT") ||
               equals_upper(opt, "PXAT")) {
      const bool seconds = equals_upper(opt, "EX") || equals_upper(opt, "EXAT");
      const bool absolute = equals_upper(opt, "EXAT") || equals_upper(opt, "PXAT");
      if (expiry_given || i + 1 >= args.size()) return syntax_error();
      expiry_given = true;
      Result<std::int64_t, Reply> v = int_arg(args[++i]);
      if (!v.ok()) return std::move(v.error());
      if (v.value() < 1 || (seconds && v.value() > kMaxSeconds)) return invalid_expire("set");
      options.expiry = absolute ? SetOptions::Expiry::At : SetOptions::Expiry::After;
      options.ms = static_cast<std::uint64_t>(seconds ? v.value() * 1000 : v.value());
    } else {
      return syntax_error();
    }
  }
  if (options.nx && options.xx) return syntax_error();
  if (!options.get && (options.expiry == SetOptions::Expiry::None || options.expiry == SetOptions::Expiry::After)) {
    // The everyday SET: the plain store write, with nothing to report back.
    std::optional<std::uint64_t> ttl_ms;
    if (options.expiry == SetOptions::Expiry::After) ttl_ms = options.ms;
    StoreResult<bool> r = ctx.store->set(args[1], args[2], ttl_ms, options.nx, options.xx);
    if (!r.ok()) return store_error_reply(r.error());
    return r.value() ? ok_reply() : Reply::null();
  }
  StoreResult<SetOutcome> r = ctx.store->set_with(args[1], args[2], options);
  if (!r.ok()) return store_error_reply(r.error());
  if (options.get) return bulk_or_null(r.value().previous);
  return r.value().written ? ok_reply() : Reply::null();
}

Reply cmd_setnx(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<bool> r = ctx.store->set(args[1], args[2], std::nullopt, true, false);
  return r.ok() ? Reply::integer(r.value() ? 1 : 0) : store_error_reply(r.error());
}

// GETSET key value: SET key value GET (the deadline is dropped).
Reply cmd_getset(Request& args, ConnectionState&, const ServerContext& ctx) {
  SetOptions options;
  options.get = true;
  StoreResult<SetOutcome> r = ctx.store->set_with(args[1], args[2], options);
  return r.ok() ? bulk_or_null(r.value().previous) : store_error_reply(r.error());
}

Reply cmd_getdel(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<std::optional<std::string>> r = ctx.store->getdel(args[1]);
  return optional_or_error(r);
}

Reply cmd_setex(Request& args, ConnectionState&, const ServerContext& ctx) {
  Result<std::int64_t, Reply> seconds = int_arg(args[2]);
  if (!seconds.ok()) return std::move(seconds.error());
  if (seconds.value() < 1 || seconds.value() > kMaxSeconds) return invalid_expire("setex");
  const auto ttl_ms = static_cast<std::uint64_t>(seconds.value() * 1000);
  StoreResult<bool> r = ctx.store->set(args[1], args[3], ttl_ms, false, false);
  return r.ok() ? ok_reply() : store_error_reply(r.error());
}

Reply cmd_mget(Request& args, ConnectionState&, const ServerContext& ctx) {
  std::vector<std::optional<std::string>> values = ctx.store->mget(views_from(args, 1).span());
  std::vector<Reply> out;
  out.reserve(values.size());
  for (std::optional<std::string>& v : values) out.push_back(bulk_or_null(v));
  return Reply::array(std::move(out));
}

Reply cmd_mset(Request& args, ConnectionState&, const ServerContext& ctx) {
  if (args.size() % 2 == 0) return wrong_args(args[0]);
  const std::size_t n = (args.size() - 1) / 2;
  ShortList<KeyValue> pairs(n);
  for (std::size_t i = 0; i < n; ++i) pairs[i] = {args[1 + 2 * i], args[2 + 2 * i]};
  StoreResult<void> r = ctx.store->mset(pairs.span());
  return r.ok() ? ok_reply() : store_error_reply(r.error());
}

Reply cmd_del(Request& args, ConnectionState&, const ServerContext& ctx) {
  return count_or_error(ctx.store->del(views_from(args, 1).span()));
}

Reply cmd_exists(Request& args, ConnectionState&, const ServerContext& ctx) {
  std::int64_t found = 0;
  for (std::size_t i = 1; i < args.size(); ++i) found += ctx.store->exists(args[i]) ? 1 : 0;
  return Reply::integer(found);
}

Reply cmd_append(Request& args, ConnectionState&, const ServerContext& ctx) {
  return count_or_error(ctx.store->append(args[1], args[2]));
}

Reply cmd_keys(Request& args, ConnectionState&, const ServerContext& ctx) {
  if (!is_valid_utf8(args[1])) return Reply::error("ERR invalid pattern");
  std::vector<std::string> keys = ctx.store->keys(args[1]);
  return bulk_array(keys);
}

// SCAN cursor [MATCH pattern] [COUNT n] [TYPE kind], options in any order,
// a repeated option overriding the earlier one. Replies [next cursor as a
// bulk string, [keys...]].
Reply cmd_scan(Request& args, ConnectionState&, const ServerContext& ctx) {
  std::optional<std::uint64_t> cursor = parse_cursor(args[1]);
  if (!cursor) return Reply::error("ERR invalid cursor");
  ScanFilter filter;
  if (std::optional<Reply> bad = parse_scan_options(args, 2, true, filter)) return std::move(*bad);
  ScanPage page = ctx.store->scan(*cursor, filter);
  std::vector<Reply> out;
  out.reserve(2);
  out.push_back(Reply::bulk(std::to_string(page.cursor)));
  out.push_back(bulk_array(page.keys));
  return Reply::array(std::move(out));
}

// ---- expiry ---------------------------------------------------------------------

Reply cmd_expire(Request& args, ConnectionState&, const ServerContext& ctx) { return expire_by(args, ctx, 1000); }

Reply cmd_pexpire(Request& args, ConnectionState&, const ServerContext& ctx) { return expire_by(args, ctx, 1); }

Reply cmd_persist(Request& args, ConnectionState&, const ServerContext& ctx) {
  return flag_or_error(ctx.store->persist(args[1]));
}

Reply cmd_ttl(Request& args, ConnectionState&, const ServerContext& ctx) {
  const std::int64_t r = ctx.store->pttl(args[1]);
  if (r < 0) return Reply::integer(r);
  // floor((r + 500) / 1000) without the overflow of r + 500.
  return Reply::integer(r / 1000 + (r % 1000 >= 500 ? 1 : 0));
}

Reply cmd_pttl(Request& args, ConnectionState&, const ServerContext& ctx) {
  return Reply::integer(ctx.store->pttl(args[1]));
}

// ---- counters -------------------------------------------------------------------

Reply cmd_incr(Request& args, ConnectionState&, const ServerContext& ctx) { return incr_by(args, ctx, 1); }

Reply cmd_decr(Request& args, ConnectionState&, const ServerContext& ctx) { return incr_by(args, ctx, -1); }

Reply cmd_incrby(Request& args, ConnectionState&, const ServerContext& ctx) {
  Result<std::int64_t, Reply> amount = int_arg(args[2]);
  if (!amount.ok()) return std::move(amount.error());
  return incr_by(args, ctx, amount.value());
}

Reply cmd_decrby(Request& args, ConnectionState&, const ServerContext& ctx) {
  Result<std::int64_t, Reply> amount = int_arg(args[2]);
  if (!amount.ok()) return std::move(amount.error());
  if (amount.value() == std::numeric_limits<std::int64_t>::min()) return store_error_reply(StoreError::Overflow);
  return incr_by(args, ctx, -amount.value());
}

// ---- hashes -----------------------------------------------------------------------

Reply cmd_hset(Request& args, ConnectionState&, const ServerContext& ctx) {
  if (args.size() % 2 != 0) return wrong_args(args[0]);
  std::int64_t added = 0;
  for (std::size_t i = 2; i + 1 < args.size(); i += 2) {
    StoreResult<bool> r = ctx.store->hset(args[1], args[i], args[i + 1]);
    if (!r.ok()) return store_error_reply(r.error());
    added += r.value() ? 1 : 0;
  }
  return Reply::integer(added);
}

Reply cmd_hget(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<std::optional<std::string>> r = ctx.store->hget(args[1], args[2]);
  return optional_or_error(r);
}

Reply cmd_hdel(Request& args, ConnectionState&, const ServerContext& ctx) {
  return count_or_error(ctx.store->hdel(args[1], views_from(args, 2).span()));
}

Reply cmd_hgetall(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<std::vector<std::pair<std::string, std::string>>> r = ctx.store->hgetall(args[1]);
  if (!r.ok()) return store_error_reply(r.error());
  std::vector<Reply> out;
  out.reserve(r.value().size() * 2);
  for (auto& [field, value] : r.value()) {
    out.push_back(Reply::bulk(std::move(field)));
    out.push_back(Reply::bulk(std::move(value)));
  }
  return Reply::map(std::move(out));
}

Reply cmd_hlen(Request& args, ConnectionState&, const ServerContext& ctx) {
  return count_or_error(ctx.store->hlen(args[1]));
}

// ---- lists --------------------------------------------------------------------------

Reply cmd_lpush(Request& args, ConnectionState&, const ServerContext& ctx) {
  return count_or_error(ctx.store->lpush(args[1], views_from(args, 2).span()));
}

Reply cmd_rpush(Request& args, ConnectionState&, const ServerContext& ctx) {
  return count_or_error(ctx.store->rpush(args[1], views_from(args, 2).span()));
}

Reply cmd_lpop(Request& args, ConnectionState&, const ServerContext& ctx) {
  if (args.size() == 3) return pop_count_reply(args, ctx, Store::ListEnd::Head);
  StoreResult<std::optional<std::string>> r = ctx.store->lpop(args[1]);
  return optional_or_error(r);
}

Reply cmd_rpop(Request& args, ConnectionState&, const ServerContext& ctx) {
  if (args.size() == 3) return pop_count_reply(args, ctx, Store::ListEnd::Tail);
  StoreResult<std::optional<std::string>> r = ctx.store->rpop(args[1]);
  return optional_or_error(r);
}

Reply cmd_lrange(Request& args, ConnectionState&, const ServerContext& ctx) {
  Result<std::int64_t, Reply> start = int_arg(args[2]);
  if (!start.ok()) return std::move(start.error());
  Result<std::int64_t, Reply> stop = int_arg(args[3]);
  if (!stop.ok()) return std::move(stop.error());
  StoreResult<std::vector<std::string>> r = ctx.store->lrange(args[1], start.value(), stop.value());
  return r.ok() ? bulk_array(r.value()) : store_error_reply(r.error());
}

Reply cmd_llen(Request& args, ConnectionState&, const ServerContext& ctx) {
  return count_or_error(ctx.store->llen(args[1]));
}

// ---- sets -----------------------------------------------------------------------------

Reply cmd_sadd(Request& args, ConnectionState&, const ServerContext& ctx) {
  return count_or_error(ctx.store->sadd(args[1], views_from(args, 2).span()));
}

Reply cmd_srem(Request& args, ConnectionState&, const ServerContext& ctx) {
  return count_or_error(ctx.store->srem(args[1], views_from(args, 2).span()));
}

Reply cmd_smembers(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<std::vector<std::string>> r = ctx.store->smembers(args[1]);
  return r.ok() ? Reply::set(bulks(r.value())) : store_error_reply(r.error());
}

Reply cmd_sismember(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<bool> r = ctx.store->sismember(args[1], args[2]);
  return r.ok() ? Reply::integer(r.value() ? 1 : 0) : store_error_reply(r.error());
}

Reply cmd_scard(Request& args, ConnectionState&, const ServerContext& ctx) {
  return count_or_error(ctx.store->scard(args[1]));
}

}  // namespace mevora::server
