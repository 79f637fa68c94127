// Search filters: BER decoding with the string form, evaluation against an
// entry, and the object-class schema check.
#include "server/filter.h"

#include <strings.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "foundation/context.h"
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
constexpr uint32_t kConstructed = 0x20;

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

// The element at the read index, which must end at or before limit.
[[nodiscard]] int ElementWithin(QOXberElement* ber, uint32_t limit, Span* span) {
  return ElementAt(ber, span) == 0 && span->end <= limit ? 0 : kDecodeError;
}

// Reads the primitive element at the read index, of the given tag and
// ending at or before limit, into a new counted copy (NUL-terminated after
// its length); the index moves past it. 0, 2 or 90.
[[nodiscard]] int ReadPrimitive(QOXberElement* ber, uint32_t limit, uint32_t tag, char** out, uint32_t* length) {
  *out = nullptr;
  Span span;
  if (ElementWithin(ber, limit, &span) != 0 || span.tag != tag || (span.tag & kConstructed) != 0)
    return kDecodeError;
  const uint8_t* bytes = nullptr;
  if (QOXberGetEncoding(ber, &bytes) != 0) return kDecodeError;
  const uint32_t n = span.end - span.contentsStart;
  char* copy = static_cast<char*>(zovurezMalloc(static_cast<size_t>(n) + 1));
  if (copy == nullptr) return kMemoryError;
  if (n > 0) memcpy(copy, bytes + span.contentsStart, n);
  copy[n] = '\0';
  if (QOXberSetIndex(ber, span.end) != 0) {
    zovurezFree(copy);
    return kDecodeError;
  }
  *out = copy;
  if (length != nullptr) *length = n;
  return 0;
}

// An attribute type: an element of the tag (an OCTET STRING, or the
// present filter's own) without a NUL byte, normalised.
[[nodiscard]] int ReadType(QOXberElement* ber, uint32_t limit, char** out, uint32_t tag = kTagOctetString) {
  uint32_t n = 0;
  int rc = ReadPrimitive(ber, limit, tag, out, &n);
  if (rc == 0 && strlen(*out) != n) {
    zovurezFree(*out);
    *out = nullptr;
    return kDecodeError;
  }
  if (rc == 0) attr_normalize(*out);
  return rc;
}

// The value bytes of a string form; a NUL byte is written as "\00", as the
// LDAP string representation of filters escapes it.
void AppendValue(std::string* s, const char* value, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    if (value[i] == '\0')
      s->append("\\00");
    else
      s->push_back(value[i]);
  }
}

// A decoded part of a substrings filter.
BerValue* NewPart(char* bytes, uint32_t length) {
  auto* v = static_cast<BerValue*>(zovurezCalloc(1, sizeof(BerValue)));
  if (v == nullptr) return nullptr;
  v->bv_val = bytes;
  v->bv_len = length;
  return v;
}

struct Decoder {
  QOXberElement* ber;
  int terms = 0;
};

[[nodiscard]] int GetFilter(Decoder* d, uint32_t limit, Filter** out, std::string* text, int depth);

[[nodiscard]] int GetList(Decoder* d, const Span& span, Filter** head, std::string* text, int depth) {
  Filter** tail = head;
  uint32_t at = span.contentsStart;
  while (at < span.end) {
    Filter* sub = nullptr;  // set only on success
    int rc = GetFilter(d, span.end, &sub, text, depth + 1);
    if (rc != 0) {
      LogError(kLogError, "Get filter failed.");
      return rc == kMemoryError || rc == kFilterLimitExceeded ? rc : kDecodeError;
    }
    *tail = sub;
    tail = &sub->next;
    if (QOXberGetIndex(d->ber, &at) != 0) return kDecodeError;
  }
  return 0;
}

// An attribute-value assertion: exactly the type and the value.
[[nodiscard]] int GetAva(QOXberElement* ber, const Span& span, Ava* ava) {
  int rc = ReadType(ber, span.end, &ava->type);
  if (rc == 0) rc = ReadPrimitive(ber, span.end, kTagOctetString, &ava->value, &ava->length);
  uint32_t at = 0;
  if (rc == 0 && (QOXberGetIndex(ber, &at) != 0 || at != span.end)) rc = kDecodeError;
  if (rc != 0) {
    LogError(kLogError, "berReadStringAlloc failed.");
    return rc;
  }
  ava->length = berValueNormalizeCounted(ava->value, ava->length, attr_syntax(ava->type));
  return 0;
}

