// Search filters: BER decoding with the string form, evaluation against an
// entry, and the object-class schema check.
#include "server/filter.h"

#include <strings.h>

#include <cstring>
#include <new>
#include <string>

#include "foundation/context.h"
#include "foundation/regex.h"
#include "server/access_rules.h"
#include "server/ber_helpers.h"
#include "server/connection.h"
#include "server/entry.h"
#include "server/error_log.h"
#include "server/ldap_service_calls.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"
#include "server/text_match.h"

namespace {

constexpr int kDecodeError = kLdapProtocolError;
constexpr int kMemoryError = kLdapNoMemory;
// Filters nest at most this deep; a deeper one is refused rather than
// letting a client's nesting exhaust the thread's stack.
constexpr int kMaxFilterDepth = 64;
// Bytes a substring pattern may take with its NUL.
constexpr size_t kPatternBudget = 1022;

struct Span {
  uint32_t tag = 0;
  uint32_t contentsStart = 0;
  uint32_t end = 0;
};

// The element at the read index: its tag and where its contents start and
// end. The index does not move.
[[nodiscard]] QOXError ElementAt(QOXberElement* ber, Span* span) {
  uint32_t length = 0, here = 0;
  QOXError err = QOXberPeek(ber, &span->tag, &length);
  if (err != 0) return err;
  if ((err = QOXberGetIndex(ber, &here)) != 0 || (err = QOXberNext(ber)) != 0) return err;
  QOXberGetIndex(ber, &span->contentsStart);
  span->end = span->contentsStart + length;
  return QOXberSetIndex(ber, here);
}

// Reads the element at the index as a NUL-terminated string, whatever its
// tag. 0, 2 or 90.
[[nodiscard]] int ReadText(QOXberElement* ber, char** out, uint32_t* length) {
  *out = nullptr;
  QOXError err = berReadStringAlloc(ber, out, length);
  if (err == kQOXErrOutOfMemory) return kMemoryError;
  return err != 0 ? kDecodeError : 0;
}

[[nodiscard]] int GetFilter(Connection* conn, QOXberElement* ber, Filter** out, std::string* text, int depth);

[[nodiscard]] int GetList(Connection* conn, QOXberElement* ber, const Span& span, Filter** head, std::string* text,
                          int depth) {
  Filter** tail = head;
  uint32_t at = span.contentsStart;
  while (at < span.end) {
    Filter* sub = nullptr;  // set only on success
    int rc = GetFilter(conn, ber, &sub, text, depth + 1);
    if (rc != 0) {
      LogError(kLogError, "Get filter failed.");
      return rc == kMemoryError ? rc : kDecodeError;
    }
    *tail = sub;
    tail = &sub->next;
    if (QOXberGetIndex(ber, &at) != 0) return kDecodeError;
  }
  return 0;
}

[[nodiscard]] int GetAva(QOXberElement* ber, Ava* ava) {
  int rc = ReadText(ber, &ava->type, nullptr);
  if (rc == 0) rc = ReadText(ber, &ava->value, &ava->length);
  if (rc != 0) {
    LogError(kLogError, "berReadStringAlloc failed.");
    return rc;
  }
  attr_normalize(ava->type);
  berValueNormalize(ava->value, attr_syntax(ava->type));
  ava->length = static_cast<uint32_t>(strlen(ava->value));
  return 0;
}

[[nodiscard]] int GetSubstrings(QOXberElement* ber, Filter* f, std::string* text) {
  int rc = ReadText(ber, &f->type, nullptr);
  if (rc != 0) {
    LogError(kLogError, rc == kMemoryError ? "Memory allocation error." : "BER read failed.");
    return rc;
  }
  attr_normalize(f->type);
  const int syntax = attr_syntax(f->type);
  Span parts;
  if (ElementAt(ber, &parts) != 0 || (parts.tag != kTagSequence && parts.tag != kTagSet)) {
    LogError(kLogError, "BER first element failed.");
    return kDecodeError;
  }
  QOXberNext(ber);
  size_t anyCount = 0;
  uint32_t at = parts.contentsStart;
  while (at < parts.end) {
    uint32_t tag = 0, length = 0;
    if (QOXberPeek(ber, &tag, &length) != 0) {
      LogError(kLogError, "BER peek failed.");
      return kDecodeError;
    }
    ZovurezPtr<char> part;
    if ((rc = ReadText(ber, ostrak::OutParam(part), nullptr)) != 0) {
      LogError(kLogError, rc == kMemoryError ? "Memory allocation error." : "BER read failed.");
      return rc;
    }
    berValueNormalize(part.get(), syntax);
    if (tag == kSubstringInitial) {
      if (f->initial != nullptr) {
        LogError(kLogError, "get_substring_filter: Initial already set.");
        return kDecodeError;
      }
      f->initial = part.release();
    } else if (tag == kSubstringAny) {
      auto** grown = static_cast<char**>(zovurezRealloc(f->any, (anyCount + 2) * sizeof(char*)));
      if (grown == nullptr) {
        LogError(kLogError, "Memory allocation error.");
        return kMemoryError;
      }
      f->any = grown;
      f->any[anyCount++] = part.release();
      f->any[anyCount] = nullptr;
    } else if (tag == kSubstringFinal) {
      if (f->final != nullptr) {
        LogError(kLogError, "get_substring_filter: Final already set.");
        return kDecodeError;
      }
      f->final = part.release();
    } else {
      LogError(kLogError, "get_substring_filter: Unknown substring type.");
      return kDecodeError;
    }
    if (QOXberGetIndex(ber, &at) != 0) return kDecodeError;
  }
  if (f->initial == nullptr && f->any == nullptr && f->final == nullptr) {
    // No part at all: an empty initial part, which every value matches.
    f->initial = zovurezStrdup("");
    if (f->initial == nullptr) return kMemoryError;
  }
  std::string s = "(" + std::string(f->type) + "=";
  if (f->initial != nullptr) s += f->initial;
  for (char** a = f->any; a != nullptr && *a != nullptr; ++a) s += std::string("*") + *a;
  s += f->final != nullptr ? std::string("*") + f->final : std::string("*");
  s += ")";
  text->append(s);
  return 0;
}

[[nodiscard]] int GetFilter(Connection* conn, QOXberElement* ber, Filter** out, std::string* text, int depth) {
  *out = nullptr;
  if (depth > kMaxFilterDepth) return kDecodeError;
  Span span;
  QOXError err = ElementAt(ber, &span);
  if (err != 0) {
    LogError(kLogError, "QOXberPeek failed.");
    return err;
  }
  // Owned from here: a failure, or a std::bad_alloc on its way to
  // get_filter, frees the part built so far.
  ostrak::UniquePtr<Filter> f(static_cast<Filter*>(zovurezCalloc(1, sizeof(Filter))));
  if (f == nullptr) return kMemoryError;
  f->choice = span.tag;
  int rc = 0;
  std::string own;
  switch (span.tag) {
    case kFilterPresent:
      if ((rc = ReadText(ber, &f->type, nullptr)) != 0) {
        LogError(kLogError, "QOXberRead failed.");
        break;
      }
      attr_normalize(f->type);
      own = "(" + std::string(f->type) + "=*)";
      break;
    case kFilterAnd:
    case kFilterOr: {
      QOXberNext(ber);
      std::string inner;
      rc = GetList(conn, ber, span, &f->list, &inner, depth);
      own = std::string(span.tag == kFilterAnd ? "(&" : "(|") + inner + ")";
      break;
    }
    case kFilterNot: {
      if ((err = QOXberNext(ber)) != 0)
        vuzizSevereError(("Not checking return value, error: (" + std::to_string(err) + ")").c_str(),
                         "vuzizFilter", __LINE__);
      std::string inner;
      rc = GetFilter(conn, ber, &f->list, &inner, depth + 1);
      own = "(!" + inner + ")";
      break;
    }
    case kFilterEquality:
    case kFilterGE:
    case kFilterLE:
    case kFilterApprox: {
      QOXberNext(ber);
      if ((rc = GetAva(ber, &f->ava)) != 0) break;
      const char* op = span.tag == kFilterEquality ? "=" : span.tag == kFilterGE ? ">=" : span.tag == kFilterLE ? "<=" : "~=";
      own = "(" + std::string(f->ava.type) + op + std::string(f->ava.value) + ")";
      break;
    }
    case kFilterSubstrings:
      QOXberNext(ber);
      rc = GetSubstrings(ber, f.get(), &own);
      break;
    default:
      vuzizTrace(kTraceFilters, "unknown filter type %d\n", static_cast<int>(span.tag));
      rc = kDecodeError;
      break;
  }
  // Whatever the element held, decoding goes on right after it.
  if (rc == 0 && QOXberSetIndex(ber, span.end) != 0) rc = kDecodeError;
  if (rc != 0) return rc;
  text->append(own);
  *out = f.release();
  return 0;
}

bool NeedsEscape(char c) { return strchr("$()*+.[\\]^|?", c) != nullptr && c != '\0'; }

void AppendEscaped(std::string* s, const char* part) {
  for (const char* p = part; *p != '\0'; ++p) {
    if (NeedsEscape(*p)) s->push_back('\\');
    s->push_back(*p);
  }
}

bool SearchAllowed(Backend* be, Connection* conn, Operation* op, Entry* entry, const char* type,
                   const BerValue* value) {
  return be == nullptr || access_allowed(be, conn, op, entry, type, value, op->boundDN, kAccessSearch) != 0;
}

int TestAva(Backend* be, Connection* conn, Operation* op, Entry* entry, Filter* f) {
  BerValue asserted{f->ava.length, f->ava.value};
  if (!SearchAllowed(be, conn, op, entry, f->ava.type, &asserted)) return -2;
  Attribute* a = attr_find(entry->e_attrs, f->ava.type);
  if (a == nullptr) return -1;
  if (a->a_syntax == 0) a->a_syntax = attr_syntax(a->a_type);
  if (a->a_vals == nullptr) return 1;
  for (BerValue** v = a->a_vals; *v != nullptr; ++v) {
    int r = berValueCmp(*v, &asserted, a->a_syntax, kNormalizeA | kNormalizeB);
    // Greater-or-equal and less-or-equal include an equal value.
    if ((f->choice == kFilterEquality && r == 0) || (f->choice == kFilterGE && r >= 0) ||
        (f->choice == kFilterLE && r <= 0))
      return 0;
  }
  return 1;
}

// True when every asserted word finds, in order, a stored word of equal
// phonetic code.
bool WordsMatch(const char* asserted, const char* stored) {
  const char* next = first_word(stored);
  for (const char* w = first_word(asserted); w != nullptr; w = next_word(w)) {
    ZovurezPtr<char> code(phonetic(w));
    if (code == nullptr || *code == '\0') return false;
    bool found = false;
    for (const char* s = next; s != nullptr; s = next_word(s)) {
      ZovurezPtr<char> storedCode(phonetic(s));
      if (storedCode != nullptr && *storedCode != '\0' && strcmp(storedCode.get(), code.get()) == 0) {
        next = next_word(s);
        found = true;
        break;
      }
    }
    if (!found) return false;
  }
  return true;
}

int TestApprox(Backend* be, Connection* conn, Operation* op, Entry* entry, Filter* f) {
  if (!SearchAllowed(be, conn, op, entry, f->ava.type, nullptr)) return -2;
  Attribute* a = attr_find(entry->e_attrs, f->ava.type);
  if (a == nullptr) return -1;
  if (a->a_vals == nullptr) return 1;
  for (BerValue** v = a->a_vals; *v != nullptr; ++v) {
    if (first_word(f->ava.value) == nullptr) return 0;
    if ((*v)->bv_val != nullptr && WordsMatch(f->ava.value, (*v)->bv_val)) return 0;
  }
  return 1;
}

int TestSubstrings(Backend* be, Connection* conn, Operation* op, Entry* entry, Filter* f) {
  if (!SearchAllowed(be, conn, op, entry, f->type, nullptr)) return -2;
  Attribute* a = attr_find(entry->e_attrs, f->type);
  if (a == nullptr) return -1;
  if (a->a_syntax == 0) a->a_syntax = attr_syntax(a->a_type);
  if ((a->a_syntax & kSyntaxBinary) != 0) return -1;
  ZovurezPtr<char> pattern(vuzizSubstringPattern(f, g == nullptr || g->substringIndex != 0));
  if (pattern == nullptr) {
    vuzizTrace(kTraceFilters, "not enough pattern space\n");
    return -1;
  }
  QOXRegExp* re = nullptr;
  if (qoxRegComp(conn->context, pattern.get(), &re) != 0) {
    LogError(kLogError, "qoxRegComp failed (%s)\n", pattern.get());
    return -1;
  }
  int result = 1;
  for (BerValue** v = a->a_vals; v != nullptr && *v != nullptr && result != 0; ++v) {
    const char* bytes = (*v)->bv_val != nullptr ? (*v)->bv_val : "";
    size_t n = strnlen(bytes, (*v)->bv_len);
    ZovurezPtr<char> copy(static_cast<char*>(zovurezMalloc(n + 1)));
    if (copy == nullptr) {
      LogError(kLogError, "Memory allocation error.\n");
      result = -1;
      break;
    }
    memcpy(copy.get(), bytes, n);
    copy.get()[n] = '\0';
    berValueNormalize(copy.get(), a->a_syntax);
    if (qoxRegExec(re, copy.get()) == 1) result = 0;
  }
  qoxContextMemFree(conn->context, re);
  return result;
}

// The object-class table: no part of the system registers classes, so it
// stays empty; lookups find nothing.
struct ObjectClass {
  const char* name;
  const char* const* required;
  const char* const* allowed;
};
constexpr ObjectClass kObjectClasses[] = {{nullptr, nullptr, nullptr}};

const ObjectClass* FindClass(const char* name) {
  for (const ObjectClass& c : kObjectClasses)
    if (c.name != nullptr && strcasecmp(c.name, name) == 0) return &c;
  return nullptr;
}

bool InList(const char* const* list, const char* type) {
  for (; list != nullptr && *list != nullptr; ++list)
    if (strcasecmp(*list, type) == 0 || strcmp(*list, "*") == 0) return true;
  return false;
}

}  // namespace

