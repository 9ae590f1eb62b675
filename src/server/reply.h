// Reply: the value a RESP command produces, and its wire form under each
// protocol a connection may speak (RESP2, or RESP3 after HELLO 3).
//
// Handlers build one Reply and never look at the protocol; the connection
// picks the encoder once per reply. The variants and their wire forms:
//
//   kind       RESP2                         RESP3
//   Simple     "+" text CRLF                 the same
//   Error      "-" text CRLF                 the same
//   Integer    ":" decimal CRLF              the same
//   Bulk       "$" length CRLF bytes CRLF    the same
//   Null       "$-1" CRLF                    "_" CRLF
//   NullArray  "*-1" CRLF                    "_" CRLF
//   Array      "*" count CRLF elements       the same
//   Map        "*" 2*pairs CRLF elements     "%" pairs CRLF elements
//   Set        "*" count CRLF elements       "~" count CRLF elements
//   Double     as Bulk of its text           "," text CRLF
//
// A Map holds its keys and values as one flat element list (key, value,
// key, value...), which is exactly the RESP2 form. A Double keeps its
// shortest round-trip decimal text ("1.5", "1e+100", "inf", "-inf", "nan").
// Every CR and LF inside a Simple or Error text goes out as one space, so a
// reply line can never be broken by its own text.
//
// Ownership: a Reply owns its text or bytes and its elements. The factories
// take strings by value, so a caller that moves a value in pays for no copy:
// a GET reply holds the one copy taken out of the store, and the connection
// sends it from there.
//
// Encoding never allocates on its own: write_wire<P>() hands the wire form
// to a sink as a sequence of pieces (headers built on the stack, payloads
// passed by reference), and append_to() is that sink for a std::string. The
// protocol is a template argument, so each protocol has its own encoder and
// RESP2 pays nothing for the existence of RESP3.
//
// Thread safety: a Reply is a plain value; distinct objects are independent.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mevora::server {

// The reply protocol of a connection: RESP2 until HELLO 3 asks for RESP3.
enum class Protocol : std::uint8_t { Resp2 = 2, Resp3 = 3 };

class Reply {
 public:
  enum class Kind : std::uint8_t { Simple, Error, Integer, Bulk, Null, Array, NullArray, Map, Set, Double };

  // A default-constructed reply is Null.
  Reply() = default;

  static Reply simple(std::string text) { return Reply(Kind::Simple, std::move(text)); }
  static Reply error(std::string text) { return Reply(Kind::Error, std::move(text)); }
  static Reply integer(std::int64_t n) {
    Reply r;
    r.kind_ = Kind::Integer;
    r.number_ = n;
    return r;
  }
  static Reply bulk(std::string bytes) { return Reply(Kind::Bulk, std::move(bytes)); }
  static Reply null() { return Reply(); }
  static Reply array(std::vector<Reply> elements) { return Reply(Kind::Array, std::move(elements)); }
  // The "no array at all" reply (e.g. an aborted transaction).
  static Reply null_array() {
    Reply r;
    r.kind_ = Kind::NullArray;
    return r;
  }
  // key, value, key, value...: an even number of elements.
  static Reply map(std::vector<Reply> flat_pairs) { return Reply(Kind::Map, std::move(flat_pairs)); }
  static Reply set(std::vector<Reply> members) { return Reply(Kind::Set, std::move(members)); }
  static Reply floating(double value);

  Kind kind() const { return kind_; }
  // The text of Simple, Error and Double, the bytes of Bulk; empty for the
  // others.
  const std::string& text() const { return text_; }
  // The value of Integer; 0 for the others.
  std::int64_t number() const { return number_; }
  // The elements of Array, Map (flat) and Set; empty for the others.
  const std::vector<Reply>& elements() const { return elements_; }

  bool operator==(const Reply& other) const = default;

  // Appends the wire form under protocol p to out.
  void append_to(std::string& out, Protocol p = Protocol::Resp2) const;

  // Passes the wire form under protocol P to sink.put(std::string_view)
  // piece by piece, in order. Pieces are views valid only during the call
  // that receives them.
  template <Protocol P, class Sink>
  void write_wire(Sink& sink) const;

