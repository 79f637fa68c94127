// The RFC 1951 decoder.
//
// Bits are read least significant first into a 64-bit buffer whose bits
// above `bitCount` are always zero. Decoding tables are canonical Huffman
// codes turned into a root table indexed by the next `root` bits, with
// second-level tables for longer codes; every entry carries the code's
// full length, so a symbol is taken by one shift. Two decoders of a symbol
// exist: the fast one runs while at least 8 input bytes and 260 bytes of
// window room remain (one refill covers a whole length/distance pair), the
// careful one commits a symbol, with its extra bits and distance, only when
// every bit of it is at hand, so a stream may stop at any byte and resume.
#include "pipeline/inflate.h"

#include <algorithm>
#include <cstring>

#include "foundation/byte_cursor.h"
#include "foundation/byte_order.h"
#include "foundation/context.h"

namespace {

using ostrak::ByteCursor;

enum State : uint8_t {
  kBlockStart = 0,
  kStoredHeader = 1,
  kStoredCopy = 2,
  kTableCounts = 3,
  kCodeLengthLengths = 4,
  kLengths = 5,
  kCodes = 6,
  kCheckEnd = 7,
  kFailed = 8,
};

constexpr int kWindowFull = 3;  // internal: stop until the window is read
constexpr size_t kMask = kInfWindowSize - 1;
constexpr size_t kMaxMatch = 258;
constexpr size_t kFastRoom = kMaxMatch + 2;  // a match and a literal pair

enum Op : uint8_t { kOpInvalid = 0, kOpLiteral, kOpBase, kOpEnd, kOpLink };

struct Entry {
  uint16_t value;  // literal, base, or the offset of a second-level table
  uint8_t op;
  uint8_t bits;    // the code's full length (0: an unused slot)
  uint8_t extra;   // extra bits of a base
  uint8_t subBits; // link: index bits of the second-level table
};

enum class Kind { kLitLen, kDist, kCodeLen };

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

constexpr int kMaxBits = 15;
constexpr int kLitRoot = 10;
constexpr int kDistRoot = 8;
constexpr int kCodeLenRoot = 7;
// Room for any complete or permitted code (root table plus second-level
// tables); the builder refuses to go past it in any case.
constexpr size_t kLitTableSize = 2048;
constexpr size_t kDistTableSize = 1024;
constexpr size_t kCodeLenTableSize = size_t{1} << kCodeLenRoot;
constexpr size_t kMaxLitLen = 286;
constexpr size_t kMaxDist = 30;

struct Table {
  const Entry* entries;
  int root;
};

constexpr uint64_t Mask(int bits) { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }

Entry SymbolEntry(Kind kind, unsigned symbol, int length) {
  Entry e{};
  e.bits = static_cast<uint8_t>(length);
  switch (kind) {
    case Kind::kCodeLen:
      e.op = kOpLiteral;
      e.value = static_cast<uint16_t>(symbol);
      break;
    case Kind::kLitLen:
      if (symbol < 256) {
        e.op = kOpLiteral;
        e.value = static_cast<uint16_t>(symbol);
      } else if (symbol == 256) {
        e.op = kOpEnd;
      } else if (symbol < 257 + 29) {
        e.op = kOpBase;
        e.value = kLengthBase[symbol - 257];
        e.extra = kLengthExtra[symbol - 257];
      }  // 286 and 287: invalid, with their length
      break;
    case Kind::kDist:
      if (symbol < 30) {
        e.op = kOpBase;
        e.value = kDistBase[symbol];
        e.extra = kDistExtra[symbol];
      }  // 30 and 31: invalid
      break;
  }
  return e;
}

unsigned Reverse(unsigned code, int length) {
  unsigned r = 0;
  for (int i = 0; i < length; ++i) {
    r = (r << 1) | (code & 1);
    code >>= 1;
  }
  return r;
}

// Builds the decoding table of n code lengths (each 0..15). False for a
// code that is over-subscribed, or incomplete where that is not allowed:
// RFC 1951 allows a single code of length 1 (and no codes at all for
// distances); the fixed distance code (allowIncomplete) leaves 30 and 31
// unused.
bool BuildTable(Kind kind, const uint8_t* lengths, size_t n, int root, Entry* table, size_t capacity,
                bool allowIncomplete) {
  unsigned count[kMaxBits + 1] = {};
  for (size_t s = 0; s < n; ++s) ++count[lengths[s] & 15];
  count[0] = 0;
  int left = 1;
  int maxLength = 0;
  unsigned used = 0;
  for (int len = 1; len <= kMaxBits; ++len) {
    left <<= 1;
    left -= static_cast<int>(count[len]);
    if (left < 0) return false;
    if (count[len] > 0) maxLength = len;
    used += count[len];
  }
  if (left > 0 && !allowIncomplete) {
    bool single = used == 1 && maxLength == 1;
    bool none = used == 0 && kind == Kind::kDist;
    if (kind == Kind::kCodeLen || !(single || none)) return false;
  }
  unsigned next[kMaxBits + 2] = {};
  unsigned code = 0;
  for (int len = 1; len <= kMaxBits; ++len) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  unsigned codes[320];
  for (size_t s = 0; s < n; ++s) codes[s] = lengths[s] ? next[lengths[s]]++ : 0;

  const size_t rootSize = size_t{1} << root;
  if (rootSize > capacity) return false;
  std::fill(table, table + rootSize, Entry{});
  uint8_t subBits[1u << kLitRoot] = {};
  uint16_t subOffset[1u << kLitRoot] = {};
  for (size_t s = 0; s < n; ++s) {
    int len = lengths[s];
    if (len <= root) continue;
    unsigned r = Reverse(codes[s], len) & static_cast<unsigned>(rootSize - 1);
    subBits[r] = std::max<uint8_t>(subBits[r], static_cast<uint8_t>(len - root));
  }
  size_t offset = rootSize;
  for (size_t r = 0; r < rootSize; ++r) {
    if (subBits[r] == 0) continue;
    size_t size = size_t{1} << subBits[r];
    if (offset + size > capacity) return false;
    std::fill(table + offset, table + offset + size, Entry{});
    table[r] = Entry{static_cast<uint16_t>(offset), kOpLink, static_cast<uint8_t>(root), 0, subBits[r]};
    subOffset[r] = static_cast<uint16_t>(offset);
    offset += size;
  }
  for (size_t s = 0; s < n; ++s) {
    int len = lengths[s];
    if (len == 0) continue;
    unsigned rev = Reverse(codes[s], len);
    Entry e = SymbolEntry(kind, static_cast<unsigned>(s), len);
    if (len <= root) {
      for (size_t i = rev; i < rootSize; i += size_t{1} << len) table[i] = e;
    } else {
      unsigned r = rev & static_cast<unsigned>(rootSize - 1);
      size_t size = size_t{1} << subBits[r];
      for (size_t i = rev >> root; i < size; i += size_t{1} << (len - root)) table[subOffset[r] + i] = e;
    }
  }
  return true;
}

}  // namespace

