// Public big-number calls over the operation table.
#include "crypto/bignum_api.h"

#include <initializer_list>

#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"

namespace {

constexpr uint32_t kQMask = 0xFFFF;

bool valid(const QOXBigNum* bn) { return bn && QOXValidateMemoryMgr(bn->memMgr) == kQOXErrNoErr; }

// Handle checks, then the entry gate.
QOXError enter(std::initializer_list<const QOXBigNum*> handles) {
  for (const QOXBigNum* h : handles)
    if (!valid(h)) return kQOXErrBadParams;
  return qoxEnterFunction();
}

QOXError mapResult(int rc) { return rc < 0 ? kQOXErrOutOfMemory : kQOXErrNoErr; }

bool isZero(const BigNum* bn) { return bnBits(bn) == 0; }

// A record from mgr, begun with the secure flag; null when memory is short.
QOXBigNum* newRecord(QOXMemoryMgr* mgr, bool secure) {
  auto* bn = static_cast<QOXBigNum*>(QOXNewData(mgr, sizeof(QOXBigNum), kQOXMemoryMgrFlags_Clear));
  if (bn) bnBegin(bn, mgr, secure);
  return bn;
}

// Ends the number and frees its record, wiped like every block we return.
QOXError freeRecord(QOXBigNum* bn) {
  bnEnd(bn);
  bniMemWipe(bn, sizeof *bn);
  return QOXFreeData(bn);
}

}  // namespace

QOXError QOXNewBigNum(QOXContext* context, bool secure, QOXBigNum** outBigNum) {
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(context);
  if (!outBigNum) return kQOXErrBadParams;
  *outBigNum = nullptr;
  if (QOXError err = qoxEnterFunction()) return err;
  if (QOXError err = QOXValidateMemoryMgr(mgr)) return err;
  QOXBigNum* bn = newRecord(mgr, secure);
  if (!bn) return kQOXErrOutOfMemory;
  *outBigNum = bn;
  return kQOXErrNoErr;
}

QOXError QOXFreeBigNum(QOXBigNum* bn) {
  if (QOXError err = enter({bn})) return err;
  return freeRecord(bn);
}

QOXError QOXCopyBigNum(const QOXBigNum* source, QOXBigNum** outBigNum) {
  if (!outBigNum) return kQOXErrBadParams;
  *outBigNum = nullptr;
  if (QOXError err = enter({source})) return err;
  QOXBigNum* bn = newRecord(source->memMgr, source->secure != 0);
  if (!bn) return kQOXErrOutOfMemory;
  if (bnCopy(bn, source)) {
    freeRecord(bn);
    return kQOXErrOutOfMemory;
  }
  *outBigNum = bn;
  return kQOXErrNoErr;
}

QOXError QOXAssignBigNum(const QOXBigNum* source, QOXBigNum* dest) {
  if (QOXError err = enter({source, dest})) return err;
  return mapResult(bnCopy(dest, source));
}

QOXError QOXSwapBigNum(QOXBigNum* a, QOXBigNum* b) {
  if (QOXError err = enter({a, b})) return err;
  bnSwap(a, b);
  return kQOXErrNoErr;
}

QOXError QOXBigNumExtractBigEndianBytes(const QOXBigNum* bn, uint8_t* buffer, uint32_t lsbyte,
                                        uint32_t count) {
  if (!buffer && count) return kQOXErrBadParams;
  if (QOXError err = enter({bn})) return err;
  bnExtractBigBytes(bn, buffer, lsbyte, count);
  return kQOXErrNoErr;
}

QOXError QOXBigNumInsertBigEndianBytes(QOXBigNum* bn, const uint8_t* buffer, uint32_t lsbyte,
                                       uint32_t count) {
  if (!buffer && count) return kQOXErrBadParams;
  if (QOXError err = enter({bn})) return err;
  return mapResult(bnInsertBigBytes(bn, buffer, lsbyte, count));
}

