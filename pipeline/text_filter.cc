// The text filter: line ends, trailing blanks and the character map.
//
// Output is built in a 1024-byte buffer that is emptied downstream before
// more input is filtered. With the strip flag, a run of spaces and tabs is
// held back (in a byte FIFO, so a run of any length keeps its exact bytes)
// until the next byte shows whether it ends a line: before CR or LF, or at
// the end of the data, the run is dropped; before anything else it is
// emitted through the map. After a CR that became a converted line end, an
// LF is skipped, so CR LF is one line end.
#include <algorithm>

#include "pipeline/generic_modules.h"
#include "pipeline/module_support.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;

namespace {

constexpr size_t kOut = 1024;
constexpr uint8_t kCR = '\r';
constexpr uint8_t kLF = '\n';

struct TextFilter {
  uint8_t out[kOut];
  size_t pendingStart;
  size_t pendingCount;
  QOXPipeline* tail;
  const uint8_t* map;  // null: unchanged
  uint32_t lineEnd;
  bool strip;
  QOXFifo* held;       // blanks held back
  bool lastWasCR;
};

TextFilter* T(QOXPipeline* m) { return StateOf<TextFilter>(m); }

uint8_t Map(const TextFilter* t, uint8_t b) { return t->map != nullptr ? t->map[b] : b; }

QOXError Drain(TextFilter* t) {
  if (t->pendingCount == 0) return kQOXErrNoErr;
  if (t->tail == nullptr) return kQOXErrBadParams;
  size_t sent = 0;
  QOXError err = qoxPipelineWriteAll(t->tail, t->out + t->pendingStart, t->pendingCount, &sent);
  t->pendingStart += sent;
  t->pendingCount -= sent;
  if (t->pendingCount == 0) t->pendingStart = 0;
  return err;
}

// Moves held blanks into the buffer, as many as fit; true when none remain.
bool EmitHeld(TextFilter* t) {
  for (;;) {
    size_t run = 0;
    const uint8_t* p = byteFifoPeek(t->held, &run);
    if (p == nullptr) return true;
    size_t room = kOut - t->pendingCount;
    size_t n = std::min(run, room);
    for (size_t i = 0; i < n; ++i) t->out[t->pendingCount++] = Map(t, p[i]);
    byteFifoSeek(t->held, n);
    if (n < run) return false;
  }
}

// Filters input into the (empty) buffer until it is full or the input is
// used up; returns the bytes consumed.
size_t Fill(TextFilter* t, const uint8_t* bytes, size_t count, QOXError* error) {
  size_t used = 0;
  while (used < count) {
    uint8_t b = bytes[used];
    size_t room = kOut - t->pendingCount;
    if (b == kCR || b == kLF) {
      if (t->lineEnd != kQOXLineEndKeep) {
        if (b == kLF && t->lastWasCR) {
          t->lastWasCR = false;
          ++used;
          continue;
        }
        if (room < (t->lineEnd == kQOXLineEndCRLF ? 2u : 1u)) break;
        byteFifoFlush(t->held);
        if (t->lineEnd & kQOXLineEndCR) t->out[t->pendingCount++] = kCR;
        if (t->lineEnd & kQOXLineEndLF) t->out[t->pendingCount++] = kLF;
        t->lastWasCR = b == kCR;
      } else {
        if (room < 1) break;
        byteFifoFlush(t->held);
        t->out[t->pendingCount++] = Map(t, b);
        t->lastWasCR = false;
      }
      ++used;
      continue;
    }
    if (t->strip && (b == ' ' || b == '\t')) {
      if (byteFifoWrite(t->held, &b, 1) != 1) {
        *error = kQOXErrOutOfMemory;
        break;
      }
      t->lastWasCR = false;
      ++used;
      continue;
    }
    if (!EmitHeld(t) || t->pendingCount == kOut) break;
    t->out[t->pendingCount++] = Map(t, b);
    t->lastWasCR = false;
    ++used;
  }
  return used;
}

size_t TextWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  TextFilter* t = T(m);
  *error = kQOXErrNoErr;
  size_t used = 0;
  for (;;) {
    *error = Drain(t);
    if (*error != kQOXErrNoErr || used == count) return used;
    size_t step = Fill(t, bytes + used, count - used, error);
    used += step;
    if (*error != kQOXErrNoErr) return used;
    if (step == 0 && t->pendingCount == 0) return used;  // cannot happen: an empty buffer takes a byte
  }
}

QOXError TextFlush(QOXPipeline* m) {
  if (T(m)->tail == nullptr) return kQOXErrBadParams;
  QOXError err = Drain(T(m));
  return err != kQOXErrNoErr ? err : T(m)->tail->flush(T(m)->tail);
}

QOXError TextAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  if (T(m)->tail == nullptr) return kQOXErrBadParams;
  QOXError err = Drain(T(m));
  return err != kQOXErrNoErr ? err : T(m)->tail->annotate(T(m)->tail, origin, type, data, count);
}

QOXError TextSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  TextFilter* t = T(m);
  if (t->tail == nullptr) return kQOXErrBadParams;
  QOXError err = Drain(t);
  if (err != kQOXErrNoErr) return err;
  bool sizeKept = t->lineEnd == kQOXLineEndKeep && !t->strip;
  if (bytes != 0 && !sizeKept) return kQOXErrNoErr;
  // The end of the data: blanks still held are trailing and never go out.
  if (bytes == 0) byteFifoFlush(t->held);
  return t->tail->sizeAdvise(t->tail, bytes);
}

QOXError TextTeardown(QOXPipeline* m) {
  TextFilter* t = T(m);
  qoxPipelineTeardown(t->tail);
  if (t->held != nullptr) byteFifoDestroy(t->held);
  FreeModule<TextFilter>(m);
  return kQOXErrNoErr;
}

constexpr ModuleOps kTextOps = {TextWrite, TextFlush, TextAnnotate, TextSizeAdvise, TextTeardown};

}  // namespace

QOXPipeline** qoxTextFiltCreate(QOXContext* context, QOXPipeline** slot, const uint8_t* charMap,
                                bool stripTrailingBlanks, uint32_t lineEndType) {
  if (slot == nullptr || lineEndType > kQOXLineEndCRLF) return nullptr;
  QOXPipeline* m = NewModule<TextFilter>(context, kQOXMagicTextFilter, "Text Filter Module", kTextOps);
  if (m == nullptr) return nullptr;
  TextFilter* t = T(m);
  t->held = byteFifoCreate(context);
  if (t->held == nullptr) {
    FreeModule<TextFilter>(m);
    return nullptr;
  }
  t->map = charMap;
  t->strip = stripTrailingBlanks;
  t->lineEnd = lineEndType;
  t->tail = *slot;
  *slot = m;
  return &t->tail;
}
