// The Python type Teacher.
#include "module/binding.hpp"
#include "module/instances.hpp"

namespace rotavel {
namespace {

using school::Teacher;

constexpr const char* new_params[] = {"name", "sub", "present"};
constexpr Signature new_signature{"__new__", "Teacher", new_params, 3};
constexpr const char* add_period_params[] = {"period", "grade"};
constexpr Signature add_period_signature{"add_period", "Teacher", add_period_params, 2};

PyObject* teacher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry<PyObject*>(nullptr, [&] {
    PyObject* arg[3];
    bind(new_signature, args, kwargs, arg);
    std::string_view name = convert_argument("name", [&] { return to_text(arg[0]); });
    std::string_view sub = convert_argument("sub", [&] { return to_text(arg[1]); });
    bool present = convert_argument("present", [&] { return to_bool(arg[2]); });
    // The subject is parsed only once every argument has converted.
    school::Subject subject = unwrap(school::parse_subject(sub));
    return new_instance<TeacherObject>(type, Teacher(std::string(name), subject, present));
  });
}

PyObject* teacher_str(PyObject* self) {
  return entry<PyObject*>(nullptr, [&] {
    TeacherObject& teacher = instance_of<TeacherObject>(self);
    SharedBorrow hold(teacher.flag);
    return new_str(school::printed_text(teacher.record));
  });
}

PyObject* add_period(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry<PyObject*>(nullptr, [&] {
    PyObject* arg[2];
    bind(add_period_signature, args, nargs, kwnames, arg);
    TeacherObject& teacher = instance_of<TeacherObject>(self);
    ExclusiveBorrow hold(teacher.flag);
    std::int16_t period = convert_argument("period", [&] { return to_period(arg[0]); });
    std::string_view grade = convert_argument("grade", [&] { return to_text(arg[1]); });
    teacher.record.periods.insert(period, grade);
    return new_none();
  });
}

PyObject* get_sub(PyObject* self, PyObject*) {
  return entry<PyObject*>(nullptr, [&] {
    TeacherObject& teacher = instance_of<TeacherObject>(self);
    SharedBorrow hold(teacher.flag);
    return new_str(school::subject_name(teacher.record.sub));
  });
}

// Reads one field under shared access.
template <class Read>
PyObject* read_field(PyObject* self, Read read) {
  return entry<PyObject*>(nullptr, [&] {
    TeacherObject& teacher = instance_of<TeacherObject>(self);
    SharedBorrow hold(teacher.flag);
    return read(teacher.record);
  });
}

// Converts the new value first, then stores it under exclusive access. A failed conversion
// is reported as it is, without naming an argument.
template <class Convert, class Store>
int write_field(PyObject* self, PyObject* value, Convert convert, Store store) {
  return entry<int>(-1, [&] {
    if (value == nullptr) throw PyFailure(PyExc_AttributeError, "can't delete attribute");
    auto converted = convert(value);
    TeacherObject& teacher = instance_of<TeacherObject>(self);
    ExclusiveBorrow hold(teacher.flag);
    store(teacher.record, converted);
    return 0;
  });
}

PyObject* get_name(PyObject* self, void*) {
  return read_field(self, [](const Teacher& t) { return new_str(t.name); });
}
PyObject* get_present(PyObject* self, void*) {
  return read_field(self, [](const Teacher& t) { return new_bool(t.present); });
}
PyObject* get_reason(PyObject* self, void*) {
  return read_field(self, [](const Teacher& t) { return new_str(t.reason_of_absentee); });
}
int set_present(PyObject* self, PyObject* value, void*) {
  return write_field(self, value, to_bool, [](Teacher& t, bool present) { t.present = present; });
}
int set_reason(PyObject* self, PyObject* value, void*) {
  return write_field(self, value, to_text, [](Teacher& t, std::string_view reason) { t.reason_of_absentee = reason; });
}

PyMethodDef methods[] = {
    {"add_period", as_method(add_period), METH_FASTCALL | METH_KEYWORDS, "add_period($self, period, grade)\n--\n\n"},
    {"get_sub", as_method(get_sub), METH_NOARGS, "get_sub($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef attributes[] = {
    {"name", get_name, nullptr, "", nullptr},
    {"present", get_present, set_present, "", nullptr},
    {"reason_of_absentee", get_reason, set_reason, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>("Teacher(name, sub, present)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(teacher_new)},
    {Py_tp_str, reinterpret_cast<void*>(teacher_str)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<TeacherObject>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, attributes},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.Teacher", sizeof(TeacherObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyType_Spec& teacher_spec() noexcept { return spec; }

}  // namespace rotavel
