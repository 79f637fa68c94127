// What the toolkit asks of the key-database RPC client, as one registered
// table.
//
// The RPC client runs the key database in a separate back-end process: the
// toolkit's start-up starts it, and from then on every back-end entry point
// (the calls named with the ending `_back`, keydb/key_db_back.h, and those of
// the random pool, its seed file and the passphrase cache) sends its
// arguments to that process through the stub of the same name ending in
// `_backRPC` instead of running the in-process work. qoxRPCEnabled says
// which: a `_back` entry asks it on every call. Each call is a member of
// QOXRPCClientServices, named after it. The RPC client defines the real
// functions under those names and registers a table of them at start-up;
// until then each member answers with its stand-in in
// foundation/rpc_client_seams.cc: the link is off, so the toolkit runs
// everything in process and no stub is ever reached.
//
// Object and database IDs are pointer-sized words naming back-end objects
// and databases; key arrays and flat key lists are arrays of such words.
// Buffers a stub returns are blocks of the given context's memory, which the
// caller frees (QOXFreeData).
//
// Registration and doubles: foundation/service_table.h.
//
// Thread safety: qoxSDKInitBackEnd runs during start-up; every other member
// may be called from any thread, each call with its own context.
#ifndef OSTRAK_FOUNDATION_RPC_CLIENT_SERVICES_H_
#define OSTRAK_FOUNDATION_RPC_CLIENT_SERVICES_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"

struct QOXContext;
struct PFLFileSpec;
struct QOXKeyGenParams;  // keydb/key_generate.h

struct QOXRPCClientServices {
  // Starts the remote key-database back end (called with 1 by the first
  // QOXsdkInit unless its flags hold 2); 0 or an error.
  QOXError (*qoxSDKInitBackEnd)(int start);
  // True while the link to the key-database service is open.
  bool (*qoxRPCEnabled)();

  // --- The random pool, its seed file and the passphrase cache ---
  // Bits of entropy added (or an error) for the kinds of state named.
  int32_t (*qoxGlobalRandomPoolAddState_backRPC)(bool keystroke, uint32_t keyValue, bool mouse, bool systemState);
  // The pool's figures; any output may be null.
  void (*qoxGlobalRandomPoolGetInfo_backRPC)(uint32_t* outEntropy, uint32_t* outSize, uint32_t* outMinimumEntropy,
                                             bool* outHasMinimumEntropy);
  QOXError (*qoxSetRandSeedFile_backRPC)(const PFLFileSpec* fileSpec);
  QOXError (*qoxRandomAddBytes_backRPC)(QOXContext* context, const uint8_t* bytes, size_t count);
  QOXError (*qoxRandomGetBytesEntropy_backRPC)(QOXContext* context, size_t count, uint32_t entropyBits,
                                               uint8_t** outBuffer, size_t* outLength);
  QOXError (*qoxPurgePassphraseCache_backRPC)(QOXContext* context);

