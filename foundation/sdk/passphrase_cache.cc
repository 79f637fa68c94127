// The passphrase cache. Every public call holds the process-wide cache mutex
// for its whole run (RAII guard), so the store and retrieve helpers below
// run only with it held.
#include "foundation/sdk/passphrase_cache.h"

#include <atomic>
#include <cstring>

#include "foundation/context.h"
#include "foundation/keydb_services.h"
#include "foundation/memory_mgr.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "crypto/pkalg.h"

namespace {

constexpr QOXTime kNeverExpires = 0xFFFFFFFFu;
constexpr size_t kRawKeyIDSize = 8;

}  // namespace

struct QOXPassphraseCacheEntry {
  QOXPassphraseCacheEntry* next;
  uint32_t connectRef;  // 0 for a global entry
  uint8_t global;
  QOXKeyID keyID;
  uint32_t timeToLive;  // seconds
  QOXTime expiry;       // dead after this; kNeverExpires = never
  uint8_t* passkey;     // secure block of the context's manager
  size_t passkeyLength;
  void* extra;  // freed on removal when set; nothing sets it
};

struct QOXPassphraseCache {
  QOXContext* context;
  QOXPassphraseCacheEntry* globalList;
  QOXPassphraseCacheEntry* connectionList;
};

namespace {

std::atomic<QOXPassphraseCacheClock> gClock{nullptr};

QOXTime Now() {
  QOXPassphraseCacheClock clock = gClock.load(std::memory_order_acquire);
  return clock != nullptr ? clock() : QOXGetTime();
}

// now + ttl, or never when the sum wraps.
QOXTime ExpiryFrom(QOXTime now, uint32_t ttl) {
  QOXTime expiry = now + ttl;
  return expiry < now ? kNeverExpires : expiry;
}

QOXPassphraseCache* CacheOf(QOXContext* context, bool create) {
  QOXPassphraseCache* cache = qoxContextGetPassphraseCache(context);
  if (cache == nullptr && create) {
    cache = static_cast<QOXPassphraseCache*>(
        qoxContextMemAlloc(context, sizeof(QOXPassphraseCache), kQOXMemoryMgrFlags_Clear));
    if (cache != nullptr) {
      cache->context = context;
      qoxContextSetPassphraseCache(context, cache);
    }
  }
  return cache;
}

bool SameKey(const QOXPassphraseCacheEntry* entry, const QOXKeyID& keyID) {
  return qoxKeyDBServices().QOXCompareKeyIDs(&entry->keyID, &keyID) == 0;
}

// Wipes and frees one entry with its blocks.
void RemoveEntry(QOXContext* context, QOXPassphraseCacheEntry* entry) {
  if (entry->passkey != nullptr) {
    std::memset(entry->passkey, 0, entry->passkeyLength);
    QOXFreeData(entry->passkey);
  }
  if (entry->extra != nullptr) QOXFreeData(entry->extra);
  std::memset(entry, 0, sizeof(*entry));
  qoxContextMemFree(context, entry);
}

// A secure copy of the passkey, or null.
uint8_t* SecureCopy(QOXContext* context, const uint8_t* passkey, size_t length) {
  auto* block = static_cast<uint8_t*>(QOXNewSecureData(QOXPeekContextMemoryMgr(context), length, 0));
  if (block != nullptr && length > 0) std::memcpy(block, passkey, length);
  return block;
}

// Caller holds the mutex.
QOXError sCachePassphraseInternal(QOXContext* context, const QOXKeyID& keyID,
                                  const uint8_t* passkey, size_t length, uint32_t timeToLive,
                                  bool global) {
  QOXPassphraseCache* cache = CacheOf(context, true);
  if (cache == nullptr) return kQOXErrNoErr;  // nothing can be cached; not an error
  uint32_t connectRef = global ? 0 : qoxContextGetConnectRef(context);
  QOXPassphraseCacheEntry*& head = global ? cache->globalList : cache->connectionList;
  QOXPassphraseCacheEntry* entry = head;
  for (; entry != nullptr; entry = entry->next)
    if (entry->connectRef == connectRef && SameKey(entry, keyID)) break;

  // The new passkey block is made before anything changes, so a failure
  // leaves an existing entry with its old passkey and adds no empty entry.
  uint8_t* block = SecureCopy(context, passkey, length);
  if (block == nullptr) return kQOXErrOutOfMemory;
  if (entry == nullptr) {
    entry = static_cast<QOXPassphraseCacheEntry*>(
        qoxContextMemAlloc(context, sizeof(QOXPassphraseCacheEntry), kQOXMemoryMgrFlags_Clear));
    if (entry == nullptr) {
      QOXFreeData(block);
      return kQOXErrOutOfMemory;
    }
    entry->global = global ? 1 : 0;
    entry->connectRef = connectRef;
    entry->keyID = keyID;
    entry->next = head;
    head = entry;
  } else {
    std::memset(entry->passkey, 0, entry->passkeyLength);
    QOXFreeData(entry->passkey);
  }
  entry->passkey = block;
  entry->passkeyLength = length;
  entry->timeToLive = timeToLive;
  entry->expiry = ExpiryFrom(Now(), timeToLive);
  return kQOXErrNoErr;
}

// Caller holds the mutex; the passkey handed out stays valid only while it
// is held.
QOXError sRetrieveCachedPassphraseInternal(QOXContext* context, const QOXKeyID& keyID,
                                           const uint8_t** outPasskey, size_t* outLength) {
  *outPasskey = nullptr;
  *outLength = 0;
  QOXPassphraseCache* cache = CacheOf(context, true);
  if (cache == nullptr) return kQOXErrNoErr;
  QOXTime now = Now();
  QOXPassphraseCacheEntry* hit = nullptr;
  for (auto* e = cache->globalList; e != nullptr && hit == nullptr; e = e->next)
    if (SameKey(e, keyID) && e->expiry >= now) hit = e;
  uint32_t connectRef = qoxContextGetConnectRef(context);
  for (auto* e = cache->connectionList; e != nullptr && hit == nullptr; e = e->next)
    if (e->connectRef == connectRef && SameKey(e, keyID) && e->expiry >= now) hit = e;
  if (hit == nullptr) return kQOXErrBadPassphrase;
  hit->expiry = ExpiryFrom(now, hit->timeToLive);
  *outPasskey = hit->passkey;
  *outLength = hit->passkeyLength;
  return kQOXErrNoErr;
}

QOXError KeyIDOf(QOXSecKey* key, QOXKeyID* outKeyID) {
  std::memset(outKeyID, 0, sizeof(*outKeyID));
  return qoxKeyDBServices().qoxNewKeyIDFromRawData(key->keyID, key->algorithm, kRawKeyIDSize, outKeyID);
}

// Converts a passphrase into the key's passkey and stores it. A key that
// cannot say its passkey size or convert the passphrase caches nothing: 0.
QOXError ConvertAndCache(QOXSecKey* key, const QOXKeyID& keyID, const char* passphrase,
                         size_t length, uint32_t timeToLive, bool global) {
  QOXContext* context = key->context;
  const QOXCipherVTBL* cipher = nullptr;
  size_t passkeySize = 0;
  if (key->lockingalgorithm(key, &cipher, &passkeySize) != kQOXErrNoErr) return kQOXErrNoErr;
  auto* passkey = static_cast<uint8_t*>(
      QOXNewSecureData(QOXPeekContextMemoryMgr(context), passkeySize, 0));
  if (passkey == nullptr) return kQOXErrNoErr;
  QOXError err = key->convertpassphrase(key, qoxContextGetEnvironment(context), passphrase,
                                        length, passkey);
  if (err == kQOXErrNoErr)
    err = sCachePassphraseInternal(context, keyID, passkey, passkeySize, timeToLive, global);
  else
    err = kQOXErrNoErr;
  QOXFreeData(passkey);  // secure: wiped on free
  return err;
}

}  // namespace

