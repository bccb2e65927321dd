// Ref: the one owning handle for a strong Python reference.
#pragma once

#include <Python.h>

namespace nlsqlagent {

/// Owns one strong reference (or none). Move-only, so every ownership transfer is spelled out.
class Ref {
 public:
  Ref() noexcept = default;
  /// Adopts a new reference (the result of a C-API call that returns one); null stays null.
  static Ref steal(PyObject *p) noexcept { return Ref(p); }
  /// Takes a new reference to a borrowed pointer.
  static Ref borrow(PyObject *p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref &operator=(Ref &&o) noexcept {  // old value released last: its __del__ may run Python
    if (this != &o) {
      PyObject *old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  ~Ref() { Py_XDECREF(p_); }

  /// Borrowed view of the held pointer.
  PyObject *get() const noexcept { return p_; }
  /// Hands the reference to the caller.
  PyObject *release() noexcept {
    PyObject *t = p_;
    p_ = nullptr;
    return t;
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject *p) noexcept : p_(p) {}
  PyObject *p_ = nullptr;
};

}  // namespace nlsqlagent
