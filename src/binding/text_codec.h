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

// `value` (borrowed) with every bytes object in it, also inside lists,
// tuples, dicts and sets, replaced by the str that
// bytes.decode(encoding, errors) gives; containers are new ones, in the
// source's order (dict keys or set members that decode alike merge, as in
// a comprehension over the source), and anything else is returned as it
// is. A new reference, or nullptr with the exception set. Must run with no
// store lock held: a codec or error handler may be Python code that calls
// back into the cache.
PyObject* decode_nested(const TextCodec& codec, PyObject* value);

// decode_nested that consumes `value`, a new reference that no one else
// holds (a read's fresh result), so a list is decoded in place; nullptr,
// with an exception set, passes through.
PyObject* decode_result(const TextCodec& codec, PyObject* value);

}  // namespace mevora::py
