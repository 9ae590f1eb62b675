#include "core/float_text.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace mevora {

bool parse_float(std::string_view text, double& out) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end && std::isfinite(out);
}

std::string float_text(double v) {
  if (v == 0) v = 0;
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;  // 32 bytes hold the shortest form of any double
  return std::string(buf, static_cast<std::size_t>(end - buf));
}

}  // namespace mevora
