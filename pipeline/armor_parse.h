// The ASCII armor parser ("Ascii Armor Parser Module"): the first module of
// every decode chain. It reads any byte stream line by line and sorts it
// into:
//   - text outside armor, passed on unchanged inside a scope
//     (kQOXAnnNonArmorBegin / kQOXAnnNonArmorEnd);
//   - armored blocks (RFC 2440 section 6): Base64 decoded, CRC-24 checked,
//     multipart messages reassembled by their "MessageID" header, each
//     message handed to a binary message parser of its own inside
//     kQOXAnnArmorMsgBegin / kQOXAnnArmorMsgEnd;
//   - clear-signed messages (RFC 2440 section 7) and their MIME form
//     (RFC 3156 section 5): the text goes on unchanged inside
//     kQOXAnnClearsigBegin / kQOXAnnClearsigEnd and, canonicalised, to a
//     signature verification reader together with the decoded signature;
//   - binary input: handed unchanged to a binary message parser inside
//     kQOXAnnBinaryMsgBegin / kQOXAnnBinaryMsgEnd.
//
// While one message is open, whatever arrives outside it (text, other
// blocks, annotations) is held in two FIFOs and replayed once the message
// ends, so the output never interleaves two messages.
//
// Armor faults are annotations, not errors: kQOXAnnArmorBadLine (a body
// line that does not decode), kQOXAnnArmorLongLine (over 80 characters),
// kQOXAnnArmorNoCRC (unreadable checksum), kQOXAnnArmorCRCBad (checksum
// differs) each close the block; kQOXAnnArmorHeader (a header line that is
// not "Key: value") only reports. Errors: those of the modules after it,
// kQOXErrOutOfMemory, kQOXErrIncompleteFifoRead, and at the end of input
// kQOXErrAsciiArmorIncomplete while a multipart message is unfinished.
//
// Status queries (answered, not passed on; the answer is the return value):
// kQOXAnnStatusFlag the number of messages ever begun, ...MsgCount the
// messages held, ...FirstMsg the sequence number of the first begun held
// message (0: none), ...MsgParts (data: a uint32_t sequence number) its
// total of parts, ...MsgInfo (data: sequence and part number) 0 when the
// message is not held, 1 when that part is behind us, else 2.
//
// Lines are at most 255 bytes (longer ones are read in pieces) and are read
// through a bounded cursor; nothing here keeps process-wide mutable state.
// One parser belongs to one chain on one thread at a time.
#ifndef OSTRAK_PIPELINE_ARMOR_PARSE_H_
#define OSTRAK_PIPELINE_ARMOR_PARSE_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "pipeline/decode_callbacks.h"
#include "pipeline/fifo.h"
#include "pipeline/pipeline.h"

struct QOXEnv;

inline constexpr uint32_t kQOXMagicParseAsc = 0x0DEA4304;

// The parser linked at *head (its next slot takes what head held); returns
// that next slot, or null with the reason in *error (may be null): a null
// head or env is kQOXErrBadParams, memory kQOXErrOutOfMemory. A null
// fifoDesc means the byte FIFO.
QOXPipeline** qoxParseAscCreate(QOXContext* context, QOXPipeline** head, QOXEnv* env,
                                const QOXFifoDesc* fifoDesc, const QOXDecodeCallbacks* callbacks,
                                void* callbackArg, QOXError* error);

// Prepares what the parser needs before threads run. Its tables are
// constant, so there is nothing left to build; kept for callers.
void qoxParseAscInit();

// Decodes one line of Base64 (no line end) into out, which has room for
// capacity bytes (length / 4 * 3 is always enough). Padding may be written
// "=" / "==" or in its quoted-printable form "=3D" / "=3D=3D". Returns the
// bytes decoded, or -1 for text that is not whole Base64 groups or does not
// fit.
int64_t qoxDearmorLine(const uint8_t* text, size_t length, uint8_t* out, size_t capacity);

#endif  // OSTRAK_PIPELINE_ARMOR_PARSE_H_
