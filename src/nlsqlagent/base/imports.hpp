// The module's import statements: LangChain, SQLAlchemy, os and PyMySQL names bound in the namespace.
#pragma once

#include <Python.h>

#include "../runtime/traceback.hpp"

namespace nlsqlagent::base {

/// Runs the import statements (lines 1 to 13 of the source) in order, binding their names in `globals`, the
/// namespace of `module`. LangChain's notes about its deprecated import paths that they trigger on this
/// thread are dropped. 0, or -1 with the failing statement's entry of `site` added.
int run_imports(PyObject *module, PyObject *globals, rt::TracebackSite &site) noexcept;

}  // namespace nlsqlagent::base
