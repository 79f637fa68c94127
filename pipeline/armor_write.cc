// The ASCII armor writer.
//
// Data written in goes to the input FIFO; Advance() takes it out one line
// (48 bytes) at a time whenever what is held allows the line to be placed
// (see the part rules in pipeline/armor_write.h) and appends the text it
// makes to the output FIFO, which is then delivered to the tail. Text the
// tail has not taken stays in the output FIFO for the next call.
#include "pipeline/armor_write.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "crypto/hash.h"
#include "crypto/random_pool.h"
#include "foundation/armor_base64.h"
#include "foundation/byte_cursor.h"
#include "foundation/context.h"
#include "foundation/core/features.h"
#include "foundation/env.h"
#include "pipeline/crc24.h"
#include "pipeline/generic_modules.h"
#include "pipeline/module_support.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;
using qox_pipeline::TrackDepth;

namespace {

constexpr size_t kLineBytes = 48;
constexpr uint32_t kUnknownTotal = ~uint32_t{0};
constexpr size_t kBoundaryLength = 48;

// RFC 2440 section 6.2 and 7, RFC 3156 sections 4 and 5.
constexpr char kArmorBegin[] = "-----BEGIN PGP ";
constexpr char kArmorEnd[] = "-----END PGP ";
constexpr char kArmorDashes[] = "-----";
constexpr char kSignedMessageHeader[] = "-----BEGIN PGP SIGNED MESSAGE-----";
constexpr char kMimeVersion[] = "Mime-Version: 1.0\n";
constexpr char kEncryptedBoundary[] = "=--";
constexpr char kEncryptedPreamble[] =
    "Content-Type: multipart/encrypted; boundary=\"=--\"; protocol=\"application/pgp-encrypted\"\n"
    "\n"
    "--=--\n"
    "Content-Type: application/pgp-encrypted\n"
    "\n"
    "Version: 1\n"
    "\n"
    "--=--\n"
    "Content-Type: application/octet-stream\n"
    "\n";
constexpr char kSignatureContentType[] = "Content-Type: application/pgp-signature\n";

enum class Mime : uint8_t { kNone, kSigned, kEncrypted };
enum class Role : uint8_t { kArmor, kClearText, kMimeText };

struct Armor {
  QOXContext* context;
  QOXPipeline* tail;
  const QOXFifoDesc* fifoDesc;
  QOXFifo* input;   // data not armored yet
  QOXFifo* output;  // text not delivered yet (a byte FIFO)
  uint32_t crc;
  uint32_t linesPerPart;
  uint32_t linesInPart;
  uint32_t part;        // 0 before the first part
  uint32_t totalParts;  // 0 not numbered, kUnknownTotal numbered without total
  bool totalKnown;
  uint64_t dataArmored;  // data bytes already encoded
  uint8_t line[kLineBytes];
  size_t lineLength;
  char messageID[33];
  const char* blockType;  // null until chosen
  char* comment;
  char* charset;
  char* version;
  char boundary[kBoundaryLength + 1];
  uint32_t bodyOffset;
  uint32_t headerLines;
  uint32_t form;
  uint32_t depth;
  Role role;
  Mime mime;
  bool wantMessageID;
  bool mimeVersionLine;
  bool headerWritten;
  bool footerWritten;
  uint8_t sizeKnown;  // 0 not yet, 1 advised, 2 end of input
  bool pem;
  // Clear-signed text: 0 inside a line, 1 at a line start, 2 after a CR.
  uint8_t lineState;
  uint8_t fromHeld;  // characters of "From " held at a line start
  uint8_t hashes[8];
  size_t hashCount;
};

Armor* A(QOXPipeline* m) { return StateOf<Armor>(m); }

QOXError Out(Armor* a, const void* text, size_t length) {
  int64_t n = byteFifoWrite(a->output, static_cast<const uint8_t*>(text), length);
  return n == static_cast<int64_t>(length) ? kQOXErrNoErr : kQOXErrOutOfMemory;
}
QOXError Out(Armor* a, const std::string& text) { return Out(a, text.data(), text.size()); }

QOXError Deliver(Armor* a) {
  if (a->tail == nullptr) return kQOXErrBadParams;
  for (;;) {
    size_t run = 0;
    const uint8_t* p = byteFifoPeek(a->output, &run);
    if (p == nullptr) return kQOXErrNoErr;
    size_t sent = 0;
    QOXError err = qoxPipelineWriteAll(a->tail, p, run, &sent);
    byteFifoSeek(a->output, sent);
    if (err != kQOXErrNoErr) return err;
  }
}

char* CopyString(QOXContext* context, const char* text) {
  if (text == nullptr) return nullptr;
  size_t n = std::strlen(text);
  auto* copy = static_cast<char*>(qoxContextMemAlloc(context, n + 1, kQOXMemoryMgrFlags_None));
  if (copy != nullptr) std::memcpy(copy, text, n + 1);
  return copy;
}

// The tag of the packet whose header byte is first; false when it is not
// a packet header.
bool TagOf(uint8_t first, uint8_t* tag) {
  if (first < 0x80) return false;
  *tag = first < 0xC0 ? (first >> 2) & 0x0F : first & 0x3F;
  return true;
}

// Moves the cursor past the marker packet (RFC 2440 section 5.8) that
// starts it, if one does.
void SkipMarker(ostrak::ByteCursor* c) {
  constexpr uint8_t kMarkerTag = 10;
  ostrak::ByteCursor at = *c;
  uint8_t first = 0;
  uint8_t tag = 0;
  if (!at.get_u8(&first) || !TagOf(first, &tag) || tag != kMarkerTag) return;
  uint64_t length = 0;
  if (first < 0xC0) {
    if ((first & 3) == 3 || !at.get_be(size_t{1} << (first & 3), &length)) return;
  } else {
    uint8_t l0 = 0;
    if (!at.get_u8(&l0) || l0 >= 192) return;  // a marker is 3 bytes long
    length = l0;
  }
  if (length <= at.remaining() && at.skip(static_cast<size_t>(length))) *c = at;
}

// The type of the block from its first packet; a marker packet in front
// does not count.
const char* BlockTypeOf(const uint8_t* data, size_t length) {
  ostrak::ByteCursor c(data, length);
  SkipMarker(&c);
  uint8_t first = 0;
  uint8_t tag = 0;
  if (!c.peek_u8(&first) || !TagOf(first, &tag)) return "MESSAGE";
  if (tag == 6) return "PUBLIC KEY BLOCK";
  if (tag == 5) return "PRIVATE KEY BLOCK";
  return "MESSAGE";
}

// SHA-1 of the data in the line buffer (the message's first bytes),
// zero-padded to 24 bytes, in Base64; empty without SHA-1.
void MakeMessageID(QOXContext* context, Armor* a) {
  a->messageID[0] = '\0';
  const QOXHashVTBL* sha = qoxHashByNumber(kQOXHashAlgorithm_SHA);
  QOXHashContext* h = sha != nullptr ? qoxHashCreate(QOXPeekContextMemoryMgr(context), sha) : nullptr;
  if (h == nullptr) return;
  QOXContinueHash(h, a->line, a->lineLength);
  uint8_t digest[24] = {};
  std::memcpy(digest, qoxHashFinal(h), sha->digestSize);
  QOXFreeHashContext(h);
  size_t n = armorInput(digest, sizeof digest, a->messageID);
  a->messageID[n] = '\0';
}

std::string PartSuffix(const Armor* a, bool last) {
  if (a->totalParts == 0) return "";
  char buf[32];
  bool showTotal = a->form <= 3 || last;
  uint32_t total = a->totalParts == kUnknownTotal ? a->part : a->totalParts;
  if (showTotal) {
    std::snprintf(buf, sizeof buf, ", PART %02u/%02u", a->part, total);
  } else {
    std::snprintf(buf, sizeof buf, ", PART %02u", a->part);
  }
  return buf;
}

bool IsLastPart(const Armor* a) {
  if (a->totalParts == 0) return true;
  if (a->totalParts != kUnknownTotal) return a->part >= a->totalParts;
  return a->sizeKnown == 2 && a->fifoDesc->size(a->input) + a->lineLength <= uint64_t{a->linesPerPart} * kLineBytes;
}

QOXError WriteHeader(Armor* a, bool lastPart) {
  a->headerWritten = true;
  if (a->blockType == nullptr) a->blockType = BlockTypeOf(a->line, a->lineLength);
  if (a->pem) return Out(a, std::string("-----BEGIN ") + a->blockType + kArmorDashes + "\n");
  std::string text;
  if (a->mime == Mime::kEncrypted && a->part <= 1) {
    if (a->mimeVersionLine) text += kMimeVersion;
    text += kEncryptedPreamble;
    a->bodyOffset = static_cast<uint32_t>(text.size());
    a->headerLines = static_cast<uint32_t>(std::count(text.begin(), text.end(), '\n'));
  } else if (a->mime == Mime::kSigned) {
    text += "\n--";
    text += a->boundary;
    text += "\n";
    text += kSignatureContentType;
    text += "\n";
  }
  text += kArmorBegin;
  text += a->blockType;
  text += PartSuffix(a, lastPart);
  text += kArmorDashes;
  text += "\nVersion: ";
  if (a->version != nullptr) {
    text += a->version;
  } else {
    char version[16] = {};
    if (QOXGetQOXsdkVersionString(version) == kQOXErrNoErr) text += version;
  }
  if (a->wantMessageID && a->totalParts != 0) {
    if (a->part <= 1) MakeMessageID(a->context, a);
    text += "\nMessageID: ";
    text += a->messageID;
  }
  if (a->comment != nullptr && a->comment[0] != '\0') {
    text += "\nComment: ";
    text += a->comment;
  }
  if (a->charset != nullptr) {
    text += "\nCharset: ";
    text += a->charset;
  }
  text += "\n\n";
  return Out(a, text);
}

QOXError WriteFooter(Armor* a, bool lastPart) {
  if (a->pem) return Out(a, std::string("-----END ") + a->blockType + kArmorDashes + "\n");
  char crc[8] = {};
  uint8_t bytes[3] = {static_cast<uint8_t>(a->crc >> 16), static_cast<uint8_t>(a->crc >> 8),
                      static_cast<uint8_t>(a->crc)};
  armorInput(bytes, 3, crc);
  std::string text = "=";
  text.append(crc, 4);
  text += "\n";
  text += kArmorEnd;
  text += a->blockType;
  text += PartSuffix(a, lastPart);
  text += kArmorDashes;
  text += "\n";
  if (a->mime == Mime::kEncrypted && lastPart) {
    text += "\n--";
    text += kEncryptedBoundary;
    text += "--\n";
  } else if (a->mime == Mime::kSigned) {
    text += "\n--";
    text += a->boundary;
    text += "--\n";
  }
  a->crc = kQOXCRC24Init;
  return Out(a, text);
}

QOXError EncodeLine(Armor* a) {
  char text[65];
  size_t n = armorInput(a->line, a->lineLength, text);
  text[n++] = '\n';
  a->crc = crcUpdate(a->crc, a->line, a->lineLength);
  a->dataArmored += a->lineLength;
  a->lineLength = 0;
  ++a->linesInPart;
  return Out(a, text, n);
}

// Ends the current part (if any) and begins the next.
QOXError StartPart(Armor* a) {
  QOXError err = kQOXErrNoErr;
  if (a->part > 0) {
    err = WriteFooter(a, false);
    if (err == kQOXErrNoErr) err = Deliver(a);
    if (err == kQOXErrNoErr) err = a->tail->sizeAdvise(a->tail, 0);
    if (err == kQOXErrNoErr) err = a->tail->annotate(a->tail, nullptr, kQOXAnnArmorFileEnd, nullptr, 0);
    if (err != kQOXErrNoErr) return err;
  }
  ++a->part;
  a->linesInPart = 0;
  uint32_t number = a->part;
  err = a->tail->annotate(a->tail, nullptr, kQOXAnnArmorFileBegin, &number, sizeof number);
  if (err != kQOXErrNoErr) return err;
  return WriteHeader(a, IsLastPart(a));
}

// Sets the total of parts once the data's size is known.
void SetTotal(Armor* a, uint64_t dataBytes) {
  uint64_t partBytes = uint64_t{a->linesPerPart} * kLineBytes;
  uint64_t parts = std::max<uint64_t>(1, (dataBytes + partBytes - 1) / partBytes);
  a->totalParts = parts == 1 ? 0 : static_cast<uint32_t>(std::min<uint64_t>(parts, kUnknownTotal - 1));
  a->totalKnown = true;
}

uint64_t Pending(const Armor* a) { return a->fifoDesc->size(a->input) + a->lineLength; }

// Whether the next part may begin with what is held.
bool CanStartPart(Armor* a) {
  if (a->totalKnown) return true;
  bool end = a->sizeKnown == 2;
  if (a->form <= 3) {
    if (!end) return false;
    SetTotal(a, Pending(a));
    return true;
  }
  uint64_t partBytes = uint64_t{a->linesPerPart} * kLineBytes;
  if (Pending(a) > partBytes) {
    if (a->part == 0) a->totalParts = kUnknownTotal;
    return true;
  }
  if (!end) return false;
  if (a->part == 0) {
    a->totalParts = 0;
    a->totalKnown = true;
  }
  return true;
}

bool Parts(const Armor* a) { return a->linesPerPart != 0 && !a->pem; }

// Armors every line that may be placed now; at the end of input also the
// last, short one.
QOXError Advance(Armor* a) {
  bool end = a->sizeKnown == 2;
  for (;;) {
    if (a->lineLength < kLineBytes) {
      int64_t n = a->fifoDesc->read(a->input, a->line + a->lineLength, kLineBytes - a->lineLength);
      if (n < 0) return static_cast<QOXError>(n);
      a->lineLength += static_cast<size_t>(n);
    }
    if (a->lineLength == 0 || (a->lineLength < kLineBytes && !end)) return kQOXErrNoErr;
    if (Parts(a) && (a->part == 0 || a->linesInPart == a->linesPerPart)) {
      if (!CanStartPart(a)) return kQOXErrNoErr;
      QOXError err = StartPart(a);
      if (err != kQOXErrNoErr) return err;
    } else if (!a->headerWritten) {
      QOXError err = WriteHeader(a, true);
      if (err != kQOXErrNoErr) return err;
    }
    QOXError err = EncodeLine(a);
    if (err != kQOXErrNoErr) return err;
  }
}

// --- Clear-signed and MIME text ---

constexpr char kFrom[] = "From ";

QOXError TextHeader(Armor* a) {
  a->headerWritten = true;
  std::string text;
  if (a->role == Role::kClearText) {
    text = kSignedMessageHeader;
    bool md5Alone = a->hashCount == 1 && a->hashes[0] == kQOXHashAlgorithm_MD5;
    std::string names;
    for (size_t i = 0; i < a->hashCount && !md5Alone; ++i) {
      const QOXHashVTBL* h = qoxHashByNumber(a->hashes[i]);
      if (h == nullptr) continue;
      if (!names.empty()) names += ", ";
      names += h->name;
    }
    if (!names.empty()) text += "\nHash: " + names;
    text += "\n\n";
  } else {
    if (a->mimeVersionLine) text += kMimeVersion;
    text += "Content-Type: multipart/signed;\n boundary=\"";
    text += a->boundary;
    text += "\"; protocol=\"application/pgp-signature\"";
    bool any = false;
    for (size_t i = 0; i < a->hashCount; ++i) {
      const QOXHashVTBL* h = qoxHashByNumber(a->hashes[i]);
      if (h == nullptr) continue;
      std::string name = h->name;
      for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
      text += "; micalg=pgp-" + name;
      any = true;
    }
    if (!any) text += "; micalg=pgp-md5";
    text += "\n\n";
    a->bodyOffset = static_cast<uint32_t>(text.size());
    a->headerLines = a->mimeVersionLine ? 5 : 4;
    text += "--";
    text += a->boundary;
    text += "\n";
  }
  return Out(a, text);
}

// Clear-signed text: dash-escapes lines that begin with '-' or "From ".
QOXError ClearText(Armor* a, const uint8_t* bytes, size_t count) {
  std::string text;
  text.reserve(count + 16);
  for (size_t i = 0; i < count; ++i) {
    uint8_t b = bytes[i];
    if (a->fromHeld > 0) {
      if (b == static_cast<uint8_t>(kFrom[a->fromHeld])) {
        if (++a->fromHeld == 5) {
          text += "- From ";
          a->fromHeld = 0;
          a->lineState = 0;
        }
        continue;
      }
      text.append(kFrom, a->fromHeld);
      a->fromHeld = 0;
      a->lineState = 0;
    }
    if (a->lineState == 2) {
      a->lineState = 1;
      if (b == '\n') {
        text += '\n';
        continue;
      }
    }
    if (a->lineState == 1) {
      if (b == '-') {
        text += "- -";
        a->lineState = 0;
        continue;
      }
      if (b == 'F') {
        a->fromHeld = 1;
        continue;
      }
    }
    text += static_cast<char>(b);
    a->lineState = b == '\r' ? 2 : b == '\n' ? 1 : 0;
  }
  return Out(a, text);
}

QOXError FinishText(Armor* a) {
  std::string text(kFrom, a->fromHeld);
  a->fromHeld = 0;
  if (a->lineState == 2) text += '\n';
  a->lineState = 1;
  return Out(a, text);
}

// --- Module operations ---

size_t ArmorWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  Armor* a = A(m);
  *error = Deliver(a);
  if (*error != kQOXErrNoErr) return 0;
  if (a->role != Role::kArmor) {
    if (!a->headerWritten) *error = TextHeader(a);
    if (*error == kQOXErrNoErr) {
      *error = a->role == Role::kClearText ? ClearText(a, bytes, count) : Out(a, bytes, count);
    }
    if (*error != kQOXErrNoErr) return 0;
    *error = Deliver(a);
    return count;  // the text is in the output FIFO
  }
  int64_t n = a->fifoDesc->write(a->input, bytes, count);
  if (n < 0) {
    *error = static_cast<QOXError>(n);
    return 0;
  }
  if (static_cast<size_t>(n) < count) *error = kQOXErrOutOfMemory;
  QOXError err = Advance(a);
  if (err == kQOXErrNoErr) err = Deliver(a);
  if (*error == kQOXErrNoErr) *error = err;
  return static_cast<size_t>(n);
}

