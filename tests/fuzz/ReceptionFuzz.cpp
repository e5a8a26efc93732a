// The channel protocol on arbitrary bytes: characters in (in chunks, as a
// serial port or a TCP socket delivers them), actions out, on an "ACK/NAK"
// or a "None" channel. This file plays the driver: it stores records in
// memory (refusing those that start with '#', as a full disk would), syncs,
// and reads look-up lines from a fixed file.
//
// Input: one byte of flags, then the bytes the terminal sends.
//   bit 0    protocol: 0 "ACK/NAK", 1 "None"
//   bit 1    link: 0 serial, 1 TCP
//   bits 2-4 chunk size (1, 2, 3, 7, 16, 64, 1024 bytes, or all at once)
//   bit 5    the bytes are preceded by 64 KiB + 16 characters without a line
//            end (an overlong line)
//   bit 6    the channel is in a collector-driven exchange ("GETDATA1" sent)
//            and the step timer ticks between the chunks
//   bit 7    the look-up file has three lines (else none)
//
// Besides never crashing, hanging or leaking, no answer may confirm a record
// the store did not report stored, the line being assembled stays bounded,
// the reply timer this driver keeps runs exactly while the protocol awaits a
// reply,
// and the answers and the stored records must be what a reference model of
// the framing predicts: lines end at CR (and, on serial, at a lone ACK or
// NAK; LF is dropped), a line longer than 64 KiB is dropped and refused,
// "Connection OK!" at the start of a TCP arrival is removed, several lines in
// one arrival are separate records. The model covers the plain reception;
// inputs that start a look-up file or run an exchange are checked for
// robustness only.
#include "collector/ChannelProtocol.h"

#include <QByteArray>
#include <QList>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using vx::ChannelProtocol;
using Action = ChannelProtocol::Action;

const char kCR = '\r';
const char kLF = '\n';
const char kAck = '\x06';
const char kNak = '\x15';
const QByteArray kGreeting("Connection OK!");

[[noreturn]] void fail(const char *what, const QByteArray &expected, const QByteArray &actual)
{
    std::fprintf(stderr, "reception fuzz: %s\n  expected: %s\n  actual:   %s\n", what,
                 expected.toPercentEncoding().left(400).constData(), actual.toPercentEncoding().left(400).constData());
    std::abort();
}

bool Refused(const QByteArray &record)
{
    return record.startsWith('#');
}

// What the reception must do with the bytes, as far as the plain protocol
// goes: the answers sent back and the records stored.
struct Model {
    bool ackNak = true;
    bool serial = true;
    QByteArray buffer;
    bool overlong = false;
    QByteArray answers;
    QByteArray stored;
    bool outOfScope = false; // a look-up file or an exchange step was started

    void dispatch(QByteArray line)
    {
        if (overlong) {
            overlong = false;
            if (ackNak)
                answers += kNak;
            return;
        }
        if (serial && line == QByteArray(1, kNak))
            line = QByteArray(1, kAck);
        if (line.size() > 7 && line.startsWith("GETFILE")) {
            outOfScope = true;
            return;
        }
        if (ackNak) {
            if (line == "BOF" || line == "EOF") {
                answers += kAck;
            } else if (line == QByteArray(1, kAck)) {
                // an acknowledgement outside an exchange: no answer
            } else if (ChannelProtocol::CheckRecord(line) && !Refused(line)) {
                answers += kAck;
                stored += line.left(line.size() - 2) + "\r\n";
            } else {
                answers += kNak;
            }
        } else if (line != "BOF" && line != "EOF" && line != QByteArray(1, kAck) && line != QByteArray(1, kNak)
                   && !Refused(line)) {
            stored += line + "\r\n";
        }
    }

    void character(char c)
    {
        if (overlong)
            return;
        if (buffer.size() >= ChannelProtocol::kMaxLine) {
            buffer.clear();
            overlong = true;
            return;
        }
        buffer += c;
    }

    void serialBytes(const QByteArray &bytes)
    {
        for (const char c : bytes) {
            if (c == kLF)
                continue;
            if (c == kCR || c == kAck || c == kNak) {
                QByteArray line = buffer;
                if (c != kCR)
                    line += c;
                buffer.clear();
                dispatch(line);
                continue;
            }
            character(c);
        }
    }

    void tcpArrival(QByteArray bytes)
    {
        if (bytes.size() >= 14) {
            if (bytes.startsWith(kGreeting)) {
                bytes = bytes.mid(15);
                buffer.clear();
            } else if (bytes.mid(2, 14) == kGreeting) {
                bytes = bytes.mid(18);
                buffer.clear();
            }
        }
        for (const char c : bytes) {
            if (c == kCR) {
                const QByteArray line = buffer;
                buffer.clear();
                if (overlong || !line.isEmpty())
                    dispatch(line);
                continue;
            }
            if (c == kLF)
                continue;
            character(c);
        }
    }
};

