// Process-wide state of the module: filled once by the exec step, kept for the life of the process.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../runtime/attributes.hpp"
#include "../runtime/function.hpp"

namespace nlsqlagent::base {

// Interned attribute, key and global names: (C++ field, Python text). The parameters of the methods, and the
// attributes that the constructors store them in, are named by the methods' definitions.
#define NLSA_NAMES(X)                       \
  X(db, "db")                               \
  X(connection_status, "connection_status") \
  X(connected, "connected")                 \
  X(message, "message")                     \
  X(SQLDatabase, "SQLDatabase")             \
  X(from_uri, "from_uri")                   \
  X(agent_runner, "agent_runner")           \
  X(error, "error")                         \
  X(create_sql_agent, "create_sql_agent")   \
  X(run, "run")

// The instance attributes, other than the constructors' parameters, that the methods read and write, each
// named in NLSA_NAMES.
#define NLSA_ATTRS(X) X(db) X(connection_status) X(agent_runner) X(error)

// Constant texts: (C++ field, Python text).
#define NLSA_TEXTS(X)                                                 \
  X(credentials_missing, "All database credentials must be provided") \
  X(connection_successful, "Connection successful")                   \
  X(agent_instance, "Agent runner instance:")                         \
  X(error_occurred, "Error occurred:")                                \
  X(uri_scheme, "mysql+pymysql://")                                   \
  X(colon, ":")                                                       \
  X(at, "@")                                                          \
  X(slash, "/")

struct Names {
#define NLSA_FIELD(field, text) PyObject *field = nullptr;
  NLSA_NAMES(NLSA_FIELD)
#undef NLSA_FIELD
};

struct Attrs {
#define NLSA_FIELD(field) rt::Attr field;
  NLSA_ATTRS(NLSA_FIELD)
#undef NLSA_FIELD
};

struct Texts {
#define NLSA_FIELD(field, text) PyObject *field = nullptr;
  NLSA_TEXTS(NLSA_FIELD)
#undef NLSA_FIELD
};

/// Everything the module keeps for the process. Raw pointers: these objects are never released.
struct ModuleState {
  int64_t main_interpreter_id = -1;
  PyObject *module = nullptr;                // the recorded module object (strong), null when none
  PyObject *globals = nullptr;               // its namespace (borrowed from the module)
  bool registered = false;                   // the exec step added the module to sys.modules as "nlsqlagent"
  PyObject *print = nullptr;                 // strong: the builtin print as found at initialisation
  PyObject *args_init_failed = nullptr;      // ("Error occurred during initialization.",)
  PyObject *args_not_initialized = nullptr;  // ("Agent runner is not initialized.",)
  PyObject *empty_tuple = nullptr;
  PyObject *agent_keywords = nullptr;  // create_sql_agent's: AgentRunner.__init__'s parameters after self
  PyObject *fresh_status = nullptr;    // {"connected": False, "message": None}, copied for each instance
  PyObject *spare_status = nullptr;    // strong: its copy made ahead for the next DatabaseConnector, or null
  Names names;
  Attrs attrs;
  rt::MethodCache run_method;                   // agent.run, as AgentRunner.run calls it
  rt::AttrRun connector_stores, runner_stores;  // the constructors' runs of stores
  Texts texts;
};

extern ModuleState g_state;

/// Method definitions, in the order the classes define them.
extern rt::MethodDef g_connector_init, g_connect, g_getdbinstance, g_runner_init, g_run;

}  // namespace nlsqlagent::base
