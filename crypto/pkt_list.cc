// Raw packet-list nodes.
#include "crypto/pkt_list.h"

#include <cstring>

#include "foundation/context.h"
#include "foundation/memory_mgr.h"

QOXPktList* qoxPktListNew(QOXContext* context, uint32_t type, const void* data, size_t length) {
  if (length > UINT32_MAX - sizeof(QOXPktList) || (data == nullptr && length != 0)) return nullptr;
  auto* node = static_cast<QOXPktList*>(qoxContextMemAlloc(context, sizeof(QOXPktList) + length, 0));
  if (node == nullptr) return nullptr;
  node->context = context;
  node->next = nullptr;
  node->type = type;
  node->length = static_cast<uint32_t>(length);
  if (length != 0) std::memcpy(qoxPktListData(node), data, length);
  return node;
}

void qoxPktListFreeOne(QOXPktList* node) {
  if (node == nullptr) return;
  size_t size = sizeof(QOXPktList) + node->length;
  // A volatile pointer keeps the wipe from being dropped as a dead store.
  volatile uint8_t* p = reinterpret_cast<volatile uint8_t*>(node);
  for (size_t i = 0; i < size; ++i) p[i] = 0;
  QOXFreeData(node);
}

void qoxPktListFreeList(QOXPktList* head) {
  while (head != nullptr) {
    QOXPktList* next = head->next;
    qoxPktListFreeOne(head);
    head = next;
  }
}
