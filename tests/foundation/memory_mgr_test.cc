// Memory managers: block headers, secure wiping, refused sizes, creation
// records, the default-manager list and the system-heap routines.
#include "foundation/memory_mgr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A manager that records what its procedures see. Its release procedures
// inspect the bytes they are handed before freeing them, so a test can tell
// whether secret data was wiped first.
struct Recorder {
  int allocs = 0;
  int secureAllocs = 0;
  int reallocs = 0;
  int deallocs = 0;
  int secureDeallocs = 0;
  bool reportLocked = false;
  bool failRealloc = false;
  bool failSecureAlloc = false;
  QOXMemoryMgr* lastDeallocMgr = reinterpret_cast<QOXMemoryMgr*>(1);
  size_t lastSecureAllocSize = 0;
  std::vector<unsigned char> releasedData;  // data bytes of the last secure release
  bool releasedWasLocked = false;
};

void* RecAlloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue c, size_t size, uint32_t) {
  static_cast<Recorder*>(c)->allocs++;
  return std::malloc(size);
}
QOXError RecRealloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue c, void** block, size_t newSize,
                    uint32_t, size_t) {
  Recorder* r = static_cast<Recorder*>(c);
  r->reallocs++;
  if (r->failRealloc) return kQOXErrOutOfMemory;
  void* p = std::realloc(*block, newSize);
  if (p == nullptr) return kQOXErrOutOfMemory;
  *block = p;
  return kQOXErrNoErr;
}
QOXError RecDealloc(QOXMemoryMgr* mgr, QOXMemoryMgrCustomValue c, void* block, size_t) {
  Recorder* r = static_cast<Recorder*>(c);
  r->deallocs++;
  r->lastDeallocMgr = mgr;
  std::free(block);
  return kQOXErrNoErr;
}
void* RecSecureAlloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue c, size_t size, uint32_t,
                     bool* locked) {
  Recorder* r = static_cast<Recorder*>(c);
  r->secureAllocs++;
  r->lastSecureAllocSize = size;
  *locked = r->reportLocked;
  if (r->failSecureAlloc) return nullptr;
  return std::malloc(size);
}
QOXError RecSecureDealloc(QOXMemoryMgr*, QOXMemoryMgrCustomValue c, void* block, size_t size,
                          bool wasLocked) {
  Recorder* r = static_cast<Recorder*>(c);
  r->secureDeallocs++;
  const unsigned char* p = static_cast<const unsigned char*>(block);
  r->releasedData.assign(p + kQOXBlockHeaderSize, p + size);
  r->releasedWasLocked = wasLocked;
  std::free(block);
  return kQOXErrNoErr;
}

QOXNewMemoryMgrStruct RecorderRecord(Recorder* r) {
  QOXNewMemoryMgrStruct rec{};
  rec.sizeofStruct = sizeof rec;
  rec.allocProc = RecAlloc;
  rec.reallocProc = RecRealloc;
  rec.deallocProc = RecDealloc;
  rec.secureAllocProc = RecSecureAlloc;
  rec.secureDeallocProc = RecSecureDealloc;
  rec.customValue = r;
  return rec;
}

class RecorderMgr : public ::testing::Test {
 protected:
  void SetUp() override {
    QOXNewMemoryMgrStruct rec = RecorderRecord(&rec_);
    ASSERT_EQ(QOXNewMemoryMgrCustom(&rec, &mgr_), kQOXErrNoErr);
    rec_.allocs = 0;
  }
  void TearDown() override {
    if (mgr_ != nullptr) {
      EXPECT_EQ(QOXFreeMemoryMgr(mgr_), kQOXErrNoErr);
    }
  }
  Recorder rec_;
  QOXMemoryMgr* mgr_ = nullptr;
};

struct Header {
  QOXMemoryMgr* owner;
  uint32_t sizeWord;
  char tag[4];
};

