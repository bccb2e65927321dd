// The module: entry point, create and exec steps, the module's statements and the two classes.
#include <cstdio>
#include <initializer_list>

#include "lines.hpp"
#include "state.hpp"

namespace nlsqlagent::base {

ModuleState g_state;

namespace {

constexpr const char *kModuleName = "nlsqlagent";
rt::TracebackSite g_init_site{"init nlsqlagent"};
PyObject *g_langchain_prefix = nullptr;  // "langchain", interned once

/// The methods, in the order of their definitions in the source.
rt::MethodDef *const kMethods[] = {&g_connector_init, &g_connect, &g_getdbinstance, &g_runner_init, &g_run};
constexpr int kMethodCount = sizeof kMethods / sizeof kMethods[0];

/// Adds the initialisation entry for `line` to the pending exception; returns -1.
[[gnu::cold]] int init_failed_at(int line) {
  rt::add_traceback(g_init_site, line);
  return -1;
}

// ---- create step ----------------------------------------------------------------------------------------

/// Copies spec.<from> into the module dict as <to>; a missing attribute is skipped. 0 or -1.
int copy_spec_attribute(PyObject *spec, PyObject *module_dict, const char *from, const char *to, bool copy_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (value.get() == Py_None && !copy_none) return 0;
  return PyDict_SetItemString(module_dict, to, value.get());
}

PyObject *module_create(PyObject *spec, PyModuleDef * /*def*/) noexcept {
  const int64_t id = compat::current_interpreter_id();
  if (id == -1) return nullptr;
  if (g_state.main_interpreter_id == -1) {
    g_state.main_interpreter_id = id;
  } else if (id != g_state.main_interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  if (g_state.module) return Py_NewRef(g_state.module);
  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject *dict = PyModule_GetDict(module.get());
  if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
      copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
      copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
      copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
    return nullptr;
  }
  return module.release();
}

// ---- exec step: preparation -----------------------------------------------------------------------------

/// Packs up to four dotted numbers from the start of the interpreter's version text.
uint32_t runtime_version_packed() {
  const char *s = Py_GetVersion();
  uint32_t packed = 0;
  for (int shift = 24; shift >= 0; shift -= 8) {
    uint32_t number = 0;
    while (*s >= '0' && *s <= '9') number = number * 10 + static_cast<uint32_t>(*s++ - '0');
    packed |= (number & 0xffu) << shift;
    if (*s != '.') break;
    ++s;
  }
  return packed;
}

/// Warns when the runtime's major.minor differs from the build's. -1 when the warning became an error.
int check_runtime_version() {
  const uint32_t packed = runtime_version_packed();
  const int major = static_cast<int>(packed >> 24), minor = static_cast<int>((packed >> 16) & 0xff);
  if (major == compat::kBuildMajor && minor == compat::kBuildMinor) return 0;
  char text[200];
  std::snprintf(text, sizeof text, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                compat::kBuildMajor, compat::kBuildMinor, kModuleName, "does not match", major, minor);
  return PyErr_WarnEx(nullptr, text, 1);
}

/// Interns the constant names and texts, once per process. 0 or -1.
int make_constants() {
#define NLSA_MAKE(field, text)                              \
  if (!g_state.names.field) {                               \
    g_state.names.field = PyUnicode_InternFromString(text); \
    if (!g_state.names.field) return -1;                    \
  }
  NLSA_NAMES(NLSA_MAKE)
#undef NLSA_MAKE
#define NLSA_BIND(field) g_state.attrs.field.name = g_state.names.field;
  NLSA_ATTRS(NLSA_BIND)
#undef NLSA_BIND
#define NLSA_MAKE(field, text)                              \
  if (!g_state.texts.field) {                               \
    g_state.texts.field = PyUnicode_InternFromString(text); \
    if (!g_state.texts.field) return -1;                    \
  }
  NLSA_TEXTS(NLSA_MAKE)
#undef NLSA_MAKE
  for (rt::MethodDef *def : kMethods) {
    if (rt::prepare_method(*def) < 0) return -1;
  }
  if (!g_state.empty_tuple && !(g_state.empty_tuple = PyTuple_New(0))) return -1;
  if (!g_langchain_prefix && !(g_langchain_prefix = PyUnicode_InternFromString("langchain"))) return -1;
  const Names &n = g_state.names;
  if (!g_state.agent_keywords &&
      !(g_state.agent_keywords = PyTuple_Pack(4, n.llm, n.toolkit, n.verbose, n.agent_type))) {
    return -1;
  }
  if (!g_state.fresh_status) {
    Ref status = Ref::steal(PyDict_New());
    if (!status || PyDict_SetItem(status.get(), n.connected, Py_False) < 0 ||
        PyDict_SetItem(status.get(), n.message, Py_None) < 0) {
      return -1;
    }
    g_state.fresh_status = status.release();
  }
  return 0;
}

/// Adds the module to sys.modules as "nlsqlagent" when it was imported under another name, and records that
/// it did. 0 or -1.
int register_under_own_name(PyObject *module) {
  PyObject *modules = PyImport_GetModuleDict();
  Ref key = Ref::steal(PyUnicode_FromString(kModuleName));
  if (!key) return -1;
  const int present = PyDict_Contains(modules, key.get());
  if (present != 0) return present < 0 ? -1 : 0;
  if (PyDict_SetItem(modules, key.get(), module) < 0) return -1;
  g_state.registered = true;
  return 0;
}

/// Takes back the sys.modules entry that register_under_own_name added, if it still holds `module`. The
/// pending exception is kept.
void unregister_under_own_name(PyObject *module) {
  if (!g_state.registered) return;
  g_state.registered = false;
  Ref pending = compat::take_pending_exception();
  PyObject *modules = PyImport_GetModuleDict();
  Ref key = Ref::steal(PyUnicode_FromString(kModuleName));
  PyObject *entry = key ? PyDict_GetItemWithError(modules, key.get()) : nullptr;
  if (entry == module && PyDict_DelItem(modules, key.get()) < 0) PyErr_WriteUnraisable(module);
  PyErr_Clear();  // a failure to take the entry back must not replace the import's own error
  compat::restore_pending_exception(std::move(pending));
}

/// Replaces a process-wide object with a fully built new one (the old one is released last).
void commit(PyObject *&field, Ref value) { Py_XSETREF(field, value.release()); }

/// The builtin print, the two argument tuples. 0 or -1.
int cache_print_and_texts() {
  Ref print = Ref::steal(PyObject_GetAttrString(rt::context().builtins, "print"));
  if (!print) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    Ref name = Ref::steal(PyUnicode_FromString("print"));
    if (name) rt::raise_name_error(name.get());
    return -1;
  }
  commit(g_state.print, std::move(print));
  Ref init_failed = Ref::steal(Py_BuildValue("(s)", "Error occurred during initialization."));
  Ref not_initialized = Ref::steal(Py_BuildValue("(s)", "Agent runner is not initialized."));
  if (!init_failed || !not_initialized) return -1;
  commit(g_state.args_init_failed, std::move(init_failed));
  commit(g_state.args_not_initialized, std::move(not_initialized));
  return 0;
}

// ---- exec step: the module's statements -----------------------------------------------------------------

enum class ImportKind { kFrom, kPlain, kAllPublic };

struct ImportStatement {
  ImportKind kind;
  const char *module;
  const char *name;  // the name a from-import binds
};

constexpr ImportStatement kImports[] = {
    {ImportKind::kFrom, "langchain.agents", "create_sql_agent"},
    {ImportKind::kFrom, "langchain.agents.agent_toolkits", "SQLDatabaseToolkit"},
    {ImportKind::kFrom, "langchain.sql_database", "SQLDatabase"},
    {ImportKind::kFrom, "langchain.llms.openai", "OpenAI"},
    {ImportKind::kFrom, "langchain.agents", "AgentExecutor"},
    {ImportKind::kFrom, "langchain.agents.agent_types", "AgentType"},
    {ImportKind::kFrom, "langchain.chat_models", "ChatOpenAI"},
    {ImportKind::kFrom, "sqlalchemy", "create_engine"},
    {ImportKind::kPlain, "os", nullptr},
    {ImportKind::kAllPublic, "langchain.agents", nullptr},
    {ImportKind::kFrom, "langchain.llms", "OpenAI"},
    {ImportKind::kFrom, "langchain.sql_database", "SQLDatabase"},
    {ImportKind::kPlain, "pymysql", nullptr},
};

/// The import function, called directly: level 0, the namespace as globals, a new empty dict as locals.
Ref import_module(PyObject *globals, PyObject *path, PyObject *fromlist) {
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return Ref();
  return Ref::steal(PyImport_ImportModuleLevelObject(path, globals, locals.get(), fromlist, 0));
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
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
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

/// `import <name>`: the module in sys.modules unless it is still initialising, else the import function.
int plain_import(PyObject *globals, PyObject *name) {
  Ref module = Ref::borrow(PyDict_GetItemWithError(PyImport_GetModuleDict(), name));
  if (!module && PyErr_Occurred()) return -1;
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

/// `from <path> import *`: every name is read before any is bound, so a failure binds nothing.
int import_all_public(PyObject *module_object, PyObject *globals, PyObject *path) {
  Ref star = Ref::steal(PyUnicode_FromString("*"));
  Ref fromlist = star ? Ref::steal(PyList_New(1)) : Ref();
  if (!fromlist) return -1;
  PyList_SET_ITEM(fromlist.get(), 0, star.release());
  Ref module = import_module(globals, path, fromlist.get());
  if (!module) return -1;
  Ref names = public_names(module.get());
  if (!names) return -1;
  Ref taken = Ref::steal(PyDict_New());
  if (!taken) return -1;
  for (Py_ssize_t i = 0;; ++i) {
    Ref name = Ref::steal(PySequence_GetItem(names.get(), i));
    if (!name) {
      if (!PyErr_ExceptionMatches(PyExc_IndexError)) return -1;
      PyErr_Clear();
      break;
    }
    Ref value = Ref::steal(PyObject_GetAttr(module.get(), name.get()));
    if (!value || PyDict_SetItem(taken.get(), name.get(), value.get()) < 0) return -1;
  }
  Py_ssize_t pos = 0;
  PyObject *name, *value;
  while (PyDict_Next(taken.get(), &pos, &name, &value)) {
    if (PyObject_SetAttr(module_object, name, value) < 0) return -1;
  }
  return 0;
}

/// Whether `category` is one of LangChain's deprecation categories: a DeprecationWarning (or pending one)
/// defined by a langchain package. -1 with an exception set.
int langchain_deprecation(PyObject *category) {
  if (!PyType_Check(category)) return 0;
  const int deprecation = PyObject_IsSubclass(category, PyExc_DeprecationWarning);
  const int pending = deprecation == 0 ? PyObject_IsSubclass(category, PyExc_PendingDeprecationWarning) : 0;
  if (deprecation < 0 || pending < 0) return -1;
  if (!deprecation && !pending) return 0;
  Ref module = Ref::steal(PyObject_GetAttrString(category, "__module__"));
  if (!module) return -1;
  return PyUnicode_Check(module.get()) && PyUnicode_Tailmatch(module.get(), g_langchain_prefix, 0, 9, -1) == 1;
}

/// The thread whose import statements run now (PyThread_get_thread_ident), or 0 while none do.
unsigned long g_quiet_thread = 0;

/// warnings._showwarnmsg while the module's import statements run: on the importing thread, LangChain's notes
/// about its deprecated import paths, which those statements use and the module's users cannot change, are
/// dropped; every other warning, and every warning of another thread or at another time, goes to the
/// function it replaced with the very same message object, so that it behaves exactly as that one.
PyObject *quiet_showwarnmsg(PyObject *original, PyObject *message) {
  if (g_quiet_thread != 0 && g_quiet_thread == PyThread_get_thread_ident()) {
    Ref category = Ref::steal(PyObject_GetAttrString(message, "category"));
    if (!category) return nullptr;
    const int drop = langchain_deprecation(category.get());
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
  }
  /// False with an exception set when the quieting could not be put in place.
  bool ok() const { return ok_; }
  ~QuietLangChainNotes() {
    g_quiet_thread = 0;
    if (!quiet_ || !ok_) return;
    Ref pending = compat::take_pending_exception();
    Ref current = Ref::steal(PyObject_GetAttrString(warnings_.get(), "_showwarnmsg"));
    if (current.get() == quiet_.get() &&
        PyObject_SetAttrString(warnings_.get(), "_showwarnmsg", original_.get()) < 0) {
      PyErr_WriteUnraisable(warnings_.get());
    }
    PyErr_Clear();  // a missing attribute (someone deleted it) is left as they left it
    compat::restore_pending_exception(std::move(pending));
  }
  QuietLangChainNotes(const QuietLangChainNotes &) = delete;
  QuietLangChainNotes &operator=(const QuietLangChainNotes &) = delete;

 private:
  Ref warnings_, original_, quiet_;
  bool ok_ = false;
};

/// Statements 1 to 13. 0, or -1 with the failing statement's entry added.
int run_imports(PyObject *module_object, PyObject *globals) {
  QuietLangChainNotes quiet;
  if (!quiet.ok()) return init_failed_at(line::kSetup);
  int line = 0;
  for (const ImportStatement &statement : kImports) {
    ++line;
    Ref path = Ref::steal(PyUnicode_InternFromString(statement.module));
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
    if (rc < 0) return init_failed_at(line);
  }
  return 0;
}

/// The value of a kSlot default, `<global>.<attribute>` (AgentType.ZERO_SHOT_REACT_DESCRIPTION), the global
/// resolved in the namespace, then the builtins. New reference or null.
Ref slot_default(PyObject *globals, const rt::Param &param) {
  Ref name = Ref::steal(PyUnicode_InternFromString(param.slot_global));
  if (!name) return Ref();
  rt::GlobalCache once;
  Ref value = rt::lookup_global(globals, name.get(), once);
  if (!value) return Ref();
  return Ref::steal(PyObject_GetAttrString(value.get(), param.slot_attribute));
}

/// A class statement: the namespace in order, the method objects, then type(name, (), namespace). `codes`
/// are the methods' code objects. Returns 0, or -1 with the failing line's entry added.
int define_class(PyObject *globals, const char *class_name, rt::MethodDef *const *methods, PyObject *const *codes,
                 int count, int class_line) {
  Ref name = Ref::steal(PyUnicode_InternFromString(class_name));
  Ref module_name = Ref::steal(PyUnicode_InternFromString(kModuleName));
  Ref ns = Ref::steal(PyDict_New());
  if (!name || !module_name || !ns || PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", name.get()) < 0) {
    return init_failed_at(class_line);
  }
  for (int i = 0; i < count; ++i) {
    rt::MethodDef *def = methods[i];
    // A default computed at initialisation is evaluated before the object is made, at the definition's line.
    Ref slot_value;
    for (int p = 0; p < def->nparams; ++p) {
      if (def->params[p].fallback != rt::Default::kSlot) continue;
      slot_value = slot_default(globals, def->params[p]);
      if (!slot_value) return init_failed_at(def->def_line);
    }
    Ref function = Ref::steal(rt::new_function(def, module_name.get(), globals, codes[i], slot_value.get()));
    if (!function ||
        PyDict_SetItem(ns.get(), reinterpret_cast<rt::FunctionObject *>(function.get())->name, function.get()) < 0) {
      return init_failed_at(class_line);
    }
  }
  Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PyType_Type), name.get(),
                                                    g_state.empty_tuple, ns.get(), nullptr));
  if (!cls || PyDict_SetItem(globals, name.get(), cls.get()) < 0) {
    return init_failed_at(class_line);
  }
  return 0;
}

