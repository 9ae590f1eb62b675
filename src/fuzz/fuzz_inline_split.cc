// Fuzz target: inline request lines (whitespace splitting and quoting).
//
// The input up to its first LF is one request line; it is sent followed by
// LF. Invariants:
//   - a line that does not start with "*" parses as a reference splitter
//     written here from the inline rules says: the same arguments, an empty
//     request for a blank line, "unbalanced quotes in request" for an open
//     quote; the whole line and its LF are consumed;
//   - "\r\n" as terminator gives the same outcome as "\n" (one CR before
//     the LF is dropped, and CR is whitespace anyway), and leading
//     whitespace changes nothing but the consumed length;
//   - the line without its LF is End (the reader would wait for more);
//   - the arguments of a parsed line, re-encoded as adjacent double-quoted
//     strings, as a mix of bare words and single or double quotes, and as a
//     multibulk request, parse back to the same arguments.
// A line that starts with "*" is a multibulk header; it only has to parse
// without crashing, consume its bytes when it decides a request, and agree
// with the "\r\n" form unless it ends in CR (then the forms differ).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "server/resp.h"

namespace {

using mevora::server::ReadResult;
using mevora::server::ReadStatus;
using mevora::server::Request;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

// The inline rules as a character-at-a-time state machine; nullopt for an
// unterminated quote.
std::optional<Request> reference_split(std::string_view line) {
  enum class State { Between, Bare, Double, Single };
  Request out;
  std::string cur;
  State st = State::Between;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    switch (st) {
      case State::Between:
        if (is_space(c)) break;
        cur.clear();
        if (c == '"') {
          st = State::Double;
        } else if (c == '\'') {
          st = State::Single;
        } else {
          cur.push_back(c);
          st = State::Bare;
        }
        break;
      case State::Bare:
        if (is_space(c)) {
          out.push_back(cur);
          st = State::Between;
        } else {
          cur.push_back(c);
        }
        break;
      case State::Double:
        if (c == '"') {
          out.push_back(cur);
          st = State::Between;
        } else if (c == '\\') {
          if (i + 1 == line.size()) return std::nullopt;  // an ordinary byte; the quote stays open
          const char e = line[++i];
          cur.push_back(e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e);
        } else {
          cur.push_back(c);
        }
        break;
      case State::Single:
        if (c == '\'') {
          out.push_back(cur);
          st = State::Between;
        } else if (c == '\\' && i + 1 < line.size() && line[i + 1] == '\'') {
          cur.push_back('\'');
          ++i;
        } else {
          cur.push_back(c);
        }
        break;
    }
  }
  if (st == State::Double || st == State::Single) return std::nullopt;
  if (st == State::Bare) out.push_back(cur);
  return out;
}

std::string double_quoted(std::string_view arg) {
  std::string out = "\"";
  for (char c : arg) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

// Single quotes can carry any argument without LF whose last byte is not a
// backslash (that one would escape the closing quote).
std::optional<std::string> single_quoted(std::string_view arg) {
  if (arg.find('\n') != std::string_view::npos || (!arg.empty() && arg.back() == '\\')) return std::nullopt;
  std::string out = "'";
  for (char c : arg) {
    if (c == '\'') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

bool can_be_bare(std::string_view arg, bool first) {
  if (arg.empty() || arg[0] == '"' || arg[0] == '\'' || (first && arg[0] == '*')) return false;
  for (char c : arg) {
    if (is_space(c)) return false;
  }
  return true;
}

struct Parsed {
  ReadResult result;
  Request args;
  std::size_t consumed = 0;
};

Parsed parse(std::string_view bytes) {
  Parsed p;
  p.result = mevora::server::parse_buffered(bytes, &p.args, &p.consumed);
  return p;
}

bool same_outcome(const Parsed& a, const Parsed& b) {
  if (a.result.status != b.result.status || a.args != b.args) return false;
  return a.result.message == nullptr ? b.result.message == nullptr
                                     : b.result.message != nullptr &&
                                           std::string_view(a.result.message) == b.result.message;
}

// The request encoded three ways must parse back to exactly args.
void check_reencodings(const Request& args) {
  std::string adjacent;
  std::string mixed;
  std::string multibulk = "*" + std::to_string(args.size()) + "\r\n";
  for (std::size_t i = 0; i < args.size(); ++i) {
    adjacent += double_quoted(args[i]);
    if (can_be_bare(args[i], i == 0)) {
      mixed += args[i];
    } else if (auto s = single_quoted(args[i])) {
      mixed += *s;
    } else {
      mixed += double_quoted(args[i]);
    }
    mixed += i % 2 == 0 ? " " : "\t\f";
    multibulk += "$" + std::to_string(args[i].size()) + "\r\n" + args[i] + "\r\n";
  }
  for (const std::string& line : {adjacent + "\r\n", mixed + "\n", multibulk}) {
    Parsed p = parse(line);
    MEVORA_FUZZ_CHECK(p.result.status == ReadStatus::GotRequest, "a re-encoded request does not parse");
    MEVORA_FUZZ_CHECK(p.args == args, "a re-encoded request parses to other arguments");
    MEVORA_FUZZ_CHECK(p.consumed == line.size(), "a re-encoded request is not consumed whole");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  const std::string_view line = in.substr(0, in.find('\n'));
  if (line.size() + 2 >= mevora::server::kMaxLineBytes) return 0;

  const std::string lf = std::string(line) + "\n";
  const Parsed got = parse(lf);
  const Parsed crlf = parse(std::string(line) + "\r\n");
  // For a header line ending in CR the two forms differ in one real byte.
  if (line.empty() || line[0] != '*' || line.back() != '\r') {
    MEVORA_FUZZ_CHECK(same_outcome(got, crlf), "CR LF and LF endings disagree");
  }
  MEVORA_FUZZ_CHECK(mevora::server::parse_buffered(line).status == ReadStatus::End,
                    "a line without LF is not End");
  if (got.result.status == ReadStatus::GotRequest || got.result.status == ReadStatus::EmptyRequest) {
    MEVORA_FUZZ_CHECK(got.consumed == lf.size(), "the line is not consumed whole");
  }

  if (!line.empty() && line[0] == '*') return 0;  // a multibulk header, not an inline line

  std::string_view effective = line;
  if (!effective.empty() && effective.back() == '\r') effective.remove_suffix(1);
  const std::optional<Request> want = reference_split(effective);
  if (!want) {
    MEVORA_FUZZ_CHECK(got.result.status == ReadStatus::ProtocolError &&
                          std::string_view(got.result.message) == "unbalanced quotes in request",
                      "an open quote is not the unbalanced-quotes error");
    MEVORA_FUZZ_CHECK(got.args.empty(), "an error kept arguments");
  } else if (want->empty()) {
    MEVORA_FUZZ_CHECK(got.result.status == ReadStatus::EmptyRequest, "a blank line is not an empty request");
    MEVORA_FUZZ_CHECK(got.args.empty(), "an empty request kept arguments");
  } else {
    MEVORA_FUZZ_CHECK(got.result.status == ReadStatus::GotRequest, "a valid line is not a request");
    MEVORA_FUZZ_CHECK(got.args == *want, "the line splits differently from the reference");
    check_reencodings(got.args);
  }

  const Parsed indented = parse(" \t" + lf);
  MEVORA_FUZZ_CHECK(same_outcome(got, indented), "leading whitespace changed the outcome");
  return 0;
}
