// Option lists. The ownership rules are written once in option_list.h; the
// comments here say why the steps run in the order they do.
#include "foundation/option_list.h"

#include <cstring>

#include "foundation/context.h"
#include "foundation/events.h"
#include "foundation/file_spec.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"

namespace {

// A new list has room for one option and grows five slots at a time.
constexpr uint16_t kInitialSlots = 1;
constexpr uint16_t kGrowSlots = 5;

bool IsSentinel(QOXOptionListRef list) {
  intptr_t v = reinterpret_cast<intptr_t>(list);
  return v >= -4 && v <= -1;
}

bool IsLiveList(QOXOptionListRef list) {
  return list != nullptr && !IsSentinel(list) && list->magic == kQOXOptionListMagic;
}

bool IsPersistent(QOXOptionListRef list) {
  return (list->flags & kQOXOptionListFlag_Persistent) != 0;
}

void RecordError(QOXOptionListRef list, QOXError error) {
  if (IsLiveList(list) && list->firstError == kQOXErrNoErr) list->firstError = error;
}

// Frees an option's value through its handler and its sub-list (forced: a
// sub-list belongs to its option whatever its flags say).
void FreeOptionParts(QOXContext* context, QOXOption* option) {
  if (option->handlerProc != nullptr) {
    uintptr_t value = option->value;
    option->handlerProc(context, kQOXOptionHandler_FreeData, option->type, &value,
                        option->valueSize, nullptr, nullptr);
  }
  qoxFreeOptionListInternal(option->subOptions, true);
  *option = QOXOption{};
}

void FreeListWhole(QOXOptionListRef list) {
  QOXContext* context = list->context;
  for (uint16_t i = 0; i < list->count; ++i) FreeOptionParts(context, &list->options[i]);
  if (list->options != nullptr) qoxContextMemFree(context, list->options);
  list->magic = 0;  // a stale handle must not pass the magic test
  qoxContextMemFree(context, list);
}

// Releases a handle that was not merged: live non-persistent lists only.
void ReleaseUnmerged(QOXOptionListRef list) {
  if (IsLiveList(list) && !IsPersistent(list)) FreeListWhole(list);
}

}  // namespace

// --- Standard handlers ---

QOXError qoxBufferOptionHandlerProc(QOXContext* context, int32_t operation, QOXOptionType,
                                    uintptr_t* value, size_t valueSize, uintptr_t* newValue,
                                    size_t* newSize) {
  switch (operation) {
    case kQOXOptionHandler_FreeData:
      qoxContextMemFree(context, reinterpret_cast<void*>(*value));
      return kQOXErrNoErr;
    case kQOXOptionHandler_CopyData: {
      void* copy = qoxContextMemAlloc(context, valueSize, 0);
      if (copy == nullptr) return kQOXErrOutOfMemory;
      if (valueSize > 0) std::memcpy(copy, reinterpret_cast<const void*>(*value), valueSize);
      *newValue = reinterpret_cast<uintptr_t>(copy);
      *newSize = valueSize;
      return kQOXErrNoErr;
    }
    default:
      return kQOXErrUnrecognized;
  }
}

QOXError qoxSensitiveOptionHandlerProc(QOXContext* context, int32_t operation, QOXOptionType,
                                       uintptr_t* value, size_t valueSize, uintptr_t* newValue,
                                       size_t* newSize) {
  switch (operation) {
    case kQOXOptionHandler_FreeData:
      // A secure block is wiped by QOXFreeData before its memory goes back.
      QOXFreeData(reinterpret_cast<void*>(*value));
      return kQOXErrNoErr;
    case kQOXOptionHandler_CopyData: {
      void* copy = QOXNewSecureData(QOXPeekContextMemoryMgr(context), valueSize, 0);
      if (copy == nullptr) return kQOXErrOutOfMemory;
      if (valueSize > 0) std::memcpy(copy, reinterpret_cast<const void*>(*value), valueSize);
      *newValue = reinterpret_cast<uintptr_t>(copy);
      *newSize = valueSize;
      return kQOXErrNoErr;
    }
    default:
      return kQOXErrUnrecognized;
  }
}

