// GlobPattern: a compiled key pattern, as used by Store::keys.
//
// A pattern is a byte string parsed once, left to right, into tokens:
//
//   Star     `*`        any run of bytes, including none; a `*` directly
//                       after another Star is dropped (runs act as one)
//   Any      `?`        exactly one byte
//   Literal  `\b`, b    the byte b; `\` escapes the next byte, and a `\`
//                       that is the last pattern byte is itself a literal
//   Class    `[...]`    one byte in (or, after a leading `^`, not in) the
//                       listed bytes and ranges
//
// Inside a class, up to the FIRST `]`:
//   - `\b` adds the byte b (an escaped byte never starts a range); a `\`
//     that is the last pattern byte is an ordinary byte;
//   - `a-c` with c not `]` adds the inclusive range, a reversed range being
//     swapped; so `-` first or last in a class is literal;
//   - any other byte adds itself.
// `[]` is the empty class (matches no byte) and `[^]` matches any one byte.
// A `[` with no closing `]` before the end of the pattern is abandoned: it
// becomes Literal(`[`) and parsing resumes right after it, reading `^` and
// the rest as ordinary pattern bytes.
//
// No pattern is invalid: every byte string parses. Matching is byte-wise
// and anchored (the whole key against the whole pattern); it uses the
// single-remembered-star backtracking scan, so it needs no recursion and no
// memory beyond the compiled pattern, and costs at most
// O(key length x token count) time. Parsing is linear in the pattern length.
//
// Thread safety: a constructed pattern is immutable; matches() may be
// called from any number of threads at once.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace mevora {

class GlobPattern {
 public:
  // Compiles pattern. Throws only std::bad_alloc.
  explicit GlobPattern(std::string_view pattern);

  // true when every byte of key is matched by the whole pattern.
  bool matches(std::string_view key) const;

 private:
  enum class Kind : std::uint8_t { Star, Any, Literal, Class };
  struct Token {
    Kind kind;
    std::uint8_t byte = 0;  // Literal: the byte
    std::size_t klass = 0;  // Class: index into classes_
  };
  // The bytes a class accepts, with its negation already applied.
  using ByteSet = std::bitset<256>;

  bool accepts(const Token& t, std::uint8_t b) const;
  // Parses the class whose `[` is at pattern[open]. Terminated: appends the
  // Class token and returns the index just past its `]`. Unterminated:
  // appends nothing, records the dead scan positions (see glob.cc) and
  // returns 0.
  std::size_t parse_class(std::string_view pattern, std::size_t open, std::vector<bool>& dead);

  std::vector<Token> tokens_;
  std::vector<ByteSet> classes_;
};

}  // namespace mevora
