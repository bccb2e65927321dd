// Binding of a call's arguments to a method's parameters, with every TypeError text of a bad call.
#pragma once

#include <Python.h>

#include "../ref.hpp"
#include "function.hpp"
#include "stack_guard.hpp"

namespace nlsqlagent::rt {

/// Slow path of bind_arguments: keywords, or a positional count out of range.
bool bind_arguments_slow(const FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                         PyObject **out) noexcept;

/// Fills out[nargs .. nparams) with the defaults of the parameters that a call of `nargs` positional arguments
/// (at least the required ones, at most nparams) leaves out.
inline void fill_defaults(const FunctionObject *f, PyObject **out, Py_ssize_t nargs) noexcept {
  const MethodDef &def = *f->def;
  PyObject *const *fixed = def.fixed_defaults;
  if (def.fixed_only) {  // the defaults as they stand, without a test each (DatabaseConnector(): 11 fewer)
    copy_arguments(out + nargs, fixed + nargs, def.nparams - nargs);
    return;
  }
  PyObject *const slot = f->default_slot;
  for (int i = static_cast<int>(nargs); i < def.nparams; ++i) out[i] = fixed[i] ? fixed[i] : slot;
}

/// Fills out[0 .. nparams) with borrowed references to the bound values (the caller's arguments or the
/// creation-time defaults). Returns false with a TypeError (or a comparison's exception) set.
inline bool bind_arguments(const FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                           PyObject **out) noexcept {
  const MethodDef &def = *f->def;
  if ((kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) && nargs >= def.nrequired && nargs <= def.nparams) {
    copy_arguments(out, args, nargs);
    fill_defaults(f, out, nargs);
    return true;
  }
  return bind_arguments_slow(f, args, nargs, kwnames, out);
}

/// Whether the call gives every parameter, in order: by position, then by keywords that are the parameters'
/// own interned names. Then the call's arguments (positional ones, then the keyword values) are the bound
/// values as they stand.
inline bool all_in_order(const MethodDef &def, Py_ssize_t nargs, PyObject *kwnames) {
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs + nkw != def.nparams) return false;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (PyTuple_GET_ITEM(kwnames, k) != def.interned_params[nargs + k]) return false;
  }
  return true;
}

/// Binds the arguments (a binding failure gets the traceback entry at the definition's line and the body does
/// not run) and hands the body the bound values. New reference or null.
template <MethodBody Body>
PyObject *bind_and_run(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
  const MethodDef &def = *f->def;
  if (all_in_order(def, nargs, kwnames)) return Body(f, args);  // the arguments are the bound values
  PyObject *bound[kMaxParams];
  return bind_arguments(f, args, nargs, kwnames, bound) ? Body(f, bound) : fail_at(f->def->site, def.def_line);
}

/// An entry that on_own_stack() did not pass: the thread's first, one in the margin (refused), or one off the
/// thread's own stack, measured against its run and ended by putting the run back as it found it.
template <MethodBody Body>
[[gnu::noinline, gnu::cold]] PyObject *guarded_entry(uintptr_t frame, FunctionObject *f, PyObject *const *args,
                                                     Py_ssize_t nargs, PyObject *kwnames) noexcept {
  OffStackMark mark;
  const Entry entry = enter_native_call_slow(frame, mark);
  if (entry == Entry::kRefused) return nullptr;
  PyObject *result = bind_and_run<Body>(f, args, nargs, kwnames);
  if (entry == Entry::kCounted) leave_off_stack(mark);
  return result;
}

/// The call entry of the method whose body is `Body`, in vectorcall shape; every method's entry is one of
/// these. It guards against native re-entry (stack_guard.hpp), then binds and runs the body. New reference
/// or null.
template <MethodBody Body>
PyObject *method_entry(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
  FunctionObject *f = reinterpret_cast<FunctionObject *>(callable);
  const Py_ssize_t nargs = compat::vectorcall_nargs(nargsf);
  const uintptr_t frame = stack_pointer();
  if (!on_own_stack(frame)) return guarded_entry<Body>(frame, f, args, nargs, kwnames);
  return bind_and_run<Body>(f, args, nargs, kwnames);
}

/// The class call's arguments as call_with_tuple hands them on: keywords, or more than a method takes.
[[gnu::noinline]] inline int init_with_tuple(PyObject *function, PyObject *self, PyObject *args,
                                             PyObject *kwargs) noexcept {
  return init_result(call_with_tuple(function, self, args, kwargs));
}

/// The entry from the class's __init__ slot: what method_entry does for the instance followed by the tuple's
/// items, with the arguments laid out once, where the body reads them, and the result checked as the slot
/// checks it. The slot's own caller holds no reference to the function, which the call may take out of the
/// class: this entry holds one.
/// Gain on 3.7 (callgrind, instructions per call): DatabaseConnector() 19 fewer, against a slot that laid the
/// arguments out for method_entry.
template <MethodBody Body>
int init_entry(PyObject *function, PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
  Py_INCREF(function);
  Ref hold = Ref::steal(function);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if ((kwargs && PyDict_GET_SIZE(kwargs) != 0) || nargs >= kMaxParams) {
    return init_with_tuple(function, self, args, kwargs);
  }
  FunctionObject *f = reinterpret_cast<FunctionObject *>(function);
  PyObject *stack[kMaxParams];
  stack[0] = self;
  copy_arguments(stack + 1, &PyTuple_GET_ITEM(args, 0), nargs);
  const Py_ssize_t n = nargs + 1;
  const uintptr_t frame = stack_pointer();
  PyObject *result;
  const MethodDef &def = *f->def;
  if (!on_own_stack(frame)) {
    result = guarded_entry<Body>(frame, f, stack, n, nullptr);
  } else if (n < def.nrequired || n > def.nparams) {
    result = bind_and_run<Body>(f, stack, n, nullptr);  // its TypeError
  } else {
    fill_defaults(f, stack, n);
    result = Body(f, stack);
  }
  if (result == Py_None) {
    Py_DECREF(result);
    return 0;
  }
  return init_result(result);
}

/// The entries of the method whose body is `Body`.
template <MethodBody Body>
inline constexpr MethodEntries method_entries{method_entry<Body>, init_entry<Body>};

}  // namespace nlsqlagent::rt