[[nodiscard]] int GetSubstrings(QOXberElement* ber, const Span& span, Filter* f, std::string* text) {
  int rc = ReadType(ber, span.end, &f->type);
  if (rc != 0) {
    LogError(kLogError, rc == kMemoryError ? "Memory allocation error." : "BER read failed.");
    return rc;
  }
  const int syntax = attr_syntax(f->type);
  Span parts;
  if (ElementWithin(ber, span.end, &parts) != 0 || (parts.tag != kTagSequence && parts.tag != kTagSet) ||
      parts.end != span.end) {
    LogError(kLogError, "BER first element failed.");
    return kDecodeError;
  }
  QOXberSetIndex(ber, parts.contentsStart);
  size_t anyCount = 0;
  uint32_t total = 0;
  uint32_t at = parts.contentsStart;
  while (at < parts.end) {
    Span part;
    if (ElementWithin(ber, parts.end, &part) != 0) {
      LogError(kLogError, "BER peek failed.");
      return kDecodeError;
    }
    char* bytes = nullptr;
    uint32_t length = 0;
    if ((rc = ReadPrimitive(ber, parts.end, part.tag, &bytes, &length)) != 0) {
      LogError(kLogError, rc == kMemoryError ? "Memory allocation error." : "BER read failed.");
      return rc;
    }
    ZovurezPtr<char> owned(bytes);
    total += length;  // each part lies within the request: no overflow
    if (total > kMaxFilterAssertionLength) return kFilterLimitExceeded;
    length = berValueNormalizeCounted(bytes, length, syntax);
    BerValue** slot = nullptr;
    if (part.tag == kSubstringInitial) {
      if (f->initial != nullptr) {
        LogError(kLogError, "get_substring_filter: Initial already set.");
        return kDecodeError;
      }
      slot = &f->initial;
    } else if (part.tag == kSubstringAny) {
      auto** grown = static_cast<BerValue**>(zovurezRealloc(f->any, (anyCount + 2) * sizeof(BerValue*)));
      if (grown == nullptr) {
        LogError(kLogError, "Memory allocation error.");
        return kMemoryError;
      }
      f->any = grown;
      f->any[anyCount] = f->any[anyCount + 1] = nullptr;
      slot = &f->any[anyCount++];
    } else if (part.tag == kSubstringFinal) {
      if (f->final != nullptr) {
        LogError(kLogError, "get_substring_filter: Final already set.");
        return kDecodeError;
      }
      slot = &f->final;
    } else {
      LogError(kLogError, "get_substring_filter: Unknown substring type.");
      return kDecodeError;
    }
    if ((*slot = NewPart(owned.get(), length)) == nullptr) {
      LogError(kLogError, "Memory allocation error.");
      return kMemoryError;
    }
    owned.release();
    if (QOXberGetIndex(ber, &at) != 0) return kDecodeError;
  }
  if (f->initial == nullptr && f->any == nullptr && f->final == nullptr) {
    // No part at all: an empty initial part, which every value matches.
    char* empty = zovurezStrdup("");
    if (empty == nullptr || (f->initial = NewPart(empty, 0)) == nullptr) {
      zovurezFree(empty);
      return kMemoryError;
    }
  }
  std::string s = "(" + std::string(f->type) + "=";
  if (f->initial != nullptr) AppendValue(&s, f->initial->bv_val, f->initial->bv_len);
  for (BerValue** a = f->any; a != nullptr && *a != nullptr; ++a) {
    s += "*";
    AppendValue(&s, (*a)->bv_val, (*a)->bv_len);
  }
  s += "*";
  if (f->final != nullptr) AppendValue(&s, f->final->bv_val, f->final->bv_len);
  s += ")";
  text->append(s);
  return 0;
}

