// The ASCII armor parser: hand-made edge cases as one table, and gpg-made
// armored keys, messages and clear-signed texts as oracles, each fed whole
// and in pieces of 1 and 7 bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/base64.h"
#include "foundation/context.h"
#include "foundation/env.h"
#include "pipeline/armor_parse.h"
#include "pipeline/crc24.h"
#include "pipeline/verify_reader_services.h"
#include "tests/common/scoped_services.h"
#include "tests/pipeline/message_reader.h"
#include "tests/pipeline/pipeline_test_support.h"

namespace pipeline_test {
namespace {

Bytes Data(const std::string& name) {
  std::ifstream in(std::string(OSTRAK_TEST_DATA) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// An old-format literal packet ('b', no name, time 0) holding text.
Bytes Literal(const std::string& text) {
  Bytes b{0xAC, static_cast<uint8_t>(6 + text.size()), 'b', 0, 0, 0, 0, 0};
  b.insert(b.end(), text.begin(), text.end());
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string B64(const Bytes& b) {
  std::string s(ostrak::Base64EncodedLength(b.size()), '\0');
  ostrak::Base64Encode(b.data(), b.size(), s.data());
  return s;
}
std::string Crc(const Bytes& b) {
  uint32_t c = crcUpdate(kQOXCRC24Init, b.data(), b.size());
  return "=" + B64({static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)});
}
// An armored block of the bytes: the header line's type, headers, body
// lines of at most `width` characters, checksum, end line.
std::string Armor(const Bytes& b, const std::string& type = "MESSAGE", const std::string& headers = "",
                  size_t width = 64, const std::string& eol = "\n") {
  std::string s = "-----BEGIN PGP " + type + "-----" + eol + headers + eol;
  std::string body = B64(b);
  for (size_t i = 0; i < body.size(); i += width) s += body.substr(i, width) + eol;
  return s + Crc(b) + eol + "-----END PGP " + type + "-----" + eol;
}

// The annotations of the parser itself (text, armor, clear-signed, binary
// scopes and faults), in order.
std::vector<uint32_t> ArmorTypes(const MessageReader& r) {
  std::vector<uint32_t> t;
  for (uint32_t x : r.Types()) {
    if (x >= kQOXAnnNonArmorBegin && x < kQOXAnnInputBegin) t.push_back(x);
  }
  return t;
}

constexpr uint32_t kText = kQOXAnnNonArmorBegin, kTextEnd = kQOXAnnNonArmorEnd;
constexpr uint32_t kMsg = kQOXAnnArmorMsgBegin, kMsgEnd = kQOXAnnArmorMsgEnd;

class ArmorParseTest : public PipelineTest {
 protected:
  // parser -> reader (whose commits decode literals and pass key blocks
  // whole); the reader outlives the chain.
  QOXError Parse(const Bytes& input, MessageReader& reader, size_t piece = 0, QOXEnv* env = nullptr) {
    QOXPipeline* head = &reader.module;
    QOXError err = kQOXErrNoErr;
    EXPECT_NE(qoxParseAscCreate(context_, &head, env ? env : qoxContextGetEnvironment(context_), nullptr, nullptr,
                                nullptr, &err),
              nullptr);
    err = Feed(head, input, piece);
    qoxPipelineTeardown(head);
    EXPECT_TRUE(reader.tornDown);
    return err;
  }
};

TEST_F(ArmorParseTest, DearmorLine) {
  struct Case {
    const char* text;
    const char* bytes;  // null: -1
  } cases[] = {
      {"aGVsbG8h", "hello!"},     {"aGk=", "hi"},         {"aA==", "h"},
      {"aA=3D=3D", "h"},          {"aGk=3D", "hi"},       {"aGVsbG8haA==", "hello!h"},
      {"aGVsbG8haA=3D=3D", "hello!h"},
      {"aA=", nullptr},           {"aA", nullptr},        {"a===", nullptr},
      {"aA=3D", nullptr},         {"aGk=3D=3D", nullptr}, {"aG-k", nullptr},
      {"aA==aGk=", nullptr},      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint8_t out[16];
    int64_t n = qoxDearmorLine(reinterpret_cast<const uint8_t*>(c.text), std::strlen(c.text), out, sizeof out);
    if (c.bytes == nullptr) {
      EXPECT_EQ(n, -1);
    } else {
      ASSERT_EQ(n, static_cast<int64_t>(std::strlen(c.bytes)));
      EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), c.bytes);
    }
  }
  uint8_t small[2];
  EXPECT_EQ(qoxDearmorLine(reinterpret_cast<const uint8_t*>("aGVs"), 4, small, sizeof small), -1);
}

struct EdgeCase {
  const char* name;
  std::string input;
  std::string data;  // what reaches the reader
  std::vector<uint32_t> types;
  QOXError error = kQOXErrNoErr;
};

std::vector<EdgeCase> EdgeCases() {
  const Bytes one = Literal("first message\n");
  const Bytes two = Literal("second message\n");
  const std::string a = Armor(one);
  std::string quoted;
  for (size_t at = 0, nl; (nl = a.find('\n', at)) != std::string::npos; at = nl + 1) {
    quoted += "> " + a.substr(at, nl + 1 - at);
  }
  std::string body = B64(one);
  // Parts of one message, by MessageID, out of order.
  const Bytes whole = Literal("a message in two parts, the second of which comes first\n");
  const Bytes p1(whole.begin(), whole.begin() + 20), p2(whole.begin() + 20, whole.end());
  auto part = [](const Bytes& b, const char* n) {
    return Armor(b, std::string("MESSAGE, PART ") + n, "MessageID: abc123\n");
  };
  std::string longLine = a;
  longLine.replace(longLine.find(body.substr(0, 10)), 0, std::string(81 - body.size(), 'A'));
  std::string crcBad = a;
  crcBad[crcBad.find("\n=") + 2] ^= 1;
  std::string crcUnreadable = a;
  crcUnreadable.insert(crcUnreadable.find("\n=") + 2, "!");
  std::string lastLineSum = a;  // the checksum at the end of the last data line
  lastLineSum.erase(lastLineSum.find("\n="), 1);
  std::string padded = a;  // "==" in its quoted-printable form
  size_t eq = padded.find("==\n");
  if (eq != std::string::npos) padded.replace(eq, 2, "=3D=3D");
  std::string noSum = a;
  noSum.erase(noSum.find("\n=") + 1, Crc(one).size() + 1);
  std::string emptyLines = Armor(one, "MESSAGE", "", 16);
  emptyLines.insert(emptyLines.find(body.substr(0, 16)) + 17, "\n \n");
  emptyLines.insert(emptyLines.find("-----END"), "\n\n");

  return {
      {"text around blocks", "before\n" + a + "between\n" + Armor(two) + "after",
       "before\nfirst message\nbetween\nsecond message\nafter",
       {kText, kTextEnd, kMsg, kMsgEnd, kText, kTextEnd, kMsg, kMsgEnd, kText, kTextEnd}},
      {"CR LF lines", "hi\r\n" + Armor(one, "MESSAGE", "Version: 1\r\n", 64, "\r\n"), "hi\r\nfirst message\n",
       {kText, kTextEnd, kMsg, kMsgEnd}},
      {"quoted block", "> said:\n" + quoted, "> said:\nfirst message\n", {kText, kTextEnd, kMsg, kMsgEnd}},
      {"a quoted signature header is text", "> -----BEGIN PGP SIGNATURE-----\n",
       "> -----BEGIN PGP SIGNATURE-----\n", {kText, kTextEnd}},
      {"letters before the prefix", "x-----BEGIN PGP MESSAGE-----\n", "x-----BEGIN PGP MESSAGE-----\n",
       {kText, kTextEnd}},
      {"a markup tag before the prefix", "<p>" + a, "first message\n", {kMsg, kMsgEnd}},
      {"headers: bad one reported, odd ones kept",
       Armor(one, "MESSAGE", "Comment hello there\nComment: !@ <x@y>\nX-Y-1: v\n"), "first message\n",
       {kQOXAnnArmorHeader, kMsg, kMsgEnd}},
      {"empty lines in the body and before the end line", emptyLines, "first message\n", {kMsg, kMsgEnd}},
      {"checksum on the last data line", lastLineSum, "first message\n", {kMsg, kMsgEnd}},
      {"quoted-printable padding", padded, "first message\n", {kMsg, kMsgEnd}},
      {"no checksum line", noSum, "first message\n", {kMsg, kMsgEnd}},
      // A fault closes the block: what follows it is text.
      {"changed checksum", crcBad, "first message\n-----END PGP MESSAGE-----\n",
       {kMsg, kQOXAnnArmorCRCBad, kMsgEnd, kText, kTextEnd}},
      {"unreadable checksum", crcUnreadable, "first message\n-----END PGP MESSAGE-----\n",
       {kMsg, kQOXAnnArmorNoCRC, kMsgEnd, kText, kTextEnd}},
      {"81-character body line", longLine, Crc(one) + "\n-----END PGP MESSAGE-----\n",
       {kMsg, kQOXAnnArmorLongLine, kMsgEnd, kText, kTextEnd}},
      {"a body line that does not decode", "-----BEGIN PGP MESSAGE-----\n\nrA4=\nrA!4\n", "",
       {kMsg, kQOXAnnArmorBadLine, kMsgEnd}},
      {"part 2/2 before part 1/2", part(p2, "2/2") + part(p1, "1/2"),
       "a message in two parts, the second of which comes first\n", {kMsg, kQOXAnnArmorPart, kMsgEnd}},
      {"text held while a multipart message is open",
       part(p1, "1/2") + "meanwhile\n" + part(p2, "2/2"),
       "a message in two parts, the second of which comes first\nmeanwhile\n",
       {kMsg, kQOXAnnArmorPart, kMsgEnd, kText, kTextEnd}},
      {"end of input inside a multipart message", part(p1, "1/2"), "", {}, kQOXErrAsciiArmorIncomplete},
      {"part number 0 is text", "-----BEGIN PGP MESSAGE, PART 0/2-----\n",
       "-----BEGIN PGP MESSAGE, PART 0/2-----\n", {kText, kTextEnd}},
      {"multipart/signed boundary without ';' at the line end is not MIME",
       "Content-Type: multipart/signed; protocol=\"application/pgp-signature\"; boundary=abc\nbody\n",
       "Content-Type: multipart/signed; protocol=\"application/pgp-signature\"; boundary=abc\nbody\n",
       {kText, kTextEnd}},
      {"binary input", std::string(one.begin(), one.end()), "first message\n",
       {kQOXAnnBinaryMsgBegin, kMsg, kMsgEnd, kQOXAnnBinaryMsgEnd}},
      {"text only, no line end", "just text", "just text", {kText, kTextEnd}},
  };
}

TEST_F(ArmorParseTest, EdgeCases) {
  for (const auto& c : EdgeCases()) {
    for (size_t piece : {0, 1, 7}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      MessageReader r(context_);
      EXPECT_EQ(Parse(ToBytes(c.input), r, piece), c.error);
      if (c.error != kQOXErrNoErr) continue;
      EXPECT_EQ(ToString(r.data), c.data);
      EXPECT_EQ(ArmorTypes(r), c.types);
      EXPECT_EQ(r.ends, 1);
    }
  }
}

std::string Lines(const std::string& s, const std::string& prefix, const std::string& eol) {
  std::string out;
  for (size_t at = 0, nl; (nl = s.find('\n', at)) != std::string::npos; at = nl + 1) {
    out += prefix + s.substr(at, nl - at) + eol;
  }
  return out;
}

// gpg's armored key and message: the decoded bytes equal gpg's binary
// output, however the block is wrapped (CR LF, "> " quoting, two blocks
// with text between) and cut into writes.
TEST_F(ArmorParseTest, GpgArmor) {
  const std::string keys = ToString(Data("armor/alice.asc"));
  const Bytes binary = Data("armor/alice.gpg");
  struct Case {
    const char* name;
    std::string input;
    Bytes data;
    size_t blocks;
  } cases[] = {
      {"as gpg writes it", keys, binary, 1},
      {"CR LF", Lines(keys, "", "\r\n"), binary, 1},
      {"quoted", Lines(keys, "> ", "\n"), binary, 1},
      {"two blocks, text between", keys + "some text\n" + keys, Cat({binary, ToBytes("some text\n"), binary}), 2},
      {"a stored message", ToString(Data("armor/store.asc")), Data("plain.txt"), 1},
  };
  for (const auto& c : cases) {
    for (size_t piece : {0, 1, 7}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      MessageReader r(context_);
      ASSERT_EQ(Parse(ToBytes(c.input), r, piece), kQOXErrNoErr);
      EXPECT_EQ(r.data, c.data);
      auto types = ArmorTypes(r);
      EXPECT_EQ(std::count(types.begin(), types.end(), kMsg), static_cast<long>(c.blocks));
      EXPECT_EQ(std::count(types.begin(), types.end(), kMsgEnd), static_cast<long>(c.blocks));
      for (uint32_t t : types) EXPECT_LT(t, kQOXAnnArmorBadLine) << std::hex << t;
    }
  }
}

// With pass-through keys on, every line of a key block is also sent whole.
TEST_F(ArmorParseTest, PassThroughKeyLines) {
  const std::string keys = ToString(Data("armor/alice.asc"));
  MessageReader r(context_);
  QOXPipeline* head = &r.module;
  ASSERT_NE(qoxParseAscCreate(context_, &head, qoxContextGetEnvironment(context_), nullptr, nullptr, nullptr,
                              nullptr),
            nullptr);
  uint8_t on = 1;
  ASSERT_EQ(head->annotate(head, nullptr, kQOXAnnPassthroughKeys, &on, 1), kQOXErrNoErr);
  ASSERT_EQ(Feed(head, ToBytes(keys), 7), kQOXErrNoErr);
  qoxPipelineTeardown(head);
  std::string lines;
  for (const auto& e : r.events) {
    if (!e.data && e.type == kQOXAnnPassthroughText) lines += ToString(e.bytes);
  }
  EXPECT_EQ(lines, keys);
  EXPECT_EQ(r.data, Data("armor/alice.gpg"));
}

// Status queries while part 1 of 2 is held.
TEST_F(ArmorParseTest, StatusQueries) {
  const Bytes lit = Literal("two parts");
  const std::string part1 = Armor(Bytes(lit.begin(), lit.begin() + 5), "MESSAGE, PART 1/2", "MessageID: m1\n");
  MessageReader r(context_);
  QOXPipeline* head = &r.module;
  ASSERT_NE(qoxParseAscCreate(context_, &head, qoxContextGetEnvironment(context_), nullptr, nullptr, nullptr,
                              nullptr),
            nullptr);
  ASSERT_EQ(qoxPipelineWriteAll(head, ToBytes(part1).data(), part1.size(), nullptr), kQOXErrNoErr);
  auto ask = [&](uint32_t type, std::vector<uint32_t> args) {
    return head->annotate(head, nullptr, type, args.data(), args.size() * 4);
  };
  EXPECT_EQ(ask(kQOXAnnStatusFlag, {}), 1);
  EXPECT_EQ(ask(kQOXAnnStatusMsgCount, {}), 1);
  EXPECT_EQ(ask(kQOXAnnStatusFirstMsg, {}), 1);
  EXPECT_EQ(ask(kQOXAnnStatusMsgParts, {1}), 2);
  EXPECT_EQ(ask(kQOXAnnStatusMsgParts, {9}), 0);
  EXPECT_EQ(ask(kQOXAnnStatusMsgInfo, {1, 1}), 1);
  EXPECT_EQ(ask(kQOXAnnStatusMsgInfo, {1, 2}), 2);
  EXPECT_EQ(ask(kQOXAnnStatusMsgInfo, {2, 1}), 0);
  for (uint32_t t : r.Types()) EXPECT_TRUE(t < kQOXAnnStatusFlag || t > kQOXAnnStatusMsgInfo);
  qoxPipelineTeardown(head);
}

// A verification reader double: two recording heads and what it was given.
struct VerifyDouble {
  Recorder text, sig;
  Bytes hashes;
  bool textFlag = false;
  int made = 0;
  static VerifyDouble* current;
  static void* Create(QOXContext*, QOXPipeline** textHead, QOXPipeline** sigHead, QOXEnv*, const QOXFifoDesc*,
                      const uint8_t* hashes, size_t count, bool text, const QOXDecodeCallbacks*, void*, QOXError*) {
    VerifyDouble* d = current;
    *textHead = &d->text.module;
    *sigHead = &d->sig.module;
    d->hashes.assign(hashes, hashes + count);
    d->textFlag = text;
    ++d->made;
    return d;
  }
  // The body of the one signature the signature head was told of.
  Bytes Signature() const {
    for (const auto& n : sig.notes) {
      if (n.type == kQOXAnnSignature) return n.data;
    }
    return {};
  }
};
VerifyDouble* VerifyDouble::current = nullptr;

class ClearsignedTest : public ArmorParseTest {
 protected:
  void SetUp() override {
    ArmorParseTest::SetUp();
    VerifyDouble::current = &reader_;
    services_->qoxVerifyReaderCreate = VerifyDouble::Create;
  }
  VerifyDouble reader_;
  ostrak_test::ScopedServices<QOXVerifyReaderServices> services_{qoxVerifyReaderServices,
                                                                 qoxRegisterVerifyReaderServices};
};

// gpg's clear-signed texts (dash-escaped lines, "From " lines, trailing
// blanks and tabs, LF and CR LF): the text goes on without its escapes and
// last line end, the reader gets the signed text as RFC 2440 section 7
// defines it (clear.expect, made by the fixture script), the hash the
// "Hash:" header names, and the decoded signature.
TEST_F(ClearsignedTest, GpgClearsigned) {
  for (const char* f : {"clear", "clear-crlf"}) {
    for (size_t piece : {0, 1, 7}) {
      SCOPED_TRACE(std::string(f) + ", pieces of " + std::to_string(piece));
      reader_.text.bytes.clear();
      reader_.sig.notes.clear();
      MessageReader r(context_);
      ASSERT_EQ(Parse(Data(std::string("armor/") + f + ".asc"), r, piece), kQOXErrNoErr);
      Bytes text = Data(std::string("armor/") + f + ".txt");
      text.resize(text.size() - (std::string(f) == "clear" ? 1 : 2));
      EXPECT_EQ(ToString(r.data), ToString(text));
      EXPECT_EQ(reader_.text.Text(), ToString(Data(std::string("armor/") + f + ".expect")));
      EXPECT_TRUE(reader_.text.Ended() && reader_.sig.Ended());
      EXPECT_EQ(reader_.hashes, Bytes{2});
      EXPECT_TRUE(reader_.textFlag);
      SigFields sig = ReadSig(reader_.Signature());
      EXPECT_EQ(sig.type, 0x01);
      EXPECT_EQ(sig.hash, 2);
      EXPECT_EQ(ArmorTypes(r),
                (std::vector<uint32_t>{kQOXAnnClearsigBegin, kQOXAnnClearsigEnd, kMsg, kMsgEnd}));
    }
  }
}

// The RFC 3156 form, made with Python's email around gpg --detach-sign:
// the first part, headers included, with CR LF line ends, is the signed
// text.
TEST_F(ClearsignedTest, MultipartSigned) {
  for (size_t piece : {0, 1, 7}) {
    SCOPED_TRACE(piece);
    reader_.text.bytes.clear();
    reader_.sig.notes.clear();
    MessageReader r(context_);
    ASSERT_EQ(Parse(Data("armor/mime.eml"), r, piece), kQOXErrNoErr);
    EXPECT_EQ(reader_.text.Text(), ToString(Data("armor/mime.expect")));
    EXPECT_EQ(ReadSig(reader_.Signature()).type, 0x00);
    EXPECT_TRUE(reader_.text.Ended() && reader_.sig.Ended());
  }
}

// Boundaries as long as a line allows: quoted (243 characters fill the
// 255-byte line), and bare (254 characters, with "--" behind them at the
// closing boundary: 256 bytes and the terminator); with the bare-boundary setting the header line that confirms
// the part is signed text.
TEST_F(ClearsignedTest, LongBoundaries) {
  const std::string clear = ToString(Data("armor/clear.asc"));
  const std::string sig = clear.substr(clear.find("-----BEGIN PGP SIGNATURE"));
  const std::string quoted(243, 'q'), bare(252, 'b');
  QOXEnv* env = nullptr;
  ASSERT_EQ(qoxenvCopy(qoxContextGetEnvironment(context_), &env), kQOXErrNoErr);
  ASSERT_EQ(qoxenvSetInt(env, kQOXEnvArmorParser, 1, 0), kQOXErrNoErr);
  struct Case {
    std::string input;
    QOXEnv* env;
    std::string text;
  } cases[] = {
      {"Content-Type: multipart/signed;\n protocol=\"application/pgp-signature\";\n boundary=\"" + quoted +
           "\"\n\npreamble\n--" + quoted + "\nContent-Type: text/plain\n\nsigned\n--" + quoted +
           "\nContent-Type: application/pgp-signature\n\n" + sig + "\n--" + quoted + "--\n",
       nullptr, "Content-Type: text/plain\r\n\r\nsigned"},
      {"--" + bare + "\nContent-Type: text/plain\n\nsigned  \n--" + bare + "\n\n" + sig + "--" + bare + "--\n", env,
       "Content-Type: text/plain\r\n\r\nsigned"},
  };
  for (const auto& c : cases) {
    reader_.text.bytes.clear();
    MessageReader r(context_);
    ASSERT_EQ(Parse(ToBytes(c.input), r, 7, c.env), kQOXErrNoErr);
    EXPECT_EQ(reader_.text.Text(), c.text);
    EXPECT_EQ(ReadSig(reader_.Signature()).type, 0x01);
  }
  qoxenvDestroy(env);
}

// The "Hash:" header: a list of names gives their algorithms; a second
// header line makes the message ordinary text.
TEST_F(ClearsignedTest, HashHeader) {
  const std::string clear = ToString(Data("armor/clear.asc"));
  const std::string sig = clear.substr(clear.find("-----BEGIN PGP SIGNATURE"));
  const std::string begin = "-----BEGIN PGP SIGNED MESSAGE-----\n";
  {
    MessageReader r(context_);
    ASSERT_EQ(Parse(ToBytes(begin + "Hash: SHA1, MD5, SHA256\n\ntext\n" + sig), r, 7), kQOXErrNoErr);
    EXPECT_EQ(reader_.hashes, (Bytes{2, 1}));
    EXPECT_EQ(reader_.text.Text(), "text");
  }
  MessageReader r(context_);
  reader_.made = 0;
  const std::string two = begin + "Hash: SHA1\nComment: x\n\ntext\n";
  ASSERT_EQ(Parse(ToBytes(two), r, 7), kQOXErrNoErr);
  EXPECT_EQ(reader_.made, 0);
  EXPECT_EQ(ArmorTypes(r), (std::vector<uint32_t>{kText, kTextEnd}));
  EXPECT_EQ(ToString(r.data), "Comment: x\n\ntext\n");
}

// Through the signature module's verification reader: each gpg-made
// clear-signed text and the RFC 3156 message reach one signature check
// whose digest begins with the two bytes gpg put in the signature (the
// signed text is hashed exactly as gpg hashed it).
TEST_F(ArmorParseTest, VerificationReaderDigests) {
  struct Seen {
    std::vector<std::pair<Bytes, Bytes>> checks;  // signature's two bytes, digest's first two
  };
  QOXDecodeCallbacks callbacks{};
  callbacks.sigVerify = [](void* arg, const QOXPktList* sig, const uint8_t* digest) -> QOXError {
    const uint8_t* body = qoxPktListData(sig);
    static_cast<Seen*>(arg)->checks.push_back(
        {ReadSig(Bytes(body, body + sig->length)).check, Bytes(digest, digest + 2)});
    return 0;
  };
  for (const char* f : {"clear.asc", "clear-crlf.asc", "mime.eml"}) {
    for (size_t piece : {0, 7}) {
      SCOPED_TRACE(std::string(f) + ", pieces of " + std::to_string(piece));
      Seen seen;
      MessageReader r(context_);
      QOXPipeline* head = &r.module;
      ASSERT_NE(qoxParseAscCreate(context_, &head, qoxContextGetEnvironment(context_), nullptr, &callbacks, &seen,
                                  nullptr),
                nullptr);
      EXPECT_EQ(Feed(head, Data(std::string("armor/") + f), piece), kQOXErrNoErr);
      qoxPipelineTeardown(head);
      ASSERT_EQ(seen.checks.size(), 1u);
      EXPECT_EQ(seen.checks[0].first.size(), 2u);
      EXPECT_EQ(seen.checks[0].first, seen.checks[0].second);
    }
  }
}

}  // namespace
}  // namespace pipeline_test
