// The 100 ms step timer: data-exchange requests, step periods, the reply
// timers' time-outs; and the modem command exchange.
#include "collector/Collector.h"
#include "collector/RegistryExchange.h"
#include "platform/Clock.h"
#include "platform/Messenger.h"
#include "transport/SerialPort.h"

#include <QEventLoop>

namespace vx {

void Collector::TimerStep_Timer()
{
    checkTcpLinks();
    static const QStringList keys{QStringLiteral("ID(1)"), QStringLiteral("ID(2)"), QStringLiteral("ID(3)"),
                                  QStringLiteral("ID(4)")};
    // The four requests read together: the key folder is opened once a tick.
    const QStringList values = RegistryExchange::ReadRegistryValues(
        m_settings.Misc.ChiavePC, m_settings.Misc.PercorsoChiave, keys, QStringLiteral("0"));
    for (int n = 1; n <= kChannels; ++n) {
        ChannelProtocol &p = m_protocol[n];
        const QString &key = keys[n - 1];
        const QString &v = values[n - 1];
        if (v == QLatin1String("1")) {
            // An open channel (a serial kind waiting for its terminal, or a
            // connected TCP channel) serves it; the others answer it.
            if (ChannelProtocol::ServesRequests(m_channelStatus[n])) {
                // One request at a time: it holds RequestKey from its
                // acceptance to its end; another waits until then.
                if (m_requestKey.isEmpty()) {
                    m_requestKey = key;
                    m_exchangeActive = true;
                    p.requestAccepted(now());
                }
            } else if (const QString code = ChannelProtocol::RequestRefusal(m_channelStatus[n]); !code.isEmpty()) {
                writeExchange(key, code);
            }
        } else if (v == QLatin1String("3")) {
            // The outside program ends its request; automatic collection is
            // not its to stop.
            endRequest(n, QString(), QString());
        }

        configure(n);
        p.setOpen(channelOpen(n));
        const qint64 t = now();
        ChannelProtocol::Actions actions;
        p.tick(t, actions);
        apply(n, actions);
        // The reply timer, as the step period may have left it: one time-out
        // per arming, and none while its message is still on screen.
        ReplyTimer &timer = m_replyTimer[n];
        if (timer.armed && !timer.boxOpen && timer.deadline <= t) {
            timer.armed = false;
            actions.clear();
            p.replyTimedOut(t, actions);
            apply(n, actions);
        }
    }
}

void Collector::resetTimerTimeout(int n)
{
    configure(n);
    ChannelProtocol::Actions actions;
    m_protocol[n].awaitLinkReply(now(), actions);
    apply(n, actions);
}

void Collector::replyEnded(int n)
{
    ChannelProtocol::Actions actions;
    m_protocol[n].linkReplyEnded(actions);
    apply(n, actions);
}

void Collector::HandleReplyTimeout(int n)
{
    ChannelState &s = m_protocol[n].state();
    const QString type = m_settings.Com[n].ConnType.trimmed();
    const QString m = QStringLiteral(" %1").arg(n);
    QString text;
    if (type == QLatin1String("TCP"))
        text = tcpTimeoutText(n);
    else if (type == QLatin1String("Modem"))
        text =
            QStringLiteral("Port") + m + QStringLiteral(" Connection Modem ") + QStringLiteral("response Timed Out ");
    else
        text = QStringLiteral("Port") + m + QStringLiteral(" Timeout Sending File ");
    // One armed time-out shows one box, even while later ticks run.
    m_replyTimer[n].boxOpen = true;
    m_messenger.message(text, MsgIcon::None, MsgButtons::Ok, QStringLiteral("Vendrix"));
    m_replyTimer[n].boxOpen = false;
    if (type == QLatin1String("Modem"))
        s.ModemTimedOut = true;
}

void Collector::endRequest(int n, const QString &code, const QString &why)
{
    ChannelProtocol::Actions actions;
    m_protocol[n].setOpen(channelOpen(n));
    m_protocol[n].endRequest(code, why, now(), actions);
    apply(n, actions);
}

bool Collector::SendModemCommand(int n, const QString &command)
{
    ChannelState &s = m_protocol[n].state();
    SerialPort *port = m_serial[n];
    s.ModemTimedOut = false;
    s.TimedOut = false;
    resetTimerTimeout(n);
    QByteArray reply;
    port->Output(command.toLatin1() + "\r");
    auto answered = [&reply] { return reply.contains("OK\r\n") || reply.contains("0\r\n"); };
    while (!answered() && !s.TimedOut && port->PortOpen()) {
        QEventLoop loop;
        const auto a = connect(port, &SerialPort::OnComm, &loop, &QEventLoop::quit);
        QTimer::singleShot(100, &loop, &QEventLoop::quit);
        loop.exec();
        disconnect(a);
        port->setInputLen(0);
        reply += port->Input();
        if (!m_timer.isActive())
            TimerStep_Timer(); // the time-out is checked even before the timer runs
    }
    replyEnded(n);
    return answered();
}

} // namespace vx
