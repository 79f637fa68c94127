// The add-header and literal modules.
//
// New-format mode keeps the body in a 4096-byte stage and sends it as
// chunks, each a length header (one or two bytes) and a run of the stage.
// A chunk in progress (its header bytes and the body bytes still to go) is
// part of the state, so a send stopped by the tail resumes exactly where it
// stopped.
#include "pipeline/add_header.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "foundation/byte_order.h"
#include "foundation/context.h"
#include "pipeline/module_support.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;
using qox_pipeline::TrackDepth;

namespace {

constexpr size_t kStage = 4096;
constexpr uint8_t kFullChunk = 0xEC;  // partial length 2^12
constexpr uint8_t kPartialBase = 0xE0;
constexpr uint32_t kLastOldVersion = 3;
constexpr uint32_t kFirstNewOnlyTag = 16;
constexpr size_t kLiteralPrefixMax = 261;

struct AddHeader {
  const QOXFifoDesc* fifoDesc;
  QOXFifo* fifo;  // old format: the body until the size is known
  QOXPipeline* tail;
  uint8_t header[5];
  size_t headerPosition;
  size_t headerLeft;
  bool streaming;  // old format: the header is fixed
  bool promised;
  uint64_t promisedLeft;
  uint32_t version;
  uint32_t tag;
  uint32_t lengthType;
  uint32_t nesting;
  // New format.
  uint8_t* stage;      // kStage body bytes
  size_t stageCount;   // body bytes in the stage
  size_t sendPosition; // next stage byte to send
  uint8_t chunkHeader[2];
  size_t chunkHeaderLeft;  // chunk header bytes still to send (from the end)
  size_t chunkHeaderLength;
  size_t chunkLeft;        // body bytes of the chunk still to send
  bool anyByte;            // a prefix or data byte was ever given
  bool partialSent;        // the last chunk sent was a partial one
  bool ended;
};

AddHeader* H(QOXPipeline* m) { return StateOf<AddHeader>(m); }
bool OldFormat(const AddHeader* h) { return h->version <= kLastOldVersion; }

QOXError Send(AddHeader* h, const uint8_t* bytes, size_t* left, size_t* position) {
  if (h->tail == nullptr) return kQOXErrBadParams;
  size_t sent = 0;
  QOXError err = qoxPipelineWriteAll(h->tail, bytes + *position, *left, &sent);
  *position += sent;
  *left -= sent;
  return err;
}

QOXError SendHeader(AddHeader* h) { return Send(h, h->header, &h->headerLeft, &h->headerPosition); }

// --- Old format ---

QOXError SendHeld(AddHeader* h) {
  QOXError err = SendHeader(h);
  while (err == kQOXErrNoErr) {
    size_t run = 0;
    const uint8_t* p = h->fifoDesc->peek(h->fifo, &run);
    if (p == nullptr) break;
    size_t sent = 0;
    err = qoxPipelineWriteAll(h->tail, p, run, &sent);
    h->fifoDesc->seek(h->fifo, sent);
  }
  return err;
}

// Fixes the header for a body of total bytes.
void FixHeader(AddHeader* h, uint64_t total) {
  uint32_t type = h->lengthType;
  if (type != kQOXLengthIndeterminate) {
    if (total > 0xFFFF) {
      type = kQOXLengthType4;
    } else if (total > 0xFF) {
      type = std::max(type, kQOXLengthType2);
    }
  }
  h->header[0] = static_cast<uint8_t>(0x80 | (h->tag << 2) | type);
  size_t n = type == kQOXLengthIndeterminate ? 0 : size_t{1} << type;
  uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
  for (size_t i = 0; i < n; ++i) h->header[1 + i] = static_cast<uint8_t>(length >> (8 * (n - 1 - i)));
  h->headerPosition = 0;
  h->headerLeft = 1 + n;
  h->streaming = true;
}

size_t OldWrite(AddHeader* h, const uint8_t* bytes, size_t count, QOXError* error) {
  if (!h->streaming) {
    int64_t n = h->fifoDesc->write(h->fifo, bytes, count);
    if (n < 0) {
      *error = static_cast<QOXError>(n);
      return 0;
    }
    if (static_cast<size_t>(n) < count) *error = kQOXErrOutOfMemory;
    return static_cast<size_t>(n);
  }
  *error = SendHeld(h);
  if (*error != kQOXErrNoErr) return 0;
  if (h->promised && count > h->promisedLeft) {
    *error = kQOXErrSizeAdviseFailure;
    return 0;
  }
  size_t sent = 0;
  *error = qoxPipelineWriteAll(h->tail, bytes, count, &sent);
  if (h->promised) h->promisedLeft -= sent;
  return sent;
}

QOXError OldSizeAdvise(AddHeader* h, uint64_t remaining) {
  uint64_t held = h->fifoDesc->size(h->fifo);
  if (!h->streaming) FixHeader(h, remaining + held);
  if (!h->promised) {
    h->promised = true;
    h->promisedLeft = remaining;
  } else if (remaining != h->promisedLeft) {
    return kQOXErrSizeAdviseFailure;
  }
  uint64_t advice = remaining + held + h->headerLeft;
  QOXError err = h->tail->sizeAdvise(h->tail, advice);
  if (err == kQOXErrNoErr) err = SendHeld(h);
  if (err == kQOXErrNoErr && remaining == 0 && advice != 0) err = h->tail->sizeAdvise(h->tail, 0);
  return err;
}

// --- New format ---

// Sends the chunk in progress; an empty stage starts again at its front.
QOXError SendChunk(AddHeader* h) {
  while (h->chunkHeaderLeft > 0) {
    size_t at = h->chunkHeaderLength - h->chunkHeaderLeft;
    size_t left = h->chunkHeaderLeft;
    QOXError err = Send(h, h->chunkHeader, &left, &at);
    h->chunkHeaderLeft = left;
    if (err != kQOXErrNoErr) return err;
  }
  QOXError err = Send(h, h->stage, &h->chunkLeft, &h->sendPosition);
  if (err != kQOXErrNoErr) return err;
  if (h->sendPosition == h->stageCount) h->sendPosition = h->stageCount = 0;
  return kQOXErrNoErr;
}

void StartChunk(AddHeader* h, const uint8_t* header, size_t headerLength, size_t body) {
  std::memcpy(h->chunkHeader, header, headerLength);
  h->chunkHeaderLength = h->chunkHeaderLeft = headerLength;
  h->chunkLeft = body;
}

bool ChunkInProgress(const AddHeader* h) { return h->chunkHeaderLeft > 0 || h->chunkLeft > 0; }
size_t Unassigned(const AddHeader* h) { return h->stageCount - h->sendPosition - h->chunkLeft; }

// Finishes the chunk in progress, then sends a full stage as a 4096-byte chunk.
QOXError SendFullStage(AddHeader* h) {
  if (ChunkInProgress(h)) {
    QOXError err = SendChunk(h);
    if (err != kQOXErrNoErr) return err;
  }
  if (h->stageCount == kStage && h->sendPosition == 0) {
    StartChunk(h, &kFullChunk, 1, kStage);
    h->partialSent = true;
    return SendChunk(h);
  }
  return kQOXErrNoErr;
}

size_t NewWrite(AddHeader* h, const uint8_t* bytes, size_t count, QOXError* error) {
  if (count == 0) return 0;
  h->anyByte = true;
  *error = SendHeader(h);
  if (*error != kQOXErrNoErr) return 0;
  size_t used = 0;
  while (used < count) {
    if (h->stageCount == kStage || ChunkInProgress(h)) {
      *error = SendFullStage(h);
      if (*error != kQOXErrNoErr) return used;
    }
    if (h->sendPosition > 0) {
      // Bytes a flush left behind move to the front.
      std::memmove(h->stage, h->stage + h->sendPosition, h->stageCount - h->sendPosition);
      h->stageCount -= h->sendPosition;
      h->sendPosition = 0;
    }
    size_t n = std::min(count - used, kStage - h->stageCount);
    std::memcpy(h->stage + h->stageCount, bytes + used, n);
    h->stageCount += n;
    used += n;
  }
  return used;  // a stage of exactly kStage bytes waits for the next call
}

QOXError NewFlush(AddHeader* h) {
  if (!h->anyByte) return h->tail->flush(h->tail);
  QOXError err = SendHeader(h);
  if (err == kQOXErrNoErr) err = SendFullStage(h);
  while (err == kQOXErrNoErr && Unassigned(h) > 0) {
    size_t n = Unassigned(h);
    unsigned k = static_cast<unsigned>(std::bit_width(n) - 1);
    uint8_t header = static_cast<uint8_t>(kPartialBase + k);
    StartChunk(h, &header, 1, size_t{1} << k);
    h->partialSent = true;
    err = SendChunk(h);
  }
  return err != kQOXErrNoErr ? err : h->tail->flush(h->tail);
}

QOXError NewEnd(AddHeader* h) {
  if (!h->anyByte || h->ended) return h->tail->sizeAdvise(h->tail, 0);
  QOXError err = SendHeader(h);
  if (err == kQOXErrNoErr) err = SendFullStage(h);
  if (err != kQOXErrNoErr) return err;
  if (!ChunkInProgress(h)) {
    size_t n = Unassigned(h);
    uint8_t header[2];
    size_t length = 1;
    if (n < 192) {
      header[0] = static_cast<uint8_t>(n);
    } else {
      header[0] = static_cast<uint8_t>(((n - 192) >> 8) + 192);
      header[1] = static_cast<uint8_t>((n - 192) & 0xFF);
      length = 2;
    }
    StartChunk(h, header, length, n);
    h->ended = true;
  }
  err = SendChunk(h);
  return err != kQOXErrNoErr ? err : h->tail->sizeAdvise(h->tail, 0);
}

// --- Module operations ---

size_t AddWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  AddHeader* h = H(m);
  *error = kQOXErrNoErr;
  if (h->tail == nullptr) {
    *error = kQOXErrBadParams;
    return 0;
  }
  return OldFormat(h) ? OldWrite(h, bytes, count, error) : NewWrite(h, bytes, count, error);
}

