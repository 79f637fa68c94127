// The file FIFO: bytes parked in a temporary file, enciphered.
//
// Every byte is encrypted with the encrypting CFB context on its way into
// the file and decrypted exactly once, in the same order, with the
// decrypting context on its way out; both contexts start from one key and
// IV drawn from a fresh random generator and never leave memory, so the two
// key streams stay in step and the file never holds plaintext. The file is
// reused from offset 0 whenever it has been read empty. Reads go through a
// 1024-byte buffer holding decrypted bytes from the read offset on
// (`bufferedEnd` is the offset up to which it holds them); writes encrypt
// through a separate staging buffer, so a write between a peek and its seek
// leaves the peeked bytes intact.
#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "crypto/cfb.h"
#include "crypto/cipher.h"
#include "crypto/random_pool.h"
#include "crypto/x917.h"
#include "foundation/context.h"
#include "foundation/file.h"
#include "foundation/file_spec.h"
#include "foundation/random_context.h"
#include "pipeline/fifo.h"

namespace {

constexpr size_t kBufferSize = 1024;
constexpr size_t kIVBytesDrawn = 20;

struct FileFifo {
  QOXContext* context;
  FILE* stream;
  PFLFileSpec* fileSpec;
  uint8_t* buffer;  // kBufferSize: decrypted bytes from readOffset on
  uint64_t writeOffset;
  uint64_t readOffset;
  uint64_t bufferedEnd;
  QOXCFBContext* decrypt;
  QOXCFBContext* encrypt;
  uint8_t staging[kBufferSize];
};

FileFifo* Of(QOXFifo* fifo) { return reinterpret_cast<FileFifo*>(fifo); }
const FileFifo* Of(const QOXFifo* fifo) { return reinterpret_cast<const FileFifo*>(fifo); }

void DestroyRandom(QOXContext* context, QOXRandomContext* rc) {
  if (rc == nullptr) return;
  if (rc->destroy != nullptr) {
    rc->destroy(rc);
  } else {
    qoxContextMemFree(context, rc);
  }
}

// Keys both CFB contexts from one random key and IV.
QOXError InitCfbs(FileFifo* f) {
  const QOXCipherVTBL* vtbl = qoxCipherGetVTBL(qoxFIPSModeEnabled() ? 2 : 3);
  if (vtbl == nullptr) return kQOXErrFeatureNotAvailable;
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(f->context);
  QOXRandomContext* rc = qoxRandomCreate(f->context);
  if (rc == nullptr) return kQOXErrOutOfMemory;
  auto* material = static_cast<uint8_t*>(QOXNewSecureData(mgr, vtbl->keySize + kIVBytesDrawn, 0));
  if (material == nullptr) {
    DestroyRandom(f->context, rc);
    return kQOXErrOutOfMemory;
  }
  qoxRandomGetBytes(rc, material, vtbl->keySize + kIVBytesDrawn);
  DestroyRandom(f->context, rc);
  QOXError err = kQOXErrOutOfMemory;
  f->decrypt = qoxCFBCreate(mgr, vtbl);
  if (f->decrypt != nullptr) {
    err = QOXInitCFB(f->decrypt, material, material + vtbl->keySize);
    if (err == kQOXErrNoErr) err = QOXCopyCFBContext(f->decrypt, &f->encrypt);
  }
  std::memset(material, 0, vtbl->keySize + kIVBytesDrawn);
  QOXFreeData(material);
  return err;
}

// Puts the decrypting context where the encrypting one stands (CFB state
// is the last ciphertext block, the same in both directions), for when
// stored bytes are dropped without being decrypted.
void AlignDecryptToEncrypt(FileFifo* f) {
  QOXCFBUnit* d = f->decrypt->Unit(0);
  const QOXCFBUnit* e = f->encrypt->Unit(0);
  std::memcpy(d->previous, e->previous, sizeof d->previous);
  std::memcpy(d->feedback, e->feedback, sizeof d->feedback);
  d->available = e->available;
}

void ResetIfEmpty(FileFifo* f) {
  if (f->readOffset == f->writeOffset) f->readOffset = f->writeOffset = f->bufferedEnd = 0;
}

size_t Buffered(const FileFifo* f) {
  return f->bufferedEnd > f->readOffset ? static_cast<size_t>(f->bufferedEnd - f->readOffset) : 0;
}

// Consumes n buffered bytes (n at most what is buffered).
void ConsumeBuffered(FileFifo* f, size_t n) {
  size_t held = Buffered(f);
  f->readOffset += n;
  if (n < held) std::memmove(f->buffer, f->buffer + n, held - n);
  ResetIfEmpty(f);
}

bool SeekTo(FILE* stream, uint64_t offset) { return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0; }

void Free(FileFifo* f) {
  if (f->stream != nullptr) std::fclose(f->stream);
  if (f->fileSpec != nullptr) {
    PFLFileSpecDelete(f->fileSpec);
    PFLFreeFileSpec(f->fileSpec);
  }
  if (f->decrypt != nullptr) QOXFreeCFBContext(f->decrypt);
  if (f->encrypt != nullptr) QOXFreeCFBContext(f->encrypt);
  if (f->buffer != nullptr) {
    std::memset(f->buffer, 0, kBufferSize);
    qoxContextMemFree(f->context, f->buffer);
  }
  QOXContext* context = f->context;
  std::memset(f, 0, sizeof *f);
  qoxContextMemFree(context, f);
}

}  // namespace

