// Decoding of the JSON documents that are a single number, string, true,
// false or null, without a call into the json module. The result is the
// object json.loads returns for the same bytes.
#pragma once

#include <string_view>

#include "binding/py.h"

namespace mevora::py {

// The value of `doc` when it is one of the scalar forms decoded here: null,
// true, false, an integer of at most 18 digits, a number with a fraction or
// exponent within the range of a double, or a string without escapes or
// control characters, with no surrounding whitespace. nullptr with no
// exception set for every other document (the caller hands it to
// json.loads); nullptr with an exception set when building the object
// failed.
PyObject* json_scalar(std::string_view doc);

}  // namespace mevora::py
