// The rules that every method body shares: calls, module-global names, and text from pieces.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "../compat.hpp"
#include "traceback.hpp"

namespace nlsqlagent::rt {

/// Per-site cache of one module-global name: the namespace's version tag and what the lookup found there
/// (used only with NLSA_INTERNAL_DICT_VERSION).
struct GlobalCache {
  PyObject *dict = nullptr;  // the namespace the entry belongs to
  uint64_t version = 0;
  PyObject *value = nullptr;  // borrowed from the namespace, which holds it while its tag is unchanged
  bool valid = false;
};

/// An instance attribute name, with a cache of where instances of the type last seen keep its value.
struct Attr {
  PyObject *name = nullptr;      // interned
  PyTypeObject *type = nullptr;  // compared only; valid together with `version`
  unsigned int version = 0;      // the type's version tag when the entry was made; 0: no entry
  Py_ssize_t index = -1;         // slot in the instances' values array
};

/// `obj.<attr>`, with the result of PyObject_GetAttr. On 3.11 and 3.12 (with NLSA_INTERNALS) the value is
/// read straight from the instance's values array while the type is unchanged, has the generic attribute
/// slots and no attribute of that name, as the interpreter's own specialised reads do. New reference or null.
Ref get_attr(PyObject *obj, Attr &attr) noexcept;

/// `obj.<attr> = value`, with the effect of PyObject_SetAttr (the same fast path as get_attr). 0 or -1.
int set_attr(PyObject *obj, Attr &attr, PyObject *value) noexcept;

/// Checks the values-array layout on a probe class and turns the fast paths of get_attr and set_attr on
/// when it is as expected. 0, or -1 with an exception set (the probe class could not be made).
int probe_inline_values() noexcept;

/// Resolves `name` (interned str) in `globals`, then as an attribute of context().builtins; NameError when
/// absent from both. Returns a new reference or null with an exception set.
Ref lookup_global(PyObject *globals, PyObject *name, GlobalCache &cache) noexcept;

/// NameError "name '<name>' is not defined"; returns null.
[[gnu::cold]] PyObject *raise_name_error(PyObject *name) noexcept;

/// Calls `callable` with positional arguments only, through its own fast entry where it has one; a bound
/// method is taken apart and its function called with the instance first. New reference or null.
Ref call_positional(PyObject *callable, PyObject *const *args, Py_ssize_t nargs) noexcept;

/// Calls `callable` with keyword arguments only: `values[i]` under the name `kwnames[i]` (a tuple of
/// interned str). The result is that of a call with a new dict of those keywords through the call slot;
/// a callee with a fast entry gets the names and values without the dict. New reference or null.
Ref call_with_keywords(PyObject *callable, PyObject *const *values, PyObject *kwnames) noexcept;

/// Calls the method `name` of `obj` with one argument, as `obj.name(arg)` does: an unbound function found on
/// the type is called with `obj` first, with no bound method made. New reference or null.
Ref call_method_one(PyObject *obj, PyObject *name, PyObject *arg) noexcept;

/// The f-string text of a value: an exact str unchanged, an exact int or float by its own conversion,
/// anything else by format(value, ""). New reference or null.
Ref text_of(PyObject *value) noexcept;

/// The interpreter's truth test, with True, False and None answered without a call. 1, 0, or -1.
inline int is_true(PyObject *o) {
  if (o == Py_True) return 1;
  if (o == Py_False || o == Py_None) return 0;
  return PyObject_IsTrue(o);
}

/// `except Exception as e:` for a statement that failed at (site, line). The entry for that line is added in
/// every case. When the pending exception is an Exception, it is taken, normalised and made the exception
/// being handled for the lifetime of this object (the previous one is handled again afterwards); otherwise
/// it stays pending and caught() is false.
class ExceptException {
 public:
  ExceptException(TracebackSite &site, int line) {
    const bool matches = PyErr_ExceptionMatches(PyExc_Exception);
    add_traceback(site, line);
    if (!matches) return;
    exception_ = compat::take_pending_exception();
    handling_.emplace(exception_.get());
  }
  bool caught() const { return static_cast<bool>(exception_); }
  /// The caught exception (borrowed), bound to `e` in the handler.
  PyObject *exception() const { return exception_.get(); }

 private:
  Ref exception_;
  std::optional<compat::HandledException> handling_;  // destroyed before exception_
};

/// One new str holding the pieces (all str) in order. New reference or null.
Ref join_texts(PyObject *const *pieces, Py_ssize_t count) noexcept;

/// str(obj) with every secret it shows masked (see redact.cpp): an exact str, computed once. New reference or
/// null.
Ref masked_text(PyObject *obj) noexcept;

}  // namespace nlsqlagent::rt
