// Walking search entries: their DN, attribute types and values.
//
// A SearchResultEntry is SEQUENCE { messageID, [APPLICATION 4] { objectName,
// SEQUENCE OF SEQUENCE { type, SET OF value } } }. Every walk reads the
// message's encoding through the bounded cursor; only the attribute
// iterator keeps state, the element's read index, which after
// QOXldapFirstAttribute and QOXldapNextAttribute stands just behind the
// type last handed out. Getting values does not move it.
#include <cctype>
#include <cstring>
#include <string_view>

#include "foundation/byte_cursor.h"
#include "foundation/errors.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "net/ber.h"
#include "net/ber_internal.h"
#include "net/ldap_client.h"
#include "net/ldap_client_internal.h"
#include "net/ldap_protocol.h"

namespace {

using ostrak::ByteCursor;
using ostrak::ldap::Element;
using ostrak::ldap::MessageView;
using ostrak::ldap::ReadElement;
using ostrak::ldap::ValidContext;

std::string_view Text(const ByteCursor& c) {
  return {reinterpret_cast<const char*>(c.data()), c.remaining()};
}

// The DN and the attribute list of an entry message. An entry without an
// attribute list has an empty one.
struct EntryView {
  MessageView message;
  ByteCursor dn;
  ByteCursor attributes;  // contents of the SEQUENCE OF attributes
};

QOXError ViewEntry(const QOXldapMessage* entry, EntryView* out) {
  QOXError err = ostrak::ldap::ViewMessage(entry->element, &out->message);
  if (err != kQOXErrNoErr) return err;
  if (!out->message.opConstructed) return kQOXErrLDAPDecodingError;
  ByteCursor op = out->message.op;
  Element dn, list;
  if (!ReadElement(&op, &dn) || dn.constructed()) return kQOXErrLDAPDecodingError;
  out->dn = dn.contents;
  out->attributes = ByteCursor();
  if (op.empty()) return kQOXErrNoErr;
  if (!ReadElement(&op, &list) || !list.constructed()) return kQOXErrLDAPDecodingError;
  out->attributes = list.contents;
  return kQOXErrNoErr;
}

// One attribute of the list: where it begins, its type, and the contents of
// its value set.
struct Attribute {
  const uint8_t* start;
  ByteCursor type;
  const uint8_t* afterType;
  ByteCursor values;
};

// Reads the next attribute from the list cursor.
QOXError NextAttribute(ByteCursor* list, Attribute* out) {
  out->start = list->data();
  Element attribute, type, values;
  if (!ReadElement(list, &attribute) || !attribute.constructed()) return kQOXErrLDAPDecodingError;
  ByteCursor inside = attribute.contents;
  if (!ReadElement(&inside, &type) || type.constructed()) return kQOXErrLDAPDecodingError;
  out->type = type.contents;
  out->afterType = inside.data();
  out->values = ByteCursor();
  if (inside.empty()) return kQOXErrNoErr;  // an attribute without a value set has no values
  if (!ReadElement(&inside, &values) || !values.constructed()) return kQOXErrLDAPDecodingError;
  out->values = values.contents;
  return kQOXErrNoErr;
}

bool SameType(const ByteCursor& have, const char* want) {
  size_t n = std::strlen(want);
  if (have.remaining() != n) return false;
  const uint8_t* p = have.data();
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(p[i]) != std::tolower(static_cast<unsigned char>(want[i]))) return false;
  return true;
}

// Hands out the type as a new text and leaves the iterator's index behind it.
QOXError HandOutType(QOXldapContext context, QOXberElement* iterator, const Attribute& a,
                     char** outType) {
  char* type = ostrak::ldap::CopyText(context->mgr, Text(a.type));
  if (type == nullptr) return kQOXErrOutOfMemory;
  iterator->index = static_cast<uint32_t>(a.afterType - iterator->encoding);
  *outType = type;
  return kQOXErrNoErr;
}

