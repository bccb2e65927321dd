// Instance attributes: the generic protocol; on 3.11 and 3.12 the instance values array directly, before 3.11
// the instance dict directly.
#include "attributes.hpp"

#include "internals.hpp"

namespace nlsqlagent::rt {
namespace {

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

/// The values array of `obj` when the cache entry of `attr` is current for its type (the usual case, checked
/// before any call is made), else null.
inline PyObject **cached_values(PyObject *obj, const Attr &attr) {
  const PyTypeObject *type = Py_TYPE(obj);
  return (type == attr.type && attr.version != 0 && type->tp_version_tag == attr.version)
             ? internals::instance_values(obj)
             : nullptr;
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

/// The value of `attr` in the instance dict at `slot`, when it is a split one that holds it; else null.
inline PyObject *dict_value(PyObject **slot, const Attr &attr) {
  PyObject *dict = *slot;
  return (dict && internals::is_split_dict(dict)) ? PyDict_GetItem(dict, attr.name) : nullptr;
}
#endif

[[gnu::noinline]] Ref get_attr_slow(PyObject *obj, Attr &attr) {
#if NLSA_OFFSET_DICT
  if (PyObject **slot = dict_slot(obj, attr)) {
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

}  // namespace nlsqlagent::rt
