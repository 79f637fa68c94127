// Mac creator/type mapping table and MacBinary II conversion.
#include "foundation/macbinary.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "foundation/byte_cursor.h"
#include "foundation/file_name.h"
#include "foundation/file_spec.h"
#include "foundation/hex.h"
#include "foundation/io.h"
#include "foundation/sdk_errors.h"

namespace {

// One row per line: creator, type and extension separated by tabs. A code
// is four raw characters (spaces included) or "0x" and eight hex digits.
// The toolkit's own files use the creators "QOXm" (messages) and "QOXk"
// (keys). Lookup takes the first match, so the wild-card rows at the end
// serve only pairs not listed before them.
constexpr char kMappingText[] =
    "# Mac creator and type codes and the file-name extensions they map to.\n"
    "# creator\ttype\textension\n"
    "CWIE\tTEXT\th\n"
    "CWIE\tTEXT\tc\n"
    "CWIE\tTEXT\tcp\n"
    "CWIE\tTEXT\tcpp\n"
    "ttxt\tTEXT\ttxt\n"
    "MOSS\tTEXT\thtm\n"
    "SITx\tTEXT\thqx\n"
    "JVWR\tJPEG\tjpg\n"
    "JVWR\tGIFf\tgif\n"
    "SIT!\tBINA\tzip\n"
    "SIT!\tBINA\tgz\n"
    "SIT!\tBINA\ttar\n"
    "SIT!\tBINA\tuu\n"
    "SIT!\tBINA\tbin\n"
    "SIT!\tBINA\tarc\n"
    "SIT!\tBINA\tz\n"
    "8BIM\tGIFf\tgif\n"
    "8BIM\t8BPS\tpsd\n"
    "8BIM\tTPIC\ttga\n"
    "8BIM\tJPEG\tjpg\n"
    "ALD3\tALB3\tpm3\n"
    "ALD4\tALB4\tpm4\n"
    "ALD5\tALB5\tpm5\n"
    "ALD6\tALB6\tpm6\n"
    "MSPJ\tMPP \tmpp\n"
    "MSPJ\tMPX \tmpp\n"
    "AnVw\t****\tgl\n"
    "arc*\tmArc\tarc\n"
    "BnHq\tTEXT\thqx\n"
    "Booz\tZoo \tzoo\n"
    "CARO\tPDF \tpdf\n"
    "CPCT\tPACT\tcpt\n"
    "DAD2\tdrw2\tcvs\n"
    "DArj\tBINA\tarj\n"
    "dCpy\tdlmg\tima\n"
    "dPro\tEPSF\teps\n"
    "dPro\tPICT\tmac\n"
    "FMPR\tFMPR\tfm\n"
    "GKON\tCGMm\tcgm\n"
    "GKON\tDLdI\tdl\n"
    "GKON\tFLI \tfli\n"
    "GKON\tICO \tico\n"
    "GKON\tILBM\tiff\n"
    "GKON\tIMGg\timg\n"
    "GKON\tILBM\tlbm\n"
    "GKON\tMSPp\tmsp\n"
    "GKON\tSTAD\tPAC\n"
    "GKON\tPPGM\tpbm\n"
    "GKON\tPICS\tpcs\n"
    "GKON\tPCXx\tpcx\n"
    "GKON\tPPGM\tpgm\n"
    "GKON\tHPGL\tplt\n"
    "GKON\tPMpm\tpm\n"
    "GKON\tPPGM\tppm\n"
    "GKON\tRIFF\trif\n"
    "GKON\tRLE \trle\n"
    "GKON\tSHPp\tshp\n"
    "GKON\tSpec\tspc\n"
    "GKON\tSUNn\tsr\n"
    "GKON\tSUNn\tsun\n"
    "GKON\tSCRN\tsup\n"
    "GKON\tTARG\ttga\n"
    "GKON\tWMF \twmf\n"
    "GKON\tFLI \tflc\n"
    "Gzip\tGzip\tgz\n"
    "JVWR\tJPEG\tjpg\n"
    "JVWR\tBMPp\tvga\n"
    "L123\tWKS \twks\n"
    "LARC\tLHA \tlha\n"
    "LARC\tLHA \tlzh\n"
    "LZIV\tZIVU\tz\n"
    "mdos\tBINA\texe\n"
    "mMPG\tMPEG\tmpg\n"
    "MSWD\tW8BN\tdoc\n"
    "MSWD\tW6BN\tdoc\n"
    "MSWD\tWDBN\tdoc\n"
    "MSWD\tWTBN\tdot\n"
    "MSWD\tTEXT\ttxt\n"
    "MSWD\tRTF \trtf\n"
    "MSWD\t****\tdoc\n"
    "OTEX\tODVI\tdvi\n"
    "OTEX\tTEXT\ttex\n"
    "QOXm\tSIGd\tsig\n"
    "QOXm\tENCm\tqox\n"
    "QOXm\tSIGm\tsgn\n"
    "QOXm\tTEXT\tasc\n"
    "QOXk\tPKRG\tpkr\n"
    "QOXk\tSKRG\tskr\n"
    "QOXk\tRSED\trnd\n"
    "QOXk\tGRPS\tgrp\n"
    "QOXk\tSPLT\tshf\n"
    "QOXk\tTEXT\tasc\n"
    "PPT3\tSLD8\tppt\n"
    "PPT3\tSLD3\tppt\n"
    "PPT3\tPPOT\tpot\n"
    "pZIP\tpZIP\tzip\n"
    "SCPL\tAIFF\taif\n"
    "SCPL\tULAW\tau\n"
    "SCPL\tSTrk\tmod\n"
    "SCPL\t8SVX\tsvx\n"
    "SCPL\tWAVE\twav\n"
    "SITx\tSIT!\tsit\n"
    "SITx\tSITD\tsit\n"
    "TAR \tTARF\ttar\n"
    "ttxt\tPICT\tpct\n"
    "ttxt\tPICT\tpic\n"
    "TVOD\tMooV\tqt\n"
    "UPIT\tPIT \tpit\n"
    "WPC2\t.WP5\twp\n"
    "WPC2\t.WP5\twp5\n"
    "XCEL\tXLS8\txls\n"
    "XCEL\tXLS5\txls\n"
    "XCEL\tXLS4\txls\n"
    "XCEL\tXLC3\txlc\n"
    "XCEL\tXLM3\txlm\n"
    "XCEL\tXLW \txlw\n"
    "XCEL\tTEXT\tslk\n"
    "XCEL\t****\txls\n"
    "XPRS\tXDOC\tqxd\n"
    "****\tTEXT\ttxt\n"
    "****\tpZIP\tzip\n"
    "****\tZIVU\tzip\n"
    "****\tMidi\tmdi\n"
    "****\tPAK \tpak\n"
    "****\tmArc\tarc\n"
    "****\tZOO \tzoo\n"
    "****\tGIFf\tgif\n"
    "****\tJPEG\tjpg\n"
    "****\tTIFF\ttif\n"
    "****\tEPSF\teps\n";

constexpr uint32_t kTableGrowth = 10;

// Guards gMappings; held only for a build, a free or one lookup.
std::mutex gMappingsMutex;
QOXMacMappingTable* gMappings = nullptr;

bool IsBlank(uint8_t c) { return c == ' ' || c == '\t'; }

void SkipBlanks(ostrak::ByteCursor& in) {
  uint8_t c;
  while (in.peek_u8(&c) && IsBlank(c)) in.skip(1);
}

// A code: "0x" and eight hex digits, or four raw characters.
bool ReadCode(ostrak::ByteCursor& in, uint32_t* out) {
  const uint8_t* p = nullptr;
  if (in.peek(10, &p) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    uint32_t v = 0;
    bool hex = true;
    for (int i = 2; i < 10 && hex; ++i) {
      const char c = static_cast<char>(p[i]);
      hex = qoxIsValidHexChar(c);
      v = (v << 4) | qoxHexCharToNibble(c);
    }
    if (hex) {
      in.skip(10);
      *out = v;
      return true;
    }
  }
  if (!in.peek(4, &p)) return false;
  *out = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  in.skip(4);
  return true;
}

bool ParseLine(ostrak::ByteCursor line, QOXMacMapping* out) {
  if (line.remaining() <= 10) return false;
  uint8_t first;
  line.peek_u8(&first);
  if (first == '#') return false;
  SkipBlanks(line);
  if (!ReadCode(line, &out->creator)) return false;
  SkipBlanks(line);
  if (!ReadCode(line, &out->type)) return false;
  SkipBlanks(line);
  size_t n = 0;
  uint8_t c;
  while (line.get_u8(&c) && !IsBlank(c)) {
    if (n == 3) return false;  // a fourth character: not an extension
    out->extension[n++] = static_cast<char>(c);
  }
  if (n == 0) return false;
  out->extension[n] = '\0';
  return true;
}

QOXError Append(QOXMacMappingTable* table, const QOXMacMapping& row) {
  if (table->count == table->capacity) {
    void* block = table->entries;
    size_t capacity = table->capacity + kTableGrowth;
    QOXError err = QOXReallocData(table->memoryMgr, &block, capacity * sizeof(QOXMacMapping), 0);
    if (err != kQOXErrNoErr) return kQOXErrOutOfMemory;
    table->entries = static_cast<QOXMacMapping*>(block);
    table->capacity = static_cast<uint32_t>(capacity);
  }
  table->entries[table->count++] = row;
  return kQOXErrNoErr;
}

// Closes an IO early, for the error of the close.
QOXError CloseIO(ostrak::UniquePtr<QOXIO>& io) { return io != nullptr ? QOXFreeIO(io.release()) : kQOXErrNoErr; }

struct MacBinaryHeader {
  uint32_t type;
  uint32_t creator;
  uint32_t dataLength;
};

// Only the fields the conversion uses are read.
QOXError ParseHeader(const uint8_t (&bytes)[kQOXMacBinaryHeaderSize], MacBinaryHeader* out) {
  ostrak::ByteCursor in(bytes, sizeof bytes);
  uint16_t crc = 0;
  ostrak::ByteCursor at = in;
  if (!at.skip(124) || !at.get_u16be(&crc) || crc != qoxMacBinaryCRC(bytes, 124)) return kQOXErrNotMacBinary;
  at = in;
  if (!at.skip(65) || !at.get_u32be(&out->type) || !at.get_u32be(&out->creator)) return kQOXErrNotMacBinary;
  at = in;
  if (!at.skip(83) || !at.get_u32be(&out->dataLength)) return kQOXErrNotMacBinary;
  return kQOXErrNoErr;
}

// The name the converted file takes: the original's, with the extension
// that the mapping table gives for the type unless the original one fits.
std::string LocalName(const char* original, uint32_t creator, uint32_t type) {
  const char* ext = QOXGetFileNameExtension(original);
  if (ext != nullptr && qoxIsValidExtensionForMacType(creator, type, ext)) return original;
  char mapped[4];
  if (qoxMapMacCreatorTypeToExtension(creator, type, mapped) != kQOXErrNoErr) return original;
  std::string name(original, static_cast<size_t>(QOXGetEndOfBaseFileName(original) - original));
  return name + "." + mapped;
}

}  // namespace

