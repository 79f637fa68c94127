// Locks the first key of a key-ring pair (a secret one) with a passphrase through
// the toolkit's own passphrase change, and writes the rings back. The
// daemon's dialog tests use it to make a passphrase-protected server key
// from gpg's unprotected export (gpg's own protected keys carry a usage
// byte RFC 2440 keys do not have).
//
// Usage: lock_server_key <public ring> <secret ring> <passphrase>
// Exit status 0 when the rings were written, 3 when the toolkit has no
// passphrase change, 1 otherwise (with the reason on standard error).
#include <cstdio>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/file_spec.h"
#include "foundation/sdk/option_constructors.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_files.h"
#include "keydb/key_set.h"
#include "keydb/obj_properties.h"
#include "keydb/ring_files.h"
#include "server/main/wiring.h"

namespace {

int Fail(const char* what, QOXError err) {
  char text[256] = {};
  QOXGetErrorString(err, sizeof text, text);
  std::fprintf(stderr, "lock_server_key: %s failed with error %d (%s)\n", what, err, text);
  return 1;
}

// The first key of the rings when its secret part is there (the rings of
// the tests hold one key).
QOXKeyDBObj* FirstSecretKey(QOXKeySet* set) {
  QOXKeyDBObj* key = qoxFirstKeyInKeySet(set);
  bool secret = false;
  if (key == nullptr ||
      QOXGetKeyDBObjBooleanProperty(key, static_cast<int32_t>(KeyDBObjProperty::KeyIsSecret), &secret) !=
          kQOXErrNoErr)
    return nullptr;
  return secret ? key : nullptr;
}

int Lock(QOXContext* context, const char* publicRing, const char* secretRing, const char* passphrase) {
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(context);
  PFLFileSpec* pub = nullptr;
  PFLFileSpec* sec = nullptr;
  QOXError err = PFLNewFileSpecFromFullPath(mgr, publicRing, &pub);
  if (err == kQOXErrNoErr) err = PFLNewFileSpecFromFullPath(mgr, secretRing, &sec);
  QOXKeyDB* db = nullptr;
  if (err == kQOXErrNoErr) err = QOXOpenKeyDBFile(context, kQOXKeyDBOpen_Mutable, pub, sec, &db);
  if (pub != nullptr) PFLFreeFileSpec(pub);
  if (sec != nullptr) PFLFreeFileSpec(sec);
  if (err != kQOXErrNoErr) return Fail("opening the rings", err);

  int status = 1;
  QOXKeySet* set = nullptr;
  if ((err = QOXNewKeySet(db, &set)) != kQOXErrNoErr) {
    status = Fail("making the key set", err);
  } else if (QOXKeyDBObj* key = FirstSecretKey(set); key == nullptr) {
    status = Fail("finding a secret key", kQOXErrNoSecretKeyFound);
  } else if ((err = QOXChangePassphrase(key, QOXOPassphrase(context, ""), QOXOPassphrase(context, passphrase),
                                        QOXOLastOption(context))) != kQOXErrNoErr) {
    status = Fail("changing the passphrase", err);
    if (err == kQOXErrFeatureNotAvailable) status = 3;
  } else if ((err = QOXFlushKeyDB(db)) != kQOXErrNoErr) {
    status = Fail("writing the rings", err);
  } else {
    status = 0;
  }
  if (set != nullptr) QOXFreeKeySet(set);
  QOXFreeKeyDB(db);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <public ring> <secret ring> <passphrase>\n", argv[0]);
    return 2;
  }
  ostrakWire();
  if (QOXsdkInit(kQOXsdkInitNoBackEnd) != kQOXErrNoErr) return Fail("starting the toolkit", kQOXErrBadParams);
  QOXContext* context = nullptr;
  QOXError err = QOXNewContext(kQOXAPIVersion, &context);
  if (err != kQOXErrNoErr) return Fail("making a context", err);
  int status = Lock(context, argv[1], argv[2], argv[3]);
  QOXFreeContext(context);
  return status;
}
