// The default memory manager, the allocation helpers every codec goes
// through, and the error hook.
#include <cstdlib>
#include <cstring>

#include "pki/asn_engine.h"
#include "pki/asn_runtime.h"

void* PKIDefaultMemoryAllocationProc(PKIMemoryMgr*, size_t size) { return std::malloc(size); }

int32_t PKIDefaultMemoryReallocationProc(PKIMemoryMgr*, void** block, size_t size) {
  if (block == nullptr) return kPKIErrMemory;
  void* moved = std::realloc(*block, size == 0 ? 1 : size);
  if (moved == nullptr) return kPKIErrMemory;
  *block = moved;
  return kPKIErrNone;
}

int32_t PKIDefaultMemoryDeallocationProc(PKIMemoryMgr*, void* block) {
  std::free(block);
  return kPKIErrNone;
}

PKIMemoryMgr PKIdefaultMemoryMgrStruct = {0, PKIDefaultMemoryAllocationProc, PKIDefaultMemoryReallocationProc,
                                          PKIDefaultMemoryDeallocationProc};

void PKIErrorHalt() {
  // A place for a debugger's breakpoint: every codec calls it as it stores
  // an error.
  asm volatile("" ::: "memory");
}

namespace ostrak::asn {

void SetError(int32_t* err, int32_t code) {
  *err = code;
  PKIErrorHalt();
}

PKIMemoryMgr* ManagerOf(PKICONTEXT* ctx) { return ctx != nullptr ? ctx->memMgr : nullptr; }

void* Allocate(PKICONTEXT* ctx, size_t size) {
  PKIMemoryMgr* m = ManagerOf(ctx);
  return m != nullptr ? m->allocate(m, size) : nullptr;
}

void* AllocateZeroed(PKICONTEXT* ctx, size_t size) {
  void* p = Allocate(ctx, size);
  if (p != nullptr && size != 0) std::memset(p, 0, size);
  return p;
}

bool Reallocate(PKICONTEXT* ctx, void** block, size_t size) {
  PKIMemoryMgr* m = ManagerOf(ctx);
  return m != nullptr && m->reallocate(m, block, size) == kPKIErrNone;
}

void Deallocate(PKICONTEXT* ctx, void* block) {
  PKIMemoryMgr* m = ManagerOf(ctx);
  if (m != nullptr && block != nullptr) m->deallocate(m, block);
}

void* NewRecord(const TypeDesc& t, PKICONTEXT* ctx) { return AllocateZeroed(ctx, t.recordSize); }

void FreeRecord(const TypeDesc& t, PKICONTEXT* ctx, void* rec) {
  if (ManagerOf(ctx) == nullptr || rec == nullptr) return;
  Drop(t, ctx, rec);
  Deallocate(ctx, rec);
}

uint32_t UnpackPublic(const TypeDesc& t, PKICONTEXT* ctx, void** out, const uint8_t* in, uint32_t inLen,
                      uint8_t tag, int32_t* err) {
  if (err == nullptr) return 0;
  uint32_t n = Unpack(t, ctx, out, in, inLen, tag, err);
  if (*err == kPKIErrNone && n == 0) SetError(err, kPKIErrLeftover);
  return n;
}

}  // namespace ostrak::asn
