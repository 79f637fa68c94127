// Secret sharing over GF(2^8): rebuilding from any t shares, refusals, and
// agreement with an independent Python implementation of the field.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "crypto/secret_share.h"
#include "foundation/context.h"
#include "foundation/errors.h"
#include "tests/foundation/python_oracle.h"
#include "tests/foundation/toolkit_fixture.h"

namespace {

class SecretShareTest : public ToolkitTest {
 protected:
  std::vector<uint8_t> Split(const std::string& secret, uint32_t t, uint32_t n) {
    std::vector<uint8_t> shares(n * (4 + secret.size()), 0xCC);
    EXPECT_EQ(QOXSecretShareData(context_, secret.data(), secret.size(), t, n, shares.data()), 0);
    return shares;
  }
  // The shares at the given indices, in that order, as one array.
  static std::vector<uint8_t> Pick(const std::vector<uint8_t>& shares, size_t len,
                                   const std::vector<size_t>& which) {
    std::vector<uint8_t> out;
    for (size_t i : which) {
      out.insert(out.end(), shares.begin() + i * (4 + len), shares.begin() + (i + 1) * (4 + len));
    }
    return out;
  }
  QOXError Rebuild(std::vector<uint8_t>& shares, size_t len, uint32_t count, std::string* out) {
    out->assign(len, '\0');
    return QOXSecretReconstructData(context_, shares.data(), len, count, out->data());
  }
};

constexpr char kSecretBytes[] = "the quick brown fox \x00\x01\xff jumps";
const std::string kSecret(kSecretBytes, sizeof kSecretBytes - 1);

TEST_F(SecretShareTest, AnyThresholdOfSharesInAnyOrderRebuildsTheSecret) {
  const size_t len = kSecret.size();
  std::vector<uint8_t> shares = Split(kSecret, 3, 5);
  std::vector<int> xs;
  for (size_t i = 0; i < 5; ++i) {
    const uint8_t* r = shares.data() + i * (4 + len);
    EXPECT_EQ(r[0], '!');
    EXPECT_EQ(r[2], 3);
    EXPECT_EQ(r[3], 0) << "scratch byte cleared";
    EXPECT_NE(r[1], 0);
    xs.push_back(r[1]);
  }
  std::sort(xs.begin(), xs.end());
  EXPECT_EQ(std::adjacent_find(xs.begin(), xs.end()), xs.end()) << "distinct coordinates";

  std::vector<size_t> order(5);
  std::iota(order.begin(), order.end(), 0);
  int subsets = 0;
  do {  // every ordered choice of three shares
    std::vector<uint8_t> pick = Pick(shares, len, {order[0], order[1], order[2]});
    std::string out;
    ASSERT_EQ(Rebuild(pick, len, 3, &out), 0);
    EXPECT_EQ(out, kSecret);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(pick[i * (4 + len) + 3], 0);
    ++subsets;
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(subsets, 120);

  // Two of a threshold of three are not enough.
  std::vector<uint8_t> two = Pick(shares, len, {4, 1});
  std::string out;
  EXPECT_EQ(Rebuild(two, len, 2, &out), kQOXErrBadParams);
  // More than t: only the first t are used, so a damaged fourth does no harm.
  std::vector<uint8_t> four = Pick(shares, len, {2, 0, 3, 1});
  for (size_t k = 0; k < len; ++k) four[3 * (4 + len) + 4 + k] ^= 0x5A;
  ASSERT_EQ(Rebuild(four, len, 4, &out), 0);
  EXPECT_EQ(out, kSecret);
}

TEST_F(SecretShareTest, ThresholdOneAndAllShares) {
  const size_t len = kSecret.size();
  std::vector<uint8_t> one = Split(kSecret, 1, 4);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(std::string(one.begin() + i * (4 + len) + 4, one.begin() + (i + 1) * (4 + len)),
              kSecret)
        << "threshold 1: every share is the secret";
  }
  std::vector<uint8_t> all = Split(kSecret, 4, 4);
  std::vector<uint8_t> reversed = Pick(all, len, {3, 2, 1, 0});
  std::string out;
  ASSERT_EQ(Rebuild(reversed, len, 4, &out), 0);
  EXPECT_EQ(out, kSecret);
  std::vector<uint8_t> big = Split(std::string(5, 'k'), 200, 255);  // the most shares
  std::vector<uint8_t> last200(big.end() - 200 * 9, big.end());
  ASSERT_EQ(Rebuild(last200, 5, 200, &out), 0);
  EXPECT_EQ(out, "kkkkk");
}

TEST_F(SecretShareTest, RefusesBadArgumentsAndMalformedShares) {
  uint8_t shares[300 * 8] = {};
  const char secret[4] = {1, 2, 3, 4};
  struct SplitCase {
    const char* why;
    uint32_t t, n;
  };
  const SplitCase refused[] = {
      {"threshold 0 would write before the array", 0, 3},
      {"fewer shares than the threshold", 4, 3},
      {"more than 255 coordinates never end the draw", 2, 256},
  };
  for (const SplitCase& c : refused) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(QOXSecretShareData(context_, secret, 4, c.t, c.n, shares), kQOXErrBadParams);
  }
  EXPECT_EQ(QOXSecretShareData(context_, nullptr, 4, 2, 3, shares), kQOXErrBadParams);
  EXPECT_EQ(QOXSecretShareData(nullptr, secret, 4, 2, 3, shares), kQOXErrBadParams);

