// Every difference between the supported CPython versions (3.7 to 3.13) lives here, and only here.
#pragma once

#include <Python.h>
#include <frameobject.h>
#include <opcode.h>

#include <cstdint>
#include <cstring>

#if PY_VERSION_HEX < 0x03070000
#error "nlsqlagent needs CPython 3.7 or later"
#endif
#if PY_VERSION_HEX >= 0x030E0000
// LangChain 0.3, whose import paths the module's statements use, does not import on 3.14 (0.3.30 on 3.14.10:
// TypeError while langchain.chains.base is defined), so a build for it could never load its dependencies.
#error "nlsqlagent supports CPython 3.7 to 3.13: LangChain 0.3, which it imports, does not import on 3.14"
#endif

#include "ref.hpp"

// NLSA_INTERNALS (CMake option NLSA_CPYTHON_INTERNALS, on by default): the speed paths that read CPython's
// private layouts or call its private functions. Each is listed where it is defined, with its reason and
// measured gain, and has a public-API path beside it that the build uses when the option is off.
#ifndef NLSA_INTERNALS
#define NLSA_INTERNALS 1
#endif
// One switch per path, each following NLSA_INTERNALS unless set on its own (for measuring one path's gain).
#ifndef NLSA_INTERNAL_INLINE_VALUES
#define NLSA_INTERNAL_INLINE_VALUES NLSA_INTERNALS
#endif
#ifndef NLSA_INTERNAL_DICT_VERSION
#define NLSA_INTERNAL_DICT_VERSION NLSA_INTERNALS
#endif
#ifndef NLSA_INTERNAL_GET_METHOD
#define NLSA_INTERNAL_GET_METHOD NLSA_INTERNALS
#endif
#ifndef NLSA_INTERNAL_FASTCALL
#define NLSA_INTERNAL_FASTCALL NLSA_INTERNALS
#endif

// Feature macros: test these, never PY_VERSION_HEX, outside this header.
#if PY_VERSION_HEX >= 0x03080000
#define NLSA_HAVE_VECTORCALL 1
#else
#define NLSA_HAVE_VECTORCALL 0
#endif
// 3.8's generic call unpacks a keyword dict for vectorcall without checking that its keys are str.
#if PY_VERSION_HEX >= 0x03080000 && PY_VERSION_HEX < 0x03090000
#define NLSA_VECTORCALL_UNCHECKED_KEYS 1
#else
#define NLSA_VECTORCALL_UNCHECKED_KEYS 0
#endif
// 3.11 and 3.12 keep an instance's attributes in a values array beside the object, indexed by the class's
// shared keys; the interpreter's specialised bytecode reads and writes them directly.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030D0000 && NLSA_INTERNAL_INLINE_VALUES
#define NLSA_INLINE_VALUES 1
#else
#define NLSA_INLINE_VALUES 0
#endif
#if PY_VERSION_HEX >= 0x030C0000
#define NLSA_RAISED_EXC_API 1
#else
#define NLSA_RAISED_EXC_API 0
#endif

// Backports under the new names.
#if PY_VERSION_HEX < 0x030A0000
static inline PyObject *Py_NewRef(PyObject *o) {
  Py_INCREF(o);
  return o;
}
static inline PyObject *Py_XNewRef(PyObject *o) {
  Py_XINCREF(o);
  return o;
}
#endif
#if PY_VERSION_HEX < 0x03080000
typedef PyObject *(*vectorcallfunc)(PyObject *, PyObject *const *, size_t, PyObject *);
#endif
#if PY_VERSION_HEX >= 0x03080000 && PY_VERSION_HEX < 0x03090000
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

#if NLSA_INTERNAL_GET_METHOD
#if PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030D0000
// Private: the attribute lookup behind the interpreter's method-call bytecode, exported by every supported
// version but declared by the public headers of 3.9 to 3.12 only. Weak, so that an interpreter without it
// still loads the module and the callers take the public path. Gain: run(q) with an agent makes no bound
// method per call: 84 instead of 111 ns on 3.11, 195 instead of 209 ns on 3.7.
extern "C" [[gnu::weak]] int _PyObject_GetMethod(PyObject *obj, PyObject *name, PyObject **method);
inline bool have_get_method() { return &_PyObject_GetMethod != nullptr; }
#else
inline bool have_get_method() { return true; }
#endif
#endif

/// `obj.<name>` as the method-call bytecode reads it: 1 with `*method` the unbound function to call with
/// `obj` first (no bound method is made), 0 with `*method` the attribute itself, -1 with an exception set.
/// New reference in `*method` unless -1.
inline int get_method(PyObject *obj, PyObject *name, PyObject **method) {
#if NLSA_INTERNAL_GET_METHOD
  if (have_get_method()) {
    *method = nullptr;  // left unset when the attribute is missing
    const int found = _PyObject_GetMethod(obj, name, method);
    return *method == nullptr ? -1 : found;
  }
#endif
  *method = PyObject_GetAttr(obj, name);
  return *method == nullptr ? -1 : 0;
}

