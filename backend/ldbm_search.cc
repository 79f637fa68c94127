// The backend's search: candidates from the indexes, each read through the
// entry cache, tested against the filter and the scope, given its virtual
// key attributes and sent; the search ends with its own SearchResultDone.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "server/avl.h"
#include "backend/entry_cache.h"
#include "backend/entry_tables.h"
#include "backend/ldbm_ops.h"
#include "server/access_rules.h"
#include "server/connection.h"
#include "server/dn.h"
#include "server/error_log.h"
#include "server/result.h"
#include "server/support/zovurez.h"

namespace {

constexpr int kScopeBase = 0;
constexpr int kScopeOneLevel = 1;
constexpr int kScopeSubtree = 2;

// The effective limit: the smaller non-zero of the client's and the
// server's; 0 on both sides means none.
int EffectiveLimit(int client, int server) {
  if (client <= 0) return server > 0 ? server : 0;
  if (server <= 0) return client;
  return client < server ? client : server;
}

// --- The sent-keys set ---
int KeyIDCmpVoid(void* a, void* b) { return strcasecmp(static_cast<char*>(a), static_cast<char*>(b)); }
int DupKeyIDVoid(void*, void*) { return 1; }

struct SentKeys {
  Avlnode* root = nullptr;
  ~SentKeys() { avl_free(root, [](void* p) { zovurezFree(p); }); }
  bool Contains(const char* keyID) const { return avl_find(root, const_cast<char*>(keyID), KeyIDCmpVoid) != nullptr; }
  void Add(char* keyID) {  // takes keyID
    if (avl_insert(&root, keyID, KeyIDCmpVoid, DupKeyIDVoid) != 0) zovurezFree(keyID);
  }
};

// --- The referral text ---
struct Referrals {
  std::string text;
  int count = 0;
  void Add(const BerValue* v) {
    if (text.empty()) text = "Referral:";
    text.push_back('\n');
    text.append(v->bv_val != nullptr ? v->bv_val : "", v->bv_val != nullptr ? v->bv_len : 0);
    ++count;
  }
  const char* Text() const { return count > 0 ? text.c_str() : nullptr; }
};

bool IsRequested(char** attrs, const char* type) { return attrs != nullptr && charray_inlist(attrs, type) != 0; }

bool HasObjectClass(Entry* e, const char* oc) {
  Attribute* a = attr_find(e->e_attrs, "objectclass");
  if (a == nullptr || a->a_vals == nullptr) return false;
  BerValue v{static_cast<uint32_t>(strlen(oc)), const_cast<char*>(oc)};
  return berValueFind(a->a_vals, &v, a->a_syntax, 0) == 0;
}

// A virtual attribute: fixed type, copies of the source's values.
Attribute* MakeVirtual(const char* type, Attribute* source) {
  auto* a = static_cast<Attribute*>(zovurezCalloc(1, sizeof(Attribute)));
  if (a == nullptr) return nullptr;
  a->a_type = zovurezStrdup(type);
  a->a_syntax = source->a_syntax;
  if (a->a_type == nullptr || berValuesAdd(&a->a_vals, source->a_vals) != 0) {
    zovurezFree(a->a_type);
    berValuesFree(a->a_vals);
    zovurezFree(a);
    return nullptr;
  }
  return a;
}

// The normalised parent DN of dn, or "" when it has none.
std::string NormalisedParent(const char* dn) {
  char* parent = dn_parent(dn, kKeySpaceDN);
  if (parent == nullptr) return std::string();
  dn_normalize(parent);
  std::string r(parent);
  zovurezFree(parent);
  return r;
}

bool KeyTrackingRequested(char** attrs) {
  if (attrs == nullptr || attrs[0] == nullptr || attrs[1] != nullptr) return false;
  return strcasecmp(attrs[0], "qoxkey") == 0 || strcasecmp(attrs[0], "qoxkeyv2") == 0;
}

bool OperationAbandoned(Operation* op) { return ldbm_op_abandoned(op) != 0; }

}  // namespace

int ldbm_op_abandoned(Operation* op) {
  if (op == nullptr) return 0;
  QOXMutexGuard guard(&op->abandonMutex);
  return op->abandoned != 0 ? 1 : 0;
}

void FreeVirtualAttributes(Attribute* list, int count) {
  for (int i = 0; i < count && list != nullptr; ++i) {
    Attribute* next = list->a_next;
    zovurezFree(list->a_type);
    berValuesFree(list->a_vals);
    zovurezFree(list);
    list = next;
  }
}

