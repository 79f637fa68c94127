// Import of keys: native input through the message decoder, X.509 input
// through the X.509 bridge.
#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/option_list.h"
#include "foundation/option_types.h"
#include "foundation/pipeline_services.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_files.h"
#include "keydb/key_set.h"
#include "keydb/key_set_ops.h"
#include "keydb/x509_services.h"

namespace {

constexpr QOXOptionType kImportOptions[] = {
    kQOXOptionType_InputFileRef, kQOXOptionType_LocalEncoding,   kQOXOptionType_InputBuffer,
    kQOXOptionType_EventHandler, kQOXOptionType_SendNullEvents,  kQOXOptionType_InputFormat,
    kQOXOptionType_Passphrase,   kQOXOptionType_CachePassphrase, kQOXOptionType_X509Encoding,
    kQOXOptionType_KeyDBRef,
};

constexpr int32_t kX509FormatFirst = 10000;
constexpr int32_t kPEMFirst = 10006;
constexpr int32_t kPEMLast = 10011;
constexpr int32_t kPKCS8Key = 10012;
constexpr int32_t kPKCS12Bundle = 10013;

QOXError FindValue(QOXOptionListRef list, QOXOptionType type, bool* outFound, uintptr_t* outValue,
                   size_t* outSize = nullptr) {
  QOXOption option{};
  const QOXError err = qoxSearchOptionSingle(list, type, &option);
  *outFound = err == kQOXErrNoErr && option.type != 0;
  *outValue = option.value;
  if (outSize != nullptr) *outSize = option.valueSize;
  return err;
}

// Frees a buffer made here (context memory), never the caller's input.
struct Owned {
  uint8_t* bytes = nullptr;
  size_t length = 0;
  bool allocated = false;
  ~Owned() {
    if (allocated && bytes != nullptr) QOXFreeData(bytes);
  }
};

QOXError sImportX509Certificate(QOXContext* context, QOXKeyDB** outKeyDB, int32_t format, QOXOptionListRef list) {
  const QOXX509Services& x509 = qoxX509Services();
  Owned input;
  if (QOXError err = qoxPipelineServices().qoxSetupInputToBuffer(context, list, &input.bytes, &input.length,
                                                                 &input.allocated);
      err != kQOXErrNoErr)
    return err;
  bool found = false;
  uintptr_t value = 0;
  if (QOXError err = FindValue(list, kQOXOptionType_KeyDBRef, &found, &value); err != kQOXErrNoErr) return err;
  QOXKeyDB* reference = found ? reinterpret_cast<QOXKeyDB*>(value) : nullptr;
  QOXKeyDB* db = nullptr;
  if (format != kPKCS8Key && format != kPKCS12Bundle) {
    Owned der;
    const uint8_t* bytes = input.bytes;
    size_t length = input.length;
    if (format >= kPEMFirst && format <= kPEMLast) {
      if (QOXError err = qoxPipelineServices().qoxRemovePEMEncoding(context, input.bytes, input.length, &der.bytes,
                                                                    &der.length);
          err != kQOXErrNoErr)
        return err;
      der.allocated = true;
      bytes = der.bytes;
      length = der.length;
    }
    if (QOXError err = x509.qoxDecodeX509Cert(bytes, length, context, reference, &db); err != kQOXErrNoErr) {
      if (db != nullptr) QOXFreeKeyDB(db);
      return err;
    }
    *outKeyDB = db;
    return kQOXErrNoErr;
  }
  // A PKCS #8 key, or a PKCS #12 bundle of one with its certificates.
  Owned key, certs;
  const uint8_t* keyBytes = input.bytes;
  size_t keyLength = input.length;
  uintptr_t passphrase = 0;
  size_t passphraseLength = 0;
  if (format == kPKCS12Bundle) {
    if (QOXError err = FindValue(list, kQOXOptionType_Passphrase, &found, &passphrase, &passphraseLength);
        err != kQOXErrNoErr)
      return err;
    if (!found) return kQOXErrOptionNotFound;
    if (QOXError err = x509.PKCS12InputKey(context, input.bytes, input.length,
                                           reinterpret_cast<const uint8_t*>(passphrase), passphraseLength,
                                           &key.bytes, &key.length, &certs.bytes, &certs.length);
        err != kQOXErrNoErr)
      return err;
    key.allocated = certs.allocated = true;
    keyBytes = key.bytes;
    keyLength = key.length;
  }
  QOXError err = kQOXErrNoErr;
  if (certs.bytes != nullptr && certs.length != 0) {
    err = x509.qoxDecodeX509CertSet(certs.bytes, certs.length, context, reference, &db);
    if (err == kQOXErrNoErr) reference = db;
  }
  if (err == kQOXErrNoErr) {
    if (db == nullptr) {
      err = x509.qoxDecodePCKS8(keyBytes, keyLength, context, reference, &db);
    } else {
      QOXKeyDB* second = nullptr;
      err = x509.qoxDecodePCKS8(keyBytes, keyLength, context, reference, &second);
      if (err == kQOXErrNoErr) err = QOXCopyKeys(qoxKeyDBPeekRootSet(second), db, nullptr);
      if (second != nullptr) QOXFreeKeyDB(second);
    }
  }
  // The bundle's passphrase is to protect the imported secret key; key
  // passphrase changes are not available here, so the key is not handed
  // out unprotected.
  if (err == kQOXErrNoErr && format == kPKCS12Bundle) err = kQOXErrFeatureNotAvailable;
  if (err != kQOXErrNoErr) {
    if (db != nullptr) QOXFreeKeyDB(db);
    return err;
  }
  *outKeyDB = db;
  return kQOXErrNoErr;
}

}  // namespace

QOXError qoxImportKeySetInternal(QOXContext* context, QOXKeyDB** outKeyDB, QOXOptionListRef list) {
  if (outKeyDB != nullptr) *outKeyDB = nullptr;
  QOXError err = outKeyDB == nullptr || !qoxContextIsValid(context) ? kQOXErrBadParams : kQOXErrNoErr;
  if (err == kQOXErrNoErr) err = qoxCheckOptionsInSet(list, kImportOptions, std::size(kImportOptions));
  bool formatFound = false, x509Found = false;
  uintptr_t format = 0, x509 = 0;
  if (err == kQOXErrNoErr) err = FindValue(list, kQOXOptionType_InputFormat, &formatFound, &format);
  if (err == kQOXErrNoErr) err = FindValue(list, kQOXOptionType_X509Encoding, &x509Found, &x509);
  if (err != kQOXErrNoErr) {
    qoxFreeOptionList(list);
    return err;
  }
  const auto inputFormat = static_cast<int32_t>(format);
  if (inputFormat >= kX509FormatFirst || x509Found) {
    err = sImportX509Certificate(context, outKeyDB, inputFormat, list);
    qoxFreeOptionList(list);
    return err;
  }
  // Native input: the decoder puts the keys it meets into a new database
  // and discards the rest of its output; it takes the list.
  QOXKeyDB* db = nullptr;
  if ((err = QOXNewKeyDB(context, &db)) != kQOXErrNoErr) {
    qoxFreeOptionList(list);
    return err;
  }
  err = qoxAppendOptionListArgs(list, QOXODiscardOutput(context, true), QOXOImportKeysTo(context, db),
                                kQOXEndOfOptionList);
  if (err == kQOXErrNoErr) err = qoxPipelineServices().qoxDecodeInternal(context, list);
  qoxFreeOptionList(list);
  if (err != kQOXErrNoErr) {
    QOXFreeKeyDB(db);
    return err;
  }
  *outKeyDB = db;
  return kQOXErrNoErr;
}
