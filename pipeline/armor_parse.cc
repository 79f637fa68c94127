// The ASCII armor parser: a line-driven state machine (pipeline/armor_parse.h).
//
// A write resumes in the stored state and runs until the input is used up
// or a state waits for a line that is not complete yet, so any split of
// the input into writes gives the same output. The numbered states follow
// the order in which a block is read:
//     0-50     text outside armor
//     90-270   an armored block: header line, headers, body, checksum, end
//     300-430  a clear-signed message: BEGIN line, "Hash:" header, text
//     500-530  binary input
//     600-830  the MIME form of a clear-signed message (multipart/signed)
//
// Each message (one armored block, the parts of a multipart block, a
// clear-signed message, binary input) gets its own chain:
//     Join -> binary message parser -> message tail -> the parser's next
// The message tail passes everything on except the end of data and the
// teardown, which belong to the parser's next module alone. A later part
// of a multipart message is a Join appendage, so the parts reach the binary
// parser in order whatever order they arrive in. A clear-signed message
// replaces the Join by
//     Split -> message tail -> next
//           -> text filter -> verification reader (text head)
//     binary message parser -> verification reader (signature head)
//
// Holding: from the moment a message begins (kQOXAnnArmorMsgBegin) until
// it ends, everything else the parser would send goes into two FIFOs: the
// held bytes, and records of held annotations and held message begins,
// each record saying how many held bytes came before it. They are replayed
// in order once the message has ended.
#include "pipeline/armor_parse.h"

#include <algorithm>
#include <cstring>

#include "crypto/hash.h"
#include "foundation/base64.h"
#include "foundation/byte_cursor.h"
#include "foundation/env.h"
#include "foundation/sdk_errors.h"
#include "pipeline/crc24.h"
#include "pipeline/generic_modules.h"
#include "pipeline/module_support.h"
#include "pipeline/parse_bin.h"
#include "pipeline/verify_reader_services.h"

using qox_pipeline::FreeModule;
using qox_pipeline::ModuleOps;
using qox_pipeline::NewModule;
using qox_pipeline::StateOf;
using qox_pipeline::WipeAndFree;

namespace {

// --- The standards' own lines (RFC 2440 sections 6.2 and 7, RFC 3156 section 5) ---
constexpr char kArmorPrefix[] = "-----BEGIN PGP ";  // common to every armor header line
constexpr size_t kArmorPrefixLength = sizeof(kArmorPrefix) - 1;
constexpr char kArmorEndPrefix[] = "-----END PGP ";
constexpr char kSignatureHeader[] = "-----BEGIN PGP SIGNATURE-----";
constexpr char kMessageHeader[] = "-----BEGIN PGP MESSAGE-----";
constexpr char kSignedMessage[] = "SIGNED MESSAGE";
constexpr char kDashes[] = "-----";
constexpr char kPartMark[] = ", PART ";
constexpr char kMultipartSigned[] = "content-type: multipart/signed;";
constexpr char kProtocolSignature[] = "protocol=\"application/pgp-signature\"";
constexpr char kBoundaryKey[] = "boundary=";
constexpr char kHashHeader[] = "Hash: ";
constexpr char kMessageIDHeader[] = "MessageID: ";

constexpr size_t kLineMax = 255;         // bytes of a line, its line end included
constexpr size_t kBodyLineMax = 80;      // characters of a trimmed body line
constexpr size_t kDecodedMax = 60;       // bytes one body line may give
constexpr size_t kBoundaryValueMax = 251;
constexpr size_t kBoundaryRoom = 258;    // "--", 254 characters of a bare line, "--"
constexpr size_t kHeldRecordMax = 4096;
constexpr size_t kHeaderKeyMax = 64;
constexpr uint32_t kPartNumberMax = 999;

// Held records: the bytes held before it, its kind, the body's length.
constexpr uint8_t kHeldBegin = 1;
constexpr uint8_t kHeldAnnotation = 2;
constexpr size_t kHeldHeader = 4 + 1 + 4;

// Line-end kinds.
constexpr uint32_t kEndNone = 0;
constexpr uint32_t kEndLF = 1;
constexpr uint32_t kEndCR = 2;
constexpr uint32_t kEndCRLF = 3;

// Line states.
constexpr uint8_t kLineOpen = 0;
constexpr uint8_t kLineComplete = 1;
constexpr uint8_t kLineCR = 2;  // a CR ended the input; an LF may follow

struct Message;

struct Part {
  uint32_t number;
  QOXPipeline* input;      // Join input
  QOXPipeline* textInput;  // clear-signed: the Split
  QOXPipeline* sigInput;   // clear-signed: the signature's binary parser
  Message* message;
  Part* next;
  bool first;
  bool seen;     // its block has been read (not made to fill a gap)
  uint8_t done;  // 0 open, 1 its block ended, 2 its modules heard the end
};

struct Message {
  char id[257];
  size_t idLength;
  uint32_t total;
  uint32_t position;
  Part* parts;
  Message* next;
  uint32_t sequence;
  bool beginRequested;
  bool begun;
};

struct View {
  const uint8_t* p;
  size_t n;
};

struct Parser {
  QOXPipeline* self;
  QOXPipeline* next;
  QOXEnv* env;
  const QOXDecodeCallbacks* callbacks;
  void* callbackArg;
  const QOXFifoDesc* fifoDesc;
  QOXFifo* heldData;
  QOXFifo* heldNotes;

  Message* messages;
  Part* current;
  uint32_t messageCounter;

  uint64_t heldSinceRecord;  // bytes held since the last record
  uint64_t heldToPass;       // bytes to replay before the loaded record
  bool recordLoaded;
  uint8_t recordKind;
  uint32_t recordLength;
  uint8_t record[kHeldRecordMax];

  uint32_t partNumber;
  uint32_t partTotal;
  uint32_t state;
  uint32_t pendingCode;
  uint32_t pendingDepth;
  uint32_t depth;

  char messageID[257];
  size_t messageIDLength;

  uint8_t decoded[68];
  size_t decodedCount;

  uint8_t line[kLineMax + 3];
  size_t lineLength;
  uint32_t crc;

  uint8_t hashes[255];
  uint8_t hashCount;
  bool hashSeen;

  bool holding;
  uint8_t lineState;
  bool overflow;
  bool bodyLineInHand;
  uint32_t lineEnd;
  uint32_t heldLineEnd;
  bool checksumOnLine;
  bool passLines;
  bool passClearsigned;
  bool passKeys;
  bool mime;
  bool bareBoundary;
  bool keepLine;         // the bare-boundary header line opens the signed text
  size_t headerOffset;   // 330: where the header text starts in the line
  size_t textOffset;     // 420: where the line's text starts (dash escape)
  bool blockDropped;     // a part that has no record: its bytes are dropped

  uint64_t consumed;
  uint64_t linePosition;
  uint64_t blockPosition;

