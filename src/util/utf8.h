// The one UTF-8 decoder: decoding a sequence to its code point (the LOCK
// file's text, option values quoted in error messages), validating (a
// pattern), and showing arbitrary client bytes (a command name, an
// argument) as text inside an error reply.
//
// All follow the Unicode definition of well-formed UTF-8: no overlong
// forms, no surrogates (U+D800..U+DFFF), nothing above U+10FFFF.
//
// Pure functions; thread-safe. utf8_lossy allocates its result.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mevora {

// The sequence that starts at bytes[i] (i < bytes.size()): when it is
// complete and well-formed, ok with its code point and length; otherwise
// not ok, with len the length of its maximal ill-formed prefix (>= 1; a
// prefix that runs to the end of bytes may be a sequence cut short).
struct Utf8Sequence {
  bool ok = false;
  char32_t code_point = 0;
  std::size_t len = 0;
};
Utf8Sequence decode_utf8_at(std::string_view bytes, std::size_t i);

// Whether bytes are well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

// bytes as UTF-8 text, with every maximal ill-formed subsequence replaced
// by one U+FFFD (the replacement practice of the Unicode standard, the same
// result as Python's bytes.decode("utf-8", "replace")).
std::string utf8_lossy(std::string_view bytes);

// The most bytes of client input an error reply repeats.
inline constexpr std::size_t kEchoMaxBytes = 128;

// Client bytes as they appear inside an error reply: utf8_lossy of at most
// the first kEchoMaxBytes bytes, followed by "..." when anything was cut,
// so a reply to a huge name stays short. The cut never splits a well-formed
// sequence: it moves back to the start of one (at most 3 bytes). Every error
// reply that repeats client input goes through this.
std::string echo_text(std::string_view bytes);

}  // namespace mevora
