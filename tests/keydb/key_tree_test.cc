// The key-ID tree: its exact unbalanced shape (a node that compares less
// leads to `greater`, equal IDs go to `notGreater`), algorithms 2 and 3
// counting as 1, subkeys and dummies entered, front ends left out.
#include "keydb/key_tree.h"

#include <gtest/gtest.h>

#include "tests/keydb/keydb_test_support.h"

namespace {

class KeyTreeTest : public keydb_test::KeyDBTest {
 protected:
  QOXKeyDBObj* Key(uint8_t idByte, uint8_t algorithm, QOXKeyDBObj* parent = nullptr) {
    const uint8_t id[8] = {0xF0, 0, 0, 0, 0, 0, 0, idByte};
    return qoxNewKeyObj(db_, parent, parent == nullptr ? kQOXObjFlag_Key : kQOXObjFlag_SubKey, algorithm, id);
  }
  static QOXKeyDBObj* Greater(QOXKeyDBObj* k) { return qoxKeyToKeyInfo(k)->greater; }
  static QOXKeyDBObj* NotGreater(QOXKeyDBObj* k) { return qoxKeyToKeyInfo(k)->notGreater; }
};

TEST_F(KeyTreeTest, ShapeFollowsArrival) {
  QOXKeyDBObj* k5 = Key(5, 1);
  QOXKeyDBObj* k3 = Key(3, 1);
  QOXKeyDBObj* k8 = Key(8, 17, k5);  // a subkey is a node too
  QOXKeyDBObj* k5b = Key(5, 3);      // RSA sign-only counts as RSA: equal to the root
  QOXKeyDBObj* k4 = Key(4, 16);
  const uint8_t id[8] = {0xF0, 0, 0, 0, 0, 0, 0, 5};
  QOXKeyDBObj* k5dsa = qoxNewDummyKey(db_, 17, id, false, nullptr);  // equal bytes, larger algorithm
  EXPECT_EQ(db_->keyTree, k5);
  EXPECT_EQ(NotGreater(k5), k3);
  EXPECT_EQ(Greater(k5), k8);
  EXPECT_EQ(Greater(k3), k5b);
  EXPECT_EQ(NotGreater(k5b), k4);
  EXPECT_EQ(Greater(k8), nullptr);
  EXPECT_EQ(NotGreater(k8), k5dsa) << "5/17 compares greater than 5/1, not greater than 8";
  EXPECT_EQ(Greater(k4), nullptr);
  EXPECT_EQ(NotGreater(k4), nullptr);

  QOXKeyID id5;
  qoxKeyInfoTreeKeyID(qoxKeyToKeyInfo(k5b), &id5);
  EXPECT_EQ(id5.algorithm, 1);
  EXPECT_EQ(id5.length, 8);
}

TEST_F(KeyTreeTest, FrontEndsKeepNoTree) {
  db_->backendID = 0x1234;
  EXPECT_NE(Key(1, 1), nullptr);
  EXPECT_EQ(db_->keyTree, nullptr);
  db_->backendID = 0;
}

}  // namespace
