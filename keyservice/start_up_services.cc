#include "keyservice/start_up_services.h"

#include <sys/stat.h>

#include "crypto/rand_seed_file.h"
#include "foundation/context.h"
#include "foundation/core/features.h"
#include "foundation/file_spec.h"
#include "foundation/sdk_errors.h"
#include "server/error_log.h"

namespace {

QOXError LogFailure(const char* path, QOXError err) {
  char text[256];
  QOXGetErrorString(err, sizeof text, text);
  LogError(kLogError, "Setting the QOX random seed file (%s) failed with error %d (%s)", path, err, text);
  return err;
}

}  // namespace

QOXError SetRandSeedFile(QOXContext* context, const char* /*startDirectory*/, const char* path) {
  if (path == nullptr) return kQOXErrNoErr;
  struct stat st {};
  if (stat(path, &st) != 0) return LogFailure(path, kQOXErrBadParams);
  PFLFileSpec* spec = nullptr;
  QOXError err = PFLNewFileSpecFromFullPath(QOXPeekContextMemoryMgr(context), path, &spec);
  if (err == kQOXErrNoErr) err = QOXSetRandSeedFile(spec);
  if (spec != nullptr) PFLFreeFileSpec(spec);
  return err == kQOXErrNoErr ? kQOXErrNoErr : LogFailure(path, err);
}

QOXError IsRSASupported(uint8_t* supported) {
  if (supported == nullptr) return kQOXErrBadParams;
  *supported = 0;
  uint32_t count = 0;
  QOXError err = QOXCountPublicKeyAlgorithms(&count);
  if (err != kQOXErrNoErr) return err;
  for (uint32_t i = 0; i < count; ++i) {
    QOXPublicKeyAlgorithmInfo info;
    err = QOXGetIndexedPublicKeyAlgorithmInfo(i, &info);
    if (err != kQOXErrNoErr) return err;
    if (info.algorithm >= 1 && info.algorithm <= 3) *supported = 1;  // RSA, RSA encrypt-only, RSA sign-only
  }
  return kQOXErrNoErr;
}