  const size_t len = kSecret.size();
  const std::vector<uint8_t> good = Split(kSecret, 3, 4);
  struct Damage {
    const char* why;
    size_t share, offset;
    uint8_t value;
    uint32_t count;
  };
  const Damage damaged[] = {
      {"marker missing", 1, 0, '?', 3},
      {"marker missing on a share beyond t", 3, 0, 0, 4},
      {"threshold differs from the first", 2, 2, 2, 3},
      {"threshold differs on a share beyond t", 3, 2, 4, 4},
      {"threshold 0", 0, 2, 0, 3},
      {"x equal to another share's", 2, 1, good[1], 3},
      {"x of 0", 1, 1, 0, 3},
  };
  for (const Damage& d : damaged) {
    SCOPED_TRACE(d.why);
    std::vector<uint8_t> s = good;
    if (d.offset == 2 && d.share == 0) {
      for (size_t i = 0; i < 4; ++i) s[i * (4 + len) + 2] = 0;  // all agree on 0
    } else {
      s[d.share * (4 + len) + d.offset] = d.value;
    }
    std::string out;
    EXPECT_EQ(Rebuild(s, len, d.count, &out), kQOXErrBadParams);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(s[i * (4 + len) + 3], 0) << "scratch cleared";
  }
  std::vector<uint8_t> s = good;
  std::string out;
  EXPECT_EQ(Rebuild(s, len, 0, &out), kQOXErrBadParams);
  EXPECT_EQ(QOXSecretReconstructData(context_, s.data(), len, 3, nullptr), kQOXErrBadParams);
}

// GF(2^8) with x^8 + x^6 + x^5 + x^3 + 1 and plain shift-and-reduce
// multiplication, no tables: checks that all n shares lie on one polynomial
// of degree t - 1 whose value at 0 is the secret.
constexpr char kPythonReference[] = R"PY(
import sys, itertools
def mul(a, b):
    r = 0
    while b:
        if b & 1: r ^= a
        a <<= 1
        if a & 0x100: a ^= 0x169
        b >>= 1
    return r
def inv(a):
    r = 1
    for _ in range(254): r = mul(r, a)
    return r
def at(points, x):
    v = 0
    for j, (xj, yj) in enumerate(points):
        num = den = 1
        for m, (xm, _) in enumerate(points):
            if m != j:
                num = mul(num, xm ^ x)
                den = mul(den, xj ^ xm)
        v ^= mul(yj, mul(num, inv(den)))
    return v
t, length, blob = int(sys.argv[1]), int(sys.argv[2]), bytes.fromhex(sys.argv[3])
size = 4 + length
shares = [blob[i:i + size] for i in range(0, len(blob), size)]
for combo in itertools.islice(itertools.combinations(shares, t), 12):
    secret = bytes(at([(s[1], s[4 + k]) for s in combo], 0) for k in range(length))
    print(secret.hex())
    for s in shares:
        assert bytes(at([(c[1], c[4 + k]) for c in combo], s[1]) for k in range(length)) == s[4:]
print("consistent")
)PY";

TEST_F(SecretShareTest, AgreesWithAnIndependentFieldImplementation) {
  const std::string secret("\x00\x10\x80\xff secret bytes", 17);
  for (uint32_t t : {1u, 2u, 4u}) {
    SCOPED_TRACE(t);
    std::vector<uint8_t> shares = Split(secret, t, 6);
    static const char digits[] = "0123456789abcdef";
    std::string hex, secretHex;
    for (uint8_t b : shares) hex += {digits[b >> 4], digits[b & 15]};
    for (unsigned char b : secret) secretHex += {digits[b >> 4], digits[b & 15]};
    std::vector<std::string> lines = RunPython(
        kPythonReference, std::to_string(t) + " " + std::to_string(secret.size()) + " " + hex);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "consistent");
    for (size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i], secretHex);
  }
}

}  // namespace