QOXError QOXBigNumExtractLittleEndianBytes(const QOXBigNum* bn, uint8_t* buffer, uint32_t lsbyte,
                                           uint32_t count) {
  if (!buffer && count) return kQOXErrBadParams;
  if (QOXError err = enter({bn})) return err;
  bnExtractLittleBytes(bn, buffer, lsbyte, count);
  return kQOXErrNoErr;
}

QOXError QOXBigNumInsertLittleEndianBytes(QOXBigNum* bn, const uint8_t* buffer, uint32_t lsbyte,
                                          uint32_t count) {
  if (!buffer && count) return kQOXErrBadParams;
  if (QOXError err = enter({bn})) return err;
  return mapResult(bnInsertLittleBytes(bn, buffer, lsbyte, count));
}

uint16_t QOXBigNumGetLSWord(const QOXBigNum* bn) {
  if (enter({bn})) return 0;
  return static_cast<uint16_t>(bnLSWord(bn) & kQMask);
}

uint32_t QOXBigNumGetSignificantBits(const QOXBigNum* bn) {
  if (enter({bn})) return 0;
  return bnBits(bn);
}

int QOXBigNumCompareQ(const QOXBigNum* bn, uint32_t value) {
  if (enter({bn})) return 0;
  return bnCmpQ(bn, value & kQMask);
}

int QOXBigNumCompare(const QOXBigNum* a, const QOXBigNum* b) {
  if (enter({a, b})) return 0;
  return bnCmp(a, b);
}

QOXError QOXBigNumSetQ(QOXBigNum* bn, uint32_t value) {
  if (QOXError err = enter({bn})) return err;
  return mapResult(bnSetQ(bn, value & kQMask));
}

QOXError QOXBigNumAddQ(const QOXBigNum* source, uint32_t value, QOXBigNum* result) {
  if (QOXError err = enter({source, result})) return err;
  if (bnCopy(result, source)) return kQOXErrOutOfMemory;
  return mapResult(bnAddQ(result, value & kQMask));
}

QOXError QOXBigNumSubtractQ(const QOXBigNum* source, uint32_t value, QOXBigNum* result,
                            bool* underflow) {
  if (underflow) *underflow = false;
  if (QOXError err = enter({source, result})) return err;
  if (bnCopy(result, source)) return kQOXErrOutOfMemory;
  int rc = bnSubQ(result, value & kQMask);
  if (rc < 0) return kQOXErrOutOfMemory;
  bnNorm(result);
  if (underflow) *underflow = rc == 1;
  return kQOXErrNoErr;
}

QOXError QOXBigNumAdd(const QOXBigNum* a, const QOXBigNum* b, QOXBigNum* result) {
  if (QOXError err = enter({a, b, result})) return err;
  if (result == b) return mapResult(bnAdd(result, a));
  if (bnCopy(result, a)) return kQOXErrOutOfMemory;
  return mapResult(bnAdd(result, b));
}

QOXError QOXBigNumSubtract(const QOXBigNum* a, const QOXBigNum* b, QOXBigNum* result,
                           bool* underflow) {
  if (underflow) *underflow = false;
  if (QOXError err = enter({a, b, result})) return err;
  int rc;
  if (result == b && result != a) {
    // The difference is formed beside the operands, then copied.
    BigNumScope tmp(result->memMgr, a->secure || b->secure);
    if (bnCopy(tmp.get(), a)) return kQOXErrOutOfMemory;
    rc = bnSub(tmp.get(), b);
    if (rc < 0 || bnCopy(result, tmp.get())) return kQOXErrOutOfMemory;
  } else {
    if (bnCopy(result, a)) return kQOXErrOutOfMemory;
    rc = bnSub(result, b);
    if (rc < 0) return kQOXErrOutOfMemory;
  }
  if (underflow) *underflow = rc == 1;
  return kQOXErrNoErr;
}

QOXError QOXBigNumMultiply(const QOXBigNum* a, const QOXBigNum* b, QOXBigNum* result) {
  if (QOXError err = enter({a, b, result})) return err;
  return mapResult(bnMul(result, a, b));
}

