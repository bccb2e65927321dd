// Calls of the module's classes that make the instance and enter the class's own __init__ directly.
#pragma once

#include <Python.h>

namespace nlsqlagent::rt {

/// Lets calls of `cls` (a class just made by the module, whose __init__ is one of the module's function
/// objects) skip the generic __init__ slot, and from 3.9 the generic type call, while the class and its bases
/// are unchanged and its __init__ is still that object; anything else takes the generic path. At most
/// kMaxClasses classes; does nothing on the public-API build. 0, or -1 with an exception set.
int install_class_call(PyObject *cls) noexcept;

constexpr int kMaxClasses = 2;

/// On 3.7 and 3.8, gives `cls` (a class just made by the module) an allocation of its own that makes its
/// instances as the generic one does for a class of its shape, when it has that shape; else does nothing.
void install_instance_alloc(PyObject *cls) noexcept;

}  // namespace nlsqlagent::rt
