// The module: entry point, create and exec steps, and the two classes.
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <iterator>
#include <utility>

#include "../runtime/code_objects.hpp"
#include "../runtime/construction.hpp"
#include "../runtime/context.hpp"
#include "../runtime/error_scope.hpp"
#include "../runtime/globals.hpp"
#include "imports.hpp"
#include "lines.hpp"
#include "state.hpp"

namespace nlsqlagent::base {

ModuleState g_state;

namespace {

constexpr const char *kModuleName = "nlsqlagent";
rt::TracebackSite g_init_site{"init nlsqlagent"};

/// The interpreter whose exec step made the objects that each exec step makes anew (the context's namespace
/// and builtins, the cached print, the argument tuples), or -1 when none are held.
int64_t g_objects_made_by = -1;

/// Whether the running exec step has made methods, which read those objects.
bool g_methods_made = false;

/// The two class statements: each class's methods in the order of their definitions in the source.
rt::MethodDef *const kConnectorMethods[] = {&g_connector_init, &g_connect, &g_getdbinstance};
rt::MethodDef *const kRunnerMethods[] = {&g_runner_init, &g_run};

struct ClassStatement {
  const char *name;
  int line;
  rt::MethodDef *const *methods;
  size_t count;
};

const ClassStatement kClasses[] = {
    {"DatabaseConnector", line::kConnectorClass, kConnectorMethods, std::size(kConnectorMethods)},
    {"AgentRunner", line::kRunnerClass, kRunnerMethods, std::size(kRunnerMethods)},
};

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

/// Whether the current interpreter may import the module: no other one holds it. The interpreter whose exec
/// step runs, or succeeded, holds the module; a failed exec step gives it up, so that the next import, in
/// any interpreter, finds the process as it was. With `claim`, the current interpreter now holds it. The
/// current interpreter's id, or -1 with ImportError when another interpreter holds the module.
int64_t enter_interpreter(bool claim) {
  const int64_t id = compat::current_interpreter_id();
  if (id == -1) return -1;
  if (g_state.main_interpreter_id != -1 && g_state.main_interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return -1;
  }
  if (claim) g_state.main_interpreter_id = id;
  return id;
}

/// The module object for `spec`: a new one, with the spec's attributes. New reference or null.
PyObject *new_module(PyObject *spec) {
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

PyObject *module_create(PyObject *spec, PyModuleDef * /*def*/) noexcept {
  if (enter_interpreter(false) == -1) return nullptr;
  if (g_state.module) return Py_NewRef(g_state.module);
  return new_module(spec);
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
  g_state.run_method.name = g_state.names.run;
#define NLSA_MAKE(field, text)                              \
  if (!g_state.texts.field) {                               \
    g_state.texts.field = PyUnicode_InternFromString(text); \
    if (!g_state.texts.field) return -1;                    \
  }
  NLSA_TEXTS(NLSA_MAKE)
#undef NLSA_MAKE
  for (const ClassStatement &c : kClasses) {
    for (size_t i = 0; i < c.count; ++i) {
      if (rt::prepare_method(*c.methods[i]) < 0) return -1;
    }
  }
  if (!g_state.empty_tuple && !(g_state.empty_tuple = PyTuple_New(0))) return -1;
  if (!g_state.agent_keywords) {
    // create_sql_agent's keywords are AgentRunner.__init__'s parameters after self, in their order.
    const rt::MethodDef &init = g_runner_init;
    Ref keywords = Ref::steal(PyTuple_New(init.nparams - 1));
    if (!keywords) return -1;
    for (int i = 1; i < init.nparams; ++i) PyTuple_SET_ITEM(keywords.get(), i - 1, Py_NewRef(init.interned_params[i]));
    g_state.agent_keywords = keywords.release();
  }
  const Names &n = g_state.names;
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
  rt::ErrorScope pending;  // a failure to take the entry back must not replace the import's own error
  PyObject *modules = PyImport_GetModuleDict();
  Ref key = Ref::steal(PyUnicode_FromString(kModuleName));
  PyObject *entry = key ? PyDict_GetItemWithError(modules, key.get()) : nullptr;
  if (entry == module && PyDict_DelItem(modules, key.get()) < 0) PyErr_WriteUnraisable(module);
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

/// A class statement: the namespace in order, the method objects, then type(name, (), namespace). Returns 0,
/// or -1 with the failing line's entry added.
int define_class(PyObject *globals, const ClassStatement &statement) {
  Ref name = Ref::steal(PyUnicode_InternFromString(statement.name));
  Ref module_name = Ref::steal(PyUnicode_InternFromString(kModuleName));
  Ref ns = Ref::steal(PyDict_New());
  if (!name || !module_name || !ns || PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", name.get()) < 0) {
    return init_failed_at(statement.line);
  }
  for (size_t i = 0; i < statement.count; ++i) {
    rt::MethodDef *def = statement.methods[i];
    // A default computed at initialisation is evaluated before the object is made, at the definition's line.
    Ref slot_value;
    for (int p = 0; p < def->nparams; ++p) {
      if (def->params[p].fallback != rt::Default::kSlot) continue;
      slot_value = slot_default(globals, def->params[p]);
      if (!slot_value) return init_failed_at(def->def_line);
    }
    Ref function = Ref::steal(rt::new_function(def, module_name.get(), globals, slot_value.get()));
    if (!function ||
        PyDict_SetItem(ns.get(), reinterpret_cast<rt::FunctionObject *>(function.get())->name, function.get()) < 0) {
      return init_failed_at(statement.line);
    }
  }
  Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PyType_Type), name.get(),
                                                    g_state.empty_tuple, ns.get(), nullptr));
  if (!cls || rt::install_class_call(cls.get()) < 0 || PyDict_SetItem(globals, name.get(), cls.get()) < 0) {
    return init_failed_at(statement.line);
  }
  rt::install_instance_alloc(cls.get());
  return 0;
}

/// The methods' code objects, made once per process (they hold only names and constants). 0 or -1.
int build_method_code_objects() {
  for (const ClassStatement &c : kClasses) {
    if (rt::build_code_objects(c.methods, c.count) < 0) return -1;
  }
  return 0;
}

/// Steps 3 to 9 of the exec step, on the recorded module. 0 or -1.
int initialise(PyObject *module, PyObject *globals) {
  PyObject *builtins = PyImport_AddModule("builtins");  // borrowed
  if (!builtins) return -1;
  rt::set_context(globals, builtins);
  if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return -1;
  if (check_runtime_version() < 0) return -1;
  if (rt::ready_function_type() < 0 || make_constants() < 0 || rt::probe_layouts() < 0) return -1;

  if (register_under_own_name(module) < 0 || cache_print_and_texts() < 0 || build_method_code_objects() < 0) {
    return init_failed_at(line::kSetup);
  }
  if (run_imports(module, globals, g_init_site) < 0) return -1;
  g_methods_made = true;
  for (const ClassStatement &statement : kClasses) {
    if (define_class(globals, statement) < 0) return -1;
  }
  Ref test = Ref::steal(PyDict_New());
  if (!test || PyDict_SetItemString(globals, "__test__", test.get()) < 0) {
    return init_failed_at(line::kTest);
  }
  return 0;
}

// ---- what each exec step makes anew ----------------------------------------------------------------------

/// Before an exec step replaces those objects: when another interpreter made them, that one may be gone, and
/// releasing them here would run its deallocation on this one (3.12: unlinking from its freed GC lists).
/// They are left alive instead; that happens only after a failed import that made methods.
void keep_objects_of_another_interpreter(int64_t id) {
  if (g_objects_made_by == -1 || g_objects_made_by == id) return;
  for (PyObject *made : {rt::context().globals, rt::context().builtins, g_state.print, g_state.args_init_failed,
                         g_state.args_not_initialized, g_state.spare_status}) {
    Py_XINCREF(made);
  }
}

/// After a failed exec step: the objects it made go now, in their own interpreter, unless it made methods,
/// which a module kept from the failed import may still call.
void release_objects_of_failed_import() {
  if (g_methods_made) return;
  rt::set_context(nullptr, nullptr);
  Py_CLEAR(g_state.print);
  Py_CLEAR(g_state.args_init_failed);
  Py_CLEAR(g_state.args_not_initialized);
  g_objects_made_by = -1;
}

// The exec step that is running: its thread and process (thread 0: none). The same file reached under two
// names (a folder on sys.path and a package above it) is imported once per name, and the create step of the
// second import hands out the recorded module, which is incomplete until the first exec step ends.
unsigned long g_exec_thread = 0;
pid_t g_exec_process = 0;

/// The exec step for the recorded module `module` when this thread did not start it: waits, with the GIL
/// released, until the exec step of the thread that did ends. 0 when the module is then complete; else -1 with
/// ImportError (that step failed, or it belongs to the process this one was forked from and never ends here),
/// or with what a signal handler raised while waiting.
int wait_for_exec_step(PyObject *module) {
  const timespec pause = {0, 1000000};  // 1 ms
  while (g_exec_thread != 0 && g_exec_process == getpid()) {
    PyThreadState *saved = PyEval_SaveThread();
    nanosleep(&pause, nullptr);
    PyEval_RestoreThread(saved);
    if (PyErr_CheckSignals() < 0) return -1;
  }
  if (g_exec_thread != 0) {
    PyErr_SetString(PyExc_ImportError,
                    "Module 'nlsqlagent' was being initialised when this process was forked, and cannot be used.");
    return -1;
  }
  if (g_state.module == module) return 0;
  PyErr_SetString(PyExc_ImportError, "Module 'nlsqlagent' failed to initialise in another thread.");
  return -1;
}

int module_exec(PyObject *module) noexcept {
  const int64_t id = enter_interpreter(true);  // a module object made in one interpreter may run in another
  if (id == -1) return -1;
  if (g_state.module) {
    if (g_state.module == module) {
      // Complete, or being initialised by this very thread (an import of itself under another name, which
      // gets the module as it stands, as a circular import does).
      if (g_exec_thread == 0 || (g_exec_thread == PyThread_get_thread_ident() && g_exec_process == getpid())) {
        return 0;
      }
      return wait_for_exec_step(module);
    }
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'nlsqlagent' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  g_state.module = Py_NewRef(module);
  g_state.globals = PyModule_GetDict(module);
  rt::start_global_cache_epoch();  // no lookup of an earlier namespace is taken for this one
  g_state.run_method.version = 0;  // nor a method found on a type of another interpreter's
  g_state.connector_stores.version = g_state.runner_stores.version = 0;
  keep_objects_of_another_interpreter(id);
  Py_CLEAR(g_state.spare_status);  // made for the namespace of an earlier import
  g_objects_made_by = id;
  g_methods_made = false;
  g_exec_thread = PyThread_get_thread_ident();
  g_exec_process = getpid();
  if (initialise(module, g_state.globals) < 0) {
    unregister_under_own_name(module);
    g_state.globals = nullptr;
    // The module forgotten and the step ended with no code between, so that an import waiting for it sees
    // both at once, and a new step that another thread starts meanwhile is not marked ended by this one.
    PyObject *failed = std::exchange(g_state.module, nullptr);
    g_exec_thread = 0;
    Py_DECREF(failed);
    g_state.main_interpreter_id = -1;
    release_objects_of_failed_import();
    return -1;
  }
  g_exec_thread = 0;
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
