// Argument binding and conversion; every binding message is built here, off the hot path.
#include "module/binding.hpp"

#include <cstring>
#include <string_view>

namespace rotavel {
namespace {

// The wording of the binding messages below is fixed, byte for byte, as the other fixed
// messages in errors.cpp are: callers and tests compare it ("takes 1 positional arguments"
// included), so it changes for no one.

Py_ssize_t count(const AnySignature& sig) {
  return static_cast<Py_ssize_t>(sig.params.size());
}

std::string full_name(const AnySignature& sig) {
  std::string name;
  if (sig.owner) {
    name += sig.owner;
    name += '.';
  }
  name += sig.function;
  name += "()";
  return name;
}

[[noreturn]] [[gnu::cold]] void too_many_positional(const AnySignature& sig, Py_ssize_t given) {
  throw PyFailure(PyExc_TypeError, full_name(sig) + " takes " + std::to_string(count(sig)) +
                                       " positional arguments but " + std::to_string(given) +
                                       (given == 1 ? " was given" : " were given"));
}

[[noreturn]] [[gnu::cold]] void multiple_values(const AnySignature& sig, const char* param) {
  throw PyFailure(PyExc_TypeError, full_name(sig) + " got multiple values for argument '" + param + "'");
}

[[noreturn]] [[gnu::cold]] void unexpected_keyword(const AnySignature& sig, PyObject* keyword) {
  throw PyFailure(PyExc_TypeError,
                  full_name(sig) + " got an unexpected keyword argument '" + lossy_text(keyword) + "'");
}

[[noreturn]] [[gnu::cold]] void missing_arguments(const AnySignature& sig, PyObject* const* slots) {
  std::size_t missing = 0;
  for (Py_ssize_t i = 0; i < count(sig); ++i) missing += slots[i] == nullptr;
  std::string list;
  std::size_t listed = 0;
  for (Py_ssize_t i = 0; i < count(sig); ++i) {
    if (slots[i] != nullptr) continue;
    if (listed > 0) list += missing == 2 ? " and " : (listed + 1 == missing ? ", and " : ", ");
    list += '\'';
    list += sig.params[i];
    list += '\'';
    ++listed;
  }
  throw PyFailure(PyExc_TypeError, full_name(sig) + " missing " + std::to_string(missing) + " required positional " +
                                       (missing == 1 ? "argument: " : "arguments: ") + list);
}

// Puts one keyword argument into its slot.
void bind_keyword(const AnySignature& sig, PyObject* keyword, PyObject* value, PyObject** slots) {
  if (!PyUnicode_Check(keyword)) throw conversion_error(keyword, "PyString");
  Py_ssize_t size = 0;
  const char* name = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (name == nullptr) {
    PyErr_Clear();  // not UTF-8, so it cannot be a parameter
    unexpected_keyword(sig, keyword);
  }
  const std::string_view wanted(name, static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < count(sig); ++i) {
    if (wanted != sig.params[i]) continue;
    if (slots[i] != nullptr) multiple_values(sig, sig.params[i]);
    slots[i] = value;
    return;
  }
  unexpected_keyword(sig, keyword);
}

void bind_positional(const AnySignature& sig, PyObject* const* args, Py_ssize_t n, PyObject** slots) {
  for (Py_ssize_t i = 0; i < count(sig); ++i) slots[i] = i < n ? args[i] : nullptr;
  if (n > count(sig)) too_many_positional(sig, n);
}

void check_complete(const AnySignature& sig, Py_ssize_t n, PyObject* const* slots) {
  if (n >= count(sig)) return;
  for (Py_ssize_t i = n; i < count(sig); ++i)
    if (slots[i] == nullptr) missing_arguments(sig, slots);
}

}  // namespace

void bind(AnySignature sig, PyObject* const* args, Py_ssize_t n, PyObject* kwnames, PyObject** slots) {
  bind_positional(sig, args, n, slots);
  if (kwnames != nullptr) {
    const Py_ssize_t k = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < k; ++i) bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[n + i], slots);
  }
  check_complete(sig, n, slots);
}

void bind(AnySignature sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  bind_positional(sig, &PyTuple_GET_ITEM(args, 0), n, slots);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *keyword, *value;
    while (PyDict_Next(kwargs, &pos, &keyword, &value)) bind_keyword(sig, keyword, value, slots);
  }
  check_complete(sig, n, slots);
}

std::string_view any_text(PyObject* value) {
  if (!PyUnicode_Check(value)) throw conversion_error(value, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) throw_python_error();  // lone surrogates: the interpreter's UnicodeEncodeError
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

bool to_bool(PyObject* value) {
  if (value == Py_True) return true;
  if (value == Py_False) return false;
  throw conversion_error(value, "PyBool");
}

std::int16_t any_period(PyObject* value) {
  long number;
  if (PyLong_CheckExact(value)) {
    number = PyLong_AsLong(value);
  } else {
    Ref index = Ref::steal(PyNumber_Index(value));  // may run __index__
    if (!index) throw_python_error();
    number = PyLong_AsLong(index.get());
  }
  if (number == -1 && PyErr_Occurred()) throw_python_error();
  if (number < INT16_MIN || number > INT16_MAX) throw_period_out_of_range();
  return static_cast<std::int16_t>(number);
}

}  // namespace rotavel
