// Every difference between the supported CPython versions (3.7 to 3.15) lives here, and only version shims do:
// the named version splits, the feature macros that the other files test, backports under their new names,
// and small wrappers over API whose form changed.
#pragma once

#include <Python.h>

#include <cstdint>

#include "ref.hpp"

#if PY_VERSION_HEX < 0x03070000
#error "nlsqlagent needs CPython 3.7 or later"
#endif
#if PY_VERSION_HEX >= 0x03100000
// Each interpreter version changes private layouts that the speed paths read (internals.hpp) and API that the
// shims below wrap; a version that no build has been tested on could load and then misbehave.
#error "nlsqlagent supports CPython 3.7 to 3.15, the versions it is tested on; this is a newer one"
#endif

// The version splits, named once: NLSA_SINCE_3_x is 1 on CPython 3.x and later.
#define NLSA_SINCE_3_8 (PY_VERSION_HEX >= 0x03080000)
#define NLSA_SINCE_3_9 (PY_VERSION_HEX >= 0x03090000)
#define NLSA_SINCE_3_10 (PY_VERSION_HEX >= 0x030A0000)
#define NLSA_SINCE_3_11 (PY_VERSION_HEX >= 0x030B0000)
#define NLSA_SINCE_3_12 (PY_VERSION_HEX >= 0x030C0000)
#define NLSA_SINCE_3_13 (PY_VERSION_HEX >= 0x030D0000)
#define NLSA_SINCE_3_14 (PY_VERSION_HEX >= 0x030E0000)
#define NLSA_SINCE_3_15 (PY_VERSION_HEX >= 0x030F0000)

// Feature macros: the other files test these, never a version.
// Calls in vectorcall form, and the method-descriptor flag.
#define NLSA_HAVE_VECTORCALL NLSA_SINCE_3_8
// 3.8's generic call unpacks a keyword dict for vectorcall without checking that its keys are str.
#define NLSA_VECTORCALL_UNCHECKED_KEYS (NLSA_SINCE_3_8 && !NLSA_SINCE_3_9)
// The pending exception is one object (PyErr_GetRaisedException), not a type, value and traceback.
#define NLSA_RAISED_EXC_API NLSA_SINCE_3_12
// The exception being handled is kept as one object in the thread's exception slot, not as three.
#define NLSA_HANDLED_EXC_VALUE_ONLY NLSA_SINCE_3_11
// Code objects start with RESUME and carry their line table in the 3.11 location format.
#define NLSA_CODE_RESUME NLSA_SINCE_3_11
// RESUME is followed by one inline cache entry (a CACHE code unit) from 3.15; before, by none.
#define NLSA_RESUME_CACHE_ENTRIES (NLSA_SINCE_3_15 ? 1 : 0)
// 3.11 and 3.12 keep an instance's attributes in a values array beside the object (see internals.hpp);
// 3.12 reaches it through a tagged pointer before the object, 3.11 through a plain one.
#define NLSA_HAVE_INLINE_VALUES (NLSA_SINCE_3_11 && !NLSA_SINCE_3_13)
#define NLSA_TAGGED_VALUES_POINTER NLSA_SINCE_3_12
// Before 3.11 an instance's attributes live in a dict at the type's tp_dictoffset, made on the first store;
// the store into it, _PyObjectDict_SetItem, is exported by 3.7 and 3.8 only (3.9 and 3.10 hide it, and a
// module that names it does not load there), so the direct path is theirs.
#define NLSA_HAVE_OFFSET_DICT (!NLSA_SINCE_3_9)
// 3.7 and 3.8: the generic allocation of an instance of a plain class (PyType_GenericAlloc), whose work the
// module's classes repeat in a slot of their own (_PyObject_GC_Malloc, which 3.11 removed, is exported).
#define NLSA_HAVE_PLAIN_INSTANCE_ALLOC (!NLSA_SINCE_3_9)
// 3.7: PyDict_New takes the keys table of a new dict from a free list of tables of the smallest size, while
// PyDict_Copy allocates the copy's table anew (from 3.8, PyDict_New shares one empty table).
#define NLSA_HAVE_FREE_LISTED_NEW_DICT_KEYS (!NLSA_SINCE_3_8)
// 3.7: the public headers lay out the collector's header (PyGC_Head, with gc_refs beside the links) and define
// the tracking steps; from 3.8 both are private and the layout differs.
#define NLSA_HAVE_PUBLIC_GC_HEAD (!NLSA_SINCE_3_8)
// A class object's own vectorcall entry (tp_vectorcall) is used for calls of the class from 3.9 on.
#define NLSA_HAVE_TYPE_VECTORCALL NLSA_SINCE_3_9
// The public headers declare _PyObject_GetMethod (3.9 to 3.12); the others export it undeclared.
#define NLSA_GET_METHOD_DECLARED (NLSA_SINCE_3_9 && !NLSA_SINCE_3_13)
// Dicts carry a version tag (ma_version_tag), which 3.14 removed.
#define NLSA_HAVE_DICT_VERSION (!NLSA_SINCE_3_14)
// From 3.14 the interpreter measures the C stack itself: its own checks raise RecursionError below a line two
// margins of 2048 pointers above the stack's end (32 KiB on 64-bit builds). Room kept for a refused caller to
// handle the error lies above that line, or the handler's first check fails again; one margin more, since a
// handler that formats and logs the error in a 256 KiB thread was refused on 3.15 with only the 32 KiB of
// room above it ("maximum recursion depth exceeded while checking exception tuple", in linecache).
#if NLSA_SINCE_3_14
#define NLSA_INTERPRETER_STACK_RESERVE (3 * 2048 * sizeof(void *))
#else
#define NLSA_INTERPRETER_STACK_RESERVE 0
#endif
// The LangChain lines that install and import here: 0.3 on 3.9 to 3.13 (on 3.14 it fails while its chains
// are defined), 1.x (langchain-classic) from 3.10. The import failure's advice names them.
#define NLSA_LANGCHAIN_03_IMPORTS (NLSA_SINCE_3_9 && !NLSA_SINCE_3_14)
#define NLSA_LANGCHAIN_1X_IMPORTS NLSA_SINCE_3_10
// "3.11": the version built for, as text.
#define NLSA_STRINGIFY_(x) #x
#define NLSA_STRINGIFY(x) NLSA_STRINGIFY_(x)
#define NLSA_VERSION_TEXT NLSA_STRINGIFY(PY_MAJOR_VERSION) "." NLSA_STRINGIFY(PY_MINOR_VERSION)

