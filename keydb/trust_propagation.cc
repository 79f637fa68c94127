// Trust propagation: the eight passes of a run, the trust-signature
// delegation and the certification-path search (keydb/trust_propagation.h).
#include "keydb/trust_propagation.h"

#include <algorithm>
#include <cstring>

#include "foundation/context.h"
#include "foundation/env.h"
#include "foundation/mem_pool.h"
#include "foundation/memory_mgr.h"
#include "foundation/rpc_client_services.h"
#include "foundation/sdk_errors.h"
#include "keydb/child_index.h"
#include "keydb/front_end.h"
#include "keydb/key_accessors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_back.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_lookup.h"
#include "keydb/key_set.h"
#include "keydb/key_set_enum.h"
#include "keydb/key_set_flat.h"
#include "keydb/key_set_ops.h"
#include "keydb/notifications.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_data.h"
#include "keydb/packet_text.h"
#include "keydb/scratch_array.h"
#include "keydb/self_sig.h"
#include "keydb/trust.h"

namespace {

constexpr QOXTime kDaySeconds = 86400;
constexpr uint8_t kLegacyNever = 2;
constexpr uint8_t kCertificationNibble = 0x10;
constexpr size_t kMaxPaths = 10;
constexpr uint8_t kTrustLimitAll = 255;
// The deepest search and delegation: trust levels are one byte, and a
// deeper search would only deepen the recursion.
constexpr int32_t kMaxDepthCap = 255;
constexpr uint8_t kOldValidityKept = kQOXUserIDTrust_Primary | kQOXUserIDTrust_WarnOnly;

// One step of a certification path: the signer certified the key.
struct PathStep {
  PathStep* next;
  QOXKeyDBObj* signer;
  QOXKeyDBObj* certified;
  double confidence;
};

// One path: its steps from the certified user ID outwards, and the product
// of their confidences.
struct Path {
  Path* next;
  PathStep* steps;
  double confidence;
};

// A step of the path being searched, kept in the searching frame; the
// newest step links back to the one before it.
struct CurrentStep {
  const CurrentStep* before;
  QOXKeyDBObj* signer;
  QOXKeyDBObj* certified;
  double confidence;
};

// The state of one run.
struct Run {
  QOXKeyDB* db;
  QOXKeySet* set;
  QOXKeyDB* other;
  QOXTime now;
  QOXEnv* env;
  int32_t maxDepth;
  uint8_t completeTrust;
  bool anyChange;
  ScratchArray<QOXKeyDBObj*>* changed;  // null when the caller wants none
  bool changedLost;                     // a changed key could not be listed
};

// --- Small readers ---

bool IsKind(QOXKeyDBObj* object, int32_t type) { return qoxObjectType(object) == type; }

bool IsMember(const Run& run, QOXKeyDBObj* object) { return qoxKeySetIsMember(object, run.set); }

bool Good(const SigInfo* s) {
  return (s->trustByte & kQOXSigTrust_Checked) != 0 && (s->trustByte & kQOXSigTrust_Revoked) == 0;
}

bool IsCertification(const SigInfo* s) { return (s->type & 0xF0) == kCertificationNibble; }

bool Axiomatic(const KeyInfo* k) { return (k->keyTrust & kQOXKeyTrust_Axiomatic) != 0; }
bool ExpiredOrRevoked(const KeyInfo* k) {
  return (k->keyTrust & (kQOXKeyTrust_Expired | kQOXKeyTrust_Revoked)) != 0;
}

bool PathMarked(const KeyInfo* k) { return (k->keyFlags & kQOXKeyFlag_PathMark) != 0; }

void Changed(Run& run, QOXKeyDBObj* key) {
  run.anyChange = true;
  if (run.changed != nullptr && !run.changed->Push(key)) run.changedLost = true;
}

bool Expired(QOXTime creation, uint16_t validityDays, QOXTime now) {
  return creation < now && validityDays != 0 && (now - creation) / kDaySeconds >= validityDays;
}

// The introducer expression of a signer passes the signed object: it has
// none (or is not a real key), or the object is a user ID whose text
// matches it.
bool RegexPasses(QOXKeyDBObj* signer, QOXKeyDBObj* object) {
  if (!qoxKeyDBObjIsReal(signer)) return true;
  const KeyInfo* k = qoxKeyToKeyInfo(signer);
  if (k == nullptr || k->introducerRegexp == nullptr) return true;
  if (!IsKind(object, kQOXKeyDBObjType_UserID)) return false;
  size_t length = 0;
  const uint8_t* text = qoxUserIDName(object, &length);
  if (text == nullptr) return false;
  return qoxRegExecPacketText(qoxObjKeyDB(object)->context, k->introducerRegexp, text, length) == 1;
}

// The signatures a key made, grouped by signed object (consecutive in the
// signer chain): calls visit(candidate) for each group, the candidate being
// its first signature replaced by any later good one created later.
template <typename Visit>
void ForEachSignedGroup(QOXKeyDBObj* key, Visit visit) {
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  QOXKeyDBObj* sig = k != nullptr ? k->sigsBy : nullptr;
  while (sig != nullptr) {
    void* object = sig->parent;
    QOXKeyDBObj* candidate = sig;
    QOXKeyDBObj* n = qoxSigToSigInfo(sig)->nextBySigner;
    while (n != nullptr && n->parent == object) {
      const SigInfo* s = qoxSigToSigInfo(n);
      if ((s->trustByte & kQOXSigTrust_Checked) != 0 && s->creation > qoxSigToSigInfo(candidate)->creation)
        candidate = n;
      n = s->nextBySigner;
    }
    visit(candidate);
    sig = n;
  }
}

}  // namespace

