// The except clause: matching, the traceback entry, and the exception being handled for the clause's body.
#include "except.hpp"

#include <new>
#include <utility>

#include "internals.hpp"

namespace nlsqlagent::rt {

ExceptException::ExceptException(TracebackSite &site, int line) noexcept {
  add_traceback(site, line);
  // Made an instance before the match, as the interpreter does where a handler takes an exception: making it
  // may turn it into another one (its class's __init__ raising), and that one is what the clause matches.
  exception_ = compat::take_pending_exception();
  if (!exception_) return;
  if (!PyErr_GivenExceptionMatches(reinterpret_cast<PyObject *>(Py_TYPE(exception_.get())), PyExc_Exception)) {
    compat::restore_pending_exception(std::move(exception_));
    return;
  }
  static_assert(sizeof(internals::HandledException) <= sizeof slot_ &&
                alignof(internals::HandledException) <= alignof(void *));
  new (slot_) internals::HandledException(exception_.get());
  handling_ = true;
}

ExceptException::~ExceptException() {
  if (handling_) std::launder(reinterpret_cast<internals::HandledException *>(slot_))->~HandledException();
}

}  // namespace nlsqlagent::rt
