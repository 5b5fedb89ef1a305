// The Python type School.
#include "module/binding.hpp"
#include "module/instances.hpp"

namespace rotavel {
namespace {

constexpr Signature new_signature{"__new__", "School", nullptr, 0};
constexpr const char* add_teacher_params[] = {"teacher"};
constexpr Signature add_teacher_signature{"add_teacher", "School", add_teacher_params, 1};
constexpr const char* add_class_params[] = {"class"};
constexpr Signature add_class_signature{"add_class", "School", add_class_params, 1};
constexpr const char* add_to_hashmap_params[] = {"name", "teacher"};
constexpr Signature add_to_hashmap_signature{"add_to_hashmap", "School", add_to_hashmap_params, 2};

PyObject* school_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry<PyObject*>(nullptr, [&] {
    bind(new_signature, args, kwargs, nullptr);
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
    PyObject* arg[1];
    bind(add_teacher_signature, args, nargs, kwnames, arg);
    SchoolObject& s = instance_of<SchoolObject>(self);
    ExclusiveBorrow hold(s.flag);
    TeacherObject& teacher = convert_argument("teacher", [&]() -> TeacherObject& { return instance_of<TeacherObject>(arg[0]); });
    SharedBorrow read(teacher.flag);
    s.record.add_teacher(teacher.record);
    return new_none();
  });
}

PyObject* add_class(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry<PyObject*>(nullptr, [&] {
    PyObject* arg[1];
    bind(add_class_signature, args, nargs, kwnames, arg);
    SchoolObject& s = instance_of<SchoolObject>(self);
    ExclusiveBorrow hold(s.flag);
    ClassObject& c = convert_argument("class", [&]() -> ClassObject& { return instance_of<ClassObject>(arg[0]); });
    SharedBorrow read(c.flag);
    s.record.add_class(c.record);
    return new_none();
  });
}

PyObject* add_to_hashmap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry<PyObject*>(nullptr, [&] {
    PyObject* arg[2];
    bind(add_to_hashmap_signature, args, nargs, kwnames, arg);
    SchoolObject& s = instance_of<SchoolObject>(self);
    ExclusiveBorrow hold(s.flag);
    std::string_view name = convert_argument("name", [&] { return to_text(arg[0]); });
    school::Teacher copy = convert_argument("teacher", [&] {
      TeacherObject& teacher = instance_of<TeacherObject>(arg[1]);
      check_for_copying(teacher.flag);
      return teacher.record;
    });
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
    {"add_teacher", as_method(add_teacher), METH_FASTCALL | METH_KEYWORDS, "add_teacher($self, teacher)\n--\n\n"},
    {"generate_substitutions", as_method(generate_substitutions), METH_NOARGS,
     "generate_substitutions($self)\n--\n\n"},
    {"add_class", as_method(add_class), METH_FASTCALL | METH_KEYWORDS, "add_class($self, class)\n--\n\n"},
    {"add_to_hashmap", as_method(add_to_hashmap), METH_FASTCALL | METH_KEYWORDS,
     "add_to_hashmap($self, name, teacher)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>("School()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(school_new)},
    {Py_tp_str, reinterpret_cast<void*>(school_str)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<SchoolObject>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.School", sizeof(SchoolObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyType_Spec& school_spec() noexcept { return spec; }

}  // namespace rotavel
