// One fuzz step for the key database's packet readers, shared by the
// libFuzzer target (packet_fuzz.cc) and the random-mutation test that runs
// under the sanitiser build.
//
// Input: a mode byte, then data. The data is read as a packet stream from a
// memory file (qoxPktByteGet, then qoxPktBodyRead into a buffer of exactly
// the announced size, or qoxPktBodySkip), and then as one whole packet by
// every parser: as it comes, and wrapped in a header (written by
// qoxPktHeaderPut) whose type byte the mode chooses. Every buffer handed to
// a parser is a copy of exactly its length, so a read past it is caught.
//
// The corpus (fuzz/corpus/packets) holds the gpg fixtures of tests/keydb/data,
// each behind a mode byte, and hand-made partial-length streams.
#ifndef OSTRAK_TESTS_KEYDB_FUZZ_PACKET_FUZZ_BODY_H_
#define OSTRAK_TESTS_KEYDB_FUZZ_PACKET_FUZZ_BODY_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/sig_spec.h"
#include "foundation/file.h"
#include "keydb/attribute_packet.h"
#include "keydb/crl_packet.h"
#include "keydb/key_packet.h"
#include "keydb/packet_header.h"
#include "keydb/sig_packet.h"

namespace packet_fuzz {

// The largest body the stream step reads into memory; longer ones are
// skipped, as the key database skips them.
inline constexpr uint64_t kReadLimit = 1 << 20;

inline void ReadStream(QOXContext* context, const uint8_t* data, size_t size) {
  QOXFile* file = qoxFileMemOpen(context, data, size);
  if (file == nullptr) return;
  for (int packets = 0; packets < 4096; ++packets) {
    uint64_t total = 0;
    uint64_t first = 0;
    QOXFileOffset position = 0;
    const int typeByte = qoxPktByteGet(file, &total, &first, &position);
    if (typeByte <= 0) break;
    if (total <= kReadLimit && (packets & 1) == 0) {
      std::unique_ptr<uint8_t[]> body(new uint8_t[total > 0 ? total : 1]);
      if (qoxPktBodyRead(body.get(), total, first, file) < total) break;
    } else if (qoxPktBodySkip(file, total, first) != 0) {
      break;
    }
  }
  file->close(file);
}

inline void ParseAll(QOXContext* context, const std::vector<uint8_t>& packet) {
  const uint8_t* p = packet.data();
  const size_t n = packet.size();
  uint8_t bytes8[8], bytes16[16], bytes20[20], b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12;
  uint16_t bits = 0, validity = 0;
  QOXTime time1 = 0, time2 = 0;
  uint32_t word = 0, extra = 0;
  int v3 = 0;
  size_t length = 0;
  for (bool secret : {false, true}) {
    qoxKeyParse(context, p, n, &b1, bytes8, bytes20, &bits, &time1, &validity, &v3, secret);
    qoxKeyParse(context, p, n, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, secret);
  }
  qoxKeyParseFingerprint16(context, p, n, bytes16);
  qoxKeyParseNumericData(p, n, &length);
  qoxKeyParsePublicPrefix(p, n);
  for (bool withoutHeader : {false, true}) {
    qoxSigParse(p, n, withoutHeader, &b1, bytes8, &time1, &word, &b2, &b3, &extra, &b4, &b5, &b6, &b7, &b8, &b9,
                &b10, &b11);
    qoxSigParse(p, n, withoutHeader, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  qoxSigParseExtra(p, n, &length);
  bool hashed = false;
  for (uint8_t type : {2, 9, 11, 12, 16, 25, 27, 33, 100}) {
    for (size_t nth = 0; nth < 3; ++nth)
      qoxSigFindSubpacket(p, n, type, nth, &length, &b12, &hashed, &time2, &length);
  }
  for (uint8_t kind : {1, 2}) qoxSigFindORVSubSubpacket(p, n, kind, 0, &length, &b12, &hashed);
  auto* spec = static_cast<QOXSigSpec*>(qoxContextMemAlloc(context, sizeof(QOXSigSpec), kQOXMemoryMgrFlags_Clear));
  if (spec != nullptr) {
    spec->context = context;
    spec->version = 4;
    qoxSigSubpacketsSpec(spec, p, n);
    qoxSigSpecDestroy(spec);
  }
  uint8_t type = 0;
  const size_t count = qoxAttrCountSubpackets(p, n);
  for (size_t i = 0; i <= count && i < 8; ++i) qoxAttrSubpacket(p, n, i, &type, &length);
  const uint8_t* dp = nullptr;
  size_t dpLength = 0;
  qoxCRLParse(context, p, n, &b1, &b2, &time1, &time2, &dp, &dpLength);
  qoxCRLFindDPoint(p, n, &length);
  qoxCRLFindCRL(p, n, &length);
  qoxPktBufferHeaderLen(p, n);
}

inline void Run(QOXContext* context, const uint8_t* data, size_t size) {
  if (size == 0) return;
  const uint8_t mode = data[0];
  ++data;
  --size;
  ReadStream(context, data, size);
  ParseAll(context, std::vector<uint8_t>(data, data + size));
  // The data as a body behind a header of a type byte the mode picks.
  static const uint8_t kTypeBytes[] = {0x99, 0x95, 0xB9, 0x9D, 0x89, 0x88, 0xB4, 0xD1, 0xFC, 0xC2, 0xC6, 0x9B};
  const uint8_t typeByte = kTypeBytes[mode % sizeof kTypeBytes];
  uint8_t header[kQOXPktMaxHeaderLength];
  const uint32_t bodyLength = static_cast<uint32_t>(size);
  qoxPktHeaderPut(header, typeByte, bodyLength);
  const size_t headerLength = qoxPktHeaderLen(typeByte, bodyLength);
  std::vector<uint8_t> packet(header, header + headerLength);
  packet.insert(packet.end(), data, data + size);
  ParseAll(context, packet);
}

}  // namespace packet_fuzz

#endif  // OSTRAK_TESTS_KEYDB_FUZZ_PACKET_FUZZ_BODY_H_
