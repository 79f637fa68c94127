// One fuzz step for the signature lists (keydb/sig_data.h), shared by the
// libFuzzer target (sig_data_fuzz.cc) and the mutation test.
//
// Input: records of a mode byte, a two-byte big-endian length and that many
// body bytes (a short last record takes what is left). Bit 0 of the mode
// picks the annotation (2306 or 2307), bit 1 an unknown one. Each body goes
// into one list through qoxSigDataAdd and through every reader of raw
// bodies; then every reader runs over every node of the list. Every body is
// a copy of exactly its length, so a read past it is caught.
//
// The corpus (fuzz/corpus/sig_data, make_sig_data_corpus.py) holds the
// one-pass and signature bodies of gpg's messages and key fixtures.
#ifndef OSTRAK_TESTS_KEYDB_FUZZ_SIG_DATA_FUZZ_BODY_H_
#define OSTRAK_TESTS_KEYDB_FUZZ_SIG_DATA_FUZZ_BODY_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/context.h"
#include "keydb/sig_data.h"

namespace sig_data_fuzz {

inline void Run(QOXContext* context, const uint8_t* data, size_t size) {
  QOXPktList* list = nullptr;
  uint8_t digest[20] = {};
  for (int records = 0; size > 0 && records < 64; ++records) {
    const uint8_t mode = data[0];
    size_t n = size >= 3 ? (size_t{data[1]} << 8) | data[2] : 0;
    const size_t header = size >= 3 ? 3 : size;
    data += header;
    size -= header;
    if (n > size) n = size;
    std::unique_ptr<uint8_t[]> body(new uint8_t[n > 0 ? n : 1]);
    if (n > 0) std::memcpy(body.get(), data, n);
    data += n;
    size -= n;
    const uint32_t annotation =
        (mode & 2) != 0 ? 2305 : (mode & 1) != 0 ? kQOXSigDataAnn_ClosingSignature : kQOXSigDataAnn_Signature;
    (void)qoxSigDataAdd(context, &list, annotation, body.get(), n);
    (void)qoxSigDataCheckBody(body.get(), n);
    (void)qoxSigDataSigType(body.get(), n);
    (void)qoxSigDataNestFlag(body.get(), n);
    // No key: a body whose check bytes match reaches the key operation,
    // which refuses the missing key.
    if (n > 0) digest[0] = body[n - 1];
    (void)qoxSigDataCheckBuf(body.get(), n, nullptr, digest);
  }
  for (QOXPktList* node = list; node != nullptr; node = qoxSigDataNext(node)) {
    (void)qoxSigDataVersion(node);
    (void)qoxSigDataType(node);
    (void)qoxSigDataPKAlg(node);
    (void)qoxSigDataHash(node);
    (void)qoxSigDataTimestamp(node);
    size_t n = 0;
    const uint8_t* extra = qoxSigDataExtra(node, &n);
    volatile uint8_t sink = 0;
    for (size_t i = 0; extra != nullptr && i < n; ++i) sink = sink ^ extra[i];
    QOXKeyID id;
    (void)qoxGetSigDataKeyID(node, &id);
  }
  const uint32_t count = qoxSigDataDistinctHashCount(list);
  std::vector<uint8_t> hashes(count + 1);
  qoxSigDataDistinctHashes(list, hashes.data());
  qoxSigDataFreeList(list);
}

}  // namespace sig_data_fuzz

#endif  // OSTRAK_TESTS_KEYDB_FUZZ_SIG_DATA_FUZZ_BODY_H_
