#include "CollectorFixture.h"
#include "platform/CheckCharacters.h"

using namespace vx;
using namespace vx::test;

TEST_F(CollectorTest, SerialRecordsAreCheckedStoredAndAnswered)
{
    serialChannel(1);
    openChannels({1});
    ASSERT_TRUE(serial(1).PortOpen());
    EXPECT_EQ(collector->StatusPanel(1), "Com1 Run/Wait");

    const std::pair<QByteArray, QByteArray> exchanges[] = {
        {"BOF\r", kAckLine},       {"abc60\r", kAckLine}, // good check characters
        {"abc61\r", kNakLine},                            // wrong ones
        {"ab\r", kNakLine},                               // too short to carry them
        {"xyz7b\r", kAckLine},                            // compared without regard to case
        {"\r", kNakLine},                                 // an empty line
        {"d\nef\n67\r", kAckLine},                        // LF dropped on serial ("def" + 67)
        {"EOF\r", kAckLine},
    };
    const auto log = [&] { return LogMessages(readFile(home.file("LOG.txt"))); };
    for (const auto &[in, answer] : exchanges) {
        serial(1).takeWritten();
        serial(1).receive(in);
        settle();
        EXPECT_EQ(serial(1).written(), answer) << in.toStdString();
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
    EXPECT_EQ(readFile(settings.DBMS[1].Name), QByteArray("abc\r\nxyz\r\ndef\r\n"));

    EXPECT_TRUE(log().contains(" OUT -> NAK, Record rejected\n"));
    EXPECT_TRUE(collector->LogPane(1).contains("IN   <- EOF"));
}

TEST_F(CollectorTest, NoneProtocolStoresAndNeverAnswers)
{
    serialChannel(1, QStringLiteral("None"));
    openChannels({1});
    serial(1).receive(
        "BOF\rrecord one\r\rrecord two\r\x06"
        "EOF\r");
    settle();
    EXPECT_TRUE(serial(1).written().isEmpty());
    // The empty line is a record too; BOF, EOF and the lone ACK are not.
    EXPECT_EQ(readFile(settings.DBMS[1].Name), QByteArray("record one\r\n\r\nrecord two\r\n"));
}

TEST_F(CollectorTest, LoneNakOnSerialIsTakenAsAck)
{
    serialChannel(1);
    openChannels({1});
    serial(1).receive(kNakLine);
    settle();
    EXPECT_TRUE(serial(1).written().isEmpty()); // an ACK outside an exchange gets no answer
}

TEST_F(CollectorTest, TcpLinesArrivingTogetherAreSeparateRecords)
{
    tcpChannel(1);
    openChannels({1});
    ASSERT_EQ(collector->StatusPanel(1), "TCP Ready");
    EXPECT_EQ(socket(1).RemoteHost(), "127.0.0.1");
    EXPECT_EQ(socket(1).RemotePort(), 3000);

    socket(1).receive("Connection OK!\r" + record("first") + record("second"));
    settle();
    EXPECT_EQ(socket(1).sends(), QList<QByteArray>({kAckLine, kAckLine}));
    EXPECT_EQ(readFile(settings.DBMS[1].Name), QByteArray("first\r\nsecond\r\n"));

    // A line split over arrivals is joined; a CR alone completes nothing.
    socket(1).takeSent();
    socket(1).receive("\r");
    socket(1).receive("thi");
    socket(1).receive("rd" + XorChecksum("third") + "\r");
    settle();
    EXPECT_EQ(socket(1).sent(), kAckLine);
    // A NAK line on TCP is a record that fails its check.
    socket(1).takeSent();
    socket(1).receive(kNakLine + "\r");
    settle();
    EXPECT_EQ(socket(1).sent(), kNakLine);
}

TEST_F(CollectorTest, OverlongLinesAreDroppedWithBoundedMemory)
{
    tcpChannel(1);
    serialChannel(2);
    openChannels({1, 2});
    const QByteArray chunk(64 * 1024, 'x');
    for (int i = 0; i < 16; ++i) { // 1 MiB without a CR
        socket(1).receive(chunk);
        ASSERT_LE(collector->state(1).LineBuffer.size(), Collector::kMaxLine);
    }
    socket(1).receive("tail\r" + record("good"));
    settle();
    EXPECT_EQ(socket(1).sends(), QList<QByteArray>({kNakLine, kAckLine}));
    EXPECT_EQ(readFile(settings.DBMS[1].Name), QByteArray("good\r\n"));

    serial(2).receive(QByteArray(100 * 1024, 'y') + "\r" + record("fine"));
    settle();
    EXPECT_LE(collector->state(2).LineBuffer.size(), Collector::kMaxLine);
    EXPECT_EQ(serial(2).written(), kNakLine + kAckLine);
    EXPECT_EQ(readFile(settings.DBMS[2].Name), QByteArray("fine\r\n"));
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
