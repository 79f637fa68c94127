// Key filters: making, combining, releasing and matching.
#include "keydb/filter.h"

#include <cstring>

#include "foundation/context.h"
#include "foundation/keydb_services.h"
#include "foundation/memory_mgr.h"
#include "keydb/handle_magic.h"
#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_id.h"
#include "keydb/obj_properties.h"

namespace {

// The object level a property range belongs to.
enum class Level { kKey, kSubKey, kUserID, kSig };

Level LevelOf(int32_t property) {
  if (property < 500) return Level::kKey;
  if (property < 900) return Level::kSubKey;
  if (property < 1300) return Level::kUserID;
  return Level::kSig;
}

enum class Kind { kData, kNumber, kTime, kBoolean };

// Types by level and kind, in the order of Kind.
constexpr uint32_t kTypes[4][4] = {
    {kQOXFilterType_KeyData, kQOXFilterType_KeyNumber, kQOXFilterType_KeyTime, kQOXFilterType_KeyBoolean},
    {kQOXFilterType_SubKeyData, kQOXFilterType_SubKeyNumber, kQOXFilterType_SubKeyTime,
     kQOXFilterType_SubKeyBoolean},
    {kQOXFilterType_UserIDData, kQOXFilterType_UserIDNumber, kQOXFilterType_UserIDTime,
     kQOXFilterType_UserIDBoolean},
    {kQOXFilterType_SigData, kQOXFilterType_SigNumber, kQOXFilterType_SigTime, kQOXFilterType_SigBoolean},
};

bool IsKeyIDProperty(int32_t property) {
  return property == static_cast<int32_t>(KeyDBObjProperty::KeyKeyID) ||
         property == static_cast<int32_t>(KeyDBObjProperty::SubKeyKeyID) ||
         property == static_cast<int32_t>(KeyDBObjProperty::SigKeyID);
}

// --- Making and freeing ---

void FreeRecord(QOXFilter* filter) {
  QOXContext* context = filter->context;
  if (filter->data != nullptr) qoxContextMemFree(context, filter->data);
  qoxInvertMagic(filter->magic);
  qoxContextMemFree(context, filter);
}

QOXFilter* NewRecord(QOXContext* context, uint32_t type, uint32_t criterion) {
  auto* f = static_cast<QOXFilter*>(qoxContextMemAlloc(context, sizeof(QOXFilter), kQOXMemoryMgrFlags_Clear));
  if (f == nullptr) return nullptr;
  std::memset(static_cast<void*>(f), 0, sizeof *f);
  qoxSetMagic(f->magic, kQOXFilterMagic);
  f->context = context;
  f->refCount = 1;
  f->filterType = type;
  f->criterion = criterion;
  return f;
}

// The common start of the four property constructors: checks, gate, record.
QOXError NewPropertyFilter(QOXContext* context, int32_t property, Kind kind, uint32_t criterion,
                           QOXFilter** outFilter) {
  if (outFilter == nullptr) return kQOXErrBadParams;
  *outFilter = nullptr;
  if (!qoxContextIsValid(context)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  QOXFilter* f = NewRecord(context, kTypes[static_cast<int>(LevelOf(property))][static_cast<int>(kind)], criterion);
  if (f == nullptr) return kQOXErrOutOfMemory;
  f->property = property;
  *outFilter = f;
  return kQOXErrNoErr;
}

// The common body of the three combinators.
QOXError Combine(uint32_t type, QOXFilter* a, QOXFilter* b, bool pair, QOXFilter** outFilter) {
  if (outFilter != nullptr) *outFilter = nullptr;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  const bool aValid = qoxFilterIsValid(a);
  const bool bValid = pair && qoxFilterIsValid(b);
  QOXFilter* f = nullptr;
  QOXError err = kQOXErrNoErr;
  if (outFilter == nullptr || !aValid || (pair && !bValid)) {
    err = kQOXErrBadParams;
  } else if ((f = NewRecord(a->context, type, kQOXMatchCriterion_Equal)) == nullptr) {
    err = kQOXErrOutOfMemory;
  }
  if (err != kQOXErrNoErr) {
    if (aValid) qoxFreeFilter(a);
    if (bValid) qoxFreeFilter(b);
    return err;
  }
  f->first = a;
  f->second = pair ? b : nullptr;
  *outFilter = f;
  return kQOXErrNoErr;
}

// --- Comparisons ---

bool ContainsIgnoringCase(const uint8_t* p, size_t pLength, const uint8_t* v, size_t vLength) {
  if (vLength == 0) return true;
  if (vLength > pLength) return false;
  auto lower = [](uint8_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + 32) : c; };
  for (size_t i = 0; i + vLength <= pLength; ++i) {
    size_t k = 0;
    while (k < vLength && lower(p[i + k]) == lower(v[k])) ++k;
    if (k == vLength) return true;
  }
  return false;
}

bool CompareData(const QOXFilter* f, const uint8_t* p, size_t pLength) {
  if (IsKeyIDProperty(f->property)) {
    if (pLength < sizeof(QOXKeyID) || f->dataLength < sizeof(QOXKeyID)) return false;
    QOXKeyID a, b;
    std::memcpy(&a, p, sizeof a);
    std::memcpy(&b, f->data, sizeof b);
    return qoxKeyIDsEqual(&a, &b);
  }
  if (f->criterion == kQOXMatchCriterion_Equal)
    return pLength == f->dataLength && (pLength == 0 || std::memcmp(p, f->data, pLength) == 0);
  return ContainsIgnoringCase(p, pLength, f->data, f->dataLength);
}

bool CompareNumber(const QOXFilter* f, int32_t p) {
  const auto d = static_cast<int32_t>(static_cast<uint32_t>(p) - f->number);
  switch (f->criterion) {
    case kQOXMatchCriterion_Equal:
      return d == 0;
    case kQOXMatchCriterion_GreaterOrEqual:
      return d >= 0;
    case kQOXMatchCriterion_LessOrEqual:
      return d <= 0;
    default:
      return false;
  }
}

bool CompareTime(const QOXFilter* f, QOXTime p) {
  const QOXTime v = f->time;
  if (p == v) return true;
  if (f->criterion == kQOXMatchCriterion_Equal) return false;
  bool base = p < v;
  if (f->property == static_cast<int32_t>(KeyDBObjProperty::KeyExpiration) ||
      f->property == static_cast<int32_t>(KeyDBObjProperty::SubKeyExpiration)) {
    // 0 is "never".
    if (v == 0) {
      base = true;
    } else if (p == 0) {
      base = false;
    }
  }
  return f->criterion == kQOXMatchCriterion_GreaterOrEqual ? !base : base;
}

// --- Property of one object, by the filter's level and kind ---

using DataGetter = QOXError (*)(QOXKeyDBObj*, int32_t, void**, size_t*);
using NumberGetter = QOXError (*)(QOXKeyDBObj*, int32_t, int32_t*);
using TimeGetter = QOXError (*)(QOXKeyDBObj*, int32_t, QOXTime*);
using BooleanGetter = QOXError (*)(QOXKeyDBObj*, int32_t, bool*);

struct Getters {
  DataGetter data;
  NumberGetter number;
  TimeGetter time;  // none for user IDs
  BooleanGetter boolean;
};

constexpr Getters kGetters[4] = {
    {qoxGetKeyAllocatedPropertyBuffer, qoxGetKeyNumber, qoxGetKeyTime, qoxGetKeyBoolean},
    {qoxGetSubKeyAllocatedPropertyBuffer, qoxGetSubKeyNumber, qoxGetSubKeyTime, qoxGetSubKeyBoolean},
    {qoxGetUserIDAllocatedStringBuffer, qoxGetUserIDNumber, nullptr, qoxGetUserIDBoolean},
    {qoxGetSigAllocatedPropertyBuffer, qoxGetSigNumber, qoxGetSigTime, qoxGetSigBoolean},
};

// The filter's test of one object; a failing getter is no match.
bool TestObject(const QOXFilter* f, Level level, QOXKeyDBObj* object) {
  const Getters& g = kGetters[static_cast<int>(level)];
  const uint32_t kind = (f->filterType - kTypes[static_cast<int>(level)][0]);
  switch (kind) {
    case 0: {  // data
      void* buffer = nullptr;
      size_t length = 0;
      if (g.data(object, f->property, &buffer, &length) != kQOXErrNoErr) {
        if (buffer != nullptr) QOXFreeData(buffer);
        return false;
      }
      const bool match = CompareData(f, static_cast<const uint8_t*>(buffer), length);
      QOXFreeData(buffer);
      return match;
    }
    case 1: {
      int32_t value = 0;
      return g.number(object, f->property, &value) == kQOXErrNoErr && CompareNumber(f, value);
    }
    case 2: {
      QOXTime value = 0;
      return g.time != nullptr && g.time(object, f->property, &value) == kQOXErrNoErr && CompareTime(f, value);
    }
    default: {
      bool value = false;
      return g.boolean(object, f->property, &value) == kQOXErrNoErr && value == f->boolean;
    }
  }
}

int32_t TypeOfLevel(Level level) {
  switch (level) {
    case Level::kSubKey:
      return kQOXKeyDBObjType_SubKey;
    case Level::kUserID:
      return kQOXKeyDBObjType_UserID;
    case Level::kSig:
      return kQOXKeyDBObjType_Sig;
    default:
      return kQOXKeyDBObjType_Key;
  }
}

// The object of the level that the object is or lies below; null when none.
QOXKeyDBObj* ObjectOfLevel(QOXKeyDBObj* object, Level level) {
  const int32_t type = TypeOfLevel(level);
  for (QOXKeyDBObj* o = object; o != nullptr; o = qoxObjParent(o)) {
    if (qoxObjectType(o) == type) return o;
  }
  return nullptr;
}

bool Evaluate(QOXFilter* f, QOXKeyDBObj* object, QOXKeyDBObj* key);

// Subkey, user-ID and signature filters.
bool EvaluateBelowKey(QOXFilter* f, Level level, QOXKeyDBObj* object, QOXKeyDBObj* key) {
  if (f->childObjects) {
    if (QOXKeyDBObj* own = ObjectOfLevel(object, level)) return TestObject(f, level, own);
  }
  const int32_t type = TypeOfLevel(level);
  for (QOXKeyDBObj* c = key->child; c != nullptr; c = c->next) {
    if (!qoxKeyDBObjIsReal(c)) continue;
    if (level != Level::kSig) {
      if (qoxObjectType(c) == type && TestObject(f, level, c)) return true;
      continue;
    }
    for (QOXKeyDBObj* s = c->child; s != nullptr; s = s->next) {
      if (qoxKeyDBObjIsReal(s) && qoxObjectType(s) == type && TestObject(f, level, s)) return true;
    }
  }
  return false;
}

bool Evaluate(QOXFilter* f, QOXKeyDBObj* object, QOXKeyDBObj* key) {
  switch (f->filterType) {
    case kQOXFilterType_Not:
      return !qoxKeyDBObjMatchesFilter(f->first, object);
    case kQOXFilterType_And:
      return qoxKeyDBObjMatchesFilter(f->first, object) && qoxKeyDBObjMatchesFilter(f->second, object);
    case kQOXFilterType_Or:
      return qoxKeyDBObjMatchesFilter(f->first, object) || qoxKeyDBObjMatchesFilter(f->second, object);
    case kQOXFilterType_UserIDTime:
      return false;
    default:
      break;
  }
  if (f->filterType < kQOXFilterType_KeyData || f->filterType > kQOXFilterType_SubKeyBoolean) return false;
  const Level level = LevelOf(f->property);
  if (level == Level::kKey) return TestObject(f, level, key);
  return EvaluateBelowKey(f, level, object, key);
}

}  // namespace

