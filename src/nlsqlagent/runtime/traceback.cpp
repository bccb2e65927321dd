// Traceback entries: an empty code object per (function name, line), a frame over it, and traceback-here.
#include "traceback.hpp"

#include <cassert>
#include <utility>

#include "../compat.hpp"

namespace nlsqlagent::rt {
namespace {

Context g_context;

/// Returns a borrowed code object for the entry, making it on first use; null with an exception set.
PyObject *code_for(TracebackSite &site, int line) {
  assert(line > 0 && line <= kMaxSourceLine);
  PyObject *&slot = site.codes[line];
  if (!slot) {
    // 3.11+ frames are opaque, so the line travels as the code object's first line, which is what
    // a frame that has run no instruction reports on every version.
    slot = reinterpret_cast<PyObject *>(PyCode_NewEmpty(kSourceFile, site.funcname, line));
  }
  return slot;
}

}  // namespace

const Context &context() noexcept { return g_context; }

void set_context(PyObject *globals, PyObject *builtins) noexcept {
  Context old = g_context;
  g_context.globals = Py_XNewRef(globals);
  g_context.builtins = Py_XNewRef(builtins);
  Py_XDECREF(old.globals);
  Py_XDECREF(old.builtins);
}

void add_traceback(TracebackSite &site, int line) noexcept {
  assert(PyErr_Occurred());
  Ref pending = compat::take_pending_exception();
  PyObject *code = code_for(site, line);
  if (!code) return;  // the new exception replaces the pending one
  Ref globals = Ref::borrow(g_context.globals);
  if (!globals) {
    globals = Ref::steal(PyDict_New());
    if (!globals) return;
  }
  Ref frame = Ref::steal(reinterpret_cast<PyObject *>(
      PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code), globals.get(), nullptr)));
  if (!frame) return;
  compat::restore_pending_exception(std::move(pending));
  PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

PyObject *fail_at(TracebackSite &site, int line) noexcept {
  add_traceback(site, line);
  return nullptr;
}

}  // namespace nlsqlagent::rt
