// The SET OF encoder: elements written in DER order (X.690 11.6), the
// encodings compared as octet strings padded with trailing zero octets.
//
// Every element is encoded once into one scratch buffer as large as the
// set's content, each at its own offset and of its own size; the sort then
// orders {size, bytes} pairs with PKICompareElems, which pads virtually and
// reads nothing beyond an element. Scratch memory is thus the size of the
// content, whatever the sizes of the elements.
#include <cstdlib>
#include <cstring>

#include "pki/asn_engine.h"
#include "pki/asn_runtime.h"

namespace ostrak::asn {

uint32_t PackSortedElements(const TypeDesc& t, PKICONTEXT* ctx, uint8_t* out, uint32_t outLen,
                            const PKIListRecord* list, int32_t* err) {
  const size_t count = static_cast<size_t>(list->count);
  auto* pairs = static_cast<PKIEncodedElem*>(Allocate(ctx, count * sizeof(PKIEncodedElem)));
  if (pairs == nullptr) {
    SetError(err, kPKIErrMemory);
    return 0;
  }
  uint64_t content = 0;
  for (size_t i = 0; i < count; ++i) {
    pairs[i].size = Size(*t.element, list->elements[i], 1, 0);
    content += pairs[i].size;
  }
  uint8_t* scratch = content <= UINT32_MAX ? static_cast<uint8_t*>(Allocate(ctx, content ? content : 1)) : nullptr;
  if (scratch == nullptr) {
    Deallocate(ctx, pairs);
    SetError(err, kPKIErrMemory);
    return 0;
  }
  auto release = [&] {
    Deallocate(ctx, scratch);
    Deallocate(ctx, pairs);
  };
  size_t offset = 0;
  for (size_t i = 0; i < count; ++i) {
    uint32_t room = pairs[i].size;
    pairs[i].bytes = scratch + offset;
    pairs[i].size = Pack(*t.element, ctx, pairs[i].bytes, room, list->elements[i], t.tag, err);
    if (*err) {
      release();
      return 0;
    }
    offset += room;
  }
  std::qsort(pairs, count, sizeof(PKIEncodedElem), PKICompareElems);
  for (size_t i = 1; i < count; ++i) {
    if (PKICompareElems(&pairs[i - 1], &pairs[i]) == 0) {
      release();
      SetError(err, kPKIErrDuplicate);
      return 0;
    }
  }
  uint32_t pos = 0;
  for (size_t i = 0; i < count; ++i) {
    if (pairs[i].size > outLen - pos) {
      SetError(err, kPKIErrOutputSmall);
      break;
    }
    if (pairs[i].size != 0) std::memcpy(out + pos, pairs[i].bytes, pairs[i].size);
    pos += pairs[i].size;
  }
  release();
  return pos;
}

}  // namespace ostrak::asn
