// The method function type: the objects that the module's classes hold as their methods.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../compat.hpp"
#include "traceback.hpp"

namespace nlsqlagent::rt {

constexpr int kMaxParams = 5;
constexpr int kMaxLocals = 6;

/// Where the value of an omitted optional parameter comes from; fixed when the function object is made.
enum class DefaultKind : uint8_t { kNone, kTrue, kSlot };

/// Native entry of a method, in vectorcall shape: (function object, arguments, count, keyword names).
using NativeEntry = vectorcallfunc;

/// Everything fixed about one method: names, parameters, defaults, code-object layout and entry.
struct MethodDef {
  const char *name;      // bare name, also the name in every binding error
  const char *qualname;  // "Class.method"
  int nparams;
  int nrequired;
  const char *params[kMaxParams];
  DefaultKind defaults[kMaxParams];  // used from index nrequired on
  const char *locals[kMaxLocals];    // code object's local names; the parameters come first
  int nlocals;
  int def_line;  // line of the definition: binding failures and the code object's first line
  NativeEntry entry;
  TracebackSite *site;
  PyObject *interned_params[kMaxParams];  // filled at initialisation; process lifetime
};

struct FunctionObject;
/// Produces (defaults tuple, keyword defaults) for a function whose defaults are computed on first read.
using DefaultsGetter = PyObject *(*)(FunctionObject *);

struct FunctionObject {
  PyObject_HEAD
#if NLSA_HAVE_VECTORCALL
  vectorcallfunc vectorcall;
#endif
  const MethodDef *def;
  PyObject *name;          // str
  PyObject *qualname;      // str
  PyObject *module;        // any object; null reads as None
  PyObject *doc;           // null: the definition's (absent) doc
  PyObject *dict;          // attribute dictionary, made on first use
  PyObject *globals;       // the module namespace
  PyObject *code;
  PyObject *defaults;      // what __defaults__ reports
  PyObject *kwdefaults;    // what __kwdefaults__ reports
  PyObject *annotations;   // made on first read
  PyObject *is_coroutine;  // cached on first read
  PyObject *default_slot;  // the one-slot store for a default computed at initialisation
  PyObject *weakrefs;
  DefaultsGetter defaults_getter;  // null, or run once on the first read of either defaults attribute
};

/// Readies the function type; -1 with an exception set on failure. Safe to call again.
int ready_function_type() noexcept;

/// The function type (borrowed, static).
PyTypeObject *function_type() noexcept;

/// Makes a function object for `def` with the module namespace `globals` and code object `code`.
/// Returns a new reference or null with an exception set.
PyObject *new_function(const MethodDef *def, PyObject *module_name, PyObject *globals, PyObject *code) noexcept;

/// Value an omitted optional parameter `index` of `f` takes (borrowed).
inline PyObject *call_default(const FunctionObject *f, int index) {
  switch (f->def->defaults[index]) {
    case DefaultKind::kTrue:
      return Py_True;
    case DefaultKind::kSlot:
      return f->default_slot;
    case DefaultKind::kNone:
      break;
  }
  return Py_None;
}

}  // namespace nlsqlagent::rt
