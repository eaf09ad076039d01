// Windows CE core library stand-in on POSIX threads.
#include "CeCore.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

struct CeThread {
  pthread_t thread{};
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID param = nullptr;
  std::atomic<DWORD> exitCode{STILL_ACTIVE};
  std::atomic<int> priority{CE_DEFAULT_PRIORITY};
  std::atomic<pid_t> tid{0};  // the kernel's id, once the thread runs
  // One reference for the handle, one for the running thread; the last to
  // let go frees the record.
  std::atomic<int> refs{2};
  bool joined = false;
};

std::atomic<DWORD> nextThreadId{1};
thread_local unsigned long sleepCalls = 0;

void Release(CeThread* t) {
  if (t->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete t;
}

// Gives the thread its priority as far as the system lets this process.
// Priorities below 248 are real-time on Windows CE: a real-time round-robin
// class (0 highest there, 99 highest here), or, without the right to it, the
// highest niceness the process may take.  248 to 255 keep the normal class.
void ApplyPriority(CeThread* t, pthread_t thread) {
  const int priority = t->priority.load();
  sched_param param{};
  if (priority >= 248) {
    pthread_setschedparam(thread, SCHED_OTHER, &param);
    return;
  }
  param.sched_priority = 1 + (247 - priority) * 98 / 247;
  if (pthread_setschedparam(thread, SCHED_RR, &param) == 0) return;
  const pid_t tid = t->tid.load();
  if (tid == 0) return;  // the thread applies it itself when it starts
  for (int nice = -10; nice < 0; nice += 5)
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0) return;
}

void* Trampoline(void* arg) {
  auto* t = static_cast<CeThread*>(arg);
  t->tid.store(static_cast<pid_t>(syscall(SYS_gettid)));
  if (t->priority.load() != CE_DEFAULT_PRIORITY) ApplyPriority(t, pthread_self());
  DWORD rc = t->start(t->param);
  t->exitCode.store(rc, std::memory_order_release);
  Release(t);
  return nullptr;
}

bool JoinWithin(CeThread* t, long milliseconds) {
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += (milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return pthread_timedjoin_np(t->thread, nullptr, &deadline) == 0;
}

}  // namespace

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&cs->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_destroy(&cs->mutex); }

void EnterCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_lock(&cs->mutex); }

void LeaveCriticalSection(CRITICAL_SECTION* cs) { pthread_mutex_unlock(&cs->mutex); }

HANDLE CreateThread(void* security, size_t stackSize, LPTHREAD_START_ROUTINE start, LPVOID param,
                    DWORD flags, DWORD* threadId) {
  if (start == nullptr || security != nullptr || flags != 0) return nullptr;
  auto* t = new CeThread;
  t->start = start;
  t->param = param;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stackSize != 0) pthread_attr_setstacksize(&attr, stackSize);
  int rc = pthread_create(&t->thread, &attr, Trampoline, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete t;
    return nullptr;
  }
  if (threadId != nullptr) *threadId = nextThreadId.fetch_add(1);
  return t;
}

BOOL CeSetThreadPriority(HANDLE thread, int priority) {
  // The value is kept so that it can be read back; the system's scheduling
  // follows it where this process is allowed to (see ApplyPriority).
  if (thread == nullptr || priority < 0 || priority > 255) return FALSE;
  auto* t = static_cast<CeThread*>(thread);
  t->priority.store(priority);
  if (t->exitCode.load(std::memory_order_acquire) == STILL_ACTIVE) ApplyPriority(t, t->thread);
  return TRUE;
}

int CeGetThreadPriority(HANDLE thread) {
  if (thread == nullptr) return -1;
  return static_cast<CeThread*>(thread)->priority.load();
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
  if (thread == nullptr || exitCode == nullptr) return FALSE;
  *exitCode = static_cast<CeThread*>(thread)->exitCode.load(std::memory_order_acquire);
  return TRUE;
}

BOOL TerminateThread(HANDLE thread, DWORD exitCode) {
  if (thread == nullptr) return FALSE;
  auto* t = static_cast<CeThread*>(thread);
  if (t->joined) return TRUE;
  if (t->exitCode.load(std::memory_order_acquire) == STILL_ACTIVE) pthread_cancel(t->thread);
  if (!JoinWithin(t, 2000)) return FALSE;
  t->joined = true;
  // A cancelled thread never reached the end of Trampoline.
  DWORD expected = STILL_ACTIVE;
  if (t->exitCode.compare_exchange_strong(expected, exitCode)) Release(t);
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr) return FALSE;
  auto* t = static_cast<CeThread*>(handle);
  if (!t->joined) {
    if (t->exitCode.load(std::memory_order_acquire) != STILL_ACTIVE) {
      // The thread is past its routine; wait for it to leave this library's
      // code before the handle goes (the library may be unloaded next).
      pthread_join(t->thread, nullptr);
    } else {
      pthread_detach(t->thread);
    }
  }
  Release(t);
  return TRUE;
}

void Sleep(DWORD milliseconds) {
  ++sleepCalls;
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  timespec ts{static_cast<time_t>(milliseconds / 1000),
              static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

unsigned long CeSleepCallCount() { return sleepCalls; }
