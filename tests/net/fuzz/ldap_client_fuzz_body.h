// Fuzz steps for the LDAP client, shared by the libFuzzer targets
// (ldap_filter_fuzz.cc, ldap_response_fuzz.cc) and the random-mutation test
// that runs under the sanitizer build.
//
// Filter: the input is a filter text (up to its first NUL). A filter the
// reader takes must come out as exactly one whole BER element.
//
// Responses: the input is a chain of messages as a server could send them,
// each given to every reader of the response side as it stands: the DN,
// attribute and value walkers, the result-field reader, the entry walk and
// counts, and the entry sort (the chain holds references and results beside
// entries). Layout: one flags byte (bit 0 sort by DN, else by the first
// attribute type met), then per message a choice byte, a two-byte
// big-endian length and that many bytes. Choice 1 files the message as a
// SearchResultEntry (0x64), 2 as a SearchResultReference (0x73), 3 as a
// SearchResultDone (0x65), anything else under the tag its envelope names
// (0x64 when it has none).
#ifndef OSTRAK_TESTS_NET_FUZZ_LDAP_CLIENT_FUZZ_BODY_H_
#define OSTRAK_TESTS_NET_FUZZ_LDAP_CLIENT_FUZZ_BODY_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/byte_cursor.h"
#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/memory_mgr.h"
#include "net/ber.h"
#include "net/ber_internal.h"
#include "net/ldap_client.h"
#include "net/ldap_client_internal.h"
#include "net/ldap_protocol.h"

