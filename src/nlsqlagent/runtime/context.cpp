// The runtime context, handed over by the module's exec step.
#include "context.hpp"

#include "../compat.hpp"

namespace nlsqlagent::rt {
namespace {

Context g_context;

}  // namespace

const Context &context() noexcept { return g_context; }

void set_context(PyObject *globals, PyObject *builtins) noexcept {
  const Context old = g_context;
  g_context.globals = Py_XNewRef(globals);
  g_context.builtins = Py_XNewRef(builtins);
  Py_XDECREF(old.globals);
  Py_XDECREF(old.builtins);
}

}  // namespace nlsqlagent::rt
