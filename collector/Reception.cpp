// Turning the characters of a channel into lines, answering each line, and
// handing records to the record store.
#include "collector/Collector.h"
#include "platform/CheckCharacters.h"
#include "platform/Clock.h"
#include "platform/Messenger.h"
#include "transport/SerialPort.h"
#include "transport/Socket.h"

#include <QTimer>
#include <algorithm>

namespace vx {

namespace {

const char kCR = '\r';
const char kLF = '\n';
const char kAck = '\x06';
const char kNak = '\x15';
const QByteArray kGreeting("Connection OK!");

// A line's text for the log.
QString latin1(const QByteArray &bytes)
{
    return FromWindows1252(bytes);
}

} // namespace

// Holds the log entries of one line and writes them in one go: explicitly
// before the line's answer leaves, at the latest when the line is done.
// The entries of a record stored and acknowledged (the IN line and its ACK)
// may wait up to kLogWaitMs (20 ms), so that while a terminal sends record after
// record they reach LOG.txt in one write for many records. The record itself
// is in its target before its ACK either way: what waits is only its log
// entry, which a crash of the program (not a stop) can cut. Every other line
// (BOF, EOF, a refusal, anything the program reports) writes what waits
// before its own answer, in order.
class Collector::LogBatch {
public:
    explicit LogBatch(Collector &c) : m_c(c)
    {
        ++m_c.m_logBatch;
        m_c.m_recordAcked = false;
    }
    ~LogBatch()
    {
        if (--m_c.m_logBatch == 0 && !m_waits)
            m_c.flushLog();
    }
    // Before the line's answer leaves: its entries are written now, or wait
    // for the records that follow when the line was a record acknowledged.
    void beforeAnswer()
    {
        if (!m_c.m_recordAcked) {
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
    bool m_waits = false;
};

bool Collector::CheckRecord(const QByteArray &line)
{
    if (line.size() < 3)
        return false;
    const qsizetype body = line.size() - 2;
    const unsigned char x = XorOf(QByteArrayView(line).first(body));
    // The two hex digits, in either case.
    auto digit = [](char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    return digit(line.at(body)) == (x >> 4) && digit(line.at(body + 1)) == (x & 0x0F);
}

void Collector::restartStepIfExchange(int n)
{
    ChannelState &s = m_state[n];
    if (s.Exchange) {
        s.StepActive = true;
        s.StepStart = now();
    }
    // A terminal that is answering a request is given the reply time-out
    // again from its last character.
    if (s.Requested && s.AckWait && !s.SendingFile)
        s.AckStart = now();
}

void Collector::logIncoming(int n, const QByteArray &line)
{
    if (line.isEmpty() || static_cast<unsigned char>(line.at(0)) < 32 || line.trimmed().isEmpty())
        return;
    // "IN   <- " and the line: its Windows-1252 characters in the log's
    // UTF-8, control characters written as \xNN so the log stays text.
    m_logEntry.resize(0);
    m_logEntry += "IN   <- ";
    if (std::all_of(line.cbegin(), line.cend(), [](char c) {
            const auto b = static_cast<unsigned char>(c);
            return b >= 32 && b < 127;
        })) {
        m_logEntry += line;
        logEntry(n, m_logEntry, 8 + line.size(), nullptr);
        return;
    }
    const QString text = EscapeControls(FromWindows1252(line));
    m_logEntry += text.toUtf8();
    logEntry(n, m_logEntry, 8 + text.size(), nullptr);
}

void Collector::logAnswer(int n, const QByteArray &answer)
{
    if (answer.isEmpty())
        return;
    // The usual answers' entries, made once.
    struct Entry {
        explicit Entry(const char *text) : message(QString::fromLatin1(text)), bytes(text) {}
        QString message;
        QByteArray bytes;
    };
    static const Entry ack(" OUT -> ACK, Record accepted");
    static const Entry nak(" OUT -> NAK, Record rejected");
    static const Entry bof(" OUT -> ACK , BOF - Begin of File Transmission");
    static const QByteArray ackBof = ACK + "BOF\r";
    auto log = [&](const Entry &e) { logEntry(n, e.bytes, e.message.size(), &e.message); };
    if (answer == ACK)
        log(ack);
    if (answer == NAK)
        log(nak);
    if (answer == ackBof)
        log(bof);
    if (static_cast<unsigned char>(answer.at(0)) > 32)
        PLog(QStringLiteral(" OUT -> ") + latin1(answer), n);
}

// After an answer went out: a look-up line must be acknowledged in time;
// "EOF" ends the sending.
void Collector::afterAnswer(int n, const QByteArray &answer)
{
    ChannelState &s = m_state[n];
    if (!s.SendingFile || answer.startsWith("PUTFILE"))
        return;
    if (answer == "EOF\r") {
        s.LineNo = 1;
        s.FileEnd = true;
        s.AckWait = false;
    } else {
        resetTimerTimeout(n);
    }
}

// Adds a character to the line being assembled; past the limit the line is
// dropped and only its end is waited for.
void Collector::appendToLine(ChannelState &s, char c)
{
    if (s.Overlong)
        return;
    if (s.LineBuffer.size() >= kMaxLine) {
        s.LineBuffer.clear();
        s.Overlong = true;
        return;
    }
    s.LineBuffer += c;
}

// A run of characters without CR; line feeds are dropped.
void Collector::appendToLine(ChannelState &s, QByteArrayView part)
{
    while (!part.isEmpty() && !s.Overlong) {
        const qsizetype lf = part.indexOf(kLF);
        const QByteArrayView run = lf < 0 ? part : part.first(lf);
        if (s.LineBuffer.size() + run.size() > kMaxLine) {
            s.LineBuffer.clear();
            s.Overlong = true;
            return;
        }
        s.LineBuffer.append(run);
        if (lf < 0)
            return;
        part = part.sliced(lf + 1);
    }
}

// The end of a dropped line: logged, and refused like a bad record.
void Collector::refuseOverlongLine(int n)
{
    m_state[n].Overlong = false;
    PLog(QStringLiteral("IN   <- line longer than %1 characters dropped").arg(kMaxLine), n);
    if (m_settings.Com[n].ConnProtocol == QLatin1String("ACK/NAK")) {
        sendToChannel(n, NAK);
        logAnswer(n, NAK);
    }
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
    ChannelState &s = m_state[n];
    const bool modem = m_settings.Com[n].ConnType.trimmed() == QLatin1String("Modem");
    while (port->PortOpen() && port->InBufferCount() >= 1 && !answerLater(n)) {
        if (modem && s.ModemSetup) {
            // The running modem command reads the replies itself.
            resetTimerTimeout(n);
            break;
        }
        if (port->CommEvent() != SerialPort::comEvReceive)
            break;
        restartStepIfExchange(n);
        port->setInputLen(1);
        const QByteArray in = port->Input();
        if (in.isEmpty())
            break;
        const char c = in.at(0);
        if (c == kLF)
            continue;
        // A modem channel's lines end with CR only; elsewhere a lone ACK or
        // NAK is a complete line.
        if (c == kCR || (!modem && (c == kAck || c == kNak))) {
            QByteArray line = s.LineBuffer;
            if (c != kCR)
                line += c;
            s.LineBuffer.clear();
            handleSerialLine(n, line, modem);
            continue;
        }
        appendToLine(s, c);
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
    bool pending = false;
    for (int k = 1; k <= kChannels; ++k)
        if (m_serial[k]->PortOpen() && m_serial[k]->InBufferCount() > 0 && !m_state[k].ModemSetup && !answerLater(k))
            pending = true;
    if (!pending)
        return;
    m_rescanQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_rescanQueued = false;
        for (int k = 1; k <= kChannels; ++k)
            if (m_serial[k]->PortOpen() && m_serial[k]->InBufferCount() > 0 && !m_state[k].ModemSetup
                && !answerLater(k))
                SerialOnComm(k);
    });
}

void Collector::handleSerialLine(int n, QByteArray line, bool modem)
{
    LogBatch batch(*this);
    ChannelState &s = m_state[n];
    if (s.Overlong) {
        refuseOverlongLine(n);
        return;
    }
    logIncoming(n, line);
    QByteArray answer;
    if (modem) {
        if (line.size() < 3)
            return;
        if (line.trimmed().startsWith("CONNECT")) {
            s.ModemConnected = true;
            return;
        }
        LineDispatcher(line, answer, n);
    } else {
        // A lone NAK from the terminal is taken as ACK on serial channels,
        // except for a look-up line, which it refuses: that line is sent
        // again rather than skipped.
        if (line == NAK && !s.SendingFile)
            line = ACK;
        LineDispatcher(line, answer, n);
    }
    if (answer != "NOP") {
        const QByteArray tag = answer.mid(3, 5);
        if (tag == "FILE1")
            m_recordStore->OverwriteAllowed = false;
        else if (tag == "FILE5")
            m_recordStore->OverwriteAllowed = true;
        logAnswer(n, answer);
        batch.beforeAnswer();
        if (!answer.isEmpty())
            m_serial[n]->Output(answer);
    }
    afterAnswer(n, answer);
}

void Collector::SocketDataArrival(int n)
{
    Socket *socket = m_socket[n];
    ChannelState &s = m_state[n];
    if (s.Connecting) {
        socket->GetData();
        return;
    }
    if (socket->State() != Socket::sckConnected)
        return;
    // Read once the record waiting for its answer has it.
    if (answerLater(n))
        return;
    const QByteArray peek = socket->PeekData();
    if (peek.isEmpty())
        return;
    restartStepIfExchange(n);
    // A network adapter greets with "Connection OK!" + CR (possibly behind
    // two characters): it is not a line of the terminal.
    if (peek.size() >= 14) {
        if (peek.startsWith(kGreeting)) {
            socket->GetData(15);
            s.LineBuffer.clear();
        } else if (peek.mid(2, 14) == kGreeting) {
            socket->GetData(18);
            s.LineBuffer.clear();
        }
    }
    takeTcpBytes(n, socket->GetData());
}

void Collector::takeTcpBytes(int n, const QByteArray &data)
{
    Socket *socket = m_socket[n];
    ChannelState &s = m_state[n];
    // Every CR-ended line of the arrival on its own.
    int from = 0;
    while (from < data.size()) {
        const int cr = data.indexOf(kCR, from);
        const int end = cr < 0 ? data.size() : cr;
        appendToLine(s, QByteArrayView(data).sliced(from, end - from));
        if (cr < 0)
            break;
        from = cr + 1;
        QByteArray line = s.LineBuffer;
        s.LineBuffer.clear();
        if (s.Overlong) {
            refuseOverlongLine(n);
            continue;
        }
        if (line.isEmpty())
            continue; // a CR alone does not complete a line
        handleTcpLine(n, line);
        if (socket->State() != Socket::sckConnected)
            break;
        if (answerLater(n)) {
            m_later[n].held = data.mid(from);
            break;
        }
    }
}

void Collector::handleTcpLine(int n, QByteArray line)
{
    LogBatch batch(*this);
    logIncoming(n, line);
    QByteArray answer;
    LineDispatcher(line, answer, n);
    if (answer != "NOP") {
        logAnswer(n, answer);
        batch.beforeAnswer();
        if (!answer.isEmpty())
            m_socket[n]->SendData(answer);
    }
    afterAnswer(n, answer);
}

void Collector::LineDispatcher(QByteArray &line, QByteArray &answer, int n)
{
    ChannelState &s = m_state[n];
    if (line == "BOF")
        m_recordStore->BeginTransfer(n);
    if (line.size() > 7 && line.startsWith("GETFILE"))
        s.SendingFile = true;
    if (s.SendingFile) {
        lookupFileStep(line, answer, n);
        return;
    }
    if (m_settings.Com[n].ConnProtocol == QLatin1String("ACK/NAK")) {
        if (line == "BOF") {
            answer = ACK;
        } else if (line == "EOF") {
            // What was acknowledged before reaches stable storage before the
            // terminal hears that the transfer is complete; when it cannot,
            // the terminal hears NAK and keeps its data.
            answer = m_recordStore->SyncTarget(n) ? ACK : NAK;
        } else if (line == ACK) {
            acknowledgementStep(answer, n);
        } else if (line == NAK && s.Exchange) {
            refusalStep(answer, n);
        } else if (!CheckRecord(line)) {
            answer = NAK;
        } else {
            answer = storeRecord(line, n); // empty: answered when the row is committed
            if (answer == ACK)
                m_recordAcked = true;
        }
    } else {
        answer = "NOP";
        if (line == "EOF")
            m_recordStore->SyncTarget(n);
        if (line != "BOF" && line != "EOF" && line != ACK && line != NAK) {
            if (storeRecord(line, n) == ACK) // a later answer is logged when it comes
                PLog(QStringLiteral("IN   <-") + latin1(line), n);
        }
    }
    if (s.Exchange && line == "EOF" && answer != NAK)
        endOfDataStep(answer, n);
}

} // namespace vx
