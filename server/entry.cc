// Values, attributes, entries and the attribute syntax table.
#include "server/entry.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "server/avl.h"
#include "server/dn.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"

namespace {

void MemoryError() { LogError(kLogError, "Memory allocation error."); }

int CountValues(BerValue** vector) {
  int n = 0;
  while (vector != nullptr && vector[n] != nullptr) ++n;
  return n;
}

// --- The syntax table: nodes ordered by their first name, without case ---
struct SyntaxNode {
  char** names;
  int syntax;
};

Avlnode* gSyntaxTree = nullptr;  // written only while the backend starts

int CompareFirstNames(void* a, void* b) {
  return strcasecmp(static_cast<SyntaxNode*>(a)->names[0], static_cast<SyntaxNode*>(b)->names[0]);
}

int CompareTypeToFirstName(void* type, void* node) {
  return strcasecmp(static_cast<const char*>(type), static_cast<SyntaxNode*>(node)->names[0]);
}

int TypeIsAnyName(void* type, void* node) {
  for (char** n = static_cast<SyntaxNode*>(node)->names; *n != nullptr; ++n) {
    if (strcasecmp(static_cast<const char*>(type), *n) == 0) return 0;
  }
  return 1;
}

void FreeSyntaxNode(void* datum) {
  auto* node = static_cast<SyntaxNode*>(datum);
  charray_free(node->names);
  zovurezFree(node);
}

int SyntaxOfName(const char* name) {
  if (strcasecmp(name, "caseignorestring") == 0 || strcasecmp(name, "cis") == 0) return kSyntaxCIS;
  if (strcasecmp(name, "telephone") == 0 || strcasecmp(name, "tel") == 0) return kSyntaxCIS | kSyntaxTelephone;
  if (strcasecmp(name, "dn") == 0) return kSyntaxCIS | kSyntaxDN;
  if (strcasecmp(name, "caseexactstring") == 0 || strcasecmp(name, "ces") == 0) return kSyntaxCES;
  if (strcasecmp(name, "binary") == 0 || strcasecmp(name, "bin") == 0) return kSyntaxBinary;
  return 0;
}

// A normalised copy of a value (counted, NUL-terminated after its new
// length), or null when memory runs out.
char* NormalizedCopy(const BerValue* v, int syntax, uint32_t* length) {
  char* copy = static_cast<char*>(zovurezMalloc(static_cast<size_t>(v->bv_len) + 1));
  if (copy == nullptr) return nullptr;
  if (v->bv_len > 0) memcpy(copy, v->bv_val, v->bv_len);
  copy[v->bv_len] = '\0';
  *length = berValueNormalizeCounted(copy, v->bv_len, syntax);
  return copy;
}

Attribute* NewAttribute(const char* type) {
  auto* a = static_cast<Attribute*>(zovurezCalloc(1, sizeof(Attribute)));
  if (a == nullptr) return nullptr;
  a->a_type = zovurezStrdup(type);
  if (a->a_type == nullptr) {
    zovurezFree(a);
    return nullptr;
  }
  attr_normalize(a->a_type);
  a->a_syntax = attr_syntax(type);
  return a;
}

// The slot holding the attribute of the type (without case), appending a
// new one at the end when there is none. Null when memory runs out.
Attribute** FindOrAppend(Entry* entry, const char* type) {
  Attribute** slot = &entry->e_attrs;
  for (; *slot != nullptr; slot = &(*slot)->a_next) {
    if (strcasecmp((*slot)->a_type, type) == 0) return slot;
  }
  *slot = NewAttribute(type);
  return *slot != nullptr ? slot : nullptr;
}

}  // namespace

// --- Values ---

BerValue* berValueDuplicate(const BerValue* value) {
  auto* copy = static_cast<BerValue*>(zovurezMalloc(sizeof(BerValue)));
  char* bytes = copy != nullptr ? static_cast<char*>(zovurezMalloc(value->bv_len + 1)) : nullptr;
  if (bytes == nullptr) {
    zovurezFree(copy);
    MemoryError();
    return nullptr;
  }
  if (value->bv_len != 0) memcpy(bytes, value->bv_val, value->bv_len);
  bytes[value->bv_len] = '\0';
  copy->bv_len = value->bv_len;
  copy->bv_val = bytes;
  return copy;
}

