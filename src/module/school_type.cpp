// The Python type School.
#include "module/binding.hpp"
#include "module/instances.hpp"

namespace rotavel {
namespace {

constexpr ClassName python_name("School");
constexpr auto new_signature = signature("__new__", python_name.bare());
constexpr auto add_teacher_signature = signature("add_teacher", python_name.bare(), "teacher");
constexpr auto add_class_signature = signature("add_class", python_name.bare(), "class");
constexpr auto add_to_hashmap_signature = signature("add_to_hashmap", python_name.bare(), "name", "teacher");
constexpr auto generate_substitutions_signature = signature("generate_substitutions", python_name.bare());

PyObject* school_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry<PyObject*>(nullptr, [&] {
    const Arguments no_arguments(new_signature, args, kwargs);
    return new_instance<SchoolObject>(type, school::School());
  });
}

PyObject* school_str(PyObject* self) {
  return entry<PyObject*>(nullptr, [&] {
    SchoolObject& s = instance_of<SchoolObject>(self);
    ExclusiveBorrow hold(s.flag);
    return new_str(s.record.printed_text());
  });
}

PyObject* add_teacher(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry<PyObject*>(nullptr, [&] {
    const Arguments arg(add_teacher_signature, args, nargs, kwnames);
    SchoolObject& s = instance_of<SchoolObject>(self);
    ExclusiveBorrow hold(s.flag);
    TeacherObject& teacher = arg.convert(0, instance_of<TeacherObject>);
    SharedBorrow read(teacher.flag);
    s.record.add_teacher(teacher.record);
    return new_none();
  });
}

PyObject* add_class(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry<PyObject*>(nullptr, [&] {
    const Arguments arg(add_class_signature, args, nargs, kwnames);
    SchoolObject& s = instance_of<SchoolObject>(self);
    ExclusiveBorrow hold(s.flag);
    ClassObject& c = arg.convert(0, instance_of<ClassObject>);
    SharedBorrow read(c.flag);
    s.record.add_class(c.record);
    return new_none();
  });
}

// The teacher argument of add_to_hashmap is taken by value: a copy of its record, made at once.
school::Teacher copy_of_teacher(PyObject* object) {
  TeacherObject& teacher = instance_of<TeacherObject>(object);
  check_for_copying(teacher.flag);
  return teacher.record;
}

PyObject* add_to_hashmap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry<PyObject*>(nullptr, [&] {
    const Arguments arg(add_to_hashmap_signature, args, nargs, kwnames);
    SchoolObject& s = instance_of<SchoolObject>(self);
    ExclusiveBorrow hold(s.flag);
    std::string_view name = arg.convert(0, to_text);
    school::Teacher copy = arg.convert(1, copy_of_teacher);
    s.record.add_to_hashmap(std::string(name), std::move(copy));
    return new_none();
  });
}

PyObject* generate_substitutions(PyObject* self, PyObject*) {
  return entry<PyObject*>(nullptr, [&] {
    SchoolObject& s = instance_of<SchoolObject>(self);
    ExclusiveBorrow hold(s.flag);
    return new_str(s.record.generate_substitutions());
  });
}

PyMethodDef methods[] = {
    {add_teacher_signature.function, as_method(add_teacher), METH_FASTCALL | METH_KEYWORDS,
     doc_text<add_teacher_signature>.data()},
    {generate_substitutions_signature.function, as_method(generate_substitutions), METH_NOARGS,
     doc_text<generate_substitutions_signature>.data()},
    {add_class_signature.function, as_method(add_class), METH_FASTCALL | METH_KEYWORDS,
     doc_text<add_class_signature>.data()},
    {add_to_hashmap_signature.function, as_method(add_to_hashmap), METH_FASTCALL | METH_KEYWORDS,
     doc_text<add_to_hashmap_signature>.data()},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>(doc_text<new_signature>.data())},
    {Py_tp_new, reinterpret_cast<void*>(school_new)},
    {Py_tp_str, reinterpret_cast<void*>(school_str)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<SchoolObject>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = type_spec<SchoolObject>(python_name.qualified, slots);

}  // namespace

PythonType school_type{spec};

}  // namespace rotavel
