// The simulated terminal and its helpers, checked against a trivial PC: a
// plain serial port on the other end of a pty pair, or a plain TCP client.
#include "tools/simterm/SimTerminal.h"
#include "PtyPair.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "platform/CheckCharacters.h"
#include "settings/IniStore.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTcpSocket>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>

using namespace vx::test;
using namespace vx::sim;

namespace {

const QByteArray ACK(1, kAck);
const QByteArray NAK(1, kNak);

// Runs the event loop until the device has delivered bytes containing
// needle (collected into *buffer), or timeoutMs passes.
bool readUntil(QIODevice &device, QByteArray *buffer, const QByteArray &needle, int timeoutMs = 3000)
{
    *buffer += device.readAll();
    if (buffer->contains(needle))
        return true;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&device, &QIODevice::readyRead, &loop, [&] {
        *buffer += device.readAll();
        if (buffer->contains(needle))
            loop.quit();
    });
    timer.start(timeoutMs);
    loop.exec();
    return buffer->contains(needle);
}

void writeNow(QTcpSocket &socket, const QByteArray &bytes)
{
    socket.write(bytes);
    socket.flush();
}

// A TCP client that has connected to the terminal, like the collector does.
std::unique_ptr<QTcpSocket> connectTo(SimTerminal &term)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QStringLiteral("127.0.0.1"), term.tcpPort());
    EXPECT_TRUE(socket->waitForConnected(3000));
    EXPECT_TRUE(term.waitForConnected(3000));
    return socket;
}

} // namespace

TEST(SimTerminalFraming, CheckCharactersAndPercentiles)
{
    EXPECT_EQ(FramedRecord("abc"), QByteArray("abc60\r"));
    EXPECT_EQ(FramedRecord("xyz"), QByteArray("xyz7B\r"));
    EXPECT_EQ(FramedRecord(QByteArray(1, 'A') + 'A'), QByteArray("AA00\r")); // leading zero
    QByteArray text;
    EXPECT_TRUE(SplitCheckedLine("xyz7B", &text));
    EXPECT_EQ(text, QByteArray("xyz"));
    EXPECT_FALSE(SplitCheckedLine("xyz7b")); // the collector must send upper case
    EXPECT_FALSE(SplitCheckedLine("abc61"));
    EXPECT_FALSE(SplitCheckedLine("6"));

    EXPECT_EQ(Percentile({}, 50), 0);
    EXPECT_EQ(Percentile({5, 1, 3, 2, 4}, 50), 3);
    std::vector<qint64> hundred;
    for (int i = 100; i >= 1; --i)
        hundred.push_back(i);
    EXPECT_EQ(Percentile(hundred, 99), 99);
    EXPECT_EQ(Percentile(hundred, 100), 100);

    EXPECT_EQ(SimTerminal::generatedRecord(7, 12), QByteArray("00000007HIJK"));
    EXPECT_EQ(SimTerminal::generatedRecord(123456789, 8), QByteArray("123456789"));
}

