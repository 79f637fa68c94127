// Byte formats shared by the public-key algorithms (crypto/rsa.*,
// crypto/elgamal.*, crypto/dsa.*): big numbers in each message format, RFC
// 2440 MPIs (plain, or encrypted with a running checksum), PKCS #1 v1.5 block
// padding, the passphrase protection of a secret-key body, the random numbers
// of key generation and encryption, and the exponent sizes of discrete-log
// groups.
//
// A protected secret-key body is: the public MPIs, one protection byte S,
//   S = 0        the secret MPIs in the clear;
//   S = 1..254   S is the cipher, simple MD5 string-to-key, then an IV;
//   S = 255      a cipher byte, a string-to-key specifier, then an IV;
// then the secret MPIs (CFB-encrypted when S != 0) and a 2-byte checksum of
// their plaintext bytes. In the new style the length bytes, bodies and the
// checksum are one CFB stream; in the old style CFB is resynchronised before
// each MPI, only the bodies are encrypted and the checksum is in the clear.
//
// None of these calls keeps state; they are safe from any thread as long as
// each number and CFB context is used by one thread at a time.
#ifndef OSTRAK_CRYPTO_KEY_ENCODING_H_
#define OSTRAK_CRYPTO_KEY_ENCODING_H_

#include <cstddef>
#include <cstdint>

#include "crypto/bn.h"
#include "foundation/byte_cursor.h"
#include "foundation/errors.h"

struct QOXContext;
struct QOXEnv;
struct QOXCFBContext;
struct QOXCipherVTBL;
struct QOXRandomContext;
struct QOXStringToKey;

// The message format of encrypted keys and signatures.
using QOXPublicKeyFormat = int;
inline constexpr QOXPublicKeyFormat kQOXPublicKeyFormat_MPI = 1;      // 2-byte bit count + bytes
inline constexpr QOXPublicKeyFormat kQOXPublicKeyFormat_PKCS1 = 2;    // modulus-width bytes
inline constexpr QOXPublicKeyFormat kQOXPublicKeyFormat_X509 = 3;     // DER INTEGER
inline constexpr QOXPublicKeyFormat kQOXPublicKeyFormat_RawDigest = 4;  // as 2, no DigestInfo

// Largest key of any cipher: the key buffer of secret-key protection.
inline constexpr size_t kQOXMaxCipherKeySize = 32;

// --- Big numbers in messages ---

// Reads one number; bytes consumed, 0 when the buffer is too short, kQOXErrKeyComponentMalformed
// for a malformed DER header, kQOXErrOutOfMemory when memory runs out.
int qoxBnGetFormatted(BigNum* bn, const uint8_t* buffer, size_t length, unsigned modBytes,
                      QOXPublicKeyFormat format);
// Writes one number and returns its length. The DER form is minimal: the
// number's own bytes, with one leading zero byte when its top bit is set.
unsigned qoxBnPutFormatted(const BigNum* bn, uint8_t* buffer, unsigned modBytes,
                           QOXPublicKeyFormat format);
// Reads a DER tag and length from the cursor. The length has at most 4
// bytes and the header must lie inside the cursor; the length itself is not
// checked against what follows. Returns the tag's low 5 bits and advances
// the cursor past the header, or -1 (cursor unchanged).
int qoxBnX509TagLen(ostrak::ByteCursor* cursor, size_t* outLength);
// Size of a DER length field for n.
unsigned qoxBnX509LenLen(size_t n);
// Writes a DER header (tag, length) and returns its size.
unsigned qoxBnX509PutHeader(uint8_t tag, size_t length, uint8_t* out);

// --- Plain MPIs ---

// Walks `count` MPIs; stores each offset where outOffsets is given; returns
// the total length, kQOXErrKeyPacketTruncated when truncated, kQOXErrKeyComponentMalformed when malformed.
int qoxBnParse(const uint8_t* buffer, size_t length, unsigned count, size_t* outOffsets);
int qoxBnGetPlain(BigNum* bn, const uint8_t* buffer, size_t length);
unsigned qoxBnPutPlain(const BigNum* bn, uint8_t* buffer);
// Bytes of a number's MPI (2-byte header included).
unsigned qoxBnMPILength(const BigNum* bn);
// Reads one MPI, decrypting it through cfb (if any) in the given style and
// adding its plaintext bytes to *checksum (if any). 0 when short; kQOXErrOutOfMemory.
int qoxBnGet(BigNum* bn, const uint8_t* buffer, size_t length, QOXCFBContext* cfb,
             unsigned* checksum, bool oldStyle);
unsigned qoxBnPut(const BigNum* bn, uint8_t* buffer, QOXCFBContext* cfb, unsigned* checksum,
                  bool oldStyle);
unsigned qoxChecksumGet(const uint8_t* buffer, QOXCFBContext* cfb, bool oldStyle);
void qoxChecksumPut(unsigned sum, uint8_t* buffer, QOXCFBContext* cfb, bool oldStyle);

