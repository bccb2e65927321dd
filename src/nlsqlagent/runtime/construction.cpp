// Calls of the module's classes: the instance made and the class's own __init__ entered directly.
#include "construction.hpp"

#include <iterator>

#include "function.hpp"
#include "internals.hpp"

namespace nlsqlagent::rt {

int init_result(PyObject *result) noexcept {
  if (!result) return -1;
  Ref held = Ref::steal(result);
  if (result == Py_None) return 0;
  PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result)->tp_name);
  return -1;
}

#if NLSA_CLASS_CALL
namespace {

// Private API (_PyType_Lookup, for the lookup that also assigns the class its version tag). A call of a class
// goes through the generic type call (a tuple and a dict of the arguments), object's __new__, then the
// generic __init__ slot, which looks __init__ up on the type and calls it with the instance prepended: on 3.7
// through a bound method and a second tuple. While the class keeps the version tag it had when its __init__
// was found to be the function it was defined with, its own __init__ slot calls that function directly, and
// from 3.9 its own vectorcall entry makes the instance with object's __new__ and hands the caller's arguments
// on unchanged. A class whose __init__ is assigned gets the generic slot back from the interpreter; any other
// change to it or to a base changes its version tag, and the next call checks it again.
// Gain on 3.11 (callgrind, instructions per call): DatabaseConnector() 2217 instead of 2442,
// DatabaseConnector(4 keywords) 2298 instead of 4456; on 3.7 see attributes.cpp.

/// One of the module's classes, and what its version tag vouches for.
struct ClassEntry {
  PyTypeObject *type = nullptr;  // compared only; the class itself holds no reference from here
  // The __init__ it was defined with. Borrowed: while the version tag is the checked one, the class dict
  // holds it; when the tag changes, only its address is compared (a method deleted from the class is freed
  // as plain Python frees it), and the object found there is checked again.
  PyObject *init = nullptr;
  unsigned int version = 0;  // the class's version tag when `init` was last found as its __init__; 0: none
  bool plain_new = false;    // under that tag: made by object's __new__, not abstract, metaclass `type`
};

ClassEntry g_classes[kMaxClasses];
initproc g_generic_init = nullptr;  // the interpreter's generic __init__ slot, as the classes had it
PyObject *g_init_name = nullptr;    // "__init__", interned
PyObject *g_no_args = nullptr;      // the empty tuple handed to object's __new__

/// The entry of `type` when its version tag is the one checked, else null.
inline ClassEntry *current_entry(const PyTypeObject *type) {
  for (ClassEntry &e : g_classes) {
    if (e.type == type && internals::type_version_is(type, e.version)) return &e;
  }
  return nullptr;
}

/// Checks `type` again after a change: its entry when its __init__ is still the one it was defined with, else
/// null (the generic path is taken until it is).
[[gnu::noinline]] ClassEntry *checked_entry(PyTypeObject *type) {
  for (ClassEntry &e : g_classes) {
    if (e.type != type) continue;
    e.version = 0;
    PyObject *found = internals::type_lookup(type, g_init_name);  // borrowed
    if (found != e.init || Py_TYPE(found) != function_type()) return nullptr;
    e.plain_new = Py_TYPE(type) == &PyType_Type && type->tp_new == PyBaseObject_Type.tp_new &&
                  !(type->tp_flags & Py_TPFLAGS_IS_ABSTRACT);
    e.version = type->tp_version_tag;
    return internals::type_version_is(type, e.version) ? &e : nullptr;
  }
  return nullptr;
}

/// The __init__ of the class's entry, entered with the slot's arguments.
inline int enter_init(const ClassEntry &e, PyObject *self, PyObject *args, PyObject *kwargs) {
  return reinterpret_cast<FunctionObject *>(e.init)->def->init_entry(e.init, self, args, kwargs);
}

/// class_init after a change to the class: checked again, then entered directly or by the generic slot.
[[gnu::noinline]] int class_init_checked(PyObject *self, PyObject *args, PyObject *kwargs) {
  ClassEntry *e = checked_entry(Py_TYPE(self));
  return e ? enter_init(*e, self, args, kwargs) : g_generic_init(self, args, kwargs);
}

/// The classes' __init__ slot: the __init__ they were defined with, entered directly while it is theirs. (The
/// check after a change is a call of its own, which keeps this one free of a frame.)
int class_init(PyObject *self, PyObject *args, PyObject *kwargs) {
  const ClassEntry *e = current_entry(Py_TYPE(self));
  return e ? enter_init(*e, self, args, kwargs) : class_init_checked(self, args, kwargs);
}

#if NLSA_HAVE_TYPE_VECTORCALL
inline ClassEntry *direct_entry(PyTypeObject *type) {
  ClassEntry *e = current_entry(type);
  return e ? e : checked_entry(type);
}

/// The generic type call, as the interpreter makes it for a class without a vectorcall entry.
[[gnu::noinline]] PyObject *generic_class_call(PyObject *cls, PyObject *const *args, Py_ssize_t nargs,
                                               PyObject *kwnames) {
  Ref tuple = Ref::steal(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
  Ref kwargs;
  if (kwnames && PyTuple_GET_SIZE(kwnames)) {
    kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
      if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return nullptr;
    }
  }
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject *result = Py_TYPE(cls)->tp_call(cls, tuple.get(), kwargs.get());
  Py_LeaveRecursiveCall();
  if (!result && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
  }
  return result;
}

/// The classes' vectorcall entry: the instance from object's __new__, then the __init__ they were defined
/// with, handed the caller's arguments after the instance; the generic type call when anything differs.
PyObject *class_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
  PyTypeObject *type = reinterpret_cast<PyTypeObject *>(callable);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  PyObject *stack[kMaxParams + 3];  // the instance, then the arguments
  ClassEntry *e = direct_entry(type);
  if (!e || !e->plain_new || nargs + nkw >= static_cast<Py_ssize_t>(std::size(stack))) {
    return generic_class_call(callable, args, nargs, kwnames);
  }
  // As the generic call counts itself against the recursion limit, so does this one.
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  Ref init = Ref::borrow(e->init);  // the call may take it out of the class
  Ref self = Ref::steal(type->tp_new(type, g_no_args, nullptr));
  if (self) {
    stack[0] = self.get();
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i) stack[1 + i] = args[i];
    PyObject *result = reinterpret_cast<FunctionObject *>(init.get())
                           ->def->entry(init.get(), stack, static_cast<size_t>(nargs + 1), kwnames);
    if (init_result(result) < 0) self = Ref();
  }
  Py_LeaveRecursiveCall();
  return self.release();
}
#endif

}  // namespace

