#include "keydb/subpacket_reader.h"

namespace {

constexpr uint8_t kTwoByteFirst = 192;
constexpr uint8_t kFiveByte = 255;

}  // namespace

QOXSubpacketNext qoxNextSubpacket(ostrak::ByteCursor* area, QOXSubpacket* out) {
  if (area->empty()) return QOXSubpacketNext::kEnd;
  ostrak::ByteCursor c = *area;
  uint8_t first = 0;
  c.get_u8(&first);
  uint64_t length = first;
  if (first >= kTwoByteFirst && first < kFiveByte) {
    uint8_t second = 0;
    if (!c.get_u8(&second)) return QOXSubpacketNext::kMalformed;
    length = ((uint64_t{first} - kTwoByteFirst) << 8) + second + kTwoByteFirst;
  } else if (first == kFiveByte) {
    uint32_t four = 0;
    if (!c.get_u32be(&four)) return QOXSubpacketNext::kMalformed;
    length = four;
  }
  ostrak::ByteCursor whole;
  if (length == 0 || length > c.remaining() || !c.get_sub(static_cast<size_t>(length), &whole))
    return QOXSubpacketNext::kMalformed;
  whole.get_u8(&out->typeByte);
  out->data = whole;
  *area = c;
  return QOXSubpacketNext::kOne;
}
