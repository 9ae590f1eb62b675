#include "server/resp.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace mevora::server {

namespace {

// What a connection keeps of its last request's arguments for the next one.
constexpr std::size_t kReusedArgs = 16;
constexpr std::size_t kReusedArgBytes = 256;

constexpr const char kErrTooBigLine[] = "too big line in request";
constexpr const char kErrMultibulkLength[] = "invalid multibulk length";
constexpr const char kErrExpectedBulk[] = "expected '$' bulk string header";
constexpr const char kErrBulkLength[] = "invalid bulk length";
constexpr const char kErrNotTerminated[] = "bulk string not terminated by CRLF";
constexpr const char kErrUnbalanced[] = "unbalanced quotes in request";
constexpr const char kErrTooManyArgs[] = "too many arguments before authentication";
constexpr const char kErrArgTooLong[] = "argument too long before authentication";

// ---- inline requests --------------------------------------------------------

bool is_inline_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

char unescape_double(char c) {
  switch (c) {
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return c;
  }
}

// Scans a double-quoted argument whose opening quote is at line[i]. On
// success i is just past the closing quote. A backslash that is the line's
// last byte is an ordinary byte, which leaves the quote open.
bool scan_double_quoted(std::string_view line, std::size_t& i, std::string* arg) {
  ++i;
  for (;;) {
    std::size_t stop = line.find_first_of("\"\\", i);
    if (stop == std::string_view::npos) return false;
    if (arg) arg->append(line.data() + i, stop - i);
    if (line[stop] == '"') {
      i = stop + 1;
      return true;
    }
    if (stop + 1 == line.size()) return false;
    if (arg) arg->push_back(unescape_double(line[stop + 1]));
    i = stop + 2;
  }
}

// Scans a single-quoted argument whose opening quote is at line[i]. Only
// backslash + single quote is an escape; other backslashes are ordinary.
bool scan_single_quoted(std::string_view line, std::size_t& i, std::string* arg) {
  ++i;
  for (;;) {
    std::size_t stop = line.find_first_of("'\\", i);
    if (stop == std::string_view::npos) return false;
    if (line[stop] == '\'') {
      if (arg) arg->append(line.data() + i, stop - i);
      i = stop + 1;
      return true;
    }
    bool escape = stop + 1 < line.size() && line[stop + 1] == '\'';
    if (arg) {
      arg->append(line.data() + i, stop - i);
      arg->push_back(escape ? '\'' : '\\');
    }
    i = stop + (escape ? 2 : 1);
  }
}

// Splits an inline line into arguments, appended to out when given. Returns
// how many arguments the line holds, or nullopt for an unterminated quote.
std::optional<std::size_t> split_inline(std::string_view line, Request* out) {
  std::size_t i = 0;
  std::size_t count = 0;
  for (;;) {
    while (i < line.size() && is_inline_space(line[i])) ++i;
    if (i == line.size()) return count;
    std::string* arg = out ? &out->emplace_back() : nullptr;
    ++count;
    if (line[i] == '"') {
      if (!scan_double_quoted(line, i, arg)) return std::nullopt;
    } else if (line[i] == '\'') {
      if (!scan_single_quoted(line, i, arg)) return std::nullopt;
    } else {
      std::size_t start = i;
      while (i < line.size() && !is_inline_space(line[i])) ++i;
      if (arg) arg->assign(line.data() + start, i - start);
    }
  }
}

// ---- the parsing core -------------------------------------------------------
//
// Parser<Src> runs over a byte source with this shape (no virtual calls):
//   const char* data(); std::size_t size();  the bytes available now
//   void consume(std::size_t n);             drops n bytes from the front
//   bool full();     true when no byte can be added without consuming
//   bool refill();   appends at least one byte after the current ones, which
//                    stay in place relative to data(); false at the end
//   bool read_direct(std::string& arg, std::size_t n);  with nothing
//                    buffered, appends exactly n bytes to arg; false at end
// A view source never refills, so End there means "the bytes stop here".

enum class Step { Ok, End, Error };

template <class Src>
class Parser {
 public:
  Parser(Src& src, Request* args, std::string& spill, const RequestLimits& limits)
      : src_(src), args_(args), spill_(spill), limits_(limits) {}

