// The hash module.
#include "pipeline/hash_module.h"

#include "crypto/hash.h"
#include "foundation/context.h"
#include "pipeline/generic_modules.h"
#include "pipeline/module_support.h"
#include "pipeline/scoped_crypto.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;

namespace {

struct HashMod {
  QOXHashContext* hash;  // not owned
  QOXPipeline* tail;
};

HashMod* H(QOXPipeline* m) { return StateOf<HashMod>(m); }

size_t HashWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  HashMod* s = H(m);
  if (s->tail == nullptr) {
    *error = kQOXErrBadParams;
    return 0;
  }
  size_t took = s->tail->write(s->tail, bytes, count, error);
  if (took > count) took = count;
  if (took > 0) QOXContinueHash(s->hash, bytes, took);
  return took;
}
QOXError HashFlush(QOXPipeline* m) {
  QOXPipeline* t = H(m)->tail;
  return t != nullptr ? t->flush(t) : kQOXErrBadParams;
}
QOXError HashAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  QOXPipeline* t = H(m)->tail;
  return t != nullptr ? t->annotate(t, origin, type, data, count) : kQOXErrBadParams;
}
QOXError HashSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  QOXPipeline* t = H(m)->tail;
  return t != nullptr ? t->sizeAdvise(t, bytes) : kQOXErrBadParams;
}
QOXError HashTeardown(QOXPipeline* m) {
  qoxPipelineTeardown(H(m)->tail);
  FreeModule<HashMod>(m);
  return kQOXErrNoErr;
}
constexpr ModuleOps kHashOps = {HashWrite, HashFlush, HashAnnotate, HashSizeAdvise, HashTeardown};

}  // namespace

QOXPipeline** qoxHashModCreate(QOXContext* context, QOXPipeline** slot, QOXHashContext* hash) {
  if (slot == nullptr || hash == nullptr) return nullptr;
  QOXPipeline* m = NewModule<HashMod>(context, kQOXMagicHash, "Hash Module", kHashOps);
  if (m == nullptr) return nullptr;
  HashMod* s = H(m);
  s->hash = hash;
  s->tail = *slot;
  *slot = m;
  return &s->tail;
}

QOXPipeline** qoxHashModListCreate(QOXContext* context, QOXPipeline** slot, QOXHashList* list, uint32_t count) {
  if (slot == nullptr || list == nullptr) return nullptr;
  if (count == 0) return slot;
  QOXPipeline* const oldHead = *slot;
  QOXPipeline* first = oldHead;  // the chain is built here, then linked at *slot
  QOXPipeline** at = &first;
  for (uint32_t i = 0; i < count; ++i) {
    QOXHashContext* hash = qoxHashListGetIndHash(list, i);
    QOXPipeline** next = hash != nullptr ? qoxHashModCreate(context, at, hash) : nullptr;
    if (next == nullptr) {
      // Unhook the old head from the partial chain before tearing it down.
      *at = nullptr;
      if (first != nullptr) qoxPipelineTeardown(first);
      *slot = oldHead;
      return nullptr;
    }
    at = next;
  }
  *slot = first;
  return at;
}

QOXError qoxSigSetupPipeline(QOXContext* context, QOXPipeline** slot, QOXHashList** outList,
                             const uint8_t* algorithms, uint32_t count, const uint8_t* charMap) {
  if (outList != nullptr) *outList = nullptr;
  if (slot == nullptr || outList == nullptr || (algorithms == nullptr && count != 0)) return kQOXErrBadParams;
  qox_pipeline::HashListPtr list;
  QOXHashList* made = nullptr;
  QOXError err = qoxHashListCreate(QOXPeekContextMemoryMgr(context), algorithms, &made, count);
  list.reset(made);
  if (err != kQOXErrNoErr) return err;
  const uint32_t hashes = qoxHashListGetSize(list.get());
  QOXPipeline* const oldHead = *slot;
  // Built on a slot of its own, linked at *slot once whole.
  QOXPipeline* head = oldHead;
  QOXPipeline** at = &head;
  if (charMap != nullptr) {
    at = qoxTextFiltCreate(context, at, charMap, false, kQOXLineEndCRLF);
    if (at == nullptr) return kQOXErrOutOfMemory;
  }
  if (hashes != 0 && qoxHashModListCreate(context, at, list.get(), hashes) == nullptr) {
    if (head != oldHead) {
      // Unhook the caller's chain from the text filter before it goes.
      QOXPipeline** tail = at;
      *tail = nullptr;
      qoxPipelineTeardown(head);
    }
    return kQOXErrOutOfMemory;
  }
  *slot = head;
  *outList = list.release();
  return kQOXErrNoErr;
}
