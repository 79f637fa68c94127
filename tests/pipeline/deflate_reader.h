// A small, slow, independent RFC 1951 reader for the deflate tests: it
// decodes a raw deflate stream bit by bit and records what the stream is
// made of (block types, the farthest distance of any match), so that tests
// can check properties of the compressor's output that another
// decompressor does not show.
#ifndef OSTRAK_TESTS_PIPELINE_DEFLATE_READER_H_
#define OSTRAK_TESTS_PIPELINE_DEFLATE_READER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace deflate_reader {

struct Stream {
  bool ok = false;              // a complete stream, nothing after its last block
  std::vector<uint8_t> out;     // the decoded bytes
  uint32_t maxDistance = 0;     // farthest match
  uint32_t blocks[3] = {0, 0, 0};  // stored, static, dynamic
};

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  Stream Read() {
    Stream s;
    bool last = false;
    while (!last) {
      if (!Bits(1, &last)) return s;
      uint32_t type;
      if (!Bits(2, &type) || type == 3) return s;
      ++s.blocks[type];
      if (type == 0) {
        if (bit_ != 0) {  // to the byte boundary
          bit_ = 0;
          ++pos_;
        }
        uint32_t len, nlen;
        if (!Bytes16(&len) || !Bytes16(&nlen) || (len ^ 0xFFFF) != nlen || pos_ + len > size_) return s;
        s.out.insert(s.out.end(), data_ + pos_, data_ + pos_ + len);
        pos_ += len;
        continue;
      }
      std::vector<uint8_t> lit(288), dist(32);
      if (type == 1) {
        for (int i = 0; i < 288; ++i) lit[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        for (auto& d : dist) d = 5;
      } else if (!Header(&lit, &dist)) {
        return s;
      }
      Huffman litCode(lit), distCode(dist);
      for (;;) {
        int sym = litCode.Decode(this);
        if (sym < 0 || sym > 285) return s;
        if (sym < 256) {
          s.out.push_back(static_cast<uint8_t>(sym));
          continue;
        }
        if (sym == 256) break;
        static constexpr std::array<uint16_t, 29> kBase = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                                           15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                                           67, 83, 99, 115, 131, 163, 195, 227, 258};
        static constexpr std::array<uint8_t, 29> kExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        uint32_t extra;
        if (!Bits(kExtra[sym - 257], &extra)) return s;
        uint32_t length = kBase[sym - 257] + extra;
        int dsym = distCode.Decode(this);
        if (dsym < 0 || dsym > 29) return s;
        uint32_t dbase = dsym < 4 ? dsym + 1 : ((2u + (dsym & 1)) << ((dsym >> 1) - 1)) + 1;
        uint32_t dextra = dsym < 4 ? 0 : (dsym >> 1) - 1;
        if (!Bits(dextra, &extra)) return s;
        uint32_t distance = dbase + extra;
        if (distance > s.out.size()) return s;
        if (distance > s.maxDistance) s.maxDistance = distance;
        for (uint32_t i = 0; i < length; ++i) s.out.push_back(s.out[s.out.size() - distance]);
      }
    }
    // Padding bits zero, nothing after the last byte.
    if (bit_ != 0) {
      if ((data_[pos_] >> bit_) != 0) return s;
      ++pos_;
    }
    s.ok = pos_ == size_;
    return s;
  }

  bool Bits(uint32_t n, uint32_t* value) {
    *value = 0;
    for (uint32_t i = 0; i < n; ++i) {
      if (pos_ >= size_) return false;
      *value |= static_cast<uint32_t>((data_[pos_] >> bit_) & 1) << i;
      if (++bit_ == 8) {
        bit_ = 0;
        ++pos_;
      }
    }
    return true;
  }
  bool Bits(uint32_t n, bool* value) {
    uint32_t v;
    if (!Bits(n, &v)) return false;
    *value = v != 0;
    return true;
  }

 private:
  // Canonical Huffman decoding, one bit at a time.
  struct Huffman {
    std::array<uint16_t, 16> count{};
    std::vector<uint16_t> symbols;
    explicit Huffman(const std::vector<uint8_t>& lengths) {
      for (uint8_t l : lengths) ++count[l];
      count[0] = 0;
      std::array<uint16_t, 16> offs{};
      for (int i = 1; i < 16; ++i) offs[i] = offs[i - 1] + count[i - 1];
      symbols.resize(lengths.size());
      for (size_t s = 0; s < lengths.size(); ++s) {
        if (lengths[s] != 0) symbols[offs[lengths[s]]++] = static_cast<uint16_t>(s);
      }
    }
    int Decode(Reader* r) const {
      int code = 0, first = 0, index = 0;
      for (int len = 1; len < 16; ++len) {
        uint32_t b;
        if (!r->Bits(1, &b)) return -1;
        code |= static_cast<int>(b);
        int n = count[len];
        if (code - n < first) return symbols[index + (code - first)];
        index += n;
        first += n;
        first <<= 1;
        code <<= 1;
      }
      return -1;
    }
  };

  bool Header(std::vector<uint8_t>* lit, std::vector<uint8_t>* dist) {
    uint32_t hlit, hdist, hclen;
    if (!Bits(5, &hlit) || !Bits(5, &hdist) || !Bits(4, &hclen)) return false;
    static constexpr std::array<uint8_t, 19> kOrder = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    std::vector<uint8_t> bl(19);
    for (uint32_t i = 0; i < hclen + 4; ++i) {
      uint32_t v;
      if (!Bits(3, &v)) return false;
      bl[kOrder[i]] = static_cast<uint8_t>(v);
    }
    Huffman blCode(bl);
    std::vector<uint8_t> lengths;
    while (lengths.size() < hlit + 257 + hdist + 1) {
      int sym = blCode.Decode(this);
      if (sym < 0) return false;
      uint32_t rep = 0;
      uint8_t value = 0;
      if (sym < 16) {
        lengths.push_back(static_cast<uint8_t>(sym));
        continue;
      }
      if (sym == 16) {
        if (lengths.empty() || !Bits(2, &rep)) return false;
        value = lengths.back();
        rep += 3;
      } else if (sym == 17) {
        if (!Bits(3, &rep)) return false;
        rep += 3;
      } else {
        if (!Bits(7, &rep)) return false;
        rep += 11;
      }
      lengths.insert(lengths.end(), rep, value);
    }
    if (lengths.size() != hlit + 257 + hdist + 1) return false;
    lit->assign(lengths.begin(), lengths.begin() + hlit + 257);
    dist->assign(lengths.begin() + hlit + 257, lengths.end());
    return true;
  }

  bool Bytes16(uint32_t* v) {
    if (pos_ + 2 > size_) return false;
    *v = data_[pos_] | (data_[pos_ + 1] << 8);
    pos_ += 2;
    return true;
  }

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  int bit_ = 0;
};

inline Stream Read(const std::vector<uint8_t>& stream) { return Reader(stream.data(), stream.size()).Read(); }

}  // namespace deflate_reader

#endif  // OSTRAK_TESTS_PIPELINE_DEFLATE_READER_H_
