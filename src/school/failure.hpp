// Failures of model operations, carried as values up to whoever called the model.
#pragma once

#include <optional>
#include <source_location>
#include <string>
#include <utility>
#include <variant>

namespace school {

struct Failure {
  enum class Kind : unsigned char {
    wrong_subject,  // the caller passed text that names no subject; an ordinary error
    fatal,          // the operation cannot go on and ends where it stands, nothing rolled back
                    // (a name the School does not hold, a broken invariant); the module raises
                    // its internal-failure exception for it
  };
  Kind kind;
  std::string message;
  std::source_location where;

  static Failure fatal(std::string message, std::source_location where = std::source_location::current()) {
    return Failure{Kind::fatal, std::move(message), where};
  }
};

// Either a value or the failure that prevented it.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  T& value() noexcept { return *std::get_if<0>(&state_); }
  Failure& failure() noexcept { return *std::get_if<1>(&state_); }

 private:
  std::variant<T, Failure> state_;
};

// The outcome of an operation that produces nothing but may fail: `return {};` is success.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : failure_(std::move(failure)) {}

  bool ok() const noexcept { return !failure_.has_value(); }
  Failure& failure() noexcept { return *failure_; }

 private:
  std::optional<Failure> failure_;
};

}  // namespace school
