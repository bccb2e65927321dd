// Traceback entries that the module's native code adds to a propagating exception, and the context they
// and the name lookups take from the module.
#pragma once

#include <Python.h>

namespace nlsqlagent::rt {

/// The file name that traceback entries and code objects carry.
constexpr const char *kSourceFile = "nlsqlagent/base";

/// Highest source line of `nlsqlagent/base` that an entry can name.
constexpr int kMaxSourceLine = 96;

/// What the runtime takes from the module, handed over once by the exec step (strong references, kept for
/// the process): the namespace that entries' frames carry as globals, and the builtins module that name
/// lookups fall back on.
struct Context {
  PyObject *globals = nullptr;
  PyObject *builtins = nullptr;
};

/// The context (borrowed fields; null before the first exec step).
const Context &context() noexcept;

/// Replaces the context; the old references are released last.
void set_context(PyObject *globals, PyObject *builtins) noexcept;

/// One function name of the traceback ("nlsqlagent.AgentRunner.run", "init nlsqlagent"), with its code
/// objects made once per line and kept for the life of the process.
struct TracebackSite {
  char funcname[80] = {};
  PyObject *codes[kMaxSourceLine + 1] = {};
};

/// Adds the entry (site, line) to the pending exception's traceback. If the entry cannot be made, that
/// failure's own exception replaces the pending one. Call only with an exception pending.
void add_traceback(TracebackSite &site, int line) noexcept;

/// add_traceback, then nullptr: `return fail_at(site, line);` ends a failing method.
[[gnu::cold]] PyObject *fail_at(TracebackSite &site, int line) noexcept;

}  // namespace nlsqlagent::rt