// The value set of the first attribute of the entry whose type is `type`.
QOXError FindValues(const QOXldapMessage* entry, const char* type, ByteCursor* outValues) {
  EntryView view;
  QOXError err = ViewEntry(entry, &view);
  if (err != kQOXErrNoErr) return err;
  ByteCursor list = view.attributes;
  while (!list.empty()) {
    Attribute a;
    if ((err = NextAttribute(&list, &a)) != kQOXErrNoErr) return err;
    if (SameType(a.type, type)) {
      *outValues = a.values;
      return kQOXErrNoErr;
    }
  }
  return kQOXErrLDAPNoSuchAttribute;
}

// Calls `take(bytes)` for each value (each primitive element of the set).
template <typename Take>
QOXError ForEachValue(ByteCursor values, Take take) {
  while (!values.empty()) {
    Element v;
    if (!ReadElement(&values, &v)) return kQOXErrLDAPDecodingError;
    if (v.constructed()) continue;
    QOXError err = take(Text(v.contents));
    if (err != kQOXErrNoErr) return err;
  }
  return kQOXErrNoErr;
}

// A null-terminated vector of the values, each made by `make` on the
// context's manager.
template <typename T, typename Make>
QOXError CollectValues(QOXldapContext context, QOXldapMessage* entry, const char* type,
                       T*** outValues, Make make) {
  if (outValues == nullptr) return kQOXErrBadParams;
  *outValues = nullptr;
  if (!ValidContext(context) || entry == nullptr || entry->element == nullptr || type == nullptr)
    return kQOXErrBadParams;
  ByteCursor values;
  QOXError err = FindValues(entry, type, &values);
  if (err != kQOXErrNoErr) return err;
  size_t count = 0;
  if ((err = ForEachValue(values, [&](std::string_view) {
         ++count;
         return kQOXErrNoErr;
       })) != kQOXErrNoErr)
    return err;
  auto** vector = static_cast<T**>(
      QOXNewData(context->mgr, (count + 1) * sizeof(T*), kQOXMemoryMgrFlags_Clear));
  if (vector == nullptr) return kQOXErrOutOfMemory;
  size_t n = 0;
  err = ForEachValue(values, [&](std::string_view bytes) {
    if ((vector[n] = make(context->mgr, bytes)) == nullptr) return kQOXErrOutOfMemory;
    ++n;
    return kQOXErrNoErr;
  });
  if (err != kQOXErrNoErr) {
    ostrak::ldap::FreeVector(reinterpret_cast<void**>(vector));
    return err;
  }
  *outValues = vector;
  return kQOXErrNoErr;
}

// One block: the pair, then the bytes and a NUL.
BerValue* MakeBerValue(QOXMemoryMgr* mgr, std::string_view bytes) {
  if (bytes.size() >= kQOXMaxBlockDataSize - sizeof(BerValue)) return nullptr;
  auto* block = static_cast<uint8_t*>(
      QOXNewData(mgr, sizeof(BerValue) + bytes.size() + 1, kQOXMemoryMgrFlags_None));
  if (block == nullptr) return nullptr;
  auto* v = reinterpret_cast<BerValue*>(block);
  v->bv_len = static_cast<uint32_t>(bytes.size());
  v->bv_val = reinterpret_cast<char*>(block + sizeof(BerValue));
  if (!bytes.empty()) std::memcpy(v->bv_val, bytes.data(), bytes.size());
  v->bv_val[bytes.size()] = '\0';
  return v;
}

}  // namespace

QOXError QOXldapCountEntries(QOXldapContext, QOXldapMessage* result, int32_t* outCount) {
  if (result == nullptr || outCount == nullptr) return kQOXErrBadParams;
  int32_t n = 0;
  for (QOXldapMessage* m = result; m != nullptr; m = m->next)
    if (m->tag == kLdapSearchResultEntry) ++n;
  *outCount = n;
  return kQOXErrNoErr;
}

QOXError QOXldapFirstEntry(QOXldapContext, QOXldapMessage* result, QOXldapMessage** outEntry) {
  if (result == nullptr || outEntry == nullptr) return kQOXErrBadParams;
  *outEntry = result;
  return kQOXErrNoErr;
}

