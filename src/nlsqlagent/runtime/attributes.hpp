// Instance attributes read and written by the method bodies, with a fast path on each version up to 3.12.
#pragma once

#include <Python.h>

#include "../ref.hpp"

namespace nlsqlagent::rt {

/// An instance attribute name, with a cache of where instances of the type last seen keep its value.
struct Attr {
  PyObject *name = nullptr;      // interned
  PyTypeObject *type = nullptr;  // compared only; valid together with `version`
  unsigned int version = 0;      // the type's version tag when the entry was made; 0: no entry
  Py_ssize_t index = -1;         // slot in the instances' values array
};

/// A method name's cache: the Python function that instances of the type last seen find for it on the type.
struct MethodCache {
  PyObject *name = nullptr;      // interned
  PyTypeObject *type = nullptr;  // compared only; valid together with `version`
  unsigned int version = 0;      // the type's version tag when the entry was made; 0: no entry
  PyObject *function = nullptr;  // borrowed from the type's MRO, which holds it while the tag is unchanged
};

/// `obj.<name>` as the method-call bytecode reads it: 1 with `*method` the unbound function to call with `obj`
/// first, 0 with `*method` the attribute itself, -1 with an exception set; new reference in `*method` unless
/// -1. On 3.11 and 3.12 (with NLSA_INTERNALS) a Python function on an unchanged type whose instance keeps no
/// attribute of that name is answered from the cache, as the interpreter's own specialised method reads do.
int get_method(PyObject *obj, MethodCache &cache, PyObject **method) noexcept;

/// `obj.<attr>`, with the result of PyObject_GetAttr. On 3.11 and 3.12 (with NLSA_INTERNALS) the value is
/// read straight from the instance's values array while the type is unchanged, has the generic attribute
/// slots and no attribute of that name, as the interpreter's own specialised reads do; before 3.11, on the same
/// conditions, from the instance dict without the type lookup. New reference or null.
Ref get_attr(PyObject *obj, Attr &attr) noexcept;

/// `obj.<attr> = value`, with the effect of PyObject_SetAttr (the same fast path as get_attr). 0 or -1.
int set_attr(PyObject *obj, Attr &attr, PyObject *value) noexcept;

/// Checks the values-array layout on a probe class and turns the fast paths of get_attr and set_attr on
/// when it is as expected. 0, or -1 with an exception set (the probe class could not be made).
int probe_inline_values() noexcept;

}  // namespace nlsqlagent::rt
