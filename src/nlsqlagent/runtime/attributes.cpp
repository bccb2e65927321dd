// Instance attributes: the generic protocol; on 3.11 and 3.12 the instance values array directly, before 3.11
// the instance dict directly.
#include "attributes.hpp"

#include <cstring>

#include "internals.hpp"

namespace nlsqlagent::rt {
namespace {

#if NLSA_INLINE_VALUES
// 3.11/3.12, private layout (the instance values array and the class's shared keys) and private API
// (_PyType_Lookup): instance attributes read and written where the interpreter's own specialised bytecode
// reads and writes them. Gain on 3.11: DatabaseConnector() 174 instead of 265 ns, connect() 336 instead of
// 490, AgentRunner(llm, toolkit) 1010 instead of 1230, run(q) 84 instead of 115.
bool g_inline_values = false;  // set by probe_layouts

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
    if (internals::type_lookup(type, attr.name)) return nullptr;
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return nullptr;
    const Py_ssize_t index = internals::shared_key_index(type, attr.name);
    if (index < 0) return nullptr;  // no instance has stored it yet: the generic store adds the key
    attr.type = type;
    attr.index = index;
    attr.version = type->tp_version_tag;
  }
  return internals::instance_values(obj);
}

/// The values array of `obj` when its type is `type` with the version tag `version` (0 never matches), else
/// null.
inline PyObject **values_if_current(PyObject *obj, const PyTypeObject *type, unsigned int version) {
  return (Py_TYPE(obj) == type && version != 0 && type->tp_version_tag == version) ? internals::instance_values(obj)
                                                                                   : nullptr;
}

/// The values array of `obj` when the cache entry of `attr` is current for its type (the usual case, checked
/// before any call is made), else null.
inline PyObject **cached_values(PyObject *obj, const Attr &attr) {
  return values_if_current(obj, attr.type, attr.version);
}

/// Stores `value` in slot `index` of `values`.
inline void store_value(PyObject **values, Py_ssize_t index, PyObject *value) {
  PyObject *old = values[index];
  values[index] = Py_NewRef(value);
  if (old) {
    Py_DECREF(old);
  } else {
    internals::add_to_insertion_order(values, index);
  }
}

/// The values array of `obj` when `run` is current for its type and holds `n` stores, else null.
inline PyObject **run_values(PyObject *obj, const AttrRun &run, int n) {
  return n <= run.length ? values_if_current(obj, run.type, run.version) : nullptr;
}
#endif

#if NLSA_OFFSET_DICT
// Before 3.11, private API (_PyType_Lookup, _PyObjectDict_SetItem) and layout (the split table of a dict):
// the generic protocol, less its parts that the cache answers. PyObject_SetAttr interns the name again and
// both directions look the name up on the type; while the type keeps the version tag it had when the name
// was found on neither it nor its bases, with the generic attribute slots, a value is read from the instance
// dict (a split one: no lookup there can run code) and stored through the generic protocol's own dict store.
// Gain on 3.7 (callgrind, instructions per call), together with the direct class call (construction.cpp):
// DatabaseConnector() 3735 instead of 5056, connect() 6641 instead of 7864.

/// The instance dict slot of `obj` when the cache entry of `attr` is current for its type, else null.
inline PyObject **cached_dict_slot(PyObject *obj, const Attr &attr) {
  PyTypeObject *type = Py_TYPE(obj);
  if (type != attr.type || !internals::type_version_is(type, attr.version)) return nullptr;
  return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + type->tp_dictoffset);
}

