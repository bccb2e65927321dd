// AgentRunner: building the SQL agent through create_sql_agent, and running questions through it.
#include "../runtime/binding.hpp"
#include "lines.hpp"
#include "state.hpp"

namespace nlsqlagent::base {
namespace {

using rt::fail_at;

rt::TracebackSite g_runner_init_site{"nlsqlagent.AgentRunner.__init__"};
rt::TracebackSite g_run_site{"nlsqlagent.AgentRunner.run"};
rt::GlobalCache g_create_sql_agent;

/// print(*args) through the print fetched at initialisation. 0, or -1 with an exception set.
int print_line(PyObject *const *args, Py_ssize_t nargs) {
  Ref result = rt::call_positional(g_state.print, args, nargs);
  return result ? 0 : -1;
}

int print_tuple(PyObject *args) { return print_line(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args)); }

/// `self.agent_runner = create_sql_agent(llm=self.llm, toolkit=self.toolkit, verbose=self.verbose,
/// agent_type=self.agent_type)`. 0, or -1 with an exception set.
int build_agent(PyObject *self, PyObject *globals) {
  Ref create = rt::lookup_global(globals, g_state.names.create_sql_agent, g_create_sql_agent);
  if (!create) return -1;
  Attrs &a = g_state.attrs;
  rt::Attr *const attributes[] = {&a.llm, &a.toolkit, &a.verbose, &a.agent_type};  // agent_keywords' order
  Ref values[4];
  PyObject *stack[4];
  for (int i = 0; i < 4; ++i) {
    values[i] = rt::get_attr(self, *attributes[i]);
    if (!values[i]) return -1;
    stack[i] = values[i].get();
  }
  Ref agent = rt::call_with_keywords(create.get(), stack, g_state.agent_keywords);
  if (!agent) return -1;
  return rt::set_attr(self, a.agent_runner, agent.get());
}

/// The guarded block after the agent is stored: report it. Returns the failing line, or 0.
int report_agent(PyObject *self) {
  Ref agent = rt::get_attr(self, g_state.attrs.agent_runner);
  if (!agent) return line::kRunnerIsNone;
  if (agent.get() == Py_None) {
    return print_tuple(g_state.args_init_failed) < 0 ? line::kRunnerPrintNone : 0;
  }
  agent = rt::get_attr(self, g_state.attrs.agent_runner);
  if (!agent) return line::kRunnerPrintAgent;
  PyObject *const args[] = {g_state.texts.agent_instance, agent.get()};
  return print_line(args, 2) < 0 ? line::kRunnerPrintAgent : 0;
}

PyObject *runner_init_entry(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
  rt::FunctionObject *f = reinterpret_cast<rt::FunctionObject *>(callable);
  PyObject *bound[5];
  if (!rt::bind_arguments(f, args, compat::vectorcall_nargs(nargsf), kwnames, bound)) {
    return fail_at(g_runner_init_site, line::kRunnerInit);
  }
  PyObject *self = bound[0];
  Attrs &a = g_state.attrs;
  rt::Attr *const attributes[] = {&a.llm, &a.toolkit, &a.verbose, &a.agent_type, &a.agent_runner, &a.error};
  PyObject *const values[] = {bound[1], bound[2], bound[3], bound[4], Py_None, Py_None};
  for (int i = 0; i < 6; ++i) {
    if (rt::set_attr(self, *attributes[i], values[i]) < 0) {
      return fail_at(g_runner_init_site, line::kRunnerInitFirstStore + i);
    }
  }
  const int failed_line = build_agent(self, f->globals) < 0 ? line::kRunnerCreate : report_agent(self);
  if (failed_line) {
    rt::ExceptException e(g_runner_init_site, failed_line);
    if (!e.caught()) return nullptr;
    if (rt::set_attr(self, a.error, e.exception()) < 0) {
      return fail_at(g_runner_init_site, line::kRunnerStoreError);
    }
    PyObject *const print_args[] = {g_state.texts.error_occurred, e.exception()};
    if (print_line(print_args, 2) < 0) return fail_at(g_runner_init_site, line::kRunnerPrintError);
  }
  Py_RETURN_NONE;
}

PyObject *run_entry(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
  rt::FunctionObject *f = reinterpret_cast<rt::FunctionObject *>(callable);
  PyObject *bound[2];
  if (!rt::bind_arguments(f, args, compat::vectorcall_nargs(nargsf), kwnames, bound)) {
    return fail_at(g_run_site, line::kRun);
  }
  PyObject *self = bound[0];
  Ref agent = rt::get_attr(self, g_state.attrs.agent_runner);
  if (!agent) return fail_at(g_run_site, line::kRunTest);
  const int has_agent = rt::is_true(agent.get());
  if (has_agent < 0) return fail_at(g_run_site, line::kRunTest);
  if (!has_agent) {
    if (print_tuple(g_state.args_not_initialized) < 0) return fail_at(g_run_site, line::kRunPrint);
    Py_RETURN_NONE;
  }
  agent = rt::get_attr(self, g_state.attrs.agent_runner);
  if (!agent) return fail_at(g_run_site, line::kRunCall);
  Ref answer = rt::call_method_one(agent.get(), g_state.names.run, bound[1]);
  return answer ? answer.release() : fail_at(g_run_site, line::kRunCall);
}

}  // namespace

PyObject *runner_init_defaults(rt::FunctionObject *f) {
  Ref defaults = Ref::steal(PyTuple_Pack(2, Py_True, f->default_slot));
  Ref pair = defaults ? Ref::steal(PyTuple_Pack(2, defaults.get(), Py_None)) : Ref();
  if (!pair) return fail_at(g_defaults_site, line::kRunnerInit);
  return pair.release();
}

rt::MethodDef g_runner_init = {
    "__init__", "AgentRunner.__init__", 5, 3,
    {"self", "llm", "toolkit", "verbose", "agent_type"},
    {rt::DefaultKind::kNone, rt::DefaultKind::kNone, rt::DefaultKind::kNone, rt::DefaultKind::kTrue,
     rt::DefaultKind::kSlot},
    {"self", "llm", "toolkit", "verbose", "agent_type", "e"}, 6,
    line::kRunnerInit, runner_init_entry, &g_runner_init_site, {}};

rt::MethodDef g_run = {
    "run", "AgentRunner.run", 2, 2, {"self", "query"}, {}, {"self", "query"}, 2,
    line::kRun, run_entry, &g_run_site, {}};

}  // namespace nlsqlagent::base
