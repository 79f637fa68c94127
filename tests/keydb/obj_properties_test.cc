// Object properties and their accessors over the gpg fixtures, with gpg's
// listings (--with-colons, --list-packets) as the oracle, and the getters'
// rules: ranges, deleted objects, buffer copying.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <sstream>

#include "foundation/context.h"
#include "foundation/env.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_accessors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_properties.h"
#include "keydb/ring_reader.h"
#include "keydb/self_sig.h"
#include "keydb/sig_check_services.h"
#include "keydb_test_support.h"
#include "tests/common/scoped_services.h"

namespace {

using keydb_test::Bytes;
using keydb_test::NewPacket;
using keydb_test::ReadText;
using P = KeyDBObjProperty;

constexpr int32_t N(P p) { return static_cast<int32_t>(p); }

// A pub or sub line of gpg --with-colons.
struct ColonKey {
  int bits;
  int algorithm;
  std::string keyID;
  long created;
  long expires;
  std::string fingerprint;
};

struct ColonListing {
  std::vector<ColonKey> keys;  // primary first
  std::string userID;
};

ColonListing Colons(const std::string& name) {
  ColonListing out;
  std::istringstream in(ReadText(name + ".colons.txt"));
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::stringstream s(line);
    for (std::string x; std::getline(s, x, ':');) f.push_back(x);
    if (f.size() < 10) continue;
    if (f[0] == "pub" || f[0] == "sub") {
      out.keys.push_back({std::stoi(f[2]), std::stoi(f[3]), f[4], std::stol(f[5]), f[6].empty() ? 0 : std::stol(f[6]), ""});
    } else if (f[0] == "fpr" && !out.keys.empty() && out.keys.back().fingerprint.empty()) {
      out.keys.back().fingerprint = f[9];
    } else if (f[0] == "uid" && out.userID.empty()) {
      out.userID = f[9];
    }
  }
  return out;
}

// The values gpg --list-packets prints in hex or as lists, in order.
std::vector<int> KeyFlagsListed(const std::string& name) {
  std::vector<int> out;
  const std::string text = ReadText(name + ".packets.txt");
  const std::regex re(R"(key flags: ([0-9A-F]+))");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
    out.push_back(std::stoi((*it)[1], nullptr, 16));
  return out;
}

std::vector<uint32_t> PrefSymListed(const std::string& name) {
  std::smatch m;
  const std::string text = ReadText(name + ".packets.txt");
  EXPECT_TRUE(std::regex_search(text, m, std::regex(R"(pref-sym-algos: ([0-9 ]+))")));
  std::vector<uint32_t> out;
  std::istringstream in(m[1].str());
  for (uint32_t a; in >> a;) out.push_back(a);
  return out;
}

class ObjPropertiesTest : public keydb_test::KeyDBTest {
 protected:
  void SetUp() override {
    KeyDBTest::SetUp();
    for (const char* name : {"alice.sec", "bob.both", "carol", "dave"})
      ASSERT_EQ(ReadFixture(std::string(name) + ".bin"), 0);
    // As a successful signature check leaves them.
    MarkAllChecked();
  }

  bool Bool(QOXKeyDBObj* o, P p) {
    bool v = false;
    EXPECT_EQ(QOXGetKeyDBObjBooleanProperty(o, N(p), &v), 0) << N(p);
    return v;
  }
  int32_t Num(QOXKeyDBObj* o, P p) {
    int32_t v = -1;
    EXPECT_EQ(QOXGetKeyDBObjNumericProperty(o, N(p), &v), 0) << N(p);
    return v;
  }
  QOXTime Time(QOXKeyDBObj* o, P p) {
    QOXTime v = 1;
    EXPECT_EQ(QOXGetKeyDBObjTimeProperty(o, N(p), &v), 0) << N(p);
    return v;
  }
  // A data value, read through both forms, which must agree.
  Bytes Data(QOXKeyDBObj* o, P p) {
    size_t size = 0;
    EXPECT_EQ(QOXGetKeyDBObjDataProperty(o, N(p), nullptr, 0, &size), 0) << N(p);
    Bytes value(size);
    size_t again = 0;
    EXPECT_EQ(QOXGetKeyDBObjDataProperty(o, N(p), value.data(), value.size(), &again), 0) << N(p);
    EXPECT_EQ(again, size);
    void* block = nullptr;
    size_t allocated = 0;
    EXPECT_EQ(QOXGetKeyDBObjAllocatedDataProperty(o, N(p), &block, &allocated), 0) << N(p);
    EXPECT_EQ(allocated, size);
    if (block != nullptr) {
      EXPECT_EQ(Bytes(static_cast<uint8_t*>(block), static_cast<uint8_t*>(block) + allocated), value);
      QOXFreeData(block);
    }
    return value;
  }
  std::string Text(QOXKeyDBObj* o, P p) {
    const Bytes b = Data(o, p);
    return std::string(b.begin(), b.end());
  }
  QOXKeyDBObj* UserID(QOXKeyDBObj* key) { return Children(key, kQOXKeyDBObjType_UserID)[0]; }
  QOXKeyDBObj* SubKey(QOXKeyDBObj* key) { return Children(key, kQOXKeyDBObjType_SubKey)[0]; }
};

