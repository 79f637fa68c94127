// Events: how encode, decode, key-generation and key-server jobs report
// progress to, and ask questions of, a caller's event handler.
//
// A job code calls one builder per event. The builder makes a job record and
// a zeroed QOXEvent on its own stack, calls the handler with them and returns
// the handler's result to the job. During the call the handler may add
// options to the job with QOXAddJobOptions (foundation/sdk/sdk_entry_points.h);
// the builder hands that list back through its out argument and the job owns
// it from then on. Event records, job records and the sanitised copy of a
// suggested file name live only for the duration of the handler call.
//
// Thread safety: a handler runs on the thread that performs the job; nothing
// here locks.
#ifndef OSTRAK_FOUNDATION_EVENTS_H_
#define OSTRAK_FOUNDATION_EVENTS_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"
#include "foundation/option_list.h"

struct QOXContext;

// The job record that events carry: the context and the options that the
// handler added during the call (none at first).
struct QOXJob {
  QOXContext* context;
  QOXOptionListRef newOptions;
};

enum : int32_t {
  kQOXEvent_NullEvent = 0,
  kQOXEvent_InitialEvent = 1,
  kQOXEvent_FinalEvent = 2,
  kQOXEvent_ErrorEvent = 3,
  kQOXEvent_WarningEvent = 4,
  kQOXEvent_EntropyEvent = 5,
  kQOXEvent_PassphraseEvent = 6,
  kQOXEvent_AnalyzeEvent = 8,
  kQOXEvent_RecipientsEvent = 9,
  kQOXEvent_KeyFoundEvent = 10,
  kQOXEvent_OutputEvent = 11,
  kQOXEvent_SignatureEvent = 12,
  kQOXEvent_BeginLexEvent = 13,
  kQOXEvent_EndLexEvent = 14,
  kQOXEvent_DetachedSignatureEvent = 16,
  kQOXEvent_KeyGenEvent = 17,
  kQOXEvent_KeyServerEvent = 18,
  kQOXEvent_KeyServerSignEvent = 19,
  kQOXEvent_KeyServerTLSEvent = 20,
  kQOXEvent_DecryptionEvent = 23,
  kQOXEvent_EncryptionEvent = 24,
};

struct QOXEventNullData {
  uint32_t bytesWritten;  // amount done
  uint32_t bytesTotal;    // amount in total
};
struct QOXEventErrorData {
  QOXError error;
  int32_t reserved;  // 0 from every caller
};
struct QOXEventWarningData {
  QOXError warning;
  uintptr_t warningArg;
};
struct QOXEventEntropyData {
  uint32_t entropyBitsNeeded;
};
struct QOXEventPassphraseData {
  uint32_t fConventional;  // non-zero for passphrase-encrypted session keys
  QOXKeySet* keySet;       // keys whose passphrase is wanted
};
struct QOXEventAnalyzeData {
  int32_t sectionType;
};
struct QOXEventRecipientsData {
  QOXKeySet* recipientSet;
  uint32_t conventionalPassphraseCount;
  uint32_t keyCount;
  const QOXKeyID* keyIDArray;
};
struct QOXEventKeyFoundData {
  QOXKeySet* keySet;
};
struct QOXEventOutputData {
  int32_t messageType;
  char* suggestedName;  // sanitised copy, or null
  uint8_t forYourEyesOnly;
};
struct QOXEventSignatureData {
  QOXKeyID signingKeyID;  // copied
  QOXKeyDBObj* signingKey;
  uint8_t checked;
  uint8_t verified;
  uint8_t keyRevoked;
  uint8_t keyDisabled;
  uint8_t keyExpired;
  uint8_t keyMeetsValidityThreshold;
  int32_t keyValidity;
  uint32_t creationTime;  // QOXTime
};
struct QOXEventBeginLexData {
  uint32_t sectionNumber;
  uint32_t sectionOffset;
};
struct QOXEventEndLexData {
  uint32_t sectionNumber;
};
struct QOXEventKeyGenData {
  uint32_t state;  // progress character, e.g. '.'
};
struct QOXEventKeyServerData {
  void* keyServer;
  uint32_t state;
};
struct QOXEventKeyServerSignData {
  void* keyServer;
};
struct QOXEventKeyServerTLSData {
  void* keyServer;
  uint32_t state;
  void* tlsSession;
};
struct QOXEventCryptData {  // decryption and encryption events
  int32_t cipherAlgorithm;
  const uint8_t* sessionKey;
  size_t sessionKeyLength;
};

// The event record: fields that hold pointers are pointer-sized, so the data
// union is as large as its largest kind needs. Zeroed before it is filled;
// bytes a kind does not name stay 0.
struct QOXEvent {
  int32_t reserved0;  // always 0
  int32_t reserved1;  // always 0
  QOXJob* job;
  int32_t type;
  union {
    QOXEventNullData nullData;
    QOXEventErrorData errorData;
    QOXEventWarningData warningData;
    QOXEventEntropyData entropyData;
    QOXEventPassphraseData passphraseData;
    QOXEventAnalyzeData analyzeData;
    QOXEventRecipientsData recipientsData;
    QOXEventKeyFoundData keyFoundData;
    QOXEventOutputData outputData;
    QOXEventSignatureData signatureData;
    QOXEventBeginLexData beginLexData;
    QOXEventEndLexData endLexData;
    QOXEventKeyGenData keyGenData;
    QOXEventKeyServerData keyServerData;
    QOXEventKeyServerSignData keyServerSignData;
    QOXEventKeyServerTLSData keyServerTLSData;
    QOXEventCryptData decryptionData;
    QOXEventCryptData encryptionData;
  } data;
};

