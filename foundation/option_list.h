// Option lists: the optional arguments of toolkit calls.
//
// Every option constructor (QOXO..., foundation/sdk/option_constructors.h) returns
// a one-option list; a call with a variable run of lists gathers them, up to
// the end marker, into one list that it then searches by option type.
//
// Handles. A QOXOptionListRef is either a pointer to a live list record or one
// of four sentinels that stand for a list without allocating one:
//   -1 end of a run (QOXOLastOption)          error: none
//   -2 a list could not be allocated          error: kQOXErrOutOfMemory
//   -3 bad parameters given to a constructor  error: -12000
//   -4 null option (QOXONullOption)           error: none
// Any other value is a list only when it carries the magic "OLst"; everything
// else is invalid (-12000).
//
// Ownership (who frees what):
//   - A list owns its options' values through each option's handler (copy and
//     free) and owns each option's sub-list.
//   - A non-persistent list handed to a build, an append or a merge is
//     consumed: its options move into the destination and the list itself is
//     freed, also when an error stops the work (then its remaining options
//     are freed through their handlers).
//   - A persistent list handed to a build, append or merge is copied; the
//     original stays the caller's, who frees it with qoxFreeOptionList or
//     qoxCleanupOptionList.
//   - A list that records an error keeps it; further merges and appends add
//     nothing and free what they are given.
//
// Values are pointer-sized words: an option value is either an integer
// (a flag keeps its low byte, a plain word 32 bits) or a pointer. Records
// that constructors allocate (foundation/sdk/option_constructors.h) are arrays of
// pointer-sized words, one per field.
//
// Thread safety: none. A list belongs to the thread that builds and uses it.
#ifndef OSTRAK_FOUNDATION_OPTION_LIST_H_
#define OSTRAK_FOUNDATION_OPTION_LIST_H_

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "foundation/errors.h"

struct QOXContext;
struct QOXOptionList;
struct QOXJob;

using QOXOptionListRef = QOXOptionList*;
using QOXOptionType = int32_t;

// The four sentinel handles.
inline QOXOptionListRef qoxOptionListSentinel(intptr_t v) {
  return reinterpret_cast<QOXOptionListRef>(v);
}
#define kQOXEndOfOptionList (qoxOptionListSentinel(-1))
#define kQOXOutOfMemoryOptionList (qoxOptionListSentinel(-2))
#define kQOXBadParamsOptionList (qoxOptionListSentinel(-3))
#define kQOXNullOptionList (qoxOptionListSentinel(-4))

// Handler operations.
inline constexpr int32_t kQOXOptionHandler_FreeData = 1;
inline constexpr int32_t kQOXOptionHandler_CopyData = 2;

// Option flags.
inline constexpr uint32_t kQOXOptionFlag_StandardValue = 1;  // built with a standard value
inline constexpr uint32_t kQOXOptionFlag_Recognized = 2;     // marked used by a search

// List flags.
inline constexpr uint32_t kQOXOptionListFlag_Persistent = 1;

inline constexpr uint32_t kQOXOptionListMagic = 0x4F4C7374;  // "OLst"

// Handler: (context, operation, option type, address of the value, value
// size, out new value, out new size). Operation 1 frees the value, 2 copies
// it; any other operation gives kQOXErrUnrecognized.
using QOXOptionHandlerProc = QOXError (*)(QOXContext* context, int32_t operation,
                                          QOXOptionType type, uintptr_t* value, size_t valueSize,
                                          uintptr_t* newValue, size_t* newSize);

struct QOXOption {
  QOXOptionType type;
  uint32_t flags;
  uintptr_t value;  // integer or pointer
  size_t valueSize;
  QOXOptionListRef subOptions;  // a list handle or null
  QOXOptionHandlerProc handlerProc;
};

struct QOXOptionList {
  uint32_t magic;  // kQOXOptionListMagic while live
  uint16_t reserved1;  // written as 1, never read
  uint16_t reserved2;  // written as 1, never read
  QOXContext* context;  // whose memory holds the list and its options
  QOXError firstError;  // first error met while building; 0 otherwise
  uint32_t flags;       // kQOXOptionListFlag_Persistent
  uint16_t capacity;    // option slots allocated
  uint16_t count;       // options held
  QOXOption* options;
};

// Standard handlers (see the ownership notes above).
QOXError qoxBufferOptionHandlerProc(QOXContext* context, int32_t operation, QOXOptionType type,
                                    uintptr_t* value, size_t valueSize, uintptr_t* newValue,
                                    size_t* newSize);
QOXError qoxSensitiveOptionHandlerProc(QOXContext* context, int32_t operation, QOXOptionType type,
                                       uintptr_t* value, size_t valueSize, uintptr_t* newValue,
                                       size_t* newSize);
QOXError qoxFileRefOptionHandlerProc(QOXContext* context, int32_t operation, QOXOptionType type,
                                     uintptr_t* value, size_t valueSize, uintptr_t* newValue,
                                     size_t* newSize);

// --- Making lists ---
// An invalid context gives -3 in every maker.
QOXOptionListRef qoxNewOptionList(QOXContext* context, bool persistent);
QOXOptionListRef qoxNewOneOptionList(QOXContext* context, const QOXOption* option);
QOXOptionListRef qoxCreateStandardValueOptionList(QOXContext* context, QOXOptionType type,
                                                  const uintptr_t* value, size_t valueSize,
                                                  QOXOptionHandlerProc handler);
