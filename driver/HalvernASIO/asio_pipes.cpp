// The driver's side of the panel pipes: the listener that turns a panel's connection into a
// reset request to the host, controlPanel, and the status messages to the panel.
#include "AsioHalvern.h"
#include "com/com_base.h"
#include "driver_gate.h"
#include "driver_trace.h"

#include "halvern/platform/pipe.h"
#include "halvern/platform/thread.h"
#include "halvern/protocol/pipe_messages.h"

#include <cstdio>

namespace halvern::driver {

using namespace protocol;

DriverGate gListenerGate;

namespace {

constexpr uint32_t kConnectWaitMs = 500;
// The panel writes its byte right after it opened the pipe.
constexpr uint32_t kSignalByteWaitMs = 500;
constexpr uint32_t kListenerCloseWaitMs = 200;
constexpr uint32_t kPipeBufferSize = 1024;
constexpr uint32_t kPipeDefaultTimeoutMs = 1000;
constexpr uint32_t kPipeReleaseWaitMs = 1000;
// The panel's pipe has a default time-out of 300 ms.
constexpr uint32_t kPanelBusyWaitMs = 300;
constexpr uint32_t kPanelBusyRetryMs = 10;

LiveThreads gListeners;
// The current listener's pipe, so that a listener close can cancel its pending connect. A
// canceller counts itself in while it uses the handle; the listener withdraws the handle and
// waits for the count to fall before it closes the pipe, so a cancel never meets a closed pipe.
std::atomic<platform::Handle> gListenerPipe{nullptr};
std::atomic<int> gListenerPipeUsers{0};

// True on a listener thread, whose own close must not end a newer listener.
thread_local bool tOnListenerThread = false;

void cancelListenerWait() {
    gListenerPipeUsers.fetch_add(1);
    if (platform::Handle pipe = gListenerPipe.load())
        platform::cancelPipeWait(pipe);
    gListenerPipeUsers.fetch_sub(1);
}

void releaseListenerPipe(platform::Handle pipe) {
    platform::Handle expected = pipe;
    gListenerPipe.compare_exchange_strong(expected, nullptr);
    for (uint32_t waited = 0; gListenerPipeUsers.load() > 0 && waited < kPipeReleaseWaitMs;
         ++waited)
        platform::sleepMs(1);
}

} // namespace

int DriverCore::liveListenerThreads() {
    return gListeners.count();
}

// ---------------------------------------------------------------------------------------------
// Status messages to the panel

DriverCore::StatusResult DriverCore::sendStatus(uint32_t running, uint32_t openWindow,
                                                bool traceConnected) {
    // The panel serves one message at a time: while it is busy with the previous one, wait as
    // long as its pipe's default time-out asks, as a client waiting for the pipe would.
    platform::Handle pipe = platform::openPipeClient(kAsioToPanelPipe, true);
    for (uint32_t waited = 0;
         !platform::isValid(pipe) && platform::lastError() == platform::kErrorPipeBusy &&
         waited < kPanelBusyWaitMs;
         waited += kPanelBusyRetryMs) {
        platform::sleepMs(kPanelBusyRetryMs);
        pipe = platform::openPipeClient(kAsioToPanelPipe, true);
    }
    if (!platform::isValid(pipe))
        return StatusResult::NoPanel;
    if (traceConnected)
        hostTrace("Connected to the pipe.\n");
    StatusMessage message;
    message.bufferSize = static_cast<uint32_t>(gPanelBlockFrames.load());
    message.running = running;
    message.openWindow = openWindow;
    uint8_t bytes[StatusMessage::kSize];
    message.toWire(bytes);
    uint32_t written = 0;
    if (!platform::writePipe(pipe, bytes, sizeof bytes, &written) || written != sizeof bytes) {
        hostTrace("Failed to write to the pipe: %d\n", static_cast<int>(platform::lastError()));
        platform::closePipeClient(pipe);
        return StatusResult::WriteFailed;
    }
    if (!platform::closePipeClient(pipe)) {
        hostTrace("Failed to close the pipe: %d\n", static_cast<int>(platform::lastError()));
        return StatusResult::CloseFailed;
    }
    return StatusResult::Sent;
}

Outcome DriverCore::controlPanel() {
    hostTrace("controlPanel.\n");
    switch (sendStatus(1, 1, true)) {
    case StatusResult::NoPanel:
        hostTrace("Failed to connect to the pipe.\n");
        return Outcome::InvalidParameter;
    case StatusResult::WriteFailed:
    case StatusResult::CloseFailed:
        return Outcome::InvalidParameter;
    case StatusResult::Sent:
        break;
    }
    listenerClose();
    listenerStart();
    return Outcome::Ok;
}

// ---------------------------------------------------------------------------------------------
// Listener start and close

bool DriverCore::ownsListener() const {
    return listener_.isCurrent();
}

void DriverCore::listenerStart() {
    gListenerGate.serve(this);
    hostTrace("ASIO waiting Pannel \n");
    if (listener_.handle() != nullptr) {
        hostTrace("pipeReadThreadHandle is not NULL!\n");
        listenerClose();
    }
    listenerRun_.store(true);
    // Its handle is in place before it runs: the thread tells from it that it is still the
    // listener.
    uint32_t threadId = 0;
    platform::Handle thread =
        listener_.start(gListeners, &DriverCore::listenerThreadMain, nullptr, &threadId);
    if (thread == nullptr) {
        std::printf("Failed to create thread. Error: %d\n",
                    static_cast<int>(platform::lastError()));
        std::fflush(stdout);
        return;
    }
    hostTrace("pipeReadThreadHandle Created ID is %d!\n", static_cast<int>(threadId));
    platform::resumeThread(thread);
    std::printf("Thread created successfully. Thread ID: %d\n", static_cast<int>(threadId));
    std::fflush(stdout);
}

void DriverCore::listenerClose() {
    if (tOnListenerThread) {
        listenerCloseSelf();
        return;
    }
    hostTrace("pipeReadTheadClose call!\n");
    listenerRun_.store(false);
    platform::Handle thread = listener_.take();
    if (thread != nullptr) {
        hostTrace("Cancel IO call!\n");
        cancelListenerWait();
        hostTrace("WaitForSingleObject call!\n");
        BackgroundThread::join(thread, kListenerCloseWaitMs,
                               [] { hostTrace("CloseHandle call!\n"); });
    }
    hostTrace("pipeReadTheadClose call!\n");
}

// The listener close as the listener runs it at its own end (or a host runs it from a reset
// request on the listener's thread): it releases its own handle, without waiting for itself,
// and leaves the run flag alone, which by now may belong to a newer listener.
void DriverCore::listenerCloseSelf() {
    hostTrace("pipeReadTheadClose call!\n");
    platform::Handle thread = listener_.handle();
    if (thread != nullptr && platform::isCurrentThread(thread) && listener_.takeIf(thread)) {
        hostTrace("Cancel IO call!\n");
        hostTrace("WaitForSingleObject call!\n");
        hostTrace("CloseHandle call!\n");
        platform::closeThread(thread);
    }
    hostTrace("pipeReadTheadClose call!\n");
}

// ---------------------------------------------------------------------------------------------
// The listener thread

namespace {

// The listener's end of the panel's pipe; invalid (traced) when it cannot be made.
platform::Handle createListenerPipe() {
    platform::PipeServerOptions options;
    options.mode = platform::PipeMode::Byte;
    options.maxInstances = 255;
    options.bufferSize = kPipeBufferSize;
    options.defaultTimeoutMs = kPipeDefaultTimeoutMs;
    options.overlapped = true;
    // A pipe of that name made by anyone else is noticed, not shared with them; the listener
    // before this one may still be closing its own, which is waited for (bounded).
    options.firstInstance = true;
    platform::Handle pipe = platform::createPipeServer(kPanelToAsioPipe, options);
    for (uint32_t waited = 0;
         !platform::isValid(pipe) && platform::lastError() == platform::kErrorAccessDenied &&
         waited < kPipeReleaseWaitMs;
         waited += kPanelBusyRetryMs) {
        platform::sleepMs(kPanelBusyRetryMs);
        pipe = platform::createPipeServer(kPanelToAsioPipe, options);
    }
    if (!platform::isValid(pipe))
        hostTrace("Failed to create the pipe: %d\n", static_cast<int>(platform::lastError()));
    return pipe;
}

// What one wait for a client found.
struct ClientWait {
    bool signal = false;      // a client to read the panel's byte from
    bool clientHolds = false; // a client that keeps its end open
    bool failed = false;      // the pipe no longer serves
};

// `clientSignalled`: the client now connected has had its reset request already.
ClientWait classifyWait(platform::PipeWait wait, bool clientSignalled) {
    ClientWait out;
    if (wait == platform::PipeWait::ConnectedAtOnce) {
        hostTrace("Client connected immediately.\n");
        out.signal = true;
    } else if (wait == platform::PipeWait::Connected) {
        hostTrace("Client connected.\n");
        out.signal = true;
    } else if (wait == platform::PipeWait::AlreadyConnected) {
        hostTrace("Client already connected.\n");
        out.signal = !clientSignalled;
        out.clientHolds = true;
    } else if (wait == platform::PipeWait::Failed) {
        const uint32_t error = platform::lastError();
        if (error == platform::kErrorNoData && !clientSignalled) {
            // A panel that connected, wrote and closed before the first wait began (Windows
            // reports "no data"): its signal counts all the same.
            hostTrace("Client connected.\n");
            out.signal = true;
        } else {
            hostTrace("Failed to connect to the pipe: %d\n", static_cast<int>(error));
            out.failed = true;
        }
    }
    // TimedOut: go round. Cancelled: a listener close wants the flags looked at; it is never a
    // connection.
    return out;
}

} // namespace

// The driver object the listener serves, while it still wants the listener; null otherwise.
DriverCore* DriverCore::listenerOwner(DriverGate::Entry& entry) {
    DriverCore* d = entry.driver();
    return d != nullptr && d->listenerRun_.load() && d->ownsListener() ? d : nullptr;
}

void DriverCore::serveListenerPipe(platform::Handle pipe) {
    hostTrace("Pipe Created, Waiting for client connection...\n");
    gListenerPipe.store(pipe);
    // Whether the client now connected has had its reset request: a client may also be found
    // already connected when the wait begins, and that is a signal too.
    bool clientSignalled = false;
    for (;;) {
        {
            DriverGate::Entry entry(gListenerGate);
            if (listenerOwner(entry) == nullptr)
                break;
        }
        const ClientWait wait =
            classifyWait(platform::waitForPipeClient(pipe, kConnectWaitMs), clientSignalled);
        if (wait.failed)
            break;
        // Only a client that writes is the panel: one that can only read, or that sends
        // nothing, is dropped, and the listener goes on waiting for the panel.
        if (wait.signal && !platform::takeClientByte(pipe, kSignalByteWaitMs)) {
            hostTrace("Client sent no signal.\n");
            platform::disconnectPipeClient(pipe);
            continue;
        }
        if (wait.signal) {
            clientSignalled = true;
            DriverGate::Entry entry(gListenerGate);
            if (DriverCore* d = listenerOwner(entry))
                if (const AsioMessageFn message = d->callbacks_.message())
                    message(kAsioResetRequest, 0, nullptr, nullptr);
        }
        // A client that keeps its end open would make every round report it at once: wait for
        // it to hang up (or for a listener close) instead.
        if (wait.clientHolds)
            platform::waitForPipeClientGone(pipe, kConnectWaitMs);
    }
    releaseListenerPipe(pipe);
    platform::disconnectPipeClient(pipe);
    platform::closePipeServer(pipe);
}

uint32_t DriverCore::listenerThreadMain(void* /*arg*/) {
    tOnListenerThread = true;
    DriverGate::prepareThread();
    hostTrace("pipeReadThread start.\n");
    const platform::Handle pipe = createListenerPipe();
    if (platform::isValid(pipe))
        serveListenerPipe(pipe);
    {
        DriverGate::Entry entry(gListenerGate);
        if (DriverCore* d = entry.driver())
            d->listenerCloseSelf();
    }
    hostTrace("pipeReadThead exit.\n");
    gListeners.end();
    return 0;
}

} // namespace halvern::driver
