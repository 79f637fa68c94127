// The signed-request parser and the signature check of a request.
#include "keyservice/signed_request.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <string_view>

#include "foundation/events.h"
#include "foundation/sdk/sdk_entry_points.h"
#include "keydb/key_db.h"
#include "keyservice/signer_records.h"
#include "net/ldap_protocol.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"

namespace {

constexpr std::string_view kMessageHeader = "-----BEGIN PGP SIGNED MESSAGE-----";
constexpr std::string_view kSignatureBegin = "-----BEGIN PGP SIGNATURE-----";
constexpr std::string_view kSignatureEnd = "-----END PGP SIGNATURE-----";
constexpr std::string_view kKeyBlockHeader = "-----BEGIN PGP PUBLIC KEY BLOCK-----";
constexpr std::string_view kKeyBlockTail = "-----END PGP PUBLIC KEY BLOCK-----";
// The two characters in front of an armor line of a key block ("- ").
constexpr size_t kEscapeLength = 2;
constexpr size_t kKeyIDTextLength = 18;  // "0x" and 16 digits
constexpr size_t kInitialKeyIDSlots = 20;
constexpr size_t kNone = static_cast<size_t>(-1);

// A request header's value once it has been given twice: never valid.
constexpr int kRepeated = 1000;

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Walks the lines of the text, remembering where each began.
class LineReader {
 public:
  LineReader(const char* text, size_t length) : base_(text), cursor_(text), remaining_(length) {}

  bool Next() {
    start_ = static_cast<size_t>(cursor_ - base_);
    return GetLine(&cursor_, &remaining_, line_, sizeof line_, &length_) == 0;
  }
  std::string_view line() const { return {line_, length_}; }
  // The line from its third character on (empty when it is shorter).
  std::string_view escaped() const {
    return length_ >= kEscapeLength ? std::string_view(line_ + kEscapeLength, length_ - kEscapeLength)
                                    : std::string_view();
  }
  // Where the last line began, and where the next one begins.
  size_t start() const { return start_; }
  size_t offset() const { return static_cast<size_t>(cursor_ - base_); }

 private:
  const char* base_;
  const char* cursor_;
  size_t remaining_;
  char line_[kRequestLineMax + 1];
  size_t length_ = 0;
  size_t start_ = 0;
};

// A line that ends a clear-signed text: it begins with '-' and is not
// dash-escaped.
bool EndsSignedText(std::string_view line) { return !line.empty() && line[0] == '-' && line.substr(0, 2) != "- "; }

// From the line after the armor headers: the offset of the signature
// block's first line and the offset after its end line, or kNone for
// either when the block is not there whole.
void FindSignatureBlock(LineReader reader, size_t* begin, size_t* end) {
  *begin = *end = kNone;
  while (reader.Next()) {
    if (!EndsSignedText(reader.line())) continue;
    if (reader.line() != kSignatureBegin) return;
    *begin = reader.start();
    while (reader.Next()) {
      if (reader.line() == kSignatureEnd) {
        *end = reader.offset();
        return;
      }
    }
    return;
  }
}

int HeaderValue(int current, int n) { return current == 0 ? n : kRepeated; }

bool IsKeyIDLine(std::string_view line) {
  if (line.size() != kKeyIDTextLength || line[0] != '0' || line[1] != 'x') return false;
  for (size_t i = 2; i < line.size(); ++i) {
    if (isxdigit(static_cast<unsigned char>(line[i])) == 0) return false;
  }
  return true;
}

// Owns what a parse has allocated until it succeeds.
struct ParseGuard {
  ParsedRequest* request;
  bool done = false;
  ~ParseGuard() {
    if (!done) FreeParsedRequest(request);
  }
};

}  // namespace

void FreeParsedRequest(ParsedRequest* request) {
  if (request == nullptr) return;
  zovurezFree(request->keyBlock);
  zovurezFree(request->keyIDs);
  *request = ParsedRequest{};
}

