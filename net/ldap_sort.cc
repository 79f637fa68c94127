// Sorting search entries and value vectors with a caller's comparison.
//
// The sort is a bottom-up merge sort over indices: stable, and it only ever
// reads and writes inside its arrays, whatever the comparison answers (a
// comparison need not be consistent: entries compared by value lists that
// stop at the shorter list are not). Only SearchResultEntry messages are
// sorted and copied out; references and other messages of a chain are
// passed over.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "foundation/errors.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "foundation/string_utils.h"
#include "net/ldap_client.h"
#include "net/ldap_client_internal.h"
#include "net/ldap_protocol.h"

namespace {

using ostrak::ldap::ValidContext;

// Sorts 0..n-1 by less-or-equal of `compare(a, b) <= 0`, stably.
template <typename Compare>
std::vector<size_t> StableOrder(size_t n, Compare compare) {
  std::vector<size_t> order(n), buffer(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
      size_t a = lo, b = mid, out = lo;
      while (a < mid && b < hi) buffer[out++] = compare(order[b], order[a]) < 0 ? order[b++] : order[a++];
      while (a < mid) buffer[out++] = order[a++];
      while (b < hi) buffer[out++] = order[b++];
    }
    order.swap(buffer);
  }
  return order;
}

// What one entry is sorted by: its values of the attribute, or its DN.
struct SortKey {
  QOXldapMessage* message = nullptr;
  char** values = nullptr;  // null when the entry lacks the attribute
  char* dn = nullptr;
};

void FreeKeys(std::vector<SortKey>& keys) {
  for (SortKey& k : keys) {
    if (k.values) QOXFreeLDAPValues(k.values);
    QOXFreeData(k.dn);
  }
}

}  // namespace

int QOXldapCompareStringsIgnoreCase(const void* a, const void* b) {
  const char* x = a ? *static_cast<const char* const*>(a) : nullptr;
  const char* y = b ? *static_cast<const char* const*>(b) : nullptr;
  return qoxCompareStringsIgnoreCase(x ? x : "", y ? y : "");
}

QOXError QOXldapSortEntries(QOXldapContext context, QOXldapMessage* result, const char* type,
                            QOXldapCompareProc compare, QOXldapMessage* output) {
  if (!ValidContext(context) || result == nullptr || compare == nullptr || output == nullptr)
    return kQOXErrBadParams;
  if (output->next != nullptr) QOXFreeLDAPMessage(output->next);
  *output = QOXldapMessage{};
  std::vector<SortKey> keys;
  QOXError err = kQOXErrNoErr;
  try {
    for (QOXldapMessage* m = result; m != nullptr && m->tag != kLdapSearchResultDone; m = m->next) {
      if (m->tag != kLdapSearchResultEntry) continue;
      SortKey k;
      k.message = m;
      keys.push_back(k);
      SortKey& key = keys.back();
      if (type != nullptr) {
        err = QOXldapGetValues(context, m, type, &key.values);
        if (err == kQOXErrLDAPNoSuchAttribute) err = kQOXErrNoErr;
      } else {
        err = QOXldapGetDN(context, m, &key.dn);
      }
      if (err != kQOXErrNoErr && err != kQOXErrLDAPDecodingError) break;
      err = kQOXErrNoErr;  // an entry that does not decode sorts as one without the key
    }
    std::vector<size_t> order;
    if (err == kQOXErrNoErr) {
      order = StableOrder(keys.size(), [&](size_t i, size_t j) {
        const SortKey& a = keys[i];
        const SortKey& b = keys[j];
        if (type == nullptr) {
          const char* x = a.dn ? a.dn : "";
          const char* y = b.dn ? b.dn : "";
          return compare(&x, &y);
        }
        if (a.values == nullptr || b.values == nullptr) return 0;
        for (size_t v = 0; a.values[v] != nullptr && b.values[v] != nullptr; ++v) {
          int d = compare(&a.values[v], &b.values[v]);
          if (d != 0) return d;
        }
        return 0;
      });
    }
    QOXldapMessage* last = nullptr;
    for (size_t i = 0; err == kQOXErrNoErr && i < order.size(); ++i) {
      QOXldapMessage* out = output;
      if (last != nullptr) {
        void* block = QOXNewData(context->mgr, sizeof(QOXldapMessage), kQOXMemoryMgrFlags_Clear);
        if (block == nullptr) {
          err = kQOXErrOutOfMemory;
          break;
        }
        out = new (block) QOXldapMessage{};
        out->prev = last;
        last->next = out;
      }
      const QOXldapMessage* from = keys[order[i]].message;
      out->msgid = from->msgid;
      out->tag = from->tag;
      out->element = from->element;
      last = out;
    }
  } catch (const std::bad_alloc&) {
    err = kQOXErrOutOfMemory;
  }
  FreeKeys(keys);
  if (err != kQOXErrNoErr) {
    if (output->next != nullptr) QOXFreeLDAPMessage(output->next);
    *output = QOXldapMessage{};
  }
  return err;
}

QOXError QOXldapSortValues(QOXldapContext context, char** values, QOXldapCompareProc compare,
                           char*** outSorted) {
  if (outSorted == nullptr) return kQOXErrBadParams;
  *outSorted = nullptr;
  if (!ValidContext(context) || values == nullptr || compare == nullptr) return kQOXErrBadParams;
  size_t n = 0;
  while (values[n] != nullptr) ++n;
  try {
    std::vector<size_t> order =
        StableOrder(n, [&](size_t i, size_t j) { return compare(&values[i], &values[j]); });
    auto** copy = static_cast<char**>(
        QOXNewData(context->mgr, (n + 1) * sizeof(char*), kQOXMemoryMgrFlags_Clear));
    if (copy == nullptr) return kQOXErrOutOfMemory;
    for (size_t i = 0; i < n; ++i) {
      if ((copy[i] = ostrak::ldap::CopyText(context->mgr, values[order[i]])) == nullptr) {
        ostrak::ldap::FreeVector(reinterpret_cast<void**>(copy));
        return kQOXErrOutOfMemory;
      }
    }
    *outSorted = copy;
    return kQOXErrNoErr;
  } catch (const std::bad_alloc&) {
    return kQOXErrOutOfMemory;
  }
}
