// Failures on their way to Python, the internal-failure exception, and the entry frame.
#pragma once

#include <Python.h>

#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>

#include "module/ref.hpp"
#include "school/failure.hpp"

namespace rotavel {

// An ordinary failure: an exception type with its message, or an exception already raised by
// the interpreter and fetched. Thrown inside an entry, raised by the entry frame.
class PyFailure {
 public:
  PyFailure(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}
  explicit PyFailure(Ref exception) noexcept : exception_(std::move(exception)) {}

  // The failure as a conversion of the named argument would report it: an exact TypeError
  // gains the prefix "argument 'name': "; every other failure passes unchanged.
  PyFailure for_argument(const char* name) &&;

  // Makes this the interpreter's pending exception.
  void restore() noexcept;

 private:
  PyObject* type_ = nullptr;
  std::string message_;
  Ref exception_;
};

// A condition that ends the operation as an internal failure: reported on standard error
// (unless it was reported already) and raised as PanicException.
struct Panic {
  std::string message;
  std::source_location where;
  bool reported = false;
};

[[noreturn]] void panic(std::string message, std::source_location where = std::source_location::current());

// Fetches the pending exception after a C-API call failed. A PanicException coming back
// from Python code resumes the internal failure instead.
[[noreturn]] void throw_python_error();

// A C-API call the module does not expect to fail did fail: an exhausted heap stays a
// MemoryError, anything else is an internal failure.
[[noreturn]] void throw_api_failure(std::source_location where = std::source_location::current());

// Turns a model failure into the failure Python sees.
[[noreturn]] void throw_model_failure(school::Failure failure);

// The module's own ordinary failures, each with its fixed message (errors.cpp).
[[noreturn]] void throw_period_out_of_range();
[[noreturn]] void throw_cannot_delete_attribute();

template <class T>
T unwrap(school::Result<T> result) {
  if (!result.ok()) throw_model_failure(std::move(result.failure()));
  if constexpr (!std::is_void_v<T>) return std::move(result.value());
}

// The type name shown in messages: the type's __qualname__.
std::string type_name(PyObject* object);
// str(object) as UTF-8, with the fallbacks messages need when that fails.
std::string lossy_text(PyObject* object);
// "'<type>' object cannot be converted to '<target>'"
PyFailure conversion_error(PyObject* object, std::string_view target);

// Raises whatever the entry in progress threw; the single place where failures become
// Python exceptions. Call only from a catch block.
void raise_current_exception() noexcept;

// Every call from Python runs its body inside this frame.
template <class Result, class Body>
Result entry(Result on_failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return on_failure;
  }
}

}  // namespace rotavel
