#include "app/pipe_server.h"

#include "halvern/platform/pipe.h"

#include <QDebug>

#include <cstring>
#include <string>

namespace platform = halvern::platform;

namespace {
// The wait for a client is resumed in slices, so that it stays bounded even if a cancel were
// lost; a cancel ends it at once.
constexpr uint32_t kWaitSliceMs = 500;
} // namespace

PipeServer::PipeServer(const QString& name) : name(name), handle(platform::invalidHandle()) {}

PipeServer::~PipeServer() {
    close();
}

bool PipeServer::create() {
    platform::PipeServerOptions options;
    options.mode = platform::PipeMode::Message;
    options.maxInstances = 255;
    options.bufferSize = 65536;
    options.defaultTimeoutMs = 300;
    // Overlapped, so that the destruction of the listener can cancel its wait and its read.
    options.overlapped = true;
    const std::wstring wide = name.toStdWString();
    handle = platform::createPipeServer(wide.c_str(), options);
    if (!platform::isValid(handle)) {
        // Taken before the debug stream, whose thread-local look-ups reset it on Windows.
        const uint32_t error = platform::lastError();
        handle = platform::invalidHandle();
        qDebug() << "Error: Could not create pipe. Error code:" << error;
        return false;
    }
    qDebug() << "Pipe created successfully.";
    return true;
}

bool PipeServer::readMessage(uint8_t* buffer) {
    platform::PipeWait wait = platform::PipeWait::TimedOut;
    while (!cancelled_.load()) {
        wait = platform::waitForPipeClient(handle, kWaitSliceMs);
        if (wait != platform::PipeWait::TimedOut)
            break;
    }
    if (cancelled_.load() || wait == platform::PipeWait::Cancelled)
        return false;
    // A client that wrote and closed before the wait began is reported as gone (232); its
    // message is still there to read.
    const bool gone =
        wait == platform::PipeWait::Failed && platform::lastError() == platform::kErrorNoData;
    if (wait == platform::PipeWait::Failed && !gone) {
        const uint32_t error = platform::lastError();
        qDebug() << "Error connecting to pipe. Error code:" << error;
        return false;
    }

    uint8_t local[kMessageBytes];
    uint32_t read = 0;
    bool ok = platform::readPipe(handle, local, sizeof local, &read);
    const uint32_t error = platform::lastError();
    // The same holds for a read that reports the client gone but hands over its bytes.
    if (!ok && error == platform::kErrorNoData && read > 0)
        ok = true;
    if (ok)
        std::memcpy(buffer, local, read);
    else
        qDebug() << "Error reading from pipe. Error code:" << error;
    platform::disconnectPipeClient(handle);
    return ok;
}

void PipeServer::cancel() {
    cancelled_.store(true);
    if (platform::isValid(handle))
        platform::cancelPipeWait(handle);
}

void PipeServer::close() {
    if (!platform::isValid(handle))
        return;
    platform::disconnectPipeClient(handle);
    platform::closePipeServer(handle);
    handle = platform::invalidHandle();
    qDebug() << "Pipe closed.";
}
