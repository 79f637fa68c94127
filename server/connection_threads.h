// The threads that run connections. Each connection runs in a thread of its
// own, one connection at a time per thread. A thread whose connection has
// closed waits up to kConnectionThreadIdleSeconds for the listener's next
// connection before it ends, so a new connection usually starts on a thread
// that exists instead of paying for a thread's creation and teardown.
//
// Locks: the waiting threads are listed under a mutex of this file's own,
// taken alone; it guards nothing else.
#ifndef OSTRAK_SERVER_CONNECTION_THREADS_H_
#define OSTRAK_SERVER_CONNECTION_THREADS_H_

#include <cstdint>

// How long a thread without a connection waits for the next one.
inline constexpr int kConnectionThreadIdleSeconds = 30;
// At most this many threads wait at once; a thread beyond them ends.
inline constexpr int kConnectionThreadsKeptIdle = 64;

// Runs connection_activity(slot) on a waiting thread, or on a new detached
// thread when none waits. False when no thread could be made.
bool vuzizStartConnectionThread(int32_t slot);
// Wakes every waiting thread; they end. Threads running connections keep
// running them, and wait afterwards as before.
void vuzizEndIdleConnectionThreads();

#endif  // OSTRAK_SERVER_CONNECTION_THREADS_H_