int berValuesAdd(BerValue*** vector, BerValue** values) {
  int old = CountValues(*vector);
  int added = CountValues(values);
  auto* grown = static_cast<BerValue**>(zovurezRealloc(*vector, sizeof(BerValue*) * (old + added + 1)));
  if (grown == nullptr) {
    MemoryError();
    return -1;
  }
  if (*vector == nullptr) grown[0] = nullptr;
  *vector = grown;
  int n = old;
  for (int i = 0; i < added; ++i) {
    if (values[i]->bv_len == 0) continue;
    BerValue* copy = berValueDuplicate(values[i]);
    if (copy == nullptr) {
      grown[n] = nullptr;
      return -1;
    }
    grown[n++] = copy;
  }
  grown[n] = nullptr;
  return 0;
}

int berValuesAddFast(BerValue*** vector, BerValue** values, int count, int addCount, int* capacity) {
  if (*capacity < 1) *capacity = 1;
  int need = count + addCount + 1;
  if (*vector == nullptr || *capacity < need) {
    int cap = *capacity;
    while (cap < need) cap *= 2;
    auto* grown = static_cast<BerValue**>(zovurezRealloc(*vector, sizeof(BerValue*) * cap));
    if (grown == nullptr) {
      MemoryError();
      return -1;
    }
    *vector = grown;
    *capacity = cap;
  }
  int n = count;
  for (int i = 0; i < addCount && values[i] != nullptr; ++i) {
    if (values[i]->bv_len == 0) continue;
    BerValue* copy = berValueDuplicate(values[i]);
    if (copy == nullptr) {
      (*vector)[n] = nullptr;
      return -1;
    }
    (*vector)[n++] = copy;
  }
  (*vector)[n] = nullptr;
  return n - count;
}

void berValueNormalize(char* text, int syntax) {
  if (text == nullptr || !(syntax & kSyntaxCIS)) return;
  if (syntax & kSyntaxDN) {
    dn_normalize_case(text);
    return;
  }
  char* out = text;
  for (char* p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if ((syntax & kSyntaxTelephone) && (c == ' ' || c == '-')) continue;
    *out++ = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : static_cast<char>(c);
  }
  *out = '\0';
}

uint32_t berValueNormalizeCounted(char* text, uint32_t length, int syntax) {
  if (text == nullptr) return 0;
  text[length] = '\0';
  if (!(syntax & kSyntaxCIS)) return length;
  // Each run between NUL bytes is normalised as a text of its own and moved
  // down behind what came before; the NUL bytes stay.
  uint32_t out = 0;
  uint32_t at = 0;
  for (;;) {
    char* run = text + at;
    size_t n = strlen(run);
    berValueNormalize(run, syntax);
    size_t kept = strlen(run);
    if (kept > 0 && text + out != run) memmove(text + out, run, kept);
    out += static_cast<uint32_t>(kept);
    at += static_cast<uint32_t>(n);
    if (at >= length) break;
    text[out++] = '\0';  // the NUL byte at `at`
    ++at;
  }
  text[out] = '\0';
  return out;
}

