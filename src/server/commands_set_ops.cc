// Handlers of the set commands beyond SADD/SREM/SMEMBERS/SISMEMBER/SCARD:
// SMISMEMBER, SRANDMEMBER, SPOP and SSCAN. Each makes one store call.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/command_handlers.h"

namespace mevora::server {

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
  std::vector<Reply> out;
  out.reserve(r.value().size());
  for (std::string& m : r.value()) out.push_back(Reply::bulk(std::move(m)));
  return Reply::set(std::move(out));
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

}  // namespace mevora::server
