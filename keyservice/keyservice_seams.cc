// Seams: calls of the daemon's start-up whose real code comes with key
// submission and policy (and, for QOXNewKeyIDFromString, the key database).
// Each answers as a server without keys may: no policy keys, no replication,
// no TLS key (secure mode switched off with a warning). Whoever lands the
// real code deletes the matching block in the same commit.
#include <sys/stat.h>

#include <cstring>

#include "foundation/features.h"
#include "foundation/sdk_errors.h"
#include "keyservice/server_services.h"
#include "server/error_log.h"

// --- seam: InitPolicy (key submission and policy) ---
// No policy key databases are built: every policy list stays empty.
QOXError InitPolicy(QOXContext* /*context*/, Backend* /*be*/) { return kQOXErrNoErr; }

// --- seam: InitRepLog / ReleaseRepLog (replication log) ---
int InitRepLog(Backend* /*be*/) { return 0; }
void ReleaseRepLog() {}

// --- seam: TransferKeys (key-set utilities) ---
// The destination stays as it is; no keys move.
QOXError TransferKeys(QOXContext* /*source*/, QOXContext* /*dest*/, QOXKeyDB* /*sourceDB*/,
                      int /*includePrivate*/, QOXKeyDB** /*destDB*/) {
  return kQOXErrFeatureNotAvailable;
}

// --- seam: SetRandSeedFile (random seed file) ---
QOXError SetRandSeedFile(QOXContext* /*context*/, const char* /*startDirectory*/, const char* path) {
  if (path == nullptr) return kQOXErrNoErr;
  struct stat st {};
  if (stat(path, &st) != 0) {
    char text[256];
    QOXGetErrorString(kQOXErrBadParams, sizeof text, text);
    LogError(kLogError, "Setting the QOX random seed file (%s) failed with error %d (%s)", path,
             kQOXErrBadParams, text);
    return kQOXErrBadParams;
  }
  return kQOXErrNoErr;
}

// --- seam: GatherEntropy (random pool dialog) ---
// Reached only with secure mode already switched off by GetPrivateKey.
int GatherEntropy(QOXContext* /*context*/, int32_t* /*secureMode*/) { return 0; }

// --- seam: IsRSASupported (asks the toolkit's algorithm table) ---
QOXError IsRSASupported(uint8_t* supported) {
  if (supported == nullptr) return kQOXErrBadParams;
  *supported = 0;
  uint32_t count = 0;
  QOXError err = QOXCountPublicKeyAlgorithms(&count);
  if (err != kQOXErrNoErr) return err;
  for (uint32_t i = 0; i < count; ++i) {
    QOXPublicKeyAlgorithmInfo info;
    err = QOXGetIndexedPublicKeyAlgorithmInfo(i, &info);
    if (err != kQOXErrNoErr) return err;
    if (info.algorithm == 1 && (info.canEncrypt || info.canSign)) *supported = 1;
  }
  return kQOXErrNoErr;
}

// --- seam: qoxVerifyKeyReconstructruct (key reconstruction) ---
// No stored reconstruction data can be opened yet.
int qoxVerifyKeyReconstructruct(QOXContext* /*context*/, const uint8_t* /*data*/, size_t /*length*/,
                                const char* /*bindDN*/, const char* /*password*/) {
  return 0;
}

// --- seam: GetPrivateKey (server TLS key) ---
// The key rings hold no secret key yet: the no-secret-key path.
QOXError GetPrivateKey(QOXContext* /*context*/, const QOXKeyID* /*wanted*/, QOXKeyDB* /*tlsKeyDB*/,
                       int /*noPrompt*/, int32_t* secureMode, int /*reserved1*/, int /*reserved2*/,
                       const char* /*prompt*/, QOXKeyID** /*keyID*/, char** /*passphrase*/) {
  if (secureMode == nullptr) return kQOXErrBadParams;
  if (*secureMode == 2) return kQOXErrNoErr;
  LogError(kLogWarning, "No secret key was found for the secure server.  LDAPS is disabled.");
  *secureMode = 2;
  return kQOXErrNoSecretKeyFound;
}

// --- seam: QOXNewKeyIDFromString (key database) ---
QOXError QOXNewKeyIDFromString(const char* text, int algorithm, QOXKeyID* outKeyID) {
  if (text == nullptr || outKeyID == nullptr) return kQOXErrBadParams;
  memset(outKeyID, 0, sizeof *outKeyID);
  size_t len = strlen(text);
  if (len != 10 && len != 18) return kQOXErrBadParams;
  if (text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return kQOXErrBadParams;
  uint8_t bytes[8];
  size_t n = (len - 2) / 2;
  for (size_t i = 0; i < n; ++i) {
    int v = 0;
    for (int k = 0; k < 2; ++k) {
      char c = text[2 + 2 * i + static_cast<size_t>(k)];
      int d = (c >= '0' && c <= '9') ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (d < 0) return kQOXErrBadParams;
      v = v * 16 + d;
    }
    bytes[i] = static_cast<uint8_t>(v);
  }
  outKeyID->valid = 1;
  outKeyID->length = static_cast<uint8_t>(n);
  outKeyID->algorithm = static_cast<uint8_t>(algorithm);
  memcpy(outKeyID->bytes, bytes, n);
  return kQOXErrNoErr;
}
