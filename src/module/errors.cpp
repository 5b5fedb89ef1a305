// The single place where failures become Python exceptions, and the internal-failure exception.
#include "module/errors.hpp"

#include "module/access.hpp"

#include <cstdio>
#include <exception>
#include <new>

namespace rotavel {
namespace {

// Texts that must stay byte for byte as they are. Callers catch the internal-failure exception
// by its full name and rely on its base class (BaseException, so `except Exception` lets it
// through); tools that watch standard error find a failure by the report's first line
// ("thread '<unnamed>' panicked at <file>:<line>:<column>:" and then the message) and a failure
// passed back through Python code by the resuming notice. Tests pin each of them.
constexpr const char* panic_type_name = "pyo3_runtime.PanicException";
constexpr const char* panic_doc =
    "\n"
    "Raised when the native code of rotavel meets a condition it cannot continue from while called "
    "from Python.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
constexpr const char* report_layout = "thread '<unnamed>' panicked at %s:%u:%u:\n%s\n";
constexpr const char* resuming_notice =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";
constexpr const char* unwrapped_panic = "Unwrapped panic from Python code";

// The messages of the module's own ordinary failures, fixed byte for byte in the same way:
// callers compare them (code that retries after "Already borrowed", tools that match a
// conversion error), so each stands here once, and tests pin the ones Python code can reach.
// The wording of argument binding errors is fixed too; it is built in binding.cpp.
constexpr const char* already_borrowed = "Already borrowed";
constexpr const char* already_mutably_borrowed = "Already mutably borrowed";
constexpr const char* cannot_delete_attribute = "can't delete attribute";
constexpr const char* period_out_of_range = "out of range integral type conversion attempted";
constexpr const char* no_exception_set = "attempted to fetch exception but none was set";
constexpr const char* api_call_failed = "Python API call failed";
constexpr const char* unknown_type_name = "<failed to extract type name>";
constexpr const char* unprintable_lead = "<unprintable ";  // then the type name
constexpr const char* unprintable_trail = " object>";
constexpr const char* unprintable_object = "<unprintable object>";
constexpr const char* conversion_lead = "' object cannot be converted to '";  // between the names

// Created on first use and kept for the life of the process; guarded by the interpreter lock.
PyObject* panic_type_cell = nullptr;

PyObject* panic_type() noexcept {
  if (panic_type_cell == nullptr)
    panic_type_cell = PyErr_NewExceptionWithDoc(panic_type_name, panic_doc, PyExc_BaseException, nullptr);
  return panic_type_cell;
}

bool first_report = true;

// Source paths are shown from the project's src/ folder on, not as the build machine's paths.
const char* short_path(const char* path) noexcept {
  const char* shown = path;
  for (const char* p = path; *p; ++p)
    if (p[0] == 's' && p[1] == 'r' && p[2] == 'c' && p[3] == '/') shown = p;
  return shown;
}

void report(const Panic& p) noexcept {
  std::fprintf(stderr, report_layout, short_path(p.where.file_name()), static_cast<unsigned>(p.where.line()),
               static_cast<unsigned>(p.where.column()), p.message.c_str());
  if (first_report) {
    std::fputs(
        "note: no stack trace is kept; run Python under a debugger with a breakpoint on "
        "__cxa_throw to see the calls that led here\n",
        stderr);
    first_report = false;
  }
  std::fflush(stderr);
}

void raise_panic(const Panic& p) noexcept {
  if (!p.reported) report(p);
  PyObject* type = panic_type();
  if (type == nullptr) return;  // its creation left an exception pending
  PyObject* message = PyUnicode_FromStringAndSize(p.message.data(), static_cast<Py_ssize_t>(p.message.size()));
  if (message == nullptr) return;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

bool try_type_name(PyObject* object, std::string& out) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
  Py_ssize_t size = 0;
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

PyFailure PyFailure::for_argument(const char* name) && {
  const std::string prefix = std::string("argument '") + name + "': ";
  if (!exception_) {
    if (type_ != PyExc_TypeError) return std::move(*this);
    return PyFailure(PyExc_TypeError, prefix + message_);
  }
  if (Py_TYPE(exception_.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return std::move(*this);
  const std::string message = prefix + lossy_text(exception_.get());
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) throw_api_failure();
  Ref replaced = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!replaced) throw_api_failure();
  if (PyObject* cause = PyException_GetCause(exception_.get())) PyException_SetCause(replaced.get(), cause);
  return PyFailure(std::move(replaced));
}

void PyFailure::restore() noexcept {
  if (exception_) {
    PyErr_SetRaisedException(exception_.release());
    return;
  }
  PyObject* message = PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size()));
  if (message == nullptr) return;
  PyErr_SetObject(type_, message);
  Py_DECREF(message);
}

void panic(std::string message, std::source_location where) {
  throw Panic{std::move(message), where};
}

void throw_python_error() {
  Ref raised = Ref::steal(PyErr_GetRaisedException());
  if (!raised) throw PyFailure(PyExc_SystemError, no_exception_set);
  if (panic_type_cell != nullptr &&
      PyObject_TypeCheck(raised.get(), reinterpret_cast<PyTypeObject*>(panic_type_cell))) {
    std::fputs(resuming_notice, stderr);
    std::fflush(stderr);
    PyErr_SetRaisedException(Ref(raised).release());
    PyErr_PrintEx(0);
    std::string message = unwrapped_panic;
    Ref text = Ref::steal(PyObject_Str(raised.get()));
    Py_ssize_t size = 0;
    if (const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr)
      message.assign(utf8, static_cast<std::size_t>(size));
    PyErr_Clear();
    throw Panic{std::move(message), std::source_location::current(), true};
  }
  throw PyFailure(std::move(raised));
}

void throw_api_failure(std::source_location where) {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_python_error();
  if (PyErr_Occurred()) PyErr_Print();
  panic(api_call_failed, where);
}

void throw_model_failure(school::Failure failure) {
  switch (failure.kind) {
    case school::Failure::Kind::wrong_subject: throw PyFailure(PyExc_TypeError, std::move(failure.message));
    case school::Failure::Kind::fatal: break;
  }
  throw Panic{std::move(failure.message), failure.where};
}

std::string type_name(PyObject* object) {
  std::string name;
  if (!try_type_name(object, name)) name = unknown_type_name;
  return name;
}

std::string lossy_text(PyObject* object) {
  // May run Python code: str() calls the object's __str__.
  Ref text = Ref::steal(PyObject_Str(object));
  if (!text) {
    PyErr_WriteUnraisable(object);
    std::string name;
    return try_type_name(object, name) ? unprintable_lead + name + unprintable_trail : unprintable_object;
  }
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size))
    return std::string(utf8, static_cast<std::size_t>(size));
  PyErr_Clear();
  // Lone surrogates: keep what can be kept, replace the rest with U+FFFD.
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  Ref repaired =
      bytes ? Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"))
            : Ref();
  const char* utf8 = repaired ? PyUnicode_AsUTF8AndSize(repaired.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::string();
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

PyFailure conversion_error(PyObject* object, std::string_view target) {
  std::string message = "'";
  message += type_name(object);
  message += conversion_lead;
  message += target;
  message += "'";
  return PyFailure(PyExc_TypeError, std::move(message));
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (PyFailure& failure) {
    failure.restore();
  } catch (const Panic& p) {
    raise_panic(p);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(Panic{e.what(), std::source_location::current()});
  } catch (...) {
    raise_panic(Panic{"unexpected failure", std::source_location::current()});
  }
}

void throw_already_borrowed() {
  throw PyFailure(PyExc_RuntimeError, already_borrowed);
}
void throw_already_mutably_borrowed() {
  throw PyFailure(PyExc_RuntimeError, already_mutably_borrowed);
}
void throw_period_out_of_range() {
  throw PyFailure(PyExc_OverflowError, period_out_of_range);
}
void throw_cannot_delete_attribute() {
  throw PyFailure(PyExc_AttributeError, cannot_delete_attribute);
}

}  // namespace rotavel
