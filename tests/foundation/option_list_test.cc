// Option lists: building, appending and merging with the persistence and
// consumption rules, the first recorded error, searching and reading. Every
// test runs over a counting context and ends by checking that every block
// it caused was given back, so a leak or a double free of a consumed list
// fails here (and under the sanitiser build).
#include "foundation/option_list.h"

#include <gtest/gtest.h>

#include <cstring>

#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk_errors.h"
#include "tests/foundation/toolkit_doubles.h"

namespace {

using toolkit_doubles::CountingContext;

QOXOptionListRef Handle(intptr_t v) { return reinterpret_cast<QOXOptionListRef>(v); }

class OptionListTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(ctx.livePlain(), 0) << "plain blocks leaked";
    EXPECT_EQ(ctx.liveSecure(), 0) << "secure blocks leaked";
  }
  QOXContext* c() { return ctx.get(); }
  CountingContext ctx;
};

TEST_F(OptionListTest, HandleQueriesOverSentinelsListsAndGarbage) {
  QOXOptionListRef live = qoxNewOptionList(c(), false);
  uint32_t garbage[8] = {0x12345678};
  struct Case {
    const char* what;
    QOXOptionListRef handle;
    bool real, valid;
    QOXError toError, listError;
  } cases[] = {
      {"end of run", Handle(-1), false, true, kQOXErrBadParams, kQOXErrNoErr},
      {"out of memory", Handle(-2), false, true, kQOXErrOutOfMemory, kQOXErrOutOfMemory},
      {"bad params", Handle(-3), false, true, kQOXErrBadParams, kQOXErrBadParams},
      {"null option", Handle(-4), false, true, kQOXErrBadParams, kQOXErrNoErr},
      {"null", nullptr, true, false, kQOXErrNoErr, kQOXErrBadParams},
      {"no magic", reinterpret_cast<QOXOptionListRef>(garbage), true, false, kQOXErrNoErr,
       kQOXErrBadParams},
      {"live list", live, true, true, kQOXErrNoErr, kQOXErrNoErr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(qoxOptionListIsReal(k.handle), k.real);
    EXPECT_EQ(qoxOptionListIsValid(k.handle), k.valid);
    EXPECT_EQ(qoxOptionListToError(k.handle), k.toError);
    EXPECT_EQ(qoxGetOptionListError(k.handle), k.listError);
  }
  qoxFreeOptionList(live);
}

// Build runs: the result's count and first error, and every handle consumed.
TEST_F(OptionListTest, BuildRecordsFirstErrorAndConsumesEveryHandle) {
  struct Case {
    const char* what;
    int runKind;
    uint32_t count;
    QOXError error;
  } cases[] = {
      {"null option only", 0, 0, kQOXErrNoErr},
      {"out-of-memory sentinel", 1, 0, kQOXErrOutOfMemory},
      {"option, bad params, option", 2, 1, kQOXErrBadParams},
      {"two options", 3, 2, kQOXErrNoErr},
      {"invalid handle between options", 4, 1, kQOXErrBadParams},
  };
  uint32_t garbage[8] = {0};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    QOXOptionListRef list = nullptr;
    switch (k.runKind) {
      case 0:
        list = qoxBuildOptionListArgs(c(), false, Handle(-4), Handle(-1));
        break;
      case 1:
        list = qoxBuildOptionListArgs(c(), false, Handle(-2), Handle(-1));
        break;
      case 2:  // the third option must be freed, not leaked
        list = qoxBuildOptionListArgs(c(), false, QOXOArmorOutput(c(), true), Handle(-3),
                                      QOXOCommentString(c(), "dropped"), Handle(-1));
        break;
      case 3:
        list = qoxBuildOptionListArgs(c(), false, QOXOArmorOutput(c(), true),
                                      QOXOPassphrase(c(), "pw"), Handle(-1));
        break;
      case 4:
        list = qoxBuildOptionListArgs(c(), false, QOXOArmorOutput(c(), true),
                                      reinterpret_cast<QOXOptionListRef>(garbage),
                                      QOXOPassphrase(c(), "dropped"), Handle(-1));
        break;
    }
    ASSERT_TRUE(qoxOptionListIsReal(list));
    EXPECT_EQ(qoxGetOptionListCount(list), k.count);
    EXPECT_EQ(qoxGetOptionListError(list), k.error);
    qoxFreeOptionList(list);
    EXPECT_EQ(ctx.livePlain(), 0);
    EXPECT_EQ(ctx.liveSecure(), 0);
  }
}