const char* qoxMacMappingText() { return kMappingText; }

QOXError qoxParseMacMappings(QOXMemoryMgr* mgr, const char* text, size_t length, QOXMacMappingTable** outTable) {
  if (outTable == nullptr) return kQOXErrBadParams;
  *outTable = nullptr;
  if (text == nullptr) return kQOXErrBadParams;
  auto* table = static_cast<QOXMacMappingTable*>(QOXNewData(mgr, sizeof(QOXMacMappingTable), kQOXMemoryMgrFlags_Clear));
  if (table == nullptr) return kQOXErrOutOfMemory;
  table->memoryMgr = mgr;
  ostrak::ByteCursor in(text, length);
  while (!in.empty()) {
    const uint8_t* start = in.data();
    size_t n = 0;
    uint8_t c;
    while (in.get_u8(&c) && c != '\n' && c != '\r') ++n;
    QOXMacMapping row{};
    if (ParseLine(ostrak::ByteCursor(start, n), &row) && Append(table, row) != kQOXErrNoErr) {
      qoxFreeMacMappings(table);
      return kQOXErrOutOfMemory;
    }
  }
  *outTable = table;
  return kQOXErrNoErr;
}

void qoxFreeMacMappings(QOXMacMappingTable* table) {
  if (table == nullptr) return;
  if (table->entries != nullptr) QOXFreeData(table->entries);
  QOXFreeData(table);
}