QOXError ArmorFlush(QOXPipeline* m) {
  Armor* a = A(m);
  QOXError err = Deliver(a);
  return err != kQOXErrNoErr ? err : a->tail->flush(a->tail);
}

QOXError ArmorAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  Armor* a = A(m);
  switch (type) {
    case kQOXAnnMIMEBodyOffset:
      return qoxAnnAnswerU32(data, count, a->bodyOffset);
    case kQOXAnnMIMEHeaderLines:
      return qoxAnnAnswerU32(data, count, a->headerLines);
    case kQOXAnnMIMESeparator: {
      if (data == nullptr || count == 0) return kQOXErrBadParams;
      const char* b = a->mime == Mime::kEncrypted ? kEncryptedBoundary : a->boundary;
      size_t n = std::min({std::strlen(b) + 1, count, kBoundaryLength + 1});
      std::memcpy(data, b, n);
      static_cast<char*>(data)[n - 1] = '\0';
      return kQOXErrNoErr;
    }
    case kQOXAnnPEMCertificate:
    case kQOXAnnPEMCertRequest:
    case kQOXAnnPEMPrivateKey:
      a->pem = true;
      a->blockType = type == kQOXAnnPEMCertificate   ? "CERTIFICATE"
                     : type == kQOXAnnPEMCertRequest ? "CERTIFICATE REQUEST"
                                                     : "PRIVATE KEY";
      return kQOXErrNoErr;
    default:
      break;
  }
  QOXError err = Deliver(a);
  if (err != kQOXErrNoErr) return err;
  TrackDepth(type, &a->depth);
  return a->tail->annotate(a->tail, origin, type, data, count);
}

