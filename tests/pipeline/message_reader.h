// A small reader for the end of a parser chain: it records what reaches it
// (data and annotations, in order) and answers the parsers' commits the way
// a decode job does, so tests see the annotation trace of a message.
//
// Commits: a literal gets 260, every other scope 261, unless `decide`
// says otherwise (0: no answer at all, a negative value: that error). An encrypted scope is offered the keys of `sessionKeys`
// in turn, else the session keys its ESKs give with `passphrase`
// (qoxEskConvDecrypt); the answer of the first the parser takes ends the
// commit, and when none is taken the last refusal is returned (without any
// key the scope is skipped). A signed
// scope is answered with the distinct hash algorithms of its signatures.
// When a signed scope ends, every signature of it is sent back as a hash
// request to the parser that opened the scope, and the digest that comes
// back is kept beside the signature.
#ifndef OSTRAK_TESTS_PIPELINE_MESSAGE_READER_H_
#define OSTRAK_TESTS_PIPELINE_MESSAGE_READER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "crypto/pkt_list.h"
#include "foundation/context.h"
#include "pipeline/esk.h"
#include "pipeline/pipeline.h"

namespace pipeline_test {

using Bytes = std::vector<uint8_t>;

// What a signature body says, read by hand (RFC 2440 sections 5.2, 5.4).
struct SigFields {
  bool onePass = false;
  uint8_t version = 0;
  uint8_t type = 0;
  uint8_t hash = 0;
  Bytes extra;     // the hashed material after the data
  Bytes check;     // the two check bytes (empty for one-pass)
};
inline SigFields ReadSig(const Bytes& b) {
  SigFields f;
  if (b.size() == 13 && b[0] == 3) {
    f.onePass = true;
    f.version = 3;
    f.type = b[1];
    f.hash = b[2];
    return f;
  }
  if (b.empty()) return f;
  f.version = b[0];
  if (f.version == 4 && b.size() >= 6) {
    f.type = b[1];
    f.hash = b[3];
    size_t h = (size_t{b[4]} << 8) | b[5];
    if (6 + h + 2 > b.size()) return f;
    f.extra.assign(b.begin(), b.begin() + 6 + h);
    size_t u = (size_t{b[6 + h]} << 8) | b[7 + h];
    size_t at = 8 + h + u;
    if (at + 2 <= b.size()) f.check.assign(b.begin() + at, b.begin() + at + 2);
  } else if ((f.version == 2 || f.version == 3) && b.size() >= 2 && b.size() >= 14 + size_t{b[1]}) {
    size_t l = b[1];
    f.type = b[2];
    f.extra.assign(b.begin() + 2, b.begin() + 2 + l);
    f.hash = b[11 + l];
    f.check.assign(b.begin() + 12 + l, b.begin() + 14 + l);
  }
  return f;
}

struct MessageReader {
  struct Event {
    bool data;      // a run of data, else an annotation
    uint32_t type;  // the annotation
    Bytes bytes;
  };
  struct Signed {
    Bytes body;
    Bytes digest;  // what the parser answered to its hash request
    QOXError requestError = 0;
  };

  // dataLimit: data beyond it is counted, not kept.
  explicit MessageReader(QOXContext* context, size_t dataLimit = SIZE_MAX) : context_(context), limit_(dataLimit) {
    module.magic = 0x7E57BEAD;
    module.name = "Test Message Reader";
    module.context = context;
    module.priv = this;
    module.write = [](QOXPipeline* m, const uint8_t* p, size_t n, QOXError* err) -> size_t {
      auto* r = static_cast<MessageReader*>(m->priv);
      *err = kQOXErrNoErr;
      if (n == 0) return 0;
      if (r->failCall && r->failCall()) {
        // Takes half, then fails.
        n /= 2;
        *err = kQOXErrWriteFailed;
      }
      if (n == 0) return 0;
      r->dataCount += n;
      if (r->data.size() + n > r->limit_) return n;
      if (!r->events.empty() && r->events.back().data) {
        r->events.back().bytes.insert(r->events.back().bytes.end(), p, p + n);
      } else {
        r->events.push_back({true, 0, Bytes(p, p + n)});
      }
      r->data.insert(r->data.end(), p, p + n);
      return n;
    };
    module.flush = [](QOXPipeline*) -> QOXError { return kQOXErrNoErr; };
    module.annotate = [](QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t n) -> QOXError {
      return static_cast<MessageReader*>(m->priv)->Annotate(origin, type, static_cast<const uint8_t*>(data), n);
    };
    module.sizeAdvise = [](QOXPipeline* m, uint64_t n) -> QOXError {
      auto* r = static_cast<MessageReader*>(m->priv);
      if (n == 0) ++r->ends;
      return kQOXErrNoErr;
    };
    module.teardown = [](QOXPipeline* m) -> QOXError {
      static_cast<MessageReader*>(m->priv)->tornDown = true;
      return kQOXErrNoErr;
    };
  }
  ~MessageReader() { qoxEskFreeList(esks_); }
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  // The annotation types in order (data runs left out).
  std::vector<uint32_t> Types() const {
    std::vector<uint32_t> t;
    for (const auto& e : events) {
      if (!e.data) t.push_back(e.type);
    }
    return t;
  }
  bool Saw(uint32_t type) const {
    auto t = Types();
    return std::find(t.begin(), t.end(), type) != t.end();
  }
  const Event* First(uint32_t type) const {
    for (const auto& e : events) {
      if (!e.data && e.type == type) return &e;
    }
    return nullptr;
  }

