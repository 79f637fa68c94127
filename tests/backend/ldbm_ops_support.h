// Helpers of the backend operation tests: a server state, a backend over a
// temporary directory with the initial tree, a connection whose answers
// land in a socket pair and are decoded back, and a loader that stores
// key-like entries through the backend's own add.
#ifndef OSTRAK_TESTS_BACKEND_LDBM_OPS_SUPPORT_H_
#define OSTRAK_TESTS_BACKEND_LDBM_OPS_SUPPORT_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "backend/entry_cache.h"
#include "backend/entry_tables.h"
#include "backend/ldbm_ops.h"
#include "ldbm_test_support.h"
#include "server/connection.h"
#include "server/error_log.h"
#include "server/server_state.h"

// One decoded answer: a search entry (tag 0x64) or a result.
struct Answer {
  uint32_t tag = 0;
  std::string dn;                                                    // entries
  std::vector<std::pair<std::string, std::vector<std::string>>> attrs;  // entries
  int code = -1;                                                     // results
  std::string matched, text;
  const std::vector<std::string>* values(const std::string& type) const {
    for (const auto& a : attrs)
      if (strcasecmp(a.first.c_str(), type.c_str()) == 0) return &a.second;
    return nullptr;
  }
};

// A minimal BER reader for the daemon's own answers (definite lengths).
class BerReader {
 public:
  BerReader(const std::string& s, size_t pos, size_t end) : s_(s), pos_(pos), end_(end) {}
  bool Next(uint32_t* tag, size_t* start, size_t* len) {
    if (pos_ + 2 > end_) return false;
    *tag = static_cast<uint8_t>(s_[pos_++]);
    size_t l = static_cast<uint8_t>(s_[pos_++]);
    if (l & 0x80) {
      int n = static_cast<int>(l & 0x7F);
      if (n == 0 || n > 4 || pos_ + n > end_) return false;
      l = 0;
      for (int i = 0; i < n; ++i) l = (l << 8) | static_cast<uint8_t>(s_[pos_++]);
    }
    if (pos_ + l > end_) return false;
    *start = pos_;
    *len = l;
    pos_ += l;
    return true;
  }
  size_t pos() const { return pos_; }

 private:
  const std::string& s_;
  size_t pos_, end_;
};

inline std::vector<Answer> DecodeAnswers(const std::string& bytes) {
  std::vector<Answer> out;
  BerReader top(bytes, 0, bytes.size());
  uint32_t tag;
  size_t start, len;
  while (top.Next(&tag, &start, &len)) {
    BerReader msg(bytes, start, start + len);
    uint32_t t;
    size_t s, l;
    if (!msg.Next(&t, &s, &l)) break;  // message ID
    if (!msg.Next(&t, &s, &l)) break;  // the operation
    Answer a;
    a.tag = t;
    BerReader op(bytes, s, s + l);
    uint32_t t2;
    size_t s2, l2;
    if (t == 0x64) {
      if (op.Next(&t2, &s2, &l2)) a.dn = bytes.substr(s2, l2);
      if (op.Next(&t2, &s2, &l2)) {
        BerReader list(bytes, s2, s2 + l2);
        uint32_t t3;
        size_t s3, l3;
        while (list.Next(&t3, &s3, &l3)) {
          BerReader attr(bytes, s3, s3 + l3);
          uint32_t t4;
          size_t s4, l4;
          std::pair<std::string, std::vector<std::string>> p;
          if (attr.Next(&t4, &s4, &l4)) p.first = bytes.substr(s4, l4);
          if (attr.Next(&t4, &s4, &l4)) {
            BerReader vals(bytes, s4, s4 + l4);
            uint32_t t5;
            size_t s5, l5;
            while (vals.Next(&t5, &s5, &l5)) p.second.push_back(bytes.substr(s5, l5));
          }
          a.attrs.push_back(p);
        }
      }
    } else {
      if (op.Next(&t2, &s2, &l2)) {
        int code = 0;
        for (size_t i = 0; i < l2; ++i) code = (code << 8) | static_cast<uint8_t>(bytes[s2 + i]);
        a.code = code;
      }
      if (op.Next(&t2, &s2, &l2)) a.matched = bytes.substr(s2, l2);
      if (op.Next(&t2, &s2, &l2)) a.text = bytes.substr(s2, l2);
    }
    out.push_back(a);
  }
  return out;
}

// Everything the daemon wrote for one test step: entries and the result.
struct Reply {
  std::vector<Answer> entries;
  int code = -1;  // -1: no result was sent
  std::string text;
  std::vector<std::string> dns() const {
    std::vector<std::string> d;
    for (const Answer& a : entries) d.push_back(a.dn);
    return d;
  }
};

class OpsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vuzizInitGlobals(&g), 0);
    ASSERT_EQ(QOXNewContext(kQOXAPIVersion, &context_), 0);
    g->context = context_;
    g->DefaultAccess = 128;
    g->substringIndex = substringMethod_ ? 1 : 0;
    g->currentTime = static_cast<uint32_t>(time(nullptr));
    backend_ = std::make_unique<TempBackend>();
    ASSERT_GE(CreateDatabases(be()), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv_), 0);
    int size = 1 << 20;
    setsockopt(sv_[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(sv_[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    conn_.socket = sv_[0];
    conn_.context = context_;
    conn_.connNumber = 1;
    conn_.clientAddress = const_cast<char*>("127.0.0.1");
    conn_.boundDN = const_cast<char*>("");
    QOXMutexCreate(&conn_.dnMutex, nullptr);
    QOXMutexCreate(&op_.abandonMutex, nullptr);
    op_.connNumber = 1;
    op_.msgID = 2;
    op_.tag = 0x63;
    op_.boundDN = const_cast<char*>("");
    op_.startTime = static_cast<uint32_t>(time(nullptr));
  }
  void TearDown() override {
    backend_.reset();
    close(sv_[0]);
    close(sv_[1]);
    QOXMutexDestroy(&conn_.dnMutex);
    QOXMutexDestroy(&op_.abandonMutex);
    g->context = nullptr;
    vuzizReleaseGlobals(&g, 0);
    QOXFreeContext(context_);
  }

  Backend* be() { return backend_->be(); }
  EntryCache* cache() { return &LdbmState(be())->entryCache; }

  // Everything sent on the connection since the last call.
  Reply Drain() {
    std::string bytes;
    char buf[65536];
    for (;;) {
      ssize_t n = recv(sv_[1], buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      bytes.append(buf, static_cast<size_t>(n));
    }
    Reply r;
    for (const Answer& a : DecodeAnswers(bytes)) {
      if (a.tag == 0x64) {
        r.entries.push_back(a);
      } else {
        r.code = a.code;
        r.text = a.text;
      }
    }
    return r;
  }

  // Stores an entry given in the entry text form ("dn: ...\ntype: value\n").
  int Add(const std::string& text, int merge = 0, uint8_t* logged = nullptr) {
    std::string copy = text;
    Entry* e = str2entry(copy.data());
    EXPECT_NE(e, nullptr) << text;
    if (e == nullptr) return -99;
    uint8_t local = 1;
    int result = -1;
    char* matched = nullptr;
    ldbm_back_add(be(), &conn_, &op_, e, merge, 0, logged != nullptr ? logged : &local, &result, &matched);
    zovurezFree(matched);
    return result;
  }

  static std::string KeyDN(const std::string& cert, const char* base = "OU=ACTIVE,O=QOX KEYSPACE,C=US") {
    return "QOXCERTID=" + cert + "," + base;
  }
  // A key entry and its user-ID children; the key ID is the last 8 digits.
  void AddKey(const std::string& cert, const std::vector<std::string>& userIDs, const std::string& extra = "",
              const char* base = "OU=ACTIVE,O=QOX KEYSPACE,C=US") {
    ASSERT_EQ(Add("dn: " + KeyDN(cert, base) + "\nobjectclass: qoxcertificate\nqoxcertid: " + cert +
                  "\nqoxkey: KEY-" + cert + "\n" + extra),
              0);
    for (const std::string& uid : userIDs) {
      ASSERT_EQ(Add("dn: QOXUSERID=" + uid + "," + KeyDN(cert, base) + "\nobjectclass: qoxuserid\nqoxuserid: " + uid +
                    "\nqoxkeyid: " + cert.substr(8) + "\nqoxcertid: " + cert + "\n"),
                0);
    }
  }

  // The stored entry of a DN, read back through a cold cache.
  Entry* Reread(const std::string& dn) {
    cache_release(cache());
    char* matched = nullptr;
    return dn2entry(be(), dn.c_str(), &matched);
  }
  std::string FirstValue(Entry* e, const char* type) {
    Attribute* a = e != nullptr ? attr_find(e->e_attrs, type) : nullptr;
    if (a == nullptr || a->a_vals == nullptr || a->a_vals[0] == nullptr) return "<none>";
    return std::string(a->a_vals[0]->bv_val, a->a_vals[0]->bv_len);
  }
  std::string Stored(const std::string& dn, const char* type) {
    Entry* e = Reread(dn);
    std::string v = FirstValue(e, type);
    if (e != nullptr) cache_return_entry(cache(), e);
    return v;
  }

  bool substringMethod_ = true;
  QOXContext* context_ = nullptr;
  std::unique_ptr<TempBackend> backend_;
  int sv_[2] = {-1, -1};
  Connection conn_{};
  Operation op_{};
};

#endif  // OSTRAK_TESTS_BACKEND_LDBM_OPS_SUPPORT_H_
