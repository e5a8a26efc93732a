// A record's answer: at once from most targets; from a target that answers
// later (a database server that commits each row on a thread of its own)
// the channel's answer waits for the commit,
// and the channel reads nothing more meanwhile, so every answer goes out in
// the order of the lines and the event loop never waits for the server.
#include "collector/Collector.h"
#include "store/RecordText.h"
#include "transport/SerialPort.h"
#include "transport/Socket.h"

namespace vx {

QByteArray Collector::storeRecord(const QByteArray &line, int n)
{
    if (!m_recordStore->AnswersLater(n)) {
        if (!m_recordStore->StoreRecord(line, n))
            return NAK;
        recordWasStored(n);
        return ACK;
    }
    LaterAnswer &later = m_later[n];
    later.waiting = true;
    later.ackNak = m_settings.Com[n].ConnProtocol == QLatin1String("ACK/NAK");
    later.line = line;
    const quint64 ticket = ++later.ticket;
    m_recordStore->StoreRecordLater(line, n, [this, n, ticket](bool stored) { answerStored(n, ticket, stored); });
    return {};
}

void Collector::answerStored(int n, quint64 ticket, bool stored)
{
    if (stored)
        recordWasStored(n);
    LaterAnswer &later = m_later[n];
    // The channel was closed or its connection replaced meanwhile: the
    // terminal sends the record again, and gets its answer then.
    if (!later.waiting || later.ticket != ticket)
        return;
    later.waiting = false;
    restartStepIfExchange(n);
    if (later.ackNak) {
        const QByteArray answer = stored ? ACK : NAK;
        sendToChannel(n, answer);
        logAnswer(n, answer);
        afterAnswer(n, answer);
    } else if (stored) {
        PLog(QStringLiteral("IN   <-") + FromWindows1252(later.line), n);
    }
    // What arrived behind the record, then what waits in the transport.
    const QByteArray held = std::exchange(later.held, QByteArray());
    if (!held.isEmpty() && m_socket[n]->State() == Socket::sckConnected)
        takeTcpBytes(n, held);
    if (answerLater(n))
        return;
    if (m_socket[n]->State() == Socket::sckConnected)
        SocketDataArrival(n);
    else if (m_serial[n]->PortOpen() && m_serial[n]->InBufferCount() > 0)
        SerialOnComm(n);
}

void Collector::dropLaterAnswer(int n)
{
    LaterAnswer &later = m_later[n];
    if (!later.waiting && later.held.isEmpty())
        return;
    later.waiting = false;
    later.held.clear();
    ++later.ticket;
}

} // namespace vx