  ReadResult run() {
    if (args_) keep_for_reuse(*args_);
    if (src_.size() == 0 && !src_.refill()) {
      if (args_) args_->clear();
      return {ReadStatus::End};
    }
    if (src_.data()[0] != '*') {
      if (args_) args_->clear();
      return inline_request();
    }
    ReadResult r = multibulk();
    if (args_ && r.status != ReadStatus::ProtocolError) args_->resize(used_);
    return r;
  }

 private:
  ReadResult fail(const char* message) {
    if (args_) args_->clear();
    return {ReadStatus::ProtocolError, message};
  }

  ReadResult stopped(Step s) { return s == Step::End ? ReadResult{ReadStatus::End} : fail(error_); }

  // The previous request's arguments stay allocated for the next multibulk
  // request to fill (a 16-byte key or value no longer costs an allocation
  // and a free per request), but only the first kReusedArgs of them and
  // only those of at most kReusedArgBytes, so what a connection keeps
  // between requests stays small whatever it sent before.
  static void keep_for_reuse(Request& args) {
    if (args.size() > kReusedArgs) args.resize(kReusedArgs);
    for (std::string& a : args) {
      if (a.capacity() > kReusedArgBytes) std::string().swap(a);  // assigning an empty string keeps the buffer
    }
  }

  // The next argument slot, empty: a kept string, else a new one.
  std::string& next_arg() {
    if (used_ < args_->size()) {
      std::string& a = (*args_)[used_++];
      a.clear();
      return a;
    }
    ++used_;
    return args_->emplace_back();
  }

  // Takes one line, LF included, of at most kMaxLineBytes bytes. The line
  // (without LF and one CR before it) stays valid until the source is next
  // refilled or the next line is read.
  Step read_line(std::string_view& line) {
    spill_.clear();
    bool spilled = false;
    std::size_t scanned = 0;  // bytes at data() known to hold no LF
    for (;;) {
      const char* p = src_.data();
      std::size_t budget = kMaxLineBytes - spill_.size();
      std::size_t window = std::min(src_.size(), budget);
      if (window > scanned) {
        const void* lf = std::memchr(p + scanned, '\n', window - scanned);
        if (lf != nullptr) {
          std::size_t len = static_cast<std::size_t>(static_cast<const char*>(lf) - p);
          if (spilled) {
            spill_.append(p, len);
            line = spill_;
          } else {
            line = std::string_view(p, len);
          }
          src_.consume(len + 1);
          if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
          return Step::Ok;
        }
        scanned = window;
      }
      if (window == budget) {
        error_ = kErrTooBigLine;
        return Step::Error;
      }
      if (src_.full()) {
        spill_.append(p, window);
        spilled = true;
        src_.consume(window);
        scanned = 0;
      }
      if (!src_.refill()) return Step::End;
    }
  }

  // Takes exactly len payload bytes, appending them to arg when given.
  Step read_payload(std::size_t len, std::string* arg) {
    std::size_t need = len;
    for (;;) {
      std::size_t take = std::min(need, src_.size());
      if (arg) arg->append(src_.data(), take);
      src_.consume(take);
      need -= take;
      if (need == 0) return Step::Ok;
      if (arg && need >= kIoBufferSize) return src_.read_direct(*arg, need) ? Step::Ok : Step::End;
      if (!src_.refill()) return Step::End;
    }
  }

  // Makes at least n (< buffer size) bytes available.
  Step ensure(std::size_t n) {
    while (src_.size() < n) {
      if (!src_.refill()) return Step::End;
    }
    return Step::Ok;
  }

