// The deflate engine: match finder, block trees and bit writer.
//
// Why it is shaped this way: the engine is resumable. zip_input runs the
// match loop only while more than 261 bytes of look-ahead are held, so that
// every match search sees a full 258-byte string and its 3-byte hash; the
// pending lazy match (its start and length) is kept in the match state
// between calls, and moves with the window when it slides. Every read of the
// window is bounded by the look-ahead, so the bytes past the input's end are
// never looked at.
#include "pipeline/deflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "foundation/context.h"
#include "pipeline/module_support.h"

namespace {

// --- Sizes ---
constexpr uint32_t kWindowSize = 8192;
constexpr uint32_t kWindowMask = kWindowSize - 1;
constexpr uint32_t kWindowBytes = 2 * kWindowSize;
constexpr uint32_t kHashBits = 15;
constexpr uint32_t kHashSize = 1u << kHashBits;
constexpr uint32_t kHashMask = kHashSize - 1;
constexpr uint32_t kHashShift = 5;
constexpr uint32_t kMinMatch = 3;
constexpr uint32_t kMaxMatch = 258;
constexpr uint32_t kMinLookahead = kMaxMatch + kMinMatch + 1;
constexpr uint32_t kMaxDist = kWindowSize - kMinLookahead;
static_assert(kMaxDist == kQOXDeflateMaxDistance);
constexpr uint32_t kTooFar = 4096;
constexpr uint16_t kNil = 0;

constexpr int kLiterals = 256;
constexpr int kEndBlock = 256;
constexpr int kLengthCodes = 29;
constexpr int kLCodes = kLiterals + 1 + kLengthCodes;  // 286
constexpr int kDCodes = 30;
constexpr int kBLCodes = 19;
constexpr int kHeapSize = 2 * kLCodes + 1;  // 573
constexpr int kMaxBits = 15;
constexpr int kMaxBLBits = 7;
constexpr int kRep3To6 = 16;
constexpr int kRepZ3To10 = 17;
constexpr int kRepZ11To138 = 18;
constexpr uint32_t kLitBufSize = 32768;
constexpr uint32_t kDistBufSize = 32768;

constexpr int kStoredBlock = 0;
constexpr int kStaticTrees = 1;
constexpr int kDynamicTrees = 2;

constexpr std::array<uint8_t, kLengthCodes> kExtraLBits = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                            2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint8_t, kDCodes> kExtraDBits = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<uint8_t, kBLCodes> kExtraBLBits = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                         0, 0, 0, 0, 0, 0, 2, 3, 7};
// The order in which bit-length code lengths are sent (RFC 1951 3.2.7).
constexpr std::array<uint8_t, kBLCodes> kBLOrder = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                                     11, 4, 12, 3, 13, 2, 14, 1, 15};

constexpr uint16_t Reverse(uint32_t code, int length) {
  uint32_t r = 0;
  for (int i = 0; i < length; ++i) {
    r = (r << 1) | (code & 1);
    code >>= 1;
  }
  return static_cast<uint16_t>(r);
}

// Length and distance code tables, and the static trees (RFC 1951 3.2.5,
// 3.2.6), built at compile time.
struct Tables {
  std::array<uint8_t, 256> lengthCode{};  // match length - 3 -> length code
  std::array<uint8_t, kLengthCodes> baseLength{};
  std::array<uint8_t, 512> distCode{};  // distance - 1 (see DistCode) -> code
  std::array<uint16_t, kDCodes> baseDist{};
  std::array<uint16_t, kLCodes + 2> staticLCode{};
  std::array<uint8_t, kLCodes + 2> staticLLen{};
  std::array<uint16_t, kDCodes> staticDCode{};

  constexpr Tables() {
    int length = 0;
    for (int code = 0; code < kLengthCodes - 1; ++code) {
      baseLength[code] = static_cast<uint8_t>(length);
      for (int n = 0; n < (1 << kExtraLBits[code]); ++n) lengthCode[length++] = static_cast<uint8_t>(code);
    }
    // Length 258 (255 after the 3 taken off) has a code of its own.
    lengthCode[255] = kLengthCodes - 1;
    baseLength[kLengthCodes - 1] = 255;
    int dist = 0;
    for (int code = 0; code < 16; ++code) {
      baseDist[code] = static_cast<uint16_t>(dist);
      for (int n = 0; n < (1 << kExtraDBits[code]); ++n) distCode[dist++] = static_cast<uint8_t>(code);
    }
    dist >>= 7;
    for (int code = 16; code < kDCodes; ++code) {
      baseDist[code] = static_cast<uint16_t>(dist << 7);
      for (int n = 0; n < (1 << (kExtraDBits[code] - 7)); ++n) distCode[256 + dist++] = static_cast<uint8_t>(code);
    }
    // Static literal/length lengths: 8 for 0-143, 9 for 144-255, 7 for
    // 256-279, 8 for 280-287; canonical codes from them.
    std::array<int, kMaxBits + 1> count{};
    for (int n = 0; n < kLCodes + 2; ++n) {
      staticLLen[n] = n < 144 ? 8 : n < 256 ? 9 : n < 280 ? 7 : 8;
      ++count[staticLLen[n]];
    }
    std::array<uint32_t, kMaxBits + 1> next{};
    uint32_t code = 0;
    for (int bits = 1; bits <= kMaxBits; ++bits) {
      code = (code + count[bits - 1]) << 1;
      next[bits] = code;
    }
    for (int n = 0; n < kLCodes + 2; ++n) staticLCode[n] = Reverse(next[staticLLen[n]]++, staticLLen[n]);
    for (int n = 0; n < kDCodes; ++n) staticDCode[n] = Reverse(static_cast<uint32_t>(n), 5);
  }
};
constexpr Tables kTables;

