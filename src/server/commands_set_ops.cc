// Handlers of the set commands beyond SADD/SREM/SMEMBERS/SISMEMBER/SCARD:
// SMISMEMBER, SRANDMEMBER, SPOP, SSCAN, SMOVE and the set algebra (SINTER,
// SUNION, SDIFF, their STORE forms, SINTERCARD). Each makes one store call.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/command_handlers.h"

namespace mevora::server {
namespace {

// A set of bulk strings (an array over RESP2), moved out of members.
Reply set_reply(std::vector<std::string>& members) {
  std::vector<Reply> out;
  out.reserve(members.size());
  for (std::string& m : members) out.push_back(Reply::bulk(std::move(m)));
  return Reply::set(std::move(out));
}

// SINTER / SUNION / SDIFF key [key ...]: the resulting set.
Reply algebra_reply(Request& args, const ServerContext& ctx, Store::SetOp op) {
  StoreResult<std::vector<std::string>> r = ctx.store->set_algebra(op, views_from(args, 1).span());
  if (!r.ok()) return store_error_reply(r.error());
  return set_reply(r.value());
}

// SINTERSTORE / SUNIONSTORE / SDIFFSTORE destination key [key ...]: the
// size of the set stored.
Reply algebra_store_reply(Request& args, const ServerContext& ctx, Store::SetOp op) {
  StoreResult<std::uint64_t> r = ctx.store->set_algebra_store(op, args[1], views_from(args, 2).span());
  return r.ok() ? count_reply(r.value()) : store_error_reply(r.error());
}

}  // namespace

Reply cmd_smismember(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<std::vector<bool>> r = ctx.store->smismember(args[1], views_from(args, 2).span());
  if (!r.ok()) return store_error_reply(r.error());
  std::vector<Reply> out;
  out.reserve(r.value().size());
  for (bool present : r.value()) out.push_back(Reply::integer(present ? 1 : 0));
  return Reply::array(std::move(out));
}

// SRANDMEMBER key [count]: one member or null without a count; with one an
// array (members may repeat for a negative count).
Reply cmd_srandmember(Request& args, ConnectionState&, const ServerContext& ctx) {
  std::optional<std::int64_t> count;
  if (args.size() == 3) {
    Result<std::int64_t, Reply> n = random_count_arg(args[2]);
    if (!n.ok()) return std::move(n.error());
    count = n.value();
  }
  StoreResult<std::vector<std::string>> r = ctx.store->srandmember(args[1], count);
  if (!r.ok()) return store_error_reply(r.error());
  if (!count) return r.value().empty() ? Reply::null() : Reply::bulk(std::move(r.value().front()));
  return bulk_list_reply(r.value());
}

// SPOP key [count]: one member or null without a count; with one a set of
// up to count members.
Reply cmd_spop(Request& args, ConnectionState&, const ServerContext& ctx) {
  std::optional<std::uint64_t> count;
  if (args.size() == 3) {
    Result<std::int64_t, Reply> n = int_arg(args[2]);
    if (!n.ok()) return std::move(n.error());
    if (n.value() < 0) return Reply::error("ERR value is out of range, must be positive");
    count = static_cast<std::uint64_t>(n.value());
  }
  StoreResult<std::vector<std::string>> r = ctx.store->spop(args[1], count);
  if (!r.ok()) return store_error_reply(r.error());
  if (!count) return r.value().empty() ? Reply::null() : Reply::bulk(std::move(r.value().front()));
  return set_reply(r.value());
}

// SSCAN key cursor [MATCH pattern] [COUNT n]: [next cursor, [members]].
Reply cmd_sscan(Request& args, ConnectionState&, const ServerContext& ctx) {
  std::optional<std::uint64_t> cursor = parse_cursor(args[2]);
  if (!cursor) return Reply::error("ERR invalid cursor");
  ScanFilter filter;
  if (std::optional<Reply> bad = parse_scan_options(args, 3, false, filter)) return std::move(*bad);
  StoreResult<CollScanPage> r = ctx.store->sscan(args[1], *cursor, filter);
  if (!r.ok()) return store_error_reply(r.error());
  return cursor_page_reply(r.value().cursor, r.value().items);
}

// SMOVE source destination member: 1 when moved, 0 when not in source.
Reply cmd_smove(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<bool> r = ctx.store->smove(args[1], args[2], args[3]);
  return r.ok() ? Reply::integer(r.value() ? 1 : 0) : store_error_reply(r.error());
}

Reply cmd_sinter(Request& args, ConnectionState&, const ServerContext& ctx) {
  return algebra_reply(args, ctx, Store::SetOp::Inter);
}
Reply cmd_sunion(Request& args, ConnectionState&, const ServerContext& ctx) {
  return algebra_reply(args, ctx, Store::SetOp::Union);
}
Reply cmd_sdiff(Request& args, ConnectionState&, const ServerContext& ctx) {
  return algebra_reply(args, ctx, Store::SetOp::Diff);
}
Reply cmd_sinterstore(Request& args, ConnectionState&, const ServerContext& ctx) {
  return algebra_store_reply(args, ctx, Store::SetOp::Inter);
}
Reply cmd_sunionstore(Request& args, ConnectionState&, const ServerContext& ctx) {
  return algebra_store_reply(args, ctx, Store::SetOp::Union);
}
Reply cmd_sdiffstore(Request& args, ConnectionState&, const ServerContext& ctx) {
  return algebra_store_reply(args, ctx, Store::SetOp::Diff);
}

// SINTERCARD numkeys key [key ...] [LIMIT limit]: the size of the
// intersection, counting no further than limit (0: no limit).
Reply cmd_sintercard(Request& args, ConnectionState&, const ServerContext& ctx) {
  Result<std::int64_t, Reply> numkeys = int_arg(args[1]);
  if (!numkeys.ok()) return std::move(numkeys.error());
  if (numkeys.value() <= 0) return Reply::error("ERR numkeys should be greater than 0");
  const std::size_t given = args.size() - 2;
  if (static_cast<std::uint64_t>(numkeys.value()) > given) {
    return Reply::error("ERR Number of keys can't be greater than number of args");
  }
  const auto n = static_cast<std::size_t>(numkeys.value());
  std::uint64_t limit = 0;
  for (std::size_t i = 2 + n; i < args.size(); i += 2) {
    if (!equals_upper(args[i], "LIMIT") || i + 1 == args.size()) return syntax_error();
    Result<std::int64_t, Reply> v = int_arg(args[i + 1]);
    if (!v.ok()) return std::move(v.error());
    if (v.value() < 0) return Reply::error("ERR LIMIT can't be negative");
    limit = static_cast<std::uint64_t>(v.value());
  }
  ShortList<std::string_view> keys(n);
  for (std::size_t i = 0; i < n; ++i) keys[i] = args[2 + i];
  StoreResult<std::uint64_t> r = ctx.store->sintercard(keys.span(), limit);
  return r.ok() ? count_reply(r.value()) : store_error_reply(r.error());
}

}  // namespace mevora::server