/// As cached_dict_slot, refreshing the cache entry when the type or its version changed.
PyObject **dict_slot(PyObject *obj, Attr &attr) {
  if (PyObject **slot = cached_dict_slot(obj, attr)) return slot;
  PyTypeObject *type = Py_TYPE(obj);
  attr.version = 0;
  if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || type->tp_dictoffset <= 0 ||
      type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) {
    return nullptr;
  }
  // Any attribute of that name on the type or a base (a descriptor, or one that may become one) changes
  // this type's version tag when it is added, which every use checks. The lookup also assigns the tag.
  if (internals::type_lookup(type, attr.name)) return nullptr;
  attr.type = type;
  attr.version = type->tp_version_tag;
  if (!internals::type_version_is(type, attr.version)) return nullptr;
  return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + type->tp_dictoffset);
}

// The split table's layout (internals.hpp), checked by probe_layouts: a value is read at its key's index, and
// a new instance's dict is filled in one go (below).
bool g_split_layout = false;

/// The value of `attr` in the instance dict at `slot`, when it is a split one that holds it; else null. Read
/// at the index where the key was last found, when the dict's keys have it there. Gain on 3.7 (callgrind,
/// instructions per call, instead of a lookup by hash): connect() 5407 instead of 6326, run(q) 2488 instead
/// of 2686.
inline PyObject *dict_value(PyObject **slot, const Attr &attr) {
  PyObject *dict = *slot;
  if (!dict || !internals::is_split_dict(dict)) return nullptr;
  return g_split_layout ? internals::split_value(dict, attr.name, attr.index) : PyDict_GetItem(dict, attr.name);
}

// A run of stores into an instance that has no dict yet (a constructor's, as a rule). The dict is made as the
// generic protocol makes it for its first store (with the class's shared keys, by PyObject_GenericGetDict).
// When those keys begin with the run's names, in its order, the new dict is an empty split table, and each
// store would put its value at the next index of the values array, add one to the count and take a new
// version tag; the values are written there directly instead, and the dict keeps the tag it was made with (no
// code runs between the stores, so no one can have seen the states in between). The dict is tracked by the
// garbage collector when one of the values may be, as the dict's own store does.
// Gain on 3.7 (callgrind, instructions per call, with the reads above): DatabaseConnector() 2745 instead of
// 3672, AgentRunner(llm, toolkit) 11087 instead of 12779.
// The keys that a new dict takes are the class's shared keys at that moment, and their names are compared
// every time: a class does not only drop its shared keys, it also replaces them (3.7 and 3.8: when the one dict
// still sharing them outgrows them, that dict's new keys become the class's), and the new keys may be made at
// the address where the old ones were freed.
/// The run's stores made as above: the number made (0 or n; the rest are left to set_attr), or -1 with an
/// exception set when the dict could not be made. `version`, when not 0, is the class's version tag that the
/// caller checked: making the dict may run a collection and with it any code, so it is checked again.
int stores_into_new_dict(PyObject *obj, PyObject *const *names, PyObject *const *values, int n, unsigned int version) {
  if (!g_split_layout) return 0;
  Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
  if (!dict) return -1;
  if (version != 0 && !internals::type_version_is(Py_TYPE(obj), version)) return 0;
  Py_ssize_t count = 0;
  const internals::SplitEntry *keys = internals::split_entries(dict.get(), &count);
  auto *d = reinterpret_cast<PyDictObject *>(dict.get());
  if (!keys || count < n || d->ma_used != 0) return 0;
  for (int i = 0; i < n; ++i) {
    if (keys[i].me_key != names[i]) return 0;
  }
  for (int i = 0; i < n; ++i) d->ma_values[i] = Py_NewRef(values[i]);
  d->ma_used = n;
  // Asked from the last value on: a constructor's last store is, as a rule, the container it makes.
  bool track = false;
  for (int i = n; i-- > 0 && !track;) track = internals::gc_may_be_tracked(values[i]);
  if (track && !_PyObject_GC_IS_TRACKED(dict.get())) internals::gc_track(dict.get());
  return n;
}
#endif

