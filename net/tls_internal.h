// The TLS engine's records and internal operations: the context and session
// records, the cipher-suite table and state tables, the key schedule and
// record MAC, the record layer and the handshake-message reader.
//
// Internal calls make no argument checks unless said and pass no entry
// gate; they serve the engine's own code (the public calls in
// net/tls_session.h, the handshake drivers) and its tests.
//
// Secrets (master secret, key block, key records, passphrase and passkey
// copies) live in secure blocks of the toolkit context's memory manager and
// are wiped when freed.
//
// Thread safety: a session belongs to one thread at a time.
#ifndef OSTRAK_NET_TLS_INTERNAL_H_
#define OSTRAK_NET_TLS_INTERNAL_H_

#include <cstddef>
#include <cstdint>

#include "crypto/bignum_api.h"
#include "crypto/cbc.h"
#include "crypto/hash.h"
#include "crypto/hmac.h"
#include "foundation/errors.h"
#include "foundation/memory_mgr.h"
#include "net/tls_session.h"

struct QOXContext;

// --- Protocol constants ---
inline constexpr uint8_t kQOXtlsMajorVersion = 3;
inline constexpr uint8_t kQOXtlsMinorTLS10 = 1;
inline constexpr uint8_t kQOXtlsMinorSSL30 = 0;

// Record content types.
inline constexpr uint8_t kQOXtlsContent_ChangeCipherSpec = 20;
inline constexpr uint8_t kQOXtlsContent_Alert = 21;
inline constexpr uint8_t kQOXtlsContent_Handshake = 22;
inline constexpr uint8_t kQOXtlsContent_ApplicationData = 23;

// Record limits: a fragment handed to the sender, and a received record's
// length after its header.
inline constexpr uint32_t kQOXtlsMaxRecordLength = 18432;
// Application data per record.
inline constexpr uint32_t kQOXtlsMaxApplicationFragment = 16384;
// Largest handshake message body the reader gathers.
inline constexpr uint32_t kQOXtlsMaxHandshakeBody = 65536;
inline constexpr size_t kQOXtlsRecordHeaderSize = 5;
inline constexpr size_t kQOXtlsHandshakeHeaderSize = 4;
inline constexpr size_t kQOXtlsBlockSize = 8;

// Handshake message types.
inline constexpr uint8_t kQOXtlsHello_Request = 0;
inline constexpr uint8_t kQOXtlsClientHello = 1;
inline constexpr uint8_t kQOXtlsServerHello = 2;
inline constexpr uint8_t kQOXtlsCertificate = 11;
inline constexpr uint8_t kQOXtlsServerKeyExchange = 12;
inline constexpr uint8_t kQOXtlsCertificateRequest = 13;
inline constexpr uint8_t kQOXtlsServerHelloDone = 14;
inline constexpr uint8_t kQOXtlsCertificateVerify = 15;
inline constexpr uint8_t kQOXtlsClientKeyExchange = 16;
inline constexpr uint8_t kQOXtlsFinished = 20;

// Alert levels and the descriptions the engine sends itself.
inline constexpr uint8_t kQOXtlsAlertLevel_Warning = 1;
inline constexpr uint8_t kQOXtlsAlertLevel_Fatal = 2;
inline constexpr uint8_t kQOXtlsAlert_CloseNotify = 0;
inline constexpr uint8_t kQOXtlsAlert_UnexpectedMessage = 10;
inline constexpr uint8_t kQOXtlsAlert_BadRecordMAC = 20;
inline constexpr uint8_t kQOXtlsAlert_NoCertificate = 41;
inline constexpr uint8_t kQOXtlsAlert_HandshakeFailure = 40;
inline constexpr uint8_t kQOXtlsAlert_BadCertificate = 42;
inline constexpr uint8_t kQOXtlsAlert_DecryptionFailed = 21;
inline constexpr uint8_t kQOXtlsAlert_DecodeError = 50;
inline constexpr uint8_t kQOXtlsAlert_InsufficientSecurity = 71;
inline constexpr uint8_t kQOXtlsAlert_ProtocolVersion = 70;
inline constexpr uint8_t kQOXtlsAlert_InternalError = 80;

