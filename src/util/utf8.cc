#include "util/utf8.h"

#include <cstddef>
#include <cstdint>

namespace mevora {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

Utf8Sequence decode_utf8_at(std::string_view bytes, std::size_t i) {
  const auto lead = static_cast<std::uint8_t>(bytes[i]);
  if (lead < 0x80) return {true, lead, 1};
  std::size_t need = 0;
  char32_t cp = 0;
  std::uint8_t lo = 0x80;  // allowed range of the second byte
  std::uint8_t hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;  // no overlong forms
    if (lead == 0xED) hi = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;  // no overlong forms
    if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {false, 0, 1};  // a continuation byte, C0, C1 or F5..FF
  }
  std::size_t k = 1;
  for (; k < need && i + k < bytes.size(); ++k) {
    const auto c = static_cast<std::uint8_t>(bytes[i + k]);
    const std::uint8_t min = k == 1 ? lo : 0x80;
    const std::uint8_t max = k == 1 ? hi : 0xBF;
    if (c < min || c > max) break;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (k == need) return {true, cp, need};
  return {false, 0, k};
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const Utf8Sequence seq = decode_utf8_at(bytes, i);
    if (!seq.ok) return false;
    i += seq.len;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const Utf8Sequence seq = decode_utf8_at(bytes, i);
    if (seq.ok) {
      out.append(bytes.substr(i, seq.len));
    } else {
      out.append(kReplacement);
    }
    i += seq.len;
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

}  // namespace mevora