QOXError qoxLookupMacMapping(const QOXMacMappingTable* table, uint32_t creator, uint32_t type, char outExtension[4]) {
  if (table == nullptr || outExtension == nullptr) return kQOXErrBadParams;
  for (uint32_t i = 0; i < table->count; ++i) {
    const QOXMacMapping& row = table->entries[i];
    if ((row.creator == creator || row.creator == kQOXMacWildcard) &&
        (row.type == type || row.type == kQOXMacWildcard)) {
      std::memcpy(outExtension, row.extension, sizeof row.extension);
      return kQOXErrNoErr;
    }
  }
  std::memcpy(outExtension, "bin", 4);
  return kQOXErrCannotTranslateMacBinary;
}

QOXError qoxInitMacBinaryMappings() {
  std::lock_guard<std::mutex> lock(gMappingsMutex);
  if (gMappings != nullptr) return kQOXErrNoErr;
  return qoxParseMacMappings(QOXGetDefaultMemoryMgr(), kMappingText, sizeof kMappingText - 1, &gMappings);
}

void qoxDisposeMacBinaryMappings() {
  std::lock_guard<std::mutex> lock(gMappingsMutex);
  qoxFreeMacMappings(gMappings);
  gMappings = nullptr;
}

QOXError qoxMapMacCreatorTypeToExtension(uint32_t creator, uint32_t type, char outExtension[4]) {
  std::lock_guard<std::mutex> lock(gMappingsMutex);
  if (gMappings == nullptr) return kQOXErrBadParams;
  return qoxLookupMacMapping(gMappings, creator, type, outExtension);
}

