// Option constructors: their argument checks, the option type each one
// makes, what each stores, and the references that key-set and key-database
// options hold on a real key database's sets and the database itself.
#include "foundation/sdk/option_constructors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "foundation/file_spec.h"
#include "foundation/sdk_errors.h"
#include "tests/foundation/toolkit_doubles.h"

namespace {

using toolkit_doubles::CountingContext;
using toolkit_doubles::RealKeyDB;

QOXOptionListRef Handle(intptr_t v) { return reinterpret_cast<QOXOptionListRef>(v); }
const QOXOptionListRef kBad = Handle(-3);

class OptionConstructorsTest : public ::testing::Test {
 protected:
  OptionConstructorsTest() { ctx.Rebase(); }
  void TearDown() override {
    EXPECT_EQ(ctx.livePlain(), 0) << "plain blocks leaked";
    EXPECT_EQ(ctx.liveSecure(), 0) << "secure blocks leaked";
  }
  QOXContext* c() { return ctx.get(); }
  CountingContext ctx;
  RealKeyDB keys{ctx.get()};
};

// The single option of a one-option list (the list is freed by the caller).
QOXOption Only(QOXOptionListRef list) {
  EXPECT_TRUE(qoxOptionListIsReal(list));
  EXPECT_EQ(qoxGetOptionListCount(list), 1u);
  QOXOption option{};
  qoxGetIndexedOption(list, 0, false, &option);
  return option;
}

TEST_F(OptionConstructorsTest, RefusedArgumentsGiveBadParamsHandle) {
  size_t outSize = 99;
  void* outBuffer = reinterpret_cast<void*>(1);
  uint32_t word = 0;
  uint8_t byte = 0;
  char buf[4];
  int32_t algs[2] = {1, 2};
  std::string name256(256, 'n');
  struct Case {
    const char* what;
    std::function<QOXOptionListRef()> make;
  } cases[] = {
      {"null context", [&] { return QOXOArmorOutput(nullptr, true); }},
      {"null-option with null context", [&] { return QOXONullOption(nullptr); }},
      {"input buffer null", [&] { return QOXOInputBuffer(c(), nullptr, 0); }},
      {"input file invalid spec", [&] { return QOXOInputFile(c(), nullptr); }},
      {"output file invalid spec", [&] { return QOXOOutputFile(c(), nullptr); }},
      {"output buffer null size ptr", [&] { return QOXOOutputBuffer(c(), buf, 4, nullptr); }},
      {"output buffer null buffer", [&] { return QOXOOutputBuffer(c(), nullptr, 4, &outSize); }},
      {"allocated output null size ptr",
       [&] { return QOXOAllocatedOutputBuffer(c(), &outBuffer, 64, nullptr); }},
      {"local encoding 3", [&] { return QOXOLocalEncoding(c(), 3); }},
      {"local encoding 7", [&] { return QOXOLocalEncoding(c(), 7); }},
      {"hash algorithm 0", [&] { return QOXOHashAlgorithm(c(), 0); }},
      {"hash algorithm 5", [&] { return QOXOHashAlgorithm(c(), 5); }},
      {"line end 0", [&] { return QOXOOutputLineEndType(c(), 0); }},
      {"line end 4", [&] { return QOXOOutputLineEndType(c(), 4); }},
      {"key gen params 511 bits", [&] { return QOXOKeyGenParams(c(), 17, 511); }},
      {"key gen name length 0", [&] { return QOXOKeyGenName(c(), "x", 0); }},
      {"key gen name length 256", [&] { return QOXOKeyGenName(c(), name256.data(), 256); }},
      {"key gen name null", [&] { return QOXOKeyGenName(c(), nullptr, 4); }},
      {"sig trust second 0", [&] { return QOXOSigTrust(c(), 1, 0); }},
      {"sig trust second 8", [&] { return QOXOSigTrust(c(), 1, 8); }},
      {"MIME set, null word ptr", [&] { return QOXOQOXMIMEEncoding(c(), true, nullptr, &byte); }},
      {"MIME set, null byte ptr", [&] { return QOXOQOXMIMEEncoding(c(), true, &word, nullptr); }},
      {"event handler null", [&] { return QOXOEventHandler(c(), nullptr, nullptr); }},
      {"preferred algorithms count 0", [&] { return QOXOPreferredAlgorithms(c(), algs, 0); }},
      {"preferred algorithms null", [&] { return QOXOPreferredAlgorithms(c(), nullptr, 2); }},
      {"passphrase null", [&] { return QOXOPassphrase(c(), nullptr); }},
      {"passphrase buffer null", [&] { return QOXOPassphraseBuffer(c(), nullptr, 3); }},
      {"passkey buffer null", [&] { return QOXOPasskeyBuffer(c(), nullptr, 3); }},
      {"session key null", [&] { return QOXOSessionKey(c(), nullptr, 3); }},
      {"comment null", [&] { return QOXOCommentString(c(), nullptr); }},
      {"preferred key server null", [&] { return QOXOPreferredKeyServer(c(), nullptr); }},
      {"encrypt to invalid key set", [&] { return QOXOEncryptToKeySet(c(), nullptr); }},
      {"encrypt to invalid object", [&] { return QOXOEncryptToKeyDBObj(c(), nullptr); }},
      {"import to invalid key db", [&] { return QOXOImportKeysTo(c(), nullptr); }},
      {"key db ref invalid", [&] { return QOXOKeyDBRef(c(), nullptr); }},
      {"ARR invalid key set", [&] { return QOXOAdditionalRecipientRequestKeySet(c(), nullptr, 0); }},
      {"master key invalid", [&] { return QOXOKeyGenMasterKey(c(), nullptr); }},
      {"revocation invalid key set", [&] { return QOXORevocationKeySet(c(), nullptr); }},
      {"export invalid key set", [&] { return QOXOExportKeySet(c(), nullptr); }},
      {"export invalid object", [&] { return QOXOExportKeyDBObj(c(), nullptr); }},
      {"sign with invalid key",
       [&] { return QOXOSignWithKey(c(), nullptr, QOXOPassphrase(c(), "run"), Handle(-1)); }},
      {"conventional encrypt, null context",
       [&] { return QOXOConventionalEncrypt(nullptr, QOXOPassphrase(c(), "run"), Handle(-1)); }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(k.make(), kBad);
  }
  // The output size is cleared even when the buffer is refused.
  EXPECT_EQ(outSize, 0u);
  EXPECT_EQ(outBuffer, nullptr);
}

TEST_F(OptionConstructorsTest, AcceptedArgumentsGiveTheirTypeAndValue) {
  size_t outSize = 5;
  void* outBuffer = reinterpret_cast<void*>(1);
  char buf[8];
  uint32_t word = 7;
  uint8_t byte = 7;
  int32_t algs[3] = {9, 8, 7};
  std::string name255(255, 'n');
  struct Case {
    const char* what;
    std::function<QOXOptionListRef()> make;
    QOXOptionType type;
    size_t size;  // 0: not checked
  } cases[] = {
      {"input buffer, length 0", [&] { return QOXOInputBuffer(c(), buf, 0); },
       kQOXOptionType_InputBuffer, 0},
      {"output buffer", [&] { return QOXOOutputBuffer(c(), buf, 8, &outSize); },
       kQOXOptionType_OutputBuffer, 3 * sizeof(uintptr_t)},
      {"allocated output", [&] { return QOXOAllocatedOutputBuffer(c(), &outBuffer, 64, &outSize); },
       kQOXOptionType_OutputAllocatedBuffer, 3 * sizeof(uintptr_t)},
      {"append output", [&] { return QOXOAppendOutput(c(), true); }, kQOXOptionType_AppendOutput, 4},
      {"discard output", [&] { return QOXODiscardOutput(c(), true); }, kQOXOptionType_DiscardOutput, 4},
      {"local encoding 1", [&] { return QOXOLocalEncoding(c(), 1); }, kQOXOptionType_LocalEncoding, 4},
      {"raw input", [&] { return QOXORawQOXInput(c(), false); }, kQOXOptionType_RawQOXInput, 4},
      {"passphrase", [&] { return QOXOPassphrase(c(), "pass"); }, kQOXOptionType_Passphrase, 4},
      {"empty passphrase outside FIPS", [&] { return QOXOPassphrase(c(), ""); },
       kQOXOptionType_Passphrase, 0},
      {"passphrase buffer", [&] { return QOXOPassphraseBuffer(c(), "abc", 3); },
       kQOXOptionType_Passphrase, 3},
      {"passkey", [&] { return QOXOPasskeyBuffer(c(), "abcd", 4); }, kQOXOptionType_Passkey, 4},
      {"session key", [&] { return QOXOSessionKey(c(), "k", 1); }, kQOXOptionType_SessionKey, 1},
      {"cipher algorithm unchecked", [&] { return QOXOCipherAlgorithm(c(), 99); },
       kQOXOptionType_CipherAlgorithm, 4},
      {"hash 1", [&] { return QOXOHashAlgorithm(c(), 1); }, kQOXOptionType_HashAlgorithm, 4},
      {"hash 2", [&] { return QOXOHashAlgorithm(c(), 2); }, kQOXOptionType_HashAlgorithm, 4},
      {"hash 3", [&] { return QOXOHashAlgorithm(c(), 3); }, kQOXOptionType_HashAlgorithm, 4},
      {"fail below", [&] { return QOXOFailBelowValidity(c(), 2); }, kQOXOptionType_FailBelowValidity, 4},
      {"warn below", [&] { return QOXOWarnBelowValidity(c(), 2); }, kQOXOptionType_WarnBelowValidity, 4},
      {"X.509 encoding", [&] { return QOXOX509Encoding(c(), true); }, kQOXOptionType_X509Encoding, 4},
      {"MIME set", [&] { return QOXOQOXMIMEEncoding(c(), true, &word, &byte); },
       kQOXOptionType_QOXMIMEEncoding, 3 * sizeof(uintptr_t)},
      {"MIME clear, null pointers", [&] { return QOXOQOXMIMEEncoding(c(), false, nullptr, nullptr); },
       kQOXOptionType_QOXMIMEEncoding, 3 * sizeof(uintptr_t)},
      {"line end 3", [&] { return QOXOOutputLineEndType(c(), 3); }, kQOXOptionType_OutputLineEndType, 4},
      {"event handler",
       [&] {
         return QOXOEventHandler(c(), [](QOXContext*, QOXEvent*, void*) { return kQOXErrNoErr; },
                                 nullptr);
       },
       kQOXOptionType_EventHandler, 2 * sizeof(uintptr_t)},
      {"null events", [&] { return QOXOSendNullEvents(c(), 5); }, kQOXOptionType_SendNullEvents, 4},
      {"event if key found", [&] { return QOXOSendEventIfKeyFound(c(), true); },
       kQOXOptionType_SendEventIfKeyFound, 4},
      {"ask entropy", [&] { return QOXOAskUserForEntropy(c(), true); }, kQOXOptionType_AskUserForEntropy, 4},
      {"armor", [&] { return QOXOArmorOutput(c(), true); }, kQOXOptionType_ArmorOutput, 4},
      {"ascii", [&] { return QOXODataIsASCII(c(), true); }, kQOXOptionType_DataIsASCII, 4},
      {"clear sign", [&] { return QOXOClearSign(c(), true); }, kQOXOptionType_ClearSign, 4},
      {"eyes only", [&] { return QOXOForYourEyesOnly(c(), true); }, kQOXOptionType_ForYourEyesOnly, 4},
      {"recursive", [&] { return QOXORecursivelyDecode(c(), true); }, kQOXOptionType_RecursivelyDecode, 4},
      {"pass unrecognized", [&] { return QOXOPassThroughIfUnrecognized(c(), true); },
       kQOXOptionType_PassThroughIfUnrecognized, 4},
      {"existing entropy", [&] { return QOXOKeyGenUseExistingEntropy(c(), true); },
       kQOXOptionType_KeyGenUseExistingEntropy, 4},
      {"key gen params 512", [&] { return QOXOKeyGenParams(c(), 17, 512); },
       kQOXOptionType_KeyGenParams, 2 * sizeof(uintptr_t)},
      {"key gen name 255", [&] { return QOXOKeyGenName(c(), name255.data(), 255); },
       kQOXOptionType_KeyGenName, 255},
      {"expiration", [&] { return QOXOExpiration(c(), 100); }, kQOXOptionType_Expiration, 4},
      {"fast", [&] { return QOXOKeyGenFast(c(), true); }, kQOXOptionType_KeyGenFast, 4},
      {"preferred algorithms", [&] { return QOXOPreferredAlgorithms(c(), algs, 3); },
       kQOXOptionType_PreferredAlgorithms, 12},
      {"comment keeps NUL", [&] { return QOXOCommentString(c(), "abc"); },
       kQOXOptionType_CommentString, 4},
      {"export private", [&] { return QOXOExportPrivateKeys(c(), true); }, kQOXOptionType_ExportPrivateKeys, 4},
      {"export private subkeys", [&] { return QOXOExportPrivateSubkeys(c(), true); },
       kQOXOptionType_ExportPrivateSubkeys, 4},
      {"exportable", [&] { return QOXOExportable(c(), true); }, kQOXOptionType_Exportable, 4},
      {"sig trust 1", [&] { return QOXOSigTrust(c(), 0, 1); }, kQOXOptionType_SigTrust, 2 * sizeof(uintptr_t)},
      {"sig trust 7", [&] { return QOXOSigTrust(c(), 0, 7); }, kQOXOptionType_SigTrust, 2 * sizeof(uintptr_t)},
      {"compression", [&] { return QOXOCompression(c(), true); }, kQOXOptionType_Compression, 4},
      {"version", [&] { return QOXOVersionString(c(), "v1"); }, kQOXOptionType_VersionString, 3},
      {"omit MIME version", [&] { return QOXOOmitMIMEVersion(c(), true); }, kQOXOptionType_OmitMIMEVersion, 4},
      {"regexp", [&] { return QOXOSigRegularExpression(c(), "a*"); },
       kQOXOptionType_SigRegularExpression, 3},
      {"pass clear-signed", [&] { return QOXOPassThroughClearSigned(c(), true); },
       kQOXOptionType_PassThroughClearSigned, 4},
      {"pass keys", [&] { return QOXOPassThroughKeys(c(), true); }, kQOXOptionType_PassThroughKeys, 4},
      {"creation date", [&] { return QOXOCreationDate(c(), 5); }, kQOXOptionType_CreationDate, 4},
      {"file name", [&] { return QOXOFileNameString(c(), "f.txt"); }, kQOXOptionType_FileNameString, 6},
      {"export format", [&] { return QOXOExportFormat(c(), 2); }, kQOXOptionType_ExportFormat, 4},
      {"output format", [&] { return QOXOOutputFormat(c(), 2); }, kQOXOptionType_OutputFormat, 4},
      {"input format", [&] { return QOXOInputFormat(c(), 2); }, kQOXOptionType_InputFormat, 4},
      {"attribute value", [&] { return QOXOAttributeValue(c(), buf, 3); },
       kQOXOptionType_AttributeValue, 48},
      {"cache passphrase", [&] { return QOXOCachePassphrase(c(), 60, true); },
       kQOXOptionType_CachePassphrase, 2 * sizeof(uintptr_t)},
      {"preferred key server drops NUL", [&] { return QOXOPreferredKeyServer(c(), "ks"); },
       kQOXOptionType_PreferredKeyServer, 2},
      {"key server preferences", [&] { return QOXOKeyServerPreferences(c(), 1); },
       kQOXOptionType_KeyServerPreferences, 4},
      {"key flags", [&] { return QOXOKeyFlags(c(), 3); }, kQOXOptionType_KeyFlags, 4},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    QOXOptionListRef list = k.make();
    QOXOption option = Only(list);
    EXPECT_EQ(option.type, k.type);
    if (k.size != 0) {
      EXPECT_EQ(option.valueSize, k.size);
    }
    EXPECT_EQ(qoxGetOptionListError(list), kQOXErrNoErr);
    qoxFreeOptionList(list);
  }
  EXPECT_EQ(outSize, 0u);  // cleared by the output-buffer constructors
  EXPECT_EQ(outBuffer, nullptr);
  EXPECT_EQ(word, 0u);  // cleared by the MIME constructor
  EXPECT_EQ(byte, 0);
  EXPECT_EQ(QOXOLastOption(nullptr), Handle(-1));
  EXPECT_EQ(QOXONullOption(c()), Handle(-4));
}

TEST_F(OptionConstructorsTest, StoredValues) {
  QOXOptionListRef pass = QOXOPassphrase(c(), "pass");
  QOXOption o = Only(pass);
  EXPECT_EQ(std::memcmp(reinterpret_cast<void*>(o.value), "pass", 4), 0);
  EXPECT_EQ(QOXGetMemoryMgrDataInfo(reinterpret_cast<void*>(o.value)) & kQOXMemoryMgrBlockInfo_Secure,
            kQOXMemoryMgrBlockInfo_Secure);
  qoxFreeOptionList(pass);

  QOXOptionListRef flag = QOXOArmorOutput(c(), true);
  EXPECT_EQ(Only(flag).value, 1u);
  qoxFreeOptionList(flag);

  QOXOptionListRef comment = QOXOCommentString(c(), "abc");
  EXPECT_STREQ(reinterpret_cast<const char*>(Only(comment).value), "abc");
  qoxFreeOptionList(comment);

  QOXOptionListRef trust = QOXOSigTrust(c(), 2, 5);
  void *a = nullptr, *b = nullptr;
  QOXOption t = Only(trust);
  qoxOptionPtrPtr(&t, &a, &b);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a), 2u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b), 5u);
  qoxFreeOptionList(trust);
}