QOXError ArmorSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  Armor* a = A(m);
  QOXError err = Deliver(a);
  if (err != kQOXErrNoErr || a->depth != 0) return err;
  if (a->role != Role::kArmor) {
    if (bytes != 0 || a->footerWritten) return kQOXErrNoErr;
    if (!a->headerWritten) err = TextHeader(a);
    if (err == kQOXErrNoErr) err = FinishText(a);
    if (err == kQOXErrNoErr) err = Deliver(a);
    if (err != kQOXErrNoErr) return err;
    a->footerWritten = true;
    return a->tail->sizeAdvise(a->tail, 0);
  }
  if (bytes != 0) {
    if (a->sizeKnown == 0 && Parts(a) && !a->totalKnown) {
      SetTotal(a, bytes + Pending(a) + (a->form > 3 ? a->dataArmored : 0));
    }
    if (a->sizeKnown == 0) a->sizeKnown = 1;
    err = Advance(a);
    return err != kQOXErrNoErr ? err : Deliver(a);
  }
  if (a->footerWritten) return kQOXErrNoErr;
  a->sizeKnown = 2;
  err = Advance(a);
  if (err != kQOXErrNoErr) return err;
  if (!a->headerWritten) {
    // Empty data: a header, an empty body and the checksum of nothing.
    if (Parts(a) && a->part == 0) {
      if (!a->totalKnown) a->totalParts = 0;
      err = StartPart(a);
    } else {
      err = WriteHeader(a, true);
    }
    if (err != kQOXErrNoErr) return err;
  }
  err = WriteFooter(a, true);
  if (err == kQOXErrNoErr) err = Deliver(a);
  if (err != kQOXErrNoErr) return err;
  a->footerWritten = true;
  return a->tail->sizeAdvise(a->tail, 0);
}

