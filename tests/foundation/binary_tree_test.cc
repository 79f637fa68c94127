// QOXBinaryTree against std::map, with the AVL invariant checked as it goes.
#include "foundation/binary_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <vector>

namespace {

// Height of the subtree, checking order, key bounds and balance codes on the
// way; -1 on the first violation.
int CheckedHeight(const QOXBinaryTreeNode* n, std::optional<intptr_t> low, std::optional<intptr_t> high) {
  if (n == nullptr) return 0;
  if ((low && n->key <= *low) || (high && n->key >= *high)) return -1;
  int l = CheckedHeight(n->left, low, n->key);
  int r = CheckedHeight(n->right, n->key, high);
  if (l < 0 || r < 0) return -1;
  int expectedBalance = r - l + 1;  // 0 left higher, 1 even, 2 right higher
  if (expectedBalance < 0 || expectedBalance > 2 || n->balance != expectedBalance) return -1;
  return 1 + (l > r ? l : r);
}

bool IsAVL(const QOXBinaryTree* t) {
  return CheckedHeight(t->root, std::nullopt, std::nullopt) >= 0;
}

class BinaryTree : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXNewMemoryMgr(0, &mgr_), kQOXErrNoErr);
    ASSERT_EQ(QOXNewBinaryTree(mgr_, &tree_), kQOXErrNoErr);
  }
  void TearDown() override {
    EXPECT_EQ(QOXDisposeBinaryTree(tree_), kQOXErrNoErr);
    QOXFreeMemoryMgr(mgr_);
  }
  std::vector<std::pair<intptr_t, QOXTreeValue>> InOrder() {
    std::vector<std::pair<intptr_t, QOXTreeValue>> out;
    QOXInOrderTraversal(
        tree_,
        [](void* u, intptr_t k, QOXTreeValue v) -> QOXError {
          static_cast<std::vector<std::pair<intptr_t, QOXTreeValue>>*>(u)->emplace_back(k, v);
          return kQOXErrNoErr;
        },
        &out);
    return out;
  }
  QOXMemoryMgr* mgr_ = nullptr;
  QOXBinaryTree* tree_ = nullptr;
};

TEST_F(BinaryTree, AgreesWithStdMapUnderRandomOperations) {
  std::mt19937 rng(12345);
  // A narrow key range makes duplicates and hits common; the extremes check
  // signed ordering.
  std::uniform_int_distribution<int32_t> keyDist(-600, 600);
  std::uniform_int_distribution<int> opDist(0, 9);
  std::map<intptr_t, QOXTreeValue> model;
  for (int step = 0; step < 40000; ++step) {
    int32_t key = keyDist(rng);
    if (step % 97 == 0) key = (step % 2) ? INT32_MIN : INT32_MAX;
    QOXTreeValue value = static_cast<QOXTreeValue>(step) + 1;
    int op = opDist(rng);
    if (op < 4) {
      QOXError err = QOXAddNode(tree_, key, value);
      bool fresh = model.emplace(key, value).second;
      ASSERT_EQ(err, fresh ? kQOXErrNoErr : kQOXErrItemAlreadyExists) << step;
    } else if (op < 7) {
      QOXTreeValue got = 0;
      QOXError err = QOXDisposeNode(tree_, key, &got);
      auto it = model.find(key);
      if (it == model.end()) {
        ASSERT_EQ(err, kQOXErrItemNotFound) << step;
        ASSERT_EQ(got, 0u);
      } else {
        ASSERT_EQ(err, kQOXErrNoErr) << step;
        ASSERT_EQ(got, it->second);
        model.erase(it);
      }
    } else if (op < 9) {
      QOXTreeValue got = 777;
      QOXError err = QOXFindNode(tree_, key, &got);
      auto it = model.find(key);
      ASSERT_EQ(err, it == model.end() ? kQOXErrItemNotFound : kQOXErrNoErr) << step;
      ASSERT_EQ(got, it == model.end() ? 777u : it->second);
    } else {
      QOXTreeValue old = 0;
      QOXError err = QOXChangeNode(tree_, key, value, &old);
      auto it = model.find(key);
      if (it == model.end()) {
        ASSERT_EQ(err, kQOXErrItemNotFound);
      } else {
        ASSERT_EQ(err, kQOXErrNoErr);
        ASSERT_EQ(old, it->second);
        it->second = value;
      }
    }
    ASSERT_TRUE(IsAVL(tree_)) << "step " << step;
  }
  std::vector<std::pair<intptr_t, QOXTreeValue>> expected(model.begin(), model.end());
  EXPECT_EQ(InOrder(), expected);
}

