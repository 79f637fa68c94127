// The toolkit's public calls that take a run of option lists: the option-list
// front functions, QOXEncode and QOXDecode, import, export and the
// key-management calls.
//
// Every run ends with QOXOLastOption and is consumed by the call: its
// non-persistent lists are merged into one new list (and so freed), its
// persistent lists are copied and stay the caller's. A call that refuses, at
// the entry gate or at its own checks, still releases the run before it
// returns (gate refusals return the gate's error, failed checks -12000). A
// run that holds a sentinel builds a list that records the sentinel's error
// (-12000 or kQOXErrOutOfMemory); the call returns that error and hands nothing on.
// Otherwise the list goes to the operation, which the pipeline or the key
// database registers (foundation/pipeline_services.h,
// foundation/keydb_services.h), and is freed when it returns, except for
// QOXImport, whose operation takes the list over.
//
// Thread safety: as option lists; each call works on what it is given.
#ifndef OSTRAK_FOUNDATION_SDK_SDK_ENTRY_POINTS_H_
#define OSTRAK_FOUNDATION_SDK_SDK_ENTRY_POINTS_H_

#include <cstddef>
#include <cstdint>

#include "foundation/events.h"
#include "foundation/keydb_services.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/option_list.h"

struct QOXContext;

// --- Option-list front functions ---
// An empty persistent list.
QOXError QOXNewOptionList(QOXContext* context, QOXOptionListRef* outList);
QOXError QOXCopyOptionList(QOXOptionListRef list, QOXOptionListRef* outCopy);
QOXError QOXFreeOptionList(QOXOptionListRef list);
// A persistent list built from the run.
QOXError QOXBuildOptionList(QOXContext* context, QOXOptionListRef* outList,
                            QOXOptionListRef firstOption, ...);
QOXError QOXAppendOptionList(QOXOptionListRef list, QOXOptionListRef firstOption, ...);
// Called by an event handler during the call: the options go back to the job.
QOXError QOXAddJobOptions(QOXJob* job, QOXOptionListRef firstOption, ...);

// --- Encode and decode ---
QOXError QOXEncode(QOXContext* context, QOXOptionListRef firstOption, ...);
QOXError QOXDecode(QOXContext* context, QOXOptionListRef firstOption, ...);

// --- Key management ---
QOXError QOXGenerateKey(QOXContext* context, QOXKeyDBObj** outKey, QOXOptionListRef firstOption,
                        ...);
QOXError QOXGenerateSubKey(QOXContext* context, QOXKeyDBObj** outSubKey,
                           QOXOptionListRef firstOption, ...);
QOXError QOXSetPrimaryUserID(QOXKeyDBObj* userID, QOXOptionListRef firstOption, ...);
QOXError QOXCertifyUserID(QOXKeyDBObj* userID, QOXKeyDBObj* certifyingKey,
                          QOXOptionListRef firstOption, ...);
QOXError QOXRevokeSig(QOXKeyDBObj* sig, QOXOptionListRef firstOption, ...);
QOXError QOXRevoke(QOXKeyDBObj* keyOrSubKey, QOXOptionListRef firstOption, ...);
// The name must be shorter than 256 bytes.
QOXError QOXAddUserID(QOXKeyDBObj* key, const char* name, QOXOptionListRef firstOption, ...);
QOXError QOXAddAttributeUserID(QOXKeyDBObj* key, int32_t attributeType, const uint8_t* data,
                               size_t length, QOXOptionListRef firstOption, ...);
// The count itself; all ones for an invalid context or a list error, the
// gate's error value when the gate refuses.
uint32_t QOXGetKeyEntropyNeeded(QOXContext* context, QOXOptionListRef firstOption, ...);
QOXError QOXCreateSelfSignedX509Certificate(QOXKeyDBObj* key, QOXKeyDBObj** outSig,
                                            QOXOptionListRef firstOption, ...);
QOXError QOXCreateX509Certificate(QOXKeyDBObj* issuerSig, QOXKeyDBObj* subjectKey,
                                  QOXKeyDBObj** outSig, QOXOptionListRef firstOption, ...);
QOXError QOXExport(QOXContext* context, QOXOptionListRef firstOption, ...);
QOXError QOXImport(QOXContext* context, QOXKeyDB** outKeyDB, QOXOptionListRef firstOption, ...);
QOXError QOXChangePassphrase(QOXKeyDBObj* keyOrSubKey, QOXOptionListRef firstOption, ...);
// False when the gate refuses, the key is invalid or the list has an error.
bool QOXPassphraseIsValid(QOXKeyDBObj* key, QOXOptionListRef firstOption, ...);
// With set, makes the key axiomatic; without, clears the mark. A passphrase
// given (Passphrase or PasskeyBuffer) must unlock the key's secret part.
QOXError QOXSetKeyAxiomatic(QOXKeyDBObj* key, bool set, QOXOptionListRef firstOption,
                            ...);
QOXError QOXGetPasskeyBuffer(QOXKeyDBObj* keyOrSubKey, void** outBuffer,
                             QOXOptionListRef firstOption, ...);
QOXError QOXAddKeyOptions(QOXKeyDBObj* key, QOXOptionListRef firstOption, ...);
// Always kQOXErrFeatureNotAvailable for a valid key.
QOXError QOXRemoveKeyOptions(QOXKeyDBObj* key, QOXOptionListRef firstOption, ...);
QOXError QOXUpdateKeyOptions(QOXKeyDBObj* key, QOXOptionListRef firstOption, ...);

// The operation behind QOXRemoveKeyOptions, which removes nothing: kQOXErrFeatureNotAvailable.
QOXError qoxRemoveKeyOptionsInternal(QOXKeyDBObj* key, QOXOptionListRef optionList);

#endif  // OSTRAK_FOUNDATION_SDK_SDK_ENTRY_POINTS_H_
