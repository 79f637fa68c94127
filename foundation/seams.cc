// Bodies of the calls declared in foundation/seams.h, one block per call.
// Each block is deleted by whoever writes the real implementation.
#include "foundation/seams.h"

#include <cstring>

#include "foundation/context.h"
#include "foundation/sdk_errors.h"

// --- seam: qoxKeyDBBackendUpdate (key database back end) ---
void qoxKeyDBBackendUpdate() {}

// --- seam: qoxSetBackendUpdateNeeded (key database back end) ---
void qoxSetBackendUpdateNeeded() {
  for (QOXContext* c = qoxContextNextContext(nullptr); c != nullptr; c = qoxContextNextContext(c)) {
    qoxContextSetUpdateNeeded(c, true);
  }
}

// --- seam: qoxSDKInitBackEnd (key-database RPC client) ---
QOXError qoxSDKInitBackEnd(int) { return kQOXErrNoErr; }

// --- seam: qoxCharmaps (character sets) ---
namespace {
struct IdentityMap {
  uint8_t bytes[256];
  constexpr IdentityMap() : bytes{} {
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(i);
  }
};
constexpr IdentityMap kIdentityMap;
}  // namespace

QOXError qoxCharmaps(const char* name, size_t length, const uint8_t** firstMap, const uint8_t** secondMap) {
  if (name == nullptr || firstMap == nullptr || secondMap == nullptr) return kQOXErrBadParams;
  static constexpr char kNoConv[] = "noconv";
  if (length != sizeof(kNoConv) - 1) return kQOXErrUnknownCharset;
  for (size_t i = 0; i < length; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kNoConv[i]) return kQOXErrUnknownCharset;
  }
  *firstMap = kIdentityMap.bytes;
  *secondMap = kIdentityMap.bytes;
  return kQOXErrNoErr;
}
