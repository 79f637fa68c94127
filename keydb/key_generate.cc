// Key generation: reading the options, the front end's wait on its back
// end, and the worker that makes the secret key and its objects.
#include "keydb/key_generate.h"

#include <cstring>
#include <memory>

#include "crypto/cipher.h"
#include "crypto/context_random.h"
#include "crypto/pkalg.h"
#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/env.h"
#include "foundation/memory_mgr.h"
#include "foundation/option_types.h"
#include "foundation/sdk/passphrase_cache.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_create.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_manage.h"
#include "keydb/key_manage_support.h"
#include "keydb/key_ops.h"
#include "keydb/key_set.h"
#include "keydb/key_set_flat.h"
#include "keydb/front_end.h"
#include "keydb/obj_accessors.h"
#include "keydb/self_sig.h"
#include "keydb/sig_packet.h"

namespace {

constexpr QOXOptionType kKeySet[] = {
    kQOXOptionType_KeyDBRef,           kQOXOptionType_KeyGenParams,
    kQOXOptionType_KeyGenName,         kQOXOptionType_Passphrase,
    kQOXOptionType_Passkey,            kQOXOptionType_CachePassphrase,
    kQOXOptionType_CreationDate,       kQOXOptionType_Expiration,
    kQOXOptionType_EventHandler,       kQOXOptionType_PreferredAlgorithms,
    kQOXOptionType_PreferredKeyServer, kQOXOptionType_KeyServerPreferences,
    kQOXOptionType_KeyFlags,           kQOXOptionType_AdditionalRecipientRequestKeySet,
    kQOXOptionType_RevocationKeySet,   kQOXOptionType_KeyGenFast,
    kQOXOptionType_KeyGenUseExistingEntropy,
};
constexpr QOXOptionType kSubKeySet[] = {
    kQOXOptionType_KeyGenMasterKey, kQOXOptionType_KeyGenParams, kQOXOptionType_Passphrase,
    kQOXOptionType_Passkey,         kQOXOptionType_CachePassphrase, kQOXOptionType_CreationDate,
    kQOXOptionType_Expiration,      kQOXOptionType_EventHandler, kQOXOptionType_KeyFlags,
    kQOXOptionType_KeyGenFast,      kQOXOptionType_KeyGenUseExistingEntropy,
};
constexpr QOXOptionType kEntropySet[] = {kQOXOptionType_KeyGenParams, kQOXOptionType_KeyFlags,
                                         kQOXOptionType_KeyGenFast, kQOXOptionType_KeyGenUseExistingEntropy};
template <size_t N>
constexpr uint32_t Count(const QOXOptionType (&)[N]) {
  return static_cast<uint32_t>(N);
}

constexpr uint32_t kSecondsPerHour = 3600;
constexpr uint32_t kMaxValidityDays = 0xFFFF;  // the key spec keeps 16 bits
constexpr uint32_t kEntropyUnreadable = 0xFFFFFFFFu;
// String-to-key kinds of a new secret part.
constexpr int kS2KSimple = 0;
constexpr int kS2KIteratedSalted = 3;
constexpr int kS2KLiteral = 5;

bool IsLegacy(uint32_t algorithm, bool keyFlagsGiven) {
  return algorithm == kQOXPublicKeyAlgorithm_RSA && !keyFlagsGiven;
}

// The fast flag: the option when given, else the environment's default.
QOXError ReadFast(QOXOptionListRef list, QOXContext* context, bool* outFast) {
  unsigned char found = 0;
  uint32_t value = 0;
  if (QOXError err = qoxFindOptionArgs(list, kQOXOptionType_KeyGenFast, false, "%b%f", &found, &value);
      err != kQOXErrNoErr)
    return err;
  *outFast = found != 0 ? value != 0
                        : qoxenvGetInt(qoxContextGetEnvironment(context), kQOXEnvKeyGenDefault, nullptr, nullptr) != 0;
  return kQOXErrNoErr;
}

// KeyGenParams (mandatory): the algorithm's low byte and the size.
QOXError ReadKeyGenParams(QOXOptionListRef list, QOXKeyGenParams* p) {
  int32_t algorithm = 0;
  uint32_t bits = 0;
  if (QOXError err = qoxFindOptionArgs(list, kQOXOptionType_KeyGenParams, true, "%d%f", &algorithm, &bits);
      err != kQOXErrNoErr)
    return err;
  p->algorithm = static_cast<uint8_t>(algorithm);
  p->bits = bits;
  return kQOXErrNoErr;
}

// The options both forms read after their names, in the order of the
// table: the passphrase options, CreationDate, Expiration, EventHandler.
QOXError ReadCommon(QOXOptionListRef list, QOXKeyGenParams* p) {
  QOXPassphraseArgs pass;
  if (QOXError err = qoxReadPassphraseArgs(list, &pass); err != kQOXErrNoErr) return err;
  p->passphrase = pass.bytes;
  p->passphraseLength = pass.length;
  p->passkey = pass.hashed;
  p->cacheTimeOut = pass.cacheTimeOut;
  p->cacheGlobally = pass.cacheGlobally;
  unsigned char found = 0;
  uint32_t creation = 0;
  if (QOXError err = qoxFindOptionArgs(list, kQOXOptionType_CreationDate, false, "%b%f", &found, &creation);
      err != kQOXErrNoErr)
    return err;
  p->creation = found != 0 ? creation : 0;
  uint32_t days = 0;
  if (QOXError err = qoxFindOptionArgs(list, kQOXOptionType_Expiration, false, "%f", &days); err != kQOXErrNoErr)
    return err;
  p->validityDays = static_cast<uint16_t>(days > kMaxValidityDays ? kMaxValidityDays : days);
  void* handler = nullptr;
  void* userValue = nullptr;
  if (QOXError err = qoxFindOptionArgs(list, kQOXOptionType_EventHandler, false, "%b%p%p", &found, &handler, &userValue);
      err != kQOXErrNoErr)
    return err;
  p->handler = reinterpret_cast<QOXEventHandlerProcPtr>(handler);
  p->userValue = userValue;
  return kQOXErrNoErr;
}

// A word option with a present flag (KeyFlags, KeyServerPreferences).
QOXError ReadFlagged(QOXOptionListRef list, QOXOptionType type, uint32_t* outValue, bool* outGiven) {
  unsigned char found = 0;
  if (QOXError err = qoxFindOptionArgs(list, type, false, "%b%f", &found, outValue); err != kQOXErrNoErr) return err;
  *outGiven = found != 0;
  return kQOXErrNoErr;
}

// The last three options of both forms: KeyFlags was read before; the fast
// flag and the entropy switch.
QOXError ReadGenerationSwitches(QOXOptionListRef list, QOXContext* context, QOXKeyGenParams* p) {
  if (QOXError err = ReadFast(list, context, &p->fast); err != kQOXErrNoErr) return err;
  uint32_t useExisting = 0;
  if (QOXError err = qoxFindOptionArgs(list, kQOXOptionType_KeyGenUseExistingEntropy, false, "%f", &useExisting);
      err != kQOXErrNoErr)
    return err;
  p->checkEntropy = useExisting == 0;
  return kQOXErrNoErr;
}

// A key-set record option (AdditionalRecipientRequestKeySet,
// RevocationKeySet): the set (null when absent) and its class.
QOXError ReadKeySetRecord(QOXOptionListRef list, QOXOptionType type, QOXKeySet** outSet, uint8_t* outClass) {
  unsigned char found = 0;
  void* set = nullptr;
  uint32_t keyClass = 0;
  if (QOXError err = qoxFindOptionArgs(list, type, false, "%b%p%f", &found, &set, &keyClass); err != kQOXErrNoErr)
    return err;
  *outSet = found != 0 ? static_cast<QOXKeySet*>(set) : nullptr;
  *outClass = static_cast<uint8_t>(keyClass);
  return kQOXErrNoErr;
}

// Owns a flat key list of a context's memory.
struct FlatList {
  QOXContext* context;
  uintptr_t* words = nullptr;
  size_t length = 0;
  ~FlatList() {
    if (words != nullptr) qoxContextMemFree(context, words);
  }
};

QOXError Flatten(QOXKeySet* set, FlatList* out) {
  if (set == nullptr) return kQOXErrNoErr;
  out->context = set->keyDB->context;
  return qoxKeySetFlatten(set, &out->words, &out->length);
}

// A front end's generation: the back end is asked until it stops answering
// kQOXKeyGenInProgress, the caller's handler seeing a '.' event between
// the calls (its non-zero answer ends the wait with that answer); the key
// array that comes back is read into the front end, where the new object is
// found by its ID.
QOXError GenerateThroughBackEnd(QOXKeyDB* db, QOXKeyDBObj* master, const QOXKeyGenParams& p,
                                QOXKeySet* recipientRequestKeys, QOXKeySet* revocationKeys, QOXKeyDBObj** outKey) {
  FlatList recipients{db->context};
  FlatList revokers{db->context};
  if (QOXError err = Flatten(recipientRequestKeys, &recipients); err != kQOXErrNoErr) return err;
  if (QOXError err = Flatten(revocationKeys, &revokers); err != kQOXErrNoErr) return err;
  const uintptr_t masterID = master != nullptr ? qoxKeyDBObjID(master) : 0;
  uintptr_t newID = 0;
  KeyArrayWord* array = nullptr;
  size_t arrayLength = 0;
  QOXError err = kQOXErrNoErr;
  for (;;) {
    err = qoxDoGenerateKey_back(db->context, db->backendID, masterID, p, recipients.words, recipients.length,
                                revokers.words, revokers.length, &newID, &array, &arrayLength);
    if (err != kQOXKeyGenInProgress) break;
    QOXOptionListRef added = nullptr;
    const QOXError answer = qoxEventKeyGen(db->context, &added, p.handler, p.userValue, kQOXKeyGenWaitState);
    if (added != nullptr) qoxFreeOptionList(added);
    if (answer != kQOXErrNoErr) return answer;
  }
  if (err == kQOXErrNoErr) err = qoxAddFromKeyArray(db, nullptr, array, arrayLength, 1, false);
  if (array != nullptr) QOXFreeData(array);
  if (err != kQOXErrNoErr) return err;
  *outKey = qoxFrontEndObject(db, newID);
  return *outKey != nullptr ? kQOXErrNoErr : kQOXErrItemNotFound;
}

QOXError Generate(QOXKeyDB* db, QOXKeyDBObj* master, const QOXKeyGenParams& p, QOXKeySet* recipientRequestKeys,
                  QOXKeySet* revocationKeys, QOXKeyDBObj** outKey) {
  if (qoxFrontEndKeyDB(db))
    return GenerateThroughBackEnd(db, master, p, recipientRequestKeys, revocationKeys, outKey);
  return qoxDoGenerateKey_internal(db, master, p, recipientRequestKeys, revocationKeys, outKey);
}

// --- The worker's parts ---

// Owners of what a generation makes along the way.
struct SecKeyDeleter {
  void operator()(QOXSecKey* key) const { key->destroy(key); }
};
using SecKeyOwner = std::unique_ptr<QOXSecKey, SecKeyDeleter>;
struct KeySpecDeleter {
  void operator()(QOXKeySpec* spec) const { qoxKeySpecDestroy(spec); }
};
using KeySpecOwner = std::unique_ptr<QOXKeySpec, KeySpecDeleter>;
struct EnvDeleter {
  void operator()(QOXEnv* env) const { qoxenvDestroy(env); }
};
using EnvOwner = std::unique_ptr<QOXEnv, EnvDeleter>;

void Stir(QOXRandomContext* rc) {
  if (rc != nullptr && rc->vtbl != nullptr && rc->vtbl->stir != nullptr) rc->vtbl->stir(rc->priv);
}

// The first cipher of a list of algorithm numbers that the registry knows,
// or 0.
template <typename Value>
uint32_t FirstKnownCipher(const Value* algorithms, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const uint32_t algorithm = static_cast<uint32_t>(algorithms[i]);
    if (qoxCipherGetVTBL(algorithm) != nullptr) return algorithm;
  }
  return 0;
}

