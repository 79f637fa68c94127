#include "client/dialog_options.h"

#include <cstring>

#include "foundation/context.h"

namespace {

constexpr size_t kWordSize = 4;

bool Gate() { return qoxEnterFunction() == kQOXErrNoErr; }

QOXOptionListRef Word(QOXContext* context, QOXOptionType type, uint32_t word) {
  if (!qoxContextIsValid(context) || !Gate()) return kQOXBadParamsOptionList;
  uintptr_t value = word;
  return qoxCreateStandardValueOptionList(context, type, &value, kWordSize, nullptr);
}

QOXOptionListRef Flag(QOXContext* context, QOXOptionType type, bool flag) {
  return Word(context, type, flag ? 1 : 0);
}

QOXOptionListRef Pointer(QOXContext* context, QOXOptionType type, const void* pointer) {
  if (!qoxContextIsValid(context) || !Gate()) return kQOXBadParamsOptionList;
  uintptr_t value = reinterpret_cast<uintptr_t>(pointer);
  return qoxCreateStandardValueOptionList(context, type, &value, sizeof value, nullptr);
}

QOXOptionListRef Text(QOXContext* context, QOXOptionType type, const char* text) {
  if (!qoxContextIsValid(context) || text == nullptr || !Gate()) return kQOXBadParamsOptionList;
  return qoxCreateBufferOptionList(context, type, text, std::strlen(text) + 1);
}

}  // namespace

QOXOptionListRef QOXOUIDialogPrompt(QOXContext* context, const char* prompt) {
  return Text(context, kQOXOptionType_UIDialogPrompt, prompt);
}

QOXOptionListRef QOXOUIOutputPassphrase(QOXContext* context, char** outPassphrase) {
  if (outPassphrase == nullptr) return kQOXBadParamsOptionList;
  *outPassphrase = nullptr;
  return Pointer(context, kQOXOptionType_UIOutputPassphrase, outPassphrase);
}

QOXOptionListRef QOXOUIMinimumPassphraseLength(QOXContext* context, uint32_t length) {
  return Word(context, kQOXOptionType_UIMinimumPassphraseLength, length);
}

QOXOptionListRef QOXOUIMinimumPassphraseQuality(QOXContext* context, uint32_t quality) {
  if (quality > kQOXMaximumPassphraseQuality) return kQOXBadParamsOptionList;
  return Word(context, kQOXOptionType_UIMinimumPassphraseQuality, quality);
}

QOXOptionListRef QOXOUIDefaultKey(QOXContext* context, QOXKeyDBObj* key) {
  return Pointer(context, kQOXOptionType_UIDefaultKey, key);
}

QOXOptionListRef QOXOUIVerifyPassphrase(QOXContext* context, bool verify) {
  return Flag(context, kQOXOptionType_UIVerifyPassphrase, verify);
}

QOXOptionListRef QOXOUIFindMatchingKey(QOXContext* context, bool find) {
  return Flag(context, kQOXOptionType_UIFindMatchingKey, find);
}

QOXOptionListRef QOXOUIWindowTitle(QOXContext* context, const char* title) {
  return Text(context, kQOXOptionType_UIWindowTitle, title);
}

QOXOptionListRef QOXOUITextUI(QOXContext* context, bool textUI) {
  return Flag(context, kQOXOptionType_UITextUI, textUI);
}

QOXOptionListRef QOXOUIDefaultPrivateKey(QOXContext* context, QOXKeyDBObj* key) {
  return Pointer(context, kQOXOptionType_UIDefaultPrivateKey, key);
}

QOXOptionListRef QOXOUIDialogTimeout(QOXContext* context, uint32_t timeout) {
  return Word(context, kQOXOptionType_UIDialogTimeout, timeout);
}
