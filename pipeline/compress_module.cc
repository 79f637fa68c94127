// The compression module: bytes in, a raw deflate stream out, wrapped by an
// add-header module into a compressed data packet.
#include "pipeline/add_header.h"
#include "pipeline/compression.h"
#include "pipeline/deflate.h"
#include "pipeline/module_support.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;
using qox_pipeline::TrackDepth;

namespace {

struct Deflation {
  QOXFifo* fifo;  // finished bytes waiting for the tail
  QOXPipeline* tail;
  QOXDeflateMatch* match;
  QOXDeflateTrees* trees;
  QOXBitWriter* writer;
  bool finished;
  uint32_t depth;
};

Deflation* D(QOXPipeline* m) { return StateOf<Deflation>(m); }

// Commits the finished bytes and offers everything held to the tail. A FIFO
// that could not grow lost bytes: that is -11999, whatever the tail says.
QOXError Drain(Deflation* s) {
  bi_flush(s->writer);
  for (;;) {
    size_t count = 0;
    const uint8_t* p = byteFifoPeek(s->fifo, &count);
    if (p == nullptr || count == 0) break;
    size_t sent = 0;
    QOXError err = qoxPipelineWriteAll(s->tail, p, count, &sent);
    byteFifoSeek(s->fifo, sent);
    if (err != kQOXErrNoErr) return err;
  }
  return bi_error(s->writer);
}

size_t DefWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  Deflation* s = D(m);
  if (s->finished) {
    // The stream has ended: nothing more can go into it.
    *error = kQOXErrWriteFailed;
    return 0;
  }
  zip_input(s->match, s->trees, s->writer, bytes, count);
  *error = Drain(s);
  return count;
}

QOXError DefFlush(QOXPipeline* m) {
  Deflation* s = D(m);
  QOXError err = Drain(s);
  return err != kQOXErrNoErr ? err : s->tail->flush(s->tail);
}

QOXError DefAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  Deflation* s = D(m);
  QOXError err = Drain(s);
  if (err != kQOXErrNoErr) return err;
  TrackDepth(type, &s->depth);
  return s->tail->annotate(s->tail, origin, type, data, count);
}

QOXError DefSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  Deflation* s = D(m);
  // The output's size does not follow from the input's; advices inside a
  // scope belong to it.
  if (bytes != 0 || s->depth != 0) return kQOXErrNoErr;
  if (!s->finished) {
    zip_finish(s->match, s->trees, s->writer);
    s->finished = true;
  }
  QOXError err = Drain(s);
  return err != kQOXErrNoErr ? err : s->tail->sizeAdvise(s->tail, 0);
}

QOXError DefTeardown(QOXPipeline* m) {
  Deflation* s = D(m);
  qoxPipelineTeardown(s->tail);
  bi_free(s->writer);
  ct_free(s->trees);
  lm_free(s->match);
  if (s->fifo != nullptr) byteFifoDestroy(s->fifo);
  FreeModule<Deflation>(m);
  return kQOXErrNoErr;
}

constexpr ModuleOps kDeflateOps = {DefWrite, DefFlush, DefAnnotate, DefSizeAdvise, DefTeardown};

// Frees what a module made by MakeDeflate holds, without its tail.
void FreeDeflate(QOXPipeline* m) {
  Deflation* s = D(m);
  s->tail = nullptr;
  DefTeardown(m);
}

QOXPipeline* MakeDeflate(QOXContext* context, uint32_t level) {
  QOXPipeline* m = NewModule<Deflation>(context, kQOXMagicDeflate, "Deflation Module", kDeflateOps);
  if (m == nullptr) return nullptr;
  Deflation* s = D(m);
  s->fifo = byteFifoCreate(context);
  s->match = lm_init(context, level);
  s->trees = ct_init(context);
  s->writer = s->fifo != nullptr ? bi_init(context, s->fifo) : nullptr;
  if (s->fifo == nullptr || s->match == nullptr || s->trees == nullptr || s->writer == nullptr) {
    FreeDeflate(m);
    return nullptr;
  }
  return m;
}

}  // namespace

QOXPipeline** qoxCompressModCreate(QOXContext* context, QOXPipeline** slot, uint32_t version,
                                   const QOXFifoDesc* fifoDesc, uint32_t algorithm, uint32_t level) {
  if (slot == nullptr || algorithm != kQOXCompressionZIP) return nullptr;
  if (level < kQOXDeflateMinLevel || level > kQOXDeflateMaxLevel) return nullptr;
  QOXPipeline* m = MakeDeflate(context, level);
  if (m == nullptr) return nullptr;
  Deflation* s = D(m);
  QOXPipeline* before = *slot;
  s->tail = before;
  const uint8_t prefix[1] = {static_cast<uint8_t>(algorithm)};
  QOXPipeline** tail = qoxAddHeaderCreate(context, &s->tail, version, fifoDesc, kQOXTagCompressed,
                                          kQOXLengthIndeterminate, prefix, sizeof prefix);
  if (tail == nullptr) {
    FreeDeflate(m);
    return nullptr;
  }
  *slot = m;
  return tail;
}
