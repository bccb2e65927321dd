// Module-global names as the method bodies resolve them: the module namespace, then the builtins.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../ref.hpp"

namespace nlsqlagent::rt {

/// Per-site cache of one module-global name: the namespace's version tag and what the lookup found there
/// (used only with NLSA_INTERNAL_DICT_VERSION). An entry holds only within the exec step's epoch that made
/// it: a namespace of an earlier, failed import may have been freed, and from 3.12 each interpreter counts
/// version tags on its own, so a new namespace at the same address could show the same tag. An entry is made
/// only while every key of the namespace is an exact str: a key of another type (a str subclass too) is
/// compared by its own __eq__, whose answer may change while the dict does not.
struct GlobalCache {
  PyObject *dict = nullptr;  // the namespace the entry belongs to
  uint64_t version = 0;
  PyObject *value = nullptr;  // borrowed from the namespace, which holds it while its tag is unchanged
  uint64_t epoch = 0;         // g_global_cache_epoch when filled; 0: empty
};

/// The epoch of the per-site caches; each exec step starts a new one, which empties every cache.
extern uint64_t g_global_cache_epoch;
inline void start_global_cache_epoch() { ++g_global_cache_epoch; }

/// Resolves `name` (interned str) in `globals`, then as an attribute of context().builtins; NameError when
/// absent from both. Returns a new reference or null with an exception set.
Ref lookup_global(PyObject *globals, PyObject *name, GlobalCache &cache) noexcept;

/// NameError "name '<name>' is not defined"; returns null.
[[gnu::cold]] PyObject *raise_name_error(PyObject *name) noexcept;

}  // namespace nlsqlagent::rt
