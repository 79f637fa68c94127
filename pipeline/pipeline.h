// The message pipeline: modules, their protocol, annotations and commits.
//
// Every message the toolkit encodes or decodes streams through a chain of
// modules, built from its head towards its sink:
//
//     pump -> head module -> filter -> ... -> filter -> sink
//
// A pump (the file read pump, a memory pump) writes the input into the head;
// each filter transforms what it receives and writes the result into its
// tail (the next module); a sink keeps or discards what reaches it. Beside
// the bytes, modules send each other annotations: numbered out-of-band
// messages that open and close scopes, carry packet bodies, ask questions
// and carry commit decisions.
//
// The module protocol (every module of this folder obeys it):
//   write(m, bytes, n, &err) -> bytes taken. All n taken: err is 0. Fewer:
//       err says why and the caller stops writing and returns err. Output a
//       module cannot pass on at once stays in its state and goes out at the
//       next write, flush, annotate or sizeAdvise.
//   flush(m) -> error. Passes every byte still held on, then flushes the
//       tail; the first error met is returned.
//   annotate(m, origin, type, data, n) -> error. origin is the sender (null
//       for a pump or the job) so that a module further down can answer by
//       calling origin->annotate. A filter first writes out every byte it
//       holds (a failed write returns its error and the annotation is not
//       passed on). A module acts on the types it knows, tracks the depth of
//       scope types, and passes others on; a sink ignores unknown types and
//       returns 0. Answers travel in the caller's buffer (4-byte answers as
//       a host uint32_t; pointer answers as a host pointer).
//   sizeAdvise(m, n) -> error. A promise that exactly n more bytes come;
//       0 means the end of the data. A filter that knows how its output size
//       follows from its input passes an advice on; one that changes the size
//       (armor, compression, inflate, decryption with a checksum) passes on
//       only the advice 0. Fewer bytes than promised before the end is
//       -11416. A filter writes out what it holds before passing an advice.
//   teardown(m) -> 0. Tears the tail (or tails) down first, then wipes and
//       frees the module. Tearing the head down frees the whole chain.
//       Modules never tear themselves down on an error: the error travels
//       back to the job, which tears the chain down from its head.
//
// Creation: qox<Kind>Create(context, slot, ...) takes the address of the
// slot that must point to the new module (the job's head variable for the
// first module, else the slot the previous create returned). A null slot
// address gives null at once. A filter takes whatever the slot held as its
// tail, stores itself in the slot and returns the address of its own tail
// slot; a sink stores itself in the slot and returns itself. Any failure
// returns null and frees what was allocated (the slot keeps what it held).
//
// Commits: a parser that opens a scope sends the scope's begin annotation,
// the annotations that describe it, then kQOXAnnCommit with itself as origin.
// The deciding module answers by calling origin->annotate with a commit code
// (258..261) as the type; the parser then skips, copies, processes or
// re-parses the scope.
//
// FIFOs in which modules park bytes: pipeline/fifo.h.
//
// Ownership: a chain belongs to whoever created its head; modules are
// allocated zero-filled from their context's memory and wiped when freed.
// Threads: a chain and its FIFOs belong to one job on one thread at a time;
// nothing here locks, and no module keeps process-wide mutable state.
#ifndef OSTRAK_PIPELINE_PIPELINE_H_
#define OSTRAK_PIPELINE_PIPELINE_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/sdk_errors.h"

struct QOXContext;

struct QOXPipeline {
  uint32_t magic;  // the kind of module (kQOXMagic...)
  size_t (*write)(QOXPipeline* module, const uint8_t* bytes, size_t count, QOXError* error);
  QOXError (*flush)(QOXPipeline* module);
  QOXError (*annotate)(QOXPipeline* module, QOXPipeline* origin, uint32_t type, void* data, size_t count);
  // Bytes still to come; 64 bits, so that inputs past 4 GiB keep their promise.
  QOXError (*sizeAdvise)(QOXPipeline* module, uint64_t bytes);
  QOXError (*teardown)(QOXPipeline* module);
  const char* name;      // the kind's name, e.g. "Dev Null"
  QOXContext* context;   // owns the module's memory
  void* priv;            // the module's own state
};

// --- Annotation types ---
// A type whose bits 1..7 are all zero opens (low bit 0) or closes (low bit
// 1) a scope; every other type is a single message.
constexpr bool qoxAnnIsScopeBegin(uint32_t type) { return (type & 0xFF) == 0x00; }
constexpr bool qoxAnnIsScopeEnd(uint32_t type) { return (type & 0xFF) == 0x01; }

