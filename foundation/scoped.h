// Scoped ownership for the inside of the C-style interfaces: an owner that
// frees what it holds on every return, and guards that release a lock when
// their scope ends.
//
// ostrak::UniquePtr<T> is a std::unique_ptr whose deleter is the one free
// call of T. Each owned type names its free call once, with
// OSTRAK_DEFINE_DELETER(T, call), in the header that declares the call:
//   PFLFileSpec and PFLDirectoryIter (foundation/file_spec.h), QOXIO
//   (foundation/io.h),
//   QOXberElement (net/ber.h), Entry, Attribute, Filter (server/entry.h,
//   server/filter.h), IdList (backend/idl.h); FILE, QOXKeyDB and QOXKeySet
//   here. Blocks of raw memory are owned by the allocator that made them:
//   ostrak::DataPtr<T> (QOXNewData, freed with QOXFreeData),
//   ostrak::InternalPtr<T> (qoxInternalAlloc, freed with qoxFree), and the
//   server's ZovurezPtr<T> (server/support/zovurez.h).
//
// The public QOX... functions keep their error codes and out-parameters; a
// function hands what it built to its caller with release() once nothing
// can fail any more.
//
// ostrak::ScopedDescriptor closes a file or socket descriptor.
//
// Lock guards: QOXMutexGuard holds a QOXMutex, QOXReadGuard and
// QOXWriteGuard a QOXRMWOLock in read or write mode, from construction to
// the end of the scope. A null lock makes the guard do nothing, for the
// calls whose lock is optional. QOXMutexGuard can also be released early
// with Unlock(). Guards are neither copied nor moved.
//
// Thread safety: an owner is used by one thread at a time, like the raw
// pointer it replaces; a guard belongs to the thread that made it.
#ifndef OSTRAK_FOUNDATION_SCOPED_H_
#define OSTRAK_FOUNDATION_SCOPED_H_

#include <cstdio>
#include <memory>

#include "foundation/threads.h"

struct QOXKeyDB;
struct QOXKeySet;

namespace ostrak {

// The free call of an owned type; one specialisation per type.
template <typename T>
struct Deleter;

template <typename T>
using UniquePtr = std::unique_ptr<T, Deleter<T>>;

}  // namespace ostrak

// Names the free call of Type (at namespace scope, outside any namespace).
#define OSTRAK_DEFINE_DELETER(Type, free_call)             \
  namespace ostrak {                                       \
  template <>                                              \
  struct Deleter<Type> {                                   \
    void operator()(Type* p) const { (void)free_call(p); } \
  };                                                       \
  }  // namespace ostrak

OSTRAK_DEFINE_DELETER(FILE, fclose)

namespace ostrak {

// Key objects are freed through the key database's table in force.
template <>
struct Deleter<QOXKeyDB> {
  void operator()(QOXKeyDB* db) const;
};
template <>
struct Deleter<QOXKeySet> {
  void operator()(QOXKeySet* set) const;
};

// Blocks of the toolkit's memory managers (QOXNewData, QOXNewSecureData).
struct DataDeleter {
  void operator()(void* block) const;
};
template <typename T>
using DataPtr = std::unique_ptr<T, DataDeleter>;

// Blocks of the internal allocator (qoxInternalAlloc, qoxInternalMemAlloc).
struct InternalDeleter {
  void operator()(void* block) const;
};
template <typename T>
using InternalPtr = std::unique_ptr<T, InternalDeleter>;

// Lets a C-style call with a T** out-parameter fill an owner:
//   err = PFLComposeFileSpec(parent.get(), name, ostrak::OutParam(fileSpec));
// The owner takes the pointer when the full expression ends (so do not read
// the owner in the same expression); a call that leaves the out-parameter
// null leaves the owner empty.
template <typename T, typename D>
class OutParamT {
 public:
  explicit OutParamT(std::unique_ptr<T, D>& owner) : owner_(owner) {}
  ~OutParamT() { owner_.reset(raw_); }
  OutParamT(const OutParamT&) = delete;
  OutParamT& operator=(const OutParamT&) = delete;
  operator T**() { return &raw_; }

 private:
  std::unique_ptr<T, D>& owner_;
  T* raw_ = nullptr;
};

template <typename T, typename D>
OutParamT<T, D> OutParam(std::unique_ptr<T, D>& owner) {
  return OutParamT<T, D>(owner);
}

// A file or socket descriptor, closed with close() when the scope ends
// (nothing for -1) unless released.
class ScopedDescriptor {
 public:
  explicit ScopedDescriptor(int fd) : fd_(fd) {}
  ~ScopedDescriptor();
  ScopedDescriptor(const ScopedDescriptor&) = delete;
  ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace ostrak

class QOXMutexGuard {
 public:
  explicit QOXMutexGuard(QOXMutex* m) : m_(m) {
    if (m_ != nullptr) QOXMutexLock(m_);
  }
  ~QOXMutexGuard() { Unlock(); }
  QOXMutexGuard(const QOXMutexGuard&) = delete;
  QOXMutexGuard& operator=(const QOXMutexGuard&) = delete;
  // Releases the mutex before the end of the scope; the destructor then
  // does nothing.
  void Unlock() {
    if (m_ != nullptr) QOXMutexUnlock(m_);
    m_ = nullptr;
  }

 private:
  QOXMutex* m_;
};

class QOXReadGuard {
 public:
  explicit QOXReadGuard(QOXRMWOLock* l) : l_(l) {
    if (l_ != nullptr) QOXRMWOLockStartReading(l_);
  }
  ~QOXReadGuard() {
    if (l_ != nullptr) QOXRMWOLockStopReading(l_);
  }
  QOXReadGuard(const QOXReadGuard&) = delete;
  QOXReadGuard& operator=(const QOXReadGuard&) = delete;

 private:
  QOXRMWOLock* l_;
};

class QOXWriteGuard {
 public:
  explicit QOXWriteGuard(QOXRMWOLock* l) : l_(l) {
    if (l_ != nullptr) QOXRMWOLockStartWriting(l_);
  }
  ~QOXWriteGuard() {
    if (l_ != nullptr) QOXRMWOLockStopWriting(l_);
  }
  QOXWriteGuard(const QOXWriteGuard&) = delete;
  QOXWriteGuard& operator=(const QOXWriteGuard&) = delete;

 private:
  QOXRMWOLock* l_;
};

#endif  // OSTRAK_FOUNDATION_SCOPED_H_
