#include "keydb/keydb_registration.h"

#include "foundation/keydb_services.h"
#include "keydb/front_end.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_files.h"
#include "keydb/key_generate.h"
#include "keydb/key_id.h"
#include "keydb/key_lookup.h"
#include "keydb/key_manage.h"
#include "keydb/key_revoke.h"
#include "keydb/key_user_ids.h"
#include "keydb/key_options.h"
#include "keydb/key_passphrase_change.h"
#include "keydb/key_set.h"
#include "keydb/obj_properties.h"
#include "keydb/sig_check_services.h"
#include "keydb/trust_propagation.h"
#include "keydb/key_accessors.h"
#include "keydb/sig_check.h"
#include "keydb/sig_check_services.h"

void qoxKeyDBRegister() {
  static QOXKeyDBServices table;
  table = qoxKeyDBServices();
  table.qoxKeyIsValid = qoxKeyIsValid;
  table.qoxSubKeyIsValid = qoxSubKeyIsValid;
  table.qoxSigIsValid = qoxSigIsValid;
  table.qoxKeyDBObjIsValid = qoxKeyDBObjIsValid;
  table.qoxKeySetIsValid = qoxKeySetIsValid;
  table.qoxKeyDBIsValid = qoxKeyDBIsValid;
  table.QOXIncKeySetRefCount = QOXIncKeySetRefCount;
  table.QOXFreeKeySet = QOXFreeKeySet;
  table.QOXIncKeyDBRefCount = QOXIncKeyDBRefCount;
  table.QOXFreeKeyDB = QOXFreeKeyDB;
  table.QOXPeekKeyDBObjContext = QOXPeekKeyDBObjContext;
  table.qoxObjectType = qoxObjectType;
  table.QOXNewKeySet = QOXNewKeySet;
  table.QOXPeekKeySetKeyDB = QOXPeekKeySetKeyDB;
  table.QOXCompareKeyIDs = QOXCompareKeyIDs;
  table.qoxNewKeyIDFromRawData = qoxNewKeyIDFromRawData;
  table.vuzizClientKeyIDText = vuzizClientKeyIDText;
  table.qoxGetKeyNumber = qoxGetKeyNumber;
  table.QOXGetKeyDBObjNumericProperty = QOXGetKeyDBObjNumericProperty;
  table.QOXGetKeyDBObjBooleanProperty = QOXGetKeyDBObjBooleanProperty;
  table.QOXPeekKeyDBObjKey = QOXPeekKeyDBObjKey;
  table.qoxKeyDBBackendUpdate = qoxKeyDBBackendUpdate;
  table.qoxSetBackendUpdateNeeded = qoxSetBackendUpdateNeeded;
  table.qoxImportKeySetInternal = qoxImportKeySetInternal;
  table.qoxExportInternal = qoxExportInternal;
  table.qoxCreateX509CertificateInternal = qoxCreateX509CertificateInternal;
  // Key maintenance that makes no signature.
  table.qoxPassphraseIsValidInternal = qoxPassphraseIsValidInternal;
  table.qoxSetKeyAxiomaticInternal = qoxSetKeyAxiomaticInternal;
  table.qoxGetKeyPasskeyBufferInternal = qoxGetKeyPasskeyBufferInternal;
  table.qoxGetSubKeyPasskeyBufferInternal = qoxGetSubKeyPasskeyBufferInternal;
  // Key maintenance that signs: revocations, added user IDs and attributes,
  // certifications.
  table.qoxRevokeKeyInternal = qoxRevokeKeyInternal;
  table.qoxRevokeSubKeyInternal = qoxRevokeSubKeyInternal;
  table.qoxRevokeSigInternal = qoxRevokeSigInternal;
  table.qoxAddUserIDInternal = qoxAddUserIDInternal;
  table.qoxAddAttributeInternal = qoxAddAttributeInternal;
  table.qoxCertifyUserIDInternal = qoxCertifyUserIDInternal;
  // Passphrase changes.
  table.qoxChangePassphraseInternal = qoxChangePassphraseInternal;
  table.qoxChangeSubKeyPassphraseInternal = qoxChangeSubKeyPassphraseInternal;
  // Renewed self-signatures and the primary user ID.
  table.qoxUpdateKeyOptionsInternal = qoxUpdateKeyOptionsInternal;
  table.qoxAddKeyOptionsInternal = qoxAddKeyOptionsInternal;
  table.qoxCertifyPrimaryUserIDInternal = qoxCertifyPrimaryUserIDInternal;
  // Key generation.
  table.qoxGenerateKeyInternal = qoxGenerateKeyInternal;
  table.qoxGenerateSubKeyInternal = qoxGenerateSubKeyInternal;
  table.qoxKeyEntropyNeededInternal = qoxKeyEntropyNeededInternal;
  qoxRegisterKeyDBServices(&table);

  // Signature checking (the check of one signature) and trust propagation.
  static QOXSigCheckServices sigCheck;
  sigCheck = qoxSigCheckServices();
  sigCheck.qoxCheckOneSig = qoxCheckOneSig;
  sigCheck.QOXCalculateTrust = QOXCalculateTrust;
  // The ring flush's and the ring opener's checks, without progress events.
  sigCheck.qoxCheckKeyRingSigs_internal = [](QOXKeySet* set, QOXKeyDB* other, bool checkAll, QOXKeySet* changed) {
    return qoxCheckKeyRingSigs_internal(set, other, checkAll, nullptr, nullptr, changed);
  };
  sigCheck.qoxPropagateTrustInternal = qoxPropagateTrustInternal;
  qoxRegisterSigCheckServices(&sigCheck);
}
