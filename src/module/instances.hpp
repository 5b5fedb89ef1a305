// The module's Python types, the layout of their instances, and the check that takes an
// object as an instance.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string_view>
#include <utility>

#include "module/access.hpp"
#include "module/errors.hpp"
#include "school/class.hpp"
#include "school/school.hpp"
#include "school/teacher.hpp"

namespace rotavel {

// The types tell the interpreter that they live in "builtins", not "rotavel": __module__ says
// "builtins" and repr() of the types and their instances shows "builtins.Teacher". Callers'
// code and stored output compare those texts, so the prefix must not change.
inline constexpr std::string_view builtins_prefix = "builtins.";

// A class name in both forms: the one the type specification gives the interpreter and the
// bare one that messages show.
template <std::size_t N>
struct ClassName {
  char qualified[builtins_prefix.size() + N] = {};

  consteval ClassName(const char (&name)[N]) {
    std::copy(builtins_prefix.begin(), builtins_prefix.end(), qualified);
    std::copy(name, name + N, qualified + builtins_prefix.size());
  }
  constexpr const char* bare() const noexcept { return qualified + builtins_prefix.size(); }
};

// One Python type of the module: its specification and, once created, the type object.
struct PythonType {
  PyType_Spec& spec;
  PyTypeObject* created = nullptr;  // kept for the life of the process; guarded by the interpreter lock

  const char* name() const noexcept { return spec.name + builtins_prefix.size(); }
};

// The type object, created on first request.
PyTypeObject* get_or_create_type(PythonType& type);

// What every instance carries before its record.
struct InstanceHead {
  PyObject_HEAD
      // Set by the type's own constructor once the record exists, and by nothing else. The types
      // are mutable, so Python code can make instances without that constructor (for example after
      // `School.__new__ = staticmethod(object.__new__)`); their memory comes zeroed from the type's
      // allocator, and such an instance must never reach the record.
      bool built;
  BorrowFlag flag;
};

template <class Record, PythonType& type>
struct Instance : InstanceHead {
  static constexpr PythonType& python_type = type;
  Record record;
};

// The module's types, in registration order; each is defined beside its entries.
extern PythonType teacher_type, school_type, class_type;

using TeacherObject = Instance<school::Teacher, teacher_type>;
using SchoolObject = Instance<school::School, school_type>;
using ClassObject = Instance<school::Class, class_type>;

// The PyType_Spec of a type whose instances have the layout Object. No flags beyond the
// default: the types cannot be subclassed, are not tracked by the cyclic collector, and their
// instances have no __dict__ and no weak references.
template <class Object>
constexpr PyType_Spec type_spec(const char* qualified_name, PyType_Slot* slots) {
  return {
      .name = qualified_name,
      .basicsize = sizeof(Object),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots,
  };
}

// The method definition of the module function register_period.
PyMethodDef& register_period_definition() noexcept;

// The object as an instance of `type` (a subtype counts), or the TypeError that says why not.
[[gnu::cold]] InstanceHead& checked_instance(PyObject* object, PythonType& type);

// The object as an instance of Object. The usual case costs two compares: the exact type, then
// the constructor's mark.
template <class Object>
Object& instance_of(PyObject* object) {
  auto* head = reinterpret_cast<InstanceHead*>(object);
  if (Py_IS_TYPE(object, Object::python_type.created) && head->built) [[likely]]
    return static_cast<Object&>(*head);
  return static_cast<Object&>(checked_instance(object, Object::python_type));
}

// Allocates an instance of `type` and moves the record in, with its flag free.
template <class Object, class Record>
PyObject* new_instance(PyTypeObject* type, Record&& record) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = (alloc ? alloc : PyType_GenericAlloc)(type, 0);
  if (self == nullptr) throw_python_error();
  auto* object = static_cast<Object*>(reinterpret_cast<InstanceHead*>(self));
  object->built = false;
  std::construct_at(&object->flag);
  try {
    std::construct_at(&object->record, std::forward<Record>(record));
  } catch (...) {
    Py_DECREF(self);  // not built: the deallocation frees only the memory
    throw;
  }
  object->built = true;
  return self;
}

// Destroys the record, frees the object and lets go of the type, as every heap-type
// instance must. Nothing here can fail or run Python code.
template <class Object>
void dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = static_cast<Object*>(reinterpret_cast<InstanceHead*>(self));
  if (object->built) std::destroy_at(&object->record);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

// A method entry of any calling convention, in the form a method table holds it.
template <class F>
PyCFunction as_method(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Results as new references.
PyObject* new_str(std::string_view text);
inline PyObject* new_none() noexcept {
  return Py_NewRef(Py_None);
}
inline PyObject* new_bool(bool value) noexcept {
  return Py_NewRef(value ? Py_True : Py_False);
}

}  // namespace rotavel
