// User attribute packets (RFC 2440 5.12, tag 17, the photo ID): a sequence
// of subpackets in the signature-subpacket form (keydb/subpacket_reader.h).
//
// Thread safety: pure functions.
#ifndef OSTRAK_KEYDB_ATTRIBUTE_PACKET_H_
#define OSTRAK_KEYDB_ATTRIBUTE_PACKET_H_

#include <cstddef>
#include <cstdint>

// The data of the index-th (from 0) subpacket of a whole attribute packet,
// with its type and data length (subpacket length - 1); null (type and
// length 0) when the packet holds fewer subpackets or is malformed before
// that one.
const uint8_t* qoxAttrSubpacket(const uint8_t* packet, size_t length, size_t index, uint8_t* type,
                                size_t* dataLength);
// The number of subpackets; 0 for an empty or malformed packet.
size_t qoxAttrCountSubpackets(const uint8_t* packet, size_t length);

#endif  // OSTRAK_KEYDB_ATTRIBUTE_PACKET_H_
