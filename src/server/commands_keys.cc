// Handlers of the key commands beyond DEL/EXISTS/EXPIRE: TYPE, RENAME,
// RENAMENX, EXPIREAT, PEXPIREAT, EXPIRETIME, PEXPIRETIME, TOUCH and
// RANDOMKEY. Each is one store call.
#include <limits>
#include <optional>
#include <string>

#include "server/command_handlers.h"

namespace mevora::server {
namespace {

const char* kind_name(std::optional<KeyKind> kind) {
  if (!kind) return "none";
  switch (*kind) {
    case KeyKind::String:
      return "string";
    case KeyKind::List:
      return "list";
    case KeyKind::Hash:
      return "hash";
    case KeyKind::Set:
      return "set";
  }
  return "none";
}

// EXPIREAT and PEXPIREAT: a time at or before now (negative included)
// deletes the key.
Reply expire_at(Request& args, const ServerContext& ctx, std::int64_t unit_ms, const char* command) {
  Result<std::int64_t, Reply> when = int_arg(args[2]);
  if (!when.ok()) return std::move(when.error());
  if (when.value() > std::numeric_limits<std::int64_t>::max() / unit_ms) {
    return Reply::error(std::string("ERR invalid expire time in '") + command + "' command");
  }
  const std::uint64_t unix_ms = when.value() < 0 ? 0 : static_cast<std::uint64_t>(when.value() * unit_ms);
  StoreResult<bool> r = ctx.store->pexpireat(args[1], unix_ms);
  return r.ok() ? Reply::integer(r.value() ? 1 : 0) : store_error_reply(r.error());
}

}  // namespace

Reply cmd_type(Request& args, ConnectionState&, const ServerContext& ctx) {
  return Reply::simple(kind_name(ctx.store->type(args[1])));
}

Reply cmd_rename(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<bool> r = ctx.store->rename(args[1], args[2], false);
  return r.ok() ? ok_reply() : store_error_reply(r.error());
}

Reply cmd_renamenx(Request& args, ConnectionState&, const ServerContext& ctx) {
  StoreResult<bool> r = ctx.store->rename(args[1], args[2], true);
  return r.ok() ? Reply::integer(r.value() ? 1 : 0) : store_error_reply(r.error());
}

Reply cmd_expireat(Request& args, ConnectionState&, const ServerContext& ctx) {
  return expire_at(args, ctx, 1000, "expireat");
}

Reply cmd_pexpireat(Request& args, ConnectionState&, const ServerContext& ctx) {
  return expire_at(args, ctx, 1, "pexpireat");
}

Reply cmd_expiretime(Request& args, ConnectionState&, const ServerContext& ctx) {
  const std::int64_t ms = ctx.store->pexpiretime(args[1]);
  return Reply::integer(ms < 0 ? ms : ms / 1000);
}

Reply cmd_pexpiretime(Request& args, ConnectionState&, const ServerContext& ctx) {
  return Reply::integer(ctx.store->pexpiretime(args[1]));
}

Reply cmd_touch(Request& args, ConnectionState&, const ServerContext& ctx) {
  return count_reply(ctx.store->touch(views_from(args, 1).span()));
}

Reply cmd_randomkey(Request&, ConnectionState&, const ServerContext& ctx) {
  std::optional<std::string> key = ctx.store->randomkey();
  return key ? Reply::bulk(std::move(*key)) : Reply::null();
}

}  // namespace mevora::server
