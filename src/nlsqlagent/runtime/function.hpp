// The method function type: the objects that the module's classes hold as their methods.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "../compat.hpp"
#include "attributes.hpp"
#include "traceback.hpp"

namespace nlsqlagent::rt {

constexpr int kMaxParams = 5;

/// Copies the first `n` (at most kMaxParams) references of `from` to `to`, borrowed, one by one: a loop over
/// so few costs more (a call of memcpy, or a counted loop).
inline void copy_arguments(PyObject **to, PyObject *const *from, Py_ssize_t n) noexcept {
  static_assert(kMaxParams == 5, "one case per parameter");
  switch (n) {
    case 5:
      to[4] = from[4];
      [[fallthrough]];
    case 4:
      to[3] = from[3];
      [[fallthrough]];
    case 3:
      to[2] = from[2];
      [[fallthrough]];
    case 2:
      to[1] = from[1];
      [[fallthrough]];
    case 1:
      to[0] = from[0];
      [[fallthrough]];
    default:
      break;
  }
}

/// What an omitted parameter takes; kRequired marks a parameter without a default.
enum class Default : uint8_t { kRequired, kNone, kTrue, kSlot };

/// One parameter of a method: its name and its default. A kSlot default is the value of the expression
/// `<global>.<attribute>` (the global resolved in the module namespace, then the builtins), evaluated once
/// when the class is defined.
struct Param {
  const char *name;
  Default fallback;
  const char *slot_global = nullptr;
  const char *slot_attribute = nullptr;
};

struct FunctionObject;

/// A method body, handed its bound arguments (borrowed; bound[0] is the instance). New reference or null
/// with an exception set and the method's traceback entry added.
using MethodBody = PyObject *(*)(FunctionObject *f, PyObject *const *bound);

/// The entry of a method from its class's __init__ slot (construction.cpp), with the slot's arguments after the
/// function: 0 when the method returns None, else -1 with an exception set.
using InitEntry = int (*)(PyObject *function, PyObject *self, PyObject *args, PyObject *kwargs);

/// A method's two entries (binding.hpp: method_entries<body>).
struct MethodEntries {
  vectorcallfunc call;
  InitEntry init;
};

/// Everything fixed about one method, as its definition in the source says it; the counts are derived, and a
/// parameter list longer than kMaxParams does not compile.
struct MethodDef {
  /// `parameters` in order (required ones first); `extra_local` is the local name after them (the handler's
  /// `e`), or null. `entries` is method_entries<body> (binding.hpp): the entries that bind and run the body.
  template <size_t N>
  MethodDef(const char *method_name, const char *method_qualname, int line, MethodEntries entries,
            const Param (&parameters)[N], const char *extra = nullptr) noexcept
      : name(method_name),
        qualname(method_qualname),
        def_line(line),
        entry(entries.call),
        init_entry(entries.init),
        extra_local(extra) {
    static_assert(N >= 1 && N <= kMaxParams, "a method takes the instance and at most kMaxParams - 1 more");
    for (const Param &p : parameters) {
      params[nparams++] = p;
      if (p.fallback == Default::kRequired && nrequired == nparams - 1) ++nrequired;
    }
  }
  MethodDef(const MethodDef &) = delete;
  MethodDef &operator=(const MethodDef &) = delete;

  const char *name;         // bare name, also the name in every binding error
  const char *qualname;     // "Class.method"
  int def_line;             // line of the definition: binding failures and the code object's first line
  vectorcallfunc entry;     // binds the arguments (a failure gets the entry at def_line), then runs the body
  InitEntry init_entry;     // the same, from the class's __init__ slot
  const char *extra_local;  // the local name after the parameters, or null
  Param params[kMaxParams] = {};
  int nparams = 0;
  int nrequired = 0;  // the required parameters come first

  // Filled by prepare_method and build_code_object at initialisation; process lifetime.
  PyObject *interned_params[kMaxParams] = {};
  PyObject *fixed_defaults[kMaxParams] = {};  // each parameter's default object; null: the function's slot
  bool fixed_only = false;                    // no parameter takes the function's slot
  Attr param_attrs[kMaxParams];               // self.<parameter>, for the methods that store their parameters
  TracebackSite site;                         // "nlsqlagent." + qualname
  PyObject *code = nullptr;                   // the method's code object (code_objects.hpp)
};

/// Interns the parameter names, names the attributes of the same names and the traceback site. 0, or -1
/// with an exception set. Idempotent.
int prepare_method(MethodDef &def) noexcept;

struct FunctionObject {
  PyObject_HEAD
#if NLSA_HAVE_VECTORCALL
      vectorcallfunc vectorcall;
#endif
  MethodDef *def;
  PyObject *weakrefs;
  bool defaults_pending;  // __defaults__ is still to be built from the definition, on its first read
  // The owned references, each listed once in function.cpp: what clearing releases, then what it keeps.
  PyObject *module;        // any object; null reads as None
  PyObject *doc;           // null: the definition's (absent) doc
  PyObject *dict;          // attribute dictionary, made on first use
  PyObject *defaults;      // what __defaults__ reports
  PyObject *kwdefaults;    // what __kwdefaults__ reports
  PyObject *annotations;   // made on first read
  PyObject *name;          // str, never null (clearing puts the empty string in)
  PyObject *qualname;      // str, never null (clearing puts the empty string in)
  PyObject *globals;       // the module namespace, never null; kept by clearing (the dict clears itself)
  PyObject *code;          // never null; holds only names and constants, so no cycle runs through it
  PyObject *default_slot;  // the one-slot store for a default computed at initialisation; never cleared
};

/// Readies the function type; -1 with an exception set on failure. Safe to call again.
int ready_function_type() noexcept;

/// The function type (static; ready_function_type fills it). Inline, for the type checks on the call paths.
extern PyTypeObject g_function_type;
inline PyTypeObject *function_type() noexcept { return &g_function_type; }

/// The result of a call of __init__ as the generic __init__ slot checks it: 0 for None, else -1 with its
/// TypeError (or with the call's exception, for null). Releases `result`.
int init_result(PyObject *result) noexcept;

/// The tuple-and-dict call of the function object `function`: `first` (borrowed; null for none) and the items
/// of `args` (a tuple) by position, the items of `kwargs` (a dict, or null) by keyword, laid out in one array
/// for its native entry (a keyword that is not a str raises TypeError). New reference or null.
PyObject *call_with_tuple(PyObject *function, PyObject *first, PyObject *args, PyObject *kwargs) noexcept;

/// Makes a function object for `def` (prepared, with its code object) with the module namespace `globals`
/// and `slot_value` for a kSlot default (borrowed; may be null when there is none). Its __defaults__ are
/// built from the definition on first read. Returns a new reference or null with an exception set.
PyObject *new_function(MethodDef *def, PyObject *module_name, PyObject *globals, PyObject *slot_value) noexcept;

/// Value an omitted optional parameter `index` of `f` takes (borrowed).
inline PyObject *call_default(const FunctionObject *f, int index) {
  PyObject *fixed = f->def->fixed_defaults[index];
  return fixed ? fixed : f->default_slot;
}

}  // namespace nlsqlagent::rt
