// Hostile and idle conditions, with the real program headless:
//  - a peer that sends 100 MB without a CR keeps the collector's memory
//    bounded, and the next good record is stored;
//  - characters on serial channels (real pseudo-terminals) are answered as
//    soon as their line is complete, without waiting for a later arrival,
//    also when two channels receive at the same moment;
//  - four open channels with no traffic cost next to no CPU.
#include "PtyPair.h"
#include "RunningCollector.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "tools/simterm/SimTerminal.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

using namespace vx::test;
using namespace vx::sim;

namespace {

// User plus system CPU time of a process, in clock ticks; -1 when unknown.
qint64 CpuTicks(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    // Fields after the command name (which may hold blanks) in parentheses:
    // state is field 3, utime 14, stime 15.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return fields[11].toLongLong() + fields[12].toLongLong();
}

} // namespace

TEST(ReliabilityE2E, HundredMegabytesWithoutCrKeepMemoryBounded)
{
    TempHome home;
    // Plain sockets, so the test itself feeds the bytes as fast as the
    // collector takes them without holding 100 MB in memory.
    RawTerminal t;
    ASSERT_TRUE(t.listen());
    VendrixProcess vendrix(home.path());
    ASSERT_TRUE(vendrix.writeIni(VendrixProcess::TcpChannel(1, t.server.serverPort(), home.file("records.txt"))));
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(t.accept());
    ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 15000));
    QTcpSocket *peer = t.socket.get();
    ASSERT_EQ(t.exchange("BOF\r"), QByteArray(1, kAck));

    const qint64 total = 100LL * 1024 * 1024;
    const QByteArray chunk(256 * 1024, 'z');
    qint64 sent = 0;
    qint64 peakRss = 0;
    while (sent < total) {
        // Keep at most a few chunks in flight: the pace is the collector's.
        if (peer->bytesToWrite() < 4 * chunk.size()) {
            peer->write(chunk);
            sent += chunk.size();
        } else {
            peer->waitForBytesWritten(1000);
        }
        peakRss = std::max(peakRss, ProcStatusKb(vendrix.pid(), "VmRSS"));
        ASSERT_TRUE(peer->state() == QAbstractSocket::ConnectedState) << "the collector dropped the connection";
    }
    // The CR ends the overlong line: it is dropped and refused; the record
    // after it is stored.
    EXPECT_EQ(t.exchange("\r"), QByteArray(1, kNak));
    EXPECT_EQ(t.record("after the flood"), QByteArray(1, kAck));
    EXPECT_EQ(t.exchange("EOF\r"), QByteArray(1, kAck));
    const qint64 hwm = ProcStatusKb(vendrix.pid(), "VmHWM");
    std::printf("collector memory: peak VmRSS seen %lld kB, VmHWM %lld kB\n", static_cast<long long>(peakRss),
                static_cast<long long>(hwm));
    EXPECT_GT(hwm, 0);
    if (!kAddressSanitizer) {
        EXPECT_LT(hwm, 64 * 1024) << "the collector's resident memory peaked above 64 MB";
    }
    EXPECT_EQ(readFile(home.file("records.txt")), QByteArray("after the flood\r\n"));
    EXPECT_TRUE(readFile(vendrix.logPath()).contains("line longer than"));
    EXPECT_FALSE(vendrix.terminate().crashed);
}