bool qoxTrustSigTimeValid(QOXKeyDBObj* sig, QOXTime now) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  if (s == nullptr) return false;
  if (now < s->creation) return s->creation - now < kDaySeconds;
  return s->expiration == 0 || now - s->creation < s->expiration;
}

bool mntSigIsValid(QOXKeyDBObj* sig, QOXTime now) {
  const SigInfo* s = qoxSigToSigInfo(sig);
  if (s == nullptr || !Good(s)) return false;
  QOXKeyDBObj* object = qoxObjParent(sig);
  return object != nullptr && RegexPasses(s->signer, object) && qoxTrustSigTimeValid(sig, now);
}

bool mntSigIsValidTimeKeySig(QOXKeyDBObj* sig, QOXTime now) {
  if (!qoxKeyDBObjIsReal(sig)) return false;
  const SigInfo* s = qoxSigToSigInfo(sig);
  return s != nullptr && IsCertification(s) && mntSigIsValid(sig, now);
}

namespace {

// --- Trust signatures ---

bool CountsAsTrustSig(QOXKeyDBObj* sig, QOXTime now) {
  return mntSigIsValid(sig, now) && qoxSigToSigInfo(sig)->trustLevel > 0 && mntSigIsValidTimeKeySig(sig, now);
}

void mntApplyTrustSig(QOXKeyDBObj* sig, uint8_t trustLimit, int32_t depth, uint8_t completeTrust, QOXTime now) {
  SigInfo* s = qoxSigToSigInfo(sig);
  QOXKeyDBObj* object = qoxObjParent(sig);
  if (s == nullptr || object == nullptr) return;
  // 1. A local signature counts only from an axiomatic or secret signer.
  if ((s->sigFlags & kQOXSigFlag_Exportable) == 0) {
    const KeyInfo* signer = qoxKeyDBObjIsReal(s->signer) ? qoxKeyToKeyInfo(s->signer) : nullptr;
    if (signer == nullptr || (!Axiomatic(signer) && !qoxKeyIsSec(s->signer))) return;
  }
  // 2. Below complete trust no further delegation is granted.
  if (trustLimit < completeTrust && s->trustLevel > 1) return;
  // 3. The signer's own limit.
  if (!RegexPasses(s->signer, object)) return;
  // 4. The target's trust.
  QOXKeyDBObj* target = qoxObjTopKey(object);
  KeyInfo* t = qoxKeyToKeyInfo(target);
  if (t == nullptr) return;
  const uint8_t v = s->trustValue;
  if ((s->sigFlags & kQOXSigFlag_RegExp) != 0) {
    if ((t->signedTrust == 0 && v > 0) ||
        (t->signedTrust != 0 && t->introducerRegexp != nullptr && v > t->signedTrust)) {
      QOXRegExp* expression = qoxSigRegexp(sig);
      if (expression == nullptr) return;
      t->signedTrust = v;
      t->introducerRegexp = expression;
    }
  } else if (t->introducerRegexp != nullptr) {
    t->introducerRegexp = nullptr;
    t->signedTrust = v;
  } else if (v > t->signedTrust) {
    t->signedTrust = v;
  }
  // 5, 6. Delegation to what the target signed.
  if (s->trustLevel <= 1 || depth <= 1) return;
  const int32_t next = std::min<int32_t>(depth - 1, s->trustLevel - 1);
  const uint8_t limit = v;
  ForEachSignedGroup(target, [&](QOXKeyDBObj* candidate) {
    if (CountsAsTrustSig(candidate, now)) mntApplyTrustSig(candidate, limit, next, completeTrust, now);
  });
}

// --- Path cells ---

template <typename T>
T* TakeCell(QOXKeyDB* db, void*& freeList) {
  if (freeList != nullptr) {
    T* cell = static_cast<T*>(freeList);
    freeList = cell->next;
    return cell;
  }
  return static_cast<T*>(memPoolAlloc(&db->trustPathPool, sizeof(T), alignof(T)));
}

PathStep* NewStep(QOXKeyDB* db) { return TakeCell<PathStep>(db, db->freeSteps); }
Path* NewPath(QOXKeyDB* db) { return TakeCell<Path>(db, db->freePaths); }

void FreeSteps(QOXKeyDB* db, PathStep* step) {
  while (step != nullptr) {
    PathStep* next = step->next;
    step->next = static_cast<PathStep*>(db->freeSteps);
    db->freeSteps = step;
    step = next;
  }
}

void FreePath(QOXKeyDB* db, Path* path) {
  FreeSteps(db, path->steps);
  path->steps = nullptr;
  path->next = static_cast<Path*>(db->freePaths);
  db->freePaths = path;
}

void FreePaths(QOXKeyDB* db, Path* list) {
  while (list != nullptr) {
    Path* next = list->next;
    FreePath(db, list);
    list = next;
  }
}

// A list of paths built by appending.
struct PathList {
  Path* head = nullptr;
  Path* tail = nullptr;
  size_t count = 0;
};

// Appends a path holding a copy of the current steps (innermost first) and
// their product; false when a cell cannot be had (nothing appended).
bool AddPath(QOXKeyDB* db, PathList& list, const CurrentStep* current) {
  Path* path = NewPath(db);
  if (path == nullptr) return false;
  path->next = nullptr;
  path->steps = nullptr;
  path->confidence = 1.0;
  // Walking from the newest step back, each copy goes in front.
  for (const CurrentStep* c = current; c != nullptr; c = c->before) {
    PathStep* step = NewStep(db);
    if (step == nullptr) {
      FreePath(db, path);
      return false;
    }
    *step = {path->steps, c->signer, c->certified, c->confidence};
    path->steps = step;
    path->confidence *= c->confidence;
  }
  if (list.tail != nullptr) {
    list.tail->next = path;
  } else {
    list.head = path;
  }
  list.tail = path;
  ++list.count;
  return true;
}

// --- Path search ---

bool sKeyHasConfidence(QOXKeyDBObj* key) {
  const KeyInfo* k = qoxKeyToKeyInfo(key);
  if (k == nullptr) return false;
  if (Axiomatic(k) || k->signedTrust != 0) return true;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!qoxKeyDBObjIsReal(c) || !IsKind(c, kQOXKeyDBObjType_UserID)) continue;
    const UserIDInfo* u = qoxUserIDToUserIDInfo(c);
    if (u != nullptr && u->confidence != 0 && u->confidence != kQOXTrustExternUndefined) return true;
  }
  return false;
}

