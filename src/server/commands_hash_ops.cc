// Handlers of the hash commands beyond HSET/HGET/HDEL/HGETALL/HLEN:
// HMGET, HMSET, HSETNX, HEXISTS, HKEYS, HVALS, HSTRLEN, HINCRBY,
// HINCRBYFLOAT, HRANDFIELD and HSCAN. Each makes one store call.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/number_text.h"
#include "server/command_handlers.h"

namespace mevora::server {

// The smallest count HRANDFIELD and SRANDMEMBER accept: a negative count
// asks for that many picks with repeats, which the store bounds
// (kMaxRepeatedPicks); past it the reply is "value is out of range".
constexpr std::int64_t kMinRandomCount = -kMaxRepeatedPicks;

Reply bulk_list_reply(std::vector<std::string>& items) {
  std::vector<Reply> out;
  out.reserve(items.size());
  for (std::string& s : items) out.push_back(Reply::bulk(std::move(s)));
  return Reply::array(std::move(out));
}

Reply cursor_page_reply(std::uint64_t cursor, std::vector<std::string>& items) {
  std::vector<Reply> out;
  out.reserve(2);
  out.push_back(Reply::bulk(std::to_string(cursor)));
  out.push_back(bulk_list_reply(items));
  return Reply::array(std::move(out));
}

Result<std::int64_t, Reply> random_count_arg(std::string_view bytes) {
  Result<std::int64_t, Reply> n = int_arg(bytes);
  if (n.ok() && n.value() < kMinRandomCount) return make_err(Reply::error("ERR value is out of range"));
  return n;
}

Reply cmd_hmget(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<std::vector<std::optional<std::string>>> r = ctx.store->hmget(args[1], views_from(args, 2).span());
  if (!r.ok()) return store_error_reply(r.error());
  std::vector<Reply> out;
  out.reserve(r.value().size());
  for (std::optional<std::string>& v : r.value()) out.push_back(v ? Reply::bulk(std::move(*v)) : Reply::null());
  return Reply::array(std::move(out));
}

Reply cmd_hmset(Request& args, ConnectionState&, const ServerContext& ctx) {
  if (args.size() % 2 != 0) return wrong_args(args[0]);
  const std::size_t n = (args.size() - 2) / 2;
  ShortList<KeyValue> pairs(n);
  for (std::size_t i = 0; i < n; ++i) pairs[i] = {args[2 + 2 * i], args[3 + 2 * i]};
  StoreResult<void> r = ctx.store->hmset(args[1], pairs.span());
  return r.ok() ? ok_reply() : store_error_reply(r.error());
}

Reply cmd_hsetnx(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<bool> r = ctx.store->hsetnx(args[1], args[2], args[3]);
  return r.ok() ? Reply::integer(r.value() ? 1 : 0) : store_error_reply(r.error());
}

Reply cmd_hexists(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<bool> r = ctx.store->hexists(args[1], args[2]);
  return r.ok() ? Reply::integer(r.value() ? 1 : 0) : store_error_reply(r.error());
}

Reply cmd_hkeys(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<std::vector<std::string>> r = ctx.store->hkeys(args[1]);
  return r.ok() ? bulk_list_reply(r.value()) : store_error_reply(r.error());
}

Reply cmd_hvals(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<std::vector<std::string>> r = ctx.store->hvals(args[1]);
  return r.ok() ? bulk_list_reply(r.value()) : store_error_reply(r.error());
}

Reply cmd_hstrlen(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<std::uint64_t> r = ctx.store->hstrlen(args[1], args[2]);
  return r.ok() ? count_reply(r.value()) : store_error_reply(r.error());
}

Reply cmd_hincrby(Request& args, ConnectionState&, const ServerContext& ctx) {
  Result<std::int64_t, Reply> amount = int_arg(args[3]);
  if (!amount.ok()) return std::move(amount.error());
  StoreResult<std::int64_t> r = ctx.store->hincrby(args[1], args[2], amount.value());
  return r.ok() ? Reply::integer(r.value()) : store_error_reply(r.error());
}

Reply cmd_hincrbyfloat(Request& args, ConnectionState&, const ServerContext& ctx) {
  const std::optional<double> amount = parse_float_text(args[3]);
  if (!amount) return store_error_reply(StoreError::NotFloat);
  StoreResult<std::string> r = ctx.store->hincrbyfloat(args[1], args[2], *amount);
  return r.ok() ? Reply::bulk(std::move(r.value())) : store_error_reply(r.error());
}

// HRANDFIELD key [count [WITHVALUES]]: without a count one field or null;
// with one an array (empty for a missing key). WITHVALUES pairs each
// field with its value: [field, value] arrays under RESP3, a flat array
// under RESP2.
Reply cmd_hrandfield(Request& args, ConnectionState& conn, const ServerContext& ctx) {
  std::optional<std::int64_t> count;
  bool with_values = false;
  if (args.size() >= 3) {
    Result<std::int64_t, Reply> n = random_count_arg(args[2]);
    if (!n.ok()) return std::move(n.error());
    count = n.value();
  }
  if (args.size() == 4) {
    if (!equals_upper(args[3], "WITHVALUES")) return syntax_error();
    with_values = true;
  }
  auto r = ctx.store->hrandfield(args[1], count, with_values);
  if (!r.ok()) return store_error_reply(r.error());
  auto& picked = r.value();
  if (!count) return picked.empty() ? Reply::null() : Reply::bulk(std::move(picked.front().first));
  std::vector<Reply> out;
  out.reserve(picked.size() * (with_values ? 2 : 1));
  for (auto& [field, value] : picked) {
    if (!with_values) {
      out.push_back(Reply::bulk(std::move(field)));
    } else if (conn.protocol == Protocol::Resp3) {
      std::vector<Reply> pair;
      pair.reserve(2);
      pair.push_back(Reply::bulk(std::move(field)));
      pair.push_back(Reply::bulk(std::move(value)));
      out.push_back(Reply::array(std::move(pair)));
    } else {
      out.push_back(Reply::bulk(std::move(field)));
      out.push_back(Reply::bulk(std::move(value)));
    }
  }
  return Reply::array(std::move(out));
}

// HSCAN key cursor [MATCH pattern] [COUNT n]: [next cursor, [field,
// value, ...]].
Reply cmd_hscan(Request& args, ConnectionState&, const ServerContext& ctx) {
  std::optional<std::uint64_t> cursor = parse_cursor(args[2]);
  if (!cursor) return Reply::error("ERR invalid cursor");
  ScanFilter filter;
  if (std::optional<Reply> bad = parse_scan_options(args, 3, false, filter)) return std::move(*bad);
  StoreResult<CollScanPage> r = ctx.store->hscan(args[1], *cursor, filter);
  if (!r.ok()) return store_error_reply(r.error());
  return cursor_page_reply(r.value().cursor, r.value().items);
}

}  // namespace mevora::server
