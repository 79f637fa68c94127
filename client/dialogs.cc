#include "client/dialogs.h"

#include <cstdarg>

#include "client/dialog_keydb_services.h"
#include "client/dialog_option_classes.h"
#include "client/key_walk.h"
#include "client/tty_dialogs.h"
#include "foundation/context.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"

namespace {

const QOXKeyDBServices& KeyDB() { return qoxKeyDBServices(); }

// Gate and checks, then one list from the run for the dialog; the run is
// released on refusal and the list freed afterwards.
template <typename Dialog>
QOXError WithList(QOXContext* context, bool argumentsGiven, QOXOptionListRef first, va_list rest,
                  Dialog dialog) {
  QOXError err = qoxEnterFunction();
  if (err == kQOXErrNoErr && (!argumentsGiven || !qoxContextIsValid(context))) err = kQOXErrBadParams;
  if (err != kQOXErrNoErr) {
    qoxFreeVarArgOptionListVA(first, rest);
    return err;
  }
  QOXOptionListRef list = qoxBuildOptionListVA(context, false, first, rest);
  err = dialog(list);
  qoxFreeOptionList(list);
  return err;
}

// The list's own error, then the dialog's allowed set.
QOXError CheckList(QOXOptionListRef list, std::span<const QOXOptionType> allowed) {
  QOXError err = qoxGetOptionListError(list);
  if (err != kQOXErrNoErr) return err;
  return qoxCheckOptionsInSet(list, allowed.data(), static_cast<uint32_t>(allowed.size()));
}

bool IsTrue(QOXKeyDBObj* key, int32_t property, QOXError* err) {
  bool value = false;
  *err = KeyDB().QOXGetKeyDBObjBooleanProperty(key, property, &value);
  return *err == kQOXErrNoErr && value;
}

}  // namespace

// --- Inner dialogs ---

QOXError qoxPassphraseDialogInternal(QOXContext* context, QOXOptionListRef optionList) {
  QOXError err = CheckList(optionList, qoxPassphraseDialogOptionSet());
  if (err != kQOXErrNoErr) return err;
  CQOXPassphraseDialogOptions options;
  err = options.GatherOptions(context, optionList);
  if (err != kQOXErrNoErr) return err;
  return qoxPassphraseDialogPlatform(context, &options);
}

QOXError qoxKeyPassphraseDialogInternal(QOXContext* context, QOXKeyDBObj* key, QOXOptionListRef optionList) {
  QOXError err = CheckList(optionList, qoxKeyPassphraseDialogOptionSet());
  if (err != kQOXErrNoErr) return err;
  CQOXKeyPassphraseDialogOptions options;
  err = options.GatherOptions(context, optionList);
  if (err != kQOXErrNoErr) return err;
  options.mDefaultKey = key;
  return qoxKeyPassphraseDialogPlatform(context, &options);
}

QOXError qoxSigningPassphraseDialogInternal(QOXContext* context, QOXKeyDB* keyDB, QOXKeyDBObj** signingKey,
                                            QOXOptionListRef optionList) {
  QOXError err = CheckList(optionList, qoxSigningPassphraseDialogOptionSet());
  if (err != kQOXErrNoErr) return err;
  CQOXSigningPassphraseDialogOptions options;
  err = options.GatherOptions(context, optionList);
  if (err != kQOXErrNoErr) return err;
  QOXKeySet* root = nullptr;
  err = KeyDB().QOXNewKeySet(keyDB, &root);
  if (err != kQOXErrNoErr) return err;
  err = FindValidSecretKey(root, true, options.mDefaultPrivateKey, options.mDefaultKey, &options.mDefaultKey);
  if (err == kQOXErrKeyCannotSign) {
    *signingKey = options.mDefaultKey;
  } else if (err == kQOXErrNoErr) {
    options.mKeySet = root;
    options.mPassphraseKeyPtr = signingKey;
    err = qoxSigningPassphraseDialogPlatform(context, &options);
  }
  KeyDB().QOXFreeKeySet(root);
  return err;
}

QOXError qoxCollectRandomDataDialogInternal(QOXContext* context, uint32_t neededEntropyBits,
                                            QOXOptionListRef optionList) {
  QOXError err = CheckList(optionList, qoxRandomDataDialogOptionSet());
  if (err != kQOXErrNoErr) return err;
  CQOXRandomDataDialogOptions options;
  err = options.GatherOptions(context, optionList);
  if (err != kQOXErrNoErr) return err;
  options.mNeededEntropyBits = neededEntropyBits;
  return qoxCollectRandomDataDialogPlatform(context, &options);
}

