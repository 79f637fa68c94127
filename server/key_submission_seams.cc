// Key submission's stand-ins: what each member of VuzizKeySubmissionServices
// (server/key_submission_services.h) answers while key submission has not
// registered it. They answer as a server without keys may: no policy keys,
// no replication, no TLS key (secure mode switched off with a warning), no
// key accepted.
#include <sys/stat.h>

#include "foundation/sdk_errors.h"
#include "foundation/service_table.h"
#include "server/error_log.h"
#include "server/key_submission_services.h"
#include "server/result.h"

namespace {

// 0: no policy key databases are built; every policy list stays empty.
QOXError InitPolicy(QOXContext*, Backend*) { return kQOXErrNoErr; }

// 0: no replication log is prepared.
int InitRepLog(Backend*) { return 0; }

// Nothing to free.
void ReleaseRepLog() {}

// Checks only that the named file exists: 0, or -12000 with its message.
// No seed file is set.
QOXError SetRandSeedFile(QOXContext*, const char*, const char* path) {
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

// 0 with *supported 0: no algorithm is known to be offered.
QOXError IsRSASupported(uint8_t* supported) {
  if (supported == nullptr) return kQOXErrBadParams;
  *supported = 0;
  return kQOXErrNoErr;
}

// The key rings hold no secret key: the no-secret-key path. With secure mode
// already 2, 0; else a warning, secure mode 2 and kQOXErrNoSecretKeyFound.
QOXError GetPrivateKey(QOXContext*, const QOXKeyID*, QOXKeyDB*, int, int32_t* secureMode, int, int, const char*,
                       QOXKeyID**, char**) {
  if (secureMode == nullptr) return kQOXErrBadParams;
  if (*secureMode == 2) return kQOXErrNoErr;
  LogError(kLogWarning, "No secret key was found for the secure server.  LDAPS is disabled.");
  *secureMode = 2;
  return kQOXErrNoSecretKeyFound;
}

// 0: reached only with secure mode already switched off by GetPrivateKey.
int GatherEntropy(QOXContext*, int32_t*) { return 0; }

// kQOXErrFeatureNotAvailable: the destination stays as it is; no keys move.
QOXError TransferKeys(QOXContext*, QOXContext*, QOXKeyDB*, int, QOXKeyDB**) { return kQOXErrFeatureNotAvailable; }

// Key submissions are not accepted: refused with 53 "Function not
// implemented".
void do_add(Connection* conn, Operation* op) {
  send_ldap_result(conn, op, kLdapUnwillingToPerform, nullptr, "Function not implemented");
}

// Nothing is written: no replication log.
void qoxRepLog(Backend*, Connection*, int, const char*, Entry*, int) {}

// kQOXErrFeatureNotAvailable with the database null, so a stored key reads as one that cannot be
// imported (GetCertObject gives 89).
QOXError TransferKeysFromAAKeyBlock(QOXContext*, const uint8_t*, size_t, QOXKeyDB** keyDB) {
  if (keyDB != nullptr) *keyDB = nullptr;
  return kQOXErrFeatureNotAvailable;
}

// 0: no stored reconstruction data can be opened.
int qoxVerifyKeyReconstructruct(QOXContext*, const uint8_t*, size_t, const char*, const char*) { return 0; }

constexpr VuzizKeySubmissionServices kStandIns = {
    .InitPolicy = InitPolicy,
    .InitRepLog = InitRepLog,
    .ReleaseRepLog = ReleaseRepLog,
    .SetRandSeedFile = SetRandSeedFile,
    .IsRSASupported = IsRSASupported,
    .GetPrivateKey = GetPrivateKey,
    .GatherEntropy = GatherEntropy,
    .TransferKeys = TransferKeys,
    .do_add = do_add,
    .qoxRepLog = qoxRepLog,
    .TransferKeysFromAAKeyBlock = TransferKeysFromAAKeyBlock,
    .qoxVerifyKeyReconstructruct = qoxVerifyKeyReconstructruct,
};

constinit QOXServiceSlot<VuzizKeySubmissionServices> gSlot{&kStandIns};

}  // namespace

const VuzizKeySubmissionServices& vuzizKeySubmissionServices() { return gSlot.get(); }

const VuzizKeySubmissionServices* vuzizRegisterKeySubmissionServices(const VuzizKeySubmissionServices* table) {
  return gSlot.install(table);
}
