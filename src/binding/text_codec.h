// How a text cache turns the values it reads back into str.
#pragma once

#include <string>

#include "binding/py.h"

namespace mevora::py {

// A codec name (as codecs.lookup normalises it) and an error handler, as
// bytes.decode takes them.
struct TextCodec {
  std::string encoding;
  std::string errors;
  // UTF-8 with "strict": decoded directly, without the codec registry.
  bool utf8_strict = false;

  TextCodec(std::string enc, std::string err)
      : encoding(std::move(enc)), errors(std::move(err)), utf8_strict(encoding == "utf-8" && errors == "strict") {}
};

// Consumes `value` (a new reference to bytes, None, a list of bytes and
// None, a dict of bytes to bytes or a set of bytes, or nullptr with an
// exception set) and returns it decoded: each bytes object becomes the str
// that bytes.decode(encoding, errors) gives, in a new dict or set for
// those (decoded keys or members that coincide merge). nullptr with
// the exception set on failure. Must run with no store lock held: a codec
// or error handler may be Python code that calls back into the cache.
PyObject* decode_result(const TextCodec& codec, PyObject* value);

}  // namespace mevora::py