void qoxSetPassphraseCacheClock(QOXPassphraseCacheClock clock) {
  gClock.store(clock, std::memory_order_release);
}

QOXError qoxSecKeyUnlockWithCache(QOXSecKey* key, const char* passphrase, size_t length,
                                  bool isPasskey, uint32_t timeToLive, bool global) {
  if (key == nullptr || (length > 0 && passphrase == nullptr)) return kQOXErrBadParams;
  QOXMutexGuard guard(qoxPassphraseCacheMutex());
  QOXKeyID keyID;
  QOXError err = KeyIDOf(key, &keyID);
  if (err != kQOXErrNoErr) return err;
  bool havePassphrase = length > 0;
  if (key->islocked(key) == 0) return havePassphrase ? kQOXErrBadPassphrase : kQOXErrNoErr;

  const char* secret = passphrase;
  size_t secretLength = length;
  bool secretIsPasskey = isPasskey;
  if (!havePassphrase) {
    const uint8_t* cached = nullptr;
    err = sRetrieveCachedPassphraseInternal(key->context, keyID, &cached, &secretLength);
    if (err != kQOXErrNoErr) return err;
    if (cached == nullptr) return kQOXErrBadPassphrase;  // no cache record could be made
    secret = reinterpret_cast<const char*>(cached);
    secretIsPasskey = true;
  }
  int32_t unlocked = key->unlock(key, secret, secretLength, secretIsPasskey ? 1 : 0);
  if (unlocked == 0) return kQOXErrBadPassphrase;
  if (unlocked != 1) return unlocked;
  if (!havePassphrase || timeToLive == 0) return kQOXErrNoErr;
  if (isPasskey)
    return sCachePassphraseInternal(key->context, keyID,
                                    reinterpret_cast<const uint8_t*>(passphrase), length,
                                    timeToLive, global);
  return ConvertAndCache(key, keyID, passphrase, length, timeToLive, global);
}

