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

Ref lookup_global(PyObject *globals, PyObject *name, GlobalCache &cache) noexcept {
#if NLSA_INTERNAL_DICT_VERSION
  const uint64_t version = internals::dict_version(globals);
  if (!(cache.epoch == g_global_cache_epoch && cache.dict == globals && cache.version == version)) {
    PyObject *found = PyDict_GetItemWithError(globals, name);  // borrowed
    if (found == nullptr && PyErr_Occurred()) return Ref();
    cache.dict = globals;
    cache.version = version;
    cache.value = found;
    cache.epoch = g_global_cache_epoch;
  }
  PyObject *found = cache.value;
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
