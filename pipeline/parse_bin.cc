// The binary message parser.
//
// The parser is a state machine over its input. At a packet boundary it
// gathers the header (at most 6 bytes, across writes) into its 1100-byte
// packet buffer; the packet's handler then runs as numbered steps (gather
// body bytes into the buffer, send an annotation, commit, decide), each step
// advancing only once done, so a write that stops on an error of the next
// module resumes at the same step. Bodies are then moved (delivered,
// discarded, or passed on raw with their chunk lengths) chunk by chunk; the
// chunk length bytes of partial bodies are read here and never counted as
// data. The parser never reads beyond what the current step needs: a look
// at the next packet's first byte (after a signature, after a key packet)
// is a peek, so no byte is ever put back.
#include "pipeline/parse_bin.h"

#include <algorithm>
#include <cstring>

#include "crypto/cfb.h"
#include "crypto/cipher.h"
#include "crypto/hash.h"
#include "foundation/byte_cursor.h"
#include "foundation/byte_order.h"
#include "foundation/context.h"
#include "pipeline/armor_parser_services.h"
#include "pipeline/cipher_module.h"
#include "pipeline/compression.h"
#include "pipeline/fifo.h"
#include "pipeline/generic_modules.h"
#include "pipeline/hash_module.h"
#include "pipeline/module_support.h"
#include "pipeline/scoped_crypto.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;

namespace {

constexpr size_t kBufSize = 1100;       // header and buffered body
constexpr size_t kLeadingBytes = 256;   // of unknown packets and non-packet data
constexpr size_t kCheckGather = 19;     // encrypted body bytes gathered for the check
constexpr size_t kTypeLookahead = 15;   // text literal bytes looked at for armor
constexpr char kArmorPrefix[] = "-----BEGIN PGP ";
static_assert(sizeof kArmorPrefix - 1 == kTypeLookahead);
constexpr QOXError kNeedInput = 1;      // a step waits for input (never returned)

// Packet tags (RFC 2440 section 4.3).
enum : uint8_t {
  kTagPKESK = 1,
  kTagSignature = 2,
  kTagSKESK = 3,
  kTagOnePass = 4,
  kTagSecretKey = 5,
  kTagPublicKey = 6,
  kTagSecretSubkey = 7,
  kTagCompressed = 8,
  kTagEncrypted = 9,
  kTagMarker = 10,
  kTagLiteral = 11,
  kTagTrust = 12,
  kTagUserID = 13,
  kTagPublicSubkey = 14,
  kTagComment = 16,
  kTagUserAttribute = 17,
  kTagEncryptedMDC = 18,
  kTagX509 = 60,
};

bool StaysInKeyScope(uint8_t tag) {
  switch (tag) {
    case kTagSignature:
    case kTagSecretKey:
    case kTagPublicKey:
    case kTagSecretSubkey:
    case kTagTrust:
    case kTagUserID:
    case kTagPublicSubkey:
    case kTagComment:
    case kTagUserAttribute:
    case kTagX509:
      return true;
    default:
      return false;
  }
}

// The tag of a header's first byte (>= 0x80).
uint8_t TagOf(uint8_t first) { return (first & 0x40) ? (first & 0x3F) : ((first >> 2) & 0x0F); }

enum class Phase : uint8_t { kHeader, kStep, kBody, kEnded };
enum class Move : uint8_t { kDeliver, kDiscard, kRaw };

enum class Handler : uint8_t {
  kNone,
  kESK,
  kEncrypted,
  kNoText,
  kSignature,
  kClosingSig,
  kKey,
  kKeyNext,        // a key packet ended: does the next one stay in the scope?
  kCompressed,
  kMarker,
  kLiteral,
  kUnknown,        // also tag 16 outside a key scope
  kNonMessage,
  kTruncated,      // after kQOXAnnPacketTruncated: the rest of the packet goes
  kSkipPacket,     // the packet's rest is discarded, no scope
  kEndScope,       // the packet that owned the scope ended
  kEndSigned,      // one-pass signed data ended: the closing signatures follow
  kEndInput,       // the input ended at a packet boundary
  kFault,          // the input ended inside a packet or header
  kUnclosed,       // a packet other than a signature where closing signatures were due
};

// What a scope is, for the commit answers.
enum class Scope : uint8_t { kNone, kCipher, kNoText, kSignature, kKeys, kCompressed, kLiteral, kUnknown, kNonMessage };

struct Parser {
  QOXPipeline* self;
  QOXPipeline* next;
  QOXPipeline* inserted;      // head of the inserted chain, or null
  QOXPipeline** insertSlot;   // the slot in it that holds `next`
  QOXEnv* env;
  const QOXDecodeCallbacks* callbacks;
  void* callbackArg;
  uint32_t nesting;           // parsers above this one

  // The packet.
  uint8_t buf[kBufSize];
  size_t hdrLen;              // header bytes at the start of buf
  size_t bufLen;              // header and gathered body bytes
  uint8_t tag;
  bool toEnd;                 // runs to the end of the input
  bool partial;               // the current chunk is partial: more follow
  uint64_t left;              // bytes left in the current chunk
  uint8_t lenOct[5];          // a chunk length being read
  uint8_t lenHave;
  bool bodyEnded;             // a gather met the end of the body
  bool crossed;               // a gather read chunk length octets (not kept in buf)

  Phase phase;
  Handler handler;
  uint32_t step;
  Move move;                  // kBody: what becomes of the bytes
  Handler afterBody;          // kBody: the handler at the body's end
  bool eof;

  // Bytes owed downstream before anything else: the raw packets of the
  // scope (FIFO), then a run of buf or of the chunk length.
  bool oweFifo;
  const uint8_t* owe;
  size_t oweLen;

