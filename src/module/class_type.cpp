// The Python type Class.
#include "module/binding.hpp"
#include "module/instances.hpp"

namespace rotavel {
namespace {

constexpr const char* new_params[] = {"name"};
constexpr Signature new_signature{"__new__", "Class", new_params, 1};

PyObject* class_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry<PyObject*>(nullptr, [&] {
    PyObject* arg[1];
    bind(new_signature, args, kwargs, arg);
    std::string_view name = convert_argument("name", [&] { return to_text(arg[0]); });
    return new_instance<ClassObject>(type, school::Class(std::string(name)));
  });
}

PyObject* class_str(PyObject* self) {
  return entry<PyObject*>(nullptr, [&] {
    ClassObject& c = instance_of<ClassObject>(self);
    SharedBorrow hold(c.flag);
    return new_str(school::printed_text(c.record));
  });
}

PyType_Slot slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>("Class(name)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(class_new)},
    {Py_tp_str, reinterpret_cast<void*>(class_str)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ClassObject>)},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.Class", sizeof(ClassObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyType_Spec& class_spec() noexcept { return spec; }

}  // namespace rotavel
