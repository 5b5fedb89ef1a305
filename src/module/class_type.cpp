// The Python type Class.
#include "module/binding.hpp"
#include "module/instances.hpp"

namespace rotavel {
namespace {

constexpr ClassName python_name("Class");
constexpr auto new_signature = signature("__new__", python_name.bare(), "name");

PyObject* class_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry<PyObject*>(nullptr, [&] {
    const Arguments arg(new_signature, args, kwargs);
    std::string_view name = arg.convert(0, to_text);
    return new_instance<ClassObject>(type, school::Class(name));
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
    {Py_tp_doc, const_cast<char*>(doc_text<new_signature>.data())},
    {Py_tp_new, reinterpret_cast<void*>(class_new)},
    {Py_tp_str, reinterpret_cast<void*>(class_str)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ClassObject>)},
    {0, nullptr},
};

PyType_Spec spec = type_spec<ClassObject>(python_name.qualified, slots);

}  // namespace

PythonType class_type{spec};

}  // namespace rotavel
