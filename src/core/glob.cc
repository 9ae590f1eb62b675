// Pattern compilation and matching.
//
// Linear-time parsing of unterminated classes: after an abandoned `[`,
// parsing resumes at the next byte, and a later `[` inside the abandoned
// region would rescan to the end of the pattern again (quadratic for a
// pattern such as "[[[[...["). The scan inside a class moves from one item
// boundary to the next by a rule that depends only on the position (`\x`
// takes two bytes, `a-c` three, anything else one), so two scans that reach
// the same boundary run identically from there on. A scan that ran off the
// end marks every boundary it visited as dead; a later scan that reaches a
// dead boundary is unterminated too and stops there. Every position is
// marked at most once, so all class scans together are linear.
#include "core/glob.h"

#include <algorithm>

namespace mevora {

namespace {

std::uint8_t byte_at(std::string_view s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }

// The length of the class item starting at pattern[j] (pattern[j] != ']').
std::size_t item_length(std::string_view p, std::size_t j) {
  const std::size_t n = p.size();
  if (p[j] == '\\' && j + 1 < n) return 2;
  if (j + 2 < n && p[j + 1] == '-' && p[j + 2] != ']') return 3;
  return 1;
}

}  // namespace

GlobPattern::GlobPattern(std::string_view pattern) {
  const std::size_t n = pattern.size();
  std::vector<bool> dead;  // allocated on the first unterminated class
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t c = byte_at(pattern, i);
    if (c == '*') {
      if (tokens_.empty() || tokens_.back().kind != Kind::Star) tokens_.push_back({Kind::Star});
      ++i;
    } else if (c == '?') {
      tokens_.push_back({Kind::Any});
      ++i;
    } else if (c == '\\') {
      if (i + 1 < n) {
        tokens_.push_back({Kind::Literal, byte_at(pattern, i + 1)});
        i += 2;
      } else {
        tokens_.push_back({Kind::Literal, '\\'});
        ++i;
      }
    } else if (c == '[') {
      const std::size_t after = parse_class(pattern, i, dead);
      if (after != 0) {
        i = after;
      } else {
        tokens_.push_back({Kind::Literal, '['});
        ++i;
      }
    } else {
      tokens_.push_back({Kind::Literal, c});
      ++i;
    }
  }
}

std::size_t GlobPattern::parse_class(std::string_view p, std::size_t open, std::vector<bool>& dead) {
  const std::size_t n = p.size();
  std::size_t j = open + 1;
  const bool negated = j < n && p[j] == '^';
  if (negated) ++j;
  const std::size_t first = j;

  ByteSet set;
  while (j < n && (dead.empty() || !dead[j])) {
    if (p[j] == ']') {
      if (negated) set.flip();
      classes_.push_back(set);
      tokens_.push_back({Kind::Class, 0, classes_.size() - 1});
      return j + 1;
    }
    const std::size_t len = item_length(p, j);
    if (len == 2) {
      set.set(byte_at(p, j + 1));
    } else if (len == 3) {
      const std::uint8_t a = byte_at(p, j);
      const std::uint8_t b = byte_at(p, j + 2);
      for (unsigned x = std::min(a, b); x <= std::max(a, b); ++x) set.set(x);
    } else {
      set.set(byte_at(p, j));
    }
    j += len;
  }

  // Unterminated: remember the boundaries this scan visited.
  if (dead.empty()) dead.resize(n + 1);
  for (std::size_t k = first; k < j; k += item_length(p, k)) dead[k] = true;
  return 0;
}

bool GlobPattern::accepts(const Token& t, std::uint8_t b) const {
  switch (t.kind) {
    case Kind::Any:
      return true;
    case Kind::Literal:
      return t.byte == b;
    case Kind::Class:
      return classes_[t.klass].test(b);
    case Kind::Star:
      break;
  }
  return false;
}

bool GlobPattern::matches(std::string_view key) const {
  constexpr std::size_t kNoStar = ~std::size_t{0};
  const std::size_t n = tokens_.size();
  std::size_t p = 0;
  std::size_t i = 0;
  std::size_t star_p = kNoStar;  // token index just after the remembered star
  std::size_t star_i = 0;        // key index that star's run currently ends at
  while (i < key.size()) {
    if (p < n && tokens_[p].kind == Kind::Star) {
      star_p = p + 1;
      star_i = i;
      ++p;
    } else if (p < n && accepts(tokens_[p], byte_at(key, i))) {
      ++p;
      ++i;
    } else if (star_p != kNoStar) {
      // Let the remembered star absorb one more byte and retry from there.
      i = ++star_i;
      p = star_p;
    } else {
      return false;
    }
  }
  while (p < n && tokens_[p].kind == Kind::Star) ++p;
  return p == n;
}

}  // namespace mevora