// The cipher that locks the new secret part: for a subkey the first the
// master key's preferred-algorithms subpacket names, for a master key the
// first of the PreferredAlgorithms option; 0 for the environment's default.
uint32_t LockingCipher(QOXKeyDBObj* master, const QOXKeyGenParams& p) {
  if (master != nullptr) {
    size_t length = 0;
    QOXError err = kQOXErrNoErr;
    const uint8_t* prefs =
        qoxKeyFindSubpacket(master, kQOXSubpacket_PrefAlgs, 0, &length, nullptr, nullptr, nullptr, nullptr, &err);
    return prefs != nullptr && err == kQOXErrNoErr ? FirstKnownCipher(prefs, length) : 0;
  }
  return FirstKnownCipher(p.preferredAlgorithms, p.preferredAlgorithmsLength / sizeof(uint32_t));
}

// Locks the new secret part with the passphrase (step 5); nothing without
// one.
QOXError LockSecret(QOXContext* context, QOXSecKey* secret, QOXKeyDBObj* master, const QOXKeyGenParams& p,
                    QOXRandomContext* rc) {
  if (p.passphraseLength == 0) return kQOXErrNoErr;
  const int kind = p.passkey                                             ? kS2KLiteral
                   : p.algorithm == kQOXPublicKeyAlgorithm_RSA           ? kS2KSimple
                   : p.algorithm == kQOXPublicKeyAlgorithm_RSAEncryptOnly ? kS2KSimple
                   : p.algorithm == kQOXPublicKeyAlgorithm_RSASignOnly    ? kS2KSimple
                                                                          : kS2KIteratedSalted;
  QOXEnv* copy = nullptr;
  if (QOXError err = qoxenvCopy(qoxContextGetEnvironment(context), &copy); err != kQOXErrNoErr) return err;
  EnvOwner env(copy);
  if (const uint32_t cipher = LockingCipher(master, p); cipher != 0)
    (void)qoxenvSetInt(env.get(), kQOXEnvCipherAlgorithm, cipher, kQOXEnvPriorityOptions);
  return secret->changeLock(secret, env.get(), rc, p.passphrase, p.passphraseLength, kind);
}

