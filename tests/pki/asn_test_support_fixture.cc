// Helpers of the codec tests (asn_test_support.h).
#include "tests/pki/asn_test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "foundation/byte_cursor.h"

namespace pkitest {

Bytes Hex(std::string_view text) {
  Bytes out;
  int nibble = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else if (c == ' ' || c == '\n') continue;
    else throw std::invalid_argument("bad hex fixture");
    if (nibble < 0) {
      nibble = v;
    } else {
      out.push_back(static_cast<uint8_t>(nibble << 4 | v));
      nibble = -1;
    }
  }
  if (nibble >= 0) throw std::invalid_argument("odd hex fixture");
  return out;
}

std::string ToHex(const Bytes& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) s += ' ';
    s += digits[bytes[i] >> 4];
    s += digits[bytes[i] & 15];
  }
  return s;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Header(uint8_t tag, uint32_t length) {
  Bytes h{tag};
  if (length < 0x80) {
    h.push_back(static_cast<uint8_t>(length));
  } else {
    int n = length <= 0xFF ? 1 : length <= 0xFFFF ? 2 : length <= 0xFFFFFF ? 3 : 4;
    h.push_back(static_cast<uint8_t>(0x80 | n));
    for (int i = n - 1; i >= 0; --i) h.push_back(static_cast<uint8_t>(length >> (8 * i)));
  }
  return h;
}

Bytes Tlv(uint8_t tag, const Bytes& content) {
  return Concat({Header(tag, static_cast<uint32_t>(content.size())), content});
}

namespace {

void* CountingAllocate(PKIMemoryMgr* m, size_t size) {
  return QOXNewData(reinterpret_cast<QOXMemoryMgr*>(m->customValue), size, 0);
}

int32_t CountingReallocate(PKIMemoryMgr* m, void** block, size_t size) {
  return QOXReallocData(reinterpret_cast<QOXMemoryMgr*>(m->customValue), block, size, 0) == kQOXErrNoErr
             ? kPKIErrNone
             : kPKIErrMemory;
}

int32_t CountingDeallocate(PKIMemoryMgr*, void* block) {
  if (block != nullptr) QOXFreeData(block);
  return kPKIErrNone;
}

}  // namespace

CountingContext::CountingContext() {
  qox_ = counting_.Make();
  if (qox_ == nullptr) throw std::runtime_error("no counting memory manager");
  mgr_ = {reinterpret_cast<uintptr_t>(qox_), CountingAllocate, CountingReallocate, CountingDeallocate};
  ctx_ = {0, &mgr_};
  base_ = counting_.live();
}

CountingContext::~CountingContext() { QOXFreeMemoryMgr(qox_); }

