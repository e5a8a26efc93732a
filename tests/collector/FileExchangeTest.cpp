#include "CollectorFixture.h"
#include "platform/CheckCharacters.h"

#include <QFile>

using namespace vx;
using namespace vx::test;

namespace {

QByteArray line(const QByteArray &text)
{
    return text + XorChecksum(text) + "\r";
}

} // namespace

// A terminal on a fake socket that answers the collector's commands: its
// data file k holds one record "k-data"; it takes look-up file 3 when
// offered file 1, refuses the other offers, and acknowledges every line.
class ExchangeTest : public CollectorTest {
protected:
    void SetUp() override
    {
        tcpChannel(1);
        settings.Com[1].Auto = "1";
        settings.Com[1].AutoSec = "10";
        settings.ExtFile[3].Name = home.file("lookup3.txt");
        settings.ExtFile[3].DelAfterSend = "0";
        writeFile(home.file("lookup3.txt"), "ART1\r\nART22\r\n");
        openChannels({1});
        socket(1).setResponder([this](const QByteArray &out) { return respond(out); });
    }

    QByteArray respond(const QByteArray &out)
    {
        transcript << out;
        if (out.startsWith("GETDATA")) {
            const QByteArray k = out.mid(7, 1);
            return "BOF\r" + line(k + "-data") + "EOF\r";
        }
        if (out.startsWith(kAckLine + "RMVDATA"))
            return kAckLine + "\r";
        if (out.startsWith("PUTFILE"))
            return out == "PUTFILE1\r" ? QByteArray("GETFILE3\r") : kNakLine + "\r";
        if (out == kAckLine + "BOF\r" || (out.endsWith("\r") && out.size() > 3 && !out.startsWith(kAckLine)))
            return kAckLine + "\r"; // every look-up line and the EOF
        return {};
    }

    QList<QByteArray> transcript;
};

TEST_F(ExchangeTest, FullAutomaticCycleOverFiveFiles)
{
    clock.advanceMs(10000);
    collector->TimerStep_Timer();
    ASSERT_TRUE(waitUntil([&] { return transcript.contains("GETDATA5\r") && !collector->state(1).Exchange; }));
    settle();

    const QList<QByteArray> expectedStart = {
        "GETDATA1\r",  kAckLine, kAckLine,     kAckLine + "RMVDATA1\r", "PUTFILE1\r", kAckLine + "BOF\r", line("ART1"),
        line("ART22"), "EOF\r",  "GETDATA2\r",
    };
    ASSERT_GE(transcript.size(), expectedStart.size());
    EXPECT_EQ(transcript.mid(0, expectedStart.size()), expectedStart);
    // Files 2..5: data, remove, an offer that is refused, and on.
    for (int k = 2; k <= 5; ++k) {
        EXPECT_TRUE(transcript.contains("RMVDATA" + QByteArray::number(k) + "\r")
                    || transcript.contains(kAckLine + "RMVDATA" + QByteArray::number(k) + "\r"));
        EXPECT_TRUE(transcript.contains("PUTFILE" + QByteArray::number(k) + "\r"));
    }
    EXPECT_EQ(collector->state(1).FileNo, 1);
    EXPECT_TRUE(collector->state(1).StepActive); // automatic collection goes on
    EXPECT_EQ(readFile(settings.DBMS[1].Name), QByteArray("1-data\r\n2-data\r\n3-data\r\n4-data\r\n5-data\r\n"));
    EXPECT_TRUE(QFile::exists(home.file("lookup3.txt"))); // DelAfterSend "0" keeps it
}

// The look-up file step on its own, line by line.
class LookupTest : public CollectorTest {
protected:
    void SetUp() override
    {
        serialChannel(1);
        for (int k = 1; k <= 5; ++k) {
            settings.ExtFile[k].Name = home.file(QStringLiteral("lookup%1.txt").arg(k));
            settings.ExtFile[k].DelAfterSend = "0";
        }
        openChannels({1});
    }
    QByteArray say(const QByteArray &in)
    {
        serial(1).takeWritten();
        serial(1).receive(in);
        settle();
        return serial(1).takeWritten();
    }
};

TEST_F(LookupTest, LinesArePaddedCutResentAndEndWithEof)
{
    writeFile(home.file("lookup5.txt"), "ABC\r\nABCDEFGHIJKL\nX");
    store.write("ExtFile(5)", "MaxLenght", "10");
    EXPECT_EQ(say("GETFILE9\r"), kAckLine + "BOF\r"); // 9 selects file 5
    EXPECT_EQ(collector->state(1).FileIndex, 5);
    EXPECT_EQ(say(kAckLine), line("ABC       "));
    EXPECT_EQ(say(kNakLine), line("ABC       ")); // refused: sent again
    EXPECT_EQ(say("garbage\r"), line("ABC       "));
    EXPECT_EQ(say(kAckLine), line("ABCDEFGHIJ"));
    EXPECT_EQ(say(kAckLine), line("X         "));
    EXPECT_EQ(say(kAckLine), "EOF\r");
    EXPECT_TRUE(collector->state(1).FileEnd);
    EXPECT_EQ(say(kAckLine), "");
    EXPECT_FALSE(collector->state(1).SendingFile);
    EXPECT_TRUE(QFile::exists(home.file("lookup5.txt")));
}

TEST_F(LookupTest, LinesOfDifferentLengthsAreSentAsLines)
{
    writeFile(home.file("lookup2.txt"), "A\nBBBBBBBBBB\nCC\r\n\nDDD\n");
    say("GETFILE2\r");
    QList<QByteArray> sent;
    for (int i = 0; i < 6; ++i)
        sent << say(kAckLine);
    EXPECT_EQ(sent, QList<QByteArray>({line("A"), line("BBBBBBBBBB"), line("CC"), line(""), line("DDD"), "EOF\r"}));
}

TEST_F(LookupTest, MissingFileIsBofThenEofAndGetfileAloneStartsNothing)
{
    EXPECT_EQ(say("GETFILE\r"), kNakLine); // 7 characters: a record failing its check
    EXPECT_FALSE(collector->state(1).SendingFile);
    EXPECT_EQ(say("GETFILE4\r"), kAckLine + "BOF\r");
    EXPECT_EQ(say(kAckLine), "EOF\r");
}

TEST_F(LookupTest, DelAfterSendDeletesAfterTheFinalAck)
{
    writeFile(home.file("lookup1.txt"), "ONE\r\n");
    store.write("ExtFile(1)", "DelAfterSend", " 1");
    settings.ExtFile[1].DelAfterSend = " 1";
    say("GETFILE1\r");
    EXPECT_EQ(say(kAckLine), line("ONE"));
    EXPECT_EQ(say(kAckLine), "EOF\r");
    EXPECT_TRUE(QFile::exists(home.file("lookup1.txt")));
    say(kAckLine);
    EXPECT_FALSE(QFile::exists(home.file("lookup1.txt")));
}
