#include "transport/QtSocket.h"

#include "platform/PollDispatcher.h"

#include <QDebug>
#include <QEvent>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vx {

namespace {

// What one read takes at most; more waiting is read at the next turn of the
// event loop.
constexpr size_t kChunk = 64 * 1024;
// What the connection holds at most: received and not yet taken, or waiting
// to leave. Past it nothing more is read (the peer's own sending stalls), so
// a peer that floods, or sends while its answer is pending, or never reads
// the answers, never grows the program's memory.
constexpr qsizetype kMaxHeld = 1024 * 1024;

// The peer ended the connection (closed or reset it), as opposed to a
// failure of the link.
bool peerEnded(int error)
{
    return error == ECONNRESET || error == EPIPE;
}

} // namespace

// A socket notifier that calls its socket's handler straight away:
// QSocketNotifier would emit two signals for each event (one of them with
// the socket as its receiver), a cost paid at every record. Detached (when
// the socket lets go of it while its handler may be running), it calls
// nothing.
class QtSocket::Notifier : public DirectNotifier {
public:
    Notifier(int fd, Type type, QtSocket *socket, void (QtSocket::*handler)())
        : DirectNotifier(fd, type, socket), m_socket(socket), m_handler(handler)
    {
    }
    void detach() { m_socket = nullptr; }
    void ready() override
    {
        if (m_socket)
            (m_socket->*m_handler)();
    }

private:
    QtSocket *m_socket;
    void (QtSocket::*m_handler)();
};

QtSocket::QtSocket(QObject *parent) : Socket(parent), m_connectResult(new QTimer(this)), m_chunk(new char[kChunk])
{
    m_connectResult->setSingleShot(true);
    m_connectResult->setInterval(0);
    connect(m_connectResult, &QTimer::timeout, this, [this] { connectFinished(m_connectError); });
}

QtSocket::~QtSocket()
{
    // No signals towards a half-destroyed owner.
    blockSignals(true);
    release();
}

// Closes the descriptor and forgets what was received or waiting to leave.
void QtSocket::release()
{
    m_connectResult->stop();
    for (Notifier **n : {&m_readNotifier, &m_writeNotifier}) {
        if (!*n)
            continue;
        (*n)->setEnabled(false);
        (*n)->detach();
        // It may be the one whose handler is running.
        (*n)->deleteLater();
        *n = nullptr;
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_in.clear();
    m_out.clear();
}

void QtSocket::Connect()
{
    release();
    m_errorText.clear();
    m_consumed = 0;
    m_connectError = 0;
    setPhase(Phase::Connecting);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<quint16>(m_port));
    if (::inet_pton(AF_INET, m_host.trimmed().toLatin1().constData(), &address.sin_addr) != 1) {
        m_connectError = EDESTADDRREQ;
        m_connectResult->start();
        return;
    }
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_connectError = errno;
        m_connectResult->start();
        return;
    }
    int rc;
    do {
        rc = ::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0 && errno == EINPROGRESS) {
        m_writeNotifier = new Notifier(m_fd, QSocketNotifier::Write, this, &QtSocket::onWritable);
        return;
    }
    // Decided at once: reported from the event loop all the same, as a
    // connection under way would be.
    m_connectError = rc < 0 ? errno : 0;
    m_connectResult->start();
}

void QtSocket::connectFinished(int error)
{
    if (m_phase != Phase::Connecting)
        return;
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    if (error != 0) {
        fail(error);
        return;
    }
    // One record, one answer: each must leave at once, not wait for the
    // peer's acknowledgement of the previous segment.
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!m_writeNotifier) {
        m_writeNotifier = new Notifier(m_fd, QSocketNotifier::Write, this, &QtSocket::onWritable);
        m_writeNotifier->setEnabled(false);
    }
    m_readNotifier = new Notifier(m_fd, QSocketNotifier::Read, this, &QtSocket::onReadable);
    setPhase(Phase::Connected);
}

void QtSocket::Close()
{
    // What waits to leave is offered once more; what the system already
    // took still leaves. The connection ends now.
    if (m_phase == Phase::Connected && !m_out.isEmpty())
        sendPending();
    release();
    m_errorText.clear();
    m_consumed = 0;
    setPhase(Phase::Closed);
}

int QtSocket::State() const
{
    switch (m_phase) {
    case Phase::Closed:
        return sckClosed;
    case Phase::Connecting:
        return sckConnecting;
    case Phase::Connected:
        return sckConnected;
    case Phase::PeerClosed:
        return sckClosing;
    case Phase::Error:
        return sckError;
    }
    return sckClosed;
}

QByteArray QtSocket::PeekData() const
{
    return m_in;
}

QByteArray QtSocket::GetData(int maxChars)
{
    QByteArray data;
    if (maxChars < 0 || maxChars >= m_in.size()) {
        data.swap(m_in);
    } else {
        data = m_in.left(maxChars);
        m_in.remove(0, maxChars);
    }
    m_consumed += data.size();
    updateReading();
    return data;
}

// Reads from the connection only while what it holds stays below the bound.
void QtSocket::updateReading()
{
    if (m_readNotifier && m_phase == Phase::Connected)
        m_readNotifier->setEnabled(m_in.size() < kMaxHeld && m_out.size() < kMaxHeld);
}

