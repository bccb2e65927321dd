// The module's import statements, run directly through the interpreter's import function, and the quieting
// of LangChain's deprecation notes that they trigger.
#include "imports.hpp"

#include <unistd.h>

#include <iterator>
#include <utility>

#include "../compat.hpp"
#include "../runtime/error_scope.hpp"
#include "lines.hpp"

namespace nlsqlagent::base {
namespace {

enum class ImportKind { kFrom, kPlain, kAllPublic };

struct ImportStatement {
  int line;  // of the statement in the source
  ImportKind kind;
  const char *module;     // as the source names it: the LangChain 0.3 line
  const char *module_1x;  // where LangChain 1.x keeps it
  const char *name;       // the name a from-import binds
};

constexpr ImportStatement kImports[] = {
#define NLSA_IMPORT(line, kind, module, module_1x, name) {line, ImportKind::kind, module, module_1x, name},
#include "statements.inc"
#undef NLSA_IMPORT
};

/// The statements stand on the first lines of the source, one per line, in order, before the classes.
constexpr bool imports_on_their_lines() {
  for (size_t i = 0; i < std::size(kImports); ++i) {
    if (kImports[i].line != static_cast<int>(i) + 1) return false;
  }
  return static_cast<int>(std::size(kImports)) < line::kConnectorClass;
}
static_assert(imports_on_their_lines());

/// The import function, called directly: level 0, the namespace as globals, a new empty dict as locals.
Ref import_module(PyObject *globals, PyObject *path, PyObject *fromlist) {
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return Ref();
  return Ref::steal(PyImport_ImportModuleLevelObject(path, globals, locals.get(), fromlist, 0));
}

/// ImportError "cannot import name <name>", with the module's `__name__` and file as its `name` and `path`, as
/// the interpreter's own from-import gives them. Both are read from the module's dict, which runs no code; None
/// where the module has none, or the import gave something other than a module.
void raise_cannot_import(PyObject *module, PyObject *name) {
  Ref message = Ref::steal(PyUnicode_FromFormat("cannot import name %S", name));
  if (!message) return;
  Ref module_name, file;
  if (PyModule_Check(module)) {
    // Each read's SystemError (a name or file that is missing) is cleared: that one stays None.
    if (!(module_name = Ref::steal(PyModule_GetNameObject(module)))) PyErr_Clear();
    if (!(file = Ref::steal(PyModule_GetFilenameObject(module)))) PyErr_Clear();
  }
  PyErr_SetImportError(message.get(), module_name.get(), file.get());
}

/// `from <path> import <name>`: the attribute, else the submodule already in sys.modules. 0 or -1.
int from_import(PyObject *globals, PyObject *path, const char *name_text) {
  Ref name = Ref::steal(PyUnicode_InternFromString(name_text));
  Ref fromlist = Ref::steal(PyList_New(1));
  if (!name || !fromlist) return -1;
  PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(name.get()));
  Ref module = import_module(globals, path, fromlist.get());
  if (!module) return -1;
  Ref value = Ref::steal(PyObject_GetAttr(module.get(), name.get()));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    Ref module_name = Ref::steal(PyObject_GetAttrString(module.get(), "__name__"));
    Ref key = module_name ? Ref::steal(PyUnicode_FromFormat("%S.%S", module_name.get(), name.get())) : Ref();
    if (key) value = Ref::borrow(PyDict_GetItemWithError(PyImport_GetModuleDict(), key.get()));
  }
  if (!value) {
    // The lookup's own failure (a MemoryError, say) stays reachable as the ImportError's context.
    Ref cause = compat::take_pending_exception();
    raise_cannot_import(module.get(), name.get());
    if (cause) {
      Ref error = compat::take_pending_exception();
      if (error) PyException_SetContext(error.get(), cause.release());
      compat::restore_pending_exception(std::move(error));
    }
    return -1;
  }
  return PyDict_SetItem(globals, name.get(), value.get());
}

/// True when the module found in sys.modules is still initialising (spec._initializing is true).
/// 1, 0, or -1 with an exception set.
int still_initialising(PyObject *module) {
  Ref spec = Ref::steal(PyObject_GetAttrString(module, "__spec__"));
  Ref initializing = spec ? Ref::steal(PyObject_GetAttrString(spec.get(), "_initializing")) : Ref();
  if (!initializing) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  return PyObject_IsTrue(initializing.get());
}