  size_t quoteLength;
  uint8_t quote[kLineMax + 1];
  size_t boundaryLength;
  char boundary[kBoundaryRoom + 1];
};

Parser* P(QOXPipeline* m) { return StateOf<Parser>(m); }
QOXContext* Ctx(Parser* p) { return p->self->context; }

// --- Small text helpers ---

bool IsBlank(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool IsAlpha(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }
bool IsAlnum(uint8_t c) { return IsAlpha(c) || IsDigit(c); }
uint8_t Lower(uint8_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + 32) : c; }

View Trim(View v) {
  while (v.n > 0 && IsBlank(v.p[v.n - 1])) --v.n;
  return v;
}
bool StartsWith(View v, const char* s) {
  size_t n = std::strlen(s);
  return v.n >= n && std::memcmp(v.p, s, n) == 0;
}
bool StartsWithNoCase(View v, const char* s) {
  size_t n = std::strlen(s);
  if (v.n < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (Lower(v.p[i]) != static_cast<uint8_t>(s[i])) return false;
  }
  return true;
}
bool Equals(View v, const char* s) { return v.n == std::strlen(s) && std::memcmp(v.p, s, v.n) == 0; }
View Skip(View v, size_t n) { return n >= v.n ? View{v.p + v.n, 0} : View{v.p + n, v.n - n}; }
// Where s (lower case) first stands in v, any case; v.n when nowhere.
size_t FindNoCase(View v, const char* s) {
  size_t n = std::strlen(s);
  for (size_t i = 0; i + n <= v.n; ++i) {
    if (StartsWithNoCase(Skip(v, i), s)) return i;
  }
  return v.n;
}
bool IsBase64Char(uint8_t c) { return ostrak::Base64Value(c) >= 0; }

// --- Lines ---

View Line(Parser* p) { return {p->line, p->lineLength}; }
bool LineComplete(Parser* p) { return p->lineState == kLineComplete; }

// Reads into the line buffer up to its line end or kLineMax bytes. True when
// the line is complete or full.
bool ReadLine(Parser* p, ostrak::ByteCursor* in) {
  if (p->lineState == kLineComplete || p->overflow) return true;
  if (p->lineState == kLineCR) {
    uint8_t c;
    if (!in->peek_u8(&c)) return false;
    if (c == '\n') {
      p->line[p->lineLength++] = c;
      in->skip(1);
      ++p->consumed;
      p->lineEnd = kEndCRLF;
    } else {
      p->lineEnd = kEndCR;
    }
    p->lineState = kLineComplete;
    return true;
  }
  if (p->lineLength == 0) p->linePosition = p->consumed;
  uint8_t c;
  while (p->lineLength < kLineMax && in->get_u8(&c)) {
    ++p->consumed;
    p->line[p->lineLength++] = c;
    if (c == '\n') {
      p->lineEnd = kEndLF;
      p->lineState = kLineComplete;
      return true;
    }
    if (c == '\r') {
      uint8_t d;
      if (!in->peek_u8(&d)) {
        p->lineState = kLineCR;
        return false;
      }
      if (d == '\n') {
        in->skip(1);
        ++p->consumed;
        p->line[p->lineLength++] = d;
        p->lineEnd = kEndCRLF;
      } else {
        p->lineEnd = kEndCR;
      }
      p->lineState = kLineComplete;
      return true;
    }
  }
  if (p->lineLength >= kLineMax) {
    p->overflow = true;
    return true;
  }
  return false;
}

void ClearLine(Parser* p) {
  p->lineState = kLineOpen;
  p->overflow = false;
  p->lineLength = 0;
}

// Reads and drops the rest of the current line; true once it is complete
// (and cleared), false when the input ran out first.
bool Finish(Parser* p, ostrak::ByteCursor* in) {
  while (p->lineState != kLineComplete) {
    if (p->overflow) {
      p->overflow = false;
      p->lineLength = 0;
    }
    if (!ReadLine(p, in)) return false;
  }
  ClearLine(p);
  return true;
}

// The line without the quote prefix. Header lines lose it only when it is
// shorter than the line; a line that is the prefix without its trailing
// blanks (a quoted empty line) is empty.
View Unquoted(Parser* p, bool header) {
  View v = Line(p);
  if (p->quoteLength == 0) return v;
  bool fits = header ? p->quoteLength < v.n : p->quoteLength <= v.n;
  if (fits && std::memcmp(v.p, p->quote, p->quoteLength) == 0) return Skip(v, p->quoteLength);
  View q = Trim(View{p->quote, p->quoteLength});
  View t = Trim(v);
  if (t.n == q.n && std::memcmp(t.p, q.p, q.n) == 0) return View{v.p, 0};
  return v;
}

// --- Output ---

QOXError WriteAll(QOXPipeline* m, const uint8_t* bytes, size_t count) {
  if (count == 0) return kQOXErrNoErr;
  if (m == nullptr) return kQOXErrBadParams;
  return qoxPipelineWriteAll(m, bytes, count, nullptr);
}

QOXError FifoPut(Parser* p, QOXFifo* fifo, const void* bytes, size_t count) {
  if (count == 0) return kQOXErrNoErr;
  int64_t n = p->fifoDesc->write(fifo, static_cast<const uint8_t*>(bytes), count);
  if (n < 0) return static_cast<QOXError>(n);
  return static_cast<size_t>(n) < count ? kQOXErrOutOfMemory : kQOXErrNoErr;
}

QOXError HoldRecord(Parser* p, uint8_t kind, const uint8_t* body, size_t length) {
  if (length > kHeldRecordMax) return kQOXErrBadParams;
  uint8_t header[kHeldHeader];
  uint32_t before = static_cast<uint32_t>(p->heldSinceRecord);
  uint32_t len = static_cast<uint32_t>(length);
  std::memcpy(header, &before, 4);
  header[4] = kind;
  std::memcpy(header + 5, &len, 4);
  QOXError err = FifoPut(p, p->heldNotes, header, sizeof header);
  if (err == kQOXErrNoErr) err = FifoPut(p, p->heldNotes, body, length);
  if (err == kQOXErrNoErr) p->heldSinceRecord = 0;
  return err;
}

QOXError HoldAnnotation(Parser* p, QOXPipeline* origin, uint32_t type, const void* data, size_t count) {
  constexpr size_t kFixed = sizeof(QOXPipeline*) + 4 + 4;
  if (count > kHeldRecordMax - kFixed) return kQOXErrBadParams;
  uint8_t body[kHeldRecordMax];
  uint32_t size = static_cast<uint32_t>(count);
  std::memcpy(body, &origin, sizeof origin);
  std::memcpy(body + sizeof origin, &type, 4);
  std::memcpy(body + sizeof origin + 4, &size, 4);
  if (count > 0) std::memcpy(body + kFixed, data, count);
  return HoldRecord(p, kHeldAnnotation, body, kFixed + count);
}

// An annotation of the parser's own, outside any message: held while
// holding.
QOXError Emit(Parser* p, uint32_t type, const void* data, size_t count) {
  if (p->holding) return HoldAnnotation(p, p->self, type, data, count);
  return p->next->annotate(p->next, p->self, type, const_cast<void*>(data), count);
}
QOXError Direct(Parser* p, uint32_t type, const void* data, size_t count) {
  return p->next->annotate(p->next, p->self, type, const_cast<void*>(data), count);
}
QOXError EmitPosition(Parser* p, uint32_t type, uint64_t position) {
  uint32_t at = static_cast<uint32_t>(position);
  return Emit(p, type, &at, sizeof at);
}

// Text outside armor.
QOXError EmitText(Parser* p, const uint8_t* bytes, size_t count) {
  if (p->current != nullptr && p->current->textInput != nullptr) return WriteAll(p->current->textInput, bytes, count);
  if (p->holding) {
    QOXError err = FifoPut(p, p->heldData, bytes, count);
    if (err == kQOXErrNoErr) p->heldSinceRecord += count;
    return err;
  }
  return WriteAll(p->next, bytes, count);
}

QOXError ClosePending(Parser* p) {
  if (p->pendingCode == 0) return kQOXErrNoErr;
  uint32_t code = p->pendingCode;
  p->pendingCode = 0;
  return Emit(p, code, nullptr, 0);
}

// An annotation about the block being read, with the line as data: inside
// the block's message once that has begun, else like any other.
QOXError EmitLine(Parser* p, uint32_t type) {
  if (p->current != nullptr && p->current->message->begun) return Direct(p, type, p->line, p->lineLength);
  return Emit(p, type, p->line, p->lineLength);
}

// A line sent as kQOXAnnPassthroughText while pass-through lines are on.
QOXError PassLine(Parser* p) {
  if (!p->passLines) return kQOXErrNoErr;
  return EmitLine(p, kQOXAnnPassthroughText);
}

// --- The message tail: everything on to the parser's next module but the
// end of data and the teardown ---

struct Tail {
  QOXPipeline* next;
};
size_t TailWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  QOXPipeline* n = StateOf<Tail>(m)->next;
  return n->write(n, bytes, count, error);
}
QOXError TailFlush(QOXPipeline* m) {
  QOXPipeline* n = StateOf<Tail>(m)->next;
  return n->flush(n);
}
QOXError TailAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  QOXPipeline* n = StateOf<Tail>(m)->next;
  return n->annotate(n, origin, type, data, count);
}
QOXError TailSizeAdvise(QOXPipeline*, uint64_t) { return kQOXErrNoErr; }
QOXError TailTeardown(QOXPipeline* m) {
  FreeModule<Tail>(m);
  return kQOXErrNoErr;
}
constexpr ModuleOps kTailOps = {TailWrite, TailFlush, TailAnnotate, TailSizeAdvise, TailTeardown};

