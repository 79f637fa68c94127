// FIFOs: where pipeline modules park bytes, behind one operations table.
//
// Four interchangeable tables (QOXFifoDesc):
//   qoxByteFifoDesc        "Byte Fifo": a chain of memory blocks, each 1020
//                          data bytes behind a link to the next block.
//   qoxSecureByteFifoDesc  "Secure Byte Fifo": the same over secure memory.
//   qoxFileFifoDesc        "File Fifo": a temporary file (qoxStdIOOpenTempFile)
//                          whose contents are enciphered in CFB mode (3DES in
//                          FIPS mode, else CAST5) under a random key that
//                          lives only in memory; read back through a
//                          1024-byte buffer.
//   qoxFlexFifoDesc        "Flex Byte/File Fifo": a byte FIFO that moves
//                          everything to a file FIFO once it would hold more
//                          than 49152 bytes.
//
// Contracts shared by every table:
//   create(context)         a new empty FIFO, or null.
//   write(f, bytes, n)      bytes accepted, or a negative error code. A
//                           memory FIFO reports exhausted memory only by
//                           accepting fewer bytes than given.
//   read(f, buffer, n)      bytes copied out (0 when empty), or a negative
//                           error code when the file under a FIFO fails.
//   peek(f, &n)             a contiguous readable run at the front and its
//                           length (null and 0 when empty or on failure);
//                           valid until the next call other than write.
//   seek(f, n)              consumes n bytes of what peek showed.
//   flush(f)                discards everything held.
//   destroy(f)              discards everything and frees the FIFO.
//   size(f)                 bytes held.
// Bytes come out exactly once, in the order they went in, whatever the mix
// of reads, peeks, seeks and writes. Memory is wiped before it is freed.
//
// Threads: a FIFO belongs to the module that made it, one thread at a time.
#ifndef OSTRAK_PIPELINE_FIFO_H_
#define OSTRAK_PIPELINE_FIFO_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXFifo;  // the FIFO of one of the tables; only its table knows it

struct QOXFifoDesc {
  const char* name;
  QOXFifo* (*create)(QOXContext* context);
  int64_t (*read)(QOXFifo* fifo, uint8_t* buffer, size_t count);
  int64_t (*write)(QOXFifo* fifo, const uint8_t* bytes, size_t count);
  const uint8_t* (*peek)(QOXFifo* fifo, size_t* count);
  void (*seek)(QOXFifo* fifo, size_t count);
  void (*flush)(QOXFifo* fifo);
  void (*destroy)(QOXFifo* fifo);
  uint64_t (*size)(const QOXFifo* fifo);
};

extern const QOXFifoDesc qoxByteFifoDesc;
extern const QOXFifoDesc qoxSecureByteFifoDesc;
extern const QOXFifoDesc qoxFileFifoDesc;
extern const QOXFifoDesc qoxFlexFifoDesc;

// Data bytes of one byte-FIFO block.
inline constexpr size_t kQOXByteFifoBlockData = 1020;
// What a flex FIFO keeps in memory before it moves to a file.
inline constexpr uint64_t kQOXFlexFifoLimit = 49152;

// --- Byte FIFO operations (also reached through the tables) ---
QOXFifo* byteFifoCreate(QOXContext* context);
QOXFifo* byteFifoCreateSecure(QOXContext* context);
int64_t byteFifoRead(QOXFifo* fifo, uint8_t* buffer, size_t count);
int64_t byteFifoWrite(QOXFifo* fifo, const uint8_t* bytes, size_t count);
const uint8_t* byteFifoPeek(QOXFifo* fifo, size_t* count);
void byteFifoSeek(QOXFifo* fifo, size_t count);
void byteFifoFlush(QOXFifo* fifo);
void byteFifoDestroy(QOXFifo* fifo);
uint64_t byteFifoSize(const QOXFifo* fifo);
// Writable room at the end of the last block (a new block of 1020 bytes
// when the last is full or there is none); null and 0 when memory runs out.
uint8_t* byteFifoGetSpace(QOXFifo* fifo, size_t* count);
// Commits count bytes written into the room byteFifoGetSpace gave.
void byteFifoSkipSpace(QOXFifo* fifo, size_t count);
// Calls visit on every run of held bytes, front to back, without consuming
// them; stops at the first error visit returns and returns it.
QOXError byteFifoVisit(const QOXFifo* fifo, QOXError (*visit)(void* arg, const uint8_t* run, size_t count),
                       void* arg);

// --- File FIFO operations ---
QOXFifo* fileFifoCreate(QOXContext* context);
int64_t fileFifoRead(QOXFifo* fifo, uint8_t* buffer, size_t count);
int64_t fileFifoWrite(QOXFifo* fifo, const uint8_t* bytes, size_t count);
const uint8_t* fileFifoPeek(QOXFifo* fifo, size_t* count);
void fileFifoSeek(QOXFifo* fifo, size_t count);
void fileFifoFlush(QOXFifo* fifo);
void fileFifoDestroy(QOXFifo* fifo);
uint64_t fileFifoSize(const QOXFifo* fifo);

// --- Flex FIFO operations ---
QOXFifo* flexFifoCreate(QOXContext* context);
int64_t flexFifoRead(QOXFifo* fifo, uint8_t* buffer, size_t count);
int64_t flexFifoWrite(QOXFifo* fifo, const uint8_t* bytes, size_t count);
const uint8_t* flexFifoPeek(QOXFifo* fifo, size_t* count);
void flexFifoSeek(QOXFifo* fifo, size_t count);
void flexFifoFlush(QOXFifo* fifo);
void flexFifoDestroy(QOXFifo* fifo);
uint64_t flexFifoSize(const QOXFifo* fifo);
// True once a flex FIFO keeps its bytes in a file FIFO.
bool flexFifoInFile(const QOXFifo* fifo);

#endif  // OSTRAK_PIPELINE_FIFO_H_