int CrtVirtualAttributes(Entry* e, char** attrs, Backend* be, Attribute** list, int* count) {
  *list = nullptr;
  *count = 0;
  bool wantKey = IsRequested(attrs, "qoxkey");
  bool wantKeyV2 = IsRequested(attrs, "qoxkeyv2");
  bool wantRecon = IsRequested(attrs, "qoxreconprompts") && IsRequested(attrs, "qoxreconhashrepetitions");
  if (!wantKey && !wantKeyV2 && !IsRequested(attrs, "qoxreconprompts") &&
      !IsRequested(attrs, "qoxreconhashrepetitions"))
    return 0;
  bool userID = HasObjectClass(e, "qoxuserid");
  bool keyEntry = !userID && HasObjectClass(e, "qoxcertificate");
  if (!userID && !keyEntry) return 0;

  Entry* source = e;
  Entry* parent = nullptr;
  if (userID) {
    std::string parentDN = NormalisedParent(e->e_dn);
    if (parentDN.empty()) return 0;
    char* matched = nullptr;
    parent = dn2entry(be, parentDN.c_str(), &matched);
    zovurezFree(matched);
    if (parent == nullptr) return 0;
    source = parent;
  }
  CacheHold hold(be, parent);
  Attribute* srcKey = attr_find(source->e_attrs, "qoxkey");
  Attribute* srcKeyV2 = attr_find(source->e_attrs, "qoxkeyv2");
  Attribute* srcPrompts = attr_find(source->e_attrs, "qoxreconprompts");
  Attribute* srcReps = attr_find(source->e_attrs, "qoxreconhashrepetitions");

  if (wantRecon && srcPrompts != nullptr && srcReps != nullptr) {
    Attribute* p = MakeVirtual("qoxreconprompts", srcPrompts);
    Attribute* r = p != nullptr ? MakeVirtual("qoxreconhashrepetitions", srcReps) : nullptr;
    if (r == nullptr) {
      FreeVirtualAttributes(p, 1);
      return 1;
    }
    p->a_next = r;
    *list = p;
    *count = 2;
    return 0;
  }
  if (wantKey && !wantKeyV2 && srcKey == nullptr) return 0;
  if (wantKeyV2 && !wantKey && srcKey == nullptr && srcKeyV2 == nullptr) return 0;

  Attribute* head = e->e_attrs;
  int built = 0;
  if (userID && wantKey && srcKey != nullptr) {
    Attribute* v = MakeVirtual("qoxkey", srcKey);
    if (v == nullptr) return 1;
    v->a_next = head;
    head = v;
    ++built;
  }
  if (wantKeyV2 && (srcKey != nullptr || srcKeyV2 != nullptr) &&
      (userID || attr_find(e->e_attrs, "qoxkeyv2") == nullptr)) {
    Attribute* v = MakeVirtual("qoxkeyv2", srcKeyV2 != nullptr ? srcKeyV2 : srcKey);
    if (v == nullptr) {
      FreeVirtualAttributes(built > 0 ? head : nullptr, built);
      return 1;
    }
    v->a_next = head;
    head = v;
    ++built;
  }
  if (built > 0) {
    *list = head;
    *count = built;
  }
  return 0;
}

