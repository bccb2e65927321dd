// The method function type: lifetime, descriptor and call slots, attributes, repr and pickling.
#include "function.hpp"

#include <structmember.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace nlsqlagent::rt {

// A static type with its object header (a reference count of its own); the other fields are filled by name in
// ready_function_type, since their layout changes between versions.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
PyTypeObject g_function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace {
bool g_type_ready = false;
TracebackSite g_defaults_site = {"nlsqlagent.__defaults__"};

FunctionObject *as_function(PyObject *o) { return reinterpret_cast<FunctionObject *>(o); }

// ---- lifetime -------------------------------------------------------------------------------------------

// The owned references, each listed once. Clearing breaks the cycles that run through what callers can set
// and releases kClearedFields; it keeps the object usable, as CPython's own function type does: code that
// reaches a cleared object in the same collection (a weakref callback, say) may still read every attribute
// and call it. So the names become the empty string (a str subclass set by a caller could hold a cycle) and
// the rest of kKeptFields stays: the namespace and the code cannot be replaced by a caller (and the
// namespace is a dict that the collector clears itself), and the one-slot default is the value found at
// initialisation. Deallocation releases both lists.
using Field = PyObject *FunctionObject::*;
constexpr Field kClearedFields[] = {&FunctionObject::module,     &FunctionObject::doc,
                                    &FunctionObject::dict,       &FunctionObject::defaults,
                                    &FunctionObject::kwdefaults, &FunctionObject::annotations};
constexpr Field kKeptFields[] = {&FunctionObject::name, &FunctionObject::qualname, &FunctionObject::globals,
                                 &FunctionObject::code, &FunctionObject::default_slot};
// Every PyObject * from `module` to the end of the struct is in one of the two lists.
static_assert(offsetof(FunctionObject, module) +
                  (std::size(kClearedFields) + std::size(kKeptFields)) * sizeof(PyObject *) ==
              sizeof(FunctionObject));

template <size_t N>
void release(FunctionObject *f, const Field (&fields)[N]) {
  for (Field field : fields) Py_CLEAR(f->*field);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
  FunctionObject *f = as_function(self);
  for (Field field : kClearedFields) Py_VISIT(f->*field);
  for (Field field : kKeptFields) Py_VISIT(f->*field);
  return 0;
}

int function_clear(PyObject *self) {
  FunctionObject *f = as_function(self);
  // The interpreter's shared empty str: made at start-up, so this makes nothing and cannot fail.
  if (PyObject *empty = PyUnicode_New(0, 0)) {
    Py_SETREF(f->name, Py_NewRef(empty));
    Py_SETREF(f->qualname, empty);
  }
  release(f, kClearedFields);
  f->defaults_pending = false;
  return 0;
}

void function_dealloc(PyObject *self) {
  PyObject_GC_UnTrack(self);
  FunctionObject *f = as_function(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  // Not function_clear: deallocation may run while an exception is pending, and must neither make nor clear one.
  release(f, kClearedFields);
  release(f, kKeptFields);
  PyObject_GC_Del(self);
}

// ---- descriptor and calls -------------------------------------------------------------------------------

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject * /*type*/) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject *function_call(PyObject *self, PyObject *args, PyObject *kwargs) {
  // Without keywords the tuple's items are the call's arguments as they stand.
  if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
    return as_function(self)->def->entry(self, &PyTuple_GET_ITEM(args, 0), static_cast<size_t>(PyTuple_GET_SIZE(args)),
                                         nullptr);
  }
  return call_with_tuple(self, nullptr, args, kwargs);
}

/// The short name of the type, as its repr and the interpreter's messages show it: the part of tp_name after
/// the last dot for a static type, the type's own name for a heap type. Borrowed.
const char *type_short_name(PyTypeObject *type) {
  const char *dot = std::strrchr(type->tp_name, '.');
  return dot ? dot + 1 : type->tp_name;
}

PyObject *function_repr(PyObject *self) {
  return PyUnicode_FromFormat("<%s %U at %p>", type_short_name(Py_TYPE(self)), as_function(self)->qualname, self);
}

PyObject *function_reduce(PyObject *self, PyObject * /*unused*/) { return Py_NewRef(as_function(self)->qualname); }

// ---- attributes -----------------------------------------------------------------------------------------

PyObject *get_doc(PyObject *self, void *) {
  PyObject *doc = as_function(self)->doc;
  return Py_NewRef(doc ? doc : Py_None);  // no method of the module has a doc text of its own
}

int set_doc(PyObject *self, PyObject *value, void *) {
  Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
  return 0;
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }

int set_name(PyObject *self, PyObject *value, void *) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
    return -1;
  }
  Py_XSETREF(as_function(self)->name, Py_NewRef(value));
  return 0;
}

PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_function(self)->qualname); }

