// Text that the method bodies make from values: f-string conversion and one-allocation joins.
#pragma once

#include <Python.h>

#include "../ref.hpp"

namespace nlsqlagent::rt {

/// The f-string text of a value: an exact str unchanged, an exact int or float by its own conversion,
/// anything else by format(value, ""). New reference or null.
Ref text_of(PyObject *value) noexcept;

/// One new str holding the pieces (all str, ready) in order. New reference or null.
Ref join_texts(PyObject *const *pieces, Py_ssize_t count) noexcept;

}  // namespace nlsqlagent::rt
