// Reading RFC 2440 packet streams into a key database and merging what is
// read with what the database holds: the only way objects come into being.
//
// Packet by packet the reader decides whether a packet makes a new object,
// is the same as one present (identical packets: equal tags and bodies,
// whatever their headers), completes a dummy key, or turns a public key into
// a secret one. Every stored packet gets a definite-length header. A body
// over 150000 bytes is skipped. Bad data never fails the read: an
// unparsable key drops its dependants, a damaged header or short body ends
// the read keeping what was read; only running out of memory and a failing
// seek are reported.
//
// Trust packets (tag 12) apply only to a trusted read (the program's own
// rings). At the end of each key, third-party key revocations that no
// direct self-signature of the key authorises are marked deleted.
//
// Identical children are found through the parent's index
// (keydb/child_index.h) and linked in constant time, so reading and merging
// stay linear in the number of packets however many certifications one key
// carries.
//
// Ownership: packets are copied into the database's pool; the reader's
// buffer is context memory freed at the end. qoxKeyDBObjToPubData returns
// context memory the caller frees with QOXFreeData.
//
// Thread safety: none (the database's context's thread).
#ifndef OSTRAK_KEYDB_RING_READER_H_
#define OSTRAK_KEYDB_RING_READER_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXEnv;
struct QOXFile;
struct QOXKeyDB;
struct QOXKeyDBObj;

// Reads packets from the file's position to its end into the database.
// 0, kQOXErrOutOfMemory, or a failing seek's error.
QOXError qoxReadKeyFile(QOXKeyDB* db, QOXFile* file, bool trusted);

// Adds one whole packet (header included) under a parent (null for a
// top-level key) by its tag. The object made or matched, or null (nothing
// for a zero length; an unparsable packet; a parent of the wrong kind).
// *outError is kQOXErrOutOfMemory only when memory runs out (also recorded in the
// database), else 0.
QOXKeyDBObj* qoxAddObject(const uint8_t* packet, size_t length, QOXKeyDB* db, QOXKeyDBObj* parent, bool trusted,
                          QOXError* outError);
QOXKeyDBObj* qoxAddKey(uint8_t tag, const uint8_t* packet, size_t length, QOXKeyDB* db, QOXKeyDBObj* parent,
                       bool trusted, QOXError* outError);
QOXKeyDBObj* qoxAddUserID(uint8_t tag, const uint8_t* packet, size_t length, QOXKeyDB* db, QOXKeyDBObj* parent,
                          QOXError* outError);
QOXKeyDBObj* qoxAddSig(uint8_t tag, const uint8_t* packet, size_t length, QOXKeyDB* db, QOXKeyDBObj* parent,
                       QOXError* outError);
QOXKeyDBObj* qoxAddCRL(uint8_t tag, const uint8_t* packet, size_t length, QOXKeyDB* db, QOXKeyDBObj* parent,
                       QOXError* outError);
QOXKeyDBObj* qoxAddUnknown(uint8_t tag, const uint8_t* packet, size_t length, QOXKeyDB* db, QOXKeyDBObj* parent,
                           QOXError* outError);

// Applies a trust packet to an object; 0.
QOXError qoxTrustPacket(const uint8_t* packet, size_t length, QOXKeyDB* db, QOXKeyDBObj* object, const QOXEnv* env);
// Merges the trust of an object into its copy in another database.
void qoxCopyObjectTrust(QOXKeyDBObj* from, QOXKeyDBObj* to);
// The third-party revocation clean-up of one key; 0.
QOXError qoxKeyCleanup(QOXKeyDBObj* key);
// The public-key packet of a secret key or subkey (old-form header of at
// least two length bytes; version 2 when the key was merged from a
// version-2 copy): a new block of context memory, or null.
uint8_t* qoxKeyDBObjToPubData(QOXKeyDBObj* key, size_t* outLength);

#endif  // OSTRAK_KEYDB_RING_READER_H_
