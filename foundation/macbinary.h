// Mac file mapping and MacBinary II conversion.
//
// The mapping table turns a Mac creator/type pair into a file-name
// extension; "****" in either column matches anything and the first matching
// row wins. The table is parsed from built-in text at toolkit start-up
// (qoxInitMacBinaryMappings) and freed at the last clean-up.
//
// A MacBinary II file is a 128-byte header (its CRC is the XMODEM CRC-16
// over bytes 0-123, stored big-endian in bytes 124-125), the data fork and
// the resource fork. Conversion keeps the data fork, as a plain file beside
// the original, and removes the original.
//
// Creator and type codes are four characters packed big-endian into a word
// (first character in the high byte), so 'TEXT' is 0x54455854.
//
// Thread safety: the process-wide table is guarded by its own mutex
// (gMappingsMutex in macbinary.cc); a conversion works on its own files.
#ifndef OSTRAK_FOUNDATION_MACBINARY_H_
#define OSTRAK_FOUNDATION_MACBINARY_H_

#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"
#include "foundation/memory_mgr.h"

struct PFLFileSpec;

inline constexpr uint32_t kQOXMacWildcard = 0x2A2A2A2A;  // "****"
inline constexpr uint32_t kQOXMacTypeTEXT = 0x54455854;  // "TEXT"
inline constexpr size_t kQOXMacBinaryHeaderSize = 128;

struct QOXMacMapping {
  uint32_t creator;
  uint32_t type;
  char extension[4];  // up to 3 characters and a NUL
};

struct QOXMacMappingTable {
  uint32_t count;
  uint32_t capacity;  // grows by 10 entries
  QOXMemoryMgr* memoryMgr;
  QOXMacMapping* entries;
};

// Parses mapping text (see macbinary.cc) into a new table.
QOXError qoxParseMacMappings(QOXMemoryMgr* mgr, const char* text, size_t length, QOXMacMappingTable** outTable);
void qoxFreeMacMappings(QOXMacMappingTable* table);
// The extension of the first row matching creator and type; "bin" and
// kQOXErrCannotTranslateMacBinary when none does.
QOXError qoxLookupMacMapping(const QOXMacMappingTable* table, uint32_t creator, uint32_t type,
                             char outExtension[4]);
// The built-in mapping text.
const char* qoxMacMappingText();

QOXError qoxInitMacBinaryMappings();
void qoxDisposeMacBinaryMappings();
// -12000 before qoxInitMacBinaryMappings; otherwise as qoxLookupMacMapping.
QOXError qoxMapMacCreatorTypeToExtension(uint32_t creator, uint32_t type, char outExtension[4]);
// True only for type TEXT and an extension (any case) of a known text kind.
bool qoxIsValidExtensionForMacType(uint32_t creator, uint32_t type, const char* extension);

// XMODEM CRC-16 (polynomial 0x1021, initial value 0).
uint16_t qoxMacBinaryCRC(const uint8_t* bytes, size_t length);

// Converts the MacBinary II file named by spec into a plain file of its data
// fork (line ends made local for type TEXT), named after the original with
// an extension fitting its type; the original is removed. The new file's
// spec (in spec's memory manager) and the Mac type and creator come back
// through the outs. kQOXErrNotMacBinary for a header that is not MacBinary II, kQOXErrCannotTranslateMacBinary for
// an empty data fork; the original is left untouched on every failure
// before it is removed.
QOXError qoxMacBinaryToLocal(const PFLFileSpec* spec, PFLFileSpec** outSpec, uint32_t* outType,
                             uint32_t* outCreator);

#endif  // OSTRAK_FOUNDATION_MACBINARY_H_
