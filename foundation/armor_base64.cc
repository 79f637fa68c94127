// The armor helpers over the one Base64 codec (foundation/base64.h).
#include "foundation/armor_base64.h"

#include "foundation/base64.h"

size_t armorInput(const uint8_t* input, size_t length, char* output) {
  return ostrak::Base64Encode(input, length, output);
}

int ArmorBase64Value(unsigned char c) { return ostrak::Base64Value(c); }