// The master key's secret part unlocked with the master passphrase (step 8):
// kQOXErrBadPassphrase when it is locked and none is given or the one given
// does not unlock it.
QOXError UnlockMaster(QOXKeyDBObj* master, const QOXKeyGenParams& p) {
  SecKeyOwner secret(qoxSecSecKey(master, 0));
  if (secret == nullptr) {
    const QOXError err = qoxKeyDBError(qoxObjKeyDB(master));
    return err != kQOXErrNoErr ? err : kQOXErrNoSecretKeyFound;
  }
  if (secret->islocked(secret.get()) == 0) return kQOXErrNoErr;
  if (p.masterPassphraseLength == 0) return kQOXErrBadPassphrase;
  const int unlocked =
      secret->unlock(secret.get(), p.masterPassphrase, p.masterPassphraseLength, p.passkey ? 1 : 0);
  if (unlocked < 0) return unlocked;
  return unlocked == 0 ? kQOXErrBadPassphrase : kQOXErrNoErr;
}

// Takes a half-made key or subkey out of its database again.
void Discard(QOXKeyDB* db, QOXKeyDBObj* object) {
  if (object != nullptr) (void)qoxKeyDBRemoveObject_internal(db, object);
}

}  // namespace

// --- Progress ---

int genProgress(void* record, int state) {
  auto* r = static_cast<QOXKeyGenRecord*>(record);
  if (r == nullptr || r->handler == nullptr) return 0;
  QOXOptionListRef added = nullptr;
  const QOXError answer = qoxEventKeyGen(r->context, &added, r->handler, r->userValue, static_cast<uint32_t>(state));
  if (added != nullptr) qoxFreeOptionList(added);
  if (answer != kQOXErrNoErr && r->answer == kQOXErrNoErr) r->answer = answer;
  return answer;
}