constexpr int kStaticDLen = 5;

inline int DistCode(uint32_t distMinus1) {
  return distMinus1 < 256 ? kTables.distCode[distMinus1] : kTables.distCode[256 + (distMinus1 >> 7)];
}

struct Config {
  uint16_t goodLength;
  uint16_t maxLazy;
  uint16_t niceLength;
  uint16_t maxChain;
};
// Index: level. Level 0 is all zeros and refused.
constexpr std::array<Config, 10> kConfigurationTable = {{
    {0, 0, 0, 0},
    {4, 4, 8, 4},
    {4, 5, 16, 8},
    {4, 6, 32, 32},
    {4, 4, 16, 16},
    {8, 64, 258, 128},
    {8, 16, 128, 128},
    {8, 32, 128, 256},
    {32, 128, 258, 1024},
    {32, 258, 258, 4096},
}};

}  // namespace

struct QOXDeflateMatch {
  QOXContext* context;
  uint8_t window[kWindowBytes];
  uint16_t prev[kWindowSize];
  uint16_t head[kHashSize];
  uint32_t windowSize;
  uint32_t insH;         // running hash
  long blockStart;       // window position of the block's first byte; negative once slid out
  uint32_t prevLength;   // length of the match pending at strStart - 1
  uint32_t prevMatch;    // its start
  uint32_t strStart;     // the string being matched
  uint32_t matchStart;   // start of the match just found
  uint32_t lookahead;    // bytes held from strStart on
  bool eofile;
  bool matchAvailable;   // a literal or match is pending at strStart - 1
  uint32_t matchLength;  // length of the match just found
  uint32_t maxChain;
  uint32_t maxLazy;
  uint32_t goodMatch;
  uint32_t niceMatch;
};

namespace {

struct TreeDesc {
  uint32_t* freq;
  uint16_t* code;
  uint16_t* len;
  const uint16_t* staticCode;  // null for the bit-length tree
  const uint8_t* staticLen;
  int staticDLen;              // static length when staticLen is null
  const uint8_t* extraBits;
  int extraBase;
  int elems;
  int maxLength;
  int maxCode;
};

}  // namespace

struct QOXDeflateTrees {
  QOXContext* context;
  // Dynamic trees: node counts, codes, lengths, parents (internal nodes
  // after the leaves).
  uint32_t lFreq[kHeapSize];
  uint16_t lCode[kHeapSize];
  uint16_t lLen[kHeapSize];
  uint16_t lDad[kHeapSize];
  uint32_t dFreq[2 * kDCodes + 1];
  uint16_t dCode[2 * kDCodes + 1];
  uint16_t dLen[2 * kDCodes + 1];
  uint16_t dDad[2 * kDCodes + 1];
  uint32_t blFreq[2 * kBLCodes + 1];
  uint16_t blCode[2 * kBLCodes + 1];
  uint16_t blLen[2 * kBLCodes + 1];
  uint16_t blDad[2 * kBLCodes + 1];
  int lMaxCode;
  int dMaxCode;
  int blMaxCode;
  // The block's entries: literal byte or match length - 3, and the distance
  // (0 for a literal).
  uint8_t lBuf[kLitBufSize];
  uint16_t dBuf[kLitBufSize];
  uint32_t lastLit;   // entries held
  uint32_t lastDist;  // matches held
  int heap[kHeapSize];
  int heapLen;
  int heapMax;
  uint8_t depth[kHeapSize];
  uint16_t blCount[kMaxBits + 1];
  uint64_t optLen;     // bits of the block with dynamic trees
  uint64_t staticLen;  // bits with static trees
};

struct QOXBitWriter {
  QOXContext* context;
  QOXFifo* fifo;
  uint64_t buffer;  // bits not yet whole bytes, least significant first
  int valid;        // bits held in buffer
  uint8_t* out;     // free room in the FIFO's last block
  size_t size;      // room given by the FIFO
  size_t left;      // room not yet written
  QOXError error;
};

