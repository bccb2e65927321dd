// Secrets masked in the text of an object before the module prints it or keeps it as a message.
//
// Three forms are recognised, left to right, each match resuming the scan after its end:
//   name=VALUE        a field in a repr, where `name` is a whole run of [A-Za-z0-9_] that ends (in any case)
//                     with one of kSecretWords, and VALUE is a quoted text ('...' or "..." with backslash
//                     escapes; an unterminated one runs to the end) or SecretStr(<quoted text>);
//   'name': VALUE     the same as a dict item ("name" likewise);
//   scheme://user:password@   the password of a URI (up to the last "@" before a "/", a blank, a quote, "?",
//                     "#", "<" or ">").
// VALUE becomes '**********' (the mask that LangChain and pydantic use for their secret strings), the URI
// password **********. The same rules, as regular expressions, are in the reference source.
#include <algorithm>
#include <cstring>

#include "ops.hpp"

namespace nlsqlagent::rt {
namespace {

constexpr const char *kSecretWords[] = {"key",      "token",  "secret",     "secrets",
                                        "password", "passwd", "credential", "credentials"};
constexpr char kFieldMask[] = "'**********'";
constexpr char kUriMask[] = "**********";

/// A str's characters, read by index.
struct Text {
  int kind;
  const void *data;
  Py_ssize_t length;
  Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
};

bool is_name_char(Py_UCS4 c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_scheme_char(Py_UCS4 c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '.' || c == '-';
}

/// A character that ends the user or password part of a URI.
bool ends_uri_part(Py_UCS4 c) {
  return c == '/' || c == '\'' || c == '"' || c == '?' || c == '#' || c == '<' || c == '>' || Py_UNICODE_ISSPACE(c);
}

/// Whether the name in [from, to) ends with one of kSecretWords, letters compared without case.
bool secret_name(const Text &t, Py_ssize_t from, Py_ssize_t to) {
  for (const char *word : kSecretWords) {
    Py_ssize_t n = 0;
    while (word[n]) ++n;
    if (to - from < n) continue;
    bool same = true;
    for (Py_ssize_t k = 0; k < n && same; ++k) {
      Py_UCS4 c = t.at(to - n + k);
      if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
      same = c == static_cast<Py_UCS4>(word[k]);
    }
    if (same) return true;
  }
  return false;
}

/// End of the quoted text that starts at `i` (a quote), or -1 when no quote is there.
Py_ssize_t quoted_end(const Text &t, Py_ssize_t i) {
  if (i >= t.length) return -1;
  const Py_UCS4 quote = t.at(i);
  if (quote != '\'' && quote != '"') return -1;
  for (Py_ssize_t j = i + 1; j < t.length;) {
    const Py_UCS4 c = t.at(j);
    if (c == quote) return j + 1;
    j += (c == '\\') ? 2 : 1;
  }
  return t.length;  // unterminated: the rest of the text
}

/// End of a field's value starting at `i`, or -1.
Py_ssize_t value_end(const Text &t, Py_ssize_t i) {
  static constexpr char kSecretStr[] = "SecretStr(";
  constexpr Py_ssize_t kSecretStrLength = sizeof kSecretStr - 1;
  if (i + kSecretStrLength <= t.length) {
    bool prefix = true;
    for (Py_ssize_t k = 0; k < kSecretStrLength && prefix; ++k) {
      prefix = t.at(i + k) == static_cast<Py_UCS4>(kSecretStr[k]);
    }
    if (prefix) {
      const Py_ssize_t end = quoted_end(t, i + kSecretStrLength);
      return (end >= 0 && end < t.length && t.at(end) == ')') ? end + 1 : -1;
    }
  }
  return quoted_end(t, i);
}

/// A secret found: [start, end) is replaced by `mask`, and the scan resumes at `resume`.
struct Match {
  Py_ssize_t start, end, resume;
  const char *mask;
};

/// The first secret at or after `from`.
bool next_secret(const Text &t, Py_ssize_t from, Match &m) {
  for (Py_ssize_t i = from; i < t.length;) {
    const Py_UCS4 c = t.at(i);
    if (is_name_char(c)) {  // name=VALUE, at the start of a run of name characters
      Py_ssize_t j = i;
      while (j < t.length && is_name_char(t.at(j))) ++j;
      if (j < t.length && t.at(j) == '=' && secret_name(t, i, j)) {
        const Py_ssize_t end = value_end(t, j + 1);
        if (end >= 0) {
          m = {j + 1, end, end, kFieldMask};
          return true;
        }
      }
      i = j;  // no match starts inside the run
      continue;
    }
    if (c == '\'' || c == '"') {  // 'name': VALUE
      Py_ssize_t j = i + 1;
      while (j < t.length && is_name_char(t.at(j))) ++j;
      if (j + 2 < t.length && t.at(j) == c && t.at(j + 1) == ':' && t.at(j + 2) == ' ' && secret_name(t, i + 1, j)) {
        const Py_ssize_t end = value_end(t, j + 3);
        if (end >= 0) {
          m = {j + 3, end, end, kFieldMask};
          return true;
        }
      }
      ++i;
      continue;
    }
    if (c == ':' && i > 0 && is_scheme_char(t.at(i - 1)) && i + 2 < t.length && t.at(i + 1) == '/' &&
        t.at(i + 2) == '/') {  // scheme://user:password@
      Py_ssize_t j = i + 3;
      while (j < t.length && t.at(j) != ':' && t.at(j) != '@' && !ends_uri_part(t.at(j))) ++j;
      if (j < t.length && t.at(j) == ':') {
        const Py_ssize_t password = j + 1;
        Py_ssize_t last_at = -1;
        for (j = password; j < t.length && !ends_uri_part(t.at(j)); ++j) {
          if (t.at(j) == '@') last_at = j;
        }
        if (last_at >= 0) {
          m = {password, last_at, last_at + 1, kUriMask};
          return true;
        }
      }
    }
    ++i;
  }
  return false;
}

/// `text` (an exact str) with every secret masked; `text` itself when it shows none. New reference or null.
Ref masked(PyObject *text) {
  const Text t{PyUnicode_KIND(text), PyUnicode_DATA(text), PyUnicode_GET_LENGTH(text)};
  Match m;
  if (!next_secret(t, 0, m)) return Ref::borrow(text);
  // Second pass, now that there is something to mask: the length and widest kept character (a str must
  // have the narrowest width that holds its characters), then the characters.
  Py_ssize_t length = 0, at = 0;
  Py_UCS4 widest = 127;
  const Match first = m;
  const bool ascii = PyUnicode_IS_ASCII(text);
  auto keep = [&](Py_ssize_t from, Py_ssize_t to) {
    length += to - from;
    for (Py_ssize_t i = from; i < to && !ascii; ++i) widest = std::max(widest, t.at(i));
  };
  do {
    keep(at, m.start);
    length += static_cast<Py_ssize_t>(std::strlen(m.mask));
    at = m.end;
  } while (next_secret(t, m.resume, m));
  keep(at, t.length);
  Ref result = Ref::steal(PyUnicode_New(length, widest));
  if (!result) return Ref();
  const int out_kind = PyUnicode_KIND(result.get());
  void *out = PyUnicode_DATA(result.get());
  Py_ssize_t w = 0;
  at = 0;
  m = first;
  bool more = true;
  while (more) {
    for (Py_ssize_t i = at; i < m.start; ++i) PyUnicode_WRITE(out_kind, out, w++, t.at(i));
    for (const char *p = m.mask; *p; ++p) PyUnicode_WRITE(out_kind, out, w++, static_cast<Py_UCS4>(*p));
    at = m.end;
    more = next_secret(t, m.resume, m);
  }
  for (Py_ssize_t i = at; i < t.length; ++i) PyUnicode_WRITE(out_kind, out, w++, t.at(i));
  return result;
}

}  // namespace

Ref masked_text(PyObject *obj) noexcept {
  Ref text = Ref::steal(PyObject_Str(obj));
  if (!text) return Ref();
  // A str subclass would be asked for its text again by print; the exact copy is what was scanned.
  if (!PyUnicode_CheckExact(text.get())) {
    text = Ref::steal(PyUnicode_FromObject(text.get()));
    if (!text) return Ref();
  }
  return masked(text.get());
}

}  // namespace nlsqlagent::rt