Header ReadHeader(const void* data) {
  Header h;
  std::memcpy(&h.owner, static_cast<const char*>(data) - 16, 8);
  std::memcpy(&h.sizeWord, static_cast<const char*>(data) - 8, 4);
  std::memcpy(h.tag, static_cast<const char*>(data) - 4, 4);
  return h;
}

bool AllZero(const std::vector<unsigned char>& v) {
  for (unsigned char b : v) {
    if (b != 0) return false;
  }
  return true;
}

TEST_F(RecorderMgr, BlocksCarryOwnerSizeAndTag) {
  struct Case {
    bool secure;
    bool locked;
    size_t size;
    uint32_t bits;
    uint32_t info;
  } const cases[] = {
      {false, false, 0, 0, 1},
      {false, false, 100, 0, 1},
      {true, false, 40, 0x80000000u, 3},
      {true, true, 40, 0xC0000000u, 7},
  };
  for (const Case& c : cases) {
    rec_.reportLocked = c.locked;
    void* p = c.secure ? QOXNewSecureData(mgr_, c.size, 0) : QOXNewData(mgr_, c.size, 0);
    ASSERT_NE(p, nullptr);
    Header h = ReadHeader(p);
    EXPECT_EQ(h.owner, mgr_);
    EXPECT_EQ(h.sizeWord, c.size | c.bits);
    EXPECT_EQ(std::memcmp(h.tag, "BUGF", 4), 0);
    EXPECT_EQ(QOXGetMemoryMgrDataInfo(p), c.info);
    EXPECT_EQ(QOXFreeData(p), kQOXErrNoErr);
  }
  EXPECT_EQ(rec_.allocs, 2);
  EXPECT_EQ(rec_.deallocs, 2);
  EXPECT_EQ(rec_.secureAllocs, 2);
  EXPECT_EQ(rec_.secureDeallocs, 2);
  EXPECT_TRUE(rec_.releasedWasLocked);
}

TEST_F(RecorderMgr, ClearFlagZeroesTheData) {
  // malloc'd memory is usually dirty after a free of a filled block.
  void* dirty = QOXNewData(mgr_, 256, 0);
  std::memset(dirty, 0x5A, 256);
  QOXFreeData(dirty);
  unsigned char* p = static_cast<unsigned char*>(QOXNewData(mgr_, 256, kQOXMemoryMgrFlags_Clear));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(p[i], 0) << i;
  QOXFreeData(p);
}

TEST_F(RecorderMgr, SecureBlockIsWipedBeforeItsReleaseOnFree) {
  unsigned char* p = static_cast<unsigned char*>(QOXNewSecureData(mgr_, 64, 0));
  ASSERT_NE(p, nullptr);
  std::memset(p, 0xAB, 64);
  ASSERT_EQ(QOXFreeData(p), kQOXErrNoErr);
  ASSERT_EQ(rec_.releasedData.size(), 64u);
  EXPECT_TRUE(AllZero(rec_.releasedData));
}

TEST_F(RecorderMgr, SecureBlockIsWipedBeforeItsReleaseOnRealloc) {
  // Growing and shrinking both move a secure block; the old copy must not
  // reach the release procedure with the secret still in it.
  for (size_t newSize : {200u, 10u}) {
    void* p = QOXNewSecureData(mgr_, 64, 0);
    ASSERT_NE(p, nullptr);
    std::memset(p, 0xAB, 64);
    ASSERT_EQ(QOXReallocData(mgr_, &p, newSize, 0), kQOXErrNoErr);
    ASSERT_EQ(rec_.releasedData.size(), 64u);
    EXPECT_TRUE(AllZero(rec_.releasedData)) << newSize;
    // The new block holds the old bytes and stays secure.
    const unsigned char* q = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < std::min<size_t>(newSize, 64); ++i) ASSERT_EQ(q[i], 0xAB);
    EXPECT_EQ(QOXGetMemoryMgrDataInfo(p) & kQOXMemoryMgrBlockInfo_Secure,
              kQOXMemoryMgrBlockInfo_Secure);
    EXPECT_EQ(ReadHeader(p).sizeWord & 0x3FFFFFFF, newSize);
    EXPECT_EQ(rec_.lastSecureAllocSize, newSize + 16);
    QOXFreeData(p);
  }
}

