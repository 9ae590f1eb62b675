// Handlers of the string commands beyond GET/SET/APPEND/INCR: STRLEN,
// GETRANGE, SETRANGE, MSETNX, INCRBYFLOAT and GETEX. Each parses its
// arguments before its one store call.
#include <limits>
#include <optional>
#include <string>

#include "core/number_text.h"
#include "server/command_handlers.h"

namespace mevora::server {

Reply cmd_strlen(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<std::uint64_t> r = ctx.store->strlen(args[1]);
  return r.ok() ? count_reply(r.value()) : store_error_reply(r.error());
}

Reply cmd_getrange(Request& args, ConnectionState&, const ServerContext& ctx) {
  Result<std::int64_t, Reply> start = int_arg(args[2]);
  if (!start.ok()) return std::move(start.error());
  Result<std::int64_t, Reply> stop = int_arg(args[3]);
  if (!stop.ok()) return std::move(stop.error());
  StoreResult<std::string> r = ctx.store->getrange(args[1], start.value(), stop.value());
  return r.ok() ? Reply::bulk(std::move(r.value())) : store_error_reply(r.error());
}

Reply cmd_setrange(Request& args, ConnectionState&, const ServerContext& ctx) {
  Result<std::int64_t, Reply> offset = int_arg(args[2]);
  if (!offset.ok()) return std::move(offset.error());
  if (offset.value() < 0) return Reply::error("ERR offset is out of range");
  StoreResult<std::uint64_t> r = ctx.store->setrange(args[1], static_cast<std::uint64_t>(offset.value()), args[3]);
  return r.ok() ? count_reply(r.value()) : store_error_reply(r.error());
}

Reply cmd_msetnx(Request& args, ConnectionState&, const ServerContext& ctx) {
  if (args.size() % 2 == 0) return wrong_args(args[0]);
  const std::size_t n = (args.size() - 1) / 2;
  ShortList<KeyValue> pairs(n);
  for (std::size_t i = 0; i < n; ++i) pairs[i] = {args[1 + 2 * i], args[2 + 2 * i]};
  StoreResult<bool> r = ctx.store->msetnx(pairs.span());
  return r.ok() ? Reply::integer(r.value() ? 1 : 0) : store_error_reply(r.error());
}

Reply cmd_incrbyfloat(Request& args, ConnectionState&, const ServerContext& ctx) {
  const std::optional<double> amount = parse_float_text(args[2]);
  if (!amount) return store_error_reply(StoreError::NotFloat);
  StoreResult<std::string> r = ctx.store->incrbyfloat(args[1], *amount);
  return r.ok() ? Reply::bulk(std::move(r.value())) : store_error_reply(r.error());
}

// GETEX key [EX s | PX ms | EXAT s | PXAT ms | PERSIST]
Reply cmd_getex(Request& args, ConnectionState&, const ServerContext& ctx) {
  using Mode = Store::GetExpiry::Mode;
  Store::GetExpiry expiry;
  for (std::size_t i = 2; i < args.size(); ++i) {
    if (expiry.mode != Mode::Keep) return syntax_error();
    const std::string& opt = args[i];
    if (equals_upper(opt, "PERSIST")) {
      expiry.mode = Mode::Persist;
      continue;
    }
    const bool seconds = equals_upper(opt, "EX") || equals_upper(opt, "EXAT");
    const bool absolute = equals_upper(opt, "EXAT") || equals_upper(opt, "PXAT");
    if (!seconds && !absolute && !equals_upper(opt, "PX")) return syntax_error();
    if (i + 1 >= args.size()) return syntax_error();
    Result<std::int64_t, Reply> v = int_arg(args[++i]);
    if (!v.ok()) return std::move(v.error());
    if (v.value() < 1 || (seconds && v.value() > std::numeric_limits<std::int64_t>::max() / 1000)) {
      return Reply::error("ERR invalid expire time in 'getex' command");
    }
    expiry.mode = absolute ? Mode::At : Mode::After;
    expiry.ms = static_cast<std::uint64_t>(seconds ? v.value() * 1000 : v.value());
  }
  StoreResult<std::optional<std::string>> r = ctx.store->getex(args[1], expiry);
  if (!r.ok()) return store_error_reply(r.error());
  return r.value() ? Reply::bulk(std::move(*r.value())) : Reply::null();
}

}  // namespace mevora::server
