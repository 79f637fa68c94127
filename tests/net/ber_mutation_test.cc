// Long random-mutation run over the BER decoder, walkers and socket reader,
// meant for the sanitizer build: mutated LDAP messages must never make them
// read or write out of bounds, and well-formed random trees must come back
// exactly as they were encoded. OSTRAK_BER_MUTATIONS sets the number of
// mutated inputs (default 1000000), OSTRAK_BER_SEED the seed.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "foundation/memory_mgr.h"
#include "net/ber.h"
#include "net/sockets.h"
#include "tests/net/fuzz/ber_fuzz_body.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint64_t EnvOr(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v ? std::strtoull(v, nullptr, 10) : fallback;
}

class BerMutationTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(QOXNewMemoryMgr(0, &mgr_), kQOXErrNoErr); }
  void TearDown() override { QOXFreeMemoryMgr(mgr_); }

  Bytes Encode(const std::function<QOXError(QOXberElement*)>& build) {
    QOXberElement* e = nullptr;
    EXPECT_EQ(qoxNewBERElement(mgr_, &e), kQOXErrNoErr);
    EXPECT_EQ(build(e), kQOXErrNoErr);
    const uint8_t* p;
    uint32_t n;
    QOXberGetEncoding(e, &p);
    QOXberGetLength(e, &n);
    Bytes out(p, p + n);
    QOXFreeBERElement(e);
    return out;
  }

  std::vector<Bytes> Corpus() {
    const std::string longText(200, 'L');
    const char* attrs[] = {"qoxkey", "qoxkeyid", nullptr};
    return {
        Encode([](auto e) { return QOXberAppend(e, "{it{ess}}", 7, 0x65u, 0, "", "done"); }),
        Encode([&](auto e) {
          return QOXberAppend(e, "{it{ess}}", 9, 0x61u, 49, "o=x", longText.c_str());
        }),
        Encode([&](auto e) {
          return QOXberAppend(e, "{it{seeiibt{t{ss}t{ts}}{v}}}", 2, 0x63u, "OU=ACTIVE", 2, 0, 100,
                              30, 0, 0xa0u, 0xa3u, "qoxkeyid", "1234", 0xa2u, 0x87u, "qoxdisabled",
                              attrs);
        }),
        Encode([](auto e) {
          return QOXberAppend(e, "{it{s{{s[oo]}{s[o]}}}}", 3, 0x64u, "qoxcertid=1", "qoxkeyid",
                              "ABCD", 4u, "EF", 2u, "qoxdisabled", "0", 1u);
        }),
        Encode([](auto e) { return QOXberAppend(e, "{it{ists}}", 1, 0x60u, 2, "cn=a", 0x80u, "pw"); }),
        Encode([](auto e) { return QOXberAppend(e, "{itn}", 3, 0x42u); }),
    };
  }

  QOXMemoryMgr* mgr_ = nullptr;
};

void Mutate(Bytes& b, std::mt19937& rng, const std::vector<Bytes>& corpus) {
  static const uint8_t interesting[] = {0x00, 0x01, 0x1f, 0x30, 0x7f, 0x80, 0x81,
                                        0x82, 0x83, 0x84, 0x85, 0xa0, 0xff};
  int rounds = 1 + static_cast<int>(rng() % 4);
  for (int r = 0; r < rounds; ++r) {
    size_t at = b.empty() ? 0 : rng() % b.size();
    switch (rng() % 7) {
      case 0:
        if (!b.empty()) b[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:
        if (!b.empty()) b[at] = interesting[rng() % sizeof interesting];
        break;
      case 2:
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(rng()));
        break;
      case 3:
        if (!b.empty()) b.erase(b.begin() + static_cast<std::ptrdiff_t>(at));
        break;
      case 4:
        b.resize(at);  // truncate
        break;
      case 5: {  // splice in a piece of another message
        const Bytes& o = corpus[rng() % corpus.size()];
        size_t from = rng() % o.size(), n = rng() % (o.size() - from + 1);
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), o.begin() + static_cast<std::ptrdiff_t>(from),
                 o.begin() + static_cast<std::ptrdiff_t>(from + n));
        break;
      }
      case 6:
        if (b.size() > 1) {  // a length octet claiming more or less
          size_t i = 1 + rng() % (b.size() - 1);
          b[i] = static_cast<uint8_t>(b[i] + static_cast<int>(rng() % 9) - 4);
        }
        break;
    }
  }
}

