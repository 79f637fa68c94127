// Threads, mutexes, condition variables and reader/writer locks.
//
// Thin wrappers over POSIX threads; the rest of the system uses these and
// never the platform calls directly. The caller owns and places the storage
// of every lock (often a static or a field); the wrappers only initialise and
// operate on it. Each call returns the platform call's result (0 or an errno
// value) unless said otherwise.
//
// QOXRMWOLock is a plain, non-recursive reader/writer lock: a thread that
// holds it must not take it again in either mode.
//
// Static storage may be initialised without a create call:
//   QOXMutex m = QOX_MUTEX_INITIALIZER;
//   QOXCond c = QOX_COND_INITIALIZER;
//   QOXRMWOLock l = QOX_RMWOLOCK_INITIALIZER;
#ifndef OSTRAK_FOUNDATION_THREADS_H_
#define OSTRAK_FOUNDATION_THREADS_H_

#include <pthread.h>

#include <cstdint>

#include "foundation/errors.h"

using QOXMutex = pthread_mutex_t;
using QOXCond = pthread_cond_t;
using QOXRMWOLock = pthread_rwlock_t;
using QOXThread = pthread_t;
using QOXThreadKey = pthread_key_t;
// Creation flags of a thread (one word, 0 when created).
using QOXThreadAttr = uint32_t;
using QOXThreadStartRoutine = void* (*)(void* arg);
using QOXThreadKeyDestructor = void (*)(void* value);

#define QOX_MUTEX_INITIALIZER PTHREAD_MUTEX_INITIALIZER
#define QOX_COND_INITIALIZER PTHREAD_COND_INITIALIZER
#define QOX_RMWOLOCK_INITIALIZER PTHREAD_RWLOCK_INITIALIZER

// Synchronisation types of QOXMutexCreate / QOXCondCreate.
inline constexpr int kQOXSyncProcessPrivate = 0;  // the default (null type)
inline constexpr int kQOXSyncProcessShared = 1;

// Thread creation flag: the thread cannot be joined and releases its
// resources when it ends.
inline constexpr QOXThreadAttr kQOXThreadDetached = 0x40;

int QOXMutexCreate(QOXMutex* mutex, const int* type);
int QOXMutexDestroy(QOXMutex* mutex);
int QOXMutexLock(QOXMutex* mutex);
int QOXMutexUnlock(QOXMutex* mutex);
int QOXMutexTryLock(QOXMutex* mutex);  // 0 when taken, EBUSY when held

int QOXCondCreate(QOXCond* cond, const int* type);
int QOXCondDestroy(QOXCond* cond);
int QOXCondSignal(QOXCond* cond);
int QOXCondBroadcast(QOXCond* cond);
int QOXCondWait(QOXCond* cond, QOXMutex* mutex);

void InitializeQOXRMWOLock(QOXRMWOLock* lock);
void DeleteQOXRMWOLock(QOXRMWOLock* lock);
void QOXRMWOLockStartReading(QOXRMWOLock* lock);
void QOXRMWOLockStopReading(QOXRMWOLock* lock);
void QOXRMWOLockStartWriting(QOXRMWOLock* lock);
void QOXRMWOLockStopWriting(QOXRMWOLock* lock);

int QOXThreadAttrCreate(QOXThreadAttr* attr);
int QOXThreadAttrDestroy(QOXThreadAttr* attr);
int QOXThreadAttrGetDetachState(const QOXThreadAttr* attr, QOXThreadAttr* outState);
int QOXThreadAttrSetDetachState(QOXThreadAttr* attr, QOXThreadAttr state);

// attr may be null (no flags).
int QOXThreadCreate(QOXThread* outThread, const QOXThreadAttr* attr, QOXThreadStartRoutine start,
                    void* arg);
int QOXThreadYield();
[[noreturn]] void QOXThreadExit();
void QOXThreadJoin(QOXThread thread, void** outStatus);  // outStatus may be null
void QOXThreadKill(QOXThread thread, int signal);

int QOXThreadKeyCreate(QOXThreadKey* outKey, QOXThreadKeyDestructor destructor);
int QOXThreadGetSpecific(QOXThreadKey key, void** outValue);
int QOXThreadSetSpecific(QOXThreadKey key, void* value);
int QOXThreadKeyDelete(QOXThreadKey key);  // does nothing; 0

// The scope guards of these locks (QOXMutexGuard, QOXReadGuard,
// QOXWriteGuard) live with the other scoped owners; every user of the locks
// sees them through this header.
#include "foundation/scoped.h"  // IWYU pragma: export

#endif  // OSTRAK_FOUNDATION_THREADS_H_