 private:
  Reply(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Reply(Kind kind, std::vector<Reply> elements) : kind_(kind), elements_(std::move(elements)) {}

  template <class Sink>
  static void put_line(Sink& sink, char lead, std::string_view text);
  template <class Sink>
  static void put_bulk(Sink& sink, std::string_view bytes);
  template <Protocol P, class Sink>
  void put_elements(Sink& sink, char lead, std::size_t count) const;
  template <class Sink>
  static void put_header(Sink& sink, char lead, std::int64_t n);

  Kind kind_ = Kind::Null;
  std::int64_t number_ = 0;
  std::string text_;
  std::vector<Reply> elements_;
};

template <Protocol P, class Sink>
void Reply::write_wire(Sink& sink) const {
  constexpr bool resp3 = P == Protocol::Resp3;
  switch (kind_) {
    case Kind::Simple:
      put_line(sink, '+', text_);
      return;
    case Kind::Error:
      put_line(sink, '-', text_);
      return;
    case Kind::Integer:
      put_header(sink, ':', number_);
      return;
    case Kind::Bulk:
      put_bulk(sink, text_);
      return;
    case Kind::Null:
      sink.put(resp3 ? "_\r\n" : "$-1\r\n");
      return;
    case Kind::NullArray:
      sink.put(resp3 ? "_\r\n" : "*-1\r\n");
      return;
    case Kind::Array:
      put_elements<P>(sink, '*', elements_.size());
      return;
    case Kind::Map:
      if (resp3) {
        put_elements<P>(sink, '%', elements_.size() / 2);
      } else {
        put_elements<P>(sink, '*', elements_.size());
      }
      return;
    case Kind::Set:
      put_elements<P>(sink, resp3 ? '~' : '*', elements_.size());
      return;
    case Kind::Double:
      if (resp3) {
        put_line(sink, ',', text_);
      } else {
        put_bulk(sink, text_);
      }
      return;
  }
}

template <class Sink>
void Reply::put_bulk(Sink& sink, std::string_view bytes) {
  put_header(sink, '$', static_cast<std::int64_t>(bytes.size()));
  sink.put(bytes);
  sink.put("\r\n");
}

// The header lead + count, then every element.
template <Protocol P, class Sink>
void Reply::put_elements(Sink& sink, char lead, std::size_t count) const {
  put_header(sink, lead, static_cast<std::int64_t>(count));
  for (const Reply& e : elements_) e.write_wire<P>(sink);
}

// lead + text with CR/LF turned into spaces + CRLF. A short line without
// CR or LF (+OK, most errors) goes out as one piece built on the stack;
// otherwise runs without CR or LF go out as single pieces.
template <class Sink>
void Reply::put_line(Sink& sink, char lead, std::string_view text) {
  constexpr std::size_t kShort = 64;
  const auto line_break = [](char c) { return c == '\r' || c == '\n'; };
  auto stop = std::find_if(text.begin(), text.end(), line_break);
  if (text.size() <= kShort && stop == text.end()) {
    char buf[kShort + 3];
    buf[0] = lead;
    if (!text.empty()) std::memcpy(buf + 1, text.data(), text.size());
    buf[text.size() + 1] = '\r';
    buf[text.size() + 2] = '\n';
    sink.put(std::string_view(buf, text.size() + 3));
    return;
  }
  sink.put(std::string_view(&lead, 1));
  for (; stop != text.end(); stop = std::find_if(text.begin(), text.end(), line_break)) {
    const auto run = static_cast<std::size_t>(stop - text.begin());
    if (run > 0) sink.put(text.substr(0, run));
    sink.put(" ");
    text.remove_prefix(run + 1);
  }
  if (!text.empty()) sink.put(text);
  sink.put("\r\n");
}

// lead + decimal n + CRLF, built on the stack.
template <class Sink>
void Reply::put_header(Sink& sink, char lead, std::int64_t n) {
  char buf[24];  // lead, up to 20 characters of int64, CRLF
  buf[0] = lead;
  char* end = std::to_chars(buf + 1, buf + sizeof buf - 2, n).ptr;
  *end++ = '\r';
  *end++ = '\n';
  sink.put(std::string_view(buf, static_cast<std::size_t>(end - buf)));
}

}  // namespace mevora::server
