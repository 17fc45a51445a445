// Host services on POSIX systems, with Windows semantics: re-entrant mutexes
// that may be created owned, per-thread last-error numbers, and the system
// texts that a Windows host prints for the error numbers our devices use.
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "kpxadac_ioctl.h"
#include "platform/platform.h"

namespace kpx::platform {

struct Mutex {
  std::recursive_mutex lock;
};

Mutex* createMutex(bool initiallyOwned) {
  auto* mutex = new (std::nothrow) Mutex;
  if (mutex && initiallyOwned) mutex->lock.lock();
  return mutex;
}

void destroyMutex(Mutex* mutex) {
  delete mutex;
}
void waitMutex(Mutex* mutex) {
  mutex->lock.lock();
}
void releaseMutex(Mutex* mutex) {
  mutex->lock.unlock();
}

void sleepMilliseconds(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

namespace {
thread_local uint32_t threadLastError = 0;

struct SystemText {
  uint32_t error;
  const char* text;
};

// The texts a Windows host gives for these numbers, line end included, so
// that output reads the same on every host.
constexpr SystemText kSystemTexts[] = {
    {0, "The operation completed successfully.\r\n"},
    {driver::error::kInvalidFunction, "Incorrect function.\r\n"},
    {driver::error::kFileNotFound, "The system cannot find the file specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {driver::error::kInvalidHandle, "The handle is invalid.\r\n"},
    {driver::error::kNotEnoughMemory,
     "Not enough memory resources are available to process this command.\r\n"},
    {21, "The device is not ready.\r\n"},
    {23, "Data error (cyclic redundancy check).\r\n"},
    {driver::error::kWriteFault, "The system cannot write to the specified device.\r\n"},
    {driver::error::kGenFailure, "A device attached to the system is not functioning.\r\n"},
    {driver::error::kSharingViolation,
     "The process cannot access the file because it is being used by another process.\r\n"},
    {driver::error::kInvalidParameter, "The parameter is incorrect.\r\n"},
    {driver::error::kDiskFull, "There is not enough space on the disk.\r\n"},
    {driver::error::kSemTimeout, "The semaphore timeout period has expired.\r\n"},
    {driver::error::kInsufficientBuffer, "The data area passed to a system call is too small.\r\n"},
    {driver::error::kBusy, "The requested resource is in use.\r\n"},
    {driver::error::kOperationAborted,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request.\r\n"},
    {driver::error::kIoPending, "Overlapped I/O operation is in progress.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1167, "The device is not connected.\r\n"},
    {driver::error::kNotFound, "Element not found.\r\n"},
    {driver::error::kTimeout, "This operation returned because the timeout period expired.\r\n"},
};
}  // namespace

uint32_t lastError() {
  return threadLastError;
}
void setLastError(uint32_t error) {
  threadLastError = error;
}

char* errorText(uint32_t error) {
  for (const auto& entry : kSystemTexts) {
    if (entry.error != error) continue;
    size_t size = std::strlen(entry.text) + 1;
    auto* copy = static_cast<char*>(std::malloc(size));
    if (copy) std::memcpy(copy, entry.text, size);
    return copy;
  }
  return nullptr;
}

void freeErrorText(char* text) {
  std::free(text);
}

bool consoleKeyWaiting() {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  return ::poll(&input, 1, 0) > 0 && (input.revents & (POLLIN | POLLHUP)) != 0;
}

int consoleReadChar() {
  unsigned char c = 0;
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
}

bool consoleIsInteractive() {
  return ::isatty(STDIN_FILENO) == 1;
}

PriorityGranted raiseThreadPriority(int realtimePriority) {
  PriorityGranted granted;
  // Root may take any priority; others what RLIMIT_RTPRIO allows.
  sched_param param{};
  param.sched_priority = realtimePriority;
  if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0) {
    rlimit limit{};
    param.sched_priority = 0;
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur > 0)
      param.sched_priority =
          static_cast<int>(std::min<rlim_t>(limit.rlim_cur, static_cast<rlim_t>(realtimePriority)));
    if (param.sched_priority == 0 || pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0)
      param.sched_priority = 0;
  }
  if (param.sched_priority > 0) {
    granted.level = PriorityLevel::kRealtime;
    granted.value = param.sched_priority;
    return granted;
  }
#ifdef __linux__
  // A nice value of this thread alone (Linux keeps one per thread), as low
  // as RLIMIT_NICE allows (its limit is 20 - nice), at most -10.
  constexpr int kRaisedNice = -10;
  rlimit limit{};
  int nice = kRaisedNice;
  if (setpriority(PRIO_PROCESS, 0, nice) != 0) {
    nice = getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur > 20
               ? std::max(kRaisedNice, 20 - static_cast<int>(limit.rlim_cur))
               : 0;
    if (nice >= 0 || setpriority(PRIO_PROCESS, 0, nice) != 0) nice = 0;
  }
  if (nice < 0) {
    granted.level = PriorityLevel::kRaised;
    granted.value = nice;
  }
#endif
  return granted;
}

bool lockMemory(void* address, size_t bytes) {
  return ::mlock(address, bytes) == 0;
}

void unlockMemory(void* address, size_t bytes) {
  ::munlock(address, bytes);
}

void preferLargePages(void* address, size_t bytes) {
#ifdef MADV_HUGEPAGE
  ::madvise(address, bytes, MADV_HUGEPAGE);
#else
  (void)address;
  (void)bytes;
#endif
}

}  // namespace kpx::platform
