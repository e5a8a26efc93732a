#pragma once

#include "transport/SerialPort.h"
#include "transport/Socket.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

namespace vx::test {

// A serial port in memory. The test plays the device: it pushes incoming
// characters, decides when OnComm fires, reads what the program wrote, and
// can make opening fail. Settings texts are checked like the real port's,
// so a text the real port refuses makes the opening fail here too.
class FakeSerialPort : public SerialPort {
    Q_OBJECT
public:
    using SerialPort::SerialPort;

    // --- SerialPort ---
    void setCommPort(int port) override { m_commPort = port; }
    int CommPort() const override { return m_commPort; }
    void setSettings(const QString &settings) override { m_settings = settings; }
    QString Settings() const override { return m_settings; }
    void setHandshaking(int mode) override { m_handshaking = mode; }
    int Handshaking() const override { return m_handshaking; }
    void setRTSEnable(bool on) override;
    bool RTSEnable() const override { return m_rts; }
    void setDTREnable(bool on) override { m_dtr = on; }
    bool DTREnable() const override { return m_dtr; }
    void setInBufferSize(int size) override { m_inBufferSize = size; }
    void setOutBufferSize(int size) override { m_outBufferSize = size; }
    void setRThreshold(int count) override { m_rThreshold = count; }
    void setSThreshold(int count) override { m_sThreshold = count; }
    void setInputLen(int len) override { m_inputLen = len < 0 ? 0 : len; }
    int InputLen() const override { return m_inputLen; }
    QByteArray Input() override;
    void Output(const QByteArray &text) override;
    int InBufferCount() const override { return m_open ? int(m_incoming.size()) : 0; }
    void setInBufferCount(int count) override;
    int OutBufferCount() const override { return int(m_held.size()); }
    bool setPortOpen(bool open) override;
    bool PortOpen() const override { return m_open; }
    QString errorString() const override { return m_error; }
    int CommEvent() const override { return m_commEvent; }

    // --- the device side ---
    // Every opening fails with this reason until cleared (empty: openings
    // succeed, unless the settings text is refused).
    void setOpenFailure(const QString &reason) { m_openFailure = reason; }
    // Adds characters to the receive buffer without an event.
    void pushIncoming(const QByteArray &bytes) { m_incoming += bytes; }
    // Raises OnComm now with the given CommEvent (when the port is open).
    void raiseOnComm(int event = comEvReceive);
    // Characters arrive: pushed, and OnComm raised when the port is open
    // and RThreshold is above 0, as the real port does.
    void receive(const QByteArray &bytes);
    // Each Output(text) is passed to the responder; what it returns arrives
    // from the event loop (like a device answering), through receive().
    void setResponder(std::function<QByteArray(const QByteArray &)> responder) { m_responder = std::move(responder); }
    // Everything written since the start (or the last takeWritten()).
    QByteArray written() const { return m_written; }
    QByteArray takeWritten();
    // Each Output() call's text, in order.
    QList<QByteArray> writes() const { return m_writes; }
    // While held, written characters count in OutBufferCount until
    // releaseOutput().
    void setHoldOutput(bool hold) { m_holdOutput = hold; }
    void releaseOutput() { m_held.clear(); }

    // What the program set, for assertions.
    int openCount() const { return m_openCount; }
    // The settings text in force at each successful opening.
    QStringList settingsAtOpen() const { return m_settingsAtOpen; }
    // Every RTSEnable value set, in order.
    QList<bool> rtsHistory() const { return m_rtsHistory; }
    int RThreshold() const { return m_rThreshold; }
    int SThreshold() const { return m_sThreshold; }
    int InBufferSize() const { return m_inBufferSize; }
    int OutBufferSize() const { return m_outBufferSize; }

signals:
    // Emitted after every Output(), with its text.
    void outputWritten(const QByteArray &text);

private:
    int m_commPort = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    int m_handshaking = 0;
    bool m_rts = false;
    bool m_dtr = true;
    int m_inBufferSize = 1024;
    int m_outBufferSize = 512;
    int m_rThreshold = 0;
    int m_sThreshold = 0;
    int m_inputLen = 0;
    bool m_open = false;
    int m_commEvent = 0;
    QString m_error;
    QString m_openFailure;
    QByteArray m_incoming;
    QByteArray m_written;
    QList<QByteArray> m_writes;
    QByteArray m_held;
    bool m_holdOutput = false;
    std::function<QByteArray(const QByteArray &)> m_responder;
    int m_openCount = 0;
    QStringList m_settingsAtOpen;
    QList<bool> m_rtsHistory;
};

// A TCP socket in memory. The test plays the peer: it decides how a
// connection attempt ends, pushes incoming data, decides when DataArrival
// fires, and reads what the program sent.
class FakeSocket : public Socket {
    Q_OBJECT
public:
    using Socket::Socket;

    // How Connect() ends.
    enum class ConnectOutcome {
        Accept,  // connected (7) from the event loop
        Refuse,  // error (9) from the event loop
        Pending, // stays connecting (6) until acceptConnection()/failConnection()
    };

    // --- Socket ---
    void setRemoteHost(const QString &host) override { m_host = host; }
    QString RemoteHost() const override { return m_host; }
    void setRemotePort(int port) override { m_port = port; }
    int RemotePort() const override { return m_port; }
    void Connect() override;
    void Close() override;
    int State() const override { return m_state; }
    QByteArray PeekData() const override { return m_incoming; }
    QByteArray GetData(int maxChars = -1) override;
    void SendData(const QByteArray &text) override;
    QString ErrorReason() const override { return m_errorReason; }

    // --- the peer side ---
    void setConnectOutcome(ConnectOutcome outcome) { m_outcome = outcome; }
    // What ErrorReason() says after a failed attempt.
    void setErrorReason(const QString &reason) { m_errorReason = reason; }
    void acceptConnection() { setState(sckConnected); }
    void failConnection() { setState(sckError); }
    // The peer closes: state 8 (data already received stays readable).
    void peerClose() { setState(8); }
    // Adds data without an event.
    void pushIncoming(const QByteArray &bytes) { m_incoming += bytes; }
    // Announces the arrival now with the count waiting (to the arrival
    // handler, or as DataArrival), as the real socket does.
    void raiseDataArrival() { announceArrival(int(m_incoming.size())); }
    // Data arrives: pushed, and DataArrival raised when connected.
    void receive(const QByteArray &bytes);
    // Each SendData(text) is passed to the responder; what it returns
    // arrives from the event loop through receive().
    void setResponder(std::function<QByteArray(const QByteArray &)> responder) { m_responder = std::move(responder); }
    QByteArray sent() const { return m_sent; }
    QByteArray takeSent();
    QList<QByteArray> sends() const { return m_sends; }
    int connectAttempts() const { return m_connectAttempts; }
    // The state set from outside, as a peer or network would.
    void setState(int state);

signals:
    void dataSent(const QByteArray &text);

private:
    QString m_host;
    int m_port = 0;
    int m_state = sckClosed;
    ConnectOutcome m_outcome = ConnectOutcome::Accept;
    QByteArray m_incoming;
    QByteArray m_sent;
    QList<QByteArray> m_sends;
    std::function<QByteArray(const QByteArray &)> m_responder;
    int m_connectAttempts = 0;
    QString m_errorReason;
    // Counts Connect()/Close() calls, so an outcome queued for an attempt
    // that was since abandoned does not land on a later one.
    int m_generation = 0;
};

} // namespace vx::test