// --- Option-list forms ---

QOXError qoxGenerateKeyInternal(QOXKeyDBObj** outKey, QOXOptionListRef optionList) {
  if (outKey == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxCheckOptionsInSet(optionList, kKeySet, Count(kKeySet)); err != kQOXErrNoErr) return err;
  void* dbValue = nullptr;
  if (QOXError err = qoxFindOptionArgs(optionList, kQOXOptionType_KeyDBRef, true, "%p", &dbValue); err != kQOXErrNoErr)
    return err;
  auto* db = static_cast<QOXKeyDB*>(dbValue);
  if (!qoxKeyDBIsValid(db)) return kQOXErrBadParams;
  QOXKeyGenParams p;
  if (QOXError err = ReadKeyGenParams(optionList, &p); err != kQOXErrNoErr) return err;
  void* name = nullptr;
  if (QOXError err = qoxFindOptionArgs(optionList, kQOXOptionType_KeyGenName, true, "%p%l", &name, &p.nameLength);
      err != kQOXErrNoErr)
    return err;
  p.name = static_cast<const uint8_t*>(name);
  if (QOXError err = ReadCommon(optionList, &p); err != kQOXErrNoErr) return err;
  void* prefs = nullptr;
  if (QOXError err = qoxFindOptionArgs(optionList, kQOXOptionType_PreferredAlgorithms, false, "%p%l", &prefs,
                                       &p.preferredAlgorithmsLength);
      err != kQOXErrNoErr)
    return err;
  p.preferredAlgorithms = static_cast<const uint32_t*>(prefs);
  void* server = nullptr;
  if (QOXError err = qoxFindOptionArgs(optionList, kQOXOptionType_PreferredKeyServer, false, "%p%l", &server,
                                       &p.preferredKeyServerLength);
      err != kQOXErrNoErr)
    return err;
  p.preferredKeyServer = static_cast<const uint8_t*>(server);
  if (QOXError err = ReadFlagged(optionList, kQOXOptionType_KeyServerPreferences, &p.keyServerPreferences,
                                 &p.keyServerPreferencesGiven);
      err != kQOXErrNoErr)
    return err;
  if (QOXError err = ReadFlagged(optionList, kQOXOptionType_KeyFlags, &p.keyFlags, &p.keyFlagsGiven);
      err != kQOXErrNoErr)
    return err;
  QOXKeySet* recipients = nullptr;
  QOXKeySet* revokers = nullptr;
  if (QOXError err = ReadKeySetRecord(optionList, kQOXOptionType_AdditionalRecipientRequestKeySet, &recipients,
                                      &p.recipientRequestClass);
      err != kQOXErrNoErr)
    return err;
  if (QOXError err = ReadKeySetRecord(optionList, kQOXOptionType_RevocationKeySet, &revokers, &p.revokerClass);
      err != kQOXErrNoErr)
    return err;
  if (QOXError err = ReadGenerationSwitches(optionList, db->context, &p); err != kQOXErrNoErr) return err;
  *outKey = nullptr;
  return Generate(db, nullptr, p, recipients, revokers, outKey);
}