[[gnu::noinline]] Ref get_attr_slow(PyObject *obj, Attr &attr) {
#if NLSA_OFFSET_DICT
  if (PyObject **slot = dict_slot(obj, attr)) {
    if (g_split_layout && *slot && internals::is_split_dict(*slot)) {
      attr.index = internals::split_index(*slot, attr.name);
    }
    if (PyObject *value = dict_value(slot, attr)) return Ref::borrow(value);
  }
#endif
#if NLSA_INLINE_VALUES
  if (PyObject **values = direct_values(obj, attr)) {
    if (PyObject *value = values[attr.index]) return Ref::borrow(value);
  }
#endif
  return Ref::steal(PyObject_GetAttr(obj, attr.name));
}

[[gnu::noinline]] int set_attr_slow(PyObject *obj, Attr &attr, PyObject *value) {
#if NLSA_OFFSET_DICT
  if (PyObject **slot = dict_slot(obj, attr)) return internals::object_dict_set(Py_TYPE(obj), slot, attr.name, value);
#endif
#if NLSA_INLINE_VALUES
  if (PyObject **values = direct_values(obj, attr)) {
    store_value(values, attr.index, value);
    return 0;
  }
#endif
  return PyObject_SetAttr(obj, attr.name, value);
}

}  // namespace

Ref get_attr(PyObject *obj, Attr &attr) noexcept {
#if NLSA_OFFSET_DICT
  if (PyObject **slot = cached_dict_slot(obj, attr)) {
    if (PyObject *value = dict_value(slot, attr)) return Ref::borrow(value);
  }
#endif
#if NLSA_INLINE_VALUES
  if (PyObject **values = cached_values(obj, attr)) {
    if (PyObject *value = values[attr.index]) return Ref::borrow(value);
  }
#endif
  return get_attr_slow(obj, attr);
}

int set_attr(PyObject *obj, Attr &attr, PyObject *value) noexcept {
#if NLSA_OFFSET_DICT
  if (PyObject **slot = cached_dict_slot(obj, attr)) {
    return internals::object_dict_set(Py_TYPE(obj), slot, attr.name, value);
  }
#endif
#if NLSA_INLINE_VALUES
  if (PyObject **values = cached_values(obj, attr)) {
    store_value(values, attr.index, value);
    return 0;
  }
#endif
  return set_attr_slow(obj, attr, value);
}

int get_method(PyObject *obj, MethodCache &cache, PyObject **method) noexcept {
#if NLSA_INLINE_VALUES
  PyTypeObject *type = Py_TYPE(obj);
  if (type != cache.type || cache.version == 0 || type->tp_version_tag != cache.version) {
    cache.version = 0;
    if (g_inline_values && (type->tp_flags & Py_TPFLAGS_HEAPTYPE) && (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) &&
        type->tp_getattro == PyObject_GenericGetAttr) {
      // A Python function is no data descriptor: the instance's own attribute of the name comes first, checked
      // on every use below. Any change to the type or a base changes the tag.
      PyObject *found = internals::type_lookup(type, cache.name);
      if (found && Py_TYPE(found) == &PyFunction_Type && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) {
        cache.type = type;
        cache.function = found;
        cache.version = type->tp_version_tag;
      }
    }
  }
  if (cache.version != 0) {
    PyObject **values = internals::instance_values(obj);  // null once the instance's dict is made
    if (values) {
      const Py_ssize_t index = internals::shared_key_index(type, cache.name);
      if (index < 0 || values[index] == nullptr) {
        *method = Py_NewRef(cache.function);
        return 1;
      }
    }
  }
#endif
  return internals::get_method(obj, cache.name, method);
}

