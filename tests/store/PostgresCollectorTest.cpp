// The collector with a "PostgreSQL" target: a record's answer waits for its
// row's commit, answers keep the order of the lines, other channels answer
// at once meanwhile, and an answer owed to a connection that went away is
// never sent to anyone.
#include "CollectorFixture.h"
#include "PgServer.h"
#include "store/PostgresTarget.h"

#include <QTcpServer>

using namespace vx;
using namespace vx::test;

namespace {

PgServer &SharedServer()
{
    return PgServer::Shared();
}

class PostgresCollectorTest : public CollectorTest {
protected:
    void pgChannel(int n, const QString &name)
    {
        tcpChannel(n);
        settings.Com[n].ConnProtocol = QStringLiteral("ACK/NAK");
        settings.DBMS[n].Type = QStringLiteral("PostgreSQL");
        settings.DBMS[n].Name = name;
        settings.DBMS[n].SepCode = QStringLiteral(";");
    }
};

TEST_F(PostgresCollectorTest, AnswersFollowTheCommitsInTheOrderOfTheLines)
{
    PgServer &server = SharedServer();
    ASSERT_TRUE(server.isReady()) << server.errorText().toStdString();
    server.query(QStringLiteral("DELETE FROM vendrix_records WHERE channel = 1 AND collector = 'order-test'"));
    store.write(MiscSection(), QStringLiteral("CollectorName"), QStringLiteral("order-test"));
    pgChannel(1, server.connInfo());
    tcpChannel(2);
    openChannels({1, 2});
    ASSERT_EQ(collector->StatusPanel(1), "TCP Ready");

    // Three records behind "BOF" in one arrival, a record on channel 2.
    socket(1).receive("BOF\r" + record("a;1") + record("b;2") + record("c;3"));
    socket(2).receive(record("other"));
    settle();
    // Channel 2's text target answers at once; channel 1 has answered "BOF"
    // only: its first record waits for the server.
    EXPECT_EQ(socket(2).sends(), QList<QByteArray>({kAckLine}));
    EXPECT_EQ(socket(1).sends(), QList<QByteArray>({kAckLine}));
    ASSERT_TRUE(waitUntil([&] { return socket(1).sends().size() == 4; }, 15000)) << collector->LogPane(1).toStdString();
    EXPECT_EQ(socket(1).sends(), QList<QByteArray>({kAckLine, kAckLine, kAckLine, kAckLine}));

    // A bad line between two records is answered in its place.
    socket(1).receive(record("d;4") + "bad\r" + record("e;5"));
    ASSERT_TRUE(waitUntil([&] { return socket(1).sends().size() == 7; }, 15000));
    EXPECT_EQ(socket(1).sends().mid(4), QList<QByteArray>({kAckLine, kNakLine, kAckLine}));

    EXPECT_EQ(server.query(QStringLiteral("SELECT allrek || '/' || field2 FROM vendrix_records"
                                          " WHERE collector = 'order-test' ORDER BY id")),
              QStringList({"a;1/1", "b;2/2", "c;3/3", "d;4/4", "e;5/5"}));
    // The log shows each record and its answer, as for any target.
    EXPECT_EQ(collector->LogPane(1).count(QStringLiteral("OUT -> ACK, Record accepted")) > 0, true);
}

TEST_F(PostgresCollectorTest, ASilentServerHoldsOnlyItsChannelAndAnAnswerNeverOutlivesItsConnection)
{
    QTcpServer silent; // takes connections and never answers
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    pgChannel(1, QStringLiteral("host=127.0.0.1 port=%1 dbname=x user=y").arg(silent.serverPort()));
    tcpChannel(2);
    openChannels({1, 2});

    socket(1).receive(record("held;1") + record("held;2"));
    settle();
    EXPECT_TRUE(socket(1).sends().isEmpty());
    // Meanwhile channel 2 collects.
    for (int i = 0; i < 5; ++i) {
        socket(2).receive(record("free;" + QByteArray::number(i)));
        settle();
    }
    EXPECT_EQ(socket(2).sends().size(), 5);
    // Refused once the server failed to answer in time, in order.
    ASSERT_TRUE(waitUntil([&] { return socket(1).sends().size() == 2; }, 2 * PostgresTarget::AnswerWithinMs + 5000));
    EXPECT_EQ(socket(1).sends(), QList<QByteArray>({kNakLine, kNakLine}));
    EXPECT_EQ(collector->LogPane(1).count(QStringLiteral("Records are refused")), 1);

    // The terminal goes away while a record waits: its answer is dropped,
    // not sent on the next connection.
    socket(1).receive(record("held;3"));
    settle();
    socket(1).peerClose();
    settle();
    socket(1).setState(Socket::sckConnected);
    waitUntil([] { return false; }, PostgresTarget::AnswerWithinMs + 1000);
    EXPECT_EQ(socket(1).sends().size(), 2);
    // The new connection is served again.
    socket(1).receive(record("held;4"));
    ASSERT_TRUE(waitUntil([&] { return socket(1).sends().size() == 3; }, PostgresTarget::AnswerWithinMs + 5000));
    EXPECT_EQ(socket(1).sends().last(), kNakLine);
}

} // namespace