bool MakeTail(Parser* p, QOXPipeline** slot) {
  QOXPipeline* m = NewModule<Tail>(Ctx(p), kQOXMagicCopy, "Armor Message Tail", kTailOps);
  if (m == nullptr) return false;
  StateOf<Tail>(m)->next = p->next;
  *slot = m;
  return true;
}

// --- Messages and parts ---

void TeardownPart(Part* part) {
  qoxPipelineTeardown(part->input);
  qoxPipelineTeardown(part->textInput);
  qoxPipelineTeardown(part->sigInput);
  part->input = part->textInput = part->sigInput = nullptr;
}

void FreeMessage(Parser* p, Message* m) {
  for (Message** at = &p->messages; *at != nullptr; at = &(*at)->next) {
    if (*at == m) {
      *at = m->next;
      break;
    }
  }
  for (Part* part = m->parts; part != nullptr;) {
    Part* next = part->next;
    if (p->current == part) p->current = nullptr;
    TeardownPart(part);
    WipeAndFree(Ctx(p), part, sizeof *part);
    part = next;
  }
  WipeAndFree(Ctx(p), m, sizeof *m);
}

Message* GetMessage(Parser* p) {
  Message* last = nullptr;
  for (Message* m = p->messages; m != nullptr; m = m->next) {
    last = m;
    if (p->messageIDLength > 0) {
      if (m->idLength > 0 && std::memcmp(m->id, p->messageID, p->messageIDLength) == 0) {
        if (m->total == 0) m->total = p->partTotal;
        return m;
      }
    } else if (m->idLength == 0 && m->total == p->partTotal && p->partTotal != 1) {
      return m;
    }
  }
  auto* m = static_cast<Message*>(qoxContextMemAlloc(Ctx(p), sizeof(Message), kQOXMemoryMgrFlags_Clear));
  if (m == nullptr) return nullptr;
  std::memcpy(m->id, p->messageID, p->messageIDLength);
  m->idLength = p->messageIDLength;
  m->total = p->partTotal;
  m->sequence = ++p->messageCounter;
  if (last == nullptr) {
    p->messages = m;
  } else {
    last->next = m;
  }
  return m;
}

// A new part's input: the message's chain for its first part, else a Join
// appendage behind the last part.
bool MakePartInput(Parser* p, Message* m, Part* last, Part* part) {
  if (last == nullptr) {
    QOXPipeline* head = nullptr;
    if (!MakeTail(p, &head)) return false;
    if (qoxParseBinCreate(Ctx(p), &head, p->env, p->callbacks, p->callbackArg) == nullptr) {
      qoxPipelineTeardown(head);
      return false;
    }
    if (qoxJoinCreate(Ctx(p), &head, p->fifoDesc) == nullptr) {
      qoxPipelineTeardown(head);
      return false;
    }
    part->input = head;
    part->first = true;
    return true;
  }
  part->input = qoxJoinAppend(last->input);
  (void)m;
  return part->input != nullptr;
}

// The part record of number in m, with every missing one before it made.
// Null with *error 0 when the part is behind us or beyond the total.
Part* GetPart(Parser* p, Message* m, uint32_t number, QOXError* error) {
  *error = kQOXErrNoErr;
  if (m->total != 0 && number > m->total) return nullptr;
  Part* last = nullptr;
  for (Part* part = m->parts; part != nullptr; part = part->next) {
    if (part->number == number) return part;
    last = part;
  }
  if (last != nullptr && number < last->number) return nullptr;  // ended and gone
  for (uint32_t n = last ? last->number + 1 : 1; n <= number; ++n) {
    auto* part = static_cast<Part*>(qoxContextMemAlloc(Ctx(p), sizeof(Part), kQOXMemoryMgrFlags_Clear));
    if (part == nullptr || !MakePartInput(p, m, last, part)) {
      WipeAndFree(Ctx(p), part, sizeof(Part));
      *error = kQOXErrOutOfMemory;
      return nullptr;
    }
    part->number = n;
    part->message = m;
    if (last == nullptr) {
      m->parts = part;
    } else {
      last->next = part;
    }
    last = part;
  }
  return last;
}

QOXError AdviseEnd(Part* part) {
  QOXPipeline* modules[] = {part->sigInput, part->input, part->textInput};
  for (QOXPipeline* m : modules) {
    if (m == nullptr) continue;
    QOXError err = m->sizeAdvise(m, 0);
    if (err != kQOXErrNoErr) return err;
  }
  part->done = 2;
  return kQOXErrNoErr;
}

// Ends the ended parts at the front of a begun message; once its last part
// has gone, the message ends. A part stays (unadvised) while no part
// follows it and it is not the last, so that the next part's Join input
// still has its chain.
QOXError FlushMessage(Parser* p, Message* m) {
  while (m->parts != nullptr && m->parts->done != 0) {
    Part* part = m->parts;
    bool last = m->total != 0 && part->number == m->total;
    if (part->next == nullptr && !last) break;
    if (part->done == 1) {
      QOXError err = AdviseEnd(part);
      if (err != kQOXErrNoErr) return err;
    }
    m->parts = part->next;
    if (p->current == part) p->current = nullptr;
    TeardownPart(part);
    WipeAndFree(Ctx(p), part, sizeof *part);
    if (last) {
      QOXError err = Direct(p, kQOXAnnArmorMsgEnd, nullptr, 0);
      FreeMessage(p, m);
      p->holding = false;
      return err;
    }
  }
  return kQOXErrNoErr;
}

QOXError AnnouncePart(Parser* p, Part* part) {
  uint8_t data[8 + sizeof(Message::id)];
  uint32_t number = part->number;
  uint32_t total = part->message->total;
  std::memcpy(data, &number, 4);
  std::memcpy(data + 4, &total, 4);
  std::memcpy(data + 8, part->message->id, part->message->idLength);
  return Direct(p, kQOXAnnArmorPart, data, 8 + part->message->idLength);
}

QOXError BeginNow(Parser* p, Message* m) {
  uint32_t at = m->position;
  QOXError err = Direct(p, kQOXAnnArmorMsgBegin, &at, sizeof at);
  if (err != kQOXErrNoErr) return err;
  p->holding = true;
  m->begun = true;
  m->beginRequested = false;
  for (Part* part = m->parts; part != nullptr; part = part->next) {
    if (part->seen && part->number != 1) {
      err = AnnouncePart(p, part);
      if (err != kQOXErrNoErr) return err;
    }
  }
  if (m->parts != nullptr && m->parts->input != nullptr) {
    err = m->parts->input->flush(m->parts->input);
    if (err != kQOXErrNoErr) return err;
  }
  return FlushMessage(p, m);
}

