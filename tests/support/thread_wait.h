// Waiting for another thread of the test program to reach a point that it
// does not announce: blocked in the kernel, as a thread is while it waits
// for input that has not come.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace testsupport {

// The calling thread's id as the kernel knows it.
inline pid_t ThreadId() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

// The thread's scheduling state from /proc ('R' running, 'S' sleeping, ...),
// or '?' when it cannot be read.
inline char ThreadState(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  // "<tid> (<name>) <state> ...": the name may hold blanks and parentheses.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return '?';
  return stat[close + 2];
}

// Waits until the thread sleeps in the kernel; false when it has not within
// timeoutMs.
inline bool WaitUntilThreadSleeps(pid_t tid, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (ThreadState(tid) != 'S') {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace testsupport
