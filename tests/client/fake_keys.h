// A key ring of fake keys for the dialogs' tests: the key-database calls the
// dialogs make (client/dialog_keydb_services.h and the foundation's
// key-database table) answered from a list of key descriptions, installed as
// doubles for the ring's lifetime. A key handle is the address of its
// description; the ring's key database and its root set are two marker
// handles. Passphrase checks compare the QOXOPassphrase option with the
// key's passphrase and are counted per key.
//
// Used by the dialog tests and by the terminal test program
// (tty_dialog_driver.cc). One ring at a time.
#ifndef OSTRAK_TESTS_CLIENT_FAKE_KEYS_H_
#define OSTRAK_TESTS_CLIENT_FAKE_KEYS_H_

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "client/dialog_keydb_services.h"
#include "foundation/keydb_services.h"
#include "foundation/option_list.h"
#include "foundation/option_types.h"
#include "tests/common/scoped_services.h"

namespace client_fakes {

struct FakeKey {
  std::string userID;
  std::string passphrase;
  int validityRank = 0;  // validity order: lower first (stable)
  int32_t algorithm = 1;
  int32_t bits = 2048;
  bool secret = true;
  bool revoked = false;
  bool expired = false;
  bool canSign = true;
  bool canDecrypt = true;
  bool shared = false;
  bool needsPassphrase = true;
  bool canSignUnreadable = false;  // reading "can sign" fails
  int passphraseChecks = 0;        // QOXPassphraseIsValid calls on this key
};

class FakeKeyRing {
 public:
  FakeKeyRing(QOXContext* context, std::vector<FakeKey> keys)
      : context_(context),
        keys_(std::move(keys)),
        keydb_(qoxKeyDBServices, qoxRegisterKeyDBServices),
        dialog_(qoxDialogKeyDBServices, qoxRegisterDialogKeyDBServices) {
    current_ = this;
    keydb_->qoxKeyIsValid = [](const QOXKeyDBObj* o) { return Find(o) != nullptr; };
    keydb_->qoxKeyDBIsValid = [](const QOXKeyDB* db) { return db == DB(); };
    keydb_->qoxKeySetIsValid = [](const QOXKeySet* set) { return set == Root(); };
    keydb_->QOXPeekKeyDBObjContext = [](QOXKeyDBObj* o) { return Find(o) ? current_->context_ : nullptr; };
    keydb_->QOXNewKeySet = [](QOXKeyDB* db, QOXKeySet** out) {
      *out = nullptr;
      if (db != DB()) return kQOXErrBadParams;
      ++current_->liveSets_;
      *out = Root();
      return kQOXErrNoErr;
    };
    keydb_->QOXFreeKeySet = [](QOXKeySet* set) {
      if (set != Root()) return kQOXErrBadParams;
      --current_->liveSets_;
      return kQOXErrNoErr;
    };
    keydb_->QOXGetKeyDBObjBooleanProperty = [](QOXKeyDBObj* o, int32_t property, bool* out) {
      *out = false;
      FakeKey* k = Find(o);
      if (k == nullptr) return kQOXErrBadParams;
      switch (property) {
        case kQOXKeyPropIsSecret: *out = k->secret; break;
        case kQOXKeyPropIsRevoked: *out = k->revoked; break;
        case kQOXKeyPropIsExpired: *out = k->expired; break;
        case kQOXKeyPropNeedsPassphrase: *out = k->needsPassphrase; break;
        case kQOXKeyPropCanDecrypt: *out = k->canDecrypt; break;
        case kQOXKeyPropCanSign:
          if (k->canSignUnreadable) return kQOXErrCorruptData;
          *out = k->canSign;
          break;
        case kQOXKeyPropIsSecretShared: *out = k->shared; break;
        default: return kQOXErrFeatureNotAvailable;
      }
      return kQOXErrNoErr;
    };
    keydb_->QOXGetKeyDBObjNumericProperty = [](QOXKeyDBObj* o, int32_t property, int32_t* out) {
      *out = 0;
      FakeKey* k = Find(o);
      if (k == nullptr) return kQOXErrBadParams;
      if (property == kQOXKeyPropAlgorithmID) *out = k->algorithm;
      else if (property == kQOXKeyPropBits) *out = k->bits;
      else return kQOXErrFeatureNotAvailable;
      return kQOXErrNoErr;
    };
    keydb_->qoxPassphraseIsValidInternal = [](QOXKeyDBObj* o, QOXOptionListRef list) {
      FakeKey* k = Find(o);
      QOXOption option{};
      if (k == nullptr || qoxSearchOptionSingle(list, kQOXOptionType_Passphrase, &option) != kQOXErrNoErr ||
          option.type == 0)
        return false;
      ++k->passphraseChecks;
      return k->secret && option.valueSize == k->passphrase.size() &&
             std::memcmp(reinterpret_cast<const void*>(option.value), k->passphrase.data(), option.valueSize) == 0;
    };
    dialog_->QOXOrderKeySet = [](QOXKeySet* set, int32_t ordering, bool reverse, QOXKeyList** out) {
      *out = nullptr;
      if (set != Root()) return kQOXErrBadParams;
      auto* list = new List;
      for (FakeKey& k : current_->keys_) list->keys.push_back(&k);
      if (ordering == kQOXKeyOrdering_Validity)
        std::stable_sort(list->keys.begin(), list->keys.end(),
                         [](FakeKey* a, FakeKey* b) { return a->validityRank < b->validityRank; });
      if (reverse) std::reverse(list->keys.begin(), list->keys.end());
      ++current_->liveLists_;
      *out = reinterpret_cast<QOXKeyList*>(list);
      return kQOXErrNoErr;
    };
    dialog_->QOXFreeKeyList = [](QOXKeyList* list) {
      delete reinterpret_cast<List*>(list);
      --current_->liveLists_;
      return kQOXErrNoErr;
    };
    dialog_->QOXNewKeyIter = [](QOXKeyList* list, QOXKeyIter** out) {
      auto* iter = new Iter{reinterpret_cast<List*>(list), 0};
      ++current_->liveIters_;
      *out = reinterpret_cast<QOXKeyIter*>(iter);
      return kQOXErrNoErr;
    };
    dialog_->QOXKeyIterNextKeyDBObj = [](QOXKeyIter* it, int32_t, QOXKeyDBObj** out) {
      auto* iter = reinterpret_cast<Iter*>(it);
      *out = nullptr;
      if (iter->next >= iter->list->keys.size()) return kQOXErrEndOfIteration;
      *out = reinterpret_cast<QOXKeyDBObj*>(iter->list->keys[iter->next++]);
      return kQOXErrNoErr;
    };
    dialog_->QOXFreeKeyIter = [](QOXKeyIter* it) {
      delete reinterpret_cast<Iter*>(it);
      --current_->liveIters_;
      return kQOXErrNoErr;
    };
    dialog_->QOXGetPrimaryUserIDName = [](QOXKeyDBObj* o, char* buffer, size_t size, size_t* length) {
      FakeKey* k = Find(o);
      if (k == nullptr || size == 0) return kQOXErrBadParams;
      size_t n = std::min(k->userID.size(), size - 1);
      std::memcpy(buffer, k->userID.data(), n);
      buffer[n] = '\0';
      *length = n;
      return kQOXErrNoErr;
    };
  }
  ~FakeKeyRing() { current_ = nullptr; }
  FakeKeyRing(const FakeKeyRing&) = delete;
  FakeKeyRing& operator=(const FakeKeyRing&) = delete;

