// Stops the process for a caller's programming error that must not pass
// unnoticed in any build (an assert disappears under NDEBUG): the message
// goes to stderr, then abort() leaves a core dump at the offending call.
#pragma once

namespace mevora {

[[noreturn]] void fatal(const char* message) noexcept;

}  // namespace mevora
