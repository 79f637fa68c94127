// Helpers of the key database's tests: the gpg fixtures of tests/keydb/data
// (made by make_fixtures.sh) with gpg's own listings of them as the oracle,
// a packet splitter written here from RFC 2440 (independent of the code
// under test), a started toolkit with a context and key database, and a
// small builder that turns fixture packets into objects the way the ring
// reader does.
#ifndef OSTRAK_TESTS_KEYDB_KEYDB_TEST_SUPPORT_H_
#define OSTRAK_TESTS_KEYDB_KEYDB_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/context.h"
#include "foundation/core/start_up.h"
#include "foundation/file.h"
#include "keydb/fingerprint.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_id.h"
#include "keydb/key_lookup.h"
#include "keydb/key_packet.h"
#include "keydb/obj_accessors.h"
#include "keydb/obj_data.h"
#include "keydb/packet_header.h"
#include "keydb/ring_reader.h"
#include "keydb/sig_packet.h"

namespace keydb_test {

using Bytes = std::vector<uint8_t>;

inline std::string DataPath(const std::string& name) { return std::string(OSTRAK_TEST_DATA) + "/" + name; }

inline Bytes ReadFile(const std::string& name) {
  std::ifstream in(DataPath(name), std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ReadText(const std::string& name) {
  std::ifstream in(DataPath(name));
  EXPECT_TRUE(in.good()) << name;
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::string Hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

// One packet of a gpg export: its tag and the whole packet bytes.
struct Packet {
  int tag;
  Bytes bytes;
};

// Splits a stream of definite-length packets (RFC 2440 4.2); gpg's exports
// have no partial lengths.
inline std::vector<Packet> SplitPackets(const Bytes& data) {
  std::vector<Packet> out;
  size_t at = 0;
  while (at < data.size()) {
    const uint8_t ctb = data[at];
    size_t header = 0;
    size_t length = 0;
    int tag = 0;
    if (ctb & 0x40) {
      tag = ctb & 0x3F;
      const uint8_t c = data[at + 1];
      if (c < 192) {
        header = 2;
        length = c;
      } else if (c < 224) {
        header = 3;
        length = ((c - 192) << 8) + data[at + 2] + 192;
      } else {
        header = 6;
        length = (size_t{data[at + 2]} << 24) | (data[at + 3] << 16) | (data[at + 4] << 8) | data[at + 5];
      }
    } else {
      tag = (ctb >> 2) & 15;
      const int widths[] = {1, 2, 4};
      const int w = widths[ctb & 3];
      header = 1 + w;
      for (int i = 0; i < w; ++i) length = (length << 8) | data[at + 1 + i];
    }
    out.push_back({tag, Bytes(data.begin() + at, data.begin() + at + header + length)});
    at += header + length;
  }
  return out;
}

// What gpg --list-packets says about one packet.
struct Listed {
  int tag = 0;
  int ctb = 0;
  int hlen = 0;
  int plen = 0;
  std::string text;  // the lines under the header line
  // Key packets.
  int version = 0;
  int algo = 0;
  long created = 0;
  std::vector<int> pkeyBits;
  std::string keyid;
  // Signatures.
  int sigclass = 0;
  int digest = 0;
  std::vector<std::pair<int, int>> hashed;    // (type, length)
  std::vector<std::pair<int, int>> unhashed;  // (type, length)
  std::string userID;
};

inline std::vector<Listed> ListPackets(const std::string& name) {
  std::vector<Listed> out;
  std::istringstream in(ReadText(name));
  std::string line;
  std::smatch m;
  const std::regex head(R"(^# off=\d+ ctb=([0-9a-f]+) tag=(\d+) hlen=(\d+) plen=(\d+))");
  const std::regex keyLine(R"(version (\d+), algo (\d+), created (\d+))");
  const std::regex pkey(R"(pkey\[\d+\]: \[(\d+) bits\])");
  const std::regex keyid(R"(keyid: ([0-9A-F]{16}))");
  const std::regex sigHead(R"(:signature packet: algo (\d+), keyid ([0-9A-F]{16}))");
  const std::regex sigLine(R"(version (\d+), created (\d+), md5len \d+, sigclass 0x([0-9a-f]{2}))");
  const std::regex digest(R"(digest algo (\d+))");
  const std::regex hashedSub(R"(^\s*(critical )?hashed subpkt (\d+) len (\d+))");
  const std::regex unhashedSub(R"(^\s*(critical )?subpkt (\d+) len (\d+))");
  const std::regex uid(R"(:user ID packet: "(.*)\"$)");
  while (std::getline(in, line)) {
    if (std::regex_search(line, m, head)) {
      Listed l;
      l.ctb = std::stoi(m[1], nullptr, 16);
      l.tag = std::stoi(m[2]);
      l.hlen = std::stoi(m[3]);
      l.plen = std::stoi(m[4]);
      out.push_back(l);
      continue;
    }
    if (out.empty()) continue;
    Listed& l = out.back();
    l.text += line + "\n";
    if (std::regex_search(line, m, sigHead)) {
      l.algo = std::stoi(m[1]);
      l.keyid = m[2];
    } else if (std::regex_search(line, m, sigLine)) {
      l.version = std::stoi(m[1]);
      l.created = std::stol(m[2]);
      l.sigclass = std::stoi(m[3], nullptr, 16);
    } else if (std::regex_search(line, m, keyLine)) {
      l.version = std::stoi(m[1]);
      l.algo = std::stoi(m[2]);
      l.created = std::stol(m[3]);
    } else if (std::regex_search(line, m, pkey)) {
      l.pkeyBits.push_back(std::stoi(m[1]));
    } else if (std::regex_search(line, m, keyid)) {
      l.keyid = m[1];
    } else if (std::regex_search(line, m, digest)) {
      l.digest = std::stoi(m[1]);
    } else if (std::regex_search(line, m, hashedSub)) {
      l.hashed.emplace_back(std::stoi(m[2]), std::stoi(m[3]));
    } else if (std::regex_search(line, m, unhashedSub)) {
      l.unhashed.emplace_back(std::stoi(m[2]), std::stoi(m[3]));
    } else if (std::regex_search(line, m, uid)) {
      l.userID = m[1];
    }
  }
  return out;
}

// The fingerprints gpg --with-colons lists (primary key, then subkeys), in
// order, and the key IDs of the pub and sub lines.
struct ColonKeys {
  std::vector<std::string> fingerprints;
  std::vector<std::string> keyIDs;
};

inline ColonKeys ListColons(const std::string& name) {
  ColonKeys out;
  std::istringstream in(ReadText(name));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream s(line);
    for (std::string x; std::getline(s, x, ':');) f.push_back(x);
    if (f.empty()) continue;
    if ((f[0] == "pub" || f[0] == "sub" || f[0] == "sec" || f[0] == "ssb") && f.size() > 4) out.keyIDs.push_back(f[4]);
    if (f[0] == "fpr" && f.size() > 9) out.fingerprints.push_back(f[9]);
  }
  return out;
}

// A packet with a new-form header (RFC 2440 4.2.2) around a body.
inline Bytes NewPacket(int tag, const Bytes& body) {
  Bytes p{static_cast<uint8_t>(0xC0 | tag)};
  const size_t n = body.size();
  if (n < 192) {
    p.push_back(static_cast<uint8_t>(n));
  } else if (n < 8384) {
    p.push_back(static_cast<uint8_t>(((n - 192) >> 8) + 192));
    p.push_back(static_cast<uint8_t>((n - 192) & 0xFF));
  } else {
    p.push_back(0xFF);
    for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<uint8_t>(n >> s));
  }
  p.insert(p.end(), body.begin(), body.end());
  return p;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& b : parts) out.insert(out.end(), b.begin(), b.end());
  return out;
}

// A version-4 signature packet that parses: the type, the signer's key ID
// (issuer, unhashed), the creation time and extra hashed subpackets (each
// as type, data), the public-key algorithm (RSA unless given) and a
// one-byte "signature" MPI.
inline Bytes V4Sig(uint8_t type, const uint8_t issuer[8], uint32_t creation,
                   const std::vector<std::pair<uint8_t, Bytes>>& hashed = {}, uint8_t algorithm = 1) {
  Bytes h{5, 2, static_cast<uint8_t>(creation >> 24), static_cast<uint8_t>(creation >> 16),
          static_cast<uint8_t>(creation >> 8), static_cast<uint8_t>(creation)};
  for (const auto& [t, d] : hashed) {
    h.push_back(static_cast<uint8_t>(d.size() + 1));
    h.push_back(t);
    h.insert(h.end(), d.begin(), d.end());
  }
  Bytes u{9, 16};
  u.insert(u.end(), issuer, issuer + 8);
  Bytes body{4, type, algorithm, 2, static_cast<uint8_t>(h.size() >> 8), static_cast<uint8_t>(h.size())};
  body.insert(body.end(), h.begin(), h.end());
  body.push_back(static_cast<uint8_t>(u.size() >> 8));
  body.push_back(static_cast<uint8_t>(u.size()));
  body.insert(body.end(), u.begin(), u.end());
  body.insert(body.end(), {0x12, 0x34, 0x00, 0x08, 0xA5});
  return NewPacket(2, body);
}

// A started toolkit, one context and one empty key database.
class KeyDBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context_), 0);
    ASSERT_EQ(QOXNewKeyDB(context_, &db_), 0);
  }
  void TearDown() override {
    if (db_ != nullptr) {
      EXPECT_EQ(QOXFreeKeyDB(db_), 0);
    }
    QOXFreeContext(context_);
    QOXsdkCleanup();
  }

  // A key or subkey object made from a key packet as the ring reader makes
  // one: parsed, entered with its key ID, its info and packet filled.
  QOXKeyDBObj* AddKey(const Bytes& packet, QOXKeyDBObj* parent = nullptr, uint32_t extraFlags = 0) {
    const uint8_t tag = qoxPktTag(packet[0]);
    const bool secret = tag == kQOXPktTag_SecretKey || tag == kQOXPktTag_SecretSubKey;
    uint8_t algorithm = 0;
    uint8_t keyID[8];
    uint8_t hash[20];
    uint16_t bits = 0;
    QOXTime creation = 0;
    uint16_t validity = 0;
    int v3 = 0;
    EXPECT_EQ(qoxKeyParse(context_, packet.data(), packet.size(), &algorithm, keyID, hash, &bits, &creation,
                          &validity, &v3, secret),
              0);
    const uint32_t kind = parent == nullptr ? kQOXObjFlag_Key : kQOXObjFlag_SubKey;
    QOXKeyDBObj* key = qoxNewKeyObj(db_, parent, kind | extraFlags, algorithm, keyID);
    EXPECT_NE(key, nullptr);
    if (key == nullptr) return nullptr;
    KeyInfo* info = qoxKeyToKeyInfo(key);
    info->bits = bits;
    info->creation = creation;
    info->validityDays = validity;
    info->fingerprintByte = hash[0];
    info->keyFlags = (v3 ? kQOXKeyFlag_V3 : 0) | (secret ? kQOXKeyFlag_Secret : 0);
    qoxSetObjData(key, qoxNewObjData(db_, packet.data(), packet.size()));
    return key;
  }

  // A user ID, user attribute or unknown object with its packet.
  QOXKeyDBObj* AddChild(QOXKeyDBObj* parent, uint32_t flags, const Bytes& packet) {
    QOXKeyDBObj* o = qoxNewKeyDBObj(db_, parent, flags);
    EXPECT_NE(o, nullptr);
    if (o != nullptr && !packet.empty()) qoxSetObjData(o, qoxNewObjData(db_, packet.data(), packet.size()));
    return o;
  }

  // A signature object with its packet's fields and the given signer.
  QOXKeyDBObj* AddSig(QOXKeyDBObj* parent, const Bytes& packet, QOXKeyDBObj* signer) {
    QOXKeyDBObj* sig = AddChild(parent, kQOXObjFlag_Sig, packet);
    if (sig == nullptr) return nullptr;
    SigInfo* s = qoxSigToSigInfo(sig);
    uint8_t exportable = 1, revocable = 1;
    EXPECT_EQ(qoxSigParse(packet.data(), packet.size(), false, nullptr, nullptr, &s->creation, &s->expiration,
                          &s->type, &s->hashAlgorithm, nullptr, &s->version, &exportable, &revocable,
                          &s->trustLevel, &s->trustValue, nullptr, nullptr, nullptr),
              0);
    s->sigFlags = (exportable ? kQOXSigFlag_Exportable : 0) | (revocable ? kQOXSigFlag_Revocable : 0);
    s->signer = signer;
    if (KeyInfo* k = qoxKeyToKeyInfo(signer)) {
      s->nextBySigner = k->sigsBy;
      k->sigsBy = sig;
    }
    return sig;
  }

  // Reads a packet stream into a database (db_ by default) as the ring
  // reader does for a file.
  QOXError Read(const Bytes& stream, bool trusted = false, QOXKeyDB* db = nullptr) {
    QOXFile* file = qoxFileMemOpen(context_, stream.data(), stream.size());
    EXPECT_NE(file, nullptr);
    if (file == nullptr) return kQOXErrOutOfMemory;
    const QOXError err = qoxReadKeyFile(db != nullptr ? db : db_, file, trusted);
    file->close(file);
    return err;
  }
  QOXError ReadFixture(const std::string& name, bool trusted = false) { return Read(ReadFile(name), trusted); }

  // Marks every signature and CRL of the database checked and valid, as a
  // successful signature check would.
  void MarkAllChecked(QOXKeyDB* db = nullptr) {
    auto mark = [](QOXKeyDBObj* o) {
      if (SigInfo* s = qoxSigToSigInfo(o)) s->trustByte |= kQOXSigTrust_Checked | kQOXSigTrust_Tried;
      if (CRLInfo* c = qoxCRLToCRLInfo(o)) c->trustByte |= kQOXSigTrust_Checked | kQOXSigTrust_Tried;
    };
    for (QOXKeyDBObj* k = (db != nullptr ? db : db_)->firstKey; k != nullptr; k = k->next) {
      for (QOXKeyDBObj* c = k->child; c != nullptr; c = c->next) {
        mark(c);
        for (QOXKeyDBObj* g = c->child; g != nullptr; g = g->next) mark(g);
      }
    }
  }

  // Children of an object of one kind (real ones only unless all).
  static std::vector<QOXKeyDBObj*> Children(QOXKeyDBObj* parent, int32_t type, bool all = false) {
    std::vector<QOXKeyDBObj*> out;
    for (QOXKeyDBObj* c = parent->child; c != nullptr; c = c->next) {
      if (qoxObjectType(c) == type && (all || qoxKeyDBObjIsReal(c))) out.push_back(c);
    }
    return out;
  }

  // A user ID of the text added under a key.
  QOXKeyDBObj* NewUserID(QOXKeyDBObj* key, const std::string& text) {
    const Bytes packet = NewPacket(kQOXPktTag_UserID, Bytes(text.begin(), text.end()));
    QOXError err = 0;
    QOXKeyDBObj* u = qoxAddUserID(kQOXPktTag_UserID, packet.data(), packet.size(), qoxObjKeyDB(key), key, &err);
    EXPECT_NE(u, nullptr);
    return u;
  }
  // A signature made (as far as its packet says) by the key `by`, added
  // under the parent and marked checked.
  QOXKeyDBObj* NewSig(QOXKeyDBObj* parent, QOXKeyDBObj* by, uint8_t type, uint32_t creation,
                      const std::vector<std::pair<uint8_t, Bytes>>& hashed = {}) {
    const KeyInfo* signer = qoxKeyToKeyInfo(by);
    const Bytes packet = V4Sig(type, signer->keyID, creation, hashed, signer->algorithm);
    QOXError err = 0;
    QOXKeyDBObj* sig =
        qoxAddSig(kQOXPktTag_Signature, packet.data(), packet.size(), qoxObjKeyDB(parent), parent, &err);
    EXPECT_NE(sig, nullptr);
    if (sig != nullptr) qoxSigToSigInfo(sig)->trustByte |= kQOXSigTrust_Checked | kQOXSigTrust_Tried;
    return sig;
  }
  // The real top-level key whose first user ID holds the text (db_ by
  // default).
  QOXKeyDBObj* KeyNamed(const char* name, QOXKeyDB* db = nullptr) {
    for (QOXKeyDBObj* k : Keys(false, db)) {
      const auto uids = Children(k, kQOXKeyDBObjType_UserID);
      if (uids.empty()) continue;
      size_t n = 0;
      const uint8_t* text = qoxUserIDName(uids[0], &n);
      if (std::string(reinterpret_cast<const char*>(text), n).find(name) != std::string::npos) return k;
    }
    return nullptr;
  }

  // Top-level keys of the database (real ones only unless all).
  std::vector<QOXKeyDBObj*> Keys(bool all = false, QOXKeyDB* db = nullptr) {
    std::vector<QOXKeyDBObj*> out;
    for (QOXKeyDBObj* k = (db != nullptr ? db : db_)->firstKey; k != nullptr; k = k->next) {
      if (all || qoxKeyDBObjIsReal(k)) out.push_back(k);
    }
    return out;
  }

  QOXContext* context_ = nullptr;
  QOXKeyDB* db_ = nullptr;
};

// The key-ID text (form 2) of a key object, without "0x".
inline std::string KeyIDText(QOXKeyDBObj* key) {
  QOXKeyID id;
  if (QOXGetKeyID(key, &id) != 0) return "";
  char text[kQOXKeyIDStringSize];
  if (QOXGetKeyIDString(&id, kQOXKeyIDString_Full, text) != 0) return "";
  return std::string(text + 2);
}

inline Bytes HexBytes(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

}  // namespace keydb_test

#endif  // OSTRAK_TESTS_KEYDB_KEYDB_TEST_SUPPORT_H_
