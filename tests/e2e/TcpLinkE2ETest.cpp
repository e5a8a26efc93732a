// TCP channels of the headless collector against simulated terminals: a
// terminal that goes away and comes back, requests that end whatever
// happens, automatic collection beside a request, independent opening and
// address checks.
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "tools/simterm/SimTerminal.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <gtest/gtest.h>

using namespace vx::test;
using namespace vx::sim;

namespace {

const QString kExchange = "exchange/HKEY_CURRENT_USER/DataExchange/";

constexpr auto tcpChannel = &VendrixProcess::TcpChannel;
void merge(VendrixProcess::Ini &into, const VendrixProcess::Ini &more)
{
    into = VendrixProcess::Merged(into, more);
}

struct Home {
    TempHome home;
    Home() { QDir().mkpath(home.file(kExchange)); }
    QString value(const QString &name) const
    {
        const QString path = home.file(kExchange + name);
        return QFile::exists(path) ? QString::fromUtf8(readFile(path)).trimmed() : QStringLiteral("<none>");
    }
    void set(const QString &name, const QByteArray &value) { writeFile(home.file(kExchange + name), value); }
    bool waitValue(const QString &name, const QString &expected, int ms)
    {
        return waitUntil([&] { return value(name) == expected; }, ms);
    }
};

} // namespace

// The peer closes: the panel and log say so, a request is refused with "6",
// and the collector connects again in the background and serves the
// terminal that came back, request included.
TEST(TcpLinkE2E, TerminalThatGoesAwayIsServedAgainWhenItComesBack)
{
    Home h;
    auto terminal = std::make_unique<SimTerminal>();
    ASSERT_TRUE(terminal->listenTcp());
    const quint16 port = terminal->tcpPort();
    h.set("Profilo(1)", "1\n");
    VendrixProcess vendrix(h.home.path());
    ASSERT_TRUE(vendrix.writeIni(tcpChannel(1, port, h.home.file("ch1.txt"))));
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(terminal->waitForConnected(10000));
    ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 10000));

    terminal.reset(); // the terminal goes away altogether
    ASSERT_TRUE(vendrix.waitForOutput(
        R"(\[1\] Channel 1: (the terminal closed the connection|the connection failed) \(127\.0\.0\.1:\d+\))", 5000))
        << vendrix.outputText().toStdString();
    h.set("ID(1)", "1\n");
    EXPECT_TRUE(h.waitValue("ID(1)", "6", 3000)) << h.value("ID(1)").toStdString();

    terminal = std::make_unique<SimTerminal>();
    ASSERT_TRUE(terminal->listenTcp(port));
    terminal->setDataFile(1, {"back-1", "back-2"});
    ASSERT_TRUE(terminal->waitForConnected(5000));
    ASSERT_TRUE(vendrix.waitForOutput(R"(\[1\] Channel 1: connected again to 127\.0\.0\.1:\d+)", 5000));
    h.set("ID(1)", "1\n");
    ASSERT_TRUE(h.waitValue("ID(1)", "3", 10000)) << terminal->transcript().join('\n').toStdString();
    EXPECT_EQ(readFile(h.home.file("ch1.txt")), QByteArray("back-1\r\nback-2\r\n"));
    EXPECT_EQ(vendrix.terminate().code, 0);
}

