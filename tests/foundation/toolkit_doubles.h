// Test helpers shared by the option, event, entry-point and passphrase-cache
// tests: a context over a counting memory manager (so a test can show that
// every block it caused was given back), real key databases with an object
// of each kind, the locked DSA pair of the engine's tests as a real secret
// key, and a secret-key stand-in for the one case no real key gives.
#ifndef OSTRAK_TESTS_FOUNDATION_TOOLKIT_DOUBLES_H_
#define OSTRAK_TESTS_FOUNDATION_TOOLKIT_DOUBLES_H_

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "crypto/context_random.h"
#include "crypto/pkalg.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/memory_mgr.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_packet.h"
#include "keydb/key_set.h"
#include "keydb/packet_header.h"
#include "tests/common/counting_memory_mgr.h"

namespace toolkit_doubles {

// A started toolkit and one context over the test memory manager. The
// manager is handed to the context, which frees it with itself.
class CountingContext {
 public:
  CountingContext() {
    EXPECT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), kQOXErrNoErr);
    QOXMemoryMgr* mgr = counts_.Make();
    EXPECT_NE(mgr, nullptr);
    QOXNewContextStruct ctxRecord{kQOXAPIVersion, mgr, 0};
    EXPECT_EQ(QOXNewContextCustom(&ctxRecord, &context_), kQOXErrNoErr);
    basePlain_ = counts_.livePlain();
    baseSecure_ = counts_.liveSecure();
  }
  ~CountingContext() {
    counts_.FailAfter(-1);
    QOXFreeContext(context_);
    QOXsdkCleanup();
  }
  CountingContext(const CountingContext&) = delete;
  CountingContext& operator=(const CountingContext&) = delete;

  QOXContext* get() const { return context_; }
  // Blocks made since the context was created and not yet given back.
  long livePlain() const { return counts_.livePlain() - basePlain_; }
  long liveSecure() const { return counts_.liveSecure() - baseSecure_; }
  // Secure blocks whose data was not zero when they were given back.
  long unwipedSecure() const { return counts_.dirtySecureFreed(); }
  // Counts from now on: blocks made so far (a key database the test keeps
  // for its whole run, say) are not reported as live.
  void Rebase() {
    basePlain_ = counts_.livePlain();
    baseSecure_ = counts_.liveSecure();
  }
  // Lets n more allocations succeed and refuses the rest; -1 lifts the limit.
  void setBudget(long n) { counts_.FailAfter(n); }

 private:
  ostrak_test::CountingMemoryMgr counts_;
  QOXContext* context_ = nullptr;
  long basePlain_ = 0;
  long baseSecure_ = 0;
};

// --- Real key databases ---