QOXError qoxFileRefOptionHandlerProc(QOXContext*, int32_t operation, QOXOptionType,
                                     uintptr_t* value, size_t valueSize, uintptr_t* newValue,
                                     size_t* newSize) {
  switch (operation) {
    case kQOXOptionHandler_FreeData:
      return PFLFreeFileSpec(reinterpret_cast<PFLFileSpec*>(*value));
    case kQOXOptionHandler_CopyData: {
      PFLFileSpec* copy = nullptr;
      QOXError err = PFLCopyFileSpec(reinterpret_cast<const PFLFileSpec*>(*value), &copy);
      if (err != kQOXErrNoErr) return err;
      *newValue = reinterpret_cast<uintptr_t>(copy);
      *newSize = valueSize;
      return kQOXErrNoErr;
    }
    default:
      return kQOXErrUnrecognized;
  }
}

// --- Making lists ---

QOXOptionListRef qoxNewOptionList(QOXContext* context, bool persistent) {
  if (!qoxContextIsValid(context)) return kQOXBadParamsOptionList;
  auto* list = static_cast<QOXOptionList*>(
      qoxContextMemAlloc(context, sizeof(QOXOptionList), kQOXMemoryMgrFlags_Clear));
  if (list == nullptr) return kQOXOutOfMemoryOptionList;
  list->options = static_cast<QOXOption*>(
      qoxContextMemAlloc(context, kInitialSlots * sizeof(QOXOption), kQOXMemoryMgrFlags_Clear));
  if (list->options == nullptr) {
    qoxContextMemFree(context, list);
    return kQOXOutOfMemoryOptionList;
  }
  list->magic = kQOXOptionListMagic;
  list->reserved1 = 1;
  list->reserved2 = 1;
  list->context = context;
  list->flags = persistent ? kQOXOptionListFlag_Persistent : 0;
  list->capacity = kInitialSlots;
  list->count = 0;
  return list;
}

QOXOptionListRef qoxNewOneOptionList(QOXContext* context, const QOXOption* option) {
  QOXOptionListRef list = qoxNewOptionList(context, false);
  if (!IsLiveList(list)) return list;
  list->options[0] = *option;
  list->count = 1;
  return list;
}

QOXOptionListRef qoxCreateCustomValueOptionList(QOXContext* context, QOXOptionType type,
                                                uint32_t flags, const uintptr_t* value,
                                                size_t valueSize, QOXOptionListRef subOptions,
                                                QOXOptionHandlerProc handler) {
  if (!qoxContextIsValid(context)) return kQOXBadParamsOptionList;
  QOXOption option{};
  option.type = type;
  option.flags = flags;
  option.value = value != nullptr ? *value : 0;
  option.valueSize = valueSize;
  option.subOptions = subOptions;
  option.handlerProc = handler;
  QOXOptionListRef list = qoxNewOneOptionList(context, &option);
  if (IsLiveList(list) && subOptions != nullptr && qoxOptionListIsValid(subOptions))
    RecordError(list, qoxGetOptionListError(subOptions));
  return list;
}

QOXOptionListRef qoxCreateStandardValueOptionList(QOXContext* context, QOXOptionType type,
                                                  const uintptr_t* value, size_t valueSize,
                                                  QOXOptionHandlerProc handler) {
  if (!qoxContextIsValid(context)) return kQOXBadParamsOptionList;
  return qoxCreateCustomValueOptionList(context, type, kQOXOptionFlag_StandardValue, value,
                                        valueSize, nullptr, handler);
}

QOXOptionListRef qoxCreateBufferOptionList(QOXContext* context, QOXOptionType type,
                                           const void* bytes, size_t size) {
  if (!qoxContextIsValid(context) || bytes == nullptr) return kQOXBadParamsOptionList;
  uintptr_t copy = 0;
  size_t copySize = 0;
  uintptr_t source = reinterpret_cast<uintptr_t>(bytes);
  if (qoxBufferOptionHandlerProc(context, kQOXOptionHandler_CopyData, type, &source, size, &copy,
                                 &copySize) != kQOXErrNoErr)
    return kQOXOutOfMemoryOptionList;
  QOXOptionListRef list =
      qoxCreateStandardValueOptionList(context, type, &copy, copySize, qoxBufferOptionHandlerProc);
  if (!IsLiveList(list)) qoxContextMemFree(context, reinterpret_cast<void*>(copy));
  return list;
}

