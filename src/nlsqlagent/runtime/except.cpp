// The except clause: matching, the traceback entry, and the exception being handled for the clause's body.
#include "except.hpp"

#include <new>

#include "internals.hpp"

namespace nlsqlagent::rt {

ExceptException::ExceptException(TracebackSite &site, int line) noexcept {
  const bool matches = PyErr_ExceptionMatches(PyExc_Exception);
  add_traceback(site, line);
  if (!matches) return;
  exception_ = compat::take_pending_exception();
  static_assert(sizeof(internals::HandledException) <= sizeof slot_ &&
                alignof(internals::HandledException) <= alignof(void *));
  new (slot_) internals::HandledException(exception_.get());
  handling_ = true;
}

ExceptException::~ExceptException() {
  if (handling_) std::launder(reinterpret_cast<internals::HandledException *>(slot_))->~HandledException();
}

}  // namespace nlsqlagent::rt