namespace ldap_fuzz {

inline constexpr size_t kMaxMessages = 16;
inline constexpr int kMaxAttributes = 64;

// An element whose encoding is exactly the bytes, from offset 0, as
// QOXberReadResponse leaves one.
inline QOXberElement* ElementOf(QOXMemoryMgr* mgr, const uint8_t* data, size_t size) {
  QOXberElement* e = nullptr;
  if (qoxNewBERElement(mgr, &e) != kQOXErrNoErr) return nullptr;
  if (size != 0) {
    e->encoding = static_cast<uint8_t*>(QOXNewData(mgr, size, kQOXMemoryMgrFlags_None));
    if (e->encoding == nullptr) {
      QOXFreeBERElement(e);
      return nullptr;
    }
    std::memcpy(e->encoding, data, size);
    e->length = e->capacity = static_cast<uint32_t>(size);
  }
  return e;
}

inline void Check(bool ok) {
  if (!ok) __builtin_trap();
}

inline void Filter(QOXldapContext ld, QOXMemoryMgr* mgr, const uint8_t* data, size_t size) {
  const char* chars = reinterpret_cast<const char*>(data);
  std::string text(chars, size ? strnlen(chars, size) : 0);
  QOXberElement* e = nullptr;
  if (qoxNewBERElement(mgr, &e) != kQOXErrNoErr) return;
  if (qoxLDAPAddFilter(ld, e, text.c_str()) == kQOXErrNoErr) {
    uint32_t length = 0, index = 0;
    QOXberGetLength(e, &length);
    Check(length > 0 && QOXberSkip(e) == kQOXErrNoErr);
    QOXberGetIndex(e, &index);
    Check(index == length);  // one whole element, nothing after it
  }
  QOXFreeBERElement(e);
}

// Every reader of one message; `type` takes the first attribute type met.
inline void ReadMessage(QOXldapContext ld, QOXldapMessage* m, std::string* type) {
  char* dn = nullptr;
  if (QOXldapGetDN(ld, m, &dn) == kQOXErrNoErr) QOXFreeData(dn);
  QOXberElement* it = nullptr;
  char* name = nullptr;
  int seen = 0;
  QOXError err = QOXldapFirstAttribute(ld, m, &it, &name);
  while (err == kQOXErrNoErr && name != nullptr && seen++ < kMaxAttributes) {
    if (type->empty()) *type = name;
    char** values = nullptr;
    if (QOXldapGetValues(ld, m, name, &values) == kQOXErrNoErr) {
      int32_t n = 0;
      QOXldapCountValues(ld, values, &n);
      QOXFreeLDAPValues(values);
    }
    BerValue** bvalues = nullptr;
    if (QOXldapGetValuesLen(ld, m, name, &bvalues) == kQOXErrNoErr) {
      for (BerValue** v = bvalues; *v != nullptr; ++v) Check((*v)->bv_val[(*v)->bv_len] == '\0');
      QOXFreeLDAPValuesLen(bvalues);
    }
    QOXFreeData(name);
    name = nullptr;
    err = QOXldapNextAttribute(ld, m, it, &name);
  }
  QOXFreeData(name);
  char** values = nullptr;
  if (QOXldapGetValues(ld, m, "cn", &values) == kQOXErrNoErr) QOXFreeLDAPValues(values);
  ostrak::ldap::GetMessageErrno(ld, m);
}

inline void Responses(QOXldapContext ld, QOXMemoryMgr* mgr, const uint8_t* data, size_t size) {
  ostrak::ByteCursor in(data, size);
  uint8_t flags = 0;
  if (!in.get_u8(&flags)) return;
  std::vector<QOXldapMessage> chain;
  chain.reserve(kMaxMessages);
  uint8_t choice;
  ostrak::ByteCursor bytes;
  while (chain.size() < kMaxMessages && in.get_u8(&choice) && in.get_u16be_prefixed(&bytes)) {
    QOXldapMessage m{};
    m.element = ElementOf(mgr, bytes.data(), bytes.remaining());
    if (m.element == nullptr) break;
    ostrak::ldap::MessageView view;
    bool framed = ostrak::ldap::ViewMessage(m.element, &view) == kQOXErrNoErr;
    m.msgid = framed ? view.msgid : 0;
    m.tag = choice == 1   ? kLdapSearchResultEntry
            : choice == 2 ? kLdapSearchResultReference
            : choice == 3 ? kLdapSearchResultDone
            : framed      ? view.opTag
                          : kLdapSearchResultEntry;
    chain.push_back(m);
  }
  for (size_t i = 0; i < chain.size(); ++i) {
    chain[i].next = i + 1 < chain.size() ? &chain[i + 1] : nullptr;
    chain[i].prev = i > 0 ? &chain[i - 1] : nullptr;
  }
  std::string type;
  for (QOXldapMessage& m : chain) ReadMessage(ld, &m, &type);
  if (!chain.empty()) {
    int32_t entries = 0;
    QOXldapCountEntries(ld, &chain[0], &entries);
    size_t walked = 0;
    for (QOXldapMessage* m = &chain[0]; m != nullptr && walked <= chain.size(); ++walked)
      QOXldapNextEntry(ld, m, &m);
    Check(walked <= chain.size());
    QOXldapMessage* sorted = nullptr;
    if (QOXNewLDAPMessage(ld, &sorted) == kQOXErrNoErr) {
      const char* by = (flags & 1) || type.empty() ? nullptr : type.c_str();
      if (QOXldapSortEntries(ld, &chain[0], by, QOXldapCompareStringsIgnoreCase, sorted) ==
          kQOXErrNoErr) {
        // Only entries come out, never more than the chain holds up to its
        // SearchResultDone.
        int32_t out = 0;
        for (QOXldapMessage* m = sorted; m != nullptr && m->tag != 0; m = m->next, ++out)
          Check(m->tag == kLdapSearchResultEntry);
        Check(out <= entries);
      }
      QOXFreeLDAPMessage(sorted);
    }
  }
  for (QOXldapMessage& m : chain) QOXFreeBERElement(m.element);
}

// A context for the targets' static setup.
inline QOXldapContext MakeContext() {
  QOXsdkInit(kQOXsdkInitNoBackEnd);
  QOXContext* context = nullptr;
  if (QOXNewContext(kQOXAPIVersion, &context) != kQOXErrNoErr) return nullptr;
  QOXldapContext ld = nullptr;
  QOXNewLDAPContext(context, &ld);
  return ld;
}

}  // namespace ldap_fuzz

#endif  // OSTRAK_TESTS_NET_FUZZ_LDAP_CLIENT_FUZZ_BODY_H_