// --- Cipher suites ---
// Algorithm numbers of the rows: public key RSA 1, DSA 17; cipher none 0,
// IDEA 1, 3DES 2, CAST5 3; hash SHA-1 2.
struct QOXtlsCipherSuite {
  uint16_t code;        // the suite's two bytes on the wire
  uint32_t pubAlg;      // authenticating key's algorithm
  uint32_t cipher;      // 0: records are only MACed
  uint32_t hash;        // of the record MAC
  uint8_t ephemeralDH;  // 1: ephemeral Diffie-Hellman key exchange
  uint8_t nativeKey;    // 1: RFC 2440 keys; 0: X.509 certificates
  uint32_t number;      // what the public calls report and take
};
inline constexpr uint32_t kQOXtlsSuiteCount = 9;
extern const QOXtlsCipherSuite kQOXtls_CipherSuites[kQOXtlsSuiteCount];

// --- State tables ---
inline constexpr uint32_t kQOXtlsEventCount = 15;
inline constexpr uint8_t kQOXtlsCell_Fatal = 0xFE;
inline constexpr uint8_t kQOXtlsCell_Stay = 0xFF;
// Events posted to the tables.
inline constexpr uint32_t kQOXtlsEvent_Other = 0;  // HelloRequest and unknown types
inline constexpr uint32_t kQOXtlsEvent_ClientHello = 1;
inline constexpr uint32_t kQOXtlsEvent_ServerHello = 2;
inline constexpr uint32_t kQOXtlsEvent_Certificate = 3;
inline constexpr uint32_t kQOXtlsEvent_CertEphemeral = 4;  // client, after the server's Certificate
inline constexpr uint32_t kQOXtlsEvent_CertNotEphemeral = 5;
inline constexpr uint32_t kQOXtlsEvent_ServerKeyExchange = 6;
inline constexpr uint32_t kQOXtlsEvent_CertificateRequest = 7;
inline constexpr uint32_t kQOXtlsEvent_ServerHelloDone = 8;
inline constexpr uint32_t kQOXtlsEvent_CertificateVerify = 9;
inline constexpr uint32_t kQOXtlsEvent_ClientKeyExchange = 10;
inline constexpr uint32_t kQOXtlsEvent_Finished = 11;
inline constexpr uint32_t kQOXtlsEvent_Alert = 12;
inline constexpr uint32_t kQOXtlsEvent_NoCertificate = 13;
inline constexpr uint32_t kQOXtlsEvent_ChangeCipherSpec = 14;

inline constexpr uint32_t kQOXtlsClientSteps = 10;
inline constexpr uint32_t kQOXtlsServerSteps = 7;
extern const uint8_t kQOXtls_ClientStateTable[kQOXtlsClientSteps][kQOXtlsEventCount];
extern const uint8_t kQOXtls_ServerStateTable[kQOXtlsServerSteps][kQOXtlsEventCount];
extern const uint8_t kQOXtls_SSL3ServerStateTable[kQOXtlsServerSteps][kQOXtlsEventCount];

// --- Records ---
struct QOXtlsContext {
  QOXContext* context;  // where the TLS context and its sessions allocate
  uint8_t cache;        // stored by QOXtlsSetCache; never read
};

// The keys of one direction (a secure block). The HMAC context of the TLS
// record MAC is made on first use.
struct QOXtlsKeyRecord {
  uint8_t macSecret[20];  // MAC length bytes used
  uint8_t key[24];        // cipher key length bytes used
  uint8_t iv[8];
  uint8_t sequence[8];    // 64-bit big-endian, 0 when made
  QOXHMACContext* hmac;
};

// A byte buffer resized to its exact contents on every append and take.
struct QOXtlsBuffer {
  uint8_t* data;  // a block of the session's memory manager, or null
  uint32_t length;
};

