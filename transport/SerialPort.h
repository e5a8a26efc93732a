#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

namespace vx {

// The serial-port object of a channel or a transfer window. Members carry the
// names the rest of the program uses for them; texts are single-byte, no
// character set conversion on the wire.
//
// Opening a port that is missing or busy, or with settings the port refuses,
// makes setPortOpen(true) return false with errorString() saying why: the
// caller takes its failure path.
class SerialPort : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialPort() override = default;

    // Port number 1..9 ("ComN"); set only while the port is closed.
    virtual void setCommPort(int port) = 0;
    virtual int CommPort() const = 0;
    // "9600,N,8,1": speed, parity letter (N O E M S, either case), data
    // bits, stop bits ("1", "1,5", "2"), separated by commas.
    virtual void setSettings(const QString &settings) = 0;
    virtual QString Settings() const = 0;
    // 0 none, 1 XON/XOFF, 2 RTS/CTS.
    virtual void setHandshaking(int mode) = 0;
    virtual int Handshaking() const = 0;
    virtual void setRTSEnable(bool on) = 0;
    virtual bool RTSEnable() const = 0;
    virtual void setDTREnable(bool on) = 0;
    virtual bool DTREnable() const = 0;
    virtual void setInBufferSize(int size) = 0;
    virtual void setOutBufferSize(int size) = 0;
    // 1: raise OnComm for every received character.
    virtual void setRThreshold(int count) = 0;
    virtual void setSThreshold(int count) = 0;
    // 0: Input() takes everything waiting; 1: one character.
    virtual void setInputLen(int len) = 0;
    virtual int InputLen() const = 0;

    // Received characters, removed from the receive buffer; empty when none.
    virtual QByteArray Input() = 0;
    // Queues a text for sending.
    virtual void Output(const QByteArray &text) = 0;
    // Characters received and waiting; setInBufferCount(0) discards them.
    virtual int InBufferCount() const = 0;
    virtual void setInBufferCount(int count) = 0;
    // Characters not yet sent.
    virtual int OutBufferCount() const = 0;

    // Opens or closes the port; false when it could not be opened.
    virtual bool setPortOpen(bool open) = 0;
    virtual bool PortOpen() const = 0;
    virtual QString errorString() const = 0;

    // In the OnComm handler: 2 when characters were received.
    virtual int CommEvent() const = 0;

    static constexpr int comEvReceive = 2;

signals:
    // Raised on the thread of the program whenever characters arrived (and
    // for other events the program ignores); read CommEvent().
    void OnComm();
    // The port stopped working (the device went away) and was closed; why
    // names the port and the cause.
    void Failed(const QString &why);
};

} // namespace vx
