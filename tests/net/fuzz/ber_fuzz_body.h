// One fuzz step for the BER decoder and walkers, shared by the libFuzzer
// target (ber_fuzz.cc) and the random-mutation test that runs under the
// sanitizer build. The input is read from the element exactly as it came;
// destinations of "s" and "o" are allocated with exactly the capacity
// passed, so any write past them is caught.
#ifndef OSTRAK_TESTS_NET_FUZZ_BER_FUZZ_BODY_H_
#define OSTRAK_TESTS_NET_FUZZ_BER_FUZZ_BODY_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/byte_cursor.h"
#include "foundation/memory_mgr.h"
#include "net/ber.h"

namespace ber_fuzz {

// Fills an element so that its bytes from the read index on are the input.
inline QOXberElement* ElementOver(QOXMemoryMgr* mgr, const uint8_t* data, size_t size) {
  QOXberElement* e = nullptr;
  if (qoxNewBERElement(mgr, &e) != kQOXErrNoErr) return nullptr;
  qoxBERStrAppend(e, size ? static_cast<const void*>(data) : "", 4, static_cast<uint32_t>(size));
  uint32_t len = 0;
  QOXberGetLength(e, &len);
  QOXberSetIndex(e, len - static_cast<uint32_t>(size));
  return e;
}

// One decoder call chosen by `which`, with destinations of `cap` bytes.
inline void DecodeOnce(QOXberElement* e, uint8_t which, uint32_t cap) {
  std::unique_ptr<char[]> a(new char[cap]), b(new char[cap]);
  int32_t i1, i2, i3, i4, i5;
  uint32_t t1;
  switch (which % 12) {
    case 0: QOXberRead(e, "{i", &i1); break;
    case 1: QOXberRead(e, "t", &t1); break;
    case 2: QOXberRead(e, "{it", &i1, &t1); break;
    case 3: QOXberRead(e, "eeiib", &i1, &i2, &i3, &i4, &i5); break;
    case 4: QOXberRead(e, "s", a.get(), cap); break;
    case 5: QOXberRead(e, "o", a.get(), cap); break;
    case 6: QOXberRead(e, "*o", a.get(), cap); break;
    case 7: QOXberRead(e, "*s", a.get(), cap); break;
    case 8: QOXberRead(e, "{s[o", a.get(), cap, b.get(), cap); break;
    case 9: QOXberRead(e, "n{b", &i1); break;
    case 10: QOXberRead(e, "ts{*s", &t1, a.get(), cap, b.get(), cap); break;
    case 11: QOXberRead(e, "[*i*e*b*n", &i1, &i2, &i3); break;
  }
}

// Runs a program of decoder and walker steps taken from the input itself:
// the first bytes steer, the rest is the encoding.
inline void Run(QOXMemoryMgr* mgr, const uint8_t* data, size_t size) {
  ostrak::ByteCursor in(data, size);
  uint8_t steps = 0;
  ostrak::ByteCursor program;
  if (!in.get_u8(&steps) || !in.get_sub(steps % 16, &program)) return;
  QOXberElement* e = ElementOver(mgr, in.data(), in.remaining());
  if (e == nullptr) return;
  uint32_t start = 0, length = 0, tag, len;
  QOXberGetIndex(e, &start);
  QOXberGetLength(e, &length);
  uint8_t op;
  while (program.get_u8(&op)) {
    switch (op % 9) {
      case 0: QOXberPeek(e, &tag, &len); break;
      case 1: QOXberNext(e); break;
      case 2: QOXberSkip(e); break;
      case 3: QOXberNextPrimitive(e); break;
      case 4: QOXberNextConstructed(e); break;
      case 5: QOXberSetIndex(e, start + (op >> 4) * 3); break;
      case 6: QOXberSetIndex(e, start); break;
      default: DecodeOnce(e, op >> 3, (op >> 4) * 20); break;
    }
    uint32_t index = 0;
    QOXberGetIndex(e, &index);
    if (index > length) __builtin_trap();  // the index never leaves the encoding
  }
  // Walk everything to the end from the start, as a reader of a whole
  // message would.
  QOXberSetIndex(e, start);
  for (int guard = 0; guard < 100000 && QOXberNextPrimitive(e) == kQOXErrNoErr; ++guard)
    if (QOXberSkip(e) != kQOXErrNoErr) break;
  QOXberSetIndex(e, start);
  for (int guard = 0; guard < 100000 && QOXberNextConstructed(e) == kQOXErrNoErr; ++guard) {
  }
  QOXFreeBERElement(e);
}

}  // namespace ber_fuzz

#endif  // OSTRAK_TESTS_NET_FUZZ_BER_FUZZ_BODY_H_
