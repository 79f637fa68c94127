// Choosing the decompressing module by the packet's algorithm byte.
#include "pipeline/compression.h"
#include "pipeline/inflate.h"

QOXPipeline** qoxDecompressModCreate(QOXContext* context, QOXPipeline** slot, uint32_t algorithm, QOXError* error) {
  QOXError scratch = kQOXErrNoErr;
  QOXError& err = error != nullptr ? *error : scratch;
  err = kQOXErrNoErr;
  if (algorithm != kQOXCompressionZIP) {
    err = kQOXErrBadPacket;
    return nullptr;
  }
  QOXPipeline** tail = infModCreate(context, slot);
  if (tail == nullptr) err = slot == nullptr ? kQOXErrBadParams : kQOXErrOutOfMemory;
  return tail;
}
