// Calls of other Python objects from the method bodies, through the callee's own fast entry where it has one.
#pragma once

#include <Python.h>

#include "../ref.hpp"
#include "attributes.hpp"

namespace nlsqlagent::rt {

/// Calls `callable` with positional arguments only, through its own fast entry where it has one; a bound
/// method is taken apart and its function called with the instance first. New reference or null.
Ref call_positional(PyObject *callable, PyObject *const *args, Py_ssize_t nargs) noexcept;

/// Calls `callable` with keyword arguments only: `values[i]` under the name `kwnames[i]` (a tuple of
/// interned str). The result is that of a call with a new dict of those keywords through the call slot;
/// a callee with a fast entry gets the names and values without the dict. New reference or null.
Ref call_with_keywords(PyObject *callable, PyObject *const *values, PyObject *kwnames) noexcept;

/// Calls the method `method.name` of `obj` with one argument, as `obj.name(arg)` does: an unbound function
/// found on the type is called with `obj` first, with no bound method made. New reference or null.
Ref call_method_one(PyObject *obj, MethodCache &method, PyObject *arg) noexcept;

}  // namespace nlsqlagent::rt