TEST_F(OptionListTest, PersistentListIsCopiedNotConsumed) {
  QOXOptionListRef persistent =
      qoxBuildOptionListArgs(c(), true, QOXOPassphrase(c(), "secret"), Handle(-1));
  ASSERT_EQ(qoxGetOptionListCount(persistent), 1u);

  QOXOptionListRef built = qoxBuildOptionListArgs(c(), false, persistent, Handle(-1));
  EXPECT_EQ(qoxGetOptionListError(built), kQOXErrNoErr);
  EXPECT_EQ(qoxGetOptionListCount(built), 1u);
  EXPECT_EQ(built->flags & kQOXOptionListFlag_Persistent, 0u);
  EXPECT_EQ(qoxGetOptionListCount(persistent), 1u);  // still the caller's, still whole
  // The copy holds its own secure block: two live, one per list.
  EXPECT_EQ(ctx.liveSecure(), 2);

  QOXOption a{}, b{};
  qoxSearchOptionSingle(persistent, kQOXOptionType_Passphrase, &a);
  qoxSearchOptionSingle(built, kQOXOptionType_Passphrase, &b);
  EXPECT_NE(a.value, b.value);
  EXPECT_EQ(std::memcmp(reinterpret_cast<void*>(a.value), reinterpret_cast<void*>(b.value), 6), 0);

  // A non-forced internal free keeps a persistent list; the built list goes.
  qoxFreeOptionListInternal(persistent, false);
  EXPECT_TRUE(qoxOptionListIsValid(persistent));
  qoxFreeOptionListInternal(built, false);
  qoxCleanupOptionList(&persistent);
  EXPECT_EQ(persistent, nullptr);
}

