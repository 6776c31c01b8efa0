// The few system calls the simulator makes on Windows: handles, the wake-up event, the host's
// events, absolute-deadline sleeps and the named file mappings of the sample areas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace halvern::sim::io {

// A kernel handle owned by exactly one object.
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(void* h) : h_(h) {}
    OwnedHandle(OwnedHandle&& o) noexcept : h_(o.release()) {}
    OwnedHandle& operator=(OwnedHandle&& o) noexcept {
        if (this != &o)
            reset(o.release());
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { reset(); }
    void* get() const { return h_; }
    void* release() {
        void* h = h_;
        h_ = nullptr;
        return h;
    }
    explicit operator bool() const { return h_ != nullptr; }
    void reset(void* h = nullptr);

private:
    void* h_ = nullptr; // never INVALID_HANDLE_VALUE
};

// A host's event, duplicated into the simulator from the host's process.
using OwnedEvent = OwnedHandle;
using EventRef = void*;
constexpr EventRef kNoEvent = nullptr;
bool signalEvent(EventRef e);
// True when the handle is an event: the only kind of object the device will ever set.
bool isEvent(const OwnedEvent& e);

// An auto-reset event that wakes the server thread from another thread.
class Wake {
public:
    Wake();
    bool valid() const { return bool(event_); }
    void* handle() const { return event_.get(); }
    void signal();

private:
    OwnedHandle event_;
};

// Sleeps until platform::monotonicNs() reaches `deadlineNs`.
void sleepUntilNs(uint64_t deadlineNs);

struct BusRequest {
    uint32_t code = 0;
    uint32_t outputCapacity = 0;
    uint32_t tag = 0;
    std::vector<uint8_t> input;
    std::vector<OwnedEvent> fds; // the registration's events, duplicated, owned
};

struct BusReply {
    bool success = true;
    uint32_t error = 0;
    std::vector<uint8_t> output; // never longer than the request's output capacity
    std::string attachments;     // names of the mappings, each ended by a zero
};

// A named, zeroed file mapping of `bytes` backed by the paging file, and its view here. Another
// process opens it by name; the name goes when the last handle and view are gone.
class SharedArea {
public:
    static std::unique_ptr<SharedArea> create(const std::string& name, std::size_t bytes);
    ~SharedArea();
    uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    const std::string& name() const { return name_; }

private:
    SharedArea() = default;
    OwnedHandle section_;
    uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::string name_;
};

// The signal times are a shared area too; `create` is always true on the device's side.
class MappedFile {
public:
    static std::unique_ptr<MappedFile> open(const std::string& name, std::size_t bytes,
                                            bool create);
    void* data() const { return area_->data(); }
    std::size_t size() const { return area_->size(); }

private:
    std::unique_ptr<SharedArea> area_;
};

inline void attachAreas(BusReply& r, const SharedArea& in, const SharedArea& out) {
    r.attachments = in.name() + '\0' + out.name() + '\0';
}
inline void detachAreas(BusReply& r) {
    r.attachments.clear();
}

} // namespace halvern::sim::io
