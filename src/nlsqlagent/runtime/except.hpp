// The `except Exception as e:` clause of the method bodies.
#pragma once

#include <Python.h>

#include "../ref.hpp"
#include "traceback.hpp"

namespace nlsqlagent::rt {

/// `except Exception as e:` for a statement that failed at (site, line). The entry for that line is added in
/// every case. The pending exception is then made an instance (normalised), as the interpreter does where a
/// handler takes it, and the instance is matched: an Exception is taken and made the exception being handled
/// for the lifetime of this object (the one handled before is handled again afterwards); anything else stays
/// pending and caught() is false. Made only on a failure path, so kept out of line.
class ExceptException {
 public:
  ExceptException(TracebackSite &site, int line) noexcept;
  ~ExceptException();
  bool caught() const { return static_cast<bool>(exception_); }
  /// The caught exception (borrowed), bound to `e` in the handler.
  PyObject *exception() const { return exception_.get(); }
  ExceptException(const ExceptException &) = delete;
  ExceptException &operator=(const ExceptException &) = delete;

 private:
  Ref exception_;
  bool handling_ = false;
  // While handling_, an internals::HandledException, kept here so that this header needs no private layout.
  alignas(void *) unsigned char slot_[4 * sizeof(void *)];
};

}  // namespace nlsqlagent::rt