// A good certification of the user ID by the same signer object, on a user
// ID of the same key before this one, that passes the signer key's
// expression and the time test.
bool sEarlierValidSig(QOXKeyDBObj* userID, QOXKeyDBObj* signerKey, QOXKeyDBObj* signerObject, QOXTime now) {
  QOXKeyDBObj* key = qoxObjParent(userID);
  for (QOXKeyDBObj* u = key != nullptr ? key->child : nullptr; u != nullptr && u != userID; u = u->next) {
    if (!qoxKeyDBObjIsReal(u) || !IsKind(u, kQOXKeyDBObjType_UserID)) continue;
    for (QOXKeyDBObj* g = u->child; g != nullptr; g = g->next) {
      if (!qoxKeyDBObjIsReal(g) || !IsKind(g, kQOXKeyDBObjType_Sig)) continue;
      const SigInfo* s = qoxSigToSigInfo(g);
      if (s == nullptr || !Good(s) || s->signer != signerObject) continue;
      if (RegexPasses(signerKey, u) && qoxTrustSigTimeValid(g, now)) return true;
    }
  }
  return false;
}

// The signer key's first real user ID with the same text as this user ID,
// when the signer is neither expired nor revoked and the user ID carries a
// good certification.
QOXKeyDBObj* sPairedUserID(QOXKeyDBObj* userID, QOXKeyDBObj* signerKey) {
  const KeyInfo* k = qoxKeyToKeyInfo(signerKey);
  if (k == nullptr || ExpiredOrRevoked(k)) return nullptr;
  bool certified = false;
  for (QOXKeyDBObj* g = userID->child; g != nullptr && !certified; g = g->next) {
    if (!qoxKeyDBObjIsReal(g) || !IsKind(g, kQOXKeyDBObjType_Sig)) continue;
    const SigInfo* s = qoxSigToSigInfo(g);
    certified = s != nullptr && Good(s) && IsCertification(s);
  }
  if (!certified) return nullptr;
  size_t length = 0;
  const uint8_t* packet = qoxFetchObject(userID, &length);
  if (packet == nullptr) return nullptr;
  for (QOXKeyDBObj* c = signerKey->child; c != nullptr; c = c->next) {
    if (!qoxKeyDBObjIsReal(c) || !IsKind(c, kQOXKeyDBObjType_UserID)) continue;
    size_t otherLength = 0;
    const uint8_t* other = qoxFetchObject(c, &otherLength);
    if (other != nullptr && qoxPacketsIdentical(packet, length, other, otherLength)) return c;
  }
  return nullptr;
}