QOXError BeginMessage(Parser* p, Message* m) {
  if (m->begun || m->beginRequested) return kQOXErrNoErr;
  m->position = static_cast<uint32_t>(p->blockPosition);
  if (p->holding) {
    m->beginRequested = true;
    return HoldRecord(p, kHeldBegin, reinterpret_cast<const uint8_t*>(&m), sizeof m);
  }
  return BeginNow(p, m);
}

QOXError Deliver(Parser* p, const uint8_t* bytes, size_t count) {
  Part* part = p->current;
  if (part == nullptr || part->done != 0 || count == 0) return kQOXErrNoErr;
  if (part->sigInput != nullptr) return WriteAll(part->sigInput, bytes, count);
  if (part->message->begun) return WriteAll(part->input, bytes, count);
  return qoxJoinBuffer(part->input, bytes, count) < count ? kQOXErrOutOfMemory : kQOXErrNoErr;
}

QOXError DonePart(Parser* p) {
  Part* part = p->current;
  p->current = nullptr;
  if (part == nullptr || part->done != 0) return kQOXErrNoErr;
  part->done = 1;
  if (!part->message->begun) return kQOXErrNoErr;
  return FlushMessage(p, part->message);
}

// Message and part of the block being read, made when it has none.
QOXError FindPart(Parser* p) {
  p->crc = kQOXCRC24Init;
  if (p->current != nullptr || p->blockDropped) return kQOXErrNoErr;
  Message* m = GetMessage(p);
  if (m == nullptr) return kQOXErrOutOfMemory;
  QOXError err;
  Part* part = GetPart(p, m, p->partNumber, &err);
  if (err != kQOXErrNoErr) return err;
  if (part == nullptr || part->seen || part->done != 0) {
    // A part already read, behind us or beyond the total: its bytes are
    // dropped and the block reported.
    if (m->parts == nullptr) FreeMessage(p, m);
    p->blockDropped = true;
    return Emit(p, kQOXAnnArmorError, p->line, p->lineLength);
  }
  part->seen = true;
  p->current = part;
  return kQOXErrNoErr;
}

// The clear-signed chain of the current part (see the file comment).
QOXError CreateClearsig(Parser* p) {
  Part* part = p->current;
  qoxPipelineTeardown(part->input);
  part->input = nullptr;

  QOXPipeline* text = nullptr;
  if (!MakeTail(p, &text)) return kQOXErrOutOfMemory;
  if (qoxSplitCreate(Ctx(p), &text) == nullptr) {
    qoxPipelineTeardown(text);
    return kQOXErrOutOfMemory;
  }
  part->textInput = text;
  QOXPipeline** second = qoxSplitAdd(text);
  if (second == nullptr) return kQOXErrOutOfMemory;
  QOXPipeline* textHead = nullptr;
  QOXPipeline* sigHead = nullptr;
  QOXError err = kQOXErrNoErr;
  void* reader = qoxVerifyReaderServices().qoxVerifyReaderCreate(
      Ctx(p), &textHead, &sigHead, p->env, p->fifoDesc, p->hashCount ? p->hashes : nullptr, p->hashCount, true,
      p->callbacks, p->callbackArg, &err);
  if (reader == nullptr) return err != kQOXErrNoErr ? err : kQOXErrOutOfMemory;
  *second = textHead;
  part->sigInput = sigHead;
  if (qoxTextFiltCreate(Ctx(p), second, nullptr, true, p->mime ? kQOXLineEndCRLF : kQOXLineEndKeep) == nullptr) {
    return kQOXErrOutOfMemory;
  }
  if (qoxParseBinCreate(Ctx(p), &part->sigInput, p->env, p->callbacks, p->callbackArg) == nullptr) {
    return kQOXErrOutOfMemory;
  }
  return kQOXErrNoErr;
}

// --- Replaying held output ---

QOXError ReadFifo(Parser* p, QOXFifo* fifo, uint8_t* out, size_t count) {
  if (count == 0) return kQOXErrNoErr;
  int64_t n = p->fifoDesc->read(fifo, out, count);
  if (n < 0) return static_cast<QOXError>(n);
  return static_cast<size_t>(n) < count ? kQOXErrIncompleteFifoRead : kQOXErrNoErr;
}

QOXError PassHeld(Parser* p, uint64_t limit) {
  while (limit > 0) {
    size_t run = 0;
    const uint8_t* bytes = p->fifoDesc->peek(p->heldData, &run);
    if (bytes == nullptr || run == 0) return kQOXErrIncompleteFifoRead;
    run = static_cast<size_t>(std::min<uint64_t>(run, limit));
    size_t sent = 0;
    QOXError err = qoxPipelineWriteAll(p->next, bytes, run, &sent);
    p->fifoDesc->seek(p->heldData, sent);
    limit -= sent;
    if (p->recordLoaded) p->heldToPass -= sent;
    if (err != kQOXErrNoErr) return err;
  }
  return kQOXErrNoErr;
}

QOXError FlushBuffers(Parser* p) {
  while (!p->holding) {
    if (!p->recordLoaded) {
      if (p->fifoDesc->size(p->heldNotes) == 0) {
        uint64_t all = p->fifoDesc->size(p->heldData);
        QOXError err = PassHeld(p, all);
        if (err == kQOXErrNoErr) p->heldSinceRecord = 0;
        return err;
      }
      uint8_t header[kHeldHeader];
      QOXError err = ReadFifo(p, p->heldNotes, header, sizeof header);
      if (err != kQOXErrNoErr) return err;
      uint32_t before, length;
      std::memcpy(&before, header, 4);
      std::memcpy(&length, header + 5, 4);
      if (length > kHeldRecordMax) return kQOXErrIncompleteFifoRead;
      err = ReadFifo(p, p->heldNotes, p->record, length);
      if (err != kQOXErrNoErr) return err;
      p->recordKind = header[4];
      p->recordLength = length;
      p->heldToPass = before;
      p->recordLoaded = true;
    }
    QOXError err = PassHeld(p, p->heldToPass);
    if (err != kQOXErrNoErr) return err;
    p->recordLoaded = false;
    if (p->recordKind == kHeldBegin) {
      Message* m;
      std::memcpy(&m, p->record, sizeof m);
      err = BeginNow(p, m);
    } else {
      QOXPipeline* origin;
      uint32_t type, size;
      std::memcpy(&origin, p->record, sizeof origin);
      std::memcpy(&type, p->record + sizeof origin, 4);
      std::memcpy(&size, p->record + sizeof origin + 4, 4);
      err = p->next->annotate(p->next, origin, type, size ? p->record + sizeof origin + 8 : nullptr, size);
    }
    if (err != kQOXErrNoErr) return err;
  }
  return kQOXErrNoErr;
}

// --- Recognising lines ---

// Where the armor header prefix starts in the line, or -1. Only characters
// that are neither letters nor digits, and markup tags, may stand before it.
long FindArmorHeader(View v) {
  if (v.n <= kArmorPrefixLength) return -1;
  size_t i = 0;
  while (i + kArmorPrefixLength <= v.n) {
    if (std::memcmp(v.p + i, kArmorPrefix, kArmorPrefixLength) == 0) return static_cast<long>(i);
    uint8_t c = v.p[i];
    if (c == '<') {
      const void* close = std::memchr(v.p + i, '>', v.n - i);
      if (close == nullptr) return -1;
      i = static_cast<size_t>(static_cast<const uint8_t*>(close) - v.p) + 1;
      continue;
    }
    if (IsAlnum(c)) return -1;
    ++i;
  }
  return -1;
}

bool ParseNumber(View* v, uint32_t* out) {
  uint32_t n = 0;
  size_t digits = 0;
  while (digits < v->n && IsDigit(v->p[digits])) {
    n = n * 10 + (v->p[digits] - '0');
    if (++digits > 3) return false;
  }
  if (digits == 0) return false;
  *v = Skip(*v, digits);
  *out = n;
  return true;
}

