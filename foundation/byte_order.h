// Byte order: the one place where integers become bytes and back.
//
// Every integer stored in a file or sent on the wire goes through these
// helpers, which work with shifts and never copy a host integer. The inline
// Load/Store helpers are for the project's own code; the QOXEndian... and
// QOXStorage... calls are the toolkit's public conversions: "Endian" takes a
// byte order (0 big-endian, any other value little-endian), "Storage" is
// always little-endian.
//
// Thread safety: all functions are pure.
#ifndef OSTRAK_FOUNDATION_BYTE_ORDER_H_
#define OSTRAK_FOUNDATION_BYTE_ORDER_H_

#include <cstdint>

// Byte-order arguments of the Endian calls.
inline constexpr uint32_t kQOXBigEndian = 0;
inline constexpr uint32_t kQOXLittleEndian = 1;

constexpr uint16_t LoadBE16(const uint8_t* p) {
  return static_cast<uint16_t>((uint16_t{p[0]} << 8) | p[1]);
}
constexpr uint32_t LoadBE24(const uint8_t* p) {
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}
constexpr uint32_t LoadBE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
constexpr uint64_t LoadBE64(const uint8_t* p) {
  return (uint64_t{LoadBE32(p)} << 32) | LoadBE32(p + 4);
}
constexpr uint16_t LoadLE16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (uint16_t{p[1]} << 8));
}
constexpr uint32_t LoadLE32(const uint8_t* p) {
  return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
constexpr uint64_t LoadLE64(const uint8_t* p) {
  return LoadLE32(p) | (uint64_t{LoadLE32(p + 4)} << 32);
}

constexpr void StoreBE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
constexpr void StoreBE24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v);
}
constexpr void StoreBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
constexpr void StoreBE64(uint8_t* p, uint64_t v) {
  StoreBE32(p, static_cast<uint32_t>(v >> 32));
  StoreBE32(p + 4, static_cast<uint32_t>(v));
}
constexpr void StoreLE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
constexpr void StoreLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
constexpr void StoreLE64(uint8_t* p, uint64_t v) {
  StoreLE32(p, static_cast<uint32_t>(v));
  StoreLE32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Public toolkit conversions.
uint16_t QOXEndianToUInt16(uint32_t byteOrder, const uint8_t* bytes);
uint32_t QOXEndianToUInt32(uint32_t byteOrder, const uint8_t* bytes);
void QOXUInt16ToEndian(uint16_t value, uint32_t byteOrder, uint8_t* outBytes);
void QOXUInt32ToEndian(uint32_t value, uint32_t byteOrder, uint8_t* outBytes);
void QOXUInt16ToStorage(uint16_t value, uint8_t* outBytes);
void QOXUInt32ToStorage(uint32_t value, uint8_t* outBytes);
uint16_t QOXStorageToUInt16(const uint8_t* bytes);
uint32_t QOXStorageToUInt32(const uint8_t* bytes);

#endif  // OSTRAK_FOUNDATION_BYTE_ORDER_H_
