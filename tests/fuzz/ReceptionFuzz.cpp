// The reception path on arbitrary bytes: characters in, answers and stored
// records out, over an in-memory serial port (the bytes arrive in chunks and
// are read one character at a time) or an in-memory TCP socket (the chunks
// are the arrivals), on an "ACK/NAK" or a "None" channel, with a text target
// in a temporary home. No message box may block: messages are scripted.
//
// Input: one byte of flags, then the bytes the terminal sends.
//   bit 0    protocol: 0 "ACK/NAK", 1 "None"
//   bit 1    transport: 0 serial, 1 TCP
//   bits 2-4 chunk size (1, 2, 3, 7, 16, 64, 1024 bytes, or all at once)
//   bit 5    the bytes are preceded by 64 KiB + 16 characters without a line
//            end (an overlong line)
//   bit 6    the channel is in a collector-driven exchange ("GETDATA1" sent)
//   bit 7    look-up file 1 exists (so "GETFILE1" sends three lines)
//
// Besides never crashing, hanging or leaking, the answers and the stored
// records must be what a reference model of the framing predicts: lines end
// at CR (and, on serial, at a lone ACK or NAK; LF is dropped), a line longer
// than 64 KiB is dropped and refused, "Connection OK!" at the start of a TCP
// arrival is removed, several lines in one arrival are separate records.
// The model covers the plain reception; inputs that start a look-up file or
// run an exchange are checked for robustness only.
#include "FakeTransportFactory.h"
#include "collector/Collector.h"
#include "platform/Clock.h"
#include "platform/Messenger.h"
#include "platform/Paths.h"
#include "settings/IniStore.h"
#include "settings/Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QList>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

using vx::test::FakeSerialPort;
using vx::test::FakeSocket;

const char kCR = '\r';
const char kLF = '\n';
const char kAck = '\x06';
const char kNak = '\x15';
const QByteArray kGreeting("Connection OK!");

struct World {
    QCoreApplication *app = nullptr;
    QTemporaryDir *home = nullptr;
    QString target;
    QString lookup;
    QString log;
};

World &world()
{
    static World w;
    return w;
}

[[noreturn]] void fail(const char *what, const QByteArray &expected, const QByteArray &actual)
{
    std::fprintf(stderr, "reception fuzz: %s\n  expected: %s\n  actual:   %s\n", what,
                 expected.toPercentEncoding().left(400).constData(), actual.toPercentEncoding().left(400).constData());
    std::abort();
}

