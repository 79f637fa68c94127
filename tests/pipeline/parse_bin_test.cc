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
    Bytes sessionKey;
    for (size_t piece : {size_t{0}, size_t{1}, size_t{7}}) {
      SCOPED_TRACE(piece);
      MessageReader r(context_);
      // The passphrase once; its session key for the pieces.
      if (c.passphrase != nullptr && piece == 0) r.passphrase = c.passphrase;
      if (c.sessionKey != nullptr) r.sessionKeys.push_back(SessionKey(c.sessionKey));
      if (!sessionKey.empty()) r.sessionKeys.push_back(sessionKey);
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
        sessionKey = r.accepted;
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


// --- Hand-made inputs ---

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
// A new-format packet with a one-, two- or five-octet length.
Bytes Packet(uint8_t tag, const Bytes& body) {
  Bytes out{static_cast<uint8_t>(0xC0 | tag)};
  size_t n = body.size();
  if (n < 192) {
    out.push_back(static_cast<uint8_t>(n));
  } else if (n < 8384) {
    out.push_back(static_cast<uint8_t>(((n - 192) >> 8) + 192));
    out.push_back(static_cast<uint8_t>((n - 192) & 0xFF));
  } else {
    out.insert(out.end(), {0xFF, static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                           static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}
Bytes Literal(char type, const std::string& name, const std::string& data) {
  Bytes body{static_cast<uint8_t>(type), static_cast<uint8_t>(name.size())};
  body.insert(body.end(), name.begin(), name.end());
  body.insert(body.end(), {0x12, 0x34, 0x56, 0x78});
  body.insert(body.end(), data.begin(), data.end());
  return Packet(11, body);
}
// An old-format compressed packet running to the end, holding `inner` in
// one stored deflate block.
Bytes Stored(const Bytes& inner) {
  const size_t n = inner.size();
  Bytes out{0xA3, 0x01, 0x01, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
            static_cast<uint8_t>(~n), static_cast<uint8_t>(~n >> 8)};
  out.insert(out.end(), inner.begin(), inner.end());
  return out;
}

struct FaultCase {
  const char* name;
  Bytes input;
  QOXError error;                  // of the parse
  std::vector<uint32_t> faults;    // the fault annotations, in order
  std::string data;                // what reaches the reader
};

TEST_F(ParseBinTest, InputFaults) {
  const Bytes store = Data("store.gpg");
  const std::string plain = Text("plain.txt");
  Bytes aes = Data("sym-aes.gpg");
  aes.back() ^= 0x01;  // the last byte of the modification code
  // Length 0xFFFFFFFF is a length: input ending inside it is cut short.
  const Bytes hugeUnknown = {0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b', 'c'};
  const Bytes shortLiteral = Literal('b', "", "x");
  const Bytes hugeLiteral = {0xCB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'b', 0, 1, 2, 3, 4, 'x', 'y'};
  FaultCase cases[] = {
      {"cut inside the literal's fields", Bytes(store.begin(), store.begin() + 5), 0, {kQOXAnnPacketError}, ""},
      {"cut inside a header", {0xCB, 0xFF, 0x00}, 0, {kQOXAnnPacketError}, ""},
      {"cut inside an unknown packet of length 2^32-1", hugeUnknown, 0, {kQOXAnnPacketError}, ""},
      {"cut inside the literal's data", Bytes(store.begin(), store.end() - 5), 0, {kQOXAnnPacketGarbled},
       plain.substr(0, plain.size() - 5)},
      {"literal of length 2^32-1", hugeLiteral, 0, {kQOXAnnPacketGarbled}, "xy"},
      {"literal without its date", Packet(11, {'b', 0, 1, 2}), 0, {kQOXAnnPacketTruncated}, ""},
      {"literal whose name runs past its body", Packet(11, {'b', 9, 'a', 'b'}), 0, {kQOXAnnPacketTruncated}, ""},
      {"empty compressed packet, then a literal", Cat({{0xC8, 0x00}, store}), 0, {kQOXAnnPacketTruncated}, plain},
      {"indeterminate old-format packet", Cat({{0xAF}, Bytes(shortLiteral.begin() + 2, shortLiteral.end())}), 0,
       {}, "x"},
      {"session-key packet over the buffer", Cat({Packet(1, Bytes(1200, 3)), store}), 0, {kQOXAnnESKTooBig}, plain},
      {"signature over the buffer", Cat({Packet(2, Cat({{4, 0}, Bytes(1200, 0)})), store}), 0,
       {kQOXAnnSignatureTooBig}, plain},
      {"flipped modification code", aes, kQOXErrModificationDetected, {}, plain},
      {"ZLIB compression", Data("zlib.gpg"), kQOXErrBadPacket, {}, ""},
  };
  MessageReader keyed(context_);
  keyed.passphrase = "fixture";
  ASSERT_EQ(Parse(Data("sym-aes.gpg"), keyed), kQOXErrNoErr);
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (size_t piece : {size_t{0}, size_t{1}}) {
      MessageReader r(context_);
      r.sessionKeys = {keyed.accepted};
      EXPECT_EQ(Parse(c.input, r, piece), c.error);
      EXPECT_EQ(Faults(r), c.faults);
      EXPECT_EQ(ToString(r.data), c.data);
    }
  }
}

// A wrong session key fails the quick check before any plaintext; so do
// keys of the wrong length or an unknown cipher.
TEST_F(ParseBinTest, SessionKeysThatFailTheCheck) {
  struct {
    Bytes key;
    QOXError error;
  } cases[] = {
      {Cat({{9}, RandomBytes(32, 1)}), kQOXErrCannotDecryptMessage},
      {Cat({{9}, RandomBytes(16, 2)}), kQOXErrBadCipherKeyLength},
      {Cat({{99}, RandomBytes(16, 3)}), kQOXErrUnknownCipherNumber},
      {{}, kQOXErrBadCipherKeyLength},
  };
  for (const char* f : {"sym-aes.gpg", "sym-rfc2440.gpg"}) {
    for (auto& c : cases) {
      MessageReader r(context_);
      r.sessionKeys = {c.key};
      EXPECT_EQ(Parse(Data(f), r), c.error) << f;
      EXPECT_EQ(r.lastRefusal, c.error);
      EXPECT_TRUE(r.data.empty());
      EXPECT_FALSE(r.Saw(kQOXAnnLiteralBegin));
    }
  }
  // The right key after a wrong one is taken.
  MessageReader r(context_);
  r.sessionKeys = {Cat({{3}, RandomBytes(16, 4)}), SessionKey("sym-cast5.key")};
  ASSERT_EQ(Parse(Data("sym-cast5.gpg"), r), kQOXErrNoErr);
  EXPECT_EQ(r.lastRefusal, kQOXErrCannotDecryptMessage);
  EXPECT_EQ(ToString(r.data), Text("plain.txt"));
}

// Scopes the parser opens for what is not a message of literal data.
TEST_F(ParseBinTest, OtherScopes) {
  const Bytes store = Data("store.gpg");
  const std::string plain = Text("plain.txt");
  {  // A marker packet says nothing.
    MessageReader r(context_), plainReader(context_);
    ASSERT_EQ(Parse(Cat({Bytes(kQOXMarkerPacket, kQOXMarkerPacket + 5), store}), r), kQOXErrNoErr);
    ASSERT_EQ(Parse(store, plainReader), kQOXErrNoErr);
    EXPECT_EQ(r.Types(), plainReader.Types());
    EXPECT_EQ(ToString(r.data), plain);
  }
  {  // An unknown packet is announced with its leading bytes and skipped;
     // tag 16 has scope codes of its own.
    for (uint8_t tag : {61, 16}) {
      const Bytes unknown = Packet(tag, {'x', 'y', 'z'});
      MessageReader r(context_);
      r.decide = [](uint32_t scope) { return scope == kQOXAnnLiteralBegin ? 260 : 0; };
      ASSERT_EQ(Parse(Cat({unknown, store}), r), kQOXErrNoErr);
      const uint32_t begin = tag == 16 ? kQOXAnnTag16Begin : kQOXAnnUnknownBegin;
      ASSERT_TRUE(r.First(begin));
      EXPECT_EQ(r.First(begin)->bytes, unknown);
      EXPECT_TRUE(r.Saw(begin + 1));
      EXPECT_EQ(ToString(r.data), plain);
    }
  }
  {  // Data that is no packet: skipped by default, passed through as it is
     // when the answer asks for more.
    const std::string text = "Just some text, no packets.\n";
    for (int32_t answer : {0, 260, 261}) {
      MessageReader r(context_);
      r.decide = [answer](uint32_t) { return answer; };
      ASSERT_EQ(Parse(ToBytes(text), r, 4), kQOXErrNoErr);
      ASSERT_TRUE(r.First(kQOXAnnNonMessageBegin));
      EXPECT_EQ(ToString(r.First(kQOXAnnNonMessageBegin)->bytes), text);
      EXPECT_EQ(ToString(r.data), answer == 0 ? "" : text);
    }
  }
  {  // An unknown packet whose leading bytes span partial chunks cannot be
     // passed through as it came: -11391; skipped, it is simply skipped.
    const Bytes chunked = {0xFD, 0xE1, 'a', 'b', 0xE0, 'c', 0x01, 'd'};
    for (int32_t answer : {259, 258}) {
      MessageReader r(context_);
      r.decide = [answer](uint32_t scope) { return scope == kQOXAnnLiteralBegin ? 260 : answer; };
      EXPECT_EQ(Parse(Cat({chunked, store}), r), answer == 259 ? kQOXErrBadPacket : kQOXErrNoErr);
      EXPECT_EQ(r.First(kQOXAnnUnknownBegin)->bytes, (Bytes{0xFD, 0xE1, 'a', 'b', 'c', 'd'}));
      EXPECT_EQ(ToString(r.data), answer == 259 ? "" : plain);
    }
  }
  {  // Session-key packets without encrypted data.
    MessageReader r(context_);
    const Bytes aes = Data("sym-aes.gpg");
    ASSERT_EQ(Parse(Cat({Bytes(aes.begin(), aes.begin() + 15), store}), r), kQOXErrNoErr);
    auto t = r.Types();
    ASSERT_GE(t.size(), 5u);
    EXPECT_EQ(std::vector<uint32_t>(t.begin(), t.begin() + 5),
              (std::vector<uint32_t>{kQOXAnnCipherBegin, kQOXAnnSKCipherESK, kQOXAnnCipherNoText, kQOXAnnCommit,
                                     kQOXAnnCipherEnd}));
    EXPECT_EQ(ToString(r.data), plain);
  }
  {  // Parsers inside parsers stop at a fixed depth.
    Bytes nested = store;
    for (int i = 0; i < 40; ++i) nested = Stored(nested);
    MessageReader r(context_);
    EXPECT_EQ(Parse(nested, r), kQOXErrBadPacket);
    EXPECT_TRUE(r.data.empty());
    Bytes shallow = store;
    for (int i = 0; i < 20; ++i) shallow = Stored(shallow);
    MessageReader s(context_);
    EXPECT_EQ(Parse(shallow, s), kQOXErrNoErr);
    EXPECT_EQ(ToString(s.data), plain);
  }
}

// A key block is one key scope whose packets go on whole as data, whatever
// the answer: a recursing answer must not open a key scope inside it
// (without end), nor lose the block.
TEST_F(ParseBinTest, KeyBlocksPassWhole) {
  const std::string keys = std::string(OSTRAK_SOURCE_DIR) + "/tests/keydb/data/";
  for (const char* f : {"alice.bin", "bob.both.bin", "dave.sec.bin"}) {
    const Bytes block = ReadFile(keys + f);
    for (int32_t answer : {0, 260, 261}) {
      SCOPED_TRACE(std::string(f) + " " + std::to_string(answer));
      MessageReader r(context_);
      r.decide = [answer](uint32_t) { return answer; };
      ASSERT_EQ(Parse(block, r, 5), kQOXErrNoErr);
      EXPECT_EQ(r.Types(), (std::vector<uint32_t>{kQOXAnnKeysBegin, kQOXAnnCommit, kQOXAnnKeysEnd}));
      EXPECT_EQ(r.data, block);
    }
  }
  {  // Skipped, the keys go nowhere; a literal after them is read.
    MessageReader r(context_);
    r.decide = [](uint32_t scope) { return scope == kQOXAnnKeysBegin ? 258 : 260; };
    ASSERT_EQ(Parse(Cat({ReadFile(keys + "alice.bin"), Data("store.gpg")}), r), kQOXErrNoErr);
    EXPECT_EQ(ToString(r.data), Text("plain.txt"));
  }
}

// A text literal holding an armored message is announced as 'r'; processed
// it goes on as text ('t'), recursed it goes through an armor parser, which
// decodes the message inside.
TEST_F(ParseBinTest, ArmoredTextLiteral) {
  const std::string armored =
      "-----BEGIN PGP MESSAGE-----\n\nrAxiAAAAAABpbm5lcgo=\n=Cxpi\n-----END PGP MESSAGE-----\n";
  const Bytes input = Literal('t', "msg.asc", armored);
  for (int32_t answer : {0, 260, 261}) {
    MessageReader r(context_);
    r.decide = [answer](uint32_t) { return answer; };
    ASSERT_EQ(Parse(input, r), kQOXErrNoErr);
    std::vector<Bytes> types;
    for (const auto& e : r.events) {
      if (!e.data && e.type == kQOXAnnLiteralType) types.push_back(e.bytes);
    }
    if (answer == 261) {
      EXPECT_EQ(types, (std::vector<Bytes>{{'r'}, {'b'}}));
      EXPECT_TRUE(r.Saw(kQOXAnnArmorMsgBegin) && r.Saw(kQOXAnnArmorMsgEnd));
      EXPECT_EQ(ToString(r.data), "inner\n");
    } else {
      EXPECT_EQ(types, (std::vector<Bytes>{{'r'}, {'t'}}));
      EXPECT_EQ(ToString(r.data), armored);
    }
  }
  // Text that does not begin with the armor line stays 't'.
  MessageReader r(context_);
  ASSERT_EQ(Parse(Literal('t', "", "-----BEGIN PGP"), r), kQOXErrNoErr);
  EXPECT_EQ(r.First(kQOXAnnLiteralType)->bytes, Bytes{'t'});
}

// A module behind the parser that fails (a write or an annotation) stops
// the parser where it was; writing the rest later finishes the message as
// if nothing had happened.
TEST_F(ParseBinTest, ResumesAfterTheNextModuleFails) {
  for (const char* f : {"signed.gpg", "store-partial.gpg", "sym-cast5.gpg"}) {
    SCOPED_TRACE(f);
    const Bytes input = Data(f);
    const Bytes key = SessionKey("sym-cast5.key");
    MessageReader whole(context_);
    whole.sessionKeys = {key};
    ASSERT_EQ(Parse(input, whole), kQOXErrNoErr);
    // Refuse the n-th call of every kind once, for n = 1, 2, ...
    for (int n = 1; n < 12; ++n) {
      MessageReader r(context_);
      r.sessionKeys = {key};
      int calls = 0;
      bool failed = false;
      r.failCall = [&]() {
        if (!failed && ++calls == n) {
          failed = true;
          return true;
        }
        return false;
      };
      QOXPipeline* head = &r.module;
      ASSERT_NE(qoxParseBinCreate(context_, &head, qoxContextGetEnvironment(context_), nullptr, nullptr), nullptr);
      size_t at = 0;
      int errors = 0;
      QOXError err = kQOXErrNoErr;
      while (at < input.size()) {
        QOXError e = kQOXErrNoErr;
        at += head->write(head, input.data() + at, std::min<size_t>(100, input.size() - at), &e);
        if (e != kQOXErrNoErr) {
          ASSERT_EQ(e, kQOXErrWriteFailed);
          ++errors;
        }
      }
      while ((err = head->sizeAdvise(head, 0)) == kQOXErrWriteFailed) ++errors;
      EXPECT_EQ(err, kQOXErrNoErr);
      qoxPipelineTeardown(head);
      EXPECT_EQ(r.data, whole.data) << n;
      EXPECT_EQ(r.Types(), whole.Types()) << n;
      EXPECT_EQ(errors, failed ? 1 : 0) << n;
    }
  }
}

}  // namespace
}  // namespace pipeline_test
