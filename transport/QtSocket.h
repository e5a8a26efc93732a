#pragma once

#include "Socket.h"

#include <QAbstractSocket>

class QTcpSocket;

namespace vx {

// The socket object over a Qt TCP socket, with Nagle's delay switched off so
// each answer leaves at once. States: 0 closed, 4 resolving the host, 6
// connecting, 7 connected, 8 the peer has closed (received text can still
// be read; Close() ends it), 9 error (until Close() or the next Connect()).
//
// DataArrival is raised each time data arrives, never inside its own
// handler; data that arrives while a handler runs gets an event of its own
// once the handler returns.
class QtSocket : public Socket {
    Q_OBJECT
public:
    explicit QtSocket(QObject *parent = nullptr);
    ~QtSocket() override;

    static constexpr int sckResolvingHost = 4;
    static constexpr int sckConnecting = 6;
    static constexpr int sckClosing = 8;

    void setRemoteHost(const QString &host) override { m_host = host; }
    QString RemoteHost() const override { return m_host; }
    void setRemotePort(int port) override { m_port = port; }
    int RemotePort() const override { return m_port; }
    void Connect() override;
    void Close() override;
    int State() const override;
    QByteArray PeekData() const override;
    QByteArray GetData(int maxChars = -1) override;
    void SendData(const QByteArray &text) override;

    // Why the socket is in the error state (empty otherwise).
    QString errorString() const { return m_errorText; }

private:
    void onReadyRead();
    void raiseArrival();
    void onError(QAbstractSocket::SocketError error);
    void updateState();

    QTcpSocket *m_socket;
    QString m_host;
    int m_port = 0;
    bool m_error = false;
    bool m_peerClosed = false;
    QString m_errorText;
    int m_lastState = sckClosed;
    qint64 m_consumed = 0;
    bool m_raising = false;
    bool m_reraiseQueued = false;
};

} // namespace vx
