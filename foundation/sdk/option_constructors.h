// Option constructors (QOXO...): each returns a one-option list of a fixed
// option type (foundation/option_types.h), or a sentinel handle:
//   -3 for an invalid context, an invalid object, an argument out of range,
//      or when the entry gate refuses;
//   -2 when memory runs out.
// Checks run in this order: context and arguments, the entry gate, then the
// allocation. A list that takes a sentinel records its error, and the call
// that receives the list returns that error without doing any work.
//
// What each option holds and who frees it (the option list frees through the
// handler named, foundation/option_list.h):
//   - plain words and flags (a flag keeps its low byte), the caller's input
//     buffer (2) and attribute array (69): nothing to free, nothing copied;
//   - file specs (1, 4): a copy of the caller's spec, file-reference handler;
//   - secure copies (18, 19, 21): sensitive handler, wiped when freed;
//   - buffer copies (46, 52, 53, 59, 61, 65, 75): buffer handler;
//   - records of pointer-sized words (5, 6, 27, 31, 45, 48, 51, 57, 74):
//     allocated-record handler; for 48 and 51 the record's first word holds
//     a key-set reference that goes with the record;
//   - object references (13, 14, 16, 33, 43, 49, 70, 71): special handler;
//     14 and 70 hold one key-set reference and 33 and 43 one key-database
//     reference, taken by the constructor and given back when the option is
//     freed (a copy of the option takes its own); 13, 16, 49 and 71 hold
//     their object without a reference.
// The three constructors with a run (16, 17, 20) build the run into the
// option's non-persistent sub-list; the run is consumed also when they
// refuse.
//
// Thread safety: as option lists; a constructor touches only what it makes.
#ifndef OSTRAK_FOUNDATION_SDK_OPTION_CONSTRUCTORS_H_
#define OSTRAK_FOUNDATION_SDK_OPTION_CONSTRUCTORS_H_

#include <cstddef>
#include <cstdint>

#include "foundation/events.h"
#include "foundation/keydb_services.h"
#include "foundation/option_list.h"
#include "foundation/option_types.h"

struct QOXContext;
struct PFLFileSpec;

// One attribute value of option 69 (certificate issuing and requests): the
// attribute code, the value's size in bytes, and the value (a pointer to
// the bytes; for code 1001 a boolean in its first byte).
struct QOXAttributeValue {
  uint32_t attribute;
  uint32_t size;
  uintptr_t value;
};
// Size of one attribute record counted in the value size of option 69.
inline constexpr size_t kQOXAttributeValueRecordSize = 16;
static_assert(sizeof(QOXAttributeValue) == kQOXAttributeValueRecordSize);
// Attribute codes the key database adds: a text attribute and a DER
// extension.
inline constexpr uint32_t kQOXAttribute_Text = 11;
inline constexpr uint32_t kQOXAttribute_DERExtension = 31;

QOXOptionListRef QOXOLastOption(QOXContext* context);  // always -1
QOXOptionListRef QOXONullOption(QOXContext* context);  // -4; -3 for an invalid context

QOXOptionListRef QOXOInputFile(QOXContext* context, const PFLFileSpec* fileSpec);
QOXOptionListRef QOXOInputBuffer(QOXContext* context, const void* buffer, size_t length);
QOXOptionListRef QOXOOutputFile(QOXContext* context, const PFLFileSpec* fileSpec);
// Record {buffer, buffer size, output-size pointer}; *outputSize is set to 0
// first.
QOXOptionListRef QOXOOutputBuffer(QOXContext* context, void* buffer, size_t bufferSize,
                                  size_t* outputSize);
// Record {buffer pointer, maximum size, output-size pointer}; both outputs
// are set to 0 first.
QOXOptionListRef QOXOAllocatedOutputBuffer(QOXContext* context, void** buffer, size_t maxSize,
                                           size_t* outputSize);
QOXOptionListRef QOXOAppendOutput(QOXContext* context, bool flag);
QOXOptionListRef QOXODiscardOutput(QOXContext* context, bool flag);
QOXOptionListRef QOXOLocalEncoding(QOXContext* context, uint32_t encoding);
QOXOptionListRef QOXORawQOXInput(QOXContext* context, bool flag);
QOXOptionListRef QOXOEncryptToKeyDBObj(QOXContext* context, QOXKeyDBObj* object);
QOXOptionListRef QOXOEncryptToKeySet(QOXContext* context, QOXKeySet* keySet);
QOXOptionListRef QOXOSignWithKey(QOXContext* context, QOXKeyDBObj* key,
                                 QOXOptionListRef firstOption, ...);
QOXOptionListRef QOXOConventionalEncrypt(QOXContext* context, QOXOptionListRef firstOption, ...);
QOXOptionListRef QOXOPassphrase(QOXContext* context, const char* passphrase);
QOXOptionListRef QOXOPassphraseBuffer(QOXContext* context, const void* buffer, size_t length);
QOXOptionListRef QOXOPasskeyBuffer(QOXContext* context, const void* buffer, size_t length);
QOXOptionListRef QOXODetachedSig(QOXContext* context, QOXOptionListRef firstOption, ...);
QOXOptionListRef QOXOSessionKey(QOXContext* context, const void* buffer, size_t length);
QOXOptionListRef QOXOCipherAlgorithm(QOXContext* context, int32_t algorithm);
QOXOptionListRef QOXOHashAlgorithm(QOXContext* context, int32_t algorithm);
QOXOptionListRef QOXOFailBelowValidity(QOXContext* context, int32_t validity);
QOXOptionListRef QOXOWarnBelowValidity(QOXContext* context, int32_t validity);
QOXOptionListRef QOXOX509Encoding(QOXContext* context, bool flag);
// Record {flag, word pointer, byte pointer}.
QOXOptionListRef QOXOQOXMIMEEncoding(QOXContext* context, bool mimeEncoding, uint32_t* outWord,
                                     uint8_t* outByte);