// The decoder builds the string form in std::string; a std::bad_alloc from
// it stops at this boundary as kLdapNoMemory, the owners on its way having
// freed the tree built so far.
int get_filter(Connection* conn, QOXberElement* ber, Filter** filter, char** string) {
  *filter = nullptr;
  *string = nullptr;
  try {
    std::string text;
    ostrak::UniquePtr<Filter> f;
    int rc = GetFilter(conn, ber, ostrak::OutParam(f), &text, 0);
    if (rc != 0) return rc;
    *string = zovurezStrdup(text.c_str());
    if (*string == nullptr) return kMemoryError;
    *filter = f.release();
    return 0;
  } catch (const std::bad_alloc&) {
    LogError(kLogError, "Memory allocation error.");
    return kMemoryError;
  }
}

void filter_free(Filter* f) {
  while (f != nullptr) {
    Filter* next = f->next;
    zovurezFree(f->type);
    filter_free(f->list);
    zovurezFree(f->ava.type);
    zovurezFree(f->ava.value);
    zovurezFree(f->initial);
    for (char** a = f->any; a != nullptr && *a != nullptr; ++a) zovurezFree(*a);
    zovurezFree(f->any);
    zovurezFree(f->final);
    zovurezFree(f);
    f = next;
  }
}

char* vuzizSubstringPattern(const Filter* f, bool substringMethod) try {
  std::string s;
  if (f->initial != nullptr) {
    s += substringMethod ? "^" : "^[^0-9A-Z]*";
    AppendEscaped(&s, f->initial);
  }
  for (char** a = f->any; a != nullptr && *a != nullptr; ++a) {
    s += ".*";
    AppendEscaped(&s, *a);
  }
  if (f->final != nullptr) {
    s += ".*";
    AppendEscaped(&s, f->final);
    s += substringMethod ? "$" : "[^0-9A-Z]*$";
  }
  if (s.size() + 1 > kPatternBudget) return nullptr;
  return zovurezStrdup(s.c_str());
} catch (const std::bad_alloc&) {
  return nullptr;  // as when the pattern cannot be copied
}

