// CPython's private layouts and private functions that the runtime uses: included only by the files that
// use them. Each speed path has its own switch and a public-API path beside it; the exception slot of the
// thread state has no public equivalent.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../compat.hpp"

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
#define NLSA_INTERNAL_DICT_VERSION (NLSA_INTERNALS && NLSA_HAVE_DICT_VERSION)
#endif
#ifndef NLSA_INTERNAL_GET_METHOD
#define NLSA_INTERNAL_GET_METHOD NLSA_INTERNALS
#endif
#ifndef NLSA_INTERNAL_FASTCALL
#define NLSA_INTERNAL_FASTCALL NLSA_INTERNALS
#endif
#ifndef NLSA_INTERNAL_OFFSET_DICT
#define NLSA_INTERNAL_OFFSET_DICT NLSA_INTERNALS
#endif
#ifndef NLSA_INTERNAL_CLASS_CALL
#define NLSA_INTERNAL_CLASS_CALL NLSA_INTERNALS
#endif
#ifndef NLSA_INTERNAL_INSTANCE_ALLOC
#define NLSA_INTERNAL_INSTANCE_ALLOC NLSA_INTERNALS
#endif
#ifndef NLSA_INTERNAL_SMALL_DICT_COPY
#define NLSA_INTERNAL_SMALL_DICT_COPY NLSA_INTERNALS
#endif
#ifndef NLSA_INTERNAL_GC_TRACK
#define NLSA_INTERNAL_GC_TRACK NLSA_INTERNALS
#endif

// The instance values array of 3.11 and 3.12, read and written directly.
#define NLSA_INLINE_VALUES (NLSA_HAVE_INLINE_VALUES && NLSA_INTERNAL_INLINE_VALUES)
// 3.7's private calls of Python functions and builtins without an argument tuple.
#define NLSA_FASTCALL_37 (!NLSA_HAVE_VECTORCALL && NLSA_INTERNAL_FASTCALL)
// Before 3.11: instance attributes read and written in the instance dict without the generic protocol.
#define NLSA_OFFSET_DICT (NLSA_HAVE_OFFSET_DICT && NLSA_INTERNAL_OFFSET_DICT)
// Calls of the module's classes that enter their own __init__ directly (construction.cpp).
#define NLSA_CLASS_CALL NLSA_INTERNAL_CLASS_CALL
// 3.7 and 3.8: instances of the module's classes allocated by a slot of their own (construction.cpp).
#define NLSA_INSTANCE_ALLOC (NLSA_HAVE_PLAIN_INSTANCE_ALLOC && NLSA_INTERNAL_INSTANCE_ALLOC)
// 3.7: a small dict copied into the keys table of a new dict (attributes.cpp, copy_small_dict).
// It writes the keys table whose layout the instance-dict path declares below.
#define NLSA_SMALL_DICT_COPY (NLSA_HAVE_FREE_LISTED_NEW_DICT_KEYS && NLSA_OFFSET_DICT && NLSA_INTERNAL_SMALL_DICT_COPY)
// 3.7: new objects linked into the collector's youngest generation inline, and the instances of the module's
// classes counted in it inline (gc_track and gc_malloc, below).
#define NLSA_INLINE_GC_TRACK (NLSA_HAVE_PUBLIC_GC_HEAD && NLSA_INTERNAL_GC_TRACK)

namespace nlsqlagent::internals {

#if NLSA_INTERNAL_GET_METHOD
#if !NLSA_GET_METHOD_DECLARED
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

#if NLSA_OFFSET_DICT || NLSA_CLASS_CALL || NLSA_INLINE_VALUES
/// Private: `name` (interned) looked up through the type's MRO without calling anything, as the generic
/// attribute protocol does; borrowed or null. It also gives the type a valid version tag where it can.
inline PyObject *type_lookup(PyTypeObject *type, PyObject *name) { return _PyType_Lookup(type, name); }

/// Whether `type` still has the version tag `tag` (0 never matches): then neither the type nor any of its
/// bases has changed since the tag was read. Before 3.12 a change clears the validity flag and leaves the
/// tag; from 3.12 it zeroes the tag.
inline bool type_version_is(const PyTypeObject *type, unsigned int tag) {
  return tag != 0 && type->tp_version_tag == tag
#ifdef Py_TPFLAGS_VALID_VERSION_TAG
         && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)
#endif
      ;
}
#endif

#if NLSA_OFFSET_DICT
/// Whether `dict` (a dict) keeps a split table: then its keys are the class's shared keys, all exact interned
/// str, and a lookup by an interned str compares nothing and cannot fail.
inline bool is_split_dict(PyObject *dict) { return reinterpret_cast<PyDictObject *>(dict)->ma_values != nullptr; }