enum class HeaderLine { kText, kArmor, kClearsigned };

// The armor header line from the prefix at `at`.
HeaderLine ParseHeaderLine(Parser* p, size_t at) {
  View whole = Line(p);
  View v = Trim(Skip(whole, at + kArmorPrefixLength));
  if (v.n == 0) return HeaderLine::kText;
  if (StartsWith(v, kSignedMessage)) {
    if (!LineComplete(p)) return HeaderLine::kText;
    View rest = Skip(v, std::strlen(kSignedMessage));
    p->headerOffset = 0;
    if (StartsWith(rest, kDashes) && StartsWith(Skip(rest, std::strlen(kDashes)), ", ")) {
      p->headerOffset = static_cast<size_t>(rest.p - p->line) + std::strlen(kDashes) + 2;
    }
    return HeaderLine::kClearsigned;
  }
  if (p->passKeys && (StartsWith(v, "PUBLIC KEY") || StartsWith(v, "PRIVATE KEY"))) {
    p->passLines = true;
    if (Emit(p, kQOXAnnPassthroughText, p->line, p->lineLength) != kQOXErrNoErr) return HeaderLine::kText;
  }
  while (v.n > 0 && (IsAlnum(v.p[0]) || v.p[0] == ' ')) v = Skip(v, 1);
  uint32_t number = 1, total = 1;
  if (v.n > 0 && v.p[0] == ',') {
    if (!StartsWith(v, kPartMark)) return HeaderLine::kText;
    v = Skip(v, std::strlen(kPartMark));
    if (!ParseNumber(&v, &number) || number == 0) return HeaderLine::kText;
    total = 0;
    if (v.n > 0 && v.p[0] == '/') {
      v = Skip(v, 1);
      if (!ParseNumber(&v, &total) || total < 2 || number > total) return HeaderLine::kText;
    }
  }
  if (!Equals(v, kDashes)) return HeaderLine::kText;
  p->partNumber = number;
  p->partTotal = total;
  return HeaderLine::kArmor;
}

// "Key: value" with a key of letters, digits and '-' that begins with a
// letter. A "MessageID" keeps its value.
bool ParseHeader(Parser* p, View v) {
  if (!LineComplete(p) || v.n == 0 || !IsAlpha(v.p[0])) return false;
  size_t i = 1;
  while (i < v.n && (IsAlnum(v.p[i]) || v.p[i] == '-')) ++i;
  if (i > kHeaderKeyMax || i + 1 >= v.n || v.p[i] != ':' || (v.p[i + 1] != ' ' && v.p[i + 1] != '\t')) return false;
  if (StartsWith(v, kMessageIDHeader)) {
    View value = Skip(v, std::strlen(kMessageIDHeader));
    size_t n = std::min(value.n, sizeof(p->messageID) - 1);
    std::memcpy(p->messageID, value.p, n);
    p->messageID[n] = 0;
    p->messageIDLength = n;
  }
  return true;
}

bool OnlyBase64(View v) {
  if (v.n == 0) return false;
  for (size_t i = 0; i < v.n; ++i) {
    if (!IsBase64Char(v.p[i]) && v.p[i] != '=') return false;
  }
  return true;
}

void FillHashes(Parser* p, View v) {
  while (v.n > 0) {
    size_t n = 0;
    while (n < v.n && v.p[n] != ',') ++n;
    const QOXHashVTBL* hash = qoxHashByName(reinterpret_cast<const char*>(v.p), n);
    if (hash != nullptr && p->hashCount < sizeof p->hashes) p->hashes[p->hashCount++] = hash->algorithm;
    v = Skip(v, n + 2);  // the comma and the character after it
  }
}

// The checksum of a line: '=' and four Base64 characters. -1 when unreadable.
long ReadChecksum(View v) {
  v = Trim(v);
  if (v.n == 0) return -1;
  if (v.p[0] != '=') v = Skip(v, v.n >= 5 ? v.n - 5 : 0);
  v = Trim(v);
  if (v.n != 5 || v.p[0] != '=') return -1;
  uint8_t out[3];
  size_t n = 0;
  if (!ostrak::Base64Decode(reinterpret_cast<const char*>(v.p + 1), 4, out, &n) || n != 3) return -1;
  return (long{out[0]} << 16) | (long{out[1]} << 8) | out[2];
}

enum class MimeScan { kFailed, kMore, kBoth };

// Protocol and boundary parameters of a multipart/signed header line.
MimeScan ScanMime(Parser* p, View v) {
  if (FindNoCase(v, kProtocolSignature) < v.n) p->mime = true;
  size_t at = FindNoCase(v, kBoundaryKey);
  if (at < v.n) {
    View value = Skip(v, at + std::strlen(kBoundaryKey));
    size_t n = 0;
    if (value.n > 0 && value.p[0] == '"') {
      value = Skip(value, 1);
      const void* end = std::memchr(value.p, '"', value.n);
      if (end == nullptr) return MimeScan::kFailed;
      n = static_cast<size_t>(static_cast<const uint8_t*>(end) - value.p);
    } else {
      const void* end = std::memchr(value.p, ';', value.n);
      if (end == nullptr) return MimeScan::kFailed;
      n = static_cast<size_t>(static_cast<const uint8_t*>(end) - value.p);
    }
    if (n == 0 || n > kBoundaryValueMax) return MimeScan::kFailed;
    p->boundary[0] = '-';
    p->boundary[1] = '-';
    std::memcpy(p->boundary + 2, value.p, n);
    p->boundaryLength = n + 2;
    p->boundary[p->boundaryLength] = 0;
  }
  return p->mime && p->boundaryLength > 0 ? MimeScan::kBoth : MimeScan::kMore;
}

void ClearMime(Parser* p) {
  p->mime = false;
  p->boundaryLength = 0;
  std::memset(p->boundary, 0, sizeof p->boundary);
}

bool StartsWithBoundary(Parser* p, View v) {
  return p->boundaryLength > 0 && v.n >= p->boundaryLength && std::memcmp(v.p, p->boundary, p->boundaryLength) == 0;
}

void ResetBlock(Parser* p) {
  p->current = nullptr;
  p->partNumber = 0;
  p->partTotal = 0;
  p->messageIDLength = 0;
  std::memset(p->messageID, 0, sizeof p->messageID);
  p->decodedCount = 0;
  ClearLine(p);
  p->lineEnd = kEndNone;
  p->heldLineEnd = kEndNone;
  p->hashCount = 0;
  p->hashSeen = false;
  p->bodyLineInHand = false;
  p->checksumOnLine = false;
  p->quoteLength = 0;
  p->passLines = false;
  p->blockDropped = false;
  p->keepLine = false;
}

QOXError WriteLineEnd(QOXPipeline* m, uint32_t kind) {
  static constexpr uint8_t kCRLF[] = {'\r', '\n'};
  switch (kind) {
    case kEndLF:
      return WriteAll(m, kCRLF + 1, 1);
    case kEndCR:
      return WriteAll(m, kCRLF, 1);
    case kEndCRLF:
      return WriteAll(m, kCRLF, 2);
    default:
      return kQOXErrNoErr;
  }
}

// --- The state machine ---

#define TRY(expr)                                  \
  do {                                             \
    QOXError tryErr_ = (expr);                     \
    if (tryErr_ != kQOXErrNoErr) return tryErr_;   \
  } while (0)

