// The driver of the channels' protocols: characters from the transports go
// to the channel's ChannelProtocol, and what it asks for is done, in order,
// on the transports, the record store, the log and the exchange folder.
#include "collector/Collector.h"
#include "collector/LookupFile.h"
#include "platform/Clock.h"
#include "platform/Messenger.h"
#include "store/ErpArticleExport.h"
#include "store/RecordText.h"
#include "transport/SerialPort.h"
#include "transport/Socket.h"

#include <QTimer>
#include <algorithm>
#include <cstring>

namespace vx {

using Action = ChannelProtocol::Action;

namespace {
// The entries that wait for the next write of LOG.txt at most.
constexpr qsizetype kLogBatchBytes = 256 * 1024;
} // namespace

// Holds the log entries of one line and writes them in one go: explicitly
// before the line's answer leaves, at the latest when the line is done.
// The entries of a record stored and acknowledged (the IN line and its ACK)
// join the next write: while a terminal sends record after record they reach
// LOG.txt in one write for many records (at the latest when 256 KiB wait, or
// after kLogWaitMs, a second). Each entry has the time of its event. The
// record itself is in its target before its ACK either way: what waits is
// only its log entry, which a crash of the program (not a stop) can cut.
// Every other line (BOF, EOF, a refusal, anything the program reports)
// writes what waits before its own answer, in order.
class Collector::LogBatch {
public:
    explicit LogBatch(Collector &c) : m_c(c), m_outer(c.m_lineBatch)
    {
        ++m_c.m_logBatch;
        m_c.m_lineBatch = this;
    }
    ~LogBatch()
    {
        m_c.m_lineBatch = m_outer;
        if (--m_c.m_logBatch == 0 && !m_waits)
            m_c.flushLog();
    }
    // Before the line's answer leaves: its entries are written now, or wait
    // for the records that follow when the answer acknowledges a record.
    void beforeAnswer(bool recordAcknowledged)
    {
        if (!recordAcknowledged || m_c.m_logPending.size() >= kLogBatchBytes) {
            m_c.flushLog();
            return;
        }
        m_waits = true;
        if (!m_c.m_logTimer.isActive())
            m_c.m_logTimer.start();
    }
    LogBatch(const LogBatch &) = delete;
    LogBatch &operator=(const LogBatch &) = delete;

private:
    Collector &m_c;
    LogBatch *m_outer;
    bool m_waits = false;
};

void Collector::configure(int n)
{
    const ChannelSettings &c = m_settings.Com[n];
    ChannelProtocol::Config &config = m_protocol[n].config();
    const QString type = c.ConnType.trimmed();
    config.channel = n;
    config.ackNak = c.ConnProtocol == QLatin1String("ACK/NAK");
    config.link = type == QLatin1String("TCP")     ? ChannelProtocol::Link::Tcp
                  : type == QLatin1String("Modem") ? ChannelProtocol::Link::Modem
                                                   : ChannelProtocol::Link::Serial;
    if (type == QLatin1String("TCP"))
        config.replyTimeout = 10000;
    else if (type == QLatin1String("Modem"))
        config.replyTimeout = 5000;
    else if (type == QLatin1String("InfraRed") || type == QLatin1String("IRCradle"))
        config.replyTimeout = 30000;
    else
        config.replyTimeout = 0;
    config.autoPeriod = AutoCollectionOn(c) ? std::max<qint64>(1, AutoPeriodMs(c)) : 0;
}

void Collector::logIncoming(int n, const QByteArray &line)
{
    // "IN   <- " and the line: its Windows-1252 characters in the log's
    // UTF-8, control characters written as \xNN so the log stays text.
    static constexpr char kHead[] = "IN   <- ";
    constexpr qsizetype kHeadLength = sizeof kHead - 1;
    if (std::all_of(line.cbegin(), line.cend(), [](char c) {
            const auto b = static_cast<unsigned char>(c);
            return b >= 32 && b < 127;
        })) {
        // Into the room the entry had before (no allocation per record).
        m_logEntry.resize(kHeadLength + line.size());
        char *p = m_logEntry.data();
        std::memcpy(p, kHead, kHeadLength);
        std::memcpy(p + kHeadLength, line.constData(), size_t(line.size()));
        logEntry(n, m_logEntry, m_logEntry.size(), nullptr);
        return;
    }
    const QString text = EscapeControls(FromWindows1252(line));
    m_logEntry = kHead + text.toUtf8();
    logEntry(n, m_logEntry, kHeadLength + text.size(), nullptr);
}

void Collector::applyLog(int n, const Action &a)
{
    switch (a.entry) {
    case Action::Entry::Text:
        PLog(a.text, n);
        break;
    case Action::Entry::Fixed:
        logEntry(n, a.bytes, a.bytes.size(), nullptr);
        break;
    case Action::Entry::Incoming:
        logIncoming(n, a.bytes);
        break;
    case Action::Entry::Answer:
        PLog(QStringLiteral(" OUT -> ") + FromWindows1252(a.bytes), n);
        break;
    case Action::Entry::Stored:
        PLog(QStringLiteral("IN   <-") + FromWindows1252(a.bytes), n);
        break;
    }
}

// Does what channel n's protocol asked for, in order. What needs an answer
// (a record stored, a sync, a look-up line) is answered to the protocol at
// once, and what it asks for then is done after the rest, in order; a target
// that answers later answers through answerStored.
//
// The rule of every answer that tells a terminal its data is safe lives
// here: an ACK that confirms a record leaves only after the record store
// reported that record stored (written, committed), and an ACK that confirms
// a transfer only after it reported the transfer synced to stable storage.
// Anything else is refused with NAK, so the terminal keeps its data.
void Collector::apply(int n, ChannelProtocol::Actions &actions)
{
    ChannelProtocol &p = m_protocol[n];
    for (size_t i = 0; i < actions.size(); ++i) {
        // The answers to Store, Sync and ReadLookupLine add to actions, which
        // may move them: those cases use a only before they answer.
        const Action &a = actions[i];
        switch (a.kind) {
        case Action::Send: {
            const QByteArray *bytes = &a.bytes;
            const Reported needed = a.confirms == Action::Confirms::Record     ? Reported::Stored
                                    : a.confirms == Action::Confirms::Transfer ? Reported::Synced
                                                                               : Reported::Nothing;
            if (needed != Reported::Nothing) {
                if (std::exchange(m_reported[n], Reported::Nothing) != needed) {
                    PLog(
                        QStringLiteral("Channel %1: an acknowledgement without the store's report was refused.").arg(n),
                        n, LogLevel::Error);
                    bytes = &NAK;
                }
            }
            if (m_lineBatch)
                m_lineBatch->beforeAnswer(needed == Reported::Stored && *bytes == ACK);
            sendToChannel(n, *bytes);
            break;
        }
        case Action::Store: {
            m_reported[n] = Reported::Nothing;
            const quint64 ticket = quint64(a.number);
            if (m_recordStore->AnswersLater(n)) {
                m_recordStore->StoreRecordLater(a.bytes, n,
                                                [this, n, ticket](bool stored) { answerStored(n, ticket, stored); });
                // The record's entry waits as that of a record acknowledged
                // at once does; a refusal writes it before its own.
                if (m_lineBatch)
                    m_lineBatch->beforeAnswer(true);
                break;
            }
            const bool stored = m_recordStore->StoreRecord(a.bytes, n);
            if (stored) {
                m_reported[n] = Reported::Stored;
                recordWasStored(n);
            }
            p.storeOutcome(ticket, stored, now(), actions);
            break;
        }
        case Action::Sync: {
            const bool synced = m_recordStore->SyncTarget(n);
            m_reported[n] = synced ? Reported::Synced : Reported::Nothing;
            p.syncOutcome(synced, now(), actions);
            break;
        }
        case Action::BeginTransfer:
            m_recordStore->BeginTransfer(n);
            break;
        case Action::EndOfData:
            if (m_settings.DBMS[n].Policy == QLatin1String("NewFile"))
                m_recordStore->EndTransfer(n);
            break;
        case Action::Log:
            applyLog(n, a);
            break;
        case Action::StartLookup:
            m_lookup[n]->close();
            m_articles->Reset(n);
            break;
        case Action::ReadLookupLine: {
            const QByteArray line = nextLookupLine(n);
            p.lookupLine(line, p.state().LookupAtEnd, now(), actions);
            break;
        }
        case Action::EndLookup:
            endLookup(n, a.number != 0);
            break;
        case Action::CloseLookup:
            m_lookup[n]->close();
            break;
        case Action::EndRequest:
            if (!a.text.isEmpty())
                writeExchange(m_requestKey, a.text);
            m_requestKey.clear();
            m_exchangeActive = false;
            break;
        case Action::WriteExchange:
            writeExchange(QStringLiteral("ID(%1)").arg(n), a.text);
            break;
        case Action::ReplyTimedOut:
            HandleReplyTimeout(n);
            break;
        case Action::OverwriteAllowed:
            m_recordStore->OverwriteAllowed = a.number != 0;
            break;
        case Action::Status:
            setStatus(n, ChannelStatus(a.number));
            break;
        case Action::ArmReplyTimer:
            m_replyTimer[n].armed = true;
            m_replyTimer[n].deadline = a.number;
            break;
        case Action::StopReplyTimer:
            m_replyTimer[n].armed = false;
            break;
        }
    }
}

void Collector::takeLines(int n)
{
    ChannelProtocol &p = m_protocol[n];
    // The list keeps its room from line to line and from one arrival to the
    // next; a call made while this one runs starts with a list of its own.
    ChannelProtocol::Actions actions = std::move(m_spareActions);
    while (channelOpen(n) && p.hasInput()) {
        actions.clear();
        if (!p.next(now(), actions))
            break;
        LogBatch batch(*this);
        apply(n, actions);
    }
    actions.clear();
    m_spareActions = std::move(actions);
}

void Collector::SerialOnComm(int n)
{
    SerialPort *port = m_serial[n];
    if (CaptureMode) {
        port->setInputLen(0);
        CaptureBuffer += port->Input();
        return;
    }
    if (port->InBufferCount() == 0)
        return;
    if (m_serialBusy) {
        // Handled as soon as the running handler ends.
        ++SkippedSerialEvents;
        return;
    }
    m_serialBusy = true;
    ChannelProtocol &p = m_protocol[n];
    p.setOpen(true);
    const bool modem = p.config().link == ChannelProtocol::Link::Modem;
    // A record waiting for its answer holds the rest in the port.
    while (port->PortOpen() && port->InBufferCount() >= 1 && !p.awaitingStore()) {
        if (modem && p.state().ModemSetup) {
            // The running modem command reads the replies itself.
            resetTimerTimeout(n);
            break;
        }
        if (port->CommEvent() != SerialPort::comEvReceive)
            break;
        port->setInputLen(0);
        QByteArray in = port->Input();
        if (in.isEmpty())
            break;
        ChannelProtocol::Actions actions;
        p.receive(std::move(in), now(), actions);
        apply(n, actions);
        takeLines(n);
    }
    m_serialBusy = false;
    scheduleSerialRescan();
}

// Characters that arrived while a handler ran (on any serial channel) are
// handled right after it, not at the next arrival.
void Collector::scheduleSerialRescan()
{
    if (m_rescanQueued)
        return;
    auto pending = [this](int k) {
        return m_serial[k]->PortOpen() && m_serial[k]->InBufferCount() > 0 && !m_protocol[k].state().ModemSetup
               && !m_protocol[k].awaitingStore();
    };
    bool any = false;
    for (int k = 1; k <= kChannels; ++k)
        any = any || pending(k);
    if (!any)
        return;
    m_rescanQueued = true;
    QTimer::singleShot(0, this, [this, pending] {
        m_rescanQueued = false;
        for (int k = 1; k <= kChannels; ++k)
            if (pending(k))
                SerialOnComm(k);
    });
}

void Collector::SocketDataArrival(int n)
{
    Socket *socket = m_socket[n];
    ChannelProtocol &p = m_protocol[n];
    if (p.state().Connecting) {
        socket->GetData();
        return;
    }
    if (socket->State() != Socket::sckConnected)
        return;
    // Read once the record waiting for its answer has it.
    if (p.awaitingStore())
        return;
    QByteArray data = socket->GetData();
    if (data.isEmpty())
        return;
    p.setOpen(true);
    ChannelProtocol::Actions actions;
    // Handed over: a line that is all of it takes its bytes without a copy.
    p.receive(std::move(data), now(), actions);
    apply(n, actions);
    takeLines(n);
}

void Collector::answerStored(int n, quint64 ticket, bool stored)
{
    if (stored)
        recordWasStored(n);
    ChannelProtocol &p = m_protocol[n];
    // The channel was closed or its connection replaced meanwhile: the
    // terminal sends the record again, and gets its answer then.
    if (!p.awaitingStore() || p.awaitedTicket() != ticket)
        return;
    m_reported[n] = stored ? Reported::Stored : Reported::Nothing;
    ChannelProtocol::Actions actions;
    p.storeOutcome(ticket, stored, now(), actions);
    {
        LogBatch batch(*this);
        apply(n, actions);
    }
    // What arrived behind the record, then what waits in the transport.
    takeLines(n);
    if (p.awaitingStore())
        return;
    if (m_socket[n]->State() == Socket::sckConnected)
        SocketDataArrival(n);
    else if (m_serial[n]->PortOpen() && m_serial[n]->InBufferCount() > 0)
        SerialOnComm(n);
}

void Collector::dropLaterAnswer(int n)
{
    m_protocol[n].dropOutcome();
}

} // namespace vx