/// Private: the generic protocol's store into an instance dict (made with the class's shared keys on the
/// first store), with its upkeep of those shared keys. 0 or -1.
inline int object_dict_set(PyTypeObject *type, PyObject **dictptr, PyObject *name, PyObject *value) {
  return _PyObjectDict_SetItem(type, dictptr, name, value);
}

// Interpreter internals, identical in 3.7 and 3.8 (Objects/dict-common.h): a split table's keys, whose
// values the dict keeps in an array of its own, in the order the keys were added. The module checks them once
// at initialisation (see rt::probe_layouts) and keeps to the generic store when the check fails.
struct SplitKeys {  // struct _dictkeysobject
  Py_ssize_t dk_refcnt;
  Py_ssize_t dk_size;
  void *dk_lookup;
  Py_ssize_t dk_usable;
  Py_ssize_t dk_nentries;
  char dk_indices[1];  // dk_size indices of 1, 2, 4 or 8 bytes, then the entries
};
struct SplitEntry {  // PyDictKeyEntry
  Py_hash_t me_hash;
  PyObject *me_key;
  PyObject *me_value;  // unused in a split table
};

/// The keys of the split dict `dict` (null when it keeps a combined table), `*count` of them.
inline const SplitEntry *split_entries(PyObject *dict, Py_ssize_t *count) {
  auto *d = reinterpret_cast<PyDictObject *>(dict);
  if (d->ma_values == nullptr) return nullptr;
  auto *keys = reinterpret_cast<const SplitKeys *>(d->ma_keys);
  const Py_ssize_t size = keys->dk_size;
  const Py_ssize_t index_bytes = size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffffLL ? 4 : 8;
  *count = keys->dk_nentries;
  return reinterpret_cast<const SplitEntry *>(keys->dk_indices + size * index_bytes);
}

/// The index of `name` (interned) among the keys of the split dict `dict`, or -1.
inline Py_ssize_t split_index(PyObject *dict, PyObject *name) {
  Py_ssize_t count = 0;
  const SplitEntry *keys = split_entries(dict, &count);
  for (Py_ssize_t i = 0; keys && i < count; ++i) {
    if (keys[i].me_key == name) return i;
  }
  return -1;
}

/// The value of `name` (interned) in the dict `dict` when it is a split one whose key at `index` is `name`;
/// else null. A split table's keys are only ever added to, each at the next index, so the key found there
/// names the value at the same index of the dict's values array.
inline PyObject *split_value(PyObject *dict, PyObject *name, Py_ssize_t index) {
  Py_ssize_t count = 0;
  const SplitEntry *keys = split_entries(dict, &count);
  if (!keys || index < 0 || index >= count || keys[index].me_key != name) return nullptr;
  return reinterpret_cast<PyDictObject *>(dict)->ma_values[index];
}

/// Whether `obj` (any object) is or may become tracked by the garbage collector, as a dict store asks of the
/// values it takes (_PyObject_GC_MAY_BE_TRACKED).
inline bool gc_may_be_tracked(PyObject *obj) {
  return PyObject_IS_GC(obj) && (!PyTuple_CheckExact(obj) || _PyObject_GC_IS_TRACKED(obj));
}
#endif

#if NLSA_INLINE_GC_TRACK
// 3.7, public layout of the collector's header (objimpl.h), private address: PyObject_GC_Track is the
// header's own _PyObject_GC_TRACK, which links the object at the end of the youngest generation's list, whose
// head the header names but the interpreter does not export. The head is read once, at initialisation, from
// an object just tracked (rt::probe_layouts): the interpreter links it before that head, which stays where it
// is for the process's life (3.7 keeps one collector for all its interpreters). Null until then, and when the
// probe finds anything else: then the exported function is called.
// Gain on 3.7 (callgrind, instructions per call): DatabaseConnector() 20 fewer (the instance and its dict),
// AgentRunner(llm, toolkit) 18 fewer.
inline PyGC_Head *g_gc_head = nullptr;

/// PyObject_GC_Track(obj) for an object that is not tracked.
inline void gc_track(PyObject *obj) {
  PyGC_Head *head = g_gc_head;
  if (head == nullptr) {
    PyObject_GC_Track(obj);
    return;
  }
  PyGC_Head *g = _Py_AS_GC(obj);
  _PyGCHead_SET_REFS(g, _PyGC_REFS_REACHABLE);
  g->gc.gc_next = head;
  g->gc.gc_prev = head->gc.gc_prev;
  g->gc.gc_prev->gc.gc_next = g;
  head->gc.gc_prev = g;
}

