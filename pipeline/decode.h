// The decode operation: one decode job described by an option list.
//
// qoxDecodeInternal reads an input (buffer or file) that may hold ASCII
// armor, clear-signed text, binary messages, key blocks or X.509 data,
// takes it apart with the decrypt pipeline (armor parser, binary packet
// parsers, annotation reader), decrypts with passphrases, passkeys, session
// keys or secret keys, checks signatures against a key database, imports or
// reports the keys it finds and writes each literal to an output, which it
// asks of the caller's event handler unless the options name one. Events of
// one job, in order: Initial; per section BeginLex, Analyze, then as the data
// demands Recipients, Passphrase, Decryption, Output, Signature,
// DetachedSignature, KeyFound, and EndLex; Null events while pumping; Error
// when the job fails; Final.
//
// Literals are decoded (commit 260); only with option 41 (recursively
// decode) are they parsed again as messages (261).
//
// Bounds: a job that collects keys (option 33 or 34) refuses key data, and
// inflated data in total, beyond max(1 MiB, 4 x the input's length):
// kQOXErrOutputBufferTooSmall in the key sink, kQOXErrDecompressionFailed
// in the inflate modules. Other jobs are bounded by their caller's output.
//
// Threads: a job runs on its caller's thread in its caller's context; jobs
// of different contexts run at once.
#ifndef OSTRAK_PIPELINE_DECODE_H_
#define OSTRAK_PIPELINE_DECODE_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/option_list.h"
#include "pipeline/decode_callbacks.h"
#include "pipeline/fifo.h"
#include "pipeline/pipeline.h"

struct QOXContext;
struct QOXEnv;
struct PFLFileSpec;

// Option 40: stop after the first section (no public constructor).
inline constexpr QOXOptionType kQOXOptionType_StopAfterFirstSection = 40;

// Sections kinds sent in the Analyze event.
inline constexpr int32_t kQOXSectionEncrypted = 0;
inline constexpr int32_t kQOXSectionSigned = 1;
inline constexpr int32_t kQOXSectionDetachedSignature = 2;
inline constexpr int32_t kQOXSectionKeys = 3;
inline constexpr int32_t kQOXSectionText = 4;
inline constexpr int32_t kQOXSectionX509 = 5;

// The least bound of a key-collecting job.
inline constexpr uint64_t kQOXDecodeMinBound = uint64_t{1} << 20;

QOXError qoxDecodeInternal(QOXContext* context, QOXOptionListRef options);

// The armor parser at *head and the annotation reader behind it; returns
// the reader's tail slot, or null (null head, a module that cannot be made).
// A null fifoDesc means the byte FIFO.
QOXPipeline** qoxDecryptPipelineCreate(QOXContext* context, QOXPipeline** head, QOXEnv* env,
                                       const QOXFifoDesc* fifoDesc, const QOXDecodeCallbacks* callbacks,
                                       void* callbackArg);

// The output options of a decode: option 8 append, 4 file (its
// file reference copied into *outFileSpec, which the caller frees), 5 buffer
// (size and length location), 6 allocated buffer (limit and length
// location), 9 discard, 11 local encoding (as file flags), 30 line ends
// (default 1). Two outputs, or discard with another: kQOXErrBadParams; on
// an error every output is cleared and the line-end type is the default.
QOXError qoxSetupOutput(QOXOptionListRef options, QOXEnv* env, PFLFileSpec** outFileSpec, uint8_t** outBuffer,
                        void*** outAllocated, size_t* outSize, size_t** outLength, bool* outDiscard,
                        uint32_t* outLocalFlags, uint32_t* outLineEnd, bool* outAppend);

// Options 62 (pass clear-signed text through), 63 (pass keys through) and
// 41 (recursive; its low byte in *outRecursive): a byte FIFO in *outFifo
// when any is set, and kQOXAnnPassthrough / kQOXAnnPassthroughKeys (byte 1)
// to head.
QOXError qoxSetupPassThrough(QOXContext* context, QOXOptionListRef options, QOXPipeline* head, QOXFifo** outFifo,
                             uint8_t* outRecursive);

#endif  // OSTRAK_PIPELINE_DECODE_H_