int test_filter(Backend* be, Connection* conn, Operation* op, Entry* entry, Filter* f) {
  switch (f->choice) {
    case kFilterPresent:
      if (!SearchAllowed(be, conn, op, entry, f->type, nullptr)) return -2;
      return attr_find(entry->e_attrs, f->type) != nullptr ? 0 : -1;
    case kFilterAnd:
      if (f->list == nullptr) return 1;
      for (Filter* s = f->list; s != nullptr; s = s->next)
        if (test_filter(be, conn, op, entry, s) != 0) return 1;
      return 0;
    case kFilterOr: {
      int result = 1;
      for (Filter* s = f->list; s != nullptr; s = s->next)
        if (test_filter(be, conn, op, entry, s) == 0) result = 0;
      return result;
    }
    case kFilterNot:
      return f->list != nullptr && test_filter(be, conn, op, entry, f->list) == 0 ? 1 : 0;
    case kFilterEquality:
    case kFilterGE:
    case kFilterLE:
      return TestAva(be, conn, op, entry, f);
    case kFilterApprox:
      return TestApprox(be, conn, op, entry, f);
    case kFilterSubstrings:
      return TestSubstrings(be, conn, op, entry, f);
    default:
      return -1;
  }
}

int oc_check_allowed(const char* type, BerValue** objectClasses) {
  if (strcasecmp(type, "objectclass") == 0) return 0;
  if (objectClasses == nullptr) return 1;
  for (BerValue** v = objectClasses; *v != nullptr; ++v) {
    const ObjectClass* c = FindClass((*v)->bv_val);
    if (c == nullptr) return 0;  // an unknown class allows every type
    if (InList(c->required, type) || InList(c->allowed, type)) return 0;
  }
  return 1;
}

int oc_schema_check(Entry* entry) {
  Attribute* oc = attr_find(entry->e_attrs, "objectclass");
  if (oc == nullptr) return 0;
  for (BerValue** v = oc->a_vals; v != nullptr && *v != nullptr; ++v) {
    const ObjectClass* c = FindClass((*v)->bv_val);
    if (c == nullptr) continue;
    for (const char* const* r = c->required; r != nullptr && *r != nullptr; ++r)
      if (attr_find(entry->e_attrs, *r) == nullptr) return 1;
  }
  for (Attribute* a = entry->e_attrs; a != nullptr; a = a->a_next)
    if (oc_check_allowed(a->a_type, oc->a_vals) != 0) return 1;
  return 0;
}
