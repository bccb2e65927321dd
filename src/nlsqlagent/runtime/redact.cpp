// Secrets masked in the text of an object before the module prints it or keeps it as a message.
//
// One scan, left to right; where a secret is found it is masked and the scan resumes after it. At one place
// the first shape that fits, in this order, wins:
//   name=VALUE          a field, at the start of a name (a run of letters, digits, "_", "-", "." and blanks)
//                       that ends, in any case, with one of kSecretWords; VALUE is a quoted text ('...' or
//                       "...", backslash escapes, an unterminated one running to the end), the same after b,
//                       or SecretStr(<quoted text>), masked as a whole: '**********';
//   'name': VALUE       the same as a dict item ("name" likewise), with any blanks and tabs around the
//                       colon (compact JSON has none);
//   'Bearer TOKEN'      an authorization scheme (Bearer, Basic or Token, any case) that opens a quoted value,
//                       then blanks and a token (letters, digits, "-._~+/="), which must close the value: the
//                       token is masked; 'Digest PARAM=...' masks everything after the blanks to the closing
//                       quote;
//   Authorization: Bearer TOKEN    the same schemes after "Authorization:" (any case) and blanks or tabs,
//                       unquoted: the token is masked; with Digest, the rest of the line;
//   ?name=VALUE         a query parameter (after "?" or "&") whose name (letters, digits, "_", "-", ".") ends
//                       with one of kSecretWords: VALUE, up to "&", "#", a blank, a quote, "<" or ">";
//   scheme://user:password@   the password of a URI (up to the last "@" before a "/", a blank, a quote, "?",
//                       "#", "<" or ">").
// All but the first two are masked as **********. The same rules, as one regular expression, are in the
// reference source; the tests hold the two to the same text.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "redact.hpp"

#include "../compat.hpp"