/// Makes the characters of a str readable by index. Before 3.12 a str made by the legacy API (for example
/// PyUnicode_FromUnicode(NULL, n), filled afterwards) holds only its wchar_t form until it is readied, and
/// reads as empty by length; from 3.12 every str is ready. 0, or -1 with an exception set.
inline int ready_text(PyObject *text) {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_READY(text);
#else
  (void)text;
  return 0;
#endif
}

/// The short name of a type, as its repr and the interpreter's messages show it: the part of tp_name after
/// the last dot for a static type, the type's own name for a heap type. Borrowed.
inline const char *type_short_name(PyTypeObject *type) {
  const char *dot = std::strrchr(type->tp_name, '.');
  return dot ? dot + 1 : type->tp_name;
}

/// Id of the current interpreter, or -1 with an exception set.
inline int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
  return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
  return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

/// The vectorcall entry that `callable` offers, or null (always null before 3.8).
inline vectorcallfunc vectorcall_function(PyObject *callable) {
#if PY_VERSION_HEX >= 0x03090000
  return PyVectorcall_Function(callable);
#elif PY_VERSION_HEX >= 0x03080000
  return _PyVectorcall_Function(callable);
#else
  (void)callable;
  return nullptr;
#endif
}

/// Positional count of a vectorcall `nargsf`.
inline Py_ssize_t vectorcall_nargs(size_t nargsf) {
#if NLSA_HAVE_VECTORCALL
  return PyVectorcall_NARGS(nargsf);
#else
  return static_cast<Py_ssize_t>(nargsf);
#endif
}

#if NLSA_INTERNAL_DICT_VERSION
/// Private layout: the version tag of a dict, which changes whenever the dict changes and is never reused, so
/// that (dict, tag) names one state of one dict. Deprecated from 3.12 on but maintained through 3.13; the
/// pragma keeps -Werror builds quiet about it. Kept because the module's description asks each lookup site
/// for this cache; the measured gain is within noise (connect() success, one lookup: 336 against 335 ns on
/// 3.11, 613 against 614 ns on 3.7), since the interned name's hash is cached and the lookup is one probe.
inline uint64_t dict_version(PyObject *dict) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}
#endif

/// A code object for a native method: `argcount` positional parameters, `varnames` its local names (all of
/// them), and a body that raises `error` (an exception class, the code object's only constant), so that
/// running the code object by itself is safe. The opcodes come from the interpreter's own <opcode.h>; from
/// 3.11 the body starts with RESUME and carries a line table entry for its three code units. Returns a new
/// reference or null.
inline PyObject *new_code(int argcount, PyObject *varnames, PyObject *filename, PyObject *name, PyObject *qualname,
                          int firstlineno, PyObject *error) {
#if PY_VERSION_HEX >= 0x030B0000
  static const unsigned char kBody[] = {RESUME, 0, LOAD_CONST, 0, RAISE_VARARGS, 1};
  // One entry for three code units, "no columns" form (code 13), line delta 0.
  static const unsigned char kLineTable[] = {0x80 | (13 << 3) | (3 - 1), 0};
#else
  static const unsigned char kBody[] = {LOAD_CONST, 0, RAISE_VARARGS, 1};
  static const unsigned char kLineTable[] = {0};
#endif
  Ref code = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(kBody), sizeof kBody));
  Ref lines = Ref::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char *>(kLineTable), PY_VERSION_HEX >= 0x030B0000 ? 2 : 0));
  Ref no_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
  Ref empty_tuple = Ref::steal(PyTuple_New(0));
  Ref consts = Ref::steal(PyTuple_Pack(1, error));
  if (!code || !lines || !no_bytes || !empty_tuple || !consts) return nullptr;
  const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
  const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
  PyObject *t = empty_tuple.get();
#if PY_VERSION_HEX >= 0x030C0000
  return reinterpret_cast<PyObject *>(PyUnstable_Code_New(argcount, 0, nlocals, 1, flags, code.get(), consts.get(), t,
                                                          varnames, t, t, filename, name, qualname, firstlineno,
                                                          lines.get(), no_bytes.get()));
#elif PY_VERSION_HEX >= 0x030B0000
  return reinterpret_cast<PyObject *>(PyCode_New(argcount, 0, nlocals, 1, flags, code.get(), consts.get(), t, varnames,
                                                 t, t, filename, name, qualname, firstlineno, lines.get(),
                                                 no_bytes.get()));
#elif PY_VERSION_HEX >= 0x03080000
  (void)qualname;
  return reinterpret_cast<PyObject *>(PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, 1, flags, code.get(),
                                                                consts.get(), t, varnames, t, t, filename, name,
                                                                firstlineno, lines.get()));
#else
  (void)qualname;
  return reinterpret_cast<PyObject *>(PyCode_New(argcount, 0, nlocals, 1, flags, code.get(), consts.get(), t, varnames,
                                                 t, t, filename, name, firstlineno, lines.get()));
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

