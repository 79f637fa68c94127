// The file read pump.
#include "pipeline/file_read_pump.h"

#include <algorithm>
#include <cstring>

#include "foundation/context.h"
#include "foundation/file.h"

namespace {

void Compact(QOXPipeModule* p) {
  size_t unsent = p->bufferCount - p->readPosition;
  if (p->readPosition > 0 && unsent > 0) std::memmove(p->buffer, p->buffer + p->readPosition, unsent);
  p->readPosition = 0;
  p->bufferCount = unsent;
}

bool Advised(const QOXPipeModule* p) { return p->sizeAdvisedState == 1; }

}  // namespace

QOXPipeModule* qoxQOXFileReadCreate(QOXContext* context, QOXFile* file, int closeFile) {
  if (file == nullptr) return nullptr;
  auto* p = static_cast<QOXPipeModule*>(qoxContextMemAlloc(context, sizeof(QOXPipeModule), kQOXMemoryMgrFlags_Clear));
  if (p == nullptr) return nullptr;
  p->context = context;
  p->file = file;
  p->closeFile = closeFile != 0;
  QOXFileOffset size = file->sizeAdvise(file);
  if (size < 0) {
    p->sizeAdvisedState = -1;
  } else {
    p->totalSize = p->stillToCome = static_cast<uint64_t>(size);
  }
  return p;
}

QOXPipeModule* qoxFileReadCreate(QOXContext* context, FILE* stream, int closeStream) {
  QOXFile* file = qoxFileReadOpen(context, stream);
  if (file == nullptr) return nullptr;
  // The wrapper is the pump's; the stream is closed only when asked.
  if (closeStream == 0) static_cast<QOXStdioFilePrivate*>(file->priv)->flags |= kQOXFileFlag_NeverClose;
  QOXPipeModule* p = qoxQOXFileReadCreate(context, file, 1);
  if (p == nullptr) {
    static_cast<QOXStdioFilePrivate*>(file->priv)->flags |= kQOXFileFlag_NeverClose;
    file->close(file);
  }
  return p;
}

void qoxFileReadSetCallBack(QOXPipeModule* pump, QOXFileReadProgress progress, void* arg) {
  if (pump == nullptr) return;
  pump->progress = progress;
  pump->progressArg = arg;
}

QOXError qoxFileReadPump(QOXPipeModule* p, QOXPipeline* head) {
  if (p == nullptr || head == nullptr) return kQOXErrBadParams;
  QOXError err = kQOXErrNoErr;
  if (p->sizeAdvisedState == 0) {
    err = head->sizeAdvise(head, p->stillToCome);
    if (err != kQOXErrNoErr) return err;
  }
  if (p->annotationState == 0) {
    err = head->annotate(head, nullptr, kQOXAnnInputBegin, nullptr, 0);
    if (err != kQOXErrNoErr) return err;
    p->annotationState = 1;
  }
  if (p->sizeAdvisedState == 0) {
    err = head->sizeAdvise(head, p->stillToCome);
    if (err != kQOXErrNoErr) return err;
    p->sizeAdvisedState = 1;
  }
  for (;;) {
    while (p->readPosition < p->bufferCount) {
      size_t sent = 0;
      err = qoxPipelineWriteAll(head, p->buffer + p->readPosition, p->bufferCount - p->readPosition, &sent);
      p->readPosition += sent;
      p->stillToCome -= std::min<uint64_t>(sent, p->stillToCome);
      if (err != kQOXErrNoErr) return err;
      if (p->progress != nullptr) {
        err = p->progress(p->progressArg, p->totalSize - p->stillToCome, p->totalSize);
        if (err != kQOXErrNoErr) return err;
      }
    }
    p->readPosition = p->bufferCount = 0;
    bool atEnd = p->file->eof(p->file);
    size_t got = atEnd ? 0 : p->file->read(p->buffer, sizeof p->buffer, p->file);
    if (got == 0) {
      // A failed read is not the end of the file.
      if (!atEnd && p->file->error(p->file) != nullptr) return kQOXErrReadFailed;
      if (Advised(p) && p->stillToCome > 0) return kQOXErrSizeAdviseFailure;
      break;
    }
    p->bufferCount = got;
  }
  err = head->sizeAdvise(head, 0);
  if (err != kQOXErrNoErr) return err;
  if (p->annotationState < 2) {
    err = head->annotate(head, nullptr, kQOXAnnInputEnd, nullptr, 0);
    if (err != kQOXErrNoErr) return err;
    p->annotationState = 2;
  }
  return kQOXErrNoErr;
}

const uint8_t* qoxFileReadPeek(QOXPipeModule* p, size_t* count) {
  if (count != nullptr) *count = 0;
  if (p == nullptr || count == nullptr) return nullptr;
  Compact(p);
  while (p->bufferCount < sizeof p->buffer && !p->file->eof(p->file)) {
    size_t got = p->file->read(p->buffer + p->bufferCount, sizeof p->buffer - p->bufferCount, p->file);
    if (got == 0) break;
    p->bufferCount += got;
  }
  *count = p->bufferCount;
  return p->buffer;
}

QOXError qoxFileReadClose(QOXPipeModule* p, QOXPipeline* head) {
  if (p == nullptr || head == nullptr) return kQOXErrBadParams;
  if (p->annotationState >= 2) return kQOXErrNoErr;
  QOXError err = head->annotate(head, nullptr, kQOXAnnInputEnd, nullptr, 0);
  if (err == kQOXErrNoErr) p->annotationState = 2;
  return err;
}

void qoxFileReadDestroy(QOXPipeModule* p) {
  if (p == nullptr) return;
  if (p->closeFile && p->file != nullptr) p->file->close(p->file);
  QOXContext* context = p->context;
  std::memset(p, 0, sizeof *p);
  qoxContextMemFree(context, p);
}
