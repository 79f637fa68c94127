// Attribute index files: one per indexed attribute, named by its type, keys
// derived from each value by the index kinds of backend/attr_index.h:
//   presence   "*"
//   equality   "=" + normalised value
//   approx     "~" + phonetic code of each word
//   substring  "*^" + first 2 characters, "*" + last 2 + "$", "*" + every
//              3-character window
//   word       "*^" + first word, "*" + each word, "*" + last word + "$"
// Each key (with NUL) holds the ID list of the entries with such a value.
// Keys are only added: changed or deleted values leave theirs behind.
//
// Thread safety: any thread (the ID-list lock of each table).
#ifndef OSTRAK_BACKEND_INDEX_H_
#define OSTRAK_BACKEND_INDEX_H_

#include <string>
#include <vector>

#include "backend/idl.h"
#include "backend/ldbm.h"
#include "server/entry.h"

// The words of a text as the word index cuts them: maximal runs of
// characters that are not word separators (IsWordSeparator).
std::vector<std::string> index_words(const char* text);

int index_add_entry(Backend* be, Entry* e);  // 0
// 0, or the first non-zero index_add_values result.
[[nodiscard]] int index_add_mods(Backend* be, Modification* mods, ID id);
// 0, or -1 when the index file cannot be opened.
[[nodiscard]] int index_add_values(Backend* be, const char* type, BerValue** values, ID id);
int add_value(Backend* be, DbCacheSlot* slot, const char* type, int indexType, const char* value, ID id);
// The key's list; null when absent or the file cannot be opened; ALLIDS
// when the attribute has no index of that kind (always for kind 0). type
// is lower-cased in place.
IdList* index_read(Backend* be, char* type, int indexType, const char* value);

#endif  // OSTRAK_BACKEND_INDEX_H_
