// The server support library: small helpers that the directory server and
// its storage backend share.
//
// Memory: every block comes from one process-wide memory manager, fetched
// from the toolkit (QOXGetDefaultMemoryMgr) on first use, so zovurezFree
// needs no manager. String arrays ("charray") are null-terminated arrays of
// NUL-terminated strings allocated with zovurezMalloc. Files: paths, the
// current directory, lock files (a stdio stream whose whole length holds a
// lockf lock; holding the stream is holding the lock), PID files, and the
// line readers that page through the logs for the web console. Time: the
// broken-down conversions and the zone offset. Network: URL checks and
// client address/host look-ups. The socket event: the listener's wait over
// its sockets, which another thread can wake.
//
// Results: 0 success and 1 failure, or a toolkit error code, as each call
// says. Failures are reported through LogError (server/support/zovurez_log.h).
//
// Thread safety: the helpers keep no state of their own but the lazily
// fetched manager and the one static stat buffer of file_nonempty (not
// re-entrant). QOXTime2GeneralizedTime holds the two mutexes it is given
// around the library calls that are not re-entrant. GetClientHostname uses
// the re-entrant resolver. Lock files exclude other processes, not threads.
// A socket event is waited on by one thread; qoxSignalSocketEvent may be
// called from any thread.
#ifndef OSTRAK_SERVER_SUPPORT_ZOVUREZ_H_
#define OSTRAK_SERVER_SUPPORT_ZOVUREZ_H_

#include <netinet/in.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>

#include "foundation/errors.h"
#include "foundation/scoped.h"
#include "foundation/sdk_time.h"
#include "foundation/threads.h"

// --- Memory ---
void* zovurezMalloc(size_t size);
// Cleared block of count * size bytes; null when the product overflows.
void* zovurezCalloc(size_t count, size_t size);
// On failure returns null and leaves the old block untouched.
void* zovurezRealloc(void* block, size_t size);
void zovurezFree(void* block);  // null is ignored
char* zovurezStrdup(const char* s);
// Owns a block of the server allocator (zovurezMalloc, zovurezCalloc,
// zovurezRealloc, zovurezStrdup).
struct ZovurezDeleter {
  void operator()(void* block) const { zovurezFree(block); }
};
template <typename T>
using ZovurezPtr = std::unique_ptr<T, ZovurezDeleter>;

// --- String arrays and string tests ---
void charray_add(char*** array, char* s);          // s is not copied
void charray_merge(char*** array, char** other);   // pointers not copied
void charray_free(char** array);                   // frees strings and array
int charray_inlist(char** array, const char* s);   // 1 when present, any case
char* charray_find(char** array, const char* s);
char** charray_dup(char** array);
char** str2charray(char* s, const char* separators);  // splits s in place
char* mystrsep(char** cursor, int ch);
void UpcaseString(char* s);
void hexStringXsToLower(char* s);
void EscapeDoubleQuotes(const char* s, char** out);
int IsNonWhiteSpace(const char* s);
int IsWordSeparator(int c);
bool allDigits(const char* s);
bool allDigitsIgnLeadin(const char* s);
bool allHexDigitsIgnLeadin(const char* s);
int ParseBool(const char* s);  // "on" 1, "off" 0, else -1

// --- Files ---
int GetFileMode(const char* path, uint32_t* mode, uint32_t* blockSize, int64_t* size);
int GetCurrentDir(char** buffer);
void AdjustPath(const char* base, const char* path, char** out);
void NormalizePath(char* path);
int CreateLockFile(const char* path, int wait, FILE** stream);
int UnlockLockFile(FILE* stream);
int lock_fopen(const char* path, const char* mode, int wait, FILE** stream, FILE** lockStream);
int lock_fclose(void* ignored, FILE* stream, FILE* lockStream);
void WritePIDToFile(const char* base, int port);
void DeletePIDFile(const char* base, int port);
QOXError GetNamedPipeName(const char* prefix, const char* name, int port, char** out);
QOXError MoveToPosition(FILE* stream, long offset);
int ReverseIterate(FILE* stream, int count);
QOXError ReadLines(FILE* stream, int count, char* buffer, size_t bufferSize, int* linesRead);
bool file_nonempty(const char* path);
int filecheck(const char* path);

// --- Time ---
void Delay(uint32_t milliseconds);
int QOXTime2GeneralizedTime(QOXTime time, char* buffer, QOXMutex* mutexA, QOXMutex* mutexB);
// Minutes east of UTC of the current time, or +-780 when unknown.
void QOXTimezoneGetOffset(int32_t* minutes);
// The same for a given moment (the offset in force at that time, daylight
// saving included): what a line stamped with that time should carry.
int32_t qoxTimezoneOffsetAt(time_t moment);
struct tm* gmQOXtime(const time_t* time, int flag, struct tm* out);
struct tm* localQOXtime(const time_t* time, int flag, struct tm* out);

// --- URLs and clients ---
// Protocol tags of checkUrl, by index.
inline constexpr int kProtocolLDAPS = 0;
inline constexpr int kProtocolHTTPS = 1;
inline constexpr int kProtocolLDAP = 2;
inline constexpr int kProtocolHTTP = 3;
int checkUrl(const char* url, int* protocol);
bool isURLanIPAddress(char* url);
int GetClientIPFromURL(char* url, char** address);
int GetClientAddrInfo(void* ignored, const struct sockaddr_in* peer, int lookupHost, char** address,
                      char** hostName);
int GetClientHostname(const struct sockaddr_in* peer, char** hostName);

// --- Socket event ---
// The listener's wait: a set of descriptors watched for reading and/or
// writing, and a wake-up that another thread (or a signal relay) can
// trigger. Built on poll and an eventfd, so descriptors above 1023 work.
struct SocketEvent;

inline constexpr QOXError kQOXSocketEventReady = -22198;
inline constexpr QOXError kQOXSocketEventFailed = -22199;

QOXError qoxCreateSocketEvent(SocketEvent** event, QOXThread thread);
QOXError qoxFreeSocketEvent(SocketEvent* event);
void qoxZeroSocketSelectActivities(SocketEvent* sets);
// flags bit 1: read, bit 2: write.
void qoxSetSocketSelectActivities(int fd, SocketEvent* sets, int flags);
// activity: 0 none, 1 readable, 2 writable (write wins when both).
void qoxGetSocketSelectActivity(int fd, SocketEvent* sets, int* activity);
// Waits for the watched descriptors below nfds (taken as 16 bits). timeout
// null or tv_sec == -1: no limit. kQOXErrSocketTimedOut on time-out; -22198 when
// descriptors are ready or the event was signalled (then no descriptor may
// be marked); -22199 when the wait failed.
QOXError qoxWaitSocketEvent(SocketEvent* sets, const struct timeval* timeout, int nfds);
// Wakes a thread waiting in qoxWaitSocketEvent (or its next wait). Safe from
// any thread; never blocks; async-signal-safe.
QOXError qoxSignalSocketEvent(SocketEvent* event);
QOXError qoxClearSocketEvent(SocketEvent* event);
void qoxClearSocketsError();

#endif  // OSTRAK_SERVER_SUPPORT_ZOVUREZ_H_