  // Scopes.
  Scope scope;
  uint32_t openScope;         // end code of the scope opened, 0 for none
  uint32_t commitPending;
  uint32_t commitCode;
  bool integrity;             // tag 18
  bool processed;             // 260/261 took effect (decryption runs)
  Move keyMove;               // a key scope's packets: raw or discarded
  bool sigOnePass;            // the signature scope began with one-pass packets
  bool sigFollowed;           // packets follow the signatures
  bool passthrough;           // the scope is passed through (259)
  uint32_t waiting;           // one-pass signatures awaiting their signature
  uint32_t nest;              // one-pass packets inside the signed data
  bool walking;               // between one-pass packets and their signatures
  bool closing;               // reading the closing signatures
  Move walkMove;
  QOXHashList* hashes;
  uint32_t hashCount;
  QOXFifo* scopeRaw;          // raw ESK and signature packets of the scope
  size_t replayPos;           // buf bytes from here are delivered first
  uint8_t literalType;
  bool scopeInexact;          // scopeRaw lacks chunk length octets
  bool inexact;               // raw bytes owed cannot be the input's exactly
  bool insertedEnding;        // FinishInserted: advised, not yet torn down
};

Parser* P(QOXPipeline* m) { return StateOf<Parser>(m); }

QOXPipeline* Dest(Parser* p) { return p->inserted != nullptr ? p->inserted : p->next; }

QOXError Ann(Parser* p, uint32_t type, const void* data = nullptr, size_t count = 0) {
  return p->next->annotate(p->next, p->self, type, const_cast<void*>(data), count);
}

size_t Buffered(const Parser* p) { return p->bufLen - p->hdrLen; }
const uint8_t* Body(const Parser* p) { return p->buf + p->hdrLen; }

void ResetPacket(Parser* p) {
  std::memset(p->buf, 0, p->bufLen);
  p->hdrLen = p->bufLen = 0;
  p->toEnd = p->partial = p->bodyEnded = p->crossed = false;
  p->left = 0;
  p->lenHave = 0;
  p->replayPos = 0;
}

void Goto(Parser* p, Handler h, uint32_t step = 0) {
  p->phase = Phase::kStep;
  p->handler = h;
  p->step = step;
}

void ToHeader(Parser* p) {
  ResetPacket(p);
  p->phase = Phase::kHeader;
  p->handler = Handler::kNone;
  p->step = 0;
}

// Moves the body from buf's replay position and then the input. Passed on
// raw, buffered bytes that were gathered across partial chunks cannot be
// given back as they came (their chunk length octets are gone): the move
// then fails with -11391. Only malformed input does this (RFC 2440 wants
// a first partial chunk of 512 bytes or more, and partial lengths on data
// packets only).
void StartBody(Parser* p, Move move, Handler after) {
  if (move == Move::kRaw && p->replayPos < p->bufLen && p->crossed) p->inexact = true;
  if (move != Move::kDiscard && p->replayPos < p->bufLen) {
    p->owe = p->buf + p->replayPos;
    p->oweLen = p->bufLen - p->replayPos;
  }
  p->move = move;
  p->afterBody = after;
  p->phase = Phase::kBody;
}

// Bytes owed downstream go first; a tail that takes nothing without saying
// why is -11989.
QOXError FlushOwed(Parser* p) {
  if (p->inexact || (p->oweFifo && p->scopeInexact)) return kQOXErrBadPacket;
  QOXPipeline* dest = Dest(p);
  if (p->oweFifo) {
    for (;;) {
      size_t run = 0;
      const uint8_t* bytes = byteFifoPeek(p->scopeRaw, &run);
      if (bytes == nullptr || run == 0) break;
      size_t sent = 0;
      QOXError err = qoxPipelineWriteAll(dest, bytes, run, &sent);
      byteFifoSeek(p->scopeRaw, sent);
      if (err != kQOXErrNoErr) return err;
    }
    p->oweFifo = false;
  }
  if (p->oweLen != 0) {
    size_t sent = 0;
    QOXError err = qoxPipelineWriteAll(dest, p->owe, p->oweLen, &sent);
    p->owe += sent;
    p->oweLen -= sent;
    if (err != kQOXErrNoErr) return err;
  }
  p->owe = nullptr;
  return kQOXErrNoErr;
}

// --- Reading bodies ---

enum class Run : uint8_t { kBytes, kEnd, kNeed, kOwed };

// Reads the octets of the next chunk length; false while more are needed.
bool ReadChunkLength(Parser* p, ostrak::ByteCursor& in) {
  for (;;) {
    size_t need = 1;
    if (p->lenHave >= 1) {
      uint8_t o = p->lenOct[0];
      need = o < 192 ? 1 : o < 224 ? 2 : o == 255 ? 5 : 1;
    }
    if (p->lenHave >= need) break;
    if (!in.get_u8(&p->lenOct[p->lenHave])) return false;
    ++p->lenHave;
  }
  ostrak::ByteCursor c(p->lenOct, p->lenHave);
  uint8_t o = 0;
  c.get_u8(&o);
  p->partial = false;
  if (o < 192) {
    p->left = o;
  } else if (o < 224) {
    uint8_t o2 = 0;
    c.get_u8(&o2);
    p->left = ((uint64_t{o} - 192) << 8) + o2 + 192;
  } else if (o == 255) {
    uint32_t n = 0;
    c.get_u32be(&n);
    p->left = n;
  } else {
    p->left = uint64_t{1} << (o & 0x1F);
    p->partial = true;
  }
  return true;
}

// The next run of the body in the input (not consumed). In raw mode the
// chunk length octets met on the way are owed downstream (kOwed).
Run NextRun(Parser* p, ostrak::ByteCursor& in, bool raw, size_t* n) {
  for (;;) {
    if (p->toEnd) {
      if (in.empty()) return p->eof ? Run::kEnd : Run::kNeed;
      *n = in.remaining();
      return Run::kBytes;
    }
    if (p->left > 0) {
      if (in.empty()) return Run::kNeed;
      *n = static_cast<size_t>(std::min<uint64_t>(p->left, in.remaining()));
      return Run::kBytes;
    }
    if (!p->partial) return Run::kEnd;
    if (!ReadChunkLength(p, in)) return Run::kNeed;
    const size_t octets = p->lenHave;
    p->lenHave = 0;
    if (!raw) p->crossed = true;
    if (raw) {
      p->owe = p->lenOct;
      p->oweLen = octets;
      return Run::kOwed;
    }
  }
}

void Consumed(Parser* p, ostrak::ByteCursor& in, size_t n) {
  in.skip(n);
  if (!p->toEnd) p->left -= n;
}

// Gathers body bytes into buf until `want` are there or the body ends
// (bodyEnded). kNeedInput while more must come; at the end of the input
// inside a definite body the handler becomes kFault.
QOXError Gather(Parser* p, ostrak::ByteCursor& in, size_t want) {
  want = std::min(want, kBufSize - p->hdrLen);
  while (Buffered(p) < want) {
    size_t n = 0;
    switch (NextRun(p, in, false, &n)) {
      case Run::kBytes:
        n = std::min(n, want - Buffered(p));
        in.get_bytes(p->buf + p->bufLen, n);
        p->bufLen += n;
        if (!p->toEnd) p->left -= n;
        break;
      case Run::kEnd:
        p->bodyEnded = true;
        return kQOXErrNoErr;
      case Run::kNeed:
        if (!p->eof) return kNeedInput;
        Goto(p, Handler::kFault);
        return kNeedInput + 1;  // the step was replaced
      case Run::kOwed:
        break;
    }
  }
  // A definite body that ends exactly here is known to have ended.
  if (!p->toEnd && p->left == 0 && !p->partial) p->bodyEnded = true;
  return kQOXErrNoErr;
}
constexpr QOXError kReplaced = kNeedInput + 1;

// The next byte of the input without taking it; false when none is there.
bool PeekNext(ostrak::ByteCursor& in, uint8_t* b) { return in.peek_u8(b); }

// --- Commits ---

// Sends the commit and applies `fallback` when no answer came.
QOXError Commit(Parser* p, uint32_t fallback);

// --- The inserted chain ---

QOXError FinishInserted(Parser* p) {
  if (p->inserted == nullptr) return kQOXErrNoErr;
  if (!p->insertedEnding) {
    QOXError err = p->inserted->sizeAdvise(p->inserted, 0);
    if (err != kQOXErrNoErr) return err;
    p->insertedEnding = true;
  }
  *p->insertSlot = nullptr;
  qoxPipelineTeardown(p->inserted);
  p->inserted = nullptr;
  p->insertSlot = nullptr;
  p->insertedEnding = false;
  p->processed = false;
  return kQOXErrNoErr;
}

// An integrity-protected packet's modification code must match.
QOXError CheckMDC(Parser* p) {
  QOXPipeline* d = p->inserted;
  uint32_t size = 0;
  QOXError err = d->annotate(d, p->self, kQOXAnnMDCSize, &size, sizeof size);
  if (err != kQOXErrNoErr) return err;
  uint8_t trailer[kQOXMaxHashSize + 2] = {};
  uint8_t hash[kQOXMaxHashSize] = {};
  if (size == 0 || size > kQOXMaxHashSize) return kQOXErrModificationDetected;
  err = d->annotate(d, p->self, kQOXAnnMDCTrailer, trailer, size + 2);
  if (err == kQOXErrNoErr) err = d->annotate(d, p->self, kQOXAnnMDCHash, hash, size);
  if (err != kQOXErrNoErr) return err;
  bool good = trailer[0] == 0xD3 && trailer[1] == 0x14 && std::memcmp(trailer + 2, hash, size) == 0;
  return good ? kQOXErrNoErr : kQOXErrModificationDetected;
}

void DropScopeState(Parser* p) {
  if (p->hashes != nullptr) qoxHashListDestroy(p->hashes);
  p->hashes = nullptr;
  p->hashCount = 0;
  byteFifoFlush(p->scopeRaw);
  p->oweFifo = false;
  p->scope = Scope::kNone;
  p->openScope = 0;
  p->integrity = p->passthrough = p->sigOnePass = p->sigFollowed = false;
  p->walking = p->closing = p->scopeInexact = false;
  p->waiting = p->nest = 0;
}

// Sends the open scope's end.
QOXError CloseScope(Parser* p) {
  if (p->openScope != 0) {
    QOXError err = Ann(p, p->openScope);
    if (err != kQOXErrNoErr) return err;
  }
  DropScopeState(p);
  return kQOXErrNoErr;
}

// Appends the packet in buf (header and body) to the scope's raw packets.
void KeepRaw(Parser* p) {
  byteFifoWrite(p->scopeRaw, p->buf, p->bufLen);
  if (p->crossed) p->scopeInexact = true;
}

// --- Building what a commit asks for ---

// Links a further parser at *slot.
QOXPipeline** Reparse(Parser* p, QOXPipeline** slot, QOXError* err);

struct Chain {
  QOXPipeline* head;
  QOXPipeline** slot;  // holds `next` until the chain is linked
};

void DropChain(Chain& c) {
  *c.slot = nullptr;
  if (c.head != nullptr) qoxPipelineTeardown(c.head);
}

// The quick key check: the answer is the cipher's number and the key.
QOXError CheckKey(Parser* p, const uint8_t* key, size_t length, Chain& c) {
  if (key == nullptr || length == 0) return kQOXErrBadCipherKeyLength;
  const QOXCipherVTBL* cipher = qoxCipherGetVTBL(key[0]);
  if (cipher == nullptr) return kQOXErrUnknownCipherNumber;
  if (length != 1 + size_t{cipher->keySize}) return kQOXErrBadCipherKeyLength;
  const size_t block = cipher->blockSize;
  const size_t skip = p->integrity ? 1 : 0;
  const size_t need = skip + block + 2;
  if (Buffered(p) < need || block < 2 || block > kQOXMaxCipherBlockSize) return kQOXErrCannotDecryptMessage;
  const uint8_t* body = Body(p);
  if (p->integrity && body[0] != kQOXMDCPacketVersion) return kQOXErrCannotDecryptMessage;
  qox_pipeline::CFBPtr cfb(qoxCFBCreate(QOXPeekContextMemoryMgr(p->self->context), cipher));
  if (!cfb) return kQOXErrOutOfMemory;
  QOXError err = QOXInitCFB(cfb.get(), key + 1, nullptr);
  if (err != kQOXErrNoErr) return err;
  uint8_t prefix[kQOXMaxCipherBlockSize + 2];
  qoxCFBDecryptInternal(cfb.get(), body + skip, block + 2, prefix);
  bool good = prefix[block] == prefix[block - 2] && prefix[block + 1] == prefix[block - 1];
  if (!good) {
    std::memset(prefix, 0, sizeof prefix);
    return kQOXErrCannotDecryptMessage;
  }
  if (!p->integrity) QOXCFBSync(cfb.get());
  QOXPipeline** slot = qoxCipherModDecryptCreate(p->self->context, c.slot, cfb.release(), p->env, p->integrity, prefix);
  std::memset(prefix, 0, sizeof prefix);
  if (slot == nullptr) return kQOXErrOutOfMemory;
  c.slot = slot;
  p->replayPos = p->hdrLen + need;
  return kQOXErrNoErr;
}

QOXError ProcessCallback(Parser* p, uint32_t code, const void* data, size_t count) {
  // An answer with no commit pending, or while the chain of an earlier one
  // is still in place, is refused.
  if (p->commitPending == 0 || p->inserted != nullptr) return kQOXErrBadParams;
  if (p->scope == Scope::kNonMessage && (code == kQOXCommitProcess || code == kQOXCommitRecurse)) {
    code = kQOXCommitPassthrough;
  }
  if (code < kQOXCommitSkip || code > kQOXCommitRecurse) return kQOXErrInvalidCommitResponse;
  QOXContext* context = p->self->context;
  Chain c{p->next, nullptr};
  c.slot = &c.head;
  QOXError err = kQOXErrNoErr;
  bool header = false;  // a file header module goes last
  switch (p->scope) {
    case Scope::kNone:
      return kQOXErrBadParams;
    case Scope::kNoText:
      break;  // nothing to decrypt
    case Scope::kKeys:
      p->keyMove = code == kQOXCommitSkip ? Move::kDiscard : Move::kRaw;
      break;
    default:
      if (code == kQOXCommitPassthrough) {
        header = true;
      } else if (code != kQOXCommitSkip) {
        switch (p->scope) {
          case Scope::kCompressed: {
            QOXPipeline** s = qoxDecompressModCreate(context, c.slot, Body(p)[0], &err, p->env);
            if (s == nullptr) return err;
            c.slot = s;
            break;
          }
          case Scope::kCipher:
            err = CheckKey(p, static_cast<const uint8_t*>(data), count, c);
            if (err != kQOXErrNoErr) {
              DropChain(c);
              return err;
            }
            break;
          case Scope::kSignature:
            if (data != nullptr && count != 0 && p->hashes == nullptr) {
              err = qoxHashListCreate(QOXPeekContextMemoryMgr(context), static_cast<const uint8_t*>(data),
                                      &p->hashes, static_cast<uint32_t>(count));
              if (err != kQOXErrNoErr) return err;
              p->hashCount = qoxHashListGetSize(p->hashes);
              QOXPipeline** s = qoxHashModListCreate(context, c.slot, p->hashes, p->hashCount);
              if (s == nullptr) {
                qoxHashListDestroy(p->hashes);
                p->hashes = nullptr;
                p->hashCount = 0;
                return kQOXErrOutOfMemory;
              }
              c.slot = s;
            }
            break;
          case Scope::kLiteral:
            if (p->literalType == 'r' && code == kQOXCommitProcess) {
              p->literalType = 't';
              err = Ann(p, kQOXAnnLiteralType, &p->literalType, 1);
              if (err != kQOXErrNoErr) return err;
            }
            break;
          default:
            break;
        }
        if (code == kQOXCommitProcess) {
          header = p->scope == Scope::kCompressed || p->scope == Scope::kSignature || p->scope == Scope::kCipher;
        }
      }
      break;
  }
  if (code == kQOXCommitRecurse && p->scope != Scope::kKeys && p->scope != Scope::kNoText) {
    if (p->scope == Scope::kLiteral && p->literalType == 'r') {
      QOXPipeline** s = qoxArmorParserServices().qoxParseAscCreate(context, c.slot, p->env, &qoxByteFifoDesc,
                                                                   p->callbacks, p->callbackArg, &err);
      if (s == nullptr) {
        DropChain(c);
        return err != kQOXErrNoErr ? err : kQOXErrOutOfMemory;
      }
      // The armor parser made here passes clear-signed text through.
      QOXPipeline* armor = *c.slot;
      uint8_t on = 1;
      err = armor->annotate(armor, p->self, kQOXAnnPassthrough, &on, 1);
      c.slot = s;
      if (err != kQOXErrNoErr) {
        DropChain(c);
        return err;
      }
    } else if (p->scope == Scope::kCompressed || p->scope == Scope::kCipher || p->scope == Scope::kSignature ||
               p->scope == Scope::kLiteral) {
      // The signed data is parsed before it is hashed, so that the hashes
      // see what the signatures cover (the literal data), not the packets.
      QOXPipeline** at = p->scope == Scope::kSignature ? &c.head : c.slot;
      QOXPipeline** s = Reparse(p, at, &err);
      if (s == nullptr) {
        DropChain(c);
        return err;
      }
      if (at == c.slot) c.slot = s;
      if (p->scope == Scope::kSignature && c.slot == &c.head) c.slot = s;
    }
  }
  if (header && p->scope != Scope::kKeys) {
    QOXPipeline** s = qoxHeaderCreate(context, c.slot);
    if (s == nullptr) {
      DropChain(c);
      return kQOXErrOutOfMemory;
    }
    c.slot = s;
  }
  // Link: the slot inside the chain that holds `next`.
  if (c.head != p->next) {
    if (c.slot == &c.head) {
      // Nothing was inserted after all.
    } else {
      p->inserted = c.head;
      p->insertSlot = c.slot;
    }
  }
  p->processed = p->scope == Scope::kCipher && (code == kQOXCommitProcess || code == kQOXCommitRecurse);
  p->passthrough = code == kQOXCommitPassthrough;
  p->commitCode = code;
  --p->commitPending;
  return kQOXErrNoErr;
}

QOXError Commit(Parser* p, uint32_t fallback) {
  p->commitPending = 1;
  QOXError err = Ann(p, kQOXAnnCommit);
  if (err != kQOXErrNoErr) {
    p->commitPending = 0;
    return err;
  }
  if (p->commitPending != 0) {
    err = ProcessCallback(p, fallback, nullptr, 0);
    if (err != kQOXErrNoErr) {
      p->commitPending = 0;
      return err;
    }
  }
  return kQOXErrNoErr;
}

// After the commit: how the scope's bytes go on.
void AfterCommit(Parser* p) {
  const uint32_t code = p->commitCode;
  const Move bodyMove = code == kQOXCommitSkip          ? Move::kDiscard
                        : code == kQOXCommitPassthrough ? Move::kRaw
                                                        : Move::kDeliver;
  if (code == kQOXCommitPassthrough) p->replayPos = 0;
  switch (p->scope) {
    case Scope::kCipher:
      if (code == kQOXCommitPassthrough) p->oweFifo = true;
      StartBody(p, bodyMove, Handler::kEndScope);
      return;
    case Scope::kSignature:
      if (code == kQOXCommitPassthrough) p->oweFifo = true;
      ResetPacket(p);
      if (!p->sigFollowed) {
        Goto(p, Handler::kEndScope);
      } else if (p->sigOnePass) {
        p->walking = true;
        p->nest = 0;
        p->walkMove = code == kQOXCommitSkip ? Move::kDiscard : Move::kRaw;
        p->phase = Phase::kHeader;
        p->handler = Handler::kNone;
      } else {
        // The signed data runs to the end of the input.
        p->toEnd = true;
        StartBody(p, code == kQOXCommitSkip ? Move::kDiscard : Move::kRaw, Handler::kEndScope);
      }
      return;
    case Scope::kKeys:
      Goto(p, Handler::kKey, 3);
      return;
    case Scope::kNonMessage:
      StartBody(p, code == kQOXCommitSkip ? Move::kDiscard : Move::kRaw, Handler::kEndScope);
      return;
    default:
      StartBody(p, bodyMove, Handler::kEndScope);
      return;
  }
}

// --- Handlers ---

QOXError OpenScope(Parser* p, Scope scope, uint32_t begin, const void* data = nullptr, size_t count = 0) {
  QOXError err = Ann(p, begin, data, count);
  if (err != kQOXErrNoErr) return err;
  p->scope = scope;
  p->openScope = begin + 1;
  return kQOXErrNoErr;
}

// The handler for the packet whose header is in buf.
void Dispatch(Parser* p) {
  const uint8_t tag = p->tag;
  if (p->closing) {
    Goto(p, tag == kTagSignature ? Handler::kClosingSig : Handler::kUnclosed);
    return;
  }
  if (p->scope == Scope::kCipher) {
    if (tag == kTagPKESK || tag == kTagSKESK) {
      Goto(p, Handler::kESK);
    } else if (tag == kTagEncrypted || tag == kTagEncryptedMDC) {
      Goto(p, Handler::kEncrypted);
    } else {
      Goto(p, Handler::kNoText);
    }
    return;
  }
  if (p->scope == Scope::kKeys) {
    Goto(p, tag == kTagSignature ? Handler::kSignature : Handler::kKey);
    return;
  }
  switch (tag) {
    case kTagPKESK:
    case kTagSKESK:
      Goto(p, Handler::kESK);
      return;
    case kTagSignature:
    case kTagOnePass:
      Goto(p, Handler::kSignature);
      return;
    case kTagSecretKey:
    case kTagPublicKey:
    case kTagSecretSubkey:
    case kTagTrust:
    case kTagUserID:
    case kTagPublicSubkey:
    case kTagX509:
      Goto(p, Handler::kKey);
      return;
    case kTagComment:
      Goto(p, Handler::kUnknown);
      return;
    case kTagCompressed:
      Goto(p, Handler::kCompressed);
      return;
    case kTagEncrypted:
    case kTagEncryptedMDC:
      Goto(p, Handler::kEncrypted);
      return;
    case kTagMarker:
      Goto(p, Handler::kMarker);
      return;
    case kTagLiteral:
      Goto(p, Handler::kLiteral);
      return;
    default:
      Goto(p, Handler::kUnknown);
      return;
  }
}

QOXError StepESK(Parser* p, ostrak::ByteCursor& in) {
  QOXError err = kQOXErrNoErr;
  switch (p->step) {
    case 0:
      if ((err = Gather(p, in, kBufSize)) != kQOXErrNoErr) return err;
      p->step = 1;
      [[fallthrough]];
    case 1:
      if (p->scope != Scope::kCipher) {
        if ((err = OpenScope(p, Scope::kCipher, kQOXAnnCipherBegin)) != kQOXErrNoErr) return err;
      }
      p->step = 2;
      [[fallthrough]];
    default:
      if (!p->bodyEnded) {
        if ((err = Ann(p, kQOXAnnESKTooBig, Body(p), Buffered(p))) != kQOXErrNoErr) return err;
        Goto(p, Handler::kSkipPacket);
        return kQOXErrNoErr;
      }
      err = Ann(p, p->tag == kTagPKESK ? kQOXAnnPKCipherESK : kQOXAnnSKCipherESK, Body(p), Buffered(p));
      if (err != kQOXErrNoErr) return err;
      KeepRaw(p);
      ToHeader(p);
      return kQOXErrNoErr;
  }
}

QOXError StepEncrypted(Parser* p, ostrak::ByteCursor& in) {
  QOXError err = kQOXErrNoErr;
  switch (p->step) {
    case 0:
      p->integrity = p->tag == kTagEncryptedMDC;
      if ((err = Gather(p, in, kCheckGather)) != kQOXErrNoErr) return err;
      // Shorter than any cipher's prefix (8-byte blocks): truncated.
      if (p->bodyEnded && Buffered(p) < (p->integrity ? 11u : 10u)) {
        if ((err = Ann(p, kQOXAnnPacketTruncated)) != kQOXErrNoErr) return err;
        Goto(p, Handler::kTruncated);
        return kQOXErrNoErr;
      }
      p->step = 1;
      [[fallthrough]];
    case 1:
      if (p->scope != Scope::kCipher) {
        if ((err = OpenScope(p, Scope::kCipher, kQOXAnnCipherBegin)) != kQOXErrNoErr) return err;
        p->step = 2;
      } else {
        p->step = 3;
        return kQOXErrNoErr;
      }
      [[fallthrough]];
    case 2:
      // No ESK came: the key comes from a passphrase alone.
      if ((err = Ann(p, kQOXAnnSKCipherESK)) != kQOXErrNoErr) return err;
      p->step = 3;
      [[fallthrough]];
    default:
      if ((err = Commit(p, kQOXCommitPassthrough)) != kQOXErrNoErr) return err;
      AfterCommit(p);
      return kQOXErrNoErr;
  }
}

QOXError StepNoText(Parser* p) {
  QOXError err = kQOXErrNoErr;
  switch (p->step) {
    case 0:
      if ((err = Ann(p, kQOXAnnCipherNoText)) != kQOXErrNoErr) return err;
      p->scope = Scope::kNoText;
      p->step = 1;
      [[fallthrough]];
    case 1:
      if ((err = Commit(p, kQOXCommitSkip)) != kQOXErrNoErr) return err;
      p->step = 2;
      [[fallthrough]];
    default:
      if ((err = CloseScope(p)) != kQOXErrNoErr) return err;
      if (p->hdrLen != 0) {
        Dispatch(p);  // the packet that ended the run
      } else {
        Goto(p, Handler::kEndInput);
      }
      return kQOXErrNoErr;
  }
}

// The signature type of a signature body (0 when it cannot be read).
uint8_t SigType(const Parser* p) {
  ostrak::ByteCursor c(Body(p), Buffered(p));
  uint8_t version = 0, type = 0;
  if (!c.get_u8(&version)) return 0;
  if (version == 4) return c.get_u8(&type) ? type : 0;
  if (version == 2 || version == 3) return c.skip(1) && c.get_u8(&type) ? type : 0;
  return 0;
}

constexpr uint8_t kFirstKeySigType = 0x10;

QOXError StepSignature(Parser* p, ostrak::ByteCursor& in) {
  QOXError err = kQOXErrNoErr;
  const bool onePass = p->tag == kTagOnePass;
  switch (p->step) {
    case 0:
      if ((err = Gather(p, in, kBufSize)) != kQOXErrNoErr) return err;
      if (!onePass && SigType(p) >= kFirstKeySigType) {
        Goto(p, Handler::kKey);  // certifications and revocations are key material
        return kQOXErrNoErr;
      }
      if (!p->bodyEnded) {
        if ((err = Ann(p, kQOXAnnSignatureTooBig, Body(p), Buffered(p))) != kQOXErrNoErr) return err;
        Goto(p, Handler::kSkipPacket);
        return kQOXErrNoErr;
      }
      p->step = 1;
      [[fallthrough]];
    case 1:
      if (p->scope == Scope::kKeys) {
        // A document signature in a key scope belongs to the keys unless a
        // literal follows.
        uint8_t b = 0;
        if (!PeekNext(in, &b)) {
          if (!p->eof) return kNeedInput;
          Goto(p, Handler::kKey, 3);
          return kQOXErrNoErr;
        }
        uint8_t t = b >= 0x80 ? TagOf(b) : 0;
        if (t != kTagLiteral && t != kTagMarker) {
          Goto(p, Handler::kKey, 3);
          return kQOXErrNoErr;
        }
        if ((err = CloseScope(p)) != kQOXErrNoErr) return err;
      }
      p->step = 2;
      [[fallthrough]];
    case 2:
      if (p->scope != Scope::kSignature) {
        if (p->scope != Scope::kNone) return kQOXErrDataSentInWrongScope;
        if ((err = OpenScope(p, Scope::kSignature, kQOXAnnSignedBegin)) != kQOXErrNoErr) return err;
        p->sigOnePass = onePass;
      }
      p->step = 3;
      [[fallthrough]];
    case 3:
      if ((err = Ann(p, kQOXAnnSignature, Body(p), Buffered(p))) != kQOXErrNoErr) return err;
      if (onePass) {
        ++p->waiting;
        p->nest = 0;
      }
      KeepRaw(p);
      p->step = 4;
      [[fallthrough]];
    case 4: {
      // What follows: another signature of the run, the signed data, or
      // nothing (a detached signature).
      uint8_t b = 0;
      bool more = PeekNext(in, &b);
      if (!more && !p->eof) return kNeedInput;
      if (more && b >= 0x80) {
        uint8_t t = TagOf(b);
        if ((onePass && t == kTagOnePass) || (!onePass && t == kTagSignature)) {
          ToHeader(p);
          return kQOXErrNoErr;
        }
        p->sigFollowed = true;
      } else {
        p->sigFollowed = false;
      }
      p->step = 5;
      [[fallthrough]];
    }
    case 5:
      if (!p->sigFollowed) {
        if ((err = Ann(p, kQOXAnnSignedDetached)) != kQOXErrNoErr) return err;
      }
      p->step = 6;
      [[fallthrough]];
    default:
      if ((err = Commit(p, p->sigFollowed ? kQOXCommitRecurse : kQOXCommitSkip)) != kQOXErrNoErr) return err;
      AfterCommit(p);
      return kQOXErrNoErr;
  }
}

QOXError StepClosingSig(Parser* p, ostrak::ByteCursor& in) {
  QOXError err = kQOXErrNoErr;
  switch (p->step) {
    case 0:
      if ((err = Gather(p, in, kBufSize)) != kQOXErrNoErr) return err;
      p->step = 1;
      [[fallthrough]];
    case 1:
      if (!p->bodyEnded) {
        err = Ann(p, kQOXAnnSignatureTooBig, Body(p), Buffered(p));
      } else {
        err = Ann(p, kQOXAnnSignatureTrailer, Body(p), Buffered(p));
      }
      if (err != kQOXErrNoErr) return err;
      p->step = 2;
      if (p->passthrough) {
        if (p->crossed) return kQOXErrBadPacket;  // its chunk length octets are gone
        p->owe = p->buf;
        p->oweLen = p->bufLen;
      }
      return kQOXErrNoErr;
    case 2:
      if (!p->bodyEnded) {
        // The rest of a signature too big to keep.
        StartBody(p, p->passthrough ? Move::kRaw : Move::kDiscard, Handler::kClosingSig);
        p->replayPos = p->bufLen;
        p->step = 3;
        return kQOXErrNoErr;
      }
      p->step = 3;
      [[fallthrough]];
    default:
      if (p->waiting > 0) --p->waiting;
      if (p->waiting == 0) {
        Goto(p, Handler::kEndScope);
      } else {
        ToHeader(p);
      }
      return kQOXErrNoErr;
  }
}

QOXError StepKey(Parser* p, ostrak::ByteCursor& in) {
  QOXError err = kQOXErrNoErr;
  (void)in;
  switch (p->step) {
    case 0:
      if (p->scope == Scope::kKeys) {
        p->step = 3;
        return kQOXErrNoErr;
      }
      if (p->scope != Scope::kNone) return kQOXErrDataSentInWrongScope;
      if ((err = OpenScope(p, Scope::kKeys, kQOXAnnKeysBegin)) != kQOXErrNoErr) return err;
      p->keyMove = Move::kRaw;
      p->step = 1;
      [[fallthrough]];
    case 1:
    case 2:
      p->step = 2;
      if ((err = Commit(p, kQOXCommitProcess)) != kQOXErrNoErr) return err;
      p->step = 3;
      [[fallthrough]];
    default:
      // The packet, header included, goes on as data.
      p->replayPos = 0;
      StartBody(p, p->keyMove, Handler::kKeyNext);
      return kQOXErrNoErr;
  }
}

QOXError StepKeyNext(Parser* p, ostrak::ByteCursor& in) {
  uint8_t b = 0;
  if (!PeekNext(in, &b)) {
    if (!p->eof) return kNeedInput;
  } else if (b >= 0x80 && StaysInKeyScope(TagOf(b))) {
    ToHeader(p);
    return kQOXErrNoErr;
  }
  QOXError err = CloseScope(p);
  if (err != kQOXErrNoErr) return err;
  ToHeader(p);
  return kQOXErrNoErr;
}

QOXError StepCompressed(Parser* p, ostrak::ByteCursor& in) {
  QOXError err = kQOXErrNoErr;
  switch (p->step) {
    case 0:
      if ((err = Gather(p, in, 1)) != kQOXErrNoErr) return err;
      if (Buffered(p) < 1) {
        if ((err = Ann(p, kQOXAnnPacketTruncated)) != kQOXErrNoErr) return err;
        Goto(p, Handler::kTruncated);
        return kQOXErrNoErr;
      }
      p->step = 1;
      [[fallthrough]];
    case 1:
      if ((err = OpenScope(p, Scope::kCompressed, kQOXAnnCompressedBegin, Body(p), 1)) != kQOXErrNoErr) return err;
      p->step = 2;
      [[fallthrough]];
    default:
      p->replayPos = p->hdrLen + 1;
      if ((err = Commit(p, kQOXCommitRecurse)) != kQOXErrNoErr) return err;
      AfterCommit(p);
      return kQOXErrNoErr;
  }
}

QOXError StepMarker(Parser* p, ostrak::ByteCursor& in) {
  QOXError err = Gather(p, in, 1);
  if (err != kQOXErrNoErr) return err;
  if (Buffered(p) >= 1 && Body(p)[0] == 'P') {
    Goto(p, Handler::kSkipPacket);  // a marker packet says nothing
  } else {
    Goto(p, Handler::kLiteral);
  }
  return kQOXErrNoErr;
}

QOXError StepLiteral(Parser* p, ostrak::ByteCursor& in) {
  QOXError err = kQOXErrNoErr;
  switch (p->step) {
    case 0:
      if ((err = Gather(p, in, 2)) != kQOXErrNoErr) return err;
      p->step = 1;
      [[fallthrough]];
    case 1: {
      size_t fields = Buffered(p) >= 2 ? 2 + size_t{Body(p)[1]} + 4 : 2;
      if (Buffered(p) >= 2 && (err = Gather(p, in, fields)) != kQOXErrNoErr) return err;
      if (Buffered(p) < fields || fields == 2) {
        if ((err = Ann(p, kQOXAnnPacketTruncated)) != kQOXErrNoErr) return err;
        Goto(p, Handler::kTruncated);
        return kQOXErrNoErr;
      }
      p->literalType = Body(p)[0];
      p->replayPos = p->hdrLen + fields;
      p->step = 2;
      [[fallthrough]];
    }
    case 2:
      if (p->literalType == 't') {
        size_t fields = p->replayPos - p->hdrLen;
        if ((err = Gather(p, in, fields + kTypeLookahead)) != kQOXErrNoErr) return err;
        if (Buffered(p) >= fields + kTypeLookahead &&
            std::memcmp(Body(p) + fields, kArmorPrefix, kTypeLookahead) == 0) {
          p->literalType = 'r';
        }
      }
      p->step = 3;
      [[fallthrough]];
    case 3:
      if ((err = OpenScope(p, Scope::kLiteral, kQOXAnnLiteralBegin)) != kQOXErrNoErr) return err;
      p->step = 4;
      [[fallthrough]];
    case 4:
      if ((err = Ann(p, kQOXAnnLiteralName, Body(p) + 2, Body(p)[1])) != kQOXErrNoErr) return err;
      p->step = 5;
      [[fallthrough]];
    case 5:
      if ((err = Ann(p, kQOXAnnLiteralTimestamp, Body(p) + 2 + Body(p)[1], 4)) != kQOXErrNoErr) return err;
      p->step = 6;
      [[fallthrough]];
    case 6:
      if ((err = Ann(p, kQOXAnnLiteralType, &p->literalType, 1)) != kQOXErrNoErr) return err;
      p->step = 7;
      [[fallthrough]];
    default:
      if ((err = Commit(p, kQOXCommitProcess)) != kQOXErrNoErr) return err;
      AfterCommit(p);
      return kQOXErrNoErr;
  }
}

QOXError StepUnknown(Parser* p, ostrak::ByteCursor& in) {
  QOXError err = kQOXErrNoErr;
  switch (p->step) {
    case 0:
      if ((err = Gather(p, in, kLeadingBytes - p->hdrLen)) != kQOXErrNoErr) return err;
      p->step = 1;
      [[fallthrough]];
    case 1: {
      if (p->scope != Scope::kNone) return kQOXErrDataSentInWrongScope;
      uint32_t begin = p->tag == kTagComment ? kQOXAnnTag16Begin : kQOXAnnUnknownBegin;
      if ((err = OpenScope(p, Scope::kUnknown, begin, p->buf, p->bufLen)) != kQOXErrNoErr) return err;
      p->step = 2;
      [[fallthrough]];
    }
    default:
      p->replayPos = p->hdrLen;
      if ((err = Commit(p, kQOXCommitSkip)) != kQOXErrNoErr) return err;
      AfterCommit(p);
      return kQOXErrNoErr;
  }
}

// Input whose first byte is no packet header: its scope runs to the end.
QOXError StepNonMessage(Parser* p, ostrak::ByteCursor& in) {
  QOXError err = kQOXErrNoErr;
  switch (p->step) {
    case 0:
      p->toEnd = true;
      if ((err = Gather(p, in, kLeadingBytes)) != kQOXErrNoErr) return err;
      p->step = 1;
      [[fallthrough]];
    case 1:
      if (p->scope != Scope::kNone) return kQOXErrDataSentInWrongScope;
      if ((err = OpenScope(p, Scope::kNonMessage, kQOXAnnNonMessageBegin, p->buf, p->bufLen)) != kQOXErrNoErr) {
        return err;
      }
      p->step = 2;
      [[fallthrough]];
    default:
      if ((err = Commit(p, kQOXCommitSkip)) != kQOXErrNoErr) return err;
      AfterCommit(p);
      return kQOXErrNoErr;
  }
}

QOXError StepEndScope(Parser* p) {
  QOXError err = kQOXErrNoErr;
  switch (p->step) {
    case 0:
      if (p->processed && p->integrity && p->inserted != nullptr) {
        if ((err = CheckMDC(p)) != kQOXErrNoErr) return err;
      }
      p->step = 1;
      [[fallthrough]];
    case 1:
      if ((err = FinishInserted(p)) != kQOXErrNoErr) return err;
      p->step = 2;
      [[fallthrough]];
    default:
      if (p->waiting == 0) {
        if ((err = CloseScope(p)) != kQOXErrNoErr) return err;
      }
      ToHeader(p);
      return kQOXErrNoErr;
  }
}

// One-pass signed data ended at the header in buf: its signatures follow.
QOXError StepEndSigned(Parser* p) {
  if (!p->passthrough) {
    QOXError err = FinishInserted(p);
    if (err != kQOXErrNoErr) return err;
  }
  p->walking = false;
  p->closing = true;
  Dispatch(p);
  return kQOXErrNoErr;
}

// The input ended inside a packet or header.
QOXError StepFault(Parser* p) {
  QOXError err = kQOXErrNoErr;
  switch (p->step) {
    case 0:
      err = Ann(p, p->openScope != 0 ? kQOXAnnPacketGarbled : kQOXAnnPacketError);
      if (err != kQOXErrNoErr) return err;
      p->step = 1;
      [[fallthrough]];
    case 1:
      if ((err = FinishInserted(p)) != kQOXErrNoErr) return err;
      p->step = 2;
      [[fallthrough]];
    default:
      if ((err = CloseScope(p)) != kQOXErrNoErr) return err;
      ResetPacket(p);
      Goto(p, Handler::kEndInput);
      return kQOXErrNoErr;
  }
}

// One-pass signed data ended, but the packet in buf is no signature: the
// signatures still due are missing. The signed scope closes as garbled and
// the packet is read as any other.
QOXError StepUnclosed(Parser* p) {
  QOXError err = kQOXErrNoErr;
  switch (p->step) {
    case 0:
      if ((err = Ann(p, kQOXAnnPacketGarbled)) != kQOXErrNoErr) return err;
      p->step = 1;
      [[fallthrough]];
    case 1:
      // A scope passed through keeps its chain for the closing signatures.
      if ((err = FinishInserted(p)) != kQOXErrNoErr) return err;
      p->step = 2;
      [[fallthrough]];
    default:
      if ((err = CloseScope(p)) != kQOXErrNoErr) return err;
      Dispatch(p);
      return kQOXErrNoErr;
  }
}

// The input ended at a packet boundary: what is open closes, and the next
// module hears the end.
QOXError StepEndInput(Parser* p) {
  QOXError err = kQOXErrNoErr;
  switch (p->step) {
    case 0:
      if (p->scope == Scope::kCipher) {
        Goto(p, Handler::kNoText);  // comes back here
        return kQOXErrNoErr;
      }
      if (p->walking || p->closing) {
        // Signatures announced by one-pass packets never came.
        if ((err = Ann(p, kQOXAnnPacketGarbled)) != kQOXErrNoErr) return err;
      }
      p->step = 1;
      [[fallthrough]];
    case 1:
      if ((err = FinishInserted(p)) != kQOXErrNoErr) return err;
      p->step = 2;
      [[fallthrough]];
    case 2:
      if ((err = CloseScope(p)) != kQOXErrNoErr) return err;
      p->step = 3;
      [[fallthrough]];
    default:
      if ((err = p->next->sizeAdvise(p->next, 0)) != kQOXErrNoErr) return err;
      p->phase = Phase::kEnded;
      return kQOXErrNoErr;
  }
}

// --- Headers ---

// Header bytes needed once `have` are in buf (the total may grow as the
// first length octet is seen).
size_t HeaderLength(const uint8_t* buf, size_t have) {
  const uint8_t b = buf[0];
  if (b & 0x40) {
    if (have < 2) return 2;
    const uint8_t o = buf[1];
    return o < 192 ? 2 : o < 224 ? 3 : o == 255 ? 6 : 2;
  }
  switch (b & 0x03) {
    case 0:
      return 2;
    case 1:
      return 3;
    case 2:
      return 5;
    default:
      return 1;
  }
}

// Sets the packet fields from the complete header in buf.
void ParseHeader(Parser* p) {
  ostrak::ByteCursor c(p->buf, p->hdrLen);
  uint8_t b = 0;
  c.get_u8(&b);
  p->tag = TagOf(b);
  p->toEnd = p->partial = false;
  p->left = 0;
  if (b & 0x40) {
    p->lenHave = 0;
    std::memcpy(p->lenOct, p->buf + 1, p->hdrLen - 1);
    p->lenHave = static_cast<uint8_t>(p->hdrLen - 1);
    ostrak::ByteCursor none;
    ReadChunkLength(p, none);
    p->lenHave = 0;
    return;
  }
  uint64_t length = 0;
  switch (b & 0x03) {
    case 0:
      c.get_be(1, &length);
      break;
    case 1:
      c.get_be(2, &length);
      break;
    case 2:
      c.get_be(4, &length);
      break;
    default:
      p->toEnd = true;
      return;
  }
  p->left = length;
}

QOXError ReadHeader(Parser* p, ostrak::ByteCursor& in) {
  if (p->hdrLen == 0) {
    uint8_t b = 0;
    if (!in.peek_u8(&b)) {
      if (!p->eof) return kNeedInput;
      Goto(p, Handler::kEndInput);
      return kQOXErrNoErr;
    }
    if (b < 0x80) {
      if (p->walking) {
        // Signed data that is no packet runs to the end of the input.
        p->toEnd = true;
        StartBody(p, p->walkMove, Handler::kEndInput);
        p->walking = false;
      } else {
        Goto(p, Handler::kNonMessage);
      }
      return kQOXErrNoErr;
    }
  }
  for (;;) {
    size_t need = HeaderLength(p->buf, std::max<size_t>(p->hdrLen, 1));
    if (p->hdrLen == 0) need = 1;
    if (p->hdrLen >= need && p->hdrLen >= 1 && HeaderLength(p->buf, p->hdrLen) <= p->hdrLen) break;
    if (!in.get_u8(&p->buf[p->hdrLen])) {
      if (!p->eof) return kNeedInput;
      Goto(p, Handler::kFault);
      return kQOXErrNoErr;
    }
    ++p->hdrLen;
  }
  p->bufLen = p->hdrLen;
  ParseHeader(p);
  if (!p->walking) {
    Dispatch(p);
    return kQOXErrNoErr;
  }
  // Inside one-pass signed data: packets go on whole, counted.
  if (p->tag == kTagSignature && p->nest == 0) {
    Goto(p, Handler::kEndSigned);
    return kQOXErrNoErr;
  }
  if (p->tag == kTagOnePass) ++p->nest;
  if (p->tag == kTagSignature) --p->nest;
  p->replayPos = 0;
  StartBody(p, p->walkMove, Handler::kNone);
  return kQOXErrNoErr;
}

// --- Moving bodies ---

QOXError MoveBody(Parser* p, ostrak::ByteCursor& in) {
  for (;;) {
    QOXError err = FlushOwed(p);
    if (err != kQOXErrNoErr) return err;
    size_t n = 0;
    switch (NextRun(p, in, p->move == Move::kRaw, &n)) {
      case Run::kOwed:
        continue;
      case Run::kNeed:
        if (!p->eof) return kNeedInput;
        Goto(p, Handler::kFault);
        return kQOXErrNoErr;
      case Run::kEnd:
        if (p->afterBody == Handler::kNone) {
          ToHeader(p);  // a packet of one-pass signed data
        } else {
          Goto(p, p->afterBody, p->afterBody == Handler::kClosingSig ? 3 : 0);
        }
        return kQOXErrNoErr;
      case Run::kBytes:
        break;
    }
    if (p->move == Move::kDiscard) {
      Consumed(p, in, n);
      continue;
    }
    QOXPipeline* dest = Dest(p);
    QOXError werr = kQOXErrNoErr;
    size_t took = dest->write(dest, in.data(), n, &werr);
    if (took > n) took = n;
    Consumed(p, in, took);
    if (werr != kQOXErrNoErr) return werr;
    if (took == 0) return kQOXErrWriteFailed;
  }
}

QOXError Step(Parser* p, ostrak::ByteCursor& in) {
  switch (p->handler) {
    case Handler::kESK:
      return StepESK(p, in);
    case Handler::kEncrypted:
      return StepEncrypted(p, in);
    case Handler::kNoText:
      return StepNoText(p);
    case Handler::kSignature:
      return StepSignature(p, in);
    case Handler::kClosingSig:
      return StepClosingSig(p, in);
    case Handler::kKey:
      return StepKey(p, in);
    case Handler::kKeyNext:
      return StepKeyNext(p, in);
    case Handler::kCompressed:
      return StepCompressed(p, in);
    case Handler::kMarker:
      return StepMarker(p, in);
    case Handler::kLiteral:
      return StepLiteral(p, in);
    case Handler::kUnknown:
      return StepUnknown(p, in);
    case Handler::kNonMessage:
      return StepNonMessage(p, in);
    case Handler::kTruncated:
    case Handler::kSkipPacket:
      p->replayPos = p->bufLen;
      StartBody(p, Move::kDiscard, Handler::kNone);
      return kQOXErrNoErr;
    case Handler::kEndScope:
      return StepEndScope(p);
    case Handler::kEndSigned:
      return StepEndSigned(p);
    case Handler::kEndInput:
      return StepEndInput(p);
    case Handler::kFault:
      return StepFault(p);
    case Handler::kUnclosed:
      return StepUnclosed(p);
    case Handler::kNone:
      break;
  }
  ToHeader(p);
  return kQOXErrNoErr;
}

// Runs the machine until it needs input or fails.
QOXError Run(Parser* p, ostrak::ByteCursor& in) {
  for (;;) {
    QOXError err = FlushOwed(p);
    if (err != kQOXErrNoErr) return err;
    switch (p->phase) {
      case Phase::kHeader:
        err = ReadHeader(p, in);
        break;
      case Phase::kStep:
        err = Step(p, in);
        break;
      case Phase::kBody:
        err = MoveBody(p, in);
        break;
      case Phase::kEnded:
        return kQOXErrNoErr;
    }
    if (err == kNeedInput) return kQOXErrNoErr;
    if (err == kReplaced) continue;
    if (err != kQOXErrNoErr) return err;
  }
}

// --- The module ---

size_t ParseWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  Parser* p = P(m);
  ostrak::ByteCursor in(bytes, count);
  if (p->phase == Phase::kEnded && count != 0) {
    *error = kQOXErrBadParams;  // the input was declared over
    return 0;
  }
  *error = Run(p, in);
  return count - in.remaining();
}

