// Binding call arguments to parameters, and converting each to what an operation takes.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "module/errors.hpp"

namespace rotavel {

// The parameters of one callable. Every parameter is required and may come by position or
// by keyword.
struct Signature {
  const char* function;         // "register_period", "add_teacher", "__new__"
  const char* owner;            // "School", "Teacher", "Class", or null for a module function
  const char* const* params;
  Py_ssize_t count;
};

// Fast-call form: positional arguments, then keyword values named by `kwnames`.
// Fills `slots` (one per parameter) with borrowed references.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** slots);
// Tuple-and-dictionary form, used by constructors.
void bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// Conversions. Each throws the failure Python sees; for_argument() names the argument.
// The view is the str's own UTF-8 form, valid while the str lives; copy it once, where kept.
std::string_view to_text(PyObject* value);
bool to_bool(PyObject* value);
// May run Python code (__index__), which can re-enter the module.
std::int16_t to_period(PyObject* value);

// Runs one argument's conversion, naming the argument when it fails with a TypeError.
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (PyFailure& failure) {
    throw std::move(failure).for_argument(name);
  }
}

}  // namespace rotavel