TEST_F(OptionConstructorsTest, FileSpecOptionsHoldTheirOwnCopy) {
  PFLFileSpec* spec = nullptr;
  ASSERT_EQ(PFLNewFileSpecFromFullPath(QOXPeekContextMemoryMgr(c()), "/tmp/in.txt", &spec),
            kQOXErrNoErr);
  long before = ctx.livePlain();
  QOXOptionListRef list = QOXOInputFile(c(), spec);
  QOXOption option = Only(list);
  EXPECT_NE(option.value, reinterpret_cast<uintptr_t>(spec));
  PFLFreeFileSpec(spec);  // the option does not depend on the caller's spec
  QOXOptionListRef copy = qoxCopyOptionList(list);
  EXPECT_EQ(qoxGetOptionListError(copy), kQOXErrNoErr);
  qoxFreeOptionList(list);
  qoxFreeOptionList(copy);
  EXPECT_LT(ctx.livePlain(), before);
}

// References: constructors take one, freeing gives it back, copying takes
// another; objects held without a reference are untouched.
TEST_F(OptionConstructorsTest, KeySetAndKeyDBReferences) {
  QOXKeySet* set = keys.set();
  QOXKeyDB* db = keys.db();
  QOXKeyDBObj* key = keys.key();
  const std::function<int()> setRefs = [&] { return keys.setRefs(); };
  const std::function<int()> dbRefs = [&] { return keys.dbRefs(); };
  struct Case {
    const char* what;
    std::function<QOXOptionListRef()> make;
    const std::function<int()>* counted;  // null: no reference held
    QOXOptionType type;
  } cases[] = {
      {"encrypt to key set", [&] { return QOXOEncryptToKeySet(c(), set); }, &setRefs,
       kQOXOptionType_EncryptToKeySet},
      {"export key set", [&] { return QOXOExportKeySet(c(), set); }, &setRefs,
       kQOXOptionType_ExportKeySet},
      {"import keys to", [&] { return QOXOImportKeysTo(c(), db); }, &dbRefs,
       kQOXOptionType_ImportKeysTo},
      {"key db ref", [&] { return QOXOKeyDBRef(c(), db); }, &dbRefs, kQOXOptionType_KeyDBRef},
      {"ARR key set", [&] { return QOXOAdditionalRecipientRequestKeySet(c(), set, 3); }, &setRefs,
       kQOXOptionType_AdditionalRecipientRequestKeySet},
      {"revocation key set", [&] { return QOXORevocationKeySet(c(), set); }, &setRefs,
       kQOXOptionType_RevocationKeySet},
      {"encrypt to object", [&] { return QOXOEncryptToKeyDBObj(c(), key); }, nullptr,
       kQOXOptionType_EncryptToKeyDBObj},
      {"master key", [&] { return QOXOKeyGenMasterKey(c(), key); }, nullptr,
       kQOXOptionType_KeyGenMasterKey},
      {"export object", [&] { return QOXOExportKeyDBObj(c(), key); }, nullptr,
       kQOXOptionType_ExportKeyDBObj},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    // Objects hold no count: the set's stays as it is then.
    auto refs = [&] { return k.counted != nullptr ? (*k.counted)() : setRefs(); };
    int base = refs();
    QOXOptionListRef list = k.make();
    EXPECT_EQ(Only(list).type, k.type);
    int held = k.counted != nullptr ? 1 : 0;
    EXPECT_EQ(refs(), base + held);
    QOXOptionListRef copy = qoxCopyOptionList(list);
    EXPECT_EQ(refs(), base + 2 * held);
    qoxFreeOptionList(list);
    EXPECT_EQ(refs(), base + held);
    qoxFreeOptionList(copy);
    EXPECT_EQ(refs(), base);
  }
}

