#include "client/tty_dialogs.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "client/dialog_keydb_services.h"
#include "client/dialogs.h"
#include "client/key_walk.h"
#include "client/keyboard.h"
#include "client/tty_input.h"
#include "crypto/pkalg.h"
#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/passphrase_quality.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"

namespace {

constexpr int kEndOfText = 4;  // ^D
constexpr size_t kErrorTextSize = 512;
constexpr size_t kUserIDSize = 257;  // up to 256 bytes and the NUL

constexpr char kRandomDataRequest[] =
    "\nQOX needs to generate some random data. This is done by measuring\n"
    "the time intervals between your keystrokes. Please enter some\n"
    "random text on your keyboard until the indicator reaches 100%.\n"
    "Press ^D to cancel\n";
constexpr char kDefaultSigningPrompt[] = "Need a pass phrase to use this key\n";

// g_bEntropy: true while a random-data collection runs; guarded by
// gEntropyMutex.
std::mutex gEntropyMutex;
bool g_bEntropy = false;

// Clears g_bEntropy when the collection ends, on every path.
class EntropyFlag {
 public:
  bool Take() {
    std::lock_guard<std::mutex> lock(gEntropyMutex);
    if (g_bEntropy) return false;
    g_bEntropy = true;
    held_ = true;
    return true;
  }
  void Release() {
    if (!held_) return;
    std::lock_guard<std::mutex> lock(gEntropyMutex);
    g_bEntropy = false;
    held_ = false;
  }
  ~EntropyFlag() { Release(); }

 private:
  bool held_ = false;
};

const QOXKeyDBServices& KeyDB() { return qoxKeyDBServices(); }

// A boolean property: false when it cannot be read.
bool IsTrue(QOXKeyDBObj* key, int32_t property) {
  bool value = false;
  return KeyDB().QOXGetKeyDBObjBooleanProperty(key, property, &value) == kQOXErrNoErr && value;
}

// The context in which a key's passphrase is checked: the key's own.
QOXContext* KeyContext(QOXKeyDBObj* key, QOXContext* fallback) {
  QOXContext* context = KeyDB().QOXPeekKeyDBObjContext(key);
  return context != nullptr ? context : fallback;
}

// The first key of the set in validity order.
QOXError FirstKeyByValidity(QOXKeySet* set, QOXKeyDBObj** key) {
  QOXKeyWalk walk;
  QOXError err = walk.Start(set, kQOXKeyOrdering_Validity);
  if (err == kQOXErrNoErr) err = walk.Next(key);
  return err;
}

void Wipe(char* text, size_t length) {
  volatile char* p = text;
  for (size_t i = 0; i < length; ++i) p[i] = 0;
}

}  // namespace

// --- Random data ---

QOXError qoxCollectRandomDataDialogPlatform(QOXContext*, CQOXRandomDataDialogOptions* options) {
  if (options == nullptr) return kQOXErrBadParams;
  uint32_t current = QOXGlobalRandomPoolGetEntropy();
  EntropyFlag flag;
  if (!flag.Take()) return kQOXErrItemAlreadyExists;
  uint32_t needed = options->mNeededEntropyBits;
  if (needed == 0) needed = QOXGlobalRandomPoolGetMinimumEntropy();
  if (needed < current) return kQOXErrNoErr;

  if (options->mPrompt != nullptr) printf("%s\n", options->mPrompt);
  else fputs(kRandomDataRequest, stdout);
  int64_t remaining = int64_t{needed} - current;
  kbCbreak(0);
  double shown = 0.0;
  for (;;) {
    if (current > 0) shown = static_cast<double>(current) / needed * 100.0;
    if (shown > 100.5) shown = 100.0;
    if (shown >= 99.5 && remaining > 0) shown = 99.0;
    printf("\r");
    printf("%.0f%% of required data   ", shown);
    fflush(stdout);
    if (remaining < 1) {
      printf("\n");
      printf("\aEnough, thank you.\n");
      fflush(stdout);
      kbFlush(1);
      kbNorm();
      return kQOXErrNoErr;
    }
    kbFlush(0);
    int key = kbGet();
    if (key == kEndOfText || key < 0) {
      // The end of input (no terminal) leaves nothing typed ahead to wait for.
      flag.Release();
      printf("\a\nUser cancelled collection. \n");
      fflush(stdout);
      if (key == kEndOfText) kbFlush(1);
      kbNorm();
      return kQOXErrUserAbort;
    }
    current = QOXGlobalRandomPoolGetEntropy();
    remaining = int64_t{needed} - current;
  }
}