int ldbm_back_search(Backend* be, Connection* conn, Operation* op, const char* base, int scope, int /*deref*/,
                     int sizeLimit, int timeLimit, Filter* filter, const char* /*filterText*/, char** attrs,
                     int typesOnly) {
  int serverTime = g != nullptr ? g->TimeLimit : 0;
  int serverSize = g != nullptr ? g->SizeLimit : 0;
  int tlimit = EffectiveLimit(timeLimit, serverTime);
  int slimit = EffectiveLimit(sizeLimit, serverSize);
  const int64_t stopTime = tlimit > 0 ? static_cast<int64_t>(op->startTime) + tlimit : 0;
  const char* baseDN = base != nullptr ? base : "";

  IdList* candidates = nullptr;
  char* matched = nullptr;
  int result = kLdapSuccess;
  switch (scope) {
    case kScopeBase: {
      Entry* e = dn2entry(be, baseDN, &matched);
      if (e == nullptr) {
        result = kLdapNoSuchObject;
      } else {
        candidates = idl_alloc(1);
        if (candidates != nullptr) {
          candidates->b_ids[0] = e->e_id;
          candidates->b_nids = 1;
        }
        cache_return_entry(&LdbmState(be)->entryCache, e);
      }
      break;
    }
    case kScopeOneLevel: {
      Entry* e = nullptr;
      if (*baseDN != '\0' && (e = dn2entry(be, baseDN, &matched)) == nullptr) {
        result = kLdapNoSuchObject;
        break;
      }
      char idText[16];
      snprintf(idText, sizeof idText, "%d", e != nullptr ? static_cast<int32_t>(e->e_id) : 0);
      if (e != nullptr) cache_return_entry(&LdbmState(be)->entryCache, e);
      Filter children{};
      children.choice = kFilterEquality;
      children.ava.type = const_cast<char*>("id2children");
      children.ava.value = idText;
      children.ava.length = static_cast<uint32_t>(strlen(idText));
      Filter both{};
      both.choice = kFilterAnd;
      both.list = &children;
      Filter* savedNext = filter != nullptr ? filter->next : nullptr;
      children.next = filter;
      if (filter != nullptr) filter->next = nullptr;
      candidates = filter_candidates(be, &both);
      if (filter != nullptr) filter->next = savedNext;
      break;
    }
    case kScopeSubtree: {
      if (*baseDN != '\0') {
        Entry* e = dn2entry(be, baseDN, &matched);
        if (e == nullptr) {
          result = kLdapNoSuchObject;
          break;
        }
        candidates = filter_candidates(be, filter);
        cache_return_entry(&LdbmState(be)->entryCache, e);
      } else {
        candidates = filter_candidates(be, filter);
      }
      break;
    }
    default:
      zovurezFree(matched);
      send_ldap_result(conn, op, kLdapProtocolError, nullptr, "Bad scope");
      return -1;
  }
  if (candidates == nullptr) {
    send_ldap_result(conn, op, result, matched != nullptr ? matched : "", "");
    zovurezFree(matched);
    return -1;
  }
  zovurezFree(matched);

  bool keyTracking = KeyTrackingRequested(attrs);
  SentKeys sent;
  Referrals referrals;
  int matches = 0;
  int entriesSent = 0;
  int early = -1;  // the result that ends the search before the last candidate

  for (ID id = idl_firstid(candidates); id != NOID; id = idl_nextid(candidates, id)) {
    // An abandoned search, or one whose client has hung up, stops here
    // without a result: nobody would read more.
    if (OperationAbandoned(op) || vuzizPeerGone(conn)) {
      idl_free(candidates);
      return 0;
    }
    if (stopTime != 0 && static_cast<int64_t>(vuzizUpdateCurrentTime()) > stopTime) {
      early = 3;
      break;
    }
    Entry* e = id2entry(be, id);
    if (e == nullptr) continue;
    CacheHold hold(be, e);
    if (keyTracking) {
      char* keyID = nullptr;
      if (ExtractKeyIDFromDN(e->e_dn, &keyID) == 0) {
        bool seen = sent.Contains(keyID);
        zovurezFree(keyID);
        if (seen) continue;
      }
    }
    if (scope == kScopeSubtree && e->e_dn != nullptr && strncasecmp(e->e_dn, "ref=", 4) == 0) {
      if (Attribute* ref = attr_find(e->e_attrs, "ref"); ref != nullptr) {
        for (BerValue** v = ref->a_vals; v != nullptr && *v != nullptr; ++v) referrals.Add(*v);
        continue;
      }
    }
    if (test_filter(be, conn, op, e, filter) != 0) continue;
    if (scope == kScopeOneLevel) {
      std::string parent = NormalisedParent(e->e_dn);
      if (parent.empty() ? *baseDN != '\0' : strcasecmp(parent.c_str(), baseDN) != 0) continue;
    } else if (scope == kScopeSubtree) {
      std::string dn(e->e_dn != nullptr ? e->e_dn : "");
      dn_normalize(dn.data());
      dn.resize(strlen(dn.c_str()));
      if (!dn_issuffix(dn.c_str(), baseDN)) continue;
    }
    if (slimit > 0 && ++matches > slimit) {
      early = 4;
      break;
    }
    Attribute* virt = nullptr;
    int virtCount = 0;
    if (CrtVirtualAttributes(e, attrs, be, &virt, &virtCount) != 0) {
      early = 1;
      break;
    }
    int rc = send_search_entry(be, conn, op, e, attrs, virt, typesOnly);
    FreeVirtualAttributes(virt, virtCount);
    if (rc == 0) {
      ++entriesSent;
      if (keyTracking) {
        char* keyID = nullptr;
        if (ExtractKeyIDFromDN(e->e_dn, &keyID) == 0) sent.Add(keyID);
      }
    } else if (rc == -2) {
      // The connection is gone: nothing more can reach the client.
      idl_free(candidates);
      return 0;
    } else if (rc == -1) {
      // The entry could not be encoded: end the search with an error
      // rather than leave the client waiting for its end.
      early = 1;
      break;
    }
    QOXThreadYield();
  }
  idl_free(candidates);

  if (early >= 0) {
    send_ldap_search_result(conn, op, early, nullptr, referrals.Text(), entriesSent);
    return 0;
  }
  if (referrals.count > 0) {
    send_ldap_search_result(conn, op, kLdapPartialResults, nullptr, referrals.Text(), entriesSent);
  } else {
    int count = entriesSent;
    if (IsRequested(attrs, "qoxreconprompts")) {
      count = kSearchOutcomePending;
    } else if (IsRequested(attrs, "qoxrecondata")) {
      count = kSearchOutcomeDeleted;
    }
    send_ldap_search_result(conn, op, kLdapSuccess, nullptr, nullptr, count);
  }
  return 0;
}