// 3.7, private layout: the youngest generation's threshold and count, the two ints that follow its head
// (struct gc_generation). Read with the head by rt::probe_layouts, and checked there against what the gc
// module reports and against the count's move when an object is made; null when anything differs.
// Gain on 3.7 (callgrind, instructions per call): DatabaseConnector() 32 fewer (the instance).
inline int *g_gc_young = nullptr;  // [0]: threshold, [1]: count

/// _PyObject_GC_Malloc(size). An allocation that counts the youngest generation past its threshold may start a
/// collection, which is the interpreter's own to run: that one, and any while the layout is not the checked
/// one, is the exported function's.
inline PyObject *gc_malloc(size_t size) {
  int *young = g_gc_young;
  if (young == nullptr || young[1] >= young[0]) return _PyObject_GC_Malloc(size);
  auto *g = static_cast<PyGC_Head *>(PyObject_Malloc(sizeof(PyGC_Head) + size));
  if (g == nullptr) return PyErr_NoMemory();
  g->gc.gc_refs = 0;
  _PyGCHead_SET_REFS(g, _PyGC_REFS_UNTRACKED);
  ++young[1];
  return reinterpret_cast<PyObject *>(g + 1);
}
#else
inline void gc_track(PyObject *obj) { PyObject_GC_Track(obj); }
#if NLSA_INSTANCE_ALLOC
inline PyObject *gc_malloc(size_t size) { return _PyObject_GC_Malloc(size); }
#endif
#endif

#if NLSA_INTERNAL_DICT_VERSION
/// Private layout: the version tag of a dict, which changes whenever the dict changes and is never reused, so
/// that (dict, tag) names one state of one dict. Deprecated from 3.12 on, maintained through 3.13, gone in
/// 3.14 (there every lookup takes the public path, as with the internals off); the
/// pragma keeps -Werror builds quiet about it. Kept because each lookup site of a module-global name caches
/// its result by this tag; the measured gain is within noise (connect() success, one lookup: 336 against
/// 335 ns on 3.11, 613 against 614 ns on 3.7), since the interned name's hash is cached and the lookup is
/// one probe.
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

/// The exception being handled (what sys.exc_info() reports), swapped in for the body of an except clause
/// and back out when the clause ends. It works on the thread's current exception slot itself, as the
/// interpreter's own except clauses do: the public getters report the topmost exception of the whole chain
/// (a generator's caller's, say), and restoring that into the current slot would hand the caller's
/// exception to the generator. The slot is a field of the public (non-limited) thread-state struct.
class HandledException {
 public:
  /// Makes `exc` (an exception instance) the exception being handled and sets the slot's content aside.
  explicit HandledException(PyObject *exc) : slot_(PyThreadState_Get()->exc_info) {
#if NLSA_HANDLED_EXC_VALUE_ONLY
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
#if NLSA_HANDLED_EXC_VALUE_ONLY
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
#if !NLSA_HANDLED_EXC_VALUE_ONLY
  PyObject *saved_type_ = nullptr, *saved_tb_ = nullptr;  // owned until the destructor puts them back
#endif
  PyObject *saved_value_ = nullptr;  // owned until the destructor puts it back
};

#if NLSA_INLINE_VALUES
// Interpreter internals, identical in 3.11 and 3.12 (Include/internal/pycore_dict.h, pycore_object.h). The
// module checks them once at initialisation (see rt::probe_layouts) and keeps to the generic
// attribute protocol when the check fails.
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

/// The values array of an instance whose type has a managed dict, or null when the instance keeps a real
/// dict instead.
inline PyObject **instance_values(PyObject *obj) {
#if NLSA_TAGGED_VALUES_POINTER
  const uintptr_t dict_or_values = reinterpret_cast<uintptr_t *>(obj)[-3];  // tagged: values pointer - 1
  return (dict_or_values & 1) ? reinterpret_cast<PyObject **>(dict_or_values + 1) : nullptr;
#else
  return reinterpret_cast<PyObject ***>(obj)[-4];
#endif
}

/// Index of `name` (interned) in the shared keys of a heap type's instances, or -1.
inline Py_ssize_t shared_key_index(PyTypeObject *type, PyObject *name) {
  auto *keys = reinterpret_cast<DictKeys *>(reinterpret_cast<PyHeapTypeObject *>(type)->ht_cached_keys);
  if (keys == nullptr || keys->dk_kind != kSplitKeys) return -1;
  auto *entries = reinterpret_cast<UnicodeEntry *>(keys->dk_indices + (size_t{1} << keys->dk_log2_index_bytes));
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

}  // namespace nlsqlagent::internals