TEST_F(BinaryTree, AscendingInsertsRotateAndDuplicatesAreRefused) {
  ASSERT_EQ(QOXAddNode(tree_, 1, 10), kQOXErrNoErr);
  ASSERT_EQ(QOXAddNode(tree_, 2, 20), kQOXErrNoErr);
  ASSERT_EQ(QOXAddNode(tree_, 3, 30), kQOXErrNoErr);
  ASSERT_NE(tree_->root, nullptr);
  EXPECT_EQ(tree_->root->key, 2);
  EXPECT_EQ(tree_->root->balance, kQOXTreeEven);
  EXPECT_EQ(QOXAddNode(tree_, 2, 99), kQOXErrItemAlreadyExists);
  QOXTreeValue v = 0;
  EXPECT_EQ(QOXFindNode(tree_, 2, &v), kQOXErrNoErr);
  EXPECT_EQ(v, 20u);

  auto before = InOrder();
  EXPECT_EQ(QOXDisposeNode(tree_, 5, &v), kQOXErrItemNotFound);
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(InOrder(), before);
}

TEST_F(BinaryTree, TraversalStopsAtTheFirstError) {
  for (int32_t k : {5, -3, 9, 0, 7}) ASSERT_EQ(QOXAddNode(tree_, k, 1), kQOXErrNoErr);
  std::vector<intptr_t> seen;
  QOXError err = QOXInOrderTraversal(
      tree_,
      [](void* u, intptr_t k, QOXTreeValue) -> QOXError {
        auto* s = static_cast<std::vector<intptr_t>*>(u);
        s->push_back(k);
        return k == 5 ? kQOXErrUserAbort : kQOXErrNoErr;
      },
      &seen);
  EXPECT_EQ(err, kQOXErrUserAbort);
  EXPECT_EQ(seen, (std::vector<intptr_t>{-3, 0, 5}));
}

// Keys are pointer-sized: object addresses above 2^32 are distinct keys, and
// 32-bit keys keep their signed order among them.
TEST_F(BinaryTree, PointerSizedKeys) {
  int objects[3];
  std::vector<intptr_t> keys = {INT32_MIN, -1, 0, INT32_MAX};
  for (int& o : objects) keys.push_back(reinterpret_cast<intptr_t>(&o));
  if (sizeof(intptr_t) > 4) {
    keys.push_back(static_cast<intptr_t>(INT64_C(0x100000000)));
    keys.push_back(static_cast<intptr_t>(INT64_C(0x100000001)));
    keys.push_back(static_cast<intptr_t>(-INT64_C(0x100000000)));
  }
  for (size_t i = 0; i < keys.size(); ++i)
    ASSERT_EQ(QOXAddNode(tree_, keys[i], 1000 + i), kQOXErrNoErr) << i;
  for (size_t i = 0; i < keys.size(); ++i) {
    QOXTreeValue v = 0;
    ASSERT_EQ(QOXFindNode(tree_, keys[i], &v), kQOXErrNoErr) << i;
    EXPECT_EQ(v, 1000 + i);
  }
  std::vector<intptr_t> sorted = keys;
  std::sort(sorted.begin(), sorted.end());
  std::vector<intptr_t> walked;
  for (const auto& kv : InOrder()) walked.push_back(kv.first);
  EXPECT_EQ(walked, sorted);
  EXPECT_TRUE(IsAVL(tree_));
}

TEST_F(BinaryTree, ZeroValueIsReportedMissingButTheTreeStaysBalanced) {
  for (int32_t k = 0; k < 20; ++k) ASSERT_EQ(QOXAddNode(tree_, k, k == 7 ? 0 : 100 + k), 0);
  QOXTreeValue v = 5;
  EXPECT_EQ(QOXDisposeNode(tree_, 7, &v), kQOXErrItemNotFound);
  EXPECT_EQ(v, 0u);
  EXPECT_TRUE(IsAVL(tree_));
  EXPECT_EQ(InOrder().size(), 19u);
}

}  // namespace
