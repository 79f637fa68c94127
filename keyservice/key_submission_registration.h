// Registers key submission's functions with the layers below it: the
// members of the key-submission table (server/key_submission_services.h)
// that are built: InitPolicy (keyservice/policy_init.h), TransferKeys and
// TransferKeysFromAAKeyBlock (keyservice/key_transfer.h), SetRandSeedFile
// and IsRSASupported (keyservice/start_up_services.h), GetPrivateKey and
// GatherEntropy (keyservice/tls_server_key.h), InitRepLog, ReleaseRepLog
// and qoxRepLog (keyservice/replication_log.h), qoxVerifyKeyReconstructruct
// (keyservice/reconstruction.h), do_add (keyservice/key_submission.h). The
// other members keep the table's
// stand-ins. Called once by the program's wiring (server/main/wiring.h)
// before the daemon starts.
#ifndef OSTRAK_KEYSERVICE_KEY_SUBMISSION_REGISTRATION_H_
#define OSTRAK_KEYSERVICE_KEY_SUBMISSION_REGISTRATION_H_

void KeySubmissionRegister();

#endif  // OSTRAK_KEYSERVICE_KEY_SUBMISSION_REGISTRATION_H_