QOXFifo* fileFifoCreate(QOXContext* context) {
  auto* f = static_cast<FileFifo*>(qoxContextMemAlloc(context, sizeof(FileFifo), kQOXMemoryMgrFlags_Clear));
  if (f == nullptr) return nullptr;
  f->context = context;
  f->buffer = static_cast<uint8_t*>(qoxContextMemAlloc(context, kBufferSize, kQOXMemoryMgrFlags_Clear));
  if (f->buffer == nullptr || InitCfbs(f) != kQOXErrNoErr) {
    Free(f);
    return nullptr;
  }
  QOXError err = kQOXErrNoErr;
  f->stream = qoxStdIOOpenTempFile(context, &f->fileSpec, &err);
  if (f->stream == nullptr) {
    Free(f);
    return nullptr;
  }
  return reinterpret_cast<QOXFifo*>(f);
}

int64_t fileFifoWrite(QOXFifo* fifo, const uint8_t* bytes, size_t count) {
  FileFifo* f = Of(fifo);
  if (count == 0) return 0;
  if (!SeekTo(f->stream, f->writeOffset)) return kQOXErrFileOpError;
  size_t done = 0;
  while (done < count) {
    size_t n = std::min(count - done, kBufferSize);
    qoxCFBEncryptInternal(f->encrypt, bytes + done, n, f->staging);
    size_t put = std::fwrite(f->staging, 1, n, f->stream);
    f->writeOffset += put;
    done += put;
    if (put != n) {
      // The key stream moved past bytes that did not reach the file: the
      // FIFO cannot go on in step, so nothing more is accepted.
      std::memset(f->staging, 0, sizeof f->staging);
      return kQOXErrWriteFailed;
    }
  }
  std::memset(f->staging, 0, sizeof f->staging);
  return static_cast<int64_t>(done);
}

const uint8_t* fileFifoPeek(QOXFifo* fifo, size_t* count) {
  FileFifo* f = Of(fifo);
  *count = 0;
  if (f->readOffset == f->writeOffset) return nullptr;
  if (Buffered(f) > 0) {
    *count = Buffered(f);
    return f->buffer;
  }
  size_t want = static_cast<size_t>(std::min<uint64_t>(kBufferSize, f->writeOffset - f->readOffset));
  if (!SeekTo(f->stream, f->readOffset)) return nullptr;
  size_t got = std::fread(f->buffer, 1, want, f->stream);
  if (got != want) return nullptr;  // nothing decrypted: the contexts stay in step
  qoxCFBDecryptInternal(f->decrypt, f->buffer, got, f->buffer);
  f->bufferedEnd = f->readOffset + got;
  *count = got;
  return f->buffer;
}

int64_t fileFifoRead(QOXFifo* fifo, uint8_t* buffer, size_t count) {
  FileFifo* f = Of(fifo);
  size_t done = std::min(count, Buffered(f));
  if (done > 0) {
    std::memcpy(buffer, f->buffer, done);
    ConsumeBuffered(f, done);
  }
  if (done == count || f->readOffset == f->writeOffset) return static_cast<int64_t>(done);
  size_t want = static_cast<size_t>(std::min<uint64_t>(count - done, f->writeOffset - f->readOffset));
  // A failure after buffered bytes were served reports those bytes; the
  // next read meets the failure again.
  if (!SeekTo(f->stream, f->readOffset)) return done > 0 ? static_cast<int64_t>(done) : kQOXErrFileOpError;
  size_t got = std::fread(buffer + done, 1, want, f->stream);
  if (got != want) {
    std::memset(buffer + done, 0, got);
    return done > 0 ? static_cast<int64_t>(done) : kQOXErrReadFailed;
  }
  qoxCFBDecryptInternal(f->decrypt, buffer + done, got, buffer + done);
  f->readOffset += got;
  ResetIfEmpty(f);
  return static_cast<int64_t>(done + got);
}

void fileFifoSeek(QOXFifo* fifo, size_t count) {
  FileFifo* f = Of(fifo);
  size_t fromBuffer = std::min(count, Buffered(f));
  ConsumeBuffered(f, fromBuffer);
  // Bytes never peeked are still decrypted, so the key streams stay in step.
  size_t rest = count - fromBuffer;
  uint8_t scratch[256];
  while (rest > 0 && f->readOffset < f->writeOffset) {
    int64_t got = fileFifoRead(fifo, scratch, std::min(rest, sizeof scratch));
    if (got <= 0) break;
    rest -= static_cast<size_t>(got);
  }
  std::memset(scratch, 0, sizeof scratch);
}

void fileFifoFlush(QOXFifo* fifo) {
  FileFifo* f = Of(fifo);
  std::memset(f->buffer, 0, kBufferSize);
  f->readOffset = f->writeOffset = f->bufferedEnd = 0;
  AlignDecryptToEncrypt(f);
}

void fileFifoDestroy(QOXFifo* fifo) {
  if (fifo != nullptr) Free(Of(fifo));
}

uint64_t fileFifoSize(const QOXFifo* fifo) {
  const FileFifo* f = Of(fifo);
  return f->writeOffset - f->readOffset;
}

const QOXFifoDesc qoxFileFifoDesc = {
    "File Fifo",  fileFifoCreate, fileFifoRead,    fileFifoWrite, fileFifoPeek,
    fileFifoSeek, fileFifoFlush,  fileFifoDestroy, fileFifoSize,
};
