// The copy module: every operation goes to the tail unchanged.
#include "pipeline/generic_modules.h"
#include "pipeline/module_support.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;

namespace {

struct Copy {
  QOXPipeline* tail;
};

QOXPipeline* Tail(QOXPipeline* m) { return StateOf<Copy>(m)->tail; }

// A copy module without a tail refuses everything with -12000.
size_t CopyWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  if (Tail(m) == nullptr) {
    *error = kQOXErrBadParams;
    return 0;
  }
  return Tail(m)->write(Tail(m), bytes, count, error);
}
QOXError CopyFlush(QOXPipeline* m) { return Tail(m) ? Tail(m)->flush(Tail(m)) : kQOXErrBadParams; }
QOXError CopyAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  return Tail(m) ? Tail(m)->annotate(Tail(m), origin, type, data, count) : kQOXErrBadParams;
}
QOXError CopySizeAdvise(QOXPipeline* m, uint64_t bytes) {
  return Tail(m) ? Tail(m)->sizeAdvise(Tail(m), bytes) : kQOXErrBadParams;
}
QOXError CopyTeardown(QOXPipeline* m) {
  qoxPipelineTeardown(Tail(m));
  FreeModule<Copy>(m);
  return kQOXErrNoErr;
}
constexpr ModuleOps kCopyOps = {CopyWrite, CopyFlush, CopyAnnotate, CopySizeAdvise, CopyTeardown};

}  // namespace

QOXPipeline** qoxCopyModCreate(QOXContext* context, QOXPipeline** slot) {
  if (slot == nullptr) return nullptr;
  QOXPipeline* m = NewModule<Copy>(context, kQOXMagicCopy, "Copy Module", kCopyOps);
  if (m == nullptr) return nullptr;
  Copy* s = StateOf<Copy>(m);
  s->tail = *slot;
  *slot = m;
  return &s->tail;
}