struct QOXInflate {
  QOXContext* context;
  State state;
  int error;  // the stored error in kFailed
  bool lastBlock;
  bool fixedBuilt;
  uint8_t window[kInfWindowSize];
  size_t writePosition;
  size_t readPosition;
  uint64_t bits;
  int bitCount;
  Table lit;
  Table dist;
  // Code lengths: the 19 bit-length code lengths, then HLIT + HDIST lengths.
  uint8_t codeLengthLengths[19];
  uint8_t lengths[kMaxLitLen + kMaxDist];
  unsigned hclen;  // HCLEN + 4
  unsigned hlit;   // HLIT + 257
  unsigned hdist;  // HDIST + 1
  unsigned index;  // next length to read
  size_t storedLeft;
  size_t copyLength;
  size_t copyDistance;
  Entry codeLenTable[kCodeLenTableSize];
  Entry litTable[kLitTableSize];
  Entry distTable[kDistTableSize];
  Entry fixedLit[size_t{1} << kLitRoot];
  Entry fixedDist[size_t{1} << kDistRoot];
};

namespace {

// Tops the buffer up to at least 56 bits, never past 63.
void Refill(QOXInflate* d, ByteCursor* in) {
  uint8_t b = 0;
  while (d->bitCount < 56 && in->get_u8(&b)) {
    d->bits |= uint64_t{b} << d->bitCount;
    d->bitCount += 8;
  }
}

void Drop(QOXInflate* d, int n) {
  d->bits >>= n;
  d->bitCount -= n;
}

// Looks a symbol up without taking it: 1 found (in *out), 0 more bits
// needed, -1 no such code.
int Peek(const Table& t, uint64_t bits, int available, Entry* out) {
  Entry e = t.entries[bits & Mask(t.root)];
  if (e.op == kOpLink) {
    if (available < t.root) return 0;
    int level = t.root + e.subBits;
    e = t.entries[e.value + ((bits >> t.root) & Mask(e.subBits))];
    if (e.bits == 0) return available >= level ? -1 : 0;
  } else if (e.bits == 0) {
    return available >= t.root ? -1 : 0;
  }
  if (available < e.bits) return 0;
  if (e.op == kOpInvalid) return -1;
  *out = e;
  return 1;
}

void BuildFixed(QOXInflate* d) {
  uint8_t lengths[288];
  std::fill(lengths, lengths + 144, 8);
  std::fill(lengths + 144, lengths + 256, 9);
  std::fill(lengths + 256, lengths + 280, 7);
  std::fill(lengths + 280, lengths + 288, 8);
  BuildTable(Kind::kLitLen, lengths, 288, kLitRoot, d->fixedLit, std::size(d->fixedLit), false);
  std::fill(lengths, lengths + 30, 5);
  BuildTable(Kind::kDist, lengths, 30, kDistRoot, d->fixedDist, std::size(d->fixedDist), true);
  d->fixedBuilt = true;
}

// Copies the pending match as far as the window allows.
int CopyPending(QOXInflate* d) {
  size_t room = kInfWindowSize - d->writePosition;
  size_t n = std::min(d->copyLength, room);
  size_t from = (d->writePosition - d->copyDistance) & kMask;
  for (size_t i = 0; i < n; ++i) d->window[d->writePosition + i] = d->window[(from + i) & kMask];
  d->writePosition += n;
  d->copyLength -= n;
  return d->copyLength > 0 ? kWindowFull : kInfGoOn;
}

void EndBlock(QOXInflate* d) { d->state = d->lastBlock ? kCheckEnd : kBlockStart; }

// Decodes symbols while input and window room are plentiful.
int DecodeFast(QOXInflate* d, ByteCursor* in) {
  uint8_t* window = d->window;
  size_t out = d->writePosition;
  const Entry* lit = d->lit.entries;
  const Entry* dist = d->dist.entries;
  const uint64_t litMask = Mask(d->lit.root);
  const uint64_t distMask = Mask(d->dist.root);
  const int litRoot = d->lit.root;
  const int distRoot = d->dist.root;
  uint64_t bits = d->bits;
  int count = d->bitCount;
  int result = kInfGoOn;
  const uint8_t* p = nullptr;
  while (kInfWindowSize - out >= kFastRoom && in->peek(8, &p)) {
    bits |= LoadLE64(p) << count;
    size_t took = static_cast<size_t>(63 - count) >> 3;
    in->skip(took);
    count += static_cast<int>(took * 8);
    bits &= Mask(count);

    Entry e = lit[bits & litMask];
    if (e.op == kOpLink) e = lit[e.value + ((bits >> litRoot) & Mask(e.subBits))];
    if (e.op == kOpLiteral) {
      bits >>= e.bits;
      count -= e.bits;
      window[out++] = static_cast<uint8_t>(e.value);
      // A second literal fits in the bits at hand (at least 41 remain).
      e = lit[bits & litMask];
      if (e.op == kOpLink) e = lit[e.value + ((bits >> litRoot) & Mask(e.subBits))];
      if (e.op != kOpLiteral) continue;
      bits >>= e.bits;
      count -= e.bits;
      window[out++] = static_cast<uint8_t>(e.value);
      continue;
    }
    if (e.op == kOpEnd) {
      bits >>= e.bits;
      count -= e.bits;
      EndBlock(d);
      break;
    }
    if (e.op != kOpBase) {
      result = kInfInvalid;
      break;
    }
    bits >>= e.bits;
    count -= e.bits;
    size_t length = e.value + static_cast<size_t>(bits & Mask(e.extra));
    bits >>= e.extra;
    count -= e.extra;
    Entry de = dist[bits & distMask];
    if (de.op == kOpLink) de = dist[de.value + ((bits >> distRoot) & Mask(de.subBits))];
    if (de.op != kOpBase) {
      result = kInfInvalid;
      break;
    }
    bits >>= de.bits;
    count -= de.bits;
    size_t distance = de.value + static_cast<size_t>(bits & Mask(de.extra));
    bits >>= de.extra;
    count -= de.extra;
    if (distance <= out) {
      uint8_t* to = window + out;
      const uint8_t* from = to - distance;
      size_t i = 0;
      if (distance >= 8) {
        // Chunks of 8 never read a byte before it is written. Nothing is
        // written past the match: the bytes there are the window's oldest,
        // which the longest distances still reach.
        for (; i + 8 <= length; i += 8) std::memcpy(to + i, from + i, 8);
      }
      for (; i < length; ++i) to[i] = from[i];
    } else {
      size_t from = (out - distance) & kMask;
      for (size_t i = 0; i < length; ++i) window[out + i] = window[(from + i) & kMask];
    }
    out += length;
  }
  d->writePosition = out;
  d->bits = bits;
  d->bitCount = count;
  return result;
}

// Decodes one symbol (and its match) if every bit of it is at hand.
int DecodeCareful(QOXInflate* d, ByteCursor* in) {
  Refill(d, in);
  Entry e{};
  int found = Peek(d->lit, d->bits, d->bitCount, &e);
  if (found <= 0) return found == 0 ? kInfNeedInput : kInfInvalid;
  if (e.op == kOpLiteral) {
    if (d->writePosition == kInfWindowSize) return kWindowFull;
    d->window[d->writePosition++] = static_cast<uint8_t>(e.value);
    Drop(d, e.bits);
    return kInfGoOn;
  }
  if (e.op == kOpEnd) {
    Drop(d, e.bits);
    EndBlock(d);
    return kInfGoOn;
  }
  int used = e.bits + e.extra;
  if (d->bitCount < used) return kInfNeedInput;
  size_t length = e.value + static_cast<size_t>((d->bits >> e.bits) & Mask(e.extra));
  Entry de{};
  found = Peek(d->dist, d->bits >> used, d->bitCount - used, &de);
  if (found <= 0) return found == 0 ? kInfNeedInput : kInfInvalid;
  int total = used + de.bits + de.extra;
  if (d->bitCount < total) return kInfNeedInput;
  size_t distance = de.value + static_cast<size_t>((d->bits >> (used + de.bits)) & Mask(de.extra));
  Drop(d, total);
  d->copyLength = length;
  d->copyDistance = distance;
  return CopyPending(d);
}

int StepCodes(QOXInflate* d, ByteCursor* in) {
  if (d->copyLength > 0) {
    int r = CopyPending(d);
    if (r != kInfGoOn) return r;
  }
  for (;;) {
    if (d->state != kCodes) return kInfGoOn;
    int r = DecodeFast(d, in);
    if (r != kInfGoOn || d->state != kCodes) return r;
    r = DecodeCareful(d, in);
    if (r != kInfGoOn) return r;
  }
}

int StepStoredCopy(QOXInflate* d, ByteCursor* in) {
  while (d->storedLeft > 0) {
    if (d->writePosition == kInfWindowSize) return kWindowFull;
    if (d->bitCount >= 8) {
      d->window[d->writePosition++] = static_cast<uint8_t>(d->bits);
      Drop(d, 8);
      --d->storedLeft;
      continue;
    }
    size_t n = std::min({d->storedLeft, kInfWindowSize - d->writePosition, in->remaining()});
    if (n == 0) return kInfNeedInput;
    in->get_bytes(d->window + d->writePosition, n);
    d->writePosition += n;
    d->storedLeft -= n;
  }
  EndBlock(d);
  return kInfGoOn;
}

int StepLengths(QOXInflate* d, ByteCursor* in) {
  const Table codeLen{d->codeLenTable, kCodeLenRoot};
  const unsigned total = d->hlit + d->hdist;
  while (d->index < total) {
    Refill(d, in);
    Entry e{};
    int found = Peek(codeLen, d->bits, d->bitCount, &e);
    if (found <= 0) return found == 0 ? kInfNeedInput : kInfInvalid;
    unsigned symbol = e.value;
    if (symbol < 16) {
      Drop(d, e.bits);
      d->lengths[d->index++] = static_cast<uint8_t>(symbol);
      continue;
    }
    int extra = symbol == 16 ? 2 : symbol == 17 ? 3 : 7;
    if (d->bitCount < e.bits + extra) return kInfNeedInput;
    unsigned repeat = static_cast<unsigned>((d->bits >> e.bits) & Mask(extra)) + (symbol == 16 ? 3 : symbol == 17 ? 3 : 11);
    uint8_t value = 0;
    if (symbol == 16) {
      if (d->index == 0) return kInfInvalid;
      value = d->lengths[d->index - 1];
    }
    if (d->index + repeat > total) return kInfInvalid;
    Drop(d, e.bits + extra);
    std::fill(d->lengths + d->index, d->lengths + d->index + repeat, value);
    d->index += repeat;
  }
  if (d->lengths[256] == 0) return kInfInvalid;  // no end-of-block code
  if (!BuildTable(Kind::kLitLen, d->lengths, d->hlit, kLitRoot, d->litTable, kLitTableSize, false) ||
      !BuildTable(Kind::kDist, d->lengths + d->hlit, d->hdist, kDistRoot, d->distTable, kDistTableSize, false)) {
    return kInfInvalid;
  }
  d->lit = Table{d->litTable, kLitRoot};
  d->dist = Table{d->distTable, kDistRoot};
  d->state = kCodes;
  return kInfGoOn;
}

// The padding of the last byte is looked at first, so the answer does not
// depend on how much input was read ahead.
int CheckEnd(QOXInflate* d, const ByteCursor* in) {
  if ((d->bits & Mask(d->bitCount & 7)) != 0) return kInfInvalid;
  if (!in->empty() || d->bitCount >= 8) return kInfDataAfterEnd;
  return kInfStreamEnd;
}

int Step(QOXInflate* d, ByteCursor* in) {
  switch (d->state) {
    case kBlockStart: {
      Refill(d, in);
      if (d->bitCount < 3) return kInfNeedInput;
      d->lastBlock = (d->bits & 1) != 0;
      unsigned type = static_cast<unsigned>((d->bits >> 1) & 3);
      Drop(d, 3);
      switch (type) {
        case 0:
          d->state = kStoredHeader;
          return kInfGoOn;
        case 1:
          if (!d->fixedBuilt) BuildFixed(d);
          d->lit = Table{d->fixedLit, kLitRoot};
          d->dist = Table{d->fixedDist, kDistRoot};
          d->state = kCodes;
          return kInfGoOn;
        case 2:
          d->state = kTableCounts;
          return kInfGoOn;
        default:
          return kInfInvalid;
      }
    }
    case kStoredHeader: {
      Drop(d, d->bitCount & 7);
      Refill(d, in);
      if (d->bitCount < 32) return kInfNeedInput;
      unsigned length = static_cast<unsigned>(d->bits & 0xFFFF);
      unsigned complement = static_cast<unsigned>((d->bits >> 16) & 0xFFFF);
      if ((length ^ 0xFFFF) != complement) return kInfInvalid;
      Drop(d, 32);
      d->storedLeft = length;
      d->state = kStoredCopy;
      return kInfGoOn;
    }
    case kStoredCopy:
      return StepStoredCopy(d, in);
    case kTableCounts: {
      Refill(d, in);
      if (d->bitCount < 14) return kInfNeedInput;
      d->hlit = static_cast<unsigned>(d->bits & 31) + 257;
      d->hdist = static_cast<unsigned>((d->bits >> 5) & 31) + 1;
      d->hclen = static_cast<unsigned>((d->bits >> 10) & 15) + 4;
      Drop(d, 14);
      if (d->hlit > kMaxLitLen || d->hdist > kMaxDist) return kInfInvalid;
      std::memset(d->codeLengthLengths, 0, sizeof d->codeLengthLengths);
      d->index = 0;
      d->state = kCodeLengthLengths;
      return kInfGoOn;
    }
    case kCodeLengthLengths:
      while (d->index < d->hclen) {
        Refill(d, in);
        if (d->bitCount < 3) return kInfNeedInput;
        d->codeLengthLengths[kCodeLengthOrder[d->index++]] = static_cast<uint8_t>(d->bits & 7);
        Drop(d, 3);
      }
      if (!BuildTable(Kind::kCodeLen, d->codeLengthLengths, 19, kCodeLenRoot, d->codeLenTable, kCodeLenTableSize,
                      false)) {
        return kInfInvalid;
      }
      std::memset(d->lengths, 0, sizeof d->lengths);
      d->index = 0;
      d->state = kLengths;
      return kInfGoOn;
    case kLengths:
      return StepLengths(d, in);
    case kCodes:
      return StepCodes(d, in);
    case kCheckEnd:
      return CheckEnd(d, in);
    case kFailed:
    default:
      return d->error != 0 ? d->error : kInfInvalid;
  }
}

}  // namespace

