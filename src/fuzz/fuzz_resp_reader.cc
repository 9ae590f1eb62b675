// Fuzz target: the RESP2 request reader.
//
// Input layout:
//   byte 0        bits 0-2: how many chunk-size bytes follow (0 = every
//                 receive hands out as much as asked for);
//                 bit 3: run expansion of the stream (below)
//   next k bytes  receive sizes, used in turn: b < 0x80 gives b + 1 bytes,
//                 otherwise (b & 0x7F) * 128 + 1, so a receive can span
//                 the 8 KiB input buffer
//   the rest      the bytes the client sends
// With run expansion, 0xFF c x in the stream stands for (c + 1) * 256
// copies of x (the expanded stream is capped at 192 KiB), so small inputs
// reach the long-line limit and payloads that bypass the input buffer.
//
// Invariants, checked for every request of the stream until it ends or
// fails (at most the first 1000 requests):
//   - read_request gives what parse_buffered gives over all the bytes not
//     yet consumed: same status, message, arguments (also the partial ones
//     of an unfinished request) and, for a request or an empty request, the
//     same consumed length; a protocol error other than the long-line one
//     (which the stream discovers after buffering part of the line) also
//     consumes the same bytes;
//   - request_pending is parse_buffered over buffered() != End, and when it
//     is true read_request decides from the buffered bytes alone: no
//     receive, the same outcome as that view;
//   - parsing without an argument list gives the same status;
//   - no payload holds more capacity than its reservation cap plus twice
//     its length, and no argument list more than its cap plus twice the
//     bytes received (or, while it holds its arguments, their number), so
//     announced sizes cost nothing ahead of the bytes;
//   - End only when the client's bytes are exhausted.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "server/resp.h"

namespace {

using mevora::server::ByteReader;
using mevora::server::ReadResult;
using mevora::server::ReadStatus;
using mevora::server::Request;

constexpr std::size_t kMaxExpanded = 192 * 1024;
// Requests checked per input: a run of thousands of tiny requests adds time,
// not behaviour.
constexpr int kMaxRequests = 1000;

// Hands out the stream in receives whose sizes cycle through `sizes`.
class ChunkedReader final : public ByteReader {
 public:
  ChunkedReader(std::string_view data, std::vector<std::size_t> sizes)
      : data_(data), sizes_(std::move(sizes)) {}

  std::size_t read_some(char* dst, std::size_t len) override {
    MEVORA_FUZZ_CHECK(len > 0, "read_some asked for 0 bytes");
    ++calls_;
    std::size_t n = std::min(len, data_.size() - pos_);
    if (!sizes_.empty()) {
      n = std::min(n, sizes_[next_]);
      next_ = (next_ + 1) % sizes_.size();
    }
    std::memcpy(dst, data_.data() + pos_, n);
    pos_ += n;
    return n;
  }

  std::size_t delivered() const { return pos_; }
  std::size_t calls() const { return calls_; }

