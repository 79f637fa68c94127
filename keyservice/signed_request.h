// Signed requests: the text a key-server client sends as the value of
// qoxrequest to add a key, or to delete or disable keys, and the check of
// its signature.
//
// Request text (lines end in LF, CR or CR LF; trailing white space is not
// part of a line; a line keeps at most 255 characters, the rest of a longer
// line is skipped):
//   1. any lines, then the clear-signed message header line
//      "-----BEGIN PGP SIGNED MESSAGE-----" (exactly), then its armor headers
//      up to an empty line. Required when the text must be signed; without
//      it the whole text is read as an unsigned request.
//   2. header lines up to an empty line, each one of "REQUEST: ADD",
//      "REQUEST: DELETE", "REQUEST: DISABLE", "LOCATION: PENDING",
//      "LOCATION: ACTIVE" (any case), each kind and location at most once;
//      no location means ACTIVE.
//   3. ADD: a key block whose armor header and tail lines carry the armor
//      line from their third character on ("- " in a clear-signed text).
//      The block handed on runs from the header's third character through
//      the tail line, without the two characters in front of the tail.
//   4. DELETE, DISABLE: lines of "0x" and 16 hexadecimal digits up to an
//      empty line or the end of the text.
//   5. In a signed text, the signature block follows the signed text.
//
// The signed part: the signed text runs from the line after the armor
// headers up to the first line that begins with '-' without being
// dash-escaped ("- "); that line must open the signature block
// ("-----BEGIN PGP SIGNATURE-----"), which ends at its end line
// ("-----END PGP SIGNATURE-----"). The request must lie wholly inside the
// signed text, and only the span from the message header line through the
// signature block's end line is handed to the decoder: text before or after
// it (another signed message, a forged request) never counts as signed.
//
// Memory: the key block and the key-ID array come from the server allocator
// (zovurezMalloc); the caller frees them with zovurezFree.
//
// Thread safety: re-entrant; each call works on its arguments (and, for
// VerifyCertRequest, on the caller's toolkit context).
#ifndef OSTRAK_KEYSERVICE_SIGNED_REQUEST_H_
#define OSTRAK_KEYSERVICE_SIGNED_REQUEST_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXEvent;
struct QOXKeyDB;

inline constexpr int kRequestAdd = 1;
inline constexpr int kRequestDelete = 2;
inline constexpr int kRequestDisable = 3;
inline constexpr int kLocationPending = 1;
inline constexpr int kLocationActive = 2;

// A key-ID slot: "0x", 16 digits and a NUL.
inline constexpr size_t kKeyIDSlotSize = 19;
// The longest line kept (the buffer of GetLine holds one more byte).
inline constexpr size_t kRequestLineMax = 255;

// What ProcessReqBuffer found.
struct ParsedRequest {
  int kind = 0;                 // kRequestAdd, kRequestDelete, kRequestDisable
  int location = 0;             // kLocationPending, kLocationActive
  char* keyBlock = nullptr;     // ADD: the key block (not terminated)
  size_t keyBlockLength = 0;
  char* keyIDs = nullptr;       // DELETE, DISABLE: kKeyIDSlotSize-byte slots
  size_t keyIDCount = 0;
  // The signed span (message header line through the signature block's
  // end line) within the text; length 0 when the text carries none.
  size_t signedOffset = 0;
  size_t signedLength = 0;
};

// Frees the key block and the key IDs and clears the record.
void FreeParsedRequest(ParsedRequest* request);

// Takes the next line from *cursor (*remaining characters): copies at most
// size - 1 characters up to the first LF or CR into line (the rest of a
// longer line is consumed), consumes one terminator (CR LF, LF or CR),
// removes trailing white space and terminates the text; *length is its
// length. 0, or kQOXErrEOF when nothing remains; kQOXErrBadParams for a
// buffer of no room.
QOXError GetLine(const char** cursor, size_t* remaining, char* line, size_t size, size_t* length);

// Parses a request text (see above). 0; kQOXErrUnrecognized for a missing
// message header line where one is required, a signature block missing or
// cut short in a text that must be signed, bad or missing request header
// lines, a bad location, or a request that runs past its signed text;
// kQOXErrItemNotFound for a key block missing or unterminated or a bad key-ID
// line; kQOXErrOutOfMemory. On failure nothing stays allocated.
QOXError ProcessReqBuffer(const char* text, size_t length, bool mustBeSigned, ParsedRequest* out);

// Filled by VerifyEventHandler during a decode (clear it first).
struct SignatureResult {
  int events = 0;              // Signature events seen
  char signerID[17] = {};      // first event's signer: 16 digits, or empty
  bool verified = false;       // the one event was checked and verified
  uint32_t creationTime = 0;   // QOXTime of the first event's signature
};

// The decode's event handler: records Signature events in the
// SignatureResult given as user value; always 0.
QOXError VerifyEventHandler(QOXContext* context, QOXEvent* event, void* userValue);

// Decodes the signed span text[0, length) against the key database (none:
// only the signer's ID is learnt) and reports whether exactly one signature
// was found, checked and verified. 0 with the outputs set (signerID: 16
// digits and a NUL, or empty); 21 when the decode fails (its code is only
// traced) or the span is empty.
int VerifyCertRequest(const char* text, size_t length, QOXKeyDB* keyDB, QOXContext* context, bool* verified,
                      uint32_t* creationTime, char signerID[17]);

#endif  // OSTRAK_KEYSERVICE_SIGNED_REQUEST_H_
