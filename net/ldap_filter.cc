// Filter text to BER: the reader of RFC 1960 string filters.
//
// A filter that neither begins with "(" nor ends with ")" is read as if it
// were in parentheses. After "(" comes "&" (AND), "|" (OR), "!" (NOT), or an
// attribute type and the first of "<", "=", ">", "~": "=*)" is a presence
// test, "=" a substring filter when an unescaped "*" stands in the value,
// else an equality; ">=", "<=" and "~=" the orderings and approximate match.
// A value runs to the next unescaped ")" or the end of the text; in it a
// backslash takes the next character literally and is not sent. Types take
// no escapes. The sub-filters of AND and OR are the shortest prefixes of
// the text after the operator with balanced parentheses, escaped ones not
// counted; one that runs to the end gets its closing ")".
//
// Refused (-12000): a final backslash; an escaped ")" with no closing
// parenthesis after it ("(cn=a\)", "cn=a\"), where the escape took the
// parenthesis meant to close; an unknown operator; a NOT of nothing;
// nesting deeper than kQOXldapMaxFilterDepth.
//
// Every scan advances by at least one character per step; nesting is
// bounded (kQOXldapMaxFilterDepth), so no text makes the reader loop or
// recurse without end.
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/errors.h"
#include "foundation/memory_mgr.h"
#include "net/ber.h"
#include "net/ldap_client_internal.h"
#include "net/ldap_protocol.h"

namespace {

constexpr char kEscape = '\\';

// The raw extent of a value: from `start` to the next unescaped ")" or the
// end of the text.
struct ValueScan {
  size_t end;     // index of the closing ")" or the text's length
  bool hasStar;   // an unescaped "*" stands in it
};

QOXError ScanValue(std::string_view t, size_t start, ValueScan* out) {
  bool star = false;
  bool escapedParen = false;
  size_t i = start;
  while (i < t.size() && t[i] != ')') {
    if (t[i] == kEscape) {
      if (i + 1 >= t.size()) return kQOXErrBadParams;  // a final backslash
      escapedParen |= t[i + 1] == ')';
      i += 2;
      continue;
    }
    if (t[i] == '*') star = true;
    ++i;
  }
  // An escaped ")" and no closing parenthesis after it: the escape took the
  // parenthesis that closed the filter.
  if (i == t.size() && escapedParen) return kQOXErrBadParams;
  *out = {i, star};
  return kQOXErrNoErr;
}

// The value's characters with the escapes taken out.
std::string Unescape(std::string_view raw) {
  std::string v;
  v.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == kEscape && i + 1 < raw.size()) ++i;
    v.push_back(raw[i]);
  }
  return v;
}

// Bytes of a piece for the 'o' letter (never a null pointer).
const char* Bytes(std::string_view s) { return s.empty() ? "" : s.data(); }
uint32_t Size(std::string_view s) { return static_cast<uint32_t>(s.size()); }

// The sub-filter at `start`: the shortest prefix with balanced parentheses.
// *outEnd is where it ends; *outOpen tells that it ran to the end of the
// text with a parenthesis left open.
QOXError SubFilter(std::string_view t, size_t start, size_t* outEnd, bool* outOpen) {
  int depth = 0;
  bool escapedParen = false;
  size_t i = start;
  do {
    char c = t[i];
    if (c == kEscape) {
      if (i + 1 >= t.size()) return kQOXErrBadParams;  // a final backslash
      escapedParen |= t[i + 1] == ')';
      i += 2;
    } else {
      if (c == '(') ++depth;
      if (c == ')') --depth;
      ++i;
    }
  } while (depth > 0 && i < t.size());
  // Left open after an escaped ")": as for a value, the escape took the
  // closing parenthesis; no ")" is supplied for it.
  if (depth > 0 && escapedParen) return kQOXErrBadParams;
  *outEnd = i;
  *outOpen = depth > 0;
  return kQOXErrNoErr;
}

QOXError AddFilter(QOXberElement* e, std::string_view text, int depth);

// The sub-filters of AND, OR (`many`) and NOT from `start` on.
QOXError AddSubFilters(QOXberElement* e, std::string_view t, size_t start, int depth, bool many) {
  size_t pos = start;
  int count = 0;
  while (pos < t.size() && t[pos] != ')') {
    size_t end;
    bool open;
    QOXError err = SubFilter(t, pos, &end, &open);
    if (err != kQOXErrNoErr) return err;
    std::string_view sub = t.substr(pos, end - pos);
    if (open) {
      std::string closed(sub);
      closed.push_back(')');
      err = AddFilter(e, closed, depth + 1);
    } else {
      err = AddFilter(e, sub, depth + 1);
    }
    if (err != kQOXErrNoErr) return err;
    pos = end;
    if (++count == 1 && !many) return kQOXErrNoErr;
  }
  return many ? kQOXErrNoErr : kQOXErrBadParams;  // a NOT of nothing
}

