// The cipher module and the conventional-ESK module, checked against
// outside peers: Python's cryptography decrypts our encrypted packets by
// the RFC 2440 rules (CFB with a zero IV; the resynchronisation of tag 9),
// gpg decrypts whole messages made by a hand-built chain
// (literal -> cipher -> session-key packets), and the decrypting side
// answers the modification-code queries the binary parser asks.
#include <gtest/gtest.h>

#include <cstring>

#include "crypto/cfb.h"
#include "crypto/cipher.h"
#include "crypto/context_random.h"
#include "crypto/hash.h"
#include "foundation/context.h"
#include "foundation/core/string_to_key.h"
#include "foundation/env.h"
#include "pipeline/add_header.h"
#include "pipeline/cipher_module.h"
#include "pipeline/esk.h"
#include "pipeline/generic_modules.h"
#include "tests/common/counting_memory_mgr.h"
#include "tests/pipeline/pipeline_test_support.h"

namespace pipeline_test {
namespace {

std::string Hex(const Bytes& b) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (uint8_t x : b) {
    s += digits[x >> 4];
    s += digits[x & 15];
  }
  return s;
}

// The body of the one packet in `bytes` (new or old format; partial
// chunks joined).
Bytes PacketBody(const Bytes& bytes, uint8_t* tag) {
  size_t at = 0;
  const uint8_t first = bytes.at(at++);
  Bytes body;
  if (first & 0x40) {
    *tag = first & 0x3F;
    for (;;) {
      uint8_t o = bytes.at(at++);
      size_t n = 0;
      bool partial = false;
      if (o < 192) {
        n = o;
      } else if (o < 224) {
        n = ((o - 192) << 8) + bytes.at(at++) + 192;
      } else if (o == 255) {
        n = (size_t{bytes.at(at)} << 24) | (bytes.at(at + 1) << 16) | (bytes.at(at + 2) << 8) | bytes.at(at + 3);
        at += 4;
      } else {
        n = size_t{1} << (o & 0x1F);
        partial = true;
      }
      body.insert(body.end(), bytes.begin() + at, bytes.begin() + at + n);
      at += n;
      if (!partial) break;
    }
  } else {
    *tag = (first >> 2) & 0x0F;
    size_t octets = (first & 3) == 0 ? 1 : (first & 3) == 1 ? 2 : 4;
    size_t n = 0;
    for (size_t i = 0; i < octets; ++i) n = (n << 8) | bytes.at(at++);
    body.assign(bytes.begin() + at, bytes.begin() + at + n);
    at += n;
  }
  EXPECT_EQ(at, bytes.size());
  return body;
}

class CipherModuleTest : public PipelineTest {
 protected:
  QOXCFBContext* Keyed(uint8_t algorithm, const Bytes& key) {
    QOXCFBContext* cfb = qoxCFBCreate(QOXPeekContextMemoryMgr(context_), qoxCipherGetVTBL(algorithm));
    EXPECT_NE(cfb, nullptr);
    EXPECT_EQ(QOXInitCFB(cfb, key.data(), nullptr), 0);
    return cfb;
  }
  // data -> cipher module (and its add-header) -> recorder.
  Bytes Encrypt(uint8_t algorithm, const Bytes& key, const Bytes& prefix, const Bytes& data, bool mdc,
                uint32_t version = 4, size_t piece = 0) {
    Recorder r;
    QOXPipeline* head = nullptr;
    QOXPipeline** tail = qoxCipherModEncryptCreate(context_, &head, version, &qoxByteFifoDesc,
                                                   Keyed(algorithm, key), prefix.data(),
                                                   qoxContextGetEnvironment(context_), mdc);
    EXPECT_NE(tail, nullptr);
    if (tail == nullptr) return {};
    *tail = &r.module;
    EXPECT_STREQ(head->name, "Cipher Encryption Module");
    EXPECT_EQ(Feed(head, data, piece), 0);
    qoxPipelineTeardown(head);
    return r.bytes;
  }
  // What Python's cryptography makes of bodies, in one run: CFB with a
  // zero IV over the whole body, or (tag 9) over the B + 2 prefix bytes and
  // then again with the IV resynchronised on the B bytes before, over the
  // rest.
  struct Job {
    const char* cipher;  // the class name in cryptography
    Bytes key, body;
    size_t block;
    bool resync;
  };
  std::vector<Bytes> PythonDecrypt(const std::vector<Job>& jobs) {
    std::string manifest;
    for (size_t i = 0; i < jobs.size(); ++i) {
      WriteFile(Path("body" + std::to_string(i)), jobs[i].body);
      manifest += std::string(jobs[i].cipher) + " " + Hex(jobs[i].key) + " " + std::to_string(jobs[i].block) + " " +
                  (jobs[i].resync ? "1 " : "0 ") + Path("body" + std::to_string(i)) + " " +
                  Path("plain" + std::to_string(i)) + "\n";
    }
    WriteFile(Path("jobs"), ToBytes(manifest));
    const std::string script =
        "import sys, warnings\n"
        "warnings.simplefilter('ignore')\n"
        "from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes\n"
        "for line in open(sys.argv[1]):\n"
        "  name, key, b, resync, src, dst = line.split()\n"
        "  key, b, body = bytes.fromhex(key), int(b), open(src, 'rb').read()\n"
        "  dec = lambda iv, data: Cipher(getattr(algorithms, name)(key), modes.CFB(iv)).decryptor().update(data)\n"
        "  out = dec(bytes(b), body[:b + 2]) + dec(body[2:b + 2], body[b + 2:]) if resync == '1' else dec(bytes(b), body)\n"
        "  open(dst, 'wb').write(out)\n";
    WriteFile(Path("dec.py"), ToBytes(script));
    EXPECT_EQ(Run("/usr/bin/python3 " + Path("dec.py") + " " + Path("jobs")), 0);
    std::vector<Bytes> out;
    for (size_t i = 0; i < jobs.size(); ++i) out.push_back(ReadFile(Path("plain" + std::to_string(i))));
    return out;
  }
};

Bytes Sha1(const Bytes& data) {
  QOXHashContext* h = qoxHashCreate(QOXGetDefaultMemoryMgr(), &HashSHA);
  QOXContinueHash(h, data.data(), data.size());
  const uint8_t* d = qoxHashFinal(h);
  Bytes out(d, d + 20);
  QOXFreeHashContext(h);
  return out;
}

// The prefix and the packet around it, read back by an independent CFB:
// tag 18 starts with version 1 and needs no resynchronisation, and its
// plaintext ends in 0xD3 0x14 and the SHA-1 of everything before the
// digest; tag 9 resynchronises after the B + 2 prefix bytes.
TEST_F(CipherModuleTest, PacketsAsAnotherCfbReadsThem) {
  struct Case {
    uint8_t algorithm;
    const char* python;
    size_t block, keySize;
  } cases[] = {{kQOXCipherAlgorithm_CAST5, "CAST5", 8, 16}, {kQOXCipherAlgorithm_AES256, "AES", 16, 32}};
  std::vector<Job> jobs;
  std::vector<Bytes> expected;
  std::vector<std::string> names;
  for (const auto& c : cases) {
    for (bool mdc : {true, false}) {
      for (size_t size : {size_t{0}, size_t{1}, size_t{5000}}) {
        names.push_back(std::string(c.python) + (mdc ? " mdc " : " ") + std::to_string(size));
        SCOPED_TRACE(names.back());
        const Bytes key = RandomBytes(c.keySize, 1);
        const Bytes prefix = RandomBytes(c.block, 2);
        const Bytes data = RandomBytes(size, 3);
        uint8_t tag = 0;
        const Bytes body = PacketBody(Encrypt(c.algorithm, key, prefix, data, mdc, 4, 333), &tag);
        EXPECT_EQ(tag, mdc ? 18 : 9);
        Bytes expect = prefix;
        expect.insert(expect.end(), prefix.end() - 2, prefix.end());
        expect.insert(expect.end(), data.begin(), data.end());
        if (mdc) {
          ASSERT_EQ(body.at(0), 1);
          expect.insert(expect.end(), {0xD3, 0x14});
          Bytes digest = Sha1(expect);
          expect.insert(expect.end(), digest.begin(), digest.end());
          jobs.push_back({c.python, key, Bytes(body.begin() + 1, body.end()), c.block, false});
        } else {
          EXPECT_EQ(body.size(), c.block + 2 + size);
          jobs.push_back({c.python, key, body, c.block, true});
        }
        expected.push_back(expect);
      }
    }
  }
  const std::vector<Bytes> decrypted = PythonDecrypt(jobs);
  for (size_t i = 0; i < jobs.size(); ++i) EXPECT_EQ(decrypted[i], expected[i]) << names[i];
  // Version 3 gives an old-format header with the exact length (300 data
  // and 10 prefix bytes); tag 18 has no old-format header, so version 3
  // with a modification code makes no module.
  Bytes v3 = Encrypt(kQOXCipherAlgorithm_CAST5, RandomBytes(16, 4), RandomBytes(8, 5), RandomBytes(300, 6), false, 3);
  EXPECT_EQ(Bytes(v3.begin(), v3.begin() + 3), (Bytes{0xA5, 0x01, 0x36}));
  QOXPipeline* head = nullptr;
  const Bytes prefix = RandomBytes(8, 5);
  EXPECT_EQ(qoxCipherModEncryptCreate(context_, &head, 3, &qoxByteFifoDesc,
                                      Keyed(kQOXCipherAlgorithm_CAST5, RandomBytes(16, 4)), prefix.data(),
                                      qoxContextGetEnvironment(context_), true),
            nullptr);
  EXPECT_EQ(head, nullptr);
}

// Decrypting with a modification code: the last 22 bytes never reach the
// tail; the three queries return the code's size, the held-back bytes and
// the hash of prefix, plaintext and the packet's first two bytes.
TEST_F(CipherModuleTest, DecryptionHoldsTheModificationCodeBack) {
  const Bytes key = RandomBytes(16, 7);
  const Bytes prefix = RandomBytes(8, 8);
  const Bytes data = RandomBytes(3000, 9);
  uint8_t tag = 0;
  const Bytes body = PacketBody(Encrypt(kQOXCipherAlgorithm_CAST5, key, prefix, data, true), &tag);
  // What the parser does before making the module: the prefix, decrypted.
  QOXCFBContext* cfb = Keyed(kQOXCipherAlgorithm_CAST5, key);
  Bytes clearPrefix(10);
  qoxCFBDecryptInternal(cfb, body.data() + 1, 10, clearPrefix.data());
  Recorder r;
  r.chunk = 7;
  QOXPipeline* head = nullptr;
  QOXPipeline** tail =
      qoxCipherModDecryptCreate(context_, &head, cfb, qoxContextGetEnvironment(context_), true, clearPrefix.data());
  ASSERT_NE(tail, nullptr);
  *tail = &r.module;
  EXPECT_STREQ(head->name, "Cipher Decryption Module");
  ASSERT_EQ(qoxPipelineWriteAll(head, body.data() + 11, body.size() - 11, nullptr), 0);
  ASSERT_EQ(head->flush(head), 0);
  EXPECT_EQ(r.bytes, data);
  uint32_t size = 0;
  ASSERT_EQ(head->annotate(head, nullptr, kQOXAnnMDCSize, &size, sizeof size), 0);
  EXPECT_EQ(size, 20u);
  Bytes trailer(22), hash(20);
  ASSERT_EQ(head->annotate(head, nullptr, kQOXAnnMDCTrailer, trailer.data(), trailer.size()), 0);
  ASSERT_EQ(head->annotate(head, nullptr, kQOXAnnMDCHash, hash.data(), hash.size()), 0);
  Bytes hashed = clearPrefix;
  hashed.insert(hashed.end(), data.begin(), data.end());
  hashed.insert(hashed.end(), {0xD3, 0x14});
  EXPECT_EQ(hash, Sha1(hashed));
  EXPECT_EQ(Bytes(trailer.begin(), trailer.begin() + 2), (Bytes{0xD3, 0x14}));
  EXPECT_EQ(Bytes(trailer.begin() + 2, trailer.end()), hash);
  EXPECT_TRUE(r.notes.empty());  // the queries stay here
  qoxPipelineTeardown(head);
}

// A tail that stops with an error keeps the rest in the ring: the write
// says how much input it took, and writing the rest later delivers every
// byte once, in order.
TEST_F(CipherModuleTest, TailErrorsLoseNothing) {
  for (bool encrypting : {true, false}) {
    const Bytes key = RandomBytes(16, 10);
    const Bytes data = RandomBytes(5000, 11);
    QOXCFBContext* cfb = Keyed(kQOXCipherAlgorithm_CAST5, key);
    Recorder r;
    r.failAfter = 100;
    QOXPipeline* head = nullptr;
    QOXPipeline** tail = nullptr;
    Bytes prefix = RandomBytes(10, 12);
    if (encrypting) {
      tail = qoxCipherModEncryptCreate(context_, &head, 4, &qoxByteFifoDesc, cfb, prefix.data(),
                                       qoxContextGetEnvironment(context_), false);
    } else {
      tail = qoxCipherModDecryptCreate(context_, &head, cfb, qoxContextGetEnvironment(context_), false, nullptr);
    }
    ASSERT_NE(tail, nullptr);
    *tail = &r.module;
    size_t at = 0;
    int failures = 0;
    while (at < data.size()) {
      QOXError err = 0;
      size_t took = head->write(head, data.data() + at, data.size() - at, &err);
      at += took;
      if (err != 0) {
        EXPECT_EQ(err, kQOXErrWriteFailed);
        EXPECT_LT(at, data.size());
        ++failures;
        r.failAfter = r.failAfter < 3000 ? r.failAfter + 1500 : -1;
      }
    }
    r.failAfter = -1;
    ASSERT_EQ(head->sizeAdvise(head, 0), 0);
    qoxPipelineTeardown(head);
    EXPECT_GE(failures, 2);
    // The same bytes as in one go.
    Bytes once;
    if (encrypting) {
      once = Encrypt(kQOXCipherAlgorithm_CAST5, key, prefix, data, false);
    } else {
      QOXCFBContext* c2 = Keyed(kQOXCipherAlgorithm_CAST5, key);
      once.resize(data.size());
      qoxCFBDecryptInternal(c2, data.data(), data.size(), once.data());
      QOXFreeCFBContext(c2);
    }
    EXPECT_EQ(r.bytes, once) << encrypting;
  }
}

// The environment's progress function sees each run and may cancel.
int32_t gProgressCalls = 0;
int32_t CancelOnThird(size_t) { return ++gProgressCalls >= 3 ? -1 : 0; }

TEST_F(CipherModuleTest, ProgressFunctionMayCancel) {
  QOXEnv* env = qoxContextGetEnvironment(context_);
  ASSERT_EQ(qoxenvSetPointer(env, kQOXEnvCipherModeOption, reinterpret_cast<void*>(&CancelOnThird), 0), 0);
  Recorder r;
  QOXPipeline* head = nullptr;
  *qoxCipherModDecryptCreate(context_, &head, Keyed(kQOXCipherAlgorithm_CAST5, RandomBytes(16, 13)), env, false,
                             nullptr) = &r.module;
  const Bytes data = RandomBytes(5000, 14);
  QOXError err = 0;
  size_t took = head->write(head, data.data(), data.size(), &err);
  EXPECT_EQ(err, kQOXErrUserAbort);
  EXPECT_EQ(took, 2048u);  // two runs of the ring's size
  qoxPipelineTeardown(head);
  qoxenvSetPointer(env, kQOXEnvCipherModeOption, nullptr, 0);
}

// --- Whole messages for gpg ---

class ConvMessageTest : public CipherModuleTest {
 protected:
  // literal -> cipher -> session-key packets -> recorder, version 4.
  Bytes Message(uint8_t algorithm, const Bytes& sessionKey, const Bytes& data, bool mdc,
                const std::vector<std::string>& passphrases, bool encryptSessionKey) {
    QOXStringToKey* s2k = qoxS2Kdefault(context_, qoxContextGetX9_17RandomContext(context_));
    EXPECT_NE(s2k, nullptr);
    std::vector<QOXConvKey> keys(passphrases.size());
    for (size_t i = 0; i < passphrases.size(); ++i) {
      keys[i] = {i + 1 < keys.size() ? &keys[i + 1] : nullptr, nullptr, passphrases[i].data(), passphrases[i].size()};
    }
    Bytes keyBytes(sessionKey.begin() + 1, sessionKey.end());
    if (!encryptSessionKey) {
      // The session key is what the (one) passphrase gives.
      keyBytes.resize(qoxCipherGetVTBL(algorithm)->keySize);
      EXPECT_EQ(qoxS2Kconvert(s2k, passphrases[0].data(), passphrases[0].size(), keyBytes.data(), keyBytes.size()),
                0);
    }
    Recorder r;
    QOXPipeline* head = nullptr;
    QOXPipeline** slot = qoxLiteralCreate(context_, &head, 4, &qoxByteFifoDesc, 'b', "data.bin", 8, 0x60000000);
    Bytes prefix = RandomBytes(qoxCipherGetVTBL(algorithm)->blockSize, 20);
    slot = qoxCipherModEncryptCreate(context_, slot, 4, &qoxByteFifoDesc, Keyed(algorithm, keyBytes), prefix.data(),
                                     qoxContextGetEnvironment(context_), mdc);
    EXPECT_NE(slot, nullptr);
    slot = qoxConvModCreate(context_, slot, 4, &qoxByteFifoDesc, s2k, keys.data(), algorithm,
                            encryptSessionKey ? sessionKey.data() : nullptr);
    EXPECT_NE(slot, nullptr);
    *slot = &r.module;
    EXPECT_EQ(Feed(head, data, 1000), 0);
    qoxPipelineTeardown(head);
    qoxS2Kdestroy(s2k);
    return r.bytes;
  }
  // gpg's plaintext of a message and its exit status.
  int GpgDecrypt(const Bytes& message, const std::string& passphrase, const std::string& extra, Bytes* out) {
    WriteFile(Path("msg.gpg"), message);
    std::remove(Path("msg.out").c_str());
    int rc = Run(Gpg("--pinentry-mode loopback --passphrase '" + passphrase + "' " + extra + " -o " +
                     Path("msg.out") + " -d " + Path("msg.gpg") + " 2>" + Path("gpg.err")));
    *out = ReadFile(Path("msg.out"));
    return rc;
  }
  std::string ListPackets(const Bytes& message, const std::string& passphrase) {
    WriteFile(Path("msg.gpg"), message);
    Run(Gpg("--pinentry-mode loopback --passphrase '" + passphrase + "' --list-packets " + Path("msg.gpg") + " >" +
            Path("list.txt") + " 2>/dev/null"));
    return ToString(ReadFile(Path("list.txt")));
  }
};

// Tag 18 decrypts with plain `gpg -d`; tag 9 only with --ignore-mdc-error
// (gpg 2.2 otherwise refuses: "decryption forced to fail!").
TEST_F(ConvMessageTest, GpgDecryptsOurMessages) {
  MakeGpgHome();
  const Bytes data = RandomBytes(10000, 21);
  for (uint8_t algorithm : {kQOXCipherAlgorithm_CAST5, kQOXCipherAlgorithm_AES128, kQOXCipherAlgorithm_3DES}) {
    SCOPED_TRACE(int(algorithm));
    Bytes session{algorithm};
    Bytes k = RandomBytes(qoxCipherGetVTBL(algorithm)->keySize, 22);
    session.insert(session.end(), k.begin(), k.end());
    Bytes out;
    EXPECT_EQ(GpgDecrypt(Message(algorithm, session, data, true, {"secret"}, false), "secret", "", &out), 0);
    EXPECT_EQ(out, data);
    const Bytes tag9 = Message(algorithm, session, data, false, {"secret"}, false);
    EXPECT_NE(GpgDecrypt(tag9, "secret", "", &out), 0);
    EXPECT_NE(ToString(ReadFile(Path("gpg.err"))).find("decryption forced to fail"), std::string::npos);
    EXPECT_EQ(GpgDecrypt(tag9, "secret", "--ignore-mdc-error", &out), 0);
    EXPECT_EQ(out, data);
  }
}

// Session-key packets: without an encrypted session key (the passphrase's
// key is the session key) and with one, for each of two passphrases; gpg
// lists their fields and decrypts with either passphrase.
TEST_F(ConvMessageTest, SessionKeyPacketsForGpg) {
  MakeGpgHome();
  const Bytes data = ToBytes("session keys\n");
  Bytes session{kQOXCipherAlgorithm_AES256};
  Bytes k = RandomBytes(32, 23);
  session.insert(session.end(), k.begin(), k.end());

  Bytes plain = Message(kQOXCipherAlgorithm_CAST5, session, data, true, {"one"}, false);
  EXPECT_EQ(plain.at(0), 0xC3);
  EXPECT_EQ(plain.at(1), 13);  // version, cipher, 11 bytes of iterated-salted string-to-key
  std::string list = ListPackets(plain, "one");
  EXPECT_NE(list.find(":symkey enc packet: version 4, cipher 3, aead 0,s2k 3, hash 2"), std::string::npos) << list;
  EXPECT_NE(list.find("count 65536"), std::string::npos) << list;
  Bytes out;
  EXPECT_EQ(GpgDecrypt(plain, "one", "", &out), 0);
  EXPECT_EQ(out, data);

  Bytes wrapped = Message(kQOXCipherAlgorithm_AES256, session, data, true, {"one", "two"}, true);
  list = ListPackets(wrapped, "one");
  size_t first = list.find(":symkey enc packet: version 4, cipher 9, aead 0,s2k 3, hash 2");
  ASSERT_NE(first, std::string::npos) << list;
  EXPECT_NE(list.find(":symkey enc packet: version 4, cipher 9", first + 1), std::string::npos) << list;
  EXPECT_NE(list.find("seskey 256 bits"), std::string::npos) << list;
  // gpg in batch mode tries its passphrase on the first session-key packet
  // only: the second is shown to gpg alone.
  const size_t firstPacket = 2 + wrapped.at(1);
  const Bytes secondOnly(wrapped.begin() + static_cast<long>(firstPacket), wrapped.end());
  for (const auto& [pass, message] : {std::pair{"one", wrapped}, std::pair{"two", secondOnly}}) {
    EXPECT_EQ(GpgDecrypt(message, pass, "--show-session-key", &out), 0) << pass;
    EXPECT_EQ(out, data);
    EXPECT_NE(ToString(ReadFile(Path("gpg.err"))).find("session key: '9:" + Hex(k)), std::string::npos);
  }
  EXPECT_NE(GpgDecrypt(wrapped, "three", "", &out), 0);
}

// Version 3 writes no session-key packet; bad arguments make no module.
TEST_F(ConvMessageTest, ConventionalModuleEdges) {
  Recorder r;
  QOXPipeline* head = &r.module;
  QOXConvKey key{nullptr, nullptr, "x", 1};
  QOXStringToKey* s2k = qoxS2KdefaultV3(context_);
  QOXPipeline** tail = qoxConvModCreate(context_, &head, 3, &qoxByteFifoDesc, s2k, &key, 3, nullptr);
  ASSERT_NE(tail, nullptr);
  EXPECT_EQ(*tail, &r.module);
  ASSERT_EQ(Feed(head, ToBytes("abc")), 0);
  EXPECT_EQ(r.Text(), "abc");
  qoxPipelineTeardown(head);
  // An unknown message cipher, or session-key cipher: nothing made, the
  // slot keeps what it held.
  Recorder r2;
  head = &r2.module;
  EXPECT_EQ(qoxConvModCreate(context_, &head, 4, &qoxByteFifoDesc, s2k, &key, 77, nullptr), nullptr);
  const uint8_t badSession[17] = {77};
  EXPECT_EQ(qoxConvModCreate(context_, &head, 4, &qoxByteFifoDesc, s2k, &key, 3, badSession), nullptr);
  EXPECT_EQ(head, &r2.module);
  EXPECT_FALSE(r2.tornDown);
  qoxS2Kdestroy(s2k);
}

// Secrets leave memory wiped: the ring and the prefix of the cipher module,
// derived keys and session-key buffers of the session-key module, each
// block of the message's chain.
TEST(CipherWipeTest, EveryBlockIsWipedWhenFreed) {
  ASSERT_EQ(QOXsdkInit(kQOXsdkInitNoBackEnd), 0);
  ostrak_test::CountingMemoryMgr counting;
  QOXContext* context = nullptr;
  QOXNewContextStruct rec{kQOXAPIVersion, counting.Make(), 0};
  ASSERT_EQ(QOXNewContextCustom(&rec, &context), 0);
  QOXMemoryMgr* mgr = QOXPeekContextMemoryMgr(context);
  counting.ResetReleases();
  {
    const Bytes key = RandomBytes(16, 30);
    QOXCFBContext* cfb = qoxCFBCreate(mgr, qoxCipherGetVTBL(kQOXCipherAlgorithm_CAST5));
    ASSERT_EQ(QOXInitCFB(cfb, key.data(), nullptr), 0);
    QOXStringToKey* s2k = qoxS2Kdefault(context, qoxContextGetX9_17RandomContext(context));
    ASSERT_NE(s2k, nullptr);
    QOXConvKey pass{nullptr, nullptr, "pw", 2};
    Bytes session{kQOXCipherAlgorithm_CAST5};
    session.insert(session.end(), key.begin(), key.end());
    Recorder r;
    QOXPipeline* head = nullptr;
    QOXPipeline** slot = qoxLiteralCreate(context, &head, 4, &qoxByteFifoDesc, 'b', "", 0, 0);
    const Bytes prefix = RandomBytes(8, 31);
    slot = qoxCipherModEncryptCreate(context, slot, 4, &qoxByteFifoDesc, cfb, prefix.data(),
                                     qoxContextGetEnvironment(context), true);
    ASSERT_NE(slot, nullptr);
    slot = qoxConvModCreate(context, slot, 4, &qoxByteFifoDesc, s2k, &pass, kQOXCipherAlgorithm_CAST5,
                            session.data());
    ASSERT_NE(slot, nullptr);
    *slot = &r.module;
    ASSERT_EQ(Feed(head, RandomBytes(3000, 32), 100), 0);
    qoxPipelineTeardown(head);
    qoxS2Kdestroy(s2k);
    // Decrypting: the session-key packet gives the key back.
    QOXPktList* list = nullptr;
    uint8_t tag = 0;
    Bytes body;
    {
      size_t n = r.bytes.at(1);
      body.assign(r.bytes.begin() + 2, r.bytes.begin() + 2 + n);
      tag = r.bytes[0] & 0x3F;
    }
    ASSERT_EQ(tag, 3);
    ASSERT_EQ(qoxEskAdd(context, &list, kQOXAnnSKCipherESK, body.data(), body.size()), 0);
    Bytes out(qoxEskMaxKeySize(list));
    ASSERT_EQ(qoxEskConvDecrypt(list, qoxContextGetEnvironment(context), "pw", 2, out.data(), out.size()), 17);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 17), session);
    qoxEskFreeList(list);
  }
  EXPECT_GT(counting.freed() + counting.secureFreed(), 10);
  EXPECT_EQ(counting.dirtyFreed(), 0);
  EXPECT_EQ(counting.dirtySecureFreed(), 0);
  QOXFreeContext(context);
  QOXsdkCleanup();
}

}  // namespace
}  // namespace pipeline_test
