// The module function register_period: teacher T teaches class C in period P.
#include "module/binding.hpp"
#include "module/instances.hpp"

namespace rotavel {
namespace {

constexpr const char* params[] = {"teacher", "period", "school", "class"};
constexpr Signature signature{"register_period", nullptr, params, 4};

PyObject* register_period(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry<PyObject*>(nullptr, [&] {
    PyObject* arg[4];
    bind(signature, args, nargs, kwnames, arg);
    TeacherObject& teacher = convert_argument("teacher", [&]() -> TeacherObject& { return instance_of<TeacherObject>(arg[0]); });
    SharedBorrow read_teacher(teacher.flag);
    // The period's __index__ may run Python code that reaches the teacher: it finds it borrowed.
    std::int16_t period = convert_argument("period", [&] { return to_period(arg[1]); });
    SchoolObject& s = convert_argument("school", [&]() -> SchoolObject& { return instance_of<SchoolObject>(arg[2]); });
    ExclusiveBorrow hold_school(s.flag);
    ClassObject& c = convert_argument("class", [&]() -> ClassObject& { return instance_of<ClassObject>(arg[3]); });
    ExclusiveBorrow hold_class(c.flag);
    unwrap(s.record.register_period(teacher.record, period, c.record));
    return new_none();
  });
}

PyMethodDef definition = {"register_period", as_method(register_period), METH_FASTCALL | METH_KEYWORDS,
                          "register_period(teacher, period, school, class)\n--\n\n"};

}  // namespace

PyMethodDef& register_period_definition() noexcept { return definition; }

}  // namespace rotavel
