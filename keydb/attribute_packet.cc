#include "keydb/attribute_packet.h"

#include "foundation/byte_cursor.h"
#include "keydb/packet_header.h"
#include "keydb/subpacket_reader.h"

const uint8_t* qoxAttrSubpacket(const uint8_t* packet, size_t length, size_t index, uint8_t* type,
                                size_t* dataLength) {
  if (type != nullptr) *type = 0;
  if (dataLength != nullptr) *dataLength = 0;
  ostrak::ByteCursor body;
  if (!qoxPktBody(packet, length, &body)) return nullptr;
  QOXSubpacket s;
  for (size_t i = 0; qoxNextSubpacket(&body, &s) == QOXSubpacketNext::kOne; ++i) {
    if (i == index) {
      if (type != nullptr) *type = s.typeByte;
      if (dataLength != nullptr) *dataLength = s.data.remaining();
      return s.data.data();
    }
  }
  return nullptr;
}

size_t qoxAttrCountSubpackets(const uint8_t* packet, size_t length) {
  ostrak::ByteCursor body;
  if (!qoxPktBody(packet, length, &body)) return 0;
  size_t count = 0;
  QOXSubpacket s;
  for (;;) {
    switch (qoxNextSubpacket(&body, &s)) {
      case QOXSubpacketNext::kOne:
        ++count;
        break;
      case QOXSubpacketNext::kEnd:
        return count;
      case QOXSubpacketNext::kMalformed:
        return 0;
    }
  }
}