Bytes CorpusFile(const std::string& name) {
  std::ifstream in(std::string(OSTRAK_TEST_DATA) + "/corpus/" + name, std::ios::binary);
  if (!in) throw std::runtime_error("missing corpus file " + name);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string PkcsPath(const std::string& name) { return std::string(OSTRAK_TEST_DATA) + "/pkcs/" + name; }

Bytes PkcsFile(const std::string& name) {
  std::ifstream in(PkcsPath(name), std::ios::binary);
  if (!in) throw std::runtime_error("missing PKCS corpus file " + name);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> CorpusNames() {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(std::string(OSTRAK_TEST_DATA) + "/corpus"))
    if (e.path().extension() == ".der") names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// DER rewritten as BER: constructed elements with indefinite lengths (or
// definite ones, re-counted), OCTET STRINGs and UTCTimes split into
// constructed segments, BIT STRINGs into two segments. ANY values keep
// what they hold, so the fixtures this rewrites carry no constructed
// element inside an ANY.
Bytes Berize(ostrak::ByteCursor in, bool indefinite) {
  Bytes out;
  auto wrap = [&](uint8_t tag, const Bytes& inner) {
    Bytes w = indefinite ? Concat({Bytes{tag, 0x80}, inner, Bytes{0, 0}}) : Tlv(tag, inner);
    out.insert(out.end(), w.begin(), w.end());
  };
  while (!in.empty()) {
    uint8_t tag = 0, first = 0;
    uint64_t length = 0;
    EXPECT_TRUE(in.get_u8(&tag) && in.get_u8(&first));
    length = first;
    if ((first & 0x80) && !in.get_be(first & 0x7F, &length)) ADD_FAILURE() << "fixture is not DER";
    ostrak::ByteCursor content;
    if (!in.get_sub(static_cast<size_t>(length), &content)) {
      ADD_FAILURE() << "fixture is not DER";
      return out;
    }
    Bytes bytes(content.data(), content.data() + content.remaining());
    if (tag & kPKIConstructed) {
      wrap(tag, Berize(content, indefinite));
    } else if (tag == kPKITagOctetString || tag == kPKITagUTCTime) {
      Bytes segments;
      for (size_t at = 0; at < bytes.size(); at += 3)
        segments = Concat({segments, Tlv(tag, Bytes(bytes.begin() + at, bytes.begin() + std::min(at + 3, bytes.size())))});
      wrap(tag | kPKIConstructed, segments);
    } else if (tag == kPKITagBitString && bytes.size() >= 3) {
      size_t half = 1 + (bytes.size() - 1) / 2;
      Bytes head = Concat({Bytes{0}, Bytes(bytes.begin() + 1, bytes.begin() + half)});
      Bytes tail = Concat({Bytes{bytes[0]}, Bytes(bytes.begin() + half, bytes.end())});
      wrap(tag | kPKIConstructed, Concat({Tlv(tag, head), Tlv(tag, tail)}));
    } else {
      out = Concat({out, pkitest::Header(tag, static_cast<uint32_t>(length)), bytes});
    }
  }
  return out;
}

}  // namespace

Bytes Berize(const Bytes& der, bool indefinite) { return Berize(ostrak::ByteCursor(der.data(), der.size()), indefinite); }

bool RunCommand(const std::string& cmd, std::string* out) {
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) throw std::runtime_error("popen");
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  return pclose(p) == 0;
}

TempDir::TempDir() {
  char dir[] = "/tmp/ostrak_pki.XXXXXX";
  if (mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp");
  dir_ = dir;
}

TempDir::~TempDir() { std::filesystem::remove_all(dir_); }

void TempDir::Write(const std::string& name, const Bytes& data) const {
  std::ofstream(Path(name), std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes TempDir::Read(const std::string& name) const {
  std::ifstream in(Path(name), std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> Asn1ParseBatch::Check() const {
  std::vector<std::string> refused;
  if (items_.empty()) return refused;
  char dir[] = "/tmp/asn1parse.XXXXXX";
  if (mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp");
  const std::string d(dir);
  // All encodings one behind the other in one file: openssl reads them in
  // turn, and the offsets of its top-level lines must be where each one
  // starts (so no encoding swallowed the next).
  std::string expected;
  {
    std::ofstream all(d + "/all", std::ios::binary);
    size_t offset = 0;
    for (const Item& item : items_) {
      all.write(reinterpret_cast<const char*>(item.der.data()), static_cast<std::streamsize>(item.der.size()));
      expected += std::to_string(offset) + "\n";
      offset += item.der.size();
    }
  }
  std::string offsets;
  bool ok = RunCommand("openssl asn1parse -inform DER -in " + d + "/all 2>/dev/null | grep -a ':d=0 ' | cut -d: -f1 | tr -d ' '",
                &offsets) &&
            offsets == expected;
  if (!ok) {
    // Find the culprits one by one.
    for (size_t i = 0; i < items_.size(); ++i) {
      std::ofstream f(d + "/one", std::ios::binary | std::ios::trunc);
      f.write(reinterpret_cast<const char*>(items_[i].der.data()), static_cast<std::streamsize>(items_[i].der.size()));
      f.close();
      std::string ignored;
      if (!RunCommand("openssl asn1parse -inform DER -in " + d + "/one >/dev/null 2>&1", &ignored))
        refused.push_back(items_[i].label);
    }
    if (refused.empty()) refused.push_back("(the encodings run into each other)");
  }
  std::filesystem::remove_all(d);
  return refused;
}

}  // namespace pkitest
