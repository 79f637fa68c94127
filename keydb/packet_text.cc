#include "keydb/packet_text.h"

#include <cstring>

#include "foundation/context.h"
#include "foundation/regex.h"

char* qoxPacketTextCopy(QOXContext* context, const uint8_t* bytes, size_t length) {
  const void* nul = bytes != nullptr && length != 0 ? std::memchr(bytes, 0, length) : nullptr;
  const size_t n = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes)
                                  : (bytes != nullptr ? length : 0);
  auto* text = static_cast<char*>(qoxContextMemAlloc(context, n + 1, 0));
  if (text == nullptr) return nullptr;
  if (n != 0) std::memcpy(text, bytes, n);
  text[n] = '\0';
  return text;
}

QOXError qoxRegCompPacketText(QOXContext* context, const uint8_t* bytes, size_t length, QOXRegExp** outExpression) {
  if (outExpression != nullptr) *outExpression = nullptr;
  char* text = qoxPacketTextCopy(context, bytes, length);
  if (text == nullptr) return kQOXErrOutOfMemory;
  const QOXError err = qoxRegComp(context, text, outExpression);
  qoxContextMemFree(context, text);
  return err;
}

int qoxRegExecPacketText(QOXContext* context, const QOXRegExp* expression, const uint8_t* bytes, size_t length) {
  char* text = qoxPacketTextCopy(context, bytes, length);
  if (text == nullptr) return kQOXErrOutOfMemory;
  const int result = qoxRegExec(expression, text);
  qoxContextMemFree(context, text);
  return result;
}