  ReadResult multibulk() {
    std::string_view line;
    if (Step s = read_line(line); s != Step::Ok) return stopped(s);
    std::optional<std::int64_t> count = parse_int(line.substr(1));
    if (!count) return fail(kErrMultibulkLength);
    if (*count < 1) return {ReadStatus::EmptyRequest};
    if (*count > kMaxMultibulkCount) return fail(kErrMultibulkLength);
    if (*count > limits_.max_args) return fail(kErrTooManyArgs);
    auto n = static_cast<std::size_t>(*count);
    if (args_) args_->reserve(std::min(n, kArgsReserveCap));

    for (std::size_t i = 0; i < n; ++i) {
      if (Step s = read_line(line); s != Step::Ok) return stopped(s);
      if (line.empty() || line[0] != '$') return fail(kErrExpectedBulk);
      std::optional<std::int64_t> len = parse_int(line.substr(1));
      if (!len || *len < 0 || *len > kMaxBulkLength) return fail(kErrBulkLength);
      if (*len > limits_.max_arg_bytes) return fail(kErrArgTooLong);
      auto size = static_cast<std::size_t>(*len);
      std::string* arg = nullptr;
      if (args_) {
        arg = &next_arg();
        arg->reserve(std::min(size, kBulkReserveCap));
      }
      if (read_payload(size, arg) != Step::Ok) return {ReadStatus::End};
      if (ensure(2) != Step::Ok) return {ReadStatus::End};
      if (src_.data()[0] != '\r' || src_.data()[1] != '\n') return fail(kErrNotTerminated);
      src_.consume(2);
    }
    return {ReadStatus::GotRequest};
  }

  ReadResult inline_request() {
    std::string_view line;
    if (Step s = read_line(line); s != Step::Ok) return stopped(s);
    if (!restricted()) {
      std::optional<std::size_t> count = split_inline(line, args_);
      if (!count) return fail(kErrUnbalanced);
      return {*count == 0 ? ReadStatus::EmptyRequest : ReadStatus::GotRequest};
    }
    // Counted first, so a line of many tiny arguments is refused before
    // they are built; then split, into a scratch list when the caller
    // wants no arguments, so both readers judge the lengths alike.
    std::optional<std::size_t> count = split_inline(line, nullptr);
    if (!count) return fail(kErrUnbalanced);
    if (static_cast<std::int64_t>(*count) > limits_.max_args) return fail(kErrTooManyArgs);
    Request scratch;
    Request& out = args_ ? *args_ : scratch;
    (void)split_inline(line, &out);
    for (const std::string& arg : out) {
      if (static_cast<std::int64_t>(arg.size()) > limits_.max_arg_bytes) return fail(kErrArgTooLong);
    }
    return {*count == 0 ? ReadStatus::EmptyRequest : ReadStatus::GotRequest};
  }

  // Whether limits tighter than the protocol's own apply.
  bool restricted() const {
    return limits_.max_args < kMaxMultibulkCount || limits_.max_arg_bytes < kMaxBulkLength;
  }

  Src& src_;
  Request* args_;
  std::string& spill_;
  const RequestLimits& limits_;
  const char* error_ = nullptr;
  std::size_t used_ = 0;  // argument slots of this request filled so far
};

// A fixed run of bytes: nothing more will come.
class ViewSource {
 public:
  explicit ViewSource(std::string_view bytes) : bytes_(bytes) {}
  const char* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  void consume(std::size_t n) { bytes_.remove_prefix(n); }
  static bool full() { return false; }
  static bool refill() { return false; }
  static bool read_direct(std::string&, std::size_t) { return false; }

 private:
  std::string_view bytes_;
};

}  // namespace

// ---- parse_int --------------------------------------------------------------