// The newest good signature by the signer object on the user ID (the first
// of equal creation times).
QOXKeyDBObj* NewestSigBy(QOXKeyDBObj* userID, QOXKeyDBObj* signerObject) {
  QOXKeyDBObj* newest = nullptr;
  QOXTime newestTime = 0;
  for (QOXKeyDBObj* g = userID->child; g != nullptr; g = g->next) {
    if (!qoxKeyDBObjIsReal(g) || !IsKind(g, kQOXKeyDBObjType_Sig)) continue;
    const SigInfo* s = qoxSigToSigInfo(g);
    if (s == nullptr || !Good(s) || s->signer != signerObject) continue;
    if (newest == nullptr || s->creation > newestTime) {
      newest = g;
      newestTime = s->creation;
    }
  }
  return newest;
}

// The last answer of NewestSigBy within one user ID's search, so that many
// signatures by one signer cost one scan.
struct NewestMemo {
  QOXKeyDBObj* signer = nullptr;
  QOXKeyDBObj* newest = nullptr;
};

bool SiblingSigner(QOXKeyDBObj* siblings, QOXKeyDBObj* signerObject) {
  if (siblings == nullptr) return false;
  for (QOXKeyDBObj* g = siblings->child; g != nullptr; g = g->next) {
    if (!qoxKeyDBObjIsReal(g) || !IsKind(g, kQOXKeyDBObjType_Sig)) continue;
    const SigInfo* s = qoxSigToSigInfo(g);
    if (s != nullptr && s->signer == signerObject) return true;
  }
  return false;
}

class PathSearch {
 public:
  PathSearch(const Run& run, PathList& list) : run_(run), list_(list) {}

  // False when a path cell could not be had: the search ends.
  bool FromUserID(QOXKeyDBObj* userID, const CurrentStep* current, int32_t depth, QOXKeyDBObj* siblings) {
    NewestMemo memo;
    for (QOXKeyDBObj* g = userID->child; g != nullptr; g = g->next) {
      if (!qoxKeyDBObjIsReal(g) || !IsKind(g, kQOXKeyDBObjType_Sig)) continue;
      const SigInfo* s = qoxSigToSigInfo(g);
      if (s == nullptr || !Good(s) || !IsCertification(s) || !qoxTrustSigTimeValid(g, run_.now)) continue;
      if (!TrySigner(userID, g, s->signer, current, depth, siblings, memo)) return false;
      if (run_.other != nullptr && qoxObjKeyDB(g) != run_.other) {
        QOXKeyID keyID;
        QOXKeyDBObj* found = nullptr;
        if (qoxGetKeyIDOfCertifier(g, &keyID) == kQOXErrNoErr &&
            qoxGetKeyByKeyID(run_.other, &keyID, false, false, &found) == kQOXErrNoErr && found != nullptr &&
            !TrySigner(userID, g, found, current, depth, siblings, memo))
          return false;
      }
    }
    return true;
  }

  bool FromKey(QOXKeyDBObj* key, const CurrentStep* current, int32_t depth) {
    KeyInfo* k = qoxKeyToKeyInfo(key);
    k->keyFlags |= kQOXKeyFlag_PathMark;
    bool ok = true;
    bool first = true;
    for (QOXKeyDBObj* c = key->child; c != nullptr && ok; c = c->next) {
      if (!qoxKeyDBObjIsReal(c) || !IsKind(c, kQOXKeyDBObjType_UserID)) continue;
      const UserIDInfo* u = qoxUserIDToUserIDInfo(c);
      const bool confident = u != nullptr && u->confidence != 0 && u->confidence != kQOXTrustExternUndefined;
      if (confident || (first && k->signedTrust != 0)) ok = FromUserID(c, current, depth, nullptr);
      first = false;
    }
    k->keyFlags &= ~kQOXKeyFlag_PathMark;
    return ok;
  }

