// QOXEnv: the numbered settings of a toolkit context.
//
// An environment belongs to one context (QOXContext, foundation/context.h)
// and is allocated from that context's memory manager. It holds three
// families of settings:
//   - 42 integer settings, keys 1000-1041, each a value and a priority;
//   - 19 string settings, keys 2000-2018, each an owned NUL-terminated copy
//     (or null) and a priority;
//   - 7 pointer settings, keys 3000-3006, each a pointer and a size, without
//     priority. 3000 and 3001 are the character translation maps installed
//     by string setting 2001 and cannot be written directly.
// A write succeeds only when its priority is not below the stored one; it
// then stores value and priority together. Defaults are written at 0; the
// encode and decode calls write what their options imply at 25.
//
// Thread safety: an environment is used by one thread at a time, like the
// context that owns it.
#ifndef OSTRAK_FOUNDATION_ENV_H_
#define OSTRAK_FOUNDATION_ENV_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;

inline constexpr int32_t kQOXEnvIntFirst = 1000;
inline constexpr int32_t kQOXEnvIntLast = 1041;
inline constexpr int32_t kQOXEnvStringFirst = 2000;
inline constexpr int32_t kQOXEnvStringLast = 2018;
inline constexpr int32_t kQOXEnvPointerFirst = 3000;
inline constexpr int32_t kQOXEnvPointerLast = 3006;

// Settings with a reader elsewhere in the toolkit.
inline constexpr int32_t kQOXEnvArmorOutput = 1000;
inline constexpr int32_t kQOXEnvArmorNumber = 1001;
inline constexpr int32_t kQOXEnvTrustParam = 1002;
inline constexpr int32_t kQOXEnvCipherAlgorithm = 1003;
inline constexpr int32_t kQOXEnvClearSign = 1004;
inline constexpr int32_t kQOXEnvTrustDivisor1 = 1005;
inline constexpr int32_t kQOXEnvCompress = 1006;
inline constexpr int32_t kQOXEnvCompressAlgorithm = 1007;
inline constexpr int32_t kQOXEnvCompressLevel = 1008;
inline constexpr int32_t kQOXEnvHashAlgorithm = 1010;
inline constexpr int32_t kQOXEnvTrustDivisor2 = 1011;
inline constexpr int32_t kQOXEnvDataIsText = 1013;
inline constexpr int32_t kQOXEnvTrustThreshold = 1014;
inline constexpr int32_t kQOXEnvTimeOffsetHours = 1015;
inline constexpr int32_t kQOXEnvSigVersion = 1017;
inline constexpr int32_t kQOXEnvMIMEOutput = 1022;
inline constexpr int32_t kQOXEnvKeyGenDefault = 1029;
inline constexpr int32_t kQOXEnvArmorParser = 1037;
inline constexpr int32_t kQOXEnvMIMEVersionLine = 1041;  // set: write "Mime-Version: 1.0"
inline constexpr int32_t kQOXEnvCharset = 2001;
inline constexpr int32_t kQOXEnvComment = 2002;
inline constexpr int32_t kQOXEnvTempDirectory = 2012;
inline constexpr int32_t kQOXEnvVersionString = 2018;
inline constexpr int32_t kQOXEnvCharmapToLocal = 3000;    // applied to encoded, signed, verified text
inline constexpr int32_t kQOXEnvCharmapFromLocal = 3001;  // applied to decoded text output
inline constexpr int32_t kQOXEnvCipherModeOption = 3004;

// Priorities used by the toolkit.
inline constexpr int32_t kQOXEnvPriorityDefault = 0;
inline constexpr int32_t kQOXEnvPriorityOptions = 25;

struct QOXEnvIntSetting {
  uint32_t value;
  int32_t priority;
};

struct QOXEnvStringSetting {
  char* string;  // owned copy from the context's memory manager, or null
  int32_t priority;
};

struct QOXEnv {
  QOXEnvIntSetting ints[kQOXEnvIntLast - kQOXEnvIntFirst + 1];
  QOXEnvStringSetting strings[kQOXEnvStringLast - kQOXEnvStringFirst + 1];
  void* pointers[kQOXEnvPointerLast - kQOXEnvPointerFirst + 1];
  size_t pointerSizes[kQOXEnvPointerLast - kQOXEnvPointerFirst + 1];
  QOXContext* context;
};

// Makes an environment of context with every default written at priority 0.
// 0, or kQOXErrOutOfMemory (out is null) when memory runs out; -12000 for a null out.
QOXError qoxenvCreate(QOXContext* context, QOXEnv** out);

// A copy of the whole record; strings are duplicated, pointer settings
// shared. 0 or kQOXErrOutOfMemory, in which case nothing is left behind and out is null.
QOXError qoxenvCopy(const QOXEnv* env, QOXEnv** out);

// Wipes and frees every string, then wipes and frees the record.
void qoxenvDestroy(QOXEnv* env);

// -12000 for a null environment or a key outside 1000-1041; kQOXErrEnvPriorityTooLow when the
// priority is below the stored one (the value is kept); else 0.
QOXError qoxenvSetInt(QOXEnv* env, int32_t key, uint32_t value, int32_t priority);

// The value of key. priority and error may be null. For a null environment
// or a key outside 1000-1041 the value is 0 and the error -12000.
uint32_t qoxenvGetInt(const QOXEnv* env, int32_t key, int32_t* priority, QOXError* error);

// -12000 for a null environment or a key outside 2000-2018; kQOXErrEnvPriorityTooLow for a
// lower priority; kQOXErrOutOfMemory when the copy cannot be made; else 0. A null string
// frees and clears the stored one. Key 2001 (the local character set) must
// name a known set (else its lookup's error, kQOXErrUnknownCharset for an unknown name, and
// nothing changes); on success its two translation maps are installed as
// pointer settings 3000 and 3001 with size 256. A null name for 2001 is
// refused with -12000 before anything else, and the maps are installed only
// once the name has been copied.
QOXError qoxenvSetString(QOXEnv* env, int32_t key, const char* string, int32_t priority);

// The stored string (or null) of a key in 2000-2018; priority may be null.
// A null environment or a key outside the range gives null (priority 0).
const char* qoxenvGetCString(const QOXEnv* env, int32_t key, int32_t* priority);

// The pointer of a key in 3000-3006; size may be null. A null environment or
// a key outside the range gives null (size 0).
void* qoxenvGetPointer(const QOXEnv* env, int32_t key, size_t* size);

// -12000 for a key outside 3000-3006 and for 3000 and 3001; else stores
// pointer and size, 0.
QOXError qoxenvSetPointer(QOXEnv* env, int32_t key, void* pointer, size_t size);

// The context that owns env.
QOXContext* qoxenvGetContext(const QOXEnv* env);

#endif  // OSTRAK_FOUNDATION_ENV_H_
