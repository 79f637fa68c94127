// The key-database container and the root key set: making and the
// context's list, references, counting real keys, the last-user-ID refusal,
// membership rules, the root set's uncounted references, destruction that
// frees every set still made, and memory failures that leave nothing
// behind.
#include <gtest/gtest.h>

#include "foundation/sdk_errors.h"
#include "keydb/key_set.h"
#include "tests/common/counting_memory_mgr.h"
#include "tests/keydb/keydb_test_support.h"

namespace {

class KeyDBContainerTest : public keydb_test::KeyDBTest {
 protected:
  QOXKeyDBObj* MakeKey(uint8_t idByte, uint32_t extra = 0) {
    const uint8_t id[8] = {0, 0, 0, 0, 0, 0, 0, idByte};
    QOXKeyDBObj* key = qoxNewKeyObj(db_, nullptr, kQOXObjFlag_Key | extra, 1, id);
    EXPECT_NE(key, nullptr);
    return key;
  }
};

TEST_F(KeyDBContainerTest, MakingAndTheContextsList) {
  EXPECT_TRUE(qoxKeyDBIsValid(db_));
  EXPECT_EQ(db_->refCount, 1);
  EXPECT_EQ(db_->context, context_);
  EXPECT_FALSE(QOXKeyDBIsMutable(db_));
  EXPECT_FALSE(qoxKeyDBIsDirty(db_));
  EXPECT_FALSE(qoxFrontEndKeyDB(db_));
  ASSERT_NE(QOXPeekKeyDBRootKeySet(db_), nullptr);
  EXPECT_EQ(QOXPeekKeyDBRootKeySet(db_), qoxKeyDBPeekRootSet(db_));
  EXPECT_EQ(qoxContextGetFirstKeyDB(context_), db_);

  QOXKeyDB* second = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &second), 0);
  EXPECT_EQ(qoxContextGetFirstKeyDB(context_), second) << "linked at the head";
  EXPECT_EQ(qoxKeyDBNextKeyDB(second), db_);
  // Two references: the first release keeps it.
  EXPECT_EQ(QOXIncKeyDBRefCount(second), 0);
  EXPECT_EQ(second->refCount, 2);
  EXPECT_EQ(QOXFreeKeyDB(second), 0);
  EXPECT_TRUE(qoxKeyDBIsValid(second));
  EXPECT_EQ(qoxContextGetFirstKeyDB(context_), second);
  EXPECT_EQ(QOXFreeKeyDB(second), 0);
  EXPECT_EQ(qoxContextGetFirstKeyDB(context_), db_) << "unlinked by the last release";

  // A database in the middle of the list is unlinked from there.
  QOXKeyDB* a = nullptr;
  QOXKeyDB* b = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &a), 0);
  ASSERT_EQ(QOXNewKeyDB(context_, &b), 0);
  EXPECT_EQ(QOXFreeKeyDB(a), 0);
  EXPECT_EQ(qoxContextGetFirstKeyDB(context_), b);
  EXPECT_EQ(qoxKeyDBNextKeyDB(b), db_);
  EXPECT_EQ(QOXFreeKeyDB(b), 0);

  // Refusals.
  QOXKeyDB* out = reinterpret_cast<QOXKeyDB*>(this);
  EXPECT_EQ(QOXNewKeyDB(context_, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXNewKeyDB(nullptr, &out), kQOXErrBadParams);
  EXPECT_EQ(out, nullptr);
  uint32_t garbage[32] = {};
  auto* fake = reinterpret_cast<QOXKeyDB*>(garbage);
  EXPECT_EQ(QOXFreeKeyDB(nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXFreeKeyDB(fake), kQOXErrBadParams);
  EXPECT_EQ(QOXIncKeyDBRefCount(fake), kQOXErrBadParams);
  EXPECT_FALSE(QOXKeyDBIsMutable(fake));
  EXPECT_EQ(QOXPeekKeyDBRootKeySet(fake), nullptr);
  uint32_t count = 5;
  EXPECT_EQ(QOXCountKeysInKeyDB(fake, &count), kQOXErrBadParams);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(QOXCountKeysInKeyDB(db_, nullptr), kQOXErrBadParams);
}

TEST_F(KeyDBContainerTest, CountsRealKeysAndRefusesTheLastUserID) {
  QOXKeyDBObj* dummy = MakeKey(1, kQOXObjFlag_Dummy);
  QOXKeyDBObj* key = MakeKey(2);
  QOXKeyDBObj* gone = MakeKey(3);
  QOXKeyDBObj* kept = MakeKey(4);
  qoxMarkKeyDBObjectDeleted(gone);
  uint32_t count = 0;
  EXPECT_EQ(QOXCountKeysInKeyDB(db_, &count), 0);
  EXPECT_EQ(count, 2u);
  QOXKeySet* root = QOXPeekKeyDBRootKeySet(db_);
  EXPECT_EQ(QOXCountKeys(root, &count), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(qoxFirstKeyInKeySet(root), key) << "the dummy before it is no member";

  QOXKeyDBObj* u1 = qoxNewKeyDBObj(db_, key, kQOXObjFlag_UserID);
  QOXKeyDBObj* u2 = qoxNewKeyDBObj(db_, key, kQOXObjFlag_UserID);
  QOXKeyDBObj* sig = qoxNewKeyDBObj(db_, u2, kQOXObjFlag_Sig);
  EXPECT_EQ(qoxKeyDBRemoveObject(db_, sig), 0);
  EXPECT_TRUE(qoxKeyDBIsDirty(db_));
  db_->dirty = 0;
  EXPECT_EQ(qoxKeyDBRemoveObject(db_, u1), 0) << "two real user IDs: one may go";
  EXPECT_TRUE(qoxKeyDBObjIsDeleted(u1));
  EXPECT_TRUE(qoxKeyDBIsDirty(db_));
  db_->dirty = 0;
  EXPECT_EQ(qoxKeyDBRemoveObject(db_, u2), kQOXErrBadParams) << "the last one is refused";
  EXPECT_FALSE(qoxKeyDBObjIsDeleted(u2));
  EXPECT_FALSE(qoxKeyDBIsDirty(db_));
  // Objects that are not real are refused.
  EXPECT_EQ(qoxKeyDBRemoveObject(db_, u1), kQOXErrBadParams);
  EXPECT_EQ(qoxKeyDBRemoveObject(db_, dummy), kQOXErrBadParams);
  EXPECT_EQ(qoxKeyDBRemoveObject(db_, nullptr), kQOXErrBadParams);
  // A whole key goes with its user IDs.
  EXPECT_EQ(qoxKeyDBRemoveObject(db_, key), 0);
  EXPECT_TRUE(qoxKeyDBObjIsDeleted(u2));
  EXPECT_EQ(QOXCountKeysInKeyDB(db_, &count), 0);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(qoxFirstKeyInKeySet(root), kept);

  qoxKeyDBChanged(db_, true);
  EXPECT_TRUE(qoxKeyDBIsDirty(db_));
  qoxKeyDBSetError(db_, kQOXErrOutOfMemory);
  EXPECT_EQ(qoxKeyDBError(db_), kQOXErrOutOfMemory);
}

TEST_F(KeyDBContainerTest, RootSetsAndMembership) {
  QOXKeySet* root = QOXPeekKeyDBRootKeySet(db_);
  EXPECT_TRUE(qoxKeySetIsRootSet(root));
  EXPECT_TRUE(qoxKeySetIsEmpty(root));
  QOXKeyDBObj* dummy = MakeKey(1, kQOXObjFlag_Dummy);
  EXPECT_FALSE(qoxKeySetIsEmpty(root)) << "a dummy is a top-level object";
  QOXKeyDBObj* key = MakeKey(2);
  QOXKeyDBObj* uid = qoxNewKeyDBObj(db_, key, kQOXObjFlag_UserID);
  QOXKeyDBObj* gone = qoxNewKeyDBObj(db_, key, kQOXObjFlag_UserID);
  qoxMarkKeyDBObjectDeleted(gone);

  // The root set's references are not counted; freeing it leaves it usable.
  EXPECT_EQ(QOXIncKeySetRefCount(root), 0);
  EXPECT_EQ(root->refCount, 1);
  EXPECT_EQ(QOXFreeKeySet(root), 0);
  EXPECT_EQ(QOXFreeKeySet(root), 0);
  EXPECT_TRUE(qoxKeySetIsValid(root));
  EXPECT_TRUE(QOXKeySetIsMember(uid, root));
  EXPECT_TRUE(QOXKeySetIsMember(key, root));
  EXPECT_FALSE(QOXKeySetIsMember(dummy, root)) << "a dummy is never a member";
  EXPECT_FALSE(QOXKeySetIsMember(gone, root)) << "nor a deleted object";
  EXPECT_EQ(QOXPeekKeySetKeyDB(root), db_);

  // Objects of another database are not members.
  QOXKeyDB* other = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &other), 0);
  const uint8_t id[8] = {7};
  QOXKeyDBObj* foreign = qoxNewKeyObj(other, nullptr, kQOXObjFlag_Key, 1, id);
  EXPECT_FALSE(QOXKeySetIsMember(foreign, root));
  EXPECT_TRUE(QOXKeySetIsMember(foreign, QOXPeekKeyDBRootKeySet(other)));

  // A set made by QOXNewKeySet is counted and freed by its last release.
  QOXKeySet* set = nullptr;
  ASSERT_EQ(QOXNewKeySet(db_, &set), 0);
  EXPECT_EQ(set->refCount, 1);
  EXPECT_FALSE(qoxKeySetIsRootSet(set));
  EXPECT_EQ(db_->firstSet, set) << "pushed at the head of the chain";
  EXPECT_TRUE(QOXKeySetIsMember(uid, set));
  uint32_t count = 0;
  EXPECT_EQ(QOXCountKeys(set, &count), 0);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(QOXIncKeySetRefCount(set), 0);
  EXPECT_EQ(set->refCount, 2);
  // Its union with any set is itself, one reference more.
  QOXKeySet* joined = nullptr;
  EXPECT_EQ(set->makeUnion(set, root, &joined), 0);
  EXPECT_EQ(joined, set);
  EXPECT_EQ(set->refCount, 3);
  EXPECT_EQ(QOXFreeKeySet(set), 0);
  EXPECT_EQ(QOXFreeKeySet(set), 0);
  EXPECT_EQ(db_->firstSet, set);
  EXPECT_EQ(QOXFreeKeySet(set), 0);
  EXPECT_NE(db_->firstSet, set) << "unlinked from the chain";

  // Refusals.
  EXPECT_EQ(QOXNewKeySet(db_, nullptr), kQOXErrBadParams);
  QOXKeySet* out = root;
  EXPECT_EQ(QOXNewKeySet(nullptr, &out), kQOXErrBadParams);
  EXPECT_EQ(out, nullptr);
  uint32_t garbage[32] = {};
  auto* fake = reinterpret_cast<QOXKeySet*>(garbage);
  EXPECT_EQ(QOXFreeKeySet(fake), kQOXErrBadParams);
  EXPECT_EQ(QOXIncKeySetRefCount(nullptr), kQOXErrBadParams);
  EXPECT_FALSE(QOXKeySetIsMember(uid, fake));
  EXPECT_FALSE(QOXKeySetIsMember(nullptr, root));
  EXPECT_EQ(QOXPeekKeySetKeyDB(fake), nullptr);
  count = 9;
  EXPECT_EQ(QOXCountKeys(fake, &count), kQOXErrBadParams);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(QOXCountKeys(root, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXFreeKeyDB(other), 0);
}

// A database and a counting memory manager: its last release frees every
// set still made over it and every pool chunk; a failed making leaves
// nothing behind.
class KeyDBMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    QOXNewContextStruct record{kQOXAPIVersion, counts_.Make(), 0};
    ASSERT_EQ(QOXNewContextCustom(&record, &context_), 0);
    base_ = counts_.live();
  }
  void TearDown() override {
    counts_.FailAfter(-1);
    QOXFreeContext(context_);
    QOXsdkCleanup();
  }
  ostrak_test::CountingMemoryMgr counts_;
  QOXContext* context_ = nullptr;
  long base_ = 0;
};