  // --- Key databases (the in-process forms: keydb/key_db_back.h) ---
  QOXError (*qoxNewKeyDB_backRPC)(QOXContext* context, uintptr_t* outDB);
  QOXError (*qoxImportKeyBinary_backRPC)(QOXContext* context, const uint8_t* buffer, size_t length,
                                         uintptr_t* outDB, uint32_t* outKeyCount, uintptr_t** outArray,
                                         size_t* outArrayLength);
  QOXError (*qoxKeyDBArray_backRPC)(QOXContext* context, uintptr_t db, uint32_t* outKeyCount, uintptr_t** outArray,
                                    size_t* outArrayLength);
  QOXError (*qoxUpdateKeyDB_backRPC)(QOXContext* context, uintptr_t db, uint32_t* outNewKeyCount,
                                     uintptr_t** outArray, size_t* outArrayLength, uintptr_t** outChanged,
                                     size_t* outChangedLength);
  QOXError (*qoxFreeKeyDB_backRPC)(QOXContext* context, uintptr_t db);
  QOXError (*qoxOpenKeyDBFile_backRPC)(QOXContext* context, uint32_t openFlags, const PFLFileSpec* publicSpec,
                                       const PFLFileSpec* privateSpec, uintptr_t* outDB, uint32_t* outKeyCount,
                                       uintptr_t** outArray, size_t* outArrayLength);
  QOXError (*qoxKeyDBFlush_backRPC)(QOXContext* context, uintptr_t db, uintptr_t** outChanged,
                                    size_t* outChangedLength);
  QOXError (*qoxFetchObjectData_backRPC)(QOXContext* context, uintptr_t object, uint8_t** outBuffer,
                                         size_t* outLength);
  QOXError (*qoxFetchKeyInfo_backRPC)(QOXContext* context, uintptr_t object, uint8_t** outBuffer,
                                      size_t* outLength);
  QOXError (*qoxGetKeyByKeyID_backRPC)(QOXContext* context, uintptr_t db, const QOXKeyID* keyID, bool allowDummies,
                                       bool allowDeleted, uintptr_t* outKey);
  QOXError (*qoxKeyDBAddObject_backRPC)(QOXContext* context, uintptr_t db, uintptr_t object, uintptr_t* outCopy,
                                        uintptr_t** outArray, size_t* outArrayLength);
  QOXError (*qoxKeyDBRemoveObject_backRPC)(QOXContext* context, uintptr_t db, uintptr_t object);
  QOXError (*qoxCopyKeys_backRPC)(QOXContext* context, uintptr_t sourceDB, const uintptr_t* keys, size_t keysLength,
                                  uintptr_t destinationDB, bool wantChanged, uintptr_t** outChanged,
                                  size_t* outChangedLength);
  // Trust propagation over a flat key list at a time (seconds since 1970);
  // the flat list of the changed keys.
  QOXError (*qoxPropagateTrust_backRPC)(QOXContext* context, uintptr_t db, const uintptr_t* keys,
                                        size_t keysLength, uintptr_t other, uint32_t now, uintptr_t** outChanged,
                                        size_t* outChangedLength);

  // --- Signature checking ---
  QOXError (*qoxCheckKeyRingSigs_backRPC)(QOXContext* context, uintptr_t db, const uintptr_t* keys,
                                          size_t keysLength, uintptr_t otherDB, bool checkAll,
                                          uintptr_t** outChanged, size_t* outChangedLength);
  QOXError (*qoxPrepareToCheckKeyRingSigs_backRPC)(QOXContext* context, uintptr_t db, const uintptr_t* keys,
                                                   size_t keysLength, uintptr_t otherDB, bool checkAll,
                                                   uint32_t* outCount, uintptr_t** outChanged,
                                                   size_t* outChangedLength);
  QOXError (*qoxCheckSig_backRPC)(QOXContext* context, uintptr_t db, uintptr_t sig, uintptr_t otherDB,
                                  bool checkAll, bool revocationsOnly, uint8_t* outTried, uint8_t* outChanged,
                                  uint8_t* outValid);

  // --- Key operations ---
  QOXError (*qoxKeyEncrypt_backRPC)(QOXContext* context, uintptr_t key, const uint8_t* data, size_t length,
                                    int format, uint8_t** outBuffer, size_t* outLength);
  QOXError (*qoxKeyDecrypt_backRPC)(QOXContext* context, uintptr_t key, const char* passphrase,
                                    size_t passphraseLength, bool hashed, uint32_t cacheTimeOut, bool cacheGlobally,
                                    const uint8_t* data, size_t length, int format, uint8_t** outBuffer,
                                    size_t* outLength);
  int (*qoxKeyVerify_backRPC)(QOXContext* context, uintptr_t key, const uint8_t* signature, size_t signatureLength,
                              uint8_t hashAlgorithm, const uint8_t* hash, size_t hashLength, int format);
  QOXError (*qoxKeySign_backRPC)(QOXContext* context, uintptr_t key, const char* passphrase,
                                 size_t passphraseLength, bool hashed, uint32_t cacheTimeOut, bool cacheGlobally,
                                 uint8_t hashAlgorithm, const uint8_t* hash, size_t hashLength, int format,
                                 uint8_t** outSignature, size_t* outLength);
  bool (*qoxSecPassphraseOK_backRPC)(QOXContext* context, uintptr_t key, const char* passphrase, size_t length,
                                     bool hashed, uint32_t cacheTimeOut, bool cacheGlobally);
  QOXError (*qoxSecProperties_backRPC)(QOXContext* context, uintptr_t key, bool* outLocked, bool* outKind5,
                                       int32_t* outCipherAlgorithm, int32_t* outKeyBits);
  QOXError (*qoxKeyMaxSizes_backRPC)(QOXContext* context, uintptr_t key, size_t* outMaxEncrypted,
                                     size_t* outMaxDecrypted, size_t* outMaxSignature, int format);