QOXError AddFlush(QOXPipeline* m) {
  AddHeader* h = H(m);
  if (h->tail == nullptr) return kQOXErrBadParams;
  if (!OldFormat(h)) return NewFlush(h);
  if (!h->streaming) return kQOXErrBadParams;
  QOXError err = SendHeld(h);
  return err != kQOXErrNoErr ? err : h->tail->flush(h->tail);
}

QOXError AddSizeAdvise(QOXPipeline* m, uint64_t remaining) {
  AddHeader* h = H(m);
  if (h->tail == nullptr) return kQOXErrBadParams;
  if (h->nesting != 0) return kQOXErrNoErr;
  if (OldFormat(h)) return OldSizeAdvise(h, remaining);
  return remaining != 0 ? kQOXErrNoErr : NewEnd(h);
}

QOXError AddAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  AddHeader* h = H(m);
  if (h->tail == nullptr) return kQOXErrBadParams;
  QOXError err = h->tail->annotate(h->tail, origin, type, data, count);
  if (err == kQOXErrNoErr) TrackDepth(type, &h->nesting);
  return err;
}

QOXError AddTeardown(QOXPipeline* m) {
  AddHeader* h = H(m);
  qoxPipelineTeardown(h->tail);
  if (h->fifo != nullptr) h->fifoDesc->destroy(h->fifo);
  qox_pipeline::WipeAndFree(m->context, h->stage, kStage);
  FreeModule<AddHeader>(m);
  return kQOXErrNoErr;
}