QOXError qoxGenerateSubKeyInternal(QOXKeyDBObj** outSubKey, QOXOptionListRef optionList) {
  if (outSubKey == nullptr) return kQOXErrBadParams;
  if (QOXError err = qoxCheckOptionsInSet(optionList, kSubKeySet, Count(kSubKeySet)); err != kQOXErrNoErr)
    return err;
  void* masterValue = nullptr;
  if (QOXError err = qoxFindOptionArgs(optionList, kQOXOptionType_KeyGenMasterKey, true, "%p", &masterValue);
      err != kQOXErrNoErr)
    return err;
  auto* master = static_cast<QOXKeyDBObj*>(masterValue);
  if (!qoxKeyIsValid(master)) return kQOXErrBadParams;
  QOXKeyGenParams p;
  if (QOXError err = ReadKeyGenParams(optionList, &p); err != kQOXErrNoErr) return err;
  if (QOXError err = ReadCommon(optionList, &p); err != kQOXErrNoErr) return err;
  if (QOXError err = ReadFlagged(optionList, kQOXOptionType_KeyFlags, &p.keyFlags, &p.keyFlagsGiven);
      err != kQOXErrNoErr)
    return err;
  QOXKeyDB* db = qoxObjKeyDB(master);
  if (QOXError err = ReadGenerationSwitches(optionList, db->context, &p); err != kQOXErrNoErr) return err;
  *outSubKey = nullptr;
  if (QOXError err = qoxKeyUsableForChange(master); err != kQOXErrNoErr) return err;
  // One value protects the subkey and unlocks the master key.
  p.masterPassphrase = p.passphrase;
  p.masterPassphraseLength = p.passphraseLength;
  return Generate(db, master, p, nullptr, nullptr, outSubKey);
}

