// The headless program with a "PostgreSQL" target on a server of the test's
// own, read back with psql, when the server misbehaves:
//  - a table locked by another session, or a server process frozen: the NAK
//    comes within the answer time, a refused record is not in the table, and
//    a record whose commit could not be known is stored once whatever the
//    terminal resends; a table of the earlier layout is upgraded in place;
//  - a server that refuses every row, or goes away: one log line when it
//    goes (with the server's reason), one when it is back with the number of
//    records refused meanwhile, and connection attempts at most once a second;
//  - a terminal that floods while its answer is pending, and one that floods
//    a file target: the collector's memory stays bounded.
#include "PgServer.h"
#include "RunningCollector.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "tools/simterm/SimTerminal.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <memory>

using namespace vx::test;
using namespace vx::sim;

namespace {

const QByteArray kAckAnswer(1, kAck);
const QByteArray kNakAnswer(1, kNak);

// The answer time the README promises.
constexpr qint64 kAnswerMs = 3000;

// A session of its own on the server (to hold a lock).
struct Session {
    explicit Session(const QString &conninfo) : conn(PQconnectdb(conninfo.toUtf8().constData())) {}
    ~Session() { PQfinish(conn); }
    bool exec(const char *sql)
    {
        PGresult *r = PQexec(conn, sql);
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
        PQclear(r);
        return ok;
    }
    PGconn *conn;
};

// A headless collector whose channels 1 and 2 write into the PostgreSQL
// targets given.
struct Collector {
    TempHome home;
    VendrixProcess vendrix{home.path()};
    RawTerminal terminal[3];

    bool start(const QStringList &names)
    {
        VendrixProcess::Ini ini;
        ini[QStringLiteral("Misc")] = {{"CollectorName", "faults"}};
        for (int n = 1; n <= names.size(); ++n) {
            if (!terminal[n].listen())
                return false;
            ini = VendrixProcess::Merged(ini, VendrixProcess::TcpChannel(n, terminal[n].server.serverPort()));
            ini[QStringLiteral("DBMS(%1)").arg(n)] = {
                {"Type", "PostgreSQL"}, {"Name", names[n - 1]}, {"Policy", "Append"}, {"SepCode", ";"}};
        }
        if (!vendrix.writeIni(ini) || !vendrix.start())
            return false;
        for (int n = 1; n <= names.size(); ++n)
            if (!terminal[n].accept())
                return false;
        return vendrix.waitForOutput("Collector ready", 15000);
    }
    QStringList logLines(const QString &with) const
    {
        return QString::fromUtf8(readFile(vendrix.logPath())).split(QLatin1Char('\n')).filter(with);
    }
};

QString Count(PgServer &server, const QString &allrek)
{
    QString error;
    const QStringList rows =
        server.psql(QStringLiteral("SELECT count(*) FROM vendrix_records WHERE allrek = '%1'").arg(allrek), &error);
    return rows.isEmpty() ? error : rows.first();
}

} // namespace