// --- Signing passphrase ---

QOXError InitSigningKeyComboBox(CQOXKeySetPassphraseDialogOptions* options) {
  QOXKeyWalk walk;
  QOXError err = walk.Start(options->mKeySet, kQOXKeyOrdering_Validity);
  bool any = false;
  QOXKeyDBObj* key = nullptr;
  while (err == kQOXErrNoErr && (err = walk.Next(&key)) == kQOXErrNoErr) {
    if (!IsTrue(key, kQOXKeyPropIsSecret) || IsTrue(key, kQOXKeyPropIsRevoked) ||
        IsTrue(key, kQOXKeyPropIsExpired) || !IsTrue(key, kQOXKeyPropCanSign))
      continue;
    char text[kQOXKeyStringSize];
    GetKeyString(key, text, sizeof text);
    printf("\n%s\n", text);
    any = true;
  }
  fflush(stdout);
  if (err != kQOXErrEndOfIteration) return err;
  return any ? kQOXErrNoErr : kQOXErrUserAbort;
}

void GetKeyString(QOXKeyDBObj* key, char* text, size_t size) {
  if (text == nullptr || size == 0) return;
  char userID[kUserIDSize] = {};
  size_t length = 0;
  if (qoxDialogKeyDBServices().QOXGetPrimaryUserIDName(key, userID, sizeof userID, &length) != kQOXErrNoErr)
    userID[0] = '\0';
  userID[sizeof userID - 1] = '\0';
  int32_t algorithm = 0;
  int32_t bits = 0;
  KeyDB().QOXGetKeyDBObjNumericProperty(key, kQOXKeyPropAlgorithmID, &algorithm);
  KeyDB().QOXGetKeyDBObjNumericProperty(key, kQOXKeyPropBits, &bits);
  if (static_cast<QOXPublicKeyAlgorithm>(algorithm) == kQOXPublicKeyAlgorithm_RSA) snprintf(text, size, "%s   (RSA/%i)", userID, bits);
  else if (static_cast<QOXPublicKeyAlgorithm>(algorithm) == kQOXPublicKeyAlgorithm_DSA) snprintf(text, size, "%s   (DSS/%i)", userID, bits);
  else snprintf(text, size, "%s   (Unknown/Unknown)", userID);
}

bool PassphraseLengthAndQualityOK(const CQOXPassphraseDialogOptions* options, const char* text) {
  const char* message = nullptr;
  if (options->mMinPassphraseLength != 0 && std::strlen(text) < options->mMinPassphraseLength)
    message = "Passphrase is not of sufficient length. Please choose another.";
  else if (options->mMinPassphraseQuality != 0 &&
           qoxEstimatePassphraseQuality(text) < options->mMinPassphraseQuality)
    message = "Passphrase is not of sufficient quality. Please choose another.";
  if (message == nullptr) return true;
  fputs(message, stdout);
  fflush(stdout);
  return false;
}

QOXError ValidateSigningPhrase(_GPP* gpp, const char* text, QOXKeyDBObj* key) {
  auto* options = static_cast<CQOXKeySetPassphraseDialogOptions*>(gpp->options);
  QOXContext* context = KeyContext(key, gpp->context);
  if (QOXPassphraseIsValid(key, QOXOPassphrase(context, text), QOXOLastOption(context))) {
    if (options->mPassphraseKeyPtr != nullptr) *options->mPassphraseKeyPtr = key;
    return kQOXErrNoErr;
  }
  bool unlocksAnother =
      options->mFindMatchingKey != 0 && GetKeyForPassphrase(options->mKeySet, text, true) != nullptr;
  if (!unlocksAnother) {
    fputs("Bad Passphrase: Please re-enter\n", stdout);
    fflush(stdout);
  }
  return kQOXErrBadPassphrase;
}