uint32_t qoxKeyEntropyNeededInternal(QOXContext* context, QOXOptionListRef optionList) {
  if (QOXError err = qoxCheckOptionsInSet(optionList, kEntropySet, Count(kEntropySet)); err != kQOXErrNoErr)
    return static_cast<uint32_t>(err);
  QOXKeyGenParams p;
  if (ReadKeyGenParams(optionList, &p) != kQOXErrNoErr) return kEntropyUnreadable;
  if (ReadFlagged(optionList, kQOXOptionType_KeyFlags, &p.keyFlags, &p.keyFlagsGiven) != kQOXErrNoErr)
    return kEntropyUnreadable;
  if (ReadGenerationSwitches(optionList, context, &p) != kQOXErrNoErr) return kEntropyUnreadable;
  if (!p.checkEntropy) return 0;
  return qoxSecKeyEntropy(qoxPkalgByNumber(p.algorithm), p.bits, p.fast, IsLegacy(p.algorithm, p.keyFlagsGiven));
}

// --- Worker ---

QOXError qoxDoGenerateKey_internal(QOXKeyDB* db, QOXKeyDBObj* master, const QOXKeyGenParams& p,
                                   QOXKeySet* recipientRequestKeys, QOXKeySet* revocationKeys,
                                   QOXKeyDBObj** outKey) {
  if (outKey == nullptr || !qoxKeyDBIsValid(db)) return kQOXErrBadParams;
  *outKey = nullptr;
  if (master != nullptr && (!qoxKeyIsValid(master) || qoxObjKeyDB(master) != db)) return kQOXErrBadParams;
  QOXContext* context = db->context;
  QOXEnv* env = qoxContextGetEnvironment(context);

  // 1. The algorithm and its use.
  const QOXPkAlg* row = qoxPkalgByNumber(p.algorithm);
  const uint32_t use = master == nullptr ? kQOXPkAlgUseSign : kQOXPkAlgUseEncrypt;
  if (row == nullptr || (qoxKeyAlgUse(row) & use) == 0) return kQOXErrBadParams;
  // A subkey is always version 4, so only a master key is legacy.
  const bool legacy = master == nullptr && IsLegacy(p.algorithm, p.keyFlagsGiven);

  // 2, 3. Fresh system data into the pool, then its estimate against the
  // bits the generation draws.
  if (QOXRandomContext* pool = qoxContextGetGlobalPoolRandomContext(context)) (void)qoxRandomCollectOsData(pool, false);
  if (p.checkEntropy) {
    uint32_t entropy = 0;
    qoxGlobalRandomPoolGetInfo_internal(&entropy, nullptr, nullptr, nullptr);
    if (qoxSecKeyEntropy(row, p.bits, p.fast, legacy) > entropy) return kQOXErrOutOfEntropy;
  }

  // 4. The secret key.
  QOXRandomContext* rc = qoxContextGetX9_17RandomContext(context);
  if (rc == nullptr) return kQOXErrOutOfMemory;
  QOXKeyGenRecord record{context, p.handler, p.userValue, kQOXErrNoErr};
  QOXError err = kQOXErrNoErr;
  SecKeyOwner secret(qoxSecKeyGenerate(context, row, p.bits, p.fast, legacy, rc, genProgress, &record, &err));
  Stir(rc);
  if (secret == nullptr) {
    if (record.answer != kQOXErrNoErr) return record.answer;  // the handler stopped it
    return err != kQOXErrNoErr ? err : kQOXErrOutOfMemory;
  }

  // 5. Its protection.
  if (err = LockSecret(context, secret.get(), master, p, rc); err != kQOXErrNoErr) return err;

  // 6. The key spec: version 3, created now or at the given time (each with
  // the environment's offset), with the validity days.
  KeySpecOwner spec(qoxKeySpecCreate(env));
  if (spec == nullptr) return kQOXErrOutOfMemory;
  if (p.creation != 0) {
    const auto hours = static_cast<int32_t>(qoxenvGetInt(env, kQOXEnvTimeOffsetHours, nullptr, nullptr));
    (void)qoxKeySpecSetCreation(spec.get(), p.creation + static_cast<uint32_t>(hours) * kSecondsPerHour);
  }
  (void)qoxKeySpecSetValidity(spec.get(), p.validityDays);

  QOXKeyDBObj* made = nullptr;
  if (master == nullptr) {
    // 7. The key pair.
    const size_t prefCount = p.preferredAlgorithmsLength / sizeof(uint32_t);
    auto* prefBytes = prefCount > 0 ? static_cast<uint8_t*>(qoxContextMemAlloc(context, prefCount, 0)) : nullptr;
    if (prefCount > 0 && prefBytes == nullptr) return kQOXErrOutOfMemory;
    for (size_t i = 0; i < prefCount; ++i) prefBytes[i] = static_cast<uint8_t>(p.preferredAlgorithms[i]);
    QOXKeypairRequest request{};
    request.userID = p.name;
    request.userIDLength = p.nameLength;
    request.version4 = !legacy;
    request.revocationKeys = revocationKeys;
    request.revokerClass = p.revokerClass;
    request.preferredAlgorithms = prefBytes;
    request.preferredAlgorithmsLength = prefCount;
    request.preferredKeyServer = p.preferredKeyServer;
    request.preferredKeyServerLength = p.preferredKeyServerLength;
    request.keyFlags = p.keyFlags;
    request.keyFlagsGiven = p.keyFlagsGiven;
    request.keyServerPreferences = p.keyServerPreferences;
    request.keyServerPreferencesGiven = p.keyServerPreferencesGiven;
    request.recipientRequestKeys = recipientRequestKeys;
    request.recipientRequestClass = p.recipientRequestClass;
    request.passphrase = reinterpret_cast<const uint8_t*>(p.passphrase);
    request.passphraseLength = p.passphraseLength;
    request.hashedPassphrase = p.passkey;
    made = qoxCreateKeypair(context, db, secret.get(), spec.get(), request, &err);
    if (prefBytes != nullptr) qoxContextMemFree(context, prefBytes);
  } else {
    // 8. The subkey pair, once the master key unlocks.
    if (err = UnlockMaster(master, p); err != kQOXErrNoErr) return err;
    made = qoxCreateSubkeypair(master, context, secret.get(), spec.get(),
                               reinterpret_cast<const uint8_t*>(p.passphrase), p.passphraseLength, p.passkey,
                               p.keyFlags, p.keyFlagsGiven, &err);
  }
  if (made == nullptr) return err != kQOXErrNoErr ? err : kQOXErrOutOfMemory;
  if (err != kQOXErrNoErr) {
    Discard(db, made);
    return err;
  }
  // The secret key object now carries the new key's ID, under which its
  // passkey is cached.
  if (p.passphraseLength != 0 && p.cacheTimeOut != 0)
    (void)qoxSecKeyCachePassphrase(secret.get(), p.passphrase, p.passphraseLength, p.passkey, p.cacheTimeOut,
                                   p.cacheGlobally);

  // 9.
  Stir(rc);
  qoxKeyDBChanged(db, true);
  *outKey = made;
  return kQOXErrNoErr;
}