namespace {

// Counted comparison of two texts over at most limit bytes, folding case
// as strcasecmp does when asked; the shorter text (within the limit) sorts
// first.
int CompareCounted(const char* a, uint32_t aLength, const char* b, uint32_t bLength, size_t limit, bool fold) {
  size_t n = std::min<size_t>({aLength, bLength, limit});
  for (size_t i = 0; i < n; ++i) {
    int ca = static_cast<unsigned char>(a[i]);
    int cb = static_cast<unsigned char>(b[i]);
    if (fold) {
      ca = tolower(ca);
      cb = tolower(cb);
    }
    if (ca != cb) return ca - cb;
  }
  size_t ea = std::min<size_t>(aLength, limit);
  size_t eb = std::min<size_t>(bLength, limit);
  return ea == eb ? 0 : ea < eb ? -1 : 1;
}

int Compare(const BerValue* a, const BerValue* b, int syntax, long n, int normalize) {
  char* na = nullptr;
  char* nb = nullptr;
  const char* ta = a->bv_val != nullptr ? a->bv_val : "";
  const char* tb = b->bv_val != nullptr ? b->bv_val : "";
  uint32_t la = a->bv_val != nullptr ? a->bv_len : 0;
  uint32_t lb = b->bv_val != nullptr ? b->bv_len : 0;
  if (syntax & kSyntaxCIS) {
    if (normalize & kNormalizeA) ta = na = NormalizedCopy(a, syntax, &la);
    if (normalize & kNormalizeB) tb = nb = NormalizedCopy(b, syntax, &lb);
    if (ta == nullptr || tb == nullptr) {
      zovurezFree(na);
      zovurezFree(nb);
      MemoryError();
      return ta == nullptr ? -1 : 1;
    }
  }
  int r = 0;
  const bool whole = n < 0;
  const size_t limit = whole ? SIZE_MAX : static_cast<size_t>(n);
  switch (syntax) {
    case kSyntaxCIS:
    case kSyntaxCIS | kSyntaxTelephone:
      r = CompareCounted(ta, la, tb, lb, limit, true);
      break;
    case kSyntaxCIS | kSyntaxDN:
      r = whole ? CompareCounted(ta, la, tb, lb, limit, true) : 0;
      break;
    case kSyntaxCES:
      r = CompareCounted(ta, la, tb, lb, limit, false);
      break;
    case kSyntaxBinary: {
      // Over the shorter length (and at most n): a prefix compares equal.
      size_t len = a->bv_len < b->bv_len ? a->bv_len : b->bv_len;
      if (!whole && static_cast<size_t>(n) < len) len = static_cast<size_t>(n);
      r = len == 0 ? 0 : memcmp(ta, tb, len);
      break;
    }
    default:
      break;
  }
  zovurezFree(na);
  zovurezFree(nb);
  return r;
}

}  // namespace

int berValueCmp(const BerValue* a, const BerValue* b, int syntax, int normalize) {
  return Compare(a, b, syntax, -1, normalize);
}

int berValueNCmp(const BerValue* a, const BerValue* b, int syntax, int n, int normalize) {
  return Compare(a, b, syntax, n < 0 ? 0 : n, normalize);
}

int berValueFind(BerValue** vector, const BerValue* value, int syntax, int normalize) {
  for (int i = 0; vector != nullptr && vector[i] != nullptr; ++i) {
    if (berValueCmp(value, vector[i], syntax, normalize) == 0) return 0;
  }
  return 1;
}

BerValue** make_singlevalued_berval(char* data, uint32_t length) {
  auto* block = static_cast<BerValue**>(zovurezMalloc(2 * sizeof(BerValue*) + sizeof(BerValue)));
  if (block == nullptr) return nullptr;
  auto* value = reinterpret_cast<BerValue*>(block + 2);
  value->bv_len = length;
  value->bv_val = data;
  block[0] = value;
  block[1] = nullptr;
  return block;
}

void berValueFree(BerValue* value) {
  if (value == nullptr) return;
  zovurezFree(value->bv_val);
  zovurezFree(value);
}

void berValuesFree(BerValue** vector) {
  if (vector == nullptr) return;
  for (int i = 0; vector[i] != nullptr; ++i) berValueFree(vector[i]);
  zovurezFree(vector);
}

// --- Attributes ---

int attr_merge(Entry* entry, const char* type, BerValue** values) {
  Attribute** slot = FindOrAppend(entry, type);
  if (slot == nullptr) {
    MemoryError();
    return -1;
  }
  return berValuesAdd(&(*slot)->a_vals, values);
}

int attr_merge_fast(Entry* entry, const char* type, BerValue** values, int count, int addCount, int* capacity,
                    Attribute*** cursor) {
  if (*cursor == nullptr) {
    *cursor = FindOrAppend(entry, type);
    if (*cursor == nullptr) {
      MemoryError();
      return -1;
    }
  }
  return berValuesAddFast(&(**cursor)->a_vals, values, count, addCount, capacity) < 0 ? -1 : 0;
}

int AddDirAttrToEntry(Entry* entry, const char* type, const char* data, uint32_t length) {
  BerValue value{length, const_cast<char*>(data)};
  BerValue* values[2] = {&value, nullptr};
  return attr_merge(entry, type, values);
}

Attribute* attr_find(Attribute* list, const char* type) {
  for (; list != nullptr; list = list->a_next) {
    if (strcasecmp(list->a_type, type) == 0) return list;
  }
  return nullptr;
}

int attr_delete(Attribute** list, const char* type) {
  for (Attribute** slot = list; *slot != nullptr; slot = &(*slot)->a_next) {
    if (strcasecmp((*slot)->a_type, type) == 0) {
      Attribute* a = *slot;
      *slot = a->a_next;
      attr_free(a);
      return 0;
    }
  }
  return 1;
}