 private:
  bool TrySigner(QOXKeyDBObj* userID, QOXKeyDBObj* sig, QOXKeyDBObj* signer, const CurrentStep* current,
                 int32_t depth, QOXKeyDBObj* siblings, NewestMemo& memo) {
    const SigInfo* s = qoxSigToSigInfo(sig);
    if (!qoxKeyDBObjIsReal(signer) || !IsKind(signer, kQOXKeyDBObjType_Key)) return true;
    if (!sKeyHasConfidence(signer) || !RegexPasses(signer, userID)) return true;
    if (memo.newest == nullptr || memo.signer != s->signer) memo = {s->signer, NewestSigBy(userID, s->signer)};
    if (memo.newest != sig) return true;
    if (depth > 1 && sEarlierValidSig(userID, signer, s->signer, run_.now)) return true;
    if (SiblingSigner(siblings, s->signer)) return true;
    KeyInfo* k = qoxKeyToKeyInfo(signer);
    if (Axiomatic(k) && !ExpiredOrRevoked(k)) return AddPath(run_.db, list_, current);
    if (depth >= run_.maxDepth || PathMarked(k)) return true;
    QOXKeyDBObj* certified = qoxObjTopKey(userID);
    const double c = pathKeyConfidence(signer);
    if (c > 0) {
      const CurrentStep step{current, signer, certified, c};
      return FromKey(signer, &step, depth + 1);
    }
    QOXKeyDBObj* paired = sPairedUserID(userID, signer);
    if (paired == nullptr) return true;
    // The signer stays marked while its twin user ID is searched, so that
    // two keys whose equal user IDs certify each other end the search.
    const CurrentStep step{current, signer, certified, 1.0};
    k->keyFlags |= kQOXKeyFlag_PathMark;
    const bool ok = FromUserID(paired, &step, depth, userID);
    k->keyFlags &= ~kQOXKeyFlag_PathMark;
    return ok;
  }

  const Run& run_;
  PathList& list_;
};

// Keeps the `keep` strongest paths (ties: the earlier), in the order
// chosen; the others go back to the free lists.
void pathListPrune(QOXKeyDB* db, PathList& list, size_t keep) {
  if (list.count <= keep) return;
  PathList chosen;
  for (size_t n = 0; n < keep; ++n) {
    Path* best = nullptr;
    Path* bestBefore = nullptr;
    Path* before = nullptr;
    for (Path* p = list.head; p != nullptr; before = p, p = p->next) {
      if (best == nullptr || p->confidence > best->confidence) {
        best = p;
        bestBefore = before;
      }
    }
    if (bestBefore != nullptr) {
      bestBefore->next = best->next;
    } else {
      list.head = best->next;
    }
    best->next = nullptr;
    if (chosen.tail != nullptr) {
      chosen.tail->next = best;
    } else {
      chosen.head = best;
    }
    chosen.tail = best;
    ++chosen.count;
  }
  FreePaths(db, list.head);
  list = chosen;
}

// The probability that at least one path holds, by inclusion and exclusion
// over every non-empty subset of the paths (steps shared by signer and
// certified key counted once). False when a union cell cannot be had.
bool pathListConfidence(QOXKeyDB* db, const PathList& list, double* outConfidence) {
  Path* paths[kMaxPaths];
  size_t n = 0;
  for (Path* p = list.head; p != nullptr && n < kMaxPaths; p = p->next) {
    // A certain path makes the whole certain; summing would only add
    // rounding (1 + c - c is not always 1 in floating point).
    if (p->confidence >= 1.0) {
      *outConfidence = 1.0;
      return true;
    }
    paths[n++] = p;
  }
  double total = 0.0;
  for (uint32_t mask = 1; mask < (1u << n); ++mask) {
    PathStep* unionSteps = nullptr;
    double product = 1.0;
    int members = 0;
    bool ok = true;
    for (size_t i = 0; i < n && ok; ++i) {
      if ((mask & (1u << i)) == 0) continue;
      ++members;
      for (PathStep* step = paths[i]->steps; step != nullptr; step = step->next) {
        bool seen = false;
        for (PathStep* u = unionSteps; u != nullptr && !seen; u = u->next)
          seen = u->signer == step->signer && u->certified == step->certified;
        if (seen) continue;
        PathStep* cell = NewStep(db);
        if (cell == nullptr) {
          ok = false;
          break;
        }
        *cell = {unionSteps, step->signer, step->certified, step->confidence};
        unionSteps = cell;
        product *= step->confidence;
      }
    }
    FreeSteps(db, unionSteps);
    if (!ok) return false;
    total += (members % 2 == 1) ? product : -product;
  }
  *outConfidence = total;
  return true;
}

// --- The passes ---

void Store(Run& run, QOXKeyDBObj* key, uint8_t& field, uint8_t value) {
  if (field == value) return;
  field = value;
  Changed(run, key);
}