namespace {

// --- Bit writer ---

void NewRoom(QOXBitWriter* w) {
  if (w->out != nullptr) byteFifoSkipSpace(w->fifo, w->size);
  w->out = byteFifoGetSpace(w->fifo, &w->size);
  w->left = w->size;
  if (w->out == nullptr) {
    w->size = 0;
    w->error = kQOXErrOutOfMemory;
  }
}

inline void PutByte(QOXBitWriter* w, uint8_t b) {
  if (w->left == 0) {
    if (w->error != kQOXErrNoErr) return;
    NewRoom(w);
    if (w->left == 0) return;
  }
  w->out[w->size - w->left] = b;
  --w->left;
}

// Adds length bits (at most 16) of value; whole bytes go out four at a time.
inline void SendBits(QOXBitWriter* w, uint32_t value, int length) {
  w->buffer |= static_cast<uint64_t>(value) << w->valid;
  w->valid += length;
  if (w->valid >= 32) {
    if (w->left >= 4) {
      uint8_t* p = w->out + (w->size - w->left);
      p[0] = static_cast<uint8_t>(w->buffer);
      p[1] = static_cast<uint8_t>(w->buffer >> 8);
      p[2] = static_cast<uint8_t>(w->buffer >> 16);
      p[3] = static_cast<uint8_t>(w->buffer >> 24);
      w->left -= 4;
    } else {
      for (int i = 0; i < 4; ++i) PutByte(w, static_cast<uint8_t>(w->buffer >> (8 * i)));
    }
    w->buffer >>= 32;
    w->valid -= 32;
  }
}

// Writes out the whole bytes held; fewer than 8 bits stay.
void PutWholeBytes(QOXBitWriter* w) {
  while (w->valid >= 8) {
    PutByte(w, static_cast<uint8_t>(w->buffer));
    w->buffer >>= 8;
    w->valid -= 8;
  }
}

// Pads the bits held to a byte boundary with zeros and writes them.
void Windup(QOXBitWriter* w) {
  PutWholeBytes(w);
  if (w->valid > 0) PutByte(w, static_cast<uint8_t>(w->buffer));
  w->buffer = 0;
  w->valid = 0;
}

void PutBytes(QOXBitWriter* w, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    if (w->left == 0) {
      if (w->error != kQOXErrNoErr) return;
      NewRoom(w);
      if (w->left == 0) return;
    }
    size_t n = std::min(count, w->left);
    std::memcpy(w->out + (w->size - w->left), bytes, n);
    w->left -= n;
    bytes += n;
    count -= n;
  }
}

// --- Trees ---

void InitBlock(QOXDeflateTrees* t) {
  std::fill(std::begin(t->lFreq), std::begin(t->lFreq) + kLCodes, 0u);
  std::fill(std::begin(t->dFreq), std::begin(t->dFreq) + kDCodes, 0u);
  std::fill(std::begin(t->blFreq), std::begin(t->blFreq) + kBLCodes, 0u);
  t->lFreq[kEndBlock] = 1;
  t->optLen = 0;
  t->staticLen = 0;
  t->lastLit = 0;
  t->lastDist = 0;
}

// Node n sorts before node m: smaller count, or equal count and smaller
// depth.
inline bool Smaller(const uint32_t* freq, const uint8_t* depth, int n, int m) {
  return freq[n] < freq[m] || (freq[n] == freq[m] && depth[n] <= depth[m]);
}

// Moves the node at position k of the heap down to its place.
void DownHeap(QOXDeflateTrees* t, const uint32_t* freq, int k) {
  int v = t->heap[k];
  int j = k << 1;
  while (j <= t->heapLen) {
    if (j < t->heapLen && Smaller(freq, t->depth, t->heap[j + 1], t->heap[j])) ++j;
    if (Smaller(freq, t->depth, v, t->heap[j])) break;
    t->heap[k] = t->heap[j];
    k = j;
    j <<= 1;
  }
  t->heap[k] = v;
}

