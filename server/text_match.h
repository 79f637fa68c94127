// Text matching for the server: regular expressions over subject strings
// (access rules, substring filters, the access log's dated copies) and the
// phonetic code that approximate filters and the approximate index use.
//
// Phonetic codes are stored in the directory's index files, so the coding
// rules in phonetic.cc must never change.
//
// Thread safety: everything here is re-entrant. The regular-expression
// engine (foundation/regex.h) keeps no shared state, so regex_matches needs
// no lock; it still takes the mutex it is given (null: none) for callers
// that want to serialise.
#ifndef OSTRAK_SERVER_TEXT_MATCH_H_
#define OSTRAK_SERVER_TEXT_MATCH_H_

#include "foundation/threads.h"

struct QOXContext;

// Compiles pattern in the context, matches it against subject (null counts
// as ""), frees the program. 1 match, 0 no match or a pattern that does not
// compile (logged at level 8).
int regex_matches(QOXContext* context, QOXMutex* mutex, const char* pattern, const char* subject);

// New string (server allocator) with the code of the word at the start of
// text: at most 4 characters, upper-case letters and '0' for TH; "" when
// text starts with no word. Null only when memory runs out.
char* phonetic(const char* word);
// The first byte below 0x80 that is not white space, punctuation, a control
// character or NUL; null when none (or text null).
const char* first_word(const char* text);
// Skips the word at text and returns the next word start, or null.
const char* next_word(const char* text);
// New copy (server allocator) of the word at text.
char* word_dup(const char* text);

#endif  // OSTRAK_SERVER_TEXT_MATCH_H_
