// Key packets: every key and subkey of the gpg fixtures parses to what
// `gpg --list-packets` shows, version-4 fingerprints equal `gpg
// --with-colons --fingerprint`, secret packets give the key ID and
// key-material hash of their public counterparts, version-3 keys (made by
// make_v3_keys.py) give the low 64 bits of the modulus and MD5 over n and e,
// and damaged packets give the Part's errors.
#include "keydb/key_packet.h"

#include <gtest/gtest.h>

#include <sstream>

#include "crypto/pkalg.h"
#include "foundation/sdk_errors.h"
#include "tests/keydb/keydb_test_support.h"

namespace {

using keydb_test::Bytes;
using keydb_test::Hex;
using keydb_test::Packet;

const char* kKeys[] = {"alice", "bob", "carol", "dave"};

// An old-form packet with a two-byte length.
Bytes MakePacket(uint8_t tag, const Bytes& body) {
  Bytes p = {static_cast<uint8_t>(0x81 | (tag << 2)), static_cast<uint8_t>(body.size() >> 8),
             static_cast<uint8_t>(body.size())};
  p.insert(p.end(), body.begin(), body.end());
  return p;
}

Bytes BodyOf(const Bytes& packet) {
  const size_t h = qoxPktBufferHeaderLen(packet.data(), packet.size());
  return Bytes(packet.begin() + h, packet.end());
}

bool IsKeyTag(int tag) { return tag == 5 || tag == 6 || tag == 7 || tag == 14; }

class KeyPacketTest : public keydb_test::KeyDBTest {
 protected:
  struct Parsed {
    QOXError result;
    uint8_t algorithm;
    uint8_t keyID[8];
    uint8_t hash[20];
    uint16_t bits;
    QOXTime creation;
    uint16_t validity;
    int v3;
  };
  Parsed Parse(const Bytes& packet, bool secret) {
    Parsed p{};
    p.result = qoxKeyParse(context_, packet.data(), packet.size(), &p.algorithm, p.keyID, p.hash, &p.bits,
                           &p.creation, &p.validity, &p.v3, secret);
    return p;
  }
};

TEST_F(KeyPacketTest, FieldsAndFingerprintsEqualGpg) {
  for (const char* name : kKeys) {
    SCOPED_TRACE(name);
    const std::vector<Packet> packets = keydb_test::SplitPackets(keydb_test::ReadFile(std::string(name) + ".bin"));
    const std::vector<keydb_test::Listed> listed = keydb_test::ListPackets(std::string(name) + ".packets.txt");
    const keydb_test::ColonKeys colons = keydb_test::ListColons(std::string(name) + ".colons.txt");
    ASSERT_EQ(packets.size(), listed.size());
    std::vector<std::string> fingerprints;
    for (size_t i = 0; i < packets.size(); ++i) {
      if (!IsKeyTag(packets[i].tag)) continue;
      const keydb_test::Listed& l = listed[i];
      SCOPED_TRACE(l.keyid);
      const Parsed p = Parse(packets[i].bytes, false);
      ASSERT_EQ(p.result, 0);
      EXPECT_EQ(p.algorithm, l.algo);
      EXPECT_EQ(p.creation, static_cast<QOXTime>(l.created));
      ASSERT_FALSE(l.pkeyBits.empty());
      EXPECT_EQ(p.bits, l.pkeyBits[0]);
      EXPECT_EQ(p.v3, 0);
      EXPECT_EQ(p.validity, 0);
      EXPECT_EQ(Hex(p.keyID, 8), l.keyid);
      // The version-4 fingerprint is the hash of the whole body.
      const Bytes body = BodyOf(packets[i].bytes);
      uint8_t fp[20];
      ASSERT_EQ(qoxFingerprint20HashBuf(context_, body.data(), body.size(), fp), 20);
      fingerprints.push_back(Hex(fp, 20));
      EXPECT_EQ(Hex(p.keyID, 8), Hex(fp + 12, 8));
      // Numeric data: the body from offset 6; the key-material hash is the
      // fingerprint formula over it.
      size_t numericLength = 0;
      const uint8_t* numeric = qoxKeyParseNumericData(packets[i].bytes.data(), packets[i].bytes.size(), &numericLength);
      ASSERT_NE(numeric, nullptr);
      EXPECT_EQ(numericLength, body.size() - 6);
      uint8_t hash[20];
      ASSERT_EQ(qoxFingerprint20HashBuf(context_, numeric, numericLength, hash), 20);
      EXPECT_EQ(Hex(p.hash, 20), Hex(hash, 20));
      EXPECT_EQ(qoxKeyParsePublicPrefix(packets[i].bytes.data(), packets[i].bytes.size()), packets[i].bytes.size());
    }
    EXPECT_EQ(fingerprints, colons.fingerprints);
  }
}

// A secret packet names the same key as its public counterpart: same key ID
// and key-material hash, its public prefix is the public body, and parsed as
// a public packet an RSA one has trailing junk.
TEST_F(KeyPacketTest, SecretPacketsMatchTheirPublicForms) {
  for (const char* name : kKeys) {
    SCOPED_TRACE(name);
    const std::vector<Packet> pub = keydb_test::SplitPackets(keydb_test::ReadFile(std::string(name) + ".bin"));
    const std::vector<Packet> sec = keydb_test::SplitPackets(keydb_test::ReadFile(std::string(name) + ".sec.bin"));
    std::vector<const Packet*> pubKeys;
    std::vector<const Packet*> secKeys;
    for (const Packet& p : pub)
      if (IsKeyTag(p.tag)) pubKeys.push_back(&p);
    for (const Packet& p : sec)
      if (IsKeyTag(p.tag)) secKeys.push_back(&p);
    ASSERT_EQ(pubKeys.size(), secKeys.size());
    for (size_t i = 0; i < pubKeys.size(); ++i) {
      const Bytes& s = secKeys[i]->bytes;
      EXPECT_TRUE(secKeys[i]->tag == 5 || secKeys[i]->tag == 7);
      const Parsed ps = Parse(s, true);
      const Parsed pp = Parse(pubKeys[i]->bytes, false);
      ASSERT_EQ(ps.result, 0);
      EXPECT_EQ(Hex(ps.keyID, 8), Hex(pp.keyID, 8));
      EXPECT_EQ(Hex(ps.hash, 20), Hex(pp.hash, 20));
      EXPECT_EQ(ps.bits, pp.bits);
      const size_t prefix = qoxKeyParsePublicPrefix(s.data(), s.size());
      const size_t header = qoxPktBufferHeaderLen(s.data(), s.size());
      ASSERT_GT(prefix, header);
      EXPECT_EQ(Bytes(s.begin() + header, s.begin() + prefix), BodyOf(pubKeys[i]->bytes));
      if (ps.algorithm == kQOXPublicKeyAlgorithm_RSA) {
        EXPECT_EQ(Parse(s, false).result, kQOXErrKeyPacketTrailingJunk);
      }
    }
  }
}

TEST_F(KeyPacketTest, Version3KeysFromTheHelper) {
  std::istringstream lines(keydb_test::ReadText("v3-keys.txt"));
  int seen = 0;
  for (std::string name, keyID, fingerprint; lines >> name >> keyID >> fingerprint;) {
    long bits = 0, creation = 0, validity = 0;
    lines >> bits >> creation >> validity;
    SCOPED_TRACE(name);
    const Bytes packet = keydb_test::ReadFile(name + ".bin");
    const Parsed p = Parse(packet, false);
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.v3, 1);
    EXPECT_EQ(p.algorithm, 1);
    EXPECT_EQ(p.bits, bits);
    EXPECT_EQ(p.creation, static_cast<QOXTime>(creation));
    EXPECT_EQ(p.validity, validity);
    EXPECT_EQ(Hex(p.keyID, 8), keyID);  // the low 64 bits of n, zero-filled for a short n
    uint8_t digest[16];
    EXPECT_EQ(qoxKeyParseFingerprint16(context_, packet.data(), packet.size(), digest), 16);
    EXPECT_EQ(Hex(digest, 16), fingerprint);
    size_t numericLength = 0;
    const uint8_t* numeric = qoxKeyParseNumericData(packet.data(), packet.size(), &numericLength);
    EXPECT_EQ(numeric, packet.data() + 3 + 8);
    EXPECT_EQ(numericLength, packet.size() - 3 - 8);
    ++seen;
  }
  EXPECT_EQ(seen, 3);
}

