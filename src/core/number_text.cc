#include "core/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace mevora {

bool parse_counter(std::string_view text, std::int64_t& out) {
  if (text.empty()) return false;
  const bool negative = text[0] == '-';
  std::string_view digits = negative ? text.substr(1) : text;
  if (digits.empty()) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  // Accumulate as a negative number so that INT64_MIN fits.
  std::int64_t v = 0;
  for (char c : digits) {
    const int d = c - '0';
    if (v < (std::numeric_limits<std::int64_t>::min() + d) / 10) return false;
    v = v * 10 - d;
  }
  if (!negative) {
    if (v == std::numeric_limits<std::int64_t>::min()) return false;
    v = -v;
  }
  out = v;
  return true;
}

std::optional<double> parse_float_text(std::string_view text) {
  std::string_view body = text;
  bool negative = false;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (body.empty()) return std::nullopt;
  // from_chars would take "inf" and "nan": only digits or '.' may start.
  if (!(body[0] >= '0' && body[0] <= '9') && body[0] != '.') return std::nullopt;
  double v = 0;
  const char* end = body.data() + body.size();
  auto [ptr, ec] = std::from_chars(body.data(), end, v, std::chars_format::general);
  if (ec != std::errc() || ptr != end || !std::isfinite(v)) return std::nullopt;
  return negative ? -v : v;
}

std::string float_text(double v) {
  if (v == 0) v = 0;  // "-0" is written as "0"
  char buf[64];
  auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;  // 64 bytes hold the shortest form of every double
  return std::string(buf, ptr);
}

}  // namespace mevora
