// The records every ASN.1 codec of the library works with: the codec context
// and its memory manager, the value records of the built-in types, the shapes
// of list and CHOICE records, the codec error numbers and the tag bytes.
//
// Ownership: a context is built and owned by its caller (often on the
// stack); the codecs never free it. Every byte a value record points to comes
// from the context's memory manager and belongs to the record; nothing a
// decoder stores points into its input.
//
// Thread safety: the codecs keep no state of their own. Records and contexts
// are not locked; two threads may run codecs at the same time on distinct
// records, provided the memory manager they share is safe to call from both.
#ifndef OSTRAK_PKI_ASN_TYPES_H_
#define OSTRAK_PKI_ASN_TYPES_H_

#include <cstddef>
#include <cstdint>

struct PKIMemoryMgr;

// allocate(manager, size): uninitialised memory, or null when none is left.
using PKIAllocateProc = void* (*)(PKIMemoryMgr* mgr, size_t size);
// reallocate(manager, address of the block pointer, new size): 0 with the
// moved block stored, or -17 with the old block left in place. A null block
// pointer allocates afresh.
using PKIReallocateProc = int32_t (*)(PKIMemoryMgr* mgr, void** block, size_t size);
// deallocate(manager, block): releases the block; a null block is allowed.
using PKIDeallocateProc = int32_t (*)(PKIMemoryMgr* mgr, void* block);

// A memory manager: the custom value belongs to the manager's own procedures
// (a manager over another allocator keeps that allocator here); the codecs
// never read it.
struct PKIMemoryMgr {
  uintptr_t customValue;
  PKIAllocateProc allocate;
  PKIReallocateProc reallocate;
  PKIDeallocateProc deallocate;
};

// The codec context every operation takes first. The reserved word is not
// read by the codecs (a caller may keep a pointer there).
struct PKICONTEXT {
  uintptr_t reserved;
  PKIMemoryMgr* memMgr;
};

// The default manager over the C heap (malloc, realloc, free); custom value
// 0. Never written by the library.
extern PKIMemoryMgr PKIdefaultMemoryMgrStruct;
void* PKIDefaultMemoryAllocationProc(PKIMemoryMgr* mgr, size_t size);
int32_t PKIDefaultMemoryReallocationProc(PKIMemoryMgr* mgr, void** block, size_t size);
int32_t PKIDefaultMemoryDeallocationProc(PKIMemoryMgr* mgr, void* block);

// A length and the bytes it counts: INTEGER (big-endian two's complement),
// OCTET STRING, OBJECT IDENTIFIER (content octets), the character strings
// and times (the characters, no terminator), and ANY (the whole element:
// tag, length and content).
struct PKIVariableBlock {
  uint32_t length;
  uint8_t* bytes;  // null when empty
};

// Names of the value-block types, for records that say what they hold.
using PKIINTEGER = PKIVariableBlock;
using PKIOCTET_STRING = PKIVariableBlock;
using PKIOBJECT_ID = PKIVariableBlock;
using PKINumericString = PKIVariableBlock;
using PKIPrintableString = PKIVariableBlock;
using PKIT61String = PKIVariableBlock;
using PKIIA5String = PKIVariableBlock;
using PKIUTCTime = PKIVariableBlock;
using PKIGeneralizedTime = PKIVariableBlock;
using PKIVisibleString = PKIVariableBlock;
using PKIBMPString = PKIVariableBlock;
using PKIUTF8String = PKIVariableBlock;
using PKIUniversalString = PKIVariableBlock;
using PKIANY = PKIVariableBlock;

// BIT STRING: length counts the bytes after the unused-bits octet; only the
// low byte of unusedBits (0 to 7) is encoded.
struct PKIBIT_STRING {
  uint32_t length;
  uint8_t* bytes;
  uint32_t unusedBits;
};

// BOOLEAN: length is 1 once set; value 1 true, 0 false.
struct PKIBOOLEAN {
  uint32_t length;
  int32_t value;
};

// NULL: one word, always 0.
struct PKINULL {
  uint32_t word;
};

