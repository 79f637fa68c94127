// Reading helpers over a BER element for the request decoders: the first
// and next elements of a constructed value, and strings or value sets
// copied into server memory.
//
// Thread safety: each call works on the caller's element (one thread each).
#ifndef OSTRAK_SERVER_BER_HELPERS_H_
#define OSTRAK_SERVER_BER_HELPERS_H_

#include <cstdint>

#include "foundation/errors.h"
#include "net/ber.h"

// The tag and end mark meaning "no element".
inline constexpr uint32_t kBerNoTag = 0xFFFFFFFFu;

// Reads the tag and length of the element at the read index; end becomes
// the index where its contents end. advance 0 steps into it onto the next
// primitive, 1 onto the contents of the next constructed element, -1 not at
// all (then tag is the element's own tag). After stepping, tag is the first
// inner element's tag. kQOXErrSkipSection for empty contents (tag and end kBerNoTag),
// -12000 for another advance value.
[[nodiscard]] QOXError berFirstElement(QOXberElement* ber, uint32_t* tag, uint32_t* end, int advance);
// tag: kBerNoTag when the read index has reached end, else the tag there.
void berNextElement(QOXberElement* ber, uint32_t* tag, uint32_t end);
// *string must be null on entry; a NUL-terminated copy of the next element.
[[nodiscard]] QOXError berReadStringAlloc(QOXberElement* ber, char** string, uint32_t* length);
[[nodiscard]] QOXError berReadValueAlloc(QOXberElement* ber, BerValue** value);
// A SEQUENCE OF / SET OF OCTET STRING into a null-terminated array (null
// and 0 for an empty set); an element of another kind, or one that runs
// past the set, is refused. 0, or 1 on failure (nothing kept, count 0).
[[nodiscard]] int berReadAttrsAlloc(QOXberElement* ber, char*** strings, int* count);
[[nodiscard]] int berReadVectorAlloc(QOXberElement* ber, BerValue*** vector, int* count);

#endif  // OSTRAK_SERVER_BER_HELPERS_H_