// Backports under the new names.
#if !NLSA_SINCE_3_10
static inline PyObject *Py_NewRef(PyObject *o) {
  Py_INCREF(o);
  return o;
}
static inline PyObject *Py_XNewRef(PyObject *o) {
  Py_XINCREF(o);
  return o;
}
#endif
#if !NLSA_HAVE_VECTORCALL
typedef PyObject *(*vectorcallfunc)(PyObject *, PyObject *const *, size_t, PyObject *);
#endif
#if NLSA_SINCE_3_8 && !NLSA_SINCE_3_9
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

namespace nlsqlagent::compat {

/// The compile-time major and minor version that the version check compares with; tests may set
/// NLSA_TEST_BUILD_VERSION (e.g. 0x0309) to pretend another one.
#ifdef NLSA_TEST_BUILD_VERSION
constexpr int kBuildMajor = (NLSA_TEST_BUILD_VERSION >> 8) & 0xff;
constexpr int kBuildMinor = NLSA_TEST_BUILD_VERSION & 0xff;
#else
constexpr int kBuildMajor = PY_MAJOR_VERSION;
constexpr int kBuildMinor = PY_MINOR_VERSION;
#endif

/// Makes the characters of a str readable by index. Before 3.12 a str made by the legacy API (for example
/// PyUnicode_FromUnicode(NULL, n), filled afterwards) holds only its wchar_t form until it is readied, and
/// reads as empty by length; from 3.12 every str is ready. 0, or -1 with an exception set.
inline int ready_text(PyObject *text) {
#if NLSA_SINCE_3_12
  (void)text;
  return 0;
#else
  return PyUnicode_READY(text);
#endif
}

/// Id of the current interpreter, or -1 with an exception set.
inline int64_t current_interpreter_id() {
#if NLSA_SINCE_3_9
  return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
  return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

/// The vectorcall entry that `callable` offers, or null (always null before 3.8).
inline vectorcallfunc vectorcall_function(PyObject *callable) {
#if NLSA_SINCE_3_9
  return PyVectorcall_Function(callable);
#elif NLSA_SINCE_3_8
  return _PyVectorcall_Function(callable);
#else
  (void)callable;
  return nullptr;
#endif
}

/// PyObject_INIT of a new object of the heap type `type`, which holds a reference to its class: from 3.8
/// PyObject_INIT takes it itself, 3.7 leaves it to the caller.
inline void init_heap_object(PyObject *obj, PyTypeObject *type) {
#if !NLSA_SINCE_3_8
  Py_INCREF(type);
#endif
  PyObject_INIT(obj, type);
}

/// Positional count of a vectorcall `nargsf`.
inline Py_ssize_t vectorcall_nargs(size_t nargsf) {
#if NLSA_HAVE_VECTORCALL
  return PyVectorcall_NARGS(nargsf);
#else
  return static_cast<Py_ssize_t>(nargsf);
#endif
}

/// The fields of a code object that the module's code objects set; the rest are empty.
struct CodeFields {
  int argcount;
  PyObject *code;      // bytes: the body
  PyObject *consts;    // tuple
  PyObject *varnames;  // tuple of the local names (all of them)
  PyObject *filename;  // str
  PyObject *name;      // str
  PyObject *qualname;  // str (kept by the code object from 3.11)
  int firstlineno;
  PyObject *linetable;  // bytes, in the version's line table format
};

/// A code object of the fields given, no free or cell variables, no keyword-only or positional-only
/// parameters, flags CO_OPTIMIZED | CO_NEWLOCALS, stack size 1. Returns a new reference or null.
inline PyObject *new_code(const CodeFields &c) {
  Ref no_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
  Ref empty = Ref::steal(PyTuple_New(0));
  if (!no_bytes || !empty) return nullptr;
  const int nlocals = static_cast<int>(PyTuple_GET_SIZE(c.varnames));
  const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
  PyObject *t = empty.get();
#if NLSA_SINCE_3_12
  return reinterpret_cast<PyObject *>(PyUnstable_Code_New(c.argcount, 0, nlocals, 1, flags, c.code, c.consts, t,
                                                          c.varnames, t, t, c.filename, c.name, c.qualname,
                                                          c.firstlineno, c.linetable, no_bytes.get()));
#elif NLSA_SINCE_3_11
  return reinterpret_cast<PyObject *>(PyCode_New(c.argcount, 0, nlocals, 1, flags, c.code, c.consts, t, c.varnames, t,
                                                 t, c.filename, c.name, c.qualname, c.firstlineno, c.linetable,
                                                 no_bytes.get()));
#elif NLSA_SINCE_3_8
  return reinterpret_cast<PyObject *>(PyCode_NewWithPosOnlyArgs(c.argcount, 0, 0, nlocals, 1, flags, c.code, c.consts,
                                                                t, c.varnames, t, t, c.filename, c.name, c.firstlineno,
                                                                c.linetable));
#else
  return reinterpret_cast<PyObject *>(PyCode_New(c.argcount, 0, nlocals, 1, flags, c.code, c.consts, t, c.varnames, t,
                                                 t, c.filename, c.name, c.firstlineno, c.linetable));
#endif
}

/// Takes the pending exception out of the thread state, normalised to an instance whose __traceback__ is
/// set. Returns a new reference; null when nothing is pending.
inline Ref take_pending_exception() {
#if NLSA_RAISED_EXC_API
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return Ref();
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
#endif
}

/// Makes `exc` (an exception instance) the pending exception, replacing any; does nothing when `exc` is null.
inline void restore_pending_exception(Ref exc) {
  if (!exc) return;
#if NLSA_RAISED_EXC_API
  PyErr_SetRaisedException(exc.release());
#else
  PyObject *value = exc.release();
  PyObject *type = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(value)));
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace nlsqlagent::compat