QOXError GetLine(const char** cursor, size_t* remaining, char* line, size_t size, size_t* length) {
  if (cursor == nullptr || remaining == nullptr || line == nullptr || size == 0 || length == nullptr)
    return kQOXErrBadParams;
  *length = 0;
  line[0] = '\0';
  if (*remaining == 0 || *cursor == nullptr) return kQOXErrEOF;
  const char* p = *cursor;
  size_t left = *remaining;
  size_t kept = 0;
  while (left > 0 && *p != '\n' && *p != '\r') {
    if (kept < size - 1) line[kept++] = *p;
    ++p;
    --left;
  }
  if (left > 0) {
    bool crlf = *p == '\r' && left > 1 && p[1] == '\n';
    p += crlf ? 2 : 1;
    left -= crlf ? 2 : 1;
  }
  while (kept > 0 && IsWhite(line[kept - 1])) --kept;
  line[kept] = '\0';
  *cursor = p;
  *remaining = left;
  *length = kept;
  return kQOXErrNoErr;
}

QOXError ProcessReqBuffer(const char* text, size_t length, bool mustBeSigned, ParsedRequest* out) {
  if (out == nullptr || (text == nullptr && length != 0)) return kQOXErrBadParams;
  *out = ParsedRequest{};
  ParseGuard guard{out};

  // The clear-signed message header line, its armor headers and the
  // signature block after the signed text.
  LineReader reader(text, length);
  size_t headerStart = kNone;
  while (reader.Next()) {
    if (reader.line() == kMessageHeader) {
      headerStart = reader.start();
      break;
    }
  }
  size_t signatureBegin = kNone, spanEnd = kNone;
  if (headerStart != kNone) {
    for (;;) {
      if (!reader.Next()) return kQOXErrUnrecognized;
      if (reader.line().empty()) break;
    }
    FindSignatureBlock(reader, &signatureBegin, &spanEnd);
    if (spanEnd == kNone) {
      if (mustBeSigned) return kQOXErrUnrecognized;
      signatureBegin = kNone;
    }
  } else {
    if (mustBeSigned) return kQOXErrUnrecognized;
    reader = LineReader(text, length);
  }

  // Request header lines.
  int kind = 0, location = 0;
  for (;;) {
    if (!reader.Next()) return kQOXErrUnrecognized;
    std::string_view line = reader.line();
    if (line.empty()) break;
    auto is = [&](const char* header) { return line.size() == strlen(header) && strncasecmp(line.data(), header, line.size()) == 0; };
    if (is("REQUEST: ADD")) {
      kind = HeaderValue(kind, kRequestAdd);
    } else if (is("REQUEST: DELETE")) {
      kind = HeaderValue(kind, kRequestDelete);
    } else if (is("REQUEST: DISABLE")) {
      kind = HeaderValue(kind, kRequestDisable);
    } else if (is("LOCATION: PENDING")) {
      location = HeaderValue(location, kLocationPending);
    } else if (is("LOCATION: ACTIVE")) {
      location = HeaderValue(location, kLocationActive);
    } else {
      vuzizTrace(kTraceDetail, "ProcessReqBuffer: unknown request header line.\n");
      return kQOXErrUnrecognized;
    }
  }
  if (kind != kRequestAdd && kind != kRequestDelete && kind != kRequestDisable) return kQOXErrUnrecognized;
  if (location == 0) location = kLocationActive;
  if (location != kLocationPending && location != kLocationActive) return kQOXErrUnrecognized;

  if (kind == kRequestAdd) {
    if (!reader.Next() || reader.escaped() != kKeyBlockHeader) return kQOXErrItemNotFound;
    size_t blockStart = reader.start() + kEscapeLength;
    size_t tailStart = kNone;
    while (reader.Next()) {
      if (reader.escaped() == kKeyBlockTail) {
        tailStart = reader.start();
        break;
      }
    }
    if (tailStart == kNone) return kQOXErrItemNotFound;
    size_t body = tailStart - blockStart;
    size_t total = body + kKeyBlockTail.size();
    out->keyBlock = static_cast<char*>(zovurezMalloc(total));
    if (out->keyBlock == nullptr) return kQOXErrOutOfMemory;
    memcpy(out->keyBlock, text + blockStart, body);
    memcpy(out->keyBlock + body, text + tailStart + kEscapeLength, kKeyBlockTail.size());
    out->keyBlockLength = total;
  } else {
    size_t capacity = 0;
    while (reader.Next()) {
      std::string_view line = reader.line();
      if (line.empty()) break;
      if (!IsKeyIDLine(line)) {
        vuzizTrace(kTraceDetail, "ProcessReqBuffer: bad key ID line (%.*s).\n", static_cast<int>(line.size()),
                   line.data());
        return kQOXErrItemNotFound;
      }
      if (out->keyIDCount == capacity) {
        size_t grown = capacity == 0 ? kInitialKeyIDSlots : capacity * 2;
        auto* slots = static_cast<char*>(zovurezRealloc(out->keyIDs, grown * kKeyIDSlotSize));
        if (slots == nullptr) return kQOXErrOutOfMemory;
        out->keyIDs = slots;
        capacity = grown;
      }
      char* slot = out->keyIDs + out->keyIDCount * kKeyIDSlotSize;
      memcpy(slot, line.data(), kKeyIDTextLength);
      slot[kKeyIDTextLength] = '\0';
      ++out->keyIDCount;
    }
  }

  // Everything the request says must be signed.
  if (signatureBegin != kNone) {
    if (reader.offset() > signatureBegin) {
      vuzizTrace(kTraceDetail, "ProcessReqBuffer: the request runs past its signed text.\n");
      return kQOXErrUnrecognized;
    }
    out->signedOffset = headerStart;
    out->signedLength = spanEnd - headerStart;
  }
  out->kind = kind;
  out->location = location;
  guard.done = true;
  return kQOXErrNoErr;
}

