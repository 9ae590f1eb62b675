// TIME and CONFIG.
//
//   TIME                     [Unix seconds, microseconds] as bulk strings
//   CONFIG GET pattern ...   the settings whose names match any of the
//                            glob patterns (case-insensitive), as a map of
//                            name to value (a flat array under RESP2)
//   CONFIG SET ...           refused: settings are fixed when the cache and
//                            the server are created
//
// The settings are the server's own: maxmemory (bytes, 0 = no limit),
// maxmemory-policy, appendfsync (always, everysec or no; no for a cache
// without persistence), dir (the data directory; empty without
// persistence), port, and databases (always 1).
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "core/glob.h"
#include "server/command_handlers.h"
#include "util/utf8.h"

namespace mevora::server {
namespace {

const char* policy_name(EvictionPolicy p) {
  switch (p) {
    case EvictionPolicy::NoEviction:
      return "noeviction";
    case EvictionPolicy::AllKeysLru:
      return "allkeys-lru";
    case EvictionPolicy::VolatileLru:
      return "volatile-lru";
  }
  return "noeviction";
}

const char* fsync_name(const Persistence* p) {
  if (p == nullptr) return "no";
  switch (p->fsync_policy()) {
    case FsyncPolicy::Always:
      return "always";
    case FsyncPolicy::EverySec:
      return "everysec";
    case FsyncPolicy::Never:
      return "no";
  }
  return "no";
}

// Every setting, in reply order.
std::vector<std::pair<std::string, std::string>> settings(const ServerContext& ctx) {
  const Store& store = *ctx.store;
  const Persistence* p = store.persistence();
  return {
      {"maxmemory", std::to_string(store.max_memory())},
      {"maxmemory-policy", policy_name(store.policy())},
      {"appendfsync", fsync_name(p)},
      {"dir", p == nullptr ? std::string() : p->directory()},
      {"port", std::to_string(ctx.port)},
      {"databases", "1"},
  };
}

Reply config_get(const Request& args, const ServerContext& ctx) {
  if (args.size() < 3) return wrong_args("config|get");
  std::vector<GlobPattern> patterns;
  patterns.reserve(args.size() - 2);
  for (std::size_t i = 2; i < args.size(); ++i) patterns.emplace_back(ascii_lowered(args[i]));
  std::vector<Reply> out;
  for (auto& [name, value] : settings(ctx)) {
    for (const GlobPattern& g : patterns) {
      if (!g.matches(name)) continue;
      out.push_back(Reply::bulk(std::move(name)));
      out.push_back(Reply::bulk(std::move(value)));
      break;
    }
  }
  return Reply::map(std::move(out));
}

}  // namespace

Reply cmd_time(Request&, ConnectionState&, const ServerContext&) {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count();
  std::vector<Reply> out;
  out.reserve(2);
  out.push_back(Reply::bulk(std::to_string(us / 1'000'000)));
  out.push_back(Reply::bulk(std::to_string(us % 1'000'000)));
  return Reply::array(std::move(out));
}

Reply cmd_config(Request& args, ConnectionState&, const ServerContext& ctx) {
  if (equals_upper(args[1], "GET")) return config_get(args, ctx);
  if (equals_upper(args[1], "SET")) {
    return Reply::error("ERR CONFIG SET is not supported: settings are fixed when the cache and server are created");
  }
  return Reply::error("ERR unknown subcommand '" + echo_text(args[1]) + "'. Try CONFIG GET.");
}

}  // namespace mevora::server
