// The binary message parser against gpg: the annotation traces of the
// messages of tests/pipeline/data (made by make_messages.sh) follow the
// packet structure `gpg --list-packets` printed for them, the literals come
// out whole, the hashes of signed data match the check bytes of gpg's
// signatures, and the faults of the input come out as their annotations or
// errors.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "foundation/context.h"
#include "pipeline/generic_modules.h"
#include "pipeline/parse_bin.h"
#include "tests/pipeline/message_reader.h"
#include "tests/pipeline/pipeline_test_support.h"

namespace pipeline_test {
namespace {

std::string DataPath(const std::string& name) { return std::string(OSTRAK_TEST_DATA) + "/" + name; }
Bytes Data(const std::string& name) {
  std::ifstream in(DataPath(name), std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
std::string Text(const std::string& name) { return ToString(Data(name)); }

// The long literal of store-partial.gpg and signed-partial.gpg.
std::string LongLines() {
  std::string s;
  for (int i = 1; i <= 1500; ++i) s += "line " + std::to_string(i) + " of a long literal\n";
  return s;
}

// "9:HEX" as the parser takes a session key: the algorithm byte, the key.
Bytes SessionKey(const std::string& file) {
  std::string t = Text(file);
  size_t colon = t.find(':');
  Bytes key{static_cast<uint8_t>(std::stoi(t.substr(0, colon)))};
  for (size_t i = colon + 1; i + 1 < t.size() && std::isxdigit(static_cast<unsigned char>(t[i])); i += 2) {
    key.push_back(static_cast<uint8_t>(std::stoi(t.substr(i, 2), nullptr, 16)));
  }
  return key;
}

// What gpg listed, packet by packet.
struct GpgPacket {
  int tag;
  std::string text;  // the lines after the header line
};
std::vector<GpgPacket> GpgPackets(const std::string& file) {
  std::vector<GpgPacket> out;
  std::istringstream in(Text(file));
  std::string line;
  std::regex header(R"(^# off=\d+ ctb=[0-9a-f]+ tag=(\d+) )");
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_search(line, m, header)) {
      out.push_back({std::stoi(m[1]), ""});
    } else if (!out.empty()) {
      out.back().text += line + "\n";
    }
  }
  return out;
}

// The packets our trace shows, as tags: session keys 1 and 3 (an empty
// tag-3 body, the parser's own "no session key packet", is left out), the
// encrypted data as 9 (gpg's 9 and 18 both), 8, 11, one-pass 4 and
// signatures 2.
std::vector<int> TraceTags(const MessageReader& r) {
  std::vector<int> tags;
  std::vector<uint32_t> stack;
  for (const auto& e : r.events) {
    if (e.data) continue;
    if (qoxAnnIsScopeBegin(e.type)) stack.push_back(e.type);
    if (qoxAnnIsScopeEnd(e.type) && !stack.empty()) stack.pop_back();
    switch (e.type) {
      case kQOXAnnSKCipherESK:
        if (!e.bytes.empty()) tags.push_back(3);
        break;
      case kQOXAnnPKCipherESK:
        tags.push_back(1);
        break;
      case kQOXAnnCommit:
        if (!stack.empty() && stack.back() == kQOXAnnCipherBegin) tags.push_back(9);
        break;
      case kQOXAnnCompressedBegin:
        tags.push_back(8);
        break;
      case kQOXAnnLiteralBegin:
        tags.push_back(11);
        break;
      case kQOXAnnSignature:
        tags.push_back(ReadSig(e.bytes).onePass ? 4 : 2);
        break;
      case kQOXAnnSignatureTrailer:
        tags.push_back(2);
        break;
      default:
        break;
    }
  }
  return tags;
}
std::vector<int> GpgTags(const std::vector<GpgPacket>& packets) {
  std::vector<int> tags;
  for (const auto& p : packets) tags.push_back(p.tag == 18 ? 9 : p.tag);
  return tags;
}

class ParseBinTest : public PipelineTest {
 protected:
  // parser -> reader; the reader outlives the chain.
  QOXError Parse(const Bytes& input, MessageReader& reader, size_t piece = 0) {
    QOXPipeline* head = &reader.module;
    EXPECT_NE(qoxParseBinCreate(context_, &head, qoxContextGetEnvironment(context_), nullptr, nullptr), nullptr);
    QOXError err = Feed(head, input, piece);
    qoxPipelineTeardown(head);
    EXPECT_TRUE(reader.tornDown);
    return err;
  }
  // The error annotations of a trace.
  static std::vector<uint32_t> Faults(const MessageReader& r) {
    std::vector<uint32_t> f;
    for (uint32_t t : r.Types()) {
      if (t >= kQOXAnnPacketError && t <= kQOXAnnESKTooBig) f.push_back(t);
    }
    return f;
  }
};

struct GpgCase {
  const char* message;
  const char* passphrase;  // for the session-key packets, or null
  const char* sessionKey;  // file of gpg's session key, or null
  bool longLiteral;        // the literal is LongLines(), else plain.txt
  // Signatures gpg's listing leaves out: it stops at a literal of unknown
  // length (partial body lengths).
  int unlisted = 0;
};

// Every message, whole and in pieces of 1 and 7 bytes: the same trace, the
// structure gpg listed, the literal's fields and data.
TEST_F(ParseBinTest, TracesFollowGpgListPackets) {
  const GpgCase cases[] = {
      {"store-partial", nullptr, nullptr, true},  // partial body lengths
      {"store", nullptr, nullptr, false},
      {"compressed", nullptr, nullptr, false},    // old format, indeterminate
      {"signed", nullptr, nullptr, false},
      {"signed-plain", nullptr, nullptr, false},  // old-format one-pass and signature headers
      {"signed-partial", nullptr, nullptr, true, 1},
      {"signed-two", nullptr, nullptr, false},
      {"sym-aes", "fixture", nullptr, false},     // AES-256, tag 18
      {"sym-rfc2440", "fixture", nullptr, false}, // tag 9
      {"sym-cast5", "fixture", nullptr, false},
      {"pk-elgamal", nullptr, "pk-elgamal.key", false},
      {"pk-rsa", nullptr, "pk-rsa.key", false},
  };
  const std::string plain = Text("plain.txt");
  const std::string longLines = LongLines();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const std::string name = c.message;
    const Bytes input = Data(name + ".gpg");
    const auto gpg = GpgPackets(name + ".packets.txt");
    std::vector<uint32_t> firstTrace;
    for (size_t piece : {size_t{0}, size_t{1}, size_t{7}}) {
      SCOPED_TRACE(piece);
      MessageReader r(context_);
      if (c.passphrase != nullptr) r.passphrase = c.passphrase;
      if (c.sessionKey != nullptr) r.sessionKeys.push_back(SessionKey(c.sessionKey));
      ASSERT_EQ(Parse(input, r, piece), kQOXErrNoErr);
      std::vector<int> listed = GpgTags(gpg);
      for (int i = 0; i < c.unlisted; ++i) listed.push_back(2);
      EXPECT_EQ(TraceTags(r), listed);
      EXPECT_EQ(ToString(r.data), c.longLiteral ? longLines : plain);
      EXPECT_TRUE(Faults(r).empty());
      EXPECT_EQ(r.lastRefusal, kQOXErrNoErr);
      // Literal fields as gpg read them.
      for (const auto& p : gpg) {
        if (p.tag == 11) {
          std::smatch m;
          ASSERT_TRUE(std::regex_search(p.text, m, std::regex(R"re(mode (\w) \(\d+\), created (\d+), name="(.*)")re")));
          const auto* type = r.First(kQOXAnnLiteralType);
          const auto* time = r.First(kQOXAnnLiteralTimestamp);
          const auto* lname = r.First(kQOXAnnLiteralName);
          ASSERT_TRUE(type && time && lname);
          EXPECT_EQ(type->bytes, Bytes{static_cast<uint8_t>(m[1].str()[0])});
          ASSERT_EQ(time->bytes.size(), 4u);
          uint32_t t = (uint32_t{time->bytes[0]} << 24) | (time->bytes[1] << 16) | (time->bytes[2] << 8) |
                       time->bytes[3];
          EXPECT_EQ(t, std::stoul(m[2]));
          EXPECT_EQ(ToString(lname->bytes), m[3].str());
        }
        if (p.tag == 8) {
          const auto* z = r.First(kQOXAnnCompressedBegin);
          ASSERT_TRUE(z);
          EXPECT_EQ(p.text.find(":compressed packet: algo=" + std::to_string(z->bytes.at(0))), 0u);
        }
      }
      // Each signature's hash, completed by the parser, begins with the
      // check bytes gpg wrote.
      size_t sigs = c.unlisted;
      for (const auto& p : gpg) sigs += p.tag == 2;
      ASSERT_EQ(r.signatures.size(), sigs);
      for (const auto& s : r.signatures) {
        EXPECT_EQ(s.requestError, kQOXErrNoErr);
        ASSERT_EQ(s.digest.size(), 20u);
        EXPECT_EQ(Bytes(s.digest.begin(), s.digest.begin() + 2), ReadSig(s.body).check);
      }
      if (piece == 0) {
        firstTrace = r.Types();
      } else {
        EXPECT_EQ(r.Types(), firstTrace);
      }
    }
  }
}

// Two signers: two one-pass packets in front of the data, the signatures
// behind it in the reverse order, one signed scope around them all.
TEST_F(ParseBinTest, TwoOnePassSignaturesShareOneScope) {
  MessageReader r(context_);
  ASSERT_EQ(Parse(Data("signed-two.gpg"), r), kQOXErrNoErr);
  const std::vector<uint32_t> expected = {
      kQOXAnnSignedBegin,  kQOXAnnSignature,        kQOXAnnSignature,        kQOXAnnCommit,
      kQOXAnnLiteralBegin, kQOXAnnLiteralName,      kQOXAnnLiteralTimestamp, kQOXAnnLiteralType,
      kQOXAnnCommit,       kQOXAnnLiteralEnd,       kQOXAnnSignatureTrailer, kQOXAnnSignatureTrailer,
      kQOXAnnHashValue,    kQOXAnnHashValue,        kQOXAnnSignedEnd};
  auto types = r.Types();
  // The hash values answer the requests made at the scope's end; the end
  // annotation itself is recorded first.
  std::vector<uint32_t> order(types.begin(), types.end());
  ASSERT_GE(order.size(), 3u);
  EXPECT_EQ(order.back(), kQOXAnnHashValue);
  std::vector<uint32_t> withoutAnswers;
  for (uint32_t t : types) {
    if (t != kQOXAnnHashValue) withoutAnswers.push_back(t);
  }
  std::vector<uint32_t> want;
  for (uint32_t t : expected) {
    if (t != kQOXAnnHashValue) want.push_back(t);
  }
  EXPECT_EQ(withoutAnswers, want);
  EXPECT_EQ(r.ends, 2);  // the inner parser's end, then the outer one's
}

// A detached signature stands alone: 0x0904, and by default nothing more.
TEST_F(ParseBinTest, DetachedSignatureIsAnnounced) {
  for (const char* f : {"detached.sig", "detached-text.sig"}) {
    MessageReader r(context_);
    r.decide = [](uint32_t) { return 0; };  // no answer: the parser's default (258)
    ASSERT_EQ(Parse(Data(f), r), kQOXErrNoErr);
    EXPECT_EQ(r.Types(), (std::vector<uint32_t>{kQOXAnnSignedBegin, kQOXAnnSignature, kQOXAnnSignedDetached,
                                                kQOXAnnCommit, kQOXAnnSignedEnd}))
        << f;
    EXPECT_TRUE(r.data.empty());
  }
}

// The old form: a signature in front of the literal that it signs.
TEST_F(ParseBinTest, SignatureInFrontOfItsLiteral) {
  Bytes input = Data("detached.sig");
  Bytes literal = Data("store.gpg");
  input.insert(input.end(), literal.begin(), literal.end());
  MessageReader r(context_);
  ASSERT_EQ(Parse(input, r, 3), kQOXErrNoErr);
  EXPECT_EQ(ToString(r.data), Text("plain.txt"));
  ASSERT_EQ(r.signatures.size(), 1u);
  ASSERT_EQ(r.signatures[0].digest.size(), 20u);
  EXPECT_EQ(Bytes(r.signatures[0].digest.begin(), r.signatures[0].digest.begin() + 2),
            ReadSig(r.signatures[0].body).check);
  EXPECT_FALSE(r.Saw(kQOXAnnSignedDetached));
}

}  // namespace
}  // namespace pipeline_test
