// CRC-24 of ASCII armor (RFC 2440 section 6.1): polynomial 0x1864CFB,
// initial value 0xB704CE, over a constant table. Shared by the armor writer
// and the armor parser; safe from any thread.
#ifndef OSTRAK_PIPELINE_CRC24_H_
#define OSTRAK_PIPELINE_CRC24_H_

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kQOXCRC24Init = 0xB704CE;

// The CRC (low 24 bits) after the bytes.
uint32_t crcUpdate(uint32_t crc, const uint8_t* bytes, size_t length);

#endif  // OSTRAK_PIPELINE_CRC24_H_