QOXError Run(Parser* p, ostrak::ByteCursor* in) {
  for (;;) {
    switch (p->state) {
      case 0:
        if (!p->holding) TRY(FlushBuffers(p));
        p->state = 10;
        break;
      case 10:
        if (!ReadLine(p, in)) return kQOXErrNoErr;
        p->state = 20;
        break;
      case 20: {
        View v = Line(p);
        long at = FindArmorHeader(v);
        if (at > 0) {
          View after = Trim(Skip(v, static_cast<size_t>(at)));
          if (StartsWith(after, kSignatureHeader) || StartsWith(after, "-----BEGIN PGP SIGNED MESSAGE-----")) at = -1;
        }
        if (at >= 0) {
          p->quoteLength = static_cast<size_t>(at);
          std::memcpy(p->quote, p->line, p->quoteLength);
          p->state = 90;
        } else if (p->pendingCode == 0 && qoxFileTypeQOX(p->line, p->lineLength)) {
          p->state = 500;
        } else if (StartsWithNoCase(v, kMultipartSigned)) {
          p->state = 600;
        } else if (p->bareBoundary && LineComplete(p) && v.n >= 3 && v.p[0] == '-' && v.p[1] == '-') {
          p->state = 700;
        } else {
          p->state = 30;
        }
        break;
      }
      case 30:
        p->blockPosition = p->linePosition;
        if (p->pendingCode == 0 && p->lineLength > 0) {
          TRY(EmitPosition(p, kQOXAnnNonArmorBegin, p->blockPosition));
          p->pendingCode = kQOXAnnNonArmorEnd;
          p->pendingDepth = p->depth;
        }
        p->state = 40;
        break;
      case 40:
        TRY(EmitText(p, p->line, p->lineLength));
        p->state = 50;
        break;
      case 50:
        if (p->overflow) {
          p->overflow = false;
          p->lineLength = 0;
          if (!ReadLine(p, in)) return kQOXErrNoErr;
          p->state = 40;
          break;
        }
        ClearLine(p);
        p->state = 10;
        break;

      // --- An armored block ---
      case 90: {
        p->blockPosition = p->linePosition;
        HeaderLine h = ParseHeaderLine(p, p->quoteLength);
        if (h == HeaderLine::kClearsigned) {
          p->quoteLength = 0;
          p->state = 300;
        } else if (h == HeaderLine::kArmor) {
          p->state = 100;
        } else {
          p->quoteLength = 0;
          p->state = 30;
        }
        break;
      }
      case 100:
        p->crc = kQOXCRC24Init;
        TRY(ClosePending(p));
        p->state = 110;
        break;
      case 110:
        if (!Finish(p, in)) return kQOXErrNoErr;
        p->state = 120;
        break;
      case 120:
        if (!ReadLine(p, in)) return kQOXErrNoErr;
        p->state = 125;
        break;
      case 125:
        TRY(PassLine(p));
        p->state = 130;
        break;
      case 130: {
        View v = Trim(Unquoted(p, true));
        if (v.n == 0) {
          p->state = 110;
        } else if (OnlyBase64(v)) {
          p->bodyLineInHand = true;
          p->state = 150;
        } else {
          if (!ParseHeader(p, v)) TRY(EmitLine(p, kQOXAnnArmorHeader));
          p->state = 110;
        }
        break;
      }
      case 150:
        TRY(FindPart(p));
        p->state = 160;
        break;
      case 160:
        if (p->current != nullptr) {
          if (p->partNumber == 1) {
            TRY(BeginMessage(p, p->current->message));
          } else if (p->current->message->begun) {
            TRY(AnnouncePart(p, p->current));
          }
        }
        p->state = p->bodyLineInHand ? 190 : 170;
        p->bodyLineInHand = false;
        break;
      case 170:
        if (!Finish(p, in)) return kQOXErrNoErr;
        p->state = 180;
        break;
      case 180:
        if (!ReadLine(p, in)) return kQOXErrNoErr;
        p->state = 185;
        break;
      case 185:
        TRY(PassLine(p));
        p->state = 190;
        break;
      case 190: {
        View u = Unquoted(p, false);
        if (u.n > 0 && u.p[0] == '=') {
          p->state = 210;
          break;
        }
        View v = Trim(u);
        if (v.n > kBodyLineMax) {
          TRY(EmitLine(p, kQOXAnnArmorLongLine));
          p->state = 260;
          break;
        }
        if (v.n == 0) {
          p->state = 170;
          break;
        }
        if (StartsWith(v, kArmorEndPrefix)) {  // a block without a checksum line
          p->state = 250;
          break;
        }
        p->checksumOnLine = v.n > 8 && v.p[v.n - 5] == '=';
        size_t data = p->checksumOnLine ? v.n - 5 : v.n;
        int64_t n = qoxDearmorLine(v.p, data, p->decoded, sizeof p->decoded);
        if (n < 1 || n > static_cast<int64_t>(kDecodedMax)) {
          TRY(EmitLine(p, kQOXAnnArmorBadLine));
          p->state = 260;
          break;
        }
        p->decodedCount = static_cast<size_t>(n);
        p->crc = crcUpdate(p->crc, p->decoded, p->decodedCount);
        p->state = 200;
        break;
      }
      case 200:
        TRY(Deliver(p, p->decoded, p->decodedCount));
        p->decodedCount = 0;
        p->state = p->checksumOnLine ? 210 : 170;
        break;
      case 210: {
        long sum = ReadChecksum(Unquoted(p, false));
        p->checksumOnLine = false;
        if (sum < 0) {
          TRY(EmitLine(p, kQOXAnnArmorNoCRC));
          p->state = 260;
        } else if (static_cast<uint32_t>(sum) != (p->crc & 0xFFFFFF)) {
          TRY(EmitLine(p, kQOXAnnArmorCRCBad));
          p->state = 260;
        } else {
          p->state = 220;
        }
        break;
      }
      case 220:
        if (!Finish(p, in)) return kQOXErrNoErr;
        p->state = 230;
        break;
      case 230:
        if (!ReadLine(p, in)) return kQOXErrNoErr;
        p->state = 235;
        break;
      case 235:
        TRY(PassLine(p));
        p->state = 240;
        break;
      case 240:
        if (Trim(Unquoted(p, false)).n == 0) {
          p->state = 220;
        } else {
          p->state = p->mime ? 800 : 250;
        }
        break;
      case 250:
        if (!Finish(p, in)) return kQOXErrNoErr;
        p->state = 260;
        break;
      case 260:
        TRY(ClosePending(p));
        p->state = 270;
        break;
      case 270:
        if (p->overflow && !Finish(p, in)) return kQOXErrNoErr;
        TRY(DonePart(p));
        ResetBlock(p);
        p->state = 0;
        break;

      // --- A clear-signed message ---
      case 300:
        if (p->passClearsigned) {
          p->passLines = true;
          TRY(Emit(p, kQOXAnnPassthroughText, p->line, p->lineLength));
        }
        p->state = 305;
        break;
      case 305:
        TRY(ClosePending(p));
        p->hashSeen = false;
        p->state = p->headerOffset > 0 ? 330 : 310;
        break;
      case 310:
        if (!Finish(p, in)) return kQOXErrNoErr;
        p->headerOffset = 0;
        p->state = 320;
        break;
      case 320:
        if (!ReadLine(p, in)) return kQOXErrNoErr;
        p->state = 325;
        break;
      case 325:
        TRY(PassLine(p));
        p->state = 330;
        break;
      case 330: {
        View v = Trim(Skip(Line(p), p->headerOffset));
        if (v.n == 0 && LineComplete(p) && p->headerOffset == 0) {
          p->state = 340;
        } else if (!p->hashSeen && StartsWith(v, kHashHeader)) {
          p->hashSeen = true;
          FillHashes(p, Skip(v, std::strlen(kHashHeader)));
          if (LineComplete(p)) {
            p->state = 310;
          } else {
            p->hashCount = 0;
            p->headerOffset = 0;
            p->state = 30;
          }
        } else {
          p->hashCount = 0;
          p->headerOffset = 0;
          p->state = 30;
        }
        break;
      }
      case 340:
        if (!p->keepLine) {
          if (!Finish(p, in)) return kQOXErrNoErr;
          p->lineEnd = kEndNone;
        }
        p->heldLineEnd = kEndNone;
        p->state = 350;
        break;
      case 350:
        TRY(EmitPosition(p, kQOXAnnClearsigBegin, p->blockPosition));
        p->pendingCode = kQOXAnnClearsigEnd;
        p->pendingDepth = p->depth;
        p->state = 360;
        break;
      case 360: {
        p->partNumber = 1;
        p->partTotal = 1;
        p->messageIDLength = 0;
        TRY(FindPart(p));
        if (p->current == nullptr) return kQOXErrOutOfMemory;
        TRY(CreateClearsig(p));
        if (p->keepLine) {
          p->keepLine = false;
          p->state = 395;
        } else {
          p->state = 390;
        }
        break;
      }
      case 390:
        if (!ReadLine(p, in)) return kQOXErrNoErr;
        p->state = 395;
        break;
      case 395:
        TRY(PassLine(p));
        p->state = 400;
        break;
      case 400: {
        View v = Trim(Line(p));
        p->textOffset = 0;
        if (!p->mime && Equals(v, kSignatureHeader)) {
          p->heldLineEnd = kEndNone;
          p->quoteLength = 0;
          p->state = 90;
        } else if (p->mime && v.n == p->boundaryLength && StartsWithBoundary(p, v)) {
          p->heldLineEnd = kEndNone;
          p->state = 750;
        } else {
          if (!p->mime && StartsWith(Line(p), "- ")) p->textOffset = 2;
          p->state = 410;
        }
        break;
      }
      case 410:
        TRY(WriteLineEnd(p->current->textInput, p->heldLineEnd));
        p->heldLineEnd = kEndNone;
        p->state = 420;
        break;
      case 420: {
        size_t n = p->lineLength;
        if (LineComplete(p)) {
          while (n > p->textOffset && (p->line[n - 1] == '\r' || p->line[n - 1] == '\n')) --n;
        }
        if (n > p->textOffset) TRY(WriteAll(p->current->textInput, p->line + p->textOffset, n - p->textOffset));
        p->textOffset = 0;
        p->state = 430;
        break;
      }
      case 430:
        if (p->overflow) {
          p->overflow = false;
          p->lineLength = 0;
          if (!ReadLine(p, in)) return kQOXErrNoErr;
          p->state = 420;
          break;
        }
        p->heldLineEnd = p->lineEnd;
        ClearLine(p);
        p->state = 390;
        break;

      // --- Binary input ---
      case 500:
        TRY(Emit(p, kQOXAnnBinaryMsgBegin, nullptr, 0));
        p->pendingCode = kQOXAnnBinaryMsgEnd;
        p->pendingDepth = p->depth;
        p->state = 510;
        break;
      case 510:
        p->partNumber = 1;
        p->partTotal = 1;
        p->messageIDLength = 0;
        p->blockPosition = p->linePosition;
        TRY(FindPart(p));
        if (p->current == nullptr) return kQOXErrOutOfMemory;
        TRY(BeginMessage(p, p->current->message));
        p->state = 520;
        break;
      case 520:
        TRY(Deliver(p, p->line, p->lineLength));
        ClearLine(p);
        p->state = 530;
        break;
      case 530: {
        size_t n = in->remaining();
        if (n == 0) return kQOXErrNoErr;
        TRY(Deliver(p, in->data(), n));
        in->skip(n);
        p->consumed += n;
        return kQOXErrNoErr;
      }

      // --- The MIME form ---
      case 600: {
        View v = Line(p);
        if (StartsWithNoCase(v, kMultipartSigned)) v = Skip(v, std::strlen(kMultipartSigned));
        MimeScan scan = ScanMime(p, Trim(v));
        if (scan == MimeScan::kFailed) {
          ClearMime(p);
          p->state = 30;
        } else {
          p->state = scan == MimeScan::kBoth ? 650 : 610;
        }
        break;
      }
      case 610:
        if (!Finish(p, in)) return kQOXErrNoErr;
        p->state = 620;
        break;
      case 620:
        if (!ReadLine(p, in)) return kQOXErrNoErr;
        p->state = 630;
        break;
      case 630: {
        View v = Line(p);
        if (v.n > 0 && (v.p[0] == ' ' || v.p[0] == '\t') && Trim(v).n > 0) {
          p->state = 600;
        } else {
          ClearMime(p);
          p->state = 30;
        }
        break;
      }
      case 650:
        if (!Finish(p, in)) return kQOXErrNoErr;
        p->state = 660;
        break;
      case 660:
        if (!ReadLine(p, in)) return kQOXErrNoErr;
        p->state = 670;
        break;
      case 670:
        if (LineComplete(p) && StartsWithBoundary(p, Line(p))) {
          p->blockPosition = p->linePosition;
          p->state = 680;
        } else {
          p->state = 650;
        }
        break;
      case 680:
        TRY(ClosePending(p));
        p->state = 340;
        break;
      case 700: {
        View v = Trim(Line(p));
        size_t n = std::min(v.n, kBoundaryRoom - 2);
        std::memcpy(p->boundary, v.p, n);
        p->boundary[n] = 0;
        p->boundaryLength = n;
        p->blockPosition = p->linePosition;
        ClearLine(p);
        p->state = 710;
        break;
      }
      case 710:
        if (!ReadLine(p, in)) return kQOXErrNoErr;
        p->state = 720;
        break;
      case 720: {
        View v = Line(p);
        const void* colon = v.n >= 4 ? std::memchr(v.p, ':', v.n) : nullptr;
        size_t c = colon ? static_cast<size_t>(static_cast<const uint8_t*>(colon) - v.p) : v.n;
        if (LineComplete(p) && v.n >= 4 && !IsBlank(v.p[0]) && c + 1 < v.n && IsBlank(v.p[c + 1])) {
          p->mime = true;
          p->keepLine = true;
          p->state = 680;
        } else {
          ClearMime(p);
          p->state = 30;
        }
        break;
      }
      case 750:
        if (!Finish(p, in)) return kQOXErrNoErr;
        p->state = 760;
        break;
      case 760:
        if (!ReadLine(p, in)) return kQOXErrNoErr;
        p->state = 770;
        break;
      case 770: {
        View v = Line(p);
        if ((v.n > std::strlen(kSignatureHeader) && StartsWith(v, kSignatureHeader)) ||
            (v.n > std::strlen(kMessageHeader) && StartsWith(v, kMessageHeader))) {
          p->quoteLength = 0;
          p->state = 90;
        } else {
          p->state = 750;
        }
        break;
      }
      case 800:
        if (p->boundaryLength + 2 <= kBoundaryRoom) {
          p->boundary[p->boundaryLength++] = '-';
          p->boundary[p->boundaryLength++] = '-';
          p->boundary[p->boundaryLength] = 0;
        }
        p->state = 810;
        break;
      case 810:
        if (!Finish(p, in)) return kQOXErrNoErr;
        p->state = 820;
        break;
      case 820:
        if (!ReadLine(p, in)) return kQOXErrNoErr;
        p->state = 830;
        break;
      case 830:
        if (LineComplete(p) && StartsWithBoundary(p, Line(p))) {
          ClearMime(p);
          p->state = 260;
        } else {
          p->state = 810;
        }
        break;
      default:
        return kQOXErrBadParams;
    }
  }
}