// The driver's part: what the protocol asks for, done in memory.
struct Driver {
    explicit Driver(ChannelProtocol &protocol) : p(protocol) {}
    ChannelProtocol &p;
    bool lookupLines = false;
    QByteArray answers;
    QByteArray stored;
    bool reportedStored = false;
    bool reportedSynced = false;
    bool timerArmed = false;
    qint64 deadline = 0;

    void apply(ChannelProtocol::Actions &actions, qint64 now)
    {
        for (size_t i = 0; i < actions.size(); ++i) {
            const Action a = actions[i];
            switch (a.kind) {
            case Action::Send:
                if (a.confirms == Action::Confirms::Record && !std::exchange(reportedStored, false))
                    fail("a record was acknowledged without being stored", "", a.bytes);
                if (a.confirms == Action::Confirms::Transfer && !std::exchange(reportedSynced, false))
                    fail("a transfer was acknowledged without its sync", "", a.bytes);
                answers += a.bytes;
                break;
            case Action::Store: {
                const bool ok = !Refused(a.bytes);
                if (ok)
                    stored += a.bytes + "\r\n";
                reportedStored = ok;
                p.storeOutcome(quint64(a.number), ok, now, actions);
                break;
            }
            case Action::Sync:
                reportedSynced = true;
                p.syncOutcome(true, now, actions);
                break;
            case Action::ArmReplyTimer:
                timerArmed = true;
                deadline = a.number;
                break;
            case Action::StopReplyTimer:
                timerArmed = false;
                break;
            case Action::ReadLookupLine: {
                static const QByteArray lines[] = {"first line", "second", "third without end"};
                const qint64 k = a.number;
                const bool there = lookupLines && k >= 1 && k <= 3;
                p.lookupLine(there ? lines[k - 1] + "00" : QByteArray("EOF"), !there, now, actions);
                break;
            }
            default:
                break;
            }
        }
        if (timerArmed != p.state().AckWait)
            fail("the reply timer and the protocol's wait for a reply differ", QByteArray::number(p.state().AckWait),
                 QByteArray::number(timerArmed));
    }

    // The step timer, then the reply timer when it ran out.
    void tick(qint64 now)
    {
        ChannelProtocol::Actions actions;
        p.tick(now, actions);
        apply(actions, now);
        if (timerArmed && deadline <= now) {
            timerArmed = false;
            actions.clear();
            p.replyTimedOut(now, actions);
            apply(actions, now);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t flags = data[0];
    const bool none = flags & 1;
    const bool tcp = flags & 2;
    static const int kChunks[] = {1, 2, 3, 7, 16, 64, 1024, 0};
    const int chunk = kChunks[(flags >> 2) & 7];
    const bool overlongFirst = flags & 0x20;
    const bool exchange = flags & 0x40;

    // What arrives, piece by piece: the overlong run (one arrival) first
    // when asked for, then the input in chunks.
    const QByteArray input(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    QList<QByteArray> pieces;
    if (overlongFirst)
        pieces.append(QByteArray(ChannelProtocol::kMaxLine + 16, 'x'));
    const qsizetype step = chunk > 0 ? chunk : std::max<qsizetype>(1, input.size());
    for (qsizetype at = 0; at < input.size(); at += step)
        pieces.append(input.mid(at, step));

    ChannelProtocol::Config config;
    config.link = tcp ? ChannelProtocol::Link::Tcp : ChannelProtocol::Link::Serial;
    config.ackNak = !none;
    config.replyTimeout = 10000;
    config.autoPeriod = exchange ? 300 : 0;
    config.requestedFile = [] { return QStringLiteral("1"); };
    ChannelProtocol p(config);
    ChannelProtocol::Actions opening;
    p.connected(0, opening);
    if (exchange) {
        p.state().Exchange = true;
        p.state().LastCommand = "GETDATA1";
        p.state().FileNo = 1;
        p.requestAccepted(0);
    }
    Driver driver{p};
    driver.lookupLines = flags & 0x80;

    Model model;
    model.ackNak = !none;
    model.serial = !tcp;
    model.outOfScope = exchange;

    qint64 now = 0;
    ChannelProtocol::Actions actions;
    for (const QByteArray &piece : pieces) {
        now += 100;
        actions.clear();
        p.receive(piece, now, actions);
        driver.apply(actions, now);
        if (!model.outOfScope) {
            if (tcp)
                model.tcpArrival(piece);
            else
                model.serialBytes(piece);
        }
        for (;;) {
            actions.clear();
            if (!p.next(now, actions))
                break;
            driver.apply(actions, now);
        }
        if (exchange)
            driver.tick(now);
        if (p.state().LineBuffer.size() > ChannelProtocol::kMaxLine)
            fail("the line buffer passed its limit", QByteArray::number(ChannelProtocol::kMaxLine),
                 QByteArray::number(p.state().LineBuffer.size()));
    }

    if (!model.outOfScope) {
        if (driver.answers != model.answers)
            fail("the answers differ from the model", model.answers, driver.answers);
        if (driver.stored != model.stored)
            fail("the stored records differ from the model", model.stored, driver.stored);
    }
    return 0;
}
