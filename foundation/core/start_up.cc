#include "foundation/core/start_up.h"

#include "crypto/bn.h"
#include "crypto/context_random.h"
#include "crypto/rand_seed_file.h"
#include "crypto/random_pool.h"
#include "foundation/macbinary.h"
#include "foundation/memory_mgr.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"

namespace {

// Whether the first QOXsdkInit made the default memory manager, which the
// last clean-up then frees. Start-up state: see foundation/context.h.
bool gMadeDefaultMemoryMgr = false;

}  // namespace

QOXError QOXsdkInit(uint32_t flags) {
  if (qoxsdkStartCount() == 0) {
    QOXError err = kQOXErrNoErr;
    if (QOXGetDefaultMemoryMgr() == nullptr) {
      gMadeDefaultMemoryMgr = true;
      QOXMemoryMgr* mgr = nullptr;
      err = QOXNewMemoryMgr(0, &mgr);
      if (err == kQOXErrNoErr) {
        err = QOXSetDefaultMemoryMgr(mgr);
        if (err != kQOXErrNoErr) QOXFreeMemoryMgr(mgr);
      }
    }
    if (err == kQOXErrNoErr && (flags & kQOXsdkInitNoBackEnd) == 0) {
      err = qoxRPCClientServices().qoxSDKInitBackEnd(1);
    }
    if (err == kQOXErrNoErr) {
      err = qoxInitMacBinaryMappings();
      if (err == kQOXErrNoErr) bnInit();
      if (err == kQOXErrNoErr) err = qoxDefaultRandSeedFile();
    }
    if (err != kQOXErrNoErr) return err;
  }
  qoxsdkSetStartCount(qoxsdkStartCount() + 1);
  return kQOXErrNoErr;
}

QOXError QOXsdkCleanup() {
  uint32_t count = qoxsdkStartCount();
  if (count == 0) return kQOXErrBadParams;
  qoxsdkSetStartCount(count - 1);
  if (count == 1) {
    qoxDisposeMacBinaryMappings();
    qoxCleanupRandSeedFile();
    if (gMadeDefaultMemoryMgr) {
      qoxFreeDefaultMemoryMgrList();
      gMadeDefaultMemoryMgr = false;
    }
  }
  return kQOXErrNoErr;
}

void qoxForceSDKCleanup() {
  if (qoxsdkStartCount() == 0) return;
  qoxsdkSetStartCount(1);
  QOXsdkCleanup();
}

QOXError QOXContextGetRandomBytes(QOXContext* context, void* buffer, size_t count) {
  if (buffer == nullptr || !qoxContextIsValid(context)) return kQOXErrBadParams;
  QOXError err = qoxEnterFunction();
  if (err != kQOXErrNoErr) return err;
  QOXRandomContext* rc = qoxContextGetX9_17RandomContext(context);
  if (rc == nullptr || !QOXGlobalRandomPoolHasMinimumEntropy()) return kQOXErrOutOfEntropy;
  qoxRandomGetBytes(rc, buffer, count);
  return kQOXErrNoErr;
}
