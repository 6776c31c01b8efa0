// Threads, their real-time set-up and sleeping.
#include "halvern/platform/thread.h"
#include "halvern/platform/event.h"

#include <windows.h>
// Needs the types of windows.h.
#include <avrt.h>

#include <new>

namespace halvern::platform {

namespace {

// The product's thread procedure has its own signature; a trampoline calls it rather than
// casting it to LPTHREAD_START_ROUTINE.
struct ThreadStart {
    ThreadProc proc;
    void* arg;
    HMODULE module; // a reference on the module that holds this code, or null
};

DWORD WINAPI threadTrampoline(LPVOID param) {
    ThreadStart start = *static_cast<ThreadStart*>(param);
    delete static_cast<ThreadStart*>(param);
    const DWORD result = start.proc(start.arg);
    // A host may unload the driver DLL as soon as it allows it, while this thread is still on
    // its way out: the thread holds its own reference and drops it only as it exits.
    if (start.module != nullptr)
        FreeLibraryAndExitThread(start.module, result);
    return result;
}

HMODULE referenceOwnModule() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&threadTrampoline), &module))
        return nullptr;
    return module;
}

} // namespace

Handle createThread(ThreadProc proc, void* arg, bool suspended, uint32_t* threadId) {
    if (proc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return invalidHandle();
    }
    auto* start = new (std::nothrow) ThreadStart{proc, arg, nullptr};
    if (start == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return invalidHandle();
    }
    start->module = referenceOwnModule();
    DWORD id = 0;
    HANDLE h =
        CreateThread(nullptr, 0, threadTrampoline, start, suspended ? CREATE_SUSPENDED : 0, &id);
    if (h == nullptr) {
        const DWORD error = GetLastError();
        if (start->module != nullptr)
            FreeLibrary(start->module);
        delete start;
        SetLastError(error);
        return invalidHandle();
    }
    if (threadId != nullptr)
        *threadId = id;
    return h;
}

bool resumeThread(Handle thread) {
    return ResumeThread(thread) != static_cast<DWORD>(-1);
}

uint32_t waitThread(Handle thread, uint32_t timeoutMs) {
    // A finite wait on one's own handle simply times out; an endless one could never end.
    if (timeoutMs == kInfinite && isCurrentThread(thread)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return kWaitFailed;
    }
    return WaitForSingleObject(thread, timeoutMs);
}

bool closeThread(Handle thread) {
    if (!isValid(thread)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return CloseHandle(thread) != FALSE;
}

bool isCurrentThread(Handle thread) {
    return isValid(thread) && GetThreadId(thread) == GetCurrentThreadId();
}

uint32_t currentThreadId() {
    return GetCurrentThreadId();
}

bool setProcessRealtimePriority() {
    return SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS) != FALSE;
}

uint32_t processPriorityClass() {
    return GetPriorityClass(GetCurrentProcess());
}

bool setProcessPriorityClass(uint32_t priorityClass) {
    return SetPriorityClass(GetCurrentProcess(), priorityClass) != FALSE;
}

bool disableThreadPriorityBoost(Handle thread) {
    return SetThreadPriorityBoost(thread, TRUE) != FALSE;
}

bool setThreadTimeCritical(Handle thread) {
    return SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL) != FALSE;
}

bool setThreadAffinity(Handle thread, uint64_t mask) {
    return SetThreadAffinityMask(thread, static_cast<DWORD_PTR>(mask)) != 0;
}

uint32_t processorCount() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

bool setThreadInterruptPriority(Handle thread) {
    return setThreadTimeCritical(thread);
}

int deviceSignalProcessor() {
    return -1; // the kernel driver's interrupt goes where the system sends it
}

Handle joinProAudioClass(uint32_t* taskIndex) {
    DWORD index = taskIndex != nullptr ? *taskIndex : 0;
    HANDLE registration = AvSetMmThreadCharacteristicsA("Pro Audio", &index);
    if (taskIndex != nullptr)
        *taskIndex = index;
    return registration;
}

bool leaveProAudioClass(Handle registration) {
    if (registration == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return AvRevertMmThreadCharacteristics(registration) != FALSE;
}

bool lockProcessMemory() {
    return false;
}

void unlockProcessMemory() {}

void sleepMs(uint32_t ms) {
    Sleep(ms);
}

} // namespace halvern::platform
