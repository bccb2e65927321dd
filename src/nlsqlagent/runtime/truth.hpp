// The truth test of the method bodies.
#pragma once

#include <Python.h>

namespace nlsqlagent::rt {

/// The interpreter's truth test, with True, False and None answered without a call. 1, 0, or -1.
inline int is_true(PyObject *o) {
  if (o == Py_True) return 1;
  if (o == Py_False || o == Py_None) return 0;
  return PyObject_IsTrue(o);
}

}  // namespace nlsqlagent::rt