namespace {

/// set_attrs from store `from` on, each through set_attr; then `run` made current for the type when every
/// store's own entry is.
[[gnu::noinline]] int set_attrs_slow(PyObject *obj, AttrRun &run, Attr *const *attrs, PyObject *const *values, int from,
                                     int n) {
  for (int i = from; i < n; ++i) {
    if (set_attr(obj, *attrs[i], values[i]) < 0) return i;
  }
#if NLSA_INLINE_VALUES || NLSA_OFFSET_DICT
  PyTypeObject *type = Py_TYPE(obj);
  const unsigned int version = attrs[0]->version;
  run.version = 0;
  if (n > kMaxRun || !internals::type_version_is(type, version)) return n;  // a longer run is not cached
  for (int i = 0; i < n; ++i) {
    if (attrs[i]->type != type || attrs[i]->version != version) return n;
    run.index[i] = attrs[i]->index;
    run.names[i] = attrs[i]->name;
  }
  run.type = type;
  run.version = version;
  run.length = n;
#else
  (void)run;
#endif
  return n;
}

}  // namespace

int set_attrs(PyObject *obj, AttrRun &run, Attr *const *attrs, PyObject *const *values, int n) noexcept {
  int from = 0;
#if NLSA_INLINE_VALUES
  if (PyObject **slots = run_values(obj, run, n)) {
    for (; from < n; ++from) {
      const Py_ssize_t index = run.index[from];
      if (slots[index]) break;  // an earlier value, whose release may run code: set_attr from here on
      slots[index] = Py_NewRef(values[from]);
      internals::add_to_insertion_order(slots, index);
    }
    if (from == n) return n;
  }
#endif
#if NLSA_OFFSET_DICT
  PyTypeObject *type = Py_TYPE(obj);
  if (n <= run.length && type == run.type && internals::type_version_is(type, run.version)) {
    PyObject **slot = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + type->tp_dictoffset);
    if (*slot == nullptr) {
      from = stores_into_new_dict(obj, run.names, values, n, run.version);
      if (from < 0) return 0;
      if (from == n) return n;
    }
  }
#endif
  return set_attrs_slow(obj, run, attrs, values, from, n);
}

#if NLSA_SMALL_DICT_COPY
namespace {
bool g_small_copy = false;  // set by probe_layouts when a copy made below reads as PyDict_Copy's
}  // namespace
#endif

PyObject *copy_small_dict(PyObject *dict) noexcept {
#if NLSA_SMALL_DICT_COPY
  // 3.7, private layout (a combined table): PyDict_Copy allocates the copy's keys table anew, while the release
  // of a dict hands a table of the smallest size back to the interpreter's free list of them, from which
  // PyDict_New takes its own. So the copy is made from PyDict_New, its empty table (of that smallest size)
  // filled with the source's indices and entries; every other field of the dict and its table is as
  // PyDict_Copy leaves it. Anything else (a larger source, a table of another kind or with a deleted entry)
  // is PyDict_Copy's.
  // probe_layouts checks such a copy against PyDict_Copy's before the path is taken.
  // Gain on 3.7 (callgrind, instructions per call): 91 fewer on every DatabaseConnector construction (the record
  // made ahead is such a copy).
  // The smallest table: eight one-byte indices, then the entries.
  constexpr Py_ssize_t kSize = 8;
  auto *source = reinterpret_cast<PyDictObject *>(dict);
  auto *from = reinterpret_cast<internals::SplitKeys *>(source->ma_keys);
  const Py_ssize_t n = from->dk_nentries;
  if (g_small_copy && source->ma_values == nullptr && from->dk_size == kSize && source->ma_used == n) {
    Ref copy = Ref::steal(PyDict_New());
    if (!copy) return nullptr;
    auto *target = reinterpret_cast<PyDictObject *>(copy.get());
    auto *to = reinterpret_cast<internals::SplitKeys *>(target->ma_keys);
    // PyDict_New's dict has a combined table of its own, empty; its size and lookup are checked.
    if (to->dk_size == kSize && to->dk_lookup == from->dk_lookup) {
      std::memcpy(to->dk_indices, from->dk_indices, kSize);
      const auto *entries = reinterpret_cast<const internals::SplitEntry *>(from->dk_indices + kSize);
      auto *into = reinterpret_cast<internals::SplitEntry *>(to->dk_indices + kSize);
      for (Py_ssize_t i = 0; i < n; ++i) {
        into[i].me_hash = entries[i].me_hash;
        into[i].me_key = Py_NewRef(entries[i].me_key);
        into[i].me_value = Py_NewRef(entries[i].me_value);
      }
      to->dk_usable = from->dk_usable;
      to->dk_nentries = n;
      target->ma_used = n;
      if (_PyObject_GC_IS_TRACKED(dict)) internals::gc_track(copy.get());
      return copy.release();
    }
  }
#endif
  return PyDict_Copy(dict);
}