  QOXPipeline module{};
  std::vector<Event> events;
  Bytes data;
  size_t dataCount = 0;  // every byte written, kept or not
  std::vector<Signed> signatures;  // of every signed scope, in order
  std::vector<uint32_t> commits;   // the codes answered
  int ends = 0;
  bool tornDown = false;

  std::function<int32_t(uint32_t scope)> decide;
  // Asked before each write and annotation: true makes it fail with -11989
  // (a write takes half of what it is offered first).
  std::function<bool()> failCall;
  std::vector<Bytes> sessionKeys;
  std::string passphrase;
  QOXError lastRefusal = 0;
  QOXError eskError = 0;  // of the last ESK stored
  Bytes accepted;         // the session key the parser took

 private:
  QOXError Annotate(QOXPipeline* origin, uint32_t type, const uint8_t* p, size_t n) {
    if (failCall && type != kQOXAnnHashValue && failCall()) return kQOXErrWriteFailed;
    events.push_back({false, type, p ? Bytes(p, p + n) : Bytes()});
    if (qoxAnnIsScopeBegin(type)) {
      stack_.push_back(type);
    } else if (qoxAnnIsScopeEnd(type) && !stack_.empty() && stack_.back() + 1 == type) {
      stack_.pop_back();
    }
    switch (type) {
      case kQOXAnnCommit:
        return Commit(origin);
      case kQOXAnnSKCipherESK:
      case kQOXAnnPKCipherESK:
        eskError = qoxEskAdd(context_, &esks_, type, p, n);
        return kQOXErrNoErr;
      case kQOXAnnSignature:
      case kQOXAnnSignatureTrailer:
        pending_.push_back(p ? Bytes(p, p + n) : Bytes());
        return kQOXErrNoErr;
      case kQOXAnnHashValue:
        if (current_ != nullptr) current_->digest = p ? Bytes(p, p + n) : Bytes();
        return kQOXErrNoErr;
      case kQOXAnnSignedEnd:
        return SignedEnd(origin);
      default:
        return kQOXErrNoErr;
    }
  }

  QOXError Commit(QOXPipeline* origin) {
    const uint32_t scope = stack_.empty() ? 0 : stack_.back();
    int32_t code = decide ? decide(scope) : (scope == kQOXAnnLiteralBegin ? 260 : 261);
    if (code <= 0) return code;  // 0: no answer, the parser's default holds
    commits.push_back(static_cast<uint32_t>(code));
    const uint32_t c = static_cast<uint32_t>(code);
    if ((c == kQOXCommitProcess || c == kQOXCommitRecurse) && scope == kQOXAnnCipherBegin) {
      std::vector<Bytes> keys = sessionKeys;
      for (QOXPktList* e = esks_; e != nullptr && !passphrase.empty(); e = qoxEskNext(e)) {
        if (qoxEskType(e) != kQOXEskTypeSymmetric) continue;
        Bytes key(qoxEskMaxKeySize(e) + 64);
        int32_t len = qoxEskConvDecrypt(e, qoxContextGetEnvironment(context_), passphrase.data(),
                                        passphrase.size(), key.data(), key.size());
        if (len > 0) keys.push_back(Bytes(key.begin(), key.begin() + len));
      }
      qoxEskFreeList(esks_);
      esks_ = nullptr;
      for (auto& key : keys) {
        QOXError err = origin->annotate(origin, &module, c, key.data(), key.size());
        if (err == kQOXErrNoErr) {
          accepted = key;
          return kQOXErrNoErr;
        }
        lastRefusal = err;
      }
      // No key at all: skipped, as a decode job without a handler does.
      if (keys.empty()) return origin->annotate(origin, &module, kQOXCommitSkip, nullptr, 0);
      return lastRefusal;
    }
    if ((c == kQOXCommitProcess || c == kQOXCommitRecurse) && scope == kQOXAnnSignedBegin) {
      Bytes hashes;
      for (const auto& b : pending_) {
        uint8_t h = ReadSig(b).hash;
        if (std::find(hashes.begin(), hashes.end(), h) == hashes.end()) hashes.push_back(h);
      }
      return origin->annotate(origin, &module, c, hashes.data(), hashes.size());
    }
    return origin->annotate(origin, &module, c, nullptr, 0);
  }

  QOXError SignedEnd(QOXPipeline* origin) {
    for (const auto& b : pending_) {
      SigFields f = ReadSig(b);
      if (f.onePass) continue;
      signatures.push_back({b, {}, 0});
      current_ = &signatures.back();
      Bytes request{f.version, f.hash};
      request.insert(request.end(), f.extra.begin(), f.extra.end());
      current_->requestError = origin->annotate(origin, &module, kQOXAnnHashRequest, request.data(), request.size());
      current_ = nullptr;
    }
    pending_.clear();
    return kQOXErrNoErr;
  }

  QOXContext* context_;
  size_t limit_;
  std::vector<uint32_t> stack_;
  QOXPktList* esks_ = nullptr;
  std::vector<Bytes> pending_;
  Signed* current_ = nullptr;
};

}  // namespace pipeline_test

#endif  // OSTRAK_TESTS_PIPELINE_MESSAGE_READER_H_