QOXOptionListRef qoxCreateSensitiveOptionList(QOXContext* context, QOXOptionType type,
                                              const void* bytes, size_t size) {
  if (!qoxContextIsValid(context) || bytes == nullptr) return kQOXBadParamsOptionList;
  uintptr_t copy = 0;
  size_t copySize = 0;
  uintptr_t source = reinterpret_cast<uintptr_t>(bytes);
  if (qoxSensitiveOptionHandlerProc(context, kQOXOptionHandler_CopyData, type, &source, size,
                                    &copy, &copySize) != kQOXErrNoErr)
    return kQOXOutOfMemoryOptionList;
  QOXOptionListRef list = qoxCreateStandardValueOptionList(context, type, &copy, copySize,
                                                           qoxSensitiveOptionHandlerProc);
  if (!IsLiveList(list)) QOXFreeData(reinterpret_cast<void*>(copy));
  return list;
}

QOXOptionListRef qoxCreateFileRefOptionList(QOXContext* context, QOXOptionType type,
                                            const PFLFileSpec* fileSpec) {
  if (!qoxContextIsValid(context) || !pflFileSpecIsValid(fileSpec))
    return kQOXBadParamsOptionList;
  PFLFileSpec* copy = nullptr;
  if (PFLCopyFileSpec(fileSpec, &copy) != kQOXErrNoErr) return kQOXOutOfMemoryOptionList;
  uintptr_t value = reinterpret_cast<uintptr_t>(copy);
  QOXOptionListRef list = qoxCreateStandardValueOptionList(context, type, &value, sizeof(copy),
                                                           qoxFileRefOptionHandlerProc);
  if (!IsLiveList(list)) PFLFreeFileSpec(copy);
  return list;
}

// --- Queries ---

bool qoxOptionListIsReal(QOXOptionListRef list) { return !IsSentinel(list); }

bool qoxOptionListIsValid(QOXOptionListRef list) { return IsSentinel(list) || IsLiveList(list); }

QOXError qoxOptionListToError(QOXOptionListRef list) {
  if (list == kQOXOutOfMemoryOptionList) return kQOXErrOutOfMemory;
  if (list == kQOXEndOfOptionList || list == kQOXBadParamsOptionList || list == kQOXNullOptionList)
    return kQOXErrBadParams;
  return kQOXErrNoErr;
}

QOXError qoxGetOptionListError(QOXOptionListRef list) {
  if (list == kQOXEndOfOptionList || list == kQOXNullOptionList) return kQOXErrNoErr;
  if (list == kQOXOutOfMemoryOptionList) return kQOXErrOutOfMemory;
  if (list == kQOXBadParamsOptionList) return kQOXErrBadParams;
  if (!IsLiveList(list)) return kQOXErrBadParams;
  return list->firstError;
}

void qoxSetOptionListError(QOXOptionListRef list, QOXError error) { RecordError(list, error); }

uint32_t qoxGetOptionListCount(QOXOptionListRef list) {
  return IsLiveList(list) ? list->count : 0;
}

// --- Growing, adding, copying ---

QOXError qoxGrowOptionList(QOXOptionListRef list, uint16_t slots) {
  if (!IsLiveList(list)) return kQOXErrBadParams;
  // The slot counters are 16 bits wide; a list that would outgrow them is
  // refused rather than wrapped.
  uint32_t newCapacity = uint32_t{list->capacity} + slots;
  if (newCapacity > UINT16_MAX) return kQOXErrOutOfMemory;
  void* block = list->options;
  QOXError err = qoxContextMemRealloc(list->context, &block, newCapacity * sizeof(QOXOption), 0);
  if (err != kQOXErrNoErr) return err;
  list->options = static_cast<QOXOption*>(block);
  for (uint32_t i = list->capacity; i < newCapacity; ++i) list->options[i] = QOXOption{};
  list->capacity = static_cast<uint16_t>(newCapacity);
  return kQOXErrNoErr;
}

