// The options objects of the passphrase and random-data dialogs, and the
// option types each of these dialogs allows.
//
// An entry point (client/dialogs.h) checks its option list against the
// dialog's allowed set, makes the dialog's options object on its stack,
// gathers the list into it (GatherOptions: each class first gathers what its
// base reads) and hands it to the dialog's body (client/tty_dialogs.h).
// Texts and pointers gathered point into the option list or at the caller's
// objects: the object lives no longer than the list, and owns nothing.
//
// Classes (each adds to its base):
//   CQOXDialogOptions                   1016 title, 1000 prompt, 1025 default
//                                       private key, 1023 text UI
//   CQOXRandomDataDialogOptions         the entropy bits wanted
//   CQOXPassphraseDialogOptions         1001 output (required), 1005 nested
//                                       list (at most once), 1006 minimum
//                                       length, 1007 minimum quality, 1026
//                                       timeout
//   CQOXKeyPassphraseDialogOptions      1008 default key, 1009 verify, 74
//                                       cache passphrase
//   CQOXKeySetPassphraseDialogOptions   1010 find matching key; the key set
//                                       and the chosen-key output, set by
//                                       the entry point
//   CQOXSigningPassphraseDialogOptions  as its base
//
// Thread safety: an object belongs to the call that made it.
#ifndef OSTRAK_CLIENT_DIALOG_OPTION_CLASSES_H_
#define OSTRAK_CLIENT_DIALOG_OPTION_CLASSES_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "foundation/errors.h"
#include "foundation/keydb_services.h"
#include "foundation/option_list.h"

struct QOXContext;

// The option types each dialog allows; any other gives -12000.
std::span<const QOXOptionType> qoxPassphraseDialogOptionSet();
std::span<const QOXOptionType> qoxKeyPassphraseDialogOptionSet();
std::span<const QOXOptionType> qoxSigningPassphraseDialogOptionSet();
std::span<const QOXOptionType> qoxRandomDataDialogOptionSet();

class CQOXDialogOptions {
 public:
  CQOXDialogOptions() = default;
  virtual ~CQOXDialogOptions() = default;
  CQOXDialogOptions(const CQOXDialogOptions&) = delete;
  CQOXDialogOptions& operator=(const CQOXDialogOptions&) = delete;

  // 0, -12000 for an invalid context or list, or the first error of the
  // option reader (-11498 for a repeated option, -11499 for a missing
  // required one).
  virtual QOXError GatherOptions(QOXContext* context, QOXOptionListRef optionList);

  QOXContext* mContext = nullptr;
  QOXOptionListRef mOptionList = nullptr;
  const char* mWindowTitle = nullptr;
  void* mServerList = nullptr;
  uint32_t mServerCount = 0;
  uint8_t mServerFlag = 0;
  uint8_t mTextUI = 0;
  QOXKeyDB** mNewKeysPtr = nullptr;
  void* mTLSContext = nullptr;
  const char* mPrompt = nullptr;
  QOXKeyDBObj* mDefaultPrivateKey = nullptr;
};

class CQOXRandomDataDialogOptions : public CQOXDialogOptions {
 public:
  uint32_t mNeededEntropyBits = 0;
};

class CQOXPassphraseDialogOptions : public CQOXDialogOptions {
 public:
  QOXError GatherOptions(QOXContext* context, QOXOptionListRef optionList) override;

  char** mOutputPassphrase = nullptr;
  QOXOptionListRef mDialogOptions = nullptr;
  uint32_t mMinPassphraseLength = 0;
  uint32_t mMinPassphraseQuality = 0;
  uint32_t mDialogTimeout = 0;
};

class CQOXKeyPassphraseDialogOptions : public CQOXPassphraseDialogOptions {
 public:
  QOXError GatherOptions(QOXContext* context, QOXOptionListRef optionList) override;

  uint8_t mVerifyPassphrase = 1;
  QOXKeyDBObj* mDefaultKey = nullptr;
  uint8_t mCachePassphrase = 0;
  uint8_t mCacheGlobal = 1;
  uint32_t mCacheSeconds = 0;
};

class CQOXKeySetPassphraseDialogOptions : public CQOXKeyPassphraseDialogOptions {
 public:
  QOXError GatherOptions(QOXContext* context, QOXOptionListRef optionList) override;

  uint8_t mFindMatchingKey = 1;
  QOXKeySet* mKeySet = nullptr;
  QOXKeyDBObj** mPassphraseKeyPtr = nullptr;
};

class CQOXSigningPassphraseDialogOptions : public CQOXKeySetPassphraseDialogOptions {};

#endif  // OSTRAK_CLIENT_DIALOG_OPTION_CLASSES_H_