// Lengths from the depths in the tree, limited to the tree's maximum; the
// block's size estimates follow.
void GenBitlen(QOXDeflateTrees* t, TreeDesc* desc, uint16_t* dad) {
  uint32_t* freq = desc->freq;
  uint16_t* len = desc->len;
  int maxCode = desc->maxCode;
  int maxLength = desc->maxLength;
  for (int bits = 0; bits <= kMaxBits; ++bits) t->blCount[bits] = 0;
  // The root's length is 0; every other node is one deeper than its parent.
  len[t->heap[t->heapMax]] = 0;
  int overflow = 0;
  int h;
  for (h = t->heapMax + 1; h < kHeapSize; ++h) {
    int n = t->heap[h];
    int bits = len[dad[n]] + 1;
    if (bits > maxLength) {
      bits = maxLength;
      ++overflow;
    }
    len[n] = static_cast<uint16_t>(bits);
    if (n > maxCode) continue;  // not a leaf
    ++t->blCount[bits];
    int xbits = n >= desc->extraBase ? desc->extraBits[n - desc->extraBase] : 0;
    uint64_t f = freq[n];
    t->optLen += f * static_cast<uint64_t>(bits + xbits);
    if (desc->staticLen != nullptr) {
      t->staticLen += f * static_cast<uint64_t>(desc->staticLen[n] + xbits);
    } else if (desc->staticDLen != 0) {
      t->staticLen += f * static_cast<uint64_t>(desc->staticDLen + xbits);
    }
  }
  if (overflow == 0) return;
  // Move leaves so that the lengths fit: one from the longest length below
  // the limit goes down a level, pairing with an overflowed leaf.
  do {
    int bits = maxLength - 1;
    while (t->blCount[bits] == 0) --bits;
    --t->blCount[bits];
    t->blCount[bits + 1] += 2;
    --t->blCount[maxLength];
    overflow -= 2;
  } while (overflow > 0);
  // Give the lengths out again, longest first, to the leaves in increasing
  // order of count (the heap's tail holds them in that order).
  h = kHeapSize;
  for (int bits = maxLength; bits != 0; --bits) {
    int n = t->blCount[bits];
    while (n != 0) {
      int m = t->heap[--h];
      if (m > maxCode) continue;
      if (len[m] != bits) {
        t->optLen += (static_cast<uint64_t>(bits) - len[m]) * freq[m];  // wraps correctly when shorter
        len[m] = static_cast<uint16_t>(bits);
      }
      --n;
    }
  }
}

// Canonical codes from the lengths (RFC 1951 3.2.2), bit-reversed for
// sending.
void GenCodes(uint16_t* code, const uint16_t* len, int maxCode, const uint16_t* blCount) {
  std::array<uint32_t, kMaxBits + 1> next{};
  uint32_t c = 0;
  for (int bits = 1; bits <= kMaxBits; ++bits) {
    c = (c + blCount[bits - 1]) << 1;
    next[bits] = c;
  }
  for (int n = 0; n <= maxCode; ++n) {
    int l = len[n];
    if (l == 0) continue;
    code[n] = Reverse(next[l]++, l);
  }
}

void BuildTree(QOXDeflateTrees* t, TreeDesc* desc, uint16_t* dad) {
  uint32_t* freq = desc->freq;
  uint16_t* len = desc->len;
  int elems = desc->elems;
  int maxCode = -1;
  t->heapLen = 0;
  t->heapMax = kHeapSize;
  for (int n = 0; n < elems; ++n) {
    if (freq[n] != 0) {
      t->heap[++t->heapLen] = maxCode = n;
      t->depth[n] = 0;
    } else {
      len[n] = 0;
    }
  }
  // At least two codes, so that every code has at least one bit.
  while (t->heapLen < 2) {
    int node = t->heap[++t->heapLen] = maxCode < 2 ? ++maxCode : 0;
    freq[node] = 1;
    t->depth[node] = 0;
    --t->optLen;
    if (desc->staticLen != nullptr) {
      t->staticLen -= desc->staticLen[node];
    } else if (desc->staticDLen != 0) {
      t->staticLen -= desc->staticDLen;
    }
  }
  desc->maxCode = maxCode;
  for (int n = t->heapLen / 2; n >= 1; --n) DownHeap(t, freq, n);
  // Merge the two smallest until one node is left.
  int node = elems;
  do {
    int n = t->heap[1];
    t->heap[1] = t->heap[t->heapLen--];
    DownHeap(t, freq, 1);
    int m = t->heap[1];
    t->heap[--t->heapMax] = n;
    t->heap[--t->heapMax] = m;
    freq[node] = freq[n] + freq[m];
    t->depth[node] = static_cast<uint8_t>(std::max(t->depth[n], t->depth[m]) + 1);
    dad[n] = dad[m] = static_cast<uint16_t>(node);
    t->heap[1] = node++;
    DownHeap(t, freq, 1);
  } while (t->heapLen >= 2);
  t->heap[--t->heapMax] = t->heap[1];
  GenBitlen(t, desc, dad);
  GenCodes(desc->code, len, maxCode, t->blCount);
}

TreeDesc LDesc(QOXDeflateTrees* t) {
  return {t->lFreq, t->lCode, t->lLen, kTables.staticLCode.data(), kTables.staticLLen.data(), 0,
          kExtraLBits.data(), kLiterals + 1, kLCodes, kMaxBits, 0};
}
TreeDesc DDesc(QOXDeflateTrees* t) {
  return {t->dFreq, t->dCode, t->dLen, kTables.staticDCode.data(), nullptr, kStaticDLen,
          kExtraDBits.data(), 0, kDCodes, kMaxBits, 0};
}
TreeDesc BLDesc(QOXDeflateTrees* t) {
  return {t->blFreq, t->blCode, t->blLen, nullptr, nullptr, 0, kExtraBLBits.data(), 0, kBLCodes, kMaxBLBits, 0};
}

