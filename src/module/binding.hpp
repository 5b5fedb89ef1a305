// Binding call arguments to parameters, and converting each to what an operation takes.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "module/errors.hpp"

namespace rotavel {

// The parameters of one callable. Every parameter is required and may come by position or
// by keyword.
template <std::size_t N>
struct Signature {
  const char* function;  // "register_period", "add_teacher", "__new__"
  const char* owner;     // "School", "Teacher", "Class", or null for a module function
  std::array<const char*, N> params;
};

template <class... Names>
constexpr Signature<sizeof...(Names)> signature(const char* function, const char* owner, Names... params) {
  return {function, owner, {params...}};
}

// The documentation string of a callable: its text signature and nothing else, from which the
// interpreter reads __text_signature__. "add_period($self, period, grade)\n--\n\n" for a method,
// "Teacher(name, sub, present)\n--\n\n" for a constructor, and without "$self" for a module
// function.
template <const auto& sig>
inline constexpr auto doc_text = [] {
  constexpr auto write = [](char* out) {
    std::size_t n = 0;
    const auto put = [&](std::string_view text) {
      for (char ch : text) {
        if (out) out[n] = ch;
        ++n;
      }
    };
    const bool constructor = std::string_view(sig.function) == "__new__";
    put(constructor ? sig.owner : sig.function);
    put("(");
    if (sig.owner != nullptr && !constructor) put(sig.params.empty() ? "$self" : "$self, ");
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
      if (i > 0) put(", ");
      put(sig.params[i]);
    }
    put(")\n--\n\n");
    return n;
  };
  std::array<char, write(nullptr) + 1> text{};
  write(text.data());
  return text;
}();

// The signature whatever its length, for the general binding below.
struct AnySignature {
  const char* function;
  const char* owner;
  std::span<const char* const> params;

  template <std::size_t N>
  AnySignature(const Signature<N>& sig) noexcept : function(sig.function), owner(sig.owner), params(sig.params) {}
};

// Fast-call form: positional arguments, then keyword values named by `kwnames`.
// Fills `slots` (one per parameter) with borrowed references.
void bind(AnySignature sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);
// Tuple-and-dictionary form, used by constructors.
void bind(AnySignature sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// The arguments of one call bound to the parameters of its signature (borrowed references).
template <std::size_t N>
class Arguments {
 public:
  // Fast-call form. A call with every argument by position, the usual one, only copies them.
  Arguments(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) : sig_(sig) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N)) [[likely]]
      std::copy_n(args, N, slots_.begin());
    else
      bind(sig, args, nargs, kwnames, slots_.data());
  }
  // Tuple-and-dictionary form, with the same shortcut.
  Arguments(const Signature<N>& sig, PyObject* args, PyObject* kwargs) : sig_(sig) {
    if (kwargs == nullptr && PyTuple_GET_SIZE(args) == static_cast<Py_ssize_t>(N)) [[likely]]
      std::copy_n(&PyTuple_GET_ITEM(args, 0), N, slots_.begin());
    else
      bind(sig, args, kwargs, slots_.data());
  }

  // Converts the i-th argument; a TypeError from the conversion names the parameter.
  template <class Convert>
  decltype(auto) convert(std::size_t i, Convert&& convert) const {
    try {
      return std::forward<Convert>(convert)(slots_[i]);
    } catch (PyFailure& failure) {
      throw std::move(failure).for_argument(sig_.params[i]);
    }
  }

 private:
  const Signature<N>& sig_;
  std::array<PyObject*, N> slots_;
};

// Conversions. Each throws the failure Python sees; the inline parts take the usual values
// at the cost of a few compares and leave everything else, errors included, to the general
// conversion.

std::string_view any_text(PyObject* value);
std::int16_t any_period(PyObject* value);

// The view is the str's own UTF-8 form, valid while the str lives; copy it once, where kept.
inline std::string_view to_text(PyObject* value) {
  // An ASCII str keeps its characters inline, and they are their own UTF-8 form.
  if (PyUnicode_Check(value) && PyUnicode_IS_COMPACT_ASCII(value)) [[likely]]
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(value)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
  return any_text(value);
}

bool to_bool(PyObject* value);

// May run Python code (__index__), which can re-enter the module.
inline std::int16_t to_period(PyObject* value) {
  // An int of one digit is the value PyLong_AsLong would give.
  if (PyLong_CheckExact(value)) [[likely]] {
    const auto* number = reinterpret_cast<const PyLongObject*>(value);
    if (PyUnstable_Long_IsCompact(number)) {
      const Py_ssize_t period = PyUnstable_Long_CompactValue(number);
      if (period >= INT16_MIN && period <= INT16_MAX) return static_cast<std::int16_t>(period);
    }
  }
  return any_period(value);
}

}  // namespace rotavel
