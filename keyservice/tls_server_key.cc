#include "keyservice/tls_server_key.h"

#include <algorithm>
#include <cstring>

#include "crypto/random_pool.h"
#include "foundation/context.h"
#include "foundation/keydb_services.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_id.h"
#include "keydb/key_lookup.h"
#include "keydb/key_set.h"
#include "keydb/obj_properties.h"
#include "keyservice/client_dialog_services.h"
#include "keyservice/key_set_utils.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"

namespace {

constexpr int32_t kSecureRequired = 0;
constexpr int32_t kSecureOptional = 1;
constexpr int32_t kSecureDisabled = 2;

QOXError Logged(const char* format, QOXError err) {
  char text[256];
  QOXGetErrorString(err, sizeof text, text);
  LogError(kLogError, format, err, text);
  return err;
}

bool IsAllZero(const QOXKeyID* id) {
  if (id == nullptr) return true;
  const auto* bytes = reinterpret_cast<const uint8_t*>(id);
  return std::all_of(bytes, bytes + sizeof(QOXKeyID), [](uint8_t b) { return b == 0; });
}

void FreeSecret(char* text) {
  if (text == nullptr) return;
  std::memset(text, 0, std::strlen(text));
  QOXFreeData(text);
}

// The first secret key of the database: 0 with none when it has none.
QOXError FirstSecretKey(QOXKeyDB* db, QOXKeyDBObj** outKey) {
  *outKey = nullptr;
  QOXKeySet* set = nullptr;
  QOXError err = QOXNewKeySet(db, &set);
  if (err != kQOXErrNoErr) return err;
  err = KeySet2Key(set, true, outKey);
  QOXFreeKeySet(set);
  if (err == kQOXErrOptionNotFound) {
    *outKey = nullptr;
    return kQOXErrNoErr;
  }
  return err;
}

}  // namespace

QOXError GetPrivateKey(QOXContext* context, const QOXKeyID* wanted, QOXKeyDB* tlsKeyDB, int noPrompt,
                       int32_t* secureMode, int, int, const char* prompt, QOXKeyID** keyID, char** passphrase) {
  if (secureMode == nullptr || keyID == nullptr || passphrase == nullptr) return kQOXErrBadParams;
  if (*secureMode == kSecureDisabled) return kQOXErrNoErr;
  if (tlsKeyDB == nullptr) {
    // No rings at all: as rings without a secret key, the server goes on
    // without TLS.
    LogError(kLogError, "No keyrings specified in config file for use with TLS");
    *secureMode = kSecureDisabled;
    return kQOXErrNoSecretKeyFound;
  }

  const bool keyIDGiven = !IsAllZero(wanted);
  QOXKeyDBObj* key = nullptr;
  bool needsPassphrase = true;
  QOXError err = kQOXErrNoErr;
  if (!keyIDGiven) {
    if ((err = FirstSecretKey(tlsKeyDB, &key)) != kQOXErrNoErr)
      return Logged("Using secure key caused error %d (%s)", err);
    if (key == nullptr) {
      // Rings without a secret key leave the server without TLS.
      LogError(kLogError, "Supplied keyring files do not have any private keys.");
      *secureMode = kSecureDisabled;
      return kQOXErrNoSecretKeyFound;
    }
  } else {
    if ((err = QOXFindKeyByKeyID(tlsKeyDB, wanted, &key)) != kQOXErrNoErr) {
      char text[kQOXKeyIDStringSize] = {};
      QOXGetKeyIDString(wanted, kQOXKeyIDString_Full, text);
      LogError(kLogError, "Cannot find Server Secure KeyID (%s) in keyring.", text);
      return err;
    }
    if ((err = QOXGetKeyDBObjBooleanProperty(key, static_cast<int32_t>(KeyDBObjProperty::KeyNeedsPassphrase),
                                             &needsPassphrase)) != kQOXErrNoErr)
      return Logged("Using secure key caused error %d (%s)", err);
  }

  char* text = nullptr;
  if ((*secureMode == kSecureRequired || *secureMode == kSecureOptional) && needsPassphrase) {
    if (*secureMode == kSecureOptional && noPrompt) {
      LogError(kLogWarning, keyIDGiven ? "Secure server key requires passphrase, disabling SecureMode.\n"
                                       : "No secure server key ID specified in config file, disabling SecureMode.\n");
      *secureMode = kSecureDisabled;
      return kQOXErrUserAbort;
    }
    err = qoxClientDialogServices().QOXSigningPassphraseDialog(context, tlsKeyDB, prompt, &key, &text);
    if (err == kQOXErrUserAbort) {
      LogError(kLogWarning, "Entering passphrase was cancelled, disabling SecureMode.\n");
      *secureMode = kSecureDisabled;
      return err;
    }
    if (err == kQOXErrNoSecretKeyFound) {
      LogError(kLogWarning, "No private keys found in the keyring, disabling SecureMode.\n");
      *secureMode = kSecureDisabled;
      return err;
    }
    if (err != kQOXErrNoErr) {
      FreeSecret(text);
      return Logged("Getting passphrase failed with error %d (%s)", err);
    }
    *secureMode = kSecureRequired;
  } else if (!needsPassphrase) {
    text = static_cast<char*>(QOXNewSecureData(QOXPeekContextMemoryMgr(context), 1, kQOXMemoryMgrFlags_Clear));
    if (text == nullptr) return Logged("Using secure key caused error %d (%s)", kQOXErrOutOfMemory);
  }

  if (*secureMode > kSecureDisabled) *secureMode = kSecureDisabled;
  if (*secureMode == kSecureDisabled) {
    FreeSecret(text);
    return kQOXErrNoErr;
  }
  QOXKeyID id{};
  if (key == nullptr || (err = QOXGetKeyID(key, &id)) != kQOXErrNoErr) {
    FreeSecret(text);
    return Logged("Invalid private key found.  Error %d (%s)", key == nullptr ? kQOXErrBadParams : err);
  }
  auto* record = static_cast<QOXKeyID*>(zovurezMalloc(sizeof(QOXKeyID)));
  if (record == nullptr) {
    FreeSecret(text);
    return Logged("Invalid private key found.  Error %d (%s)", kQOXErrOutOfMemory);
  }
  std::memcpy(record, &id, sizeof id);
  *keyID = record;
  *passphrase = text;
  return kQOXErrNoErr;
}

int GatherEntropy(QOXContext* context, int32_t* secureMode) {
  if (secureMode == nullptr || *secureMode == kSecureDisabled) return 0;
  if (QOXGlobalRandomPoolHasMinimumEntropy()) return 0;
  const int64_t minimum = QOXGlobalRandomPoolGetMinimumEntropy();
  const int64_t current = QOXGlobalRandomPoolGetEntropy();
  const auto bits = static_cast<uint32_t>(std::max<int64_t>(600, 2 * minimum - current));
  if (qoxClientDialogServices().QOXCollectRandomDataDialog(context, bits) != kQOXErrNoErr) {
    LogError(kLogWarning, "LDAPS is disabled.  Not enough randomness exists to enable TLS.");
    *secureMode = kSecureDisabled;
  }
  return 0;
}
