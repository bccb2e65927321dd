// Argument binding for the method function type: positional fill, keyword lookup, and the error texts.
#include "binding.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "../ref.hpp"

namespace nlsqlagent::rt {
namespace {

enum class Shortfall { kTooFew, kTooMany };

/// Text of one message, built in a fixed buffer (ASCII pieces, each cut to what is left).
class MessageText {
 public:
  MessageText &operator<<(std::string_view piece) {
    const size_t n = std::min(piece.size(), sizeof(text_) - used_);
    std::memcpy(text_ + used_, piece.data(), n);
    used_ += n;
    return *this;
  }
  MessageText &operator<<(Py_ssize_t number) {  // in decimal; never negative here
    char digits[24];
    size_t n = 0;
    size_t rest = static_cast<size_t>(number);
    do {
      digits[sizeof(digits) - ++n] = static_cast<char>('0' + rest % 10);
      rest /= 10;
    } while (rest != 0 && n < sizeof(digits));
    return *this << std::string_view(digits + sizeof(digits) - n, n);
  }
  PyObject *str() const { return PyUnicode_DecodeASCII(text_, static_cast<Py_ssize_t>(used_), nullptr); }

 private:
  char text_[320];
  size_t used_ = 0;
};

/// "NAME() takes at most 5 positional arguments (7 given)": the text PyErr_Format would make of
/// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", made without its formatting machinery, which
/// costs more than the rest of a failed call. Raised as PyErr_Format raises it (any exception already set is
/// cleared first).
[[gnu::cold]] bool count_error(const MethodDef &def, Shortfall which, Py_ssize_t given) {
  const bool exact = def.nrequired == def.nparams;
  const char *word = exact ? "exactly" : (which == Shortfall::kTooFew ? "at least" : "at most");
  const Py_ssize_t number = (exact || which == Shortfall::kTooFew) ? def.nrequired : def.nparams;
  MessageText text;
  const std::string_view name(def.name);
  text << name.substr(0, 200) << "() takes " << word << " " << number << " positional argument"
       << (number == 1 ? "" : "s") << " (" << given << " given)";
  PyErr_Clear();
  Ref message = Ref::steal(text.str());
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
  return false;
}

/// Equal text of two str objects: same length, width and characters.
bool same_text(PyObject *a, PyObject *b) {
  const Py_ssize_t len = PyUnicode_GET_LENGTH(a);
  if (len != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(len) * PyUnicode_KIND(a)) == 0;
}

constexpr int kNoParameter = -1;  // the keyword names no parameter
constexpr int kNotStr = -2;       // the keyword is not a str
constexpr int kFailed = -3;       // a comparison raised

/// The parameter a keyword name stands for, as the interpreter decides it for a Python function: identity
/// with a parameter name first (over all of them), then equality (over all of them, in order), where an
/// exact str is equal by its text and a str subclass by its own ==. So a name that equals several
/// parameters stands for the first of them.
int parameter_of(const MethodDef &def, PyObject *key) {
  for (int i = 0; i < def.nparams; ++i) {
    if (def.interned_params[i] == key) return i;
  }
  if (!PyUnicode_Check(key)) return kNotStr;
  const bool exact = PyUnicode_CheckExact(key);
  for (int i = 0; i < def.nparams; ++i) {
    if (exact) {
      if (same_text(key, def.interned_params[i])) return i;
      continue;
    }
    const int eq = PyObject_RichCompareBool(key, def.interned_params[i], Py_EQ);
    if (eq < 0) return kFailed;
    if (eq) return i;
  }
  return kNoParameter;
}

/// The first keyword that is `param` itself; -1.
Py_ssize_t find_identical(PyObject *kwnames, PyObject *param) {
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (PyTuple_GET_ITEM(kwnames, k) == param) return k;
  }
  return -1;
}

/// The first keyword (all exact str) with the text of `param`; -1.
Py_ssize_t find_text(PyObject *kwnames, PyObject *param) {
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (same_text(PyTuple_GET_ITEM(kwnames, k), param)) return k;
  }
  return -1;
}

/// The first keyword whose parameter (decided by parameter_of) is `param`; -1.
Py_ssize_t find_target(const int *target, Py_ssize_t nkw, int param) {
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (target[k] == param) return k;
  }
  return -1;
}