QOXError qoxAddOptionToQOXOptionList(QOXOptionListRef list, const QOXOption* option) {
  if (!IsLiveList(list)) {
    QOXError err = qoxGetOptionListError(list);
    return err != kQOXErrNoErr ? err : kQOXErrBadParams;
  }
  QOXError err = list->firstError;
  if (err == kQOXErrNoErr && list->count == list->capacity) err = qoxGrowOptionList(list, kGrowSlots);
  if (err == kQOXErrNoErr) {
    QOXOption& slot = list->options[list->count];
    slot = *option;
    slot.flags &= ~uint32_t{6};
    ++list->count;
  }
  RecordError(list, err);
  return err;
}

QOXError qoxCopyOption(QOXContext* context, const QOXOption* source, QOXOption* outOption) {
  QOXOption copy{};
  copy.type = source->type;
  copy.flags = source->flags;
  copy.value = source->value;
  copy.valueSize = source->valueSize;
  QOXError err = kQOXErrNoErr;
  if (source->handlerProc != nullptr) {
    uintptr_t value = source->value;
    err = source->handlerProc(context, kQOXOptionHandler_CopyData, source->type, &value,
                              source->valueSize, &copy.value, &copy.valueSize);
    if (err == kQOXErrNoErr) copy.handlerProc = source->handlerProc;
  }
  if (err == kQOXErrNoErr && source->subOptions != nullptr) {
    copy.subOptions = qoxCopyOptionList(source->subOptions);
    err = qoxGetOptionListError(copy.subOptions);
  }
  if (err != kQOXErrNoErr) {
    // Give back whatever the half-made copy holds so a failed copy leaks
    // nothing and the caller owns no partial option.
    if (copy.handlerProc != nullptr) FreeOptionParts(context, &copy);
    else qoxFreeOptionListInternal(copy.subOptions, true);
    copy = QOXOption{};
  }
  *outOption = copy;
  return err;
}

QOXOptionListRef qoxCopyOptionList(QOXOptionListRef list) {
  if (IsSentinel(list)) return list;
  if (!IsLiveList(list)) return kQOXBadParamsOptionList;
  QOXOptionListRef copy = qoxNewOptionList(list->context, false);
  if (!IsLiveList(copy)) return copy;
  // A copy of a list that holds an error carries that error, so the error
  // is never lost on the way to the call that checks it.
  QOXError err = list->firstError;
  for (uint16_t i = 0; err == kQOXErrNoErr && i < list->count; ++i) {
    QOXOption option{};
    err = qoxCopyOption(list->context, &list->options[i], &option);
    if (err == kQOXErrNoErr) {
      err = qoxAddOptionToQOXOptionList(copy, &option);
      if (err != kQOXErrNoErr) FreeOptionParts(list->context, &option);
    }
  }
  RecordError(copy, err);
  return copy;
}

// --- Merging and appending ---

QOXError qoxMergeOptionLists(QOXOptionListRef source, QOXOptionListRef destination) {
  // Merging a list into itself would free the destination with the source.
  if (source == destination) return kQOXErrBadParams;
  QOXError err = qoxGetOptionListError(source);
  if (err == kQOXErrNoErr) err = qoxGetOptionListError(destination);
  if (err == kQOXErrNoErr && !IsLiveList(destination)) err = kQOXErrBadParams;
  QOXOptionListRef from = source;
  if (err == kQOXErrNoErr && IsLiveList(source) && IsPersistent(source)) {
    from = qoxCopyOptionList(source);
    err = qoxGetOptionListError(from);
  }
  if (err == kQOXErrNoErr && IsLiveList(from)) {
    for (uint16_t i = 0; i < from->count; ++i) {
      err = qoxAddOptionToQOXOptionList(destination, &from->options[i]);
      if (err != kQOXErrNoErr) break;
      from->options[i] = QOXOption{};  // now owned by the destination
    }
  }
  // The (copied) source goes now; a persistent original was never touched.
  ReleaseUnmerged(from);
  RecordError(destination, err);
  return err;
}

