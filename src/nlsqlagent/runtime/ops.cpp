// Calls, module-global name lookup and text assembly for the method bodies.
#include "ops.hpp"

#include "../compat.hpp"
#include "function.hpp"

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
/// when `offset_ok` (the caller owns that slot).
PyObject *call_entry(vectorcallfunc entry, PyObject *callable, PyObject *const *args, Py_ssize_t nargs, bool offset_ok,
                     PyObject *kwnames = nullptr) {
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
#if !NLSA_HAVE_VECTORCALL && NLSA_INTERNAL_FASTCALL
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

#if NLSA_INLINE_VALUES
// 3.11/3.12, private layout (the instance values array and the class's shared keys) and private API
// (_PyType_Lookup): instance attributes read and written where the interpreter's own specialised bytecode
// reads and writes them. Gain on 3.11: DatabaseConnector() 174 instead of 265 ns, connect() 336 instead of
// 490, AgentRunner(llm, toolkit) 1010 instead of 1230, run(q) 84 instead of 115.
bool g_inline_values = false;  // set by probe_inline_values

/// The values array of `obj` when `attr` may be read or written there directly, else null. Refreshes the
/// cache entry when the type or its version changed.
PyObject **direct_values(PyObject *obj, Attr &attr) {
  PyTypeObject *type = Py_TYPE(obj);
  if (type != attr.type || type->tp_version_tag != attr.version || attr.version == 0) {
    attr.version = 0;
    if (!g_inline_values || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) ||
        type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) {
      return nullptr;
    }
    // Only a name the type and its bases do not define at all is read and written in the values array: then
    // adding it to any of them changes this type's version tag, which every use checks. (A class attribute
    // that is a descriptor may become a data descriptor without any version tag of this type changing.)
    // The lookup also gives the type a valid version tag.
    if (_PyType_Lookup(type, attr.name)) return nullptr;
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return nullptr;
    const Py_ssize_t index = compat::shared_key_index(type, attr.name);
    if (index < 0) return nullptr;  // no instance has stored it yet: the generic store adds the key
    attr.type = type;
    attr.index = index;
    attr.version = type->tp_version_tag;
  }
  return compat::instance_values(obj);
}
#endif

}  // namespace

Ref get_attr(PyObject *obj, Attr &attr) noexcept {
#if NLSA_INLINE_VALUES
  if (PyObject **values = direct_values(obj, attr)) {
    if (PyObject *value = values[attr.index]) return Ref::borrow(value);
  }
#endif
  return Ref::steal(PyObject_GetAttr(obj, attr.name));
}

int set_attr(PyObject *obj, Attr &attr, PyObject *value) noexcept {
#if NLSA_INLINE_VALUES
  if (PyObject **values = direct_values(obj, attr)) {
    PyObject *old = values[attr.index];
    values[attr.index] = Py_NewRef(value);
    if (old) {
      Py_DECREF(old);
    } else {
      compat::add_to_insertion_order(values, attr.index);
    }
    return 0;
  }
#endif
  return PyObject_SetAttr(obj, attr.name, value);
}

int probe_inline_values() noexcept {
#if NLSA_INLINE_VALUES
  // Two instances of a fresh class: the first stores "a" and "b" the generic way, which adds both to the
  // shared keys; the second gets "b" then "a" through the direct path. The generic reads and the
  // materialised __dict__ of the second must then show both values, in that order.
  Ref ns = Ref::steal(PyDict_New());
  Ref name = Ref::steal(PyUnicode_InternFromString("_nlsqlagent_probe"));
  Ref a_name = Ref::steal(PyUnicode_InternFromString("a"));
  Ref b_name = Ref::steal(PyUnicode_InternFromString("b"));
  Ref bases = Ref::steal(PyTuple_New(0));
  if (!ns || !name || !a_name || !b_name || !bases) return -1;
  Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PyType_Type), name.get(), bases.get(),
                                                    ns.get(), nullptr));
  if (!cls) return -1;
  Ref first = Ref::steal(PyObject_CallNoArgs(cls.get()));
  if (!first) return -1;
  Ref second = Ref::steal(PyObject_CallNoArgs(cls.get()));
  if (!second || PyObject_SetAttr(first.get(), a_name.get(), Py_True) < 0 ||
      PyObject_SetAttr(first.get(), b_name.get(), Py_False) < 0) {
    return -1;
  }
  g_inline_values = true;
  Attr a{a_name.get()}, b{b_name.get()};
  bool ok = direct_values(second.get(), a) && direct_values(second.get(), b) && a.index != b.index &&
            set_attr(second.get(), b, Py_None) == 0 && set_attr(second.get(), a, Py_Ellipsis) == 0;
  if (ok) {
    Ref got_a = Ref::steal(PyObject_GetAttr(second.get(), a_name.get()));
    Ref got_b = Ref::steal(PyObject_GetAttr(second.get(), b_name.get()));
    Ref dict = Ref::steal(PyObject_GenericGetDict(second.get(), nullptr));
    Ref keys = dict ? Ref::steal(PyDict_Keys(dict.get())) : Ref();
    ok = got_a.get() == Py_Ellipsis && got_b.get() == Py_None && keys && PyList_GET_SIZE(keys.get()) == 2 &&
         PyList_GET_ITEM(keys.get(), 0) == b_name.get() && PyList_GET_ITEM(keys.get(), 1) == a_name.get();
    if (PyErr_Occurred()) return -1;
  }
  g_inline_values = ok;
#endif
  return 0;
}

PyObject *raise_name_error(PyObject *name) noexcept {
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
}

Ref lookup_global(PyObject *globals, PyObject *name, GlobalCache &cache) noexcept {
#if NLSA_INTERNAL_DICT_VERSION
  const uint64_t version = compat::dict_version(globals);
  if (!(cache.valid && cache.dict == globals && cache.version == version)) {
    PyObject *found = PyDict_GetItemWithError(globals, name);  // borrowed
    if (found == nullptr && PyErr_Occurred()) return Ref();
    cache.dict = globals;
    cache.version = version;
    cache.value = found;
    cache.valid = true;
  }
  PyObject *found = cache.value;
#else
  (void)cache;
  PyObject *found = PyDict_GetItemWithError(globals, name);  // borrowed
  if (found == nullptr && PyErr_Occurred()) return Ref();
#endif
  if (found) return Ref::borrow(found);
  // An absence (cached or not) goes straight to the builtins, which are not cached.
  Ref value = Ref::steal(PyObject_GetAttr(context().builtins, name));
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
  if (vectorcallfunc entry = fast_entry(callable)) {
    return Ref::steal(call_entry(entry, callable, values, 0, false, kwnames));
  }
#if !NLSA_HAVE_VECTORCALL && NLSA_INTERNAL_FASTCALL
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

Ref text_of(PyObject *value) noexcept {
  if (PyUnicode_CheckExact(value)) return compat::ready_text(value) < 0 ? Ref() : Ref::borrow(value);
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
