// Regular expressions: compiler and matcher.
//
// Syntax: branches separated by '|'; a branch is a run of pieces; a piece is
// an atom with at most one of '*' (zero or more), '+' (one or more), '?'
// (zero or one). Atoms: '(' expression ')' (at most 9 groups), '.' any
// character, '^' the start of the subject, '$' its end, '\' and any
// character (that character), '[' set ']' (a leading '^' negates; ']' or '-'
// first is literal, a-z a range, '-' last literal), and any other character
// as itself. Case matters. A match may begin anywhere in the subject.
//
// Refused with kQOXErrOutOfMemory: unbalanced parentheses, an operator with nothing
// before it, '*' or '+' on an operand that can match the empty string, two
// operators in a row, a tenth group, a reversed range, an unclosed set, a
// trailing '\'. A pattern whose node program would exceed 32766 bytes (the
// size the program format gives it) is refused with -12000.
//
// Ownership: the compiled record is one block of the context's memory; the
// caller frees it with qoxContextMemFree(context, expression).
//
// Thread safety: compile and match keep all their state on the caller's
// stack or in per-call buffers, and matching never writes the record, so
// any number of threads may compile and match at once, even with one shared
// record. No lock is needed around these calls.
#ifndef OSTRAK_FOUNDATION_REGEX_H_
#define OSTRAK_FOUNDATION_REGEX_H_

#include "foundation/errors.h"

struct QOXContext;
struct QOXRegExp;  // the compiled record (opaque)

// 0 with *expression set; -12000 for an invalid context, a missing
// argument or a program too large; kQOXErrOutOfMemory for a syntax error or no memory.
QOXError qoxRegComp(QOXContext* context, const char* pattern, QOXRegExp** expression);
// 1 when the expression matches somewhere in subject, 0 when not, -12000
// for a missing argument or a record that is not a compiled expression.
int qoxRegExec(const QOXRegExp* expression, const char* subject);

#endif  // OSTRAK_FOUNDATION_REGEX_H_
