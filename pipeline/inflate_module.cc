// The inflation module: a raw deflate stream in, the decoded bytes out.
#include "pipeline/compression.h"
#include "pipeline/inflate.h"
#include "pipeline/module_support.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;
using qox_pipeline::TrackDepth;

namespace {

struct Inflation {
  QOXInflate* decoder;
  QOXPipeline* tail;
  uint32_t depth;
  QOXInflateBudget* budget;  // shared by the job's inflate modules, or null
};

Inflation* I(QOXPipeline* m) { return StateOf<Inflation>(m); }

// Offers the decoded bytes to the tail until none are left; *moved tells
// whether any went.
QOXError Drain(Inflation* s, bool* moved) {
  if (s->tail == nullptr) return kQOXErrBadParams;
  for (;;) {
    size_t count = 0;
    const uint8_t* p = infGetBytes(s->decoder, &count);
    if (p == nullptr) return kQOXErrNoErr;
    if (s->budget != nullptr) {
      if (count > s->budget->left) return kQOXErrDecompressionFailed;
      s->budget->left -= count;
    }
    size_t sent = 0;
    QOXError err = qoxPipelineWriteAll(s->tail, p, count, &sent);
    infSkipBytes(s->decoder, sent);
    if (sent > 0 && moved != nullptr) *moved = true;
    if (err != kQOXErrNoErr) return err;
  }
}

size_t InfWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  Inflation* s = I(m);
  *error = Drain(s, nullptr);
  if (*error != kQOXErrNoErr) return 0;
  size_t consumed = 0;
  while (consumed < count) {
    int status = 0;
    size_t took = infWrite(s->decoder, bytes + consumed, count - consumed, &status);
    consumed += took;
    if (status < 0) {
      *error = kQOXErrDecompressionFailed;
      return consumed;
    }
    bool moved = false;
    *error = Drain(s, &moved);
    if (*error != kQOXErrNoErr) return consumed;
    if (took == 0 && !moved) {
      // Neither input taken nor output made: the decoder cannot go on.
      *error = kQOXErrDecompressionFailed;
      return consumed;
    }
  }
  return consumed;
}

QOXError InfFlush(QOXPipeline* m) {
  QOXError err = Drain(I(m), nullptr);
  return err != kQOXErrNoErr ? err : I(m)->tail->flush(I(m)->tail);
}

QOXError InfAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  Inflation* s = I(m);
  QOXError err = Drain(s, nullptr);
  if (err != kQOXErrNoErr) return err;
  TrackDepth(type, &s->depth);
  return s->tail->annotate(s->tail, origin, type, data, count);
}

QOXError InfSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  Inflation* s = I(m);
  if (s->tail == nullptr) return kQOXErrBadParams;
  // The output's size does not follow from the input's: only the end goes on.
  if (bytes != 0) return kQOXErrNoErr;
  if (s->depth != 0) return s->tail->sizeAdvise(s->tail, 0);
  if (infEOF(s->decoder) < 0) return kQOXErrDecompressionFailed;
  QOXError err = Drain(s, nullptr);
  return err != kQOXErrNoErr ? err : s->tail->sizeAdvise(s->tail, 0);
}

QOXError InfTeardown(QOXPipeline* m) {
  Inflation* s = I(m);
  qoxPipelineTeardown(s->tail);
  infFree(s->decoder);
  FreeModule<Inflation>(m);
  return kQOXErrNoErr;
}

constexpr ModuleOps kInflateOps = {InfWrite, InfFlush, InfAnnotate, InfSizeAdvise, InfTeardown};

}  // namespace

QOXPipeline** infModCreate(QOXContext* context, QOXPipeline** slot, QOXInflateBudget* budget) {
  if (slot == nullptr) return nullptr;
  QOXPipeline* m = NewModule<Inflation>(context, kQOXMagicInflate, "Inflation Module", kInflateOps);
  if (m == nullptr) return nullptr;
  Inflation* s = I(m);
  s->decoder = infAlloc(context);
  if (s->decoder == nullptr) {
    FreeModule<Inflation>(m);
    return nullptr;
  }
  s->tail = *slot;
  s->budget = budget;
  *slot = m;
  return &s->tail;
}