TEST(SimTerminalSerial, StopAndWaitOverPtyWithResendOnNak)
{
    auto pty = std::make_unique<PtyPair>();
    ASSERT_TRUE(pty->isReady()) << pty->errorText().toStdString();
    const QString linkA = pty->pcEnd();

    SimTerminal term;
    ASSERT_TRUE(term.openSerial(pty->terminalEnd())) << term.errorText().toStdString();
    EXPECT_TRUE(term.answerSuffix().isEmpty()); // a serial ACK is a line by itself

    QSerialPort pc(pty->pcEnd());
    ASSERT_TRUE(pc.open(QIODevice::ReadWrite)) << pc.errorString().toStdString();
    // The trivial PC: ACK to every line, but NAK the first "xyz7B".
    QByteArray seen;
    int xyzSeen = 0;
    AckOnlyPeer peer(&pc);
    peer.setDecider([&](const QByteArray &line) {
        seen += line + '\r';
        if (line == "xyz7B" && ++xyzSeen == 1)
            return NAK;
        return ACK;
    });

    SimTerminal::SendOptions o;
    o.resendUntilAck = true;
    o.answerTimeoutMs = 2000;
    const SimTerminal::TransferResult r = term.sendTransfer({"abc", "xyz", ""}, o);

    EXPECT_TRUE(r.complete);
    EXPECT_EQ(seen, QByteArray("BOF\rabc60\rxyz7B\rxyz7B\r00\rEOF\r"));
    ASSERT_EQ(r.lines.size(), 5u);
    EXPECT_EQ(r.lines[2].line, QByteArray("xyz7B"));
    EXPECT_EQ(r.lines[2].attempts, 2);
    EXPECT_EQ(r.lines[1].attempts, 1);
    EXPECT_EQ(r.naked, 1);
    EXPECT_EQ(r.resends, 1);
    EXPECT_EQ(r.acked, 5);
    EXPECT_EQ(r.recordCount(), 3);
    EXPECT_EQ(r.latenciesNs().size(), 3u);
    EXPECT_EQ(r.latenciesNs(false).size(), 5u);
    for (const auto &line : r.lines) {
        EXPECT_EQ(line.answer, SimTerminal::Answer::Ack);
        EXPECT_GT(line.latencyNs, 0);
        EXPECT_GE(line.sentNs, r.startNs);
        EXPECT_LE(line.sentNs + line.latencyNs, r.endNs);
    }
    // Every byte the PC sent is recorded, with arrival times in order.
    EXPECT_EQ(term.received(), ACK + ACK + NAK + ACK + ACK + ACK);
    ASSERT_FALSE(term.arrivals().empty());
    for (size_t i = 1; i < term.arrivals().size(); ++i)
        EXPECT_LE(term.arrivals()[i - 1].ns, term.arrivals()[i].ns);
    EXPECT_EQ(term.transcript().first(), QStringLiteral("TRM BOF<CR>"));
    EXPECT_TRUE(term.transcript().contains(QStringLiteral("PC  <NAK>")));

    // Without resending, a NAK is noted and the next line follows; a silent
    // PC ends the transfer at the time-out.
    xyzSeen = 0;
    const SimTerminal::TransferResult r2 = term.sendTransfer({"xyz", "abc"});
    EXPECT_FALSE(r2.complete);
    EXPECT_EQ(r2.lines[1].answer, SimTerminal::Answer::Nak);
    EXPECT_EQ(r2.lines[2].answer, SimTerminal::Answer::Ack);
    EXPECT_EQ(r2.lines[3].answer, SimTerminal::Answer::Ack);

    peer.setDecider([](const QByteArray &) { return QByteArray(); });
    SimTerminal::SendOptions quick;
    quick.answerTimeoutMs = 150;
    const SimTerminal::LineResult silent = term.sendAndWait("BOF", quick);
    EXPECT_EQ(silent.answer, SimTerminal::Answer::Timeout);
    EXPECT_EQ(silent.latencyNs, -1);

    pc.close();
    term.close();
    pty.reset();
    EXPECT_FALSE(QFileInfo::exists(linkA)); // the pair is gone with its object
}

