#include "PtyPair.h"
#include "RunningCollector.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "platform/CheckCharacters.h"
#include "tools/simterm/SimTerminal.h"

#include <QElapsedTimer>
#include <QFile>
#include <gtest/gtest.h>

using namespace vx::test;
using namespace vx::sim;

namespace {

const QByteArray ACK(1, '\x06');
const QByteArray NAK(1, '\x15');

} // namespace

TEST(CollectionE2E, TcpTerminalIsAnsweredAndStored)
{
    TempHome home;
    RunningCollector r(home.path());
    SimTerminal &terminal = r.terminal;
    VendrixProcess &vendrix = r.vendrix;
    terminal.setGreeting(true, 300);
    ASSERT_TRUE(r.start(home.file("tcp.txt"))) << r.output();

    EXPECT_EQ(answerOf(terminal, "BOF\r"), ACK);
    EXPECT_EQ(answerOf(terminal, "abc60\r"), ACK);
    EXPECT_EQ(answerOf(terminal, "abc61\r"), NAK);
    // Two records in one segment: two records, two answers.
    EXPECT_EQ(answerOf(terminal, FramedRecord("one") + FramedRecord("two")), ACK + ACK);
    EXPECT_EQ(answerOf(terminal, "EOF\r"), ACK);

    EXPECT_EQ(readFile(home.file("tcp.txt")), QByteArray("abc\r\none\r\ntwo\r\n"));
    const QByteArray log = readFile(vendrix.logPath());
    EXPECT_TRUE(LogMessages(log).contains("IN   <- abc60\n OUT -> ACK, Record accepted\n"));
    EXPECT_FALSE(log.contains("Connection OK!"));
    EXPECT_TRUE(vendrix.outputText().contains("IN   <- abc61"));

    const auto exit = vendrix.terminate();
    EXPECT_TRUE(exit.ended);
    EXPECT_FALSE(exit.crashed);
    EXPECT_EQ(exit.code, 0);
}

TEST(CollectionE2E, SerialTerminalsOnPseudoTerminals)
{
    TempHome home;
    PtyPair ackPair;
    PtyPair nonePair;
    ASSERT_TRUE(ackPair.isReady()) << ackPair.errorText().toStdString();
    ASSERT_TRUE(nonePair.isReady()) << nonePair.errorText().toStdString();
    VendrixProcess vendrix(home.path());
    vendrix.setComDevice(1, ackPair.pcEnd());
    vendrix.setComDevice(2, nonePair.pcEnd());
    ASSERT_TRUE(vendrix.writeIni({
        {"Com(1)", {{"Port", "Com1"}, {"Speed", "19200"}, {"Parity", "Pari"}, {"DataBits", "7"}, {"StopBits", "2"}}},
        {"Com(2)", {{"Port", "Com2"}, {"ConnProtocol", "None"}, {"Speed", "115200"}}},
        {"DBMS(1)", {{"Name", home.file("serial.txt")}}},
        {"DBMS(2)", {{"Name", home.file("none.txt")}, {"Type", "CSV (*.csv)"}, {"SepCode", ";"}}},
    }));
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 10000));

    SimTerminal ack;
    ASSERT_TRUE(ack.openSerial(ackPair.terminalEnd(), 19200));
    EXPECT_EQ(answerOf(ack, "BOF\r"), ACK);
    EXPECT_EQ(answerOf(ack, "ab\ncd" + vx::XorChecksum("abcd") + "\r"), ACK); // LF dropped
    EXPECT_EQ(answerOf(ack, "abc61\r"), NAK);
    EXPECT_EQ(answerOf(ack, "EOF\r"), ACK);
    EXPECT_EQ(readFile(home.file("serial.txt")), QByteArray("abcd\r\n"));

    SimTerminal none;
    ASSERT_TRUE(none.openSerial(nonePair.terminalEnd(), 115200));
    none.sendRaw("BOF\ra;b;c\rEOF\r");
    ASSERT_TRUE(waitUntil([&] { return readFile(home.file("none.txt")).contains("a,b,c"); }, 3000));
    none.waitFor([] { return false; }, 200);
    EXPECT_TRUE(none.received().isEmpty()); // nothing is ever sent back
    EXPECT_EQ(readFile(home.file("none.txt")), QByteArray("a,b,c\r\n"));

    // The settings text shows the parity letter of "Pari": even.
    EXPECT_TRUE(vendrix.terminate().code == 0);
}

TEST(CollectionE2E, FreshHomeGetsSettingsTargetsAndLog)
{
    TempHome home;
    VendrixProcess vendrix(home.path());
    vendrix.setComDevice(1, home.file("no-such-device"));
    ASSERT_TRUE(vendrix.writeIni({{"DBMS(1)", {{"Type", "Access 2.0 (*.mdb)"}, {"Name", home.file("target.mdb")}}}}));
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 10000));
    const auto exit = vendrix.terminate();
    EXPECT_EQ(exit.code, 0);

    const QByteArray ini = readFile(home.file("Vendrix.ini"));
    EXPECT_TRUE(ini.contains("[Com(1)]\nConnProtocol=ACK/NAK\nAuto=0\n"));
    EXPECT_TRUE(ini.contains("[Misc]\n"));
    // The database target is created from its template; text targets are
    // created by their first record.
    EXPECT_EQ(readFile(home.file("target.mdb")).left(15), QByteArray("SQLite format 3"));
    const QByteArray log = readFile(home.file("LOG.txt"));
    EXPECT_TRUE(log.contains("[0] Collector ready; channel 1: Serial Com1"));
    // Com1 cannot be opened: the options screen is offered and, without a
    // window, declined; the channel shows the error and the log says why.
    EXPECT_TRUE(log.contains("Andare alla schermata Opzioni?"));
    EXPECT_TRUE(vendrix.outputText().contains("Collector stopped"));
}

TEST(CollectionE2E, StopsWhenTerminatedDuringStartup)
{
    TempHome home;
    VendrixProcess vendrix(home.path());
    // Nobody listens there: the channel keeps trying to connect.
    ASSERT_TRUE(vendrix.writeIni(VendrixProcess::TcpChannel(1, 1)));
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(vendrix.waitForOutput("started without windows", 5000));
    QElapsedTimer timer;
    timer.start();
    const auto exit = vendrix.terminate(5000);
    EXPECT_TRUE(exit.ended);
    EXPECT_FALSE(exit.crashed);
    EXPECT_EQ(exit.code, 0);
    EXPECT_LT(timer.elapsed(), 3000);
}
