// Test helpers shared by the option, event, entry-point and passphrase-cache
// tests: a context over a counting memory manager (so a test can show that
// every block it caused was given back), and stand-ins for key-database
// objects and secret keys, installed in the key-database table
// (foundation/keydb_services.h) as the key database would register itself.
#ifndef OSTRAK_TESTS_FOUNDATION_TOOLKIT_DOUBLES_H_
#define OSTRAK_TESTS_FOUNDATION_TOOLKIT_DOUBLES_H_

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/keydb_services.h"
#include "tests/common/scoped_services.h"
#include "foundation/memory_mgr.h"
#include "crypto/pkalg.h"
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
  // Lets n more allocations succeed and refuses the rest; -1 lifts the limit.
  void setBudget(long n) { counts_.FailAfter(n); }

 private:
  ostrak_test::CountingMemoryMgr counts_;
  QOXContext* context_ = nullptr;
  long basePlain_ = 0;
  long baseSecure_ = 0;
};

// --- Key-database stand-ins ---

enum class Kind { Key, SubKey, Sig, UserID, KeySet, KeyDB };

struct FakeObject {
  Kind kind;
  QOXContext* context;
  int refs;
};

struct Registry {
  std::mutex mu;  // guards objects
  std::set<const void*> objects;
};

inline Registry& registry() {
  static Registry r;
  return r;
}

inline FakeObject* Live(const void* p, Kind kind) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  if (r.objects.count(p) == 0) return nullptr;
  auto* o = static_cast<FakeObject*>(const_cast<void*>(p));
  return o->kind == kind ? o : nullptr;
}

// Registers a stand-in for as long as the holder lives.
class Fake {
 public:
  Fake(Kind kind, QOXContext* context, int refs = 1) : object_{kind, context, refs} {
    std::lock_guard<std::mutex> lock(registry().mu);
    registry().objects.insert(&object_);
  }
  ~Fake() {
    std::lock_guard<std::mutex> lock(registry().mu);
    registry().objects.erase(&object_);
  }
  Fake(const Fake&) = delete;
  Fake& operator=(const Fake&) = delete;

  QOXKeySet* set() { return reinterpret_cast<QOXKeySet*>(&object_); }
  QOXKeyDB* db() { return reinterpret_cast<QOXKeyDB*>(&object_); }
  QOXKeyDBObj* obj() { return reinterpret_cast<QOXKeyDBObj*>(&object_); }
  int refs() const { return object_.refs; }

 private:
  FakeObject object_;
};

inline bool IsKind(const void* p, Kind k) { return Live(p, k) != nullptr; }

inline QOXError AddRef(void* p, Kind k) {
  FakeObject* o = Live(p, k);
  if (o == nullptr) return kQOXErrBadParams;
  ++o->refs;
  return kQOXErrNoErr;
}

inline QOXError DropRef(void* p, Kind k) {
  FakeObject* o = Live(p, k);
  if (o == nullptr) return kQOXErrBadParams;
  --o->refs;
  return kQOXErrNoErr;
}

inline QOXContext* ObjContext(QOXKeyDBObj* p) {
  for (Kind k : {Kind::Key, Kind::SubKey, Kind::Sig, Kind::UserID})
    if (FakeObject* o = Live(p, k)) return o->context;
  return nullptr;
}

// The key-database double: every member of QOXKeyDBServices that these
// tests reach answers for the fake objects above; the others keep what is in
// force.
inline void FillKeyDBDouble(QOXKeyDBServices& d) {
  d.qoxKeyIsValid = [](const QOXKeyDBObj* p) { return IsKind(p, Kind::Key); };
  d.qoxSubKeyIsValid = [](const QOXKeyDBObj* p) { return IsKind(p, Kind::SubKey); };
  d.qoxSigIsValid = [](const QOXKeyDBObj* p) { return IsKind(p, Kind::Sig); };
  d.qoxKeyDBObjIsValid = [](const QOXKeyDBObj* p) { return ObjContext(const_cast<QOXKeyDBObj*>(p)) != nullptr; };
  d.qoxKeySetIsValid = [](const QOXKeySet* p) { return IsKind(p, Kind::KeySet); };
  d.qoxKeyDBIsValid = [](const QOXKeyDB* p) { return IsKind(p, Kind::KeyDB); };
  d.QOXIncKeySetRefCount = [](QOXKeySet* p) { return AddRef(p, Kind::KeySet); };
  d.QOXFreeKeySet = [](QOXKeySet* p) { return DropRef(p, Kind::KeySet); };
  d.QOXIncKeyDBRefCount = [](QOXKeyDB* p) { return AddRef(p, Kind::KeyDB); };
  d.QOXFreeKeyDB = [](QOXKeyDB* p) { return DropRef(p, Kind::KeyDB); };
  d.QOXPeekKeyDBObjContext = [](QOXKeyDBObj* p) { return ObjContext(p); };
  d.qoxObjectType = [](QOXKeyDBObj* p) { return IsKind(p, Kind::Key) ? kQOXKeyDBObjType_Key : 2; };
  d.QOXCompareKeyIDs = [](const QOXKeyID* a, const QOXKeyID* b) {
    int c = std::memcmp(a, b, sizeof(QOXKeyID));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  };
  d.qoxNewKeyIDFromRawData = [](const uint8_t* bytes, uint8_t algorithm, size_t length, QOXKeyID* out) {
    if (length != 4 && length != 8) return kQOXErrBadParams;
    out->valid = 1;
    out->length = static_cast<uint8_t>(length);
    out->algorithm = algorithm;
    std::memcpy(out->bytes, bytes, length);
    return kQOXErrNoErr;
  };
}

// Installs the key-database double for one test.
class KeyDBDoubleScope {
 public:
  KeyDBDoubleScope() { FillKeyDBDouble(services_.table()); }

 private:
  ostrak_test::ScopedServices<QOXKeyDBServices> services_{qoxKeyDBServices, qoxRegisterKeyDBServices};
};

// --- Secret-key stand-in ---
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