/// `import <name>`: the module in sys.modules unless it is still initialising, else the import function. A
/// None there is the import system's mark of a blocked import: the import function raises
/// ModuleNotFoundError for it, as a plain import does, instead of binding None.
int plain_import(PyObject *globals, PyObject *name) {
  Ref module = Ref::borrow(PyDict_GetItemWithError(PyImport_GetModuleDict(), name));
  if (!module && PyErr_Occurred()) return -1;
  if (module.get() == Py_None) module = Ref();
  if (module) {
    const int initialising = still_initialising(module.get());
    if (initialising < 0) return -1;
    if (initialising) module = Ref();
  }
  if (!module) module = import_module(globals, name, nullptr);
  if (!module) return -1;
  return PyDict_SetItem(globals, name, module.get());
}

/// The names that `from <module> import *` takes: __all__, else the public keys of __dict__. New reference.
Ref public_names(PyObject *module) {
  Ref names = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (names || !PyErr_ExceptionMatches(PyExc_AttributeError)) return names;
  PyErr_Clear();
  Ref dict = Ref::steal(PyObject_GetAttrString(module, "__dict__"));
  if (!dict) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ImportError, "from-import-* object has no __dict__ and no __all__");
    }
    return Ref();
  }
  Ref keys = Ref::steal(PyMapping_Keys(dict.get()));
  if (!keys) return Ref();
  Ref result = Ref::steal(PyList_New(0));
  if (!result) return Ref();
  for (Py_ssize_t i = 0, n = PyList_GET_SIZE(keys.get()); i < n; ++i) {
    PyObject *key = PyList_GET_ITEM(keys.get(), i);
    if (PyUnicode_Check(key) && compat::ready_text(key) < 0) return Ref();
    const bool private_name =
        PyUnicode_Check(key) && PyUnicode_GET_LENGTH(key) > 0 && PyUnicode_READ_CHAR(key, 0) == '_';
    if (!private_name && PyList_Append(result.get(), key) < 0) return Ref();
  }
  return result;
}

/// `from <path> import *`: each name is bound as it is read, as the interpreter's own star import binds it, so
/// a failure part way leaves the names before it bound (in a module that someone keeps from its failed import).
int import_all_public(PyObject *module_object, PyObject *globals, PyObject *path) {
  Ref star = Ref::steal(PyUnicode_FromString("*"));
  Ref fromlist = star ? Ref::steal(PyList_New(1)) : Ref();
  if (!fromlist) return -1;
  PyList_SET_ITEM(fromlist.get(), 0, star.release());
  Ref module = import_module(globals, path, fromlist.get());
  if (!module) return -1;
  Ref names = public_names(module.get());
  if (!names) return -1;
  for (Py_ssize_t i = 0;; ++i) {
    Ref name = Ref::steal(PySequence_GetItem(names.get(), i));
    if (!name) {
      if (!PyErr_ExceptionMatches(PyExc_IndexError)) return -1;
      PyErr_Clear();
      return 0;
    }
    Ref value = Ref::steal(PyObject_GetAttr(module.get(), name.get()));
    if (!value || PyObject_SetAttr(module_object, name.get(), value.get()) < 0) return -1;
  }
}

/// Whether `message` (a warnings.WarningMessage) is one of LangChain's notes about its deprecated import
/// paths: a DeprecationWarning (or pending one) of a category defined by a langchain package, whose text
/// begins "Importing ". 1, 0, or -1 with an exception set.
int import_path_note(PyObject *message) {
  Ref category = Ref::steal(PyObject_GetAttrString(message, "category"));
  if (!category) return -1;
  if (!PyType_Check(category.get())) return 0;
  const int deprecation = PyObject_IsSubclass(category.get(), PyExc_DeprecationWarning);
  const int pending = deprecation == 0 ? PyObject_IsSubclass(category.get(), PyExc_PendingDeprecationWarning) : 0;
  if (deprecation < 0 || pending < 0) return -1;
  if (!deprecation && !pending) return 0;
  Ref module = Ref::steal(PyObject_GetAttrString(category.get(), "__module__"));
  if (!module) return -1;
  static PyObject *langchain = nullptr, *importing = nullptr;  // interned once, for the process
  if (!langchain && !(langchain = PyUnicode_InternFromString("langchain"))) return -1;
  if (!importing && !(importing = PyUnicode_InternFromString("Importing "))) return -1;
  if (!PyUnicode_Check(module.get()) || PyUnicode_Tailmatch(module.get(), langchain, 0, PY_SSIZE_T_MAX, -1) != 1) {
    return 0;
  }
  Ref warning = Ref::steal(PyObject_GetAttrString(message, "message"));
  Ref text = warning ? Ref::steal(PyObject_Str(warning.get())) : Ref();
  if (!text) return -1;
  return PyUnicode_Tailmatch(text.get(), importing, 0, PY_SSIZE_T_MAX, -1);
}

