#include "transport/QtSerialPort.h"
#include "transport/QtSocket.h"
#include "transport/TransportFactory.h"

namespace vx {

namespace {

class QtTransportFactory : public TransportFactory {
public:
    SerialPort *createSerialPort(QObject *parent) override { return new QtSerialPort(parent); }
    Socket *createSocket(QObject *parent) override { return new QtSocket(parent); }
};

} // namespace

std::unique_ptr<TransportFactory> makeQtTransportFactory()
{
    return std::make_unique<QtTransportFactory>();
}

} // namespace vx
