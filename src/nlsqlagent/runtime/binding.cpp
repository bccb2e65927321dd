// Argument binding for the method function type: positional fill, keyword lookup, and the error texts.
#include "binding.hpp"

#include <cstring>

namespace nlsqlagent::rt {
namespace {

enum class Shortfall { kTooFew, kTooMany };

[[gnu::cold]] bool count_error(const MethodDef &def, Shortfall which, Py_ssize_t given) {
  const bool exact = def.nrequired == def.nparams;
  const char *word = exact ? "exactly" : (which == Shortfall::kTooFew ? "at least" : "at most");
  const Py_ssize_t number = (exact || which == Shortfall::kTooFew) ? def.nrequired : def.nparams;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def.name, word,
               number, number == 1 ? "" : "s", given);
  return false;
}

/// Equal text of two str objects: same length, width and characters.
bool same_text(PyObject *a, PyObject *b) {
  const Py_ssize_t len = PyUnicode_GET_LENGTH(a);
  if (len != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(len) * PyUnicode_KIND(a)) == 0;
}

/// Equality of a keyword name with a parameter name: exact str by stored hash and text, a str subclass by
/// its own ==. 1 equal, 0 not, -1 with an exception set.
int keyword_equals(PyObject *key, PyObject *param) {
  if (PyUnicode_CheckExact(key)) {
    const Py_hash_t hk = compat::cached_str_hash(key), hp = compat::cached_str_hash(param);
    if (hk != -1 && hp != -1 && hk != hp) return 0;
    return same_text(key, param) ? 1 : 0;
  }
  if (!PyUnicode_Check(key)) return 0;  // left for the later pass, which rejects it
  return PyObject_RichCompareBool(key, param, Py_EQ);
}

/// Index of `param` among the keyword names (identity over all, then equality over all); -1 when absent,
/// -2 with an exception set.
Py_ssize_t find_keyword(PyObject *kwnames, PyObject *param) {
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (PyTuple_GET_ITEM(kwnames, k) == param) return k;
  }
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    const int eq = keyword_equals(PyTuple_GET_ITEM(kwnames, k), param);
    if (eq < 0) return -2;
    if (eq) return k;
  }
  return -1;
}

/// Parameter index in [from, to) whose name is `key` by identity, then (for a str key) by equal text; -1.
int match_parameter(const MethodDef &def, PyObject *key, int from, int to, bool text_too) {
  for (int i = from; i < to; ++i) {
    if (def.interned_params[i] == key) return i;
  }
  if (!text_too) return -1;
  for (int i = from; i < to; ++i) {
    if (same_text(key, def.interned_params[i])) return i;
  }
  return -1;
}

/// Second pass over all keywords, when some were not accounted for: binds the ones that match a parameter
/// after the positional ones, and fails on the first that does not.
bool bind_leftover_keywords(const MethodDef &def, Py_ssize_t nargs, PyObject *kwnames, PyObject *const *kwvalues,
                            PyObject **out) {
  const int n = static_cast<int>(nargs);
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject *key = PyTuple_GET_ITEM(kwnames, k);
    int index = match_parameter(def, key, n, def.nparams, false);
    if (index < 0) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
        return false;
      }
      index = match_parameter(def, key, n, def.nparams, true);
    }
    if (index >= 0) {
      out[index] = kwvalues[k];
      continue;
    }
    if (match_parameter(def, key, 0, n, true) >= 0) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name, key);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
    }
    return false;
  }
  return true;
}

}  // namespace

bool bind_arguments_slow(const FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                         PyObject **out) noexcept {
  const MethodDef &def = *f->def;
  if (nargs > def.nparams) return count_error(def, Shortfall::kTooMany, nargs);
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw == 0) {
    if (nargs < def.nrequired) return count_error(def, Shortfall::kTooFew, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (int i = static_cast<int>(nargs); i < def.nparams; ++i) out[i] = call_default(f, i);
    return true;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  PyObject *const *kwvalues = args + nargs;
  Py_ssize_t unaccounted = nkw;
  for (int i = static_cast<int>(nargs); i < def.nparams; ++i) {
    const bool required = i < def.nrequired;
    if (!required && unaccounted == 0) {
      out[i] = call_default(f, i);
      continue;
    }
    const Py_ssize_t k = find_keyword(kwnames, def.interned_params[i]);
    if (k == -2) return false;
    if (k >= 0) {
      out[i] = kwvalues[k];
      --unaccounted;
    } else if (required) {
      return count_error(def, Shortfall::kTooFew, i);
    } else {
      out[i] = call_default(f, i);
    }
  }
  if (unaccounted > 0) return bind_leftover_keywords(def, nargs, kwnames, kwvalues, out);
  return true;
}

}  // namespace nlsqlagent::rt
