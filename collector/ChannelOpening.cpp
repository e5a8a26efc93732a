// Opening a channel on the transport its settings ask for.
#include "collector/Collector.h"
#include "platform/Clock.h"
#include "platform/Messenger.h"
#include "platform/Paths.h"
#include "transport/IrLib.h"
#include "transport/SerialPort.h"
#include "transport/Socket.h"

#include <QEventLoop>

namespace vx {

namespace {

// The number of "Com1" ... "Com9" (3 for "Com3"); 0 for "None" and -1 for
// anything else, which names no port ("../../dev/sda1" is not Com1).
int portNumber(const QString &port)
{
    const QString p = port.trimmed();
    if (p.compare(QLatin1String("None"), Qt::CaseInsensitive) == 0)
        return 0;
    if (p.size() == 4 && p.startsWith(QLatin1String("Com"), Qt::CaseInsensitive) && p.at(3) >= QLatin1Char('1')
        && p.at(3) <= QLatin1Char('9'))
        return p.at(3).digitValue();
    return -1;
}

} // namespace

// Parity words to the letters of the settings text. "Pari" is even parity,
// "Dispari" odd.
QString ParityLetter(const QString &parity)
{
    const QString p = parity.trimmed();
    if (p == QLatin1String("Pari"))
        return QStringLiteral("E");
    if (p == QLatin1String("Dispari"))
        return QStringLiteral("O");
    if (p == QLatin1String("Mark"))
        return QStringLiteral("M");
    if (p == QLatin1String("Spazio"))
        return QStringLiteral("S");
    return QStringLiteral("N");
}

QString LineSettingsText(const ChannelSettings &c)
{
    return c.Speed.trimmed() + QLatin1Char(',') + ParityLetter(c.Parity) + QLatin1Char(',') + c.DataBits.trimmed()
           + QLatin1Char(',') + c.StopBits.trimmed();
}

int HandshakingOf(const QString &flowControl)
{
    if (flowControl == QLatin1String("Xon/Xoff"))
        return 1;
    if (flowControl == QLatin1String("RTS/CTS"))
        return 2;
    return 0;
}

void Collector::SetComm(int n)
{
    configure(n);
    const ChannelSettings &c = m_settings.Com[n];
    const QString type = c.ConnType.trimmed();
    if (type == QLatin1String("TCP")) {
        connectTcp(n);
        return;
    }
    stopTcp(n); // a TCP link left from an earlier setting of the channel
    if (portNumber(c.Port) < 0) {
        const QString text = QStringLiteral(
                                 "Channel %1 is not opened: [%2] Port=%3 is none of None, Com1 ... Com9; "
                                 "choose a port in the options.")
                                 .arg(n)
                                 .arg(ComSection(n), c.Port);
        PLog(text, n, LogLevel::Error);
        setStatus(n, ChannelStatus::Error);
        m_messenger.message(text, MsgIcon::Critical);
        return;
    }
    if (type == QLatin1String("InfraRed")) {
        // Switches the adapter on at the channel's port and speed; the
        // terminal then talks through the serial port.
        IrLib::vbOpenIrCom(portNumber(c.Port), static_cast<int>(NumericValue(c.Speed)));
        IrLib::CloseIrCom();
        if (!IrLib::LoadError().isEmpty())
            PLog(IrLib::LoadError(), n);
    } else if (type == QLatin1String("IRCradle")) {
        QString cause;
        if (!setupIrCradle(n, &cause)) {
            channelFailed(n, cause);
            return;
        }
    }
    QString cause;
    if (!openSerialKind(n, type == QLatin1String("Modem"), &cause))
        channelFailed(n, cause);
}

// Serial, IrDa, Modem, and the serial part of InfraRed and IRCradle. False
// only when configuring or opening the port failed.
bool Collector::openSerialKind(int n, bool modem, QString *cause)
{
    const ChannelSettings &c = m_settings.Com[n];
    SerialPort *port = m_serial[n];
    if (port->PortOpen())
        port->setPortOpen(false);
    port->setInputLen(0);
    const int number = portNumber(c.Port);
    if (number <= 0) {
        setStatus(n, ChannelStatus::NoPort);
        return true;
    }
    port->setHandshaking(HandshakingOf(c.FlowControl));
    port->setCommPort(number);
    port->setSettings(LineSettingsText(c));
    port->setRThreshold(1);
    port->setSThreshold(1);
    port->setRTSEnable(true);
    if (!port->setPortOpen(true)) {
        *cause = QStringLiteral("Channel %1 (%2 at %3) is not opened: %4")
                     .arg(n)
                     .arg(c.Port, LineSettingsText(c), port->errorString());
        PLog(*cause, n, LogLevel::Error);
        return false;
    }

    ChannelState &s = m_protocol[n].state();
    configure(n);
    // Shows "Run/Wait"; a modem's status follows its commands.
    ChannelProtocol::Actions actions;
    m_protocol[n].connected(now(), actions);
    apply(n, actions);
    if (modem) {
        port->setInputLen(0);
        s.ModemSetup = true;
        s.ModemConnected = false;
        bool ok = SendModemCommand(n, c.ResetModem);
        if (ok)
            ok = SendModemCommand(n, c.InitModem);
        s.ModemSetup = false;
        replyEnded(n);
        if (port->PortOpen() && ok)
            setStatus(n, ChannelStatus::Modem);
        else
            setStatus(n, c.Port == QLatin1String("None") ? ChannelStatus::NoPort : ChannelStatus::Error);
        scheduleSerialRescan();
        return true;
    }
    return true;
}

void Collector::channelFailed(int n, const QString &cause)
{
    m_serial[n]->setPortOpen(false);
    setStatus(n, ChannelStatus::Error);
    // The cause, when known, stands before the question: the user sees what
    // to change.
    const QString text =
        QStringLiteral("I settaggi per la porta di comunicazione sono errati oppure") + QStringLiteral("\r\n")
        + QStringLiteral("non c'è alcun terminale IR collegato alla porta com selezionata.")
        + QStringLiteral("\r\n\r\n") + (cause.isEmpty() ? QString() : cause + QStringLiteral("\r\n\r\n"))
        + QStringLiteral("Andare alla schermata Opzioni?");
    if (m_messenger.message(text, MsgIcon::Exclamation, MsgButtons::OkCancel) != MsgAnswer::Ok)
        return;
    CloseComm(n);
    if (m_hooks.showOptions) {
        m_hooks.showOptions();
    } else {
        PLog(QStringLiteral("The options screen is not available here; channel %1 stays closed.").arg(n), n);
        return;
    }
    if (m_hooks.openChannelWait)
        m_hooks.openChannelWait(n);
    else
        SetComm(n);
}

// The cradle answers the probe byte (15) with something; the speed it
// answers at is the speed it runs at.
bool Collector::probeCradle(int n, const QString &setting)
{
    SerialPort *port = m_serial[n];
    if (port->PortOpen())
        port->setPortOpen(false);
    CaptureBuffer.clear();
    port->setSettings(setting);
    port->setRThreshold(1);
    if (!port->setPortOpen(true)) {
        // Busy, missing, not permitted: the same at every speed.
        m_cradleOpenError = port->errorString().isEmpty() ? QStringLiteral("unknown cause") : port->errorString();
        return false;
    }
    port->Output(QByteArray(1, '\x0F'));
    // A cradle answers at once; 300 ms covers the slowest speed.
    for (int waited = 0; waited < 300 && CaptureBuffer.isEmpty(); waited += 20)
        waitEvents(20);
    return !CaptureBuffer.isEmpty();
}

bool Collector::setupIrCradle(int n, QString *cause)
{
    const ChannelSettings &c = m_settings.Com[n];
    SerialPort *port = m_serial[n];
    CaptureMode = true;
    if (port->PortOpen())
        port->setPortOpen(false);
    port->setCommPort(portNumber(c.Port));
    port->setInputLen(0);

    static const char *const probes[] = {"9600,n,8,1", "38400,n,8,1", "115200,n,8,1", "57600,n,8,1", "19200,n,8,1"};
    bool answered = false;
    m_cradleOpenError.clear();
    for (const char *probe : probes) {
        if (probeCradle(n, QLatin1String(probe))) {
            answered = true;
            break;
        }
        if (!m_cradleOpenError.isEmpty())
            break;
    }
    if (!answered) {
        CaptureMode = false;
        port->setPortOpen(false);
        *cause = m_cradleOpenError.isEmpty()
                     ? QStringLiteral(
                           "Channel %1 (infrared cradle on %2, %3) is not opened: the cradle does not answer; "
                           "check that it is connected to that port and powered.")
                           .arg(n)
                           .arg(c.Port, Paths::comDevice(c.Port))
                     : QStringLiteral("Channel %1 (infrared cradle on %2) is not opened: %3")
                           .arg(n)
                           .arg(c.Port, m_cradleOpenError);
        PLog(*cause, n, LogLevel::Error);
        return false;
    }

    const QString speed = c.Speed.trimmed();
    QByteArray code;
    if (speed == QLatin1String("9600"))
        code = "2";
    else if (speed == QLatin1String("19200"))
        code = "3";
    else if (speed == QLatin1String("38400"))
        code = "4";
    else if (speed == QLatin1String("57600"))
        code = "5";
    else if (speed == QLatin1String("115200"))
        code = "6";

    port->setRTSEnable(false);
    port->Output(QByteArray(1, '\x07'));
    waitEvents(1000);
    port->Output(code);
    waitEvents(1000);
    port->Output("Q");
    waitEvents(1000);
    port->setRTSEnable(true);
    waitEvents(1000);

    // Success only when the cradle answers at the configured speed.
    const bool ok = probeCradle(n, speed + QStringLiteral(",n,8,1"));
    CaptureMode = false;
    port->setPortOpen(false);
    if (!ok) {
        *cause = m_cradleOpenError.isEmpty()
                     ? QStringLiteral(
                           "Channel %1 (infrared cradle on %2, %3) is not opened: the cradle does not answer "
                           "at %4; check that it is connected to that port and powered.")
                           .arg(n)
                           .arg(c.Port, Paths::comDevice(c.Port), speed)
                     : QStringLiteral("Channel %1 (infrared cradle on %2) is not opened: %3")
                           .arg(n)
                           .arg(c.Port, m_cradleOpenError);
        PLog(*cause, n, LogLevel::Error);
    }
    return ok;
}

} // namespace vx
