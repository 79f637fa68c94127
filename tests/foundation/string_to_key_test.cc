// String-to-key against an independent Python hashlib computation of the
// RFC 2440 rule.
#include "foundation/core/string_to_key.h"

#include <random>
#include <sstream>

#include "crypto/hash.h"
#include "foundation/sdk_errors.h"
#include "python_oracle.h"
#include "toolkit_fixture.h"

namespace {

// args: kind hashname salthex countbyte passhex keylen -> key hex
constexpr char kOracle[] = R"PY(
import sys, hashlib
def s2k(kind, hname, salt, c, pw, keylen):
    out = b''
    i = 0
    while len(out) < keylen:
        h = hashlib.new(hname)
        h.update(b'\0' * i)
        if kind == 0:
            h.update(pw)
        elif kind == 1:
            h.update(salt + pw)
        else:
            count = (16 + (c & 15)) << ((c >> 4) + 6)
            data = salt + pw
            if count < len(data):
                count = len(data)
            full, rest = divmod(count, len(data))
            h.update(data * full + data[:rest])
        out += h.digest()
        i += 1
    return out[:keylen]
for line in sys.stdin:
    kind, hname, salt, c, pw, keylen = line.split()
    pw = b'' if pw == '-' else bytes.fromhex(pw)
    print(s2k(int(kind), hname, bytes.fromhex(salt), int(c), pw, int(keylen)).hex())
)PY";

std::string Hex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

using StringToKeyTest = ToolkitTest;

TEST_F(StringToKeyTest, CountByteEncoding) {
  struct {
    uint32_t request;
    uint8_t byte;
  } cases[] = {{0, 0},       {1024, 0},        {1025, 0x10},       {32768, 0x60},
               {65536, 0x70}, {40000000, 255}, {65011711, 0xFF},   {65011712, 255}};
  for (auto c : cases) EXPECT_EQ(qoxS2KCountByte(c.request), c.byte) << c.request;
  EXPECT_EQ(qoxS2KDecodeCount(0x60), 65536u);  // about twice the request
  EXPECT_EQ(qoxS2KDecodeCount(0x10), 2048u);
  EXPECT_EQ(qoxS2KDecodeCount(0), 1024u);
}

TEST_F(StringToKeyTest, EveryKindAndHashMatchesPython) {
  struct Hash {
    uint32_t number;
    const char* name;
  } hashes[] = {{1, "md5"}, {2, "sha1"}, {3, "ripemd160"}};
  std::mt19937 rng(2440);
  std::vector<std::string> passphrases = {"", "a", "correct horse", std::string(70, 'p')};
  std::ostringstream input;
  struct Expect {
    std::string key;
  };
  std::vector<std::string> ours;
  for (const Hash& h : hashes) {
    const QOXHashVTBL* vtbl = qoxHashByNumber(h.number);
    ASSERT_NE(vtbl, nullptr);
    for (int kind : {0, 1, 3}) {
      for (const std::string& pw : passphrases) {
        // Key lengths below, at and above one digest (two and three hashes).
        for (size_t keyLen : {size_t{5}, size_t{16}, size_t{32}, size_t{45}}) {
          uint8_t salt[8];
          for (auto& b : salt) b = static_cast<uint8_t>(rng());
          // A small count (below one salt+passphrase unit for long ones) and
          // the default and a large one.
          uint32_t request = std::vector<uint32_t>{1024, 32768, 300000}[rng() % 3];
          QOXStringToKey* s2k = kind == 0   ? qoxS2Ksimple(context_, vtbl)
                                : kind == 1 ? qoxS2Ksalted(context_, vtbl, salt)
                                            : qoxS2Kitersalt(context_, vtbl, salt, request);
          ASSERT_NE(s2k, nullptr);
          ASSERT_EQ(s2k->encodedLength, kind == 0 ? 2u : kind == 1 ? 10u : 11u);
          EXPECT_EQ(s2k->encoded[0], kind);
          EXPECT_EQ(s2k->encoded[1], h.number);
          uint8_t count = kind == 3 ? s2k->encoded[10] : 0;
          std::vector<uint8_t> key(keyLen);
          ASSERT_EQ(qoxS2Kconvert(s2k, pw.data(), pw.size(), key.data(), keyLen), 0);
          ours.push_back(Hex(key.data(), keyLen));
          qoxS2Kdestroy(s2k);
          input << kind << ' ' << h.name << ' ' << Hex(salt, 8) << ' ' << int(count) << ' '
                << (pw.empty() ? "-" : Hex(reinterpret_cast<const uint8_t*>(pw.data()), pw.size()))
                << ' ' << keyLen << '\n';
        }
      }
    }
  }
  // The oracle reads its cases from a file given on the command line.
  char path[] = "/tmp/ostrak-s2k-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << input.str();
  std::vector<std::string> theirs = RunPython(kOracle, std::string("< ") + path);
  unlink(path);
  ASSERT_EQ(theirs.size(), ours.size());
  for (size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(ours[i], theirs[i]) << "case " << i;
}

TEST_F(StringToKeyTest, LiteralKindsCopyThePassphrase) {
  for (QOXStringToKey* s2k : {qoxS2Kliteral(context_), qoxS2KliteralShared(context_),
                              qoxS2Kcreate(context_, nullptr, 4), qoxS2Kcreate(context_, nullptr, 5)}) {
    ASSERT_NE(s2k, nullptr);
    EXPECT_EQ(s2k->encodedLength, 1u);
    uint8_t key[4] = {};
    EXPECT_EQ(qoxS2Kconvert(s2k, "abcd", 4, key, 4), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(key), 4), "abcd");
    EXPECT_EQ(qoxS2Kconvert(s2k, "abc", 3, key, 4), kQOXErrBadParams);
    EXPECT_EQ(qoxS2Kconvert(s2k, "abc", 3, key, 0), 0);
    qoxS2Kdestroy(s2k);
  }
}

