// DatabaseConnector: credentials, the status record, the connection URI, connect and getdbinstance.
#include <iterator>
#include <string_view>
#include <utility>

#include "../runtime/binding.hpp"
#include "../runtime/calls.hpp"
#include "../runtime/except.hpp"
#include "../runtime/globals.hpp"
#include "../runtime/redact.hpp"
#include "../runtime/text.hpp"
#include "../runtime/truth.hpp"
#include "lines.hpp"
#include "state.hpp"

namespace nlsqlagent::base {
namespace {

using rt::Default;
using rt::fail_at;

/// DatabaseConnector.__init__'s parameters: the instance, then the four credentials, in the order in which
/// the constructor stores them and the check and the URI read them.
constexpr rt::Param kInitParams[] = {{"self", Default::kRequired},
                                     {"db_user", Default::kNone},
                                     {"db_password", Default::kNone},
                                     {"db_host", Default::kNone},
                                     {"db_name", Default::kNone}};
enum Credential { kUser = 1, kPassword, kHost, kName, kEnd };
static_assert(std::string_view(kInitParams[kUser].name) == "db_user" &&
              std::string_view(kInitParams[kPassword].name) == "db_password" &&
              std::string_view(kInitParams[kHost].name) == "db_host" &&
              std::string_view(kInitParams[kName].name) == "db_name" && std::size(kInitParams) == kEnd);

/// self.<credential>, the attribute that the constructor stores the parameter in.
rt::Attr &credential(Credential c);

rt::GlobalCache g_connect_sqldatabase, g_getdbinstance_sqldatabase;

/// `self.<name>[key] = value`, reading the record attribute afresh. 0, or -1 with an exception set.
int set_status_item(PyObject *self, PyObject *key, PyObject *value) {
  Ref status = rt::get_attr(self, g_state.attrs.connection_status);
  if (!status) return -1;
  // An exact dict's item store is PyDict_SetItem (what its mapping slot calls); anything else, its own slot.
  if (PyDict_CheckExact(status.get())) return PyDict_SetItem(status.get(), key, value);
  return PyObject_SetItem(status.get(), key, value);
}

/// The credentials check: 1 when one credential equals None (later ones are not read), 0 when none does,
/// -1 with an exception set.
[[gnu::always_inline]] inline int credential_missing(PyObject *self) {
  for (int c = kUser; c < kEnd; ++c) {
    Ref value = rt::get_attr(self, credential(static_cast<Credential>(c)));
    if (!value) return -1;
    // The answers of `None == x` for None itself and for an exact str, which call nothing.
    if (value.get() == Py_None) return 1;
    if (PyUnicode_CheckExact(value.get())) continue;
    Ref equal = Ref::steal(PyObject_RichCompare(Py_None, value.get(), Py_EQ));
    if (!equal) return -1;
    const int missing = rt::is_true(equal.get());
    if (missing != 0) return missing;
  }
  return 0;
}

/// Unreserved characters of a URI component, which stay as they are.
bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

/// Percent-encodes the UTF-8 form of `text` (a str): every byte outside the unreserved set becomes %XX, hex
/// digits in upper case. Returns `text` itself when nothing needs encoding. New reference or null (a text
/// that has no UTF-8 form, such as one with a lone surrogate, raises UnicodeEncodeError).
Ref percent_encoded(PyObject *text) {
  Ref utf8;
  const char *bytes;
  Py_ssize_t size;
  if (PyUnicode_IS_ASCII(text)) {
    bytes = static_cast<const char *>(PyUnicode_DATA(text));
    size = PyUnicode_GET_LENGTH(text);
  } else {
    utf8 = Ref::steal(PyUnicode_AsUTF8String(text));
    if (!utf8) return Ref();
    bytes = PyBytes_AS_STRING(utf8.get());
    size = PyBytes_GET_SIZE(utf8.get());
  }
  Py_ssize_t escaped = 0;
  for (Py_ssize_t i = 0; i < size; ++i) escaped += !unreserved(static_cast<unsigned char>(bytes[i]));
  if (escaped == 0) return Ref::borrow(text);
  Ref result = Ref::steal(PyUnicode_New(size + 2 * escaped, 127));
  if (!result) return Ref();
  static constexpr char kHex[] = "0123456789ABCDEF";
  Py_UCS1 *out = PyUnicode_1BYTE_DATA(result.get());
  for (Py_ssize_t i = 0; i < size; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (unreserved(c)) {
      *out++ = c;
    } else {
      *out++ = '%';
      *out++ = static_cast<Py_UCS1>(kHex[c >> 4]);
      *out++ = static_cast<Py_UCS1>(kHex[c & 0xF]);
    }
  }
  return result;
}

/// The text of `self.<name>`, percent-encoded when `encode`. New reference or null.
Ref credential_text(PyObject *self, rt::Attr &attr, bool encode) {
  Ref value = rt::get_attr(self, attr);
  if (!value) return Ref();
  Ref text = rt::text_of(value.get());
  if (!text || !encode) return text;
  return percent_encoded(text.get());
}

/// "mysql+pymysql://" user ":" password "@" host "/" name, with the user and password percent-encoded and
/// each attribute read again, in that order. New reference or null.
Ref connection_uri(PyObject *self) {
  Ref user = credential_text(self, credential(kUser), true);
  if (!user) return Ref();
  Ref password = credential_text(self, credential(kPassword), true);
  if (!password) return Ref();
  Ref host = credential_text(self, credential(kHost), false);
  if (!host) return Ref();
  Ref name = credential_text(self, credential(kName), false);
  if (!name) return Ref();
  const Texts &t = g_state.texts;
  PyObject *const pieces[] = {t.uri_scheme, user.get(), t.colon, password.get(), t.at, host.get(), t.slash, name.get()};
  return rt::join_texts(pieces, std::size(pieces));
}

/// `self.db = SQLDatabase.from_uri(<connection URI>)`. 0, or -1 with an exception set.
int open_database(PyObject *self, PyObject *globals, rt::GlobalCache &cache) {
  Ref sql_database = rt::lookup_global(globals, g_state.names.SQLDatabase, cache);
  if (!sql_database) return -1;
  Ref from_uri = Ref::steal(PyObject_GetAttr(sql_database.get(), g_state.names.from_uri));
  if (!from_uri) return -1;
  Ref uri = connection_uri(self);
  if (!uri) return -1;
  PyObject *const call_args[] = {uri.get()};
  Ref db = rt::call_positional(from_uri.get(), call_args, 1);
  if (!db) return -1;
  return rt::set_attr(self, g_state.attrs.db, db.get());
}

/// Reports a missing credential: sets "message" and returns the record, read again.
[[gnu::always_inline]] inline PyObject *report_missing(PyObject *self, rt::TracebackSite &site, int store_line,
                                                       int return_line) {
  if (set_status_item(self, g_state.names.message, g_state.texts.credentials_missing) < 0) {
    return fail_at(site, store_line);
  }
  Ref status = rt::get_attr(self, g_state.attrs.connection_status);
  return status ? status.release() : fail_at(site, return_line);
}

/// The `except Exception as e: self.connection_status["message"] = str(e)` clause for a failure at
/// `failed_line`. True when the exception was absorbed; false when it propagates with its entry.
bool absorb_into_message(PyObject *self, rt::TracebackSite &site, int failed_line, int handler_line) {
  rt::ExceptException e(site, failed_line);
  if (!e.caught()) return false;
  Ref text = rt::masked_text(e.exception());
  if (!text || set_status_item(self, g_state.names.message, text.get()) < 0) {
    rt::add_traceback(site, handler_line);
    return false;
  }
  return true;
}

/// The constructor's stores, in order: the four credentials, `db` and the status record.
rt::Attr *const kInitStores[] = {&g_connector_init.param_attrs[kUser],
                                 &g_connector_init.param_attrs[kPassword],
                                 &g_connector_init.param_attrs[kHost],
                                 &g_connector_init.param_attrs[kName],
                                 &g_state.attrs.db,
                                 &g_state.attrs.connection_status};
constexpr int kStatusStore = 5;

// Where a run of stores into a new instance fills its dict in one go (3.7 and 3.8), each construction makes
// the record of the next one, after its own last store, and that one stores it with the other five values as
// one run. A record made in the middle of the stores comes between the fifth and the sixth, where the source
// makes it: any collection that making it runs (and the code that runs) sees the five stores made. Made
// ahead, that collection sees the instance after its last statement, also a state that the source shows.
// Gain on 3.7 (callgrind, instructions per call): DatabaseConnector() 2531 instead of 2735, and the same 204
// on every construction. (On 3.11 the record's own store costs 28, less than making it ahead.)
constexpr bool kRecordsMadeAhead = NLSA_HAVE_OFFSET_DICT;

/// Makes the record of the next construction, unless one is there. A failure is not this construction's:
/// the next one makes its own.
[[gnu::noinline]] void make_spare_status() {
  PyObject *status = rt::copy_small_dict(g_state.fresh_status);
  if (!status) {
    PyErr_Clear();
    return;
  }
  // Making it may have run a collection, and with it a construction that left its own. (The namespace stays
  // the module's current one: only the end of a failed exec step takes it back, and none ends in this call.)
  if (g_state.spare_status) {
    Py_DECREF(status);  // holds False and None only: its release runs no code
    return;
  }
  g_state.spare_status = status;
}

PyObject *connector_init(rt::FunctionObject *f, PyObject *const *bound) {
  PyObject *self = bound[0];
  // The record made ahead, taken before any code can run, so that a construction nested in a collection never
  // shares it. A method kept from a failed import takes none and leaves none.
  const bool made_ahead = kRecordsMadeAhead && f->globals == g_state.globals;
  Ref status = made_ahead ? Ref::steal(std::exchange(g_state.spare_status, nullptr)) : Ref();
  PyObject *const values[] = {bound[kUser], bound[kPassword], bound[kHost], bound[kName], Py_None, status.get()};
  static_assert(std::size(values) == std::size(kInitStores) && kStatusStore + 1 == std::size(values));
  // With a record at hand, the six stores as one run; else the first five, then the record made and stored.
  const int n = status ? kStatusStore + 1 : kStatusStore;
  const int stored = rt::set_attrs(self, g_state.connector_stores, kInitStores, values, n);
  if (stored < n) return fail_at(f->def->site, line::kConnectorInitFirstStore + stored);
  if (!status) {
    status = Ref::steal(rt::copy_small_dict(g_state.fresh_status));
    if (!status || rt::set_attr(self, *kInitStores[kStatusStore], status.get()) < 0) {
      return fail_at(f->def->site, line::kConnectorInitFirstStore + kStatusStore);
    }
  }
  if (made_ahead && !g_state.spare_status && rt::runs_fill_new_dicts()) make_spare_status();
  Py_RETURN_NONE;
}

PyObject *connect(rt::FunctionObject *f, PyObject *const *bound) {
  rt::TracebackSite &site = f->def->site;
  PyObject *self = bound[0];
  const int missing = credential_missing(self);
  if (missing < 0) return fail_at(site, line::kConnectCheck);
  if (missing) return report_missing(self, site, line::kConnectMissing, line::kConnectMissingReturn);

  int failed_line = 0;
  if (open_database(self, f->globals, g_connect_sqldatabase) < 0) {
    failed_line = line::kConnectOpen;
  } else if (set_status_item(self, g_state.names.connected, Py_True) < 0) {
    failed_line = line::kConnectConnected;
  } else if (set_status_item(self, g_state.names.message, g_state.texts.connection_successful) < 0) {
    failed_line = line::kConnectMessage;
  }
  if (failed_line && !absorb_into_message(self, site, failed_line, line::kConnectHandler)) return nullptr;
  Ref status = rt::get_attr(self, g_state.attrs.connection_status);
  return status ? status.release() : fail_at(site, line::kConnectReturn);
}

PyObject *getdbinstance(rt::FunctionObject *f, PyObject *const *bound) {
  rt::TracebackSite &site = f->def->site;
  PyObject *self = bound[0];
  const int missing = credential_missing(self);
  if (missing < 0) return fail_at(site, line::kGetDbInstanceCheck);
  if (missing) return report_missing(self, site, line::kGetDbInstanceMissing, line::kGetDbInstanceMissingReturn);
  if (open_database(self, f->globals, g_getdbinstance_sqldatabase) < 0 &&
      !absorb_into_message(self, site, line::kGetDbInstanceOpen, line::kGetDbInstanceHandler)) {
    return nullptr;
  }
  Ref db = rt::get_attr(self, g_state.attrs.db);
  return db ? db.release() : fail_at(site, line::kGetDbInstanceReturn);
}

}  // namespace

// clang-format off
rt::MethodDef g_connector_init{
    "__init__", "DatabaseConnector.__init__", line::kConnectorInit, rt::method_entries<connector_init>, kInitParams};

rt::MethodDef g_connect{
    "connect", "DatabaseConnector.connect", line::kConnect, rt::method_entries<connect>,
    {{"self", Default::kRequired}}, "e"};

rt::MethodDef g_getdbinstance{
    "getdbinstance", "DatabaseConnector.getdbinstance", line::kGetDbInstance, rt::method_entries<getdbinstance>,
    {{"self", Default::kRequired}}, "e"};
// clang-format on

namespace {
rt::Attr &credential(Credential c) { return g_connector_init.param_attrs[c]; }
}  // namespace

}  // namespace nlsqlagent::base
