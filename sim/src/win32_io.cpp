#include "win32_io.h"

#include "halvern/platform/clock.h"
#include "halvern/platform/win32/pipe_security.h"

#include <windows.h>
// Needs the types of windows.h.
#include <mmsystem.h>

#include <cstring>

namespace halvern::sim::io {

void OwnedHandle::reset(void* h) {
    if (h_ != nullptr && h_ != h)
        CloseHandle(h_);
    h_ = h;
}

bool signalEvent(EventRef e) {
    return e != nullptr && SetEvent(e) != FALSE;
}

bool isEvent(const OwnedEvent& e) {
    // Resetting a freshly registered event changes nothing (the stream has not begun), and the
    // call refuses every object that is not an event.
    return e && ResetEvent(e.get()) != FALSE;
}

Wake::Wake() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

void Wake::signal() {
    SetEvent(event_.get());
}

namespace {
using DelayFn = LONG(WINAPI*)(BOOLEAN, PLARGE_INTEGER);

// NtDelayExecution sleeps in 100 ns units, as fine as the system timer allows; Sleep() is the
// fall-back. The timer is asked for 1 ms resolution once, for the life of the simulator.
DelayFn delayFunction() {
    static const DelayFn fn = [] {
        timeBeginPeriod(1);
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll ? reinterpret_cast<DelayFn>(
                           reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDelayExecution")))
                     : nullptr;
    }();
    return fn;
}
} // namespace

void sleepUntilNs(uint64_t deadlineNs) {
    // No spinning to the deadline: on a small machine it would take the processor from the very
    // host whose timing the device measures. A sleep that ends early goes round again.
    const DelayFn delay = delayFunction();
    for (;;) {
        const uint64_t now = platform::monotonicNs();
        if (now >= deadlineNs)
            return;
        const uint64_t left = deadlineNs - now;
        if (delay != nullptr) {
            LARGE_INTEGER relative;
            relative.QuadPart = -LONGLONG((left + 99) / 100);
            delay(FALSE, &relative);
        } else {
            Sleep(DWORD((left + 999'999) / 1'000'000));
        }
    }
}

std::unique_ptr<SharedArea> SharedArea::create(const std::string& name, std::size_t bytes) {
    if (bytes == 0)
        return nullptr;
    const uint64_t size = bytes;
    // Like the device's pipe, its areas are for this user's processes only.
    HANDLE section = CreateFileMappingA(
        INVALID_HANDLE_VALUE, platform::win32::ownUserPipeSecurity(), PAGE_READWRITE,
        DWORD(size >> 32), DWORD(size & 0xFFFFFFFFu), name.empty() ? nullptr : name.c_str());
    if (section == nullptr)
        return nullptr;
    std::unique_ptr<SharedArea> area(new SharedArea());
    area->section_.reset(section);
    // A mapping of the same name that a host still holds from an earlier run is taken over.
    void* p = MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, bytes);
    if (p == nullptr)
        return nullptr;
    std::memset(p, 0, bytes);
    area->data_ = static_cast<uint8_t*>(p);
    area->size_ = bytes;
    area->name_ = name;
    return area;
}

SharedArea::~SharedArea() {
    if (data_ != nullptr)
        UnmapViewOfFile(data_);
}

std::unique_ptr<MappedFile> MappedFile::open(const std::string& name, std::size_t bytes, bool) {
    auto area = SharedArea::create(name, bytes);
    if (!area)
        return nullptr;
    std::unique_ptr<MappedFile> file(new MappedFile());
    file->area_ = std::move(area);
    return file;
}

} // namespace halvern::sim::io
