// The handshake's key work over the key database (net/tls_key_work.cc): the
// members of QOXtlsKeyServices (net/tls_internal.h), which say what each
// call does. The Certificate messages' keys go out through QOXExport (RFC
// 2440 binary without armor, or the X.509 certificate, export format 10000)
// and come in through QOXImport; signatures, verification, the premaster
// secret's encryption and decryption run in public- and private-key
// contexts made for each call (keydb/pk_context.h), the private ones with
// the session's stored passphrase or passkey.
//
// Thread safety: as the key database: one toolkit context's thread at a
// time.
#ifndef OSTRAK_NET_TLS_KEY_WORK_H_
#define OSTRAK_NET_TLS_KEY_WORK_H_

#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXKeyDB;
struct QOXKeyDBObj;
struct QOXKeySet;
struct QOXtlsSession;

QOXError qoxTLSExportKey(QOXContext* context, QOXKeyDBObj* key, uint32_t format, uint8_t** outBytes,
                         uint32_t* outLength);
// X.509 input goes through a scratch database whose keys are copied into
// *ioKeyDB when one is given.
QOXError qoxTLSImportKeys(QOXContext* context, const uint8_t* bytes, uint32_t length, uint32_t format,
                          QOXKeyDB** ioKeyDB);
// An empty database: 0 with no key and a count of 0.
QOXError qoxTLSFirstKey(QOXKeyDB* keyDB, QOXKeyDBObj** outKey, uint32_t* outKeyCount);
// An issuer that is not in the chain's database: 0 with none.
QOXError qoxTLSLookupIssuer(QOXKeySet* chain, QOXKeyDBObj* certificate, QOXKeyDBObj** outIssuer);
QOXError qoxTLSKeyInfo(QOXKeyDBObj* key, int32_t* outAlgorithm, bool* outCanVerify);
QOXError qoxTLSPrivateKeySizes(QOXtlsSession* session, uint32_t format, uint32_t* outMaxSignature,
                               uint32_t* outEncrypted, uint32_t* outMaxDecrypted);
QOXError qoxTLSPrivateKeySign(QOXtlsSession* session, uint32_t format, const uint8_t* value, uint32_t length,
                              uint8_t* out, uint32_t* ioLength);
QOXError qoxTLSPrivateKeyDecrypt(QOXtlsSession* session, const uint8_t* in, uint32_t length, uint8_t* out,
                                 uint32_t* ioLength);
QOXError qoxTLSPublicKeySizes(QOXContext* context, QOXKeyDBObj* key, uint32_t format, uint32_t* outMaxSignature,
                              uint32_t* outEncrypted);
QOXError qoxTLSPublicKeyVerify(QOXContext* context, QOXKeyDBObj* key, uint32_t format, const uint8_t* value,
                               uint32_t length, const uint8_t* signature, uint32_t signatureLength);
QOXError qoxTLSPublicKeyEncrypt(QOXContext* context, QOXKeyDBObj* key, const uint8_t* in, uint32_t length,
                                uint8_t* out, uint32_t* ioLength);

// Installs these calls as QOXtlsKeyServices; called by qoxTLSRegister.
void qoxTLSRegisterKeyWork();

#endif  // OSTRAK_NET_TLS_KEY_WORK_H_
