// QOXDecodeCallbacks: the calls a decode job offers the modules that read a
// message (the parsers, the annotation reader, the signature checks). Every
// call takes the job's argument first.
//
//   message(arg, error, number, argCount, args)   a report; the result is
//       ignored. Numbers: 1051-1056 and 1550 signatures, 1150 scopes, 1250
//       commits, 1300/1301 session keys, 1350/1351 detached signatures,
//       1400 refused commit answers.
//   commit(arg, scope begin code) -> a commit code (258..261) or a
//       negative error.
//   newOutput(arg, tail slot, output type, literal name) -> error; leaves a
//       module in the slot when it returns 0.
//   findAltInput(arg, head) -> error; pumps a detached signature's signed
//       data into head.
//   sigVerify(arg, signature node, digest) -> error; checks one signature
//       against the digest of its signed data.
//   eskDecrypt(arg, ESK list, tryKey, tryArg) -> 0, a commit code or an
//       error; offers candidate session keys through tryKey(tryArg, key,
//       length), whose 0 means the key was taken.
//   annotate(arg, origin, type, data, count) -> error; may be null.
#ifndef OSTRAK_PIPELINE_DECODE_CALLBACKS_H_
#define OSTRAK_PIPELINE_DECODE_CALLBACKS_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXPipeline;
struct QOXPktList;

using QOXEskTryKey = QOXError (*)(void* tryArg, const uint8_t* key, size_t length);

struct QOXDecodeCallbacks {
  QOXError (*message)(void* arg, QOXError error, uint32_t number, uint32_t argCount, const uint32_t* args);
  int32_t (*commit)(void* arg, uint32_t scope);
  QOXError (*newOutput)(void* arg, QOXPipeline** tail, int32_t outputType, const char* name);
  QOXError (*findAltInput)(void* arg, QOXPipeline* head);
  QOXError (*sigVerify)(void* arg, const QOXPktList* signature, const uint8_t* digest);
  int32_t (*eskDecrypt)(void* arg, QOXPktList* esks, QOXEskTryKey tryKey, void* tryArg);
  QOXError (*annotate)(void* arg, QOXPipeline* origin, uint32_t type, void* data, size_t count);
};

// Message numbers of the signature stages.
inline constexpr uint32_t kQOXMsgSigHashRequestFailed = 1051;
inline constexpr uint32_t kQOXMsgSigNoAlgorithms = 1052;
inline constexpr uint32_t kQOXMsgSigUnstorable = 1053;
inline constexpr uint32_t kQOXMsgSigNothingToHash = 1054;
inline constexpr uint32_t kQOXMsgSigUnknownHash = 1055;
inline constexpr uint32_t kQOXMsgSigDetachedNone = 1056;
inline constexpr uint32_t kQOXMsgSigDetachedStarts = 1351;
inline constexpr uint32_t kQOXMsgSigNoSink = 1550;

#endif  // OSTRAK_PIPELINE_DECODE_CALLBACKS_H_
