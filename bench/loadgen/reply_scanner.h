// ReplyScanner: counts complete RESP2 replies in a byte stream that arrives
// in arbitrary pieces, as the load generator reads it from one connection.
//
// It understands every RESP2 reply form: simple strings (+), errors (-),
// integers (:), bulk strings ($, including the null $-1) and arrays (*,
// including the null *-1, nested up to kMaxDepth levels). Bytes of a reply
// that is not yet complete are kept and scanned again when more arrive.
// Anything that cannot start or continue a reply marks the scanner bad; it
// then stops counting, since the stream position is lost.
//
// One scanner per connection; not thread-safe. Holds at most the bytes of
// the replies that are still incomplete plus one read's worth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace mevora::loadgen {

class ReplyScanner {
 public:
  struct Counts {
    std::size_t replies = 0;  // complete top-level replies in this piece
    std::size_t errors = 0;   // of which were error replies (-...)
  };

  // Consumes n bytes; returns the replies they completed. After bad() turns
  // true every call returns zero counts.
  Counts feed(const char* data, std::size_t n) {
    Counts c;
    if (bad_) return c;
    buf_.append(data, n);
    while (pos_ < buf_.size()) {
      std::size_t end = 0;
      const Status s = parse(pos_, 0, end);
      if (s == Status::Incomplete) break;
      if (s == Status::Bad) {
        bad_ = true;
        break;
      }
      ++c.replies;
      if (buf_[pos_] == '-') ++c.errors;
      pos_ = end;
    }
    if (pos_ == buf_.size()) {
      buf_.clear();
      pos_ = 0;
    } else if (pos_ > 4096 && pos_ * 2 > buf_.size()) {
      buf_.erase(0, pos_);
      pos_ = 0;
    }
    return c;
  }

  bool bad() const { return bad_; }

 private:
  enum class Status { Done, Incomplete, Bad };
  static constexpr int kMaxDepth = 8;

  // Finds the CRLF that ends the line starting at p; sets eol to the index
  // of its '\r'.
  Status line_end(std::size_t p, std::size_t& eol) const {
    const void* cr = std::memchr(buf_.data() + p, '\r', buf_.size() - p);
    if (cr == nullptr) return Status::Incomplete;
    eol = static_cast<std::size_t>(static_cast<const char*>(cr) - buf_.data());
    if (eol + 1 >= buf_.size()) return Status::Incomplete;
    return buf_[eol + 1] == '\n' ? Status::Done : Status::Bad;
  }

  // Parses the decimal integer in [b, e): optional '-', 1 to 18 digits.
  static bool parse_int(const char* b, const char* e, std::int64_t& out) {
    bool neg = false;
    if (b < e && *b == '-') {
      neg = true;
      ++b;
    }
    if (b == e || e - b > 18) return false;
    std::int64_t v = 0;
    for (; b < e; ++b) {
      if (*b < '0' || *b > '9') return false;
      v = v * 10 + (*b - '0');
    }
    out = neg ? -v : v;
    return true;
  }

  // Parses one reply starting at p; on Done sets end just past it.
  Status parse(std::size_t p, int depth, std::size_t& end) const {
    if (p >= buf_.size()) return Status::Incomplete;
    if (depth > kMaxDepth) return Status::Bad;
    std::size_t eol = 0;
    const Status ls = line_end(p + 1, eol);
    if (ls != Status::Done) return ls;
    const char type = buf_[p];
    if (type == '+' || type == '-' || type == ':') {
      end = eol + 2;
      return Status::Done;
    }
    std::int64_t n = 0;
    if (!parse_int(buf_.data() + p + 1, buf_.data() + eol, n) || n < -1) return Status::Bad;
    if (type == '$') {
      if (n == -1) {
        end = eol + 2;
        return Status::Done;
      }
      const std::size_t body = eol + 2;
      const std::size_t need = body + static_cast<std::size_t>(n) + 2;
      if (need > buf_.size()) return Status::Incomplete;
      if (buf_[need - 2] != '\r' || buf_[need - 1] != '\n') return Status::Bad;
      end = need;
      return Status::Done;
    }
    if (type == '*') {
      std::size_t q = eol + 2;
      for (std::int64_t i = 0; i < n; ++i) {
        const Status s = parse(q, depth + 1, q);
        if (s != Status::Done) return s;
      }
      end = q;
      return Status::Done;
    }
    return Status::Bad;
  }

  std::string buf_;
  std::size_t pos_ = 0;
  bool bad_ = false;
};

}  // namespace mevora::loadgen
