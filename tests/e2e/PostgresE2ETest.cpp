// Many collectors, one database: three headless collectors with four TCP
// channels each take records from twelve simulated terminals into one
// PostgreSQL server that the test starts itself. During the run the server
// is restarted (pg_ctl restart -m fast) and one collector is SIGKILLed and
// started again. The terminals behave like real ones: a record is resent
// until it gets its ACK, and after a new connection the transfer goes on
// with "BOF" first.
//
// At the end every acknowledged record is in the table exactly as sent,
// under its collector and channel, no row is torn, and the records stored
// twice (resent because an ACK was lost) are counted and reported.
//
// Record counts are kept small (1,000 per terminal, 12,000 in all) so the
// test runs well under two minutes on a loaded two-core machine (about 15 s
// here).
#include "PgServer.h"
#include "ResendingTerminal.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "tools/simterm/SimTerminal.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>

using namespace vx::test;
using namespace vx::sim;

namespace {

constexpr int kCollectors = 3;
constexpr int kChannels = 4;
constexpr int kRecordsPerTerminal = 1000;
constexpr int kRecordsPerTransfer = 100;

struct Terminal : ResendingTerminal {
    int id = 0;        // 1..12
    int collector = 0; // 1..3
    int channel = 0;   // 1..4
};

} // namespace