bool qoxIsValidExtensionForMacType(uint32_t, uint32_t type, const char* extension) {
  static constexpr const char* kTextExtensions[] = {
      "c",   "h",   "cpp", "cp",  "cc",  "cxx", "asm", "txt", "slk", "tex", "tx8", "rtf", "htm", "asc",
      "bas", "bat", "cmd", "csv", "dif", "faq", "hqx", "ini", "mak", "me",  "p",   "pas", "prn",
  };
  if (type != kQOXMacTypeTEXT || extension == nullptr) return false;
  for (const char* known : kTextExtensions) {
    size_t i = 0;
    while (known[i] != '\0' && std::tolower(static_cast<unsigned char>(extension[i])) == known[i]) ++i;
    if (known[i] == '\0' && extension[i] == '\0') return true;
  }
  return false;
}

uint16_t qoxMacBinaryCRC(const uint8_t* bytes, size_t length) {
  uint16_t crc = 0;
  for (size_t i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>(crc ^ (bytes[i] << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

QOXError qoxMacBinaryToLocal(const PFLFileSpec* fileSpec, PFLFileSpec** outSpec, uint32_t* outType,
                             uint32_t* outCreator) {
  if (outSpec != nullptr) *outSpec = nullptr;
  if (outType != nullptr) *outType = 0;
  if (outCreator != nullptr) *outCreator = 0;
  if (outSpec == nullptr || !pflFileSpecIsValid(fileSpec)) return kQOXErrBadParams;

  // 1. The header.
  ostrak::UniquePtr<QOXIO> source;
  QOXError err = QOXOpenFileSpec(fileSpec, 0, ostrak::OutParam(source));
  if (err != kQOXErrNoErr) return err;
  uint8_t bytes[kQOXMacBinaryHeaderSize];
  err = QOXIORead(source.get(), sizeof bytes, bytes, nullptr);
  if (err != kQOXErrNoErr) return err;
  MacBinaryHeader header{};
  err = ParseHeader(bytes, &header);
  if (err != kQOXErrNoErr) return err;
  if (header.dataLength == 0) return kQOXErrCannotTranslateMacBinary;
  // 2. Type and creator.
  if (outType != nullptr) *outType = header.type;
  if (outCreator != nullptr) *outCreator = header.creator;

  // 3. A free temporary name beside the file.
  ostrak::UniquePtr<PFLFileSpec> parent, temp;
  err = PFLGetParentDirectory(fileSpec, ostrak::OutParam(parent));
  if (err != kQOXErrNoErr) return err;
  for (int n = 1;; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%d.%s", "temp", n, "tmp");
    err = PFLComposeFileSpec(parent.get(), name, ostrak::OutParam(temp));
    if (err != kQOXErrNoErr) return err;
    bool exists = true;
    err = PFLFileSpecExists(temp.get(), &exists);
    if (err != kQOXErrNoErr) return err;
    if (!exists) break;
  }
  err = PFLFileSpecCreate(temp.get());
  if (err != kQOXErrNoErr) return err;

  // 4. The data fork, with local line ends for text.
  {
    ostrak::UniquePtr<QOXIO> sink, target;
    err = QOXOpenFileSpec(temp.get(), kQOXOpenFileSpec_Write, ostrak::OutParam(target));
    if (err == kQOXErrNoErr && header.type == kQOXMacTypeTEXT) {
      err = QOXNewLineEndIO(target.get(), true, kQOXLineEnd_LF, ostrak::OutParam(sink));
      if (err == kQOXErrNoErr) (void)target.release();  // the converter owns it now
    }
    QOXIO* to = sink != nullptr ? sink.get() : target.get();
    if (err == kQOXErrNoErr) err = QOXIOSetPos(source.get(), kQOXMacBinaryHeaderSize);
    if (err == kQOXErrNoErr) err = QOXCopyIO(source.get(), header.dataLength, to);
    QOXError closeSink = CloseIO(sink);
    QOXError closeTarget = CloseIO(target);
    if (err == kQOXErrNoErr) err = closeSink != kQOXErrNoErr ? closeSink : closeTarget;
  }
  QOXError closeSource = CloseIO(source);
  if (err == kQOXErrNoErr) err = closeSource;
  if (err != kQOXErrNoErr) {
    PFLFileSpecDelete(temp.get());
    return err;
  }

  // 5. The original goes.
  char original[kPFLFileNameBufferSize];
  err = PFLGetFileSpecNameBuffer(fileSpec, sizeof original, original);
  if (err == kQOXErrNoErr) err = PFLFileSpecDelete(fileSpec);
  if (err != kQOXErrNoErr) {
    PFLFileSpecDelete(temp.get());
    return err;
  }

  // 6-7. The converted file takes the original's name, its extension fitted
  // to the type; a name already taken by another file gets a number instead
  // of replacing that file.
  std::string wanted = LocalName(original, header.creator, header.type);
  ostrak::UniquePtr<PFLFileSpec> target, unique;
  err = PFLComposeFileSpec(parent.get(), wanted.c_str(), ostrak::OutParam(target));
  if (err == kQOXErrNoErr) err = PFLFileSpecGetUniqueSpec(target.get(), ostrak::OutParam(unique));
  char finalName[kPFLFileNameBufferSize];
  if (err == kQOXErrNoErr) err = PFLGetFileSpecNameBuffer(unique.get(), sizeof finalName, finalName);
  if (err == kQOXErrNoErr) err = PFLFileSpecRename(temp.get(), finalName);
  // On a failure here the data stays in the temporary file, which is
  // returned so the caller can still reach it.
  *outSpec = temp.release();
  return err;
}