TEST(SimTerminalTcp, GreetingFramingAndLatency)
{
    SimTerminal term;
    term.setGreeting(true);
    ASSERT_TRUE(term.listenTcp()) << term.errorText().toStdString();
    ASSERT_GT(term.tcpPort(), 0);
    auto pc = connectTo(term);
    EXPECT_EQ(term.answerSuffix(), QByteArray("\r")); // a TCP line needs its CR

    QByteArray got;
    ASSERT_TRUE(readUntil(*pc, &got, "Connection OK!\r"));
    EXPECT_EQ(got, QByteArray("Connection OK!\r"));

    auto peer = std::make_unique<AckOnlyPeer>(pc.get());
    QList<QByteArray> records;
    for (int i = 1; i <= 500; ++i)
        records.append(SimTerminal::generatedRecord(i, 50));
    const SimTerminal::TransferResult r = term.sendTransfer(records);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(peer->lineCount(), 502);
    EXPECT_EQ(r.latenciesNs().size(), 500u);
    EXPECT_GT(Percentile(r.latenciesNs(), 50), 0);
    EXPECT_EQ(r.lines[1].line,
              SimTerminal::generatedRecord(1, 50) + vx::XorChecksum(SimTerminal::generatedRecord(1, 50)));

    // Raw sending goes out byte for byte.
    peer.reset();
    pc->readAll();
    QByteArray raw;
    term.sendRaw("ab");
    term.sendRecord("abc");
    term.sendAck();
    ASSERT_TRUE(readUntil(*pc, &raw, "abc60\r" + ACK + "\r"));
    EXPECT_EQ(raw, "ababc60\r" + ACK + "\r");
}

TEST(SimTerminalTcp, ResendsThePendingRecordOnANewConnection)
{
    SimTerminal term;
    ASSERT_TRUE(term.listenTcp());
    auto first = connectTo(term);

    SimTerminal::SendOptions o;
    o.resendUntilAck = true;
    o.bofOnReconnect = true;
    o.answerTimeoutMs = 3000;
    ASSERT_TRUE(term.startTransfer({"one", "two"}, o));

    QByteArray got;
    ASSERT_TRUE(readUntil(*first, &got, "BOF\r"));
    writeNow(*first, ACK);
    ASSERT_TRUE(readUntil(*first, &got, FramedRecord("one")));
    first->abort(); // the collector dies before it answers
    ASSERT_TRUE(term.waitFor([&] { return !term.isConnected(); }, 3000));
    EXPECT_TRUE(term.isSending());

    auto second = connectTo(term);
    EXPECT_EQ(term.connectionCount(), 2);
    AckOnlyPeer peer(second.get());
    ASSERT_TRUE(term.waitFor([&] { return !term.isSending(); }, 3000));
    const SimTerminal::TransferResult &r = term.lastTransfer();
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.lines[1].attempts, 2);
    EXPECT_EQ(r.resends, 1);
    // BOF again, then the record that had no answer, then the rest.
    EXPECT_EQ(peer.lineCount(), 4);
}

