#include "crypto/context_random.h"

#include "crypto/random_pool.h"
#include "crypto/x917.h"
#include "foundation/context.h"

namespace {

// A plain pool handle {context, table, 0, 0}, or null when the engine offers
// no such table or memory runs out.
QOXRandomContext* MakePoolHandle(QOXContext* context, const QOXRandomVTBL* vtbl) {
  if (vtbl == nullptr) return nullptr;
  QOXRandomContext* rc = static_cast<QOXRandomContext*>(
      qoxContextMemAlloc(context, sizeof(QOXRandomContext), kQOXMemoryMgrFlags_Clear));
  if (rc == nullptr) return nullptr;
  rc->context = context;
  rc->vtbl = vtbl;
  return rc;
}

}  // namespace

QOXRandomContext* qoxContextGetGlobalPoolRandomContext(QOXContext* context) {
  QOXRandomContext* rc = qoxContextGetRandomSlot(context, QOXContextRandomSlot::kGlobalPool);
  if (rc == nullptr) {
    rc = MakePoolHandle(context, qoxGetGlobalRandomPoolVTBL());
    if (rc != nullptr) {
      for (int i = 0; i < 4; ++i) qoxRandomCollectEntropy(rc);
    }
    qoxContextSetRandomSlot(context, QOXContextRandomSlot::kGlobalPool, rc);
  }
  return rc;
}

QOXRandomContext* qoxContextGetDummyRandomContext(QOXContext* context) {
  QOXRandomContext* rc = qoxContextGetRandomSlot(context, QOXContextRandomSlot::kDummy);
  if (rc == nullptr) {
    rc = MakePoolHandle(context, qoxGetGlobalDummyRandomPoolVTBL());
    qoxContextSetRandomSlot(context, QOXContextRandomSlot::kDummy, rc);
  }
  return rc;
}

QOXRandomContext* qoxContextGetX9_17RandomContext(QOXContext* context) {
  QOXRandomContext* rc = qoxContextGetRandomSlot(context, QOXContextRandomSlot::kX9_17);
  if (rc == nullptr) {
    rc = qoxRandomCreate(context);
    qoxContextSetRandomSlot(context, QOXContextRandomSlot::kX9_17, rc);
  }
  return rc;
}
