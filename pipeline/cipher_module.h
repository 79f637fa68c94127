// The cipher module: the symmetric stage of a message, both ways.
//
// Encrypting ("Cipher Encryption Module"): the data is encrypted in CFB mode
// behind the RFC 2440 prefix (section 5.7: a block of random bytes and a
// repeat of its last two) and wrapped by an add-header module
// (pipeline/add_header.h) into an encrypted data packet: tag 9, whose CFB is
// resynchronised after the prefix (section 12.8), or, with modification
// detection, tag 18 (version byte 1, no resynchronisation) whose plaintext
// ends in the MDC packet 0xD3 0x14 and the SHA-1 of prefix, data and those
// two bytes.
//
// Decrypting ("Cipher Decryption Module"): the binary parser creates one
// once the session key has passed its check, with the CFB context standing
// after the prefix. With modification detection the last 22 plaintext bytes
// (the MDC packet) never reach the tail; the parser asks for them and for
// the running hash with the MDC annotations (kQOXAnnMDCSize, kQOXAnnMDCHash,
// kQOXAnnMDCTrailer), which this module answers and does not pass on.
//
// Processed bytes wait in a 1024-byte ring until the tail takes them: a tail
// that takes part of an offer keeps the rest in the ring, and a write
// returns how much input it took. Bytes leave the ring wiped.
//
// The environment's pointer setting 3004, when set, is a progress function
// called with the length of each run; a negative answer ends the write with
// -11987 (user cancelled).
//
// Ownership: the module owns the CFB context from the create call on (also
// when creation fails) and frees it at teardown; the MDC hash is its own.
#ifndef OSTRAK_PIPELINE_CIPHER_MODULE_H_
#define OSTRAK_PIPELINE_CIPHER_MODULE_H_

#include <cstddef>
#include <cstdint>

#include "pipeline/fifo.h"
#include "pipeline/pipeline.h"

struct QOXCFBContext;
struct QOXEnv;

// The progress function of environment pointer setting 3004.
using QOXCipherProgressFn = int32_t (*)(size_t count);

// Bytes the MDC packet adds to the plaintext: header 0xD3 0x14 and a SHA-1.
inline constexpr size_t kQOXMDCPacketSize = 22;
// Version byte of a tag-18 packet.
inline constexpr uint8_t kQOXMDCPacketVersion = 1;

// prefix: block-size random bytes. The CFB context must be keyed with the
// session key and a zero IV. Returns the tail slot of the add-header module
// behind the cipher module, or null (null slot, CFB or prefix, memory).
QOXPipeline** qoxCipherModEncryptCreate(QOXContext* context, QOXPipeline** slot, uint32_t version,
                                        const QOXFifoDesc* fifoDesc, QOXCFBContext* cfb, const uint8_t* prefix,
                                        QOXEnv* env, bool mdc);

// prefix: the decrypted block-size + 2 bytes of the packet's prefix, which
// the MDC hash takes in first. Returns the module's tail slot, or null.
QOXPipeline** qoxCipherModDecryptCreate(QOXContext* context, QOXPipeline** slot, QOXCFBContext* cfb, QOXEnv* env,
                                        bool mdc, const uint8_t* prefix);

#endif  // OSTRAK_PIPELINE_CIPHER_MODULE_H_
