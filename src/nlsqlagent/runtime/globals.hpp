// Module-global names as the method bodies resolve them: the module namespace, then the builtins.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../ref.hpp"

namespace nlsqlagent::rt {

/// Per-site cache of one module-global name: the namespace's version tag and what the lookup found there
/// (used only with NLSA_INTERNAL_DICT_VERSION).
struct GlobalCache {
  PyObject *dict = nullptr;  // the namespace the entry belongs to
  uint64_t version = 0;
  PyObject *value = nullptr;  // borrowed from the namespace, which holds it while its tag is unchanged
  bool valid = false;
};

/// Resolves `name` (interned str) in `globals`, then as an attribute of context().builtins; NameError when
/// absent from both. Returns a new reference or null with an exception set.
Ref lookup_global(PyObject *globals, PyObject *name, GlobalCache &cache) noexcept;

/// NameError "name '<name>' is not defined"; returns null.
[[gnu::cold]] PyObject *raise_name_error(PyObject *name) noexcept;

}  // namespace nlsqlagent::rt