QOXError qoxAppendOptionListVA(QOXOptionListRef list, QOXOptionListRef firstOption,
                               va_list rest) {
  QOXError current = qoxGetOptionListError(list);
  if (current == kQOXErrNoErr && !IsLiveList(list)) current = kQOXErrBadParams;
  for (QOXOptionListRef h = firstOption; h != kQOXEndOfOptionList;
       h = va_arg(rest, QOXOptionListRef)) {
    if (h == kQOXNullOptionList) continue;
    if (!qoxOptionListIsValid(h)) {
      if (current == kQOXErrNoErr) current = kQOXErrBadParams;
      continue;
    }
    QOXError own = qoxGetOptionListError(h);
    if (current == kQOXErrNoErr && own == kQOXErrNoErr) {
      current = qoxMergeOptionLists(h, list);  // consumes a non-persistent h
      continue;
    }
    if (current == kQOXErrNoErr) current = own;
    ReleaseUnmerged(h);
  }
  RecordError(list, current);
  return current;
}

QOXError qoxAppendOptionListArgs(QOXOptionListRef list, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = qoxAppendOptionListVA(list, firstOption, rest);
  va_end(rest);
  return err;
}

QOXOptionListRef qoxBuildOptionListVA(QOXContext* context, bool persistent,
                                      QOXOptionListRef firstOption, va_list rest) {
  QOXOptionListRef list = qoxNewOptionList(context, persistent);
  if (!IsLiveList(list)) {
    qoxFreeVarArgOptionListVA(firstOption, rest);
    return list;
  }
  qoxAppendOptionListVA(list, firstOption, rest);
  return list;
}

QOXOptionListRef qoxBuildOptionListArgs(QOXContext* context, bool persistent,
                                        QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXOptionListRef list = qoxBuildOptionListVA(context, persistent, firstOption, rest);
  va_end(rest);
  return list;
}

QOXError qoxAddJobOptionsVA(QOXJob* job, QOXOptionListRef firstOption, va_list rest) {
  if (job == nullptr) {
    qoxFreeVarArgOptionListVA(firstOption, rest);
    return kQOXErrBadParams;
  }
  QOXOptionListRef list = qoxBuildOptionListVA(job->context, false, firstOption, rest);
  QOXError err = qoxGetOptionListError(list);
  if (err != kQOXErrNoErr) {
    qoxFreeOptionList(list);
    return err;
  }
  if (job->newOptions == nullptr) {
    job->newOptions = list;
    return kQOXErrNoErr;
  }
  // A handler that adds options twice keeps both sets: the new ones are
  // appended to what the job already holds instead of replacing (and
  // losing) it.
  return qoxMergeOptionLists(list, job->newOptions);
}

QOXError qoxAddJobOptionsArgs(QOXJob* job, QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = qoxAddJobOptionsVA(job, firstOption, rest);
  va_end(rest);
  return err;
}

// --- Freeing ---

void qoxFreeOptionListInternal(QOXOptionListRef list, bool force) {
  if (!IsLiveList(list)) return;
  if (IsPersistent(list) && !force) return;
  FreeListWhole(list);
}

void qoxFreeOptionList(QOXOptionListRef list) { qoxFreeOptionListInternal(list, true); }

void qoxCleanupOptionList(QOXOptionListRef* list) {
  if (list == nullptr || *list == nullptr) return;
  qoxFreeOptionListInternal(*list, true);
  *list = nullptr;
}

QOXError qoxFreeVarArgOptionListVA(QOXOptionListRef firstOption, va_list rest) {
  QOXError err = kQOXErrNoErr;
  for (QOXOptionListRef h = firstOption; h != kQOXEndOfOptionList;
       h = va_arg(rest, QOXOptionListRef)) {
    if (h == kQOXNullOptionList) continue;
    if (!qoxOptionListIsValid(h)) {
      err = kQOXErrBadParams;
      continue;
    }
    ReleaseUnmerged(h);
  }
  return err;
}

QOXError qoxFreeVarArgOptionList(QOXOptionListRef firstOption, ...) {
  va_list rest;
  va_start(rest, firstOption);
  QOXError err = qoxFreeVarArgOptionListVA(firstOption, rest);
  va_end(rest);
  return err;
}

// --- Searching ---

