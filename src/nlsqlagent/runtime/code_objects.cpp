// The methods' code objects, with bodies written in the interpreter's own opcodes.
#include "code_objects.hpp"

#include <opcode.h>  // here only: its unprefixed macros (CALL, COPY, NOP, ...) would rewrite names elsewhere

#include <iterator>

namespace nlsqlagent::rt {
namespace {

// The body: raise the code object's only constant, the error class. The opcodes' numbers come from the
// interpreter's <opcode.h>.
#if NLSA_CODE_RESUME
// RESUME's inline cache entries follow it; the interpreter skips them, so an instruction in their place
// would never run.
constexpr unsigned char kBody[] = {RESUME,     0,
#if NLSA_RESUME_CACHE_ENTRIES == 1
                                   CACHE,      0,
#endif
                                   LOAD_CONST, 0, RAISE_VARARGS, 1};
static_assert(NLSA_RESUME_CACHE_ENTRIES <= 1, "one CACHE unit per entry after RESUME");
// One entry for all the code units, in the "no columns" form (code 13), line delta 0.
constexpr unsigned char kLineTable[] = {0x80 | (13 << 3) | (std::size(kBody) / 2 - 1), 0};
constexpr size_t kLineTableSize = std::size(kLineTable);
#else
constexpr unsigned char kBody[] = {LOAD_CONST, 0, RAISE_VARARGS, 1};
constexpr unsigned char kLineTable[] = {0};
constexpr size_t kLineTableSize = 0;  // an empty table: every instruction on the first line
#endif

constexpr char kNativeCodeMessage[] =
    "this code object describes a native method of nlsqlagent and has no Python body to run; call the method";

/// str() of the error that a method's code object raises when it is run by itself: the class is raised
/// without arguments, so its text comes from the class. A builtin function in the class dict is not bound,
/// so it is called without arguments.
PyObject *native_code_message(PyObject *, PyObject *) { return PyUnicode_FromString(kNativeCodeMessage); }

PyMethodDef g_native_code_message_def = {"__str__", native_code_message, METH_NOARGS, nullptr};

/// The error class (process lifetime): nlsqlagent.NativeMethodError, a TypeError. Borrowed, or null.
PyObject *native_code_error() {
  static PyObject *error = nullptr;
  if (error) return error;
  Ref str = Ref::steal(PyCFunction_New(&g_native_code_message_def, nullptr));
  Ref dict = str ? Ref::steal(PyDict_New()) : Ref();
  if (!dict || PyDict_SetItemString(dict.get(), "__str__", str.get()) < 0) return nullptr;
  error = PyErr_NewExceptionWithDoc("nlsqlagent.NativeMethodError", kNativeCodeMessage, PyExc_TypeError, dict.get());
  return error;
}

/// The code object of one method. New reference or null.
PyObject *code_object(const MethodDef &def, PyObject *filename, PyObject *body, PyObject *line_table,
                      PyObject *consts) {
  const int nlocals = def.nparams + (def.extra_local ? 1 : 0);
  Ref varnames = Ref::steal(PyTuple_New(nlocals));
  Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
  Ref qualname = Ref::steal(PyUnicode_FromString(def.qualname));
  if (!varnames || !name || !qualname) return nullptr;
  for (int i = 0; i < nlocals; ++i) {
    PyObject *local = i < def.nparams ? Py_NewRef(def.interned_params[i]) : PyUnicode_InternFromString(def.extra_local);
    if (!local) return nullptr;
    PyTuple_SET_ITEM(varnames.get(), i, local);
  }
  return compat::new_code(
      {def.nparams, body, consts, varnames.get(), filename, name.get(), qualname.get(), def.def_line, line_table});
}

}  // namespace

int build_code_objects(MethodDef *const *defs, size_t count) noexcept {
  PyObject *error = native_code_error();
  Ref filename = Ref::steal(PyUnicode_InternFromString(kSourceFile));
  Ref body = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(kBody), std::size(kBody)));
  Ref line_table = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(kLineTable), kLineTableSize));
  Ref consts = error ? Ref::steal(PyTuple_Pack(1, error)) : Ref();
  if (!filename || !body || !line_table || !consts) return -1;
  for (size_t m = 0; m < count; ++m) {
    if (defs[m]->code) continue;
    defs[m]->code = code_object(*defs[m], filename.get(), body.get(), line_table.get(), consts.get());
    if (!defs[m]->code) {
      for (size_t k = 0; k < m; ++k) Py_CLEAR(defs[k]->code);
      return -1;
    }
  }
  return 0;
}

}  // namespace nlsqlagent::rt