TEST(ReliabilityE2E, SerialLinesAreAnsweredWithoutWaitingForLaterCharacters)
{
    TempHome home;
    PtyPair first;
    PtyPair second;
    ASSERT_TRUE(first.isReady()) << first.errorText().toStdString();
    ASSERT_TRUE(second.isReady()) << second.errorText().toStdString();
    VendrixProcess vendrix(home.path());
    vendrix.setComDevice(1, first.pcEnd());
    vendrix.setComDevice(2, second.pcEnd());
    // Channel 2 writes into SQLite, so its handler takes a while longer and
    // the two channels' arrivals overlap.
    ASSERT_TRUE(vendrix.writeIni({
        {"Com(1)", {{"Port", "Com1"}, {"Speed", "115200"}}},
        {"Com(2)", {{"Port", "Com2"}, {"Speed", "115200"}}},
        {"DBMS(1)", {{"Name", home.file("one.txt")}}},
        {"DBMS(2)", {{"Name", home.file("two.mdb")}, {"Type", "Access 2.0 (*.mdb)"}}},
    }));
    SimTerminal one;
    SimTerminal two;
    ASSERT_TRUE(one.openSerial(first.terminalEnd())) << one.errorText().toStdString();
    ASSERT_TRUE(two.openSerial(second.terminalEnd())) << two.errorText().toStdString();
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 15000)) << vendrix.outputText().toStdString();

    // A record trickling in character by character: the ACK follows its CR,
    // with nothing arriving after it.
    ASSERT_EQ(one.sendAndWait("BOF").answer, SimTerminal::Answer::Ack);
    const QByteArray line = FramedRecord("slowly typed");
    const qsizetype before = one.received().size();
    for (const char c : line) {
        one.sendRaw(QByteArray(1, c));
        waitUntil([] { return false; }, 15);
    }
    EXPECT_TRUE(one.waitFor([&] { return one.received().size() > before; }, 2000))
        << "the complete line was not answered";
    EXPECT_EQ(one.received().mid(before), QByteArray(1, kAck));

    // Both channels at once, stop-and-wait: a line whose characters were
    // left waiting would never be answered (the terminal sends nothing more
    // until it is), and its transfer would end with a time-out.
    QList<QByteArray> records1;
    QList<QByteArray> records2;
    for (int i = 1; i <= 200; ++i) {
        records1.append("one " + QByteArray::number(i));
        records2.append("two " + QByteArray::number(i));
    }
    SendOptions o;
    o.answerTimeoutMs = 3000;
    ASSERT_TRUE(one.startTransfer(records1, o));
    ASSERT_TRUE(two.startTransfer(records2, o));
    ASSERT_TRUE(waitUntil([&] { return !one.isSending() && !two.isSending(); }, 60000));
    EXPECT_TRUE(one.lastTransfer().complete) << "time-outs: " << one.lastTransfer().timeouts;
    EXPECT_TRUE(two.lastTransfer().complete) << "time-outs: " << two.lastTransfer().timeouts;
    EXPECT_EQ(one.lastTransfer().timeouts + two.lastTransfer().timeouts, 0);

    const QByteArray stored = readFile(home.file("one.txt"));
    EXPECT_TRUE(stored.startsWith("slowly typed\r\none 1\r\n"));
    EXPECT_TRUE(stored.endsWith("one 200\r\n"));
    EXPECT_FALSE(vendrix.terminate().crashed);
}

TEST(ReliabilityE2E, IdleCollectorWithFourOpenChannelsUsesNoCpu)
{
    TempHome home;
    SimTerminal tcp1;
    SimTerminal tcp2;
    ASSERT_TRUE(tcp1.listenTcp());
    ASSERT_TRUE(tcp2.listenTcp());
    PtyPair pair3;
    PtyPair pair4;
    ASSERT_TRUE(pair3.isReady()) << pair3.errorText().toStdString();
    ASSERT_TRUE(pair4.isReady()) << pair4.errorText().toStdString();
    SimTerminal serial3;
    SimTerminal serial4;
    ASSERT_TRUE(serial3.openSerial(pair3.terminalEnd()));
    ASSERT_TRUE(serial4.openSerial(pair4.terminalEnd()));

    VendrixProcess vendrix(home.path());
    vendrix.setComDevice(3, pair3.pcEnd());
    vendrix.setComDevice(4, pair4.pcEnd());
    VendrixProcess::Ini ini = VendrixProcess::Merged(VendrixProcess::TcpChannel(1, tcp1.tcpPort()),
                                                     VendrixProcess::TcpChannel(2, tcp2.tcpPort()));
    ini["Com(3)"] = {{"Port", "Com3"}, {"Speed", "115200"}};
    ini["Com(4)"] = {{"Port", "Com4"}, {"Speed", "115200"}};
    for (int n = 1; n <= 4; ++n)
        ini[QStringLiteral("DBMS(%1)").arg(n)] = {{"Name", home.file(QStringLiteral("ch%1.txt").arg(n))}};
    ASSERT_TRUE(vendrix.writeIni(ini));
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(tcp1.waitForConnected(15000));
    ASSERT_TRUE(tcp2.waitForConnected(15000));
    ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 15000)) << vendrix.outputText().toStdString();

    // All four channels are open: each answers a line.
    for (SimTerminal *t : {&tcp1, &tcp2, &serial3, &serial4})
        ASSERT_EQ(t->sendAndWait("BOF").answer, SimTerminal::Answer::Ack);

    waitUntil([] { return false; }, 1000); // the answers' aftermath settles
    const qint64 pid = vendrix.pid();
    const qint64 ticksBefore = CpuTicks(pid);
    const qint64 measuredMs = 10000;
    waitUntil([] { return false; }, int(measuredMs));
    const qint64 ticksAfter = CpuTicks(pid);
    ASSERT_GE(ticksBefore, 0);
    ASSERT_GE(ticksAfter, ticksBefore);
    const double cpuSeconds = double(ticksAfter - ticksBefore) / double(::sysconf(_SC_CLK_TCK));
    const double share = 100.0 * cpuSeconds / (double(measuredMs) / 1000.0);
    std::printf("idle collector: %.3f s of CPU over %.0f s, %.2f %% of one core\n", cpuSeconds,
                double(measuredMs) / 1000.0, share);
    EXPECT_LT(share, 1.0);
    EXPECT_FALSE(vendrix.terminate().crashed);
}
