// An acknowledged record is never lost: the headless collector receives
// records over TCP from four simulated terminals, one per target kind (text,
// CSV, SQLite, dBase), and is killed with SIGKILL at random moments and
// started again, over and over. The terminals behave like real ones: each
// record is sent again until it gets its ACK, and after a new connection the
// transfer starts again with "BOF" before the pending record.
//
// At the end every acknowledged record must be in its target, read with
// independent readers (sqlite3, Python's dbf module), no line may be torn,
// and a record may appear twice only when it was in flight at a kill (stored,
// but its ACK lost with the process), at most once per kill.
#include "../store/TableReaders.h"
#include "ResendingTerminal.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "tools/simterm/SimTerminal.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>

using namespace vx::test;
using namespace vx::sim;

namespace {

constexpr int kKills = 60;             // SIGKILLs over the run
constexpr int kMinKills = 50;          // what the run must reach
constexpr qint64 kKillPhaseMs = 80000; // the kills stop after this, whatever their count
constexpr int kRecordsPerTransfer = 250;

struct Channel : ResendingTerminal {
    QString label;
    QString type;
    QString file;
    QString sepCode;
    bool stopping = false;
};

// The records in a target, one entry per stored row or line, in order.
// *error says why the target could not be read, or what is wrong with it.
QList<QByteArray> ReadTarget(const Channel &c, QString *error)
{
    QList<QByteArray> rows;
    if (c.label == QLatin1String("SQLite")) {
        QProcess check;
        check.start(QStringLiteral("sqlite3"),
                    {QStringLiteral("-batch"), c.file, QStringLiteral("PRAGMA integrity_check;")});
        check.waitForFinished(60000);
        if (check.readAllStandardOutput().trimmed() != "ok") {
            *error = QStringLiteral("integrity check failed: ") + QString::fromLocal8Bit(check.readAllStandardError());
            return rows;
        }
    }
    if (c.label == QLatin1String("SQLite") || c.label == QLatin1String("dBase")) {
        // Independent readers: the sqlite3 tool, Debian's Python dbf module.
        for (const QString &text : AllRekColumn(c.type, c.file))
            rows << text.toLatin1();
        return rows;
    }
    const QByteArray all = readFile(c.file);
    if (!all.isEmpty() && !all.endsWith("\r\n"))
        *error = QStringLiteral("the file does not end with a complete line");
    rows = all.split('\n');
    if (!rows.isEmpty() && rows.back().isEmpty())
        rows.removeLast();
    for (QByteArray &row : rows) {
        if (!row.endsWith('\r'))
            *error = QStringLiteral("a line without its CR LF: ") + QString::fromLatin1(row);
        row.chop(1);
    }
    return rows;
}

} // namespace

TEST(CrashSafety, AcknowledgedRecordsSurviveRepeatedKills)
{
    TempHome home;
    std::vector<Channel> channels(5);
    auto define = [&](int n, const char *label, const char *type, const char *file, const char *sepCode) {
        Channel &c = channels[size_t(n)];
        c.label = QLatin1String(label);
        c.type = QLatin1String(type);
        c.file = home.file(QLatin1String(file));
        c.sepCode = QLatin1String(sepCode);
        c.tag = "C" + QByteArray::number(n);
    };
    define(1, "TXT", "TXT (*.txt)", "records.txt", "None");
    define(2, "CSV", "CSV (*.csv)", "records.csv", ";");
    define(3, "SQLite", "Access 2.0 (*.mdb)", "records.mdb", ";");
    define(4, "dBase", "Dbase IV (*.dbf)", "records.dbf", ";");

    VendrixProcess::Ini ini;
    for (int n = 1; n <= 4; ++n) {
        Channel &c = channels[size_t(n)];
        c.sim->setRecordTraffic(false);
        ASSERT_TRUE(c.sim->listenTcp()) << c.sim->errorText().toStdString();
        ini = VendrixProcess::Merged(ini, VendrixProcess::TcpChannel(n, c.sim->tcpPort()));
        ini[QStringLiteral("DBMS(%1)").arg(n)] = {
            {"Type", c.type}, {"Name", c.file}, {"Policy", "Append"}, {"SepCode", c.sepCode}};
        // When a transfer is complete, the terminal starts the next one.
        QObject::connect(c.sim.get(), &SimTerminal::transferFinished, c.sim.get(), [&c] {
            c.collect();
            if (!c.stopping)
                c.startTransfer(kRecordsPerTransfer, 4000);
        });
        c.startTransfer(kRecordsPerTransfer, 4000); // waits for the collector's connection
    }
    VendrixProcess vendrix(home.path());
    ASSERT_TRUE(vendrix.writeIni(ini)) << vendrix.errorText().toStdString();

    const quint32 seed = QRandomGenerator::global()->generate();
    std::printf("kill moments drawn with seed %u\n", seed);
    QRandomGenerator rng(seed);
    QElapsedTimer phase;
    phase.start();
    int kills = 0;
    while (kills < kKills && phase.elapsed() < kKillPhaseMs) {
        ASSERT_TRUE(vendrix.start()) << vendrix.errorText().toStdString();
        // Anywhere from the start-up to well into the traffic.
        waitUntil([] { return false; }, int(rng.bounded(30, 700)));
        const auto exit = vendrix.kill();
        ASSERT_TRUE(exit.ended);
        ++kills;
    }

    // The last run ends cleanly once every terminal has finished its transfer.
    ASSERT_TRUE(vendrix.start());
    for (int n = 1; n <= 4; ++n)
        channels[size_t(n)].stopping = true;
    const bool finished = waitUntil(
        [&] {
            for (int n = 1; n <= 4; ++n)
                if (channels[size_t(n)].sim->isSending())
                    return false;
            return true;
        },
        60000);
    const auto exit = vendrix.terminate();
    ASSERT_TRUE(finished) << "the terminals did not finish their transfers";
    EXPECT_FALSE(exit.crashed);

    EXPECT_GE(kills, kMinKills);
    for (int n = 1; n <= 4; ++n) {
        const Channel &c = channels[size_t(n)];
        SCOPED_TRACE(c.label.toStdString());
        QString error;
        const QList<QByteArray> rows = ReadTarget(c, &error);
        ASSERT_TRUE(error.isEmpty()) << error.toStdString();

        QHash<QByteArray, int> seen;
        int torn = 0;
        for (const QByteArray &row : rows) {
            // The CSV target stores the fields with commas.
            QByteArray text = row;
            if (c.label == QLatin1String("CSV"))
                text.replace(',', ';');
            c.isRecord(text) ? ++seen[text] : ++torn;
        }
        const auto tally = c.tally(seen);
        std::printf("%-6s records acknowledged %d, rows %d, duplicates %d, NAKs %d, kills %d\n", qPrintable(c.label),
                    int(c.acked.size()), int(rows.size()), tally.duplicates, c.naks, kills);
        EXPECT_EQ(tally.lost, 0) << "acknowledged records missing from the target";
        EXPECT_EQ(torn, 0) << "rows that are not a whole record";
        EXPECT_LE(tally.duplicates, kills) << "more duplicates than records in flight at the kills";
        EXPECT_EQ(tally.duplicatesNeverResent, 0) << "a record stored twice that was never sent twice";
        EXPECT_EQ(int(c.acked.size()), c.nextRecord - 1) << "every record sent was acknowledged in the end";
    }
}