/// The thread whose import statements run now (PyThread_get_thread_ident), or 0 while none do, and the
/// process it runs in: a child forked meanwhile has neither that thread nor the import, and a thread it
/// starts may be given the same ident.
unsigned long g_quiet_thread = 0;
pid_t g_quiet_process = 0;

/// warnings._showwarnmsg while the module's import statements run: on the importing thread, LangChain's notes
/// about its deprecated import paths, which those statements use and the module's users cannot change, are
/// dropped; every other warning, and every warning of another thread or at another time, goes to the
/// function it replaced with the very same message object, so that it behaves exactly as that one.
PyObject *quiet_showwarnmsg(PyObject *original, PyObject *message) {
  if (g_quiet_thread != 0 && g_quiet_thread == PyThread_get_thread_ident() && g_quiet_process == getpid()) {
    const int drop = import_path_note(message);
    if (drop < 0) return nullptr;
    if (drop) Py_RETURN_NONE;
  }
  return PyObject_CallFunctionObjArgs(original, message, nullptr);
}

PyMethodDef g_quiet_showwarnmsg_def = {"_showwarnmsg", quiet_showwarnmsg, METH_O, nullptr};

/// Quiets LangChain's deprecation notes on this thread for its lifetime. The warnings machinery shows every
/// warning through warnings._showwarnmsg, which nothing else saves or swaps (catch_warnings and
/// logging.captureWarnings work on showwarning and _showwarnmsg_impl), so it is wrapped there and put back
/// afterwards unless someone replaced it meanwhile; a wrapper left in someone's hands only forwards. Without
/// a _showwarnmsg to wrap, the import goes on unquieted.
class QuietLangChainNotes {
 public:
  QuietLangChainNotes() {
    warnings_ = Ref::steal(PyImport_ImportModule("warnings"));
    if (!warnings_) return;
    original_ = Ref::steal(PyObject_GetAttrString(warnings_.get(), "_showwarnmsg"));
    if (!original_) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return;
      PyErr_Clear();
      ok_ = true;
      return;
    }
    quiet_ = Ref::steal(PyCFunction_New(&g_quiet_showwarnmsg_def, original_.get()));
    if (!quiet_ || PyObject_SetAttrString(warnings_.get(), "_showwarnmsg", quiet_.get()) < 0) return;
    ok_ = true;
    g_quiet_thread = PyThread_get_thread_ident();
    g_quiet_process = getpid();
  }
  /// False with an exception set when the quieting could not be put in place.
  bool ok() const { return ok_; }
  ~QuietLangChainNotes() {
    g_quiet_thread = 0;
    if (!quiet_ || !ok_) return;
    rt::ErrorScope pending;  // the import's own error, if any, stays the one reported
    Ref current = Ref::steal(PyObject_GetAttrString(warnings_.get(), "_showwarnmsg"));
    if (current.get() == quiet_.get() && PyObject_SetAttrString(warnings_.get(), "_showwarnmsg", original_.get()) < 0) {
      PyErr_WriteUnraisable(warnings_.get());
    }
    // A missing attribute (someone deleted it) is left as they left it.
  }
  QuietLangChainNotes(const QuietLangChainNotes &) = delete;
  QuietLangChainNotes &operator=(const QuietLangChainNotes &) = delete;

 private:
  Ref warnings_, original_, quiet_;
  bool ok_ = false;
};

/// Whether the installed LangChain is the 1.x line: a top-level package langchain_classic that the import
/// system would find. The finders of sys.meta_path are asked as the import system asks them first, so that
/// nothing is imported that the statements would not import; a module already in sys.modules counts (None
/// there, the mark of a blocked import, does not). 1, 0, or -1 with an exception set.
int langchain_1x_installed() {
  Ref name = Ref::steal(PyUnicode_FromString("langchain_classic"));
  if (!name) return -1;
  PyObject *present = PyDict_GetItemWithError(PyImport_GetModuleDict(), name.get());  // borrowed
  if (present) return present != Py_None;
  if (PyErr_Occurred()) return -1;
  PyObject *meta_path = PySys_GetObject("meta_path");  // borrowed
  if (!meta_path) return 0;
  Ref finders = Ref::steal(PySequence_List(meta_path));  // a finder may change sys.meta_path
  if (!finders) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(finders.get()); ++i) {
    Ref find_spec = Ref::steal(PyObject_GetAttrString(PyList_GET_ITEM(finders.get(), i), "find_spec"));
    if (!find_spec) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
      PyErr_Clear();  // a finder of the older protocol: the import system skips it as well
      continue;
    }
    Ref spec = Ref::steal(PyObject_CallFunctionObjArgs(find_spec.get(), name.get(), Py_None, nullptr));
    if (!spec) return -1;
    if (spec.get() != Py_None) return 1;
  }
  return 0;
}

