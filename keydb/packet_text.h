// Text carried in packets, for the regular-expression engine
// (foundation/regex.h), which takes zero-terminated text: packets carry no
// terminator, so the engine is given a terminated copy of the packet's bytes
// up to the first NUL, never reading past them.
//
// Thread safety: the copy is the caller's context memory; the engine keeps
// no process-wide state, so any number of contexts may compile at once.
#ifndef OSTRAK_KEYDB_PACKET_TEXT_H_
#define OSTRAK_KEYDB_PACKET_TEXT_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXRegExp;

// A zero-terminated copy (context memory, freed by the caller with
// qoxContextMemFree) of the bytes up to the first NUL or the end; null when
// memory runs out.
char* qoxPacketTextCopy(QOXContext* context, const uint8_t* bytes, size_t length);
// Compiles the packet text with qoxRegComp; its errors, kQOXErrOutOfMemory
// when the copy cannot be made.
QOXError qoxRegCompPacketText(QOXContext* context, const uint8_t* bytes, size_t length, QOXRegExp** outExpression);
// Whether the expression matches the packet text (qoxRegExec): 1, 0 or a
// negative error.
int qoxRegExecPacketText(QOXContext* context, const QOXRegExp* expression, const uint8_t* bytes, size_t length);

#endif  // OSTRAK_KEYDB_PACKET_TEXT_H_
