// Test builds only: hooks that let tests see what Python otherwise cannot. The N-th C++
// allocation can be made to fail, so tests can show that every entry point turns an exhausted
// heap into MemoryError and leaves its objects usable; a name's keyed hash can be read, so
// tests can show that the key differs from process to process; and the hash can be computed
// under a key of the test's, to compare with the published algorithm.
#include <Python.h>

#include <cstdlib>
#include <new>

#include "module/instances.hpp"
#include "school/hash.hpp"

namespace rotavel {
namespace {

// Guarded by the interpreter lock, like every entry; -1 means "never fail".
long countdown = -1;
unsigned long long allocations = 0;

bool should_fail() noexcept {
  ++allocations;
  return countdown >= 0 && countdown-- == 0;
}

void* allocate(std::size_t size) {
  if (should_fail()) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

void* allocate_nothrow(std::size_t size) noexcept {
  if (should_fail()) return nullptr;
  return std::malloc(size ? size : 1);
}

// _fail_cxx_allocation(n): the n-th C++ allocation from now on fails (0 = the next one);
// a negative n turns failures off. Returns the number of allocations made so far.
PyObject* fail_cxx_allocation(PyObject*, PyObject* arg) {
  long n = PyLong_AsLong(arg);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  countdown = n < 0 ? -1 : n;
  return PyLong_FromUnsignedLongLong(allocations);
}

// _name_hash(name): the keyed hash the name maps use for this name's UTF-8 bytes.
PyObject* name_hash(PyObject*, PyObject* arg) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(arg, &size);
  if (utf8 == nullptr) return nullptr;
  return PyLong_FromUnsignedLongLong(school::keyed_hash(std::string_view(utf8, static_cast<std::size_t>(size))));
}

// _siphash13(k0, k1, data): SipHash-1-3 of the bytes under the key, to compare with the
// algorithm as published: a wrong rotation or round still hashes, but floods more easily.
PyObject* siphash13(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "_siphash13(k0, k1, data) takes three arguments");
    return nullptr;
  }
  unsigned long long k0 = PyLong_AsUnsignedLongLong(args[0]);
  if (k0 == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  unsigned long long k1 = PyLong_AsUnsignedLongLong(args[1]);
  if (k1 == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(args[2], &data, &size) < 0) return nullptr;
  return PyLong_FromUnsignedLongLong(school::siphash13(k0, k1, std::string_view(data, static_cast<std::size_t>(size))));
}

PyMethodDef hooks[] = {
    {"_fail_cxx_allocation", fail_cxx_allocation, METH_O, nullptr},
    {"_name_hash", name_hash, METH_O, nullptr},
    {"_siphash13", as_method(siphash13), METH_FASTCALL, nullptr},
};

}  // namespace

// Adds the hooks to the module without publishing them in __all__.
int add_test_hooks(PyObject* module) {
  for (PyMethodDef& hook : hooks) {
    PyObject* function = PyCFunction_New(&hook, nullptr);
    if (function == nullptr) return -1;
    int rc = PyModule_AddObjectRef(module, hook.ml_name, function);
    Py_DECREF(function);
    if (rc < 0) return -1;
  }
  return 0;
}

}  // namespace rotavel

void* operator new(std::size_t size) {
  return rotavel::allocate(size);
}
void* operator new[](std::size_t size) {
  return rotavel::allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return rotavel::allocate_nothrow(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return rotavel::allocate_nothrow(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
