// The 100 ms step timer: data-exchange requests, step periods, reply
// time-outs; and the modem command exchange.
#include "Clock.h"
#include "Collector.h"
#include "Messenger.h"
#include "RegistryExchange.h"
#include "SerialPort.h"

#include <QEventLoop>

namespace vx {

void Collector::TimerStep_Timer()
{
    const QString root = m_settings.Misc.ChiavePC;
    const QString path = m_settings.Misc.PercorsoChiave;
    for (int n = 1; n <= kChannels; ++n) {
        ChannelState &s = m_state[n];
        const QString key = QStringLiteral("ID(%1)").arg(n);
        const QString v = RegistryExchange::ReadRegistryValue(root, path, key, QStringLiteral("0"));
        if (v == QLatin1String("1")) {
            const QString panel = m_status[n].trimmed().toUpper();
            // An open, idle channel: a serial kind waiting for its terminal,
            // or a connected TCP channel.
            if (panel.contains(QLatin1String("RUN/WAIT")) || panel.contains(QLatin1String("TCP READY"))) {
                if (m_requestKey.isEmpty()) {
                    // The request goes out one step period from now.
                    if (!s.StepActive || s.StepInterval != 2000)
                        s.StepStart = now();
                    s.StepActive = true;
                    s.Exchange = true;
                    s.StepInterval = 2000;
                }
                m_exchangeActive = true;
            } else {
                if (panel.contains(QLatin1String("NONE")))
                    writeExchange(key, QStringLiteral("5"));
                if (panel.contains(QLatin1String("MODEM")))
                    writeExchange(key, QStringLiteral("9"));
                if (panel.contains(QLatin1String("ERROR")))
                    writeExchange(key, QStringLiteral("6"));
            }
        } else if (v == QLatin1String("3")) {
            s.StepActive = false;
            s.Exchange = false;
            s.FileNo = 1;
        }

        const qint64 t = now();
        if (s.StepActive && s.StepStart + s.StepInterval <= t) {
            m_requestKey = key;
            if (m_exchangeActive)
                writeExchange(key, QStringLiteral("2"));
            timerComAuto_Timer(n);
        }
        if (s.AckWait && !s.TimeoutBoxOpen && s.AckStart + s.AckTimeout <= now())
            HandleReplyTimeout(n);
    }
}

void Collector::resetTimerTimeout(int n)
{
    ChannelState &s = m_state[n];
    const QString type = m_settings.Com[n].ConnType.trimmed();
    if (type == QLatin1String("TCP"))
        s.AckTimeout = 10000;
    else if (type == QLatin1String("Modem"))
        s.AckTimeout = 5000;
    else if (type == QLatin1String("InfraRed") || type == QLatin1String("IRCradle"))
        s.AckTimeout = 30000;
    s.AckWait = true;
    s.AckStart = now();
}

void Collector::HandleReplyTimeout(int n)
{
    ChannelState &s = m_state[n];
    const QString type = m_settings.Com[n].ConnType.trimmed();
    const QString m = QStringLiteral(" %1").arg(n);
    QString text;
    if (type == QLatin1String("TCP"))
        text = QStringLiteral("Connection TCP ") + QStringLiteral("response Timed Out ");
    else if (type == QLatin1String("Modem"))
        text = QStringLiteral("Port") + m + QStringLiteral(" Connection Modem ") + QStringLiteral("response Timed Out ");
    else
        text = QStringLiteral("Port") + m + QStringLiteral(" Timeout Sending File ");
    // One armed time-out shows one box, even while later ticks run.
    s.TimeoutBoxOpen = true;
    m_messenger.message(text, MsgIcon::None, MsgButtons::Ok, QStringLiteral("Vendrix"));
    s.TimeoutBoxOpen = false;
    s.TimedOut = true;
    s.AckWait = false;
    s.SendingFile = false;
    if (type == QLatin1String("Modem"))
        s.ModemTimedOut = true;
}

bool Collector::SendModemCommand(int n, const QString &command)
{
    ChannelState &s = m_state[n];
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
    s.AckWait = false;
    return answered();
}

} // namespace vx