// The key-material hash names the key whatever its packet version and
// creation time.
TEST_F(KeyPacketTest, KeyMaterialHashIgnoresVersionAndCreation) {
  const Bytes v3 = keydb_test::ReadFile("v3-rsa1024.bin");
  Bytes body = BodyOf(v3);
  Bytes v4Body = {4, 0x12, 0x34, 0x56, 0x78, 1};  // version 4, another creation, RSA
  v4Body.insert(v4Body.end(), body.begin() + 8, body.end());
  const Parsed a = Parse(v3, false);
  const Parsed b = Parse(MakePacket(6, v4Body), false);
  ASSERT_EQ(a.result, 0);
  ASSERT_EQ(b.result, 0);
  EXPECT_EQ(Hex(a.hash, 20), Hex(b.hash, 20));
  EXPECT_NE(Hex(a.keyID, 8), Hex(b.keyID, 8));
}

TEST_F(KeyPacketTest, DamagedPacketsGiveTheirErrors) {
  const std::vector<Packet> alice = keydb_test::SplitPackets(keydb_test::ReadFile("alice.bin"));
  const Bytes rsa = BodyOf(alice[0].bytes);  // version 4 RSA-2048, e = 65537
  const std::vector<Packet> bob = keydb_test::SplitPackets(keydb_test::ReadFile("bob.bin"));
  const Bytes dsa = BodyOf(bob[0].bytes);
  const size_t modulusEnd = 6 + 2 + 256;  // after the modulus
  auto with = [](Bytes b, size_t at, uint8_t value) {
    b[at] = value;
    return b;
  };
  auto cut = [](const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + n); };
  Bytes junk = rsa;
  junk.push_back(0);
  struct Case {
    const char* what;
    Bytes body;
    bool secret;
    QOXError result;
  } cases[] = {
      {"empty body", {}, false, kQOXErrKeyPacketTruncated},
      {"version 5", with(rsa, 0, 5), false, kQOXErrKeyVersionUnknown},
      {"version 1", with(rsa, 0, 1), false, kQOXErrKeyVersionUnknown},
      {"ends in the creation time", cut(rsa, 3), false, kQOXErrKeyPacketTruncated},
      {"ends before the algorithm", cut(rsa, 5), false, kQOXErrKeyPacketTruncated},
      {"ends in the first bit count", cut(rsa, 7), false, kQOXErrKeyPacketTruncated},
      {"bit count one above the top byte", with(rsa, 7, 0x01), false, kQOXErrKeyModulusMalformed},  // 2049 bits
      {"bit count far from the top byte", with(rsa, 7, 0xFF), false, kQOXErrKeyModulusMalformed},  // 2303 bits
      {"ends in the modulus", cut(rsa, 100), false, kQOXErrKeyPacketTruncated},
      {"no room for the next bit count", cut(rsa, modulusEnd + 1), false, kQOXErrKeyPacketTruncated},
      {"even modulus", with(rsa, modulusEnd - 1, rsa[modulusEnd - 1] & 0xFE), false, kQOXErrRSAPublicModulusEven},
      {"exponent count disagrees", with(rsa, modulusEnd + 1, 18), false, kQOXErrKeyExponentMalformed},
      {"ends in the exponent", cut(rsa, rsa.size() - 1), false, kQOXErrKeyPacketTruncated},
      {"even exponent", with(rsa, rsa.size() - 1, 0x00), false, kQOXErrRSAPublicExponentEven},
      {"trailing junk", junk, false, kQOXErrKeyPacketTrailingJunk},
      {"trailing bytes of a secret packet", junk, true, kQOXErrNoErr},
      {"a DSA key has no oddness rules", with(dsa, dsa.size() - 1, dsa.back() & 0xFE), false, kQOXErrNoErr},
      {"a DSA key ending after p", cut(dsa, 6 + 2 + 128 + 1), false, kQOXErrKeyPacketTruncated},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes packet = MakePacket(c.secret ? 5 : 6, c.body);
    EXPECT_EQ(Parse(packet, c.secret).result, c.result);
  }
  // The version-3 fingerprint of a DSA key: zeros and qoxKeyParse's result.
  uint8_t digest[16];
  std::memset(digest, 0xFF, sizeof digest);
  EXPECT_EQ(qoxKeyParseFingerprint16(context_, bob[0].bytes.data(), bob[0].bytes.size(), digest), 0);
  EXPECT_EQ(Hex(digest, 16), std::string(32, '0'));
}