TEST_F(RecorderMgr, GrowingWithClearKeepsOldBytesAndZeroesTheTail) {
  for (bool secure : {false, true}) {
    void* p = secure ? QOXNewSecureData(mgr_, 8, 0) : QOXNewData(mgr_, 8, 0);
    std::memset(p, 0x11, 8);
    ASSERT_EQ(QOXReallocData(mgr_, &p, 4096, kQOXMemoryMgrFlags_Clear), kQOXErrNoErr);
    const unsigned char* q = static_cast<const unsigned char*>(p);
    for (int i = 0; i < 8; ++i) ASSERT_EQ(q[i], 0x11);
    for (int i = 8; i < 4096; ++i) ASSERT_EQ(q[i], 0) << i;
    EXPECT_EQ(QOXGetMemoryMgrDataInfo(p), secure ? 3u : 1u);
    QOXFreeData(p);
  }
}

TEST_F(RecorderMgr, ReallocOfNullMakesAPlainBlock) {
  void* p = nullptr;
  ASSERT_EQ(QOXReallocData(mgr_, &p, 32, 0), kQOXErrNoErr);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(QOXGetMemoryMgrDataInfo(p), 1u);
  EXPECT_EQ(rec_.secureAllocs, 0);
  QOXFreeData(p);
}

TEST_F(RecorderMgr, FailedReallocLeavesTheBlockAlone) {
  void* p = QOXNewData(mgr_, 16, 0);
  std::memset(p, 0x22, 16);
  void* before = p;
  rec_.failRealloc = true;
  EXPECT_EQ(QOXReallocData(mgr_, &p, 64, 0), kQOXErrOutOfMemory);
  EXPECT_EQ(p, before);

  void* s = QOXNewSecureData(mgr_, 16, 0);
  std::memset(s, 0x33, 16);
  void* sBefore = s;
  rec_.failSecureAlloc = true;
  EXPECT_EQ(QOXReallocData(mgr_, &s, 64, 0), kQOXErrOutOfMemory);
  EXPECT_EQ(s, sBefore);
  EXPECT_EQ(static_cast<unsigned char*>(s)[15], 0x33);
  EXPECT_EQ(QOXGetMemoryMgrDataInfo(s), 3u);
  QOXFreeData(p);
  QOXFreeData(s);
}

TEST_F(RecorderMgr, OversizedRequestsAreRefusedBeforeAnyAllocation) {
  // The size word keeps 30 bits; size + header must not wrap either.
  const size_t sizes[] = {size_t{1} << 30, (size_t{1} << 32) + 5, SIZE_MAX, SIZE_MAX - 15};
  for (size_t size : sizes) {
    EXPECT_EQ(QOXNewData(mgr_, size, 0), nullptr) << size;
    EXPECT_EQ(QOXNewSecureData(mgr_, size, 0), nullptr) << size;
  }
  EXPECT_EQ(rec_.allocs, 0);
  EXPECT_EQ(rec_.secureAllocs, 0);

  for (bool secure : {false, true}) {
    void* p = secure ? QOXNewSecureData(mgr_, 8, 0) : QOXNewData(mgr_, 8, 0);
    void* before = p;
    for (size_t size : sizes) {
      EXPECT_EQ(QOXReallocData(mgr_, &p, size, 0), kQOXErrOutOfMemory) << size;
      EXPECT_EQ(p, before);
    }
    EXPECT_EQ(rec_.reallocs, 0);
    QOXFreeData(p);
  }
}

