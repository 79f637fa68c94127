// The simple annotation reader ("Simple Annotation Reader"): the last module
// of the decrypt pipeline. What the armor parser and the binary parsers find
// arrives here as data and annotations; the reader turns them into the calls
// of the decode job's QOXDecodeCallbacks (pipeline/decode_callbacks.h):
//   - it answers the parsers' commits (commit), having encrypted scopes'
//     session keys found (eskDecrypt, trying each key on the parser through
//     eskTryKey) and telling a signed scope which hashes to compute;
//   - it keeps the ESK packets of the current encrypted scope and the
//     signature packets of every open scope level, and when a signed scope
//     ends asks its parser for each signature's digest (sigtry), which comes
//     back as kQOXAnnHashValue and goes to sigVerify; a detached signature
//     scope is checked at its commit against the job's other input;
//   - it opens an output for each piece of plaintext (newOutput, at the first
//     data write, with the output type and the literal's name) and closes it
//     (size advice 0 to the tail) when the scope it was opened in ends.
//
// Scopes: at most kQOXReaderMaxScopes open at once; one more is refused
// with kQOXErrUnbalancedScope (message 1150), which ends the job. An end
// that does not match the innermost open scope is reported (message 1150)
// and changes nothing.
//
// Ownership: the module belongs to its chain; teardown frees the ESK list,
// the signature lists and the literal name and tears the output chain down.
// Threads: one chain, one thread at a time.
#ifndef OSTRAK_PIPELINE_ANNOTATION_READER_H_
#define OSTRAK_PIPELINE_ANNOTATION_READER_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "pipeline/decode_callbacks.h"
#include "pipeline/pipeline.h"

struct QOXEnv;

inline constexpr uint32_t kQOXMagicAnnotationReader = 0x00F00B0B;
inline constexpr int32_t kQOXReaderMaxScopes = 50;
// The output type of clear-signed text ('t').
inline constexpr int32_t kQOXReaderTextOutput = 116;

// Message numbers the reader gives callbacks->message.
inline constexpr uint32_t kQOXMsgScopeUnbalanced = 1150;
inline constexpr uint32_t kQOXMsgCommitInvalid = 1250;
inline constexpr uint32_t kQOXMsgEskUnusable = 1300;
inline constexpr uint32_t kQOXMsgEskUnstorable = 1301;
inline constexpr uint32_t kQOXMsgDetachedFailed = 1350;
inline constexpr uint32_t kQOXMsgCommitRefused = 1400;

// The reader linked at *head (cleared first; the reader starts without a
// tail). Returns the reader's tail slot, where newOutput links outputs; null
// for a null head or env, or when memory runs out.
QOXPipeline** qoxAnnotationReaderCreate(QOXContext* context, QOXPipeline** head, QOXEnv* env,
                                        const QOXDecodeCallbacks* callbacks, void* callbackArg);

// The try function handed to eskDecrypt: offers the key to the parser whose
// commit is pending (tryArg is the reader's record of that commit); 0 when
// the parser took it.
QOXError eskTryKey(void* tryArg, const uint8_t* key, size_t length);

// The end of a signature scope: a hash request to origin for each signature
// of the level just closed (each digest goes to sigVerify), then the list
// is freed. Failed requests are reported (message 1051); kQOXErrOutOfMemory
// when a request cannot be made.
QOXError sigtry(QOXPipeline* reader, QOXPipeline* origin);

#endif  // OSTRAK_PIPELINE_ANNOTATION_READER_H_