int set_qualname(PyObject *self, PyObject *value, void *) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  Py_XSETREF(as_function(self)->qualname, Py_NewRef(value));
  return 0;
}

PyObject *get_dict(PyObject *self, void *context) { return PyObject_GenericGetDict(self, context); }

int set_dict(PyObject *self, PyObject *value, void *) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
    return -1;
  }
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
    return -1;
  }
  Py_XSETREF(as_function(self)->dict, Py_NewRef(value));
  return 0;
}

PyObject *get_globals(PyObject *self, void *) { return Py_NewRef(as_function(self)->globals); }
PyObject *get_closure(PyObject *, void *) { Py_RETURN_NONE; }
PyObject *get_code(PyObject *self, void *) { return Py_NewRef(as_function(self)->code); }

/// Builds __defaults__ from the definition on its first read: the values of the optional parameters, in
/// order. 0, or -1 with an exception set and the entry "nlsqlagent.__defaults__" at the definition's line.
int build_pending_defaults(FunctionObject *f) {
  if (!f->defaults_pending) return 0;
  const MethodDef &def = *f->def;
  Ref defaults = Ref::steal(PyTuple_New(def.nparams - def.nrequired));
  if (!defaults) {
    add_traceback(g_defaults_site, def.def_line);
    return -1;
  }
  for (int i = def.nrequired; i < def.nparams; ++i) {
    PyTuple_SET_ITEM(defaults.get(), i - def.nrequired, Py_NewRef(call_default(f, i)));
  }
  f->defaults_pending = false;
  Py_XSETREF(f->defaults, defaults.release());
  return 0;
}

PyObject *get_defaults(PyObject *self, void *) {
  FunctionObject *f = as_function(self);
  if (build_pending_defaults(f) < 0) return nullptr;
  return Py_NewRef(f->defaults ? f->defaults : Py_None);
}

PyObject *get_kwdefaults(PyObject *self, void *) {
  FunctionObject *f = as_function(self);
  if (build_pending_defaults(f) < 0) return nullptr;
  return Py_NewRef(f->kwdefaults ? f->kwdefaults : Py_None);
}

/// Stores what a defaults attribute reports, after the warning that calls keep their own defaults. If the
/// warning filters turn the warning into an error, nothing is stored. The other attribute keeps what it
/// reports: defaults still to be built are built first.
int store_reported_defaults(FunctionObject *f, PyObject **field, PyObject *value, const char *attribute) {
  if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                       "changes to %s.%s will not currently affect the values used in function calls",
                       type_short_name(Py_TYPE(f)), attribute) < 0 ||
      build_pending_defaults(f) < 0) {
    return -1;
  }
  Py_XSETREF(*field, (value == nullptr || value == Py_None) ? nullptr : Py_NewRef(value));
  return 0;
}

