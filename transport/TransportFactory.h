#pragma once

#include <memory>

class QObject;

namespace vx {

class SerialPort;
class Socket;

// Makes the transports of the channels; tests hand in fakes.
class TransportFactory {
public:
    virtual ~TransportFactory() = default;
    virtual SerialPort *createSerialPort(QObject *parent) = 0;
    virtual Socket *createSocket(QObject *parent) = 0;
};
// Qt serial ports and TCP sockets.
std::unique_ptr<TransportFactory> makeQtTransportFactory();

} // namespace vx
