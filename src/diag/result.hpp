// `Result<T>`: the value of a fallible core operation, or the `CoreError` that stopped it.
// The core never throws for an expected failure; callers test the result and pass errors up.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "diag/error.hpp"

namespace qarn {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}        // NOLINT: implicit
  Result(CoreError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit
  template <class E>
    requires(std::is_constructible_v<CoreError, E &&> && !std::is_same_v<std::decay_t<E>, CoreError> &&
             !std::is_constructible_v<T, E &&>)
  Result(E&& e) : v_(std::in_place_index<1>, CoreError(std::forward<E>(e))) {}  // NOLINT: implicit

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const CoreError& error() const& { return std::get<1>(v_); }
  CoreError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, CoreError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(CoreError error) : error_(std::move(error)) {}  // NOLINT: implicit
  template <class E>
    requires(std::is_constructible_v<CoreError, E &&> && !std::is_same_v<std::decay_t<E>, CoreError>)
  Result(E&& e) : error_(CoreError(std::forward<E>(e))) {}  // NOLINT: implicit

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const CoreError& error() const& { return *error_; }
  CoreError&& error() && { return std::move(*error_); }

 private:
  std::optional<CoreError> error_;
};

using Status = Result<void>;

}  // namespace qarn

// Returns the error of a failed `Result` from the enclosing function.
#define QARN_TRY(expr)                                   \
  do {                                                   \
    if (auto qarn_try_result_ = (expr); !qarn_try_result_) \
      return std::move(qarn_try_result_).error();        \
  } while (0)