TEST_F(OptionConstructorsTest, RunConstructorsBuildSubListsAndReleaseRunsOnRefusal) {
  QOXKeyDBObj* key = keys.key();
  QOXOptionListRef sign =
      QOXOSignWithKey(c(), key, QOXOPassphrase(c(), "pw"), QOXOArmorOutput(c(), true),
                      Handle(-1));
  QOXOption o = Only(sign);
  EXPECT_EQ(o.type, kQOXOptionType_SignWithKey);
  EXPECT_EQ(o.value, reinterpret_cast<uintptr_t>(key));
  EXPECT_EQ(qoxGetOptionListCount(o.subOptions), 2u);
  EXPECT_EQ(o.subOptions->flags & kQOXOptionListFlag_Persistent, 0u);
  qoxFreeOptionList(sign);

  // An error in the run becomes the new list's error.
  QOXOptionListRef detached = QOXODetachedSig(c(), Handle(-2), Handle(-1));
  EXPECT_EQ(Only(detached).type, kQOXOptionType_DetachedSignature);
  EXPECT_EQ(qoxGetOptionListError(detached), kQOXErrOutOfMemory);
  qoxFreeOptionList(detached);

  // A refused constructor still releases its run (the teardown checks).
  EXPECT_EQ(QOXOSignWithKey(c(), nullptr, QOXOPassphrase(c(), "pw"), Handle(-1)), kBad);
}

