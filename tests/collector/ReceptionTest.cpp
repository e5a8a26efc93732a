#include "CollectorFixture.h"
#include "platform/CheckCharacters.h"

#include <functional>
#include <memory>
#include <vector>

using namespace vx;
using namespace vx::test;

// The check rules are rows of ChannelProtocolTest; here what the driver
// stores, answers and logs, and when, on a serial port and on a socket.
TEST_F(CollectorTest, RecordsAreCheckedStoredAndAnswered)
{
    serialChannel(1);
    tcpChannel(2);
    openChannels({1, 2});
    ASSERT_TRUE(serial(1).PortOpen());
    EXPECT_EQ(collector->StatusPanel(1), "Com1 Run/Wait");
    ASSERT_TRUE(waitUntil([&] { return collector->StatusPanel(2) == "TCP Ready"; }, 2000));

    const std::pair<QByteArray, QByteArray> exchanges[] = {
        {"BOF\r", kAckLine}, {"abc60\r", kAckLine}, {"abc61\r", kNakLine}, {"xyz7b\r", kAckLine}, {"EOF\r", kAckLine},
    };
    const struct Link {
        int n;
        std::function<void(const QByteArray &)> in;
        std::function<QByteArray()> out;
    } links[] = {
        {1, [&](const QByteArray &bytes) { serial(1).receive(bytes); }, [&] { return serial(1).takeWritten(); }},
        {2, [&](const QByteArray &bytes) { socket(2).receive(bytes); }, [&] { return socket(2).takeSent(); }},
    };
    const auto log = [&] { return LogMessages(readFile(home.file("LOG.txt"))); };
    for (const Link &link : links) {
        SCOPED_TRACE(link.n);
        link.out();
        for (const auto &[in, answer] : exchanges) {
            link.in(in);
            settle();
            EXPECT_EQ(link.out(), answer) << in.toStdString();
            // An acknowledged record's entries may wait for the records that
            // follow, but are written by the next refusal, before its answer...
            if (in == "abc61\r") {
                EXPECT_TRUE(
                    log().endsWith("abc60\n OUT -> ACK, Record accepted\n"
                                   "IN   <- abc61\n OUT -> NAK, Record rejected\n"));
            }
            // ... and soon when nothing follows.
            if (in == "xyz7b\r") {
                EXPECT_TRUE(
                    waitUntil([&] { return log().endsWith("IN   <- xyz7b\n OUT -> ACK, Record accepted\n"); }, 2000));
            }
        }
        EXPECT_EQ(readFile(settings.DBMS[link.n].Name), QByteArray("abc\r\nxyz\r\n"));
        EXPECT_TRUE(collector->LogPane(link.n).contains("IN   <- EOF"));
    }
}

TEST_F(CollectorTest, SerialCharactersWaitingBehindAnotherHandlerAreHandledRightAfter)
{
    serialChannel(1);
    serialChannel(2);
    // Channel 1's target cannot be written: its handler shows a message,
    // and while that box is open channel 2's record arrives.
    settings.DBMS[1].Name = home.file("no/such/folder/target.txt");
    openChannels({1, 2});
    bool arrived = false;
    messenger.onMessage = [&](const ScriptedMessenger::Shown &) {
        if (!arrived)
            serial(2).receive(record("from two"));
        arrived = true;
    };
    serial(1).receive(record("from one"));
    messenger.onMessage = nullptr;
    EXPECT_EQ(serial(1).written(), kNakLine);
    EXPECT_GE(collector->SkippedSerialEvents, 1);
    // No further arrival on channel 2: its record is answered anyway.
    EXPECT_TRUE(waitUntil([&] { return serial(2).written() == kAckLine; }, 2000));
    EXPECT_EQ(readFile(settings.DBMS[2].Name), QByteArray("from two\r\n"));
}

TEST_F(CollectorTest, LogPaneIsClearedAbove1024Characters)
{
    make();
    collector->PLog(QString(1022, 'a'), 1); // 1024 with CR LF
    collector->PLog("next", 1);
    EXPECT_TRUE(collector->LogPane(1).startsWith(QString(1022, 'a')));
    collector->PLog("one more", 1); // the pane now holds 1030: cleared first
    EXPECT_EQ(collector->LogPane(1), "one more\r\n");
    EXPECT_TRUE(LogMessages(readFile(home.file("LOG.txt"))).endsWith("next\none more\n"));
}

// Receivers of the log that go away, one at a time, whatever their address:
// the collector neither waits on Qt's connection locks nor keeps sending
// entries to nobody, and a receiver connected afterwards gets them.
TEST_F(CollectorTest, LogReceiversComeAndGo)
{
    make();
    std::vector<std::unique_ptr<QObject>> receivers(1024);
    for (auto &receiver : receivers) {
        receiver = std::make_unique<QObject>();
        QObject::connect(collector.get(), &Collector::logAppended, receiver.get(), [] {});
    }
    for (auto &receiver : receivers) {
        receiver.reset();
        collector->PLog("entry", 1);
    }
    QStringList shown;
    QObject receiver;
    QObject::connect(collector.get(), &Collector::logAppended, &receiver,
                     [&](int, const QString &message, bool) { shown << message; });
    collector->PLog("shown", 1);
    EXPECT_EQ(shown, QStringList({"shown"}));
}