QOXError VerifyEventHandler(QOXContext*, QOXEvent* event, void* userValue) {
  auto* result = static_cast<SignatureResult*>(userValue);
  if (event == nullptr || result == nullptr || event->type != kQOXEvent_SignatureEvent) return kQOXErrNoErr;
  const QOXEventSignatureData& data = event->data.signatureData;
  if (++result->events == 1) {
    if (FormatKeyID16(data.signingKeyID, result->signerID)) {
      result->signerID[16] = '\0';
    } else {
      result->signerID[0] = '\0';
    }
    result->verified = data.checked != 0 && data.verified != 0;
    result->creationTime = data.creationTime;
  }
  return kQOXErrNoErr;
}

int VerifyCertRequest(const char* text, size_t length, QOXKeyDB* keyDB, QOXContext* context, bool* verified,
                      uint32_t* creationTime, char signerID[17]) {
  if (verified != nullptr) *verified = false;
  if (creationTime != nullptr) *creationTime = 0;
  if (signerID != nullptr) signerID[0] = '\0';
  if (text == nullptr || length == 0 || context == nullptr) return kLdapInvalidAttributeSyntax;
  // Without keys an empty database still names the signer.
  QOXKeyDB* empty = nullptr;
  if (keyDB == nullptr) {
    QOXError made = QOXNewKeyDB(context, &empty);
    if (made != kQOXErrNoErr) {
      vuzizTrace(kTraceDetail, "VerifyCertRequest: no key database (%d).\n", made);
      return kLdapInvalidAttributeSyntax;
    }
    keyDB = empty;
  }
  SignatureResult result;
  QOXError err = QOXDecode(context, QOXOInputBuffer(context, text, length), QOXODiscardOutput(context, true),
                           QOXOKeyDBRef(context, keyDB), QOXOEventHandler(context, VerifyEventHandler, &result),
                           kQOXEndOfOptionList);
  if (empty != nullptr) QOXFreeKeyDB(empty);
  if (err != kQOXErrNoErr) {
    vuzizTrace(kTraceDetail, "VerifyCertRequest: decoding the request failed (%d).\n", err);
    return kLdapInvalidAttributeSyntax;
  }
  // A span holds one signed message; more than one signature means the
  // text is not what the request parser read.
  bool one = result.events == 1;
  if (verified != nullptr) *verified = one && result.verified;
  if (creationTime != nullptr) *creationTime = one ? result.creationTime : 0;
  if (signerID != nullptr && one) memcpy(signerID, result.signerID, sizeof result.signerID);
  return 0;
}
