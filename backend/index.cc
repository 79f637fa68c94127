// Attribute index files: deriving keys from values, and reading them.
#include "backend/index.h"

#include <cstring>
#include <string>
#include <vector>

#include "backend/attr_index.h"
#include "backend/ldbm_storage.h"
#include "server/dn.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"
#include "server/text_match.h"

namespace {

char PrefixOf(int indexType) {
  switch (indexType) {
    case kIndexEquality:
      return '=';
    case kIndexApprox:
      return '~';
    case kIndexSubstring:
    case kIndexWord:
      return '*';
    default:
      return '\0';
  }
}

std::string MakeKey(int indexType, const char* value) {
  std::string key;
  char prefix = PrefixOf(indexType);
  if (prefix != '\0') key.push_back(prefix);
  key += value;
  return key;
}

}  // namespace

std::vector<std::string> index_words(const char* text) {
  std::vector<std::string> words;
  std::string cur;
  for (const char* p = text;; ++p) {
    if (*p == '\0' || IsWordSeparator(static_cast<unsigned char>(*p))) {
      if (!cur.empty()) words.push_back(cur);
      cur.clear();
      if (*p == '\0') break;
    } else {
      cur.push_back(*p);
    }
  }
  return words;
}

int add_value(Backend* be, DbCacheSlot* slot, const char* /*type*/, int indexType, const char* value, ID id) {
  std::string key = MakeKey(indexType, value);
  int rc = idl_insert_key(be, slot, ldbm_datum_of(key.c_str(), static_cast<uint32_t>(key.size() + 1)), id);
  QOXThreadYield();
  return rc;
}

int index_add_values(Backend* be, const char* type, BerValue** values, ID id) {
  int mask = 0, syntax = 0;
  attr_masks(LdbmState(be), type, &mask, &syntax);
  if (mask == 0) return 0;
  DbSlotHolder db(be, ldbm_cache_open(be, type, ".dbb", ldbm_open_flags(be)));
  DbCacheSlot* slot = db.get();
  if (slot == nullptr) {
    vuzizTrace(kTraceStartStop, "<= index_add_values -1 (could not open/create %s%s)\n", type, ".dbb");
    return -1;
  }
  for (int i = 0; values != nullptr && values[i] != nullptr; ++i) {
    if ((mask & kIndexPresence) != 0) add_value(be, slot, type, kIndexPresence, "*", id);
    // Binary values get no keys but presence, and stop the rest.
    if ((syntax & kSyntaxBinary) != 0) return 0;
    const BerValue* v = values[i];
    const uint32_t length = v->bv_val != nullptr ? v->bv_len : 0;
    std::string buffer(v->bv_val != nullptr ? v->bv_val : "", length);
    buffer.push_back('\0');
    const uint32_t normalised = berValueNormalizeCounted(buffer.data(), length, syntax);
    // The equality key is the value up to its first NUL byte (as a lookup
    // forms it); the other keys come from every run between NUL bytes, so a
    // counted value is found by any of its parts.
    if ((mask & kIndexEquality) != 0) add_value(be, slot, type, kIndexEquality, buffer.c_str(), id);
    for (size_t at = 0; at <= normalised;) {
      const char* text = buffer.c_str() + at;
      size_t len = strlen(text);
      at += len + 1;
      if ((mask & kIndexApprox) != 0) {
        for (const char* w = first_word(text); w != nullptr; w = next_word(w)) {
          char* code = phonetic(w);
          if (code != nullptr && code[0] != '\0') add_value(be, slot, type, kIndexApprox, code, id);
          zovurezFree(code);
        }
      }
      if ((mask & kIndexSubstring) != 0 && len >= 2) {
        add_value(be, slot, type, kIndexSubstring, ("^" + std::string(text, 2)).c_str(), id);
        add_value(be, slot, type, kIndexSubstring, (std::string(text + len - 2, 2) + "$").c_str(), id);
        for (size_t k = 0; k + 3 <= len; ++k) {
          add_value(be, slot, type, kIndexSubstring, std::string(text + k, 3).c_str(), id);
        }
      }
      if ((mask & kIndexWord) != 0) {
        std::vector<std::string> words = index_words(text);
        if (!words.empty()) {
          add_value(be, slot, type, kIndexWord, ("^" + words.front()).c_str(), id);
          for (const std::string& w : words) add_value(be, slot, type, kIndexWord, w.c_str(), id);
          add_value(be, slot, type, kIndexWord, (words.back() + "$").c_str(), id);
        }
      }
    }
  }
  return 0;
}

int index_add_entry(Backend* be, Entry* e) {
  std::string dn(e->e_dn != nullptr ? e->e_dn : "");
  dn.push_back('\0');
  dn_normalize_case(dn.data());
  BerValue value{static_cast<uint32_t>(strlen(dn.c_str())), dn.data()};
  BerValue* values[2] = {&value, nullptr};
  // Indexing is best effort here: an index file that cannot be opened is
  // traced by index_add_values, and the entry is stored all the same (its
  // searches re-test every candidate).
  (void)index_add_values(be, "dn", values, e->e_id);
  for (Attribute* a = e->e_attrs; a != nullptr; a = a->a_next)
    (void)index_add_values(be, a->a_type, a->a_vals, e->e_id);
  return 0;
}

int index_add_mods(Backend* be, Modification* mods, ID id) {
  for (Modification* m = mods; m != nullptr; m = m->mod_next) {
    int op = m->mod_op & ~kModBValues;
    if (op != kModAdd && op != kModReplace) continue;
    int rc = index_add_values(be, m->mod_type, m->mod_bvalues, id);
    if (rc != 0) return rc;
  }
  return 0;
}

IdList* index_read(Backend* be, char* type, int indexType, const char* value) {
  int mask = 0, syntax = 0;
  attr_masks(LdbmState(be), type, &mask, &syntax);
  if (indexType == 0 || (mask & indexType) == 0) return idl_allids(be);
  attr_normalize(type);
  DbSlotHolder db(be, ldbm_cache_open(be, type, ".dbb", ldbm_open_flags(be)));
  if (db.get() == nullptr) {
    vuzizTrace(kTraceStartStop, "<= index_read NULL (could not open %s%s)\n", type, ".dbb");
    return nullptr;
  }
  std::string key = MakeKey(indexType, value != nullptr ? value : "");
  return idl_fetch(be, db.get(), ldbm_datum_of(key.c_str(), static_cast<uint32_t>(key.size() + 1)));
}
