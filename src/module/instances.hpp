// The layout of Teacher, School and Class instances, and the cache of their type objects.
#pragma once

#include <Python.h>

#include <memory>
#include <utility>

#include "module/access.hpp"
#include "module/errors.hpp"
#include "school/class.hpp"
#include "school/school.hpp"
#include "school/teacher.hpp"

namespace rotavel {

enum class ClassId : unsigned char { teacher, school, klass };
inline constexpr int class_count = 3;

template <class Record>
struct Instance {
  PyObject_HEAD
  BorrowFlag flag;
  Record record;
};

using TeacherObject = Instance<school::Teacher>;
using SchoolObject = Instance<school::School>;
using ClassObject = Instance<school::Class>;

// Which Python class an instance layout belongs to; only the three layouts have one.
template <class Object> inline constexpr ClassId class_of = ClassId{0xff};
template <> inline constexpr ClassId class_of<TeacherObject> = ClassId::teacher;
template <> inline constexpr ClassId class_of<SchoolObject> = ClassId::school;
template <> inline constexpr ClassId class_of<ClassObject> = ClassId::klass;

// The Python name of each class, as messages show it.
const char* class_name(ClassId id) noexcept;

// The type object, created on first request and kept for the life of the process.
PyTypeObject* get_or_create_type(ClassId id);

// The type specifications, one per Python type, defined beside each type's entries.
PyType_Spec& teacher_spec() noexcept;
PyType_Spec& school_spec() noexcept;
PyType_Spec& class_spec() noexcept;
// The method definition of the module function register_period.
PyMethodDef& register_period_definition() noexcept;

// The object as an instance of Object, or the conversion failure naming the class.
template <class Object>
Object& instance_of(PyObject* object) {
  static_assert(class_of<Object> != ClassId{0xff}, "not an instance layout of this module");
  PyTypeObject* type = get_or_create_type(class_of<Object>);
  if (!PyObject_TypeCheck(object, type)) throw conversion_error(object, class_name(class_of<Object>));
  return *reinterpret_cast<Object*>(object);
}

// Allocates an instance of `type` and moves the record in, with its flag free.
template <class Object, class Record>
PyObject* new_instance(PyTypeObject* type, Record&& record) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = (alloc ? alloc : PyType_GenericAlloc)(type, 0);
  if (self == nullptr) throw_python_error();
  auto* object = reinterpret_cast<Object*>(self);
  std::construct_at(&object->flag);
  std::construct_at(&object->record, std::forward<Record>(record));
  return self;
}

// Destroys the record, frees the object and lets go of the type, as every heap-type
// instance must. Nothing here can fail or run Python code.
template <class Object>
void dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<Object*>(self)->record);
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
inline PyObject* new_none() noexcept { return Py_NewRef(Py_None); }
inline PyObject* new_bool(bool value) noexcept { return Py_NewRef(value ? Py_True : Py_False); }

}  // namespace rotavel
