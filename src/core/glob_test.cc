#include "core/glob.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace mevora {
namespace {

using namespace std::string_literals;

struct Case {
  std::string pattern;
  std::string key;
  bool expected;
};

// Every parsing and matching rule, each with keys on both sides of it.
const std::vector<Case> kCases = {
    // Any, Star, Literal.
    {"h?llo", "hello", true},
    {"h?llo", "hallo", true},
    {"h?llo", "hllo", false},
    {"h?llo", "heello", false},
    {"h*llo", "hllo", true},
    {"h*llo", "heeeello", true},
    {"h*llo", "hell", false},
    {"h*llo", "hllox", false},
    {"*", "", true},
    {"*", "anything at all", true},
    {"**", "", true},
    {"a**b", "ab", true},
    {"a**b", "axxb", true},
    {"a*b*c", "abbbcbc", true},
    {"a*b*c", "abbbcb", false},
    {"*ab", "aab", true},
    {"", "", true},
    {"", "a", false},
    {"abc", "abc", true},
    {"abc", "abcd", false},
    {"abc", "ab", false},
    // Classes.
    {"h[ae]llo", "hello", true},
    {"h[ae]llo", "hallo", true},
    {"h[ae]llo", "hillo", false},
    {"h[^e]llo", "hallo", true},
    {"h[^e]llo", "hello", false},
    {"h[^e]llo", "hllo", false},
    {"h[a-b]llo", "hallo", true},
    {"h[a-b]llo", "hbllo", true},
    {"h[a-b]llo", "hcllo", false},
    {"h[b-a]llo", "hallo", true},
    {"h[b-a]llo", "hbllo", true},
    {"h[b-a]llo", "hcllo", false},
    {"[a-cx-z]", "b", true},
    {"[a-cx-z]", "y", true},
    {"[a-cx-z]", "d", false},
    {"[^a-c]", "b", false},
    {"[^a-c]", "d", true},
    {"[]", "", false},
    {"[]", "]", false},
    {"[]", "a", false},
    {"[]]", "]", false},   // empty class, then a literal `]`
    {"[^]", "a", true},
    {"[^]", "\xff", true},
    {"[^]", "\0"s, true},
    {"[^]", "", false},
    {"[^]", "ab", false},
    {"[\\]]", "]", true},
    {"[\\]]", "\\", false},
    {"[-a]", "-", true},   // `-` first is literal
    {"[-a]", "a", true},
    {"[-a]", "b", false},
    {"[a-]", "-", true},   // `-` last is literal
    {"[a-]", "a", true},
    {"[a-]", "b", false},
    {"[a-]]", "-]", true},  // `a-]` is not a range: the `]` closes
    {"[a-]]", "]", false},
    {"[\\a-z]", "a", true},  // an escaped byte never starts a range
    {"[\\a-z]", "-", true},
    {"[\\a-z]", "z", true},
    {"[\\a-z]", "b", false},
    {"[a-\\]", "\\", true},  // a range may end in `\`
    {"[a-\\]", "_", true},  // swapped: `\`..`a`
    {"[a-\\]", "Z", false},
    {"[a-\\]", "b", false},
    {"[\\-a]", "-", true},
    {"[\\-a]", "a", true},
    {"[\\-a]", "X", false},
    // Escapes outside classes.
    {"a\\*b", "a*b", true},
    {"a\\*b", "axb", false},
    {"a\\*b", "ab", false},
    {"a\\*b", "a\\*b", false},
    {"\\?", "?", true},
    {"\\?", "x", false},
    {"\\\\", "\\", true},
    {"a\\", "a\\", true},   // a trailing `\` is a literal backslash
    {"a\\", "a", false},
    {"\\", "\\", true},
    // Unterminated classes: `[` is literal, parsing resumes after it.
    {"[abc", "[abc", true},
    {"[abc", "a", false},
    {"[abc", "[", false},
    {"[", "[", true},
    {"[", "", false},
    {"[^a", "[^a", true},
    {"[^a", "[b", false},
    {"[a\\", "[a\\", true},  // trailing `\` inside an unterminated class
    {"[\\]", "[]", true},    // the escaped `]` does not close; resumes as `\]`
    {"[*", "[", true},
    {"[*", "[xyz", true},
    {"[[-\\\\]", "[-", true},   // first `[` abandoned; the second one closes
    {"[[-\\\\]", "[\\", true},
    {"[[-\\\\]", "[[", false},
    {"a[b]c[", "abc[", true},
    // Bytes, not characters: the UTF-8 `é` is two bytes.
    {"?", "\xc3\xa9", false},
    {"??", "\xc3\xa9", true},
    {"\xc3\xa9", "\xc3\xa9", true},
    {"[\xc3][\xa9]", "\xc3\xa9", true},
    {"*\xa9", "\xc3\xa9", true},
    {"a?b", "a\0b"s, true},
};

TEST(GlobPatternTest, EveryCaseMatchesAsExpected) {
  for (const Case& c : kCases) {
    EXPECT_EQ(GlobPattern(c.pattern).matches(c.key), c.expected)
        << "pattern '" << c.pattern << "' key '" << c.key << "'";
  }
}

TEST(GlobPatternTest, OneCompiledPatternMatchesManyKeys) {
  const GlobPattern p("user:*:[0-9]");
  EXPECT_TRUE(p.matches("user:ann:7"));
  EXPECT_TRUE(p.matches("user::0"));
  EXPECT_FALSE(p.matches("user:ann:x"));
  EXPECT_FALSE(p.matches("user:ann:"));
  EXPECT_TRUE(p.matches("user:a:b:9"));
}

// Hostile inputs: matching must neither recurse nor take quadratic memory,
// and parsing must stay linear even with many abandoned classes (a
// quadratic parser would not finish these in any reasonable time).
TEST(GlobPatternTest, PathologicalPatternsFinish) {
  const std::string long_a(100000, 'a');
  EXPECT_FALSE(GlobPattern("*a*a*a*a*a*b").matches(long_a));
  EXPECT_TRUE(GlobPattern("*a*a*a*a*a*").matches(long_a));
  EXPECT_TRUE(GlobPattern(std::string(100000, '*')).matches(long_a));

  const std::string brackets(200000, '[');
  EXPECT_TRUE(GlobPattern(brackets).matches(brackets));
  EXPECT_FALSE(GlobPattern(brackets).matches(brackets + "["));

  std::string escaped_closers = "[";
  for (int i = 0; i < 100000; ++i) escaped_closers += "[\\]";
  std::string literal = "[";
  for (int i = 0; i < 100000; ++i) literal += "[]";
  EXPECT_TRUE(GlobPattern(escaped_closers).matches(literal));
}

// ---- a direct, unoptimised reading of the rules, for differential testing --

struct RefToken {
  char kind;  // '*', '?', 'l' (literal), 'c' (class)
  unsigned char byte = 0;
  std::vector<std::pair<unsigned char, unsigned char>> ranges = {};
  bool negated = false;
};

std::vector<RefToken> ref_parse(std::string_view p) {
  std::vector<RefToken> out;
  std::size_t i = 0;
  const std::size_t n = p.size();
  auto u = [&](std::size_t k) { return static_cast<unsigned char>(p[k]); };
  while (i < n) {
    if (p[i] == '*') {
      if (out.empty() || out.back().kind != '*') out.push_back({'*'});
      ++i;
    } else if (p[i] == '?') {
      out.push_back({'?'});
      ++i;
    } else if (p[i] == '\\') {
      out.push_back({'l', i + 1 < n ? u(i + 1) : static_cast<unsigned char>('\\')});
      i += i + 1 < n ? 2 : 1;
    } else if (p[i] == '[') {
      RefToken t{'c'};
      std::size_t j = i + 1;
      if (j < n && p[j] == '^') {
        t.negated = true;
        ++j;
      }
      bool closed = false;
      while (j < n) {
        if (p[j] == ']') {
          closed = true;
          break;
        }
        if (p[j] == '\\' && j + 1 < n) {
          t.ranges.push_back({u(j + 1), u(j + 1)});
          j += 2;
        } else if (j + 2 < n && p[j + 1] == '-' && p[j + 2] != ']') {
          t.ranges.push_back({std::min(u(j), u(j + 2)), std::max(u(j), u(j + 2))});
          j += 3;
        } else {
          t.ranges.push_back({u(j), u(j)});
          ++j;
        }
      }
      if (closed) {
        out.push_back(t);
        i = j + 1;
      } else {
        out.push_back({'l', '['});
        ++i;
      }
    } else {
      out.push_back({'l', u(i)});
      ++i;
    }
  }
  return out;
}

bool ref_match(const std::vector<RefToken>& t, std::size_t p, std::string_view k, std::size_t i) {
  if (p == t.size()) return i == k.size();
  if (t[p].kind == '*') {
    for (std::size_t j = i; j <= k.size(); ++j) {
      if (ref_match(t, p + 1, k, j)) return true;
    }
    return false;
  }
  if (i == k.size()) return false;
  const auto b = static_cast<unsigned char>(k[i]);
  bool ok = t[p].kind == '?' || (t[p].kind == 'l' && t[p].byte == b);
  if (t[p].kind == 'c') {
    bool in = false;
    for (auto [lo, hi] : t[p].ranges) in = in || (lo <= b && b <= hi);
    ok = in != t[p].negated;
  }
  return ok && ref_match(t, p + 1, k, i + 1);
}

// A key the reference accepts, built token by token (empty when a class
// accepts no byte of the alphabet); random keys alone rarely match.
std::string ref_witness(const std::vector<RefToken>& tokens, const std::string& alphabet, std::mt19937& rng) {
  std::string key;
  for (const RefToken& t : tokens) {
    if (t.kind == '*') {
      for (unsigned n = rng() % 3; n > 0; --n) key += alphabet[rng() % alphabet.size()];
    } else if (t.kind == '?') {
      key += alphabet[rng() % alphabet.size()];
    } else if (t.kind == 'l') {
      key += static_cast<char>(t.byte);
    } else {
      std::vector<RefToken> one{t};
      std::string accepted;
      for (char ch : alphabet) {
        if (ref_match(one, 0, std::string(1, ch), 0)) accepted += ch;
      }
      if (accepted.empty()) return {};
      key += accepted[rng() % accepted.size()];
    }
  }
  return key;
}

TEST(GlobPatternTest, AgreesWithADirectReadingOnRandomPatterns) {
  const std::string alphabet = "[[[]]\\\\--^*?ab";
  std::mt19937 rng(12345);
  auto random_string = [&](std::size_t max_len) {
    std::string s(rng() % (max_len + 1), ' ');
    for (char& ch : s) ch = alphabet[rng() % alphabet.size()];
    return s;
  };
  for (int round = 0; round < 50000; ++round) {
    const std::string pattern = random_string(12);
    const GlobPattern compiled(pattern);
    const auto reference = ref_parse(pattern);
    std::vector<std::string> keys = {pattern, ref_witness(reference, alphabet, rng),
                                     ref_witness(reference, alphabet, rng)};
    for (int k = 0; k < 5; ++k) keys.push_back(random_string(6));
    for (const std::string& key : keys) {
      ASSERT_EQ(compiled.matches(key), ref_match(reference, 0, key, 0))
          << "pattern '" << pattern << "' key '" << key << "'";
    }
  }
}

}  // namespace
}  // namespace mevora