// Merge and append: who survives. Each row names the destination state and
// the source kind; afterwards a consumed source is gone (its blocks given
// back) and a persistent one is untouched.
TEST_F(OptionListTest, MergeConsumptionMatrix) {
  struct Case {
    const char* what;
    bool sourcePersistent;
    bool destinationHasError;
    QOXError result;
    uint32_t destinationCount;
  } cases[] = {
      {"non-persistent into clean", false, false, kQOXErrNoErr, 2},
      {"persistent into clean", true, false, kQOXErrNoErr, 2},
      {"non-persistent into errored", false, true, kQOXErrBadParams, 0},
      {"persistent into errored", true, true, kQOXErrBadParams, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    QOXOptionListRef source =
        qoxBuildOptionListArgs(c(), k.sourcePersistent, QOXOPassphrase(c(), "pw"),
                               QOXOCommentString(c(), "comment"), Handle(-1));
    QOXOptionListRef dest = qoxNewOptionList(c(), false);
    if (k.destinationHasError) qoxSetOptionListError(dest, kQOXErrBadParams);
    EXPECT_EQ(qoxMergeOptionLists(source, dest), k.result);
    EXPECT_EQ(qoxGetOptionListCount(dest), k.destinationCount);
    if (k.sourcePersistent) {
      EXPECT_EQ(qoxGetOptionListCount(source), 2u);
      qoxFreeOptionList(source);
    }
    qoxFreeOptionList(dest);
    EXPECT_EQ(ctx.livePlain(), 0);
    EXPECT_EQ(ctx.liveSecure(), 0);
  }
}

TEST_F(OptionListTest, ErroredListAddsNothingAndFreesWhatItIsGiven) {
  QOXOptionListRef list = qoxBuildOptionListArgs(c(), true, Handle(-2), Handle(-1));
  ASSERT_EQ(qoxGetOptionListError(list), kQOXErrOutOfMemory);
  EXPECT_EQ(qoxAppendOptionListArgs(list, QOXOPassphrase(c(), "x"), QOXOArmorOutput(c(), true),
                                    Handle(-1)),
            kQOXErrOutOfMemory);
  EXPECT_EQ(qoxGetOptionListCount(list), 0u);
  // A later error never replaces the first.
  qoxSetOptionListError(list, kQOXErrBadParams);
  EXPECT_EQ(qoxGetOptionListError(list), kQOXErrOutOfMemory);
  QOXOption option{};
  option.type = kQOXOptionType_ArmorOutput;
  EXPECT_EQ(qoxAddOptionToQOXOptionList(list, &option), kQOXErrOutOfMemory);
  qoxFreeOptionList(list);
}

TEST_F(OptionListTest, OutOfMemoryIsRecordedAndTheRunStillConsumed) {
  ctx.setBudget(0);
  EXPECT_EQ(qoxNewOptionList(c(), false), Handle(-2));
  ctx.setBudget(-1);
  QOXOptionListRef first = QOXOPassphrase(c(), "a");
  QOXOptionListRef second = QOXOCommentString(c(), "b");
  ctx.setBudget(0);
  EXPECT_EQ(qoxBuildOptionListArgs(c(), false, first, second, Handle(-1)), Handle(-2));
  ctx.setBudget(-1);
  EXPECT_EQ(ctx.livePlain(), 0);
  EXPECT_EQ(ctx.liveSecure(), 0);

  // A full one-slot list cannot grow: the error is recorded and the option
  // that did not fit is freed with its list.
  QOXOptionListRef list = qoxBuildOptionListArgs(c(), false, QOXOArmorOutput(c(), true), Handle(-1));
  QOXOptionListRef more = QOXOPassphrase(c(), "c");
  ctx.setBudget(0);
  EXPECT_EQ(qoxAppendOptionListArgs(list, more, Handle(-1)), kQOXErrOutOfMemory);
  ctx.setBudget(-1);
  EXPECT_EQ(qoxGetOptionListError(list), kQOXErrOutOfMemory);
  EXPECT_EQ(qoxGetOptionListCount(list), 1u);
  EXPECT_EQ(ctx.liveSecure(), 0);
  qoxFreeOptionList(list);
}

TEST_F(OptionListTest, MergingAListIntoItselfIsRefused) {
  QOXOptionListRef list = qoxBuildOptionListArgs(c(), false, QOXOArmorOutput(c(), true), Handle(-1));
  EXPECT_EQ(qoxMergeOptionLists(list, list), kQOXErrBadParams);
  EXPECT_EQ(qoxGetOptionListCount(list), 1u);
  qoxFreeOptionList(list);
}

TEST_F(OptionListTest, GrowsFiveSlotsAtATime) {
  QOXOptionListRef list = qoxNewOptionList(c(), false);
  EXPECT_EQ(list->capacity, 1);
  uint16_t expected[] = {1, 6, 6, 6, 6, 6, 11};
  for (int i = 0; i < 7; ++i) {
    QOXOption option{};
    option.type = kQOXOptionType_ArmorOutput;
    option.flags = 6;
    ASSERT_EQ(qoxAddOptionToQOXOptionList(list, &option), kQOXErrNoErr);
    EXPECT_EQ(list->capacity, expected[i]) << "after add " << i + 1;
    EXPECT_EQ(list->options[i].flags, 0u);  // bits 1 and 2 cleared on adding
  }
  EXPECT_EQ(qoxGetOptionListCount(list), 7u);
  qoxFreeOptionList(list);
}

TEST_F(OptionListTest, SearchingMarksAndReportsDuplicates) {
  QOXOptionListRef list = qoxBuildOptionListArgs(
      c(), false, QOXOCipherAlgorithm(c(), 1), QOXOArmorOutput(c(), true),
      QOXOCipherAlgorithm(c(), 3), Handle(-1));
  QOXOption option{};
  EXPECT_EQ(qoxSearchOptionSingle(list, kQOXOptionType_CipherAlgorithm, &option),
            kQOXErrRedundantOptions);
  EXPECT_EQ(option.value, 1u);
  EXPECT_EQ(qoxSearchOption(list, kQOXOptionType_CipherAlgorithm, 1, &option), kQOXErrNoErr);
  EXPECT_EQ(option.value, 3u);
  EXPECT_NE(list->options[2].flags & kQOXOptionFlag_Recognized, 0u);
  EXPECT_EQ(qoxSearchOption(list, kQOXOptionType_CipherAlgorithm, 2, &option), kQOXErrNoErr);
  EXPECT_EQ(option.type, 0);
  EXPECT_EQ(qoxSearchOptionSingle(list, kQOXOptionType_ClearSign, &option), kQOXErrNoErr);
  EXPECT_EQ(option.type, 0);
  EXPECT_EQ(qoxSearchOptionSingle(nullptr, kQOXOptionType_ClearSign, &option), kQOXErrNoErr);

  int32_t word = 0;
  EXPECT_EQ(qoxFindOptionArgs(list, kQOXOptionType_CipherAlgorithm, false, "%d", &word),
            kQOXErrRedundantOptions);

  uint32_t count = 9;
  EXPECT_EQ(qoxGetIndexedOptionType(list, kQOXOptionType_CipherAlgorithm, 1, false, &option,
                                    &count),
            kQOXErrNoErr);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(qoxGetIndexedOptionType(list, kQOXOptionType_ClearSign, 0, false, &option, &count),
            kQOXErrOptionNotFound);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(qoxGetIndexedOption(list, 3, false, &option), kQOXErrOptionNotFound);
  EXPECT_EQ(qoxGetIndexedOption(list, 1, true, &option), kQOXErrNoErr);
  EXPECT_EQ(option.type, kQOXOptionType_ArmorOutput);
  qoxFreeOptionList(list);
}

TEST_F(OptionListTest, FindOptionArgsFormats) {
  char input[] = "input bytes";
  QOXOptionListRef list = qoxBuildOptionListArgs(
      c(), false, QOXOInputBuffer(c(), input, sizeof(input)), QOXOArmorOutput(c(), true),
      QOXOKeyGenParams(c(), 17, 1024), QOXOCipherAlgorithm(c(), -5), Handle(-1));

  // Not found: "%b%d" clears both; mandatory makes it -11499.
  unsigned char found = 7;
  uint32_t word = 7;
  EXPECT_EQ(qoxFindOptionArgs(list, kQOXOptionType_ClearSign, false, "%b%d", &found, &word),
            kQOXErrNoErr);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(word, 0u);
  EXPECT_EQ(qoxFindOptionArgs(list, kQOXOptionType_ClearSign, true, "%b%d", &found, &word),
            kQOXErrOptionNotFound);
  EXPECT_EQ(qoxFindOptionArgs(list, kQOXOptionType_ClearSign, false, "%q", &word),
            kQOXErrBadParams);

  void* ptr = nullptr;
  size_t length = 0;
  EXPECT_EQ(qoxFindOptionArgs(list, kQOXOptionType_InputBuffer, true, "%p%l", &ptr, &length),
            kQOXErrNoErr);
  EXPECT_EQ(ptr, input);
  EXPECT_EQ(length, sizeof(input));

  EXPECT_EQ(qoxFindOptionArgs(list, kQOXOptionType_ArmorOutput, true, "%b%d", &found, &word),
            kQOXErrNoErr);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(word, 1u);

  int32_t signedWord = 0;
  EXPECT_EQ(qoxFindOptionArgs(list, kQOXOptionType_CipherAlgorithm, true, "%d", &signedWord),
            kQOXErrNoErr);
  EXPECT_EQ(signedWord, -5);
  EXPECT_EQ(qoxFindOptionArgs(list, kQOXOptionType_CipherAlgorithm, true, "%l", &length),
            kQOXErrBadParams);

  // A longer format reads the record the value points at.
  uint32_t algorithm = 0, bits = 0;
  EXPECT_EQ(qoxFindOptionArgs(list, kQOXOptionType_KeyGenParams, true, "%d%d", &algorithm, &bits),
            kQOXErrNoErr);
  EXPECT_EQ(algorithm, 17u);
  EXPECT_EQ(bits, 1024u);
  // ...but never past its end.
  uint32_t third = 0;
  EXPECT_EQ(qoxFindOptionArgs(list, kQOXOptionType_KeyGenParams, true, "%d%d%d", &algorithm,
                              &bits, &third),
            kQOXErrBadParams);
  qoxFreeOptionList(list);
}

TEST_F(OptionListTest, CheckOptionsInSet) {
  QOXOptionListRef list = qoxBuildOptionListArgs(c(), false, QOXOArmorOutput(c(), true),
                                                 QOXOClearSign(c(), true), Handle(-1));
  const QOXOptionType both[] = {kQOXOptionType_ClearSign, kQOXOptionType_ArmorOutput};
  const QOXOptionType one[] = {kQOXOptionType_ArmorOutput};
  EXPECT_EQ(qoxCheckOptionsInSet(list, both, 2), kQOXErrNoErr);
  EXPECT_EQ(qoxCheckOptionsInSet(list, one, 1), kQOXErrBadParams);
  EXPECT_EQ(qoxCheckOptionsInSet(list, nullptr, 0), kQOXErrBadParams);
  qoxFreeOptionList(list);
}

TEST_F(OptionListTest, StandardHandlersRefuseUnknownOperations) {
  uintptr_t value = 0, out = 0;
  size_t size = 0;
  for (QOXOptionHandlerProc handler :
       {qoxBufferOptionHandlerProc, qoxSensitiveOptionHandlerProc, qoxFileRefOptionHandlerProc}) {
    EXPECT_EQ(handler(c(), 3, 1, &value, 0, &out, &size), kQOXErrUnrecognized);
  }
}

TEST_F(OptionListTest, CopyDuplicatesValuesAndSubLists) {
  QOXOptionListRef list = qoxBuildOptionListArgs(
      c(), false, QOXOCommentString(c(), "note"),
      QOXOConventionalEncrypt(c(), QOXOPassphrase(c(), "inner"), Handle(-1)), Handle(-1));
  ASSERT_EQ(qoxGetOptionListError(list), kQOXErrNoErr);
  QOXOptionListRef copy = qoxCopyOptionList(list);
  ASSERT_EQ(qoxGetOptionListError(copy), kQOXErrNoErr);
  EXPECT_EQ(ctx.liveSecure(), 2);  // the sub-list's passphrase was copied too
  QOXOption a{}, b{};
  qoxSearchOptionSingle(copy, kQOXOptionType_CommentString, &a);
  qoxSearchOptionSingle(list, kQOXOptionType_CommentString, &b);
  EXPECT_STREQ(reinterpret_cast<char*>(a.value), "note");
  EXPECT_NE(a.value, b.value);
  qoxFreeOptionList(list);
  qoxFreeOptionList(copy);
}

TEST_F(OptionListTest, FreeVarArgReleasesNonPersistentAndReportsInvalid) {
  QOXOptionListRef keep = qoxBuildOptionListArgs(c(), true, QOXOArmorOutput(c(), true), Handle(-1));
  uint32_t garbage[8] = {0};
  EXPECT_EQ(qoxFreeVarArgOptionList(QOXOPassphrase(c(), "a"), Handle(-4), keep, Handle(-1)),
            kQOXErrNoErr);
  EXPECT_EQ(qoxGetOptionListCount(keep), 1u);
  EXPECT_EQ(qoxFreeVarArgOptionList(reinterpret_cast<QOXOptionListRef>(garbage),
                                    QOXOPassphrase(c(), "b"), Handle(-1)),
            kQOXErrBadParams);
  EXPECT_EQ(qoxFreeVarArgOptionList(Handle(-1)), kQOXErrNoErr);
  qoxFreeOptionList(keep);
}

TEST_F(OptionListTest, AddJobOptionsHandsTheListToTheJobAndKeepsEarlierOnes) {
  QOXJob job{c(), nullptr};
  EXPECT_EQ(qoxAddJobOptionsArgs(&job, QOXOPassphrase(c(), "one"), Handle(-1)), kQOXErrNoErr);
  EXPECT_EQ(qoxAddJobOptionsArgs(&job, QOXOArmorOutput(c(), true), Handle(-1)), kQOXErrNoErr);
  EXPECT_EQ(qoxGetOptionListCount(job.newOptions), 2u);
  // A run with an error stores nothing and frees what it built.
  EXPECT_EQ(qoxAddJobOptionsArgs(&job, QOXOCommentString(c(), "x"), Handle(-3), Handle(-1)),
            kQOXErrBadParams);
  EXPECT_EQ(qoxGetOptionListCount(job.newOptions), 2u);
  qoxFreeOptionList(job.newOptions);
}

}  // namespace
