// Windows CE thread priorities on desktop Windows.
#include "CeCore.h"

BOOL CeSetThreadPriority(HANDLE thread, int priority) {
  if (priority < 0 || priority > 255) return FALSE;
  // 248 to 255 are the eight application levels of Windows CE, 248 the
  // highest; everything below 248 is a real-time priority above them.
  static const int kLevels[8] = {THREAD_PRIORITY_TIME_CRITICAL, THREAD_PRIORITY_HIGHEST,
                                 THREAD_PRIORITY_ABOVE_NORMAL,  THREAD_PRIORITY_NORMAL,
                                 THREAD_PRIORITY_BELOW_NORMAL,  THREAD_PRIORITY_LOWEST,
                                 THREAD_PRIORITY_LOWEST,        THREAD_PRIORITY_IDLE};
  int level = priority < 248 ? THREAD_PRIORITY_HIGHEST : kLevels[priority - 248];
  return SetThreadPriority(thread, level);
}