TEST_F(BerMutationTest, MutatedMessagesStayInBounds) {
  const std::vector<Bytes> corpus = Corpus();
  const uint64_t iterations = EnvOr("OSTRAK_BER_MUTATIONS", 1000000);
  std::mt19937 rng(static_cast<uint32_t>(EnvOr("OSTRAK_BER_SEED", 20261210)));
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  QOXberElement* reader = nullptr;
  ASSERT_EQ(qoxNewBERElement(mgr_, &reader), kQOXErrNoErr);

  for (uint64_t i = 0; i < iterations; ++i) {
    Bytes msg = corpus[rng() % corpus.size()];
    Mutate(msg, rng, corpus);
    // A steering program in front, as the fuzz target takes it.
    Bytes input;
    uint8_t steps = static_cast<uint8_t>(rng());
    input.push_back(steps);
    for (int s = 0; s < steps % 16; ++s) input.push_back(static_cast<uint8_t>(rng()));
    input.insert(input.end(), msg.begin(), msg.end());
    ber_fuzz::Run(mgr_, input.data(), input.size());

    // Now and then the same bytes arrive on a socket: the reader takes one
    // element that is an exact prefix of them, or fails cleanly.
    if (i % 64 == 0 && !msg.empty()) {
      ASSERT_EQ(::send(fds[1], msg.data(), msg.size(), 0), static_cast<ssize_t>(msg.size()));
      QOXError err = QOXberReadResponse(reader, fds[0], 0, 4096);
      if (err == kQOXErrNoErr) {
        const uint8_t* p;
        uint32_t n;
        QOXberGetEncoding(reader, &p);
        QOXberGetLength(reader, &n);
        ASSERT_LE(n, msg.size());
        ASSERT_EQ(std::memcmp(p, msg.data(), n), 0);
      }
      char junk[4096];
      while (::recv(fds[0], junk, sizeof junk, MSG_DONTWAIT) > 0) {
      }
    }
  }
  QOXFreeBERElement(reader);
  ::close(fds[0]);
  ::close(fds[1]);
}

// A random tree of integers, strings, NULLs, sequences and sets.
struct Node {
  enum Kind { kInt, kString, kNull, kSeq, kSet } kind = kInt;
  int32_t value = 0;
  std::string text;
  std::vector<Node> children;
};

Node RandomNode(std::mt19937& rng, int depth) {
  Node n;
  n.kind = static_cast<Node::Kind>(rng() % (depth > 4 ? 3 : 5));
  switch (n.kind) {
    case Node::kInt: {
      const int32_t edges[] = {0, 127, 128, -128, -129, 255, 256, INT32_MIN, INT32_MAX, -1};
      n.value = rng() % 2 ? edges[rng() % 10] : static_cast<int32_t>(rng());
      break;
    }
    case Node::kString:
      n.text.assign(rng() % 3 ? rng() % 140 : rng() % 70000, static_cast<char>('a' + rng() % 26));
      break;
    case Node::kNull:
      break;
    default:
      for (int i = 0, k = static_cast<int>(rng() % 5); i < k; ++i)
        n.children.push_back(RandomNode(rng, depth + 1));
  }
  return n;
}

QOXError EncodeNode(QOXberElement* e, const Node& n) {
  switch (n.kind) {
    case Node::kInt: return QOXberAppend(e, "i", n.value);
    case Node::kString: return QOXberAppend(e, "o", n.text.data(), uint32_t(n.text.size()));
    case Node::kNull: return QOXberAppend(e, "n");
    default: {
      if (QOXError err = QOXberAppend(e, n.kind == Node::kSeq ? "{" : "[")) return err;
      for (const Node& c : n.children)
        if (QOXError err = EncodeNode(e, c)) return err;
      return QOXberAppend(e, n.kind == Node::kSeq ? "}" : "]");
    }
  }
}

// Reads the node back with the decoder and walkers.
void ExpectNode(QOXberElement* e, const Node& n) {
  uint32_t tag = 0, len = 0;
  ASSERT_EQ(QOXberPeek(e, &tag, &len), kQOXErrNoErr);
  switch (n.kind) {
    case Node::kInt: {
      int32_t v = 0;
      ASSERT_EQ(tag, 2u);
      ASSERT_EQ(QOXberRead(e, "i", &v), kQOXErrNoErr);
      EXPECT_EQ(v, n.value);
      break;
    }
    case Node::kString: {
      ASSERT_EQ(tag, 4u);
      ASSERT_EQ(len, n.text.size());
      std::string got(len, '\0');
      ASSERT_EQ(QOXberRead(e, "o", got.data(), len), kQOXErrNoErr);
      EXPECT_TRUE(got == n.text);
      break;
    }
    case Node::kNull:
      ASSERT_EQ(tag, 5u);
      ASSERT_EQ(len, 0u);
      ASSERT_EQ(QOXberRead(e, "n"), kQOXErrNoErr);
      break;
    default: {
      ASSERT_EQ(tag, n.kind == Node::kSeq ? 0x30u : 0x31u);
      uint32_t before, after;
      QOXberGetIndex(e, &before);
      ASSERT_EQ(QOXberNext(e), kQOXErrNoErr);
      for (const Node& c : n.children) ExpectNode(e, c);
      QOXberGetIndex(e, &after);
      uint32_t header = len < 128 ? 2 : len < 65536 ? 4 : 5;
      EXPECT_EQ(after, before + header + len);
    }
  }
}

TEST_F(BerMutationTest, RandomTreesRoundTrip) {
  std::mt19937 rng(static_cast<uint32_t>(EnvOr("OSTRAK_BER_SEED", 7)));
  for (int i = 0; i < 300; ++i) {
    Node root;
    root.kind = Node::kSeq;
    for (int k = 0, m = 1 + static_cast<int>(rng() % 4); k < m; ++k)
      root.children.push_back(RandomNode(rng, 1));
    QOXberElement* e = nullptr;
    ASSERT_EQ(qoxNewBERElement(mgr_, &e), kQOXErrNoErr);
    ASSERT_EQ(EncodeNode(e, root), kQOXErrNoErr);
    ExpectNode(e, root);
    uint32_t index, length;
    QOXberGetIndex(e, &index);
    QOXberGetLength(e, &length);
    EXPECT_EQ(index, length);
    QOXFreeBERElement(e);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
