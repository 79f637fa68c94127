// Multi-precision unsigned integers for the public-key algorithms and prime
// generation.
//
// A BigNum is a growable array of 32-bit words (least significant first)
// owned by whoever called bnBegin on it. Its words and every temporary an
// operation needs come from the number's memory manager; they live in secure
// memory when the number (or, for temporaries, any operand) is secure, and
// every buffer is wiped before it is given back.
//
// All numbers are non-negative. A subtraction whose true result is negative
// stores the magnitude and returns 1. The operations are reached through
// the process-wide table of function pointers below (bnAdd, bnMul, ...),
// bound to the 32-bit implementations (the *_32 functions) by bnInit, which
// the toolkit's start-up and the first bnBegin call. Results: 0 success,
// -1 out of memory (the toolkit reports that as kQOXErrOutOfMemory).
//
// Thread safety: the table is written once (under std::call_once) and then
// only read. A BigNum is used by one thread at a time.
#ifndef OSTRAK_CRYPTO_BN_H_
#define OSTRAK_CRYPTO_BN_H_

#include <cstddef>
#include <cstdint>

#include "crypto/bn32.h"
#include "foundation/memory_mgr.h"

struct BigNum {
  BNWORD32* words;     // null until the first allocation
  uint32_t size;       // words in use; an upper bound, not always normalised
  uint32_t allocated;  // capacity in words: 0 or even
  QOXMemoryMgr* memMgr;
  uint8_t secure;      // nonzero: words live in secure memory
};

// Binds the operation table (idempotent, thread-safe).
void bnInit();
void bnInit_32();
// Starts a number at 0 with no words. Never fails.
void bnBegin(BigNum* bn, QOXMemoryMgr* mgr, bool secure);
// Exchanges words, size and capacity; manager and secure flag stay.
void bnSwap(BigNum* a, BigNum* b);

// --- Memory layer ---
void* bniMemAlloc(QOXMemoryMgr* mgr, bool secure, size_t bytes);  // not cleared
void bniMemFree(void* block, size_t bytes);                       // wipes, frees
void bniMemWipe(void* block, size_t bytes);
// New block of newBytes with min(old, new) bytes copied; the old block is
// wiped and freed. Null on failure with the old block untouched.
void* bniRealloc(QOXMemoryMgr* mgr, bool secure, void* old, size_t oldBytes, size_t newBytes);

// --- The operation table (destination first) ---
extern void (*bnEnd)(BigNum* bn);
extern int (*bnPrealloc)(BigNum* bn, unsigned bits);
extern int (*bnCopy)(BigNum* dest, const BigNum* src);
extern void (*bnNorm)(BigNum* bn);
extern void (*bnExtractBigBytes)(const BigNum* bn, unsigned char* buf, unsigned lsbyte,
                                 unsigned len);
extern int (*bnInsertBigBytes)(BigNum* bn, const unsigned char* buf, unsigned lsbyte,
                               unsigned len);
extern void (*bnExtractLittleBytes)(const BigNum* bn, unsigned char* buf, unsigned lsbyte,
                                    unsigned len);
extern int (*bnInsertLittleBytes)(BigNum* bn, const unsigned char* buf, unsigned lsbyte,
                                  unsigned len);
extern BNWORD32 (*bnLSWord)(const BigNum* bn);
extern unsigned (*bnBits)(const BigNum* bn);
extern int (*bnAdd)(BigNum* dest, const BigNum* src);
// 0, or 1 when src > dest (dest holds src - dest), or -1.
extern int (*bnSub)(BigNum* dest, const BigNum* src);
extern int (*bnCmpQ)(const BigNum* bn, BNWORD32 w);
extern int (*bnSetQ)(BigNum* bn, BNWORD32 w);
extern int (*bnAddQ)(BigNum* bn, BNWORD32 w);
// 0, 1 when w > bn (bn holds w - bn, size 1), or -1. Not normalised after a
// subtraction without borrow.
extern int (*bnSubQ)(BigNum* bn, BNWORD32 w);
extern int (*bnCmp)(const BigNum* a, const BigNum* b);
extern int (*bnSquare)(BigNum* dest, const BigNum* src);  // dest may be src
extern int (*bnMul)(BigNum* dest, const BigNum* a, const BigNum* b);  // any aliasing
extern int (*bnMulQ)(BigNum* dest, const BigNum* src, BNWORD32 w);
// A dividend shorter than the divisor gives quotient 0 and the dividend as
// remainder. Any aliasing but quotient == remainder. A zero divisor gives -1.
extern int (*bnDivMod)(BigNum* q, BigNum* r, const BigNum* n, const BigNum* d);
extern int (*bnMod)(BigNum* dest, const BigNum* src, const BigNum* d);
// bn mod w for any nonzero w (0 for w == 0).
extern BNWORD32 (*bnModQ)(const BigNum* bn, BNWORD32 w);
// The modulus must be odd (else -1, dest untouched). Bases are reduced
// below the modulus first when they are not. Any aliasing. bnExpMod takes
// fixed windows, the same work for every exponent of its length, when the
// exponent is secure (a secret), and sliding windows otherwise.
extern int (*bnExpMod)(BigNum* dest, const BigNum* base, const BigNum* exp, const BigNum* mod);
extern int (*bnDoubleExpMod)(BigNum* dest, const BigNum* base1, const BigNum* exp1,
                             const BigNum* base2, const BigNum* exp2, const BigNum* mod);
