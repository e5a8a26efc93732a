#include "transfer/SettingsLinks.h"

#include "platform/Paths.h"
#include "transfer/SettingsLine.h"
#include "transport/IrLib.h"
#include "transport/SerialPort.h"

#include <algorithm>

namespace vx {

int IrLibDevice::open(int port, int speed)
{
    return IrLib::vbOpenIrCom(port, speed);
}
void IrLibDevice::write(const QByteArray &text)
{
    IrLib::WriteIrCom(text);
}
QByteArray IrLibDevice::read()
{
    return IrLib::vbReadIrCom();
}
void IrLibDevice::close()
{
    IrLib::CloseIrCom();
}

int SpeedValue(const QString &text)
{
    const QString t = text.trimmed();
    qsizetype n = 0;
    while (n < t.size() && n < 9 && t.at(n).isDigit())
        ++n;
    return n == 0 ? 0 : t.left(n).toInt();
}

// ---------------------------------------------------------------------------
// Serial

SerialSendLink::SerialSendLink(SerialPort *port, int portNumber, QString speed, QObject *parent)
    : SettingsSendLink(parent), m_port(port), m_portNumber(portNumber), m_speed(std::move(speed))
{
    m_drainPoll.setSingleShot(true);
    m_drainPoll.setTimerType(Qt::PreciseTimer);
    connect(&m_drainPoll, &QTimer::timeout, this, &SerialSendLink::writeNext);
    if (m_port)
        connect(m_port, &SerialPort::OnComm, this, &SerialSendLink::onComm);
}

SettingsSendLink::OpenResult SerialSendLink::open()
{
    if (!m_port)
        return OpenResult::PortNotOpened;
    if (m_port->PortOpen())
        m_port->setPortOpen(false);
    m_port->setCommPort(m_portNumber);
    m_port->setSettings(m_speed.trimmed() + QStringLiteral(",n,8,1"));
    m_port->setInBufferSize(300);
    m_port->setOutBufferSize(1500);
    m_port->setHandshaking(0);
    m_port->setDTREnable(false);
    m_port->setRTSEnable(true);
    m_port->setRThreshold(1);
    m_port->setSThreshold(1);
    m_port->setInputLen(0);
    if (!m_port->setPortOpen(true))
        return OpenResult::PortNotOpened;
    m_listening = true;
    return OpenResult::Opened;
}

bool SerialSendLink::isOpen() const
{
    return m_port && m_port->PortOpen();
}

void SerialSendLink::close()
{
    m_drainPoll.stop();
    m_writing = false;
    m_awaiting = false;
    if (isOpen())
        m_port->setPortOpen(false);
}

void SerialSendLink::send(const QByteArray &framed, bool finalLine)
{
    if (!isOpen() || framed.isEmpty())
        return;
    m_port->setInBufferCount(0);
    m_received.clear();
    m_outgoing = framed;
    m_next = 0;
    m_final = finalLine;
    m_awaiting = false;
    m_writing = true;
    m_listening = true;
    writeNext();
}

void SerialSendLink::writeNext()
{
    m_drainPoll.stop();
    while (m_writing) {
        if (!isOpen()) {
            m_writing = false;
            return;
        }
        if (m_next > 0 && m_port->OutBufferCount() > 0) {
            // Look again once events have run: at once the first time, then
            // less and less often, so a stuck port costs no CPU.
            m_drainPoll.start(m_drainWaits == 0 ? 0 : std::min(m_drainWaits, 10));
            ++m_drainWaits;
            return;
        }
        m_drainWaits = 0;
        if (m_next >= m_outgoing.size()) {
            m_writing = false;
            return;
        }
        if (m_next == m_outgoing.size() - 1) {
            // The carriage return goes out now: nothing received before it
            // can be the answer to this line.
            m_received.clear();
            m_awaiting = true;
        }
        m_port->Output(m_outgoing.mid(m_next, 1));
        ++m_next;
    }
}

void SerialSendLink::onComm()
{
    if (!m_port)
        return;
    if (m_port->CommEvent() == SerialPort::comEvReceive && m_listening) {
        m_received += m_port->Input();
    }
    if (m_writing)
        writeNext();
    takeAnswers();
}

void SerialSendLink::takeAnswers()
{
    std::optional<Answer> answer;
    qsizetype cr;
    while (!answer && (cr = m_received.indexOf('\r')) >= 0) {
        const QByteArray line = m_received.left(cr);
        m_received.remove(0, cr + 1);
        if (!m_awaiting)
            continue;
        if (line.startsWith("ACK"))
            answer = Answer::Ack;
        else if (line.startsWith("NAK"))
            answer = Answer::Nak;
        else if (line.startsWith("NOK") && m_final)
            answer = Answer::Nok;
        // anything else is not an answer: dropped
    }
    if (m_received.size() > kMaxAnswerLength)
        m_received.clear();
    if (!answer)
        return;
    m_received.clear();
    m_awaiting = false;
    emit answered(*answer); // last: the receiver may send the next line from here
}

void SerialSendLink::stopListening()
{
    m_listening = false;
    m_awaiting = false;
    m_writing = false;
    m_drainPoll.stop();
}

void SerialSendLink::exchangeEnded(bool success)
{
    stopListening();
    // After a failure the port stays open until the next Start or Cancel.
    if (success)
        close();
}

QString SerialSendLink::description() const
{
    return QStringLiteral("Com%1 (%2) at %3").arg(m_portNumber).arg(Paths::comDevice(m_portNumber), m_speed.trimmed());
}

// ---------------------------------------------------------------------------
// Infrared

InfraredSendLink::InfraredSendLink(IrDevice *device, int portNumber, int speed, QObject *parent)
    : SettingsSendLink(parent), m_device(device), m_portNumber(portNumber), m_speed(speed)
{
    m_poll.setSingleShot(true);
    connect(&m_poll, &QTimer::timeout, this, &InfraredSendLink::poll);
}

SettingsSendLink::OpenResult InfraredSendLink::open()
{
    m_open = m_device && m_device->open(m_portNumber, m_speed) > 0;
    return m_open ? OpenResult::Opened : OpenResult::LinkNotOpened;
}

void InfraredSendLink::close()
{
    m_poll.stop();
    m_awaiting = false;
    if (m_open) {
        m_open = false;
        m_device->close();
    }
}

void InfraredSendLink::send(const QByteArray &framed, bool finalLine)
{
    if (!m_open)
        return;
    m_device->write(framed);
    m_received.clear();
    m_final = finalLine;
    m_awaiting = true;
    m_pollInterval = 1;
    m_poll.start(m_pollInterval);
}

void InfraredSendLink::poll()
{
    if (!m_awaiting || !m_open)
        return;
    for (int reads = 0; reads < 64; ++reads) {
        const QByteArray data = m_device->read();
        if (data.isEmpty())
            break;
        m_received += TrimBlankBytes(data);
        if (m_received.size() > 2) {
            m_awaiting = false;
            Answer answer = Answer::Nak;
            if (m_received.startsWith("ACK"))
                answer = Answer::Ack;
            else if (m_final && m_received.startsWith("NOK"))
                answer = Answer::Nok;
            m_received.clear();
            emit answered(answer);
            return;
        }
    }
    // Nothing complete yet: look again, less often the longer it takes.
    m_pollInterval = std::min(m_pollInterval * 2, 16);
    m_poll.start(m_pollInterval);
}

void InfraredSendLink::stopListening()
{
    m_awaiting = false;
    m_poll.stop();
}

void InfraredSendLink::exchangeEnded(bool)
{
    close();
}

bool InfraredSendLink::carries(const QByteArray &item) const
{
    return !item.startsWith("MISC.TERMTYPE");
}

QString InfraredSendLink::description() const
{
    return QStringLiteral("infrared cradle on Com%1 (%2) at %3")
        .arg(m_portNumber)
        .arg(Paths::comDevice(m_portNumber))
        .arg(m_speed);
}

} // namespace vx
