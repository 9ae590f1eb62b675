// Handlers of HELLO (protocol choice, authentication and naming in one
// handshake) and CLIENT (the connection's name, library, id, and the list
// of live connections).
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "server/command_handlers.h"
#include "util/utf8.h"

#ifndef MEVORA_VERSION
#error "MEVORA_VERSION is set by the build from the project version"
#endif

namespace mevora::server {
namespace {

// Connection names and library fields go into space-separated CLIENT LIST
// lines, so they are limited to printable ASCII without spaces.
bool is_plain_word(std::string_view s) {
  for (char c : s) {
    if (c < '!' || c > '~') return false;
  }
  return true;
}

Reply bad_name() { return Reply::error("ERR Client names cannot contain spaces, newlines or special characters."); }

std::int64_t whole_seconds(std::chrono::steady_clock::duration d) {
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(d).count();
  return s > 0 ? static_cast<std::int64_t>(s) : 0;
}

// One CLIENT LIST line, ended by "\n".
std::string client_line(const ClientInfo& c, std::chrono::steady_clock::time_point now) {
  const ClientInfo::Names names = c.names();
  const std::uint32_t last = c.last_command();
  const std::span<const CommandSpec> table = command_table();
  const std::string cmd = last == 0 || last > table.size() ? "NULL" : ascii_lowered(table[last - 1].name);
  std::string out;
  out.reserve(128 + names.name.size() + names.lib_name.size() + names.lib_ver.size());
  out += "id=" + std::to_string(c.id());
  out += " addr=" + c.addr();
  out += " laddr=" + c.laddr();
  out += " name=" + names.name;
  out += " age=" + std::to_string(whole_seconds(now - c.created()));
  out += " idle=" + std::to_string(whole_seconds(now - c.last_active()));
  out += " db=0 cmd=" + cmd;
  out += " lib-name=" + names.lib_name;
  out += " lib-ver=" + names.lib_ver;
  out += '\n';
  return out;
}

Reply wrong_client_args(std::string_view sub) { return wrong_args("client|" + std::string(sub)); }

Reply hello_reply(const ConnectionState& conn) {
  std::vector<Reply> p;
  p.reserve(14);
  p.push_back(Reply::bulk("server"));
  p.push_back(Reply::bulk("mevora"));
  p.push_back(Reply::bulk("version"));
  p.push_back(Reply::bulk(MEVORA_VERSION));
  p.push_back(Reply::bulk("proto"));
  p.push_back(Reply::integer(static_cast<std::int64_t>(conn.protocol)));
  p.push_back(Reply::bulk("id"));
  p.push_back(Reply::integer(conn.client ? static_cast<std::int64_t>(conn.client->id()) : 0));
  p.push_back(Reply::bulk("mode"));
  p.push_back(Reply::bulk("standalone"));
  p.push_back(Reply::bulk("role"));
  p.push_back(Reply::bulk("master"));
  p.push_back(Reply::bulk("modules"));
  p.push_back(Reply::array({}));
  return Reply::map(std::move(p));
}

}  // namespace

// HELLO [protover [AUTH username password] [SETNAME name]]. Everything is
// checked before anything changes: a rejected HELLO leaves the protocol,
// the authentication and the name as they were.
Reply cmd_hello(Request& args, ConnectionState& conn, const ServerContext& ctx) {
  Protocol protocol = conn.protocol;
  if (args.size() >= 2) {
    Result<std::int64_t, Reply> version = int_arg(args[1]);
    if (!version.ok()) return std::move(version.error());
    if (version.value() != 2 && version.value() != 3) return Reply::error("NOPROTO unsupported protocol version");
    protocol = version.value() == 3 ? Protocol::Resp3 : Protocol::Resp2;
  }
  const std::string* user = nullptr;
  const std::string* password = nullptr;
  std::string* name = nullptr;
  for (std::size_t i = 2; i < args.size(); ++i) {
    if (equals_upper(args[i], "AUTH") && i + 2 < args.size()) {
      user = &args[i + 1];
      password = &args[i + 2];
      i += 2;
    } else if (equals_upper(args[i], "SETNAME") && i + 1 < args.size()) {
      name = &args[++i];
    } else {
      return Reply::error("ERR Syntax error in HELLO option '" + echo_text(args[i]) + "'");
    }
  }
  if (name != nullptr && !is_plain_word(*name)) return bad_name();
  bool authenticated = conn.authenticated;
  if (password != nullptr) {
    if (!ctx.password.has_value()) {
      return Reply::error("ERR AUTH <password> called without any password configured");
    }
    // Both are compared, so the time taken does not tell which was wrong.
    const bool user_ok = password_matches(*user, "default");
    const bool password_ok = password_matches(*password, *ctx.password);
    if (!(user_ok && password_ok)) return Reply::error("WRONGPASS invalid username-password pair");
    authenticated = true;
  }
  if (!authenticated) {
    return Reply::error(
        "NOAUTH HELLO must be called with the client already authenticated, otherwise the HELLO <proto> "
        "AUTH <user> <pass> option can be used to authenticate the client and select the RESP protocol "
        "version at the same time");
  }
  conn.authenticated = true;
  conn.protocol = protocol;
  if (name != nullptr && conn.client) conn.client->set_name(std::move(*name));
  return hello_reply(conn);
}

// CLIENT ID | GETNAME | SETNAME name | SETINFO LIB-NAME|LIB-VER value |
// LIST | INFO.
Reply cmd_client(Request& args, ConnectionState& conn, const ServerContext& ctx) {
  const std::string sub = ascii_lowered(args[1]);
  const std::size_t argc = args.size();
  if (!conn.client) return Reply::error("ERR no client information for this connection");
  ClientInfo& me = *conn.client;
  if (sub == "id") {
    if (argc != 2) return wrong_client_args(sub);
    return Reply::integer(static_cast<std::int64_t>(me.id()));
  }
  if (sub == "getname") {
    if (argc != 2) return wrong_client_args(sub);
    std::string name = me.names().name;
    return name.empty() ? Reply::null() : Reply::bulk(std::move(name));
  }
  if (sub == "setname") {
    if (argc != 3) return wrong_client_args(sub);
    if (!is_plain_word(args[2])) return bad_name();
    me.set_name(std::move(args[2]));
    return ok_reply();
  }
  if (sub == "setinfo") {
    if (argc != 4) return wrong_client_args(sub);
    const bool lib_name = equals_upper(args[2], "LIB-NAME");
    if (!lib_name && !equals_upper(args[2], "LIB-VER")) {
      return Reply::error("ERR Unrecognized option '" + echo_text(args[2]) + "'");
    }
    if (!is_plain_word(args[3])) {
      return Reply::error(std::string(lib_name ? "ERR LIB-NAME" : "ERR LIB-VER") +
                          " cannot contain spaces, newlines or special characters.");
    }
    if (lib_name) {
      me.set_lib_name(std::move(args[3]));
    } else {
      me.set_lib_ver(std::move(args[3]));
    }
    return ok_reply();
  }
  const auto now = std::chrono::steady_clock::now();
  if (sub == "info") {
    if (argc != 2) return wrong_client_args(sub);
    return Reply::bulk(client_line(me, now));
  }
  if (sub == "list") {
    if (argc != 2) return wrong_client_args(sub);
    std::string out;
    for (const std::shared_ptr<ClientInfo>& c : ctx.clients.live()) out += client_line(*c, now);
    return Reply::bulk(std::move(out));
  }
  return Reply::error("ERR unknown subcommand '" + echo_text(args[1]) + "' for 'client'");
}

}  // namespace mevora::server