// Every SEQUENCE OF and SET OF record has this shape (under its own name):
// a count and an array of count pointers to element records.
struct PKIListRecord {
  int32_t count;
  void** elements;
};

// Every CHOICE record has this shape (under its own name): the tag byte of
// the chosen alternative as it stood in the encoding, and its value.
struct PKIChoiceRecord {
  uint8_t tag;
  void* value;
};

// Codec error numbers, stored through the error word every encoder and
// decoder takes last. 0 is success.
enum : int32_t {
  kPKIErrNone = 0,
  kPKIErrValue = -1,           // no record / manager failed in a value operation;
                               // a constructed encoding came out short
  kPKIErrOutputSmall = -2,     // output too small for a primitive; a constructed
                               // encoding ran long or a header came out another size
  kPKIErrNoOutput = -5,        // no output buffer
  kPKIErrNoPlace = -6,         // no record or result address; no new record to be had
  kPKIErrNoInput = -7,         // no input
  kPKIErrLength = -9,          // a length runs past the input or the enclosing value
  kPKIErrLeftover = -10,       // bytes left inside a definite value; nothing decoded
  kPKIErrBoolean = -11,        // a BOOLEAN whose length is not 1
  kPKIErrExplicit = -12,       // an EXPLICIT wrapper not filled by its content
  kPKIErrNullContent = -14,    // a NULL with content
  kPKIErrDuplicate = -16,      // two equal elements in a SET OF
  kPKIErrMemory = -17,         // the memory manager failed
  kPKIErrRoom = -18,           // output smaller than a constructed encoding
  kPKIErrForm = -19,           // malformed constructed or indefinite form
  kPKIErrContext = -20,        // no codec context
  kPKIErrChoice = -50,         // no CHOICE alternative matches
  kPKIErrNumeric = -60,        // a NumericString with a character outside its set
  kPKIErrPrintable = -61,      // a PrintableString with a character outside its set
};

// Tag bytes. A tag is one byte: class bits, the constructed bit and a number
// below 31. Two values are the library's marks and never written: ANY (the
// element's own first byte is its tag) and an untagged CHOICE (written with
// the chosen alternative's tag).
inline constexpr uint8_t kPKITagBoolean = 0x01;
inline constexpr uint8_t kPKITagInteger = 0x02;
inline constexpr uint8_t kPKITagBitString = 0x03;
inline constexpr uint8_t kPKITagOctetString = 0x04;
inline constexpr uint8_t kPKITagNull = 0x05;
inline constexpr uint8_t kPKITagObjectId = 0x06;
inline constexpr uint8_t kPKITagUTF8String = 0x0C;
inline constexpr uint8_t kPKITagSequence = 0x10;
inline constexpr uint8_t kPKITagSet = 0x11;
inline constexpr uint8_t kPKITagNumericString = 0x12;
inline constexpr uint8_t kPKITagPrintableString = 0x13;
inline constexpr uint8_t kPKITagT61String = 0x14;
inline constexpr uint8_t kPKITagIA5String = 0x16;
inline constexpr uint8_t kPKITagUTCTime = 0x17;
inline constexpr uint8_t kPKITagGeneralizedTime = 0x18;
inline constexpr uint8_t kPKITagVisibleString = 0x1A;
inline constexpr uint8_t kPKITagUniversalString = 0x1C;
inline constexpr uint8_t kPKITagBMPString = 0x1E;
inline constexpr uint8_t kPKITagChoice = 0xFC;
inline constexpr uint8_t kPKITagAny = 0xFE;

inline constexpr uint8_t kPKIConstructed = 0x20;
inline constexpr uint8_t kPKIContext = 0x80;             // [n] IMPLICIT, primitive
inline constexpr uint8_t kPKIContextConstructed = 0xA0;  // [n] constructed / EXPLICIT
// The length the decoders report for the indefinite form (0x80).
inline constexpr uint32_t kPKIIndefiniteLength = 0xFFFFFFFFu;

#endif  // OSTRAK_PKI_ASN_TYPES_H_