struct QOXtlsSession {
  uint32_t state;          // kQOXtlsState_*
  uint8_t handshakeStep;   // row of the session's state table
  uint8_t sslv2Hello;      // the record just read is a converted SSL 2.0 hello
  uint8_t sslv2Major;      // that hello's version
  uint8_t sslv2Minor;
  QOXContext* context;
  QOXtlsContext* tlsContext;
  QOXMemoryMgr* memoryMgr;  // the toolkit context's
  QOXtlsReceiveProc receiveProc;
  QOXtlsSendProc sendProc;
  intptr_t receiveUserValue;
  intptr_t sendUserValue;
  uint8_t clientSide;         // 1 client (default), 0 server
  uint8_t blocking;           // 1 blocking (default)
  uint8_t closeNotifySent;
  uint8_t requestClientCert;  // server: ask the client for a certificate
  uint8_t minorVersion;       // 1 TLS 1.0 (default), 0 SSL 3.0
  uint8_t peerMinorVersion;   // from the client's hello
  uint16_t negotiatedSuite;   // index into suites
  QOXtlsCipherSuite* suites;  // the session's own rows, in preference order
  uint16_t suiteCount;
  QOXKeyDBObj* localKey;
  QOXKeyDBObj* localCertificate;  // X.509 certificate signature object, or null
  QOXKeySet* localCertChain;      // holds the certificate's issuers, or null
  int32_t localKeyAlg;            // -1 while none is set
  char* passphrase;               // secure block, zero-terminated, or null
  uint8_t* passkey;               // secure block, or null
  uint32_t passkeyLength;
  uint8_t usePasskey;
  QOXKeyDBObj* remoteKey;
  QOXKeyDB* remoteKeyDB;  // one reference, released with the session
  int32_t remoteKeyAlg;
  uint8_t certificateRequested;
  uint8_t certVerifyDue;
  uint8_t clientCertVerified;
  uint32_t dhPrimeIndex;  // default 2
  QOXHashContext* handshakeSHA;  // running hashes of the handshake messages
  QOXHashContext* handshakeMD5;
  QOXHashContext* snapshotSHA;   // taken before a Finished or CertificateVerify is hashed
  QOXHashContext* snapshotMD5;
  QOXHashContext* ssl3MacInner;  // SSL 3.0 record MAC, made on first use
  QOXHashContext* ssl3MacOuter;
  uint8_t clientRandom[32];
  uint8_t serverRandom[32];
  uint8_t* masterSecret;  // 48-byte secure block, or null
  QOXCBCContext* writeCipher;  // null without a cipher
  QOXCBCContext* readCipher;
  QOXtlsKeyRecord* writeKeys;  // active; null until the ChangeCipherSpec message
  QOXtlsKeyRecord* readKeys;
  QOXtlsKeyRecord* pendingClientWriteKeys;
  QOXtlsKeyRecord* pendingServerWriteKeys;
  uint32_t keyLength;  // cipher key length of the negotiated suite
  uint32_t macLength;
  QOXtlsBuffer sendQueue;    // whole protected records the transport has not taken
  QOXtlsBuffer rawInput;     // bytes of a record that has not arrived whole
  QOXtlsBuffer appData;      // decrypted application bytes not yet delivered
  QOXtlsBuffer handshakeIn;  // handshake bytes of the next message
  QOXBigNum* dhPrime;
  QOXBigNum* dhGenerator;
  QOXBigNum* dhServerPublic;
  QOXBigNum* dhPrivate;
  QOXBigNum* dhClientPublic;
  uint32_t lastAlert;  // kQOXtlsNoAlert for none
};

// The negotiated suite's row.
inline const QOXtlsCipherSuite& qoxTLSSuite(const QOXtlsSession* s) {
  return s->suites[s->negotiatedSuite];
}

// --- Session core ---
// A fatal (level 2) alert also sets state 1 and the last alert.
QOXError qoxTLSSendAlert(QOXtlsSession* session, uint8_t level, uint8_t description);
// An alert record received: close_notify answers with this side's
// close_notify (once) and closes; no_certificate posts event 13; any other
// is recorded and posts event 12. kQOXErrTLSRemoteAbort when the session is
// in state 1 afterwards.
QOXError qoxTLSProcessAlert(QOXtlsSession* session, const uint8_t* bytes, uint32_t length);
// Steps the session's table; a fatal cell sets state 1.
void qoxTLSNextState(QOXtlsSession* session, uint32_t event);
uint32_t qoxTLSPacketToEvent(uint8_t messageType);
// Whether the toolkit's list of public-key algorithms holds the number.
bool pubAlgSupported(uint32_t algorithm);

// The handshake drivers, a table of their own: its stand-ins (net/tls_seams.cc)
// answer kQOXErrFeatureNotAvailable.
struct QOXtlsHandshakeServices {
  QOXError (*qoxTLSClientHandshake)(QOXtlsSession* session);
  QOXError (*qoxTLSServerHandshake)(QOXtlsSession* session);
};
const QOXtlsHandshakeServices& qoxTLSHandshakeServices();
const QOXtlsHandshakeServices* qoxRegisterTLSHandshakeServices(const QOXtlsHandshakeServices* table);