extern int (*bnTwoExpMod)(BigNum* dest, const BigNum* exp, const BigNum* mod);
extern int (*bnGcd)(BigNum* dest, const BigNum* a, const BigNum* b);  // any aliasing
// 0, 1 when no inverse exists (also for src 0), or -1.
extern int (*bnInv)(BigNum* dest, const BigNum* src, const BigNum* mod);
extern int (*bnLShift)(BigNum* bn, unsigned bits);
extern void (*bnRShift)(BigNum* bn, unsigned bits);  // by the bit length or more: 0
extern unsigned (*bnMakeOdd)(BigNum* bn);

// --- The 32-bit implementations bound by bnInit_32 ---
void bnEnd_32(BigNum* bn);
int bnPrealloc_32(BigNum* bn, unsigned bits);
int bnCopy_32(BigNum* dest, const BigNum* src);
void bnNorm_32(BigNum* bn);
void bnExtractBigBytes_32(const BigNum* bn, unsigned char* buf, unsigned lsbyte, unsigned len);
int bnInsertBigBytes_32(BigNum* bn, const unsigned char* buf, unsigned lsbyte, unsigned len);
void bnExtractLittleBytes_32(const BigNum* bn, unsigned char* buf, unsigned lsbyte,
                             unsigned len);
int bnInsertLittleBytes_32(BigNum* bn, const unsigned char* buf, unsigned lsbyte, unsigned len);
BNWORD32 bnLSWord_32(const BigNum* bn);
unsigned bnBits_32(const BigNum* bn);
int bnAdd_32(BigNum* dest, const BigNum* src);
int bnSub_32(BigNum* dest, const BigNum* src);
int bnCmpQ_32(const BigNum* bn, BNWORD32 w);
int bnSetQ_32(BigNum* bn, BNWORD32 w);
int bnAddQ_32(BigNum* bn, BNWORD32 w);
int bnSubQ_32(BigNum* bn, BNWORD32 w);
int bnCmp_32(const BigNum* a, const BigNum* b);
int bnSquare_32(BigNum* dest, const BigNum* src);
int bnMul_32(BigNum* dest, const BigNum* a, const BigNum* b);
int bnMulQ_32(BigNum* dest, const BigNum* src, BNWORD32 w);
int bnDivMod_32(BigNum* q, BigNum* r, const BigNum* n, const BigNum* d);
int bnMod_32(BigNum* dest, const BigNum* src, const BigNum* d);
BNWORD32 bnModQ_32(const BigNum* bn, BNWORD32 w);
int bnExpMod_32(BigNum* dest, const BigNum* base, const BigNum* exp, const BigNum* mod);
int bnDoubleExpMod_32(BigNum* dest, const BigNum* base1, const BigNum* exp1, const BigNum* base2,
                      const BigNum* exp2, const BigNum* mod);
int bnTwoExpMod_32(BigNum* dest, const BigNum* exp, const BigNum* mod);
int bnGcd_32(BigNum* dest, const BigNum* a, const BigNum* b);
int bnInv_32(BigNum* dest, const BigNum* src, const BigNum* mod);
int bnLShift_32(BigNum* bn, unsigned bits);
void bnRShift_32(BigNum* bn, unsigned bits);
unsigned bnMakeOdd_32(BigNum* bn);

// Ends a number when the scope closes (for temporaries).
class BigNumScope {
 public:
  BigNumScope(QOXMemoryMgr* mgr, bool secure) { bnBegin(&bn_, mgr, secure); }
  ~BigNumScope() { bnEnd(&bn_); }
  BigNumScope(const BigNumScope&) = delete;
  BigNumScope& operator=(const BigNumScope&) = delete;
  BigNum* get() { return &bn_; }
  BigNum* operator->() { return &bn_; }

 private:
  BigNum bn_;
};

#endif  // OSTRAK_CRYPTO_BN_H_
