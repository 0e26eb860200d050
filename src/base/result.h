// Result<T, E>: either a value or an error, never both, never neither.
//
// Failures cross module boundaries as values. T and E must differ so that the
// converting constructors stay unambiguous; use `Ok` as T when there is
// nothing to return.
//
//   Result<Ok, FramingError> r = write_message(fd, reply);
//   if (!r.ok()) return r.error();
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace tarnwel {

// The value of a Result that only reports success.
struct Ok {
  friend bool operator==(Ok, Ok) { return true; }
};

template <class T, class E>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<T, E>, "a Result's value and error types must differ");

 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit

  bool ok() const { return v_.index() == 0; }

  T& value() & {
    assert(ok());
    return *std::get_if<0>(&v_);
  }
  const T& value() const& {
    assert(ok());
    return *std::get_if<0>(&v_);
  }
  T&& value() && {
    assert(ok());
    return std::move(*std::get_if<0>(&v_));
  }
  E& error() & {
    assert(!ok());
    return *std::get_if<1>(&v_);
  }
  const E& error() const& {
    assert(!ok());
    return *std::get_if<1>(&v_);
  }
  E&& error() && {
    assert(!ok());
    return std::move(*std::get_if<1>(&v_));
  }

 private:
  std::variant<T, E> v_;
};

}  // namespace tarnwel
