// The module function register_period: teacher T teaches class C in period P.
#include "module/binding.hpp"
#include "module/instances.hpp"

namespace rotavel {
namespace {

constexpr auto register_period_signature =
    signature("register_period", nullptr, "teacher", "period", "school", "class");

PyObject* register_period(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry<PyObject*>(nullptr, [&] {
    const Arguments arg(register_period_signature, args, nargs, kwnames);
    TeacherObject& teacher = arg.convert(0, instance_of<TeacherObject>);
    SharedBorrow read_teacher(teacher.flag);
    // The period's __index__ may run Python code that reaches the teacher: it finds it borrowed.
    std::int16_t period = arg.convert(1, to_period);
    SchoolObject& s = arg.convert(2, instance_of<SchoolObject>);
    ExclusiveBorrow hold_school(s.flag);
    ClassObject& c = arg.convert(3, instance_of<ClassObject>);
    ExclusiveBorrow hold_class(c.flag);
    unwrap(s.record.register_period(teacher.record, period, c.record));
    return new_none();
  });
}

PyMethodDef definition = {register_period_signature.function, as_method(register_period), METH_FASTCALL | METH_KEYWORDS,
                          doc_text<register_period_signature>.data()};

}  // namespace

PyMethodDef& register_period_definition() noexcept {
  return definition;
}

}  // namespace rotavel