TEST(PostgresFaultsE2E, ANakMeansNotStoredAndAResendNeverMakesASecondRow)
{
    PgServer server;
    ASSERT_TRUE(server.start()) << server.errorText().toStdString();
    // A table of the earlier layout, with a row, owned by the collectors'
    // role.
    QString fields;
    for (int i = 1; i <= 20; ++i)
        fields += QStringLiteral(", field%1 text NOT NULL DEFAULT ''").arg(i);
    QString error;
    server.query(QStringLiteral("SET ROLE vx_writer; CREATE SEQUENCE vendrix_transfer_seq;"
                                "CREATE TABLE vendrix_records (id bigserial PRIMARY KEY, received_at timestamptz "
                                "NOT NULL DEFAULT now(), collector text NOT NULL, channel int NOT NULL, transfer "
                                "bigint NOT NULL, allrek text NOT NULL%1);"
                                "INSERT INTO vendrix_records (collector, channel, transfer, allrek)"
                                " VALUES ('old', 1, 1, 'kept')")
                     .arg(fields),
                 &error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();

    Collector c;
    ASSERT_TRUE(c.start({server.connInfo()})) << c.vendrix.errorText().toStdString();
    RawTerminal &t = c.terminal[1];
    ASSERT_EQ(t.exchange("BOF\r"), kAckAnswer);
    ASSERT_EQ(t.record("first;1"), kAckAnswer) << c.vendrix.outputText().toStdString();
    // Upgraded in place: the column and the key are there, the old row kept.
    EXPECT_EQ(server.psql(QStringLiteral("SELECT allrek, record_no IS NULL FROM vendrix_records ORDER BY id")),
              QStringList({"kept|t", "first;1|f"}));
    EXPECT_EQ(c.logLines(QStringLiteral("upgraded in place")).size(), 1);
    // A record sent twice on purpose is two rows.
    ASSERT_EQ(t.record("twice"), kAckAnswer);
    ASSERT_EQ(t.record("twice"), kAckAnswer);
    EXPECT_EQ(Count(server, QStringLiteral("twice")), QStringLiteral("2"));

    // Another session holds the table: the server gives up in time, and the
    // record it gave up on is not stored, now or when the lock goes.
    {
        Session locker(server.adminConnInfo());
        ASSERT_TRUE(locker.exec("BEGIN; LOCK TABLE vendrix_records IN ACCESS EXCLUSIVE MODE"));
        EXPECT_EQ(t.record("locked;2"), kNakAnswer);
        EXPECT_LT(t.lastMs, kAnswerMs);
        waitUntil([] { return false; }, 1500);
        ASSERT_TRUE(locker.exec("COMMIT"));
    }
    waitUntil([] { return false; }, 500);
    EXPECT_EQ(Count(server, QStringLiteral("locked;2")), QStringLiteral("0"));
    EXPECT_EQ(t.record("locked;2"), kAckAnswer);
    EXPECT_EQ(Count(server, QStringLiteral("locked;2")), QStringLiteral("1"));

    // The server process of the connection freezes: the NAK comes in time;
    // whether the frozen insert commits once it thaws cannot be known, and
    // the terminal's resends store the record exactly once either way.
    const QString pid =
        server.value(QStringLiteral("SELECT pid FROM pg_stat_activity WHERE application_name = 'vendrix'"));
    ASSERT_FALSE(pid.isEmpty());
    ASSERT_EQ(::kill(pid.toInt(), SIGSTOP), 0);
    EXPECT_EQ(t.record("frozen;3"), kNakAnswer);
    EXPECT_LT(t.lastMs, kAnswerMs);
    ::kill(pid.toInt(), SIGCONT);
    QByteArray answer;
    for (int i = 0; i < 10 && answer != kAckAnswer; ++i) {
        answer = t.record("frozen;3");
        EXPECT_LT(t.lastMs, kAnswerMs);
    }
    EXPECT_EQ(answer, kAckAnswer);
    waitUntil([] { return false; }, 1000);
    EXPECT_EQ(Count(server, QStringLiteral("frozen;3")), QStringLiteral("1"));
    // A terminal that sends another record in place of the refused one: that
    // one is stored too, whatever became of the first.
    const QString pid2 = server.value(QStringLiteral(
        "SELECT pid FROM pg_stat_activity WHERE application_name = 'vendrix' ORDER BY backend_start DESC LIMIT 1"));
    ASSERT_FALSE(pid2.isEmpty());
    ASSERT_EQ(::kill(pid2.toInt(), SIGSTOP), 0);
    EXPECT_EQ(t.record("abandoned;4"), kNakAnswer);
    ::kill(pid2.toInt(), SIGCONT);
    waitUntil([] { return false; }, 1000);
    EXPECT_EQ(t.record("other;5"), kAckAnswer);
    EXPECT_EQ(Count(server, QStringLiteral("other;5")), QStringLiteral("1"));
    EXPECT_EQ(Count(server, QStringLiteral("abandoned;4")), QStringLiteral("1"));
    ASSERT_EQ(t.exchange("EOF\r"), kAckAnswer);
    EXPECT_FALSE(c.vendrix.terminate().crashed);
}

TEST(PostgresFaultsE2E, AnOutageIsTwoLogLinesAndConnectionsArePaced)
{
    PgServer server;
    ASSERT_TRUE(server.start()) << server.errorText().toStdString();
    // Channel 2's "server" takes each connection and closes it at once.
    QTcpServer closing;
    ASSERT_TRUE(closing.listen(QHostAddress::LocalHost));
    int attempts = 0;
    QObject::connect(&closing, &QTcpServer::newConnection, &closing, [&] {
        while (QTcpSocket *s = closing.nextPendingConnection()) {
            ++attempts;
            s->abort();
            s->deleteLater();
        }
    });
    Collector c;
    ASSERT_TRUE(
        c.start({server.connInfo(),
                 QStringLiteral("host=127.0.0.1 port=%1 dbname=x user=y connect_timeout=2").arg(closing.serverPort())}))
        << c.vendrix.errorText().toStdString();
    RawTerminal &t = c.terminal[1];
    ASSERT_EQ(t.exchange("BOF\r"), kAckAnswer);
    ASSERT_EQ(t.record("before"), kAckAnswer);

    // The server refuses every row on a sound connection (as with a full
    // disk): ten resends, one line with the server's reason.
    server.query(QStringLiteral("ALTER TABLE vendrix_records ADD CONSTRAINT vx_refuse CHECK (false) NOT VALID"));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(t.record("refused"), kNakAnswer);
    server.query(QStringLiteral("ALTER TABLE vendrix_records DROP CONSTRAINT vx_refuse"));
    EXPECT_EQ(t.record("refused"), kAckAnswer);
    QStringList gone = c.logLines(QStringLiteral("Records are refused")).filter(QStringLiteral("dbname=warehouse"));
    ASSERT_EQ(gone.size(), 1) << c.vendrix.outputText().toStdString();
    EXPECT_TRUE(gone[0].contains(QStringLiteral("vx_refuse"))) << gone[0].toStdString();
    QStringList back = c.logLines(QStringLiteral("collection goes on"));
    ASSERT_EQ(back.size(), 1);
    EXPECT_TRUE(back[0].contains(QStringLiteral("10 records refused"))) << back[0].toStdString();

    // The server stops; both terminals resend for five seconds.
    ASSERT_TRUE(server.stop()) << server.errorText().toStdString();
    const int attemptsBefore = attempts;
    QElapsedTimer clock;
    clock.start();
    int naks = 0;
    while (clock.elapsed() < 5000) {
        naks += t.record("gone") == kNakAnswer;
        EXPECT_LT(t.lastMs, kAnswerMs);
        EXPECT_EQ(c.terminal[2].record("never"), kNakAnswer);
        EXPECT_LT(c.terminal[2].lastMs, kAnswerMs);
    }
    const qint64 seconds = (clock.elapsed() + 999) / 1000;
    EXPECT_LE(attempts - attemptsBefore, seconds + 1) << "connection attempts more often than once a second";
    EXPECT_GE(naks, 3);
    ASSERT_TRUE(server.startAgain()) << server.errorText().toStdString();
    QByteArray answer;
    int more = 0;
    for (int i = 0; i < 10 && answer != kAckAnswer; ++i) {
        answer = t.record("gone");
        more += answer == kNakAnswer;
    }
    ASSERT_EQ(answer, kAckAnswer);
    gone = c.logLines(QStringLiteral("Records are refused"));
    back = c.logLines(QStringLiteral("collection goes on"));
    EXPECT_EQ(gone.filter(QStringLiteral("dbname=warehouse")).size(), 2);
    ASSERT_EQ(back.size(), 2);
    EXPECT_TRUE(back[1].contains(QStringLiteral("%1 records refused").arg(naks + more))) << back[1].toStdString();
    // Channel 2's server never worked: one line, never "back".
    EXPECT_EQ(gone.filter(QStringLiteral("dbname=x")).size(), 1);
    EXPECT_EQ(Count(server, QStringLiteral("gone")), QStringLiteral("1"));
    EXPECT_EQ(Count(server, QStringLiteral("refused")), QStringLiteral("1"));
    EXPECT_FALSE(c.vendrix.terminate().crashed);
}

// A terminal that sends without waiting for its answers: up to 200 MB in at
// most eight seconds, into a PostgreSQL target whose table is locked (every
// answer pending for a while) and into a text file (each line refused).
TEST(PostgresFaultsE2E, AFloodKeepsTheCollectorsMemoryBounded)
{
    PgServer server;
    ASSERT_TRUE(server.start()) << server.errorText().toStdString();
    struct Kind {
        const char *name;
        bool postgres;
    };
    for (const Kind kind : {Kind{"PostgreSQL", true}, Kind{"TXT", false}}) {
        SCOPED_TRACE(kind.name);
        Collector c;
        if (kind.postgres) {
            ASSERT_TRUE(c.start({server.connInfo()})) << c.vendrix.errorText().toStdString();
        } else {
            ASSERT_TRUE(c.terminal[1].listen());
            ASSERT_TRUE(c.vendrix.writeIni(VendrixProcess::TcpChannel(1, c.terminal[1].server.serverPort(),
                                                                      c.home.file(QStringLiteral("records.txt")))));
            ASSERT_TRUE(c.vendrix.start());
            ASSERT_TRUE(c.terminal[1].accept());
            ASSERT_TRUE(c.vendrix.waitForOutput("Collector ready", 15000));
        }
        RawTerminal &t = c.terminal[1];
        ASSERT_EQ(t.exchange("BOF\r"), kAckAnswer);
        ASSERT_EQ(t.record("ready"), kAckAnswer);
        Session locker(server.adminConnInfo());
        if (kind.postgres) {
            ASSERT_TRUE(locker.exec("BEGIN; LOCK TABLE vendrix_records IN ACCESS EXCLUSIVE MODE"));
        }
        const QByteArray line = kind.postgres ? FramedRecord(QByteArray(900, 'f')) : QByteArray(900, 'z') + '\r';
        QByteArray chunk;
        while (chunk.size() < 256 * 1024)
            chunk += line;
        const qint64 total = 200LL * 1024 * 1024;
        qint64 sent = 0;
        qint64 peakRss = 0;
        QElapsedTimer clock;
        clock.start();
        while (sent < total && clock.elapsed() < 8000) {
            if (t.socket->bytesToWrite() < 4 * chunk.size()) {
                t.socket->write(chunk);
                sent += chunk.size();
            } else {
                t.socket->waitForBytesWritten(100);
            }
            peakRss = std::max(peakRss, ProcStatusKb(c.vendrix.pid(), "VmRSS"));
        }
        const qint64 taken = sent - t.socket->bytesToWrite();
        const qint64 hwm = ProcStatusKb(c.vendrix.pid(), "VmHWM");
        std::printf(
            "%s: %lld MB offered, %lld MB taken by the connection; collector peak VmRSS %lld kB, VmHWM "
            "%lld kB\n",
            kind.name, static_cast<long long>(sent >> 20), static_cast<long long>(taken >> 20),
            static_cast<long long>(peakRss), static_cast<long long>(hwm));
        EXPECT_GT(hwm, 0);
        if (!kAddressSanitizer) {
            EXPECT_LT(hwm, 64 * 1024) << "the collector's resident memory peaked above 64 MB";
        }
        if (kind.postgres)
            locker.exec("COMMIT");
        EXPECT_TRUE(c.vendrix.isRunning());
        EXPECT_FALSE(c.vendrix.terminate().crashed);
    }
}
