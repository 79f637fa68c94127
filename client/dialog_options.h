// Dialog options: the option types 1000 to 1026 of the dialogs, and the
// constructors (QOXOUI...) of those that the passphrase and random-data
// dialogs take. Each constructor returns a one-option list (option lists:
// foundation/option_list.h), the bad-parameters handle (-3) for an invalid
// context or argument, or the out-of-memory handle (-2). Checks run in this
// order: the arguments (1001 checks and clears its pointer before the
// context), the entry gate, then the allocation.
//
// What each option holds: texts (1000, 1016) a NUL-terminated copy freed
// with the list (buffer handler); flags (1009, 1010, 1023) their low byte in
// a 4-byte value; counts and the quality (1006, 1007, 1026) a 32-bit value;
// keys (1008, 1025) and the output pointer (1001) the pointer itself,
// without a reference. The option list does not own a key or the output.
//
// Thread safety: as option lists; a constructor touches only what it makes.
#ifndef OSTRAK_CLIENT_DIALOG_OPTIONS_H_
#define OSTRAK_CLIENT_DIALOG_OPTIONS_H_

#include <cstdint>

#include "foundation/keydb_services.h"
#include "foundation/option_list.h"

struct QOXContext;

enum : int32_t {
  kQOXOptionType_UIDialogPrompt = 1000,
  kQOXOptionType_UIOutputPassphrase = 1001,
  kQOXOptionType_UICheckbox = 1002,
  kQOXOptionType_UIPopupList = 1003,
  kQOXOptionType_UIShowPassphraseQuality = 1004,
  kQOXOptionType_UIDialogOptions = 1005,
  kQOXOptionType_UIMinimumPassphraseLength = 1006,
  kQOXOptionType_UIMinimumPassphraseQuality = 1007,
  kQOXOptionType_UIDefaultKey = 1008,
  kQOXOptionType_UIVerifyPassphrase = 1009,
  kQOXOptionType_UIFindMatchingKey = 1010,
  kQOXOptionType_UIDefaultRecipients = 1011,
  kQOXOptionType_UIDisplayMarginalValidity = 1012,
  kQOXOptionType_UIIgnoreMarginalValidity = 1013,
  kQOXOptionType_UIRecipientGroups = 1014,
  kQOXOptionType_UIReserved = 1015,  // accepted by every dialog; no constructor, never read
  kQOXOptionType_UIWindowTitle = 1016,
  kQOXOptionType_UIEnforceAdditionalRecipientRequests = 1017,
  kQOXOptionType_UIKeyServerUpdateParams = 1018,
  kQOXOptionType_UIKeyServerSearchKey = 1019,
  kQOXOptionType_UIKeyServerSearchFilter = 1020,
  kQOXOptionType_UIKeyServerSearchKeyIDList = 1021,
  kQOXOptionType_UIKeyServerSearchKeySet = 1022,
  kQOXOptionType_UITextUI = 1023,
  kQOXOptionType_UIRecipientList = 1024,
  kQOXOptionType_UIDefaultPrivateKey = 1025,
  kQOXOptionType_UIDialogTimeout = 1026,
};

// The highest minimum quality (a percentage).
inline constexpr uint32_t kQOXMaximumPassphraseQuality = 100;

QOXOptionListRef QOXOUIDialogPrompt(QOXContext* context, const char* prompt);
// *outPassphrase is cleared first; after a successful dialog it holds a
// secure block that the caller wipes and frees.
QOXOptionListRef QOXOUIOutputPassphrase(QOXContext* context, char** outPassphrase);
QOXOptionListRef QOXOUIMinimumPassphraseLength(QOXContext* context, uint32_t length);
// 0-100; above 100 the bad-parameters handle.
QOXOptionListRef QOXOUIMinimumPassphraseQuality(QOXContext* context, uint32_t quality);
QOXOptionListRef QOXOUIDefaultKey(QOXContext* context, QOXKeyDBObj* key);
QOXOptionListRef QOXOUIVerifyPassphrase(QOXContext* context, bool verify);
QOXOptionListRef QOXOUIFindMatchingKey(QOXContext* context, bool find);
QOXOptionListRef QOXOUIWindowTitle(QOXContext* context, const char* title);
QOXOptionListRef QOXOUITextUI(QOXContext* context, bool textUI);
QOXOptionListRef QOXOUIDefaultPrivateKey(QOXContext* context, QOXKeyDBObj* key);
QOXOptionListRef QOXOUIDialogTimeout(QOXContext* context, uint32_t timeout);

#endif  // OSTRAK_CLIENT_DIALOG_OPTIONS_H_