inline constexpr uint32_t kQOXAnnCommit = 0x0002;
inline constexpr uint32_t kQOXAnnPacketError = 0x0010;
inline constexpr uint32_t kQOXAnnPacketTruncated = 0x0011;
inline constexpr uint32_t kQOXAnnPacketGarbled = 0x0012;
inline constexpr uint32_t kQOXAnnSignatureTooBig = 0x0020;
inline constexpr uint32_t kQOXAnnESKTooBig = 0x0021;
inline constexpr uint32_t kQOXAnnOutputFilename = 0x0030;
inline constexpr uint32_t kQOXAnnMemBufSize = 0x0040;
inline constexpr uint32_t kQOXAnnMemByteCount = 0x0041;
inline constexpr uint32_t kQOXAnnMemEnable = 0x0042;
inline constexpr uint32_t kQOXAnnMemMaxSize = 0x0043;
inline constexpr uint32_t kQOXAnnMemMemBuf = 0x0044;
inline constexpr uint32_t kQOXAnnMemAppend = 0x0045;
inline constexpr uint32_t kQOXAnnStatusFlag = 0x0050;
inline constexpr uint32_t kQOXAnnStatusMsgCount = 0x0051;
inline constexpr uint32_t kQOXAnnStatusFirstMsg = 0x0052;
inline constexpr uint32_t kQOXAnnStatusMsgParts = 0x0053;
inline constexpr uint32_t kQOXAnnStatusMsgInfo = 0x0054;
inline constexpr uint32_t kQOXAnnUnknownBegin = 0x0200;
inline constexpr uint32_t kQOXAnnUnknownEnd = 0x0201;
inline constexpr uint32_t kQOXAnnLiteralBegin = 0x0300;
inline constexpr uint32_t kQOXAnnLiteralEnd = 0x0301;
inline constexpr uint32_t kQOXAnnLiteralType = 0x0302;
inline constexpr uint32_t kQOXAnnLiteralName = 0x0303;
inline constexpr uint32_t kQOXAnnLiteralTimestamp = 0x0304;
inline constexpr uint32_t kQOXAnnCipherBegin = 0x0400;
inline constexpr uint32_t kQOXAnnCipherEnd = 0x0401;
inline constexpr uint32_t kQOXAnnCipherNoText = 0x0402;
inline constexpr uint32_t kQOXAnnSKCipherESK = 0x0403;
inline constexpr uint32_t kQOXAnnPKCipherESK = 0x0404;
inline constexpr uint32_t kQOXAnnMDCSize = 0x0405;
inline constexpr uint32_t kQOXAnnMDCHash = 0x0406;
inline constexpr uint32_t kQOXAnnMDCTrailer = 0x0407;
inline constexpr uint32_t kQOXAnnCompressedBegin = 0x0500;
inline constexpr uint32_t kQOXAnnCompressedEnd = 0x0501;
inline constexpr uint32_t kQOXAnnTag16Begin = 0x0600;
inline constexpr uint32_t kQOXAnnTag16End = 0x0601;
inline constexpr uint32_t kQOXAnnSignedBegin = 0x0900;
inline constexpr uint32_t kQOXAnnSignedEnd = 0x0901;
inline constexpr uint32_t kQOXAnnSignature = 0x0902;
inline constexpr uint32_t kQOXAnnSignatureTrailer = 0x0903;
inline constexpr uint32_t kQOXAnnSignedDetached = 0x0904;
inline constexpr uint32_t kQOXAnnHashRequest = 0x0910;
inline constexpr uint32_t kQOXAnnHashValue = 0x0920;
inline constexpr uint32_t kQOXAnnKeysBegin = 0x0F00;
inline constexpr uint32_t kQOXAnnKeysEnd = 0x0F01;
inline constexpr uint32_t kQOXAnnNonMessageBegin = 0x1000;
inline constexpr uint32_t kQOXAnnNonMessageEnd = 0x1001;
inline constexpr uint32_t kQOXAnnNonArmorBegin = 0x1100;
inline constexpr uint32_t kQOXAnnNonArmorEnd = 0x1101;
inline constexpr uint32_t kQOXAnnArmorMsgBegin = 0x1200;
inline constexpr uint32_t kQOXAnnArmorMsgEnd = 0x1201;
inline constexpr uint32_t kQOXAnnArmorPart = 0x1202;
inline constexpr uint32_t kQOXAnnArmorBadLine = 0x1203;
inline constexpr uint32_t kQOXAnnArmorHeader = 0x1204;
inline constexpr uint32_t kQOXAnnArmorLongLine = 0x1205;
inline constexpr uint32_t kQOXAnnArmorError = 0x1206;
inline constexpr uint32_t kQOXAnnArmorNoCRC = 0x1207;
inline constexpr uint32_t kQOXAnnArmorCRCBad = 0x1208;
inline constexpr uint32_t kQOXAnnClearsigBegin = 0x1300;
inline constexpr uint32_t kQOXAnnClearsigEnd = 0x1301;
inline constexpr uint32_t kQOXAnnPassthroughText = 0x1302;
inline constexpr uint32_t kQOXAnnPassthrough = 0x1303;
inline constexpr uint32_t kQOXAnnPassthroughKeys = 0x1304;
inline constexpr uint32_t kQOXAnnBinaryMsgBegin = 0x1400;
inline constexpr uint32_t kQOXAnnBinaryMsgEnd = 0x1401;
inline constexpr uint32_t kQOXAnnInputBegin = 0x1500;
inline constexpr uint32_t kQOXAnnInputEnd = 0x1501;
inline constexpr uint32_t kQOXAnnArmorFileBegin = 0x1600;
inline constexpr uint32_t kQOXAnnArmorFileEnd = 0x1601;
inline constexpr uint32_t kQOXAnnMIMEBodyOffset = 0x1610;
inline constexpr uint32_t kQOXAnnMIMEHeaderLines = 0x1611;
inline constexpr uint32_t kQOXAnnMIMESeparator = 0x1612;
inline constexpr uint32_t kQOXAnnPEMCertificate = 0x1620;
inline constexpr uint32_t kQOXAnnPEMCertRequest = 0x1621;
inline constexpr uint32_t kQOXAnnPEMPrivateKey = 0x1622;