// Algorithm, bits, creation, expiry, key ID and fingerprint of every key
// and subkey, key flags and preferred algorithms of the self-signatures,
// and the user ID's texts: as gpg lists them.
TEST_F(ObjPropertiesTest, KeysAndUserIDsAsGpgListsThem) {
  // Dave's expiry lives in his self-signatures' key-expiration subpackets;
  // a trusted read applies it with the signatures' trust packets.
  QOXKeyDBObj* dave = KeyNamed("dave");
  const Bytes checked = NewPacket(kQOXPktTag_Trust, {kQOXSigTrust_Checked});
  ASSERT_EQ(qoxTrustPacket(checked.data(), checked.size(), db_, Children(UserID(dave), kQOXKeyDBObjType_Sig)[0],
                           qoxContextGetEnvironment(context_)),
            0);
  ASSERT_EQ(qoxTrustPacket(checked.data(), checked.size(), db_, Children(SubKey(dave), kQOXKeyDBObjType_Sig)[0],
                           qoxContextGetEnvironment(context_)),
            0);
  for (const char* name : {"alice", "bob", "carol", "dave"}) {
    SCOPED_TRACE(name);
    const ColonListing gpg = Colons(name);
    QOXKeyDBObj* key = KeyNamed(name);
    ASSERT_NE(key, nullptr);
    std::vector<QOXKeyDBObj*> keys{key};
    for (QOXKeyDBObj* s : Children(key, kQOXKeyDBObjType_SubKey)) keys.push_back(s);
    ASSERT_EQ(keys.size(), gpg.keys.size());
    const std::vector<int> flags = KeyFlagsListed(name);
    ASSERT_EQ(flags.size(), keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
      QOXKeyDBObj* k = keys[i];
      const ColonKey& g = gpg.keys[i];
      const bool sub = i > 0;
      EXPECT_EQ(Num(k, sub ? P::SubKeyAlgorithm : P::KeyAlgorithm), g.algorithm);
      EXPECT_EQ(Num(k, P::KeyAlgorithm), g.algorithm) << "a key-range property of a subkey answers for it";
      EXPECT_EQ(Num(k, sub ? P::SubKeyBits : P::KeyBits), g.bits);
      EXPECT_EQ(Time(k, sub ? P::SubKeyCreation : P::KeyCreation), static_cast<QOXTime>(g.created));
      EXPECT_EQ(Time(k, sub ? P::SubKeyExpiration : P::KeyExpiration), static_cast<QOXTime>(g.expires));
      EXPECT_EQ(Num(k, sub ? P::SubKeyVersion : P::KeyVersion), 4);
      EXPECT_EQ(Num(k, sub ? P::SubKeyFlags : P::KeyFlags), flags[i]);
      EXPECT_EQ(keydb_test::Hex(Data(k, P::KeyFingerprint).data(), 20), g.fingerprint);
      const Bytes id = Data(k, sub ? P::SubKeyKeyID : P::KeyKeyID);
      ASSERT_EQ(id.size(), sizeof(QOXKeyID));
      QOXKeyID keyID;
      std::memcpy(&keyID, id.data(), sizeof keyID);
      EXPECT_EQ(keydb_test::Hex(keyID.bytes, keyID.length), g.keyID);
      EXPECT_EQ(Num(k, P::ObjectType), sub ? 2 : 1);
      EXPECT_FALSE(Bool(k, sub ? P::SubKeyIsExpired : P::KeyIsExpired));
    }
    // 403: one 32-bit integer per algorithm; the allocated form holds
    // exactly the array.
    const Bytes prefs = Data(key, P::KeyPreferredAlgorithms);
    const std::vector<uint32_t> listed = PrefSymListed(name);
    ASSERT_EQ(prefs.size(), listed.size() * 4);
    EXPECT_EQ(std::memcmp(prefs.data(), listed.data(), prefs.size()), 0);
    EXPECT_EQ(Num(key, P::KeyServerPreferences), 0x80);
    QOXKeyDBObj* uid = UserID(key);
    EXPECT_EQ(Num(uid, P::ObjectType), 4);
    EXPECT_EQ(Text(uid, P::UserIDName), gpg.userID);
    const std::smatch parts = [&] {
      std::smatch m;
      EXPECT_TRUE(std::regex_match(gpg.userID, m, std::regex(R"((.*) <(.*)>)")));
      return m;
    }();
    EXPECT_EQ(Text(uid, P::UserIDCommonName), parts[1].str());
    EXPECT_EQ(Text(uid, P::UserIDEmailAddress), parts[2].str());
    EXPECT_FALSE(Bool(uid, P::UserIDIsAttribute));
    EXPECT_EQ(Num(uid, P::UserIDAttributeType), 0);
  }
  // Signatures: bob's certifications as gpg lists them.
  QOXKeyDBObj* bob = KeyNamed("bob");
  const auto listed = keydb_test::ListPackets("bob.both.packets.txt");
  std::vector<keydb_test::Listed> sigs;
  for (const auto& l : listed)
    if (l.tag == 2) sigs.push_back(l);
  const auto objects = Children(UserID(bob), kQOXKeyDBObjType_Sig);
  ASSERT_EQ(objects.size(), sigs.size());
  for (size_t i = 0; i < sigs.size(); ++i) {
    EXPECT_EQ(Time(objects[i], P::SigCreation), static_cast<QOXTime>(sigs[i].created));
    EXPECT_EQ(Num(objects[i], P::SigAlgorithm), sigs[i].algo);
    const Bytes id = Data(objects[i], P::SigKeyID);
    QOXKeyID keyID;
    std::memcpy(&keyID, id.data(), sizeof keyID);
    EXPECT_EQ(keydb_test::Hex(keyID.bytes, keyID.length), sigs[i].keyid);
    EXPECT_EQ(Num(objects[i], P::ObjectType), 8);
  }
}