// The key work of the handshake, a table of its own: export and import of
// the keys of Certificate messages, the remote key database's first key,
// and the public- and private-key operations. Its stand-ins
// (net/tls_seams.cc) answer kQOXErrFeatureNotAvailable with outputs
// cleared. Signature formats: kQOXtlsSigFormat_Raw (PKCS #1 block type 1
// over the raw bytes without a digest-info prefix, or DSA r then s at q's
// size) and kQOXtlsSigFormat_DER (DSA, a DER SEQUENCE of r and s).
inline constexpr uint32_t kQOXtlsSigFormat_Raw = 2;
inline constexpr uint32_t kQOXtlsSigFormat_DER = 3;
inline constexpr uint32_t kQOXtlsExportFormat_RFC2440 = 0;
inline constexpr uint32_t kQOXtlsExportFormat_X509 = 10000;
struct QOXtlsKeyServices {
  // The key exported in that format (binary): a block of the context's
  // manager that the caller frees with QOXFreeData.
  QOXError (*exportKey)(QOXContext* context, QOXKeyDBObj* key, uint32_t format, uint8_t** outBytes,
                        uint32_t* outLength);
  // The bytes imported into *ioKeyDB (a new database when it is null).
  QOXError (*importKeys)(QOXContext* context, const uint8_t* bytes, uint32_t length, uint32_t format,
                         QOXKeyDB** ioKeyDB);
  // The first key of the database's ordered key set and the number of keys.
  QOXError (*firstKey)(QOXKeyDB* keyDB, QOXKeyDBObj** outKey, uint32_t* outKeyCount);
  // The issuer's certificate of a certificate in the chain's database;
  // null when there is none.
  QOXError (*lookupIssuer)(QOXKeySet* chain, QOXKeyDBObj* certificate, QOXKeyDBObj** outIssuer);
  // The key's public-key algorithm and whether it can verify.
  QOXError (*keyInfo)(QOXKeyDBObj* key, int32_t* outAlgorithm, bool* outCanVerify);
  // Private-key work on the session's local key with its stored passphrase
  // or passkey: sizes (largest signature, encrypted block, largest
  // decrypted value), raw signing, decryption (PKCS #1 block type 2).
  QOXError (*privateKeySizes)(QOXtlsSession* session, uint32_t format, uint32_t* outMaxSignature,
                              uint32_t* outEncrypted, uint32_t* outMaxDecrypted);
  QOXError (*privateKeySign)(QOXtlsSession* session, uint32_t format, const uint8_t* value, uint32_t length,
                             uint8_t* out, uint32_t* ioLength);
  QOXError (*privateKeyDecrypt)(QOXtlsSession* session, const uint8_t* in, uint32_t length, uint8_t* out,
                                uint32_t* ioLength);
  // Public-key work on a key: sizes, raw verification (0 when the signature
  // holds), encryption (PKCS #1 block type 2).
  QOXError (*publicKeySizes)(QOXContext* context, QOXKeyDBObj* key, uint32_t format, uint32_t* outMaxSignature,
                             uint32_t* outEncrypted);
  QOXError (*publicKeyVerify)(QOXContext* context, QOXKeyDBObj* key, uint32_t format, const uint8_t* value,
                              uint32_t length, const uint8_t* signature, uint32_t signatureLength);
  QOXError (*publicKeyEncrypt)(QOXContext* context, QOXKeyDBObj* key, const uint8_t* in, uint32_t length,
                               uint8_t* out, uint32_t* ioLength);
};
const QOXtlsKeyServices& qoxTLSKeyServices();
const QOXtlsKeyServices* qoxRegisterTLSKeyServices(const QOXtlsKeyServices* table);