// --- Commit codes (also sent upward as annotation types) ---
inline constexpr uint32_t kQOXCommitSkip = 258;         // discard the scope
inline constexpr uint32_t kQOXCommitPassthrough = 259;  // copy its bytes out unchanged
inline constexpr uint32_t kQOXCommitProcess = 260;      // decode it
inline constexpr uint32_t kQOXCommitRecurse = 261;      // decode it and parse the result again

// --- Module kinds (magic words) ---
inline constexpr uint32_t kQOXMagicDevNull = 0xDE557711;
inline constexpr uint32_t kQOXMagicMemMod = 0xFEEDBABE;
inline constexpr uint32_t kQOXMagicVariableMemMod = 0xDEAFBABE;
inline constexpr uint32_t kQOXMagicFileWrite = 0xFEEDF11E;
inline constexpr uint32_t kQOXMagicCopy = 0x0C09430D;
inline constexpr uint32_t kQOXMagicJoin = 0x00112233;
inline constexpr uint32_t kQOXMagicSplit = 0x11223344;
inline constexpr uint32_t kQOXMagicHeader = 0x4EADE640;
inline constexpr uint32_t kQOXMagicTextFilter = 0x1E81F111;
inline constexpr uint32_t kQOXMagicArmorWrite = 0xA4904F11;
inline constexpr uint32_t kQOXMagicAddHeader = 0xADD0B11E;
inline constexpr uint32_t kQOXMagicInflate = 0x01258AEF;
inline constexpr uint32_t kQOXMagicDeflate = 0x0DEF1A1E;
inline constexpr uint32_t kQOXMagicHash = 0x8A5430D1;
inline constexpr uint32_t kQOXMagicSignature = 0x519A10FE;
inline constexpr uint32_t kQOXMagicSigHead = 0x519C43C7;
inline constexpr uint32_t kQOXMagicTextHead = 0x519C43C8;
inline constexpr uint32_t kQOXMagicCipher = 0xC1FEC0DE;
inline constexpr uint32_t kQOXMagicPKE = 0x90B11C47;
inline constexpr uint32_t kQOXMagicParseBin = 0xFEEDF00D;

// --- Calls on any module (null-safe where it matters) ---
// Writes all of bytes to module, calling write until everything is taken.
// Returns 0 or the first error; *sent (may be null) gets the bytes taken.
// A module that takes nothing and reports no error gives -11989.
QOXError qoxPipelineWriteAll(QOXPipeline* module, const uint8_t* bytes, size_t count, size_t* sent);
// Teardown of a module and everything behind it; null is ignored.
void qoxPipelineTeardown(QOXPipeline* module);
// Stores a 4-byte answer into an annotation's buffer; -12000 when the
// buffer is null or shorter than 4 bytes.
QOXError qoxAnnAnswerU32(void* data, size_t count, uint32_t value);

#endif  // OSTRAK_PIPELINE_PIPELINE_H_