// The components of a substring value, cut at unescaped stars: the first is
// the initial part, the last the final part, the others "any" parts; empty
// ones are not sent.
QOXError AddSubstrings(QOXberElement* e, std::string_view raw) {
  std::vector<std::string_view> parts;
  size_t from = 0;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == kEscape) {
      ++i;
    } else if (raw[i] == '*') {
      parts.push_back(raw.substr(from, i - from));
      from = i + 1;
    }
  }
  parts.push_back(raw.substr(from));
  for (size_t k = 0; k < parts.size(); ++k) {
    if (parts[k].empty()) continue;
    uint32_t tag = k == 0 ? kSubstringInitial
                          : k + 1 == parts.size() ? kSubstringFinal : kSubstringAny;
    std::string piece = Unescape(parts[k]);
    QOXError err = QOXberAppend(e, "to", tag, Bytes(piece), Size(piece));
    if (err != kQOXErrNoErr) return err;
  }
  return kQOXErrNoErr;
}

QOXError AddFilter(QOXberElement* e, std::string_view text, int depth) {
  if (depth > kQOXldapMaxFilterDepth) return kQOXErrBadParams;
  std::string wrapped;
  std::string_view t = text;
  if ((t.empty() || t.front() != '(') && (t.empty() || t.back() != ')')) {
    wrapped.reserve(t.size() + 2);
    wrapped.push_back('(');
    wrapped.append(t);
    wrapped.push_back(')');
    t = wrapped;
  }
  if (t.size() < 2 || t[0] != '(') return kQOXErrBadParams;

  switch (t[1]) {
    case '&':
    case '|': {
      QOXError err = QOXberAppend(e, "t[", t[1] == '&' ? kFilterAnd : kFilterOr);
      if (err == kQOXErrNoErr) err = AddSubFilters(e, t, 2, depth, true);
      if (err == kQOXErrNoErr) err = QOXberAppend(e, "]");
      return err;
    }
    case '!': {
      QOXError err = QOXberAppend(e, "t{", kFilterNot);
      if (err == kQOXErrNoErr) err = AddSubFilters(e, t, 2, depth, false);
      if (err == kQOXErrNoErr) err = QOXberAppend(e, "}");
      return err;
    }
    default:
      break;
  }

  const size_t op = t.find_first_of("<=>~", 1);
  if (op == std::string_view::npos) return kQOXErrBadParams;
  const std::string_view type = t.substr(1, op - 1);
  uint32_t tag;
  size_t valueStart;
  if (t[op] == '=') {
    if (t.substr(op + 1, 2) == "*)") return QOXberAppend(e, "to", kFilterPresent, Bytes(type), Size(type));
    tag = kFilterEquality;
    valueStart = op + 1;
  } else {
    if (op + 1 >= t.size() || t[op + 1] != '=') return kQOXErrBadParams;
    tag = t[op] == '>' ? kFilterGE : t[op] == '<' ? kFilterLE : kFilterApprox;
    valueStart = op + 2;
  }
  ValueScan scan;
  QOXError err = ScanValue(t, valueStart, &scan);
  if (err != kQOXErrNoErr) return err;
  const std::string_view raw = t.substr(valueStart, scan.end - valueStart);
  if (tag == kFilterEquality && scan.hasStar) {
    err = QOXberAppend(e, "t{o{", kFilterSubstrings, Bytes(type), Size(type));
    if (err == kQOXErrNoErr) err = AddSubstrings(e, raw);
    if (err == kQOXErrNoErr) err = QOXberAppend(e, "}}");
    return err;
  }
  std::string value = Unescape(raw);
  return QOXberAppend(e, "t{oo}", tag, Bytes(type), Size(type), Bytes(value), Size(value));
}

}  // namespace

QOXError qoxLDAPAddFilter(QOXldapContext, QOXberElement* element, const char* filter) {
  if (element == nullptr || filter == nullptr) return kQOXErrBadParams;
  size_t n = std::strlen(filter);
  if (n >= kQOXMaxBlockDataSize) return kQOXErrBadParams;
  try {
    return AddFilter(element, std::string_view(filter, n), 1);
  } catch (const std::bad_alloc&) {
    return kQOXErrOutOfMemory;
  }
}