// A requested collection ends on a disconnect and on the reply time-out,
// writing "6" and freeing the request for the next one.
TEST(TcpLinkE2E, RequestedCollectionAlwaysEnds)
{
    Home h;
    SimTerminal one;
    SimTerminal two;
    ASSERT_TRUE(one.listenTcp());
    ASSERT_TRUE(two.listenTcp());
    one.rules().respond = false; // hears GETDATA, never answers
    two.setDataFile(1, {"two-1"});
    h.set("Profilo(1)", "1\n");
    h.set("Profilo(2)", "1\n");
    VendrixProcess vendrix(h.home.path());
    auto ini = tcpChannel(1, one.tcpPort(), h.home.file("ch1.txt"));
    merge(ini, tcpChannel(2, two.tcpPort(), h.home.file("ch2.txt")));
    ASSERT_TRUE(vendrix.writeIni(ini));
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(one.waitForConnected(10000));
    ASSERT_TRUE(two.waitForConnected(10000));

    // Disconnect during the request.
    h.set("ID(1)", "1\n");
    ASSERT_TRUE(one.waitForReceived("GETDATA1\r", 5000));
    EXPECT_EQ(h.value("ID(1)"), "2");
    one.dropConnection();
    EXPECT_TRUE(h.waitValue("ID(1)", "6", 3000)) << h.value("ID(1)").toStdString();
    ASSERT_TRUE(one.waitFor([&] { return one.connectionCount() == 2; }, 5000));

    // Silence after GETDATA: the 10-second reply time-out ends it, and a
    // request on channel 2 waiting behind it is served.
    const qsizetype from = one.received().size();
    h.set("ID(1)", "1\n");
    ASSERT_TRUE(one.waitForReceived("GETDATA1\r", 5000, from));
    h.set("ID(2)", "1\n");
    QElapsedTimer waited;
    waited.start();
    EXPECT_TRUE(h.waitValue("ID(1)", "6", 15000)) << h.value("ID(1)").toStdString();
    EXPECT_GE(waited.elapsed(), 7000);
    EXPECT_TRUE(h.waitValue("ID(2)", "3", 8000)) << h.value("ID(2)").toStdString();
    EXPECT_EQ(readFile(h.home.file("ch2.txt")), QByteArray("two-1\r\n"));
    EXPECT_TRUE(vendrix.waitForOutput(R"(Connection TCP response Timed Out \(channel 1, 127\.0\.0\.1:\d+\))", 1000));
    EXPECT_EQ(vendrix.terminate().code, 0);
}

// An automatic collection on channel 1 while channel 2 serves an outside
// request: channel 1 neither writes ID(1) nor takes the request, and its
// records go to its own target, not to File(1).
TEST(TcpLinkE2E, AutomaticCollectionBesideARequestTouchesNoRequestValue)
{
    Home h;
    SimTerminal automatic;
    SimTerminal requested;
    ASSERT_TRUE(automatic.listenTcp());
    ASSERT_TRUE(requested.listenTcp());
    automatic.rules().onPutFile = [](int) { return SimTerminal::PutFileReply{SimTerminal::PutFileReply::Nak, 0}; };
    requested.rules().respond = false; // answers by hand below
    h.set("Profilo(2)", "1\n");
    h.set("File(1)", h.home.file("left-from-earlier.txt").toUtf8());
    h.set("File(2)", h.home.file("requested.txt").toUtf8());

    VendrixProcess vendrix(h.home.path());
    auto ini = tcpChannel(1, automatic.tcpPort(), h.home.file("auto.txt"));
    merge(ini, {{"Com(1)", {{"Auto", "1"}, {"AutoSec", "1"}}}});
    merge(ini, tcpChannel(2, requested.tcpPort(), h.home.file("ch2.txt")));
    ASSERT_TRUE(vendrix.writeIni(ini));
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(requested.waitForConnected(10000));

    h.set("ID(2)", "1\n");
    ASSERT_TRUE(requested.waitForReceived("GETDATA1\r", 5000));
    // Channel 1 collects automatically while the request is open.
    for (int k = 1; k <= 5; ++k)
        automatic.setDataFile(k, {"auto-" + QByteArray::number(k)});
    ASSERT_TRUE(automatic.waitFor([&] { return automatic.removedFiles().size() >= 2; }, 10000))
        << automatic.transcript().join('\n').toStdString();
    const auto result = requested.sendTransfer({"req-1", "req-2"});
    EXPECT_TRUE(result.complete);
    EXPECT_TRUE(h.waitValue("ID(2)", "3", 5000)) << h.value("ID(2)").toStdString();

    EXPECT_EQ(h.value("ID(1)"), "<none>");
    EXPECT_FALSE(QFile::exists(h.home.file("left-from-earlier.txt")));
    EXPECT_TRUE(readFile(h.home.file("auto.txt")).contains("auto-"));
    EXPECT_EQ(readFile(h.home.file("requested.txt")), QByteArray("req-1\r\nreq-2\r\n"));
    EXPECT_EQ(vendrix.terminate().code, 0);
}

