// How a Python method calls the store: with the GIL held for as long as
// the store does not wait, and given up at its first waiting point.
//
// An uncontended in-memory operation takes well under a microsecond, less
// than handing the GIL over and back, so a call keeps the GIL unless the
// store reports (WaitHook) that it is about to block: on a shard lock held
// elsewhere, eviction, the log, or whole-keyspace work. The GIL is taken
// back when the store call has returned, never inside it, so no store lock
// is held while waiting for the GIL.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "binding/convert.h"
#include "binding/py.h"
#include "binding/py_ref.h"
#include "core/store.h"
#include "core/wait_hook.h"

namespace mevora::py {

// The GIL's hand-off for one store call: installed for the calls made on
// this thread while it lives; gives the GIL up when the store is about to
// wait and takes it back on destruction.
class GilHandOff final : public WaitHook {
 public:
  GilHandOff() : scope_(*this) {}
  ~GilHandOff() {
    if (saved_ != nullptr) PyEval_RestoreThread(saved_);
  }
  GilHandOff(const GilHandOff&) = delete;
  GilHandOff& operator=(const GilHandOff&) = delete;

  void before_wait() noexcept override { saved_ = PyEval_SaveThread(); }
  bool gil_held() const { return saved_ == nullptr; }

 private:
  PyThreadState* saved_ = nullptr;
  WaitHookScope scope_;
};

// Runs one store call (f) under a GilHandOff; the GIL is held again when
// it returns. f must not touch Python objects.
template <class F>
auto store_call(F&& f) {
  GilHandOff gil;
  return f();
}

// A read that hands one value to a sink (Store::get, Store::hget):
// read(auto& sink) -> StoreResult<bool>, where sink is a final ValueSink
// (so a read that takes its sink type as a template calls it directly).
// Makes the bytes object straight from the stored value while the GIL is
// still held (creating bytes runs no Python code), or from a copy when the
// store gave the GIL up first.
// Returns None when absent, nullptr with the exception set on error.
template <class Read>
PyObject* read_bytes(Read&& read) {
  PyRef built;        // made under the GIL (null with MemoryError set if that failed)
  bool made = false;  // whether built was attempted
  std::string copy;   // else the copied value
  class Sink final : public ValueSink {
   public:
    Sink(const GilHandOff& gil, PyRef& built, bool& made, std::string& copy)
        : gil_(gil), built_(built), made_(made), copy_(copy) {}
    void take(std::string_view bytes) override {
      if (gil_.gil_held()) {
        built_ = PyRef(bytes_from(bytes));
        made_ = true;
      } else {
        copy_.assign(bytes);
      }
    }

   private:
    const GilHandOff& gil_;
    PyRef& built_;
    bool& made_;
    std::string& copy_;
  };
  StoreResult<bool> r = [&] {
    GilHandOff gil;
    Sink sink(gil, built, made, copy);
    return read(sink);
  }();
  if (!r.ok()) return raise_store_error(r.error());
  if (!r.value()) return Py_NewRef(Py_None);
  if (made) return built.release();
  return bytes_from(copy);
}

}  // namespace mevora::py
