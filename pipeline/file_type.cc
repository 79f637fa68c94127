// Recognising RFC 2440 message data by its first bytes.
#include <cstring>

#include "pipeline/generic_modules.h"

bool qoxFileTypeQOX(const uint8_t* bytes, size_t length) {
  if (bytes == nullptr || length == 0 || bytes[0] < 0x80) return false;
  if (length >= sizeof kQOXMarkerPacket && std::memcmp(bytes, kQOXMarkerPacket, sizeof kQOXMarkerPacket) == 0) {
    return true;
  }
  if (bytes[0] < 0xC0) return ((bytes[0] >> 2) & 0x0F) != 0;
  uint8_t tag = bytes[0] & 0x3F;
  return tag >= 1 && tag <= 60;
}