// Headless, a TCP terminal that is not there does not hold up the other
// channels; its refused connection is logged once with its cause, and it is
// connected when it appears, with the count of failed attempts.
TEST(TcpLinkE2E, AbsentTerminalDoesNotHoldUpTheOtherChannels)
{
    Home h;
    const quint16 absentPort = ClosedLocalPort();
    SimTerminal present;
    ASSERT_TRUE(present.listenTcp());
    VendrixProcess vendrix(h.home.path());
    auto ini = tcpChannel(1, absentPort, h.home.file("ch1.txt"));
    merge(ini, tcpChannel(2, present.tcpPort(), h.home.file("ch2.txt")));
    ASSERT_TRUE(vendrix.writeIni(ini));
    QElapsedTimer started;
    started.start();
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(present.waitForConnected(5000));
    EXPECT_TRUE(present.sendTransfer({"while-1-waits"}).complete);
    EXPECT_LT(started.elapsed(), 8000);
    EXPECT_EQ(readFile(h.home.file("ch2.txt")), QByteArray("while-1-waits\r\n"));

    SimTerminal late;
    ASSERT_TRUE(late.listenTcp(absentPort));
    ASSERT_TRUE(late.waitForConnected(5000));
    EXPECT_TRUE(late.sendTransfer({"late"}).complete);
    EXPECT_TRUE(vendrix.waitForOutput(
        QStringLiteral(
            R"(\[1\] Channel 1: connected to 127\.0\.0\.1:%1 after \d+ failed attempts \(Connection refused\))")
            .arg(absentPort),
        1000))
        << vendrix.outputText().toStdString();
    EXPECT_EQ(vendrix.outputText().count(
                  QStringLiteral("[1] [warning] Channel 1: cannot connect to 127.0.0.1:%1: Connection refused;")
                      .arg(absentPort)),
              1);
    EXPECT_EQ(vendrix.terminate().code, 0);
}

// Address parts outside their range, or not numbers, open nothing; the
// message names the channel, the key and the value.
TEST(TcpLinkE2E, AddressOutOfRangeIsRefusedByName)
{
    struct Case {
        int channel;
        QString key;
        QString value;
        QString message;
    };
    const std::vector<Case> cases = {
        {1, "IP5", "99999", R"(Channel 1 is not opened: IP5 is "99999", not a number from 1 to 65535)"},
        {2, "IP1", "256", R"(Channel 2 is not opened: IP1 is "256", not a number from 0 to 255)"},
        {3, "IP4", "1a", R"(Channel 3 is not opened: IP4 is "1a", not a number from 0 to 255)"},
        {4, "IP5", "0x50", R"(Channel 4 is not opened: IP5 is "0x50", not a number from 1 to 65535)"},
    };
    Home h;
    VendrixProcess vendrix(h.home.path());
    VendrixProcess::Ini ini;
    for (const Case &c : cases) {
        merge(ini, tcpChannel(c.channel, 3000, h.home.file(QStringLiteral("ch%1.txt").arg(c.channel))));
        ini[QStringLiteral("Com(%1)").arg(c.channel)][c.key] = c.value;
    }
    ASSERT_TRUE(vendrix.writeIni(ini));
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 10000));
    for (const Case &c : cases) {
        const QString line = QStringLiteral("[%1] ").arg(c.channel) + c.message;
        EXPECT_TRUE(vendrix.lines().contains(line + ".")) << line.toStdString() << "\n"
                                                          << vendrix.outputText().toStdString();
    }
    EXPECT_FALSE(vendrix.outputText().contains("connected to"));
    EXPECT_EQ(vendrix.terminate().code, 0);
}
