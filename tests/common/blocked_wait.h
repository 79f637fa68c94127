// Waiting until another thread or process is blocked in a system call, for
// tests that must act only once the other side waits (a lock held, a slot
// taken): the kernel's own record (/proc/.../syscall) is read, so a test
// neither guesses a pause nor passes when the other side never got there.
#ifndef OSTRAK_TESTS_COMMON_BLOCKED_WAIT_H_
#define OSTRAK_TESTS_COMMON_BLOCKED_WAIT_H_

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <initializer_list>
#include <string>
#include <thread>

namespace ostrak_test {

// The calling thread's kernel thread ID.
inline pid_t ThreadID() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// True once the task whose /proc directory is given ("/proc/<pid>", or
// "/proc/self/task/<tid>" for a thread) is blocked in one of the system
// calls (numbers from <sys/syscall.h>); false when the time runs out.
inline bool WaitUntilBlockedIn(const std::string& task, std::initializer_list<long> calls,
                               std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::ifstream in(task + "/syscall");
    long number = -1;
    if (in >> number) {
      for (long c : calls)
        if (number == c) return true;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the poll interval of this bounded wait
  }
}

}  // namespace ostrak_test

#endif  // OSTRAK_TESTS_COMMON_BLOCKED_WAIT_H_
