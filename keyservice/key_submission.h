// The server's LDAP Add handler and the key-submission road behind it.
//
// do_add reads an AddRequest into an entry and sends it by its DN:
//   "qoxCertID=virtual,OU=ACTIVE,O=QOX KEYSPACE,C=US" (any case and
//     spacing): key submission (HandleAddRequest). The entry itself is never
//     stored; it keeps only the key attribute (the first qoxkey, qoxkeyv2 or
//     qoxrequest) and, with AcceptReconstructionData on, qoxrecondata with
//     the two attributes derived from it (qoxreconprompts,
//     qoxreconhashrepetitions). Every other attribute the client sent is
//     dropped, so a client cannot set qoxdisabled, qoxkeyid or a password.
//   the group entry and the two client preference entries: stored with
//     replacement once VerifyAdminUpdate passes.
//   any other DN: stored as sent, without replacement.
// A qoxrecondata value shorter than its fixed part (518 bytes) is refused
// with result 2.
//
// HandleAddRequest takes a plain key block (qoxkey, qoxkeyv2) or a signed
// request (qoxrequest, keyservice/signed_request.h). A signed ADD counts as
// signed when it verifies against the connection's add-signer keys
// (Connection::keyDBs[1]) or against the key the server holds in the active
// space for its signer; a DELETE or DISABLE when it verifies against the
// delete-signer keys (keyDBs[2]), or, with the owner rule ("Allow keyid self
// delete"), against the one key it names; over TLS with a client key that
// key decides instead. Key blocks go to CreateAddKeyEntries
// (keyservice/key_entries.h).
//
// Results sent are LDAP result codes only. Toolkit codes never reach the
// client: kQOXErrItemNotFound from a signer look-up means "not signed"; the
// key-database service failure (-11939) gives 82; any other toolkit code is
// logged and gives 21 when decoding or importing failed, else 1.
//
// Access log: a key add leaves the certificate ID in keyID1 and the signer's
// ID in keyID2; a signed delete or disable (type 128) the signer in keyID1
// and the key IDs as the object text.
//
// Thread safety: runs on the connection's thread in its own toolkit context
// and key databases; ServerState's settings are only read.
#ifndef OSTRAK_KEYSERVICE_KEY_SUBMISSION_H_
#define OSTRAK_KEYSERVICE_KEY_SUBMISSION_H_

#include <cstddef>

struct Backend;
struct Connection;
struct Entry;
struct Operation;

// The LDAP Add handler: always sends exactly one result.
void do_add(Connection* conn, Operation* op);

// What HandleAddRequest leaves for do_add.
struct AddRequestOutcome {
  int kind = 0;                 // kRequestAdd, kRequestDelete, kRequestDisable
  int location = 0;             // kLocationPending, kLocationActive; 0 for a plain key block
  char* keyIDs = nullptr;       // kKeyIDSlotSize-byte slots (server allocator; the caller frees)
  size_t keyIDCount = 0;
  bool isSigned = false;
  bool active = true;           // the key passed the policy
  const char* message = nullptr;  // constant text for the client, or null
  char certID[17] = {};         // the added key's certificate ID, or empty
};

// Runs the key road over entry 0 of *entries (its DN already dropped);
// built entries are appended. signedText receives a copy of a signed ADD's
// request value (for the replication record). The LDAP result; 0 on
// success.
int HandleAddRequest(Entry*** entries, int* entryCount, int* entryCapacity, Backend* be, Connection* conn,
                     Operation* op, AddRequestOutcome* outcome, char** signedText, size_t* signedTextLength);

// Deletes (deleteKeys) or disables the keys named by the slots under the
// location's base. 0 when every key succeeded; else the first failure's
// LDAP result (90 when a DN cannot be made) and, in *message (server
// allocator; the caller frees), "Keys not deleted: " or "Keys not
// disabled: " followed by each failed ID and a blank. No key IDs: 2 and no
// message.
int HandleKeyDelete(Backend* be, Connection* conn, Operation* op, Entry* request, const char* keyIDs, size_t count,
                    bool deleteKeys, int location, char** message);

#endif  // OSTRAK_KEYSERVICE_KEY_SUBMISSION_H_
