#include "server/command_keys.h"

#include <cstddef>

#include "server/command_handlers.h"

namespace mevora::server {
namespace {

enum class Reach { Keys, None, All };

struct KeySpec {
  std::string_view name;  // upper-case ASCII
  Reach reach = Reach::Keys;
  int first = 1;
  int last = 1;  // negative: from the end
  int step = 1;
};

constexpr KeySpec kKeySpecs[] = {
    {"GET"}, {"SET"}, {"SETEX"}, {"SETNX"}, {"GETSET"}, {"GETDEL"},
    {"MGET", Reach::Keys, 1, -1}, {"MSET", Reach::Keys, 1, -1, 2},
    {"DEL", Reach::Keys, 1, -1}, {"UNLINK", Reach::Keys, 1, -1}, {"EXISTS", Reach::Keys, 1, -1},
    {"EXPIRE"}, {"PEXPIRE"}, {"PERSIST"}, {"TTL"}, {"PTTL"},
    {"INCR"}, {"DECR"}, {"INCRBY"}, {"DECRBY"}, {"APPEND"},
    {"HSET"}, {"HGET"}, {"HDEL"}, {"HGETALL"}, {"HLEN"},
    {"LPUSH"}, {"RPUSH"}, {"LPOP"}, {"RPOP"}, {"LRANGE"}, {"LLEN"},
    {"SADD"}, {"SREM"}, {"SMEMBERS"}, {"SISMEMBER"}, {"SCARD"},
    {"HMGET"}, {"HMSET"}, {"HSETNX"}, {"HEXISTS"}, {"HKEYS"}, {"HVALS"}, {"HSTRLEN"},
    {"HINCRBY"}, {"HINCRBYFLOAT"}, {"HRANDFIELD"}, {"HSCAN"},
    {"LINDEX"}, {"LPOS"}, {"LPUSHX"}, {"RPUSHX"}, {"LTRIM"}, {"LSET"}, {"LINSERT"}, {"LREM"},
    {"LMOVE", Reach::Keys, 1, 2}, {"RPOPLPUSH", Reach::Keys, 1, 2},
    {"SMISMEMBER"}, {"SRANDMEMBER"}, {"SPOP"}, {"SSCAN"},
    {"SMOVE", Reach::Keys, 1, 2}, {"SINTER", Reach::Keys, 1, -1}, {"SUNION", Reach::Keys, 1, -1},
    {"SDIFF", Reach::Keys, 1, -1}, {"SINTERSTORE", Reach::Keys, 1, -1}, {"SUNIONSTORE", Reach::Keys, 1, -1},
    {"SDIFFSTORE", Reach::Keys, 1, -1},
    // SINTERCARD numkeys key ... [LIMIT n]: a LIMIT clause is taken for two
    // more keys, which only locks a shard or two more than needed.
    {"SINTERCARD", Reach::Keys, 2, -1},
    {"PING", Reach::None}, {"ECHO", Reach::None}, {"SELECT", Reach::None},
    {"COMMAND", Reach::None}, {"LASTSAVE", Reach::None}, {"BGSAVE", Reach::None},
    {"SAVE", Reach::None}, {"AUTH", Reach::None}, {"HELLO", Reach::None}, {"CLIENT", Reach::None},
    {"UNWATCH", Reach::None},
    {"KEYS", Reach::All}, {"DBSIZE", Reach::All}, {"FLUSHDB", Reach::All}, {"FLUSHALL", Reach::All},
    {"INFO", Reach::All},
    {"TYPE"}, {"RENAME", Reach::Keys, 1, 2}, {"RENAMENX", Reach::Keys, 1, 2},
    {"EXPIREAT"}, {"PEXPIREAT"}, {"EXPIRETIME"}, {"PEXPIRETIME"}, {"TOUCH", Reach::Keys, 1, -1},
    {"RANDOMKEY", Reach::All},
    {"STRLEN"}, {"GETRANGE"}, {"SETRANGE"}, {"MSETNX", Reach::Keys, 1, -1, 2}, {"INCRBYFLOAT"}, {"GETEX"},
    {"TIME", Reach::None}, {"CONFIG", Reach::None},
};

const KeySpec* find_spec(std::string_view sent) {
  for (const KeySpec& k : kKeySpecs) {
    if (equals_upper(sent, k.name)) return &k;
  }
  return nullptr;
}

}  // namespace

bool collect_command_keys(const Request& args, std::vector<std::string_view>& keys) {
  const KeySpec* spec = find_spec(args[0]);
  if (spec == nullptr || spec->reach == Reach::All) return true;
  if (spec->reach == Reach::None) return false;
  const auto n = static_cast<long>(args.size());
  const long last = spec->last < 0 ? n + spec->last : spec->last;
  for (long i = spec->first; i <= last && i < n; i += spec->step) keys.push_back(args[static_cast<std::size_t>(i)]);
  return false;
}

}  // namespace mevora::server