// --- Internal calls ---

bool qoxFilterIsValid(const QOXFilter* filter) {
  return filter != nullptr && qoxHasMagic(filter->magic, kQOXFilterMagic);
}

void qoxIncFilterRefCount(QOXFilter* filter) { ++filter->refCount; }

void qoxFreeFilter(QOXFilter* filter) {
  // Iterative down the first child, so a long chain of NOTs does not recurse
  // once per level; the second children recurse (AND and OR).
  while (filter != nullptr) {
    if (--filter->refCount > 0) return;
    QOXFilter* first = nullptr;
    QOXFilter* second = nullptr;
    if (filter->filterType == kQOXFilterType_Not || filter->filterType == kQOXFilterType_And ||
        filter->filterType == kQOXFilterType_Or) {
      first = filter->first;
      second = filter->second;
    }
    FreeRecord(filter);
    if (second != nullptr) qoxFreeFilter(second);
    filter = first;
  }
}

bool qoxKeyDBObjMatchesFilter(QOXFilter* filter, QOXKeyDBObj* object) {
  if (!qoxFilterIsValid(filter) || !qoxKeyDBObjIsValid(object)) return false;
  QOXKeyDBObj* key = qoxObjTopKey(object);
  if (key == nullptr) return false;
  const bool isKey = key == object;
  const QOXKeyDB* db = qoxObjKeyDB(key);
  const uint64_t stamp = db != nullptr ? db->changeStamp : 0;
  if (!isKey && filter->cachedKey == key && filter->cachedStamp == stamp) {
    if (!filter->childObjects || !filter->cachedResult) return filter->cachedResult;
  }
  const bool result = Evaluate(filter, object, key);
  if (isKey) {
    filter->cachedKey = key;
    filter->cachedStamp = stamp;
    filter->cachedResult = result;
  }
  return result;
}

