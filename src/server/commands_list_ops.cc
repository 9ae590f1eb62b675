// Handlers of the list commands beyond the basic pushes, pops and ranges:
// LINDEX, LPOS, LPUSHX, RPUSHX, LTRIM, LSET, LINSERT, LREM, LMOVE,
// RPOPLPUSH, and the count
// form of LPOP and RPOP. Each makes one store call.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/command_handlers.h"

namespace mevora::server {
namespace {

using ListEnd = Store::ListEnd;

std::optional<ListEnd> end_named(std::string_view bytes) {
  if (equals_upper(bytes, "LEFT")) return ListEnd::Head;
  if (equals_upper(bytes, "RIGHT")) return ListEnd::Tail;
  return std::nullopt;
}

Reply move_reply(const ServerContext& ctx, const Request& args, ListEnd from, ListEnd to) {
  StoreResult<std::optional<std::string>> r = ctx.store->lmove(args[1], args[2], from, to);
  if (!r.ok()) return store_error_reply(r.error());
  return r.value() ? Reply::bulk(std::move(*r.value())) : Reply::null();
}

}  // namespace

Reply pop_count_reply(Request& args, const ServerContext& ctx, Store::ListEnd end) {
  Result<std::int64_t, Reply> count = int_arg(args[2]);
  if (!count.ok()) return std::move(count.error());
  if (count.value() < 0) return Reply::error("ERR value is out of range, must be positive");
  auto r = ctx.store->pop_count(args[1], static_cast<std::uint64_t>(count.value()), end);
  if (!r.ok()) return store_error_reply(r.error());
  if (!r.value()) return Reply::null_array();
  return bulk_list_reply(*r.value());
}

Reply cmd_lindex(Request& args, ConnectionState&, const ServerContext& ctx) {
  Result<std::int64_t, Reply> index = int_arg(args[2]);
  if (!index.ok()) return std::move(index.error());
  StoreResult<std::optional<std::string>> r = ctx.store->lindex(args[1], index.value());
  if (!r.ok()) return store_error_reply(r.error());
  return r.value() ? Reply::bulk(std::move(*r.value())) : Reply::null();
}

// LPOS key element [RANK rank] [COUNT count] [MAXLEN len]: without COUNT
// the first position or null, with it an array of positions.
Reply cmd_lpos(Request& args, ConnectionState&, const ServerContext& ctx) {
  std::int64_t rank = 1;
  std::optional<std::int64_t> count;
  std::int64_t maxlen = 0;
  for (std::size_t i = 3; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return syntax_error();
    Result<std::int64_t, Reply> v = int_arg(args[i + 1]);
    if (!v.ok()) return std::move(v.error());
    if (equals_upper(args[i], "RANK")) {
      if (v.value() == 0 || v.value() == std::numeric_limits<std::int64_t>::min()) {
        return Reply::error(
            "ERR RANK can't be zero: use 1 to start from the first match, 2 from the second ... or use negative "
            "to start from the end of the list");
      }
      rank = v.value();
    } else if (equals_upper(args[i], "COUNT")) {
      if (v.value() < 0) return Reply::error("ERR COUNT can't be negative");
      count = v.value();
    } else if (equals_upper(args[i], "MAXLEN")) {
      if (v.value() < 0) return Reply::error("ERR MAXLEN can't be negative");
      maxlen = v.value();
    } else {
      return syntax_error();
    }
  }
  auto r = ctx.store->lpos(args[1], args[2], rank, count ? static_cast<std::uint64_t>(*count) : 1,
                           static_cast<std::uint64_t>(maxlen));
  if (!r.ok()) return store_error_reply(r.error());
  if (!count) return r.value().empty() ? Reply::null() : Reply::integer(r.value().front());
  std::vector<Reply> out;
  out.reserve(r.value().size());
  for (std::int64_t p : r.value()) out.push_back(Reply::integer(p));
  return Reply::array(std::move(out));
}

Reply cmd_lpushx(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<std::uint64_t> r = ctx.store->pushx(args[1], views_from(args, 2).span(), ListEnd::Head);
  return r.ok() ? count_reply(r.value()) : store_error_reply(r.error());
}

Reply cmd_rpushx(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<std::uint64_t> r = ctx.store->pushx(args[1], views_from(args, 2).span(), ListEnd::Tail);
  return r.ok() ? count_reply(r.value()) : store_error_reply(r.error());
}

Reply cmd_ltrim(Request& args, ConnectionState&, const ServerContext& ctx) {
  Result<std::int64_t, Reply> start = int_arg(args[2]);
  if (!start.ok()) return std::move(start.error());
  Result<std::int64_t, Reply> stop = int_arg(args[3]);
  if (!stop.ok()) return std::move(stop.error());
  StoreResult<void> r = ctx.store->ltrim(args[1], start.value(), stop.value());
  return r.ok() ? ok_reply() : store_error_reply(r.error());
}

Reply cmd_lmove(Request& args, ConnectionState&, const ServerContext& ctx) {
  const std::optional<ListEnd> from = end_named(args[3]);
  const std::optional<ListEnd> to = end_named(args[4]);
  if (!from || !to) return syntax_error();
  return move_reply(ctx, args, *from, *to);
}

Reply cmd_lset(Request& args, ConnectionState&, const ServerContext& ctx) {
  Result<std::int64_t, Reply> index = int_arg(args[2]);
  if (!index.ok()) return std::move(index.error());
  StoreResult<Store::ListSet> r = ctx.store->lset(args[1], index.value(), args[3]);
  if (!r.ok()) return store_error_reply(r.error());
  switch (r.value()) {
    case Store::ListSet::Done:
      break;
    case Store::ListSet::NoSuchKey:
      return Reply::error("ERR no such key");
    case Store::ListSet::OutOfRange:
      return Reply::error("ERR index out of range");
  }
  return ok_reply();
}

// LINSERT key BEFORE|AFTER pivot element.
Reply cmd_linsert(Request& args, ConnectionState&, const ServerContext& ctx) {
  const bool before = equals_upper(args[2], "BEFORE");
  if (!before && !equals_upper(args[2], "AFTER")) return syntax_error();
  StoreResult<std::int64_t> r = ctx.store->linsert(args[1], !before, args[3], args[4]);
  return r.ok() ? Reply::integer(r.value()) : store_error_reply(r.error());
}

Reply cmd_lrem(Request& args, ConnectionState&, const ServerContext& ctx) {
  Result<std::int64_t, Reply> count = int_arg(args[2]);
  if (!count.ok()) return std::move(count.error());
  StoreResult<std::uint64_t> r = ctx.store->lrem(args[1], count.value(), args[3]);
  return r.ok() ? count_reply(r.value()) : store_error_reply(r.error());
}

Reply cmd_rpoplpush(Request& args, ConnectionState&, const ServerContext& ctx) {
  return move_reply(ctx, args, ListEnd::Tail, ListEnd::Head);
}

}  // namespace mevora::server