/// What to install, by the LangChain lines that import on this interpreter.
constexpr const char *kInstallHint =
#if NLSA_LANGCHAIN_1X_IMPORTS && NLSA_LANGCHAIN_03_IMPORTS
    "nlsqlagent needs LangChain, its 0.3 line (pip install \"langchain>=0.3,<0.4\" "
    "\"langchain-community>=0.3,<0.4\") or its 1.x line (pip install \"langchain-classic>=1.0.7\" "
    "\"langchain-community>=0.4\" mypy_extensions)";
#elif NLSA_LANGCHAIN_03_IMPORTS
    "nlsqlagent needs LangChain's 0.3 line, the one that installs on CPython " NLSA_VERSION_TEXT
    " (pip install \"langchain>=0.3,<0.4\" \"langchain-community>=0.3,<0.4\")";
#elif NLSA_LANGCHAIN_1X_IMPORTS
    "nlsqlagent needs LangChain's 1.x line, the one that imports on CPython " NLSA_VERSION_TEXT
    " (pip install \"langchain-classic>=1.0.7\" \"langchain-community>=0.4\" mypy_extensions)";
#else
    "LangChain does not support CPython " NLSA_VERSION_TEXT
    " (its 0.3 line needs 3.9 or later, its 1.x line 3.10 or later), and nlsqlagent imports its agent and "
    "database names";
#endif

/// A statement that found no module of one of LangChain's packages (or of mypy_extensions, which
/// langchain_classic.agents needs and no package of the 1.x line declares) fails with its ModuleNotFoundError
/// saying which packages to install. Any other failure is left as it is.
void explain_missing_langchain() {
  if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return;
  Ref error = compat::take_pending_exception();
  Ref name = error ? Ref::steal(PyObject_GetAttrString(error.get(), "name")) : Ref();
  bool langchain = false;
  if (name && PyUnicode_Check(name.get())) {
    for (const char *package : {"langchain", "langchain_classic", "langchain_community", "langchain_core",
                                "langchain_text_splitters", "mypy_extensions"}) {
      if (PyUnicode_CompareWithASCIIString(name.get(), package) == 0) langchain = true;
    }
  }
  PyErr_Clear();  // a failed read of `name` leaves the import's own error as it was
  if (langchain) {
    Ref text = Ref::steal(PyObject_Str(error.get()));
    Ref message = text ? Ref::steal(PyUnicode_FromFormat("%U: %s", text.get(), kInstallHint)) : Ref();
    Ref args = message ? Ref::steal(PyTuple_Pack(1, message.get())) : Ref();
    if (!args || PyObject_SetAttrString(error.get(), "msg", message.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "args", args.get()) < 0) {
      PyErr_Clear();  // out of memory: the import's own error is still the better report
    }
  }
  compat::restore_pending_exception(std::move(error));
}

}  // namespace

int run_imports(PyObject *module_object, PyObject *globals, rt::TracebackSite &site) noexcept {
  QuietLangChainNotes quiet;
  if (!quiet.ok()) {
    rt::add_traceback(site, line::kSetup);
    return -1;
  }
  // Decided once, before any statement runs: the 1.x line's homes when langchain_classic is installed
  // (it needs langchain-core 1.x, with which the 0.3 line does not work), else the source's own.
  const int line_1x = langchain_1x_installed();
  if (line_1x < 0) {
    rt::add_traceback(site, line::kSetup);
    return -1;
  }
  for (const ImportStatement &statement : kImports) {
    Ref path = Ref::steal(PyUnicode_InternFromString(line_1x ? statement.module_1x : statement.module));
    int rc = -1;
    if (path) {
      switch (statement.kind) {
        case ImportKind::kFrom:
          rc = from_import(globals, path.get(), statement.name);
          break;
        case ImportKind::kPlain:
          rc = plain_import(globals, path.get());
          break;
        case ImportKind::kAllPublic:
          rc = import_all_public(module_object, globals, path.get());
          break;
      }
    }
    if (rc < 0) {
      explain_missing_langchain();
      rt::add_traceback(site, statement.line);
      return -1;
    }
  }
  return 0;
}

}  // namespace nlsqlagent::base
