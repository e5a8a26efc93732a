#pragma once

#include "FakeTransports.h"
#include "transport/TransportFactory.h"

#include <vector>

namespace vx::test {

// Gives a collector fake transports and keeps them for the test: channel n's
// serial port and socket are at index n - 1.
class FakeFactory : public TransportFactory {
public:
    SerialPort *createSerialPort(QObject *parent) override
    {
        serials.push_back(new FakeSerialPort(parent));
        return serials.back();
    }
    Socket *createSocket(QObject *parent) override
    {
        sockets.push_back(new FakeSocket(parent));
        return sockets.back();
    }
    std::vector<FakeSerialPort *> serials;
    std::vector<FakeSocket *> sockets;
};

} // namespace vx::test
