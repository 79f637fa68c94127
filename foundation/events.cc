// Event builders. Every builder funnels through SendEvent so the job record,
// the zeroed event and the hand-back of added options are written once.
#include "foundation/events.h"

#include <cstring>

#include "foundation/context.h"
#include "foundation/memory_mgr.h"

namespace {

template <typename Fill>
QOXError SendEvent(QOXContext* context, QOXOptionListRef* newOptionList,
                   QOXEventHandlerProcPtr handler, void* userValue, int32_t type, Fill fill) {
  if (newOptionList != nullptr) *newOptionList = nullptr;
  if (handler == nullptr) return kQOXErrNoErr;
  QOXJob job{context, nullptr};
  QOXEvent event;
  std::memset(&event, 0, sizeof(event));
  event.job = &job;
  event.type = type;
  fill(event);
  QOXError result = handler(context, &event, userValue);
  if (newOptionList != nullptr) {
    *newOptionList = job.newOptions;
  } else {
    // A builder that collects nothing must not leak what a handler added.
    qoxFreeOptionList(job.newOptions);
  }
  return result;
}

}  // namespace

QOXError qoxEventNull(QOXContext* context, QOXOptionListRef* newOptionList,
                      QOXEventHandlerProcPtr handler, void* userValue, uint32_t soFar,
                      uint32_t total) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_NullEvent,
                   [&](QOXEvent& e) {
                     e.data.nullData.bytesWritten = soFar;
                     e.data.nullData.bytesTotal = total;
                   });
}

QOXError qoxEventInitial(QOXContext* context, QOXOptionListRef* newOptionList,
                         QOXEventHandlerProcPtr handler, void* userValue) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_InitialEvent,
                   [](QOXEvent&) {});
}

QOXError qoxEventFinal(QOXContext* context, QOXOptionListRef* newOptionList,
                       QOXEventHandlerProcPtr handler, void* userValue) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_FinalEvent,
                   [](QOXEvent&) {});
}

QOXError qoxEventError(QOXContext* context, QOXOptionListRef* newOptionList,
                       QOXEventHandlerProcPtr handler, void* userValue, QOXError error,
                       int32_t second) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_ErrorEvent,
                   [&](QOXEvent& e) {
                     e.data.errorData.error = error;
                     e.data.errorData.reserved = second;
                   });
}

QOXError qoxEventWarning(QOXContext* context, QOXOptionListRef* newOptionList,
                         QOXEventHandlerProcPtr handler, void* userValue, QOXError warning,
                         uintptr_t warningArg) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_WarningEvent,
                   [&](QOXEvent& e) {
                     e.data.warningData.warning = warning;
                     e.data.warningData.warningArg = warningArg;
                   });
}

QOXError qoxEventEntropy(QOXContext* context, QOXOptionListRef* newOptionList,
                         QOXEventHandlerProcPtr handler, void* userValue, uint32_t bitsNeeded) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_EntropyEvent,
                   [&](QOXEvent& e) { e.data.entropyData.entropyBitsNeeded = bitsNeeded; });
}

QOXError qoxEventPassphrase(QOXContext* context, QOXOptionListRef* newOptionList,
                            QOXEventHandlerProcPtr handler, void* userValue,
                            uint32_t fConventional, QOXKeySet* keySet) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_PassphraseEvent,
                   [&](QOXEvent& e) {
                     e.data.passphraseData.fConventional = fConventional;
                     e.data.passphraseData.keySet = keySet;
                   });
}

QOXError qoxEventAnalyze(QOXContext* context, QOXOptionListRef* newOptionList,
                         QOXEventHandlerProcPtr handler, void* userValue, int32_t sectionType) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_AnalyzeEvent,
                   [&](QOXEvent& e) { e.data.analyzeData.sectionType = sectionType; });
}

QOXError qoxEventRecipients(QOXContext* context, QOXOptionListRef* newOptionList,
                            QOXEventHandlerProcPtr handler, void* userValue,
                            QOXKeySet* recipientSet, const QOXKeyID* keyIDArray,
                            uint32_t passphraseCount, uint32_t keyCount) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_RecipientsEvent,
                   [&](QOXEvent& e) {
                     e.data.recipientsData.recipientSet = recipientSet;
                     e.data.recipientsData.conventionalPassphraseCount = passphraseCount;
                     e.data.recipientsData.keyCount = keyCount;
                     e.data.recipientsData.keyIDArray = keyIDArray;
                   });
}

QOXError qoxEventKeyFound(QOXContext* context, QOXOptionListRef* newOptionList,
                          QOXEventHandlerProcPtr handler, void* userValue, QOXKeySet* keySet) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_KeyFoundEvent,
                   [&](QOXEvent& e) { e.data.keyFoundData.keySet = keySet; });
}

void qoxSanitizeSuggestedFileName(char* name) {
  if (name == nullptr) return;
  for (char* p = name; *p != '\0'; ++p) {
    signed char c = static_cast<signed char>(*p);
    if (c <= 31 || std::strchr(":/?*\"<>\\|", *p) != nullptr) *p = '_';
  }
}