QOXError qoxSecKeyCachePassphrase(QOXSecKey* key, const char* passphrase, size_t length,
                                  bool isPasskey, uint32_t timeToLive, bool global) {
  if (key == nullptr || (length > 0 && passphrase == nullptr)) return kQOXErrBadParams;
  QOXMutexGuard guard(qoxPassphraseCacheMutex());
  if (length == 0) return kQOXErrNoErr;
  QOXKeyID keyID;
  QOXError err = KeyIDOf(key, &keyID);
  if (err != kQOXErrNoErr) return err;
  if (isPasskey)
    return sCachePassphraseInternal(key->context, keyID,
                                    reinterpret_cast<const uint8_t*>(passphrase), length,
                                    timeToLive, global);
  return ConvertAndCache(key, keyID, passphrase, length, timeToLive, global);
}

QOXError qoxPurgePassphraseCache_internal(QOXContext* context) {
  QOXMutexGuard guard(qoxPassphraseCacheMutex());
  QOXPassphraseCache* cache = qoxContextGetPassphraseCache(context);
  if (cache == nullptr) return kQOXErrNoErr;
  for (QOXPassphraseCacheEntry* list : {cache->globalList, cache->connectionList}) {
    while (list != nullptr) {
      QOXPassphraseCacheEntry* next = list->next;
      RemoveEntry(context, list);
      list = next;
    }
  }
  std::memset(cache, 0, sizeof(*cache));
  qoxContextMemFree(context, cache);
  qoxContextSetPassphraseCache(context, nullptr);
  return kQOXErrNoErr;
}

QOXError QOXPurgePassphraseCache(QOXContext* context) {
  if (!qoxContextIsValid(context)) return kQOXErrBadParams;
  return qoxPurgePassphraseCache_back(context);
}

QOXError qoxPurgePassphraseCache_back(QOXContext* context) {
  const QOXRPCClientServices& rpc = qoxRPCClientServices();
  if (rpc.qoxRPCEnabled()) return rpc.qoxPurgePassphraseCache_backRPC(context);
  return qoxPurgePassphraseCache_internal(context);
}

void qoxExpirePassphraseCache(QOXContext* context) {
  if (!qoxContextIsValid(context)) return;
  QOXMutexGuard guard(qoxPassphraseCacheMutex());
  QOXPassphraseCache* cache = qoxContextGetPassphraseCache(context);
  if (cache == nullptr) return;
  QOXTime now = Now();
  for (QOXPassphraseCacheEntry** link : {&cache->globalList, &cache->connectionList}) {
    while (*link != nullptr) {
      QOXPassphraseCacheEntry* entry = *link;
      if (entry->expiry < now) {
        *link = entry->next;
        RemoveEntry(context, entry);
      } else {
        link = &entry->next;
      }
    }
  }
}