TEST(SimTerminalTcp, AnswersTheFileExchange)
{
    SimTerminal term;
    ASSERT_TRUE(term.listenTcp());
    term.setDataFile(1, {"abc", "xyz"});
    term.rules().onPutFile = [](int n) {
        SimTerminal::PutFileReply reply;
        if (n == 1) {
            reply.kind = SimTerminal::PutFileReply::GetFile;
            reply.file = 3;
        } else {
            reply.kind = SimTerminal::PutFileReply::Nak;
        }
        return reply;
    };
    auto pc = connectTo(term);
    QByteArray got;

    // GETDATA1: the file, stop-and-wait; the ACK to EOF comes with RMVDATA1.
    writeNow(*pc, "GETDATA1\r");
    ASSERT_TRUE(readUntil(*pc, &got, "BOF\r"));
    writeNow(*pc, ACK);
    ASSERT_TRUE(readUntil(*pc, &got, "abc60\r"));
    writeNow(*pc, NAK);
    ASSERT_TRUE(readUntil(*pc, &got, "abc60\rabc60\r")); // resent until ACK
    writeNow(*pc, ACK);
    ASSERT_TRUE(readUntil(*pc, &got, "xyz7B\r"));
    writeNow(*pc, ACK);
    ASSERT_TRUE(readUntil(*pc, &got, "EOF\r"));
    EXPECT_TRUE(term.hasDataFile(1)); // kept until RMVDATA
    writeNow(*pc, ACK + "RMVDATA1\r");
    ASSERT_TRUE(readUntil(*pc, &got, "EOF\r" + ACK + "\r"));
    EXPECT_FALSE(term.hasDataFile(1));
    EXPECT_EQ(term.removedFiles(), QList<int>{1});
    EXPECT_EQ(term.sentFiles(), QList<int>{1});

    // PUTFILE1 by rule: GETFILE3, then the look-up lines.
    got.clear();
    writeNow(*pc, "PUTFILE1\r");
    ASSERT_TRUE(readUntil(*pc, &got, "GETFILE3\r"));
    EXPECT_TRUE(term.receivingLookup());
    writeNow(*pc, ACK + "BOF\r");
    ASSERT_TRUE(readUntil(*pc, &got, "GETFILE3\r" + ACK + "\r"));
    writeNow(*pc, "ABC" + vx::XorChecksum("ABC") + "\r");
    ASSERT_TRUE(readUntil(*pc, &got, "GETFILE3\r" + ACK + "\r" + ACK + "\r"));
    writeNow(*pc, "DEF00\r"); // wrong check characters: refused
    ASSERT_TRUE(readUntil(*pc, &got, NAK + "\r"));
    writeNow(*pc, "DEF" + vx::XorChecksum("DEF") + "\rEOF\r");
    ASSERT_TRUE(term.waitFor([&] { return !term.receivingLookup(); }, 3000));
    ASSERT_EQ(term.lookupFiles().size(), 1u);
    const SimTerminal::LookupFile &f = term.lookupFiles().front();
    EXPECT_EQ(f.number, 3);
    EXPECT_TRUE(f.complete);
    EXPECT_EQ(f.lines, (QList<QByteArray>{"ABC", "DEF"}));
    EXPECT_EQ(f.badChecks, 1);
    EXPECT_EQ(f.naked, 1);
    EXPECT_EQ(f.lineNs.size(), 2u);

    // PUTFILE2 refused by rule; GETDATA2 with no such file: NAK.
    got.clear();
    writeNow(*pc, "PUTFILE2\r");
    ASSERT_TRUE(readUntil(*pc, &got, NAK + "\r"));
    got.clear();
    writeNow(*pc, "GETDATA2\r");
    ASSERT_TRUE(readUntil(*pc, &got, NAK + "\r"));
    EXPECT_EQ(got, NAK + "\r");

    // Modem commands: OK, then the numeric form, then silence.
    got.clear();
    writeNow(*pc, "ATZ\r");
    ASSERT_TRUE(readUntil(*pc, &got, "OK\r\n"));
    term.rules().modemReply = SimTerminal::ModemReply::Zero;
    writeNow(*pc, "AT&F\r");
    ASSERT_TRUE(readUntil(*pc, &got, "0\r\n"));
    term.rules().modemReply = SimTerminal::ModemReply::Silent;
    writeNow(*pc, "ATS0=1\r");
    ASSERT_TRUE(term.waitFor([&] { return term.modemCommands().size() == 3; }, 3000));
    term.sendConnect();
    ASSERT_TRUE(readUntil(*pc, &got, "CONNECT 9600\r"));
    EXPECT_EQ(got, QByteArray("OK\r\n0\r\nCONNECT 9600\r"));
    EXPECT_EQ(term.modemCommands(), (QList<QByteArray>{"ATZ", "AT&F", "ATS0=1"}));
}