using QOXEventHandlerProcPtr = QOXError (*)(QOXContext* context, QOXEvent* event,
                                            void* userValue);

// Each builder: sets *newOptionList to none; without a handler returns 0;
// otherwise fills the event, calls the handler, hands back the options the
// handler added and returns the handler's result.
QOXError qoxEventNull(QOXContext* context, QOXOptionListRef* newOptionList,
                      QOXEventHandlerProcPtr handler, void* userValue, uint32_t soFar,
                      uint32_t total);
QOXError qoxEventInitial(QOXContext* context, QOXOptionListRef* newOptionList,
                         QOXEventHandlerProcPtr handler, void* userValue);
QOXError qoxEventFinal(QOXContext* context, QOXOptionListRef* newOptionList,
                       QOXEventHandlerProcPtr handler, void* userValue);
QOXError qoxEventError(QOXContext* context, QOXOptionListRef* newOptionList,
                       QOXEventHandlerProcPtr handler, void* userValue, QOXError error,
                       int32_t second);
QOXError qoxEventWarning(QOXContext* context, QOXOptionListRef* newOptionList,
                         QOXEventHandlerProcPtr handler, void* userValue, QOXError warning,
                         uintptr_t warningArg);
QOXError qoxEventEntropy(QOXContext* context, QOXOptionListRef* newOptionList,
                         QOXEventHandlerProcPtr handler, void* userValue, uint32_t bitsNeeded);
QOXError qoxEventPassphrase(QOXContext* context, QOXOptionListRef* newOptionList,
                            QOXEventHandlerProcPtr handler, void* userValue,
                            uint32_t fConventional, QOXKeySet* keySet);
QOXError qoxEventAnalyze(QOXContext* context, QOXOptionListRef* newOptionList,
                         QOXEventHandlerProcPtr handler, void* userValue, int32_t sectionType);
// Note the argument order: key set, key-ID array, passphrase count, key count.
QOXError qoxEventRecipients(QOXContext* context, QOXOptionListRef* newOptionList,
                            QOXEventHandlerProcPtr handler, void* userValue,
                            QOXKeySet* recipientSet, const QOXKeyID* keyIDArray,
                            uint32_t passphraseCount, uint32_t keyCount);
QOXError qoxEventKeyFound(QOXContext* context, QOXOptionListRef* newOptionList,
                          QOXEventHandlerProcPtr handler, void* userValue, QOXKeySet* keySet);
// The suggested name reaches the handler as a sanitised copy (see
// qoxSanitizeSuggestedFileName); without memory for it, as null.
QOXError qoxEventOutput(QOXContext* context, QOXOptionListRef* newOptionList,
                        QOXEventHandlerProcPtr handler, void* userValue, int32_t messageType,
                        const char* suggestedName, bool forYourEyesOnly);
// Note the flag order: checked, verified, disabled, revoked, expired,
// meets-threshold.
QOXError qoxEventSignature(QOXContext* context, QOXOptionListRef* newOptionList,
                           QOXEventHandlerProcPtr handler, void* userValue,
                           const QOXKeyID* signingKeyID, QOXKeyDBObj* signingKey, bool checked,
                           bool verified, bool keyDisabled, bool keyRevoked, bool keyExpired,
                           bool keyMeetsValidityThreshold, int32_t keyValidity,
                           uint32_t creationTime);
QOXError qoxEventBeginLex(QOXContext* context, QOXOptionListRef* newOptionList,
                          QOXEventHandlerProcPtr handler, void* userValue, uint32_t sectionNumber,
                          uint32_t sectionOffset);
QOXError qoxEventEndLex(QOXContext* context, QOXOptionListRef* newOptionList,
                        QOXEventHandlerProcPtr handler, void* userValue, uint32_t sectionNumber);
QOXError qoxEventDetachedSignature(QOXContext* context, QOXOptionListRef* newOptionList,
                                   QOXEventHandlerProcPtr handler, void* userValue);
QOXError qoxEventKeyGen(QOXContext* context, QOXOptionListRef* newOptionList,
                        QOXEventHandlerProcPtr handler, void* userValue, uint32_t state);
// The two key-server builders collect no added options; whatever their
// handler adds is freed when the handler returns.
QOXError qoxEventKeyServer(QOXContext* context, QOXEventHandlerProcPtr handler, void* userValue,
                           void* keyServer, uint32_t state);
QOXError qoxEventKeyServerSign(QOXContext* context, QOXOptionListRef* newOptionList,
                               QOXEventHandlerProcPtr handler, void* userValue, void* keyServer);
QOXError qoxEventKeyServerTLS(QOXContext* context, QOXEventHandlerProcPtr handler,
                              void* userValue, void* keyServer, uint32_t state, void* tlsSession);
QOXError qoxEventDecryption(QOXContext* context, QOXOptionListRef* newOptionList,
                            QOXEventHandlerProcPtr handler, void* userValue,
                            int32_t cipherAlgorithm, const uint8_t* sessionKey,
                            size_t sessionKeyLength);
// The cipher algorithm is the first byte of the session-key buffer.
QOXError qoxEventEncryption(QOXContext* context, QOXOptionListRef* newOptionList,
                            QOXEventHandlerProcPtr handler, void* userValue,
                            const uint8_t* sessionKey, size_t sessionKeyLength);

// Rewrites a suggested file name in place so it cannot name another
// directory or hold control bytes: every byte that is at most 31 read as a
// signed char (control characters and every byte from 128 up) and each of
// : / ? * " < > \ | becomes '_'.
void qoxSanitizeSuggestedFileName(char* name);

#endif  // OSTRAK_FOUNDATION_EVENTS_H_
