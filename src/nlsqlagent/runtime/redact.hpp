// Secrets masked in the text of an object before the module prints it or keeps it as a message.
#pragma once

#include <Python.h>

#include "../ref.hpp"

namespace nlsqlagent::rt {

/// str(obj) with every secret it shows masked (the shapes are listed in redact.cpp): an exact str, computed
/// once. New reference or null.
Ref masked_text(PyObject *obj) noexcept;

}  // namespace nlsqlagent::rt