  // --- Key maintenance (the in-process forms: keydb/key_manage.h) ---
  QOXError (*qoxPassphraseIsValid_backRPC)(QOXContext* context, uintptr_t key, const char* passphrase,
                                           size_t length, bool hashed, uint32_t cacheTimeOut, bool cacheGlobally,
                                           bool* outValid);
  QOXError (*qoxGetPasskeyBuffer_backRPC)(QOXContext* context, uintptr_t key, const char* passphrase,
                                          size_t length, uint8_t** outBuffer, size_t* outLength);
  QOXError (*qoxSetKeyEnabled_backRPC)(QOXContext* context, uintptr_t key, bool enable);
  QOXError (*qoxSetKeyTrust_backRPC)(QOXContext* context, uintptr_t key, uint8_t trust);
  QOXError (*qoxSetKeyAxiomatic_backRPC)(QOXContext* context, uintptr_t key, bool set, const char* passphrase,
                                         size_t length, bool hashed, uint32_t cacheTimeOut, bool cacheGlobally);

  // --- Passphrase change and self-signature options (keydb/key_passphrase_change.h,
  // keydb/key_options.h) ---
  QOXError (*qoxDoChangePassphrase_backRPC)(QOXContext* context, uintptr_t key, const char* oldPassphrase,
                                            size_t oldLength, const char* newPassphrase, size_t newLength,
                                            bool newIsPasskey, uint32_t cacheTimeOut, bool cacheGlobally);
  // records: recordCount designated-revoker records of 22 bytes each.
  QOXError (*qoxAddKeyOptions_backRPC)(QOXContext* context, uintptr_t key, const uint8_t* records,
                                       size_t recordCount, const char* passphrase, size_t length, bool hashed,
                                       uint32_t cacheTimeOut, bool cacheGlobally);
  QOXError (*qoxUpdateKeyOptions_backRPC)(QOXContext* context, uintptr_t key, const uint8_t* preferredAlgorithms,
                                          size_t preferredAlgorithmsLength, const uint8_t* preferredKeyServer,
                                          size_t preferredKeyServerLength, uint32_t keyFlags, bool keyFlagsGiven,
                                          uint32_t keyServerPreferences, bool keyServerPreferencesGiven,
                                          const char* passphrase, size_t length, bool hashed,
                                          uint32_t cacheTimeOut, bool cacheGlobally);
  QOXError (*qoxCertifyPrimaryUserID_backRPC)(QOXContext* context, uintptr_t userID, const char* passphrase,
                                              size_t length, bool hashed, uint32_t cacheTimeOut,
                                              bool cacheGlobally);
  QOXError (*qoxSetPrimaryUserID_backRPC)(QOXContext* context, uintptr_t userID);
  // --- Key generation (the in-process form: keydb/key_generate.h) ---
  // The service answers kQOXKeyGenInProgress (-11471) while it is still
  // generating; the caller asks again with the same arguments.
  QOXError (*qoxDoGenerateKey_backRPC)(QOXContext* context, uintptr_t db, uintptr_t master,
                                       const QOXKeyGenParams* params, const uintptr_t* recipientRequestKeys,
                                       size_t recipientRequestLength, const uintptr_t* revocationKeys,
                                       size_t revocationLength, uintptr_t* outKey, uintptr_t** outArray,
                                       size_t* outArrayLength);
};

// The table in force, and its registration (foundation/service_table.h).
const QOXRPCClientServices& qoxRPCClientServices();
const QOXRPCClientServices* qoxRegisterRPCClientServices(const QOXRPCClientServices* table);

#endif  // OSTRAK_FOUNDATION_RPC_CLIENT_SERVICES_H_
