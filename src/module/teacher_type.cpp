// The Python type Teacher.
#include "module/binding.hpp"
#include "module/instances.hpp"

namespace rotavel {
namespace {

using school::Teacher;

constexpr ClassName python_name("Teacher");
constexpr auto new_signature = signature("__new__", python_name.bare(), "name", "sub", "present");
constexpr auto add_period_signature = signature("add_period", python_name.bare(), "period", "grade");
constexpr auto get_sub_signature = signature("get_sub", python_name.bare());

PyObject* teacher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry<PyObject*>(nullptr, [&] {
    const Arguments arg(new_signature, args, kwargs);
    std::string_view name = arg.convert(0, to_text);
    std::string_view sub = arg.convert(1, to_text);
    bool present = arg.convert(2, to_bool);
    // The subject is parsed only once every argument has converted.
    school::Subject subject = unwrap(school::parse_subject(sub));
    return new_instance<TeacherObject>(type, Teacher(name, subject, present));
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
    const Arguments arg(add_period_signature, args, nargs, kwnames);
    TeacherObject& teacher = instance_of<TeacherObject>(self);
    ExclusiveBorrow hold(teacher.flag);
    std::int16_t period = arg.convert(0, to_period);
    std::string_view grade = arg.convert(1, to_text);
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
    if (value == nullptr) throw_cannot_delete_attribute();
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
    {add_period_signature.function, as_method(add_period), METH_FASTCALL | METH_KEYWORDS,
     doc_text<add_period_signature>.data()},
    {get_sub_signature.function, as_method(get_sub), METH_NOARGS, doc_text<get_sub_signature>.data()},
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
    {Py_tp_doc, const_cast<char*>(doc_text<new_signature>.data())},
    {Py_tp_new, reinterpret_cast<void*>(teacher_new)},
    {Py_tp_str, reinterpret_cast<void*>(teacher_str)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<TeacherObject>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, attributes},
    {0, nullptr},
};

PyType_Spec spec = type_spec<TeacherObject>(python_name.qualified, slots);

}  // namespace

PythonType teacher_type{spec};

}  // namespace rotavel