TEST_F(StringToKeyTest, CreateAndDefaults) {
  QOXStringToKey* simple = qoxS2Kcreate(context_, nullptr, 0);
  ASSERT_NE(simple, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(simple->encoded, simple->encoded + 2), (std::vector<uint8_t>{0, 2}));
  EXPECT_FALSE(qoxS2KisOldVers(simple));
  qoxS2Kdestroy(simple);

  QOXStringToKey* v3 = qoxS2KdefaultV3(context_);
  ASSERT_NE(v3, nullptr);
  EXPECT_TRUE(qoxS2KisOldVers(v3));
  qoxS2Kdestroy(v3);

  QOXStringToKey* salted = qoxS2Kcreate(context_, nullptr, 1);
  ASSERT_NE(salted, nullptr);
  EXPECT_EQ(salted->encodedLength, 10u);
  qoxS2Kdestroy(salted);

  QOXStringToKey* def = qoxS2Kdefault(context_, nullptr);
  ASSERT_NE(def, nullptr);
  ASSERT_EQ(def->encodedLength, 11u);
  EXPECT_EQ(def->encoded[0], 3);
  EXPECT_EQ(def->encoded[1], 2);
  EXPECT_EQ(def->encoded[10], 0x60);
  qoxS2Kdestroy(def);

  EXPECT_EQ(qoxS2Kcreate(context_, nullptr, 2), nullptr);
  EXPECT_EQ(qoxS2Kcreate(context_, nullptr, 6), nullptr);
}

TEST_F(StringToKeyTest, DecodeMeasuresValidatesAndRebuilds) {
  const uint8_t iter[] = {3, 2, 1, 2, 3, 4, 5, 6, 7, 8, 0x60, 0xEE};
  struct Case {
    std::vector<uint8_t> bytes;
    int32_t result;
  } cases[] = {
      {{}, kQOXErrBadParams},
      {{1, 2, 0}, kQOXErrBadParams},  // salted, truncated
      {{0}, kQOXErrBadParams},
      {{3, 2, 1, 2, 3, 4, 5, 6, 7, 8}, kQOXErrBadParams},
      {{2, 2}, kQOXErrUnknownKeyString},
      {{6}, kQOXErrUnknownKeyString},
      {{0, 4}, kQOXErrUnknownHashNumber},
      {{0, 1, 9}, 2},
      {{1, 3, 1, 2, 3, 4, 5, 6, 7, 8}, 10},
      {std::vector<uint8_t>(iter, iter + sizeof iter), 11},
      {{4, 99}, 1},
      {{5}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex(c.bytes.data(), c.bytes.size()));
    EXPECT_EQ(qoxS2Kdecode(nullptr, context_, c.bytes.data(), c.bytes.size()), c.result);
    QOXStringToKey* s2k = nullptr;
    EXPECT_EQ(qoxS2Kdecode(&s2k, context_, c.bytes.data(), c.bytes.size()), c.result);
    if (c.result > 0) {
      ASSERT_NE(s2k, nullptr);
      EXPECT_EQ(std::vector<uint8_t>(s2k->encoded, s2k->encoded + s2k->encodedLength),
                std::vector<uint8_t>(c.bytes.begin(), c.bytes.begin() + c.result));
      qoxS2Kdestroy(s2k);
    } else {
      EXPECT_EQ(s2k, nullptr);
    }
  }
}

}  // namespace
