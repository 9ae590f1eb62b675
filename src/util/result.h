// Result<T, E>: a value or an error, never both.
//
// Errors inside mevora are values: store operations return a StoreError,
// persistence operations a PersistError. Callers test ok() before value().
// Result<void, E> carries only the error side.
#pragma once

#include <cassert>
#include <utility>
#include <variant>

namespace mevora {

template <class E>
struct Err {
  E error;
};

template <class E>
Err<std::decay_t<E>> make_err(E&& e) {
  return Err<std::decay_t<E>>{std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Err<E> err) : v_(std::in_place_index<1>, std::move(err.error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { assert(ok()); return std::get<0>(v_); }
  const T& value() const& { assert(ok()); return std::get<0>(v_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  T& operator*() & { return value(); }
  T&& operator*() && { return std::move(*this).value(); }

  const E& error() const { assert(!ok()); return std::get<1>(v_); }
  E& error() { assert(!ok()); return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(Err<E> err) : err_(std::move(err.error)), failed_(true) {}  // NOLINT

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const E& error() const { assert(failed_); return err_; }
  E& error() { assert(failed_); return err_; }

 private:
  E err_{};
  bool failed_ = false;
};

}  // namespace mevora