// Every allocation a constructor makes may fail: the result is then -2 and
// nothing it made or took (blocks, references) is left behind.
TEST_F(OptionConstructorsTest, AllocationFailuresLeaveNothingBehind) {
  QOXKeySet* set = keys.set();
  QOXKeyDB* db = keys.db();
  QOXKeyDBObj* key = keys.key();
  size_t outSize = 0;
  char buf[4];
  struct Case {
    const char* what;
    std::function<QOXOptionListRef()> make;
  } cases[] = {
      {"passphrase", [&] { return QOXOPassphrase(c(), "pw"); }},
      {"comment", [&] { return QOXOCommentString(c(), "comment"); }},
      {"flag", [&] { return QOXOArmorOutput(c(), true); }},
      {"output buffer record", [&] { return QOXOOutputBuffer(c(), buf, 4, &outSize); }},
      {"encrypt to key set", [&] { return QOXOEncryptToKeySet(c(), set); }},
      {"import keys to", [&] { return QOXOImportKeysTo(c(), db); }},
      {"revocation key set record", [&] { return QOXORevocationKeySet(c(), set); }},
      {"sign with key and run",
       [&] { return QOXOSignWithKey(c(), key, QOXOArmorOutput(c(), true), Handle(-1)); }},
  };
  for (const Case& k : cases) {
    for (long budget = 0; budget <= 6; ++budget) {
      SCOPED_TRACE(std::string(k.what) + ", budget " + std::to_string(budget));
      ctx.setBudget(budget);
      QOXOptionListRef list = k.make();
      ctx.setBudget(-1);
      if (qoxOptionListIsReal(list)) qoxFreeOptionList(list);
      else EXPECT_EQ(list, Handle(-2));
      EXPECT_EQ(ctx.livePlain(), 0);
      EXPECT_EQ(ctx.liveSecure(), 0);
      EXPECT_EQ(keys.setRefs(), 1);
      EXPECT_EQ(keys.dbRefs(), 1);
    }
  }
}

TEST_F(OptionConstructorsTest, HandlersRefuseUnknownOperations) {
  QOXKeySet* set = keys.set();
  QOXOptionListRef list = qoxBuildOptionListArgs(c(), false, QOXOSigTrust(c(), 1, 2),
                                                 QOXOEncryptToKeySet(c(), set), Handle(-1));
  for (uint32_t i = 0; i < 2; ++i) {
    QOXOption o{};
    ASSERT_EQ(qoxGetIndexedOption(list, i, false, &o), kQOXErrNoErr);
    uintptr_t out = 0;
    size_t size = 0;
    EXPECT_EQ(o.handlerProc(c(), 3, o.type, &o.value, o.valueSize, &out, &size),
              kQOXErrUnrecognized);
  }
  qoxFreeOptionList(list);
  EXPECT_EQ(keys.setRefs(), 1);
}

}  // namespace
