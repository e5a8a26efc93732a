#include "QtSocket.h"

#include <QDebug>
#include <QPointer>
#include <QTcpSocket>

namespace vx {

QtSocket::QtSocket(QObject *parent) : Socket(parent), m_socket(new QTcpSocket(this))
{
    connect(m_socket, &QTcpSocket::readyRead, this, &QtSocket::onReadyRead);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &QtSocket::onError);
    connect(m_socket, &QTcpSocket::stateChanged, this, &QtSocket::updateState);
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        // One record, one answer: each must leave at once, not wait for the
        // peer's acknowledgement of the previous segment.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        updateState();
    });
}

QtSocket::~QtSocket()
{
    // No signals towards a half-destroyed owner.
    m_socket->disconnect(this);
    m_socket->abort();
}

void QtSocket::Connect()
{
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    m_error = false;
    m_peerClosed = false;
    m_errorText.clear();
    m_consumed = 0;
    m_socket->connectToHost(m_host, static_cast<quint16>(m_port));
    updateState();
}

void QtSocket::Close()
{
    // What the driver already took still leaves; the connection ends now.
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->flush();
    m_socket->abort();
    m_error = false;
    m_peerClosed = false;
    m_errorText.clear();
    m_consumed = 0;
    updateState();
}

int QtSocket::State() const
{
    if (m_error)
        return sckError;
    if (m_peerClosed)
        return sckClosing;
    switch (m_socket->state()) {
    case QAbstractSocket::UnconnectedState:
        return sckClosed;
    case QAbstractSocket::HostLookupState:
        return sckResolvingHost;
    case QAbstractSocket::ConnectingState:
        return sckConnecting;
    case QAbstractSocket::ConnectedState:
        return sckConnected;
    case QAbstractSocket::BoundState:
        return 1; // open, not connected
    case QAbstractSocket::ListeningState:
        return 2;
    case QAbstractSocket::ClosingState:
        return sckClosing;
    }
    return sckClosed;
}

QByteArray QtSocket::PeekData() const
{
    return m_socket->peek(m_socket->bytesAvailable());
}

QByteArray QtSocket::GetData(int maxChars)
{
    const QByteArray data = maxChars < 0 ? m_socket->readAll() : m_socket->read(maxChars);
    m_consumed += data.size();
    return data;
}

void QtSocket::SendData(const QByteArray &text)
{
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        qWarning().noquote() << QStringLiteral("The connection to %1:%2 is not open: %3 characters not sent.")
                                    .arg(m_host)
                                    .arg(m_port)
                                    .arg(text.size());
        return;
    }
    m_socket->write(text);
    m_socket->flush();
}

void QtSocket::onReadyRead()
{
    raiseArrival();
}

void QtSocket::raiseArrival()
{
    m_reraiseQueued = false;
    const qint64 waiting = m_socket->bytesAvailable();
    if (m_raising || waiting == 0)
        return;
    const qint64 receivedBefore = m_consumed + waiting;
    QPointer<QtSocket> self(this);
    m_raising = true;
    emit DataArrival(static_cast<int>(waiting));
    if (!self)
        return;
    m_raising = false;
    // Qt announces data once per arrival and not while its signal is being
    // handled; what came in meanwhile gets its own event.
    const qint64 left = m_socket->bytesAvailable();
    if (left > 0 && m_consumed + left > receivedBefore && !m_reraiseQueued) {
        m_reraiseQueued = true;
        QMetaObject::invokeMethod(this, &QtSocket::raiseArrival, Qt::QueuedConnection);
    }
}

void QtSocket::onError(QAbstractSocket::SocketError error)
{
    if (error == QAbstractSocket::RemoteHostClosedError) {
        m_peerClosed = true;
    } else {
        m_error = true;
        m_errorText = QStringLiteral("%1:%2: %3").arg(m_host).arg(m_port).arg(m_socket->errorString());
    }
    updateState();
}

void QtSocket::updateState()
{
    const int state = State();
    if (state == m_lastState)
        return;
    m_lastState = state;
    emit StateChanged(state);
}

} // namespace vx
