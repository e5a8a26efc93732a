// Channel cases that guard a rule no other test reaches: opening failures
// with their cause, names read afresh, TCP failures.
#include "../store/ErpTestSupport.h"
#include "CollectorFixture.h"
#include "transport/IrLib.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

using namespace vx;
using namespace vx::test;

namespace {

// How many of this process's descriptors name the file at path.
int DescriptorsOf(const QString &path)
{
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        count += QFileInfo(fds.filePath(fd)).symLinkTarget() == path ? 1 : 0;
    return count;
}

} // namespace

// An infrared cradle whose port cannot be opened says why, in the box and
// in the log, without probing every speed; a missing infrared library is
// written to the channel's log.
TEST_F(CollectorTest, OpeningFailuresShowTheirCause)
{
    serialChannel(1);
    settings.Com[1].ConnType = "IRCradle";
    serialChannel(2);
    settings.Com[2].ConnType = "InfraRed";
    make();
    serial(1).setOpenFailure("Permission denied");
    collector->SetComm(1);
    EXPECT_EQ(serial(1).openCount(), 0);
    EXPECT_TRUE(
        messenger.texts().last().contains("Channel 1 (infrared cradle on Com1) is not opened: Permission denied"))
        << messenger.texts().last().toStdString();
    EXPECT_TRUE(collector->LogPane(1).contains("Permission denied"));

    IrLib::setLibraryPath(home.file("missing/libIrLib.so"));
    collector->SetComm(2);
    IrLib::setLibraryPath(programDir() + "/libIrLib.so");
    EXPECT_TRUE(collector->LogPane(2).contains("cannot be loaded")) << collector->LogPane(2).toStdString();
}

// The article list's database name is read afresh from the settings store
// when a sending starts, as the plain look-up file's name is.
TEST_F(CollectorTest, ArticleListNameIsReadAfresh)
{
    serialChannel(1);
    settings.ExtFile[2].IsZucchetti = "1";
    settings.ExtFile[2].Name = home.file("moved-away.db");
    make();
    const QString db = home.file("erp.db");
    ASSERT_EQ(makeDemoErp(db), QString());
    store.write("ExtFile(2)", "Name", db);
    int ended = -1;
    Collector::Hooks hooks;
    hooks.terminate = [&](int code) { ended = code; };
    collector->setHooks(hooks);
    collector->SetComm(1);
    serial(1).receive("GETFILE2\r");
    settle();
    EXPECT_EQ(serial(1).takeWritten(), kAckLine + "BOF\r");
    serial(1).receive(kAckLine);
    settle();
    const QByteArray first = serial(1).takeWritten();
    EXPECT_EQ(ended, -1);
    EXPECT_GT(first.size(), 4) << first.toStdString();
    EXPECT_NE(first, "EOF\r");
}

// A TCP channel that cannot connect says so once per cause, then with a
// count at most once an hour, and when the terminal is back; meanwhile its
// panel says that it connects, and an outside request is answered "6".
TEST_F(CollectorTest, TcpFailuresAreLoggedOncePerCauseAndHourly)
{
    tcpChannel(1);
    make();
    collector->setOpenInBackground(true);
    FakeSocket &s = socket(1);
    s.setConnectOutcome(FakeSocket::ConnectOutcome::Refuse);
    s.setErrorReason("Connection refused");
    collector->SetComm(1);
    EXPECT_EQ(collector->StatusPanel(1), "TCP Connecting");
    const auto log = [&] { return QString::fromUtf8(LogMessages(readFile(home.file("LOG.txt")))); };
    const auto attemptsAfter = [&](int more) {
        const int until = s.connectAttempts() + more;
        return waitUntil([&] { return s.connectAttempts() >= until; }, 3000);
    };
    ASSERT_TRUE(attemptsAfter(5));
    EXPECT_EQ(log().count("Channel 1: cannot connect to 127.0.0.1:3000: Connection refused;"), 1);

    s.setErrorReason("No route to host");
    ASSERT_TRUE(attemptsAfter(3));
    EXPECT_EQ(log().count("cannot connect to 127.0.0.1:3000: No route to host;"), 1);
    EXPECT_FALSE(log().contains("still no connection"));
    clock.advanceMs(3600 * 1000);
    ASSERT_TRUE(attemptsAfter(3));
    EXPECT_EQ(log().count(QRegularExpression("still no connection to 127.0.0.1:3000: No route to host \\(\\d+ more")),
              1);

    ASSERT_TRUE(RegistryExchange::WriteRegistryValue("HKEY_CURRENT_USER", "DataExchange", "ID(1)", "1", messenger));
    collector->TimerStep_Timer();
    EXPECT_EQ(exchange("ID(1)"), "6");

    s.setConnectOutcome(FakeSocket::ConnectOutcome::Accept);
    ASSERT_TRUE(waitUntil([&] { return collector->StatusPanel(1) == "TCP Ready"; }, 3000));
    EXPECT_TRUE(
        log().contains(QRegularExpression("connected to 127.0.0.1:3000 after \\d+ failed attempts \\(No route")));
    // A terminal that hangs up is connected again: the panel says so.
    s.peerClose();
    EXPECT_EQ(collector->StatusPanel(1), "TCP Connecting");
}

// A TCP channel opened again while its connection is up (the options, a
// reload) ends that connection as one the terminal closed: the request it
// served ends with "6", and what was stored over it is synced and let go.
TEST_F(CollectorTest, ReopenedTcpChannelEndsItsConnectionAsALostOne)
{
    tcpChannel(1);
    make();
    collector->setOpenInBackground(true);
    FakeSocket &s = socket(1);
    collector->SetComm(1);
    ASSERT_TRUE(waitUntil([&] { return collector->StatusPanel(1) == "TCP Ready"; }, 3000));
    setExchange("ID(1)", "1");
    collector->TimerStep_Timer();
    clock.advanceMs(2000);
    collector->TimerStep_Timer();
    EXPECT_EQ(s.takeSent(), "GETDATA0\r");
    s.receive("BOF\r" + record("one"));
    ASSERT_TRUE(waitUntil([&] { return s.sent() == kAckLine + kAckLine; }, 3000)) << s.sent().toStdString();
    const QString target = home.file("ch1.txt");
    EXPECT_GT(DescriptorsOf(target), 0);

    s.setConnectOutcome(FakeSocket::ConnectOutcome::Pending); // the terminal does not answer again
    collector->SetComm(1);
    EXPECT_TRUE(
        collector->LogPane(1).contains("Channel 1: the connection to 127.0.0.1:3000 is closed to open the "
                                       "channel again."))
        << collector->LogPane(1).toStdString();
    EXPECT_EQ(exchange("ID(1)"), "6");
    EXPECT_EQ(DescriptorsOf(target), 0);
    EXPECT_EQ(readFile(target), "one\r\n");
}
