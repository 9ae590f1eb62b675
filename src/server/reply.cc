#include "server/reply.h"

#include <charconv>
#include <cmath>

namespace mevora::server {

namespace {

struct StringSink {
  std::string& out;
  void put(std::string_view piece) { out.append(piece); }
};

}  // namespace

void Reply::append_to(std::string& out, Protocol p) const {
  StringSink sink{out};
  if (p == Protocol::Resp3) {
    write_wire<Protocol::Resp3>(sink);
  } else {
    write_wire<Protocol::Resp2>(sink);
  }
}

Reply Reply::floating(double value) {
  if (std::isnan(value)) return Reply(Kind::Double, "nan");
  if (std::isinf(value)) return Reply(Kind::Double, value > 0 ? "inf" : "-inf");
  char buf[32];  // the shortest round-trip form of a double takes at most 24
  char* end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  return Reply(Kind::Double, std::string(buf, static_cast<std::size_t>(end - buf)));
}

}  // namespace mevora::server