std::optional<std::int64_t> parse_int(std::string_view bytes) {
  std::size_t i = 0;
  bool negative = false;
  if (!bytes.empty() && (bytes[0] == '+' || bytes[0] == '-')) {
    negative = bytes[0] == '-';
    i = 1;
  }
  if (i == bytes.size()) return std::nullopt;
  // The magnitude limit: 2^63 for negative values, 2^63 - 1 otherwise. Up to
  // 18 digits cannot reach it, so only longer inputs pay for the checks.
  const std::uint64_t limit = (std::uint64_t{1} << 63) - (negative ? 0 : 1);
  const bool may_overflow = bytes.size() - i > 18;
  std::uint64_t value = 0;
  for (; i < bytes.size(); ++i) {
    unsigned digit = static_cast<unsigned char>(bytes[i]) - unsigned{'0'};
    if (digit > 9) return std::nullopt;
    if (may_overflow && (value > limit / 10 || value * 10 > limit - digit)) return std::nullopt;
    value = value * 10 + digit;
  }
  // Two's complement conversion (well defined since C++20) covers -2^63.
  return negative ? static_cast<std::int64_t>(0 - value) : static_cast<std::int64_t>(value);
}

// ---- the streaming reader ---------------------------------------------------

class RequestReader::Stream {
 public:
  explicit Stream(RequestReader& r) : r_(r) {}

  const char* data() const { return r_.buf_.get() + r_.begin_; }
  std::size_t size() const { return r_.end_ - r_.begin_; }
  void consume(std::size_t n) { r_.begin_ += n; }
  bool full() const { return size() == kIoBufferSize; }

  // Moves the unconsumed bytes to the front, then one receive fills the rest.
  bool refill() {
    assert(!full());
    char* buf = r_.buf_.get();
    if (r_.begin_ > 0) {
      std::size_t n = size();
      if (n > 0) std::memmove(buf, buf + r_.begin_, n);
      r_.begin_ = 0;
      r_.end_ = n;
    }
    std::size_t got = r_.reader_.read_some(buf + r_.end_, kIoBufferSize - r_.end_);
    if (got == 0) return false;
    r_.end_ += got;
    return true;
  }

  // Receives straight into arg. It is extended only within its capacity, or
  // by at most its current length when full, so memory stays within twice
  // the bytes received plus the initial reservation.
  bool read_direct(std::string& arg, std::size_t need) {
    std::size_t filled = arg.size();
    const std::size_t target = filled + need;
    while (filled < target) {
      if (filled == arg.size()) {
        std::size_t room = arg.capacity() - filled;
        if (room == 0) room = std::max(filled, kBulkReserveCap);
        arg.resize(filled + std::min(room, target - filled));
      }
      std::size_t got = r_.reader_.read_some(arg.data() + filled, arg.size() - filled);
      if (got == 0) {
        arg.resize(filled);
        return false;
      }
      filled += got;
    }
    return true;
  }

 private:
  RequestReader& r_;
};

RequestReader::RequestReader(ByteReader& reader)
    : reader_(reader), buf_(std::make_unique<char[]>(kIoBufferSize)) {}

ReadResult RequestReader::read_request(Request& args, const RequestLimits& limits) {
  Stream src(*this);
  Parser<Stream> parser(src, &args, spill_, limits);
  return parser.run();
}

ReadResult RequestReader::read_buffered(Request& args, const RequestLimits& limits) {
  if (begin_ == end_) return {ReadStatus::End};
  std::size_t consumed = 0;
  const ReadResult r = parse_buffered(buffered(), &args, &consumed, limits);
  if (r.status == ReadStatus::GotRequest || r.status == ReadStatus::EmptyRequest) begin_ += consumed;
  return r;
}

bool RequestReader::request_pending(const RequestLimits& limits) const {
  return begin_ != end_ && parse_buffered(buffered(), nullptr, nullptr, limits).status != ReadStatus::End;
}

std::string_view RequestReader::buffered() const {
  return std::string_view(buf_.get() + begin_, end_ - begin_);
}

void RequestReader::release_buffer() {
  buf_.reset();
  begin_ = end_ = 0;
  spill_ = std::string();
}

ReadResult parse_buffered(std::string_view bytes, Request* args, std::size_t* consumed,
                          const RequestLimits& limits) {
  ViewSource src(bytes);
  std::string spill;  // a view never spills: it has no buffer to run out of
  Parser<ViewSource> parser(src, args, spill, limits);
  ReadResult result = parser.run();
  if (consumed) *consumed = bytes.size() - src.size();
  return result;
}

}  // namespace mevora::server