QOXError Drain(Parser* p) {
  ostrak::ByteCursor none;
  return Run(p, none);
}

QOXError ParseFlush(QOXPipeline* m) {
  Parser* p = P(m);
  QOXError err = Drain(p);
  if (err != kQOXErrNoErr) return err;
  QOXPipeline* d = Dest(p);
  return d->flush(d);
}

// Completes a signature's hash: the hash of its data, its hashed trailer
// and, for version 4, 0x04 0xFF and the trailer's length (RFC 2440 5.2.4).
QOXError AnswerHashRequest(Parser* p, const void* data, size_t count) {
  ostrak::ByteCursor c(data, count);
  uint8_t version = 0, algorithm = 0;
  if (data == nullptr || p->hashes == nullptr || !c.get_u8(&version) || !c.get_u8(&algorithm)) {
    return kQOXErrUnknownHashNumber;
  }
  const QOXHashVTBL* vtbl = qoxHashByNumber(algorithm);
  QOXHashContext* running = vtbl != nullptr ? qoxHashListFind(p->hashes, vtbl) : nullptr;
  if (running == nullptr) return kQOXErrUnknownHashNumber;
  qox_pipeline::HashPtr copy(qoxHashCopy(running));
  if (!copy) return kQOXErrOutOfMemory;
  const size_t trailer = c.remaining();
  if (trailer != 0) copy->vtbl->update(copy->state, c.data(), trailer);
  if (version == 4) {
    uint8_t final[6] = {0x04, 0xFF};
    StoreBE32(final + 2, static_cast<uint32_t>(trailer));
    copy->vtbl->update(copy->state, final, sizeof final);
  }
  uint8_t digest[kQOXMaxHashSize];
  std::memcpy(digest, qoxHashFinal(copy.get()), vtbl->digestSize);
  return Ann(p, kQOXAnnHashValue, digest, vtbl->digestSize);
}

