// DispatchResult and Dispatcher: the seam between the connection loop and
// the command layer.
//
// The connection loop hands each non-empty request to a Dispatcher and
// writes back the Reply it returns, encoded for `protocol` (the
// connection's protocol after the command ran, so HELLO 3's own reply is
// already RESP3). `close` is set only by QUIT: the loop then sends the
// reply and closes the connection.
//
// The dispatcher receives the arguments by mutable reference (argument 0 is
// the command name) and may move out of them; the loop clears them before
// the next request. It runs on the connection's own thread, and per
// connection state (the authentication flag) lives in whatever the
// dispatcher captures. It should not throw; if it does, the loop closes the
// connection without a reply.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "server/reply.h"

namespace mevora::server {

struct DispatchResult {
  Reply reply;
  bool close = false;
  Protocol protocol = Protocol::Resp2;
};

using Dispatcher = std::function<DispatchResult(std::vector<std::string>& args)>;

}  // namespace mevora::server
