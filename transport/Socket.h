#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>

namespace vx {

// The TCP socket object of a channel. It only connects out; it never listens.
class Socket : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~Socket() override = default;

    static constexpr int sckClosed = 0;
    static constexpr int sckConnected = 7;
    static constexpr int sckError = 9;

    virtual void setRemoteHost(const QString &host) = 0; // dotted IPv4
    virtual QString RemoteHost() const = 0;
    virtual void setRemotePort(int port) = 0;
    virtual int RemotePort() const = 0;
    // Starts a connection without waiting for it.
    virtual void Connect() = 0;
    virtual void Close() = 0;
    // 0 closed, 7 connected, 9 error; other values are intermediate states.
    virtual int State() const = 0;
    // Received text not yet read, without removing it.
    virtual QByteArray PeekData() const = 0;
    // Received text, removed: all of it, or at most maxChars characters.
    virtual QByteArray GetData(int maxChars = -1) = 0;
    virtual void SendData(const QByteArray &text) = 0;
    // Why the last connection attempt failed, in a few words ("Connection
    // refused", "No route to host"); empty when that is not known.
    virtual QString ErrorReason() const { return {}; }

    // Who is told of arrivals by a direct call instead of DataArrival (the
    // collector, for which it is one call per arrival instead of a signal):
    // while one is set, DataArrival is not raised. An empty one gives the
    // signal back.
    using ArrivalHandler = std::function<void(int bytesTotal)>;
    void setArrivalHandler(ArrivalHandler handler) { m_arrivalHandler = std::move(handler); }

signals:
    // Data has arrived; raised on the thread of the program.
    void DataArrival(int bytesTotal);
    // State() changed (connected, closed, error): lets waiting loops wake
    // up without polling.
    void StateChanged(int state);

protected:
    // Data has arrived: tells the arrival handler, or raises DataArrival.
    void announceArrival(int bytesTotal)
    {
        if (m_arrivalHandler)
            m_arrivalHandler(bytesTotal);
        else
            emit DataArrival(bytesTotal);
    }

private:
    ArrivalHandler m_arrivalHandler;
};

} // namespace vx