// Run limits after a length: see ScanTree.
struct RunLimits {
  int maxCount;
  int minCount;
};
inline RunLimits LimitsFor(int curlen, int nextlen) {
  if (nextlen == 0) return {138, 3};
  if (curlen == nextlen) return {6, 3};
  return {7, 4};
}

// Walks the run-length coding of a tree's lengths 0..maxCode, calling emit
// (symbol, repeat count) for each code length symbol sent (repeat count is
// meaningful for 16, 17 and 18).
template <class Emit>
void WalkTree(const uint16_t* len, int maxCode, Emit&& emit) {
  int prevlen = -1;
  int nextlen = len[0];
  int count = 0;
  RunLimits lim = nextlen == 0 ? RunLimits{138, 3} : RunLimits{7, 4};
  for (int n = 0; n <= maxCode; ++n) {
    int curlen = nextlen;
    nextlen = n + 1 <= maxCode ? len[n + 1] : -1;
    if (++count < lim.maxCount && curlen == nextlen) continue;
    if (count < lim.minCount) {
      for (int i = 0; i < count; ++i) emit(curlen, 0);
    } else if (curlen != 0) {
      if (curlen != prevlen) {
        emit(curlen, 0);
        --count;
      }
      emit(kRep3To6, count);
    } else if (count <= 10) {
      emit(kRepZ3To10, count);
    } else {
      emit(kRepZ11To138, count);
    }
    count = 0;
    prevlen = curlen;
    lim = LimitsFor(curlen, nextlen);
  }
}

// Counts the code length symbols of a tree into the bit-length tree.
void ScanTree(QOXDeflateTrees* t, const uint16_t* len, int maxCode) {
  WalkTree(len, maxCode, [t](int symbol, int) { ++t->blFreq[symbol]; });
}

inline void SendCode(QOXBitWriter* w, int c, const uint16_t* code, const uint16_t* len) {
  SendBits(w, code[c], len[c]);
}

void SendTree(QOXDeflateTrees* t, QOXBitWriter* w, const uint16_t* len, int maxCode) {
  WalkTree(len, maxCode, [t, w](int symbol, int count) {
    SendCode(w, symbol, t->blCode, t->blLen);
    if (symbol == kRep3To6) {
      SendBits(w, static_cast<uint32_t>(count - 3), 2);
    } else if (symbol == kRepZ3To10) {
      SendBits(w, static_cast<uint32_t>(count - 3), 3);
    } else if (symbol == kRepZ11To138) {
      SendBits(w, static_cast<uint32_t>(count - 11), 7);
    }
  });
}

// Builds the bit-length tree; returns the index in kBLOrder of the last
// length sent (at least 3, so 4 or more lengths go).
int BuildBLTree(QOXDeflateTrees* t) {
  ScanTree(t, t->lLen, t->lMaxCode);
  ScanTree(t, t->dLen, t->dMaxCode);
  TreeDesc bl = BLDesc(t);
  BuildTree(t, &bl, t->blDad);
  t->blMaxCode = bl.maxCode;
  int maxIndex;
  for (maxIndex = kBLCodes - 1; maxIndex >= 3; --maxIndex) {
    if (t->blLen[kBLOrder[maxIndex]] != 0) break;
  }
  // The three counts and the 3-bit lengths.
  t->optLen += 3 * (static_cast<uint64_t>(maxIndex) + 1) + 5 + 5 + 4;
  return maxIndex;
}

void SendAllTrees(QOXDeflateTrees* t, QOXBitWriter* w, int lcodes, int dcodes, int blcodes) {
  SendBits(w, static_cast<uint32_t>(lcodes - 257), 5);
  SendBits(w, static_cast<uint32_t>(dcodes - 1), 5);
  SendBits(w, static_cast<uint32_t>(blcodes - 4), 4);
  for (int rank = 0; rank < blcodes; ++rank) SendBits(w, t->blLen[kBLOrder[rank]], 3);
  SendTree(t, w, t->lLen, lcodes - 1);
  SendTree(t, w, t->dLen, dcodes - 1);
}

