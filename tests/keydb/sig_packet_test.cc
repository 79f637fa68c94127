// Signature packets: every signature of the gpg fixtures parses to what `gpg
// --list-packets` shows (subpacket 33, the issuer fingerprint, is skipped),
// its hashed subpackets are found and its unhashed issuer is not, a
// designated revoker lands in a signature spec; hand-made signatures take
// each rule of the subpacket walk and of the version-3 layout.
#include "keydb/sig_packet.h"

#include <gtest/gtest.h>

#include "foundation/core/sig_spec.h"
#include "foundation/keydb_services.h"
#include "foundation/sdk_errors.h"
#include "tests/keydb/keydb_test_support.h"

namespace {

using keydb_test::Bytes;
using keydb_test::Hex;

// --- Hand-made signatures ---

Bytes Sub(uint8_t type, const Bytes& data) {
  Bytes s;
  const size_t length = data.size() + 1;
  if (length < 192) {
    s.push_back(static_cast<uint8_t>(length));
  } else {
    s.push_back(static_cast<uint8_t>(((length - 192) >> 8) + 192));
    s.push_back(static_cast<uint8_t>(length - 192));
  }
  s.push_back(type);
  s.insert(s.end(), data.begin(), data.end());
  return s;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kIssuer = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
const Bytes kCreated = {0x60, 0x00, 0x00, 0x00};
// A 1-byte MPI of 7 bits (0x5F) after the 2 check bytes.
const Bytes kNumbers = {0xC0, 0xDE, 0x00, 0x07, 0x5F};

Bytes Packet(const Bytes& body) {
  Bytes p = {0x89, static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
  p.insert(p.end(), body.begin(), body.end());
  return p;
}

Bytes V4(const Bytes& hashed, const Bytes& unhashed, uint8_t algorithm = 17, const Bytes& numbers = kNumbers) {
  Bytes body = {4, 0x10, algorithm, 2, static_cast<uint8_t>(hashed.size() >> 8), static_cast<uint8_t>(hashed.size())};
  body.insert(body.end(), hashed.begin(), hashed.end());
  body.push_back(static_cast<uint8_t>(unhashed.size() >> 8));
  body.push_back(static_cast<uint8_t>(unhashed.size()));
  body.insert(body.end(), unhashed.begin(), unhashed.end());
  body.insert(body.end(), numbers.begin(), numbers.end());
  return Packet(body);
}

// A version-3 body with L bytes of extra material (type 0x13 and creation
// 0x11223344 when L is 5).
Bytes V3(uint8_t extra, uint8_t algorithm = 17, const Bytes& numbers = kNumbers) {
  Bytes body = {3, extra};
  const Bytes material = {0x13, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
  for (uint8_t i = 0; i < extra; ++i) body.push_back(material[i % material.size()]);
  body.insert(body.end(), kIssuer.begin(), kIssuer.end());
  body.push_back(algorithm);
  body.push_back(1);
  body.insert(body.end(), numbers.begin(), numbers.end());
  return Packet(body);
}

struct Fields {
  QOXError result;
  uint8_t algorithm, signer[8], type, hash, version, exportable, revocable, level, amount, regexp, x509, primary;
  QOXTime creation;
  uint32_t expiration, extra;
};

Fields Parse(const Bytes& packet, bool wantSigner = true, bool wantCreation = true, bool wantExtra = true) {
  Fields f{};
  f.result = qoxSigParse(packet.data(), packet.size(), false, &f.algorithm, wantSigner ? f.signer : nullptr,
                         wantCreation ? &f.creation : nullptr, &f.expiration, &f.type, &f.hash,
                         wantExtra ? &f.extra : nullptr, &f.version, &f.exportable, &f.revocable, &f.level, &f.amount,
                         &f.regexp, &f.x509, &f.primary);
  return f;
}

TEST(SigPacketTest, SubpacketRules) {
  const Bytes issuer = Sub(16, kIssuer);
  const Bytes created = Sub(2, kCreated);
  struct Case {
    const char* what;
    Bytes packet;
    QOXError result;
    bool wantSigner = true;
    bool wantCreation = true;
  } cases[] = {
      {"issuer only in the unhashed area", V4(created, issuer), 0},
      {"no signer reference", V4(created, {}), kQOXErrBadSigExtraData},
      {"no signer reference, none wanted", V4(created, {}), 0, false},
      {"critical unknown hashed subpacket", V4(Cat({created, Sub(0x80 | 50, {1})}), issuer), kQOXErrBadSigExtraData},
      {"unknown hashed subpacket", V4(Cat({created, Sub(50, {1})}), issuer), 0},
      {"type above 100", V4(Cat({created, Sub(101, {1})}), issuer), 0},
      {"critical type above 100", V4(Cat({created, Sub(0x80 | 101, {1})}), issuer), kQOXErrBadSigExtraData},
      {"certificate subpacket as the only signer reference", V4(Cat({created, Sub(100, {1, 0, 0, 0x30})}), {}), 0},
      {"a subpacket 100 of another kind is no reference", V4(Cat({created, Sub(100, {2, 0, 0})}), {}),
       kQOXErrBadSigExtraData},
      {"critical issuer of 8 bytes", V4(Cat({created, Sub(0x80 | 16, kIssuer)}), {}), 0},
      {"critical issuer of 9 bytes", V4(Cat({created, Sub(0x80 | 16, Cat({{0}, kIssuer}))}), {}),
       kQOXErrBadSigExtraData},
      {"critical issuer, signer not wanted", V4(Cat({created, Sub(0x80 | 16, kIssuer)}), {}),
       kQOXErrBadSigExtraData, false},
      {"issuer shorter than 8", V4(Cat({created, Sub(16, {1, 2, 3})}), issuer), kQOXErrBadSigExtraData},
      {"critical subpacket in the unhashed area", V4(created, Cat({issuer, Sub(0x80 | 50, {})})),
       kQOXErrBadSigExtraData},
      {"critical creation, not wanted", V4(Sub(0x80 | 2, kCreated), issuer), kQOXErrBadSigExtraData, true, false},
      {"critical creation, wanted", V4(Sub(0x80 | 2, kCreated), issuer), 0},
      {"creation of 5 bytes", V4(Sub(2, {1, 2, 3, 4, 5}), issuer), kQOXErrBadSigExtraData},
      {"a length past the area", V4(Cat({created, Bytes{10, 9, 1}}), issuer), kQOXErrBadSigExtraData},
      {"a zero length", V4(Cat({created, Bytes{0}}), issuer), kQOXErrBadSigExtraData},
      {"trust of one byte", V4(Cat({created, Sub(5, {1})}), issuer), kQOXErrBadSigExtraData},
      {"revocable of two bytes", V4(Cat({created, Sub(7, {0, 0})}), issuer), kQOXErrBadSigExtraData},
      {"hashed-only types unhashed are skipped", V4(created, Cat({issuer, Sub(5, {1}), Sub(7, {0, 0})})), 0},
      {"version 5", Packet({5, 0x10, 17, 2, 0, 0, 0, 0}), kQOXErrSigVersionUnknown},
      {"body shorter than 8", Packet({4, 0x10, 17, 2, 0, 0, 0}), kQOXErrSigTruncated},
      {"hashed area past the body", Packet({4, 0x10, 17, 2, 0, 9, 0, 0}), kQOXErrSigTruncated},
      {"no check bytes", V4(created, issuer, 17, {}), kQOXErrSigTruncated},
      {"MPI past the body", V4(created, issuer, 17, {0, 0, 0, 9, 0x01}), kQOXErrSigTruncated},
      {"MPI count disagrees with its top byte", V4(created, issuer, 17, {0, 0, 0, 8, 0x5F}),
       kQOXErrSigIntegerMalformed},
      {"RSA signature with bytes after its MPI", V4(created, issuer, 1, Cat({kNumbers, {0}})),
       kQOXErrSigTrailingJunk},
      {"DSA signature: only the first MPI is read", V4(created, issuer, 17, Cat({kNumbers, {0, 3, 5}})), 0},
      {"empty body", Packet({}), kQOXErrSigTruncated},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Fields f = Parse(c.packet, c.wantSigner, c.wantCreation);
    EXPECT_EQ(f.result, c.result);
  }
}

TEST(SigPacketTest, SubpacketValues) {
  const Bytes issuer = Sub(16, kIssuer);
  // Expiration counts only after a creation time.
  Fields f = Parse(V4(Cat({Sub(2, kCreated), Sub(3, {0, 0, 0x0E, 0x10})}), issuer));
  ASSERT_EQ(f.result, 0);
  EXPECT_EQ(f.creation, 0x60000000u);
  EXPECT_EQ(f.expiration, 3600u);
  EXPECT_EQ(Hex(f.signer, 8), Hex(kIssuer.data(), 8));
  EXPECT_EQ(f.version, 4);
  EXPECT_EQ(f.type, 0x10);
  EXPECT_EQ(f.hash, 2);
  EXPECT_EQ(f.algorithm, 17);
  EXPECT_EQ(f.extra, 12u);
  f = Parse(V4(Cat({Sub(3, {0, 0, 0x0E, 0x10}), Sub(2, kCreated)}), issuer));
  EXPECT_EQ(f.expiration, 0u);

  // Defaults, then each value.
  f = Parse(V4({}, issuer));
  ASSERT_EQ(f.result, 0);
  EXPECT_EQ(f.exportable, 1);
  EXPECT_EQ(f.revocable, 1);
  EXPECT_EQ(f.creation, 0u);
  f = Parse(V4(Cat({Sub(4, {0}), Sub(5, {2, 120}), Sub(6, {'a', 0}), Sub(7, {0}), Sub(25, {1})}), issuer));
  ASSERT_EQ(f.result, 0);
  EXPECT_EQ(f.exportable, 0);
  EXPECT_EQ(f.level, 2);
  EXPECT_EQ(f.amount, 120);
  EXPECT_EQ(f.regexp, 1);
  EXPECT_EQ(f.revocable, 0);
  EXPECT_EQ(f.primary, 1);
  EXPECT_EQ(f.x509, 0);
  // An unhashed exportable counts only without a hashed one.
  EXPECT_EQ(Parse(V4({}, Cat({issuer, Sub(4, {0})}))).exportable, 0);
  EXPECT_EQ(Parse(V4(Sub(4, {1}), Cat({issuer, Sub(4, {0})}))).exportable, 1);
  // The last 8 bytes of a longer issuer.
  f = Parse(V4({}, Sub(16, Cat({{0xEE, 0xEE}, kIssuer}))));
  EXPECT_EQ(Hex(f.signer, 8), Hex(kIssuer.data(), 8));
  EXPECT_EQ(Parse(V4(Sub(100, {1, 0, 0}), {})).x509, 1);

  // Without a header.
  const Bytes packet = V4(Sub(2, kCreated), issuer);
  QOXTime creation = 0;
  EXPECT_EQ(qoxSigParse(packet.data() + 3, packet.size() - 3, true, nullptr, nullptr, &creation, nullptr, nullptr,
                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(creation, 0x60000000u);
}

TEST(SigPacketTest, Version3Layout) {
  Fields f = Parse(V3(5), true, true, false);
  ASSERT_EQ(f.result, 0);
  EXPECT_EQ(f.version, 3);
  EXPECT_EQ(f.type, 0x13);
  EXPECT_EQ(f.creation, 0x11223344u);
  EXPECT_EQ(Hex(f.signer, 8), Hex(kIssuer.data(), 8)) << "the signer at body offset 7";
  EXPECT_EQ(f.algorithm, 17);
  EXPECT_EQ(f.hash, 1);

  // Another extra length: refused unless the caller takes it, and then the
  // signer is read right after the material (offset 2 + L).
  EXPECT_EQ(Parse(V3(6), true, true, false).result, kQOXErrBadSigExtraMaterial);
  f = Parse(V3(6));
  ASSERT_EQ(f.result, 0);
  EXPECT_EQ(f.extra, 6u);
  EXPECT_EQ(Hex(f.signer, 8), Hex(kIssuer.data(), 8));
  f = Parse(V3(3));
  ASSERT_EQ(f.result, 0);
  EXPECT_EQ(f.type, 0x13);
  EXPECT_EQ(f.creation, 0u) << "no creation time in 3 bytes";

  EXPECT_EQ(Parse(Packet({3})).result, kQOXErrSigTruncated);
  EXPECT_EQ(Parse(Packet({3, 5, 0x13, 0, 0})).result, kQOXErrSigTruncated);
  EXPECT_EQ(Parse(V3(5, 1, Cat({kNumbers, {1}}))).result, kQOXErrSigTrailingJunk);
  EXPECT_EQ(Parse(V3(5, 1)).result, 0);
  EXPECT_EQ(Parse(Packet({2, 5, 0x13, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 17, 1, 0, 0, 0, 1, 1})).result, 0);

  size_t n = 0;
  const Bytes v3 = V3(5);
  EXPECT_EQ(qoxSigParseExtra(v3.data(), v3.size(), &n), v3.data() + 3 + 2);
  EXPECT_EQ(n, 5u);
  const Bytes v4 = V4(Sub(2, kCreated), Sub(16, kIssuer));
  EXPECT_EQ(qoxSigParseExtra(v4.data(), v4.size(), &n), v4.data() + 3);
  EXPECT_EQ(n, 6u + 6u);
  const Bytes longExtra = Packet({3, 40, 0x13});
  EXPECT_EQ(qoxSigParseExtra(longExtra.data(), longExtra.size(), &n), nullptr);
  EXPECT_EQ(n, 0u);
}

TEST(SigPacketTest, FindingSubpackets) {
  const Bytes packet = V4(Cat({Sub(27, {0x03}), Sub(11, {9, 8}), Sub(0x80 | 11, {3}), Sub(100, {2, 1}),
                               Sub(100, {1, 0, 0, 0x30, 0x00})}),
                          Cat({Sub(16, kIssuer), Sub(2, kCreated)}));
  size_t length = 0, count = 0;
  uint8_t critical = 9;
  bool hashed = false;
  QOXTime creation = 0;
  const uint8_t* d = qoxSigFindSubpacket(packet.data(), packet.size(), 11, 1, &length, &critical, &hashed,
                                         &creation, &count);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d[0], 3);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(critical, 0x80);
  EXPECT_TRUE(hashed);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(creation, 0x60000000u) << "a creation time in either area";
  EXPECT_EQ(qoxSigFindSubpacket(packet.data(), packet.size(), 0x80 | 27, 0, &length, nullptr, nullptr, nullptr,
                                nullptr)[0],
            0x03)
      << "types compare on their low 7 bits";
  // The unhashed issuer is never returned.
  EXPECT_EQ(qoxSigFindSubpacket(packet.data(), packet.size(), 16, 0, &length, nullptr, nullptr, nullptr, &count),
            nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(qoxSigFindSubpacket(packet.data(), packet.size(), 11, 2, &length, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  // The certificate subpacket of kind 1 is the second type-100 subpacket.
  d = qoxSigFindORVSubSubpacket(packet.data(), packet.size(), 1, 0, &length, nullptr, &hashed);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(d[3], 0x30);
  EXPECT_EQ(qoxSigFindORVSubSubpacket(packet.data(), packet.size(), 1, 1, &length, nullptr, nullptr), nullptr);
  EXPECT_NE(qoxSigFindORVSubSubpacket(packet.data(), packet.size(), 2, 0, &length, nullptr, nullptr), nullptr);
  // Malformed areas and older versions: nothing.
  const Bytes broken = V4(Cat({Sub(27, {1}), Bytes{9, 1}}), Sub(16, kIssuer));
  EXPECT_EQ(qoxSigFindSubpacket(broken.data(), broken.size(), 27, 0, &length, nullptr, nullptr, nullptr, &count),
            nullptr);
  EXPECT_EQ(length, 0u);
  const Bytes v3 = V3(5);
  EXPECT_EQ(qoxSigFindSubpacket(v3.data(), v3.size(), 2, 0, &length, nullptr, nullptr, nullptr, nullptr), nullptr);
}

class SigFixtureTest : public keydb_test::KeyDBTest {};

size_t AreaSize(const std::vector<std::pair<int, int>>& subs) {
  size_t n = 0;
  for (auto [type, length] : subs) n += (length + 1 < 192 ? 1 : 2) + 1 + length;
  return n;
}

TEST_F(SigFixtureTest, SignaturesEqualGpg) {
  int signatures = 0;
  for (const char* name : {"alice", "bob.both", "carol", "dave"}) {
    SCOPED_TRACE(name);
    const auto packets = keydb_test::SplitPackets(keydb_test::ReadFile(std::string(name) + ".bin"));
    const auto listed = keydb_test::ListPackets(std::string(name) + ".packets.txt");
    ASSERT_EQ(packets.size(), listed.size());
    for (size_t i = 0; i < packets.size(); ++i) {
      if (packets[i].tag != kQOXPktTag_Signature) continue;
      const keydb_test::Listed& l = listed[i];
      SCOPED_TRACE(l.text);
      const Bytes& p = packets[i].bytes;
      const Fields f = Parse(p);
      ASSERT_EQ(f.result, 0);
      EXPECT_EQ(f.version, l.version);
      EXPECT_EQ(f.algorithm, l.algo);
      EXPECT_EQ(Hex(f.signer, 8), l.keyid);
      EXPECT_EQ(f.creation, static_cast<QOXTime>(l.created));
      EXPECT_EQ(f.type, l.sigclass);
      EXPECT_EQ(f.hash, l.digest);
      EXPECT_EQ(f.extra, AreaSize(l.hashed));
      EXPECT_EQ(f.exportable, 1);
      EXPECT_EQ(f.revocable, l.text.find("not revocable") == std::string::npos ? 1 : 0);
      // Every hashed subpacket gpg lists is found, with its length; the
      // unhashed ones are not.
      std::map<int, size_t> nth;
      for (auto [type, length] : l.hashed) {
        size_t n = 0;
        bool hashed = false;
        const uint8_t* d =
            qoxSigFindSubpacket(p.data(), p.size(), static_cast<uint8_t>(type), nth[type]++, &n, nullptr, &hashed,
                                nullptr, nullptr);
        ASSERT_NE(d, nullptr) << type;
        EXPECT_EQ(n, static_cast<size_t>(length));
        EXPECT_TRUE(hashed);
      }
      for (auto [type, length] : l.unhashed) {
        if (nth.count(type) != 0) continue;
        size_t n = 0;
        EXPECT_EQ(qoxSigFindSubpacket(p.data(), p.size(), static_cast<uint8_t>(type), 0, &n, nullptr, nullptr,
                                      nullptr, nullptr),
                  nullptr);
      }
      ++signatures;
    }
  }
  EXPECT_EQ(signatures, 2 + 3 + 2 + 2);
}

// Carol's direct self-signature names alice as her designated revoker; its
// subpackets copied into a signature spec keep that and the not-revocable
// flag, keep unknown ones as raw subpackets and leave the issuer out.
TEST_F(SigFixtureTest, SubpacketsIntoASignatureSpec) {
  const auto packets = keydb_test::SplitPackets(keydb_test::ReadFile("carol.bin"));
  QOXKeyDBObj* carol = AddKey(packets[0].bytes);
  ASSERT_EQ(packets[1].tag, 2);
  const Bytes& direct = packets[1].bytes;
  QOXSigSpec* spec = qoxSigSpecCreate(qoxContextGetEnvironment(context_), carol, 0x1F);
  ASSERT_NE(spec, nullptr);
  ASSERT_EQ(qoxSigSubpacketsSpec(spec, direct.data(), direct.size()), 0);
  const uint8_t* data = nullptr;
  size_t length = 0;
  EXPECT_NE(qoxSigSpecRevocationKey(spec, &data, &length, 0) & kQOXSigSubpacket_Present, 0u);
  ASSERT_EQ(length, 22u);
  EXPECT_EQ(data[0], 0x80);
  EXPECT_EQ(data[1], 1);
  const keydb_test::ColonKeys alice = keydb_test::ListColons("alice.colons.txt");
  EXPECT_EQ(Hex(data + 2, 20), alice.fingerprints[0]);
  uint8_t revocable = 1;
  EXPECT_NE(qoxSigSpecRevocable(spec, &revocable) & kQOXSigSubpacket_Present, 0u);
  EXPECT_EQ(revocable, 0);
  // Subpacket 33 (issuer fingerprint) is kept raw; the issuer is not kept.
  bool raw33 = false;
  for (uint32_t n = 0; qoxSigSpecPacket(spec, &data, &length, n) != 0; ++n) {
    EXPECT_NE(data[0], 16);
    if (data[0] == 33) raw33 = length == 22;
  }
  EXPECT_TRUE(raw33);
  qoxSigSpecDestroy(spec);

  // Flags, and the refusals.
  spec = qoxSigSpecCreate(qoxContextGetEnvironment(context_), carol, 0x10);
  ASSERT_NE(spec, nullptr);
  const Bytes marked = V4(Cat({Sub(0x80 | 11, {3, 1}), Sub(6, {'a', 'b'})}), Cat({Sub(16, kIssuer), Sub(27, {1})}));
  ASSERT_EQ(qoxSigSubpacketsSpec(spec, marked.data(), marked.size()), 0);
  EXPECT_EQ(qoxSigSpecPrefAlgs(spec, &data, &length), kQOXSigSubpacket_Present | kQOXSigSubpacket_Critical);
  EXPECT_EQ(qoxSigSpecKeyFlags(spec, &data, &length), kQOXSigSubpacket_Present | kQOXSigSubpacket_Unhashed);
  const char* regexp = nullptr;
  EXPECT_NE(qoxSigSpecRegExp(spec, &regexp), 0u);
  EXPECT_STREQ(regexp, "ab") << "an unterminated expression is copied from its bytes only";
  for (const Bytes& bad : {V4(Sub(2, {1, 2}), Sub(16, kIssuer)), V4({}, Cat({Sub(16, kIssuer), Sub(0x80 | 27, {1})})),
                           V4(Cat({Sub(25, {1, 1})}), Sub(16, kIssuer)), V4({}, Sub(16, {1, 2, 3})),
                           V4(Bytes{5, 1}, {})}) {
    EXPECT_EQ(qoxSigSubpacketsSpec(spec, bad.data(), bad.size()), kQOXErrBadSigExtraData);
  }
  const Bytes v3 = V3(5);
  EXPECT_EQ(qoxSigSubpacketsSpec(spec, v3.data(), v3.size()), 0);
  qoxSigSpecDestroy(spec);
}

}  // namespace
