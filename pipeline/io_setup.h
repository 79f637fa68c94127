// Input and output set-up shared by the encode and decode jobs and by the
// key database's import and export: option lists become inputs, pumps and
// output sinks.
//
//   qoxPumpMem              a buffer through a chain, in writes of at most
//                           4096 bytes, between the input scope and its
//                           size advices.
//   qoxSetupInput           the input the options name (input file: a file
//                           read pump; input buffer: the bytes).
//   qoxSetupInputToBuffer   the whole input as one buffer.
//   qoxSetupOutputPipeline  the sink the options name (output file, fixed
//                           buffer, allocated buffer, discard; none: Dev Null).
//   qoxOutputBufferByOptionList  a finished buffer to that sink, as a PEM
//                           block when armor is asked and a PEM kind given.
//   qoxRemovePEMEncoding    the Base64 body of a PEM block, decoded.
//   qoxGetMemOutput / qoxGetVariableMemOutput  what a memory sink holds.
//   qoxGetQOXMIMEBodyOffset the MIME body offset and separator the caller
//                           asked for (option 27).
//   qoxWarnUser             a Warning event to the caller's handler.
//   qoxCheckKeyValidity     a key's validity against the thresholds.
//   qoxSetupCallback, qoxGetMinValidity, qoxGetDefaultLineEndType,
//   qoxLocalEncodingToFlags small readers of options.
//
// Errors: kQOXErrBadParams for contradictory or missing options,
// kQOXErrOutOfMemory, kQOXErrOutputTooSmall for output that did not fit.
// Whatever a call opens or makes it undoes before returning an error.
// Buffers handed out are blocks of the context's memory (QOXFreeData).
//
// Threads: no shared state; a call works on its own chain.
#ifndef OSTRAK_PIPELINE_IO_SETUP_H_
#define OSTRAK_PIPELINE_IO_SETUP_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/option_list.h"
#include "pipeline/file_read_pump.h"
#include "pipeline/pipeline.h"

struct QOXContext;
struct QOXEnv;
struct QOXFile;
struct PFLFileSpec;
struct QOXKeyDBObj;
struct QOXKeySet;
struct QOXRandomContext;

// Progress of qoxPumpMem: bytes done and the total; non-zero stops it.
using QOXPumpProgress = int32_t (*)(void* arg, uint64_t done, uint64_t total);

QOXError qoxPumpMem(QOXPipeline* head, const uint8_t* bytes, size_t length, QOXPumpProgress progress, void* arg);

// What qoxSetupInput found: a file (fileSpec and its read pump, which the
// caller destroys with qoxFileReadDestroy) or a buffer (not copied). name
// (when asked for) is a block of the context's memory.
struct QOXInputSetup {
  const PFLFileSpec* fileSpec;
  QOXPipeModule* fileRead;
  uint32_t dataKind;
  const uint8_t* buffer;
  size_t length;
  char* name;
};

// localEncoding: option 11 gives the file flags; detached: the input of a
// detached signature. wantName: fill setup->name (option 39 "_CONSOLE",
// option 65, else the file's own name, else ""). With a random context the
// input's first bytes (a file's first buffer, at most 1024 bytes of a
// buffer) are added to it.
QOXError qoxSetupInput(QOXContext* context, QOXOptionListRef options, bool wantName, bool localEncoding,
                       bool detached, QOXInputSetup* setup, QOXRandomContext* random = nullptr);
void qoxInputSetupFree(QOXContext* context, QOXInputSetup* setup);

QOXError qoxSetupInputToBuffer(QOXContext* context, QOXOptionListRef options, uint8_t** outBuffer, size_t* outLength,
                               bool* outAllocated);

// What qoxSetupOutputPipeline linked, for reading the result back.
struct QOXOutputSetup {
  QOXFile* file;               // output file (closed by the sink's teardown)
  uint8_t* buffer;             // fixed buffer and its size
  size_t size;
  void** allocatedBuffer;      // where an allocated buffer goes
  size_t sizeLimit;            // of the allocated buffer
  size_t* lengthLocation;      // where the output's length goes
  QOXPipeline* memSink;        // the memory sink, or null
};

// Links the output sink at *tail. Flags: encrypting, signing and detached
// choose the output file's type; append keeps what the output holds;
// x509 marks X.509 data.
QOXError qoxSetupOutputPipeline(QOXContext* context, QOXOptionListRef options, QOXEnv* env, bool encrypting,
                                bool signing, bool detached, bool append, bool x509, QOXPipeline** tail,
                                QOXOutputSetup* out);
// After the chain has run: the length (and an allocated buffer) to the
// caller's locations; kQOXErrOutputTooSmall when the output did not fit.
QOXError qoxFinishOutput(const QOXOutputSetup* out);

QOXError qoxOutputBufferByOptionList(QOXContext* context, const uint8_t* bytes, size_t length,
                                     QOXOptionListRef options, uint32_t pemKind);

QOXError qoxRemovePEMEncoding(QOXContext* context, const uint8_t* bytes, size_t length, uint8_t** outBuffer,
                              size_t* outLength);

QOXError qoxGetMemOutput(QOXPipeline* sink, size_t size, size_t* outLength);
QOXError qoxGetVariableMemOutput(QOXPipeline* sink, size_t sizeLimit, void** outBuffer, size_t* outLength);

QOXError qoxGetQOXMIMEBodyOffset(QOXPipeline* head, QOXOptionListRef options);

// Option 31 (handler and its argument) and 32 (null events, only with a
// handler). On an error every output is cleared.
QOXError qoxSetupCallback(QOXOptionListRef options, void** outHandler, void** outArg, bool* outSendNullEvents);
// A Warning event (code and argument) to the handler of option 31; nothing
// without one. Returns the handler's result.
QOXError qoxWarnUser(QOXContext* context, QOXOptionListRef options, QOXError code, uintptr_t arg);
QOXError qoxGetMinValidity(QOXOptionListRef options, int32_t* outFail, int32_t* outWarn);
// The key's validity (property 203) in *outValidity (may be null), then:
// revoked kQOXErrKeyRevoked, disabled kQOXErrKeyDisabled, expired
// kQOXErrKeyExpired, validity below failBelow kQOXErrKeyValidityLowOrNone;
// below warnBelow the key joins warnSet (when given; its error returned).
QOXError qoxCheckKeyValidity(QOXContext* context, QOXOptionListRef options, QOXKeyDBObj* key, int32_t failBelow,
                             int32_t warnBelow, QOXKeySet* warnSet, int32_t* outValidity);
uint32_t qoxGetDefaultLineEndType();
uint32_t qoxLocalEncodingToFlags(uint32_t encoding);

#endif  // OSTRAK_PIPELINE_IO_SETUP_H_
