#include "keyservice/key_submission_registration.h"

#include "keyservice/key_submission.h"
#include "keyservice/key_transfer.h"
#include "keyservice/policy_init.h"
#include "keyservice/reconstruction.h"
#include "keyservice/replication_log.h"
#include "keyservice/start_up_services.h"
#include "keyservice/tls_server_key.h"
#include "server/key_submission_services.h"

void KeySubmissionRegister() {
  // The members not built here keep what is in force (the stand-ins).
  static VuzizKeySubmissionServices table;
  table = vuzizKeySubmissionServices();
  table.InitPolicy = InitPolicy;
  table.TransferKeys = TransferKeys;
  table.TransferKeysFromAAKeyBlock = TransferKeysFromAAKeyBlock;
  table.SetRandSeedFile = SetRandSeedFile;
  table.IsRSASupported = IsRSASupported;
  table.GetPrivateKey = GetPrivateKey;
  table.GatherEntropy = GatherEntropy;
  table.InitRepLog = InitRepLog;
  table.ReleaseRepLog = ReleaseRepLog;
  table.qoxRepLog = qoxRepLog;
  table.qoxVerifyKeyReconstructruct = qoxVerifyKeyReconstructruct;
  table.do_add = do_add;
  vuzizRegisterKeySubmissionServices(&table);
}
