#include "CollectorFixture.h"
#include "platform/CheckCharacters.h"

#include <QFile>

using namespace vx;
using namespace vx::test;

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

// How a file's lines go out: padded or cut to MaxLenght (read afresh),
// whatever their line ends; a missing file is its BOF and EOF; DelAfterSend
// deletes the file only after the EOF's ACK. The protocol's side of the
// sending (resends, the reply timer) is in ChannelProtocolTest.
TEST_F(LookupTest, FileLinesGoOutAsLinesAndTheFileGoesAfterTheFinalAck)
{
    const struct Row {
        const char *what;
        int file;
        const char *content; // nullptr: no such file
        const char *maxLength;
        const char *delAfterSend;
        QList<QByteArray> lines; // sent before the EOF
    } rows[] = {
        {"padded and cut", 5, "ABC\r\nABCDEFGHIJKL\nX", "10", "0", {"ABC       ", "ABCDEFGHIJ", "X         "}},
        {"lines of their own length", 2, "A\nBBBBBBBBBB\nCC\r\n\nDDD\n", "", "0", {"A", "BBBBBBBBBB", "CC", "", "DDD"}},
        {"a missing file", 4, nullptr, "", "0", {}},
        {"deleted after the final ACK", 1, "ONE\r\n", "", " 1", {"ONE"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const QString path = home.file(QStringLiteral("lookup%1.txt").arg(row.file));
        const QString key = QStringLiteral("ExtFile(%1)").arg(row.file);
        if (row.content)
            writeFile(path, row.content);
        if (*row.maxLength)
            store.write(key, "MaxLenght", row.maxLength);
        store.write(key, "DelAfterSend", row.delAfterSend);
        settings.ExtFile[row.file].DelAfterSend = row.delAfterSend;
        EXPECT_EQ(say("GETFILE" + QByteArray::number(row.file) + "\r"), kAckLine + "BOF\r");
        for (const QByteArray &l : row.lines)
            EXPECT_EQ(say(kAckLine), record(l));
        EXPECT_EQ(say(kAckLine), "EOF\r");
        EXPECT_EQ(QFile::exists(path), row.content != nullptr);
        EXPECT_EQ(say(kAckLine), "");
        EXPECT_FALSE(collector->state(1).SendingFile);
        EXPECT_EQ(QFile::exists(path), row.content && QByteArray(row.delAfterSend) == "0");
    }
}