// Pass 1 for one member key; chains it into the axiomatic list when it is
// one.
void RefreshKey(Run& run, QOXKeyDBObj* key, QOXKeyDBObj*& axiomatic) {
  KeyInfo* k = qoxKeyToKeyInfo(key);
  if (k == nullptr) return;
  k->signedTrust = 0;
  k->keyFlags &= ~kQOXKeyFlag_PathMark;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (IsKind(c, kQOXKeyDBObjType_UserID) && IsMember(run, c)) {
      if (UserIDInfo* u = qoxUserIDToUserIDInfo(c)) u->internalValidity = 0;
    }
  }
  // Revocation.
  bool revoked = false;
  for (QOXKeyDBObj* c = key->child; c != nullptr && !revoked; c = c->next) {
    if (!IsKind(c, kQOXKeyDBObjType_Sig) || !IsMember(run, c)) continue;
    revoked = qoxTrustSigTimeValid(c, run.now) && sigRevokesKey(c);
  }
  uint8_t t = k->keyTrust;
  if (revoked) {
    t = static_cast<uint8_t>((t & 0x78) | kQOXKeyTrust_Revoked | kLegacyNever);
  } else {
    t = static_cast<uint8_t>(t & ~kQOXKeyTrust_Revoked);
  }
  // Expiry.
  if (Expired(k->creation, k->validityDays, run.now)) {
    t = static_cast<uint8_t>((t | kQOXKeyTrust_Expired) & ~(kQOXKeyTrust_Axiomatic | kQOXKeyTrust_OwnerMask));
    t |= kLegacyNever;
  } else {
    t = static_cast<uint8_t>(t & ~kQOXKeyTrust_Expired);
  }
  Store(run, key, k->keyTrust, t);
  // Subkeys.
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!IsKind(c, kQOXKeyDBObjType_SubKey) || !IsMember(run, c)) continue;
    KeyInfo* sk = qoxKeyToKeyInfo(c);
    if (sk == nullptr) continue;
    uint8_t st = static_cast<uint8_t>(sk->keyTrust & ~(kQOXKeyTrust_Revoked | kQOXKeyTrust_Expired));
    for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next) {
      if (!IsKind(g, kQOXKeyDBObjType_Sig) || !IsMember(run, g)) continue;
      if (sigRevokesKey(g) && qoxTrustSigTimeValid(g, run.now)) {
        st |= kQOXKeyTrust_Revoked;
        break;
      }
    }
    if (Expired(sk->creation, sk->validityDays, run.now)) st |= kQOXKeyTrust_Expired;
    Store(run, key, sk->keyTrust, st);
  }
  // Axiomatic only with a secret part.
  if (Axiomatic(k) && !ExpiredOrRevoked(k)) {
    if (qoxKeyIsSec(key)) {
      k->trustLink = axiomatic;
      axiomatic = key;
      for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
        if (IsKind(c, kQOXKeyDBObjType_UserID) && IsMember(run, c)) {
          if (UserIDInfo* u = qoxUserIDToUserIDInfo(c)) u->internalValidity = kQOXTrustInternCertain;
        }
      }
    } else {
      Store(run, key, k->keyTrust,
            static_cast<uint8_t>((k->keyTrust & ~(kQOXKeyTrust_Axiomatic | kQOXKeyTrust_OwnerMask)) | kLegacyNever));
    }
  }
}

// Pass 5 for one user ID.
void ValidateUserID(Run& run, QOXKeyDBObj* userID) {
  PathList list;
  PathSearch search(run, list);
  (void)search.FromUserID(userID, nullptr, 1, nullptr);
  if (list.head != nullptr) {
    pathListPrune(run.db, list, kMaxPaths);
    double c = 0.0;
    if (pathListConfidence(run.db, list, &c)) {
      UserIDInfo* u = qoxUserIDToUserIDInfo(userID);
      u->internalValidity = c >= 1.0 ? kQOXTrustInternCertain : qoxDoubleToTrust(1.0 / (1.0 - c));
    }
  }
  FreePaths(run.db, list.head);
}