// True when the MPI at `offset` (already walked by qoxBnParse) is odd.
bool qoxMPIIsOdd(const uint8_t* buffer, size_t offset);

// --- Session-key blocks (message form 1) ---

// The block to pad: the data (cipher byte then key), with the 2-byte sum of
// the key bytes appended when `withChecksum`. A secure block of *outLength
// bytes for bniMemFree, or null.
uint8_t* qoxSessionBlockPack(QOXMemoryMgr* mgr, const uint8_t* data, size_t length, bool withChecksum,
                             size_t* outLength);
// Checks and strips the checksum of a decrypted block in place: kQOXErrCorruptData on
// a mismatch or a block under 3 bytes.
QOXError qoxSessionBlockCheck(uint8_t* block, size_t* length);

// --- PKCS #1 v1.5 ---

// 0, kQOXErrPublicKeyTooSmall when modBytes < length + 3, kQOXErrOutOfMemory.
int qoxPKCSPack(BigNum* bn, const uint8_t* data, size_t length, uint8_t blockType,
                unsigned modBytes, QOXRandomContext* rc);
// The data length (only the first outSize bytes are copied) or kQOXErrCorruptData.
int qoxPKCSUnpack(uint8_t* out, size_t outSize, const BigNum* bn, uint8_t blockType,
                  unsigned modBytes);

// --- Secret-key protection ---

// Parses the protection framing at `buffer` (the S byte), derives the key
// and returns the bytes consumed with *outCFB set (null for S = 0). Errors:
// kQOXErrKeyPacketTruncated truncated, kQOXErrUnknownCipherNumber unknown cipher, string-to-key errors, -12000 for
// a passkey of the wrong size, kQOXErrOutOfMemory.
int qoxCipherSetup(const uint8_t* buffer, size_t length, const char* passphrase,
                   size_t passphraseLength, bool hashed, QOXContext* context,
                   QOXCFBContext** outCFB);
// Frees the CFB context made by qoxCipherSetup when the scope closes.
class QOXCFBScope {
 public:
  explicit QOXCFBScope(QOXCFBContext* cfb) : cfb_(cfb) {}
  ~QOXCFBScope();
  QOXCFBScope(const QOXCFBScope&) = delete;
  QOXCFBScope& operator=(const QOXCFBScope&) = delete;

 private:
  QOXCFBContext* cfb_;
};

// The cipher of a protection framing: its record in *outCipher (null for an
// unprotected body), or kQOXErrUnknownCipherNumber / kQOXErrKeyPacketTruncated.
QOXError qoxProtectionCipher(const uint8_t* buffer, size_t length, const QOXCipherVTBL** outCipher);
// The string-to-key kind of a protection framing (0 below S = 255).
QOXError qoxProtectionS2KType(const uint8_t* buffer, size_t length, int* outKind);
// Turns a passphrase into the protecting cipher's key by the framing's own
// string-to-key. -12000 for an unprotected body.
QOXError qoxProtectionConvert(const uint8_t* buffer, size_t length, QOXContext* context,
                              const char* passphrase, size_t passphraseLength, uint8_t* outKey);

// A stored secret-key body in secure memory.
struct QOXSecretBody {
  uint8_t* bytes;
  size_t allocated;
  size_t length;
};
// Copies `length` bytes into a fresh secure block; kQOXErrOutOfMemory.
QOXError qoxSecretBodyCopy(QOXContext* context, const uint8_t* bytes, size_t length,
                           QOXSecretBody* body);
void qoxSecretBodyFree(QOXSecretBody* body);

// Writes a new body: public MPIs, framing, secret MPIs, checksum. With a
// passphrase (s2k and cipher given, s2k still the caller's) the IV comes
// from rc; without one S = 0. Nothing changes on failure (kQOXErrOutOfMemory).
QOXError qoxSecretBodyWrite(QOXContext* context, QOXRandomContext* rc, const char* passphrase,
                            size_t passphraseLength, const QOXStringToKey* s2k,
                            const QOXCipherVTBL* cipher, const BigNum* const* publicNumbers,
                            unsigned publicCount, const BigNum* const* secretNumbers,
                            unsigned secretCount, bool oldStyle, QOXSecretBody* body);

// --- Random numbers ---

// A random number of exactly `bits` bits with the top 8 bits ORed with
// topByte and the lowest byte with lowBits. 0 or -1 (memory).
int qoxBnGenRand(BigNum* bn, QOXRandomContext* rc, unsigned bits, uint8_t topByte,
                 uint8_t lowBits, unsigned entropy);

// --- Discrete-log sizes ---

unsigned qoxDiscreteLogExponentBits(unsigned bits);
unsigned qoxDiscreteLogQBits(unsigned bits);
// Public form: -12000 without an out-parameter, the gate's error, else 0.
QOXError QOXDiscreteLogExponentBits(uint32_t bits, uint32_t* outExponentBits);

#endif  // OSTRAK_CRYPTO_KEY_ENCODING_H_
