// The panel's reading of the driver's status messages: a client that writes any number of
// bytes (none, a few, exactly 20, more than the 1024 the panel takes) in one or several
// messages, or none at all. The panel reads at most its buffer, disconnects the client and
// serves the next one.
#include "fuzz_support.h"

#include "app/pipe_server.h"

#include "halvern/platform/pipe.h"
#include "halvern/protocol/pipe_messages.h"

#include <QString>
#include <QtGlobal>

using namespace halvern;

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static PipeServer* server = [] {
        fuzz::runtime();
        qInstallMessageHandler(quiet);
        auto* s = new PipeServer(QString::fromWCharArray(protocol::kAsioToPanelPipeW));
        FUZZ_CHECK(s->create());
        return s;
    }();
    FuzzedDataProvider in(data, size);

    platform::Handle client = platform::openPipeClient(protocol::kAsioToPanelPipe);
    FUZZ_CHECK(platform::isValid(client));
    std::vector<std::vector<uint8_t>> messages;
    const int count = in.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < count; ++i) {
        std::vector<uint8_t> m = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 64));
        if (in.ConsumeProbability<float>() < 0.1f)
            m.resize(in.ConsumeIntegralInRange(1000, 4096), in.ConsumeIntegral<uint8_t>());
        uint32_t written = 0;
        if (!m.empty())
            FUZZ_CHECK(platform::writePipe(client, m.data(), uint32_t(m.size()), &written));
        messages.push_back(std::move(m));
    }
    // The client closes before the read: a silent client that stays connected blocks the read
    // for good on POSIX (the read without a time-out, a known fault handled elsewhere).
    platform::closePipeClient(client);

    // The reader's buffer is exactly kMessageBytes: a byte written past it is an overflow.
    std::vector<uint8_t> buffer(PipeServer::kMessageBytes, 0);
    const bool read = server->readMessage(buffer.data());
    std::size_t first = 0;
    while (first < messages.size() && messages[first].empty())
        ++first;
    if (read) {
        FUZZ_CHECK(first < messages.size() && messages[first].size() <= PipeServer::kMessageBytes);
        const std::vector<uint8_t>& m = messages[first];
        FUZZ_CHECK(std::equal(m.begin(), m.end(), buffer.begin()));
        // What the listener makes of it: the fields of a status message.
        const protocol::StatusMessage status = protocol::StatusMessage::fromWire(buffer.data());
        if (m.size() < protocol::StatusMessage::kSize)
            FUZZ_CHECK(status.openWindow == 0 || m.size() > 16);
    } else if (first < messages.size()) {
        FUZZ_CHECK(messages[first].size() > PipeServer::kMessageBytes);
    }
    return 0;
}
