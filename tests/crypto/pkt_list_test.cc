// Packet-list nodes: private copies of their bodies, freed one by one or whole.
#include "crypto/pkt_list.h"

#include <gtest/gtest.h>

#include "foundation/context.h"
#include "foundation/core/start_up.h"

namespace {

TEST(PktListTest, NodesCopyTheirBodies) {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
  QOXContext* context = nullptr;
  ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context), 0);
  uint8_t body[] = {1, 2, 3};
  QOXPktList* a = qoxPktListNew(context, 0x405, body, sizeof body);
  QOXPktList* b = qoxPktListNew(context, 7, nullptr, 0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  body[0] = 9;
  EXPECT_EQ(a->type, 0x405u);
  EXPECT_EQ(a->length, 3u);
  EXPECT_EQ(qoxPktListData(a)[0], 1);
  EXPECT_EQ(a->next, nullptr);
  EXPECT_EQ(a->context, context);
  EXPECT_EQ(qoxPktListNew(context, 1, nullptr, 4), nullptr);
  a->next = b;
  qoxPktListFreeList(a);
  qoxPktListFreeOne(nullptr);
  QOXFreeContext(context);
  QOXsdkCleanup();
}

}  // namespace
