#include "FakeTransports.h"

#include "transport/QtSerialPort.h"

#include <QMetaObject>
#include <QPointer>

namespace vx::test {

namespace {

// A device's answer arrives from the event loop, as a real one would; not
// at all when the fake is gone by then.
template <typename Fake>
void answerLater(Fake *fake, const QByteArray &answer)
{
    if (answer.isEmpty())
        return;
    QPointer<Fake> self(fake);
    QMetaObject::invokeMethod(
        fake,
        [self, answer] {
            if (self)
                self->receive(answer);
        },
        Qt::QueuedConnection);
}

} // namespace


// ---------------------------------------------------------------- serial

void FakeSerialPort::setRTSEnable(bool on)
{
    m_rts = on;
    m_rtsHistory.append(on);
}

QByteArray FakeSerialPort::Input()
{
    if (!m_open || m_incoming.isEmpty())
        return {};
    const qsizetype n = m_inputLen == 0 ? m_incoming.size() : qMin<qsizetype>(m_inputLen, m_incoming.size());
    const QByteArray text = m_incoming.left(n);
    m_incoming.remove(0, n);
    return text;
}

void FakeSerialPort::Output(const QByteArray &text)
{
    if (!m_open)
        return;
    m_written += text;
    m_writes.append(text);
    if (m_holdOutput)
        m_held += text;
    emit outputWritten(text);
    if (m_responder)
        answerLater(this, m_responder(text));
}

void FakeSerialPort::setInBufferCount(int count)
{
    if (count == 0)
        m_incoming.clear();
}

bool FakeSerialPort::setPortOpen(bool open)
{
    if (!open) {
        m_open = false;
        m_commEvent = 0;
        return true;
    }
    if (m_open)
        return true;
    m_error.clear();
    if (!m_openFailure.isEmpty()) {
        m_error = m_openFailure;
        return false;
    }
    if (m_commPort < 1 || m_commPort > 9) {
        m_error = QStringLiteral("Com%1 is not a serial port (ports are Com1 to Com9).").arg(m_commPort);
        return false;
    }
    SerialLineSettings line;
    QString why;
    if (!parseSerialSettings(m_settings, &line, &why)) {
        m_error = QStringLiteral("Com%1: the settings \"%2\" are refused: %3.").arg(m_commPort).arg(m_settings, why);
        return false;
    }
    m_open = true;
    ++m_openCount;
    m_settingsAtOpen.append(m_settings);
    return true;
}

void FakeSerialPort::raiseOnComm(int event)
{
    if (!m_open)
        return;
    m_commEvent = event;
    emit OnComm();
}

void FakeSerialPort::receive(const QByteArray &bytes)
{
    if (!m_open)
        return; // a closed port hears nothing
    m_incoming += bytes;
    if (m_rThreshold > 0)
        raiseOnComm(comEvReceive);
}

QByteArray FakeSerialPort::takeWritten()
{
    const QByteArray text = m_written;
    m_written.clear();
    m_writes.clear();
    return text;
}

// ---------------------------------------------------------------- socket

void FakeSocket::Connect()
{
    ++m_connectAttempts;
    ++m_generation;
    m_incoming.clear();
    setState(6);
    if (m_outcome == ConnectOutcome::Pending)
        return;
    const int generation = m_generation;
    const int outcome = m_outcome == ConnectOutcome::Accept ? sckConnected : sckError;
    QPointer<FakeSocket> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, generation, outcome] {
            if (self && self->m_generation == generation && self->m_state == 6)
                self->setState(outcome);
        },
        Qt::QueuedConnection);
}

void FakeSocket::Close()
{
    ++m_generation;
    m_incoming.clear();
    setState(sckClosed);
}

QByteArray FakeSocket::GetData(int maxChars)
{
    const qsizetype n = maxChars < 0 ? m_incoming.size() : qMin<qsizetype>(maxChars, m_incoming.size());
    const QByteArray data = m_incoming.left(n);
    m_incoming.remove(0, n);
    return data;
}

void FakeSocket::SendData(const QByteArray &text)
{
    if (m_state != sckConnected)
        return;
    m_sent += text;
    m_sends.append(text);
    emit dataSent(text);
    if (m_responder)
        answerLater(this, m_responder(text));
}

void FakeSocket::receive(const QByteArray &bytes)
{
    if (m_state != sckConnected)
        return;
    m_incoming += bytes;
    raiseDataArrival();
}

QByteArray FakeSocket::takeSent()
{
    const QByteArray data = m_sent;
    m_sent.clear();
    m_sends.clear();
    return data;
}

void FakeSocket::setState(int state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit StateChanged(state);
}

} // namespace vx::test
