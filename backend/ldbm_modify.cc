// The two modify forms: the merge-modify that add and key disabling share,
// and the LDAP Modify entry point for the group and preference entries.
//
// Cached entries are shared with searches, so a modification list is
// applied to a private copy; the copy is stored and then takes the old
// entry's place in the cache. A failure leaves both the table and the cache
// as they were.
#include <strings.h>

#include <cstring>

#include "backend/entry_cache.h"
#include "backend/entry_tables.h"
#include "backend/index.h"
#include "backend/ldbm_ops.h"
#include "backend/ldbm_storage.h"
#include "server/key_submission_services.h"
#include "server/access_control.h"
#include "server/connection.h"
#include "server/error_log.h"
#include "server/result.h"
#include "server/support/zovurez.h"

namespace {

bool HasValues(BerValue** v) { return v != nullptr && v[0] != nullptr; }

int ApplyAdd(Entry* e, Modification* mod) {
  Attribute* a = attr_find(e->e_attrs, mod->mod_type);
  if (a != nullptr && HasValues(mod->mod_bvalues)) {
    for (BerValue** v = mod->mod_bvalues; *v != nullptr; ++v) {
      if (berValueFind(a->a_vals, *v, a->a_syntax, kNormalizeA | kNormalizeB) == 0) return kLdapAttributeOrValueExists;
    }
  }
  return attr_merge(e, mod->mod_type, mod->mod_bvalues) != 0 ? kLdapConstraintViolation : kLdapSuccess;
}

int ApplyDelete(Entry* e, Modification* mod) {
  if (mod->mod_bvalues == nullptr)
    return attr_delete(&e->e_attrs, mod->mod_type) != 0 ? kLdapNoSuchAttribute : kLdapSuccess;
  Attribute* a = attr_find(e->e_attrs, mod->mod_type);
  if (a == nullptr) return kLdapNoSuchAttribute;
  for (BerValue** v = mod->mod_bvalues; *v != nullptr; ++v) {
    int found = -1;
    for (int i = 0; a->a_vals != nullptr && a->a_vals[i] != nullptr; ++i) {
      if (berValueCmp(*v, a->a_vals[i], a->a_syntax, kNormalizeA | kNormalizeB) == 0) {
        found = i;
        break;
      }
    }
    if (found < 0) return kLdapNoSuchAttribute;
    berValueFree(a->a_vals[found]);
    for (int i = found; a->a_vals[i] != nullptr; ++i) a->a_vals[i] = a->a_vals[i + 1];
  }
  // An attribute without values would still satisfy a presence test: the
  // last value takes the attribute with it.
  if (a->a_vals == nullptr || a->a_vals[0] == nullptr) attr_delete(&e->e_attrs, mod->mod_type);
  return 0;
}

int ApplyReplace(Entry* e, Modification* mod) {
  attr_delete(&e->e_attrs, mod->mod_type);
  if (!HasValues(mod->mod_bvalues)) return 0;
  return attr_merge(e, mod->mod_type, mod->mod_bvalues) != 0 ? kLdapConstraintViolation : kLdapSuccess;
}

// Applies the list to a copy of e, indexes and stores it. 0, or the LDAP
// result of the failure; -1 when the operation was abandoned (nothing
// stored).
int ModifyCopy(Backend* be, Operation* op, Entry* e, Modification* mods) {
  ostrak::UniquePtr<Entry> copy(ldbm_entry_dup(e));
  if (copy == nullptr) return kLdapOperationsError;
  for (Modification* m = mods; m != nullptr; m = m->mod_next) {
    int rc = ldbm_apply_modification(copy.get(), m);
    if (rc != kLdapSuccess) return rc;
  }
  if (ldbm_op_abandoned(op) != 0) return -1;
  if (index_add_mods(be, mods, e->e_id) != 0) return kLdapOperationsError;
  if (ldbm_op_abandoned(op) != 0) return -1;
  // The store takes the copy, whatever its outcome.
  return ldbm_store_entry_copy(be, e, copy.release()) != 0 ? kLdapOperationsError : kLdapSuccess;
}

}  // namespace