QOXError ArmorTeardown(QOXPipeline* m) {
  Armor* a = A(m);
  qoxPipelineTeardown(a->tail);
  if (a->input != nullptr) a->fifoDesc->destroy(a->input);
  if (a->output != nullptr) byteFifoDestroy(a->output);
  for (char* s : {a->comment, a->charset, a->version}) {
    if (s != nullptr) qox_pipeline::WipeAndFree(m->context, s, std::strlen(s));
  }
  FreeModule<Armor>(m);
  return kQOXErrNoErr;
}

constexpr ModuleOps kArmorOps = {ArmorWrite, ArmorFlush, ArmorAnnotate, ArmorSizeAdvise, ArmorTeardown};

// A writer with its FIFOs and copied strings, not yet linked; null on failure.
QOXPipeline* NewWriter(QOXContext* context, QOXEnv* env, const QOXFifoDesc* fifoDesc, Role role) {
  if (fifoDesc == nullptr) return nullptr;
  QOXPipeline* m = NewModule<Armor>(context, kQOXMagicArmorWrite, "ASCII Armor Write Module", kArmorOps);
  if (m == nullptr) return nullptr;
  Armor* a = A(m);
  a->context = context;
  a->fifoDesc = fifoDesc;
  a->role = role;
  a->crc = kQOXCRC24Init;
  a->lineState = 1;
  a->input = fifoDesc->create(context);
  a->output = byteFifoCreate(context);
  const char* comment = qoxenvGetCString(env, kQOXEnvComment, nullptr);
  const char* version = qoxenvGetCString(env, kQOXEnvVersionString, nullptr);
  a->comment = CopyString(context, comment);
  a->version = CopyString(context, version);
  a->mimeVersionLine = qoxenvGetInt(env, kQOXEnvMIMEVersionLine, nullptr, nullptr) != 0;
  if (a->input == nullptr || a->output == nullptr || (comment != nullptr && a->comment == nullptr) ||
      (version != nullptr && a->version == nullptr)) {
    ArmorTeardown(m);
    return nullptr;
  }
  return m;
}

