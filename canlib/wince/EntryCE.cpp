// Load and unload of the OceloCE library (the DLL entry's process attach and
// detach).
#include "HalvexSDK.h"
#include "Ocelo.h"
#include "OceloCEState.h"

HANDLE PollThreadHandle = nullptr;
DWORD PollThreadId = 0;
std::atomic<bool> PollStop{false};
std::atomic<bool> PollDone{false};

namespace {

constexpr uint16_t kInterruptCode = 0x1FFE;
constexpr uint16_t kCommandByte = 0x1FFF;
constexpr uint8_t kCommandHostGone = 80;
// The polling thread finishes a slot visit within a few milliseconds; these
// bound the wait for it at unload.
constexpr int kStopWaitMs = 2000;
constexpr int kExitWaitMs = 100;

// Stops the polling thread cooperatively: it is asked to stop and ends after
// its current slot, outside both locks.  Only if it does not end in time is
// it terminated, and then while this thread holds both locks, so that it
// cannot be holding one of them when it is stopped.
void StopPollThread(bool ProcessEnding) {
  if (PollThreadHandle == nullptr) return;
  PollStop.store(true);
  // When the whole process ends, Windows has already stopped the thread.
  for (int waited = 0; waited < kStopWaitMs && !ProcessEnding && !PollDone.load(); ++waited) Sleep(1);
  DWORD exitCode = STILL_ACTIVE;
  for (int waited = 0; waited < kExitWaitMs && !ProcessEnding; ++waited) {
    if (!GetExitCodeThread(PollThreadHandle, &exitCode) || exitCode != STILL_ACTIVE) break;
    Sleep(1);
  }
  if (!ProcessEnding && exitCode == STILL_ACTIVE) {
    EnterCriticalSection(&TriggerLock);
    EnterCriticalSection(&DpramLock);
    TerminateThread(PollThreadHandle, exitCode);
    LeaveCriticalSection(&DpramLock);
    LeaveCriticalSection(&TriggerLock);
  }
  CloseHandle(PollThreadHandle);
  PollThreadHandle = nullptr;
  PollThreadId = 0;
}

}  // namespace

BOOL OceloProcessAttach() {
  InitializeCriticalSection(&DpramLock);
  InitializeCriticalSection(&TriggerLock);
  for (int i = 0; i < kOceloSlots; ++i) {
    InitializeCriticalSection(&SlotLock[i]);
    InitializeCriticalSection(&TxLock[i]);
  }
  for (int i = 0; i < kOceloSlots; ++i) SlotBases[i] = GetSlotAddr(i);
  PollStop.store(false);
  PollDone.store(false);
  PollThreadHandle = CreateThread(nullptr, 0, OceloPollThread, nullptr, 0, &PollThreadId);
  CeSetThreadPriority(PollThreadHandle, kPollThreadPriority);
  return TRUE;
}

BOOL OceloProcessDetach(bool ProcessEnding) {
  StopPollThread(ProcessEnding);
  for (int slot = 0; slot < kOceloSlots; ++slot) {
    if (RakInit[slot].load() != 0) {
      if (ProcessEnding) {
        // The system has stopped the other threads wherever they were, a
        // lock perhaps held: the boards are told without the locks.
        (void)DpramReadUnlocked(SlotBases[slot], kInterruptCode);
        DpramWriteUnlocked(SlotBases[slot], kCommandByte, kCommandHostGone);
      } else {
        (void)DPRAMReadByte(SlotBases[slot], kInterruptCode);
        DPRAMWriteByte(SlotBases[slot], kCommandByte, kCommandHostGone);
      }
    }
    // A slot whose board reset itself (event 64) is no longer initialised
    // but still holds its buffer.
    free(CANReadMsg[slot].exchange(nullptr));
  }
  if (ProcessEnding) return TRUE;  // the locks go with the process
  for (int i = 0; i < kOceloSlots; ++i) {
    DeleteCriticalSection(&SlotLock[i]);
    DeleteCriticalSection(&TxLock[i]);
  }
  DeleteCriticalSection(&DpramLock);
  DeleteCriticalSection(&TriggerLock);
  return TRUE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE Instance, DWORD Reason, LPVOID Reserved) {
  switch (Reason) {
    case DLL_PROCESS_ATTACH:
      return OceloProcessAttach();
    case DLL_PROCESS_DETACH:
      // A non-null Reserved means the process is ending, not FreeLibrary.
      return OceloProcessDetach(Reserved != nullptr);
    default:
      return TRUE;
  }
}
