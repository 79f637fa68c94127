// Character sets: pairs of 256-byte maps between a set and Latin-1.
//
// confMappings lists the sets in lookup order ("noconv", "ascii", "cp850",
// "ebcdic"), each with its map to Latin-1 and its map from Latin-1. Every
// map is a constant table indexed by the input byte; "cp850" and "ebcdic"
// are pairs of inverse permutations, "ascii" folds Latin-1 letters to
// their plain forms and is not inverted ("noconv" is the identity).
//
// Threads: the tables are constant; any thread may use them.
#ifndef OSTRAK_PIPELINE_CHARMAPS_H_
#define OSTRAK_PIPELINE_CHARMAPS_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXCharMapping {
  const char* name;        // null ends the table
  const uint8_t* toLatin1;
  const uint8_t* fromLatin1;
};

extern const QOXCharMapping confMappings[];

using QOXCharMap = std::array<uint8_t, 256>;
extern const QOXCharMap charMapIdentity;
extern const QOXCharMap latin1_to_ascii;
extern const QOXCharMap cp850_to_latin1;
extern const QOXCharMap latin1_to_cp850;
extern const QOXCharMap ebcdic_to_latin1;
extern const QOXCharMap latin1_to_ebcdic;

// The maps of the set named by exactly `length` bytes of name, compared
// without case: *fromLatin1 and *toLatin1. -12000 for a null argument,
// -11393 for an unknown name.
QOXError qoxCharmaps(const char* name, size_t length, const uint8_t** fromLatin1, const uint8_t** toLatin1);
// destination[i] = map[source[i]] for each i, from the last byte to the
// first (destination may be source).
void qoxCharmapConvert(const uint8_t* source, size_t length, uint8_t* destination, const uint8_t* map);

#endif  // OSTRAK_PIPELINE_CHARMAPS_H_
