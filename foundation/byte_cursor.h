// Bounded reading of outside bytes, and building of encodings.
//
// ByteCursor is the one way this project reads bytes that came from outside
// (the network, a file, a caller's buffer): a non-owning pointer and length.
// Every get_* returns true and advances only when the whole item is there;
// on false the cursor is unchanged. A length read from the input becomes a
// sub-cursor (get_sub / get_u8_prefixed / ...), never a pointer offset, so a
// parser cannot walk outside what it was given whatever the input claims.
//
// ByteBuilder grows an owned buffer for encodings. Length prefixes whose
// size is known in advance are reserved and fixed up later (reserve/fix_be);
// prefixes of variable width (BER) are inserted once the body is known.
//
// Neither type locks: one cursor or builder belongs to one thread at a time.
// A cursor must not outlive the bytes it views.
#ifndef OSTRAK_FOUNDATION_BYTE_CURSOR_H_
#define OSTRAK_FOUNDATION_BYTE_CURSOR_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace ostrak {

class ByteCursor {
 public:
  ByteCursor() = default;
  ByteCursor(const void* data, size_t len)
      : p_(static_cast<const uint8_t*>(data)), n_(data ? len : 0) {}
  explicit ByteCursor(std::span<const uint8_t> s) : ByteCursor(s.data(), s.size()) {}
  explicit ByteCursor(std::string_view s) : ByteCursor(s.data(), s.size()) {}

  const uint8_t* data() const { return p_; }
  size_t remaining() const { return n_; }
  bool empty() const { return n_ == 0; }
  std::span<const uint8_t> span() const { return {p_, n_}; }

  bool peek_u8(uint8_t* out) const {
    if (n_ < 1) return false;
    *out = p_[0];
    return true;
  }
  // True when the next n bytes exist; *out views them without advancing.
  bool peek(size_t n, const uint8_t** out) const {
    if (n_ < n) return false;
    *out = p_;
    return true;
  }

  bool skip(size_t n) {
    if (n_ < n) return false;
    p_ += n;
    n_ -= n;
    return true;
  }

  bool get_u8(uint8_t* out) {
    if (n_ < 1) return false;
    *out = p_[0];
    return skip(1);
  }
  bool get_u16be(uint16_t* out) {
    uint64_t v;
    if (!get_be(2, &v)) return false;
    *out = static_cast<uint16_t>(v);
    return true;
  }
  bool get_u24be(uint32_t* out) {
    uint64_t v;
    if (!get_be(3, &v)) return false;
    *out = static_cast<uint32_t>(v);
    return true;
  }
  bool get_u32be(uint32_t* out) {
    uint64_t v;
    if (!get_be(4, &v)) return false;
    *out = static_cast<uint32_t>(v);
    return true;
  }
  bool get_u16le(uint16_t* out) {
    if (n_ < 2) return false;
    *out = static_cast<uint16_t>(p_[0] | (p_[1] << 8));
    return skip(2);
  }
  bool get_u32le(uint32_t* out) {
    if (n_ < 4) return false;
    *out = static_cast<uint32_t>(p_[0]) | (static_cast<uint32_t>(p_[1]) << 8) |
           (static_cast<uint32_t>(p_[2]) << 16) | (static_cast<uint32_t>(p_[3]) << 24);
    return skip(4);
  }
  // Big-endian unsigned of 1..8 bytes.
  bool get_be(size_t width, uint64_t* out) {
    if (width == 0 || width > 8 || n_ < width) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v = (v << 8) | p_[i];
    *out = v;
    return skip(width);
  }

  // Copies n bytes out.
  bool get_bytes(void* out, size_t n) {
    if (n_ < n) return false;
    if (n) std::memcpy(out, p_, n);
    return skip(n);
  }
  // Views the next n bytes without copying.
  bool get_view(size_t n, const uint8_t** out) {
    if (n_ < n) return false;
    *out = p_;
    return skip(n);
  }
  // Splits the next n bytes off as their own cursor.
  bool get_sub(size_t n, ByteCursor* out) {
    if (n_ < n) return false;
    *out = ByteCursor(p_, n);
    return skip(n);
  }
  bool get_u8_prefixed(ByteCursor* out) { return get_prefixed(1, out); }
  bool get_u16be_prefixed(ByteCursor* out) { return get_prefixed(2, out); }
  bool get_u32be_prefixed(ByteCursor* out) { return get_prefixed(4, out); }

 private:
  // A big-endian length of `width` bytes followed by that many bytes; the
  // cursor moves only when both are there.
  bool get_prefixed(size_t width, ByteCursor* out) {
    ByteCursor c = *this;
    uint64_t len;
    if (!c.get_be(width, &len) || len > c.n_) return false;
    if (!c.get_sub(static_cast<size_t>(len), out)) return false;
    *this = c;
    return true;
  }

  const uint8_t* p_ = nullptr;
  size_t n_ = 0;
};

class ByteBuilder {
 public:
  ByteBuilder() = default;

  const uint8_t* data() const { return buf_.data(); }
  size_t size() const { return buf_.size(); }
  std::span<const uint8_t> span() const { return buf_; }
  std::vector<uint8_t> release() { return std::exchange(buf_, {}); }
  void clear() { buf_.clear(); }
  void reserve(size_t n) { buf_.reserve(n); }

  void append(const void* p, size_t n) {
    if (n == 0) return;
    const uint8_t* b = static_cast<const uint8_t*>(p);
    buf_.insert(buf_.end(), b, b + n);
  }
  void append(std::span<const uint8_t> s) { append(s.data(), s.size()); }
  void append_u8(uint8_t v) { buf_.push_back(v); }
  void append_u16be(uint16_t v) { append_be(v, 2); }
  void append_u32be(uint32_t v) { append_be(v, 4); }
  // Lowest `width` bytes of v, most significant first (width 1..8).
  void append_be(uint64_t v, size_t width) {
    for (size_t i = width; i-- > 0;) buf_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void append_u16le(uint16_t v) {
    buf_.push_back(static_cast<uint8_t>(v));
    buf_.push_back(static_cast<uint8_t>(v >> 8));
  }
  void append_u32le(uint32_t v) {
    for (int i = 0; i < 4; ++i) buf_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }

  // Inserts bytes at `pos` (<= size()); used for prefixes whose width
  // depends on the body, such as BER lengths.
  bool insert(size_t pos, const void* p, size_t n) {
    if (pos > buf_.size()) return false;
    const uint8_t* b = static_cast<const uint8_t*>(p);
    buf_.insert(buf_.begin() + static_cast<std::ptrdiff_t>(pos), b, b + n);
    return true;
  }

  // Reserves a fixed-width length prefix and returns its offset; after the
  // body is appended, fix_be(offset, width) writes the body length there.
  size_t reserve_prefix(size_t width) {
    size_t at = buf_.size();
    buf_.resize(at + width, 0);
    return at;
  }
  // False when the body does not fit in `width` bytes or the offset is bad.
  bool fix_be(size_t offset, size_t width) {
    if (width == 0 || width > 8 || offset > buf_.size() || buf_.size() - offset < width)
      return false;
    uint64_t len = buf_.size() - offset - width;
    if (width < 8 && (len >> (8 * width)) != 0) return false;
    for (size_t i = 0; i < width; ++i)
      buf_[offset + i] = static_cast<uint8_t>(len >> (8 * (width - 1 - i)));
    return true;
  }

 private:
  std::vector<uint8_t> buf_;
};

}  // namespace ostrak

#endif  // OSTRAK_FOUNDATION_BYTE_CURSOR_H_
