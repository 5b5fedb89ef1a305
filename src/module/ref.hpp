// An owning reference to a Python object.
//
// Rules of use:
//  - Ref::steal() takes over a new reference (what most C-API calls return); it may be null.
//  - Ref::borrow() adds a reference to a borrowed pointer.
//  - The destructor releases the reference; release() hands it to the caller instead.
//  - Destroying a Ref may run Python code (a __del__), so let it go only where that is safe.
#pragma once

#include <Python.h>

#include <utility>

namespace rotavel {

class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }

  Ref(const Ref& other) noexcept : object_(Py_XNewRef(other.object_)) {}
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace rotavel
