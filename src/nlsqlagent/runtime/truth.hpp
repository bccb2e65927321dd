// The truth test of the method bodies.
#pragma once

#include <Python.h>

namespace nlsqlagent::rt {

/// The interpreter's truth test, with True, False and None answered without a call, and so is an object
/// whose type defines none of __bool__ and __len__ (true, as PyObject_IsTrue answers). 1, 0, or -1.
inline int is_true(PyObject *o) {
  if (o == Py_True) return 1;
  if (o == Py_False || o == Py_None) return 0;
  const PyTypeObject *t = Py_TYPE(o);
  if ((t->tp_as_number == nullptr || t->tp_as_number->nb_bool == nullptr) &&
      (t->tp_as_mapping == nullptr || t->tp_as_mapping->mp_length == nullptr) &&
      (t->tp_as_sequence == nullptr || t->tp_as_sequence->sq_length == nullptr)) {
    return 1;
  }
  return PyObject_IsTrue(o);
}

}  // namespace nlsqlagent::rt
