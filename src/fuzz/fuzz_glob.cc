// Fuzz target: key patterns (GlobPattern parsing and matching).
//
// Input layout: byte 0 picks the split, the next (byte 0 mod size) bytes
// are the pattern and the rest is the key. Inputs over 512 bytes are
// skipped so the reference stays cheap.
//
// The reference here parses the pattern straight from the rules, rescanning
// every class from its `[` (no shortcut for abandoned classes), and matches
// by dynamic programming over (token, key position), which is exhaustive
// rather than the single-remembered-star scan of the product. Invariants:
//   - matches(key) agrees with the reference, and so does matching every
//     suffix of a short key;
//   - the pattern made of the key's bytes, each escaped, matches the key
//     and nothing one byte longer.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/glob.h"
#include "fuzz/fuzz_support.h"

namespace {

struct RefToken {
  bool star = false;
  std::array<bool, 256> accepts{};  // for a non-star token: the bytes it takes
};

std::vector<RefToken> reference_parse(std::string_view p) {
  std::vector<RefToken> out;
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(p[i]); };
  auto one = [](unsigned b) {
    RefToken t;
    t.accepts[b] = true;
    return t;
  };
  std::size_t i = 0;
  while (i < p.size()) {
    const unsigned c = byte(i);
    if (c == '*') {
      if (out.empty() || !out.back().star) out.push_back(RefToken{true, {}});
      ++i;
    } else if (c == '?') {
      RefToken t;
      t.accepts.fill(true);
      out.push_back(t);
      ++i;
    } else if (c == '\\') {
      out.push_back(one(i + 1 < p.size() ? byte(i + 1) : '\\'));
      i += i + 1 < p.size() ? 2 : 1;
    } else if (c == '[') {
      std::size_t j = i + 1;
      const bool negated = j < p.size() && p[j] == '^';
      if (negated) ++j;
      RefToken t;
      bool closed = false;
      while (j < p.size()) {
        if (p[j] == ']') {
          closed = true;
          ++j;
          break;
        }
        if (p[j] == '\\' && j + 1 < p.size()) {
          t.accepts[byte(j + 1)] = true;
          j += 2;
        } else if (j + 2 < p.size() && p[j + 1] == '-' && p[j + 2] != ']') {
          unsigned lo = std::min(byte(j), byte(j + 2));
          unsigned hi = std::max(byte(j), byte(j + 2));
          for (unsigned x = lo; x <= hi; ++x) t.accepts[x] = true;
          j += 3;
        } else {
          t.accepts[byte(j)] = true;
          ++j;
        }
      }
      if (closed) {
        if (negated) {
          for (bool& a : t.accepts) a = !a;
        }
        out.push_back(t);
        i = j;
      } else {
        out.push_back(one('['));
        ++i;
      }
    } else {
      out.push_back(one(c));
      ++i;
    }
  }
  return out;
}

// m[t][i]: whether tokens t.. match key[i..] exactly; m[0][i] answers the
// suffix of the key that starts at i.
std::vector<std::vector<char>> reference_table(const std::vector<RefToken>& toks, std::string_view key) {
  const std::size_t n = toks.size();
  const std::size_t k = key.size();
  std::vector<std::vector<char>> m(n + 1, std::vector<char>(k + 1, 0));
  m[n][k] = 1;
  for (std::size_t t = n; t-- > 0;) {
    for (std::size_t i = k + 1; i-- > 0;) {
      if (toks[t].star) {
        m[t][i] = m[t + 1][i] || (i < k && m[t][i + 1]);
      } else {
        m[t][i] = i < k && toks[t].accepts[static_cast<unsigned char>(key[i])] && m[t + 1][i + 1];
      }
    }
  }
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 512) return 0;
  std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t split = data[0] % size;
  const std::string_view pattern = in.substr(0, split);
  const std::string_view key = in.substr(pattern.size());

  const mevora::GlobPattern glob(pattern);
  const auto table = reference_table(reference_parse(pattern), key);
  MEVORA_FUZZ_CHECK(glob.matches(key) == (table[0][0] != 0), "match differs from the reference");
  if (key.size() <= 64) {
    for (std::size_t i = 1; i <= key.size(); ++i) {
      MEVORA_FUZZ_CHECK(glob.matches(key.substr(i)) == (table[0][i] != 0),
                        "match of a key suffix differs from the reference");
    }
  }

  std::string escaped;
  for (char c : key) {
    escaped.push_back('\\');
    escaped.push_back(c);
  }
  const mevora::GlobPattern literal(escaped);
  MEVORA_FUZZ_CHECK(literal.matches(key), "an escaped key does not match itself");
  MEVORA_FUZZ_CHECK(!literal.matches(std::string(key) + 'x'), "an escaped key matches a longer key");
  return 0;
}