constexpr ModuleOps kAddOps = {AddWrite, AddFlush, AddAnnotate, AddSizeAdvise, AddTeardown};

}  // namespace

QOXPipeline** qoxAddHeaderCreate(QOXContext* context, QOXPipeline** slot, uint32_t version,
                                 const QOXFifoDesc* fifoDesc, uint32_t tag, uint32_t lengthType,
                                 const uint8_t* prefix, size_t prefixLength) {
  if (slot == nullptr || prefixLength > kStage || (prefix == nullptr && prefixLength > 0) ||
      lengthType > kQOXLengthIndeterminate || tag > 0x3F) {
    return nullptr;
  }
  bool old = version <= kLastOldVersion;
  if (old && (tag >= kFirstNewOnlyTag || fifoDesc == nullptr)) return nullptr;
  QOXPipeline* m = NewModule<AddHeader>(context, kQOXMagicAddHeader, "Add Header Module", kAddOps);
  if (m == nullptr) return nullptr;
  AddHeader* h = H(m);
  h->fifoDesc = fifoDesc;
  h->version = version;
  h->tag = tag;
  h->lengthType = lengthType;
  h->headerLeft = 1;
  if (old) {
    h->header[0] = static_cast<uint8_t>(0x80 | (tag << 2) | lengthType);
    h->fifo = fifoDesc->create(context);
    bool ok = h->fifo != nullptr &&
              (prefixLength == 0 || fifoDesc->write(h->fifo, prefix, prefixLength) == static_cast<int64_t>(prefixLength));
    if (!ok) {
      AddTeardown(m);
      return nullptr;
    }
    if (lengthType == kQOXLengthIndeterminate) FixHeader(h, 0);
  } else {
    h->header[0] = static_cast<uint8_t>(0xC0 | tag);
    h->stage = static_cast<uint8_t*>(qoxContextMemAlloc(context, kStage, kQOXMemoryMgrFlags_Clear));
    if (h->stage == nullptr) {
      AddTeardown(m);
      return nullptr;
    }
    if (prefixLength > 0) std::memcpy(h->stage, prefix, prefixLength);
    h->stageCount = prefixLength;
    h->anyByte = prefixLength > 0;
  }
  h->tail = *slot;
  *slot = m;
  return &h->tail;
}

QOXPipeline** qoxLiteralCreate(QOXContext* context, QOXPipeline** slot, uint32_t version,
                               const QOXFifoDesc* fifoDesc, uint8_t dataType, const char* fileName,
                               size_t nameLength, uint32_t modificationTime) {
  if (fileName == nullptr) nameLength = 0;
  nameLength = std::min<size_t>(nameLength, 255);
  uint8_t prefix[kLiteralPrefixMax];
  prefix[0] = dataType;
  prefix[1] = static_cast<uint8_t>(nameLength);
  if (nameLength > 0) std::memcpy(prefix + 2, fileName, nameLength);
  StoreBE32(prefix + 2 + nameLength, modificationTime);
  QOXPipeline** tail = qoxAddHeaderCreate(context, slot, version, fifoDesc, kQOXTagLiteral, kQOXLengthType1,
                                          prefix, nameLength + 6);
  std::memset(prefix, 0, sizeof prefix);
  if (tail != nullptr) (*slot)->name = "Literal Module";
  return tail;
}