// --- Entry points ---

QOXError QOXPassphraseDialog(QOXContext* context, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = WithList(context, true, firstOption, rest,
                          [&](QOXOptionListRef list) { return qoxPassphraseDialogInternal(context, list); });
  va_end(rest);
  return err;
}

QOXError QOXKeyPassphraseDialog(QOXContext* context, QOXKeyDBObj* key, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = WithList(context, key != nullptr, firstOption, rest, [&](QOXOptionListRef list) {
    return qoxKeyPassphraseDialogInternal(context, key, list);
  });
  va_end(rest);
  return err;
}

QOXError QOXSigningPassphraseDialog(QOXContext* context, QOXKeyDB* keyDB, QOXKeyDBObj** signingKey,
                                    QOXOptionListRef firstOption, ...) {
  if (signingKey != nullptr) *signingKey = nullptr;
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = WithList(context, keyDB != nullptr && signingKey != nullptr, firstOption, rest,
                          [&](QOXOptionListRef list) {
                            return qoxSigningPassphraseDialogInternal(context, keyDB, signingKey, list);
                          });
  va_end(rest);
  return err;
}

QOXError QOXCollectRandomDataDialog(QOXContext* context, uint32_t neededEntropyBits, QOXOptionListRef firstOption,
                                    ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = WithList(context, true, firstOption, rest, [&](QOXOptionListRef list) {
    return qoxCollectRandomDataDialogInternal(context, neededEntropyBits, list);
  });
  va_end(rest);
  return err;
}

// --- Key selection ---

QOXError FindValidSecretKey(QOXKeySet* keySet, bool signing, QOXKeyDBObj* defaultPrivateKey,
                            QOXKeyDBObj* defaultKey, QOXKeyDBObj** result) {
  if (result == nullptr) return kQOXErrBadParams;
  QOXKeyDBObj* target = defaultKey != nullptr ? defaultKey : defaultPrivateKey;
  *result = nullptr;
  const int32_t purpose = signing ? kQOXKeyPropCanSign : kQOXKeyPropCanDecrypt;
  QOXKeyDBObj* firstShared = nullptr;
  QOXKeyDBObj* firstUnshared = nullptr;
  bool targetQualifies = false;
  bool targetShared = false;

  QOXKeyWalk walk;
  QOXError err = walk.Start(keySet, kQOXKeyOrdering_Any);
  QOXKeyDBObj* key = nullptr;
  while (err == kQOXErrNoErr && (err = walk.Next(&key)) == kQOXErrNoErr) {
    QOXError readErr = kQOXErrNoErr;
    bool qualifies = IsTrue(key, purpose, &readErr);
    if (readErr != kQOXErrNoErr) {
      err = readErr;
      break;
    }
    if (!qualifies) continue;
    QOXError ignored = kQOXErrNoErr;
    bool shared = IsTrue(key, kQOXKeyPropIsSecretShared, &ignored);
    if (shared && firstShared == nullptr) firstShared = key;
    if (!shared && firstUnshared == nullptr) firstUnshared = key;
    if (key == target) {
      targetQualifies = true;
      targetShared = shared;
    }
    if (targetQualifies && !shared) break;  // nothing later changes the choice
  }
  if (err != kQOXErrNoErr && err != kQOXErrEndOfIteration) return err;

  if (firstUnshared != nullptr) {
    bool takeTarget = targetQualifies && (signing || !targetShared);
    *result = takeTarget ? target : firstUnshared;
    return kQOXErrNoErr;
  }
  if (firstShared != nullptr) {
    *result = targetQualifies ? target : firstShared;
    return signing ? kQOXErrKeyCannotSign : kQOXErrKeyCannotDecrypt;
  }
  return kQOXErrNoSecretKeyFound;
}

QOXKeyDBObj* GetKeyForPassphrase(QOXKeySet* keySet, const char* text, bool signing) {
  const int32_t purpose = signing ? kQOXKeyPropCanSign : kQOXKeyPropCanDecrypt;
  QOXKeyWalk walk;
  if (walk.Start(keySet, kQOXKeyOrdering_Any) != kQOXErrNoErr) return nullptr;
  QOXKeyDBObj* key = nullptr;
  while (walk.Next(&key) == kQOXErrNoErr) {
    QOXError readErr = kQOXErrNoErr;
    if (!IsTrue(key, purpose, &readErr)) continue;
    QOXContext* context = KeyDB().QOXPeekKeyDBObjContext(key);
    if (QOXPassphraseIsValid(key, QOXOPassphrase(context, text), QOXOLastOption(context))) return key;
  }
  return nullptr;
}
