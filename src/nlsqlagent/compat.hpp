// Every difference between the supported CPython versions (3.7 to 3.13) lives here, and only here.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x03070000
#error "nlsqlagent needs CPython 3.7 or later"
#endif
#if PY_VERSION_HEX >= 0x030E0000
#error "nlsqlagent has not been ported to CPython 3.14 or later yet"
#endif

#include "ref.hpp"

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
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030D0000
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

#if PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030D0000
// The attribute lookup behind the interpreter's method-call bytecode: exported by every supported version,
// declared by the public headers of 3.9 to 3.12 only. Weak, so that an interpreter without it loads the
// module and the callers take the generic path.
extern "C" [[gnu::weak]] int _PyObject_GetMethod(PyObject *obj, PyObject *name, PyObject **method);
inline bool have_get_method() { return &_PyObject_GetMethod != nullptr; }
#else
inline bool have_get_method() { return true; }
#endif

/// `obj.<name>` as the method-call bytecode reads it: 1 with `*method` the unbound function to call with
/// `obj` first (no bound method is made), 0 with `*method` the attribute itself, -1 with an exception set.
/// New reference in `*method` unless -1.
inline int get_method(PyObject *obj, PyObject *name, PyObject **method) {
  if (have_get_method()) {
    *method = nullptr;  // left unset when the attribute is missing
    const int found = _PyObject_GetMethod(obj, name, method);
    return *method == nullptr ? -1 : found;
  }
  *method = PyObject_GetAttr(obj, name);
  return *method == nullptr ? -1 : 0;
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

/// The hash that `s` (an exact str) has already computed, or -1.
inline Py_hash_t cached_str_hash(PyObject *s) { return reinterpret_cast<PyASCIIObject *>(s)->hash; }

/// Version tag of a dict: changes whenever the dict changes. The field is deprecated from 3.12 on but still
/// maintained through 3.13; the pragma keeps -Werror builds quiet about it.
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

/// A code object for a native method: `argcount` positional parameters, `varnames` its local names (all of
/// them), no bytecode. Returns a new reference.
inline PyObject *new_code(int argcount, PyObject *varnames, PyObject *filename, PyObject *name,
                          PyObject *qualname, int firstlineno) {
  Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
  Ref empty_tuple = Ref::steal(PyTuple_New(0));
  if (!empty_bytes || !empty_tuple) return nullptr;
  const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
  const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
  PyObject *b = empty_bytes.get(), *t = empty_tuple.get();
#if PY_VERSION_HEX >= 0x030C0000
  return reinterpret_cast<PyObject *>(PyUnstable_Code_New(argcount, 0, nlocals, 0, flags, b, t, t, varnames, t,
                                                          t, filename, name, qualname, firstlineno, b, b));
#elif PY_VERSION_HEX >= 0x030B0000
  return reinterpret_cast<PyObject *>(PyCode_New(argcount, 0, nlocals, 0, flags, b, t, t, varnames, t, t,
                                                 filename, name, qualname, firstlineno, b, b));
#elif PY_VERSION_HEX >= 0x03080000
  (void)qualname;
  return reinterpret_cast<PyObject *>(PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, 0, flags, b, t, t,
                                                                varnames, t, t, filename, name, firstlineno, b));
#else
  (void)qualname;
  return reinterpret_cast<PyObject *>(
      PyCode_New(argcount, 0, nlocals, 0, flags, b, t, t, varnames, t, t, filename, name, firstlineno, b));
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
/// and back out when the clause ends.
class HandledException {
 public:
  /// Makes `exc` the exception being handled and sets the previous one aside.
  explicit HandledException(PyObject *exc) {
#if PY_VERSION_HEX >= 0x030B0000
    saved_ = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(exc);
#else
    PyErr_GetExcInfo(&type_, &value_, &tb_);
    PyErr_SetExcInfo(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc))), Py_NewRef(exc),
                     PyException_GetTraceback(exc));
#endif
  }
  /// The exception set aside is handled again.
  ~HandledException() {
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetHandledException(saved_.get());
#else
    PyErr_SetExcInfo(type_, value_, tb_);
#endif
  }
  HandledException(const HandledException &) = delete;
  HandledException &operator=(const HandledException &) = delete;

 private:
#if PY_VERSION_HEX >= 0x030B0000
  Ref saved_;
#else
  PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;  // owned; handed back in the destructor
#endif
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
  auto *entries = reinterpret_cast<internal::UnicodeEntry *>(keys->dk_indices +
                                                             (size_t{1} << keys->dk_log2_index_bytes));
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