// --- Handshake messages (net/tls_handshake.cc) ---
QOXError qoxTLSClientHandshake(QOXtlsSession* session);
QOXError qoxTLSServerHandshake(QOXtlsSession* session);
QOXError qoxTLSSendClientHello(QOXtlsSession* session);
QOXError qoxTLSReceiveClientHello(QOXtlsSession* session, const uint8_t* body, uint32_t length);
QOXError qoxTLSSendServerHello(QOXtlsSession* session);
QOXError qoxTLSReceiveServerHello(QOXtlsSession* session, const uint8_t* body, uint32_t length);
QOXError qoxTLSSendCertificate(QOXtlsSession* session);
QOXError qoxTLSReceiveCertificate(QOXtlsSession* session, const uint8_t* body, uint32_t length);
QOXError qoxTLSSendServerKeyExchange(QOXtlsSession* session);
QOXError qoxTLSReceiveServerKeyExchange(QOXtlsSession* session, const uint8_t* body, uint32_t length);
QOXError qoxTLSSendCertificateRequest(QOXtlsSession* session);
QOXError qoxTLSReceiveCertRequest(QOXtlsSession* session, const uint8_t* body, uint32_t length);
QOXError qoxTLSReceiveServerHelloDone(QOXtlsSession* session);
QOXError qoxTLSSendClientKeyExchange(QOXtlsSession* session);
QOXError qoxTLSReceiveClientKeyExchange(QOXtlsSession* session, const uint8_t* body, uint32_t length);
QOXError qoxTLSSendCertVerify(QOXtlsSession* session);
QOXError qoxTLSReceiveCertVerify(QOXtlsSession* session, const uint8_t* body, uint32_t length);
QOXError qoxTLSSendFinished(QOXtlsSession* session);
QOXError qoxTLSReceiveFinished(QOXtlsSession* session, const uint8_t* body, uint32_t length);
QOXError qoxTLSSendChangeCipherSpec(QOXtlsSession* session);
QOXError qoxTLSSendFinalHandshake(QOXtlsSession* session);
// Registers the drivers in QOXtlsHandshakeServices.
void qoxTLSRegisterHandshake();

// --- Diffie-Hellman primes (net/tls_dh_primes.cc) ---
// Nine safe primes, each in a 514-byte record: a 16-bit big-endian byte
// count, the prime big-endian, zero bytes to the end. Generator 2.
inline constexpr size_t kQOXtlsDHRecordSize = 514;
struct QOXtlsDHPrimes {
  uint8_t DH_256bitPrime[kQOXtlsDHRecordSize];
  uint8_t DH_512bitPrime[kQOXtlsDHRecordSize];
  uint8_t DH_768bitPrime[kQOXtlsDHRecordSize];
  uint8_t DH_1024bitPrime[kQOXtlsDHRecordSize];
  uint8_t DH_1280bitPrime[kQOXtlsDHRecordSize];
  uint8_t DH_1536bitPrime[kQOXtlsDHRecordSize];
  uint8_t DH_2048bitPrime[kQOXtlsDHRecordSize];
  uint8_t DH_3072bitPrime[kQOXtlsDHRecordSize];
  uint8_t DH_4096bitPrime[kQOXtlsDHRecordSize];
};
const QOXtlsDHPrimes& qoxTLSDHPrimes();
// The record a server offers for a prime index: 0 1024 bits, 1 1536, 2
// 2048, 3 3072, 4 4096; any other index the 2048-bit prime.
const uint8_t* qoxTLSDHPrimeForIndex(uint32_t index);

// --- Key schedule, MAC, Finished, CertificateVerify ---
inline constexpr uint32_t kQOXtlsPRFMaxOutput = 120;
inline constexpr size_t kQOXtlsMasterSecretSize = 48;
// The TLS 1.0 PRF; -12000 for an output above 120 bytes.
QOXError qoxTLSPRF(QOXtlsSession* session, const uint8_t* secret, uint32_t secretLength, const char* label,
                   const uint8_t* seed, uint32_t seedLength, uint8_t* out, uint32_t outLength);
// 0 when the PRF reproduces its test vector, kQOXErrCorruptData otherwise.
QOXError qoxTLSPRFTest(QOXtlsSession* session);
// Fills the master secret (a new secure block) from the premaster secret
// and both randoms, by the session's minor version.
QOXError qoxTLSCalculateMasterSecret(QOXtlsSession* session, const uint8_t* premaster, uint32_t length);
QOXError ssl3MasterSecret16(QOXtlsSession* session, const uint8_t* premaster, uint32_t length, uint32_t round,
                            uint8_t out[16]);
// The MAC and key lengths of the negotiated suite, and the two pending key
// records cut from the key block.
QOXError qoxTLSCalculateKeys(QOXtlsSession* session);
QOXError tlsCalculateKeyBlock(QOXtlsSession* session, uint8_t* out, uint32_t length);
QOXError ssl3CalculateKeyBlock(QOXtlsSession* session, uint8_t* out, uint32_t length);
// Make the pending record of that direction active, with a CBC context when
// the suite has a cipher. kQOXErrTLSHandshakeViolation when none is pending.
QOXError qoxTLSActivateWriteKeys(QOXtlsSession* session);
QOXError qoxTLSActivateReadKeys(QOXtlsSession* session);
inline constexpr uint32_t kQOXtlsDirection_Read = 0;
inline constexpr uint32_t kQOXtlsDirection_Write = 1;
// The record MAC (macLength bytes) over one fragment with the active keys of
// that direction; advances its sequence number.
QOXError qoxTLSCalculateMAC(QOXtlsSession* session, uint32_t direction, uint8_t contentType,
                            const uint8_t* fragment, uint32_t length, uint8_t* out);
