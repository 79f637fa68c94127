// Encrypted session keys: the conventional-ESK module that writes
// symmetric-key ESK packets (RFC 2440 section 5.3), the PKE module that
// writes public-key ESK packets (section 5.1), and the ESK list that
// collects the ESK packets of a message being read.
//
// The conventional-ESK module is a join (pipeline/generic_modules.h) at the
// head slot whose first input holds the ESK packets, so they leave ahead of
// the data written into it (the encrypted data packet). Version 3 or lower
// writes no ESK (the key is the passphrase's, as the message says nothing).
// With a session key, each packet carries it (its algorithm byte and key)
// encrypted in CFB mode with the key that the packet's string-to-key makes
// of the passphrase; without, the string-to-key's key is the session key.
//
// The PKE module ("PKE Module") sits at the head slot in front of a join
// whose first input holds one public-key ESK packet per recipient key
// (qoxPkeAddKey), so they leave ahead of the data written into the module.
// It keeps a copy of the session key (its algorithm byte and key) in
// secure memory until the first data write, which wipes and frees it: keys
// are added before any data. The keys are encrypted by the key database's
// qoxKeyEncrypt (keydb/key_ops.h): a recipient with an encryption subkey
// is given as that subkey.
//
// ESK list: QOXPktList nodes (crypto/pkt_list.h) whose type word is the
// kind: 0 an empty symmetric-key ESK (the passphrase alone gives the key), 1
// a version-4 symmetric-key ESK, 256 + the algorithm for a public-key ESK.
// Nodes are wiped when freed.
//
// Secrets: derived keys and CFB states are wiped before their memory goes.
#ifndef OSTRAK_PIPELINE_ESK_H_
#define OSTRAK_PIPELINE_ESK_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "pipeline/fifo.h"
#include "pipeline/pipeline.h"

struct QOXEnv;
struct QOXKeyDBObj;
struct QOXKeyID;
struct QOXPktList;
struct QOXStringToKey;

// One passphrase of a conventional encryption.
struct QOXConvKey {
  QOXConvKey* next;
  QOXStringToKey* stringToKey;  // null: the default
  const char* passphrase;
  size_t passphraseLength;
};

// Kinds of ESK list nodes.
inline constexpr uint32_t kQOXEskKindEmpty = 0;
inline constexpr uint32_t kQOXEskKindConventional = 1;
inline constexpr uint32_t kQOXEskKindPublicKey = 256;  // + the algorithm
// qoxEskType answers.
inline constexpr uint32_t kQOXEskTypeSymmetric = 0;
inline constexpr uint32_t kQOXEskTypePublicKey = 1;

// Largest ESK body the module writes.
inline constexpr size_t kQOXMaxEskBody = 8192;

// The join at *slot with one symmetric-key ESK per passphrase of the list
// (version 4 and above); sessionKey, when given, is its cipher's algorithm
// byte followed by the key. Returns the join's tail slot, or null: bad
// arguments (an unknown message or session-key cipher), memory, or a
// failing string-to-key; what the slot held is kept.
QOXPipeline** qoxConvModCreate(QOXContext* context, QOXPipeline** slot, uint32_t version,
                               const QOXFifoDesc* fifoDesc, QOXStringToKey* defaultS2K, const QOXConvKey* list,
                               uint32_t cipherAlgorithm, const uint8_t* sessionKey);

// The PKE module at *slot, in front of a join over the byte FIFO that takes
// what the slot held as its tail; returns the join's tail slot, or null
// (null slot or session key, memory; the slot keeps what it held).
QOXPipeline** qoxPkeCreate(QOXContext* context, QOXPipeline** slot, uint32_t version, const uint8_t* sessionKey,
                           size_t sessionKeyLength);
// Adds a public-key ESK packet for key: old-format header 0x85 with a
// two-byte length for a version below 4, else new-format 0xC1 with a one-
// or two-byte length. makePke's errors; -12000 for a module that is not a
// PKE module or has passed data on already; -11999 for memory.
QOXError qoxPkeAddKey(QOXPipeline* pke, QOXKeyDBObj* key);
// One public-key ESK body: version 3, the key's 8-byte key ID, its
// algorithm, the session key encrypted (the MPIs). *outBody is a block of
// the context's memory the caller frees with qoxContextMemFree. Errors:
// those of qoxKeyID8 and qoxKeyEncrypt, -11999 for memory.
QOXError makePke(QOXContext* context, QOXKeyDBObj* key, const uint8_t* sessionKey, size_t sessionKeyLength,
                 uint32_t version, uint8_t** outBody, size_t* outLength);

// Checks an ESK body and appends it at the end of the list (annotation
// kQOXAnnSKCipherESK or kQOXAnnPKCipherESK). Symmetric: empty is kind 0,
// shorter than 3 bytes -11409, a version other than 4 -11408, an unknown
// cipher or string-to-key -11407 (a string-to-key that cannot be read gives
// its error). Public-key: empty or 9 bytes or fewer -11409, a version
// other than 2, 3 or 4 -11408, an RSA body whose length does not follow
// from its MPI's bit count -11409. -12000 for another annotation or a null
// head; -11999 when memory runs out.
QOXError qoxEskAdd(QOXContext* context, QOXPktList** head, uint32_t annotation, const uint8_t* body, size_t length);

// The session key of a symmetric ESK and a passphrase, into out (outSize
// bytes, at least qoxEskMaxKeySize): its algorithm byte and key. Returns
// the length, or a negative error: -11418 unknown cipher, -11419 unknown
// hash, the string-to-key's error, -12000 for another kind or a short out.
int32_t qoxEskConvDecrypt(const QOXPktList* esk, QOXEnv* env, const char* passphrase, size_t passphraseLength,
                          uint8_t* out, size_t outSize);

// The session key of a public-key ESK, decrypted with key (unlocked with
// the passphrase, hashed or not, or the passphrase cache), into out
// (outSize bytes, at least qoxEskMaxKeySize): its algorithm byte and key.
// Returns the length, or a negative error: qoxKeyDecrypt's, -12000 for
// another kind, a missing key or a short out.
int32_t qoxEskPKdecrypt(const QOXPktList* esk, QOXKeyDBObj* key, const char* passphrase, size_t passphraseLength,
                        bool hashed, uint32_t cacheTimeOut, bool cacheGlobally, uint8_t* out, size_t outSize);

// kind >> 8: kQOXEskTypeSymmetric or kQOXEskTypePublicKey.
uint32_t qoxEskType(const QOXPktList* esk);
// A public-key ESK's algorithm byte (0 for other kinds).
uint8_t qoxEskPKAlg(const QOXPktList* esk);
// The key ID of body bytes 1-8, any algorithm; -12000 when the body is
// shorter.
QOXError qoxGetEskKeyID(const QOXPktList* esk, QOXKeyID* outKeyID);
// The room a decrypted session key needs: symmetric length - 3, public-key
// length - 10, at least 33 in both; 0 for other kinds.
size_t qoxEskMaxKeySize(const QOXPktList* esk);
QOXPktList* qoxEskNext(const QOXPktList* esk);
// Frees and wipes the list.
void qoxEskFreeList(QOXPktList* list);

#endif  // OSTRAK_PIPELINE_ESK_H_
