// Filter candidates: the IDs of the entries a search filter may match, read
// from the attribute index files. A list is always a superset of the
// matches; the search tests each candidate against the filter. Index keys
// are texts: an asserted value or a part is looked up as far as its first
// NUL byte (a value that holds one was indexed the same way), which keeps
// the list a superset.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "backend/attr_index.h"
#include "backend/index.h"
#include "backend/ldbm_ops.h"
#include "server/support/zovurez.h"
#include "server/text_match.h"

namespace {

// index_read lower-cases the type in place: give it a copy.
IdList* ReadIndex(Backend* be, const char* type, int kind, const char* key) {
  std::string t(type != nullptr ? type : "");
  return index_read(be, t.data(), kind, key);
}

// running := running ∩ next; both inputs freed. Null stays null.
IdList* Intersect(Backend* be, IdList* running, IdList* next) {
  if (running == nullptr) return next;
  IdList* r = idl_intersection(be, running, next);
  idl_free(running);
  idl_free(next);
  return r;
}

IdList* list_candidates(Backend* be, Filter* list, uint32_t choice) {
  ostrak::UniquePtr<IdList> running;
  bool first = true;
  for (Filter* f = list; f != nullptr; f = f->next) {
    ostrak::UniquePtr<IdList> child(filter_candidates(be, f));
    if (choice == kFilterAnd && child == nullptr) return nullptr;
    if (first) {
      running = std::move(child);
    } else if (choice == kFilterAnd) {
      running.reset(idl_intersection(be, running.get(), child.get()));
      if (running == nullptr) return nullptr;
    } else {
      running.reset(idl_union(be, running.get(), child.get()));
    }
    first = false;
  }
  return running.release();
}

// Keys of one part under the 3-character method, intersected.
IdList* substring_comp_candidates(Backend* be, const char* type, const char* text, char anchor) {
  size_t len = strlen(text);
  ostrak::UniquePtr<IdList> running;
  bool started = false;
  auto take = [&](const std::string& key) -> bool {
    ostrak::UniquePtr<IdList> l(ReadIndex(be, type, kIndexSubstring, key.c_str()));
    if (l == nullptr) return false;
    if (!started) {
      running = std::move(l);
      started = true;
    } else {
      running.reset(idl_intersection(be, running.get(), l.get()));
    }
    return running != nullptr;
  };
  if (anchor == '^' && !take("^" + std::string(text, 2))) return nullptr;
  if (anchor == '$' && !take(std::string(text + len - 2, 2) + "$")) return nullptr;
  for (size_t k = 0; k + 3 <= len; ++k) {
    if (!take(std::string(text + k, 3))) return nullptr;
  }
  return started ? running.release() : idl_allids(be);
}

IdList* substring_candidates(Backend* be, Filter* f) {
  ostrak::UniquePtr<IdList> running(idl_allids(be));
  // Narrows the list by one part's candidates; false when none are left.
  auto narrow = [&](const char* part, size_t shortest, char anchor) -> bool {
    IdList* l = strlen(part) < shortest ? idl_allids(be) : substring_comp_candidates(be, f->type, part, anchor);
    if (l == nullptr) return false;
    running.reset(Intersect(be, running.release(), l));
    return running != nullptr;
  };
  if (f->initial != nullptr && !narrow(f->initial->bv_val, 2, '^')) return nullptr;
  if (f->final != nullptr && !narrow(f->final->bv_val, 2, '$')) return nullptr;
  for (int i = 0; f->any != nullptr && f->any[i] != nullptr; ++i) {
    if (!narrow(f->any[i]->bv_val, 3, 0)) return nullptr;
  }
  return running.release();
}

// Keys of one part under the word method: whole words, the first carrying
// the start anchor, the last the end anchor.
IdList* word_comp_candidates(Backend* be, const char* type, const char* text, char anchor) {
  std::vector<std::string> words = index_words(text);
  if (words.empty()) return idl_allids(be);
  if (anchor == '^') words.front().insert(0, "^");
  if (anchor == '$') words.back().push_back('$');
  IdList* running = nullptr;
  for (size_t i = 0; i < words.size(); ++i) {
    IdList* l = ReadIndex(be, type, kIndexWord, words[i].c_str());
    if (l == nullptr) return idl_free(running), nullptr;
    if (i == 0) {
      running = l;
    } else if ((running = Intersect(be, running, l)) == nullptr) {
      return nullptr;
    }
  }
  return running;
}

IdList* word_candidates(Backend* be, Filter* f) {
  IdList* running = idl_allids(be);
  auto part = [&](const char* text, char anchor) -> bool {
    IdList* l = word_comp_candidates(be, f->type, text, anchor);
    if (l == nullptr) {
      idl_free(running);
      running = nullptr;
      return false;
    }
    running = Intersect(be, running, l);
    return running != nullptr;
  };
  if (f->initial != nullptr && !part(f->initial->bv_val, '^')) return nullptr;
  if (f->final != nullptr && !part(f->final->bv_val, '$')) return nullptr;
  for (int i = 0; f->any != nullptr && f->any[i] != nullptr; ++i) {
    if (!part(f->any[i]->bv_val, 0)) return nullptr;
  }
  return running;
}

IdList* approx_candidates(Backend* be, Filter* f) {
  IdList* running = nullptr;
  bool any = false;
  for (const char* w = first_word(f->ava.value); w != nullptr; w = next_word(w)) {
    char* code = phonetic(w);
    IdList* l = ReadIndex(be, f->ava.type, kIndexApprox, code != nullptr ? code : "");
    zovurezFree(code);
    if (l == nullptr) return idl_free(running), nullptr;
    if (!any) {
      running = l;
      any = true;
    } else if ((running = Intersect(be, running, l)) == nullptr) {
      return nullptr;
    }
  }
  return running;
}

bool SubstringMethod() { return g == nullptr || g->substringIndex != 0; }

}  // namespace

IdList* filter_candidates(Backend* be, Filter* f) {
  if (f == nullptr) return nullptr;
  switch (f->choice) {
    case kFilterPresent:
      return ReadIndex(be, f->type, 0, "*");
    case kFilterAnd:
    case kFilterOr:
      return list_candidates(be, f->list, f->choice);
    case kFilterNot:
      // The inner list may be a superset of the inner filter's matches, so
      // subtracting it could drop true matches: every entry is a candidate
      // and the filter test decides.
      return idl_allids(be);
    case kFilterEquality:
      return ReadIndex(be, f->ava.type, kIndexEquality, f->ava.value);
    case kFilterSubstrings:
      return SubstringMethod() ? substring_candidates(be, f) : word_candidates(be, f);
    case kFilterGE:
    case kFilterLE:
      return idl_allids(be);
    case kFilterApprox:
      return approx_candidates(be, f);
    default:
      return nullptr;
  }
}