// 12 bytes under TLS 1.0, 36 under SSL 3.0; *outLength is set.
QOXError qoxTLSCalculateFinished(QOXtlsSession* session, bool senderIsClient, uint8_t* out,
                                 uint32_t* outLength);
// 36 bytes for RSA suites, 20 for DSA suites; *outLength is set.
QOXError qoxTLSCalculateCertVerify(QOXtlsSession* session, uint8_t* out, uint32_t* outLength);
// Frees the snapshots, if any.
void qoxTLSFreeSnapshots(QOXtlsSession* session);
// Frees a key record with its HMAC context (the record is wiped).
void qoxTLSFreeKeyRecord(QOXtlsKeyRecord* record);
// Constant-time comparison of n bytes.
bool qoxTLSEqualConstantTime(const uint8_t* a, const uint8_t* b, size_t n);

// --- Record layer ---
// Protects and sends one record, or queues it (kQOXErrTLSWouldBlock).
// kQOXErrBufferTooSmall for a fragment above 18,432 bytes.
QOXError qoxTLSSendRecordLayer(QOXtlsSession* session, uint8_t contentType, const uint8_t* fragment,
                               uint32_t length);
QOXError qoxTLSSendQueueIdleInternal(QOXtlsSession* session);
// One record: its type, its plaintext (a block of the session's memory
// manager that the caller frees with QOXFreeData) and length. No record (a
// null body, 0 or kQOXErrTLSWouldBlock) when a non-blocking transport had
// nothing whole.
QOXError qoxTLSReceiveRecordLayer(QOXtlsSession* session, uint8_t* outType, uint8_t** outBody,
                                  uint32_t* outLength);
// One complete handshake message, hashed: its type and body (the caller's
// to free). No message (null body) as above.
QOXError qoxTLSReceiveHandshakePacket(QOXtlsSession* session, uint8_t* outType, uint8_t** outBody,
                                      uint32_t* outLength);
// Frames the body (at most 65,535 bytes) as a handshake message, hashes it
// (unless a HelloRequest) and sends it as one record.
QOXError qoxTLSSendHandshakePacket(QOXtlsSession* session, uint8_t messageType, const uint8_t* body,
                                   uint32_t length);
// The ClientHello built from an SSL 2.0 CLIENT-HELLO's body (after its
// message type and version); a block the caller frees. kQOXErrBufferTooSmall
// when the three lengths do not add up to the body.
QOXError qoxConvertV2HelloToV3Hello(QOXtlsSession* session, const uint8_t* body, uint32_t length,
                                    uint8_t** outMessage, uint32_t* outLength);
// Buffers: append to the back, take from the front.
QOXError qoxTLSBufferRawData(QOXtlsSession* session, const uint8_t* bytes, uint32_t length);
// Takes at most *ioLength bytes into out; *ioLength is set to the count.
void qoxTLSExtractRawData(QOXtlsSession* session, uint8_t* out, uint32_t* ioLength);
QOXError qoxTLSBufferHandData(QOXtlsSession* session, const uint8_t* bytes, uint32_t length);
// Puts the held handshake bytes in front of *ioBuffer (a block of the
// session's manager, or null) and empties the handshake buffer.
QOXError qoxTLSExtractHandData(QOXtlsSession* session, uint8_t** ioBuffer, uint32_t* ioLength);
QOXError qoxTLSBufferSendData(QOXtlsSession* session, const uint8_t* bytes, uint32_t length);
// The same for any of the session's buffers.
QOXError qoxTLSBufferAppend(QOXtlsSession* session, QOXtlsBuffer* buffer, const uint8_t* bytes,
                            uint32_t length);
void qoxTLSBufferTake(QOXtlsSession* session, QOXtlsBuffer* buffer, uint8_t* out, uint32_t* ioLength);
void qoxTLSBufferFree(QOXtlsBuffer* buffer);

#endif  // OSTRAK_NET_TLS_INTERNAL_H_
