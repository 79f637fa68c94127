// The encrypt pipeline builder: the chain of modules that turns one encode
// job's plaintext into an RFC 2440 message.
//
// From the input towards the output, each only when it applies: the text
// filter (text mode), the signature module, the literal packet, the
// compressed data packet, the encrypted data packet (tag 9, without
// modification detection) behind its session-key packets (public-key ESKs,
// then symmetric-key ESKs), the file header module and the armor writer.
// The builder settles the message version and the session key on the way;
// the caller links its output sink at the slot returned.
//
// Settings read from the environment: 1017 message version, 1006 compress,
// 1007 and 1008 compression algorithm and level, 1013 text mode, 1000
// armor, 1004 clear-sign, 1022 MIME, 1003 cipher (low byte), pointer 3000
// the character map.
//
// Ownership: the chain at *slot belongs to the caller (tearing its head
// down frees it); on failure the builder tears down what it made, clears
// *slot and leaves the caller's lists and sets alone. The session key out
// holds the key in clear: the caller wipes it.
#ifndef OSTRAK_PIPELINE_ENCRYPT_PIPELINE_H_
#define OSTRAK_PIPELINE_ENCRYPT_PIPELINE_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "pipeline/esk.h"
#include "pipeline/fifo.h"
#include "pipeline/pipeline.h"

struct QOXEnv;
struct QOXKeySet;
struct QOXRandomContext;
struct QOXSigSpec;

// What the literal packet says of the data.
struct QOXLiteralInfo {
  const char* fileName;  // NUL-terminated; null for none. Cut to 255 bytes.
  uint32_t modificationTime;
};

// Called after each public-key ESK added, index counting from 0; a non-zero
// answer ends the build with that error.
using QOXRecipientCallback = QOXError (*)(void* arg, uint32_t index);

// Room the session key out needs: the algorithm byte and the longest key.
inline constexpr size_t kQOXSessionKeyBufferSize = 33;

// Builds the chain at *slot; returns its last slot, or null with the error
// in *error (when given). fifoDesc null: the flex FIFO; random null: the
// context's X9.17 generator. sessionKey (kQOXSessionKeyBufferSize bytes),
// when given and the message is encrypted, receives the cipher's algorithm
// byte and the key, and *sessionKeyLength its length (key size + 1).
// Errors: -12000 for option combinations that cannot be (a detached
// signature with encryption or without signers; text mode with nothing
// that marks text), -11999 for memory, cipher and CFB failures, and the
// errors of key iteration, key derivation, qoxPkeAddKey and the callback.
QOXPipeline** qoxEncryptPipelineCreate(QOXContext* context, QOXPipeline** slot, QOXEnv* env,
                                       const QOXFifoDesc* fifoDesc, QOXRandomContext* random,
                                       const QOXConvKey* passphrases, QOXKeySet* recipients,
                                       QOXSigSpec* signers, const QOXLiteralInfo* literal, bool detached,
                                       uint8_t* sessionKey, bool binary, QOXRecipientCallback callback,
                                       void* callbackArg, size_t* sessionKeyLength, QOXError* error);

// The distinct hash algorithms of a signer chain, one byte each in the
// order of their first appearance, in a block of the context's memory that
// the caller frees (qoxContextMemFree); *count gets their number. Null when
// the block cannot be allocated (or the chain is empty).
uint8_t* createHashList(QOXContext* context, const QOXSigSpec* signers, size_t* count);

#endif  // OSTRAK_PIPELINE_ENCRYPT_PIPELINE_H_