/// The methods' code objects, made once per process (they hold only names and constants).
PyObject *g_codes[kMethodCount];

/// Steps 3 to 9 of the exec step, on the recorded module. 0 or -1.
int initialise(PyObject *module, PyObject *globals) {
  PyObject *builtins = PyImport_AddModule("builtins");  // borrowed
  if (!builtins) return -1;
  rt::set_context(globals, builtins);
  if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return -1;
  if (check_runtime_version() < 0) return -1;
  if (rt::ready_function_type() < 0 || make_constants() < 0 || rt::probe_inline_values() < 0) return -1;

  if (register_under_own_name(module) < 0 || cache_print_and_texts() < 0 ||
      (!g_codes[0] && rt::build_code_objects(kMethods, kMethodCount, g_codes) < 0)) {
    return init_failed_at(line::kSetup);
  }
  if (run_imports(module, globals) < 0) return -1;
  if (define_class(globals, "DatabaseConnector", kMethods, g_codes, 3, line::kConnectorClass) < 0) return -1;
  if (define_class(globals, "AgentRunner", kMethods + 3, g_codes + 3, 2, line::kRunnerClass) < 0) return -1;
  Ref test = Ref::steal(PyDict_New());
  if (!test || PyDict_SetItemString(globals, "__test__", test.get()) < 0) {
    return init_failed_at(line::kTest);
  }
  return 0;
}

int module_exec(PyObject *module) noexcept {
  if (g_state.module) {
    if (g_state.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'nlsqlagent' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  g_state.module = Py_NewRef(module);
  g_state.globals = PyModule_GetDict(module);
  if (initialise(module, g_state.globals) < 0) {
    unregister_under_own_name(module);
    g_state.globals = nullptr;
    Py_CLEAR(g_state.module);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, kModuleName, nullptr, 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace nlsqlagent::base

extern "C" __attribute__((visibility("default"))) PyObject *PyInit_nlsqlagent(void) {
  return PyModuleDef_Init(&nlsqlagent::base::g_module_def);
}
