// Calls, module-global name lookup and text assembly for the method bodies.
#include "ops.hpp"

#include "../compat.hpp"
#include "function.hpp"

namespace nlsqlagent::rt {
namespace {

PyObject *g_builtins = nullptr;  // borrowed: the builtins module lives for the process

[[gnu::cold]] void raise_null_result() {
  PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
}

/// A callee's result, checked for the broken "no result, no exception" case.
PyObject *checked(PyObject *result) {
  if (result == nullptr && !PyErr_Occurred()) raise_null_result();
  return result;
}

/// Calls a vectorcall-shaped entry, counting against the recursion limit. `args` may be written at index -1
/// when `offset_ok` (the caller owns that slot).
PyObject *call_entry(vectorcallfunc entry, PyObject *callable, PyObject *const *args, Py_ssize_t nargs,
                     bool offset_ok, PyObject *kwnames = nullptr) {
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  size_t nargsf = static_cast<size_t>(nargs);
#if NLSA_HAVE_VECTORCALL
  if (offset_ok) nargsf |= PY_VECTORCALL_ARGUMENTS_OFFSET;
#else
  (void)offset_ok;
#endif
  PyObject *result = entry(callable, args, nargsf, kwnames);
  Py_LeaveRecursiveCall();
  return checked(result);
}

/// The positional call once any bound method is unpacked. `args[-1]` is writable when `offset_ok`.
PyObject *call_unpacked(PyObject *callable, PyObject *const *args, Py_ssize_t nargs, bool offset_ok) {
  if (Py_TYPE(callable) == function_type()) {
    return call_entry(reinterpret_cast<FunctionObject *>(callable)->def->entry, callable, args, nargs, offset_ok);
  }
#if NLSA_HAVE_VECTORCALL
  if (vectorcallfunc entry = compat::vectorcall_function(callable)) {
    return call_entry(entry, callable, args, nargs, offset_ok);
  }
#else
  // 3.7: the interpreter's own fast paths for functions and builtins; a tuple for everything else.
  if (PyFunction_Check(callable)) return _PyFunction_FastCallDict(callable, const_cast<PyObject **>(args), nargs, nullptr);
  if (PyCFunction_Check(callable)) return _PyCFunction_FastCallDict(callable, const_cast<PyObject **>(args), nargs, nullptr);
#endif
  Ref tuple = Ref::steal(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
  ternaryfunc call = Py_TYPE(callable)->tp_call;
  if (call == nullptr) return PyObject_Call(callable, tuple.get(), nullptr);  // raises "not callable"
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject *result = call(callable, tuple.get(), nullptr);
  Py_LeaveRecursiveCall();
  return checked(result);
}

}  // namespace

void set_builtins_module(PyObject *builtins) noexcept { g_builtins = builtins; }

PyObject *raise_name_error(PyObject *name) noexcept {
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
}

Ref lookup_global(PyObject *globals, PyObject *name, GlobalCache &cache) noexcept {
  const uint64_t version = compat::dict_version(globals);
  if (!(cache.valid && cache.dict == globals && cache.version == version)) {
    PyObject *found = PyDict_GetItemWithError(globals, name);  // borrowed
    if (found == nullptr && PyErr_Occurred()) return Ref();
    cache.dict = globals;
    cache.version = version;
    cache.value = found;
    cache.valid = true;
  }
  if (cache.value) return Ref::borrow(cache.value);
  // A cached absence goes straight to the builtins, which are not cached.
  Ref value = Ref::steal(PyObject_GetAttr(g_builtins, name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    raise_name_error(name);
  }
  return value;
}

Ref call_positional(PyObject *callable, PyObject *const *args, Py_ssize_t nargs) noexcept {
  if (PyMethod_Check(callable) && nargs < 4) {
    PyObject *stack[5];  // [unused, self, args...]: the spare first slot lets the callee prepend again
    stack[1] = PyMethod_GET_SELF(callable);
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[2 + i] = args[i];
    return Ref::steal(call_unpacked(PyMethod_GET_FUNCTION(callable), stack + 1, nargs + 1, true));
  }
  return Ref::steal(call_unpacked(callable, args, nargs, false));
}

Ref call_with_dict(PyObject *callable, PyObject *args, PyObject *kwargs) noexcept {
  ternaryfunc call = Py_TYPE(callable)->tp_call;
  if (call == nullptr) return Ref::steal(PyObject_Call(callable, args, kwargs));
  if (Py_EnterRecursiveCall(" while calling a Python object")) return Ref();
  PyObject *result = call(callable, args, kwargs);
  Py_LeaveRecursiveCall();
  return Ref::steal(checked(result));
}

Ref call_method_one(PyObject *obj, PyObject *name, PyObject *arg) noexcept {
  PyObject *method;
  const int unbound = compat::get_method(obj, name, &method);
  if (unbound < 0) return Ref();
  Ref callee = Ref::steal(method);
  if (!unbound) return call_positional(callee.get(), &arg, 1);
  PyObject *stack[3] = {nullptr, obj, arg};  // the spare first slot lets the callee prepend again
  return Ref::steal(call_unpacked(callee.get(), stack + 1, 2, true));
}

Ref call_with_keywords(PyObject *callable, PyObject *const *values, PyObject *kwnames) noexcept {
#if NLSA_HAVE_VECTORCALL
  vectorcallfunc entry = Py_TYPE(callable) == function_type()
                             ? reinterpret_cast<FunctionObject *>(callable)->def->entry
                             : compat::vectorcall_function(callable);
  if (entry) return Ref::steal(call_entry(entry, callable, values, 0, false, kwnames));
#else
  // 3.7: a Python function takes the names and values as they are, as the interpreter's own calls do.
  if (PyFunction_Check(callable)) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return Ref();
    PyObject *result = _PyFunction_FastCallKeywords(callable, values, 0, kwnames);
    Py_LeaveRecursiveCall();
    return Ref::steal(checked(result));
  }
#endif
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return Ref();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
    if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), values[i]) < 0) return Ref();
  }
  Ref no_args = Ref::steal(PyTuple_New(0));
  if (!no_args) return Ref();
  return call_with_dict(callable, no_args.get(), kwargs.get());
}

Ref text_of(PyObject *value) noexcept {
  if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
  if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) return Ref::steal(PyObject_Str(value));
  return Ref::steal(PyObject_Format(value, nullptr));
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
