// The split module: one stream to up to two tails.
//
// Bytes go out in chunks of at most 1024, each chunk to every tail in turn.
// When a tail fails inside a chunk, the chunk stays in the buffer with the
// index of that tail and how far it got: the next call first delivers the
// rest to that tail and the whole chunk to the tails after it. The chunk
// counts as taken, so the writer never offers it again and every tail sees
// exactly the same stream.
#include <algorithm>
#include <cstring>

#include "pipeline/generic_modules.h"
#include "pipeline/module_support.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;
using qox_pipeline::TrackDepth;

namespace {

constexpr size_t kChunk = 1024;
constexpr uint32_t kMaxTails = 2;

struct Split {
  uint8_t buffer[kChunk];
  size_t pendingStart;  // where the tail `nextTail` resumes
  size_t pendingEnd;    // chunk length; 0 when nothing is pending
  uint32_t nextTail;
  uint32_t tailCount;
  QOXPipeline* tails[kMaxTails];
  uint32_t depth;
};

Split* S(QOXPipeline* m) { return StateOf<Split>(m); }

// Delivers a held chunk; nothing is pending afterwards unless an error is
// returned.
QOXError DeliverPending(Split* s) {
  while (s->pendingEnd > 0) {
    QOXPipeline* tail = s->tails[s->nextTail];
    size_t sent = 0;
    QOXError err = qoxPipelineWriteAll(tail, s->buffer + s->pendingStart, s->pendingEnd - s->pendingStart, &sent);
    s->pendingStart += sent;
    if (err != kQOXErrNoErr) return err;
    s->pendingStart = 0;
    if (++s->nextTail == s->tailCount) {
      s->nextTail = 0;
      std::memset(s->buffer, 0, s->pendingEnd);
      s->pendingEnd = 0;
    }
  }
  return kQOXErrNoErr;
}

size_t SplitWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  Split* s = S(m);
  *error = DeliverPending(s);
  if (*error != kQOXErrNoErr) return 0;
  size_t done = 0;
  while (done < count) {
    size_t n = std::min(count - done, kChunk);
    for (uint32_t i = 0; i < s->tailCount; ++i) {
      size_t sent = 0;
      QOXError err = qoxPipelineWriteAll(s->tails[i], bytes + done, n, &sent);
      if (err != kQOXErrNoErr) {
        std::memcpy(s->buffer, bytes + done, n);
        s->pendingEnd = n;
        s->pendingStart = sent;
        s->nextTail = i;
        if (sent == n) {
          // That tail has it all; the rest of the tails still need it.
          s->pendingStart = 0;
          if (++s->nextTail == s->tailCount) s->pendingEnd = 0, s->nextTail = 0;
        }
        *error = err;
        return done + n;
      }
    }
    done += n;
  }
  return done;
}

QOXError SplitFlush(QOXPipeline* m) {
  Split* s = S(m);
  QOXError err = DeliverPending(s);
  for (uint32_t i = 0; i < s->tailCount && err == kQOXErrNoErr; ++i) err = s->tails[i]->flush(s->tails[i]);
  return err;
}

QOXError SplitAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  Split* s = S(m);
  QOXError err = DeliverPending(s);
  if (err != kQOXErrNoErr) return err;
  TrackDepth(type, &s->depth);
  return s->tails[0]->annotate(s->tails[0], origin, type, data, count);
}

QOXError SplitSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  Split* s = S(m);
  QOXError err = DeliverPending(s);
  uint32_t reach = s->depth != 0 ? 1 : s->tailCount;
  for (uint32_t i = 0; i < reach && err == kQOXErrNoErr; ++i) err = s->tails[i]->sizeAdvise(s->tails[i], bytes);
  return err;
}

QOXError SplitTeardown(QOXPipeline* m) {
  Split* s = S(m);
  for (uint32_t i = 0; i < s->tailCount; ++i) qoxPipelineTeardown(s->tails[i]);
  FreeModule<Split>(m);
  return kQOXErrNoErr;
}

constexpr ModuleOps kSplitOps = {SplitWrite, SplitFlush, SplitAnnotate, SplitSizeAdvise, SplitTeardown};

}  // namespace

QOXPipeline** qoxSplitCreate(QOXContext* context, QOXPipeline** slot) {
  if (slot == nullptr) return nullptr;
  QOXPipeline* m = NewModule<Split>(context, kQOXMagicSplit, "Split module", kSplitOps);
  if (m == nullptr) return nullptr;
  Split* s = S(m);
  s->tailCount = 1;
  s->tails[0] = *slot;
  *slot = m;
  return &s->tails[0];
}

QOXPipeline** qoxSplitAdd(QOXPipeline* split) {
  if (split == nullptr || split->magic != kQOXMagicSplit) return nullptr;
  Split* s = S(split);
  if (s->tailCount >= kMaxTails || s->pendingEnd > 0) return nullptr;
  return &s->tails[s->tailCount++];
}