QOXError QOXldapNextEntry(QOXldapContext, QOXldapMessage* entry, QOXldapMessage** outNext) {
  if (entry == nullptr || outNext == nullptr) return kQOXErrBadParams;
  QOXldapMessage* next = entry->next;
  *outNext = next != nullptr && next->tag != kLdapSearchResultDone ? next : nullptr;
  return kQOXErrNoErr;
}

QOXError QOXldapGetDN(QOXldapContext context, QOXldapMessage* entry, char** outDN) {
  if (outDN == nullptr) return kQOXErrBadParams;
  *outDN = nullptr;
  if (!ValidContext(context) || entry == nullptr || entry->element == nullptr ||
      entry->tag != kLdapSearchResultEntry)
    return kQOXErrBadParams;
  EntryView view;
  QOXError err = ViewEntry(entry, &view);
  if (err != kQOXErrNoErr) return err;
  char* dn = ostrak::ldap::CopyText(context->mgr, Text(view.dn));
  if (dn == nullptr) return kQOXErrOutOfMemory;
  *outDN = dn;
  return kQOXErrNoErr;
}

QOXError QOXldapFirstAttribute(QOXldapContext context, QOXldapMessage* entry,
                               QOXberElement** outIterator, char** outType) {
  if (outIterator) *outIterator = nullptr;
  if (outType) *outType = nullptr;
  if (!ValidContext(context) || entry == nullptr || entry->element == nullptr ||
      outIterator == nullptr || outType == nullptr)
    return kQOXErrBadParams;
  EntryView view;
  QOXError err = ViewEntry(entry, &view);
  if (err != kQOXErrNoErr) return err;
  *outIterator = entry->element;
  ByteCursor list = view.attributes;
  if (list.empty()) {
    entry->element->index = ostrak::ber::ClosedLength(entry->element);
    return kQOXErrNoErr;
  }
  Attribute a;
  if ((err = NextAttribute(&list, &a)) != kQOXErrNoErr) return err;
  return HandOutType(context, entry->element, a, outType);
}

QOXError QOXldapNextAttribute(QOXldapContext context, QOXldapMessage* entry,
                              QOXberElement* iterator, char** outType) {
  if (outType) *outType = nullptr;
  if (!ValidContext(context) || entry == nullptr || iterator == nullptr ||
      iterator != entry->element || outType == nullptr)
    return kQOXErrBadParams;
  EntryView view;
  QOXError err = ViewEntry(entry, &view);
  if (err != kQOXErrNoErr) return err;
  // The next attribute is the first one that begins at or after the index:
  // the index stands inside the attribute handed out last.
  const uint8_t* at = iterator->encoding + iterator->index;
  ByteCursor list = view.attributes;
  while (!list.empty()) {
    Attribute a;
    if ((err = NextAttribute(&list, &a)) != kQOXErrNoErr) return err;
    if (a.start >= at) return HandOutType(context, iterator, a, outType);
  }
  iterator->index = ostrak::ber::ClosedLength(iterator);
  return kQOXErrNoErr;
}

QOXError QOXldapGetValuesLen(QOXldapContext context, QOXldapMessage* entry, const char* type,
                             BerValue*** outValues) {
  return CollectValues(context, entry, type, outValues, MakeBerValue);
}

QOXError QOXldapGetValues(QOXldapContext context, QOXldapMessage* entry, const char* type,
                          char*** outValues) {
  return CollectValues(context, entry, type, outValues, [](QOXMemoryMgr* mgr, std::string_view v) {
    return ostrak::ldap::CopyText(mgr, v);
  });
}

QOXError QOXldapCountValues(QOXldapContext, char** values, int32_t* outCount) {
  if (values == nullptr || outCount == nullptr) return kQOXErrBadParams;
  int32_t n = 0;
  while (values[n] != nullptr) ++n;
  *outCount = n;
  return kQOXErrNoErr;
}

QOXError QOXldapCountValuesLen(QOXldapContext, BerValue** values, int32_t* outCount) {
  if (values == nullptr || outCount == nullptr) return kQOXErrBadParams;
  int32_t n = 0;
  while (values[n] != nullptr) ++n;
  *outCount = n;
  return kQOXErrNoErr;
}
