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
#include "SimTerminal.h"
#include "TestSupport.h"
#include "VendrixProcess.h"

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

constexpr int kKills = 60;           // SIGKILLs over the run
constexpr int kMinKills = 50;        // what the run must reach
constexpr qint64 kKillPhaseMs = 80000; // the kills stop after this, whatever their count
constexpr int kRecordsPerTransfer = 250;

struct Channel {
    QString label;
    QString type;
    QString file;
    QString sepCode;
    std::unique_ptr<SimTerminal> terminal;
    int nextRecord = 1;
    bool stopping = false;
    // Every record acknowledged, and how many attempts it took.
    QHash<QByteArray, int> acked;
    int naks = 0;
};

// Record i of channel n: "C<n>;<8 digits>;<filler>", 40 characters.
QByteArray RecordText(int n, int i)
{
    QByteArray r = "C" + QByteArray::number(n) + ";" + QByteArray::number(i).rightJustified(8, '0') + ";";
    for (int k = 0; r.size() < 40; ++k)
        r += char('A' + (i + k) % 26);
    return r;
}

void StartTransfer(Channel &c, int n)
{
    QList<QByteArray> records;
    for (int k = 0; k < kRecordsPerTransfer; ++k)
        records.append(RecordText(n, c.nextRecord++));
    SendOptions o;
    o.resendUntilAck = true;
    o.bofOnReconnect = true;
    o.answerTimeoutMs = 4000;
    c.terminal->startTransfer(records, o);
}

void Collect(Channel &c)
{
    const SimTerminal::TransferResult &r = c.terminal->lastTransfer();
    c.naks += r.naked;
    for (const SimTerminal::LineResult &line : r.lines) {
        if (line.kind != SimTerminal::LineKind::Record || line.answer != SimTerminal::Answer::Ack)
            continue;
        QByteArray text;
        if (SplitCheckedLine(line.line, &text))
            c.acked.insert(text, line.attempts);
    }
}

// The records in a target, one entry per stored row or line, in order.
// *error says why the target could not be read, or what is wrong with it.
QList<QByteArray> ReadTarget(const Channel &c, QString *error)
{
    QList<QByteArray> rows;
    if (c.label == QLatin1String("SQLite")) {
        QProcess check;
        check.start(QStringLiteral("sqlite3"), {QStringLiteral("-batch"), c.file, QStringLiteral("PRAGMA integrity_check;")});
        check.waitForFinished(60000);
        if (check.readAllStandardOutput().trimmed() != "ok") {
            *error = QStringLiteral("integrity check failed: ") + QString::fromLocal8Bit(check.readAllStandardError());
            return rows;
        }
        QProcess q;
        q.start(QStringLiteral("sqlite3"),
                {QStringLiteral("-batch"), c.file, QStringLiteral("SELECT AllRek FROM Vendrix ORDER BY rowid;")});
        if (!q.waitForFinished(60000) || q.exitCode() != 0) {
            *error = QStringLiteral("sqlite3 failed: ") + QString::fromLocal8Bit(q.readAllStandardError());
            return rows;
        }
        rows = q.readAllStandardOutput().split('\n');
        if (!rows.isEmpty() && rows.back().isEmpty())
            rows.removeLast();
        return rows;
    }
    if (c.label == QLatin1String("dBase")) {
        // Debian's Python and its dbf module, an independent dBase reader.
        QProcess q;
        q.start(QStringLiteral("/usr/bin/python3"),
                {QStringLiteral("-c"),
                 QStringLiteral("import dbf, sys\n"
                                "t = dbf.Table(sys.argv[1])\n"
                                "t.open(dbf.READ_ONLY)\n"
                                "out = sys.stdout.buffer\n"
                                "for r in t:\n"
                                "    out.write(r.allrek.rstrip().encode('latin-1') + b'\\n')\n"
                                "t.close()\n"),
                 c.file});
        if (!q.waitForFinished(60000) || q.exitCode() != 0) {
            *error = QStringLiteral("the dbf reader failed: ") + QString::fromLocal8Bit(q.readAllStandardError());
            return rows;
        }
        rows = q.readAllStandardOutput().split('\n');
        if (!rows.isEmpty() && rows.back().isEmpty())
            rows.removeLast();
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
    };
    define(1, "TXT", "TXT (*.txt)", "records.txt", "None");
    define(2, "CSV", "CSV (*.csv)", "records.csv", ";");
    define(3, "SQLite", "Access 2.0 (*.mdb)", "records.mdb", ";");
    define(4, "dBase", "Dbase IV (*.dbf)", "records.dbf", ";");

    VendrixProcess::Ini ini;
    for (int n = 1; n <= 4; ++n) {
        Channel &c = channels[size_t(n)];
        c.terminal = std::make_unique<SimTerminal>();
        c.terminal->setRecordTraffic(false);
        ASSERT_TRUE(c.terminal->listenTcp()) << c.terminal->errorText().toStdString();
        ini[QStringLiteral("Com(%1)").arg(n)] = {{"ConnType", "TCP"}, {"IP1", "127"}, {"IP2", "0"}, {"IP3", "0"},
                                                 {"IP4", "1"}, {"IP5", QString::number(c.terminal->tcpPort())}};
        ini[QStringLiteral("DBMS(%1)").arg(n)] = {
            {"Type", c.type}, {"Name", c.file}, {"Policy", "Append"}, {"SepCode", c.sepCode}};
        // When a transfer is complete, the terminal starts the next one.
        QObject::connect(c.terminal.get(), &SimTerminal::transferFinished, c.terminal.get(), [&c, n] {
            Collect(c);
            if (!c.stopping)
                StartTransfer(c, n);
        });
        StartTransfer(c, n); // waits for the collector's connection
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
                if (channels[size_t(n)].terminal->isSending())
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
        const QByteArray prefix = "C" + QByteArray::number(n) + ";";
        for (const QByteArray &row : rows) {
            // The CSV target stores the fields with commas.
            QByteArray text = row;
            if (c.label == QLatin1String("CSV"))
                text.replace(',', ';');
            if (!text.startsWith(prefix) || text.size() != 40 || text != RecordText(n, text.mid(3, 8).toInt()))
                ++torn;
            else
                ++seen[text];
        }
        int lost = 0;
        for (auto it = c.acked.cbegin(); it != c.acked.cend(); ++it)
            if (!seen.contains(it.key()))
                ++lost;
        int duplicates = 0;
        int duplicatesNeverResent = 0;
        for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
            if (it.value() < 2)
                continue;
            duplicates += it.value() - 1;
            if (c.acked.value(it.key(), 0) < 2)
                ++duplicatesNeverResent;
        }
        std::printf("%-6s records acknowledged %d, rows %d, duplicates %d, NAKs %d, kills %d\n",
                    qPrintable(c.label), int(c.acked.size()), int(rows.size()), duplicates, c.naks, kills);
        EXPECT_EQ(lost, 0) << "acknowledged records missing from the target";
        EXPECT_EQ(torn, 0) << "rows that are not a whole record";
        EXPECT_LE(duplicates, kills) << "more duplicates than records in flight at the kills";
        EXPECT_EQ(duplicatesNeverResent, 0) << "a record stored twice that was never sent twice";
        EXPECT_EQ(int(c.acked.size()), c.nextRecord - 1) << "every record sent was acknowledged in the end";
    }
}
