// Thread and lock wrappers over POSIX threads.
//
// The reader/writer lock calls have no result: a failure there means the
// caller broke the locking discipline (taking the lock twice, releasing one
// not held), which cannot be recovered, so it ends the process loudly rather
// than running on without the lock.
#include "foundation/threads.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>

namespace {

int SharedFlag(const int* type, int* pshared) {
  int t = type == nullptr ? kQOXSyncProcessPrivate : *type;
  if (t == kQOXSyncProcessPrivate) {
    *pshared = PTHREAD_PROCESS_PRIVATE;
  } else if (t == kQOXSyncProcessShared) {
    *pshared = PTHREAD_PROCESS_SHARED;
  } else {
    return EINVAL;
  }
  return 0;
}

void CheckLockCall(int rc, const char* what) {
  if (rc != 0) {
    std::fprintf(stderr, "reader/writer lock: %s failed (%d)\n", what, rc);
    std::abort();
  }
}

}  // namespace

int QOXMutexCreate(QOXMutex* mutex, const int* type) {
  int pshared;
  if (int rc = SharedFlag(type, &pshared); rc != 0) return rc;
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc != 0) return rc;
  rc = pthread_mutexattr_setpshared(&attr, pshared);
  if (rc == 0) rc = pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return rc;
}

int QOXMutexDestroy(QOXMutex* mutex) { return pthread_mutex_destroy(mutex); }
int QOXMutexLock(QOXMutex* mutex) { return pthread_mutex_lock(mutex); }
int QOXMutexUnlock(QOXMutex* mutex) { return pthread_mutex_unlock(mutex); }
int QOXMutexTryLock(QOXMutex* mutex) { return pthread_mutex_trylock(mutex); }

int QOXCondCreate(QOXCond* cond, const int* type) {
  int pshared;
  if (int rc = SharedFlag(type, &pshared); rc != 0) return rc;
  pthread_condattr_t attr;
  int rc = pthread_condattr_init(&attr);
  if (rc != 0) return rc;
  rc = pthread_condattr_setpshared(&attr, pshared);
  if (rc == 0) rc = pthread_cond_init(cond, &attr);
  pthread_condattr_destroy(&attr);
  return rc;
}

int QOXCondDestroy(QOXCond* cond) { return pthread_cond_destroy(cond); }
int QOXCondSignal(QOXCond* cond) { return pthread_cond_signal(cond); }
int QOXCondBroadcast(QOXCond* cond) { return pthread_cond_broadcast(cond); }
int QOXCondWait(QOXCond* cond, QOXMutex* mutex) { return pthread_cond_wait(cond, mutex); }

void InitializeQOXRMWOLock(QOXRMWOLock* lock) {
  CheckLockCall(pthread_rwlock_init(lock, nullptr), "init");
}
void DeleteQOXRMWOLock(QOXRMWOLock* lock) { pthread_rwlock_destroy(lock); }
void QOXRMWOLockStartReading(QOXRMWOLock* lock) {
  CheckLockCall(pthread_rwlock_rdlock(lock), "read lock");
}
void QOXRMWOLockStopReading(QOXRMWOLock* lock) {
  CheckLockCall(pthread_rwlock_unlock(lock), "read unlock");
}
void QOXRMWOLockStartWriting(QOXRMWOLock* lock) {
  CheckLockCall(pthread_rwlock_wrlock(lock), "write lock");
}
void QOXRMWOLockStopWriting(QOXRMWOLock* lock) {
  CheckLockCall(pthread_rwlock_unlock(lock), "write unlock");
}

int QOXThreadAttrCreate(QOXThreadAttr* attr) {
  *attr = 0;
  return 0;
}
int QOXThreadAttrDestroy(QOXThreadAttr* attr) {
  *attr = 0;
  return 0;
}
int QOXThreadAttrGetDetachState(const QOXThreadAttr* attr, QOXThreadAttr* outState) {
  *outState = *attr;
  return 0;
}
int QOXThreadAttrSetDetachState(QOXThreadAttr* attr, QOXThreadAttr state) {
  *attr = state;
  return 0;
}

int QOXThreadCreate(QOXThread* outThread, const QOXThreadAttr* attr, QOXThreadStartRoutine start,
                    void* arg) {
  pthread_attr_t pattr;
  int rc = pthread_attr_init(&pattr);
  if (rc != 0) return rc;
  if (attr != nullptr && (*attr & kQOXThreadDetached) != 0) {
    rc = pthread_attr_setdetachstate(&pattr, PTHREAD_CREATE_DETACHED);
  }
  if (rc == 0) rc = pthread_create(outThread, &pattr, start, arg);
  pthread_attr_destroy(&pattr);
  return rc;
}

int QOXThreadYield() { return sched_yield(); }
void QOXThreadExit() { pthread_exit(nullptr); }

void QOXThreadJoin(QOXThread thread, void** outStatus) { pthread_join(thread, outStatus); }
void QOXThreadKill(QOXThread thread, int signal) { pthread_kill(thread, signal); }

int QOXThreadKeyCreate(QOXThreadKey* outKey, QOXThreadKeyDestructor destructor) {
  return pthread_key_create(outKey, destructor);
}
int QOXThreadGetSpecific(QOXThreadKey key, void** outValue) {
  *outValue = pthread_getspecific(key);
  return 0;
}
int QOXThreadSetSpecific(QOXThreadKey key, void* value) {
  return pthread_setspecific(key, value);
}
int QOXThreadKeyDelete(QOXThreadKey) { return 0; }