TEST(PostgresE2E, ThreeCollectorsIntoOneServerThroughARestartAndAKill)
{
    PgServer server;
    ASSERT_TRUE(server.start()) << "PostgreSQL server: " << server.errorText().toStdString();

    // The password comes from a password file, as libpq reads it; Name
    // holds none.
    TempHome home;
    const QString passFile = home.file(QStringLiteral("pgpass"));
    writeFile(
        passFile,
        QStringLiteral("127.0.0.1:%1:warehouse:vx_writer:%2\n").arg(server.port()).arg(PgServer::Password()).toUtf8());
    QFile::setPermissions(passFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QString name = server.connInfo(QStringLiteral("vx_writer"), QStringLiteral("warehouse"), QString());

    std::vector<Terminal> terminals(kCollectors * kChannels);
    std::vector<std::unique_ptr<VendrixProcess>> collectors;
    for (int c = 1; c <= kCollectors; ++c) {
        const QString collectorHome = home.file(QStringLiteral("collector%1").arg(c));
        QDir().mkpath(collectorHome);
        auto vendrix = std::make_unique<VendrixProcess>(collectorHome);
        vendrix->setEnv(QStringLiteral("PGPASSFILE"), passFile);
        VendrixProcess::Ini ini;
        ini[QStringLiteral("Misc")] = {{"CollectorName", QStringLiteral("col%1").arg(c)}};
        for (int n = 1; n <= kChannels; ++n) {
            Terminal &t = terminals[size_t((c - 1) * kChannels + n - 1)];
            t.id = (c - 1) * kChannels + n;
            t.collector = c;
            t.channel = n;
            t.tag = "T" + QByteArray::number(t.id).rightJustified(2, '0');
            t.letterStep = 7;
            t.letterShift = t.id;
            t.sim->setRecordTraffic(false);
            ASSERT_TRUE(t.sim->listenTcp()) << t.sim->errorText().toStdString();
            ini = VendrixProcess::Merged(ini, VendrixProcess::TcpChannel(n, t.sim->tcpPort()));
            ini[QStringLiteral("DBMS(%1)").arg(n)] = {
                {"Type", "PostgreSQL"}, {"Name", name}, {"Policy", "Append"}, {"SepCode", ";"}};
            Terminal *tp = &t;
            QObject::connect(t.sim.get(), &SimTerminal::transferFinished, t.sim.get(), [tp] {
                tp->collect();
                if (tp->nextRecord <= kRecordsPerTerminal)
                    tp->startTransfer(kRecordsPerTransfer, 8000, kRecordsPerTerminal);
            });
            t.startTransfer(kRecordsPerTransfer, 8000, kRecordsPerTerminal); // waits for the collector's connection
        }
        ASSERT_TRUE(vendrix->writeIni(ini)) << vendrix->errorText().toStdString();
        collectors.push_back(std::move(vendrix));
    }
    for (auto &vendrix : collectors)
        ASSERT_TRUE(vendrix->start()) << vendrix->errorText().toStdString();

    auto finishedTransfers = [&] {
        int done = 0;
        for (const Terminal &t : terminals)
            done += t.transfers;
        return done;
    };
    const int allTransfers = int(terminals.size()) * (kRecordsPerTerminal / kRecordsPerTransfer);
    QElapsedTimer clock;
    clock.start();

    // A quarter in: the server restarts under the traffic.
    ASSERT_TRUE(waitUntil([&] { return finishedTransfers() >= allTransfers / 4; }, 60000))
        << "no progress: " << collectors[0]->outputText().right(3000).toStdString();
    ASSERT_TRUE(server.restartFast()) << server.errorText().toStdString();
    const qint64 restartAt = clock.elapsed();

    // Half-way: collector 2 is killed and started again.
    ASSERT_TRUE(waitUntil([&] { return finishedTransfers() >= allTransfers / 2; }, 60000));
    ASSERT_TRUE(collectors[1]->kill().ended);
    waitUntil([] { return false; }, 300);
    ASSERT_TRUE(collectors[1]->start()) << collectors[1]->errorText().toStdString();
    const qint64 killAt = clock.elapsed();

    const bool finished = waitUntil(
        [&] {
            for (const Terminal &t : terminals)
                if (t.nextRecord <= kRecordsPerTerminal || t.sim->isSending())
                    return false;
            return true;
        },
        90000);
    const qint64 total = clock.elapsed();
    QStringList logs;
    for (auto &vendrix : collectors) {
        const auto exit = vendrix->terminate();
        EXPECT_FALSE(exit.crashed);
        logs << QString::fromLocal8Bit(readFile(vendrix->logPath()));
    }
    ASSERT_TRUE(finished) << "the terminals did not finish their transfers";

    // Everything in the table, by record.
    QString error;
    const QStringList rows = server.query(
        QStringLiteral("SELECT collector, channel, allrek, field1 || ';' || field2 || ';' || field3 = allrek,"
                       " count(*) FROM vendrix_records GROUP BY 1, 2, 3, 4"),
        &error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    QHash<QByteArray, int> stored;
    int torn = 0;
    int misplaced = 0;
    for (const QString &row : rows) {
        const QStringList cols = row.split(QLatin1Char('|'));
        ASSERT_EQ(cols.size(), 5) << row.toStdString();
        const QByteArray text = cols[2].toLatin1();
        const int t = text.mid(1, 2).toInt();
        if (t < 1 || t > int(terminals.size()) || !terminals[size_t(t - 1)].isRecord(text)
            || cols[3] != QLatin1String("t")) {
            ++torn;
            continue;
        }
        const Terminal &term = terminals[size_t(t - 1)];
        if (cols[0] != QStringLiteral("col%1").arg(term.collector) || cols[1].toInt() != term.channel)
            ++misplaced;
        stored[text] += cols[4].toInt();
    }
    int acked = 0;
    int lost = 0;
    int duplicates = 0;
    int duplicatesNeverResent = 0;
    int naks = 0;
    int resends = 0;
    for (const Terminal &t : terminals) {
        acked += int(t.acked.size());
        naks += t.naks;
        resends += t.resends;
        const auto tally = t.tally(stored);
        lost += tally.lost;
        duplicates += tally.duplicates;
        duplicatesNeverResent += tally.duplicatesNeverResent;
        EXPECT_EQ(int(t.acked.size()), kRecordsPerTerminal) << "terminal " << t.id;
    }
    int refusalLines = 0;
    for (const QString &log : logs)
        refusalLines += log.count(QStringLiteral("Records are refused"));
    std::printf(
        "PostgreSQL: %d records acknowledged, %d distinct stored, %d duplicates (resent after a lost ACK), "
        "%d NAKs, %d resends, %d outage log lines; restart at %.1f s, kill at %.1f s, total %.1f s\n",
        acked, int(stored.size()), duplicates, naks, resends, refusalLines, restartAt / 1000.0, killAt / 1000.0,
        total / 1000.0);
    EXPECT_EQ(lost, 0) << "acknowledged records missing from the table";
    EXPECT_EQ(torn, 0) << "rows that are not a whole record";
    EXPECT_EQ(misplaced, 0) << "rows under another collector or channel";
    EXPECT_EQ(duplicatesNeverResent, 0) << "a record stored twice that was never sent twice";
    // An outage is told once per channel, not once per record.
    EXPECT_LE(refusalLines, 2 * kCollectors * kChannels);
    for (const QString &log : logs)
        EXPECT_FALSE(log.contains(PgServer::Password()));
}