namespace nlsqlagent::rt {
namespace {

constexpr std::string_view kSecretWords[] = {"key",      "token",  "secret",     "secrets",
                                             "password", "passwd", "credential", "credentials"};
constexpr std::string_view kTokenSchemes[] = {"bearer", "basic", "token"};
constexpr char kQuotedMask[] = "'**********'";
constexpr char kMask[] = "**********";

bool is_ascii_alnum(Py_UCS4 c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

/// A character of a field's or a dict key's name.
bool is_name_char(Py_UCS4 c) { return is_ascii_alnum(c) || c == '_' || c == '-' || c == '.' || c == ' '; }

/// A character of a query parameter's name.
bool is_query_name_char(Py_UCS4 c) { return is_ascii_alnum(c) || c == '_' || c == '-' || c == '.'; }

/// A character of an authorization token.
bool is_token_char(Py_UCS4 c) {
  return is_ascii_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '+' || c == '/' || c == '=';
}

/// A character of the name of a Digest parameter.
bool is_param_char(Py_UCS4 c) { return is_ascii_alnum(c) || c == '_' || c == '-'; }

bool is_scheme_char(Py_UCS4 c) { return is_ascii_alnum(c) || c == '+' || c == '.' || c == '-'; }

bool is_quote(Py_UCS4 c) { return c == '\'' || c == '"'; }

bool is_blank_or_tab(Py_UCS4 c) { return c == ' ' || c == '\t'; }

/// A character that ends the user or password part of a URI.
bool ends_uri_part(Py_UCS4 c) {
  return c == '/' || is_quote(c) || c == '?' || c == '#' || c == '<' || c == '>' || Py_UNICODE_ISSPACE(c);
}

/// A character that ends a query parameter's value.
bool ends_query_value(Py_UCS4 c) {
  return c == '&' || c == '#' || is_quote(c) || c == '<' || c == '>' || Py_UNICODE_ISSPACE(c);
}

Py_UCS4 ascii_lower(Py_UCS4 c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

/// A secret found: [start, end) is replaced by `mask`, and the scan resumes at `resume`.
struct Match {
  Py_ssize_t start, end, resume;
  const char *mask;
};

/// The scan over one str's characters.
class Scanner {
 public:
  explicit Scanner(PyObject *text)
      : kind_(PyUnicode_KIND(text)), data_(PyUnicode_DATA(text)), length_(PyUnicode_GET_LENGTH(text)) {}

  Py_ssize_t length() const { return length_; }
  Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ(kind_, data_, i); }

  /// The first secret at or after `from`.
  bool next(Py_ssize_t from, Match &m) {
    for (Py_ssize_t i = from; i < length_; ++i) {
      const Py_UCS4 c = at(i);
      if (is_name_char(c)) {
        // A field starts only where a name does; "Authorization:" anywhere in it.
        const Py_ssize_t end = run_end(i, is_name_char);
        if ((i == 0 || !is_name_char(at(i - 1))) && field_at(i, end, m)) return true;
        for (Py_ssize_t j = i; j < end; ++j) {
          if (ascii_lower(at(j)) == 'a' && authorization_at(j, m)) return true;
        }
        i = end - 1;
      } else if (is_quote(c)) {
        if (item_at(i, m) || scheme_at(i, m)) return true;
      } else if (c == '?' || c == '&') {
        if (query_at(i, m)) return true;
      } else if (c == ':') {
        if (uri_password_at(i, m)) return true;
      }
    }
    return false;
  }

 private:
  /// Whether [from, to) ends with one of kSecretWords, letters compared without case.
  bool secret_name(Py_ssize_t from, Py_ssize_t to) const {
    if (to == from) return false;
    const Py_UCS4 last = ascii_lower(at(to - 1));
    for (const std::string_view word : kSecretWords) {
      const auto n = static_cast<Py_ssize_t>(word.size());
      if (static_cast<Py_UCS4>(word.back()) == last && to - from >= n && word_at(to - n, word)) return true;
    }
    return false;
  }

  /// Whether `word` (lower case) stands at `i`, letters compared without case.
  bool word_at(Py_ssize_t i, std::string_view word) const {
    if (static_cast<Py_ssize_t>(word.size()) > length_ - i) return false;
    for (const char w : word) {
      if (ascii_lower(at(i++)) != static_cast<Py_UCS4>(w)) return false;
    }
    return true;
  }

  /// End of a run of characters that `accept` takes, from `i`.
  template <typename Accept>
  Py_ssize_t run_end(Py_ssize_t i, Accept accept) const {
    while (i < length_ && accept(at(i))) ++i;
    return i;
  }

  /// Where the quoted text whose opening `quote` stands just before `i` ends: at its closing quote, or at the
  /// end of the text when it has none. A backslash escapes the character after it.
  ///
  /// A scan that starts inside the text that the previous scan for the same quote covered ends where that
  /// one ended (that quote was escaped there, so both read the same characters from it on): remembered, so
  /// that the whole scan stays linear however many fields point into one long text.
  Py_ssize_t closing_quote(Py_ssize_t i, Py_UCS4 quote) {
    Span &memo = memo_[quote == '"'];
    if (i > memo.from && i <= memo.to) return memo.to;
    Py_ssize_t j = i;
    while (j < length_) {
      const Py_UCS4 c = at(j);
      if (c == quote) break;
      j += (c == '\\') ? 2 : 1;
    }
    j = std::min(j, length_);
    memo = {i, j};
    return j;
  }

  /// End of a field's value starting at `i` (a quoted text, b<quoted text> or SecretStr(<quoted text>)), or -1.
  Py_ssize_t value_end(Py_ssize_t i) {
    if (i + 1 < length_ && at(i) == 'b' && is_quote(at(i + 1))) return quoted_end(i + 1);
    static constexpr char kSecretStr[] = "SecretStr(";
    constexpr Py_ssize_t kSecretStrLength = sizeof kSecretStr - 1;
    Py_ssize_t k = 0;
    while (k < kSecretStrLength && i + k < length_ && at(i + k) == static_cast<Py_UCS4>(kSecretStr[k])) ++k;
    if (k == kSecretStrLength) {
      const Py_ssize_t end = quoted_end(i + kSecretStrLength);
      return (end >= 0 && end < length_ && at(end) == ')') ? end + 1 : -1;
    }
    return quoted_end(i);
  }

  /// End of the quoted text (closing quote included) that opens at `i`, or -1 when no quote is there.
  Py_ssize_t quoted_end(Py_ssize_t i) {
    if (i >= length_ || !is_quote(at(i))) return -1;
    const Py_ssize_t close = closing_quote(i + 1, at(i));
    return close < length_ ? close + 1 : length_;
  }

  /// name=VALUE, with the name at [i, j).
  bool field_at(Py_ssize_t i, Py_ssize_t j, Match &m) {
    if (j >= length_ || at(j) != '=' || !secret_name(i, j)) return false;
    const Py_ssize_t end = value_end(j + 1);
    if (end < 0) return false;
    m = {j + 1, end, end, kQuotedMask};
    return true;
  }

  /// 'name': VALUE, with the opening quote at `i`; blanks and tabs may stand around the colon.
  bool item_at(Py_ssize_t i, Match &m) {
    const Py_ssize_t j = run_end(i + 1, is_name_char);
    if (j >= length_ || at(j) != at(i) || !secret_name(i + 1, j)) return false;
    // Only the quote at `i` reaches the blanks after its closing quote at `j`: the scan stays linear.
    const Py_ssize_t colon = run_end(j + 1, is_blank_or_tab);
    if (colon >= length_ || at(colon) != ':') return false;
    const Py_ssize_t value = run_end(colon + 1, is_blank_or_tab);
    const Py_ssize_t end = value_end(value);
    if (end < 0) return false;
    m = {value, end, end, kQuotedMask};
    return true;
  }

  /// After one of kTokenSchemes at `i`: the end of the blanks that must follow it, or -1.
  Py_ssize_t after_token_scheme(Py_ssize_t i) const {
    for (const std::string_view scheme : kTokenSchemes) {
      if (!word_at(i, scheme)) continue;
      const Py_ssize_t word_end = i + static_cast<Py_ssize_t>(scheme.size());
      const Py_ssize_t blanks_end = run_end(word_end, [](Py_UCS4 c) { return c == ' '; });
      return blanks_end > word_end ? blanks_end : -1;
    }
    return -1;
  }

  /// After "digest" at `i`, its blanks and a parameter's name and "=": where that name starts, or -1.
  Py_ssize_t digest_params(Py_ssize_t i) const {
    if (!word_at(i, "digest")) return -1;
    const Py_ssize_t blanks_end = run_end(i + 6, [](Py_UCS4 c) { return c == ' '; });
    if (blanks_end == i + 6) return -1;
    const Py_ssize_t name_end = run_end(blanks_end, is_param_char);
    return (name_end > blanks_end && name_end < length_ && at(name_end) == '=') ? blanks_end : -1;
  }

  /// 'Bearer TOKEN' or 'Digest PARAM=...', with the opening quote at `i`.
  bool scheme_at(Py_ssize_t i, Match &m) {
    const Py_UCS4 quote = at(i);
    const Py_ssize_t token = after_token_scheme(i + 1);
    if (token >= 0) {
      const Py_ssize_t end = run_end(token, is_token_char);
      if (end == token || (end < length_ && at(end) != quote)) return false;
      m = {token, end, end, kMask};
      return true;
    }
    const Py_ssize_t params = digest_params(i + 1);
    if (params < 0) return false;
    const Py_ssize_t end = closing_quote(params, quote);
    m = {params, end, end, kMask};
    return true;
  }

  /// Authorization: Bearer TOKEN, or Authorization: Digest PARAM=... to the end of the line, at `i`.
  bool authorization_at(Py_ssize_t i, Match &m) {
    if (!word_at(i, "authorization") || i + 13 >= length_ || at(i + 13) != ':') return false;
    const Py_ssize_t scheme = run_end(i + 14, is_blank_or_tab);
    const Py_ssize_t token = after_token_scheme(scheme);
    if (token >= 0) {
      const Py_ssize_t end = run_end(token, is_token_char);
      if (end == token) return false;
      m = {token, end, end, kMask};
      return true;
    }
    const Py_ssize_t params = digest_params(scheme);
    if (params < 0) return false;
    const Py_ssize_t end = run_end(params, [](Py_UCS4 c) { return c != '\r' && c != '\n'; });
    m = {params, end, end, kMask};
    return true;
  }

  /// ?name=VALUE or &name=VALUE, with the "?" or "&" at `i`.
  bool query_at(Py_ssize_t i, Match &m) {
    const Py_ssize_t j = run_end(i + 1, is_query_name_char);
    if (j >= length_ || at(j) != '=' || !secret_name(i + 1, j)) return false;
    const Py_ssize_t end = run_end(j + 1, [](Py_UCS4 c) { return !ends_query_value(c); });
    if (end == j + 1) return false;
    m = {j + 1, end, end, kMask};
    return true;
  }

  /// scheme://user:password@, with the ":" at `i`.
  bool uri_password_at(Py_ssize_t i, Match &m) const {
    if (i == 0 || !is_scheme_char(at(i - 1)) || i + 2 >= length_ || at(i + 1) != '/' || at(i + 2) != '/') {
      return false;
    }
    const Py_ssize_t user_end = run_end(i + 3, [](Py_UCS4 c) { return c != ':' && c != '@' && !ends_uri_part(c); });
    if (user_end >= length_ || at(user_end) != ':') return false;
    const Py_ssize_t password = user_end + 1;
    Py_ssize_t last_at = -1;
    for (Py_ssize_t j = password; j < length_ && !ends_uri_part(at(j)); ++j) {
      if (at(j) == '@') last_at = j;
    }
    if (last_at < 0) return false;
    m = {password, last_at, last_at + 1, kMask};
    return true;
  }

  struct Span {
    Py_ssize_t from = -1, to = -1;
  };

  int kind_;
  const void *data_;
  Py_ssize_t length_;
  Span memo_[2];  // the last closing_quote scan for ' and for "
};

/// `text` (an exact str) with every secret masked; `text` itself when it shows none. New reference or null.
Ref masked(PyObject *text) {
  Scanner scan(text);
  Match m;
  if (!scan.next(0, m)) return Ref::borrow(text);
  // Second pass, now that there is something to mask: the length and widest kept character (a str must
  // have the narrowest width that holds its characters), then the characters.
  Py_ssize_t length = 0, at = 0;
  Py_UCS4 widest = 127;
  const Match first = m;
  const bool ascii = PyUnicode_IS_ASCII(text);
  auto keep = [&](Py_ssize_t from, Py_ssize_t to) {
    length += to - from;
    for (Py_ssize_t i = from; i < to && !ascii; ++i) widest = std::max(widest, scan.at(i));
  };
  do {
    keep(at, m.start);
    length += static_cast<Py_ssize_t>(std::strlen(m.mask));
    at = m.end;
  } while (scan.next(m.resume, m));
  keep(at, scan.length());
  Ref result = Ref::steal(PyUnicode_New(length, widest));
  if (!result) return Ref();
  const int out_kind = PyUnicode_KIND(result.get());
  void *out = PyUnicode_DATA(result.get());
  Py_ssize_t w = 0;
  at = 0;
  m = first;
  bool more = true;
  while (more) {
    for (Py_ssize_t i = at; i < m.start; ++i) PyUnicode_WRITE(out_kind, out, w++, scan.at(i));
    for (const char *p = m.mask; *p; ++p) PyUnicode_WRITE(out_kind, out, w++, static_cast<Py_UCS4>(*p));
    at = m.end;
    more = scan.next(m.resume, m);
  }
  for (Py_ssize_t i = at; i < scan.length(); ++i) PyUnicode_WRITE(out_kind, out, w++, scan.at(i));
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
  if (compat::ready_text(text.get()) < 0) return Ref();  // __str__ may hand back a str not yet ready
  return masked(text.get());
}

}  // namespace nlsqlagent::rt