void CompressBlock(QOXDeflateTrees* t, QOXBitWriter* w, const uint16_t* lcode, const uint8_t* llen8,
                   const uint16_t* llen16, const uint16_t* dcode, const uint16_t* dlen16, int dlenFixed) {
  auto lLen = [&](int c) -> int { return llen8 != nullptr ? llen8[c] : llen16[c]; };
  auto dLen = [&](int c) -> int { return dlen16 != nullptr ? dlen16[c] : dlenFixed; };
  for (uint32_t i = 0; i < t->lastLit; ++i) {
    int lc = t->lBuf[i];
    uint32_t dist = t->dBuf[i];
    if (dist == 0) {
      SendBits(w, lcode[lc], lLen(lc));
      continue;
    }
    int code = kTables.lengthCode[lc];
    SendBits(w, lcode[code + kLiterals + 1], lLen(code + kLiterals + 1));
    int extra = kExtraLBits[code];
    if (extra != 0) SendBits(w, static_cast<uint32_t>(lc - kTables.baseLength[code]), extra);
    --dist;
    code = DistCode(dist);
    SendBits(w, dcode[code], dLen(code));
    extra = kExtraDBits[code];
    if (extra != 0) SendBits(w, dist - kTables.baseDist[code], extra);
  }
  SendBits(w, lcode[kEndBlock], lLen(kEndBlock));
}

// Ends the current block: stored, static or dynamic, whichever is shortest.
// block is null when the block's bytes are no longer in the window.
void FlushBlock(QOXDeflateTrees* t, QOXBitWriter* w, const uint8_t* block, uint64_t storedLen, bool eof) {
  TreeDesc l = LDesc(t);
  BuildTree(t, &l, t->lDad);
  t->lMaxCode = l.maxCode;
  TreeDesc d = DDesc(t);
  BuildTree(t, &d, t->dDad);
  t->dMaxCode = d.maxCode;
  int maxBLIndex = BuildBLTree(t);
  uint64_t optLenB = (t->optLen + 3 + 7) >> 3;
  uint64_t staticLenB = (t->staticLen + 3 + 7) >> 3;
  if (staticLenB <= optLenB) optLenB = staticLenB;
  uint32_t last = eof ? 1 : 0;
  if (block != nullptr && storedLen + 4 <= optLenB) {
    SendBits(w, (kStoredBlock << 1) + last, 3);
    Windup(w);
    uint8_t header[4] = {static_cast<uint8_t>(storedLen), static_cast<uint8_t>(storedLen >> 8),
                         static_cast<uint8_t>(~storedLen), static_cast<uint8_t>(~storedLen >> 8)};
    PutBytes(w, header, sizeof header);
    PutBytes(w, block, storedLen);
  } else if (staticLenB == optLenB) {
    SendBits(w, (kStaticTrees << 1) + last, 3);
    CompressBlock(t, w, kTables.staticLCode.data(), kTables.staticLLen.data(), nullptr,
                  kTables.staticDCode.data(), nullptr, kStaticDLen);
  } else {
    SendBits(w, (kDynamicTrees << 1) + last, 3);
    SendAllTrees(t, w, t->lMaxCode + 1, t->dMaxCode + 1, maxBLIndex + 1);
    CompressBlock(t, w, t->lCode, nullptr, t->lLen, t->dCode, t->dLen, 0);
  }
  InitBlock(t);
  if (eof) Windup(w);
}

// Records a literal (dist 0, lc the byte) or a match (dist, lc = length -
// 3); true when the block should end here.
inline bool CtTally(QOXDeflateTrees* t, const QOXDeflateMatch* s, uint32_t dist, uint32_t lc) {
  t->lBuf[t->lastLit] = static_cast<uint8_t>(lc);
  t->dBuf[t->lastLit++] = static_cast<uint16_t>(dist);
  if (dist == 0) {
    ++t->lFreq[lc];
  } else {
    ++t->lastDist;
    ++t->lFreq[kTables.lengthCode[lc] + kLiterals + 1];
    ++t->dFreq[DistCode(dist - 1)];
  }
  if ((t->lastLit & 0xFFF) == 0) {
    // Ending a block early pays when matches are rare and the data already
    // shrinks well.
    uint64_t outLength = static_cast<uint64_t>(t->lastLit) * 8;
    uint64_t inLength = static_cast<uint64_t>(static_cast<long>(s->strStart) - s->blockStart);
    for (int code = 0; code < kDCodes; ++code) outLength += static_cast<uint64_t>(t->dFreq[code]) * (5 + kExtraDBits[code]);
    outLength >>= 3;
    if (t->lastDist < t->lastLit / 2 && outLength < inLength / 2) return true;
  }
  return t->lastLit == kLitBufSize - 1 || t->lastDist == kDistBufSize;
}

// --- Match finder ---

inline void UpdateHash(QOXDeflateMatch* s, uint8_t c) { s->insH = ((s->insH << kHashShift) ^ c) & kHashMask; }

