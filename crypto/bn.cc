// The big-number operation table, its binding, and the memory layer.
#include "crypto/bn.h"

#include <cstring>
#include <mutex>
#include <utility>
#include <string.h>  // explicit_bzero

// The pointers start out bound (constant initialisation), so nothing can see
// a null entry; bnInit_32 writes the same values once more under the once
// flag, which is what orders the table before any later reader.
void (*bnEnd)(BigNum*) = bnEnd_32;
int (*bnPrealloc)(BigNum*, unsigned) = bnPrealloc_32;
int (*bnCopy)(BigNum*, const BigNum*) = bnCopy_32;
void (*bnNorm)(BigNum*) = bnNorm_32;
void (*bnExtractBigBytes)(const BigNum*, unsigned char*, unsigned, unsigned) =
    bnExtractBigBytes_32;
int (*bnInsertBigBytes)(BigNum*, const unsigned char*, unsigned, unsigned) = bnInsertBigBytes_32;
void (*bnExtractLittleBytes)(const BigNum*, unsigned char*, unsigned, unsigned) =
    bnExtractLittleBytes_32;
int (*bnInsertLittleBytes)(BigNum*, const unsigned char*, unsigned, unsigned) =
    bnInsertLittleBytes_32;
BNWORD32 (*bnLSWord)(const BigNum*) = bnLSWord_32;
unsigned (*bnBits)(const BigNum*) = bnBits_32;
int (*bnAdd)(BigNum*, const BigNum*) = bnAdd_32;
int (*bnSub)(BigNum*, const BigNum*) = bnSub_32;
int (*bnCmpQ)(const BigNum*, BNWORD32) = bnCmpQ_32;
int (*bnSetQ)(BigNum*, BNWORD32) = bnSetQ_32;
int (*bnAddQ)(BigNum*, BNWORD32) = bnAddQ_32;
int (*bnSubQ)(BigNum*, BNWORD32) = bnSubQ_32;
int (*bnCmp)(const BigNum*, const BigNum*) = bnCmp_32;
int (*bnSquare)(BigNum*, const BigNum*) = bnSquare_32;
int (*bnMul)(BigNum*, const BigNum*, const BigNum*) = bnMul_32;
int (*bnMulQ)(BigNum*, const BigNum*, BNWORD32) = bnMulQ_32;
int (*bnDivMod)(BigNum*, BigNum*, const BigNum*, const BigNum*) = bnDivMod_32;
int (*bnMod)(BigNum*, const BigNum*, const BigNum*) = bnMod_32;
BNWORD32 (*bnModQ)(const BigNum*, BNWORD32) = bnModQ_32;
int (*bnExpMod)(BigNum*, const BigNum*, const BigNum*, const BigNum*) = bnExpMod_32;
int (*bnDoubleExpMod)(BigNum*, const BigNum*, const BigNum*, const BigNum*, const BigNum*,
                      const BigNum*) = bnDoubleExpMod_32;
int (*bnTwoExpMod)(BigNum*, const BigNum*, const BigNum*) = bnTwoExpMod_32;
int (*bnGcd)(BigNum*, const BigNum*, const BigNum*) = bnGcd_32;
int (*bnInv)(BigNum*, const BigNum*, const BigNum*) = bnInv_32;
int (*bnLShift)(BigNum*, unsigned) = bnLShift_32;
void (*bnRShift)(BigNum*, unsigned) = bnRShift_32;
unsigned (*bnMakeOdd)(BigNum*) = bnMakeOdd_32;

namespace {
std::once_flag gBnBound;  // guards the writes of bnInit_32
}  // namespace

void bnInit_32() {
  bnEnd = bnEnd_32;
  bnPrealloc = bnPrealloc_32;
  bnCopy = bnCopy_32;
  bnNorm = bnNorm_32;
  bnExtractBigBytes = bnExtractBigBytes_32;
  bnInsertBigBytes = bnInsertBigBytes_32;
  bnExtractLittleBytes = bnExtractLittleBytes_32;
  bnInsertLittleBytes = bnInsertLittleBytes_32;
  bnLSWord = bnLSWord_32;
  bnBits = bnBits_32;
  bnAdd = bnAdd_32;
  bnSub = bnSub_32;
  bnCmpQ = bnCmpQ_32;
  bnSetQ = bnSetQ_32;
  bnAddQ = bnAddQ_32;
  bnSubQ = bnSubQ_32;
  bnCmp = bnCmp_32;
  bnSquare = bnSquare_32;
  bnMul = bnMul_32;
  bnMulQ = bnMulQ_32;
  bnDivMod = bnDivMod_32;
  bnMod = bnMod_32;
  bnModQ = bnModQ_32;
  bnExpMod = bnExpMod_32;
  bnDoubleExpMod = bnDoubleExpMod_32;
  bnTwoExpMod = bnTwoExpMod_32;
  bnGcd = bnGcd_32;
  bnInv = bnInv_32;
  bnLShift = bnLShift_32;
  bnRShift = bnRShift_32;
  bnMakeOdd = bnMakeOdd_32;
}

void bnInit() { std::call_once(gBnBound, bnInit_32); }

void bnBegin(BigNum* bn, QOXMemoryMgr* mgr, bool secure) {
  bnInit();
  bn->words = nullptr;
  bn->size = 0;
  bn->allocated = 0;
  bn->memMgr = mgr;
  bn->secure = secure ? 1 : 0;
}

void bnSwap(BigNum* a, BigNum* b) {
  std::swap(a->words, b->words);
  std::swap(a->size, b->size);
  std::swap(a->allocated, b->allocated);
}

// ---------------------------------------------------------------------------
// Memory layer

void* bniMemAlloc(QOXMemoryMgr* mgr, bool secure, size_t bytes) {
  return secure ? QOXNewSecureData(mgr, bytes, kQOXMemoryMgrFlags_None)
                : QOXNewData(mgr, bytes, kQOXMemoryMgrFlags_None);
}

void bniMemWipe(void* block, size_t bytes) {
  if (block && bytes) explicit_bzero(block, bytes);
}

void bniMemFree(void* block, size_t bytes) {
  if (!block) return;
  bniMemWipe(block, bytes);
  QOXFreeData(block);
}

void* bniRealloc(QOXMemoryMgr* mgr, bool secure, void* old, size_t oldBytes, size_t newBytes) {
  void* block = bniMemAlloc(mgr, secure, newBytes);
  if (!block) return nullptr;
  if (old) {
    std::memcpy(block, old, oldBytes < newBytes ? oldBytes : newBytes);
    bniMemFree(old, oldBytes);
  }
  return block;
}