bool runs_fill_new_dicts() noexcept {
#if NLSA_OFFSET_DICT
  return g_split_layout;
#else
  return false;
#endif
}

#if NLSA_OFFSET_DICT || NLSA_INLINE_VALUES
namespace {

/// A fresh class and two instances of it: the first has stored "a" (True) and "b" (False) the generic way,
/// which makes the class's shared keys; the second has no attribute yet.
struct ProbeInstances {
  Ref a_name, b_name, cls, first, second;

  /// 0, or -1 with an exception set.
  int make() {
    Ref ns = Ref::steal(PyDict_New());
    Ref name = Ref::steal(PyUnicode_InternFromString("_nlsqlagent_probe"));
    Ref bases = Ref::steal(PyTuple_New(0));
    a_name = Ref::steal(PyUnicode_InternFromString("a"));
    b_name = Ref::steal(PyUnicode_InternFromString("b"));
    if (!ns || !name || !bases || !a_name || !b_name) return -1;
    cls = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PyType_Type), name.get(), bases.get(),
                                                  ns.get(), nullptr));
    if (!cls) return -1;
    first = Ref::steal(PyObject_CallFunctionObjArgs(cls.get(), nullptr));
    if (!first) return -1;
    second = Ref::steal(PyObject_CallFunctionObjArgs(cls.get(), nullptr));
    if (!second) return -1;
    return PyObject_SetAttr(first.get(), a_name.get(), Py_True) < 0 ||
                   PyObject_SetAttr(first.get(), b_name.get(), Py_False) < 0
               ? -1
               : 0;
  }
};

}  // namespace
#endif

#if NLSA_SMALL_DICT_COPY
namespace {

/// `dict.__sizeof__()`, or -1 with an exception set.
Py_ssize_t dict_sizeof(PyObject *dict) {
  Ref size = Ref::steal(PyObject_CallMethod(dict, "__sizeof__", nullptr));
  return size ? PyLong_AsSsize_t(size.get()) : -1;
}

/// Whether a copy by copy_small_dict of a small dict reads as PyDict_Copy's: equal, its keys in the same order,
/// each found by a lookup, the same size, also after three more items (its room to the brim) and a fourth (a
/// resize), and tracked alike. -1 with an exception set when a probe object could not be made.
int small_copy_reads_as_a_copy() {
  Ref list = Ref::steal(PyList_New(0));
  Ref source = Ref::steal(PyDict_New());
  if (!list || !source || PyDict_SetItemString(source.get(), "a", Py_None) < 0 ||
      PyDict_SetItemString(source.get(), "b", list.get()) < 0) {
    return -1;
  }
  Ref mine = Ref::steal(copy_small_dict(source.get()));
  Ref theirs = Ref::steal(PyDict_Copy(source.get()));
  if (!mine || !theirs) return -1;
  Ref mine_keys = Ref::steal(PyDict_Keys(mine.get()));
  Ref their_keys = Ref::steal(PyDict_Keys(theirs.get()));
  if (!mine_keys || !their_keys) return -1;
  bool same = PyObject_RichCompareBool(mine.get(), theirs.get(), Py_EQ) == 1 &&
              PyObject_RichCompareBool(mine_keys.get(), their_keys.get(), Py_EQ) == 1 &&
              PyDict_GetItemString(mine.get(), "a") == Py_None && PyDict_GetItemString(mine.get(), "b") == list.get() &&
              _PyObject_GC_IS_TRACKED(mine.get()) == _PyObject_GC_IS_TRACKED(theirs.get());
  static constexpr const char *kKeys[] = {"", "c", "d", "e", "f"};
  for (const char *key : kKeys) {
    if (*key && PyDict_SetItemString(mine.get(), key, Py_None) < 0) return -1;
    if (*key && PyDict_SetItemString(theirs.get(), key, Py_None) < 0) return -1;
    const Py_ssize_t a = dict_sizeof(mine.get()), b = dict_sizeof(theirs.get());
    if (a < 0 || b < 0) return -1;
    same = same && a == b;
  }
  PyErr_Clear();  // a failed comparison says the copy is not as expected: the path stays off
  return same ? 1 : 0;
}

}  // namespace
#endif

