#include "foundation/env.h"

#include <cstring>
#include <iterator>

#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "foundation/pipeline_services.h"

namespace {

constexpr uint32_t kClear = 1;  // QOXNewData flag: zero the block
constexpr size_t kCharmapSize = 256;

bool IntKeyOk(int32_t key) { return key >= kQOXEnvIntFirst && key <= kQOXEnvIntLast; }
bool StringKeyOk(int32_t key) { return key >= kQOXEnvStringFirst && key <= kQOXEnvStringLast; }
bool PointerKeyOk(int32_t key) { return key >= kQOXEnvPointerFirst && key <= kQOXEnvPointerLast; }

// Overwrites before release: settings may hold passphrase-like text.
void Wipe(void* p, size_t n) {
  volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
  while (n--) *v++ = 0;
}

void FreeString(char* s) {
  if (s == nullptr) return;
  Wipe(s, std::strlen(s));
  QOXFreeData(s);
}

// A NUL-terminated copy in a block of the context, or null when memory runs out.
char* CopyString(QOXContext* context, const char* s) {
  size_t n = std::strlen(s) + 1;
  char* copy = static_cast<char*>(qoxContextMemAlloc(context, n, 0));
  if (copy != nullptr) std::memcpy(copy, s, n);
  return copy;
}

struct IntDefault {
  int32_t key;
  uint32_t value;
};

// Integer defaults other than 0. 1003 depends on FIPS mode and is set apart.
constexpr IntDefault kIntDefaults[] = {
    {kQOXEnvTrustParam, 4},     {kQOXEnvClearSign, 1},         {kQOXEnvTrustDivisor1, 1},
    {kQOXEnvCompress, 1},       {kQOXEnvCompressAlgorithm, 1}, {kQOXEnvCompressLevel, 5},
    {kQOXEnvHashAlgorithm, 1},  {kQOXEnvTrustDivisor2, 2},     {kQOXEnvTrustThreshold, 120},
    {kQOXEnvSigVersion, 3},
};

constexpr uint32_t kCipherIDEA = 1;
constexpr uint32_t kCipher3DES = 2;

QOXError WriteDefaults(QOXEnv* env) {
  for (const IntDefault& d : kIntDefaults) {
    QOXError err = qoxenvSetInt(env, d.key, d.value, kQOXEnvPriorityDefault);
    if (err != kQOXErrNoErr) return err;
  }
  QOXError err = qoxenvSetInt(env, kQOXEnvCipherAlgorithm,
                              qoxFIPSModeEnabled() ? kCipher3DES : kCipherIDEA, kQOXEnvPriorityDefault);
  if (err == kQOXErrNoErr) err = qoxenvSetString(env, kQOXEnvCharset, "noconv", kQOXEnvPriorityDefault);
  if (err == kQOXErrNoErr) err = qoxenvSetString(env, 2007, "", kQOXEnvPriorityDefault);
  // String 2013 has no reader and keeps no default.
  return err;
}

}  // namespace

QOXError qoxenvCreate(QOXContext* context, QOXEnv** out) {
  if (out == nullptr) return kQOXErrBadParams;
  *out = nullptr;
  if (context == nullptr) return kQOXErrBadParams;
  QOXEnv* env = static_cast<QOXEnv*>(qoxContextMemAlloc(context, sizeof(QOXEnv), kClear));
  if (env == nullptr) return kQOXErrOutOfMemory;
  env->context = context;
  QOXError err = WriteDefaults(env);
  if (err != kQOXErrNoErr) {
    qoxenvDestroy(env);
    return err;
  }
  *out = env;
  return kQOXErrNoErr;
}

QOXError qoxenvCopy(const QOXEnv* env, QOXEnv** out) {
  if (out == nullptr) return kQOXErrBadParams;
  *out = nullptr;
  if (env == nullptr) return kQOXErrBadParams;
  QOXEnv* copy = static_cast<QOXEnv*>(qoxContextMemAlloc(env->context, sizeof(QOXEnv), kClear));
  if (copy == nullptr) return kQOXErrOutOfMemory;
  std::memcpy(copy, env, sizeof(QOXEnv));
  for (QOXEnvStringSetting& s : copy->strings) s.string = nullptr;
  for (size_t i = 0; i < std::size(env->strings); ++i) {
    if (env->strings[i].string == nullptr) continue;
    copy->strings[i].string = CopyString(env->context, env->strings[i].string);
    if (copy->strings[i].string == nullptr) {
      qoxenvDestroy(copy);
      return kQOXErrOutOfMemory;
    }
  }
  *out = copy;
  return kQOXErrNoErr;
}