Entry* ldbm_entry_dup(const Entry* e) {
  ostrak::UniquePtr<Entry> copy(entry_new());
  if (copy == nullptr) return nullptr;
  copy->e_id = e->e_id;
  if (e->e_dn != nullptr && (copy->e_dn = zovurezStrdup(e->e_dn)) == nullptr) return nullptr;
  Attribute** tail = &copy->e_attrs;
  for (const Attribute* a = e->e_attrs; a != nullptr; a = a->a_next) {
    auto* na = static_cast<Attribute*>(zovurezCalloc(1, sizeof(Attribute)));
    if (na == nullptr) return nullptr;
    *tail = na;  // the copy owns it from here
    tail = &na->a_next;
    na->a_syntax = a->a_syntax;
    if ((na->a_type = zovurezStrdup(a->a_type)) == nullptr ||
        (a->a_vals != nullptr && berValuesAdd(&na->a_vals, a->a_vals) != 0)) {
      return nullptr;
    }
    if (na->a_vals == nullptr && a->a_vals != nullptr) {
      // berValuesAdd skips empty values; keep an (empty) vector all the same.
      na->a_vals = static_cast<BerValue**>(zovurezCalloc(1, sizeof(BerValue*)));
      if (na->a_vals == nullptr) return nullptr;
    }
  }
  return copy.release();
}

int ldbm_apply_modification(Entry* e, Modification* mod) {
  switch (mod->mod_op & ~kModBValues) {
    case kModAdd:
      return ApplyAdd(e, mod);
    case kModDelete:
      return ApplyDelete(e, mod);
    case kModReplace:
      return ApplyReplace(e, mod);
    default:
      ldbm_severe_error("Unknown ModOp, err uninitialized.", "beModify", __LINE__);
      return 0;
  }
}

int ldbm_store_entry_copy(Backend* be, Entry* old, Entry* copy) {
  EntryCache* cache = &LdbmState(be)->entryCache;
  ID id = copy->e_id;
  int rc = id2entry_add(be, copy);
  // The entry table offers the stored entry to the cache; it takes it only
  // when it held no entry of that DN or ID.
  Entry* cur = cache_find_entry_id(cache, id);
  bool accepted = cur == copy;
  if (rc != 0) {
    if (accepted) {
      cache_delete_entry(cache, copy);
      cache_return_entry(cache, copy);
      cache_return_entry(cache, copy);  // the last hold frees it
    } else {
      if (cur != nullptr) cache_return_entry(cache, cur);
      entry_free(copy);
    }
    return -1;
  }
  if (accepted) {
    cache_return_entry(cache, copy);
    cache_return_entry(cache, copy);
    return 0;
  }
  if (cur != nullptr) cache_return_entry(cache, cur);
  if (cur == old) cache_delete_entry(cache, old);
  if (cache_add_entry_lock(cache, copy, kEntryReady) == 0) {
    cache_return_entry(cache, copy);
  } else {
    // Another copy took the place meanwhile; the table holds the latest.
    entry_free(copy);
  }
  return 0;
}

int ldbm_QOX_back_modify(Backend* be, Connection* conn, Operation* op, const char* dn, Entry* e,
                         Modification* mods, int* result, char** matched) {
  *result = kLdapSuccess;
  *matched = nullptr;
  if (e == nullptr) {
    e = dn2entry(be, dn, matched);
    if (e == nullptr) {
      *result = kLdapNoSuchObject;
      return -1;
    }
  }
  int rc;
  {
    CacheHold hold(be, e);
    rc = acl_check_mods(be, conn, op, e, 1, mods);
    if (rc != 0) {
      *result = rc;
      return -1;
    }
    rc = ModifyCopy(be, op, e, mods);
  }
  if (rc == -1) {
    *result = kLdapSuccess;
    return -1;
  }
  *result = rc;
  return rc == 0 ? 0 : -1;
}

int ldbm_back_modify(Backend* be, Connection* conn, Operation* op, const char* dn, Modification* mods) {
  int rc;
  {
    char* matchedText = nullptr;
    CacheHold hold(be, dn2entry(be, dn, &matchedText));
    ZovurezPtr<char> matched(matchedText);
    if (hold.get() == nullptr) {
      send_ldap_result(conn, op, kLdapNoSuchObject, matched != nullptr ? matched.get() : "", nullptr);
      return -1;
    }
    rc = VerifyAdminUpdate(conn, op, dn) != 0 ? kLdapInsufficientAccess : ModifyCopy(be, op, hold.get(), mods);
  }                         // the entry goes back before the answer is sent
  if (rc == -1) return -1;  // abandoned: no result
  send_ldap_result(conn, op, rc, nullptr, nullptr);
  return rc == 0 ? 0 : -1;
}
