// Event builders: what reaches the handler, what the handler's result and
// added options do, and the sanitising of suggested file names.
#include "foundation/events.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"
#include "tests/foundation/toolkit_doubles.h"

namespace {

using toolkit_doubles::CountingContext;

QOXOptionListRef Handle(intptr_t v) { return reinterpret_cast<QOXOptionListRef>(v); }

// What the handler saw, and what it should do.
struct Seen {
  int calls = 0;
  QOXEvent event{};
  QOXContext* context = nullptr;
  std::string name;
  bool nameWasNull = false;
  QOXError reply = kQOXErrNoErr;
  bool addOptions = false;
};

QOXError Record(QOXContext* context, QOXEvent* event, void* user) {
  auto* seen = static_cast<Seen*>(user);
  seen->calls++;
  seen->event = *event;
  seen->context = context;
  if (event->type == kQOXEvent_OutputEvent) {
    seen->nameWasNull = event->data.outputData.suggestedName == nullptr;
    if (!seen->nameWasNull) seen->name = event->data.outputData.suggestedName;
  }
  if (seen->addOptions)
    QOXAddJobOptions(event->job, QOXOPassphrase(context, "from handler"), QOXOLastOption(context));
  return seen->reply;
}

class EventsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(ctx.livePlain(), 0);
    EXPECT_EQ(ctx.liveSecure(), 0);
  }
  QOXContext* c() { return ctx.get(); }
  CountingContext ctx;
};

TEST_F(EventsTest, NoHandlerReturnsZeroAndNoOptions) {
  QOXOptionListRef added = Handle(-1);
  EXPECT_EQ(qoxEventFinal(c(), &added, nullptr, nullptr), kQOXErrNoErr);
  EXPECT_EQ(added, nullptr);
  EXPECT_EQ(qoxEventOutput(c(), &added, nullptr, nullptr, 1, "name", true), kQOXErrNoErr);
  EXPECT_EQ(added, nullptr);
  EXPECT_EQ(qoxEventKeyServer(c(), nullptr, nullptr, nullptr, 1), kQOXErrNoErr);
}

TEST_F(EventsTest, HandlerResultAndAddedOptionsComeBack) {
  Seen seen;
  seen.reply = kQOXErrUserAbort;
  seen.addOptions = true;
  QOXOptionListRef added = nullptr;
  EXPECT_EQ(qoxEventPassphrase(c(), &added, Record, &seen, 1, nullptr), kQOXErrUserAbort);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.context, c());
  EXPECT_EQ(seen.event.type, kQOXEvent_PassphraseEvent);
  EXPECT_EQ(seen.event.data.passphraseData.fConventional, 1u);
  EXPECT_EQ(seen.event.reserved0, 0);
  EXPECT_EQ(seen.event.reserved1, 0);
  ASSERT_NE(added, nullptr);
  QOXOption option{};
  EXPECT_EQ(qoxSearchOptionSingle(added, kQOXOptionType_Passphrase, &option), kQOXErrNoErr);
  EXPECT_EQ(option.type, kQOXOptionType_Passphrase);
  qoxFreeOptionList(added);

  // The key-server builders collect nothing, and what a handler adds there
  // is given back rather than lost.
  EXPECT_EQ(qoxEventKeyServerTLS(c(), Record, &seen, nullptr, 2, nullptr), kQOXErrUserAbort);
  EXPECT_EQ(seen.event.type, kQOXEvent_KeyServerTLSEvent);
  EXPECT_EQ(seen.event.data.keyServerTLSData.state, 2u);
}

TEST_F(EventsTest, DataIsPlacedInTheFieldsOfItsKind) {
  Seen seen;
  QOXOptionListRef added = nullptr;
  QOXKeyID id{};
  id.valid = 1;
  id.length = 8;
  id.bytes[0] = 0xAB;
  qoxEventSignature(c(), &added, Record, &seen, &id, nullptr, /*checked=*/true,
                    /*verified=*/true, /*disabled=*/true, /*revoked=*/false, /*expired=*/true,
                    /*meets=*/false, 3, 1234);
  const QOXEventSignatureData& s = seen.event.data.signatureData;
  EXPECT_EQ(s.signingKeyID.bytes[0], 0xAB);
  EXPECT_EQ(s.checked, 1);
  EXPECT_EQ(s.verified, 1);
  EXPECT_EQ(s.keyRevoked, 0);
  EXPECT_EQ(s.keyDisabled, 1);
  EXPECT_EQ(s.keyExpired, 1);
  EXPECT_EQ(s.keyMeetsValidityThreshold, 0);
  EXPECT_EQ(s.keyValidity, 3);
  EXPECT_EQ(s.creationTime, 1234u);

  QOXKeyID ids[2] = {};
  qoxEventRecipients(c(), &added, Record, &seen, nullptr, ids, /*passphrases=*/4, /*keys=*/2);
  EXPECT_EQ(seen.event.data.recipientsData.conventionalPassphraseCount, 4u);
  EXPECT_EQ(seen.event.data.recipientsData.keyCount, 2u);
  EXPECT_EQ(seen.event.data.recipientsData.keyIDArray, ids);

  const uint8_t sessionKey[] = {9, 1, 2, 3};
  qoxEventEncryption(c(), &added, Record, &seen, sessionKey, sizeof(sessionKey));
  EXPECT_EQ(seen.event.data.encryptionData.cipherAlgorithm, 9);
  EXPECT_EQ(seen.event.data.encryptionData.sessionKeyLength, 4u);

  qoxEventNull(c(), &added, Record, &seen, 0, 1);
  EXPECT_EQ(seen.event.type, kQOXEvent_NullEvent);
  EXPECT_EQ(seen.event.data.nullData.bytesTotal, 1u);
}

TEST_F(EventsTest, SuggestedNamesAreSanitisedCopies) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"a>b:c|d", "a_b_c_d"},
      {"caf\xE9.txt", "caf_.txt"},
      {"../etc/passwd", ".._etc_passwd"},
      {"a\\b?c*d\"e<f", "a_b_c_d_e_f"},
      {"tab\there\x7f", "tab_here\x7f"},
      {"Report-2.v1_final.TXT", "Report-2.v1_final.TXT"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.in);
    Seen seen;
    QOXOptionListRef added = nullptr;
    EXPECT_EQ(qoxEventOutput(c(), &added, Record, &seen, 7, k.in, true), kQOXErrNoErr);
    EXPECT_FALSE(seen.nameWasNull);
    EXPECT_EQ(seen.name, k.out);
    EXPECT_EQ(seen.event.data.outputData.messageType, 7);
    EXPECT_EQ(seen.event.data.outputData.forYourEyesOnly, 1);
  }
  Seen seen;
  QOXOptionListRef added = nullptr;
  qoxEventOutput(c(), &added, Record, &seen, 1, nullptr, false);
  EXPECT_TRUE(seen.nameWasNull);
}

}  // namespace