TEST_F(KeyDBMemoryTest, LastReleaseFreesSetsAndPools) {
  QOXKeyDB* db = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
  QOXKeySet* sets[3];
  for (QOXKeySet*& s : sets) ASSERT_EQ(QOXNewKeySet(db, &s), 0);
  ASSERT_EQ(QOXIncKeySetRefCount(sets[1]), 0);
  for (uint8_t i = 0; i < 200; ++i) {  // several pool chunks
    const uint8_t id[8] = {i};
    QOXKeyDBObj* key = qoxNewKeyObj(db, nullptr, kQOXObjFlag_Key, 1, id);
    ASSERT_NE(key, nullptr);
    ASSERT_NE(qoxNewKeyDBObj(db, key, kQOXObjFlag_UserID), nullptr);
  }
  EXPECT_GT(db->objectPool.total, 8192u);
  EXPECT_EQ(QOXFreeKeyDB(db), 0);
  EXPECT_EQ(counts_.live(), base_);
  EXPECT_EQ(qoxContextGetFirstKeyDB(context_), nullptr);
}

TEST_F(KeyDBMemoryTest, FailedMakingLeavesNothing) {
  int failures = 0;
  for (long budget = 0; budget < 8; ++budget) {
    SCOPED_TRACE(budget);
    counts_.FailAfter(budget);
    QOXKeyDB* db = reinterpret_cast<QOXKeyDB*>(this);
    const QOXError err = QOXNewKeyDB(context_, &db);
    counts_.FailAfter(-1);
    if (err == kQOXErrNoErr) {
      ASSERT_NE(db, nullptr);
      EXPECT_EQ(QOXFreeKeyDB(db), 0);
    } else {
      ++failures;
      EXPECT_EQ(err, kQOXErrOutOfMemory);
      EXPECT_EQ(db, nullptr);
      EXPECT_EQ(qoxContextGetFirstKeyDB(context_), nullptr);
    }
    EXPECT_EQ(counts_.live(), base_);
  }
  EXPECT_GE(failures, 3) << "the record, the ID tree and the root set each may fail";

  QOXKeyDB* db = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &db), 0);
  counts_.FailAfter(0);
  QOXKeySet* set = reinterpret_cast<QOXKeySet*>(this);
  EXPECT_EQ(QOXNewKeySet(db, &set), kQOXErrOutOfMemory);
  EXPECT_EQ(set, nullptr);
  counts_.FailAfter(-1);
  EXPECT_EQ(QOXFreeKeyDB(db), 0);
  EXPECT_EQ(counts_.live(), base_);
}

}  // namespace
