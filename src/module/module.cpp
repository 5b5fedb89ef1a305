// Module initialisation: the one-time caches, the three types and register_period.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "module/binding.hpp"
#include "module/instances.hpp"

namespace rotavel {

#ifdef ROTAVEL_TEST_HOOKS
int add_test_hooks(PyObject* module);
#endif

namespace {

// Process-wide one-time cells; never released. Apart from the interpreter ID they are
// guarded by the interpreter lock, as are the type objects each PythonType keeps.
std::atomic<std::int64_t> initialised_interpreter{-1};
PyObject* module_cache = nullptr;

// The refusal of a second interpreter. Callers tell it from other import failures by its
// opening text, so that must not change; the address after it says where the limit is tracked.
constexpr const char* subinterpreter_refusal =
    "PyO3 modules do not yet support subinterpreters, see https://github.com/PyO3/pyo3/issues/576";

// The C API version the module object is created for; the interpreter warns on import when
// its own differs. 1013 is CPython 3.12's, the only interpreter the module is built for.
constexpr int python_api_version = 1013;
static_assert(python_api_version == PYTHON_API_VERSION, "built against the headers of another C API version");

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "rotavel",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,  // register_period is published by the initialisation itself
    .m_slots = nullptr,    // single-phase initialisation
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyObject* interned(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  if (name == nullptr) throw_api_failure();
  return name;
}

PyObject* all_name() {
  static PyObject* name = interned("__all__");
  return name;
}

PyObject* name_name() {
  static PyObject* name = interned("__name__");
  return name;
}

// Records `name` in the module's __all__ and sets the attribute.
void publish(PyObject* module, PyObject* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttr(module, all_name()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all) throw_api_failure();
    if (PyObject_SetAttr(module, all_name(), all.get()) < 0) throw_python_error();
  } else if (!PyList_Check(all.get())) {
    throw conversion_error(all.get(), "PyList");
  }
  if (PyList_Append(all.get(), name) < 0) {
    Ref failure = Ref::steal(PyErr_GetRaisedException());
    panic("could not append __name__ to __all__: " + (failure ? lossy_text(failure.get()) : std::string()));
  }
  if (PyObject_SetAttr(module, name, value) < 0) throw_python_error();
}

void publish_type(PyObject* module, PythonType& python_type) {
  PyTypeObject* type = get_or_create_type(python_type);
  Ref name = Ref::steal(PyUnicode_FromString(python_type.name()));
  if (!name) throw_api_failure();
  publish(module, name.get(), reinterpret_cast<PyObject*>(type));
}

void publish_function(PyObject* module, PyMethodDef& method) {
  const char* module_name = PyModule_GetName(module);
  if (module_name == nullptr) throw_python_error();
  Ref module_name_str =
      Ref::steal(PyUnicode_DecodeUTF8(module_name, static_cast<Py_ssize_t>(std::strlen(module_name)), nullptr));
  if (!module_name_str) {
    PyErr_Clear();
    panic("PyModule_GetName expected to return utf8");
  }
  Ref function = Ref::steal(PyCMethod_New(&method, module, module_name_str.get(), nullptr));
  if (!function) throw_python_error();
  Ref name = Ref::steal(PyObject_GetAttr(function.get(), name_name()));
  if (!name) throw_python_error();
  if (!PyUnicode_Check(name.get())) throw conversion_error(name.get(), "PyString");
  publish(module, name.get(), function.get());
}

PyObject* initialise() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw_python_error();
  std::int64_t expected = -1;
  if (!initialised_interpreter.compare_exchange_strong(expected, id) && expected != id)
    throw PyFailure(PyExc_ImportError, subinterpreter_refusal);
  if (module_cache != nullptr) return Py_NewRef(module_cache);

  Ref module = Ref::steal(PyModule_Create2(&definition, python_api_version));
  if (!module) throw_python_error();
  // A failure drops the half-built module; types created so far stay cached for the next try.
  publish_type(module.get(), teacher_type);
  publish_type(module.get(), school_type);
  publish_type(module.get(), class_type);
  publish_function(module.get(), register_period_definition());
#ifdef ROTAVEL_TEST_HOOKS
  if (add_test_hooks(module.get()) < 0) throw_python_error();
#endif

  if (module_cache == nullptr) module_cache = Py_NewRef(module.get());
  return Py_NewRef(module_cache);
}

}  // namespace

PyTypeObject* get_or_create_type(PythonType& python_type) {
  if (python_type.created != nullptr) return python_type.created;
  PyObject* type = PyType_FromSpec(&python_type.spec);
  if (type == nullptr) {
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    const std::string message = std::string("An error occurred while initializing class ") + python_type.name();
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    Ref error = text ? Ref::steal(PyObject_CallOneArg(PyExc_RuntimeError, text.get())) : Ref();
    if (!error) throw_api_failure();
    if (cause) PyException_SetCause(error.get(), cause.release());
    throw PyFailure(std::move(error));
  }
  if (python_type.created == nullptr)
    python_type.created = reinterpret_cast<PyTypeObject*>(type);
  else
    Py_DECREF(type);
  return python_type.created;
}

InstanceHead& checked_instance(PyObject* object, PythonType& python_type) {
  PyTypeObject* type = get_or_create_type(python_type);
  if (!PyObject_TypeCheck(object, type)) throw conversion_error(object, python_type.name());
  auto& instance = *reinterpret_cast<InstanceHead*>(object);
  if (!instance.built)
    throw PyFailure(PyExc_TypeError, std::string("'") + python_type.name() + "' object was not built by the module's " +
                                         python_type.name() + " constructor");
  return instance;
}

PyObject* new_str(std::string_view text) {
  PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (str == nullptr) throw_api_failure();
  return str;
}

}  // namespace rotavel

PyMODINIT_FUNC PyInit_rotavel() {
  return rotavel::entry<PyObject*>(nullptr, [] { return rotavel::initialise(); });
}