void QtSocket::SendData(const QByteArray &text)
{
    if (m_phase != Phase::Connected) {
        qWarning().noquote() << QStringLiteral("The connection to %1:%2 is not open: %3 characters not sent.")
                                    .arg(m_host)
                                    .arg(m_port)
                                    .arg(text.size());
        return;
    }
    if (!m_out.isEmpty()) {
        // Behind text that still waits, in order.
        m_out += text;
        updateReading();
        return;
    }
    // Straight to the connection; what it does not take yet waits.
    const qsizetype sent = sendSome(text.constData(), text.size());
    if (sent < 0 || sent == text.size())
        return;
    m_out = text.sliced(sent);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(true);
    updateReading();
}

// Hands size bytes to the connection until it takes no more for now: the
// count it took, or -1 when the connection failed (fail() has said so).
qsizetype QtSocket::sendSome(const char *data, qsizetype size)
{
    qsizetype sent = 0;
    while (sent < size) {
        const ssize_t written = ::send(m_fd, data + sent, size_t(size - sent), MSG_NOSIGNAL);
        m_answered = m_answered || written > 0;
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (written < 0) {
            fail(errno);
            return -1;
        }
        sent += written;
    }
    return sent;
}

// Hands what waits to the connection; what it does not take yet leaves
// when it becomes writable. False when the connection ended.
bool QtSocket::sendPending()
{
    const qsizetype sent = sendSome(m_out.constData(), m_out.size());
    if (sent < 0)
        return false;
    m_out.remove(0, sent);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_out.isEmpty());
    updateReading();
    return true;
}

void QtSocket::onWritable()
{
    if (m_phase == Phase::Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        connectFinished(error);
        return;
    }
    if (m_phase == Phase::Connected)
        sendPending();
    else if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
}

void QtSocket::onReadable()
{
    if (m_phase != Phase::Connected)
        return;
    ssize_t got = ::read(m_fd, m_chunk.get(), kChunk);
    for (int ahead = 0; got > 0; ++ahead) {
        if (!takeArrival(got) || ahead == kReadAhead || !readAheadAllowed())
            return;
        if (m_readAheadPause > 0) {
            --m_readAheadPause;
            return;
        }
        got = ::read(m_fd, m_chunk.get(), kChunk);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The peer is slower than that.
            m_readAheadPause = m_nextReadAheadPause;
            m_nextReadAheadPause = std::min(2 * m_nextReadAheadPause, kReadAheadLongestPause);
            return;
        }
        if (got > 0)
            m_nextReadAheadPause = kReadAheadPause;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (got == 0) {
        // The peer closed: what it sent before stays readable.
        m_readNotifier->setEnabled(false);
        setPhase(Phase::PeerClosed);
        return;
    }
    fail(errno);
}

// Keeps what a read brought and announces it. False when the socket went
// away meanwhile (a handler may delete it).
bool QtSocket::takeArrival(ssize_t got)
{
    if (m_in.isEmpty())
        m_in = QByteArray(m_chunk.get(), got); // one allocation, no general insertion
    else
        m_in.append(m_chunk.get(), got);
    updateReading();
    m_answered = false;
    QPointer<QtSocket> self(this);
    raiseArrival();
    return !self.isNull();
}

// Whether to read again at once: the handler took everything and answered,
// and the connection still wants input.
bool QtSocket::readAheadAllowed() const
{
    return m_phase == Phase::Connected && m_answered && m_in.isEmpty() && !m_reraiseQueued && m_readNotifier
           && m_readNotifier->isEnabled();
}

// The connection failed (or the peer reset it, which reads as its closing).
void QtSocket::fail(int error)
{
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    m_out.clear();
    if (m_phase == Phase::Connected && peerEnded(error)) {
        setPhase(Phase::PeerClosed);
        return;
    }
    const QString reason =
        error == EDESTADDRREQ ? QStringLiteral("not an IPv4 address") : QString::fromLocal8Bit(std::strerror(error));
    m_errorText = QStringLiteral("%1:%2: %3").arg(m_host).arg(m_port).arg(reason);
    m_errorReason = reason;
    setPhase(Phase::Error);
}

void QtSocket::raiseArrival()
{
    m_reraiseQueued = false;
    const qint64 waiting = m_in.size();
    if (m_raising || waiting == 0)
        return;
    const qint64 receivedBefore = m_consumed + waiting;
    QPointer<QtSocket> self(this);
    m_raising = true;
    announceArrival(static_cast<int>(waiting));
    if (!self)
        return;
    m_raising = false;
    // Data that came in while the handler ran (it let the event loop turn)
    // gets an event of its own.
    const qint64 left = m_in.size();
    if (left > 0 && m_consumed + left > receivedBefore && !m_reraiseQueued) {
        m_reraiseQueued = true;
        QMetaObject::invokeMethod(this, &QtSocket::raiseArrival, Qt::QueuedConnection);
    }
}

void QtSocket::setPhase(Phase phase)
{
    m_phase = phase;
    const int state = State();
    if (state == m_lastState)
        return;
    m_lastState = state;
    emit StateChanged(state);
}

} // namespace vx
