// Traceback entries that the module's native code adds to a propagating exception.
#pragma once

#include <Python.h>

namespace nlsqlagent::rt {

/// The file name that traceback entries and code objects carry.
constexpr const char *kSourceFile = "nlsqlagent/base";

/// Highest source line of `nlsqlagent/base` that an entry can name.
constexpr int kMaxSourceLine = 96;

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