  QOXKeyDB* db() const { return DB(); }
  QOXKeySet* root() const { return Root(); }
  QOXKeyDBObj* key(size_t i) { return reinterpret_cast<QOXKeyDBObj*>(&keys_[i]); }
  FakeKey& fake(size_t i) { return keys_[i]; }
  // Sets, lists and iterators made and not yet freed.
  int live() const { return liveSets_ + liveLists_ + liveIters_; }

 private:
  struct List {
    std::vector<FakeKey*> keys;
  };
  struct Iter {
    List* list;
    size_t next;
  };

  static QOXKeyDB* DB() { return reinterpret_cast<QOXKeyDB*>(&dbMarker_); }
  static QOXKeySet* Root() { return reinterpret_cast<QOXKeySet*>(&setMarker_); }
  static FakeKey* Find(const QOXKeyDBObj* o) {
    if (current_ == nullptr) return nullptr;
    for (FakeKey& k : current_->keys_)
      if (reinterpret_cast<const QOXKeyDBObj*>(&k) == o) return &k;
    return nullptr;
  }

  static inline FakeKeyRing* current_ = nullptr;
  static inline char dbMarker_ = 0;
  static inline char setMarker_ = 0;

  QOXContext* context_;
  std::vector<FakeKey> keys_;
  ostrak_test::ScopedServices<QOXKeyDBServices> keydb_;
  ostrak_test::ScopedServices<QOXDialogKeyDBServices> dialog_;
  int liveSets_ = 0;
  int liveLists_ = 0;
  int liveIters_ = 0;
};

}  // namespace client_fakes

#endif  // OSTRAK_TESTS_CLIENT_FAKE_KEYS_H_