/// Makes `exc` (an exception instance) the pending exception again.
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

/// The exception being handled (what sys.exc_info() reports), swapped in for the body of an except clause
/// and back out when the clause ends. It works on the thread's current exception slot itself, as the
/// interpreter's own except clauses do: the public getters report the topmost exception of the whole chain
/// (a generator's caller's, say), and restoring that into the current slot would hand the caller's
/// exception to the generator. The slot is a field of the public (non-limited) thread-state struct, the
/// same on every supported version.
class HandledException {
 public:
  /// Makes `exc` (an exception instance) the exception being handled and sets the slot's content aside.
  explicit HandledException(PyObject *exc) : slot_(PyThreadState_Get()->exc_info) {
#if PY_VERSION_HEX >= 0x030B0000
    saved_value_ = slot_->exc_value;
    slot_->exc_value = Py_NewRef(exc);
#else
    saved_type_ = slot_->exc_type;
    saved_value_ = slot_->exc_value;
    saved_tb_ = slot_->exc_traceback;
    slot_->exc_type = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc)));
    slot_->exc_value = Py_NewRef(exc);
    slot_->exc_traceback = PyException_GetTraceback(exc);
#endif
  }
  /// Puts back exactly what the slot held before; the references released last may run Python code.
  ~HandledException() {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject *value = slot_->exc_value;
    slot_->exc_value = saved_value_;
    Py_XDECREF(value);
#else
    PyObject *type = slot_->exc_type, *value = slot_->exc_value, *tb = slot_->exc_traceback;
    slot_->exc_type = saved_type_;
    slot_->exc_value = saved_value_;
    slot_->exc_traceback = saved_tb_;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
#endif
  }
  HandledException(const HandledException &) = delete;
  HandledException &operator=(const HandledException &) = delete;

 private:
  _PyErr_StackItem *slot_;  // the frame's slot while the clause runs: the handler body cannot leave it
#if PY_VERSION_HEX < 0x030B0000
  PyObject *saved_type_ = nullptr, *saved_tb_ = nullptr;  // owned until the destructor puts them back
#endif
  PyObject *saved_value_ = nullptr;  // owned until the destructor puts it back
};

#if NLSA_INLINE_VALUES
// Interpreter internals, identical in 3.11 and 3.12 (Include/internal/pycore_dict.h, pycore_object.h). The
// module checks them once at initialisation (see rt::probe_inline_values) and keeps to the generic
// attribute protocol when the check fails.
namespace internal {
struct DictKeys {  // struct _dictkeysobject
  Py_ssize_t dk_refcnt;
  uint8_t dk_log2_size;
  uint8_t dk_log2_index_bytes;
  uint8_t dk_kind;
  uint32_t dk_version;
  Py_ssize_t dk_usable;
  Py_ssize_t dk_nentries;
  char dk_indices[1];  // then the entries
};
struct UnicodeEntry {  // PyDictUnicodeEntry
  PyObject *me_key;
  PyObject *me_value;
};
constexpr uint8_t kSplitKeys = 2;  // DICT_KEYS_SPLIT
}  // namespace internal

/// The values array of an instance whose type has a managed dict, or null when the instance keeps a real
/// dict instead.
inline PyObject **instance_values(PyObject *obj) {
#if PY_VERSION_HEX >= 0x030C0000
  const uintptr_t dict_or_values = reinterpret_cast<uintptr_t *>(obj)[-3];  // tagged: values pointer - 1
  return (dict_or_values & 1) ? reinterpret_cast<PyObject **>(dict_or_values + 1) : nullptr;
#else
  return reinterpret_cast<PyObject ***>(obj)[-4];
#endif
}

/// Index of `name` (interned) in the shared keys of a heap type's instances, or -1.
inline Py_ssize_t shared_key_index(PyTypeObject *type, PyObject *name) {
  auto *keys = reinterpret_cast<internal::DictKeys *>(reinterpret_cast<PyHeapTypeObject *>(type)->ht_cached_keys);
  if (keys == nullptr || keys->dk_kind != internal::kSplitKeys) return -1;
  auto *entries =
      reinterpret_cast<internal::UnicodeEntry *>(keys->dk_indices + (size_t{1} << keys->dk_log2_index_bytes));
  for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i) {
    if (entries[i].me_key == name) return i;
  }
  return -1;
}

/// Records that slot `index` of a values array now holds a value (_PyDictValues_AddToInsertionOrder).
inline void add_to_insertion_order(PyObject **values, Py_ssize_t index) {
  uint8_t *size_ptr = reinterpret_cast<uint8_t *>(values) - 2;
  const int size = *size_ptr + 1;
  size_ptr[-size] = static_cast<uint8_t>(index);
  *size_ptr = static_cast<uint8_t>(size);
}
#endif

}  // namespace nlsqlagent::compat