/// The usual keyword call, settled without a text comparison: every keyword is the interned name of a
/// parameter that no other argument fills, and every required parameter is filled. Then the binding is the
/// one the general rules give, and it is made; otherwise false, with out[] to be filled by those rules.
bool bind_by_identity(const FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                      Py_ssize_t nkw, PyObject **out) {
  const MethodDef &def = *f->def;
  const int nparams = def.nparams, first = static_cast<int>(nargs);
  PyObject *const *names = def.interned_params;
  static_assert(kMaxParams <= 32, "one bit per parameter");
  uint32_t filled = (uint32_t{1} << first) - 1;
  PyObject *const *kwvalues = args + nargs;
  int next = first;  // keywords usually come in the parameters' order: look at the one after the last first
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject *key = PyTuple_GET_ITEM(kwnames, k);
    int i = next;
    if (i >= nparams || names[i] != key) {
      for (i = first; i < nparams && names[i] != key;) ++i;
      if (i == nparams) return false;
    }
    if ((filled >> i) & 1) return false;
    out[i] = kwvalues[k];
    filled |= uint32_t{1} << i;
    next = i + 1;
  }
  const uint32_t required = (uint32_t{1} << def.nrequired) - 1;
  if ((filled & required) != required) return false;
  for (int i = 0; i < first; ++i) out[i] = args[i];
  for (int i = first; i < nparams; ++i) {
    if (!((filled >> i) & 1)) out[i] = call_default(f, i);
  }
  return true;
}

[[gnu::cold]] bool keyword_error(const MethodDef &def, const char *format, PyObject *key) {
  PyErr_Format(PyExc_TypeError, format, def.name, key);
  return false;
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
  if (bind_by_identity(f, args, nargs, kwnames, nkw, out)) return true;
  // A keyword identical to a parameter's interned name stands for that parameter: that settles the usual
  // call. Otherwise exact str names (the interpreter's own calls pass nothing else) can each equal one
  // parameter at most, by text. A str subclass may equal several parameters, or none whatever its text:
  // then every keyword is first given the parameter it stands for, as the interpreter decides it, and the
  // parameters look among those. `decided` says whether that choice has been made.
  bool decided = false, all_exact = true;
  constexpr Py_ssize_t kSmall = 16;
  int small[kSmall];
  int *target = small;
  Ref heap;  // owns a larger array through a bytes object, freed on every path
  auto decide = [&]() -> bool {
    decided = true;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject *key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_CheckExact(key)) {
        all_exact = false;
      } else if (compat::ready_text(key) < 0) {  // compared by its characters below
        return false;
      }
    }
    if (all_exact) return true;
    if (nkw > kSmall) {
      heap = Ref::steal(PyBytes_FromStringAndSize(nullptr, nkw * static_cast<Py_ssize_t>(sizeof(int))));
      if (!heap) return false;
      target = reinterpret_cast<int *>(PyBytes_AS_STRING(heap.get()));
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      target[k] = parameter_of(def, PyTuple_GET_ITEM(kwnames, k));
      if (target[k] == kFailed) return false;
    }
    return true;
  };
  const int n = static_cast<int>(nargs);
  for (int i = 0; i < n; ++i) out[i] = args[i];
  PyObject *const *kwvalues = args + nargs;
  Py_ssize_t bound_by[kMaxParams];  // the keyword that filled each parameter after the positional ones
  Py_ssize_t unaccounted = nkw;
  for (int i = n; i < def.nparams; ++i) {
    const bool required = i < def.nrequired;
    Py_ssize_t k = -1;
    if (required || unaccounted > 0) {
      k = find_identical(kwnames, def.interned_params[i]);
      if (k < 0) {
        if (!decided && !decide()) return false;
        k = all_exact ? find_text(kwnames, def.interned_params[i]) : find_target(target, nkw, i);
      }
    }
    bound_by[i] = k;
    if (k >= 0) {
      out[i] = kwvalues[k];
      --unaccounted;
    } else if (required) {
      return count_error(def, Shortfall::kTooFew, i);
    } else {
      out[i] = call_default(f, i);
    }
  }
  if (unaccounted == 0) return true;
  if (!decided && !decide()) return false;
  // Some keywords were not accounted for: the first of them, in call order, decides the error.
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject *key = PyTuple_GET_ITEM(kwnames, k);
    const int i = all_exact ? parameter_of(def, key) : target[k];
    if (i == kNotStr) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
      return false;
    }
    if (i == kNoParameter) return keyword_error(def, "%s() got an unexpected keyword argument '%U'", key);
    if (i < n || bound_by[i] != k) {
      return keyword_error(def, "%s() got multiple values for keyword argument '%U'", key);
    }
  }
  return true;  // not reached: an unaccounted keyword fails above
}

}  // namespace nlsqlagent::rt