void attr_free(Attribute* attribute) {
  if (attribute == nullptr) return;
  zovurezFree(attribute->a_type);
  berValuesFree(attribute->a_vals);
  zovurezFree(attribute);
}

void attr_normalize(char* type) {
  for (; type != nullptr && *type != '\0'; ++type) {
    if (*type >= 'A' && *type <= 'Z') *type = static_cast<char>(*type - 'A' + 'a');
  }
}

// --- The syntax table ---

int attr_syntax(const char* type) {
  if (type == nullptr) return kSyntaxCIS;
  void* key = const_cast<char*>(type);
  auto* node = static_cast<SyntaxNode*>(avl_find(gSyntaxTree, key, CompareTypeToFirstName));
  if (node == nullptr) node = static_cast<SyntaxNode*>(avl_find_lin(gSyntaxTree, key, TypeIsAnyName));
  return node != nullptr ? node->syntax : kSyntaxCIS;
}

void attr_syntax_config(const char* source, int line, int argc, char** argv) {
  if (argc < 2) {
    vuzizTrace(kTraceStartStop, "%s: line %d: missing name in \"attribute <name>+ <syntax>\" (ignored)\n", source,
               line);
    return;
  }
  int syntax = SyntaxOfName(argv[argc - 1]);
  if (syntax == 0) {
    vuzizTrace(kTraceStartStop,
               "%s: line %d: unknown syntax \"%s\" in attribute line (ignored)\n"
               "possible syntaxes are \"cis\", \"ces\", \"tel\", \"dn\", or \"bin\"\n",
               source, line, argv[argc - 1]);
    return;
  }
  auto* node = static_cast<SyntaxNode*>(zovurezCalloc(1, sizeof(SyntaxNode)));
  if (node == nullptr) {
    MemoryError();
    return;
  }
  node->syntax = syntax;
  for (int i = 0; i < argc - 1; ++i) {
    char* name = zovurezStrdup(argv[i]);
    if (name == nullptr) {
      FreeSyntaxNode(node);
      MemoryError();
      return;
    }
    charray_add(&node->names, name);
    if (node->names == nullptr || node->names[i] != name) {  // not added: out of memory
      zovurezFree(name);
      FreeSyntaxNode(node);
      MemoryError();
      return;
    }
  }
  if (avl_insert(&gSyntaxTree, node, CompareFirstNames, avl_dup_error) != 0) {
    auto* existing = static_cast<SyntaxNode*>(avl_find(gSyntaxTree, node, CompareFirstNames));
    if (existing != nullptr && existing->syntax != syntax) {
      vuzizTrace(kTraceArgs, "%s: line %d: duplicate attribute \"%s\" (ignored)\n", source, line, argv[0]);
    }
    FreeSyntaxNode(node);
  }
}

void attr_syntax_release() {
  avl_free(gSyntaxTree, FreeSyntaxNode);
  gSyntaxTree = nullptr;
}

// --- Entries ---

Entry* entry_new() { return static_cast<Entry*>(zovurezCalloc(1, sizeof(Entry))); }

void entry_free(Entry* entry) {
  if (entry == nullptr) return;
  zovurezFree(entry->e_dn);
  for (Attribute* a = entry->e_attrs; a != nullptr;) {
    Attribute* next = a->a_next;
    attr_free(a);
    a = next;
  }
  zovurezFree(entry);
}

int GrowEntries(Entry*** array, int needed, int* capacity) {
  if (needed <= *capacity) return 0;
  int cap = *capacity < 8 ? 8 : *capacity * 2;
  if (cap < needed) cap = needed;
  auto* grown = static_cast<Entry**>(zovurezCalloc(static_cast<size_t>(cap), sizeof(Entry*)));
  if (grown == nullptr) return 1;
  if (*array != nullptr && *capacity > 0) memcpy(grown, *array, sizeof(Entry*) * static_cast<size_t>(*capacity));
  zovurezFree(*array);
  *array = grown;
  *capacity = cap;
  return 0;
}

void GiveBackEntry(Entry*** array, int* count) {
  if (*count <= 0 || *array == nullptr) return;
  --*count;
  entry_free((*array)[*count]);
  (*array)[*count] = nullptr;
}
