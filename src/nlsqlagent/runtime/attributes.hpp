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

/// The longest run of stores that set_attrs makes at once.
constexpr int kMaxRun = 6;

/// A constructor's stores into a new instance, one after another: the cache of where instances of the type
/// last seen keep each of them.
struct AttrRun {
  PyTypeObject *type = nullptr;    // compared only; valid together with `version`
  unsigned int version = 0;        // the type's version tag when the entry was made; 0: no entry
  int length = 0;                  // the stores it holds; a run of its first `length` names or fewer may use it
  Py_ssize_t index[kMaxRun] = {};  // 3.11/3.12: each store's slot in the instances' values array
  PyObject *names[kMaxRun] = {};   // 3.7/3.8: each store's name (compared only; the module's state holds it)
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

/// `obj.<attrs[i]> = values[i]` for i in [0, n), in that order, each with the effect of set_attr. Returns n, or
/// the position of the store that failed, with its exception set (the stores before it are made). On 3.11 and
/// 3.12 (with NLSA_INTERNALS) the stores into empty slots of the values array are made without a check each
/// (DatabaseConnector() 2077 instead of 2154 instructions); on 3.7 and 3.8, an instance without a dict gets it
/// made and filled in one go (attributes.cpp). Either only while `run` is current for the type, which a run of
/// stores through set_attr makes it.
int set_attrs(PyObject *obj, AttrRun &run, Attr *const *attrs, PyObject *const *values, int n) noexcept;

/// Whether set_attrs fills a new instance's dict in one go (3.7 and 3.8, with the layout as checked): there a
/// value at hand before the run costs next to nothing more to store with it.
bool runs_fill_new_dicts() noexcept;

/// A copy of `dict` (an exact dict with a combined table), as PyDict_Copy makes it. On 3.7 (with
/// NLSA_INTERNALS) a dict of at most five items is copied into the keys table of a new dict, which the
/// interpreter takes from its free list of keys tables. `dict` must be one that no other code can reach (the
/// module's own template): its shape is read before the new dict is made, which may run a collection and
/// with it any code. New reference or null.
PyObject *copy_small_dict(PyObject *dict) noexcept;

/// Checks the private layouts that the fast paths write (the values array of 3.11 and 3.12, the split table
/// of 3.7 and 3.8) on a probe class and turns those paths on when each is as expected. 0, or -1 with an
/// exception set (the probe class could not be made).
int probe_layouts() noexcept;

}  // namespace nlsqlagent::rt