// Pass 7 for one member key.
void StoreResults(Run& run, QOXKeyDBObj* key) {
  KeyInfo* k = qoxKeyToKeyInfo(key);
  if (k == nullptr) return;
  QOXKeyDBObj* twin = nullptr;
  if (run.other != nullptr) {
    uint8_t algorithm = 0;
    QOXKeyID keyID;
    if (qoxKeyID8(key, &algorithm, &keyID) == kQOXErrNoErr &&
        qoxGetKeyByKeyID(run.other, &keyID, false, false, &twin) != kQOXErrNoErr)
      twin = nullptr;
  }
  const uint8_t legacy = k->keyTrust & kQOXKeyTrust_OwnerMask;
  for (QOXKeyDBObj* sig = k->sigsBy; sig != nullptr;) {
    SigInfo* s = qoxSigToSigInfo(sig);
    const uint8_t value = (s->trustByte & kQOXSigTrust_Checked) != 0 ? legacy : kLegacyNever;
    Store(run, qoxObjTopKey(sig), s->trustByte,
          static_cast<uint8_t>((s->trustByte & ~kQOXSigTrust_ValueMask) | value));
    sig = s->nextBySigner;
  }
  const bool revoked = (k->keyTrust & kQOXKeyTrust_Revoked) != 0;
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!IsKind(c, kQOXKeyDBObjType_UserID) || !IsMember(run, c)) continue;
    UserIDInfo* u = qoxUserIDToUserIDInfo(c);
    if (u == nullptr) continue;
    uint8_t validity = revoked ? 0 : qoxTrustToExtern(u->internalValidity);
    if (twin != nullptr) {
      size_t length = 0;
      const uint8_t* packet = qoxFetchObject(c, &length);
      QOXKeyDBObj* match = packet != nullptr ? qoxFindMatchingChild(twin, packet, length) : nullptr;
      const UserIDInfo* m = qoxKeyDBObjIsReal(match) && IsKind(match, kQOXKeyDBObjType_UserID)
                                ? qoxUserIDToUserIDInfo(match)
                                : nullptr;
      // An undefined validity there (253, or 254 read as 0) is no rating.
      if (m != nullptr && m->validity != kQOXTrustExternUndefined && m->validity != kQOXTrustExternUndefined + 1)
        validity = std::max(validity, m->validity);
    }
    Store(run, key, u->validity, validity);
    const uint8_t old = qoxTrustOldKeyToUserID(qoxTrustExternToOld(run.env, validity));
    Store(run, key, u->trustByte, static_cast<uint8_t>((u->trustByte & kOldValidityKept) | old));
    u->internalValidity = validity == kQOXTrustExternCertain ? kQOXTrustInternCertain
                                                             : static_cast<uint16_t>(validity << 6);
  }
}

void ClearIntroducerExpressions(QOXKeyDB* db) {
  if (db == nullptr) return;
  for (QOXKeyDBObj* key = db->firstKey; key != nullptr; key = key->next) {
    if (!qoxKeyDBObjIsReal(key)) continue;
    if (KeyInfo* k = qoxKeyToKeyInfo(key)) k->introducerRegexp = nullptr;
  }
}

}  // namespace

QOXError qoxPropagateTrustInternal(QOXKeySet* set, QOXKeyDB* other, QOXTime now, QOXKeySet* changedKeys) {
  QOXKeyDB* db = set->keyDB;
  if (other == db) other = nullptr;
  ScratchArray<QOXKeyDBObj*> changed(db->context);
  Run run{};
  run.db = db;
  run.set = set;
  run.other = other;
  run.now = now;
  run.env = qoxContextGetEnvironment(db->context);
  run.maxDepth = std::min<int32_t>(static_cast<int32_t>(qoxenvGetInt(run.env, kQOXEnvTrustParam, nullptr, nullptr)),
                                   kMaxDepthCap);
  run.completeTrust = qoxenvCompleteTrust(run.env);
  run.changed = changedKeys != nullptr ? &changed : nullptr;

  // 1. Revoked, expired and axiomatic state of the members.
  QOXKeyDBObj* axiomatic = nullptr;
  for (QOXKeyDBObj* key = db->firstKey; key != nullptr; key = key->next) {
    if (IsMember(run, key)) RefreshKey(run, key, axiomatic);
  }
  // 2. The other database's axiomatic keys.
  if (other != nullptr) {
    for (QOXKeyDBObj* key = other->firstKey; key != nullptr; key = key->next) {
      if (!qoxKeyDBObjIsReal(key)) continue;
      KeyInfo* k = qoxKeyToKeyInfo(key);
      if (k == nullptr || !Axiomatic(k) || ExpiredOrRevoked(k) || !qoxKeyIsSec(key)) continue;
      k->trustLink = axiomatic;
      axiomatic = key;
    }
  }
  // 3. Who signed what.
  qoxKeyDBListSigsBy(db);
  // 4. Trust signatures of the axiomatic keys.
  for (QOXKeyDBObj* key = axiomatic; key != nullptr; key = qoxKeyToKeyInfo(key)->trustLink) {
    ForEachSignedGroup(key, [&](QOXKeyDBObj* candidate) {
      if (CountsAsTrustSig(candidate, now))
        mntApplyTrustSig(candidate, kTrustLimitAll, run.maxDepth, run.completeTrust, now);
    });
  }
  // 5. Certification paths to every member user ID.
  for (QOXKeyDBObj* key = db->firstKey; key != nullptr; key = key->next) {
    if (!IsMember(run, key)) continue;
    for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
      if (IsKind(c, kQOXKeyDBObjType_UserID) && IsMember(run, c)) ValidateUserID(run, c);
    }
  }
  // 6. The path cells go.
  memPoolEmpty(&db->trustPathPool);
  db->freePaths = nullptr;
  db->freeSteps = nullptr;
  // 7. Stored results.
  for (QOXKeyDBObj* key = db->firstKey; key != nullptr; key = key->next) {
    if (IsMember(run, key)) StoreResults(run, key);
  }
  // 8. Working values go.
  ClearIntroducerExpressions(db);
  ClearIntroducerExpressions(other);
  if (run.anyChange) qoxKeyDBChanged(db, true);
  if (changedKeys != nullptr && changed.size() > 0 && !run.changedLost) {
    std::sort(changed.begin(), changed.end());
    QOXKeyDBObj** end = std::unique(changed.begin(), changed.end());
    QOXKeySet* listed = nullptr;
    if (qoxNewKeyListSet(db, changed.begin(), static_cast<uint32_t>(end - changed.begin()), &listed) ==
        kQOXErrNoErr) {
      (void)qoxAddKeysInternal(listed, changedKeys);
      qoxFreeKeySet(listed, true);
    } else {
      run.changedLost = true;
    }
  }
  // Without memory for the list, every member counts as changed.
  if (changedKeys != nullptr && run.changedLost) (void)qoxAddKeysInternal(set, changedKeys);
  return kQOXErrNoErr;
}

