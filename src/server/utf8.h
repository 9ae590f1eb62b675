// UTF-8 checks for the command layer: validating a pattern, and showing
// arbitrary client bytes (a command name, an argument) as text inside an
// error reply.
//
// Both follow the Unicode definition of well-formed UTF-8: no overlong
// forms, no surrogates (U+D800..U+DFFF), nothing above U+10FFFF.
//
// Pure functions; thread-safe. utf8_lossy allocates its result.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mevora::server {

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

}  // namespace mevora::server
