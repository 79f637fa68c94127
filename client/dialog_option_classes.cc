#include "client/dialog_option_classes.h"

#include <array>

#include "client/dialog_options.h"
#include "foundation/context.h"
#include "foundation/option_types.h"

namespace {

constexpr std::array<QOXOptionType, 10> kPassphraseSet = {
    kQOXOptionType_UIReserved,         kQOXOptionType_UITextUI,
    kQOXOptionType_UIWindowTitle,      kQOXOptionType_UIDefaultPrivateKey,
    kQOXOptionType_UIDialogOptions,    kQOXOptionType_UIDialogPrompt,
    kQOXOptionType_UIOutputPassphrase, kQOXOptionType_UIMinimumPassphraseLength,
    kQOXOptionType_UIMinimumPassphraseQuality, kQOXOptionType_UIDialogTimeout,
};

template <size_t N, size_t M>
constexpr std::array<QOXOptionType, N + M> Join(const std::array<QOXOptionType, N>& a,
                                                const std::array<QOXOptionType, M>& b) {
  std::array<QOXOptionType, N + M> joined{};
  for (size_t i = 0; i < N; ++i) joined[i] = a[i];
  for (size_t i = 0; i < M; ++i) joined[N + i] = b[i];
  return joined;
}

constexpr auto kKeyPassphraseSet =
    Join(kPassphraseSet, std::array<QOXOptionType, 2>{kQOXOptionType_UIVerifyPassphrase,
                                                      kQOXOptionType_CachePassphrase});
constexpr auto kSigningPassphraseSet =
    Join(kPassphraseSet, std::array<QOXOptionType, 3>{kQOXOptionType_UIDefaultKey,
                                                      kQOXOptionType_UIVerifyPassphrase,
                                                      kQOXOptionType_UIFindMatchingKey});
constexpr std::array<QOXOptionType, 5> kRandomDataSet = {
    kQOXOptionType_UIReserved,    kQOXOptionType_UITextUI,       kQOXOptionType_UIWindowTitle,
    kQOXOptionType_UIDefaultPrivateKey, kQOXOptionType_UIDialogPrompt,
};

// Reads a flag option: *out becomes value > 0 when the option is there.
QOXError ReadFlag(QOXOptionListRef list, QOXOptionType type, uint8_t* out) {
  unsigned char found = 0;
  int32_t value = 0;
  QOXError err = qoxFindOptionArgs(list, type, false, "%b%d", &found, &value);
  if (err == kQOXErrNoErr && found != 0) *out = value > 0 ? 1 : 0;
  return err;
}

template <typename T>
QOXError ReadPointer(QOXOptionListRef list, QOXOptionType type, bool mandatory, T** out) {
  void* pointer = nullptr;
  QOXError err = qoxFindOptionArgs(list, type, mandatory, "%p", &pointer);
  if (err == kQOXErrNoErr) *out = static_cast<T*>(pointer);
  return err;
}

QOXError ReadWord(QOXOptionListRef list, QOXOptionType type, uint32_t* out) {
  uint32_t word = 0;
  QOXError err = qoxFindOptionArgs(list, type, false, "%d", &word);
  if (err == kQOXErrNoErr) *out = word;
  return err;
}

}  // namespace

std::span<const QOXOptionType> qoxPassphraseDialogOptionSet() { return kPassphraseSet; }
std::span<const QOXOptionType> qoxKeyPassphraseDialogOptionSet() { return kKeyPassphraseSet; }
std::span<const QOXOptionType> qoxSigningPassphraseDialogOptionSet() { return kSigningPassphraseSet; }
std::span<const QOXOptionType> qoxRandomDataDialogOptionSet() { return kRandomDataSet; }

QOXError CQOXDialogOptions::GatherOptions(QOXContext* context, QOXOptionListRef optionList) {
  if (!qoxContextIsValid(context) || !qoxOptionListIsReal(optionList)) return kQOXErrBadParams;
  mContext = context;
  mOptionList = optionList;
  QOXError err = ReadPointer(optionList, kQOXOptionType_UIWindowTitle, false, &mWindowTitle);
  if (err == kQOXErrNoErr) err = ReadPointer(optionList, kQOXOptionType_UIDialogPrompt, false, &mPrompt);
  if (err == kQOXErrNoErr)
    err = ReadPointer(optionList, kQOXOptionType_UIDefaultPrivateKey, false, &mDefaultPrivateKey);
  if (err == kQOXErrNoErr) err = ReadFlag(optionList, kQOXOptionType_UITextUI, &mTextUI);
  return err;
}

QOXError CQOXPassphraseDialogOptions::GatherOptions(QOXContext* context, QOXOptionListRef optionList) {
  QOXError err = CQOXDialogOptions::GatherOptions(context, optionList);
  if (err == kQOXErrNoErr)
    err = ReadPointer(optionList, kQOXOptionType_UIOutputPassphrase, true, &mOutputPassphrase);
  if (err == kQOXErrNoErr) {
    QOXOption nested{};
    err = qoxSearchOptionSingle(optionList, kQOXOptionType_UIDialogOptions, &nested);
    if (err == kQOXErrNoErr && nested.type != 0) mDialogOptions = nested.subOptions;
  }
  if (err == kQOXErrNoErr) err = ReadWord(optionList, kQOXOptionType_UIMinimumPassphraseLength, &mMinPassphraseLength);
  if (err == kQOXErrNoErr)
    err = ReadWord(optionList, kQOXOptionType_UIMinimumPassphraseQuality, &mMinPassphraseQuality);
  if (err == kQOXErrNoErr) err = ReadWord(optionList, kQOXOptionType_UIDialogTimeout, &mDialogTimeout);
  return err;
}

QOXError CQOXKeyPassphraseDialogOptions::GatherOptions(QOXContext* context, QOXOptionListRef optionList) {
  QOXError err = CQOXPassphraseDialogOptions::GatherOptions(context, optionList);
  if (err == kQOXErrNoErr) err = ReadPointer(optionList, kQOXOptionType_UIDefaultKey, false, &mDefaultKey);
  if (err == kQOXErrNoErr) err = ReadFlag(optionList, kQOXOptionType_UIVerifyPassphrase, &mVerifyPassphrase);
  if (err == kQOXErrNoErr) {
    unsigned char found = 0;
    uint32_t seconds = 0;
    unsigned char global = 0;
    err = qoxFindOptionArgs(optionList, kQOXOptionType_CachePassphrase, false, "%b%d%b", &found, &seconds,
                            &global);
    if (err == kQOXErrNoErr && found != 0) {
      mCachePassphrase = 1;
      mCacheSeconds = seconds;
      mCacheGlobal = global;
    }
  }
  return err;
}

QOXError CQOXKeySetPassphraseDialogOptions::GatherOptions(QOXContext* context, QOXOptionListRef optionList) {
  QOXError err = CQOXKeyPassphraseDialogOptions::GatherOptions(context, optionList);
  if (err == kQOXErrNoErr) err = ReadFlag(optionList, kQOXOptionType_UIFindMatchingKey, &mFindMatchingKey);
  return err;
}