QOXOptionListRef qoxCreateCustomValueOptionList(QOXContext* context, QOXOptionType type,
                                                uint32_t flags, const uintptr_t* value,
                                                size_t valueSize, QOXOptionListRef subOptions,
                                                QOXOptionHandlerProc handler);
QOXOptionListRef qoxCreateBufferOptionList(QOXContext* context, QOXOptionType type,
                                           const void* bytes, size_t size);
QOXOptionListRef qoxCreateSensitiveOptionList(QOXContext* context, QOXOptionType type,
                                              const void* bytes, size_t size);
struct PFLFileSpec;
QOXOptionListRef qoxCreateFileRefOptionList(QOXContext* context, QOXOptionType type,
                                            const PFLFileSpec* fileSpec);

// Builds a new list from a run of handles ended by -1; every handle of the
// run is consumed, also when the new list cannot be allocated (-2).
QOXOptionListRef qoxBuildOptionListArgs(QOXContext* context, bool persistent,
                                        QOXOptionListRef firstOption, ...);
QOXOptionListRef qoxBuildOptionListVA(QOXContext* context, bool persistent,
                                      QOXOptionListRef firstOption, va_list rest);
// Builds a list over the job's context and, when it carries no error, hands
// it to the job. A job that already holds added options gets the new ones
// appended to them. Returns the built list's error.
QOXError qoxAddJobOptionsArgs(QOXJob* job, QOXOptionListRef firstOption, ...);
QOXError qoxAddJobOptionsVA(QOXJob* job, QOXOptionListRef firstOption, va_list rest);

// Appends a run of handles to a list; every handle is consumed. Returns the
// list's error afterwards.
QOXError qoxAppendOptionListArgs(QOXOptionListRef list, QOXOptionListRef firstOption, ...);
QOXError qoxAppendOptionListVA(QOXOptionListRef list, QOXOptionListRef firstOption, va_list rest);
// Moves the options of source into destination. A non-persistent source is
// always consumed, a persistent one never (it is copied first).
QOXError qoxMergeOptionLists(QOXOptionListRef source, QOXOptionListRef destination);
QOXError qoxAddOptionToQOXOptionList(QOXOptionListRef list, const QOXOption* option);
QOXError qoxGrowOptionList(QOXOptionListRef list, uint16_t slots);
// A non-persistent copy; a sentinel copies to itself.
QOXOptionListRef qoxCopyOptionList(QOXOptionListRef list);
QOXError qoxCopyOption(QOXContext* context, const QOXOption* source, QOXOption* outOption);

// --- Freeing ---
void qoxFreeOptionList(QOXOptionListRef list);  // persistent or not
void qoxFreeOptionListInternal(QOXOptionListRef list, bool force);
void qoxCleanupOptionList(QOXOptionListRef* list);
// Frees every non-persistent list of a run ended by -1 (skipping -4);
// -12000 when any handle was invalid.
QOXError qoxFreeVarArgOptionList(QOXOptionListRef firstOption, ...);
QOXError qoxFreeVarArgOptionListVA(QOXOptionListRef firstOption, va_list rest);

// --- Queries ---
bool qoxOptionListIsReal(QOXOptionListRef list);
bool qoxOptionListIsValid(QOXOptionListRef list);
QOXError qoxOptionListToError(QOXOptionListRef list);
QOXError qoxGetOptionListError(QOXOptionListRef list);
void qoxSetOptionListError(QOXOptionListRef list, QOXError error);
uint32_t qoxGetOptionListCount(QOXOptionListRef list);

// out->type is 0 when nothing is found. Two options of the type: kQOXErrRedundantOptions.
QOXError qoxSearchOptionSingle(QOXOptionListRef list, QOXOptionType type, QOXOption* outOption);
QOXError qoxSearchOption(QOXOptionListRef list, QOXOptionType type, uint32_t index,
                         QOXOption* outOption);
// Reads an option into out pointers described by a format of "%x" letters:
//   b  unsigned char*  (found flag when first; else the low byte of a word)
//   d  int32_t*        f  uint32_t*      T, t  uint32_t* (QOXTime)
//   p  void**          l  size_t* (value size; only in "%p%l")
// A format longer than one letter (other than "%p%l") reads the value as a
// pointer to a record of pointer-sized words, one per letter.
QOXError qoxFindOptionArgs(QOXOptionListRef list, QOXOptionType type, bool mandatory,
                           const char* format, ...);
QOXError qoxGetIndexedOption(QOXOptionListRef list, uint32_t index, bool mark,
                             QOXOption* outOption);
QOXError qoxGetIndexedOptionType(QOXOptionListRef list, QOXOptionType type, uint32_t index,
                                 bool mark, QOXOption* outOption, uint32_t* outCount);
QOXError qoxCheckOptionsInSet(QOXOptionListRef list, const QOXOptionType* allowed,
                              uint32_t allowedCount);

// Value readers; each returns 0.
QOXError qoxOptionInt(const QOXOption* option, int32_t* out);
QOXError qoxOptionUInt(const QOXOption* option, uint32_t* out);
QOXError qoxOptionPtr(const QOXOption* option, void** out);
QOXError qoxOptionInterval(const QOXOption* option, uint32_t* out);
QOXError qoxOptionPtrLength(const QOXOption* option, void** outPtr, size_t* outLength);
QOXError qoxOptionPtrPtr(const QOXOption* option, void** outA, void** outB);
QOXError qoxOptionPtrLengthPtr(const QOXOption* option, void** outA, size_t* outB, void** outC);

char* qoxAllocCString(QOXContext* context, const char* string);

#endif  // OSTRAK_FOUNDATION_OPTION_LIST_H_
