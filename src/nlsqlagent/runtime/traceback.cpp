// Traceback entries: an empty code object per (function name, line), a frame over it, and traceback-here.
#include "traceback.hpp"

#include <frameobject.h>

#include <cassert>
#include <utility>

#include "../ref.hpp"
#include "context.hpp"
#include "error_scope.hpp"

namespace nlsqlagent::rt {
namespace {

/// Returns a borrowed code object for the entry, making it on first use; null with an exception set.
PyObject *code_for(TracebackSite &site, int line) {
  assert(line > 0 && line <= kMaxSourceLine);
  PyObject *&slot = site.codes[line];
  if (!slot) {
    // Frames are opaque from 3.11, so the line travels as the code object's first line, which is what a
    // frame that has run no instruction reports on every version.
    slot = reinterpret_cast<PyObject *>(PyCode_NewEmpty(kSourceFile, site.funcname, line));
  }
  return slot;
}

/// The frame of the entry (site, line), or null with an exception set. New reference.
Ref entry_frame(TracebackSite &site, int line) {
  PyObject *code = code_for(site, line);
  if (!code) return Ref();
  Ref globals = Ref::borrow(context().globals);
  if (!globals) {
    globals = Ref::steal(PyDict_New());
    if (!globals) return Ref();
  }
  return Ref::steal(reinterpret_cast<PyObject *>(
      PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code), globals.get(), nullptr)));
}

}  // namespace

void add_traceback(TracebackSite &site, int line) noexcept {
  assert(PyErr_Occurred());
  Ref frame;
  {
    ErrorScope pending;  // making the frame must not see, or clear, the exception it is for
    frame = entry_frame(site, line);
    if (!frame) {
      pending.keep_new_error();  // the failure to make the entry replaces the pending exception
      return;
    }
  }
  PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

PyObject *fail_at(TracebackSite &site, int line) noexcept {
  add_traceback(site, line);
  return nullptr;
}

}  // namespace nlsqlagent::rt
