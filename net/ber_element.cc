// Creation, release and the index accessors of BER elements.
#include <new>

#include "foundation/errors.h"
#include "foundation/memory_mgr.h"
#include "net/ber.h"
#include "net/ber_internal.h"

namespace ostrak::ber {

void ResetElement(QOXberElement* e) {
  if (e->encoding) QOXFreeData(e->encoding);
  if (e->frames) QOXFreeData(e->frames);
  e->encoding = nullptr;
  e->frames = nullptr;
  e->length = e->capacity = 0;
  e->depth = e->frameCapacity = 0;
}

}  // namespace ostrak::ber

using ostrak::ber::ClosedLength;
using ostrak::ber::ValidElement;

QOXError qoxNewBERElement(QOXMemoryMgr* mgr, QOXberElement** outElement) {
  if (outElement == nullptr || mgr == nullptr) return kQOXErrBadParams;
  void* block = QOXNewData(mgr, sizeof(QOXberElement), kQOXMemoryMgrFlags_Clear);
  if (block == nullptr) return kQOXErrOutOfMemory;
  QOXberElement* e = new (block) QOXberElement{};
  e->magic = kQOXberElementMagic;
  e->mgr = mgr;
  *outElement = e;
  return kQOXErrNoErr;
}

QOXError QOXFreeBERElement(QOXberElement* element) {
  if (!ValidElement(element)) return kQOXErrBadParams;
  ostrak::ber::ResetElement(element);
  element->magic = 0;
  QOXFreeData(element);
  return kQOXErrNoErr;
}

QOXError QOXberGetEncoding(QOXberElement* element, const uint8_t** outEncoding) {
  if (!ValidElement(element) || outEncoding == nullptr) return kQOXErrBadParams;
  *outEncoding = element->encoding;
  return kQOXErrNoErr;
}

QOXError QOXberGetLength(QOXberElement* element, uint32_t* outLength) {
  if (!ValidElement(element) || outLength == nullptr) return kQOXErrBadParams;
  *outLength = ClosedLength(element);
  return kQOXErrNoErr;
}

QOXError QOXberGetIndex(QOXberElement* element, uint32_t* outIndex) {
  if (!ValidElement(element) || outIndex == nullptr) return kQOXErrBadParams;
  *outIndex = element->index;
  return kQOXErrNoErr;
}

QOXError QOXberSetIndex(QOXberElement* element, uint32_t index) {
  if (!ValidElement(element) || index > ClosedLength(element)) return kQOXErrBadParams;
  element->index = index;
  return kQOXErrNoErr;
}

QOXError QOXberRewind(QOXberElement* element) {
  if (!ValidElement(element)) return kQOXErrBadParams;
  element->index = 0;
  return kQOXErrNoErr;
}
