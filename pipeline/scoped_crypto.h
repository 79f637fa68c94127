// Owners for the engine objects the pipeline's stages make and drop on the
// way: CFB contexts, hash contexts and lists, string-to-key specifiers, and
// secure blocks of a given size. Internal to pipeline/.
#ifndef OSTRAK_PIPELINE_SCOPED_CRYPTO_H_
#define OSTRAK_PIPELINE_SCOPED_CRYPTO_H_

#include <memory>

#include "crypto/cfb.h"
#include "crypto/hash.h"
#include "foundation/memory_mgr.h"
#include "foundation/string_to_key_services.h"

namespace qox_pipeline {

struct CFBFree {
  void operator()(QOXCFBContext* cfb) const { QOXFreeCFBContext(cfb); }
};
using CFBPtr = std::unique_ptr<QOXCFBContext, CFBFree>;

struct HashFree {
  void operator()(QOXHashContext* hash) const { QOXFreeHashContext(hash); }
};
using HashPtr = std::unique_ptr<QOXHashContext, HashFree>;

struct HashListFree {
  void operator()(QOXHashList* list) const { qoxHashListDestroy(list); }
};
using HashListPtr = std::unique_ptr<QOXHashList, HashListFree>;

struct S2KFree {
  void operator()(QOXStringToKey* s2k) const { qoxS2Kdestroy(s2k); }
};
using S2KPtr = std::unique_ptr<QOXStringToKey, S2KFree>;

// A block of secure memory, wiped and freed when the owner goes.
struct SecureFree {
  void operator()(uint8_t* block) const { QOXFreeData(block); }
};
using SecurePtr = std::unique_ptr<uint8_t, SecureFree>;
inline SecurePtr NewSecure(QOXMemoryMgr* mgr, size_t size) {
  return SecurePtr(static_cast<uint8_t*>(QOXNewSecureData(mgr, size == 0 ? 1 : size, kQOXMemoryMgrFlags_Clear)));
}

}  // namespace qox_pipeline

#endif  // OSTRAK_PIPELINE_SCOPED_CRYPTO_H_
