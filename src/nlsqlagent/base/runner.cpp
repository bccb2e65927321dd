// AgentRunner: building the SQL agent through create_sql_agent, and running questions through it.
#include <iterator>
#include <string_view>

#include "../runtime/binding.hpp"
#include "../runtime/calls.hpp"
#include "../runtime/except.hpp"
#include "../runtime/globals.hpp"
#include "../runtime/redact.hpp"
#include "../runtime/truth.hpp"
#include "lines.hpp"
#include "state.hpp"

namespace nlsqlagent::base {
namespace {

using rt::Default;
using rt::fail_at;

/// AgentRunner.__init__'s parameters: the instance, then the four that the constructor stores in attributes
/// of the same names and passes on, read back from them, as create_sql_agent's keywords of the same names.
constexpr rt::Param kInitParams[] = {{"self", Default::kRequired},
                                     {"llm", Default::kRequired},
                                     {"toolkit", Default::kRequired},
                                     {"verbose", Default::kTrue},
                                     {"agent_type", Default::kSlot, "AgentType", "ZERO_SHOT_REACT_DESCRIPTION"}};
static_assert(std::size(kInitParams) == 5 && std::string_view(kInitParams[1].name) == "llm" &&
              std::string_view(kInitParams[2].name) == "toolkit" &&
              std::string_view(kInitParams[3].name) == "verbose" &&
              std::string_view(kInitParams[4].name) == "agent_type");

rt::GlobalCache g_create_sql_agent;

/// print(*args) through the print fetched at initialisation. 0, or -1 with an exception set.
int print_line(PyObject *const *args, Py_ssize_t nargs) {
  Ref result = rt::call_positional(g_state.print, args, nargs);
  return result ? 0 : -1;
}

/// print(label, obj) with obj's text masked (see redact.cpp); the text is made once. 0, or -1.
int print_masked(PyObject *label, PyObject *obj) {
  Ref text = rt::masked_text(obj);
  if (!text) return -1;
  PyObject *const args[] = {label, text.get()};
  return print_line(args, 2);
}

int print_tuple(PyObject *args) { return print_line(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args)); }

/// `self.agent_runner = create_sql_agent(llm=self.llm, toolkit=self.toolkit, verbose=self.verbose,
/// agent_type=self.agent_type)`. 0, or -1 with an exception set.
int build_agent(PyObject *self, rt::MethodDef &def, PyObject *globals) {
  Ref create = rt::lookup_global(globals, g_state.names.create_sql_agent, g_create_sql_agent);
  if (!create) return -1;
  Ref values[rt::kMaxParams];  // the keywords' values: the parameters after self, read back from self
  PyObject *stack[rt::kMaxParams];
  for (int i = 1; i < def.nparams; ++i) {
    values[i] = rt::get_attr(self, def.param_attrs[i]);
    if (!values[i]) return -1;
    stack[i - 1] = values[i].get();
  }
  Ref agent = rt::call_with_keywords(create.get(), stack, g_state.agent_keywords);
  if (!agent) return -1;
  return rt::set_attr(self, g_state.attrs.agent_runner, agent.get());
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
  return print_masked(g_state.texts.agent_instance, agent.get()) < 0 ? line::kRunnerPrintAgent : 0;
}

/// The constructor's six stores, in order: its four parameters after self, `agent_runner`, `error`.
rt::Attr *const kInitStores[] = {&g_runner_init.param_attrs[1], &g_runner_init.param_attrs[2],
                                 &g_runner_init.param_attrs[3], &g_runner_init.param_attrs[4],
                                 &g_state.attrs.agent_runner,   &g_state.attrs.error};

PyObject *runner_init(rt::FunctionObject *f, PyObject *const *bound) {
  rt::MethodDef &def = *f->def;
  rt::TracebackSite &site = def.site;
  PyObject *self = bound[0];
  Attrs &a = g_state.attrs;
  PyObject *const values[] = {bound[1], bound[2], bound[3], bound[4], Py_None, Py_None};
  static_assert(std::size(values) == std::size(kInitStores));
  const int stored = rt::set_attrs(self, g_state.runner_stores, kInitStores, values, std::size(values));
  if (stored < static_cast<int>(std::size(values))) return fail_at(site, line::kRunnerInitFirstStore + stored);
  const int failed_line = build_agent(self, def, f->globals) < 0 ? line::kRunnerCreate : report_agent(self);
  if (failed_line) {
    rt::ExceptException e(site, failed_line);
    if (!e.caught()) return nullptr;
    if (rt::set_attr(self, a.error, e.exception()) < 0) return fail_at(site, line::kRunnerStoreError);
    if (print_masked(g_state.texts.error_occurred, e.exception()) < 0) {
      return fail_at(site, line::kRunnerPrintError);
    }
  }
  Py_RETURN_NONE;
}

PyObject *run(rt::FunctionObject *f, PyObject *const *bound) {
  rt::TracebackSite &site = f->def->site;
  PyObject *self = bound[0];
  Ref agent = rt::get_attr(self, g_state.attrs.agent_runner);
  if (!agent) return fail_at(site, line::kRunTest);
  const int has_agent = rt::is_true(agent.get());
  if (has_agent < 0) return fail_at(site, line::kRunTest);
  if (!has_agent) {
    if (print_tuple(g_state.args_not_initialized) < 0) return fail_at(site, line::kRunPrint);
    Py_RETURN_NONE;
  }
  agent = rt::get_attr(self, g_state.attrs.agent_runner);
  if (!agent) return fail_at(site, line::kRunCall);
  Ref answer = rt::call_method_one(agent.get(), g_state.run_method, bound[1]);
  return answer ? answer.release() : fail_at(site, line::kRunCall);
}

}  // namespace

// clang-format off
rt::MethodDef g_runner_init{
    "__init__", "AgentRunner.__init__", line::kRunnerInit, rt::method_entries<runner_init>, kInitParams, "e"};

rt::MethodDef g_run{
    "run", "AgentRunner.run", line::kRun, rt::method_entries<run>,
    {{"self", Default::kRequired}, {"query", Default::kRequired}}};
// clang-format on

}  // namespace nlsqlagent::base
