// Reply: the value a RESP command produces, and its RESP2 wire form.
//
// Six variants:
//   Simple   "+" text CRLF          Error   "-" text CRLF
//   Integer  ":" decimal CRLF       Null    "$-1" CRLF
//   Bulk     "$" length CRLF bytes CRLF
//   Array    "*" count CRLF, then each element's wire form (nesting allowed)
//   NullArray "*-1" CRLF (an EXEC whose watched keys changed)
// Every CR and LF inside a Simple or Error text goes out as one space, so a
// reply line can never be broken by its own text.
//
// Ownership: a Reply owns its text or bytes and its elements. The factories
// take strings by value, so a caller that moves a value in pays for no copy:
// a GET reply holds the one copy taken out of the store, and the connection
// sends it from there.
//
// Encoding never allocates on its own: write_wire() hands the wire form to a
// sink as a sequence of pieces (headers built on the stack, payloads passed
// by reference), and append_to() is that sink for a std::string.
//
// Thread safety: a Reply is a plain value; distinct objects are independent.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mevora::server {

class Reply {
 public:
  enum class Kind : std::uint8_t { Simple, Error, Integer, Bulk, Null, Array, NullArray };

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
  static Reply null_array() {
    Reply r;
    r.kind_ = Kind::NullArray;
    return r;
  }
  static Reply array(std::vector<Reply> elements) {
    Reply r;
    r.kind_ = Kind::Array;
    r.elements_ = std::move(elements);
    return r;
  }

  Kind kind() const { return kind_; }
  // The text of Simple and Error, the bytes of Bulk; empty for the others.
  const std::string& text() const { return text_; }
  // The value of Integer; 0 for the others.
  std::int64_t number() const { return number_; }
  // The elements of Array; empty for the others.
  const std::vector<Reply>& elements() const { return elements_; }

  bool operator==(const Reply& other) const = default;

  // Appends the wire form to out.
  void append_to(std::string& out) const;

  // Passes the wire form to sink.put(std::string_view) piece by piece, in
  // order. Pieces are views valid only during the call that receives them.
  template <class Sink>
  void write_wire(Sink& sink) const;

 private:
  Reply(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  template <class Sink>
  static void put_line(Sink& sink, char lead, std::string_view text);
  template <class Sink>
  static void put_header(Sink& sink, char lead, std::int64_t n);

  Kind kind_ = Kind::Null;
  std::int64_t number_ = 0;
  std::string text_;
  std::vector<Reply> elements_;
};

template <class Sink>
void Reply::write_wire(Sink& sink) const {
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
      put_header(sink, '$', static_cast<std::int64_t>(text_.size()));
      sink.put(text_);
      sink.put("\r\n");
      return;
    case Kind::Null:
      sink.put("$-1\r\n");
      return;
    case Kind::Array:
      put_header(sink, '*', static_cast<std::int64_t>(elements_.size()));
      for (const Reply& e : elements_) e.write_wire(sink);
      return;
    case Kind::NullArray:
      sink.put("*-1\r\n");
      return;
  }
}

// lead + text with CR/LF turned into spaces + CRLF. Runs without CR or LF go
// out as single pieces.
template <class Sink>
void Reply::put_line(Sink& sink, char lead, std::string_view text) {
  sink.put(std::string_view(&lead, 1));
  for (;;) {
    std::size_t stop = text.find_first_of("\r\n");
    if (stop == std::string_view::npos) break;
    if (stop > 0) sink.put(text.substr(0, stop));
    sink.put(" ");
    text.remove_prefix(stop + 1);
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
