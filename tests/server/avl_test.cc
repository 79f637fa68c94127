// AVL tree: order and balance against std::set under random inserts and
// deletes, duplicate handling, the walks and their stop values, freeing.
#include "server/avl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"

namespace {

// Tree nodes come from the server allocator, which needs a started toolkit.
class ToolkitEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0); }
  void TearDown() override { QOXsdkCleanup(); }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new ToolkitEnvironment);

int CompareInts(void* a, void* b) {
  intptr_t x = reinterpret_cast<intptr_t>(a), y = reinterpret_cast<intptr_t>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}
void* P(intptr_t v) { return reinterpret_cast<void*>(v); }
intptr_t V(void* p) { return reinterpret_cast<intptr_t>(p); }

// Height of the subtree; fails the test when a balance factor is wrong.
int CheckBalanced(Avlnode* n) {
  if (n == nullptr) return 0;
  int l = CheckBalanced(n->avl_left), r = CheckBalanced(n->avl_right);
  EXPECT_EQ(n->avl_bf, r - l);
  EXPECT_LE(std::abs(r - l), 1);
  return 1 + std::max(l, r);
}

int Collect(void* datum, void* arg) {
  static_cast<std::vector<intptr_t>*>(arg)->push_back(V(datum));
  return 0;
}

TEST(AvlTest, RandomInsertDeleteKeepsOrderAndBalance) {
  std::mt19937 rng(7);
  Avlnode* root = nullptr;
  std::set<intptr_t> model;
  for (int step = 0; step < 4000; ++step) {
    intptr_t v = 1 + rng() % 500;  // never a null datum
    if (rng() % 3 != 0) {
      int rc = avl_insert(&root, P(v), CompareInts, avl_dup_error);
      EXPECT_EQ(rc, model.insert(v).second ? 0 : -1);
    } else {
      void* got = avl_delete(&root, P(v), CompareInts);
      bool had = model.erase(v) == 1;
      EXPECT_EQ(got != nullptr, had);
    }
    if (step % 97 == 0) CheckBalanced(root);
  }
  CheckBalanced(root);
  std::vector<intptr_t> seen;
  EXPECT_EQ(avl_apply(root, Collect, &seen, -1, kAvlInorder), kAvlNoMore);
  EXPECT_EQ(seen, std::vector<intptr_t>(model.begin(), model.end()));
  for (intptr_t v : model) EXPECT_EQ(V(avl_find(root, P(v), CompareInts)), v);
  EXPECT_EQ(avl_find(root, P(1000), CompareInts), nullptr);
  // The list iteration gives the same order.
  std::vector<intptr_t> listed;
  for (void* d = avl_getfirst(root); d != nullptr; d = avl_getnext()) listed.push_back(V(d));
  EXPECT_EQ(listed, seen);
  EXPECT_EQ(avl_free(root, nullptr), static_cast<int>(model.size()));
}

struct Pair {
  int key;
  int tag;
};
int ComparePairs(void* a, void* b) { return static_cast<Pair*>(a)->key - static_cast<Pair*>(b)->key; }
int DupSeven(void*, void*) { return 7; }

TEST(AvlTest, DuplicatesKeepTheFirstDatum) {
  Pair first{5, 1}, second{5, 2};
  Avlnode* root = nullptr;
  ASSERT_EQ(avl_insert(&root, &first, ComparePairs, avl_dup_error), 0);
  EXPECT_EQ(avl_insert(&root, &second, ComparePairs, avl_dup_error), -1);
  EXPECT_EQ(avl_insert(&root, &second, ComparePairs, avl_dup_ok), 0);
  EXPECT_EQ(avl_insert(&root, &second, ComparePairs, DupSeven), 7);
  EXPECT_EQ(avl_find(root, &second, ComparePairs), &first);
  EXPECT_EQ(avl_delete(&root, &second, ComparePairs), &first);
  EXPECT_EQ(root, nullptr);
  EXPECT_EQ(avl_delete(&root, &second, ComparePairs), nullptr);
}

struct Visit {
  std::vector<intptr_t> seen;
  size_t stopAt;
};
int StopAtN(void* datum, void* arg) {
  auto* v = static_cast<Visit*>(arg);
  v->seen.push_back(V(datum));
  return v->seen.size() == v->stopAt ? 99 : 0;
}
int g_freed = 0;
void CountFree(void*) { ++g_freed; }

TEST(AvlTest, WalksOrdersAndStops) {
  Avlnode* root = nullptr;
  for (intptr_t v : {4, 2, 6, 1, 3, 5, 7}) ASSERT_EQ(avl_insert(&root, P(v), CompareInts, avl_dup_error), 0);
  struct Case {
    int order;
    std::vector<intptr_t> expect;
    int result;  // when not stopped
  } cases[] = {
      {kAvlPreorder, {4, 2, 1, 3, 6, 5, 7}, kAvlNoMore},
      {kAvlInorder, {1, 2, 3, 4, 5, 6, 7}, kAvlNoMore},
      {kAvlPostorder, {1, 3, 2, 5, 7, 6, 4}, 0},  // post-order: the last call's result
  };
  for (const Case& c : cases) {
    Visit all{{}, 100};
    EXPECT_EQ(avl_apply(root, StopAtN, &all, 99, c.order), c.result) << c.order;
    EXPECT_EQ(all.seen, c.expect) << c.order;
    Visit three{{}, 3};
    EXPECT_EQ(avl_apply(root, StopAtN, &three, 99, c.order), 99);
    EXPECT_EQ(three.seen, std::vector<intptr_t>(c.expect.begin(), c.expect.begin() + 3));
  }
  Visit none{{}, 100};
  EXPECT_EQ(avl_apply(root, StopAtN, &none, 99, 4), -1);
  EXPECT_EQ(avl_apply(nullptr, StopAtN, &none, 99, kAvlInorder), kAvlNoMore);
  // Linear search finds by a test that is not the tree's order.
  EXPECT_EQ(V(avl_find_lin(root, P(3), CompareInts)), 3);
  g_freed = 0;
  EXPECT_EQ(avl_free(root, CountFree), 7);
  EXPECT_EQ(g_freed, 7);
}

int PrefixCompare(void* a, void* b, void*) {
  // Equal when the tens digit matches: the tree's order is consistent with it.
  return static_cast<int>(V(a) / 10 - V(b) / 10);
}

TEST(AvlTest, PrefixApplyVisitsOnlyTheMatchingRange) {
  Avlnode* root = nullptr;
  for (intptr_t v = 3; v < 60; v += 3) ASSERT_EQ(avl_insert(&root, P(v), CompareInts, avl_dup_error), 0);
  std::vector<intptr_t> seen;
  EXPECT_EQ(avl_prefixapply(root, P(20), Collect, &seen, PrefixCompare, nullptr, -1), kAvlNoMore);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<intptr_t>{21, 24, 27}));
  avl_free(root, nullptr);
}

}  // namespace
