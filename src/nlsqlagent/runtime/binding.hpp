// Binding of a call's arguments to a method's parameters, with every TypeError text of a bad call.
#pragma once

#include <Python.h>

#include "function.hpp"

namespace nlsqlagent::rt {

/// Slow path of bind_arguments: keywords, or a positional count out of range.
bool bind_arguments_slow(const FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                         PyObject **out) noexcept;

/// Fills out[0 .. nparams) with borrowed references to the bound values (the caller's arguments or the
/// creation-time defaults). Returns false with a TypeError (or a comparison's exception) set.
inline bool bind_arguments(const FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                           PyObject **out) noexcept {
  const MethodDef &def = *f->def;
  if ((kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) && nargs >= def.nrequired && nargs <= def.nparams) {
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (int i = static_cast<int>(nargs); i < def.nparams; ++i) out[i] = call_default(f, i);
    return true;
  }
  return bind_arguments_slow(f, args, nargs, kwnames, out);
}

}  // namespace nlsqlagent::rt