QOXError qoxEventOutput(QOXContext* context, QOXOptionListRef* newOptionList,
                        QOXEventHandlerProcPtr handler, void* userValue, int32_t messageType,
                        const char* suggestedName, bool forYourEyesOnly) {
  if (newOptionList != nullptr) *newOptionList = nullptr;
  if (handler == nullptr) return kQOXErrNoErr;
  char* copy = nullptr;
  if (suggestedName != nullptr) {
    size_t size = std::strlen(suggestedName) + 1;
    copy = static_cast<char*>(QOXNewData(QOXPeekContextMemoryMgr(context), size, 0));
    if (copy != nullptr) {
      std::memcpy(copy, suggestedName, size);
      qoxSanitizeSuggestedFileName(copy);
    }
  }
  QOXError result = SendEvent(context, newOptionList, handler, userValue, kQOXEvent_OutputEvent,
                              [&](QOXEvent& e) {
                                e.data.outputData.messageType = messageType;
                                e.data.outputData.suggestedName = copy;
                                e.data.outputData.forYourEyesOnly = forYourEyesOnly ? 1 : 0;
                              });
  if (copy != nullptr) QOXFreeData(copy);
  return result;
}

QOXError qoxEventSignature(QOXContext* context, QOXOptionListRef* newOptionList,
                           QOXEventHandlerProcPtr handler, void* userValue,
                           const QOXKeyID* signingKeyID, QOXKeyDBObj* signingKey, bool checked,
                           bool verified, bool keyDisabled, bool keyRevoked, bool keyExpired,
                           bool keyMeetsValidityThreshold, int32_t keyValidity,
                           uint32_t creationTime) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_SignatureEvent,
                   [&](QOXEvent& e) {
                     QOXEventSignatureData& d = e.data.signatureData;
                     if (signingKeyID != nullptr) d.signingKeyID = *signingKeyID;
                     d.signingKey = signingKey;
                     d.checked = checked;
                     d.verified = verified;
                     d.keyRevoked = keyRevoked;
                     d.keyDisabled = keyDisabled;
                     d.keyExpired = keyExpired;
                     d.keyMeetsValidityThreshold = keyMeetsValidityThreshold;
                     d.keyValidity = keyValidity;
                     d.creationTime = creationTime;
                   });
}

QOXError qoxEventBeginLex(QOXContext* context, QOXOptionListRef* newOptionList,
                          QOXEventHandlerProcPtr handler, void* userValue, uint32_t sectionNumber,
                          uint32_t sectionOffset) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_BeginLexEvent,
                   [&](QOXEvent& e) {
                     e.data.beginLexData.sectionNumber = sectionNumber;
                     e.data.beginLexData.sectionOffset = sectionOffset;
                   });
}

QOXError qoxEventEndLex(QOXContext* context, QOXOptionListRef* newOptionList,
                        QOXEventHandlerProcPtr handler, void* userValue, uint32_t sectionNumber) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_EndLexEvent,
                   [&](QOXEvent& e) { e.data.endLexData.sectionNumber = sectionNumber; });
}

QOXError qoxEventDetachedSignature(QOXContext* context, QOXOptionListRef* newOptionList,
                                   QOXEventHandlerProcPtr handler, void* userValue) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_DetachedSignatureEvent,
                   [](QOXEvent&) {});
}

QOXError qoxEventKeyGen(QOXContext* context, QOXOptionListRef* newOptionList,
                        QOXEventHandlerProcPtr handler, void* userValue, uint32_t state) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_KeyGenEvent,
                   [&](QOXEvent& e) { e.data.keyGenData.state = state; });
}

QOXError qoxEventKeyServer(QOXContext* context, QOXEventHandlerProcPtr handler, void* userValue,
                           void* keyServer, uint32_t state) {
  return SendEvent(context, nullptr, handler, userValue, kQOXEvent_KeyServerEvent,
                   [&](QOXEvent& e) {
                     e.data.keyServerData.keyServer = keyServer;
                     e.data.keyServerData.state = state;
                   });
}

QOXError qoxEventKeyServerSign(QOXContext* context, QOXOptionListRef* newOptionList,
                               QOXEventHandlerProcPtr handler, void* userValue, void* keyServer) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_KeyServerSignEvent,
                   [&](QOXEvent& e) { e.data.keyServerSignData.keyServer = keyServer; });
}

QOXError qoxEventKeyServerTLS(QOXContext* context, QOXEventHandlerProcPtr handler,
                              void* userValue, void* keyServer, uint32_t state,
                              void* tlsSession) {
  return SendEvent(context, nullptr, handler, userValue, kQOXEvent_KeyServerTLSEvent,
                   [&](QOXEvent& e) {
                     e.data.keyServerTLSData.keyServer = keyServer;
                     e.data.keyServerTLSData.state = state;
                     e.data.keyServerTLSData.tlsSession = tlsSession;
                   });
}

QOXError qoxEventDecryption(QOXContext* context, QOXOptionListRef* newOptionList,
                            QOXEventHandlerProcPtr handler, void* userValue,
                            int32_t cipherAlgorithm, const uint8_t* sessionKey,
                            size_t sessionKeyLength) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_DecryptionEvent,
                   [&](QOXEvent& e) {
                     e.data.decryptionData.cipherAlgorithm = cipherAlgorithm;
                     e.data.decryptionData.sessionKey = sessionKey;
                     e.data.decryptionData.sessionKeyLength = sessionKeyLength;
                   });
}

QOXError qoxEventEncryption(QOXContext* context, QOXOptionListRef* newOptionList,
                            QOXEventHandlerProcPtr handler, void* userValue,
                            const uint8_t* sessionKey, size_t sessionKeyLength) {
  return SendEvent(context, newOptionList, handler, userValue, kQOXEvent_EncryptionEvent,
                   [&](QOXEvent& e) {
                     e.data.encryptionData.cipherAlgorithm =
                         sessionKey != nullptr && sessionKeyLength > 0 ? sessionKey[0] : 0;
                     e.data.encryptionData.sessionKey = sessionKey;
                     e.data.encryptionData.sessionKeyLength = sessionKeyLength;
                   });
}
