// Look-up file sendings that are refused at their opening, "NewFile" targets
// of transfers the terminal starts itself, and a serial port that goes away,
// against the headless collector.
#include "PtyPair.h"
#include "RunningCollector.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "tools/simterm/SimTerminal.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

using namespace vx::test;
using namespace vx::sim;

namespace {

const QByteArray ACK(1, '\x06');
const QByteArray NAK(1, '\x15');

} // namespace

// After a complete sending the collector's last line was "EOF". A terminal
// that refuses the opening of the next sending, or asks again, gets the
// opening again, then the file from its first line; the file is deleted only
// after its last line and its "EOF" were acknowledged.
TEST(LookupFileE2E, RefusedOrRepeatedOpeningStartsTheFileOver)
{
    struct Case {
        const char *name;
        QByteArray afterBof;
    };
    const Case cases[] = {{"NAK to BOF", NAK + "\r"}, {"GETFILE again", "GETFILE1\r"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempHome home;
        writeFile(home.file("list1.txt"), "L1-A\r\nL1-B\r\n");
        writeFile(home.file("list2.txt"), "L2-A\r\n");
        RunningCollector r(home.path(), home.file("ch1.txt"),
                           {{"ExtFile(1)", {{"Name", home.file("list1.txt")}, {"DelAfterSend", " 1"}}},
                            {"ExtFile(2)", {{"Name", home.file("list2.txt")}, {"DelAfterSend", "0"}}}});
        ASSERT_TRUE(r.ready) << r.output();
        SimTerminal &terminal = r.terminal;

        terminal.requestLookupFile(2);
        ASSERT_TRUE(terminal.waitFor(
            [&] { return !terminal.lookupFiles().empty() && terminal.lookupFiles().back().complete; }, 5000));
        terminal.waitFor([] { return false; }, 100);

        EXPECT_EQ(answerOf(terminal, "GETFILE1\r"), ACK + "BOF\r");
        EXPECT_EQ(answerOf(terminal, c.afterBof), ACK + "BOF\r");
        EXPECT_EQ(answerOf(terminal, ACK + "\r"), FramedRecord("L1-A"));
        EXPECT_EQ(answerOf(terminal, ACK + "\r"), FramedRecord("L1-B"));
        EXPECT_EQ(answerOf(terminal, ACK + "\r"), QByteArray("EOF\r"));
        EXPECT_TRUE(QFile::exists(home.file("list1.txt")));
        terminal.sendAck();
        EXPECT_TRUE(waitUntil([&] { return !QFile::exists(home.file("list1.txt")); }, 3000));
        EXPECT_TRUE(QFile::exists(home.file("list2.txt")));
        EXPECT_EQ(r.vendrix.terminate().code, 0);
    }
}

// Under "NewFile" a transfer the terminal starts itself is kept: the next
// "BOF" moves it to its time-stamped name before the target is made again,
// also after a restart of the collector.
TEST(NewFileE2E, TransfersTheTerminalStartsKeepTheirRecords)
{
    TempHome home;
    QDir().mkpath(home.file("data"));
    const QString target = home.file("data/VdxPC.txt");
    SimTerminal terminal;
    ASSERT_TRUE(terminal.listenTcp());
    auto ini = VendrixProcess::TcpChannel(1, terminal.tcpPort(), target);
    ini["DBMS(1)"]["Policy"] = "NewFile";
    { // One run: two transfers the terminal starts.
        VendrixProcess vendrix(home.path());
        ASSERT_TRUE(vendrix.writeIni(ini));
        ASSERT_TRUE(vendrix.start());
        ASSERT_TRUE(terminal.waitFor([&] { return terminal.connectionCount() == 1; }, 10000));
        ASSERT_TRUE(terminal.sendTransfer({"t1-a", "t1-b"}).complete);
        ASSERT_TRUE(terminal.sendTransfer({"t2"}).complete);
        ASSERT_EQ(vendrix.terminate().code, 0);
    }
    { // After a restart.
        VendrixProcess again(home.path());
        ASSERT_TRUE(again.start());
        ASSERT_TRUE(terminal.waitFor([&] { return terminal.connectionCount() == 2; }, 10000));
        ASSERT_TRUE(terminal.sendTransfer({"t3"}).complete);
        ASSERT_EQ(again.terminate().code, 0);
    }

    EXPECT_EQ(readFile(target), QByteArray("t3\r\n"));
    QList<QByteArray> kept;
    for (const QString &name : QDir(home.file("data")).entryList({"VdxPC_*.txt"}, QDir::Files))
        kept << readFile(home.file("data/" + name));
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, QList<QByteArray>({"t1-a\r\nt1-b\r\n", "t2\r\n"}));
}

// A serial port whose device goes away is written to the channel's log, and
// an outside request on it is refused with "6".
TEST(SerialPortE2E, PortThatStopsWorkingIsLogged)
{
    TempHome home;
    auto pair = std::make_unique<PtyPair>();
    ASSERT_TRUE(pair->isReady()) << pair->errorText().toStdString();
    VendrixProcess vendrix(home.path());
    vendrix.setComDevice(1, pair->pcEnd());
    ASSERT_TRUE(vendrix.writeIni({{"Com(1)", {{"Port", "Com1"}}}, {"DBMS(1)", {{"Name", home.file("serial.txt")}}}}));
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 10000));
    pair.reset();
    ASSERT_TRUE(vendrix.waitForOutput(R"(^\[1\] Com1 \(.*\) stopped working: )", 5000))
        << vendrix.outputText().toStdString();
    EXPECT_TRUE(waitUntil([&] { return readFile(vendrix.logPath()).contains("stopped working"); }, 2000));
    const QString id = home.file("exchange/HKEY_CURRENT_USER/DataExchange/ID(1)");
    QDir().mkpath(QFileInfo(id).path());
    writeFile(id, "1\n");
    EXPECT_TRUE(waitUntil([&] { return readFile(id).trimmed() == "6"; }, 3000));
    EXPECT_EQ(vendrix.terminate().code, 0);
}
