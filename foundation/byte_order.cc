// The toolkit's public byte-order conversions, over the inline helpers.
#include "foundation/byte_order.h"

uint16_t QOXEndianToUInt16(uint32_t byteOrder, const uint8_t* bytes) {
  return byteOrder == kQOXBigEndian ? LoadBE16(bytes) : LoadLE16(bytes);
}

uint32_t QOXEndianToUInt32(uint32_t byteOrder, const uint8_t* bytes) {
  return byteOrder == kQOXBigEndian ? LoadBE32(bytes) : LoadLE32(bytes);
}

void QOXUInt16ToEndian(uint16_t value, uint32_t byteOrder, uint8_t* outBytes) {
  if (byteOrder == kQOXBigEndian) {
    StoreBE16(outBytes, value);
  } else {
    StoreLE16(outBytes, value);
  }
}

void QOXUInt32ToEndian(uint32_t value, uint32_t byteOrder, uint8_t* outBytes) {
  if (byteOrder == kQOXBigEndian) {
    StoreBE32(outBytes, value);
  } else {
    StoreLE32(outBytes, value);
  }
}

void QOXUInt16ToStorage(uint16_t value, uint8_t* outBytes) { StoreLE16(outBytes, value); }
void QOXUInt32ToStorage(uint32_t value, uint8_t* outBytes) { StoreLE32(outBytes, value); }
uint16_t QOXStorageToUInt16(const uint8_t* bytes) { return LoadLE16(bytes); }
uint32_t QOXStorageToUInt32(const uint8_t* bytes) { return LoadLE32(bytes); }
