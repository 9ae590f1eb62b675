// Which keys a command touches, so that EXEC can lock exactly the shards its
// queued commands need (Store::atomically).
//
// Every command that reaches the store through a key names it at fixed
// argument positions: from `first` to `last` (negative: counted from the
// end, -1 = the last argument) in steps of `step`. Commands that act on
// the whole keyspace (KEYS, DBSIZE, FLUSHDB, FLUSHALL, INFO) and every
// name this table does not know need all shards; commands that touch no
// key and no shard (PING, ECHO, SELECT, ...) need none.
//
// Thread safety: stateless.
#pragma once

#include <string_view>
#include <vector>

#include "server/resp.h"

namespace mevora::server {

// Appends the keys of args (args[0] is the command name, in any case) to
// keys as views into args; returns whether the command needs the whole
// keyspace.
bool collect_command_keys(const Request& args, std::vector<std::string_view>& keys);

}  // namespace mevora::server
