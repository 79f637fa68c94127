// Seam: the key database's key-ID calls for the client's TLS key. Whoever
// lands the key database replaces this block in the same commit.
#include "server/access_control.h"

// --- seam: vuzizClientKeyIDText (key database) ---
QOXError vuzizClientKeyIDText(QOXContext* /*context*/, QOXKeyDBObj* /*key*/, char* text, size_t size) {
  if (text != nullptr && size != 0) text[0] = '\0';
  return kQOXErrFeatureNotAvailable;
}