QOXOptionListRef QOXOOutputLineEndType(QOXContext* context, int32_t lineEnd);
// Record {procedure, user value}.
QOXOptionListRef QOXOEventHandler(QOXContext* context, QOXEventHandlerProcPtr handler,
                                  void* userValue);
QOXOptionListRef QOXOSendNullEvents(QOXContext* context, uint32_t interval);
QOXOptionListRef QOXOImportKeysTo(QOXContext* context, QOXKeyDB* keyDB);
QOXOptionListRef QOXOSendEventIfKeyFound(QOXContext* context, bool flag);
QOXOptionListRef QOXOAskUserForEntropy(QOXContext* context, bool flag);
QOXOptionListRef QOXOArmorOutput(QOXContext* context, bool flag);
QOXOptionListRef QOXODataIsASCII(QOXContext* context, bool flag);
QOXOptionListRef QOXOClearSign(QOXContext* context, bool flag);
QOXOptionListRef QOXOForYourEyesOnly(QOXContext* context, bool flag);
QOXOptionListRef QOXORecursivelyDecode(QOXContext* context, bool flag);
QOXOptionListRef QOXOPassThroughIfUnrecognized(QOXContext* context, bool flag);
QOXOptionListRef QOXOKeyDBRef(QOXContext* context, QOXKeyDB* keyDB);
QOXOptionListRef QOXOKeyGenUseExistingEntropy(QOXContext* context, bool flag);
// Record {algorithm, bits}.
QOXOptionListRef QOXOKeyGenParams(QOXContext* context, int32_t algorithm, uint32_t bits);
QOXOptionListRef QOXOKeyGenName(QOXContext* context, const void* name, size_t length);
QOXOptionListRef QOXOExpiration(QOXContext* context, uint32_t expiration);
// Record {key set, class byte}.
QOXOptionListRef QOXOAdditionalRecipientRequestKeySet(QOXContext* context, QOXKeySet* keySet,
                                                      uint8_t arrClass);
QOXOptionListRef QOXOKeyGenMasterKey(QOXContext* context, QOXKeyDBObj* masterKey);
QOXOptionListRef QOXOKeyGenFast(QOXContext* context, bool flag);
// Record {key set, 128}.
QOXOptionListRef QOXORevocationKeySet(QOXContext* context, QOXKeySet* keySet);
QOXOptionListRef QOXOPreferredAlgorithms(QOXContext* context, const int32_t* algorithms,
                                         uint32_t count);
QOXOptionListRef QOXOCommentString(QOXContext* context, const char* comment);
QOXOptionListRef QOXOExportPrivateKeys(QOXContext* context, bool flag);
QOXOptionListRef QOXOExportPrivateSubkeys(QOXContext* context, bool flag);
QOXOptionListRef QOXOExportable(QOXContext* context, bool flag);
// Record {first, second}.
QOXOptionListRef QOXOSigTrust(QOXContext* context, uint32_t trustLevel, uint32_t trustValue);
QOXOptionListRef QOXOCompression(QOXContext* context, bool flag);
QOXOptionListRef QOXOVersionString(QOXContext* context, const char* version);
QOXOptionListRef QOXOOmitMIMEVersion(QOXContext* context, bool flag);
QOXOptionListRef QOXOSigRegularExpression(QOXContext* context, const char* regularExpression);
QOXOptionListRef QOXOPassThroughClearSigned(QOXContext* context, bool flag);
QOXOptionListRef QOXOPassThroughKeys(QOXContext* context, bool flag);
QOXOptionListRef QOXOCreationDate(QOXContext* context, uint32_t creationDate);
QOXOptionListRef QOXOFileNameString(QOXContext* context, const char* fileName);
QOXOptionListRef QOXOExportFormat(QOXContext* context, int32_t format);
QOXOptionListRef QOXOOutputFormat(QOXContext* context, int32_t format);
QOXOptionListRef QOXOInputFormat(QOXContext* context, int32_t format);
// The value size is count x 16 bytes.
QOXOptionListRef QOXOAttributeValue(QOXContext* context, const void* attributes, uint32_t count);
QOXOptionListRef QOXOExportKeySet(QOXContext* context, QOXKeySet* keySet);
QOXOptionListRef QOXOExportKeyDBObj(QOXContext* context, QOXKeyDBObj* object);
// Record {duration, flag}; read by the passphrase cache's callers.
QOXOptionListRef QOXOCachePassphrase(QOXContext* context, uint32_t duration, bool global);
QOXOptionListRef QOXOPreferredKeyServer(QOXContext* context, const char* server);
QOXOptionListRef QOXOKeyServerPreferences(QOXContext* context, uint32_t preferences);
QOXOptionListRef QOXOKeyFlags(QOXContext* context, uint32_t flags);

#endif  // OSTRAK_FOUNDATION_SDK_OPTION_CONSTRUCTORS_H_