TEST(VendrixProcessTest, EnvironmentIniOutputAndStopping)
{
    TempHome home;
    VendrixProcess proc(home.path());
    ASSERT_TRUE(
        proc.writeIni({{"Com(1)", {{"ConnType", "TCP"}, {"IP5", "4001"}}}, {"ExtFile(1)", {{"DelAfterSend", " 1"}}}}));
    vx::IniStore ini(proc.iniPath());
    EXPECT_EQ(ini.keyCount(), 3);
    EXPECT_EQ(ini.read("Com(1)", "IP5", ""), QStringLiteral("4001"));
    EXPECT_EQ(ini.read("ExtFile(1)", "DelAfterSend", ""), QStringLiteral(" 1"));
    // A second write keeps what is there.
    ASSERT_TRUE(proc.writeIni({{"Com(1)", {{"IP5", "4002"}}}}));
    EXPECT_EQ(ini.read("Com(1)", "IP5", ""), QStringLiteral("4002"));
    EXPECT_EQ(ini.read("Com(1)", "ConnType", ""), QStringLiteral("TCP"));

    // A stand-in program shows the environment and stops on SIGTERM.
    qputenv("VENDRIX_COM2", "/dev/leaked");
    proc.setProgram(QStringLiteral("/bin/sh"));
    proc.setArguments(
        {QStringLiteral("-c"), QStringLiteral("trap 'echo bye; exit 3' TERM; echo \"home=$VENDRIX_HOME\"; "
                                              "echo \"com1=$VENDRIX_COM1 com2=$VENDRIX_COM2\"; echo err >&2; "
                                              "while :; do sleep 0.05; done")});
    proc.setComDevice(1, QStringLiteral("/tmp/ptyA"));
    ASSERT_TRUE(proc.start()) << proc.errorText().toStdString();
    qunsetenv("VENDRIX_COM2");
    EXPECT_GE(proc.waitForLine(QRegularExpression("^com1="), 3000), 0);
    EXPECT_TRUE(proc.lines().contains(QStringLiteral("home=") + home.path()));
    EXPECT_TRUE(proc.lines().contains(QStringLiteral("com1=/tmp/ptyA com2=")));
    EXPECT_TRUE(proc.waitForOutput(QStringLiteral("^err$"), 3000));
    EXPECT_EQ(proc.waitForLine(QRegularExpression("never"), 50), -1);
    const VendrixProcess::Exit e = proc.terminate(3000);
    EXPECT_TRUE(e.ended);
    EXPECT_FALSE(e.crashed);
    EXPECT_EQ(e.code, 3);
    EXPECT_TRUE(proc.lines().contains(QStringLiteral("bye")));

    proc.setArguments({QStringLiteral("-c"), QStringLiteral("trap '' TERM; while :; do sleep 0.05; done")});
    ASSERT_TRUE(proc.start());
    const VendrixProcess::Exit k = proc.kill(3000);
    EXPECT_TRUE(k.ended);
    EXPECT_TRUE(k.crashed);
    EXPECT_FALSE(proc.isRunning());
}

TEST(SimtermProgram, SendAgainstTheAckOnlyPeer)
{
    // simterm send listens, simterm ackpeer connects: the benchmark baseline.
    QProcess send;
    send.start(programDir() + "/vendrix-simterm",
               {"send", "--listen", "--records", "300", "--length", "20", "--wait-connect", "5000"});
    ASSERT_TRUE(send.waitForStarted(3000));
    QByteArray out;
    ASSERT_TRUE(readUntil(send, &out, "\n"));
    const QRegularExpressionMatch m = QRegularExpression("^LISTENING (\\d+)").match(QString::fromLatin1(out));
    ASSERT_TRUE(m.hasMatch()) << out.constData();

    QProcess peer;
    peer.start(programDir() + "/vendrix-simterm", {"ackpeer", "--connect", "127.0.0.1:" + m.captured(1)});
    ASSERT_TRUE(peer.waitForStarted(3000));
    ASSERT_TRUE(send.waitForFinished(10000));
    out += send.readAll();
    EXPECT_EQ(send.exitCode(), 0) << out.constData();
    EXPECT_TRUE(out.contains("SUMMARY mode=send records=300 acked=300 naks=0 timeouts=0")) << out.constData();
    EXPECT_TRUE(out.contains("complete=1"));
    EXPECT_TRUE(QRegularExpression("latency_median_us=\\d+\\.\\d latency_p99_us=\\d+\\.\\d")
                    .match(QString::fromLatin1(out))
                    .hasMatch());

    // The terminal closed the connection: the peer ends and counts its lines.
    ASSERT_TRUE(peer.waitForFinished(5000));
    EXPECT_TRUE(peer.readAll().contains("SUMMARY mode=ackpeer lines=302"));
}