QOXError QOXBigNumMultiplyQ(const QOXBigNum* source, uint32_t value, QOXBigNum* result) {
  if (QOXError err = enter({source, result})) return err;
  return mapResult(bnMulQ(result, source, value & kQMask));
}

QOXError QOXBigNumSquare(const QOXBigNum* source, QOXBigNum* result) {
  if (QOXError err = enter({source, result})) return err;
  return mapResult(bnSquare(result, source));
}

QOXError QOXBigNumDivide(const QOXBigNum* dividend, const QOXBigNum* divisor,
                         QOXBigNum* quotient, QOXBigNum* remainder) {
  if (QOXError err = enter({dividend, divisor, quotient, remainder})) return err;
  if (quotient == remainder || isZero(divisor)) return kQOXErrBadParams;
  return mapResult(bnDivMod(quotient, remainder, dividend, divisor));
}

QOXError QOXBigNumMod(const QOXBigNum* source, const QOXBigNum* modulus, QOXBigNum* result) {
  if (QOXError err = enter({source, modulus, result})) return err;
  if (isZero(modulus)) return kQOXErrBadParams;
  return mapResult(bnMod(result, source, modulus));
}

uint16_t QOXBigNumModQ(const QOXBigNum* bn, uint32_t value) {
  if (enter({bn})) return 0;
  value &= kQMask;
  if (value == 0) return 0;
  return static_cast<uint16_t>(bnModQ(bn, value));
}

QOXError QOXBigNumExpMod(const QOXBigNum* base, const QOXBigNum* exponent,
                         const QOXBigNum* modulus, QOXBigNum* result) {
  if (QOXError err = enter({base, exponent, modulus, result})) return err;
  if (result == base || result == exponent || result == modulus) return kQOXErrBadParams;
  return mapResult(bnExpMod(result, base, exponent, modulus));
}

QOXError QOXBigNumDoubleExpMod(const QOXBigNum* base1, const QOXBigNum* exponent1,
                               const QOXBigNum* base2, const QOXBigNum* exponent2,
                               const QOXBigNum* modulus, QOXBigNum* result) {
  if (QOXError err = enter({base1, exponent1, base2, exponent2, modulus, result})) return err;
  for (const QOXBigNum* operand : {base1, exponent1, base2, exponent2, modulus})
    if (result == operand) return kQOXErrBadParams;
  return mapResult(bnDoubleExpMod(result, base1, exponent1, base2, exponent2, modulus));
}

QOXError QOXBigNumTwoExpMod(const QOXBigNum* exponent, const QOXBigNum* modulus,
                            QOXBigNum* result) {
  if (QOXError err = enter({exponent, modulus, result})) return err;
  return mapResult(bnTwoExpMod(result, exponent, modulus));
}

QOXError QOXBigNumInv(const QOXBigNum* source, const QOXBigNum* modulus, QOXBigNum* result) {
  if (QOXError err = enter({source, modulus, result})) return err;
  int rc = bnInv(result, source, modulus);
  if (rc == 1) return kQOXErrNoInverse;
  return mapResult(rc);
}

QOXError QOXBigNumGCD(const QOXBigNum* a, const QOXBigNum* b, QOXBigNum* result) {
  if (QOXError err = enter({a, b, result})) return err;
  return mapResult(bnGcd(result, a, b));
}

QOXError QOXBigNumLeftShift(QOXBigNum* bn, uint32_t bits) {
  if (QOXError err = enter({bn})) return err;
  return mapResult(bnLShift(bn, bits));
}

QOXError QOXBigNumRightShift(QOXBigNum* bn, uint32_t bits) {
  if (QOXError err = enter({bn})) return err;
  bnRShift(bn, bits);
  return kQOXErrNoErr;
}

uint16_t QOXBigNumMakeOdd(QOXBigNum* bn) {
  if (enter({bn})) return 0;
  return static_cast<uint16_t>(bnMakeOdd(bn) & kQMask);
}
