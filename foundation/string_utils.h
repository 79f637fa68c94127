// Case-insensitive string routines.
//
// Bytes are lower-cased with the C library's tolower on their unsigned value.
// Thread safety: pure functions (as long as nobody changes the C locale).
#ifndef OSTRAK_FOUNDATION_STRING_UTILS_H_
#define OSTRAK_FOUNDATION_STRING_UTILS_H_

// Difference of the first differing pair of lower-cased bytes; 0 when the
// strings are equal to their end.
int qoxCompareStringsIgnoreCase(const char* a, const char* b);
// The same over at most n bytes; n <= 0 gives 0.
int qoxCompareStringsIgnoreCaseN(const char* a, const char* b, long n);
// First case-insensitive occurrence of needle in haystack, or null. An empty
// needle finds nothing.
const char* FindSubStringNoCase(const char* haystack, const char* needle);

#endif  // OSTRAK_FOUNDATION_STRING_UTILS_H_