QOXError qoxPropagateTrust_back(QOXContext* context, uintptr_t db, const uintptr_t* keys, size_t keysLength,
                                uintptr_t other, QOXTime now, uintptr_t** outChanged, size_t* outChangedLength) {
  const QOXRPCClientServices& rpc = qoxRPCClientServices();
  if (rpc.qoxRPCEnabled())
    return rpc.qoxPropagateTrust_backRPC(context, db, keys, keysLength, other, now, outChanged, outChangedLength);
  *outChanged = nullptr;
  *outChangedLength = 0;
  auto* database = reinterpret_cast<QOXKeyDB*>(db);
  auto* otherDB = reinterpret_cast<QOXKeyDB*>(other);
  if (!qoxKeyDBIsValid(database) || (otherDB != nullptr && !qoxKeyDBIsValid(otherDB))) return kQOXErrBadParams;
  QOXKeySet* set = nullptr;
  if (QOXError err = qoxKeySetUnflatten(database, keys, keysLength, &set); err != kQOXErrNoErr) return err;
  QOXKeySet* changed = nullptr;
  QOXError err = qoxNewEnumeratedSet(database, 0, 0, &changed);
  if (err == kQOXErrNoErr) {
    err = qoxPropagateTrustInternal(set, otherDB, now, changed);
    qoxSetPendingNotify(context, changed, nullptr, nullptr, nullptr);
  }
  qoxFreeKeySet(set, false);
  if (err == kQOXErrNoErr) return qoxKeySetFlattenFree(changed, outChanged, outChangedLength);
  if (changed != nullptr) qoxFreeKeySet(changed, false);
  return err;
}

QOXError QOXCalculateTrust(QOXKeySet* set, QOXKeyDB* other) {
  if (!qoxKeySetIsValid(set) || (other != nullptr && !qoxKeyDBIsValid(other))) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  QOXKeyDB* db = set->keyDB;
  if (other == db) other = nullptr;
  const QOXTime now = QOXGetTime();
  if (!qoxFrontEndKeyDB(db)) return qoxPropagateTrustInternal(set, other, now, nullptr);
  QOXFlatKeyWord* keys = nullptr;
  size_t keysLength = 0;
  if (QOXError err = qoxKeySetFlatten(set, &keys, &keysLength); err != kQOXErrNoErr) return err;
  const uintptr_t otherID =
      other == nullptr ? 0 : (qoxFrontEndKeyDB(other) ? other->backendID : qoxBackEndDBID(other));
  uintptr_t* changed = nullptr;
  size_t changedLength = 0;
  const QOXError err =
      qoxPropagateTrust_back(db->context, db->backendID, keys, keysLength, otherID, now, &changed, &changedLength);
  if (keys != nullptr) QOXFreeData(keys);
  if (err != kQOXErrNoErr) {
    if (changed != nullptr) QOXFreeData(changed);
    return err;
  }
  if (changedLength >= sizeof(uintptr_t)) qoxKeyDBChanged(db, true);
  qoxKeyRefreshFromList(db, changed, changedLength);
  return kQOXErrNoErr;
}
