// gpg's unprotected secret exports locked with the toolkit's own protection
// (usage 255, iterated and salted SHA-1 string-to-key): gpg protects with
// the SHA-1 check of later standards (usage byte 254), which RFC 2440 keys
// do not have.
#ifndef OSTRAK_TESTS_KEYDB_LOCKED_KEYS_H_
#define OSTRAK_TESTS_KEYDB_LOCKED_KEYS_H_

#include <gtest/gtest.h>

#include <string>

#include "crypto/context_random.h"
#include "crypto/pkalg.h"
#include "foundation/context.h"
#include "keydb/packet_header.h"
#include "keydb_test_support.h"

namespace keydb_test {

// Every secret key packet of the stream locked by the passphrase; other
// packets unchanged.
inline Bytes LockedStream(QOXContext* context, const Bytes& stream, const std::string& passphrase) {
  Bytes out;
  for (const auto& p : SplitPackets(stream)) {
    if (p.tag != 5 && p.tag != 7) {
      out.insert(out.end(), p.bytes.begin(), p.bytes.end());
      continue;
    }
    const size_t header = qoxPktBufferHeaderLen(p.bytes.data(), p.bytes.size());
    const size_t prefix = header + 6;
    QOXError err = 0;
    QOXSecKey* key = qoxSecKeyFromBuf(context, p.bytes[header + 5], p.bytes.data() + prefix,
                                      p.bytes.size() - prefix, 0, &err);
    EXPECT_NE(key, nullptr) << err;
    if (key == nullptr) return {};
    EXPECT_EQ(key->changeLock(key, qoxContextGetEnvironment(context), qoxContextGetDummyRandomContext(context),
                              passphrase.data(), passphrase.size(), 3),
              0);
    Bytes body(p.bytes.begin() + header, p.bytes.begin() + prefix);
    const size_t at = body.size();
    body.resize(at + key->bufferLength(key));
    key->toBuffer(key, body.data() + at);
    key->destroy(key);
    const Bytes packet = NewPacket(p.tag, body);
    out.insert(out.end(), packet.begin(), packet.end());
  }
  return out;
}

}  // namespace keydb_test

#endif  // OSTRAK_TESTS_KEYDB_LOCKED_KEYS_H_