TEST_F(RecorderMgr, InvalidBlocksAreRefusedWithoutCallingTheManager) {
  alignas(16) unsigned char fake[64] = {};
  std::memcpy(fake, &mgr_, sizeof mgr_);
  std::memcpy(fake + 12, "BUGX", 4);
  std::memset(fake + 16, 0, 8);
  EXPECT_EQ(QOXFreeData(fake + 16), kQOXErrBadParams);
  EXPECT_EQ(QOXGetMemoryMgrDataInfo(fake + 16), 0u);
  // Right tag, owner that is not a manager.
  QOXMemoryMgr* notAMgr = reinterpret_cast<QOXMemoryMgr*>(fake + 32);
  std::memcpy(fake, &notAMgr, sizeof notAMgr);
  std::memcpy(fake + 12, "BUGF", 4);
  EXPECT_EQ(QOXFreeData(fake + 16), kQOXErrBadParams);
  EXPECT_EQ(QOXFreeData(reinterpret_cast<void*>(16)), kQOXErrBadParams);
  EXPECT_EQ(QOXFreeData(nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXGetMemoryMgrDataInfo(nullptr), 0u);
  EXPECT_EQ(rec_.deallocs + rec_.secureDeallocs, 0);

  void* p = QOXNewData(mgr_, 8, 0);
  EXPECT_EQ(QOXReallocData(mgr_, nullptr, 8, 0), kQOXErrBadParams);
  EXPECT_EQ(QOXReallocData(nullptr, &p, 8, 0), kQOXErrBadParams);
  EXPECT_EQ(QOXNewData(nullptr, 8, 0), nullptr);
  QOXFreeData(p);
}

TEST_F(RecorderMgr, FreeUsesTheOwnerNotTheDefault) {
  Recorder other;
  QOXNewMemoryMgrStruct rec = RecorderRecord(&other);
  QOXMemoryMgr* otherMgr = nullptr;
  ASSERT_EQ(QOXNewMemoryMgrCustom(&rec, &otherMgr), kQOXErrNoErr);
  void* p = QOXNewData(otherMgr, 8, 0);
  QOXFreeData(p);
  EXPECT_EQ(other.deallocs, 1);
  EXPECT_EQ(rec_.deallocs, 0);
  EXPECT_EQ(QOXFreeMemoryMgr(otherMgr), kQOXErrNoErr);
  EXPECT_EQ(other.lastDeallocMgr, nullptr) << "the manager object goes back with a null manager";
}

TEST(MemoryMgrCreation, BadRecordsAreRefused) {
  Recorder r;
  struct Case {
    const char* what;
    void (*spoil)(QOXNewMemoryMgrStruct*);
  } const cases[] = {
      {"size one short", [](QOXNewMemoryMgrStruct* s) { s->sizeofStruct -= 1; }},
      {"no allocate", [](QOXNewMemoryMgrStruct* s) { s->allocProc = nullptr; }},
      {"no reallocate", [](QOXNewMemoryMgrStruct* s) { s->reallocProc = nullptr; }},
      {"no deallocate", [](QOXNewMemoryMgrStruct* s) { s->deallocProc = nullptr; }},
      {"no secure allocate", [](QOXNewMemoryMgrStruct* s) { s->secureAllocProc = nullptr; }},
      {"no secure deallocate", [](QOXNewMemoryMgrStruct* s) { s->secureDeallocProc = nullptr; }},
      {"reserved word set", [](QOXNewMemoryMgrStruct* s) { s->reserved = s; }},
      {"first trailing word", [](QOXNewMemoryMgrStruct* s) { s->reserved2[0] = 1; }},
      {"last trailing word", [](QOXNewMemoryMgrStruct* s) { s->reserved2[7] = 1; }},
  };
  for (const Case& c : cases) {
    QOXNewMemoryMgrStruct rec = RecorderRecord(&r);
    c.spoil(&rec);
    QOXMemoryMgr* mgr = reinterpret_cast<QOXMemoryMgr*>(&r);
    EXPECT_EQ(QOXNewMemoryMgrCustom(&rec, &mgr), kQOXErrBadParams) << c.what;
    EXPECT_EQ(mgr, nullptr) << c.what;
  }
  EXPECT_EQ(r.allocs, 0);
  QOXNewMemoryMgrStruct rec = RecorderRecord(&r);
  EXPECT_EQ(QOXNewMemoryMgrCustom(&rec, nullptr), kQOXErrBadParams);
  QOXMemoryMgr* mgr = nullptr;
  EXPECT_EQ(QOXNewMemoryMgrCustom(nullptr, &mgr), kQOXErrBadParams);
  EXPECT_EQ(QOXNewMemoryMgr(1, &mgr), kQOXErrBadParams);
  EXPECT_EQ(QOXNewMemoryMgr(0, nullptr), kQOXErrBadParams);
}

TEST(MemoryMgrCreation, CustomValueOnlyForCustomManagers) {
  Recorder r;
  QOXNewMemoryMgrStruct rec = RecorderRecord(&r);
  QOXMemoryMgr* custom = nullptr;
  ASSERT_EQ(QOXNewMemoryMgrCustom(&rec, &custom), kQOXErrNoErr);
  QOXMemoryMgrCustomValue v = nullptr;
  EXPECT_EQ(QOXGetMemoryMgrCustomValue(custom, &v), kQOXErrNoErr);
  EXPECT_EQ(v, &r);
  EXPECT_EQ(QOXSetMemoryMgrCustomValue(custom, &rec), kQOXErrNoErr);
  EXPECT_EQ(QOXGetMemoryMgrCustomValue(custom, &v), kQOXErrNoErr);
  EXPECT_EQ(v, &rec);
  QOXSetMemoryMgrCustomValue(custom, &r);

  QOXMemoryMgr* standard = nullptr;
  ASSERT_EQ(QOXNewMemoryMgr(0, &standard), kQOXErrNoErr);
  EXPECT_EQ(QOXValidateMemoryMgr(standard), kQOXErrNoErr);
  EXPECT_EQ(QOXGetMemoryMgrCustomValue(standard, &v), kQOXErrBadParams);
  EXPECT_EQ(v, nullptr);
  EXPECT_EQ(QOXSetMemoryMgrCustomValue(standard, &r), kQOXErrBadParams);

  // The standard procedures do their work, secure blocks included.
  void* p = QOXNewSecureData(standard, 100, kQOXMemoryMgrFlags_Clear);
  ASSERT_NE(p, nullptr);
  EXPECT_NE(QOXGetMemoryMgrDataInfo(p) & kQOXMemoryMgrBlockInfo_Secure, 0u);
  ASSERT_EQ(QOXReallocData(standard, &p, 5000, 0), kQOXErrNoErr);
  EXPECT_EQ(QOXFreeData(p), kQOXErrNoErr);

  EXPECT_EQ(QOXFreeMemoryMgr(standard), kQOXErrNoErr);
  EXPECT_EQ(QOXFreeMemoryMgr(custom), kQOXErrNoErr);
  EXPECT_EQ(QOXValidateMemoryMgr(nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXFreeMemoryMgr(nullptr), kQOXErrBadParams);
}

TEST(DefaultMemoryMgr, ListHoldsEachManagerOnceAndFreesThem) {
  EXPECT_EQ(QOXGetDefaultMemoryMgr(), nullptr);
  Recorder a, b;
  QOXNewMemoryMgrStruct recA = RecorderRecord(&a), recB = RecorderRecord(&b);
  QOXMemoryMgr* mgrA = nullptr;
  QOXMemoryMgr* mgrB = nullptr;
  ASSERT_EQ(QOXNewMemoryMgrCustom(&recA, &mgrA), kQOXErrNoErr);
  ASSERT_EQ(QOXNewMemoryMgrCustom(&recB, &mgrB), kQOXErrNoErr);

  EXPECT_EQ(QOXSetDefaultMemoryMgr(mgrA), kQOXErrNoErr);
  EXPECT_EQ(QOXSetDefaultMemoryMgr(mgrA), kQOXErrNoErr);
  EXPECT_EQ(a.allocs, 2) << "the manager object and one list node";
  EXPECT_EQ(QOXSetDefaultMemoryMgr(mgrB), kQOXErrNoErr);
  EXPECT_EQ(QOXGetDefaultMemoryMgr(), mgrB);
  EXPECT_EQ(QOXSetDefaultMemoryMgr(mgrA), kQOXErrNoErr);
  EXPECT_EQ(QOXGetDefaultMemoryMgr(), mgrA);
  EXPECT_EQ(a.allocs, 2);
  EXPECT_EQ(QOXSetDefaultMemoryMgr(nullptr), kQOXErrBadParams);

  qoxFreeDefaultMemoryMgrList();
  EXPECT_EQ(QOXGetDefaultMemoryMgr(), nullptr);
  // Each node and each manager object went back through its own manager.
  EXPECT_EQ(a.deallocs, 2);
  EXPECT_EQ(b.deallocs, 2);

  // The list can be built again after a free.
  QOXMemoryMgr* standard = nullptr;
  ASSERT_EQ(QOXNewMemoryMgr(0, &standard), kQOXErrNoErr);
  EXPECT_EQ(QOXSetDefaultMemoryMgr(standard), kQOXErrNoErr);
  EXPECT_EQ(QOXGetDefaultMemoryMgr(), standard);
  qoxFreeDefaultMemoryMgrList();
}

TEST(SystemHeap, SizesAndResizing) {
  void* zero = qoxInternalAlloc(0);
  EXPECT_NE(zero, nullptr);
  qoxFree(zero);
  EXPECT_EQ(qoxInternalMemAlloc(0), nullptr);

  char* p = static_cast<char*>(qoxInternalMemAlloc(10));
  ASSERT_NE(p, nullptr);
  std::memcpy(p, "0123456789", 10);
  void* v = p;
  ASSERT_EQ(qoxRealloc(&v, 10), kQOXErrNoErr);
  EXPECT_EQ(v, p);
  ASSERT_EQ(qoxRealloc(&v, 100000), kQOXErrNoErr);
  EXPECT_EQ(std::memcmp(v, "0123456789", 10), 0);
  ASSERT_EQ(qoxRealloc(&v, 4), kQOXErrNoErr);
  EXPECT_EQ(std::memcmp(v, "0123", 4), 0);
  v = qoxInternalMemRealloc(v, 6);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::memcmp(v, "0123", 4), 0);
  EXPECT_EQ(qoxInternalMemRealloc(v, 0), nullptr);  // frees it (ASan would see a leak)
  void* fresh = qoxInternalMemRealloc(nullptr, 3);
  EXPECT_NE(fresh, nullptr);
  qoxFree(fresh);
  qoxFree(nullptr);
}

TEST(SystemHeap, CopyPatternAndOverlappingCopy) {
  struct Case {
    const char* pattern;
    size_t destLength;
    const char* expected;
  } const cases[] = {
      {"abc", 10, "abcabcabca"},
      {"abcde", 3, "abc"},
      {"z", 7, "zzzzzzz"},
      {"ab", 0, ""},
  };
  for (const Case& c : cases) {
    char dest[16];
    std::memset(dest, '.', sizeof dest);
    EXPECT_EQ(qoxCopyPattern(c.pattern, std::strlen(c.pattern), dest, c.destLength),
              c.destLength);
    EXPECT_EQ(std::string(dest, c.destLength), c.expected);
    EXPECT_EQ(dest[c.destLength], '.');
  }
  char buf[] = "abcdefgh";
  qoxCopyMemory(buf, buf + 2, 6);
  EXPECT_STREQ(buf, "ababcdef");
  qoxCopyMemory(buf + 2, buf, 6);
  EXPECT_STREQ(buf, "abcdefef");
}

}  // namespace
