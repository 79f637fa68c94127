// The Montgomery kernels' shared pieces: conversion between 32-bit words
// and slots, the 64-bit inverse, and which kernel is in force.
#include "crypto/bn_mont.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace bnmont {

namespace {
__extension__ using U128 = unsigned __int128;
}  // namespace

void load(Slot* r, unsigned slots, unsigned bits, const BNWORD32* x, unsigned xlen) {
  const Slot mask = bits == 64 ? ~Slot{0} : (Slot{1} << bits) - 1;
  unsigned j = 0, have = 0;  // bits waiting in acc
  U128 acc = 0;
  for (unsigned i = 0; i < xlen && j < slots; i++) {
    acc |= static_cast<U128>(x[i]) << have;
    have += 32;
    while (have >= bits && j < slots) {
      r[j++] = static_cast<Slot>(acc) & mask;
      acc >>= bits;
      have -= bits;
    }
  }
  if (j < slots) {
    r[j++] = static_cast<Slot>(acc) & mask;
    while (j < slots) r[j++] = 0;
  }
}

void store(BNWORD32* x, unsigned words, const Slot* r, unsigned slots, unsigned bits) {
  unsigned j = 0, have = 0;
  U128 acc = 0;
  for (unsigned i = 0; i < words; i++) {
    if (have < 32) {
      if (j < slots) acc |= static_cast<U128>(r[j++]) << have;
      have += bits;
    }
    x[i] = static_cast<BNWORD32>(acc);
    acc >>= 32;
    have -= 32;
  }
}

Slot negInv64(Slot m0) {
  // Newton: each step doubles the correct low bits of x = m0^-1 (three are
  // right from the start for odd m0).
  Slot x = m0;
  for (int i = 0; i < 5; i++) x *= 2 - m0 * x;
  return 0 - x;
}

void selectEntry(Slot* dst, const Slot* table, unsigned count, unsigned slots, unsigned idx) {
  std::memset(dst, 0, slots * sizeof(Slot));
  for (unsigned j = 0; j < count; j++) {
    Slot d = j ^ idx;
    Slot mask = ((d | (0 - d)) >> 63) - 1;  // all ones when j == idx
    __asm__("" : "+r"(mask));               // a mask, never a branch
    const Slot* e = table + static_cast<size_t>(j) * slots;
    for (unsigned s = 0; s < slots; s++) dst[s] |= e[s] & mask;
  }
}

namespace {

const Kernel* const kAll[kBniKernelCount] = {&kPortable, &kMulx, &kIfma};

int bestAvailable() {
  for (int id = kBniKernelCount; id-- > 0;)
    if (kAll[id]->available()) return id;
  return kBniKernelPortable;
}

// The kernel in force: -1 until first asked for.
std::atomic<int> gKernel{-1};
std::once_flag gKernelChosen;

void choose() {
  int id = bestAvailable();
  if (const char* want = std::getenv("OSTRAK_BN_KERNEL")) {
    for (int k = 0; k < kBniKernelCount; k++)
      if (std::strcmp(want, kAll[k]->name) == 0 && kAll[k]->available()) id = k;
  }
  int unset = -1;
  gKernel.compare_exchange_strong(unset, id, std::memory_order_relaxed);
}

}  // namespace

const Kernel* kernelById(int id) {
  if (id < 0 || id >= kBniKernelCount || !kAll[id]->available()) return nullptr;
  return kAll[id];
}

const Kernel* currentKernel() {
  std::call_once(gKernelChosen, choose);
  return kAll[gKernel.load(std::memory_order_relaxed)];
}

int selectKernel(int id) {
  if (!kernelById(id)) return -1;
  currentKernel();
  return gKernel.exchange(id, std::memory_order_relaxed);
}

}  // namespace bnmont

bool bniKernelAvailable_32(int kernel) { return bnmont::kernelById(kernel) != nullptr; }

int bniKernel_32() { return bnmont::currentKernel()->id; }

int bniSelectKernel_32(int kernel) { return bnmont::selectKernel(kernel); }
