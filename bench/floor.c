/* The floor the benchmark measures rotavel against: the same Python surface (Teacher, School,
 * Class, register_period) with nothing behind it. Constructors allocate a bare heap-type
 * instance, methods and the function are empty fast calls that return None, and the
 * reason_of_absentee setter stores nothing. Whatever the same Python loops cost with this
 * module is the interpreter's own share, which no implementation of the module can avoid.
 *
 * It also carries the callgrind client requests that mark the phases of a measured build.
 * bench/run.py compiles it on demand into build/bench; it is never part of the wheel. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifdef HAVE_CALLGRIND
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name) (void)(name)
#endif

static PyObject* bare_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  (void)args, (void)kwargs;
  return type->tp_alloc(type, 0);
}

static void bare_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

static PyObject* nothing(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  (void)self, (void)args, (void)nargs, (void)kwnames;
  Py_RETURN_NONE;
}

static PyObject* nothing_noargs(PyObject* self, PyObject* unused) {
  (void)self, (void)unused;
  Py_RETURN_NONE;
}

static int ignore_value(PyObject* self, PyObject* value, void* closure) {
  (void)self, (void)value, (void)closure;
  return 0;
}

static PyObject* no_value(PyObject* self, void* closure) {
  (void)self, (void)closure;
  Py_RETURN_NONE;
}

static PyGetSetDef teacher_getset[] = {
    {"reason_of_absentee", no_value, ignore_value, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyMethodDef school_methods[] = {
    {"add_teacher", (PyCFunction)(void (*)(void))nothing, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"add_class", (PyCFunction)(void (*)(void))nothing, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"add_to_hashmap", (PyCFunction)(void (*)(void))nothing, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"generate_substitutions", nothing_noargs, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot teacher_slots[] = {
    {Py_tp_new, bare_new}, {Py_tp_dealloc, bare_dealloc}, {Py_tp_getset, teacher_getset}, {0, NULL}};
static PyType_Slot school_slots[] = {
    {Py_tp_new, bare_new}, {Py_tp_dealloc, bare_dealloc}, {Py_tp_methods, school_methods}, {0, NULL}};
static PyType_Slot class_slots[] = {{Py_tp_new, bare_new}, {Py_tp_dealloc, bare_dealloc}, {0, NULL}};

static PyType_Spec specs[] = {
    {"bench_floor.Teacher", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, teacher_slots},
    {"bench_floor.School", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, school_slots},
    {"bench_floor.Class", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, class_slots},
};
static const char* type_names[] = {"Teacher", "School", "Class"};

/* Phase marks for a run under callgrind; plain no-ops elsewhere. */
static PyObject* callgrind_zero(PyObject* self, PyObject* unused) {
  (void)self, (void)unused;
  CALLGRIND_ZERO_STATS;
  Py_RETURN_NONE;
}

static PyObject* callgrind_dump(PyObject* self, PyObject* name) {
  (void)self;
  const char* text = PyUnicode_AsUTF8(name);
  if (text == NULL) return NULL;
  CALLGRIND_DUMP_STATS_AT(text);
  Py_RETURN_NONE;
}

static PyMethodDef module_methods[] = {
    {"register_period", (PyCFunction)(void (*)(void))nothing, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"callgrind_zero", callgrind_zero, METH_NOARGS, NULL},
    {"callgrind_dump", callgrind_dump, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "bench_floor", NULL, -1, module_methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_bench_floor(void) {
  PyObject* m = PyModule_Create(&module);
  if (m == NULL) return NULL;
  for (int i = 0; i < 3; ++i) {
    PyObject* type = PyType_FromSpec(&specs[i]);
    if (type == NULL || PyModule_AddObject(m, type_names[i], type) < 0) {
      Py_XDECREF(type);
      Py_DECREF(m);
      return NULL;
    }
  }
  return m;
}
