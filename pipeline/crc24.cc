// CRC-24, byte-wise through a table computed at compile time.
#include "pipeline/crc24.h"

#include <array>

namespace {

constexpr uint32_t kPoly = 0x1864CFB;

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i << 16;
    for (int bit = 0; bit < 8; ++bit) {
      crc <<= 1;
      if (crc & 0x1000000) crc ^= kPoly;
    }
    t[i] = crc & 0xFFFFFF;
  }
  return t;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

uint32_t crcUpdate(uint32_t crc, const uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) crc = ((crc << 8) ^ kTable[((crc >> 16) ^ bytes[i]) & 0xFF]) & 0xFFFFFF;
  return crc;
}
