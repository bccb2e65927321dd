// ErrorScope: the pending exception set aside while code that may raise or clear one runs, and made pending
// again afterwards.
#pragma once

#include <Python.h>

#include <utility>

#include "../compat.hpp"

namespace nlsqlagent::rt {

/// Takes the pending exception (if any) out of the thread state on construction and makes it pending again
/// on destruction, replacing whatever the code in between raised. keep_new_error() lets a failure raised in
/// the scope win instead: the set-aside exception is dropped. Before 3.12 the exception is set aside as
/// raised, not made an instance: the interpreter makes it one only where a handler takes it, and making it
/// may run code (the class's __init__) or turn it into another exception.
class ErrorScope {
 public:
#if NLSA_RAISED_EXC_API
  ErrorScope() noexcept : saved_(compat::take_pending_exception()) {}
#else
  ErrorScope() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
#endif
  ~ErrorScope() {
#if NLSA_RAISED_EXC_API
    if (keep_new_) return;
    PyErr_Clear();
    compat::restore_pending_exception(std::move(saved_));
#else
    if (keep_new_) {
      Py_XDECREF(type_);
      Py_XDECREF(value_);
      Py_XDECREF(traceback_);
      return;
    }
    PyErr_Restore(type_, value_, traceback_);  // replaces (and releases) whatever the scope raised
#endif
  }
  /// The exception raised in the scope replaces the set-aside one.
  void keep_new_error() noexcept { keep_new_ = true; }
  ErrorScope(const ErrorScope &) = delete;
  ErrorScope &operator=(const ErrorScope &) = delete;

 private:
#if NLSA_RAISED_EXC_API
  Ref saved_;
#else
  PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;  // owned
#endif
  bool keep_new_ = false;
};

}  // namespace nlsqlagent::rt
