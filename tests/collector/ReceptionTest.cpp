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