void qoxenvDestroy(QOXEnv* env) {
  if (env == nullptr) return;
  for (QOXEnvStringSetting& s : env->strings) {
    FreeString(s.string);
    s.string = nullptr;
  }
  Wipe(env, sizeof(QOXEnv));
  QOXFreeData(env);
}

QOXError qoxenvSetInt(QOXEnv* env, int32_t key, uint32_t value, int32_t priority) {
  if (env == nullptr || !IntKeyOk(key)) return kQOXErrBadParams;
  QOXEnvIntSetting& s = env->ints[key - kQOXEnvIntFirst];
  if (priority < s.priority) return kQOXErrEnvPriorityTooLow;
  s.value = value;
  s.priority = priority;
  return kQOXErrNoErr;
}

uint32_t qoxenvGetInt(const QOXEnv* env, int32_t key, int32_t* priority, QOXError* error) {
  if (priority != nullptr) *priority = 0;
  if (env == nullptr || !IntKeyOk(key)) {
    if (error != nullptr) *error = kQOXErrBadParams;
    return 0;
  }
  const QOXEnvIntSetting& s = env->ints[key - kQOXEnvIntFirst];
  if (priority != nullptr) *priority = s.priority;
  if (error != nullptr) *error = kQOXErrNoErr;
  return s.value;
}

QOXError qoxenvSetString(QOXEnv* env, int32_t key, const char* string, int32_t priority) {
  if (env == nullptr || !StringKeyOk(key)) return kQOXErrBadParams;
  if (key == kQOXEnvCharset && string == nullptr) return kQOXErrBadParams;
  QOXEnvStringSetting& s = env->strings[key - kQOXEnvStringFirst];
  if (priority < s.priority) return kQOXErrEnvPriorityTooLow;

  const uint8_t* firstMap = nullptr;
  const uint8_t* secondMap = nullptr;
  if (key == kQOXEnvCharset) {
    QOXError err = qoxPipelineServices().qoxCharmaps(string, std::strlen(string), &firstMap, &secondMap);
    if (err != kQOXErrNoErr) return err;
  }

  char* copy = nullptr;
  if (string != nullptr) {
    copy = CopyString(env->context, string);
    if (copy == nullptr) return kQOXErrOutOfMemory;  // nothing changed
  }
  FreeString(s.string);
  s.string = copy;
  s.priority = priority;

  if (key == kQOXEnvCharset) {
    // The maps are constant tables of the character-set module; the setting
    // only lends them out.
    env->pointers[kQOXEnvCharmapToLocal - kQOXEnvPointerFirst] = const_cast<uint8_t*>(secondMap);
    env->pointerSizes[kQOXEnvCharmapToLocal - kQOXEnvPointerFirst] = kCharmapSize;
    env->pointers[kQOXEnvCharmapFromLocal - kQOXEnvPointerFirst] = const_cast<uint8_t*>(firstMap);
    env->pointerSizes[kQOXEnvCharmapFromLocal - kQOXEnvPointerFirst] = kCharmapSize;
  }
  return kQOXErrNoErr;
}

const char* qoxenvGetCString(const QOXEnv* env, int32_t key, int32_t* priority) {
  if (priority != nullptr) *priority = 0;
  if (env == nullptr || !StringKeyOk(key)) return nullptr;
  const QOXEnvStringSetting& s = env->strings[key - kQOXEnvStringFirst];
  if (priority != nullptr) *priority = s.priority;
  return s.string;
}

void* qoxenvGetPointer(const QOXEnv* env, int32_t key, size_t* size) {
  if (size != nullptr) *size = 0;
  if (env == nullptr || !PointerKeyOk(key)) return nullptr;
  if (size != nullptr) *size = env->pointerSizes[key - kQOXEnvPointerFirst];
  return env->pointers[key - kQOXEnvPointerFirst];
}

QOXError qoxenvSetPointer(QOXEnv* env, int32_t key, void* pointer, size_t size) {
  if (env == nullptr || !PointerKeyOk(key) || key == kQOXEnvCharmapToLocal || key == kQOXEnvCharmapFromLocal) {
    return kQOXErrBadParams;
  }
  env->pointers[key - kQOXEnvPointerFirst] = pointer;
  env->pointerSizes[key - kQOXEnvPointerFirst] = size;
  return kQOXErrNoErr;
}

QOXContext* qoxenvGetContext(const QOXEnv* env) { return env == nullptr ? nullptr : env->context; }