QOXError qoxSigningPassphraseDialogPlatform(QOXContext* context, CQOXSigningPassphraseDialogOptions* options) {
  if (options == nullptr || options->mOutputPassphrase == nullptr) return kQOXErrBadParams;
  _GPP gpp{};
  gpp.context = context;
  gpp.options = options;
  QOXError err = InitSigningKeyComboBox(options);
  if (err != kQOXErrNoErr) return err;
  if (options->mPrompt != nullptr) puts(options->mPrompt);
  else fputs(kDefaultSigningPrompt, stdout);
  fflush(stdout);

  // The passphrase is tried on the key the selection chose.
  QOXKeyDBObj* key = options->mDefaultKey;
  if (key == nullptr) {
    err = FirstKeyByValidity(options->mKeySet, &key);
    if (err != kQOXErrNoErr) return err;
  }
  for (;;) {
    FreePassphrases(&gpp);
    *options->mOutputPassphrase = nullptr;
    gpp.pszPassPhrase = secAlloc(context, kQOXPassphraseBufferSize);
    if (gpp.pszPassPhrase == nullptr) {
      err = kQOXErrOutOfMemory;
      break;
    }
    if (qoxTtyGetPass(stdout, gpp.pszPassPhrase, kQOXPassphraseBufferSize) < 0) {
      err = kQOXErrUserAbort;
      break;
    }
    *options->mOutputPassphrase = gpp.pszPassPhrase;
    if (IsTrue(key, kQOXKeyPropIsSecretShared)) {
      if (options->mPassphraseKeyPtr != nullptr) *options->mPassphraseKeyPtr = key;
      err = kQOXErrKeyCannotSign;
      break;
    }
    if (!PassphraseLengthAndQualityOK(options, gpp.pszPassPhrase)) continue;
    if (options->mVerifyPassphrase == 0) {
      err = kQOXErrNoErr;
      break;
    }
    err = ValidateSigningPhrase(&gpp, gpp.pszPassPhrase, key);
    if (err == kQOXErrNoErr) break;
  }
  ClearPassphrases(&gpp);
  if (err != kQOXErrNoErr) {
    FreePassphrases(&gpp);
    *options->mOutputPassphrase = nullptr;
  }
  return err;
}

// --- Key passphrase and passphrase ---

QOXError qoxKeyPassphraseDialogPlatform(QOXContext* context, CQOXKeyPassphraseDialogOptions* options) {
  if (options == nullptr || options->mOutputPassphrase == nullptr) return kQOXErrBadParams;
  QOXKeyDBObj* key = options->mDefaultKey;
  if (IsTrue(key, kQOXKeyPropIsSecretShared)) return kQOXErrKeyCannotSign;
  bool needsPassphrase = false;
  QOXError err = KeyDB().QOXGetKeyDBObjBooleanProperty(key, kQOXKeyPropNeedsPassphrase, &needsPassphrase);
  if (err != kQOXErrNoErr) return err;
  if (needsPassphrase) return kQOXErrNoErr;
  char* empty = secAlloc(context, 1);
  if (empty == nullptr) return kQOXErrOutOfMemory;
  *options->mOutputPassphrase = empty;
  return kQOXErrNoErr;
}

QOXError qoxPassphraseDialogPlatform(QOXContext*, CQOXPassphraseDialogOptions* options) {
  if (options == nullptr) return kQOXErrBadParams;
  return kQOXErrNoErr;
}

QOXError qoxCheckNetworklibAvailability() { return kQOXErrNoErr; }

// --- Secure texts and small helpers ---

char* secAlloc(QOXContext* context, size_t size) {
  QOXMemoryMgr* manager = QOXPeekContextMemoryMgr(context);
  if (manager == nullptr) return nullptr;
  return static_cast<char*>(QOXNewSecureData(manager, size, kQOXMemoryMgrFlags_Clear));
}

void secFree(char* text) {
  if (text == nullptr) return;
  Wipe(text, std::strlen(text));
  QOXFreeData(text);
}

void ClearPassphrases(_GPP* gpp) {
  secFree(gpp->pszPassPhraseConf);
  gpp->pszPassPhraseConf = nullptr;
}

void FreePassphrases(_GPP* gpp) {
  secFree(gpp->pszPassPhrase);
  gpp->pszPassPhrase = nullptr;
  ClearPassphrases(gpp);
}

void WipeEditBox() {}

QOXError QOXclMessageBox() { return kQOXErrNoErr; }

uint32_t QOXEstimatePassphraseQuality(const char* text) { return qoxEstimatePassphraseQuality(text); }

QOXError QOXsdkUIErrorBox(QOXError code) {
  if (code == kQOXErrNoErr || code == kQOXErrUserAbort) return kQOXErrNoErr;
  char text[kErrorTextSize];
  QOXGetErrorString(code, sizeof text, text);
  printf("%s: QOX Error", text);
  fflush(stdout);
  return kQOXErrNoErr;
}