QOXPipeline** Link(QOXPipeline* m, QOXPipeline** slot) {
  A(m)->tail = *slot;
  *slot = m;
  return &A(m)->tail;
}

void SetHashes(Armor* a, const uint8_t* hashes, size_t count) {
  a->hashCount = hashes != nullptr ? std::min(count, sizeof a->hashes) : 0;
  if (a->hashCount > 0) std::memcpy(a->hashes, hashes, a->hashCount);
}

// Builds writer(s) joined by a Join, text first: shared by the clear-signed
// and MIME builders. On failure everything made is torn down.
QOXPipeline** JoinWriters(QOXContext* context, QOXPipeline** textSlot, QOXPipeline** sigSlot, QOXPipeline* text,
                          QOXPipeline* signature, const QOXFifoDesc* fifoDesc, const uint8_t* primer,
                          size_t primerLength, QOXPipeline** outFirst) {
  QOXPipeline* first = nullptr;
  QOXPipeline** output = qoxJoinCreate(context, &first, fifoDesc);
  QOXPipeline* second = output != nullptr ? qoxJoinAppend(first) : nullptr;
  if (second == nullptr || (primerLength > 0 && qoxJoinBuffer(second, primer, primerLength) != primerLength)) {
    if (first != nullptr) first->teardown(first);
    if (second != nullptr) second->teardown(second);
    text->teardown(text);
    signature->teardown(signature);
    return nullptr;
  }
  *output = *textSlot;
  A(text)->tail = first;
  A(signature)->tail = second;
  *textSlot = text;
  *sigSlot = signature;
  *outFirst = first;
  return output;
}

}  // namespace