 private:
  std::string_view data_;
  std::vector<std::size_t> sizes_;
  std::size_t next_ = 0;
  std::size_t pos_ = 0;
  std::size_t calls_ = 0;
};

std::string expand_runs(std::string_view in) {
  std::string out;
  for (std::size_t i = 0; i < in.size() && out.size() < kMaxExpanded; ++i) {
    if (static_cast<unsigned char>(in[i]) == 0xFF && i + 2 < in.size()) {
      std::size_t n = (static_cast<unsigned char>(in[i + 1]) + std::size_t{1}) * 256;
      out.append(std::min(n, kMaxExpanded - out.size()), in[i + 2]);
      i += 2;
    } else {
      out.push_back(in[i]);
    }
  }
  return out;
}

// received: the bytes of this request available to the parser. A list
// that an error or an empty request cleared keeps the capacity its
// arguments took, so only the received bytes bound it; a list that still
// holds its arguments is bound by their number too.
void check_reservations(const Request& args, ReadStatus status, std::size_t received) {
  MEVORA_FUZZ_CHECK(args.capacity() <= mevora::server::kArgsReserveCap + 2 * received,
                    "argument list reserved beyond its cap");
  if (status == ReadStatus::GotRequest || status == ReadStatus::End) {
    MEVORA_FUZZ_CHECK(args.capacity() <= mevora::server::kArgsReserveCap + 2 * args.size(),
                      "argument list reserved beyond its cap");
  }
  for (const std::string& a : args) {
    MEVORA_FUZZ_CHECK(a.capacity() <= mevora::server::kBulkReserveCap + 2 * a.size(),
                      "payload reserved beyond its cap");
  }
}

bool same_message(const ReadResult& a, const ReadResult& b) {
  if (a.message == nullptr || b.message == nullptr) return a.message == b.message;
  return std::strcmp(a.message, b.message) == 0;
}

bool is_long_line(const ReadResult& r) {
  return r.status == ReadStatus::ProtocolError && std::strcmp(r.message, "too big line in request") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view in(reinterpret_cast<const char*>(data), size);
  const std::size_t k = std::min<std::size_t>(in[0] & 7, in.size() - 1);
  const bool expand = (in[0] & 8) != 0;
  std::vector<std::size_t> sizes;
  for (std::size_t i = 1; i <= k; ++i) {
    const auto b = static_cast<unsigned char>(in[i]);
    sizes.push_back(b < 0x80 ? b + std::size_t{1} : (b & 0x7Fu) * std::size_t{128} + 1);
  }
  const std::string stream = expand ? expand_runs(in.substr(1 + k)) : std::string(in.substr(1 + k));

  ChunkedReader reader(stream, sizes);
  mevora::server::RequestReader requests(reader);
  for (int n = 0; n < kMaxRequests; ++n) {
    const std::size_t pos = reader.delivered() - requests.buffered().size();
    const std::string_view rest = std::string_view(stream).substr(pos);

    // What the view over the whole remaining input says.
    Request want_args;
    std::size_t want_consumed = 0;
    const ReadResult want = mevora::server::parse_buffered(rest, &want_args, &want_consumed);
    check_reservations(want_args, want.status, rest.size());
    MEVORA_FUZZ_CHECK(mevora::server::parse_buffered(rest).status == want.status,
                      "parse without arguments disagrees");

    // What the view over the buffered bytes says.
    const std::string_view buffered = requests.buffered();
    Request pend_args;
    std::size_t pend_consumed = 0;
    const ReadResult pend = mevora::server::parse_buffered(buffered, &pend_args, &pend_consumed);
    const bool pending = requests.request_pending();
    MEVORA_FUZZ_CHECK(pending == (!buffered.empty() && pend.status != ReadStatus::End),
                      "request_pending disagrees with parse_buffered over buffered()");

    // A fresh list per request: a reused one keeps the capacity an earlier
    // request earned with real bytes, which says nothing about this one.
    Request args;
    const std::size_t calls_before = reader.calls();
    const ReadResult got = requests.read_request(args);
    check_reservations(args, got.status, reader.delivered() - pos);
    const std::size_t consumed = reader.delivered() - requests.buffered().size() - pos;

    MEVORA_FUZZ_CHECK(got.status == want.status, "stream and view disagree on the status");
    MEVORA_FUZZ_CHECK(same_message(got, want), "stream and view disagree on the message");
    MEVORA_FUZZ_CHECK(args == want_args, "stream and view disagree on the arguments");
    if (pending) {
      MEVORA_FUZZ_CHECK(reader.calls() == calls_before, "a pending request needed a receive");
      MEVORA_FUZZ_CHECK(got.status == pend.status && same_message(got, pend) && args == pend_args,
                        "a pending request differs from the buffered view");
      if (got.status != ReadStatus::ProtocolError) {
        MEVORA_FUZZ_CHECK(consumed == pend_consumed, "a pending request consumed other bytes");
      }
    }

    switch (got.status) {
      case ReadStatus::GotRequest:
        MEVORA_FUZZ_CHECK(!args.empty(), "a request without arguments");
        MEVORA_FUZZ_CHECK(consumed == want_consumed && consumed > 0, "stream and view consumed differently");
        break;
      case ReadStatus::EmptyRequest:
        MEVORA_FUZZ_CHECK(args.empty(), "an empty request kept arguments");
        MEVORA_FUZZ_CHECK(consumed == want_consumed && consumed > 0, "stream and view consumed differently");
        break;
      case ReadStatus::ProtocolError:
        MEVORA_FUZZ_CHECK(args.empty(), "a protocol error kept arguments");
        MEVORA_FUZZ_CHECK(got.message != nullptr, "a protocol error without message");
        if (!is_long_line(got)) {
          MEVORA_FUZZ_CHECK(consumed == want_consumed, "stream and view consumed differently");
        }
        break;
      case ReadStatus::End:
        MEVORA_FUZZ_CHECK(reader.delivered() == stream.size(), "End before the stream ended");
        break;
    }
    if (got.status == ReadStatus::ProtocolError || got.status == ReadStatus::End) break;
  }
  requests.release_buffer();
  return 0;
}