#undef TRY

// --- The module ---

size_t ParseWrite(QOXPipeline* m, const uint8_t* bytes, size_t count, QOXError* error) {
  ostrak::ByteCursor in(bytes, count);
  *error = Run(P(m), &in);
  return count - in.remaining();
}

QOXError ParseFlush(QOXPipeline* m) {
  Parser* p = P(m);
  ostrak::ByteCursor none;
  QOXError err = Run(p, &none);
  if (err != kQOXErrNoErr) return err;
  return p->next->flush(p->next);
}

QOXError ParseSizeAdvise(QOXPipeline* m, uint64_t bytes) {
  Parser* p = P(m);
  if (bytes != 0) return kQOXErrNoErr;
  ostrak::ByteCursor none;
  if (p->lineState == kLineCR) {
    p->lineEnd = kEndCR;
    p->lineState = kLineComplete;
  } else if (p->lineLength > 0 || p->overflow) {
    p->overflow = false;
    p->lineEnd = kEndNone;
    p->lineState = kLineComplete;
  }
  QOXError err = Run(p, &none);
  if (err != kQOXErrNoErr) return err;
  if (p->current != nullptr || (p->state >= 300 && p->state < 500)) {
    if (p->lineLength > 0) p->lineState = kLineComplete;
    p->state = 260;
    err = Run(p, &none);
    if (err != kQOXErrNoErr) return err;
  }
  err = ClosePending(p);
  if (err != kQOXErrNoErr) return err;
  if (!p->holding) {
    err = FlushBuffers(p);
    if (err != kQOXErrNoErr) return err;
  }
  if (p->depth != 0) return kQOXErrNoErr;
  if (p->messages != nullptr) return kQOXErrAsciiArmorIncomplete;
  return p->next->sizeAdvise(p->next, 0);
}