namespace {

// Shared scan: the index-th option of the type (marked when asked) and the
// number of options of that type.
bool ScanForType(QOXOptionListRef list, QOXOptionType type, uint32_t index, bool mark,
                 QOXOption* out, uint32_t* outCount) {
  bool found = false;
  uint32_t seen = 0;
  for (uint16_t i = 0; i < list->count; ++i) {
    QOXOption& option = list->options[i];
    if (option.type != type) continue;
    if (seen == index) {
      if (mark) option.flags |= kQOXOptionFlag_Recognized;
      if (out != nullptr) *out = option;
      found = true;
    }
    ++seen;
  }
  if (outCount != nullptr) *outCount = seen;
  return found;
}

// Error for a handle that holds no options: -1 and -4 find nothing.
QOXError NonListSearchError(QOXOptionListRef list) {
  return list == nullptr ? kQOXErrNoErr : qoxGetOptionListError(list);
}

}  // namespace

QOXError qoxSearchOptionSingle(QOXOptionListRef list, QOXOptionType type, QOXOption* outOption) {
  *outOption = QOXOption{};
  if (!IsLiveList(list)) return NonListSearchError(list);
  uint32_t count = 0;
  ScanForType(list, type, 0, true, outOption, &count);
  return count > 1 ? kQOXErrRedundantOptions : kQOXErrNoErr;
}

QOXError qoxSearchOption(QOXOptionListRef list, QOXOptionType type, uint32_t index,
                         QOXOption* outOption) {
  *outOption = QOXOption{};
  if (!IsLiveList(list)) return NonListSearchError(list);
  ScanForType(list, type, index, true, outOption, nullptr);
  return kQOXErrNoErr;
}

QOXError qoxGetIndexedOption(QOXOptionListRef list, uint32_t index, bool mark,
                             QOXOption* outOption) {
  if (!IsLiveList(list)) return kQOXErrBadParams;
  if (index >= list->count) return kQOXErrOptionNotFound;
  if (mark) list->options[index].flags |= kQOXOptionFlag_Recognized;
  if (outOption != nullptr) *outOption = list->options[index];
  return kQOXErrNoErr;
}

QOXError qoxGetIndexedOptionType(QOXOptionListRef list, QOXOptionType type, uint32_t index,
                                 bool mark, QOXOption* outOption, uint32_t* outCount) {
  if (outCount != nullptr) *outCount = 0;
  if (!IsLiveList(list)) return kQOXErrBadParams;
  return ScanForType(list, type, index, mark, outOption, outCount) ? kQOXErrNoErr
                                                                   : kQOXErrOptionNotFound;
}

QOXError qoxCheckOptionsInSet(QOXOptionListRef list, const QOXOptionType* allowed,
                              uint32_t allowedCount) {
  if (!IsLiveList(list)) return kQOXErrBadParams;
  for (uint16_t i = 0; i < list->count; ++i) {
    bool ok = false;
    for (uint32_t j = 0; j < allowedCount && !ok; ++j) ok = allowed[j] == list->options[i].type;
    if (!ok) return kQOXErrBadParams;
  }
  return kQOXErrNoErr;
}

namespace {

// Letters that name a word-sized out value (T, d, f, p, t): p receives a
// pointer, the others a 32-bit word.
bool IsWordLetter(char c) { return c == 'T' || c == 'd' || c == 'f' || c == 'p' || c == 't'; }

void StoreWord(char letter, void* out, uintptr_t word) {
  if (letter == 'p') *static_cast<void**>(out) = reinterpret_cast<void*>(word);
  else *static_cast<uint32_t*>(out) = static_cast<uint32_t>(word);
}

}  // namespace

