// A minimal device for the transport tests: listens on a bus socket, accepts every open and
// answers each request with whatever the test's handler returns.
#pragma once

#include "bus_device_loop.h"

namespace halvern::test {

class TinyBusServer : public BusDeviceLoop {
public:
    using Handler = std::function<platform::posix::BusReply(platform::posix::BusRequest&)>;

    TinyBusServer(const std::string& path, Handler handler)
        : BusDeviceLoop(
              path,
              [](int fd) {
                  platform::posix::sendOpenVerdict(fd, 0);
                  return true;
              },
              [h = std::move(handler)](int fd, platform::posix::BusRequest& request) {
                  platform::posix::sendBusReply(fd, h(request));
                  return true;
              }) {}
};

} // namespace halvern::test
