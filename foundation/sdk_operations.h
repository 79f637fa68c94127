// The operations behind the encode, decode and key-management entry points
// (foundation/sdk_entry_points.h): the message pipeline runs encode and
// decode jobs, the key database the key-management, import and export work.
//
// Each receives the one option list that its entry point built and checks
// the option types itself. Every operation leaves the list to the caller,
// except qoxImportKeySetInternal, which takes it over and frees it on every
// path.
//
// Until the pipeline and the key database land, each body is a seam in
// foundation/sdk_operation_seams.cc answering -11975 ("feature not
// available"); the count and boolean results answer -11975 as the count and
// false. Whoever lands an operation deletes its seam block in the same
// commit.
#ifndef OSTRAK_FOUNDATION_SDK_OPERATIONS_H_
#define OSTRAK_FOUNDATION_SDK_OPERATIONS_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"
#include "foundation/option_list.h"

struct QOXContext;

// --- Message pipeline ---
QOXError qoxEncodeInternal(QOXContext* context, QOXOptionListRef optionList);
QOXError qoxDecodeInternal(QOXContext* context, QOXOptionListRef optionList);

// --- Key database: key management ---
QOXError qoxGenerateKeyInternal(QOXKeyDBObj** outKey, QOXOptionListRef optionList);
QOXError qoxGenerateSubKeyInternal(QOXKeyDBObj** outSubKey, QOXOptionListRef optionList);
QOXError qoxCertifyPrimaryUserIDInternal(QOXKeyDBObj* userID, QOXOptionListRef optionList);
QOXError qoxCertifyUserIDInternal(QOXKeyDBObj* userID, QOXKeyDBObj* certifyingKey,
                                  QOXOptionListRef optionList);
QOXError qoxRevokeSigInternal(QOXKeyDBObj* sig, QOXOptionListRef optionList);
QOXError qoxRevokeKeyInternal(QOXKeyDBObj* key, QOXOptionListRef optionList);
QOXError qoxRevokeSubKeyInternal(QOXKeyDBObj* subKey, QOXOptionListRef optionList);
QOXError qoxAddUserIDInternal(QOXKeyDBObj* key, const char* name, QOXOptionListRef optionList);
QOXError qoxAddAttributeInternal(QOXKeyDBObj* key, int32_t attributeType, const uint8_t* data,
                                 size_t length, QOXOptionListRef optionList);
uint32_t qoxKeyEntropyNeededInternal(QOXContext* context, QOXOptionListRef optionList);
QOXError qoxCreateX509CertificateInternal(QOXKeyDBObj* issuer, QOXKeyDBObj* subjectKey,
                                          QOXKeyDBObj** outSig, QOXOptionListRef optionList);
QOXError qoxChangePassphraseInternal(QOXKeyDBObj* key, QOXOptionListRef optionList);
QOXError qoxChangeSubKeyPassphraseInternal(QOXKeyDBObj* subKey, QOXOptionListRef optionList);
bool qoxPassphraseIsValidInternal(QOXKeyDBObj* key, QOXOptionListRef optionList);
QOXError qoxSetKeyAxiomaticInternal(QOXKeyDBObj* key, bool checkPassphrase,
                                    QOXOptionListRef optionList);
// The passkey buffer is a secure block the caller frees with QOXFreeData.
QOXError qoxGetKeyPasskeyBufferInternal(QOXKeyDBObj* key, void** outBuffer,
                                        QOXOptionListRef optionList);
QOXError qoxGetSubKeyPasskeyBufferInternal(QOXKeyDBObj* subKey, void** outBuffer,
                                           QOXOptionListRef optionList);
QOXError qoxAddKeyOptionsInternal(QOXKeyDBObj* key, QOXOptionListRef optionList);
// Never available: always -11975.
QOXError qoxRemoveKeyOptionsInternal(QOXKeyDBObj* key, QOXOptionListRef optionList);
QOXError qoxUpdateKeyOptionsInternal(QOXKeyDBObj* key, QOXOptionListRef optionList);

// --- Key database: import and export ---
QOXError qoxExportInternal(QOXContext* context, QOXOptionListRef optionList);
// Takes the list over and frees it on every path.
QOXError qoxImportKeySetInternal(QOXContext* context, QOXKeyDB** outKeyDB,
                                 QOXOptionListRef optionList);

#endif  // OSTRAK_FOUNDATION_SDK_OPERATIONS_H_