size_t armorLine(const uint8_t* bytes, size_t length, char* output) {
  length = std::min(length, kLineBytes);
  size_t n = armorInput(bytes, length, output);
  while (n > 0 && output[n - 1] == '=') --n;
  return n;
}

QOXPipeline** qoxArmorWriteCreate(QOXContext* context, QOXPipeline** slot, QOXEnv* env,
                                  const QOXFifoDesc* fifoDesc, bool wantMessageID, uint32_t form,
                                  uint32_t kind) {
  if (slot == nullptr || kind > kQOXArmorKindMessage) return nullptr;
  QOXPipeline* m = NewWriter(context, env, fifoDesc, Role::kArmor);
  if (m == nullptr) return nullptr;
  Armor* a = A(m);
  a->form = form;
  a->linesPerPart = qoxenvGetInt(env, kQOXEnvArmorNumber, nullptr, nullptr);
  a->wantMessageID = wantMessageID;
  if (kind == kQOXArmorKindSignature) a->blockType = "SIGNATURE";
  if (kind == kQOXArmorKindMessage) a->blockType = "MESSAGE";
  if (kind == kQOXArmorKindBlock && qoxenvGetInt(env, kQOXEnvMIMEOutput, nullptr, nullptr) != 0) {
    a->mime = Mime::kEncrypted;
    a->wantMessageID = false;
  }
  return Link(m, slot);
}

