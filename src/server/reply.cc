#include "server/reply.h"

namespace mevora::server {

namespace {

struct StringSink {
  std::string& out;
  void put(std::string_view piece) { out.append(piece); }
};

}  // namespace

void Reply::append_to(std::string& out) const {
  StringSink sink{out};
  write_wire(sink);
}

}  // namespace mevora::server
