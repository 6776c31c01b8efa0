// Threads, their real-time set-up and sleeping.
#pragma once

#include "halvern/platform/handle.h"

#include <cstdint>

namespace halvern::platform {

using ThreadProc = uint32_t (*)(void* arg);

// Creates a thread, suspended if asked (it runs nothing until resumeThread). Returns an invalid
// handle with lastError() on failure. `threadId` may be null.
Handle createThread(ThreadProc proc, void* arg, bool suspended, uint32_t* threadId);
bool resumeThread(Handle thread);
// Waits for the thread to end: kWaitObject0, kWaitTimeout or kWaitFailed. A thread waiting for
// itself gets kWaitTimeout after the time-out, never a deadlock.
uint32_t waitThread(Handle thread, uint32_t timeoutMs);
// Releases the handle; a thread still running goes on and frees its own resources at its end.
bool closeThread(Handle thread);
bool isCurrentThread(Handle thread);
// The calling thread's pseudo-handle (GetCurrentThread's value); accepted by the real-time
// set-up functions, needs no close.
inline Handle currentThread() {
    return reinterpret_cast<Handle>(static_cast<intptr_t>(-2));
}
uint32_t currentThreadId();

// Real-time set-up. Each returns false with lastError() when the system refuses; callers
// trace the refusal and go on.
bool setProcessRealtimePriority();                    // REALTIME_PRIORITY_CLASS
uint32_t processPriorityClass();                      // GetPriorityClass
bool setProcessPriorityClass(uint32_t priorityClass); // SetPriorityClass
// The classes' values, as GetPriorityClass gives them.
constexpr uint32_t kNormalPriorityClass = 0x20;
constexpr uint32_t kRealtimePriorityClass = 0x100;
bool disableThreadPriorityBoost(Handle thread); // SetThreadPriorityBoost(TRUE)
bool setThreadTimeCritical(Handle thread);      // THREAD_PRIORITY_TIME_CRITICAL / SCHED_FIFO
// A device's interrupt outranks every thread, so that a host that overruns its period never
// holds the device's clock: SCHED_FIFO one above time-critical on Linux; on Windows, where the
// real interrupt is the kernel's, time-critical.
bool setThreadInterruptPriority(Handle thread);
bool setThreadAffinity(Handle thread, uint64_t mask); // SetThreadAffinityMask
uint32_t processorCount();                            // GetSystemInfo
// The processor the bus device signals its events from, or -1 where the system places that
// itself (Windows). On Linux the bus stand-in keeps its clock on one processor, as a device's
// interrupt has one, and a waiter placed on it is woken without an inter-processor interrupt:
// in a virtual machine that costs up to milliseconds, against microseconds on the same one.
// `$HALVERN_DEVICE_CPU` chooses it; the default is the last of the first four processors
// (those the audio thread's mask holds) that this process may use.
int deviceSignalProcessor();
// Joins the "Pro Audio" multimedia class for the calling thread (AvSetMmThreadCharacteristicsA).
// Returns the registration handle or null with lastError().
Handle joinProAudioClass(uint32_t* taskIndex);
bool leaveProAudioClass(Handle registration);
// Keeps the pages the process has mapped now in memory (later mappings are not covered, so no
// later allocation can fail for it). False where refused or not offered (Windows: hosts there
// rely on the working set); unlockProcessMemory undoes a lock that succeeded.
bool lockProcessMemory();
void unlockProcessMemory();

void sleepMs(uint32_t ms);

} // namespace halvern::platform
