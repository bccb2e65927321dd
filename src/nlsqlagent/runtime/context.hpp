// The runtime context: what the runtime takes from the module once, at initialisation.
#pragma once

#include <Python.h>

namespace nlsqlagent::rt {

/// Strong references kept for the process: the namespace that traceback entries' frames carry as globals,
/// and the builtins module that name lookups fall back on.
struct Context {
  PyObject *globals = nullptr;
  PyObject *builtins = nullptr;
};

/// The context (borrowed fields; null before the first exec step).
const Context &context() noexcept;

/// Replaces the context; the old references are released last.
void set_context(PyObject *globals, PyObject *builtins) noexcept;

}  // namespace nlsqlagent::rt