int install_class_call(PyObject *cls) noexcept {
  if (!g_init_name && !(g_init_name = PyUnicode_InternFromString("__init__"))) return -1;
  if (!g_no_args && !(g_no_args = PyTuple_New(0))) return -1;
  PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
  ClassEntry *free_entry = nullptr;
  for (ClassEntry &e : g_classes) {
    if (e.type == type) return 0;
    if (!e.type && !free_entry) free_entry = &e;
  }
  PyObject *init = internals::type_lookup(type, g_init_name);
  if (!free_entry || !init || Py_TYPE(init) != function_type() || type->tp_init == class_init) return 0;
  if (!g_generic_init) g_generic_init = type->tp_init;
  if (type->tp_init != g_generic_init) return 0;
  free_entry->type = type;
  free_entry->init = init;
  type->tp_init = class_init;
#if NLSA_HAVE_TYPE_VECTORCALL
  type->tp_vectorcall = class_vectorcall;
#endif
  return 0;
}

#else

int install_class_call(PyObject *) noexcept { return 0; }

#endif

#if NLSA_INSTANCE_ALLOC
namespace {

// 3.7 and 3.8, private API (_PyObject_GC_Malloc): an instance of one of the module's classes is allocated by a
// slot of the class's own, which does what the generic one (PyType_GenericAlloc) does for a class of this
// shape (no __slots__, a __dict__ and a __weakref__ slot, object as its base) without clearing the object by a
// call of memset of a size read from the class. Subclasses made by class statements get the generic slot from
// the interpreter, and no slot calls a base class's allocation. (The release stays the generic one: a
// subclass's release calls its nearest base's release when that is not the generic one, and leaves the dict
// and the weak references to it.)
// Gain on 3.7 (callgrind, instructions per call): DatabaseConnector(4 positional) 2733 instead of 2756.

/// The size of an instance: the object, then its dict and its weakref list.
constexpr Py_ssize_t kInstanceSize = sizeof(PyObject) + 2 * sizeof(PyObject *);

/// The classes' allocation: PyType_GenericAlloc's result. A class made from C inherits the slot when it does
/// not set its own (PyType_Ready copies it from the base), with a size and flags of its own: any class that is
/// not of the shape checked at installation gets the generic allocation. (For a class whose items have no
/// size, as these, the generic allocation ignores the item count.)
PyObject *instance_alloc(PyTypeObject *type, Py_ssize_t nitems) {
  constexpr unsigned long kFlags = Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_HAVE_GC;
  if (type->tp_basicsize != kInstanceSize || type->tp_itemsize != 0 || (type->tp_flags & kFlags) != kFlags) {
    return PyType_GenericAlloc(type, nitems);
  }
  PyObject *obj = internals::gc_malloc(kInstanceSize);  // sets MemoryError when it fails
  if (!obj) return nullptr;
  // The dict and weakref list start empty; the header is written next.
  reinterpret_cast<PyObject **>(obj + 1)[0] = nullptr;
  reinterpret_cast<PyObject **>(obj + 1)[1] = nullptr;
  compat::init_heap_object(obj, type);
  internals::gc_track(obj);
  return obj;
}

}  // namespace

void install_instance_alloc(PyObject *cls) noexcept {
  PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
  // The shape that the allocation above assumes, as `class C: ...` makes it.
  const bool plain = (type->tp_flags & Py_TPFLAGS_HEAPTYPE) && PyType_IS_GC(type) && Py_SIZE(type) == 0 &&
                     type->tp_base == &PyBaseObject_Type && type->tp_itemsize == 0 &&
                     type->tp_basicsize == kInstanceSize && type->tp_alloc == PyType_GenericAlloc;
  if (plain) type->tp_alloc = instance_alloc;
}

#else

void install_instance_alloc(PyObject *) noexcept {}

#endif

}  // namespace nlsqlagent::rt