QOXError ParseAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  Parser* p = P(m);
  if (type >= kQOXCommitSkip && type <= kQOXCommitRecurse) {
    return ProcessCallback(p, type, data, count);
  }
  if (type == kQOXAnnHashRequest) return AnswerHashRequest(p, data, count);
  QOXError err = Drain(p);
  if (err != kQOXErrNoErr) return err;
  return p->next->annotate(p->next, origin, type, data, count);
}

QOXError ParseSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  Parser* p = P(m);
  QOXError err = Drain(p);
  if (err != kQOXErrNoErr || bytes != 0) return err;
  p->eof = true;
  return Drain(p);
}

QOXError ParseTeardown(QOXPipeline* m) {
  Parser* p = P(m);
  if (p->inserted != nullptr) {
    *p->insertSlot = nullptr;
    qoxPipelineTeardown(p->inserted);
  }
  qoxPipelineTeardown(p->next);
  if (p->hashes != nullptr) qoxHashListDestroy(p->hashes);
  byteFifoDestroy(p->scopeRaw);
  FreeModule<Parser>(m);
  return kQOXErrNoErr;
}

constexpr ModuleOps kParseOps = {ParseWrite, ParseFlush, ParseAnnotate, ParseSizeAdvise, ParseTeardown};

QOXPipeline** CreateParser(QOXContext* context, QOXPipeline** head, QOXEnv* env, const QOXDecodeCallbacks* callbacks,
                           void* callbackArg, uint32_t nesting) {
  if (head == nullptr || env == nullptr) return nullptr;
  QOXPipeline* m = NewModule<Parser>(context, kQOXMagicParseBin, "QOX Message Parser", kParseOps);
  if (m == nullptr) return nullptr;
  Parser* p = P(m);
  p->scopeRaw = byteFifoCreate(context);
  if (p->scopeRaw == nullptr) {
    FreeModule<Parser>(m);
    return nullptr;
  }
  p->self = m;
  p->env = env;
  p->callbacks = callbacks;
  p->callbackArg = callbackArg;
  p->nesting = nesting;
  p->phase = Phase::kHeader;
  p->next = *head;
  *head = m;
  return &p->next;
}

QOXPipeline** Reparse(Parser* p, QOXPipeline** slot, QOXError* err) {
  if (p->nesting + 1 >= kQOXMaxParserNesting) {
    *err = kQOXErrBadPacket;
    return nullptr;
  }
  QOXPipeline** s = CreateParser(p->self->context, slot, p->env, p->callbacks, p->callbackArg, p->nesting + 1);
  if (s == nullptr) *err = kQOXErrOutOfMemory;
  return s;
}

}  // namespace

QOXPipeline** qoxParseBinCreate(QOXContext* context, QOXPipeline** head, QOXEnv* env,
                                const QOXDecodeCallbacks* callbacks, void* callbackArg) {
  return CreateParser(context, head, env, callbacks, callbackArg, 0);
}
