// The argument text of a memoized call, built in C for the common argument
// shapes. It is byte for byte the text python/mevora/_memoize.py derives
// (stored keys are shared between the two, and with entries written by
// earlier runs of a persistent cache), for calls whose positional and
// keyword arguments are None, bool, int, float, str, bytes and tuples of
// these.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "binding/py.h"

namespace mevora::py {

// A key under construction: the usual short key stays in the object (on
// the caller's stack), a longer one moves to the heap.
class KeyBuffer {
 public:
  KeyBuffer() = default;
  KeyBuffer(const KeyBuffer&) = delete;
  KeyBuffer& operator=(const KeyBuffer&) = delete;

  void append(std::string_view s) {
    if (size_ + s.size() <= sizeof inline_ && heap_.empty()) {
      std::memcpy(inline_ + size_, s.data(), s.size());
      size_ += s.size();
      return;
    }
    if (heap_.empty()) heap_.assign(inline_, size_);
    heap_.append(s);
    size_ = heap_.size();
  }
  void push_back(char c) { append(std::string_view(&c, 1)); }
  std::size_t size() const { return size_; }
  std::string_view view() const { return heap_.empty() ? std::string_view(inline_, size_) : std::string_view(heap_); }

 private:
  char inline_[256];
  std::size_t size_ = 0;
  std::string heap_;
};

// Appends the argument text of a call with positional `args` (a tuple) and
// keyword `kwargs` (a dict or nullptr) to `out` and returns true; `typed`
// keeps 1, 1.0 and True apart. Returns false, with no exception set and
// `out` in an unspecified state, for a call left to the Python derivation:
// another argument type, an argument text that derivation replaces by its
// digest (over 200 characters), or a text that could not be produced here
// (the Python derivation then raises the same error itself).
bool memo_args_text(PyObject* args, PyObject* kwargs, bool typed, KeyBuffer& out);

}  // namespace mevora::py