// A real key database of the context (keydb/), with one object of each kind
// the entry points and option constructors take (a key, its subkey, a user
// ID and a signature on it, made by the key database's own makers) and a
// key set made over it with one reference. Released when it goes.
class RealKeyDB {
 public:
  explicit RealKeyDB(QOXContext* context) {
    EXPECT_EQ(QOXNewKeyDB(context, &db_), kQOXErrNoErr);
    const uint8_t keyID[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    const uint8_t subKeyID[8] = {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01};
    key_ = qoxNewKeyObj(db_, nullptr, kQOXObjFlag_Key, 17, keyID);
    subKey_ = qoxNewKeyObj(db_, key_, kQOXObjFlag_SubKey, 16, subKeyID);
    userID_ = qoxNewKeyDBObj(db_, key_, kQOXObjFlag_UserID);
    sig_ = qoxNewKeyDBObj(db_, userID_, kQOXObjFlag_Sig);
    EXPECT_NE(sig_, nullptr);
    EXPECT_NE(subKey_, nullptr);
    EXPECT_EQ(QOXNewKeySet(db_, &set_), kQOXErrNoErr);
  }
  ~RealKeyDB() {
    EXPECT_EQ(QOXFreeKeySet(set_), kQOXErrNoErr);
    EXPECT_EQ(QOXFreeKeyDB(db_), kQOXErrNoErr);
  }
  RealKeyDB(const RealKeyDB&) = delete;
  RealKeyDB& operator=(const RealKeyDB&) = delete;

  QOXKeyDB* db() const { return db_; }
  QOXKeySet* set() const { return set_; }
  QOXKeyDBObj* key() const { return key_; }
  QOXKeyDBObj* subKey() const { return subKey_; }
  QOXKeyDBObj* userID() const { return userID_; }
  QOXKeyDBObj* sig() const { return sig_; }
  int dbRefs() const { return db_->refCount; }
  int setRefs() const { return set_->refCount; }

 private:
  QOXKeyDB* db_ = nullptr;
  QOXKeySet* set_ = nullptr;
  QOXKeyDBObj* key_ = nullptr;
  QOXKeyDBObj* subKey_ = nullptr;
  QOXKeyDBObj* userID_ = nullptr;
  QOXKeyDBObj* sig_ = nullptr;
};

// --- The locked DSA pair ---

// The DSA secret key of the key database's fixture "bob"
// (tests/keydb/data/bob.sec.bin, unprotected as gpg exported it), locked
// with a passphrase by the key's own lock operation (string-to-key kind 1,
// the environment's cipher), as the engine's tests lock it. Its key ID is
// the one the key database's parser gives the key packet, with the last
// byte replaced by idByte so that several keys can be told apart.
//
// The key's own numbers live in a context of their own (numbers()), so
// that the context whose passphrase cache it uses (key()->context, the one
// given) sees only the cache's blocks.
class LockedDSAKey {
 public:
  LockedDSAKey(QOXContext* cacheContext, uint8_t idByte, std::string passphrase)
      : passphrase_(std::move(passphrase)) {
    EXPECT_EQ(QOXNewContext(kQOXAPIVersion, &numbers_), kQOXErrNoErr);
    std::ifstream in(std::string(OSTRAK_SOURCE_DIR) + "/tests/keydb/data/bob.sec.bin", std::ios::binary);
    std::vector<uint8_t> ring((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The first packet is the secret key: a two-byte old-form header.
    EXPECT_GT(ring.size(), 3u);
    const size_t length = 3 + (size_t{ring[1]} << 8 | ring[2]);
    EXPECT_EQ(qoxPktTag(ring[0]), kQOXPktTag_SecretKey);
    uint8_t algorithm = 0;
    uint8_t keyID[8] = {};
    EXPECT_EQ(qoxKeyParse(numbers_, ring.data(), length, &algorithm, keyID, nullptr, nullptr, nullptr, nullptr,
                          nullptr, true),
              kQOXErrNoErr);
    const size_t prefix = 3 + 6;  // header, then version, creation and algorithm
    QOXError err = kQOXErrNoErr;
    QOXSecKey* clear = qoxSecKeyFromBuf(numbers_, algorithm, ring.data() + prefix, length - prefix, 0, &err);
    EXPECT_NE(clear, nullptr) << err;
    EXPECT_EQ(clear->changeLock(clear, qoxContextGetEnvironment(numbers_), qoxContextGetDummyRandomContext(numbers_),
                                passphrase_.data(), passphrase_.size(), 1),
              kQOXErrNoErr);
    std::vector<uint8_t> locked(clear->bufferLength(clear));
    clear->toBuffer(clear, locked.data());
    clear->destroy(clear);
    key_ = qoxSecKeyFromBuf(numbers_, algorithm, locked.data(), locked.size(), 0, &err);
    EXPECT_NE(key_, nullptr) << err;
    EXPECT_EQ(key_->islocked(key_), 1);
    keyID[7] = idByte;
    std::memcpy(key_->keyID, keyID, sizeof keyID);
    key_->context = cacheContext;
  }
  ~LockedDSAKey() {
    key_->context = numbers_;
    key_->destroy(key_);
    QOXFreeContext(numbers_);
  }
  LockedDSAKey(const LockedDSAKey&) = delete;
  LockedDSAKey& operator=(const LockedDSAKey&) = delete;

  QOXSecKey* key() const { return key_; }
  bool locked() const { return key_->islocked(key_) != 0; }
  void Lock() { key_->lock(key_); }
  // The passkey of the passphrase: what unlocking with the hashed flag takes.
  std::string passkey() const {
    const QOXCipherVTBL* cipher = nullptr;
    size_t size = 0;
    EXPECT_EQ(key_->lockingalgorithm(key_, &cipher, &size), kQOXErrNoErr);
    std::string out(size, '\0');
    EXPECT_EQ(key_->convertpassphrase(key_, qoxContextGetEnvironment(numbers_), passphrase_.data(),
                                      passphrase_.size(), reinterpret_cast<uint8_t*>(out.data())),
              kQOXErrNoErr);
    return out;
  }
  size_t passkeySize() const { return passkey().size(); }

 private:
  std::string passphrase_;
  QOXContext* numbers_ = nullptr;
  QOXSecKey* key_ = nullptr;
};

// --- Secret-key stand-in ---
// For the one case no real key gives: a key that unlocks but cannot name
// its lock, so that its passphrase cannot be converted for the cache.
// The passkey of a passphrase is the passphrase's bytes, each XORed with
// 0x5A, padded with 0x5A to kPasskeySize. unlock takes the right passphrase
// or its passkey. The key object is the first member (no virtuals, no base),
// so the operations find their state from the key's address.
struct FakeSecKey {
  static constexpr size_t kPasskeySize = 16;

  QOXSecKey key{};
  std::string passphrase;
  std::atomic<bool> locked{true};
  std::atomic<int> unlockCalls{0};
  std::atomic<int> passkeyUnlocks{0};  // unlocks that used a passkey
  bool failLockingAlgorithm = false;

  FakeSecKey(QOXContext* context, uint8_t idByte, std::string pass) : passphrase(std::move(pass)) {
    key.context = context;
    key.algorithm = 17;
    for (int i = 0; i < 8; ++i) key.keyID[i] = static_cast<uint8_t>(idByte + i);
    key.islocked = [](const QOXSecKey* k) { return Self(k)->locked.load() ? 1 : 0; };
    key.lockingalgorithm = [](const QOXSecKey* k, const QOXCipherVTBL** cipher, size_t* size) {
      *cipher = nullptr;
      *size = kPasskeySize;
      return Self(k)->failLockingAlgorithm ? QOXError{-11418} : kQOXErrNoErr;
    };
    key.convertpassphrase = [](const QOXSecKey*, QOXEnv*, const char* pass, size_t length,
                               uint8_t* out) {
      Derive(pass, length, out);
      return kQOXErrNoErr;
    };
    key.unlock = [](QOXSecKey* k, const char* pass, size_t length, int hashed) {
      FakeSecKey* self = Self(k);
      self->unlockCalls++;
      uint8_t want[kPasskeySize];
      Derive(self->passphrase.data(), self->passphrase.size(), want);
      bool ok;
      if (hashed) {
        self->passkeyUnlocks++;
        ok = length == kPasskeySize && std::memcmp(pass, want, kPasskeySize) == 0;
      } else {
        ok = std::string(pass, length) == self->passphrase;
      }
      if (ok) self->locked = false;
      return ok ? 1 : 0;
    };
  }

  static FakeSecKey* Self(const QOXSecKey* k) {
    return reinterpret_cast<FakeSecKey*>(const_cast<QOXSecKey*>(k));
  }
  static void Derive(const char* pass, size_t length, uint8_t* out) {
    for (size_t i = 0; i < kPasskeySize; ++i)
      out[i] = static_cast<uint8_t>((i < length ? pass[i] : 0) ^ 0x5A);
  }
  std::string passkey() const {
    uint8_t p[kPasskeySize];
    Derive(passphrase.data(), passphrase.size(), p);
    return std::string(reinterpret_cast<char*>(p), kPasskeySize);
  }
};

}  // namespace toolkit_doubles

#endif  // OSTRAK_TESTS_FOUNDATION_TOOLKIT_DOUBLES_H_
