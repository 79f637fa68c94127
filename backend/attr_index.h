// Index definitions of the "ldbm" backend: which kinds of index files each
// attribute has, from the built-in list and the Index keyword.
//
// Thread safety: definitions are made while the backend starts and is
// configured (one thread); afterwards attr_masks only reads.
#ifndef OSTRAK_BACKEND_ATTR_INDEX_H_
#define OSTRAK_BACKEND_ATTR_INDEX_H_

#include <cstdint>

#include "backend/ldbm.h"

// Index kinds (bits of a mask; also index_read's kind argument).
inline constexpr int kIndexPresence = 1;
inline constexpr int kIndexEquality = 2;
inline constexpr int kIndexApprox = 4;
inline constexpr int kIndexSubstring = 8;
inline constexpr int kIndexBuiltIn = 32;
inline constexpr int kIndexWord = 64;
// The mask of a definition without a list of kinds.
inline constexpr int kIndexDefault = kIndexPresence | kIndexEquality | kIndexApprox | kIndexSubstring;

struct AttrIndexInfo {
  char* type;   // as configured, owned
  int32_t mask;
  int32_t syntax;
};

// argv[0]: comma-separated attribute types; argv[1] (when argc > 1):
// comma-separated kinds. Messages go to standard error.
void attr_index_config(LdbmBackendState* li, const char* fileName, int line, int argc, char** argv, int builtIn);
// The attribute's (or else "default"'s) mask and syntax; 0 and 0 when none.
void attr_masks(LdbmBackendState* li, const char* type, int* mask, int* syntax);
void attr_index_release(LdbmBackendState* li);

#endif  // OSTRAK_BACKEND_ATTR_INDEX_H_
