// X.509 input of the decode operation (pipeline/decode_x509.h).
#include "pipeline/decode_x509.h"

#include "foundation/context.h"
#include "foundation/memory_mgr.h"
#include "foundation/option_types.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_lookup.h"
#include "keydb/key_set.h"
#include "keydb/key_set_enum.h"
#include "keydb/key_set_ops.h"
#include "keydb/x509_services.h"
#include "pipeline/io_setup.h"
#include "pipeline/pipeline.h"

namespace {

constexpr int32_t kSectionX509 = 5;
constexpr int kMaxPassphraseRounds = 16;

void FreeReply(QOXOptionListRef* reply) {
  if (*reply != nullptr && qoxOptionListIsReal(*reply)) qoxFreeOptionList(*reply);
  *reply = nullptr;
}

void FreeResult(QOXX509InputResult* r) {
  if (r->certs != nullptr) QOXFreeData(r->certs);
  if (r->crls != nullptr) QOXFreeData(r->crls);
  *r = QOXX509InputResult{};
}

// The passphrase options of a reply (18 or 19) as a one-option list, or null.
QOXOptionListRef SecretOf(QOXContext* context, QOXOptionListRef options) {
  for (QOXOptionType type : {kQOXOptionType_Passphrase, kQOXOptionType_Passkey}) {
    QOXOption o{};
    if (qoxOptionListIsReal(options) && qoxSearchOptionSingle(options, type, &o) == kQOXErrNoErr && o.type == type) {
      return qoxCreateSensitiveOptionList(context, type, reinterpret_cast<const void*>(o.value), o.valueSize);
    }
  }
  return nullptr;
}

// Imports a DER set (certificates or CRLs) into the target database.
QOXError ImportSet(QOXContext* context, QOXKeyDB* target, const uint8_t* der, size_t length, bool crls) {
  if (der == nullptr || length == 0) return kQOXErrNoErr;
  const QOXX509Services& x509 = qoxX509Services();
  QOXKeyDB* made = nullptr;
  QOXError err = crls ? x509.qoxDecodeX509CRLSet(der, length, context, target, &made)
                      : x509.qoxDecodeX509CertSet(der, length, context, target, &made);
  if (err == kQOXErrNoErr && made != nullptr) err = QOXCopyKeys(qoxKeyDBPeekRootSet(made), target, nullptr);
  if (made != nullptr) QOXFreeKeyDB(made);
  return err;
}

}  // namespace

QOXError qoxDecodeX509Input(QOXContext* context, QOXOptionListRef options, int32_t format,
                            QOXEventHandlerProcPtr handler, void* handlerArg, QOXKeyDB* keyDB,
                            const char* passphrase, size_t passphraseLength, bool passkey) {
  void* targetWord = nullptr;
  QOXError err = qoxFindOptionArgs(options, kQOXOptionType_ImportKeysTo, true, "%p", &targetWord);
  if (err != kQOXErrNoErr) return err;
  auto* target = static_cast<QOXKeyDB*>(targetWord);
  if (!qoxKeyDBIsValid(target)) return kQOXErrBadParams;
  QOXOptionListRef reply = nullptr;
  err = qoxEventBeginLex(context, &reply, handler, handlerArg, 0, 0);
  FreeReply(&reply);
  if (err == kQOXErrNoErr) err = qoxEventAnalyze(context, &reply, handler, handlerArg, kSectionX509);
  FreeReply(&reply);
  if (err != kQOXErrNoErr) return err;

  uint8_t* input = nullptr;
  size_t inputLength = 0;
  bool inputAllocated = false;
  if ((err = qoxSetupInputToBuffer(context, options, &input, &inputLength, &inputAllocated)) != kQOXErrNoErr) {
    return err;
  }
  const uint8_t* der = input;
  size_t derLength = inputLength;
  uint8_t* stripped = nullptr;
  if (format >= kQOXInputFormatX509PEMFirst && format <= kQOXInputFormatX509PEMLast) {
    err = qoxRemovePEMEncoding(context, input, inputLength, &stripped, &derLength);
    der = stripped;
  }
  QOXOptionListRef secret = nullptr;
  if (err == kQOXErrNoErr && passphrase != nullptr) {
    secret = qoxCreateSensitiveOptionList(context, passkey ? kQOXOptionType_Passkey : kQOXOptionType_Passphrase,
                                          passphrase, passphraseLength);
  }
  const bool sequences = format >= kQOXInputFormatX509DERFirst && format <= kQOXInputFormatX509DERLast;
  const QOXX509Services& x509 = qoxX509Services();
  size_t at = 0;
  while (err == kQOXErrNoErr && at < derLength) {
    size_t size = derLength - at;
    if (sequences) {
      const int64_t n = x509.qoxX509BufSizeofSequence(der + at, derLength - at);
      if (n <= 0 || static_cast<uint64_t>(n) > derLength - at) {
        err = kQOXX509ErrCodec;
        break;
      }
      size = static_cast<size_t>(n);
    }
    QOXX509InputResult result{};
    for (int round = 0;; ++round) {
      err = x509.X509InputCertificate(context, keyDB, format, der + at, size, secret, &result);
      if (err != kQOXErrBadPassphrase || round == kMaxPassphraseRounds || handler == nullptr) break;
      QOXKeySet* set = nullptr;
      if (result.needsPassphrase != nullptr && QOXNewEmptyKeySet(target, &set) == kQOXErrNoErr) {
        (void)QOXAddKey(result.needsPassphrase, set);
      }
      FreeResult(&result);
      err = qoxEventPassphrase(context, &reply, handler, handlerArg, 0, set);
      if (set != nullptr) QOXFreeKeySet(set);
      if (err != kQOXErrNoErr) break;
      if (secret != nullptr && qoxOptionListIsReal(secret)) qoxFreeOptionList(secret);
      secret = SecretOf(context, reply);
      FreeReply(&reply);
      if (secret == nullptr) {
        err = kQOXErrBadPassphrase;
        break;
      }
    }
    if (err == kQOXErrNoErr && result.signaturePresent) {
      QOXKeyID id{};
      if (result.signer != nullptr) (void)QOXGetKeyID(result.signer, &id);
      err = qoxEventSignature(context, &reply, handler, handlerArg, &id, result.signer, result.signatureChecked,
                              result.signatureVerified, false, false, false, true, 0, 0);
      FreeReply(&reply);
    }
    if (err == kQOXErrNoErr) err = ImportSet(context, target, result.certs, result.certsLength, false);
    if (err == kQOXErrNoErr) err = ImportSet(context, target, result.crls, result.crlsLength, true);
    if (err == kQOXErrNoErr) {
      const bool crl = result.crls != nullptr && result.crlsLength > 0;
      const uint8_t* out = crl ? result.crls : result.certs;
      const size_t outLength = crl ? result.crlsLength : result.certsLength;
      if (out != nullptr && outLength > 0) {
        err = qoxOutputBufferByOptionList(context, out, outLength, options, crl ? 0 : kQOXAnnPEMCertificate);
      }
    }
    FreeResult(&result);
    at += size;
    if (!sequences) break;
  }
  if (secret != nullptr && qoxOptionListIsReal(secret)) qoxFreeOptionList(secret);
  if (stripped != nullptr) QOXFreeData(stripped);
  if (inputAllocated && input != nullptr) QOXFreeData(input);
  if (err == kQOXErrNoErr) {
    err = qoxEventEndLex(context, &reply, handler, handlerArg, 0);
    FreeReply(&reply);
  }
  return err;
}