// Inserts the string at pos into its hash chain; returns the previous head.
inline uint32_t InsertString(QOXDeflateMatch* s, uint32_t pos) {
  UpdateHash(s, s->window[pos + kMinMatch - 1]);
  uint32_t head = s->head[s->insH];
  s->prev[pos & kWindowMask] = static_cast<uint16_t>(head);
  s->head[s->insH] = static_cast<uint16_t>(pos);
  return head;
}

inline uint32_t CommonLength(const uint8_t* a, const uint8_t* b, uint32_t max) {
  uint32_t n = 0;
  while (n + 8 <= max) {
    uint64_t x, y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    uint64_t diff = x ^ y;
    if (diff != 0) {
      // The first differing byte in memory order.
      if constexpr (std::endian::native == std::endian::little) {
        return n + static_cast<uint32_t>(__builtin_ctzll(diff) >> 3);
      } else {
        return n + static_cast<uint32_t>(__builtin_clzll(diff) >> 3);
      }
    }
    n += 8;
  }
  while (n < max && a[n] == b[n]) ++n;
  return n;
}

// The longest match for the string at strStart along the chain from
// curMatch, longer than the pending match; sets matchStart. Never longer
// than the look-ahead.
uint32_t LongestMatch(QOXDeflateMatch* s, uint32_t curMatch) {
  uint32_t chainLength = s->maxChain;
  uint32_t bestLen = s->prevLength;
  uint32_t maxLen = std::min(kMaxMatch, s->lookahead);
  if (bestLen >= maxLen) return bestLen;
  uint32_t niceMatch = std::min(s->niceMatch, maxLen);
  uint32_t limit = s->strStart > kMaxDist ? s->strStart - kMaxDist : kNil;
  if (s->prevLength >= s->goodMatch) chainLength >>= 2;
  const uint8_t* scan = s->window + s->strStart;
  uint8_t scanEnd1 = scan[bestLen - 1];
  uint8_t scanEnd = scan[bestLen];
  do {
    const uint8_t* match = s->window + curMatch;
    if (match[bestLen] != scanEnd || match[bestLen - 1] != scanEnd1 || match[0] != scan[0] || match[1] != scan[1]) {
      continue;
    }
    uint32_t len = 2 + CommonLength(scan + 2, match + 2, maxLen - 2);
    if (len > bestLen) {
      s->matchStart = curMatch;
      bestLen = len;
      if (len >= niceMatch) break;
      scanEnd1 = scan[bestLen - 1];
      scanEnd = scan[bestLen];  // bestLen < maxLen <= lookahead: within the input
    }
  } while ((curMatch = s->prev[curMatch & kWindowMask]) > limit && --chainLength != 0);
  return bestLen;
}

inline void Flush(QOXDeflateMatch* s, QOXDeflateTrees* t, QOXBitWriter* w, bool eof) {
  uint64_t storedLen = static_cast<uint64_t>(static_cast<long>(s->strStart) - s->blockStart);
  FlushBlock(t, w, s->blockStart >= 0 ? s->window + s->blockStart : nullptr, storedLen, eof);
  s->blockStart = s->strStart;
}

// The lazy match loop: runs while more than 261 bytes are held, or after the
// end of input until none are.
void DeflateSub(QOXDeflateMatch* s, QOXDeflateTrees* t, QOXBitWriter* w) {
  while (s->lookahead >= kMinLookahead || (s->eofile && s->lookahead != 0)) {
    uint32_t end = s->strStart + s->lookahead;  // first position past the input
    uint32_t hashHead = kNil;
    if (s->lookahead >= kMinMatch) hashHead = InsertString(s, s->strStart);
    s->prevLength = s->matchLength;
    s->prevMatch = s->matchStart;
    s->matchLength = kMinMatch - 1;
    if (hashHead != kNil && s->prevLength < s->maxLazy && s->strStart - hashHead <= kMaxDist) {
      s->matchLength = LongestMatch(s, hashHead);
      if (s->matchLength == kMinMatch && s->strStart - s->matchStart > kTooFar) --s->matchLength;
    }
    if (s->prevLength >= kMinMatch && s->matchLength <= s->prevLength) {
      bool flush = CtTally(t, s, s->strStart - 1 - s->prevMatch, s->prevLength - kMinMatch);
      // Insert the strings the match covers (those with 3 bytes at hand).
      s->lookahead -= s->prevLength - 1;
      uint32_t rest = s->prevLength - 2;
      do {
        ++s->strStart;
        if (s->strStart + kMinMatch <= end) InsertString(s, s->strStart);
      } while (--rest != 0);
      s->matchAvailable = false;
      s->matchLength = kMinMatch - 1;
      ++s->strStart;
      if (flush) Flush(s, t, w, false);
    } else if (s->matchAvailable) {
      if (CtTally(t, s, 0, s->window[s->strStart - 1])) Flush(s, t, w, false);
      ++s->strStart;
      --s->lookahead;
    } else {
      s->matchAvailable = true;
      ++s->strStart;
      --s->lookahead;
    }
  }
}

