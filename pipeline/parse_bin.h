// The binary message parser ("QOX Message Parser"): reads a stream of
// RFC 2440 packets (section 4.2 headers, old and new format, partial body
// lengths) and turns it into annotated scopes for the modules after it.
//
// For each packet it opens a scope (pipeline/pipeline.h's table), sends the
// annotations that describe it (literal fields, session-key and signature
// bodies, the compression algorithm), then kQOXAnnCommit with itself as
// origin, and does what the answer says: skip the scope (258), pass its
// bytes through unchanged behind a file header module (259), or process it
// (260) and parse the result again (261). Processing inserts a module
// between the parser and its next module: a decompressor, the decryption
// module once the session key of the answer passes the quick check (RFC
// 2440 section 12.8), or the hash modules of a signed scope; a further
// parser behind it reads its output. Without an answer each kind has its
// default (compressed 261, literal and keys 260, encrypted 259, signatures
// 261 when packets follow them and 258 when they stand alone, others 258).
//
// Annotations it acts on: the commit answers while a commit is pending
// (their data: the session key for an encrypted scope, the hash algorithm
// numbers for a signed one); kQOXAnnHashRequest (signature version, hash
// number, hashed trailer), answered downstream with kQOXAnnHashValue.
// Others go to the next module once everything the parser can do without
// more input is done.
//
// Input faults are annotations, not errors: kQOXAnnPacketError (input ends
// inside a packet or header, no scope open), kQOXAnnPacketGarbled (the
// same inside a scope), kQOXAnnPacketTruncated (a literal or compressed
// packet too short for its fields), kQOXAnnSignatureTooBig and
// kQOXAnnESKTooBig (a body over the 1100-byte packet buffer). Errors:
// those of the modules after it; -11397 a key packet while another scope
// is open; -11411 a session key that fails the check; -11444 a modification
// code that does not match; -11391 parsers nested deeper than 32.
//
// Every length is read through a bounded cursor; lengths and chunk sums are
// 64-bit, and only the indeterminate length (old-format type 3) runs to the
// end of the input.
//
// Ownership: the module is linked at *head like every module; teardown
// tears down an inserted chain and the next module.
#ifndef OSTRAK_PIPELINE_PARSE_BIN_H_
#define OSTRAK_PIPELINE_PARSE_BIN_H_

#include "pipeline/decode_callbacks.h"
#include "pipeline/pipeline.h"

struct QOXEnv;

// Returns the module's next slot, or null (null head or env, memory).
QOXPipeline** qoxParseBinCreate(QOXContext* context, QOXPipeline** head, QOXEnv* env,
                                const QOXDecodeCallbacks* callbacks, void* callbackArg);

// Parsers reading the output of parsers go no deeper than this.
inline constexpr uint32_t kQOXMaxParserNesting = 32;

#endif  // OSTRAK_PIPELINE_PARSE_BIN_H_
