// Signer records of a user ID: who signed it, as the acceptance policy and
// the entry builder read them.
//
// Thread safety: the key database's (one context's thread at a time).
#ifndef OSTRAK_KEYSERVICE_SIGNER_RECORDS_H_
#define OSTRAK_KEYSERVICE_SIGNER_RECORDS_H_

#include <vector>

#include "foundation/errors.h"

struct QOXKeyDBObj;
struct QOXKeyIter;
struct QOXKeyID;

// 17 bytes: a marker ('-' the signature has a revocation, 'x' expired, '+'
// otherwise) and the signer's key ID as 16 upper-case hexadecimal digits.
struct SignerRecord {
  char marker;
  char keyID[16];
};
static_assert(sizeof(SignerRecord) == 17);

// Walks the signatures on the iterator's current user ID. With check, a
// corrupt signature, or a verified one that has a revocation it does not
// carry, fails the call with -11494; with strict, signatures not both tried
// and verified, and expired ones, are passed over. Non-exportable
// signatures are deleted from the key and not listed. 0 with the records,
// or the code with none.
QOXError GetSigIDsOfUserID(QOXKeyIter* iter, bool check, bool strict, std::vector<SignerRecord>* records);

// The 16 digits (upper case, no "0x") of a key ID of 8 bytes into out, with
// no terminator; false for another key ID.
bool FormatKeyID16(const QOXKeyID& keyID, char out[16]);

// The signer's key ID of a signature (its data property 1600): 0 or the
// toolkit's code.
QOXError GetSignerID(QOXKeyDBObj* sig, QOXKeyID* keyID);

#endif  // OSTRAK_KEYSERVICE_SIGNER_RECORDS_H_