// The hash of the first two bytes, before the first string is inserted.
void PrimeHash(QOXDeflateMatch* s) {
  s->insH = 0;
  UpdateHash(s, s->window[0]);
  UpdateHash(s, s->window[1]);
}

// Moves the upper half of the window down, with everything that points
// into it.
void SlideWindow(QOXDeflateMatch* s) {
  std::memmove(s->window, s->window + kWindowSize, kWindowSize);
  // The match pending at strStart - 1 may start in the lower half that goes
  // (up to 7930 bytes back from a window slid at 16122): its start moves
  // modulo 2^32, so that strStart - 1 - start still gives its distance.
  s->matchStart -= kWindowSize;
  s->prevMatch -= kWindowSize;
  s->strStart -= kWindowSize;
  s->blockStart -= static_cast<long>(kWindowSize);
  for (auto& h : s->head) h = h >= kWindowSize ? static_cast<uint16_t>(h - kWindowSize) : kNil;
  for (auto& p : s->prev) p = p >= kWindowSize ? static_cast<uint16_t>(p - kWindowSize) : kNil;
}

}  // namespace

QOXDeflateMatch* lm_init(QOXContext* context, uint32_t level) {
  if (level < kQOXDeflateMinLevel || level > kQOXDeflateMaxLevel) return nullptr;
  auto* s = static_cast<QOXDeflateMatch*>(qoxContextMemAlloc(context, sizeof(QOXDeflateMatch), kQOXMemoryMgrFlags_Clear));
  if (s == nullptr) return nullptr;
  s->context = context;
  s->windowSize = kWindowBytes;
  s->prevLength = kMinMatch - 1;
  s->matchLength = kMinMatch - 1;
  const Config& c = kConfigurationTable[level];
  s->goodMatch = c.goodLength;
  s->maxLazy = c.maxLazy;
  s->niceMatch = c.niceLength;
  s->maxChain = c.maxChain;
  return s;
}

void lm_free(QOXDeflateMatch* match) {
  if (match != nullptr) qox_pipeline::WipeAndFree(match->context, match, sizeof *match);
}

QOXDeflateTrees* ct_init(QOXContext* context) {
  auto* t = static_cast<QOXDeflateTrees*>(qoxContextMemAlloc(context, sizeof(QOXDeflateTrees), kQOXMemoryMgrFlags_Clear));
  if (t == nullptr) return nullptr;
  t->context = context;
  InitBlock(t);
  return t;
}

void ct_free(QOXDeflateTrees* trees) {
  if (trees != nullptr) qox_pipeline::WipeAndFree(trees->context, trees, sizeof *trees);
}

QOXBitWriter* bi_init(QOXContext* context, QOXFifo* fifo) {
  if (fifo == nullptr) return nullptr;
  auto* w = static_cast<QOXBitWriter*>(qoxContextMemAlloc(context, sizeof(QOXBitWriter), kQOXMemoryMgrFlags_Clear));
  if (w == nullptr) return nullptr;
  w->context = context;
  w->fifo = fifo;
  return w;
}

void bi_free(QOXBitWriter* writer) {
  if (writer != nullptr) qox_pipeline::WipeAndFree(writer->context, writer, sizeof *writer);
}

void bi_flush(QOXBitWriter* writer) {
  PutWholeBytes(writer);
  if (writer->out != nullptr) byteFifoSkipSpace(writer->fifo, writer->size - writer->left);
  writer->out = nullptr;
  writer->size = 0;
  writer->left = 0;
}

QOXError bi_error(const QOXBitWriter* writer) { return writer->error; }

void zip_input(QOXDeflateMatch* match, QOXDeflateTrees* trees, QOXBitWriter* writer, const uint8_t* bytes,
               size_t count) {
  QOXDeflateMatch* s = match;
  while (count > 0) {
    uint32_t room = s->windowSize - s->strStart - s->lookahead;
    if (room < 2) {
      SlideWindow(s);
      room += kWindowSize;
    }
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(count, room));
    std::memcpy(s->window + s->strStart + s->lookahead, bytes, n);
    s->lookahead += n;
    bytes += n;
    count -= n;
    if (s->lookahead >= kMinLookahead) {
      if (s->strStart == 0) PrimeHash(s);
      DeflateSub(s, trees, writer);
    }
  }
}

void zip_finish(QOXDeflateMatch* match, QOXDeflateTrees* trees, QOXBitWriter* writer) {
  QOXDeflateMatch* s = match;
  s->eofile = true;
  if (s->strStart == 0) PrimeHash(s);
  DeflateSub(s, trees, writer);
  if (s->matchAvailable) {
    CtTally(trees, s, 0, s->window[s->strStart - 1]);
    s->matchAvailable = false;
  }
  Flush(s, trees, writer, true);
}