QOXError qoxFindOptionArgs(QOXOptionListRef list, QOXOptionType type, bool mandatory,
                           const char* format, ...) {
  QOXOption option{};
  QOXError err = qoxSearchOptionSingle(list, type, &option);
  if (err != kQOXErrNoErr) return err;
  if (format == nullptr) return kQOXErrBadParams;
  bool found = option.type != 0;
  va_list args;
  va_start(args, format);
  const char* rest = format;
  if (rest[0] == '%' && rest[1] == 'b') {
    *va_arg(args, unsigned char*) = found ? 1 : 0;
    rest += 2;
  }
  if (!found) {
    for (; rest[0] == '%'; rest += 2) {
      char letter = rest[1];
      if (IsWordLetter(letter) || letter == 'l') {
        void* out = va_arg(args, void*);
        if (letter == 'p') *static_cast<void**>(out) = nullptr;
        else if (letter == 'l') *static_cast<size_t*>(out) = 0;
        else *static_cast<uint32_t*>(out) = 0;
      } else if (letter == 'b') {
        *va_arg(args, unsigned char*) = 0;
      } else {
        err = kQOXErrBadParams;
        break;
      }
    }
    va_end(args);
    if (err != kQOXErrNoErr) return err;
    return mandatory ? kQOXErrOptionNotFound : kQOXErrNoErr;
  }
  if (std::strcmp(rest, "%p%l") == 0) {
    *va_arg(args, void**) = reinterpret_cast<void*>(option.value);
    *va_arg(args, size_t*) = option.valueSize;
  } else if (rest[0] == '%' && rest[1] != '\0' && rest[2] == '\0') {
    if (IsWordLetter(rest[1])) StoreWord(rest[1], va_arg(args, void*), option.value);
    else err = kQOXErrBadParams;
  } else if (rest[0] == '%') {
    // The value points at a record of pointer-sized words, one per letter.
    const uintptr_t* words = reinterpret_cast<const uintptr_t*>(option.value);
    for (size_t i = 0; rest[0] == '%'; rest += 2, ++i) {
      char letter = rest[1];
      if (words == nullptr || (i + 1) * sizeof(uintptr_t) > option.valueSize) {
        err = kQOXErrBadParams;  // the record is shorter than the format
        break;
      }
      if (IsWordLetter(letter)) StoreWord(letter, va_arg(args, void*), words[i]);
      else if (letter == 'b') *va_arg(args, unsigned char*) = static_cast<unsigned char>(words[i]);
      else {
        err = kQOXErrBadParams;
        break;
      }
    }
  }
  va_end(args);
  return err;
}

// --- Value readers ---

QOXError qoxOptionInt(const QOXOption* option, int32_t* out) {
  *out = static_cast<int32_t>(static_cast<uint32_t>(option->value));
  return kQOXErrNoErr;
}

QOXError qoxOptionUInt(const QOXOption* option, uint32_t* out) {
  *out = static_cast<uint32_t>(option->value);
  return kQOXErrNoErr;
}

QOXError qoxOptionPtr(const QOXOption* option, void** out) {
  *out = reinterpret_cast<void*>(option->value);
  return kQOXErrNoErr;
}

QOXError qoxOptionInterval(const QOXOption* option, uint32_t* out) {
  *out = static_cast<uint32_t>(option->value);
  return kQOXErrNoErr;
}

QOXError qoxOptionPtrLength(const QOXOption* option, void** outPtr, size_t* outLength) {
  *outPtr = reinterpret_cast<void*>(option->value);
  *outLength = option->valueSize;
  return kQOXErrNoErr;
}

QOXError qoxOptionPtrPtr(const QOXOption* option, void** outA, void** outB) {
  const uintptr_t* words = reinterpret_cast<const uintptr_t*>(option->value);
  *outA = reinterpret_cast<void*>(words[0]);
  *outB = reinterpret_cast<void*>(words[1]);
  return kQOXErrNoErr;
}

QOXError qoxOptionPtrLengthPtr(const QOXOption* option, void** outA, size_t* outB, void** outC) {
  const uintptr_t* words = reinterpret_cast<const uintptr_t*>(option->value);
  *outA = reinterpret_cast<void*>(words[0]);
  *outB = static_cast<size_t>(words[1]);
  *outC = reinterpret_cast<void*>(words[2]);
  return kQOXErrNoErr;
}

char* qoxAllocCString(QOXContext* context, const char* string) {
  if (string == nullptr) return nullptr;
  size_t size = std::strlen(string) + 1;
  auto* copy = static_cast<char*>(qoxContextMemAlloc(context, size, 0));
  if (copy != nullptr) std::memcpy(copy, string, size);
  return copy;
}
