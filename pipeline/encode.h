// The encode operation: one job described by an option list reads an input
// (buffer or file), encrypts it to recipient keys and/or with a passphrase,
// signs it (inline, clear-signed or detached), compresses and armors it as
// the options ask, and writes the result to a buffer or a file, reporting
// progress and decisions to the caller's event handler.
//
//   qoxEncodeInternal              the whole job (behind QOXEncode and the
//                                  key export); the list stays the caller's.
//   qoxMakeEnvFromOptionList       the options written into the job's
//                                  private environment at priority 25.
//   qoxSetupConventionalEncryption the passphrase of option 17.
//   qoxSetupPublicKeyEncryption    the recipients of options 13 and 14,
//                                  checked against the validity thresholds.
//   qoxCheckPreferredAlgorithms /  the cipher every recipient accepts, by
//   qoxSetPreferredAlgorithm       their preference lists and option 52.
//   qoxSetupSigning                the signature settings of option 16.
//
// The chain itself comes from the encrypt pipeline builder
// (pipeline/encrypt_pipeline.h); the input and output from
// pipeline/io_setup.h. An output format above 9999 (option 67) makes the
// job an X.509 certificate request through the X.509 key bridge.
//
// A failed job leaves no trace in a named output file: an output file the
// job created or truncated is deleted, one it appended to is cut back to its
// earlier length, and a file the job never opened is left alone.
//
// Threads: a job works on its own chain and its own copy of the context's
// environment; jobs in different contexts may run at once.
#ifndef OSTRAK_PIPELINE_ENCODE_H_
#define OSTRAK_PIPELINE_ENCODE_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/option_list.h"

struct QOXContext;
struct QOXEnv;
struct QOXKeyDBObj;
struct QOXKeySet;
struct QOXSigSpec;

QOXError qoxEncodeInternal(QOXContext* context, QOXOptionListRef options);

QOXError qoxMakeEnvFromOptionList(QOXOptionListRef options, QOXEnv* env);

// The conventional-encryption record: two reserved words, the passphrase
// copy (context memory, wiped before it is freed) and its length.
struct QOXConvEncryption {
  uintptr_t reserved[2];
  char* passphrase;
  size_t passphraseLength;
};
// Option 17 absent: *out null. Its nested list must hold option 18
// (kQOXErrMissingPassphrase); an empty passphrase is kQOXErrBadParams.
QOXError qoxSetupConventionalEncryption(QOXContext* context, QOXOptionListRef options, QOXConvEncryption** out);
void qoxFreeConventionalEncryption(QOXContext* context, QOXConvEncryption* record);

// The cipher vote: for each cipher number 1 to 11, how many voters accept
// it and the sum of its positions in their lists.
inline constexpr int32_t kQOXLastVotedCipher = 11;
struct QOXPreferenceTally {
  uint32_t count[kQOXLastVotedCipher + 1];
  uint32_t positionSum[kQOXLastVotedCipher + 1];
  uint32_t voters;
};
// One recipient's vote: in FIPS mode [2]; else its preferred-algorithms
// subpacket, or [1] for a version-3 key and [3, 1, 2] for any other.
QOXError qoxCheckPreferredAlgorithms(QOXPreferenceTally* tally, QOXKeyDBObj* key);
// Adds the caller's list (option 52), chooses, and writes the choice to
// environment integer 1003 at priority 25.
QOXError qoxSetPreferredAlgorithm(QOXOptionListRef options, QOXPreferenceTally* tally, QOXEnv* env);

// The recipients of options 13 and 14, each checked (revoked, disabled,
// expired, below the fail threshold: the job ends; below the warn
// threshold: one Warning event with kQOXErrKeyValidityLowOrNone), able to
// encrypt (kQOXErrKeyCannotEncrypt), and voting on the cipher. *out is null
// without recipients; the caller frees the set (QOXFreeKeySet) and, when
// *outPrivateDB is set, that database (QOXFreeKeyDB) after it.
QOXError qoxSetupPublicKeyEncryption(QOXContext* context, QOXOptionListRef options, QOXEnv* env, QOXKeySet** out,
                                     struct QOXKeyDB** outPrivateDB);

// The signature settings of option 16 (null without it); the key must be
// valid (kQOXErrBadParams), able to sign (kQOXErrKeyCannotSign), pass the
// validity thresholds and, when locked, accept the passphrase of the
// option's nested list (kQOXErrBadPassphrase). A detached signature needs a
// signer and no encryption (kQOXErrBadParams).
QOXError qoxSetupSigning(QOXContext* context, QOXOptionListRef options, bool encrypting, QOXEnv* env,
                         bool binaryData, bool detached, QOXSigSpec** out);

#endif  // OSTRAK_PIPELINE_ENCODE_H_