// What the reception must do with the bytes, as far as the plain protocol
// goes: the answers sent back and the text stored.
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
            if (line == "BOF" || line == "EOF")
                answers += kAck;
            else if (line == QByteArray(1, kAck))
                ; // an acknowledgement outside an exchange: no answer
            else if (vx::Collector::CheckRecord(line)) {
                answers += kAck;
                stored += line.left(line.size() - 2) + "\r\n";
            } else {
                answers += kNak;
            }
        } else if (line != "BOF" && line != "EOF" && line != QByteArray(1, kAck) && line != QByteArray(1, kNak)) {
            stored += line + "\r\n";
        }
    }

    void character(char c)
    {
        if (overlong)
            return;
        if (buffer.size() >= vx::Collector::kMaxLine) {
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
                if (overlong) {
                    dispatch(line);
                    continue;
                }
                if (!line.isEmpty())
                    dispatch(line);
                continue;
            }
            if (c == kLF)
                continue;
            character(c);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    World &w = world();
    // Settings and targets in a folder of memory where one exists: the
    // settings store syncs every save.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/vx-fuzz-XXXXXX")
                                                                   : QDir::tempPath() + "/vx-fuzz-XXXXXX";
    // Static, so it is removed when the run ends normally.
    static QTemporaryDir home(base);
    w.home = &home;
    qputenv("VENDRIX_HOME", QFile::encodeName(w.home->path()));
    qputenv("VENDRIX_EXCHANGE", QFile::encodeName(w.home->path() + QStringLiteral("/exchange")));
    qputenv("QT_LOGGING_RULES", "*.warning=false");
    w.app = new QCoreApplication(*argc, *argv);
    w.target = w.home->path() + QStringLiteral("/records.txt");
    w.lookup = w.home->path() + QStringLiteral("/lookup1.txt");
    w.log = vx::Paths::dataFile(QStringLiteral("LOG.txt"));

    vx::IniStore store(vx::Paths::settingsFile());
    vx::Settings s = vx::Settings::defaults();
    for (int k = 1; k <= 5; ++k) {
        s.ExtFile[k].Name = w.home->path() + QStringLiteral("/lookup%1.txt").arg(k);
        s.ExtFile[k].DelAfterSend = QStringLiteral("0");
        s.ExtFile[k].IsZucchetti = QStringLiteral(" 0");
    }
    s.ExtFile[2].MaxLenght = QStringLiteral("10");
    vx::SaveSettings(store, s);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    World &w = world();
    const std::uint8_t flags = data[0];
    const bool none = flags & 1;
    const bool tcp = flags & 2;
    static const int kChunks[] = {1, 2, 3, 7, 16, 64, 1024, 0};
    const int chunk = kChunks[(flags >> 2) & 7];
    const bool overlongFirst = flags & 0x20;
    const bool exchange = flags & 0x40;
    const bool lookupThere = flags & 0x80;

    // What arrives, piece by piece: the overlong run (one arrival) first
    // when asked for, then the input in chunks.
    const QByteArray input(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    QList<QByteArray> pieces;
    if (overlongFirst)
        pieces.append(QByteArray(vx::Collector::kMaxLine + 16, 'x'));
    const qsizetype step = chunk > 0 ? chunk : std::max<qsizetype>(1, input.size());
    for (qsizetype at = 0; at < input.size(); at += step)
        pieces.append(input.mid(at, step));

    QFile::remove(w.target);
    QFile::remove(w.log);
    if (lookupThere) {
        QFile f(w.lookup);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write("first line\r\nsecond\nthird without end");
    } else {
        QFile::remove(w.lookup);
    }

    vx::IniStore store(vx::Paths::settingsFile());
    vx::Settings settings = vx::Settings::defaults();
    vx::LoadSettings(store, settings);
    for (int n = 1; n <= 4; ++n)
        settings.Com[n].Port = QStringLiteral("None");
    vx::ChannelSettings &com = settings.Com[1];
    com.ConnProtocol = none ? QStringLiteral("None") : QStringLiteral("ACK/NAK");
    if (tcp) {
        com.ConnType = QStringLiteral("TCP");
        com.IP1 = QStringLiteral("127");
        com.IP2 = QStringLiteral("0");
        com.IP3 = QStringLiteral("0");
        com.IP4 = QStringLiteral("1");
        com.IP5 = QStringLiteral("3000");
    } else {
        com.ConnType = QStringLiteral("Serial");
        com.Port = QStringLiteral("Com1");
    }
    settings.DBMS[1].Name = w.target;
    settings.DBMS[1].Type = QStringLiteral("TXT (*.txt)");

    vx::ManualClock clock;
    vx::ScriptedMessenger messenger;
    vx::test::FakeFactory factory;
    vx::Collector collector(settings, store, messenger, clock, factory);
    vx::Collector::Hooks hooks;
    hooks.terminate = [](int) {}; // never ends the fuzzer
    hooks.showOptions = [] {};
    collector.setHooks(hooks);

    FakeSerialPort &port = *factory.serials.at(0);
    FakeSocket &socket = *factory.sockets.at(0);
    if (tcp)
        socket.setState(vx::Socket::sckConnected);
    else
        collector.SetComm(1);
    if (!tcp && !port.PortOpen())
        fail("the serial channel did not open", "open", "closed");
    if (exchange) {
        vx::ChannelState &s = collector.state(1);
        s.Exchange = true;
        s.LastCommand = "GETDATA1";
        s.FileNo = 1;
    }

    Model model;
    model.ackNak = !none;
    model.serial = !tcp;
    model.outOfScope = exchange;

    for (const QByteArray &piece : pieces) {
        if (tcp) {
            socket.receive(piece);
            if (!model.outOfScope)
                model.tcpArrival(piece);
        } else {
            port.receive(piece);
            if (!model.outOfScope)
                model.serialBytes(piece);
        }
        QCoreApplication::processEvents();
        if (collector.state(1).LineBuffer.size() > vx::Collector::kMaxLine)
            fail("the line buffer passed its limit", QByteArray::number(vx::Collector::kMaxLine),
                 QByteArray::number(collector.state(1).LineBuffer.size()));
    }
    QCoreApplication::processEvents();

    if (!tcp && port.InBufferCount() != 0)
        fail("characters were left unread on the serial port", "0", QByteArray::number(port.InBufferCount()));
    if (!messenger.shown.empty())
        fail("a message was shown", "", messenger.shown.front().text.toUtf8());

    if (!model.outOfScope) {
        const QByteArray answers = tcp ? socket.sent() : port.written();
        if (answers != model.answers)
            fail("the answers differ from the model", model.answers, answers);
        QFile f(w.target);
        const QByteArray stored = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        if (stored != model.stored)
            fail("the stored records differ from the model", model.stored, stored);
    }
    return 0;
}