[[nodiscard]] int GetFilter(Decoder* d, uint32_t limit, Filter** out, std::string* text, int depth) {
  *out = nullptr;
  if (depth > kMaxFilterDepth) return kDecodeError;
  if (++d->terms > kMaxFilterTerms) return kFilterLimitExceeded;
  QOXberElement* ber = d->ber;
  Span span;
  QOXError err = ElementAt(ber, &span);
  if (err != 0) {
    LogError(kLogError, "QOXberPeek failed.");
    return err;
  }
  if (span.end > limit) return kDecodeError;
  // Owned from here: a failure, or a std::bad_alloc on its way to
  // get_filter, frees the part built so far.
  ostrak::UniquePtr<Filter> f(static_cast<Filter*>(zovurezCalloc(1, sizeof(Filter))));
  if (f == nullptr) return kMemoryError;
  f->choice = span.tag;
  int rc = 0;
  std::string own;
  switch (span.tag) {
    case kFilterPresent:
      if ((rc = ReadType(ber, span.end, &f->type, kFilterPresent)) != 0) {
        LogError(kLogError, "QOXberRead failed.");
        break;
      }
      own = "(" + std::string(f->type) + "=*)";
      break;
    case kFilterAnd:
    case kFilterOr: {
      QOXberSetIndex(ber, span.contentsStart);
      std::string inner;
      rc = GetList(d, span, &f->list, &inner, depth);
      own = std::string(span.tag == kFilterAnd ? "(&" : "(|") + inner + ")";
      break;
    }
    case kFilterNot: {
      // Exactly one filter.
      QOXberSetIndex(ber, span.contentsStart);
      std::string inner;
      uint32_t at = 0;
      if (span.contentsStart == span.end) {
        rc = kDecodeError;
      } else if ((rc = GetFilter(d, span.end, &f->list, &inner, depth + 1)) == 0 &&
                 (QOXberGetIndex(ber, &at) != 0 || at != span.end)) {
        rc = kDecodeError;
      }
      own = "(!" + inner + ")";
      break;
    }
    case kFilterEquality:
    case kFilterGE:
    case kFilterLE:
    case kFilterApprox: {
      QOXberSetIndex(ber, span.contentsStart);
      if ((rc = GetAva(ber, span, &f->ava)) != 0) break;
      if (span.tag == kFilterApprox && f->ava.length > kMaxFilterAssertionLength) {
        rc = kFilterLimitExceeded;
        break;
      }
      const char* op = span.tag == kFilterEquality ? "=" : span.tag == kFilterGE ? ">=" : span.tag == kFilterLE ? "<=" : "~=";
      own = "(" + std::string(f->ava.type) + op;
      AppendValue(&own, f->ava.value, f->ava.length);
      own += ")";
      break;
    }
    case kFilterSubstrings:
      QOXberSetIndex(ber, span.contentsStart);
      rc = GetSubstrings(ber, span, f.get(), &own);
      break;
    default:
      vuzizTrace(kTraceFilters, "unknown filter type %d\n", static_cast<int>(span.tag));
      rc = kDecodeError;
      break;
  }
  // Decoding goes on right after the element.
  if (rc == 0 && QOXberSetIndex(ber, span.end) != 0) rc = kDecodeError;
  if (rc != 0) return rc;
  text->append(own);
  *out = f.release();
  return 0;
}

bool NeedsEscape(char c) { return strchr("$()*+.[\\]^|?", c) != nullptr && c != '\0'; }