// The getters' rules: ranges and kinds, deleted objects, unserved numbers.
TEST_F(ObjPropertiesTest, RangesKindsAndDeletion) {
  QOXKeyDBObj* alice = KeyNamed("alice");
  QOXKeyDBObj* sub = SubKey(alice);
  QOXKeyDBObj* uid = UserID(alice);
  QOXKeyDBObj* sig = Children(uid, kQOXKeyDBObjType_Sig)[0];
  bool b = true;
  int32_t n = 1;
  QOXTime t = 1;
  size_t size = 1;
  uint8_t buffer[64];
  struct Case {
    const char* what;
    QOXKeyDBObj* object;
    int32_t property;
    char getter;  // b n t d
    QOXError expected;
  } cases[] = {
      {"number outside the served set", alice, 118, 'b', kQOXErrInvalidPropertyName},
      {"400 is not served", alice, 400, 'd', kQOXErrInvalidPropertyName},
      {"a numeric number asked as a boolean", alice, 200, 'b', kQOXErrInvalidPropertyName},
      {"20 through the boolean getter", alice, 20, 'b', kQOXErrInvalidPropertyName},
      {"20 through the boolean getter on a user ID", uid, 20, 'b', kQOXErrBadParams},
      {"a subkey property of a key", alice, 600, 'n', kQOXErrBadParams},
      {"a key property of a user ID", uid, 200, 'n', kQOXErrBadParams},
      {"a subkey's unserved number", sub, 606, 'n', kQOXErrInvalidPropertyName},
      {"a subkey time", sub, 702, 't', kQOXErrInvalidPropertyName},
      {"any time of a user ID", uid, 1100, 't', kQOXErrBadParams},
      {"a key time of a user ID", uid, 300, 't', kQOXErrBadParams},
      {"a user-ID boolean beyond 900", uid, 901, 'b', kQOXErrInvalidPropertyName},
      {"a signature number", sig, 1403, 'n', kQOXErrInvalidPropertyName},
      {"a signature property of a key", alice, 1500, 't', kQOXErrBadParams},
      {"a signature data number beyond 1607", sig, 1608, 'd', kQOXErrInvalidPropertyName},
      {"not X.509", sig, 1601, 'd', kQOXErrInvalidPropertyName},
      {"no object", nullptr, 200, 'n', kQOXErrBadParams},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    switch (c.getter) {
      case 'b':
        EXPECT_EQ(QOXGetKeyDBObjBooleanProperty(c.object, c.property, &b), c.expected);
        EXPECT_FALSE(b);
        break;
      case 'n':
        EXPECT_EQ(QOXGetKeyDBObjNumericProperty(c.object, c.property, &n), c.expected);
        EXPECT_EQ(n, 0);
        break;
      case 't':
        EXPECT_EQ(QOXGetKeyDBObjTimeProperty(c.object, c.property, &t), c.expected);
        EXPECT_EQ(t, 0u);
        break;
      default:
        std::memset(buffer, 0xAA, sizeof buffer);
        EXPECT_EQ(QOXGetKeyDBObjDataProperty(c.object, c.property, buffer, sizeof buffer, &size), c.expected);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(buffer[0], 0) << "the buffer is cleared first";
        break;
    }
  }
  // Null outputs.
  EXPECT_EQ(QOXGetKeyDBObjBooleanProperty(alice, N(P::KeyIsSecret), nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXGetKeyDBObjNumericProperty(alice, N(P::KeyBits), nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXGetKeyDBObjTimeProperty(alice, N(P::KeyCreation), nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXGetKeyDBObjDataProperty(alice, N(P::KeyData), buffer, sizeof buffer, nullptr), kQOXErrBadParams);
  EXPECT_EQ(QOXGetKeyDBObjAllocatedDataProperty(alice, N(P::KeyData), nullptr, &size), kQOXErrBadParams);
  EXPECT_EQ(QOXGetKeyDBObjDataProperty(uid, N(P::UserIDName), buffer, sizeof buffer, nullptr), 0)
      << "a user ID's size output may be null";

  // A CRL object: type 0; a boolean of it is refused.
  const Bytes crlPacket = NewPacket(kQOXPktTag_CRL, {1, 2, 0x30, 0});
  QOXError err = 0;
  QOXKeyDBObj* crl = qoxAddCRL(kQOXPktTag_CRL, crlPacket.data(), crlPacket.size(), db_, alice, &err);
  ASSERT_NE(crl, nullptr);
  EXPECT_EQ(Num(crl, P::ObjectType), 0);
  EXPECT_EQ(QOXGetKeyDBObjBooleanProperty(crl, N(P::ObjectType), &b), kQOXErrBadParams);

  // Deleted: every key-range property still answers; a user ID's or a
  // signature's boolean, numeric and time properties refuse, a signature's
  // data still answers.
  QOXKeyDBObj* bob = KeyNamed("bob");
  QOXKeyDBObj* bobUID = UserID(bob);
  QOXKeyDBObj* bobSig = Children(bobUID, kQOXKeyDBObjType_Sig)[0];
  ASSERT_EQ(qoxMarkKeyDBObjectDeleted(bob), 0);
  EXPECT_EQ(Num(bob, P::KeyAlgorithm), 17);
  EXPECT_EQ(Data(bob, P::KeyFingerprint).size(), 20u);
  EXPECT_EQ(QOXGetKeyDBObjBooleanProperty(bobUID, N(P::UserIDIsAttribute), &b), kQOXErrObjectDeleted);
  EXPECT_EQ(QOXGetKeyDBObjNumericProperty(bobUID, N(P::UserIDValidity), &n), kQOXErrObjectDeleted);
  EXPECT_EQ(QOXGetKeyDBObjDataProperty(bobUID, N(P::UserIDName), buffer, sizeof buffer, &size), kQOXErrObjectDeleted);
  EXPECT_EQ(QOXGetKeyDBObjBooleanProperty(bobSig, N(P::SigIsExportable), &b), kQOXErrObjectDeleted);
  EXPECT_EQ(QOXGetKeyDBObjNumericProperty(bobSig, N(P::SigTrustLevel), &n), kQOXErrObjectDeleted);
  EXPECT_EQ(QOXGetKeyDBObjTimeProperty(bobSig, N(P::SigCreation), &t), kQOXErrObjectDeleted);
  EXPECT_EQ(Data(bobSig, P::SigKeyID).size(), sizeof(QOXKeyID));
  // A deleted subkey's data is refused (the subkey range tests it).
  ASSERT_EQ(qoxMarkKeyDBObjectDeleted(sub), 0);
  EXPECT_EQ(QOXGetKeyDBObjDataProperty(sub, N(P::SubKeyData), buffer, sizeof buffer, &size), kQOXErrObjectDeleted);
  EXPECT_EQ(Num(sub, P::SubKeyBits), 2048) << "numbers of a deleted subkey still answer";
}

// Copying a data value: short and long buffers, the allocated form, the
// texts of user IDs, and the exceptions 403 and 406.
TEST_F(ObjPropertiesTest, BufferCopyRules) {
  QOXKeyDBObj* alice = KeyNamed("alice");
  const std::string name = "Alice RSA <alice@example.org>";
  QOXKeyDBObj* uid = UserID(alice);
  std::vector<char> buffer(name.size() + 8, 'x');
  size_t size = 0;
  // One byte short: -11998, the leading bytes, no zero byte.
  EXPECT_EQ(QOXGetKeyDBObjDataProperty(uid, N(P::UserIDName), buffer.data(), name.size() - 1, &size),
            kQOXErrBufferTooSmall);
  EXPECT_EQ(size, name.size());
  EXPECT_EQ(std::string(buffer.data(), name.size() - 1), name.substr(0, name.size() - 1));
  EXPECT_EQ(buffer[name.size() - 1], 'x');
  // One byte longer: a zero byte follows.
  EXPECT_EQ(QOXGetKeyDBObjDataProperty(uid, N(P::UserIDName), buffer.data(), name.size() + 1, &size), 0);
  EXPECT_STREQ(buffer.data(), name.c_str());
  EXPECT_EQ(buffer[name.size() + 1], 'x') << "a user ID's buffer is not cleared first";
  // Key data: the buffer is cleared first.
  std::vector<uint8_t> wide(64, 0xEE);
  ASSERT_EQ(QOXGetKeyDBObjDataProperty(alice, N(P::KeyFingerprint), wide.data(), wide.size(), &size), 0);
  EXPECT_EQ(size, 20u);
  EXPECT_EQ(std::count(wide.begin() + 20, wide.end(), 0), 44);
  // The allocated form ends in a zero byte.
  void* block = nullptr;
  ASSERT_EQ(QOXGetKeyDBObjAllocatedDataProperty(uid, N(P::UserIDName), &block, &size), 0);
  EXPECT_EQ(size, name.size());
  EXPECT_STREQ(static_cast<char*>(block), name.c_str());
  QOXFreeData(block);

  // The texts of user IDs.
  struct TextCase {
    std::string text;
    P property;
    QOXError expected;
    std::string value;
  } texts[] = {
      {"Ann Lee  <id>", P::UserIDCommonName, 0, "Ann Lee"},
      {"Ann Lee  <id>", P::UserIDEmailAddress, 0, "id"},
      {"Ann <id", P::UserIDEmailAddress, 0, "id"},
      {"Plain Name", P::UserIDCommonName, 0, "Plain Name"},
      {"Plain Name", P::UserIDEmailAddress, kQOXErrInvalidPropertyName, ""},
      {"<only@example.org>", P::UserIDCommonName, 0, ""},
      {"<only@example.org>", P::UserIDEmailAddress, 0, "only@example.org"},
      {"Two <a> <b>", P::UserIDEmailAddress, 0, "a"},
      {"Name", P::UserIDAttributeData, kQOXErrInvalidPropertyName, ""},
  };
  for (const TextCase& c : texts) {
    SCOPED_TRACE(c.text);
    QOXKeyDBObj* u = NewUserID(alice, c.text);
    char out[64];
    EXPECT_EQ(QOXGetKeyDBObjDataProperty(u, N(c.property), out, sizeof out, &size), c.expected);
    if (c.expected != 0) continue;
    EXPECT_EQ(std::string(out, size), c.value);
    EXPECT_EQ(out[size], 0);
    block = nullptr;
    EXPECT_EQ(QOXGetKeyDBObjAllocatedDataProperty(u, N(c.property), &block, &size),
              c.value.empty() ? kQOXErrInvalidPropertyName : 0)
        << "an empty value is not allocated";
    EXPECT_EQ(block == nullptr, c.value.empty());
    if (block != nullptr) QOXFreeData(block);
  }
  // A user attribute (an image): its type and data; no name.
  const Bytes attribute = NewPacket(kQOXPktTag_UserAttribute, {4, 1, 0xAB, 0xCD, 0xEF});
  QOXError err = 0;
  QOXKeyDBObj* photo = qoxAddUserID(kQOXPktTag_UserAttribute, attribute.data(), attribute.size(), db_, alice, &err);
  ASSERT_NE(photo, nullptr);
  EXPECT_TRUE(Bool(photo, P::UserIDIsAttribute));
  EXPECT_EQ(Num(photo, P::UserIDAttributeType), 1);
  EXPECT_EQ(Data(photo, P::UserIDAttributeData), (Bytes{0xAB, 0xCD, 0xEF}));
  EXPECT_EQ(QOXGetKeyDBObjDataProperty(photo, N(P::UserIDName), nullptr, 0, &size), kQOXErrInvalidPropertyName);

  // 403 in a buffer: copied as usual, with a zero byte after it.
  std::vector<uint8_t> prefs(17, 0xEE);
  ASSERT_EQ(QOXGetKeyDBObjDataProperty(alice, N(P::KeyPreferredAlgorithms), prefs.data(), prefs.size(), &size), 0);
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(prefs[16], 0);
  // 406: without a buffer its size is known; computing it needs the X.509
  // bridge, whose answer comes back.
  ASSERT_EQ(QOXGetKeyDBObjDataProperty(alice, N(P::KeyX509Digest), nullptr, 0, &size), 0);
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(QOXGetKeyDBObjDataProperty(alice, N(P::KeyX509Digest), wide.data(), wide.size(), &size),
            kQOXErrFeatureNotAvailable);
  EXPECT_EQ(size, 0u);
  // 405: the key material after the fixed fields (version, creation,
  // algorithm), secret part included for a secret key.
  for (const auto& [file, key] : {std::pair{"carol.bin", KeyNamed("carol")}, std::pair{"alice.sec.bin", alice}}) {
    const Bytes packet = keydb_test::SplitPackets(keydb_test::ReadFile(file))[0].bytes;
    const size_t header = qoxPktBufferHeaderLen(packet.data(), packet.size());
    EXPECT_EQ(Data(key, P::KeyData), Bytes(packet.begin() + header + 6, packet.end())) << file;
  }
}

// Usability (108-111) step by step, the uses, trust and validity, and the
// properties of secret parts.
TEST_F(ObjPropertiesTest, UsabilityTrustAndSecretParts) {
  QOXKeyDBObj* alice = KeyNamed("alice");
  QOXKeyDBObj* bob = KeyNamed("bob");
  QOXKeyDBObj* carol = KeyNamed("carol");
  QOXKeyDBObj* sub = SubKey(alice);
  struct Usage {
    const char* what;
    QOXKeyDBObj* key;
    bool encrypt, decrypt, sign, verify;
  } usages[] = {
      {"alice: secret RSA with an ElGamal subkey", alice, true, true, true, true},
      {"alice's subkey encrypts only", sub, true, true, false, false},
      {"bob: public DSA", bob, false, false, false, true},
      {"carol: public RSA, both uses", carol, true, false, false, true},
  };
  for (const Usage& u : usages) {
    SCOPED_TRACE(u.what);
    EXPECT_EQ(Bool(u.key, P::KeyCanEncrypt), u.encrypt);
    EXPECT_EQ(Bool(u.key, P::KeyCanDecrypt), u.decrypt);
    EXPECT_EQ(Bool(u.key, P::KeyCanSign), u.sign);
    EXPECT_EQ(Bool(u.key, P::KeyCanVerify), u.verify);
    EXPECT_TRUE(Bool(u.key, P::KeyIsIntact));
  }
  // An RSA key over 4096 bits serves nothing; 4096 passes that step.
  KeyInfo* carolInfo = qoxKeyToKeyInfo(carol);
  carolInfo->bits = 4097;
  EXPECT_FALSE(Bool(carol, P::KeyCanEncrypt));
  EXPECT_FALSE(Bool(carol, P::KeyCanVerify));
  carolInfo->bits = 4096;
  EXPECT_TRUE(Bool(carol, P::KeyCanEncrypt));
  // Disabled, revoked: no encryption, no signing; decryption stays.
  carolInfo->keyTrust |= kQOXKeyTrust_Disabled;
  EXPECT_TRUE(Bool(carol, P::KeyIsDisabled));
  EXPECT_FALSE(Bool(carol, P::KeyCanEncrypt));
  EXPECT_TRUE(Bool(carol, P::KeyCanVerify));
  KeyInfo* aliceInfo = qoxKeyToKeyInfo(alice);
  aliceInfo->keyTrust |= kQOXKeyTrust_Revoked;
  EXPECT_TRUE(Bool(sub, P::KeyIsRevoked)) << "a subkey of a revoked key is revoked";
  EXPECT_TRUE(Bool(sub, P::SubKeyIsRevoked));
  EXPECT_FALSE(Bool(alice, P::KeyCanEncrypt));
  EXPECT_FALSE(Bool(alice, P::KeyCanSign));
  EXPECT_TRUE(Bool(alice, P::KeyCanDecrypt));
  EXPECT_EQ(Num(UserID(alice), P::UserIDValidity), 1) << "a revoked key's user IDs";
  aliceInfo->keyTrust &= static_cast<uint8_t>(~kQOXKeyTrust_Revoked);
  // A revoked subkey: the encryption use counts it (112), the signing use
  // and encryption do not.
  qoxKeyToKeyInfo(sub)->keyTrust |= kQOXKeyTrust_Revoked;
  EXPECT_TRUE(Bool(alice, P::KeyHasEncryptionUse));
  EXPECT_TRUE(Bool(alice, P::KeyCanEncrypt)) << "without a usable subkey RSA alice encrypts herself";
  QOXKeyDBObj* encryptingKey = nullptr;
  ASSERT_EQ(QOXGetKeyForUsage(alice, 0x0C, &encryptingKey), 0);
  EXPECT_EQ(encryptingKey, alice);
  qoxKeyToKeyInfo(sub)->keyTrust = 0;

  // Hash algorithm: SHA-1 for DSA whatever the environment says.
  ASSERT_EQ(qoxenvSetInt(qoxContextGetEnvironment(context_), kQOXEnvHashAlgorithm, 3, 0), 0);
  EXPECT_EQ(Num(bob, P::KeyHashAlgorithm), 2);
  EXPECT_EQ(Num(carol, P::KeyHashAlgorithm), 3);

  // Trust and validity: axiomatic alice trusts ultimately and her user ID
  // is complete; bob's user ID carries the old validity of its trust byte.
  EXPECT_EQ(Num(alice, P::KeyValidity), 0);
  qoxKeySetAxiomatic(alice);
  EXPECT_TRUE(Bool(alice, P::KeyIsAxiomatic));
  EXPECT_EQ(Num(alice, P::KeyTrust), 7);
  EXPECT_EQ(Num(alice, P::KeyValidity), 3);
  EXPECT_EQ(Num(UserID(alice), P::UserIDConfidence), 65535);
  qoxUserIDToUserIDInfo(UserID(bob))->trustByte = 2;
  EXPECT_EQ(Num(UserID(bob), P::UserIDValidity), 2);
  EXPECT_EQ(Num(bob, P::KeyValidity), 2);

  // Secret parts: alice's in the clear names her first preferred cipher
  // (AES-256); a public key has none.
  EXPECT_TRUE(Bool(alice, P::KeyIsSecret));
  EXPECT_FALSE(Bool(alice, P::KeyNeedsPassphrase));
  EXPECT_FALSE(Bool(alice, P::KeyIsShared));
  EXPECT_EQ(Num(alice, P::KeyLockingAlgorithm), 9);
  EXPECT_EQ(Num(alice, P::KeyLockingBits), 256);
  EXPECT_EQ(Num(sub, P::SubKeyLockingAlgorithm), 9);
  int32_t n = 1;
  EXPECT_EQ(QOXGetKeyDBObjNumericProperty(bob, N(P::KeyLockingAlgorithm), &n), kQOXErrInvalidPropertyName);
  EXPECT_FALSE(Bool(bob, P::KeyNeedsPassphrase));
  EXPECT_FALSE(Bool(bob, P::KeyHasCRL));
  QOXTime t = 1;
  EXPECT_EQ(QOXGetKeyDBObjTimeProperty(bob, N(P::KeyCRLCreation), &t), kQOXErrInvalidPropertyName);
}

// Carol names alice as her designated revoker ("Revoker:" in gpg's key
// generation): found with its key ID; a revocation by alice is a
// designated revocation; a 21-byte subpacket names nobody.
TEST_F(ObjPropertiesTest, DesignatedRevokers) {
  QOXKeyDBObj* alice = KeyNamed("alice");
  QOXKeyDBObj* carol = KeyNamed("carol");
  QOXKeyDBObj* bob = KeyNamed("bob");
  const std::string aliceID = keydb_test::ListColons("alice.colons.txt").keyIDs[0];
  uint32_t count = 9;
  ASSERT_EQ(QOXCountRevocationKeys(carol, &count), 0);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(QOXCountRevocationKeys(bob, &count), 0);
  EXPECT_EQ(count, 0u) << "no revocation key: 0 and success";
  ASSERT_EQ(QOXCountAdditionalRecipientRequests(carol, &count), 0);
  EXPECT_EQ(count, 0u);
  QOXKeyDBObj* revoker = nullptr;
  QOXKeyID id;
  ASSERT_EQ(QOXGetIndexedRevocationKey(carol, 0, &revoker, &id), 0);
  EXPECT_EQ(revoker, alice);
  EXPECT_EQ(keydb_test::Hex(id.bytes, id.length), aliceID);
  EXPECT_EQ(id.algorithm, 1);
  uint8_t algorithm = 0, klass = 0;
  size_t total = 0;
  QOXError err = 0;
  EXPECT_EQ(qoxKeyRevocationKey(carol, 0, &algorithm, &id, &klass, &total, &err), alice);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(klass, 0x80);
  EXPECT_EQ(total, 1u);
  EXPECT_EQ(QOXGetIndexedRevocationKey(carol, 1, &revoker, &id), kQOXErrItemNotFound);
  EXPECT_EQ(revoker, nullptr);
  EXPECT_EQ(id.valid, 0);
  // Alice's secret part is here: carol can be revoked; bob cannot.
  EXPECT_TRUE(Bool(carol, P::KeyCanBeRevoked));
  EXPECT_FALSE(Bool(bob, P::KeyCanBeRevoked));
  EXPECT_TRUE(Bool(alice, P::KeyCanBeRevoked)) << "a secret key";

  EXPECT_FALSE(Bool(carol, P::KeyHasDesignatedRevocation));
  size_t size = 0;
  uint8_t shortID[8];
  EXPECT_EQ(QOXGetKeyDBObjDataProperty(carol, N(P::KeyRevokerShortID), shortID, sizeof shortID, &size),
            kQOXErrBadParams);
  NewSig(carol, bob, kQOXSigType_KeyRevocation, 1796950000);
  EXPECT_FALSE(Bool(carol, P::KeyHasDesignatedRevocation)) << "bob is no designated revoker";
  EXPECT_TRUE(Bool(carol, P::KeyHasRevocationSignature));
  NewSig(carol, alice, kQOXSigType_KeyRevocation, 1796950001);
  EXPECT_TRUE(Bool(carol, P::KeyHasDesignatedRevocation));
  EXPECT_EQ(keydb_test::Hex(Data(carol, P::KeyRevokerShortID).data(), 4), aliceID.substr(8));

  // A revocation-key subpacket of 21 bytes (one short of a fingerprint).
  QOXKeyDBObj* dave = KeyNamed("dave");
  Bytes shortKey{0x80, 1};
  shortKey.resize(21, 0x5A);
  NewSig(dave, dave, kQOXSigType_DirectKey, 1796950000, {{kQOXSubpacket_RevocationKey, shortKey}});
  ASSERT_EQ(QOXCountRevocationKeys(dave, &count), 0);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(qoxKeyRevocationKey(dave, 0, &algorithm, &id, &klass, &total, &err), nullptr);
  EXPECT_EQ(err, kQOXErrItemNotFound);
  EXPECT_EQ(QOXGetIndexedRevocationKey(dave, 0, &revoker, &id), kQOXErrItemNotFound);
  EXPECT_FALSE(Bool(dave, P::KeyCanBeRevoked));
}

// Signature properties: bob's certifications by alice and carol, and
// revocations of them.
TEST_F(ObjPropertiesTest, Signatures) {
  QOXKeyDBObj* alice = KeyNamed("alice");
  QOXKeyDBObj* carol = KeyNamed("carol");
  QOXKeyDBObj* bobUID = UserID(KeyNamed("bob"));
  QOXKeyDBObj* byAlice = nullptr;
  QOXKeyDBObj* byCarol = nullptr;
  for (QOXKeyDBObj* s : Children(bobUID, kQOXKeyDBObjType_Sig)) {
    if (qoxSigToSigInfo(s)->signer == alice) byAlice = s;
    if (qoxSigToSigInfo(s)->signer == carol) byCarol = s;
  }
  ASSERT_NE(byAlice, nullptr);
  ASSERT_NE(byCarol, nullptr);
  EXPECT_TRUE(Bool(byAlice, P::SigIsBySecretKey));
  EXPECT_FALSE(Bool(byCarol, P::SigIsBySecretKey));
  EXPECT_TRUE(Bool(byAlice, P::SigIsExportable));
  EXPECT_TRUE(Bool(byAlice, P::SigIsTried));
  EXPECT_TRUE(Bool(byAlice, P::SigIsVerified));
  EXPECT_TRUE(Bool(byAlice, P::SigIsIntact));
  EXPECT_FALSE(Bool(byAlice, P::SigIsX509));
  EXPECT_FALSE(Bool(byAlice, P::SigIsExpired));
  EXPECT_EQ(Time(byAlice, P::SigExpiration), 0u);
  EXPECT_EQ(Num(byAlice, P::SigAlgorithm), 1);
  EXPECT_FALSE(Bool(byAlice, P::SigIsRevoked));
  EXPECT_FALSE(Bool(byAlice, P::SigHasRevocation));

  const QOXTime created = Time(byAlice, P::SigCreation);
  // An older 0x30 by alice revokes nothing.
  QOXKeyDBObj* older = NewSig(bobUID, alice, kQOXSigType_CertRevocation, created - 1);
  EXPECT_FALSE(Bool(byAlice, P::SigHasRevocation));
  // A newer one not yet checked: a revocation is there, the certification
  // is not revoked until it checks.
  QOXKeyDBObj* newer = NewSig(bobUID, alice, kQOXSigType_CertRevocation, created + 10);
  qoxSigToSigInfo(newer)->trustByte = 0;
  EXPECT_TRUE(Bool(byAlice, P::SigHasRevocation));
  EXPECT_FALSE(Bool(byAlice, P::SigIsRevoked));
  qoxSigToSigInfo(newer)->trustByte = kQOXSigTrust_Checked | kQOXSigTrust_Tried;
  EXPECT_TRUE(Bool(byAlice, P::SigIsRevoked));
  EXPECT_FALSE(Bool(byCarol, P::SigHasRevocation)) << "carol's own certification stands";
  (void)older;

  // Trust signatures and expiry from the packet.
  QOXKeyDBObj* trustSig = NewSig(bobUID, carol, 0x10, 1000, {{kQOXSubpacket_Trust, {2, 120}}, {3, {0, 0, 0, 100}}});
  EXPECT_EQ(Num(trustSig, P::SigTrustLevel), 2);
  EXPECT_EQ(Num(trustSig, P::SigTrustValue), 120);
  EXPECT_EQ(Time(trustSig, P::SigExpiration), 1100u);
  EXPECT_TRUE(Bool(trustSig, P::SigIsExpired));
}

// The accessors beside the getters.
TEST_F(ObjPropertiesTest, Accessors) {
  QOXKeyDBObj* alice = KeyNamed("alice");
  QOXKeyDBObj* carol = KeyNamed("carol");
  QOXKeyDBObj* bob = KeyNamed("bob");
  QOXKeyDBObj* uid = UserID(alice);

  // Primary user IDs: the first, then one whose latest self-signature says
  // so, then one explicitly marked.
  QOXKeyDBObj* primary = nullptr;
  ASSERT_EQ(QOXGetPrimaryUserID(alice, &primary), 0);
  EXPECT_EQ(primary, uid);
  QOXKeyDBObj* second = NewUserID(alice, "Alice Second <second@example.org>");
  NewSig(second, alice, 0x13, 1796950000, {{kQOXSubpacket_PrimaryUserID, {1}}});
  ASSERT_EQ(QOXGetPrimaryUserID(alice, &primary), 0);
  EXPECT_EQ(primary, second);
  char name[64];
  size_t length = 0;
  ASSERT_EQ(QOXGetPrimaryUserIDName(alice, name, sizeof name, &length), 0);
  EXPECT_EQ(std::string(name, length), "Alice Second <second@example.org>");
  EXPECT_EQ(QOXGetPrimaryUserIDName(alice, nullptr, 0, nullptr), kQOXErrBadParams);
  ASSERT_EQ(qoxKeySetPrimaryUserID(uid), 0);
  ASSERT_EQ(QOXGetPrimaryUserID(alice, &primary), 0);
  EXPECT_EQ(primary, uid);
  int32_t validity = 9;
  ASSERT_EQ(QOXGetPrimaryUserIDValidity(alice, &validity), 0);
  EXPECT_EQ(validity, 0);
  EXPECT_EQ(QOXGetPrimaryAttributeUserID(alice, 1, &primary), kQOXErrItemNotFound);
  EXPECT_EQ(primary, nullptr);
  EXPECT_EQ(QOXGetPrimaryUserID(uid, &primary), kQOXErrBadParams);

  // The key for a usage. An ElGamal-only key (alice's subkey made a key of
  // its own) cannot sign.
  QOXKeyDB* other = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &other), 0);
  const auto alicePackets = keydb_test::SplitPackets(keydb_test::ReadFile("alice.bin"));
  Bytes elgamalBody;
  for (const auto& p : alicePackets)
    if (p.tag == kQOXPktTag_PublicSubKey)
      elgamalBody.assign(p.bytes.begin() + qoxPktBufferHeaderLen(p.bytes.data(), p.bytes.size()), p.bytes.end());
  const Bytes elgamalPacket = NewPacket(kQOXPktTag_PublicKey, elgamalBody);
  ASSERT_EQ(Read(elgamalPacket, false, other), 0);
  QOXKeyDBObj* elgamal = Keys(false, other)[0];
  struct Usage {
    const char* what;
    QOXKeyDBObj* key;
    uint32_t flags;
    QOXError expected;
    QOXKeyDBObj* chosen;
  } usages[] = {
      {"encryption goes to the subkey", alice, 0x0C, 0, SubKey(alice)},
      {"signing stays with the key", alice, 0x03, 0, alice},
      {"both, with a valid subkey", alice, 0x0F, kQOXErrUnimplementedPKOperation, nullptr},
      {"both, RSA without a subkey", carol, 0x0F, 0, carol},
      {"DSA cannot encrypt", bob, 0x04, kQOXErrUnimplementedPKOperation, nullptr},
      {"ElGamal cannot sign", elgamal, 0x03, kQOXErrUnimplementedPKOperation, nullptr},
      {"ElGamal encrypts", elgamal, 0x08, 0, elgamal},
      {"no usage", alice, 0, kQOXErrBadParams, nullptr},
  };
  for (const Usage& u : usages) {
    SCOPED_TRACE(u.what);
    QOXKeyDBObj* chosen = alice;
    EXPECT_EQ(QOXGetKeyForUsage(u.key, u.flags, &chosen), u.expected);
    EXPECT_EQ(chosen, u.chosen);
  }

  // The certifier of bob's certifications: here, or by ID in another
  // database when only a dummy stands for it.
  QOXKeyDBObj* byAlice = nullptr;
  for (QOXKeyDBObj* s : Children(UserID(bob), kQOXKeyDBObjType_Sig))
    if (qoxSigToSigInfo(s)->signer == alice) byAlice = s;
  QOXKeyDBObj* certifier = nullptr;
  ASSERT_EQ(QOXGetSigCertifierKey(byAlice, nullptr, &certifier), 0);
  EXPECT_EQ(certifier, alice);
  ASSERT_EQ(ReadFixture("bob.alice.bin"), 0);  // nothing new here
  QOXKeyDB* bobOnly = nullptr;
  ASSERT_EQ(QOXNewKeyDB(context_, &bobOnly), 0);
  ASSERT_EQ(Read(keydb_test::ReadFile("bob.alice.bin"), false, bobOnly), 0);
  QOXKeyDBObj* dummySigned = Children(UserID(Keys(false, bobOnly)[0]), kQOXKeyDBObjType_Sig)[1];
  EXPECT_EQ(QOXGetSigCertifierKey(dummySigned, nullptr, &certifier), kQOXErrItemNotFound);
  ASSERT_EQ(QOXGetSigCertifierKey(dummySigned, db_, &certifier), 0);
  EXPECT_EQ(certifier, alice);
  EXPECT_EQ(QOXGetSigCertifierKey(dummySigned, other, &certifier), kQOXErrItemNotFound);
  QOXKeyID id;
  ASSERT_EQ(qoxGetKeyIDOfCertifier(dummySigned, &id), 0);
  EXPECT_EQ(keydb_test::Hex(id.bytes, id.length), keydb_test::ListColons("alice.colons.txt").keyIDs[0]);
  QOXKeyDBObj* certifierSig = alice;
  EXPECT_EQ(QOXGetSigX509CertifierSig(byAlice, nullptr, &certifierSig), kQOXErrBadParams) << "not X.509";
  EXPECT_EQ(certifierSig, nullptr);
  uint32_t points = 9;
  void* buffer = alice;
  uint32_t* sizes = nullptr;
  ASSERT_EQ(QOXGetCRLDistributionPoints(alice, &points, &buffer, &sizes), 0);
  EXPECT_EQ(points, 0u);
  EXPECT_EQ(buffer, nullptr);

  // The caller's value; peeks.
  uintptr_t value = 1;
  ASSERT_EQ(QOXGetKeyDBObjUserValue(byAlice, &value), 0);
  EXPECT_EQ(value, 0u);
  ASSERT_EQ(QOXSetKeyDBObjUserValue(byAlice, 0x1234), 0);
  ASSERT_EQ(QOXGetKeyDBObjUserValue(byAlice, &value), 0);
  EXPECT_EQ(value, 0x1234u);
  EXPECT_EQ(QOXPeekKeyDBObjKey(byAlice), bob);
  EXPECT_EQ(QOXPeekKeyDBObjUserID(byAlice), UserID(bob));
  EXPECT_EQ(QOXPeekKeyDBObjUserID(bob), nullptr);
  EXPECT_EQ(QOXPeekKeyDBObjKeyDB(byAlice), db_);
  EXPECT_EQ(QOXPeekKeyDBContext(db_), context_);
  EXPECT_EQ(QOXPeekKeySetContext(qoxKeyDBPeekRootSet(db_)), context_);
  EXPECT_EQ(QOXPeekKeyDBObjKey(nullptr), nullptr);
  EXPECT_EQ(QOXPeekKeyDBContext(nullptr), nullptr);

  // Deleting: the change is recorded and trust recalculated over the
  // database's root set; a second deletion and a key's last user ID are
  // refused.
  static QOXKeySet* recalculated;
  recalculated = nullptr;
  ostrak_test::ScopedServices<QOXSigCheckServices> trust(qoxSigCheckServices, qoxRegisterSigCheckServices);
  trust->QOXCalculateTrust = [](QOXKeySet* set, QOXKeyDB*) {
    recalculated = set;
    return QOXError{0};
  };
  ASSERT_EQ(QOXDeleteKeyDBObj(byAlice), 0);
  EXPECT_EQ(recalculated, qoxKeyDBPeekRootSet(db_));
  EXPECT_TRUE(qoxKeyDBObjIsDeleted(byAlice));
  EXPECT_EQ(byAlice->userValue, 0u);
  EXPECT_EQ(QOXDeleteKeyDBObj(byAlice), kQOXErrObjectDeleted);
  EXPECT_EQ(QOXDeleteKeyDBObj(UserID(bob)), kQOXErrBadParams) << "bob's only user ID";
  EXPECT_EQ(QOXDeleteKeyDBObj(nullptr), kQOXErrBadParams);
  ASSERT_EQ(QOXFreeKeyDB(bobOnly), 0);
  ASSERT_EQ(QOXFreeKeyDB(other), 0);
}

}  // namespace