TEST_F(KeyPacketTest, BodyPrefixOfACreatedKey) {
  QOXKeySpec* spec = qoxKeySpecCreate(qoxContextGetEnvironment(context_));
  ASSERT_NE(spec, nullptr);
  ASSERT_EQ(qoxKeySpecSetCreation(spec, 0x01020304), 0);
  ASSERT_EQ(qoxKeySpecSetValidity(spec, 365), 0);
  struct Case {
    uint32_t version;
    Bytes expected;
  } cases[] = {
      {4, {4, 1, 2, 3, 4, 17}},
      {3, {3, 1, 2, 3, 4, 0x01, 0x6D, 17}},
      {2, {2, 1, 2, 3, 4, 0x01, 0x6D, 17}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    ASSERT_EQ(qoxKeySpecSetVersion(spec, c.version), 0);
    EXPECT_EQ(qoxKeyBufferLength(spec), c.expected.size());
    uint8_t buffer[9];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(qoxKeyToBuffer(buffer, spec, 17), 0);
    EXPECT_EQ(Bytes(buffer, buffer + c.expected.size()), c.expected);
    EXPECT_EQ(buffer[c.expected.size()], 0xEE);
  }
  qoxKeySpecDestroy(spec);
}

TEST_F(KeyPacketTest, PrefixesOfShortAndUnknownPackets) {
  const Bytes unknownVersion = MakePacket(6, {9, 0, 0, 0, 0, 1, 0, 8, 0xFF});
  const Bytes shortV3 = MakePacket(6, {3, 0, 0, 0, 0, 0, 0});
  const Bytes unknownAlgorithm = MakePacket(6, {4, 0, 0, 0, 0, 99, 0, 8, 0xFF, 0, 1, 1});
  size_t n = 7;
  EXPECT_EQ(qoxKeyParseNumericData(unknownVersion.data(), unknownVersion.size(), &n), nullptr);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(qoxKeyParseNumericData(shortV3.data(), shortV3.size(), &n), nullptr);
  EXPECT_EQ(qoxKeyParsePublicPrefix(unknownVersion.data(), unknownVersion.size()), 0u);
  EXPECT_EQ(qoxKeyParsePublicPrefix(shortV3.data(), shortV3.size()), 0u);
  EXPECT_EQ(qoxKeyParsePublicPrefix(unknownAlgorithm.data(), unknownAlgorithm.size()), 0u);
  // An unknown algorithm parses (only its first MPI is checked); its key ID
  // as a secret packet cannot be told.
  uint8_t keyID[8];
  EXPECT_EQ(qoxKeyParse(context_, unknownAlgorithm.data(), unknownAlgorithm.size(), nullptr, keyID, nullptr,
                        nullptr, nullptr, nullptr, nullptr, false),
            0);
  const Bytes secretUnknown = MakePacket(5, BodyOf(unknownAlgorithm));
  EXPECT_EQ(qoxKeyParse(context_, secretUnknown.data(), secretUnknown.size(), nullptr, keyID, nullptr, nullptr,
                        nullptr, nullptr, nullptr, true),
            kQOXErrKeyAlgorithmUnknown);
}

}  // namespace
