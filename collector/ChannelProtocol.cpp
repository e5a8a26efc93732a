#include "collector/ChannelProtocol.h"

#include "collector/RegistryExchange.h"
#include "platform/CheckCharacters.h"
#include "settings/Settings.h"

#include <QtGlobal>
#include <cstring>

namespace vx {

namespace {

const char kCR = '\r';
const char kLF = '\n';
const char kAckChar = '\x06';
const char kNakChar = '\x15';
const QByteArray kAck(1, kAckChar);
const QByteArray kNak(1, kNakChar);
const QByteArray kNop("NOP");
const QByteArray kAckBof = kAck + "BOF\r";
constexpr char kGreeting[] = "Connection OK!";
constexpr size_t kGreetingLength = sizeof kGreeting - 1;

// The usual answers' entries.
const QByteArray kAckEntry(" OUT -> ACK, Record accepted");
const QByteArray kNakEntry(" OUT -> NAK, Record rejected");
const QByteArray kBofEntry(" OUT -> ACK , BOF - Begin of File Transmission");

// Whether the line is exactly word: a line of another length, as a record
// is, costs one comparison.
bool Is(const QByteArray &line, QByteArrayView word)
{
    return line.size() == word.size() && std::memcmp(line.constData(), word.data(), size_t(word.size())) == 0;
}

bool Has(QByteArrayView bytes, char c)
{
    return std::memchr(bytes.data(), c, size_t(bytes.size())) != nullptr;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The log line of an outside request that ends because its channel closed.
QString ClosedText(int channel)
{
    return QStringLiteral("Channel %1: the requested collection ends: the channel was closed.").arg(channel);
}

} // namespace

bool ChannelProtocol::CheckRecord(QByteArrayView line)
{
    if (line.size() < 3)
        return false;
    const qsizetype body = line.size() - 2;
    const unsigned char x = XorOf(line.first(body));
    return HexDigit(line.at(body)) == (x >> 4) && HexDigit(line.at(body + 1)) == (x & 0x0F);
}

void ChannelProtocol::reset()
{
    m_s = ChannelState();
    m_open = false;
    m_closed = false;
    m_await = Await::None;
    ++m_ticket;
    m_awaitedLine.clear();
    m_in.clear();
    m_at = 0;
}

ChannelProtocol::Action &ChannelProtocol::add(Actions &out, Action::Kind kind, qint64 number, const QString &text)
{
    Action &a = out.emplace_back();
    a.kind = kind;
    a.number = number;
    if (!text.isNull())
        a.text = text;
    return a;
}

void ChannelProtocol::log(Actions &out, const QString &text)
{
    Action a;
    a.kind = Action::Log;
    a.text = text;
    out.push_back(std::move(a));
}

void ChannelProtocol::logBytes(Actions &out, Action::Entry entry, const QByteArray &bytes)
{
    Action &a = out.emplace_back();
    a.kind = Action::Log;
    a.entry = entry;
    a.bytes = bytes;
}

void ChannelProtocol::send(Actions &out, const QByteArray &bytes, Action::Confirms confirms)
{
    Action &a = out.emplace_back();
    a.kind = Action::Send;
    a.bytes = bytes;
    a.confirms = confirms;
}

void ChannelProtocol::restartStepIfExchange(qint64 now, Actions &out)
{
    if (m_s.Exchange) {
        m_s.StepActive = true;
        m_s.StepStart = now;
    }
    // A terminal that is answering a request is given the reply time-out
    // again from its last character.
    if (m_s.Requested && m_s.AckWait && !m_s.SendingFile)
        armReply(now, false, out);
}

// The timer is armed again only when its deadline moves: records that
// arrive within the same millisecond ask the driver for nothing.
void ChannelProtocol::armReply(qint64 now, bool refresh, Actions &out)
{
    const bool was = m_s.AckWait;
    const qint64 before = m_s.AckStart + m_s.AckTimeout;
    if (refresh && m_config.replyTimeout > 0)
        m_s.AckTimeout = m_config.replyTimeout;
    m_s.AckWait = true;
    m_s.AckStart = now;
    if (!was || m_s.AckStart + m_s.AckTimeout != before)
        add(out, Action::ArmReplyTimer, m_s.AckStart + m_s.AckTimeout);
}

void ChannelProtocol::stopReply(Actions &out)
{
    if (!std::exchange(m_s.AckWait, false))
        return;
    add(out, Action::StopReplyTimer);
}

void ChannelProtocol::awaitLinkReply(qint64 now, Actions &out)
{
    armReply(now, true, out);
}

void ChannelProtocol::linkReplyEnded(Actions &out)
{
    stopReply(out);
}

bool ChannelProtocol::ServesRequests(ChannelStatus status)
{
    return status == ChannelStatus::RunWait || status == ChannelStatus::TcpReady;
}

QString ChannelProtocol::RequestRefusal(ChannelStatus status)
{
    switch (status) {
    case ChannelStatus::NoPort:
        return QStringLiteral("5");
    case ChannelStatus::Modem:
        return QStringLiteral("9");
    // A TCP channel that is still connecting cannot serve it: answered
    // like a channel in error, never left at "1".
    case ChannelStatus::Error:
    case ChannelStatus::TcpConnecting:
        return QStringLiteral("6");
    case ChannelStatus::Paused:
    case ChannelStatus::RunWait:
    case ChannelStatus::TcpReady:
        break;
    }
    return QString();
}

// --- lines ---

void ChannelProtocol::receive(QByteArray bytes, qint64 now, Actions &out)
{
    if (bytes.isEmpty())
        return;
    restartStepIfExchange(now, out);
    // A network adapter greets with "Connection OK!" + CR (possibly behind
    // two characters): it is not a line of the terminal.
    if (m_config.link == Link::Tcp && bytes.size() >= qsizetype(kGreetingLength)) {
        if (std::memcmp(bytes.constData(), kGreeting, kGreetingLength) == 0) {
            bytes = bytes.sliced(std::min<qsizetype>(15, bytes.size()));
            m_s.LineBuffer.clear();
        } else if (bytes.size() >= qsizetype(2 + kGreetingLength)
                   && std::memcmp(bytes.constData() + 2, kGreeting, kGreetingLength) == 0) {
            bytes = bytes.sliced(std::min<qsizetype>(18, bytes.size()));
            m_s.LineBuffer.clear();
        }
    }
    if (m_at >= m_in.size()) {
        m_in = std::move(bytes);
        m_at = 0;
    } else {
        m_in.append(bytes);
    }
}

// Adds a run of characters without CR to the line being assembled; line
// feeds are dropped. Past the limit the line is dropped and only its end
// is waited for.
void ChannelProtocol::appendRun(QByteArrayView part)
{
    while (!part.isEmpty() && !m_s.Overlong) {
        const qsizetype lf = part.indexOf(kLF);
        const QByteArrayView run = lf < 0 ? part : part.first(lf);
        if (m_s.LineBuffer.size() + run.size() > kMaxLine) {
            m_s.LineBuffer.clear();
            m_s.Overlong = true;
            return;
        }
        m_s.LineBuffer.append(run);
        if (lf < 0)
            return;
        part = part.sliced(lf + 1);
    }
}

// The next complete line of what arrived, with overlong set for a line that
// passed the limit (its characters are gone).
bool ChannelProtocol::takeLine(QByteArray &line, bool &overlong)
{
    const bool serial = m_config.link == Link::Serial;
    while (m_at < m_in.size()) {
        const QByteArrayView in(m_in);
        // The end of the line: CR, and on a serial link a lone ACK or NAK,
        // which belongs to the line.
        qsizetype end = m_at;
        if (serial) {
            while (end < in.size() && in[end] != kCR && in[end] != kAckChar && in[end] != kNakChar)
                ++end;
        } else {
            const auto *cr = static_cast<const char *>(std::memchr(in.data() + m_at, kCR, size_t(in.size() - m_at)));
            end = cr ? cr - in.data() : in.size();
        }
        const QByteArrayView run = in.sliced(m_at, end - m_at);
        if (end == in.size()) {
            appendRun(run);
            break;
        }
        const char c = in[end];
        m_at = end + 1;
        if (m_s.LineBuffer.isEmpty() && !m_s.Overlong && !Has(run, kLF) && run.size() <= kMaxLine) {
            if (run.size() + 1 == in.size()) {
                // What arrived is this line and its end, as a record usually
                // comes: the line takes it over instead of a copy.
                line = std::exchange(m_in, QByteArray());
                line.truncate(run.size());
                m_at = 0;
            } else {
                line = run.toByteArray();
            }
        } else {
            appendRun(run);
            line = std::exchange(m_s.LineBuffer, QByteArray());
        }
        if (c != kCR)
            line += c;
        overlong = std::exchange(m_s.Overlong, false);
        // On TCP a CR alone does not complete a line.
        if (!overlong && line.isEmpty() && m_config.link == Link::Tcp)
            continue;
        if (m_at >= m_in.size()) {
            m_in.clear();
            m_at = 0;
        }
        return true;
    }
    m_in.clear();
    m_at = 0;
    return false;
}

bool ChannelProtocol::next(qint64 now, Actions &out)
{
    if (m_await != Await::None)
        return false;
    QByteArray line;
    bool overlong = false;
    if (!takeLine(line, overlong))
        return false;
    handleLine(std::move(line), overlong, now, out);
    return true;
}

void ChannelProtocol::handleLine(QByteArray line, bool overlong, qint64 now, Actions &out)
{
    if (overlong) {
        log(out, QStringLiteral("IN   <- line longer than %1 characters dropped").arg(kMaxLine));
        if (m_config.ackNak) {
            logAnswer(kNak, out);
            send(out, kNak);
        }
        return;
    }
    if (!line.isEmpty() && static_cast<unsigned char>(line.at(0)) >= 32 && !line.trimmed().isEmpty())
        logBytes(out, Action::Entry::Incoming, line);
    switch (m_config.link) {
    case Link::Modem:
        if (line.size() < 3)
            return;
        if (line.trimmed().startsWith("CONNECT")) {
            m_s.ModemConnected = true;
            return;
        }
        break;
    case Link::Serial:
        // A lone NAK from the terminal is taken as ACK on serial channels,
        // except for a look-up line, which it refuses: that line is sent
        // again rather than skipped.
        if (line == kNak && !m_s.SendingFile)
            line = kAck;
        break;
    case Link::Tcp:
        break;
    }
    dispatch(line, now, out);
}

void ChannelProtocol::dispatch(const QByteArray &line, qint64 now, Actions &out)
{
    if (Is(line, "BOF"))
        add(out, Action::BeginTransfer);
    if (line.size() > 7 && line.startsWith("GETFILE"))
        m_s.SendingFile = true;
    if (m_s.SendingFile) {
        lookupFileStep(line, now, out);
        return;
    }
    const bool control = line == kAck || (line == kNak && m_config.ackNak && m_s.Exchange);
    if (Is(line, "EOF")) {
        // What was acknowledged before reaches stable storage before the
        // terminal hears that the transfer is complete; when it cannot, the
        // terminal hears NAK and keeps its data.
        m_await = Await::Sync;
        add(out, Action::Sync);
        return;
    }
    if (!m_config.ackNak) {
        // Stored and never answered; BOF, ACK and NAK are no records.
        if (!Is(line, "BOF") && line != kAck && line != kNak) {
            m_await = Await::Store;
            m_awaitedLine = line;
            add(out, Action::Store, qint64(++m_ticket)).bytes = line;
            return;
        }
        finish(kNop, Action::Confirms::Nothing, now, out);
        return;
    }
    QByteArray answer;
    if (Is(line, "BOF")) {
        answer = kAck;
    } else if (line == kAck) {
        acknowledgementStep(answer, now, out);
    } else if (control) {
        refusalStep(answer, now, out);
    } else if (!CheckRecord(line)) {
        answer = kNak;
    } else {
        // Stored first; ACK or NAK when the store has answered (the line
        // itself is not needed then).
        m_await = Await::Store;
        add(out, Action::Store, qint64(++m_ticket)).bytes = line.first(line.size() - 2);
        return;
    }
    finish(answer, Action::Confirms::Nothing, now, out);
}

void ChannelProtocol::storeOutcome(quint64 ticket, bool stored, qint64 now, Actions &out)
{
    // The channel was closed or its connection replaced meanwhile: the
    // terminal sends the record again, and gets its answer then.
    if (m_await != Await::Store || ticket != m_ticket)
        return;
    m_await = Await::None;
    const QByteArray line = std::exchange(m_awaitedLine, QByteArray());
    restartStepIfExchange(now, out);
    if (m_config.ackNak) {
        if (stored)
            finish(kAck, Action::Confirms::Record, now, out);
        else
            finish(kNak, Action::Confirms::Nothing, now, out);
        return;
    }
    if (stored)
        logBytes(out, Action::Entry::Stored, line);
    finish(kNop, Action::Confirms::Nothing, now, out);
}

void ChannelProtocol::syncOutcome(bool synced, qint64 now, Actions &out)
{
    if (m_await != Await::Sync)
        return;
    m_await = Await::None;
    afterSync(synced, now, out);
}

// The "EOF" of a transfer, once its records are synced (or not). Under
// "None" only the EOF of a collector-driven exchange is answered (ACK and
// RMVDATA, after which the terminal deletes its data); a transfer whose sync
// failed is refused with NAK under either protocol, and nothing is removed
// from the terminal.
void ChannelProtocol::afterSync(bool synced, qint64 now, Actions &out)
{
    QByteArray answer = kNop;
    if (!synced && (m_config.ackNak || m_s.Exchange))
        answer = kNak;
    else if (synced && m_config.ackNak)
        answer = kAck;
    if (m_s.Exchange && synced)
        endOfDataStep(answer, now, out);
    finish(answer, synced && answer != kNop ? Action::Confirms::Transfer : Action::Confirms::Nothing, now, out);
}

// The answer of a line: logged and sent ("NOP": none), and what follows it.
void ChannelProtocol::finish(const QByteArray &answer, Action::Confirms confirms, qint64 now, Actions &out)
{
    if (answer != kNop) {
        // On a serial link "PUTFILE1" forbids the overwrite of the next
        // transfer and "PUTFILE5" allows it again.
        if (m_config.link != Link::Tcp && answer.size() >= 8) {
            const QByteArrayView tag = QByteArrayView(answer).sliced(3, 5);
            if (tag == "FILE1")
                add(out, Action::OverwriteAllowed, 0);
            else if (tag == "FILE5")
                add(out, Action::OverwriteAllowed, 1);
        }
        logAnswer(answer, out);
        if (!answer.isEmpty())
            send(out, answer, confirms);
    }
    // After an answer went out while a look-up file is sent: a line must be
    // acknowledged in time; "EOF" ends the sending.
    if (!m_s.SendingFile || answer.startsWith("PUTFILE"))
        return;
    if (answer == "EOF\r") {
        m_s.LineNo = 1;
        m_s.FileEnd = true;
        stopReply(out);
    } else {
        armReply(now, true, out);
    }
}

void ChannelProtocol::logAnswer(const QByteArray &answer, Actions &out)
{
    if (answer.isEmpty())
        return;
    if (answer == kAck)
        logBytes(out, Action::Entry::Fixed, kAckEntry);
    if (answer == kNak)
        logBytes(out, Action::Entry::Fixed, kNakEntry);
    if (answer == kAckBof)
        logBytes(out, Action::Entry::Fixed, kBofEntry);
    if (static_cast<unsigned char>(answer.at(0)) > 32)
        logBytes(out, Action::Entry::Answer, answer);
}

// --- the collector-driven exchange ---

// The step period ran out: the next data file is asked for.
void ChannelProtocol::stepCommand(qint64 now, Actions &out)
{
    if (!m_s.StepActive)
        return;
    if (m_s.Requested) {
        const QString v = m_config.requestedFile ? m_config.requestedFile() : QStringLiteral("0");
        if (!v.isEmpty()) {
            // One data file, as the outside program asked.
            QString why;
            if (m_open && !RegistryExchange::SafeOnWire(v, &why)) {
                // The text would go onto the wire after the command word: a
                // line end in it would make a second command of its own.
                endRequest(QStringLiteral("6"),
                           QStringLiteral("Profilo(%1) holds %2: the request is refused (ID(%1) = 6)")
                               .arg(m_config.channel)
                               .arg(why),
                           now, out);
                return;
            }
            if (m_open) {
                if (m_s.LastCommand.startsWith("PUTFILE"))
                    m_s.FileNo = m_s.FileNo >= 5 ? 1 : m_s.FileNo + 1;
                const QByteArray c = "GETDATA" + v.toLatin1();
                log(out, QStringLiteral(" OUT -> ") + QString::fromLatin1(c));
                m_s.StepActive = false;
                m_s.FileNo = static_cast<int>(NumericValue(v));
                send(out, c + "\r");
                m_s.LastCommand = c;
                m_s.Exchange = true;
                // A requested collection always ends: a terminal that stays
                // silent meets the reply time-out (armed by the first
                // sending; the terminal's characters push it on).
                if (!m_s.AckWait)
                    armReply(now, true, out);
            }
            m_s.StepStart = now;
            return;
        }
    }
    // Automatic collection: the next data file, and the period goes on.
    if (m_open) {
        if (m_s.LastCommand.startsWith("PUTFILE"))
            m_s.FileNo = m_s.FileNo >= 5 ? 1 : m_s.FileNo + 1;
        const QByteArray c = "GETDATA" + QByteArray::number(m_s.FileNo);
        send(out, c + "\r");
        m_s.LastCommand = c;
        m_s.Exchange = true;
    }
    m_s.StepStart = now;
}

void ChannelProtocol::acknowledgementStep(QByteArray &answer, qint64 now, Actions &out)
{
    if (m_s.Exchange && m_s.LastCommand == "putfile") {
        // A look-up file was completed: on to the next data file.
        if (m_s.FileNo < 5) {
            ++m_s.FileNo;
            stepCommand(now, out);
        } else {
            m_s.FileNo = 1;
            m_s.LastCommand.clear();
            m_s.Exchange = false;
            m_s.StepActive = true;
        }
    }
    if (m_s.Exchange && (m_s.LastCommand.startsWith("PUTFILE") || m_s.LastCommand.startsWith("GETDATA")))
        answer = kNop;
    if (m_s.Exchange && m_s.LastCommand.startsWith("RMVDATA")) {
        answer = "PUTFILE" + QByteArray::number(m_s.FileNo) + "\r";
        m_s.LastCommand = answer;
    }
}

void ChannelProtocol::refusalStep(QByteArray &answer, qint64 now, Actions &out)
{
    if (m_s.LastCommand.startsWith("GETDATA")) {
        if (m_s.FileNo > 1)
            --m_s.FileNo;
        m_s.Exchange = false;
        answer = kNak;
        // Nothing to collect: the request has ended.
        endRequest(QStringLiteral("3"),
                   QStringLiteral("Channel %1: the terminal refused %2; the requested collection ends.")
                       .arg(m_config.channel)
                       .arg(QString::fromLatin1(m_s.LastCommand)),
                   now, out);
    }
    if (m_s.LastCommand.startsWith("PUTFILE") || m_s.LastCommand.startsWith("putfile")) {
        m_s.LastCommand.clear();
        if (m_s.FileNo < 5) {
            ++m_s.FileNo;
            stepCommand(now, out);
        } else {
            m_s.FileNo = 1;
            m_s.Exchange = false;
            m_s.StepActive = true;
            m_s.StepStart = now;
        }
    }
}

void ChannelProtocol::endOfDataStep(QByteArray &answer, qint64 now, Actions &out)
{
    const QByteArray c = "RMVDATA" + QByteArray::number(m_s.FileNo) + "\r";
    m_s.LastCommand = c;
    answer = kAck + c;
    endRequest(QStringLiteral("3"), QString(), now, out);
    add(out, Action::EndOfData);
}

void ChannelProtocol::lookupFileStep(QByteArray line, qint64 now, Actions &out)
{
    if (line.size() > 7 && line.startsWith("GETFILE")) {
        m_s.LastCommand = "putfile";
        m_s.FileIndex = qBound(0, static_cast<int>(NumericValue(QString::fromLatin1(line.mid(7)))), 5);
        line = "GETFILE";
        // A new sending starts from the first line of a freshly read file.
        add(out, Action::StartLookup, m_s.FileIndex);
        m_s.LineNo = 1;
        m_s.FileEnd = false;
        m_s.LookupAtEnd = false;
        // A refusal of the opening is answered with the opening, never with
        // a line of an earlier sending.
        m_s.PrevLine = kAck + "BOF";
    }
    if (line == "GETFILE") {
        finish(kAckBof, Action::Confirms::Nothing, now, out);
        return;
    }
    if (line == kAck) {
        if (m_s.FileEnd) {
            add(out, Action::EndLookup, m_s.LookupAtEnd ? 1 : 0);
            m_s.SendingFile = false;
            m_s.FileEnd = false;
            if (m_s.Exchange)
                dispatch(kAck, now, out);
            else
                finish(QByteArray(), Action::Confirms::Nothing, now, out);
            return;
        }
        m_await = Await::LookupLine;
        add(out, Action::ReadLookupLine, m_s.LineNo);
        return;
    }
    // A refused line, or anything else: the last line again.
    finish(m_s.PrevLine + "\r", Action::Confirms::Nothing, now, out);
}

void ChannelProtocol::lookupLine(const QByteArray &line, bool atEnd, qint64 now, Actions &out)
{
    if (m_await != Await::LookupLine)
        return;
    m_await = Await::None;
    m_s.LookupAtEnd = atEnd;
    m_s.NextLine = line;
    ++m_s.LineNo;
    m_s.PrevLine = line;
    finish(line + "\r", Action::Confirms::Nothing, now, out);
}

// --- the step timer, requests, the link ---

void ChannelProtocol::tick(qint64 now, Actions &out)
{
    // A request whose channel was closed cannot be served over it (a TCP
    // connection may still stand, but the channel shows "Paused"): it ends
    // as one whose connection was lost. The reply timer is left alone: a
    // command of the link being opened again may be using it.
    if (m_s.Requested && m_closed) {
        endRequest(QStringLiteral("6"), ClosedText(m_config.channel), now, out, false);
        return;
    }
    // A record waiting for its answer is activity: the step period starts
    // again after that answer.
    if (m_s.StepActive && m_s.StepStart + m_s.StepInterval <= now && m_await != Await::Store) {
        if (m_s.Requested)
            add(out, Action::WriteExchange, 0, QStringLiteral("2"));
        stepCommand(now, out);
    }
}

void ChannelProtocol::replyTimedOut(qint64 now, Actions &out)
{
    // A timer stopped after it ran out, but before the driver said so.
    if (!m_s.AckWait)
        return;
    add(out, Action::ReplyTimedOut);
    m_s.TimedOut = true;
    m_s.AckWait = false;
    m_s.SendingFile = false;
    endRequest(QStringLiteral("6"),
               QStringLiteral("Channel %1: the terminal did not answer the request in time; the requested "
                              "collection ends.")
                   .arg(m_config.channel),
               now, out);
}

void ChannelProtocol::requestAccepted(qint64 now)
{
    m_s.Requested = true;
    m_s.StepStart = now;
    m_s.StepActive = true;
    m_s.Exchange = true;
    m_s.StepInterval = 2000;
}

void ChannelProtocol::endRequest(const QString &code, const QString &why, qint64 now, Actions &out)
{
    endRequest(code, why, now, out, true);
}

void ChannelProtocol::endRequest(const QString &code, const QString &why, qint64 now, Actions &out, bool stopTimer)
{
    if (!m_s.Requested)
        return;
    if (!why.isEmpty())
        log(out, why);
    add(out, Action::EndRequest, 0, code);
    m_s.Requested = false;
    m_s.StepActive = false;
    m_s.Exchange = false;
    m_s.FileNo = 1;
    if (stopTimer)
        stopReply(out);
    resumeAutomatic(now);
}

// A channel with automatic collection goes on collecting at its period.
void ChannelProtocol::resumeAutomatic(qint64 now)
{
    if (m_config.autoPeriod <= 0 || !m_open || m_closed)
        return;
    m_s.StepInterval = m_config.autoPeriod;
    m_s.StepActive = true;
    m_s.StepStart = now;
}

void ChannelProtocol::connected(qint64 now, Actions &out)
{
    m_open = true;
    m_closed = false;
    // Nothing of a link closed before goes on over this one: a partial
    // line, a look-up sending, an outside request (it ends as one whose
    // connection was lost; its terminal was told over the link before).
    dropOutcome();
    m_s.LineBuffer.clear();
    m_s.Overlong = false;
    if (m_s.SendingFile) {
        m_s.SendingFile = false;
        m_s.FileEnd = false;
        add(out, Action::CloseLookup);
    }
    endRequest(QStringLiteral("6"), ClosedText(m_config.channel), now, out);
    stopReply(out);
    m_s.TimedOut = false;
    resumeAutomatic(now);
    if (m_config.link == Link::Serial)
        add(out, Action::Status, qint64(ChannelStatus::RunWait));
    else if (m_config.link == Link::Tcp)
        add(out, Action::Status, qint64(ChannelStatus::TcpReady));
}

void ChannelProtocol::connectionLost(qint64 now, Actions &out)
{
    m_open = false;
    dropOutcome();
    // What was acknowledged so far reaches stable storage.
    add(out, Action::Sync);
    endRequest(
        QStringLiteral("6"),
        QStringLiteral("Channel %1: the requested collection ends: the connection was lost.").arg(m_config.channel),
        now, out);
    m_await = Await::None;
    m_in.clear();
    m_at = 0;
    m_s.LineBuffer.clear();
    m_s.Overlong = false;
    m_s.SendingFile = false;
    m_s.FileEnd = false;
    stopReply(out);
    m_s.Exchange = false;
    m_s.LastCommand.clear();
    m_s.StepActive = false;
    add(out, Action::CloseLookup);
}

void ChannelProtocol::closed()
{
    m_open = false;
    m_closed = true;
    dropOutcome();
    m_s.StepActive = false;
    // What waited for the terminal's reply cannot come over a closed link:
    // a reply timer still running in the driver finds nothing waiting.
    m_s.AckWait = false;
    m_s.SendingFile = false;
    m_s.FileEnd = false;
    m_s.LineBuffer.clear();
    m_s.Overlong = false;
}

void ChannelProtocol::dropOutcome()
{
    if (m_await == Await::Store) {
        m_await = Await::None;
        m_awaitedLine.clear();
        ++m_ticket;
    }
    m_in.clear();
    m_at = 0;
}

} // namespace vx
