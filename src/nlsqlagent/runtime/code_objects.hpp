// The methods' code objects: what __code__ shows of each method, with a body that is safe to run.
#pragma once

#include "function.hpp"

namespace nlsqlagent::rt {

/// Gives each of the methods `defs` (prepared) its code object, once per process: the names, file name,
/// parameters, local names and first line of the method, and a body that raises nlsqlagent.NativeMethodError
/// (a TypeError saying the method is native), so that running one by itself is safe. 0, or -1 with an
/// exception set (the methods then have none).
int build_code_objects(MethodDef *const *defs, size_t count) noexcept;

}  // namespace nlsqlagent::rt
