// The file read pump: feeds a chain from a QOXFile.
//
// It is not a module (the chain does not write into it): the job calls
// qoxFileReadPump, which writes the file's bytes into the head module through
// a 1024-byte buffer, preceded by the file's size advice (a file of unknown
// size never advises) and kQOXAnnInputBegin, and followed by the advice 0
// and kQOXAnnInputEnd. A pump stopped by an error resumes where it stopped
// on the next call. The foundation hands the pump out as QOXPipeModule
// (foundation/file.h: qoxFileRefReadCreate); a pump made that way owns the
// file opened for it and closes it when destroyed.
//
// Ownership: the pump belongs to its creator, who destroys it with
// qoxFileReadDestroy. Threads: one thread at a time.
#ifndef OSTRAK_PIPELINE_FILE_READ_PUMP_H_
#define OSTRAK_PIPELINE_FILE_READ_PUMP_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "foundation/errors.h"
#include "pipeline/pipeline.h"

struct QOXContext;
struct QOXFile;

// Progress: bytes done and the total (0 when unknown); an error stops the pump.
using QOXFileReadProgress = QOXError (*)(void* arg, uint64_t done, uint64_t total);

struct QOXPipeModule {
  QOXContext* context;
  QOXFile* file;
  uint8_t buffer[1024];
  size_t readPosition;     // next unsent byte in buffer
  size_t bufferCount;      // bytes in buffer
  uint64_t totalSize;      // 0 when unknown
  uint64_t stillToCome;
  QOXFileReadProgress progress;
  void* progressArg;
  int annotationState;     // 0 nothing sent, 1 input begin sent, 2 input end sent
  int sizeAdvisedState;    // 0 not yet, 1 done, -1 never (unknown size)
  bool closeFile;          // close the file when destroyed
};

// "File Read Module" over the file; null when memory runs out. With
// closeFile the pump closes the file when destroyed.
QOXPipeModule* qoxQOXFileReadCreate(QOXContext* context, QOXFile* file, int closeFile);
// Wraps the stream as a read QOXFile and pumps it; the stream is closed at
// destroy only with closeStream. Null when memory runs out.
QOXPipeModule* qoxFileReadCreate(QOXContext* context, FILE* stream, int closeStream);
void qoxFileReadSetCallBack(QOXPipeModule* pump, QOXFileReadProgress progress, void* arg);
// Writes the whole file into head; 0 or the first error. A file that ends
// before its advised size gives -11416; one whose read fails, -11990.
QOXError qoxFileReadPump(QOXPipeModule* pump, QOXPipeline* head);
// The buffered bytes, topped up to 1024 from the file (unsent bytes first).
const uint8_t* qoxFileReadPeek(QOXPipeModule* pump, size_t* count);
// Sends kQOXAnnInputEnd to head unless it was sent.
QOXError qoxFileReadClose(QOXPipeModule* pump, QOXPipeline* head);
void qoxFileReadDestroy(QOXPipeModule* pump);

#endif  // OSTRAK_PIPELINE_FILE_READ_PUMP_H_
