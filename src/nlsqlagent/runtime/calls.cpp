// Calls of other Python objects: the callee's own fast entry where it has one, the call slot otherwise, each
// counted against the interpreter's recursion limit.
#include "calls.hpp"

#include <iterator>

#include "function.hpp"
#include "internals.hpp"

namespace nlsqlagent::rt {
namespace {

[[gnu::cold]] void raise_null_result() {
  PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
}

/// A callee's result, checked for the broken "no result, no exception" case.
PyObject *checked(PyObject *result) {
  if (result == nullptr && !PyErr_Occurred()) raise_null_result();
  return result;
}

/// Calls a vectorcall-shaped entry, counting against the recursion limit. `args` may be written at index -1
/// when `offset_ok` (the caller owns that slot). A Python function is called as the interpreter's own C code
/// calls it: its frame counts itself when it starts (as 3.7's fast call below does too), so the call does not
/// count it twice.
PyObject *call_entry(vectorcallfunc entry, PyObject *callable, PyObject *const *args, Py_ssize_t nargs, bool offset_ok,
                     PyObject *kwnames = nullptr) {
  size_t nargsf = static_cast<size_t>(nargs);
#if NLSA_HAVE_VECTORCALL
  if (offset_ok) nargsf |= PY_VECTORCALL_ARGUMENTS_OFFSET;
#else
  (void)offset_ok;
#endif
  if (Py_TYPE(callable) == &PyFunction_Type) return checked(entry(callable, args, nargsf, kwnames));
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject *result = entry(callable, args, nargsf, kwnames);
  Py_LeaveRecursiveCall();
  return checked(result);
}

/// The callee's own fast entry: this module's functions' native entry, else the vectorcall entry the
/// callee offers (none before 3.8). Null when it has none.
vectorcallfunc fast_entry(PyObject *callable) {
  if (Py_TYPE(callable) == function_type()) return reinterpret_cast<FunctionObject *>(callable)->def->entry;
  return compat::vectorcall_function(callable);
}

/// Calls through the type's call slot (the generic call when it has none), counting against the recursion
/// limit.
PyObject *call_slot(PyObject *callable, PyObject *args, PyObject *kwargs) {
  ternaryfunc call = Py_TYPE(callable)->tp_call;
  if (call == nullptr) return PyObject_Call(callable, args, kwargs);  // raises "not callable"
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject *result = call(callable, args, kwargs);
  Py_LeaveRecursiveCall();
  return checked(result);
}

/// The positional call once any bound method is unpacked. `args[-1]` is writable when `offset_ok`.
PyObject *call_unpacked(PyObject *callable, PyObject *const *args, Py_ssize_t nargs, bool offset_ok) {
  if (vectorcallfunc entry = fast_entry(callable)) return call_entry(entry, callable, args, nargs, offset_ok);
#if NLSA_FASTCALL_37
  // 3.7, private: the interpreter's own fast paths for functions and builtins, which take the arguments
  // without a tuple. Gain on 3.7: run(q) with an agent 195 instead of 225 ns, connect() 613 instead of 660.
  if (PyFunction_Check(callable))
    return _PyFunction_FastCallDict(callable, const_cast<PyObject **>(args), nargs, nullptr);
  if (PyCFunction_Check(callable))
    return _PyCFunction_FastCallDict(callable, const_cast<PyObject **>(args), nargs, nullptr);
#endif
  Ref tuple = Ref::steal(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
  return call_slot(callable, tuple.get(), nullptr);
}

}  // namespace

Ref call_positional(PyObject *callable, PyObject *const *args, Py_ssize_t nargs) noexcept {
  // [unused, self, args...]: the spare first slot lets the callee prepend again
  PyObject *stack[5];
  if (PyMethod_Check(callable) && nargs <= static_cast<Py_ssize_t>(std::size(stack)) - 2) {
    stack[1] = PyMethod_GET_SELF(callable);
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[2 + i] = args[i];
    return Ref::steal(call_unpacked(PyMethod_GET_FUNCTION(callable), stack + 1, nargs + 1, true));
  }
  return Ref::steal(call_unpacked(callable, args, nargs, false));
}

Ref call_method_one(PyObject *obj, MethodCache &cache, PyObject *arg) noexcept {
  PyObject *method;
  const int unbound = get_method(obj, cache, &method);
  if (unbound < 0) return Ref();
  Ref callee = Ref::steal(method);
  if (!unbound) return call_positional(callee.get(), &arg, 1);
  PyObject *stack[3] = {nullptr, obj, arg};  // the spare first slot lets the callee prepend again
#if NLSA_HAVE_VECTORCALL
  if (Py_TYPE(callee.get()) == &PyFunction_Type) {  // the usual method: a Python function, called directly
    const vectorcallfunc entry = reinterpret_cast<PyFunctionObject *>(callee.get())->vectorcall;
    return Ref::steal(checked(entry(callee.get(), stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
  }
#endif
  return Ref::steal(call_unpacked(callee.get(), stack + 1, 2, true));
}

Ref call_with_keywords(PyObject *callable, PyObject *const *values, PyObject *kwnames) noexcept {
  if (vectorcallfunc entry = fast_entry(callable)) {
    return Ref::steal(call_entry(entry, callable, values, 0, false, kwnames));
  }
#if NLSA_FASTCALL_37
  // 3.7, private: a Python function takes the names and values as they are, as the interpreter's own calls
  // do, without a dict. Gain on 3.7: AgentRunner(llm, toolkit) 1414 instead of 1627 ns (with the path above).
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
  return Ref::steal(call_slot(callable, no_args.get(), kwargs.get()));
}

}  // namespace nlsqlagent::rt
