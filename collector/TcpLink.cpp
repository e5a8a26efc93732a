// TCP channels: the connection made at opening, the loss of the peer, and
// the reconnection in the background that serves a terminal which comes
// back without a restart.
#include "collector/Collector.h"
#include "collector/LookupFile.h"
#include "platform/Clock.h"
#include "platform/Messenger.h"
#include "transport/Socket.h"

#include <QEventLoop>
#include <algorithm>

namespace vx {

namespace {

// One connection attempt lasts at most the TCP reply time-out; a refused
// connection is tried again after the rest of a 100 ms slice. The opening
// with the wait window gives up after ten attempts; the background goes on.
constexpr qint64 kAttemptMs = 10000;
constexpr int kRetryMs = 100;
constexpr int kOpeningAttempts = 10;
// A failure that goes on is logged again with its count at most this often.
constexpr qint64 kRepeatReportMs = qint64(3600) * 1000;

bool allDigits(const QString &text)
{
    return !text.isEmpty() && text.size() <= 5 && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
}

} // namespace

// The channel's address from IP1..IP5. A part that is not a number in its
// range (0-255, a port 1-65535) opens nothing: the message names the
// channel, the key and the value.
bool Collector::tcpAddress(int n, QString *host, int *port)
{
    const ChannelSettings &c = m_settings.Com[n];
    const QString parts[5] = {c.IP1, c.IP2, c.IP3, c.IP4, c.IP5};
    int values[5] = {};
    for (int i = 0; i < 5; ++i) {
        const QString text = parts[i].trimmed();
        const int low = i == 4 ? 1 : 0;
        const int high = i == 4 ? 65535 : 255;
        const int value = allDigits(text) ? text.toInt() : -1;
        if (value < low || value > high) {
            const QString message =
                QStringLiteral("Channel %1 is not opened: IP%2 is \"%3\", not a number from %4 to %5.")
                    .arg(n)
                    .arg(i + 1)
                    .arg(parts[i])
                    .arg(low)
                    .arg(high);
            PLog(message, n, LogLevel::Error);
            m_messenger.message(message, MsgIcon::Exclamation, MsgButtons::Ok);
            return false;
        }
        values[i] = value;
    }
    *host = QStringLiteral("%1.%2.%3.%4").arg(values[0]).arg(values[1]).arg(values[2]).arg(values[3]);
    *port = values[4];
    return true;
}

QString Collector::tcpTimeoutText(int n) const
{
    QString address = m_tcp[n].address;
    if (address.isEmpty()) {
        const ChannelSettings &c = m_settings.Com[n];
        address = QStringList{c.IP1.trimmed(), c.IP2.trimmed(), c.IP3.trimmed(), c.IP4.trimmed()}.join(QLatin1Char('.'))
                  + QLatin1Char(':') + c.IP5.trimmed();
    }
    return QStringLiteral("Connection TCP ") + QStringLiteral("response Timed Out ")
           + QStringLiteral("(channel %1, %2)").arg(n).arg(address);
}

// The timer that paces the attempts of channel n.
void Collector::makeTcpRetryTimer(int n)
{
    m_tcpRetry[n] = new QTimer(this);
    m_tcpRetry[n]->setSingleShot(true);
    connect(m_tcpRetry[n], &QTimer::timeout, this, [this, n] {
        const int state = m_socket[n]->State();
        // An attempt still under way is left to finish or time out.
        if (m_tcp[n].phase == TcpPhase::Background
            && (state == Socket::sckClosed || state == Socket::sckError || state == 8))
            tcpAttempt(n);
    });
    connect(m_socket[n], &Socket::StateChanged, this, [this, n](int state) { socketStateChanged(n, state); });
}

// The link of channel n is given up here (the channel opens again with its
// settings, or no longer as TCP). A connection that was up ends as one the
// peer closed does: what was stored over it is synced, what it served ends.
void Collector::stopTcp(int n)
{
    TcpLink &l = m_tcp[n];
    m_tcpRetry[n]->stop();
    const bool wasActive = l.phase != TcpPhase::Idle;
    const bool wasUp = l.phase == TcpPhase::Up;
    const QString address = l.address;
    l = TcpLink();
    if (wasActive) {
        l.attempting = true;
        if (m_socket[n]->State() != Socket::sckClosed)
            m_socket[n]->Close();
        l.attempting = false;
        m_protocol[n].state().Connecting = false;
    }
    if (wasUp) {
        PLog(
            QStringLiteral("Channel %1: the connection to %2 is closed to open the channel again.").arg(n).arg(address),
            n);
        tcpEnded(n);
    }
}

void Collector::connectTcp(int n)
{
    ChannelState &s = m_protocol[n].state();
    Socket *socket = m_socket[n];
    stopTcp(n);
    QString host;
    int remotePort = 0;
    if (!tcpAddress(n, &host, &remotePort)) {
        setStatus(n, ChannelStatus::Error);
        return;
    }
    TcpLink &l = m_tcp[n];
    l.address = host + QLatin1Char(':') + QString::number(remotePort);
    socket->setRemoteHost(host);
    socket->setRemotePort(remotePort);
    if (m_openInBackground) {
        setStatus(n, ChannelStatus::TcpConnecting);
        startTcpBackground(n, true);
        return;
    }

    // With the window: the wait window stays up while the attempts run.
    l.phase = TcpPhase::Opening;
    s.Connecting = true;
    for (int attempt = 0; attempt < kOpeningAttempts; ++attempt) {
        if (socket->State() != Socket::sckClosed)
            socket->Close();
        socket->Connect();
        resetTimerTimeout(n);
        // Wait on the event loop for the connection, an error (then try
        // again at once) or the reply time-out, which the step timer fires.
        while (socket->State() != Socket::sckConnected && !s.TimedOut && !OpeningCancelled) {
            const bool failed = socket->State() == Socket::sckError;
            QEventLoop loop;
            // A refused connection fails within milliseconds: the next try
            // waits for the rest of the 100 ms slice instead of spinning.
            const auto a =
                failed ? QMetaObject::Connection() : connect(socket, &Socket::StateChanged, &loop, &QEventLoop::quit);
            QTimer::singleShot(kRetryMs, &loop, &QEventLoop::quit);
            loop.exec();
            if (a)
                disconnect(a);
            if (!m_timer.isActive())
                TimerStep_Timer(); // time-outs are checked even before the timer runs
            if (failed && !s.TimedOut) {
                socket->Close();
                socket->Connect();
            }
        }
        s.TimedOut = false;
        if (socket->State() == Socket::sckConnected || OpeningCancelled)
            break;
    }
    replyEnded(n);
    if (socket->State() == Socket::sckConnected) {
        tcpConnected(n);
        return;
    }
    s.Connecting = false;
    l.phase = TcpPhase::Idle;
    setStatus(n, ChannelStatus::Error);
    if (OpeningCancelled)
        return;
    PLog(QStringLiteral("Channel %1: no connection to %2; trying again in the background.").arg(n).arg(l.address), n);
    startTcpBackground(n, false);
}

void Collector::startTcpBackground(int n, bool opening)
{
    TcpLink &l = m_tcp[n];
    l.phase = TcpPhase::Background;
    l.opening = opening;
    l.windowStart = now();
    m_protocol[n].state().Connecting = true;
    if (opening) {
        tcpAttempt(n);
        return;
    }
    // An attempt left pending by the opening is given up; the next one
    // follows after the pause.
    l.attempting = true;
    if (m_socket[n]->State() != Socket::sckClosed)
        m_socket[n]->Close();
    l.attempting = false;
    m_tcpRetry[n]->start(kRetryMs);
}

void Collector::tcpAttempt(int n)
{
    TcpLink &l = m_tcp[n];
    Socket *socket = m_socket[n];
    l.attempting = true;
    if (socket->State() != Socket::sckClosed)
        socket->Close();
    l.windowStart = now();
    socket->Connect();
    l.attempting = false;
    // A failure reported while the attempt was being started.
    if (l.phase == TcpPhase::Background && socket->State() == Socket::sckConnected) {
        tcpConnected(n);
    } else if (l.phase == TcpPhase::Background && socket->State() == Socket::sckError) {
        tcpFailed(n, socket->ErrorReason());
        m_tcpRetry[n]->start(kRetryMs);
    }
}

void Collector::socketStateChanged(int n, int state)
{
    TcpLink &l = m_tcp[n];
    if (l.attempting)
        return;
    if (l.phase == TcpPhase::Up) {
        if (state != Socket::sckConnected)
            tcpLost(n);
        return;
    }
    if (l.phase != TcpPhase::Background)
        return;
    if (state == Socket::sckConnected) {
        tcpConnected(n);
    } else if ((state == Socket::sckError || state == Socket::sckClosed || state == 8) && !m_tcpRetry[n]->isActive()) {
        tcpFailed(n, state == Socket::sckError ? m_socket[n]->ErrorReason()
                                               : QStringLiteral("the connection was closed at once"));
        m_tcpRetry[n]->start(kRetryMs);
    }
}

void Collector::tcpFailed(int n, const QString &cause)
{
    TcpLink &l = m_tcp[n];
    const QString why = cause.isEmpty() ? QStringLiteral("the connection failed") : cause;
    ++l.failuresInSpell;
    if (why != l.failure) {
        const bool first = l.failure.isEmpty();
        l.failure = why;
        l.failures = 0;
        l.reportedAt = now();
        const QString text = QStringLiteral(
                                 "[warning] Channel %1: cannot connect to %2: %3; trying again in the "
                                 "background.")
                                 .arg(n)
                                 .arg(l.address, why);
        PLog(text, n, LogLevel::Warning);
        if (first)
            emit connectionTrouble(n, text.mid(10));
        return;
    }
    ++l.failures;
    if (now() - l.reportedAt < kRepeatReportMs)
        return;
    PLog(QStringLiteral("[warning] Channel %1: still no connection to %2: %3 (%4 more failed attempts since the last "
                        "report).")
             .arg(n)
             .arg(l.address, why)
             .arg(l.failures),
         n, LogLevel::Warning);
    l.failures = 0;
    l.reportedAt = now();
}

void Collector::tcpConnected(int n)
{
    TcpLink &l = m_tcp[n];
    ChannelState &s = m_protocol[n].state();
    m_tcpRetry[n]->stop();
    const bool again = l.lost;
    const bool background = l.phase == TcpPhase::Background;
    l.phase = TcpPhase::Up;
    l.opening = false;
    s.Connecting = false;
    const QString after = l.failure.isEmpty()
                              ? QString()
                              : QStringLiteral(" after %1 failed attempts (%2)").arg(l.failuresInSpell).arg(l.failure);
    l.failure.clear();
    l.failures = 0;
    l.failuresInSpell = 0;
    if (again)
        PLog(QStringLiteral("Channel %1: connected again to %2%3.").arg(n).arg(l.address, after), n);
    else if (background)
        PLog(QStringLiteral("Channel %1: connected to %2%3.").arg(n).arg(l.address, after), n);
    // Shows "TCP Ready".
    configure(n);
    ChannelProtocol::Actions actions;
    m_protocol[n].connected(now(), actions);
    apply(n, actions);
    if (!m_socket[n]->PeekData().isEmpty())
        SocketDataArrival(n);
}

// The peer closed or reset the connection: the channel shows it, ends what
// it was doing, and connects again in the background.
void Collector::tcpLost(int n)
{
    TcpLink &l = m_tcp[n];
    const bool error = m_socket[n]->State() == Socket::sckError;
    l.phase = TcpPhase::Background;
    l.opening = false;
    l.lost = true;
    l.windowStart = now();
    PLog(
        QStringLiteral("Channel %1: %2 (%3); connecting again in the background.")
            .arg(n)
            .arg(error ? QStringLiteral("the connection failed") : QStringLiteral("the terminal closed the connection"))
            .arg(l.address),
        n);
    // A terminal that hung up is being connected again; an error stays
    // shown until the connection is back.
    setStatus(n, error ? ChannelStatus::Error : ChannelStatus::TcpConnecting);
    tcpEnded(n);
    m_protocol[n].state().Connecting = true;
    m_tcpRetry[n]->start(kRetryMs);
}

// Every end of a connection, whichever side ended it: what was stored so far
// reaches stable storage, and what ran over it (a record's pending answer, a
// request served, a look-up file) ends.
void Collector::tcpEnded(int n)
{
    ChannelProtocol::Actions actions;
    m_protocol[n].connectionLost(now(), actions);
    apply(n, actions);
}

// Called by the step timer: an attempt that got no answer within its time
// is given up and the next one starts.
void Collector::checkTcpLinks()
{
    for (int n = 1; n <= kChannels; ++n) {
        TcpLink &l = m_tcp[n];
        if (l.phase != TcpPhase::Background || now() - l.windowStart < kAttemptMs)
            continue;
        const int state = m_socket[n]->State();
        // A failed attempt is already being followed by the next one.
        if (state == Socket::sckClosed || state == Socket::sckError || state == 8)
            continue;
        tcpFailed(n, QStringLiteral("timed out, no answer within %1 seconds").arg(kAttemptMs / 1000));
        tcpAttempt(n);
    }
}

} // namespace vx