Message* FindSequence(Parser* p, uint32_t sequence) {
  for (Message* m = p->messages; m != nullptr; m = m->next) {
    if (m->sequence == sequence) return m;
  }
  return nullptr;
}

QOXError ParseAnnotate(QOXPipeline* m, QOXPipeline* origin, uint32_t type, void* data, size_t count) {
  Parser* p = P(m);
  const auto* d = static_cast<const uint8_t*>(data);
  switch (type) {
    case kQOXAnnStatusFlag:
      return static_cast<QOXError>(p->messageCounter);
    case kQOXAnnStatusMsgCount: {
      int32_t n = 0;
      for (Message* msg = p->messages; msg != nullptr; msg = msg->next) ++n;
      return n;
    }
    case kQOXAnnStatusFirstMsg:
      for (Message* msg = p->messages; msg != nullptr; msg = msg->next) {
        if (msg->begun) return static_cast<QOXError>(msg->sequence);
      }
      return 0;
    case kQOXAnnStatusMsgParts: {
      uint32_t sequence;
      if (d == nullptr || count < 4) return 0;
      std::memcpy(&sequence, d, 4);
      Message* msg = FindSequence(p, sequence);
      return msg ? static_cast<QOXError>(msg->total) : 0;
    }
    case kQOXAnnStatusMsgInfo: {
      uint32_t sequence, number;
      if (d == nullptr || count < 8) return 0;
      std::memcpy(&sequence, d, 4);
      std::memcpy(&number, d + 4, 4);
      Message* msg = FindSequence(p, sequence);
      if (msg == nullptr) return 0;
      if (msg->parts == nullptr) return 2;
      if (number < msg->parts->number) return 1;
      for (Part* part = msg->parts; part != nullptr; part = part->next) {
        if (part->number == number) return part->done != 0 ? 1 : 2;
      }
      return 2;
    }
    case kQOXAnnPassthrough:
      if (d != nullptr && count > 0) p->passClearsigned = d[0] != 0;
      break;
    case kQOXAnnPassthroughKeys:
      if (d != nullptr && count > 0) p->passKeys = d[0] != 0;
      break;
    default:
      if (qoxAnnIsScopeEnd(type) && p->pendingCode != 0 && p->pendingDepth == p->depth) {
        QOXError err = ClosePending(p);
        if (err != kQOXErrNoErr) return err;
      }
      break;
  }
  QOXError err;
  if (p->holding && !(type == kQOXAnnPassthroughText && p->current != nullptr && p->current->message->begun)) {
    err = HoldAnnotation(p, origin, type, data, count);
  } else {
    err = p->next->annotate(p->next, origin, type, data, count);
  }
  if (err == kQOXErrNoErr) qox_pipeline::TrackDepth(type, &p->depth);
  return err;
}

QOXError ParseTeardown(QOXPipeline* m) {
  Parser* p = P(m);
  while (p->messages != nullptr) FreeMessage(p, p->messages);
  qoxPipelineTeardown(p->next);
  p->fifoDesc->destroy(p->heldData);
  p->fifoDesc->destroy(p->heldNotes);
  FreeModule<Parser>(m);
  return kQOXErrNoErr;
}

constexpr ModuleOps kParseOps = {ParseWrite, ParseFlush, ParseAnnotate, ParseSizeAdvise, ParseTeardown};

}  // namespace

void qoxParseAscInit() {}

int64_t qoxDearmorLine(const uint8_t* text, size_t length, uint8_t* out, size_t capacity) {
  if (text == nullptr || out == nullptr) return -1;
  // The quoted-printable padding ("=3D" for '=') becomes plain padding in a
  // copy of the last group, and the one Base64 codec decodes the rest.
  uint8_t tail[8];
  size_t tailLength = 0;
  size_t body = length;
  if (length >= 8 && std::memcmp(text + length - 6, "=3D=3D", 6) == 0) {
    body = length - 8;
    std::memcpy(tail, text + body, 2);
    std::memcpy(tail + 2, "==", 2);
    tailLength = 4;
  } else if (length >= 6 && std::memcmp(text + length - 3, "=3D", 3) == 0) {
    body = length - 6;
    std::memcpy(tail, text + body, 3);
    tail[3] = '=';
    tailLength = 4;
  }
  if (body % 4 != 0) return -1;
  size_t need = ostrak::Base64DecodedMaxLength(body + tailLength);
  if (need > capacity) return -1;
  size_t n = 0;
  if (!ostrak::Base64Decode(reinterpret_cast<const char*>(text), body, out, &n)) return -1;
  if (tailLength > 0) {
    size_t m = 0;
    if (!ostrak::Base64Decode(reinterpret_cast<const char*>(tail), tailLength, out + n, &m)) return -1;
    n += m;
  }
  return static_cast<int64_t>(n);
}

QOXPipeline** qoxParseAscCreate(QOXContext* context, QOXPipeline** head, QOXEnv* env, const QOXFifoDesc* fifoDesc,
                                const QOXDecodeCallbacks* callbacks, void* callbackArg, QOXError* error) {
  QOXError ignored;
  if (error == nullptr) error = &ignored;
  *error = kQOXErrNoErr;
  if (head == nullptr || env == nullptr) {
    *error = kQOXErrBadParams;
    return nullptr;
  }
  if (fifoDesc == nullptr) fifoDesc = &qoxByteFifoDesc;
  QOXPipeline* m = NewModule<Parser>(context, kQOXMagicParseAsc, "Ascii Armor Parser Module", kParseOps);
  if (m == nullptr) {
    *error = kQOXErrOutOfMemory;
    return nullptr;
  }
  Parser* p = P(m);
  p->self = m;
  p->env = env;
  p->callbacks = callbacks;
  p->callbackArg = callbackArg;
  p->fifoDesc = fifoDesc;
  p->heldData = fifoDesc->create(context);
  p->heldNotes = fifoDesc->create(context);
  if (p->heldData == nullptr || p->heldNotes == nullptr) {
    if (p->heldData != nullptr) fifoDesc->destroy(p->heldData);
    if (p->heldNotes != nullptr) fifoDesc->destroy(p->heldNotes);
    FreeModule<Parser>(m);
    *error = kQOXErrOutOfMemory;
    return nullptr;
  }
  p->bareBoundary = qoxenvGetInt(env, kQOXEnvArmorParser, nullptr, nullptr) != 0;
  p->crc = kQOXCRC24Init;
  p->next = *head;
  *head = m;
  return &p->next;
}