QOXPipeline** qoxArmorWriteCreateClearsig(QOXPipeline** textSlot, QOXPipeline** sigSlot, QOXEnv* env,
                                          const QOXFifoDesc* fifoDesc, uint32_t form, const uint8_t* hashes,
                                          size_t hashCount) {
  if (textSlot == nullptr || sigSlot == nullptr || env == nullptr) return nullptr;
  QOXContext* context = qoxenvGetContext(env);
  QOXPipeline* text = NewWriter(context, env, fifoDesc, Role::kClearText);
  QOXPipeline* signature = NewWriter(context, env, fifoDesc, Role::kArmor);
  if (text == nullptr || signature == nullptr) {
    qoxPipelineTeardown(text);
    qoxPipelineTeardown(signature);
    return nullptr;
  }
  SetHashes(A(text), hashes, hashCount);
  A(signature)->form = form;
  A(signature)->blockType = "SIGNATURE";
  const char* charset = qoxenvGetCString(env, kQOXEnvCharset, nullptr);
  if (charset != nullptr && std::strcmp(charset, "noconv") != 0) {
    A(signature)->charset = CopyString(context, charset);
    if (A(signature)->charset == nullptr) {
      text->teardown(text);
      signature->teardown(signature);
      return nullptr;
    }
  }
  static constexpr uint8_t kPrimer[] = {'\n'};
  QOXPipeline* first = nullptr;
  return JoinWriters(context, textSlot, sigSlot, text, signature, fifoDesc, kPrimer, sizeof kPrimer, &first);
}

