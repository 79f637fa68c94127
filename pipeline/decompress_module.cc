// Choosing the decompressing module by the packet's algorithm byte.
#include "pipeline/compression.h"

#include "foundation/env.h"
#include "pipeline/inflate.h"

QOXPipeline** qoxDecompressModCreate(QOXContext* context, QOXPipeline** slot, uint32_t algorithm, QOXError* error,
                                     const QOXEnv* env) {
  QOXError scratch = kQOXErrNoErr;
  QOXError& err = error != nullptr ? *error : scratch;
  err = kQOXErrNoErr;
  if (algorithm != kQOXCompressionZIP) {
    err = kQOXErrBadPacket;
    return nullptr;
  }
  auto* budget = env != nullptr ? static_cast<QOXInflateBudget*>(qoxenvGetPointer(env, kQOXEnvInflateBudget, nullptr))
                                : nullptr;
  QOXPipeline** tail = infModCreate(context, slot, budget);
  if (tail == nullptr) err = slot == nullptr ? kQOXErrBadParams : kQOXErrOutOfMemory;
  return tail;
}
