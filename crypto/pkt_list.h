// Raw packet lists: singly linked nodes that each hold a type word and a
// private copy of a packet or subpacket body. Signature specifications keep
// their subpackets in one; the signature and session-key lists use them too.
//
// A node is one block of its context's memory manager: the header below
// followed directly by the body bytes. It is wiped over its whole size when
// freed, since bodies may be secret. The caller links nodes through next.
//
// Thread safety: a list belongs to one thread at a time.
#ifndef OSTRAK_CRYPTO_PKT_LIST_H_
#define OSTRAK_CRYPTO_PKT_LIST_H_

#include <cstddef>
#include <cstdint>

struct QOXContext;

struct QOXPktList {
  QOXContext* context;
  QOXPktList* next;
  uint32_t type;    // caller's meaning (subpacket type and flags, algorithm, ...)
  uint32_t length;  // body bytes that follow the header
};

inline uint8_t* qoxPktListData(QOXPktList* node) {
  return reinterpret_cast<uint8_t*>(node) + sizeof(QOXPktList);
}
inline const uint8_t* qoxPktListData(const QOXPktList* node) {
  return reinterpret_cast<const uint8_t*>(node) + sizeof(QOXPktList);
}

// A new unlinked node holding a copy of length bytes of data (data may be
// null only when length is 0); null when memory runs out.
QOXPktList* qoxPktListNew(QOXContext* context, uint32_t type, const void* data, size_t length);
// Wipes and frees one node (its next node is left alone); null is ignored.
void qoxPktListFreeOne(QOXPktList* node);
// Wipes and frees a node and every node after it.
void qoxPktListFreeList(QOXPktList* head);

#endif  // OSTRAK_CRYPTO_PKT_LIST_H_