void AppendEscaped(std::string* s, const BerValue* part) {
  for (uint32_t i = 0; i < part->bv_len; ++i) {
    const char c = part->bv_val[i];
    if (NeedsEscape(c) || c == '\0') s->push_back('\\');
    s->push_back(c);
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

// A counted text as words: a copy in which every NUL byte (which ends no
// text here, but separates words as any punctuation does) is a blank.
std::string WordText(const char* bytes, uint32_t length) {
  std::string s(bytes != nullptr ? bytes : "", bytes != nullptr ? length : 0);
  for (char& c : s)
    if (c == '\0') c = ' ';
  return s;
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
  const std::string asserted = WordText(f->ava.value, f->ava.length);
  for (BerValue** v = a->a_vals; *v != nullptr; ++v) {
    if (first_word(asserted.c_str()) == nullptr) return 0;
    if ((*v)->bv_val != nullptr && WordsMatch(asserted.c_str(), WordText((*v)->bv_val, (*v)->bv_len).c_str()))
      return 0;
  }
  return 1;
}

// [0-9A-Z]: the characters the word method's anchors do not pass over.
bool IsAnchorCharacter(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); }

bool PartAt(const char* value, uint32_t length, size_t at, const BerValue* part) {
  return at <= length && part->bv_len <= length - at && memcmp(value + at, part->bv_val, part->bv_len) == 0;
}

// The first place at or after `from` where the part stands; SIZE_MAX when none.
size_t FindPart(const char* value, uint32_t length, size_t from, const BerValue* part) {
  for (size_t at = from; at <= length && part->bv_len <= length - at; ++at)
    if (memcmp(value + at, part->bv_val, part->bv_len) == 0) return at;
  return SIZE_MAX;
}

int TestSubstrings(Backend* be, Connection* conn, Operation* op, Entry* entry, Filter* f) {
  if (!SearchAllowed(be, conn, op, entry, f->type, nullptr)) return -2;
  Attribute* a = attr_find(entry->e_attrs, f->type);
  if (a == nullptr) return -1;
  if (a->a_syntax == 0) a->a_syntax = attr_syntax(a->a_type);
  if ((a->a_syntax & kSyntaxBinary) != 0) return -1;
  const bool substringMethod = g == nullptr || g->substringIndex != 0;
  ZovurezPtr<char> pattern(vuzizSubstringPattern(f, substringMethod));
  if (pattern == nullptr) {
    vuzizTrace(kTraceFilters, "not enough pattern space\n");
    return -1;
  }
  for (BerValue** v = a->a_vals; v != nullptr && *v != nullptr; ++v) {
    const uint32_t n = (*v)->bv_val != nullptr ? (*v)->bv_len : 0;
    ZovurezPtr<char> copy(static_cast<char*>(zovurezMalloc(static_cast<size_t>(n) + 1)));
    if (copy == nullptr) {
      LogError(kLogError, "Memory allocation error.\n");
      return -1;
    }
    if (n > 0) memcpy(copy.get(), (*v)->bv_val, n);
    const uint32_t length = berValueNormalizeCounted(copy.get(), n, a->a_syntax);
    if (vuzizSubstringMatches(f, copy.get(), length, substringMethod)) return 0;
  }
  return 1;
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
int get_filter(Connection* /*conn*/, QOXberElement* ber, Filter** filter, char** string) {
  *filter = nullptr;
  *string = nullptr;
  try {
    std::string text;
    ostrak::UniquePtr<Filter> f;
    Decoder d{ber};
    uint32_t length = 0;
    if (QOXberGetLength(ber, &length) != 0) return kDecodeError;
    int rc = GetFilter(&d, length, ostrak::OutParam(f), &text, 0);
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
    berValueFree(f->initial);
    berValuesFree(f->any);
    berValueFree(f->final);
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
  for (BerValue** a = f->any; a != nullptr && *a != nullptr; ++a) {
    s += ".*";
    AppendEscaped(&s, *a);
  }
  if (f->final != nullptr) {
    s += ".*";
    AppendEscaped(&s, f->final);
    s += substringMethod ? "$" : "[^0-9A-Z]*$";
  }
  if (s.size() + 1 > kPatternBudget) return nullptr;
  char* out = static_cast<char*>(zovurezMalloc(s.size() + 1));
  if (out != nullptr) memcpy(out, s.c_str(), s.size() + 1);
  return out;
} catch (const std::bad_alloc&) {
  return nullptr;  // as when the pattern cannot be copied
}

// The pattern "^I.*A1.*A2.*F$" (word method: "^[^0-9A-Z]*I" and
// "F[^0-9A-Z]*$") matched by hand over counted bytes: each part is taken at
// its earliest place after the one before, which finds a match whenever
// the expression has one.
bool vuzizSubstringMatches(const Filter* f, const char* value, uint32_t length, bool substringMethod) {
  size_t pos = 0;
  if (f->initial != nullptr) {
    // Word method: the part may start after a run of characters outside
    // [0-9A-Z] at the start of the value.
    size_t lead = 0;
    if (!substringMethod)
      while (lead < length && !IsAnchorCharacter(value[lead])) ++lead;
    size_t at = 0;
    while (at <= lead && !PartAt(value, length, at, f->initial)) ++at;
    if (at > lead) return false;
    pos = at + f->initial->bv_len;
  }
  for (BerValue** a = f->any; a != nullptr && *a != nullptr; ++a) {
    size_t at = FindPart(value, length, pos, *a);
    if (at == SIZE_MAX) return false;
    pos = at + (*a)->bv_len;
  }
  if (f->final != nullptr) {
    // The part must end the value (word method: be followed only by
    // characters outside [0-9A-Z]) and start at or after pos.
    size_t tail = 0;
    if (!substringMethod)
      while (tail < length && !IsAnchorCharacter(value[length - 1 - tail])) ++tail;
    for (size_t end = length - tail; end <= length; ++end) {
      if (end < f->final->bv_len) continue;
      size_t at = end - f->final->bv_len;
      if (at >= pos && PartAt(value, length, at, f->final)) return true;
    }
    return false;
  }
  return true;
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