int set_defaults(PyObject *self, PyObject *value, void *) {
  if (value != nullptr && value != Py_None && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  FunctionObject *f = as_function(self);
  return store_reported_defaults(f, &f->defaults, value, "__defaults__");
}

int set_kwdefaults(PyObject *self, PyObject *value, void *) {
  if (value != nullptr && value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  FunctionObject *f = as_function(self);
  return store_reported_defaults(f, &f->kwdefaults, value, "__kwdefaults__");
}

PyObject *get_annotations(PyObject *self, void *) {
  FunctionObject *f = as_function(self);
  if (!f->annotations) {
    f->annotations = PyDict_New();
    if (!f->annotations) return nullptr;
  }
  return Py_NewRef(f->annotations);
}

int set_annotations(PyObject *self, PyObject *value, void *) {
  if (value != nullptr && value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_function(self)->annotations, (value == nullptr || value == Py_None) ? nullptr : Py_NewRef(value));
  return 0;
}

PyObject *get_is_coroutine(PyObject *, void *) { Py_RETURN_FALSE; }  // none of the methods is a coroutine

PyGetSetDef g_getsets[] = {
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef g_members[] = {
    {const_cast<char *>("__module__"), T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef g_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int ready_function_type() noexcept {
  if (g_type_ready) return 0;
  PyTypeObject &t = g_function_type;
  // Filled by field name: the struct's layout changes between versions.
  t.tp_name = "nlsqlagent.native_method";
  t.tp_basicsize = sizeof(FunctionObject);
  t.tp_dealloc = function_dealloc;
  t.tp_repr = function_repr;
  t.tp_call = function_call;
  t.tp_getattro = PyObject_GenericGetAttr;
  t.tp_setattro = PyObject_GenericSetAttr;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#if NLSA_HAVE_VECTORCALL
  t.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
#endif
  t.tp_traverse = function_traverse;
  t.tp_clear = function_clear;
  t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
  t.tp_methods = g_methods;
  t.tp_members = g_members;
  t.tp_getset = g_getsets;
  t.tp_descr_get = function_descr_get;
  t.tp_dictoffset = offsetof(FunctionObject, dict);
  if (PyType_Ready(&t) < 0) return -1;
  g_type_ready = true;
  return 0;
}

PyObject *call_with_tuple(PyObject *function, PyObject *first, PyObject *args, PyObject *kwargs) noexcept {
  const vectorcallfunc entry = as_function(function)->def->entry;
  PyObject *const *items = &PyTuple_GET_ITEM(args, 0);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const Py_ssize_t nfirst = first ? 1 : 0;
  const Py_ssize_t npos = nfirst + nargs;
  const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  // (The usual calls, without keywords, are laid out by the callers: function_call and the classes' __init__
  // slot.)
  Ref kwnames;
  if (nkw && !(kwnames = Ref::steal(PyTuple_New(nkw)))) return nullptr;
  PyObject *small[8];
  const bool fits = npos + nkw <= static_cast<Py_ssize_t>(std::size(small));
  PyObject **stack = fits ? small : PyMem_New(PyObject *, static_cast<size_t>(npos + nkw));
  if (!stack) return PyErr_NoMemory();
  if (first) stack[0] = first;
  for (Py_ssize_t i = 0; i < nargs; ++i) stack[nfirst + i] = items[i];  // borrowed from the tuple
  Py_ssize_t pos = 0, k = 0;
  PyObject *key, *value;
  bool keys_are_str = true;
  while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
    keys_are_str = keys_are_str && PyUnicode_Check(key);
    PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
    stack[npos + k] = Py_NewRef(value);  // owned: code run by the call may change the caller's dict
    ++k;
  }
  PyObject *result = nullptr;
  if (!keys_are_str) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
  } else {
    result = entry(function, stack, static_cast<size_t>(npos), kwnames.get());
  }
  for (Py_ssize_t i = npos; i < npos + k; ++i) Py_DECREF(stack[i]);
  if (stack != small) PyMem_Free(stack);
  return result;
}

#if NLSA_VECTORCALL_UNCHECKED_KEYS
namespace {
/// The call entry's key check, which the interpreter's generic call skips on this version: a call with a
/// keyword dict whose keys are not all str fails as it does through the type's call slot.
PyObject *key_checked_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
  if (kwnames) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, i))) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return nullptr;
      }
    }
  }
  return reinterpret_cast<FunctionObject *>(callable)->def->entry(callable, args, nargsf, kwnames);
}
}  // namespace
#endif

int prepare_method(MethodDef &def) noexcept {
  if (def.site.funcname[0] == '\0') {
    std::snprintf(def.site.funcname, sizeof def.site.funcname, "nlsqlagent.%s", def.qualname);
  }
  def.fixed_only = true;
  for (int i = 0; i < def.nparams; ++i) {
    switch (def.params[i].fallback) {
      case Default::kTrue:
        def.fixed_defaults[i] = Py_True;
        break;
      case Default::kSlot:
        def.fixed_defaults[i] = nullptr;  // the value computed at initialisation, kept by each function
        def.fixed_only = false;
        break;
      case Default::kNone:
      case Default::kRequired:
        def.fixed_defaults[i] = Py_None;
        break;
    }
    if (def.interned_params[i]) continue;
    def.interned_params[i] = PyUnicode_InternFromString(def.params[i].name);
    if (!def.interned_params[i]) return -1;
    def.param_attrs[i].name = def.interned_params[i];
  }
  return 0;
}

PyObject *new_function(MethodDef *def, PyObject *module_name, PyObject *globals, PyObject *slot_value) noexcept {
  Ref name = Ref::steal(PyUnicode_InternFromString(def->name));
  Ref qualname = Ref::steal(PyUnicode_FromString(def->qualname));
  if (!name || !qualname) return nullptr;
  FunctionObject *f = PyObject_GC_New(FunctionObject, &g_function_type);
  if (!f) return nullptr;
  // No failure from here on: the object is complete before anything can see it. Every field after the
  // header starts empty; then the ones that hold something.
  std::memset(reinterpret_cast<char *>(f) + sizeof(PyObject), 0, sizeof(FunctionObject) - sizeof(PyObject));
#if NLSA_VECTORCALL_UNCHECKED_KEYS
  f->vectorcall = key_checked_vectorcall;
#elif NLSA_HAVE_VECTORCALL
  f->vectorcall = def->entry;
#endif
  f->def = def;
  f->defaults_pending = def->nrequired < def->nparams;
  f->module = Py_NewRef(module_name);
  f->name = name.release();
  f->qualname = qualname.release();
  f->globals = Py_NewRef(globals);
  f->code = Py_NewRef(def->code);
  f->default_slot = Py_XNewRef(slot_value);
  PyObject_GC_Track(f);
  return reinterpret_cast<PyObject *>(f);
}

}  // namespace nlsqlagent::rt