// --- Public calls ---

QOXError QOXNewKeyDBObjDataFilter(QOXContext* context, int32_t property, const void* value, size_t length,
                                  uint32_t criterion, QOXFilter** outFilter) {
  if (outFilter != nullptr) *outFilter = nullptr;
  if (outFilter != nullptr && ((length > 0 && value == nullptr) || length > UINT32_MAX)) return kQOXErrBadParams;
  if (QOXError err = NewPropertyFilter(context, property, Kind::kData, criterion, outFilter); err != kQOXErrNoErr)
    return err;
  QOXFilter* f = *outFilter;
  if (length > 0) {
    f->data = static_cast<uint8_t*>(qoxContextMemAlloc(context, length, 0));
    if (f->data == nullptr) {
      FreeRecord(f);
      *outFilter = nullptr;
      return kQOXErrOutOfMemory;
    }
    std::memcpy(f->data, value, length);
  }
  f->dataLength = static_cast<uint32_t>(length);
  return kQOXErrNoErr;
}

QOXError QOXNewKeyDBObjNumericFilter(QOXContext* context, int32_t property, uint32_t number, uint32_t criterion,
                                     QOXFilter** outFilter) {
  QOXError err = NewPropertyFilter(context, property, Kind::kNumber, criterion, outFilter);
  if (err == kQOXErrNoErr) (*outFilter)->number = number;
  return err;
}