QOXPipeline** qoxArmorWriteCreateQOXMimesig(QOXPipeline** textSlot, QOXPipeline** sigSlot, QOXEnv* env,
                                            const QOXFifoDesc* fifoDesc, QOXRandomContext* random,
                                            uint32_t form, const uint8_t* hashes, size_t hashCount) {
  if (textSlot == nullptr || sigSlot == nullptr || env == nullptr) return nullptr;
  QOXContext* context = qoxenvGetContext(env);
  QOXPipeline* text = NewWriter(context, env, fifoDesc, Role::kMimeText);
  QOXPipeline* signature = NewWriter(context, env, fifoDesc, Role::kArmor);
  if (text == nullptr || signature == nullptr) {
    qoxPipelineTeardown(text);
    qoxPipelineTeardown(signature);
    return nullptr;
  }
  // 48 characters, '-' for a set bit and '=' for a clear one.
  uint8_t bits[kBoundaryLength / 8] = {};
  qoxRandomGetBytes(random, bits, sizeof bits);
  for (size_t i = 0; i < kBoundaryLength; ++i) {
    A(text)->boundary[i] = (bits[i / 8] >> (7 - i % 8)) & 1 ? '-' : '=';
  }
  std::memcpy(A(signature)->boundary, A(text)->boundary, sizeof A(text)->boundary);
  A(text)->mime = Mime::kSigned;
  SetHashes(A(text), hashes, hashCount);
  A(signature)->mime = Mime::kSigned;
  A(signature)->form = form;
  A(signature)->blockType = "MESSAGE";
  // The split sits in front: the caller's signing chain, then the text writer.
  QOXPipeline* split = nullptr;
  QOXPipeline** chain = qoxSplitCreate(context, &split);
  QOXPipeline** second = chain != nullptr ? qoxSplitAdd(split) : nullptr;
  if (second == nullptr) {
    qoxPipelineTeardown(split);
    text->teardown(text);
    signature->teardown(signature);
    return nullptr;
  }
  QOXPipeline* callerChain = *textSlot;
  QOXPipeline* textHead = nullptr;
  QOXPipeline* first = nullptr;
  *chain = nullptr;
  QOXPipeline** output = JoinWriters(context, &textHead, sigSlot, text, signature, fifoDesc, nullptr, 0, &first);
  if (output == nullptr) {
    qoxPipelineTeardown(split);
    return nullptr;
  }
  *chain = callerChain;
  *second = textHead;
  *textSlot = split;
  return output;
}
