// Module-global names: the namespace (its lookups cached per site by the dict's version tag), then the
// builtins.
#include "globals.hpp"

#include "context.hpp"
#include "internals.hpp"

namespace nlsqlagent::rt {

uint64_t g_global_cache_epoch = 1;

PyObject *raise_name_error(PyObject *name) noexcept {
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
}

#if NLSA_INTERNAL_DICT_VERSION
namespace {

/// Whether every key of `dict` is an exact str. Looking an interned name up among such keys compares
/// addresses, hashes and text, runs no code and finds the same while the dict's version tag is unchanged. Any
/// other key is compared by its own __eq__ (as the interpreter does from 3.11, such a namespace is then looked
/// up at every use). Asked only where a site's entry is not current.
bool keys_are_exact_str(PyObject *dict) {
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

/// The lookup behind a site whose entry is not current: the value found (borrowed), or null, with an
/// exception set on failure (`*failed`). The entry is filled only when the namespace's keys are all exact str
/// (else a namespace with another key is looked up at every use, and its keys checked again each time).
[[gnu::noinline]] PyObject *lookup_and_fill(PyObject *globals, PyObject *name, uint64_t version, GlobalCache &cache,
                                            bool *failed) {
  PyObject *found = PyDict_GetItemWithError(globals, name);  // borrowed
  if (found == nullptr && PyErr_Occurred()) {
    *failed = true;
    return nullptr;
  }
  // Filled with the tag read before the lookup: a lookup that ran code and changed the dict leaves an entry
  // that no later tag matches.
  if (keys_are_exact_str(globals)) {
    cache.dict = globals;
    cache.version = version;
    cache.value = found;
    cache.epoch = g_global_cache_epoch;
  } else {
    cache.epoch = 0;
  }
  return found;
}

}  // namespace
#endif

Ref lookup_global(PyObject *globals, PyObject *name, GlobalCache &cache) noexcept {
#if NLSA_INTERNAL_DICT_VERSION
  const uint64_t version = internals::dict_version(globals);
  PyObject *found = cache.value;
  if (!(cache.epoch == g_global_cache_epoch && cache.dict == globals && cache.version == version)) {
    bool failed = false;
    found = lookup_and_fill(globals, name, version, cache, &failed);
    if (failed) return Ref();
  }
#else
  (void)cache;
  PyObject *found = PyDict_GetItemWithError(globals, name);  // borrowed
  if (found == nullptr && PyErr_Occurred()) return Ref();
#endif
  if (found) return Ref::borrow(found);
  // An absence (cached or not) goes straight to the builtins, which are not cached.
  Ref value = Ref::steal(PyObject_GetAttr(context().builtins, name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    raise_name_error(name);
  }
  return value;
}

}  // namespace nlsqlagent::rt