QOXError QOXNewKeyDBObjTimeFilter(QOXContext* context, int32_t property, QOXTime time, uint32_t criterion,
                                  QOXFilter** outFilter) {
  QOXError err = NewPropertyFilter(context, property, Kind::kTime, criterion, outFilter);
  if (err == kQOXErrNoErr) (*outFilter)->time = time;
  return err;
}

QOXError QOXNewKeyDBObjBooleanFilter(QOXContext* context, int32_t property, bool value, QOXFilter** outFilter) {
  QOXError err = NewPropertyFilter(context, property, Kind::kBoolean, kQOXMatchCriterion_Equal, outFilter);
  if (err == kQOXErrNoErr) (*outFilter)->boolean = value;
  return err;
}

QOXError QOXNegateFilter(QOXFilter* filter, QOXFilter** outFilter) {
  return Combine(kQOXFilterType_Not, filter, nullptr, false, outFilter);
}

QOXError QOXIntersectFilters(QOXFilter* a, QOXFilter* b, QOXFilter** outFilter) {
  return Combine(kQOXFilterType_And, a, b, true, outFilter);
}

QOXError QOXUnionFilters(QOXFilter* a, QOXFilter* b, QOXFilter** outFilter) {
  return Combine(kQOXFilterType_Or, a, b, true, outFilter);
}

QOXError QOXIncFilterRefCount(QOXFilter* filter) {
  if (!qoxFilterIsValid(filter)) return kQOXErrBadParams;
  qoxIncFilterRefCount(filter);
  return kQOXErrNoErr;
}

QOXError QOXFreeFilter(QOXFilter* filter) {
  if (!qoxFilterIsValid(filter)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  qoxFreeFilter(filter);
  return kQOXErrNoErr;
}

QOXError QOXFilterChildObjects(QOXFilter* filter, bool flag) {
  if (!qoxFilterIsValid(filter)) return kQOXErrBadParams;
  filter->childObjects = flag;
  return kQOXErrNoErr;
}

bool QOXFilterIsValid(const void* pointer) { return qoxFilterIsValid(static_cast<const QOXFilter*>(pointer)); }
