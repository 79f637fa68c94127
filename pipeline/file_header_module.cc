// The file header module: the marker packet in front of new-format data.
#include <cstring>

#include "pipeline/generic_modules.h"
#include "pipeline/module_support.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;

namespace {

struct Header {
  uint8_t header[sizeof kQOXMarkerPacket];
  size_t left;  // header bytes still to send
  size_t sent;  // header bytes sent
  QOXPipeline* tail;
  bool decided;
};

Header* H(QOXPipeline* m) { return StateOf<Header>(m); }

// New-format headers of the tags that get the marker: 1-9, 11, 14, 18, 60.
bool WantsMarker(uint8_t first) {
  if (first < 0xC0) return false;
  switch (first & 0x3F) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 8: case 9:
    case 11: case 14: case 18: case 60:
      return true;
    default:
      return false;
  }
}

QOXError SendHeader(Header* h) {
  if (h->tail == nullptr) return kQOXErrBadParams;
  size_t n = 0;
  QOXError err = qoxPipelineWriteAll(h->tail, h->header + h->sent, h->left, &n);
  h->sent += n;
  h->left -= n;
  return err;
}

size_t HeaderWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  Header* h = H(m);
  *error = kQOXErrNoErr;
  if (!h->decided && count > 0) {
    h->decided = true;
    if (WantsMarker(bytes[0])) {
      std::memcpy(h->header, kQOXMarkerPacket, sizeof h->header);
      h->left = sizeof h->header;
    }
  }
  *error = SendHeader(h);  // also refuses a missing tail
  if (*error != kQOXErrNoErr) return 0;
  return h->tail->write(h->tail, bytes, count, error);
}

QOXError HeaderFlush(QOXPipeline* m) {
  QOXError err = SendHeader(H(m));
  return err != kQOXErrNoErr ? err : H(m)->tail->flush(H(m)->tail);
}

QOXError HeaderAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  QOXError err = SendHeader(H(m));
  return err != kQOXErrNoErr ? err : H(m)->tail->annotate(H(m)->tail, origin, type, data, count);
}

QOXError HeaderSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  Header* h = H(m);
  // Before the first data byte the size of the output is not known; only
  // the end of an empty input goes on.
  if (!h->decided) {
    if (bytes != 0) return kQOXErrNoErr;
    h->decided = true;
  }
  QOXError err = SendHeader(h);
  return err != kQOXErrNoErr ? err : h->tail->sizeAdvise(h->tail, bytes);
}

QOXError HeaderTeardown(QOXPipeline* m) {
  qoxPipelineTeardown(H(m)->tail);
  FreeModule<Header>(m);
  return kQOXErrNoErr;
}

constexpr ModuleOps kHeaderOps = {HeaderWrite, HeaderFlush, HeaderAnnotate, HeaderSizeAdvise, HeaderTeardown};

}  // namespace

QOXPipeline** qoxHeaderCreate(QOXContext* context, QOXPipeline** slot) {
  if (slot == nullptr) return nullptr;
  QOXPipeline* m = NewModule<Header>(context, kQOXMagicHeader, "File Header Module", kHeaderOps);
  if (m == nullptr) return nullptr;
  H(m)->tail = *slot;
  *slot = m;
  return &H(m)->tail;
}
