// The toolkit's public big-number calls.
//
// A QOXBigNum is a BigNum record (crypto/bn.h) allocated from a memory
// manager: the record is the handle. A handle is valid when it is not null
// and its manager passes QOXValidateMemoryMgr. Every call checks its handles
// (-12000), then passes the toolkit's entry gate (its error is returned as
// is); a failure of the arithmetic is kQOXErrOutOfMemory. Calls that return a value
// rather than an error give 0 for a bad handle or a refused gate. "Q" calls
// take a small operand and use its low 16 bits. Results may alias operands
// unless a call says otherwise.
//
// Thread safety: none of its own; a handle is used by one thread at a time.
#ifndef OSTRAK_CRYPTO_BIGNUM_API_H_
#define OSTRAK_CRYPTO_BIGNUM_API_H_

#include <cstdint>

#include "crypto/bn.h"
#include "foundation/errors.h"

struct QOXContext;

struct QOXBigNum : BigNum {};

// A new number 0 from the context's memory manager, in secure memory when
// asked.
QOXError QOXNewBigNum(QOXContext* context, bool secure, QOXBigNum** outBigNum);
// Wipes and frees the number; the result of freeing the record.
QOXError QOXFreeBigNum(QOXBigNum* bn);
// A new number with the source's manager, secure flag and value.
QOXError QOXCopyBigNum(const QOXBigNum* source, QOXBigNum** outBigNum);
QOXError QOXAssignBigNum(const QOXBigNum* source, QOXBigNum* dest);
QOXError QOXSwapBigNum(QOXBigNum* a, QOXBigNum* b);

// count bytes from byte position lsbyte up; leading zeros where the value is
// shorter.
QOXError QOXBigNumExtractBigEndianBytes(const QOXBigNum* bn, uint8_t* buffer, uint32_t lsbyte,
                                        uint32_t count);
QOXError QOXBigNumInsertBigEndianBytes(QOXBigNum* bn, const uint8_t* buffer, uint32_t lsbyte,
                                       uint32_t count);
QOXError QOXBigNumExtractLittleEndianBytes(const QOXBigNum* bn, uint8_t* buffer, uint32_t lsbyte,
                                           uint32_t count);
QOXError QOXBigNumInsertLittleEndianBytes(QOXBigNum* bn, const uint8_t* buffer, uint32_t lsbyte,
                                          uint32_t count);

uint16_t QOXBigNumGetLSWord(const QOXBigNum* bn);  // low 16 bits
uint32_t QOXBigNumGetSignificantBits(const QOXBigNum* bn);
int QOXBigNumCompareQ(const QOXBigNum* bn, uint32_t value);  // -1, 0, 1
int QOXBigNumCompare(const QOXBigNum* a, const QOXBigNum* b);

QOXError QOXBigNumSetQ(QOXBigNum* bn, uint32_t value);
QOXError QOXBigNumAddQ(const QOXBigNum* source, uint32_t value, QOXBigNum* result);
// underflow (optional) is cleared, and set when value > source (the result
// then holds the magnitude).
QOXError QOXBigNumSubtractQ(const QOXBigNum* source, uint32_t value, QOXBigNum* result,
                            bool* underflow);
QOXError QOXBigNumAdd(const QOXBigNum* a, const QOXBigNum* b, QOXBigNum* result);
QOXError QOXBigNumSubtract(const QOXBigNum* a, const QOXBigNum* b, QOXBigNum* result,
                           bool* underflow);
QOXError QOXBigNumMultiply(const QOXBigNum* a, const QOXBigNum* b, QOXBigNum* result);
QOXError QOXBigNumMultiplyQ(const QOXBigNum* source, uint32_t value, QOXBigNum* result);
QOXError QOXBigNumSquare(const QOXBigNum* source, QOXBigNum* result);
// A zero divisor or modulus: -12000. Quotient and remainder must differ.
QOXError QOXBigNumDivide(const QOXBigNum* dividend, const QOXBigNum* divisor,
                         QOXBigNum* quotient, QOXBigNum* remainder);
QOXError QOXBigNumMod(const QOXBigNum* source, const QOXBigNum* modulus, QOXBigNum* result);
uint16_t QOXBigNumModQ(const QOXBigNum* bn, uint32_t value);  // 0 for value 0

// The result must be a number distinct from every operand (-12000); an even
// or zero modulus, like any failure, is kQOXErrOutOfMemory.
QOXError QOXBigNumExpMod(const QOXBigNum* base, const QOXBigNum* exponent,
                         const QOXBigNum* modulus, QOXBigNum* result);
QOXError QOXBigNumDoubleExpMod(const QOXBigNum* base1, const QOXBigNum* exponent1,
                               const QOXBigNum* base2, const QOXBigNum* exponent2,
                               const QOXBigNum* modulus, QOXBigNum* result);
QOXError QOXBigNumTwoExpMod(const QOXBigNum* exponent, const QOXBigNum* modulus,
                            QOXBigNum* result);
// kQOXErrNoInverse when the source has no inverse.
QOXError QOXBigNumInv(const QOXBigNum* source, const QOXBigNum* modulus, QOXBigNum* result);
QOXError QOXBigNumGCD(const QOXBigNum* a, const QOXBigNum* b, QOXBigNum* result);
QOXError QOXBigNumLeftShift(QOXBigNum* bn, uint32_t bits);
// Shifting by the bit length or more gives 0.
QOXError QOXBigNumRightShift(QOXBigNum* bn, uint32_t bits);
uint16_t QOXBigNumMakeOdd(QOXBigNum* bn);  // factors of two removed (low 16 bits)

#endif  // OSTRAK_CRYPTO_BIGNUM_API_H_