#if NLSA_INLINE_GC_TRACK
namespace {

/// The first item of the tuple of ints that the gc module's own C function `name` returns, called from the
/// module's method table (a function put in the module's place under that name is never called); -1 when there
/// is no such function or item.
long first_of(PyObject *gc, const char *name) {
  PyModuleDef *def = PyModule_Check(gc) ? PyModule_GetDef(gc) : nullptr;
  long first = -1;
  for (const PyMethodDef *m = def ? def->m_methods : nullptr; m && m->ml_name; ++m) {
    if (std::strcmp(m->ml_name, name) != 0 || (m->ml_flags & METH_NOARGS) == 0) continue;
    Ref items = Ref::steal(m->ml_meth(gc, nullptr));
    if (items && PyTuple_Check(items.get()) && PyTuple_GET_SIZE(items.get()) > 0 &&
        PyLong_Check(PyTuple_GET_ITEM(items.get(), 0))) {
      first = PyLong_AsLong(PyTuple_GET_ITEM(items.get(), 0));
    }
    break;
  }
  PyErr_Clear();  // no answer: the path stays off
  return first;
}

/// Whether `young` (the two ints after the youngest generation's head) holds the threshold and the count that
/// gc.get_threshold() and gc.get_count() report, and a count that an allocation moves up by one and its
/// release back. 1 or 0, or -1 with MemoryError set. (An allocation that starts a collection resets the
/// count: that attempt fails, and the next, after the collection, decides.)
int young_generation_reads_as_the_gc_module_says(const int *young) {
  // The module as the import system has it, without builtins.__import__ (which may be anyone's).
  Ref gc = Ref::steal(PyImport_ImportModuleLevel("gc", nullptr, nullptr, nullptr, 0));
  if (!gc) {
    PyErr_Clear();
    return 0;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int count = young[1];  // get_count reads the count before it makes its tuple
    const long reported = first_of(gc.get(), "get_count");
    const long threshold = first_of(gc.get(), "get_threshold");
    if (reported != count || threshold != young[0]) return 0;
    const int before = young[1];
    PyObject *probe = _PyObject_GC_Malloc(sizeof(PyObject));
    if (!probe) return -1;
    const int allocated = young[1];
    PyObject_GC_Del(probe);
    if (allocated == before + 1 && young[1] == before) return 1;
  }
  return 0;
}

}  // namespace
#endif

