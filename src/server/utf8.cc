#include "server/utf8.h"

#include <cstddef>
#include <cstdint>

namespace mevora::server {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// How many bytes of a well-formed sequence start at bytes[i]: the whole
// sequence length when it is complete and valid, otherwise 0 with
// `*bad_len` set to the length of the maximal ill-formed prefix (>= 1).
std::size_t sequence_at(std::string_view bytes, std::size_t i, std::size_t* bad_len) {
  const auto lead = static_cast<std::uint8_t>(bytes[i]);
  if (lead < 0x80) return 1;
  std::size_t need = 0;
  std::uint8_t lo = 0x80;  // allowed range of the second byte
  std::uint8_t hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    if (lead == 0xE0) lo = 0xA0;  // no overlong forms
    if (lead == 0xED) hi = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    if (lead == 0xF0) lo = 0x90;  // no overlong forms
    if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    *bad_len = 1;  // a continuation byte, C0, C1 or F5..FF
    return 0;
  }
  std::size_t k = 1;
  for (; k < need && i + k < bytes.size(); ++k) {
    const auto c = static_cast<std::uint8_t>(bytes[i + k]);
    const std::uint8_t min = k == 1 ? lo : 0x80;
    const std::uint8_t max = k == 1 ? hi : 0xBF;
    if (c < min || c > max) break;
  }
  if (k == need) return need;
  *bad_len = k;
  return 0;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t bad = 0;
    const std::size_t n = sequence_at(bytes, i, &bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t bad = 0;
    const std::size_t n = sequence_at(bytes, i, &bad);
    if (n == 0) {
      out.append(kReplacement);
      i += bad;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string echo_text(std::string_view bytes) {
  if (bytes.size() <= kEchoMaxBytes) return utf8_lossy(bytes);
  std::size_t cut = kEchoMaxBytes;
  // Back over continuation bytes (10xxxxxx) to the lead byte they follow.
  for (int back = 0; back < 3 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80; ++back) --cut;
  if ((static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) cut = kEchoMaxBytes;  // not UTF-8 anyway
  return utf8_lossy(bytes.substr(0, cut)) + "...";
}

}  // namespace mevora::server
