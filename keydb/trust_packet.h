// The trust packet that follows each object in a key-ring file (RFC 2440
// tag 12, this system's own contents): type byte 0xB0 (old form, tag 12,
// one length byte), a length of 1 or 3, then the data.
//
//   key, subkey        1  keyTrust
//   user ID            3  trustByte, validity, confidence
//   signature          1  trustByte; no trust packet at all after a key
//                         revocation (type 0x20) that sits directly on a
//                         key or subkey and was made by it
//   CRL, unknown       1  trustByte
//
// A ring holds, for each key in the database's order: the key packet and
// its trust packet, then each child in child order with its trust packet,
// and after each child that is not a signature its own signatures, each
// with its trust packet. Which objects go to which ring, and which are left
// out, is the ring writer's.
//
// Thread safety: none (the database's context's thread).
#ifndef OSTRAK_KEYDB_TRUST_PACKET_H_
#define OSTRAK_KEYDB_TRUST_PACKET_H_

#include <cstddef>
#include <cstdint>

struct QOXKeyDBObj;

inline constexpr uint8_t kQOXTrustPacketTypeByte = 0xB0;
inline constexpr size_t kQOXTrustPacketMaxLength = 5;

// Writes the object's trust packet into out (kQOXTrustPacketMaxLength
// bytes) and returns its length: 3 or 5, or 0 when the object gets none
// (a self-revocation as above, or an object without its info record).
size_t qoxMakeTrustPacket(QOXKeyDBObj* object, uint8_t* out);

#endif  // OSTRAK_KEYDB_TRUST_PACKET_H_