int probe_layouts() noexcept {
#if NLSA_SMALL_DICT_COPY
  g_small_copy = true;
  const int small_copy = small_copy_reads_as_a_copy();
  g_small_copy = small_copy == 1;
  if (small_copy < 0) return -1;
#endif
#if NLSA_INLINE_GC_TRACK
  {
    // A new list is tracked when made: linked last, before the head, so its successor is the head, whose
    // predecessor it is.
    Ref probe = Ref::steal(PyList_New(0));
    if (!probe) return -1;
    PyGC_Head *g = _Py_AS_GC(probe.get());
    PyGC_Head *head = _PyObject_GC_IS_TRACKED(probe.get()) ? g->gc.gc_next : nullptr;
    internals::g_gc_head = head && head->gc.gc_prev == g ? head : nullptr;
    internals::g_gc_young = nullptr;
    if (internals::g_gc_head) {
      int *young = reinterpret_cast<int *>(internals::g_gc_head + 1);
      const int readable = young_generation_reads_as_the_gc_module_says(young);
      if (readable < 0) return -1;
      if (readable) internals::g_gc_young = young;
    }
  }
#endif
#if NLSA_OFFSET_DICT
  {
    // The second instance stores "a" and "b" as one run: its dict must then be a split table holding both, in
    // that order, tracked for the list it holds, and each value must be read back at its key's index.
    ProbeInstances p;
    Ref list = Ref::steal(PyList_New(0));
    if (!list || p.make() < 0) return -1;
    PyTypeObject *type = Py_TYPE(p.second.get());
    PyObject **slot = nullptr;
    if (type->tp_dictoffset > 0) {
      slot = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(p.second.get()) + type->tp_dictoffset);
    }
    bool ok = slot && *slot == nullptr;
    if (ok) {
      g_split_layout = true;
      Attr a{p.a_name.get()}, b{p.b_name.get()};
      PyObject *const names[] = {a.name, b.name};
      PyObject *const values[] = {Py_None, list.get()};
      const int made = stores_into_new_dict(p.second.get(), names, values, 2, 0);
      if (made < 0) return -1;
      ok = made == 2;
      if (ok) {
        Ref got_a = Ref::steal(PyObject_GetAttr(p.second.get(), p.a_name.get()));
        Ref got_b = Ref::steal(PyObject_GetAttr(p.second.get(), p.b_name.get()));
        Ref keys = Ref::steal(PyDict_Keys(*slot));
        a.index = internals::split_index(*slot, a.name);
        b.index = internals::split_index(*slot, b.name);
        ok = got_a.get() == Py_None && got_b.get() == list.get() && keys && PyList_GET_SIZE(keys.get()) == 2 &&
             PyList_GET_ITEM(keys.get(), 0) == p.a_name.get() && PyList_GET_ITEM(keys.get(), 1) == p.b_name.get() &&
             _PyObject_GC_IS_TRACKED(*slot) && dict_value(slot, a) == Py_None && dict_value(slot, b) == list.get();
      }
      PyErr_Clear();  // a failed read says the layout is not as expected: the path stays off
    }
    g_split_layout = ok;
  }
#endif
#if NLSA_INLINE_VALUES
  {
    // The second instance gets "b" then "a" through the direct path. The generic reads and its materialised
    // __dict__ must then show both values, in that order.
    ProbeInstances p;
    if (p.make() < 0) return -1;
    g_inline_values = true;
    Attr a{p.a_name.get()}, b{p.b_name.get()};
    bool ok = direct_values(p.second.get(), a) && direct_values(p.second.get(), b) && a.index != b.index &&
              set_attr(p.second.get(), b, Py_None) == 0 && set_attr(p.second.get(), a, Py_Ellipsis) == 0;
    if (ok) {
      Ref got_a = Ref::steal(PyObject_GetAttr(p.second.get(), p.a_name.get()));
      Ref got_b = Ref::steal(PyObject_GetAttr(p.second.get(), p.b_name.get()));
      Ref dict = Ref::steal(PyObject_GenericGetDict(p.second.get(), nullptr));
      Ref keys = dict ? Ref::steal(PyDict_Keys(dict.get())) : Ref();
      ok = got_a.get() == Py_Ellipsis && got_b.get() == Py_None && keys && PyList_GET_SIZE(keys.get()) == 2 &&
           PyList_GET_ITEM(keys.get(), 0) == p.b_name.get() && PyList_GET_ITEM(keys.get(), 1) == p.a_name.get();
      if (PyErr_Occurred()) return -1;
    }
    g_inline_values = ok;
  }
#endif
  return 0;
}

}  // namespace nlsqlagent::rt
