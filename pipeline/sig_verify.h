// Checking signatures on the way in: the hashing of signed data for a list
// of signatures, the check of each signature against its finished hash,
// detached signatures, and the verification reader that the armor parser
// gives clear-signed and MIME-signed text and their signatures.
//
// A signature's digest is its signed data's hash continued with the
// signature's hashed material (qoxSigDataExtra) and, for version 4, the
// trailer 4, 0xFF and that material's length (4 bytes, big-endian); the
// decode job's sigVerify callback checks it.
//
// Message numbers (QOXDecodeCallbacks::message): 1053 a signature that
// cannot be stored, 1054 nothing to hash, 1055 a signature whose hash is
// not hashed, 1056 a detached check without signatures, 1351 a detached
// check starts, 1550 no sink for the hashing.
//
// Threads: one chain, one thread at a time.
#ifndef OSTRAK_PIPELINE_SIG_VERIFY_H_
#define OSTRAK_PIPELINE_SIG_VERIFY_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "pipeline/decode_callbacks.h"
#include "pipeline/fifo.h"
#include "pipeline/pipeline.h"

struct QOXEnv;
struct QOXHashList;
struct QOXPktList;

// Hashing for a signature list: at *slot a text filter (line ends to CR LF,
// the environment's character map) when the first signature's type is not
// 0, then one hash module per distinct hash of the list, then a dev-null
// sink. *outList owns the hashes. Errors: -11999 (message 1550 when the
// sink cannot be made), -11399 with message 1054 when no hash of the list
// is known (nothing is left at the slot).
QOXError qoxSigSetupHashes(QOXContext* context, QOXPipeline** slot, QOXEnv* env, QOXHashList** outList,
                           const QOXPktList* signatures, const QOXDecodeCallbacks* callbacks, void* arg);
// Checks every signature of the list, in order, through callbacks->sigVerify;
// a signature whose hash is not in the hash list is reported (-11419,
// message 1055) and passed over. The first non-zero answer ends the loop and
// is returned; -11999 when a hash cannot be copied.
QOXError qoxSigVerify(const QOXPktList* signatures, QOXHashList* hashes, const QOXDecodeCallbacks* callbacks,
                      void* arg);
// Detached signatures: message 1351, the hashing set up for the list, the
// signed data pumped in by callbacks->findAltInput, the list verified. An
// empty list gives message 1056 (-12000) and 0.
QOXError qoxSepsigVerify(const QOXPktList* signatures, QOXEnv* env, const QOXDecodeCallbacks* callbacks, void* arg);

// The verification reader: two modules over one record.
//   texthead ("Signature Verification Annotation Reader (texthead)") takes
//     the signed text;
//   sighead ("Signature Verification Annotation Reader (sighead)") takes the
//     signature packets as kQOXAnnSignature annotations, and their end (size
//     advice 0).
// The text waits in a join's FIFO until the hashes stand: at once when
// hash algorithms are given (the armor "Hash:" header), else when the
// signatures have ended. With the text flag the text is hashed through a
// text filter (line ends to CR LF, the environment's character map); without
// hash algorithms the first signature's type decides. Whichever of the two
// ends last runs qoxSigVerify and returns its result. Each module is torn
// down on its own; the second teardown frees the record.
struct QOXVerifyReader;
QOXVerifyReader* qoxVerifyReaderCreate(QOXContext* context, QOXPipeline** outTextHead, QOXPipeline** outSigHead,
                                       QOXEnv* env, const QOXFifoDesc* fifoDesc, const uint8_t* hashAlgorithms,
                                       uint32_t count, bool text, const QOXDecodeCallbacks* callbacks, void* arg);

#endif  // OSTRAK_PIPELINE_SIG_VERIFY_H_
