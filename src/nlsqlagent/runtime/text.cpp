// Text from values: the f-string conversion, and pieces joined in one allocation.
#include "text.hpp"

#include "../compat.hpp"

namespace nlsqlagent::rt {

Ref text_of(PyObject *value) noexcept {
  Ref text;
  if (PyUnicode_CheckExact(value)) {
    text = Ref::borrow(value);
  } else if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) {
    text = Ref::steal(PyObject_Str(value));
  } else {
    text = Ref::steal(PyObject_Format(value, nullptr));  // __format__ may hand back a str not yet ready
  }
  if (text && compat::ready_text(text.get()) < 0) return Ref();
  return text;
}

Ref join_texts(PyObject *const *pieces, Py_ssize_t count) noexcept {
  Py_ssize_t length = 0;
  Py_UCS4 widest = 127;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Py_ssize_t piece_length = PyUnicode_GET_LENGTH(pieces[i]);
    if (piece_length > PY_SSIZE_T_MAX - length) {
      PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
      return Ref();
    }
    length += piece_length;
    const Py_UCS4 piece_widest = PyUnicode_MAX_CHAR_VALUE(pieces[i]);
    if (piece_widest > widest) widest = piece_widest;
  }
  Ref result = Ref::steal(PyUnicode_New(length, widest));
  if (!result) return Ref();
  Py_ssize_t at = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Py_ssize_t piece_length = PyUnicode_GET_LENGTH(pieces[i]);
    if (PyUnicode_CopyCharacters(result.get(), at, pieces[i], 0, piece_length) < 0) return Ref();
    at += piece_length;
  }
  return result;
}

}  // namespace nlsqlagent::rt
