// COMMAND: what client tools ask about the command table.
//
//   COMMAND COUNT            the number of commands accepted
//   COMMAND INFO [name...]   per name, the 10-element description (name,
//                            arity, flags, first key, last key, key step,
//                            categories, tips, key specs, subcommands), or
//                            null for an unknown name; every command when
//                            no name is given
//   COMMAND DOCS [name...]   a map of each known name to its (empty) doc map
// Any other form, plain COMMAND included, replies an empty array as it
// always has. Arity follows the usual convention: n for exactly n
// arguments (the name included), -n for at least n. Key positions are not
// described (0, 0, 0); the only flag given is "no_auth" for the commands
// that run before authentication.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/command_handlers.h"

namespace mevora::server {
namespace {

std::optional<CommandSpec> lookup(std::string_view sent) {
  for (const CommandSpec& c : command_table()) {
    if (equals_upper(sent, c.name)) return c;
  }
  return std::nullopt;
}

std::int64_t arity(const CommandSpec& c) {
  const auto min = static_cast<std::int64_t>(c.min_argc);
  return c.min_argc == c.max_argc ? min : -min;
}

Reply describe(const CommandSpec& c) {
  std::vector<Reply> flags;
  if (c.before_auth) flags.push_back(Reply::simple("no_auth"));
  std::vector<Reply> out;
  out.reserve(10);
  out.push_back(Reply::bulk(ascii_lowered(c.name)));
  out.push_back(Reply::integer(arity(c)));
  out.push_back(Reply::set(std::move(flags)));
  out.push_back(Reply::integer(0));
  out.push_back(Reply::integer(0));
  out.push_back(Reply::integer(0));
  out.push_back(Reply::set({}));
  out.push_back(Reply::array({}));
  out.push_back(Reply::array({}));
  out.push_back(Reply::array({}));
  return Reply::array(std::move(out));
}

Reply command_info(const Request& args) {
  std::vector<Reply> out;
  if (args.size() == 2) {
    for (const CommandSpec& c : command_table()) out.push_back(describe(c));
    return Reply::array(std::move(out));
  }
  out.reserve(args.size() - 2);
  for (std::size_t i = 2; i < args.size(); ++i) {
    const std::optional<CommandSpec> c = lookup(args[i]);
    out.push_back(c ? describe(*c) : Reply::null());
  }
  return Reply::array(std::move(out));
}

Reply command_docs(const Request& args) {
  std::vector<Reply> out;
  for (std::size_t i = 2; i < args.size(); ++i) {
    const std::optional<CommandSpec> c = lookup(args[i]);
    if (!c) continue;
    out.push_back(Reply::bulk(ascii_lowered(c->name)));
    out.push_back(Reply::map({}));
  }
  return Reply::map(std::move(out));
}

}  // namespace

Reply cmd_command(Request& args, ConnectionState&, const ServerContext&) {
  if (args.size() == 2 && equals_upper(args[1], "COUNT")) {
    return Reply::integer(static_cast<std::int64_t>(command_table().size()));
  }
  if (args.size() >= 2 && equals_upper(args[1], "INFO")) return command_info(args);
  if (args.size() >= 2 && equals_upper(args[1], "DOCS")) return command_docs(args);
  return Reply::array({});
}

}  // namespace mevora::server
