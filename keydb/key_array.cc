// Making key arrays in the back end and reading them into a front end.
#include "keydb/key_array.h"

#include "foundation/binary_tree.h"
#include "foundation/context.h"
#include "foundation/sdk_errors.h"
#include "keydb/key_db.h"
#include "keydb/key_db_back.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_set.h"

namespace {

// A key's tree is three levels deep: key, child, signature.
constexpr int kDeepestLevel = 3;
// The flag bits an entry of a known object brings: deleted, dummy, X.509
// dummy.
constexpr uint32_t kStateBits = kQOXObjFlag_Deleted | kQOXObjFlag_Dummy | kQOXObjFlag_X509Dummy;

bool IsSig(const QOXKeyDBObj* object) { return qoxObjectTypeOfFlags(object->flags) == kQOXKeyDBObjType_Sig; }

bool Wanted(QOXKeySet* filter, QOXKeyDBObj* object) { return filter == nullptr || filter->isMember(filter, object); }

// Words the object takes with what is under it; 0 when the filter drops it.
size_t Measure(QOXKeySet* filter, QOXKeyDBObj* object) {
  if (!Wanted(filter, object)) return 0;
  size_t words = 2;
  if (!IsSig(object)) {
    ++words;
    for (QOXKeyDBObj* c = object->child; c != nullptr; c = c->next) words += Measure(filter, c);
  }
  return words;
}

KeyArrayWord* Write(QOXKeySet* filter, QOXKeyDBObj* object, KeyArrayWord* at) {
  if (!Wanted(filter, object)) return at;
  *at++ = qoxBackEndObjectID(object);
  *at++ = object->flags;
  if (!IsSig(object)) {
    KeyArrayWord* count = at++;
    *count = 0;
    for (QOXKeyDBObj* c = object->child; c != nullptr; c = c->next) {
      if (!Wanted(filter, c)) continue;
      ++*count;
      at = Write(filter, c, at);
    }
  }
  return at;
}

// Reads words of an array and never past its end.
class ArrayReader {
 public:
  ArrayReader(const KeyArrayWord* array, size_t words) : at_(array), end_(array + words) {}
  bool Read(KeyArrayWord* word) {
    if (at_ == end_) return false;
    *word = *at_++;
    return true;
  }

 private:
  const KeyArrayWord* at_;
  const KeyArrayWord* end_;
};

int LevelOf(QOXKeyDBObj* object) {
  int level = 0;
  for (; object != nullptr; object = qoxObjParent(object)) ++level;
  return level;
}

// Puts a known child where the array has it: first under its parent when it
// is the first entry there, else right after the previous entry.
void Place(QOXKeyDBObj* parent, QOXKeyDBObj* previous, QOXKeyDBObj* object) {
  if (previous == nullptr ? parent->child == object : previous->next == object) return;
  qoxUnlinkChild(object);
  qoxLinkChildAfter(parent, previous, object);
}

struct Reading {
  QOXKeyDB* db;
  ArrayReader reader;
  bool fresh;
};

// One run of entries under parent (null: top-level keys) at the given
// level; `top` marks the run of the call itself, whose first entry stays
// where it is.
QOXError AddEntries(Reading& r, QOXKeyDBObj* parent, int level, KeyArrayWord count, bool top) {
  QOXKeyDBObj* previous = nullptr;
  for (KeyArrayWord i = 0; i < count; ++i) {
    KeyArrayWord id = 0;
    KeyArrayWord flagWord = 0;
    if (!r.reader.Read(&id) || !r.reader.Read(&flagWord) || id == 0) return kQOXErrBadParams;
    const auto flags = static_cast<uint32_t>(flagWord) & ~kQOXObjFlag_Unfetched;
    const int32_t type = qoxObjectTypeOfFlags(flags);
    if ((type == kQOXKeyDBObjType_Key) != (parent == nullptr)) return kQOXErrBadParams;

    QOXKeyDBObj* object = nullptr;
    QOXTreeValue found = 0;
    if (!r.fresh && QOXFindNode(r.db->idTree, static_cast<intptr_t>(id), &found) == kQOXErrNoErr) {
      object = reinterpret_cast<QOXKeyDBObj*>(found);
      if (qoxObjectTypeOfFlags(object->flags) != type || qoxObjParent(object) != parent) return kQOXErrBadParams;
      object->flags = (object->flags & ~kStateBits) | (flags & kStateBits);
      if (type == kQOXKeyDBObjType_Key || type == kQOXKeyDBObjType_SubKey) qoxKeyDBObjRefresh(object, false);
      if (parent != nullptr && !(top && i == 0)) Place(parent, previous, object);
    } else {
      object = qoxNewUnfetchedObj(r.db, parent, flags, id);
      if (object == nullptr) return qoxKeyDBError(r.db);
      if (QOXError err = QOXAddNode(r.db->idTree, static_cast<intptr_t>(id), reinterpret_cast<QOXTreeValue>(object));
          err != kQOXErrNoErr) {
        return err == kQOXErrItemAlreadyExists ? kQOXErrBadParams : kQOXErrOutOfMemory;
      }
    }

    if (type != kQOXKeyDBObjType_Sig) {
      KeyArrayWord children = 0;
      if (!r.reader.Read(&children)) return kQOXErrBadParams;
      if (children != 0) {
        if (level >= kDeepestLevel) return kQOXErrBadParams;
        if (QOXError err = AddEntries(r, object, level + 1, children, false); err != kQOXErrNoErr) return err;
      }
    }
    previous = object;
  }
  return kQOXErrNoErr;
}

}  // namespace

QOXError qoxCreateKeyArray(QOXContext* context, QOXKeyDBObj* first, uint32_t keyCount, QOXKeySet* filter,
                           KeyArrayWord** outArray, size_t* outLength) {
  *outArray = nullptr;
  *outLength = 0;
  size_t words = 0;
  QOXKeyDBObj* object = first;
  for (uint32_t i = 0; i < keyCount && object != nullptr; ++i, object = object->next) {
    words += Measure(filter, object);
  }
  // At least one word, so that every successful call hands out a block.
  auto* array = static_cast<KeyArrayWord*>(
      qoxContextMemAlloc(context, (words != 0 ? words : 1) * sizeof(KeyArrayWord), 0));
  if (array == nullptr) return kQOXErrOutOfMemory;
  KeyArrayWord* at = array;
  object = first;
  for (uint32_t i = 0; i < keyCount && object != nullptr; ++i, object = object->next) at = Write(filter, object, at);
  *outArray = array;
  *outLength = words * sizeof(KeyArrayWord);
  return kQOXErrNoErr;
}

QOXError qoxAddFromKeyArray(QOXKeyDB* db, QOXKeyDBObj* parent, const KeyArrayWord* array, size_t length,
                            uint32_t count, bool fresh) {
  if (!qoxFrontEndKeyDB(db) || (array == nullptr && length != 0)) return kQOXErrBadParams;
  Reading r{db, ArrayReader(array, length / sizeof(KeyArrayWord)), fresh};
  const int level = parent != nullptr ? LevelOf(parent) + 1 : 1;
  if (level > kDeepestLevel) return kQOXErrBadParams;
  const QOXError err = AddEntries(r, parent, level, count, true);
  qoxKeyDBChanged(db, true);
  return err;
}
