// ErrorScope: the pending exception set aside while code that may raise or clear one runs, and made pending
// again afterwards.
#pragma once

#include <Python.h>

#include <utility>

#include "../compat.hpp"

namespace nlsqlagent::rt {

/// Takes the pending exception (if any) out of the thread state on construction and makes it pending again
/// on destruction, replacing whatever the code in between raised. keep_new_error() lets a failure raised in
/// the scope win instead: the set-aside exception is dropped.
class ErrorScope {
 public:
  ErrorScope() noexcept : saved_(compat::take_pending_exception()) {}
  ~ErrorScope() {
    if (keep_new_) return;
    PyErr_Clear();
    compat::restore_pending_exception(std::move(saved_));
  }
  /// The exception raised in the scope replaces the set-aside one.
  void keep_new_error() noexcept { keep_new_ = true; }
  ErrorScope(const ErrorScope &) = delete;
  ErrorScope &operator=(const ErrorScope &) = delete;

 private:
  Ref saved_;
  bool keep_new_ = false;
};

}  // namespace nlsqlagent::rt