QOXInflate* infAlloc(QOXContext* context) {
  auto* d = static_cast<QOXInflate*>(qoxContextMemAlloc(context, sizeof(QOXInflate), kQOXMemoryMgrFlags_Clear));
  if (d == nullptr) return nullptr;
  d->context = context;
  d->state = kBlockStart;
  return d;
}

size_t infWrite(QOXInflate* d, const uint8_t* bytes, size_t count, int* error) {
  *error = kInfGoOn;
  if (d->state == kFailed) {
    *error = d->error;
    return 0;
  }
  if (d->writePosition == kInfWindowSize) return 0;
  ByteCursor in(bytes, count);
  int r = kInfGoOn;
  do {
    r = Step(d, &in);
  } while (r == kInfGoOn);
  if (r < 0) {
    d->state = kFailed;
    d->error = r;
    *error = r;
  }
  return count - in.remaining();
}

const uint8_t* infGetBytes(QOXInflate* d, size_t* count) {
  *count = d->writePosition - d->readPosition;
  return *count > 0 ? d->window + d->readPosition : nullptr;
}

void infSkipBytes(QOXInflate* d, size_t count) {
  d->readPosition += std::min(count, d->writePosition - d->readPosition);
  if (d->readPosition == kInfWindowSize) d->readPosition = d->writePosition = 0;
}

int infEOF(QOXInflate* d) {
  if (d->state == kFailed) return d->error;
  if (d->state != kCheckEnd) return kInfNotFinished;
  ByteCursor none;
  int r = CheckEnd(d, &none);
  if (r < 0) {
    d->state = kFailed;
    d->error = r;
    return r;
  }
  return 0;
}

void infFree(QOXInflate* d) {
  if (d == nullptr) return;
  QOXContext* context = d->context;
  std::memset(static_cast<void*>(d), 0, sizeof *d);
  qoxContextMemFree(context, d);
}
