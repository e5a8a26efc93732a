// End-to-end benchmarks: the real program, headless, against a terminal, and
// beside it the minimal ACK-only peer measured the same way.
//
//   vendrix_e2e_bench [--tcp-records N] [--serial-records N] [--lookup-lines N]
//                     [--length L] [--only tcp,serial,lookup] [--keep DIR]
//
// Each measurement prints one line "RESULT bench=... key=value ..." that
// bench/run.sh turns into the table:
//  - tcp: N records stop-and-wait over TCP on 127.0.0.1 into each target kind
//    (TXT, CSV, SQLite, dBase, and PostgreSQL on a server of the benchmark's
//    own on 127.0.0.1), into the minimal peer, and into the floor (the peer
//    that also polls and appends each arrival to a file); records per second and the
//    CR-to-ACK latency (median, 99th percentile). The terminal is
//    vendrix_bench_terminal and the minimal peer vendrix_bench_peer (plain C,
//    blocking calls): what they spend per record is far below what they
//    measure, so the ratios show the collector's own cost.
//  - serial: the same over a pseudo-terminal pair at 115200 bit/s, into a TXT
//    target, and into the minimal peer; what the processing adds to the wire
//    time of the record (10 bits per byte).
//  - lookup: a look-up file sent to the terminal over TCP, lines per second
//    for the first and for the last thousand lines.
//
// The collector writes its standard output into a file in its home, as a
// service would, so the benchmark process spends nothing on reading it.
#include "PgServer.h"
#include "PtyPair.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "tools/simterm/SimTerminal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <sched.h>
#include <unistd.h>

using vx::sim::Percentile;
using vx::sim::SimTerminal;
using vx::test::PtyPair;
using vx::test::VendrixProcess;

namespace {

void out(const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void note(const QString &line)
{
    std::fputs(("vendrix_e2e_bench: " + line + "\n").toLocal8Bit().constData(), stderr);
}

// The program folder of the build (Vendrix, vendrix-simterm).
QString programDir()
{
    return vx::test::programDir();
}

// The benchmark's own folder: the benchmark terminal and the minimal peer
// are built beside it, never into the program folder.
QString benchDir()
{
    return QCoreApplication::applicationDirPath();
}

// The collector program: Vendrix in the program folder, or another build of
// it placed there (--collector), for comparisons.
QString g_collector = QStringLiteral("Vendrix");

QString CollectorProgram()
{
    return programDir() + QLatin1Char('/') + g_collector;
}

// Where the collector (or the minimal peer) runs relative to the simulated
// terminal: -1 anywhere the system puts it, else this CPU.
int g_childCpu = -1;

bool PinTo(int cpu, pid_t pid = 0)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(pid, sizeof set, &set) == 0;
}

// Sleeps on the event loop, so the terminal keeps working meanwhile.
void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A child process (the collector or the minimal peer) with its output in
// files of its folder.
class Child {
public:
    Child(const QString &program, const QStringList &arguments, const QString &dir,
          const QMap<QString, QString> &env = {})
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (int n = 1; n <= 9; ++n)
            e.remove(QStringLiteral("VENDRIX_COM%1").arg(n));
        e.remove(QStringLiteral("VENDRIX_EXCHANGE"));
        for (auto it = env.cbegin(); it != env.cend(); ++it)
            e.insert(it.key(), it.value());
        m_process.setProcessEnvironment(e);
        m_process.setStandardOutputFile(dir + QStringLiteral("/stdout.txt"));
        m_process.setStandardErrorFile(dir + QStringLiteral("/stderr.txt"));
        m_process.setProgram(program);
        m_process.setArguments(arguments);
        if (g_childCpu >= 0) {
            const int cpu = g_childCpu;
            m_process.setChildProcessModifier([cpu] { PinTo(cpu); });
        }
        m_process.start();
        m_started = m_process.waitForStarted(5000);
    }
    ~Child() { stop(); }
    bool started() const { return m_started; }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
    }

private:
    QProcess m_process;
    bool m_started = false;
};

VendrixProcess::Ini TcpChannel(quint16 port)
{
    return {{QStringLiteral("Com(1)"),
             {{QStringLiteral("ConnType"), QStringLiteral("TCP")},
              {QStringLiteral("IP1"), QStringLiteral("127")},
              {QStringLiteral("IP2"), QStringLiteral("0")},
              {QStringLiteral("IP3"), QStringLiteral("0")},
              {QStringLiteral("IP4"), QStringLiteral("1")},
              {QStringLiteral("IP5"), QString::number(port)}}}};
}

// Waits until the collector's log says it is ready (it connects during its
// start-up, before it serves the first line).
bool WaitReady(const QString &home, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        QFile log(home + QStringLiteral("/LOG.txt"));
        if (log.open(QIODevice::ReadOnly) && log.readAll().contains("Collector ready"))
            return true;
        pause(20);
    }
    return false;
}

struct Target {
    QString label;
    QString type;
    QString file;
};

const Target kTargets[] = {
    {QStringLiteral("TXT"), QStringLiteral("TXT (*.txt)"), QStringLiteral("data.txt")},
    {QStringLiteral("CSV"), QStringLiteral("CSV (*.csv)"), QStringLiteral("data.csv")},
    {QStringLiteral("SQLite"), QStringLiteral("Access 2.0 (*.mdb)"), QStringLiteral("data.mdb")},
    {QStringLiteral("dBase"), QStringLiteral("Dbase IV (*.dbf)"), QStringLiteral("data.dbf")},
    // Name is the connection string of the benchmark's own server.
    {QStringLiteral("PostgreSQL"), QStringLiteral("PostgreSQL"), QString()},
};

// Whether the benchmark's PostgreSQL server syncs its write-ahead log at
// each commit (--pg-fsync on), as a production server does, or not (the
// default: the collector's own cost shows, not the disk's).
bool g_pgFsync = false;

// The PostgreSQL server of the runs, started at its first use (null when it
// cannot be started).
vx::test::PgServer *Postgres()
{
    static std::unique_ptr<vx::test::PgServer> server;
    static bool tried = false;
    if (!tried) {
        tried = true;
        server = std::make_unique<vx::test::PgServer>();
        if (!server->start()) {
            note(QStringLiteral("no PostgreSQL server: %1").arg(server->errorText()));
            server.reset();
            return nullptr;
        }
        if (g_pgFsync) {
            // Both settings take effect at a reload.
            QString error;
            for (const char *sql :
                 {"ALTER SYSTEM SET fsync = on", "ALTER SYSTEM SET full_page_writes = on", "SELECT pg_reload_conf()"})
                if (error.isEmpty())
                    server->query(QString::fromLatin1(sql), &error);
            if (!error.isEmpty())
                note(QStringLiteral("cannot turn the server's fsync on: %1").arg(error));
        }
        pause(500);
        out(QStringLiteral("INFO pg_fsync=%1 pg_synchronous_commit=%2")
                .arg(server->value(QStringLiteral("SHOW fsync")),
                     server->value(QStringLiteral("SHOW synchronous_commit"))));
    }
    return server.get();
}

// Records found in the target afterwards (-1 when it cannot be read): text
// lines, the SQLite table's rows, or the dBase header's record count.
qint64 StoredRecords(const Target &t, const QString &path)
{
    QFile f(path);
    if (t.label == QLatin1String("PostgreSQL")) {
        // path is the run's collector name.
        vx::test::PgServer *server = Postgres();
        return server ? server
                            ->value(
                                QStringLiteral("SELECT count(*) FROM vendrix_records WHERE collector = '%1'").arg(path))
                            .toLongLong()
                      : -1;
    }
    if (t.label == QLatin1String("SQLite")) {
        QProcess q;
        q.start(QStringLiteral("sqlite3"), {path, QStringLiteral("SELECT COUNT(*) FROM Vendrix;")});
        if (!q.waitForFinished(30000) || q.exitCode() != 0)
            return -1;
        return q.readAllStandardOutput().trimmed().toLongLong();
    }
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    if (t.label == QLatin1String("dBase")) {
        const QByteArray header = f.read(8);
        return header.size() == 8 ? qFromLittleEndian<quint32>(header.constData() + 4) : -1;
    }
    return f.readAll().count("\r\n");
}

// One measured transfer: from the benchmark terminal's summary (TCP) or
// from the simulated terminal's result (serial).
struct Run {
    int records = 0;
    int acked = 0;
    double seconds = 0;
    double medianUs = 0;
    double p99Us = 0;
    int resends = 0;
    bool ok = false;
    std::vector<qint64> latenciesNs; // serial only, pooled over the rounds
};

Run FromSimTerminal(const SimTerminal::TransferResult &result, int records)
{
    Run run;
    run.records = records;
    run.latenciesNs = result.latenciesNs();
    run.acked = int(run.latenciesNs.size());
    run.seconds = result.seconds();
    run.medianUs = double(Percentile(run.latenciesNs, 50)) / 1000.0;
    run.p99Us = double(Percentile(run.latenciesNs, 99)) / 1000.0;
    run.resends = result.resends;
    run.ok = result.complete;
    return run;
}

double Rate(const Run &run)
{
    return run.seconds > 0 ? run.acked / run.seconds : 0.0;
}

QString Result(const QString &bench, const QString &target, const Run &run)
{
    return QStringLiteral(
               "RESULT bench=%1 target=%2 records=%3 acked=%4 seconds=%5 records_per_s=%6 "
               "median_us=%7 p99_us=%8 resends=%9")
        .arg(bench, target)
        .arg(run.records)
        .arg(run.acked)
        .arg(run.seconds, 0, 'f', 3)
        .arg(Rate(run), 0, 'f', 0)
        .arg(run.medianUs, 0, 'f', 1)
        .arg(run.p99Us, 0, 'f', 1)
        .arg(run.resends);
}

QList<QByteArray> Records(int count, int length)
{
    QList<QByteArray> records;
    records.reserve(count);
    for (int i = 1; i <= count; ++i)
        records.append(SimTerminal::generatedRecord(i, length));
    return records;
}

SimTerminal::SendOptions Options()
{
    SimTerminal::SendOptions o;
    o.answerTimeoutMs = 10000;
    return o;
}

// --- TCP ----------------------------------------------------------------------

// The benchmark terminal (vendrix_bench_terminal) as a child process on the
// benchmark's CPU: it listens, says its port, says when the collector (or
// the minimal peer) connected, sends the transfer when told, and prints its
// figures.
class BenchTerminal {
public:
    BenchTerminal(int records, int length, const QString &dir)
        : BenchTerminal({QStringLiteral("--records"), QString::number(records), QStringLiteral("--length"),
                         QString::number(length), QStringLiteral("--timeout-ms"), QStringLiteral("10000")},
                        dir)
    {
    }
    // Asks for look-up file j instead of sending a transfer (see lookup()).
    BenchTerminal(int j, const QString &dir)
        : BenchTerminal({QStringLiteral("--records"), QStringLiteral("0"), QStringLiteral("--lookup"),
                         QString::number(j), QStringLiteral("--out"), dir},
                        dir)
    {
    }
    BenchTerminal(const QStringList &args, const QString &dir) : m_dir(dir)
    {
        m_process.setStandardErrorFile(dir + QStringLiteral("/terminal-stderr.txt"));
        m_process.start(benchDir() + QStringLiteral("/vendrix_bench_terminal"), args);
        m_process.waitForStarted(5000);
    }
    ~BenchTerminal()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
    }
    // The port it listens on, 0 when it did not say.
    quint16 port()
    {
        const QByteArray line = readLine(10000);
        return line.startsWith("PORT ") ? quint16(line.mid(5).trimmed().toUInt()) : 0;
    }
    bool waitForConnected(int timeoutMs) { return readLine(timeoutMs).trimmed() == "CONNECTED"; }
    // Sends the transfer and waits for its end.
    Run transfer(int records)
    {
        Run run;
        run.records = records;
        m_process.write("go\n");
        m_process.waitForBytesWritten(5000);
        const QByteArray line = readLine(600000);
        if (!line.startsWith("TRANSFER ")) {
            note(QStringLiteral("the benchmark terminal gave no figures"));
            return run;
        }
        QMap<QByteArray, QByteArray> v;
        for (const QByteArray &kv : line.trimmed().split(' ')) {
            const int eq = kv.indexOf('=');
            if (eq > 0)
                v.insert(kv.left(eq), kv.mid(eq + 1));
        }
        run.acked = v.value("acked").toInt();
        run.seconds = v.value("seconds").toDouble();
        run.medianUs = v.value("median_ns").toDouble() / 1000.0;
        run.p99Us = v.value("p99_ns").toDouble() / 1000.0;
        run.ok = v.value("complete") == "1";
        m_process.waitForFinished(10000);
        return run;
    }

    // Takes the look-up file asked for and reads back what the terminal
    // wrote: the accepted lines and the time each arrived. Empty when it
    // did not run.
    std::unique_ptr<SimTerminal::LookupFile> lookup(int j)
    {
        m_process.write("go\n");
        m_process.waitForBytesWritten(5000);
        const QByteArray line = readLine(600000);
        if (!line.startsWith("LOOKUP ")) {
            note(QStringLiteral("the benchmark terminal took no look-up file"));
            return {};
        }
        m_process.waitForFinished(10000);
        auto f = std::make_unique<SimTerminal::LookupFile>();
        f->number = j;
        f->complete = line.contains("complete=1");
        f->badChecks = line.mid(line.indexOf("bad=") + 4).split(' ').value(0).toInt();
        QFile lines(m_dir + QStringLiteral("/lines.txt"));
        QFile times(m_dir + QStringLiteral("/times.txt"));
        if (!lines.open(QIODevice::ReadOnly) || !times.open(QIODevice::ReadOnly))
            return {};
        f->lines = lines.readAll().split('\n');
        f->lines.removeLast(); // after the last line end
        const QList<QByteArray> stamps = times.readAll().split('\n');
        for (qsizetype i = 0; i < stamps.size(); ++i) {
            if (stamps[i].isEmpty())
                continue;
            if (i == 0)
                f->bofNs = stamps[i].toLongLong();
            else
                f->lineNs.push_back(stamps[i].toLongLong());
        }
        return f;
    }

private:
    QByteArray readLine(int timeoutMs)
    {
        QElapsedTimer t;
        t.start();
        while (!m_process.canReadLine()) {
            const qint64 left = timeoutMs - t.elapsed();
            if (left <= 0 || m_process.state() == QProcess::NotRunning)
                return m_process.canReadLine() ? m_process.readLine() : QByteArray();
            m_process.waitForReadyRead(int(left));
        }
        return m_process.readLine();
    }

    QString m_dir;
    QProcess m_process;
};

// The minimal peer; with store, the floor: the peer that also waits with
// ppoll() and appends every arrival to that file, as a text target must.
Run TcpMinimal(int count, int length, const QString &dir, const QString &store = QString())
{
    Run run;
    run.records = count;
    BenchTerminal term(count, length, dir);
    const quint16 port = term.port();
    if (port == 0) {
        note(QStringLiteral("the benchmark terminal does not listen"));
        return run;
    }
    QStringList args{QStringLiteral("--connect"), QStringLiteral("127.0.0.1:%1").arg(port)};
    if (!store.isEmpty()) {
        QFile::remove(store);
        args << QStringLiteral("--store") << store;
    }
    Child peer(benchDir() + QStringLiteral("/vendrix_bench_peer"), args, dir);
    if (!peer.started() || !term.waitForConnected(10000)) {
        note(QStringLiteral("the minimal peer did not connect"));
        return run;
    }
    return term.transfer(count);
}

Run TcpVendrix(int count, int length, const Target &target, const QString &home, qint64 *stored)
{
    Run run;
    run.records = count;
    BenchTerminal term(count, length, home);
    const quint16 port = term.port();
    if (port == 0) {
        note(QStringLiteral("the benchmark terminal does not listen"));
        return run;
    }
    VendrixProcess::Ini ini = TcpChannel(port);
    QString path = home + QLatin1Char('/') + target.file;
    QString name = path;
    if (target.label == QLatin1String("PostgreSQL")) {
        vx::test::PgServer *server = Postgres();
        if (!server)
            return run;
        name = server->connInfo();
        path = QFileInfo(home).fileName(); // the collector's name, which tells its rows
        ini[QStringLiteral("Misc")] = {{QStringLiteral("CollectorName"), path}};
    }
    ini[QStringLiteral("DBMS(1)")] = {{QStringLiteral("Type"), target.type},
                                      {QStringLiteral("Name"), name},
                                      {QStringLiteral("Policy"), QStringLiteral("Append")}};
    QString error;
    if (!VendrixProcess::WriteIni(home + QStringLiteral("/Vendrix.ini"), ini, &error)) {
        note(error);
        return run;
    }
    {
        Child vendrix(CollectorProgram(), {QStringLiteral("--headless")}, home,
                      {{QStringLiteral("VENDRIX_HOME"), home}});
        if (!vendrix.started() || !term.waitForConnected(15000) || !WaitReady(home, 15000)) {
            note(QStringLiteral("the collector did not start or connect (%1)").arg(target.label));
            return run;
        }
        run = term.transfer(count);
    }
    *stored = StoredRecords(target, path);
    return run;
}

// The ceiling of a PostgreSQL target: one client doing the collector's
// prepared INSERT of a 50-character record (autocommit, the row's key
// included) as fast as the server commits it, with pgbench against the same
// server. Records per second, 0 when it cannot be measured; *medianUs: the
// median time of one transaction (from pgbench's log of each), which a busy
// machine's pauses move far less than the rate.
double PgBenchRate(const QString &work, int seconds, double *medianUs)
{
    *medianUs = 0;
    vx::test::PgServer *server = Postgres();
    if (!server)
        return 0;
    // The table as the collector makes it (the run before made it).
    const QString script = work + QStringLiteral("/pgbench-insert.sql");
    QFile f(script);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    const QByteArray record = SimTerminal::generatedRecord(1, 50);
    f.write("\\set r random(1, 2000000000)\n"
            "INSERT INTO vendrix_records (collector, channel, transfer, allrek,"
            " field1, field2, field3, field4, field5, field6, field7, field8, field9, field10,"
            " field11, field12, field13, field14, field15, field16, field17, field18, field19, field20, record_no)"
            " VALUES ('pgbench', 1, 1, '"
            + record + "', '" + record
            + "', '', '', '', '', '', '', '', '', '', '', '', '', '', '', '', '', '', '', '', :r)"
              " ON CONFLICT (collector, channel, transfer, record_no, allrek) DO NOTHING;\n");
    f.close();
    const QString logDir = work + QStringLiteral("/pgbench-log");
    QDir(logDir).removeRecursively();
    QDir().mkpath(logDir);
    QProcess p;
    p.start(server->binDir() + QStringLiteral("/pgbench"),
            {QStringLiteral("-n"), QStringLiteral("-c"), QStringLiteral("1"), QStringLiteral("-M"),
             QStringLiteral("prepared"), QStringLiteral("-T"), QString::number(seconds), QStringLiteral("-f"), script,
             QStringLiteral("-l"), QStringLiteral("--log-prefix=%1/tx").arg(logDir), server->connInfo()});
    if (!p.waitForFinished(60000) || p.exitCode() != 0) {
        note(QStringLiteral("pgbench failed: %1").arg(QString::fromLocal8Bit(p.readAllStandardError())));
        return 0;
    }
    // One line per transaction: "client transaction latency_us script epoch us".
    std::vector<qint64> latencies;
    for (const QFileInfo &log : QDir(logDir).entryInfoList(QDir::Files)) {
        QFile in(log.filePath());
        if (!in.open(QIODevice::ReadOnly))
            continue;
        while (!in.atEnd()) {
            const QList<QByteArray> fields = in.readLine().split(' ');
            if (fields.size() >= 3)
                latencies.push_back(fields[2].toLongLong());
        }
    }
    if (!latencies.empty())
        *medianUs = double(Percentile(latencies, 50));
    // "tps = 12345.678901 (without initial connection time)"
    const QRegularExpression tps(QStringLiteral("tps = ([0-9.]+) \\(without"));
    const QRegularExpressionMatch m = tps.match(QString::fromLocal8Bit(p.readAllStandardOutput()));
    return m.hasMatch() ? m.captured(1).toDouble() : 0;
}

void BenchTcp(int count, int length, const QString &work, const QStringList &targets, int rounds)
{
    double bestPgBench = 0;
    double bestPgBenchMedian = 0;
    const QString minimalDir = work + QStringLiteral("/tcp-minimal");
    QDir().mkpath(minimalDir);

    // Round after round, the minimal peer and then each target kind, so a
    // passing disturbance of the machine hits them alike; each reports its
    // best round (the most records per second).
    QMap<QString, Run> best;
    QMap<QString, qint64> bestStored;
    QStringList order{QStringLiteral("minimal"), QStringLiteral("floor")};
    for (const Target &t : kTargets)
        if (targets.contains(t.label, Qt::CaseInsensitive))
            order << t.label;
    for (int round = 1; round <= rounds; ++round) {
        for (const QString &label : order) {
            Run run;
            qint64 stored = -1;
            if (label == QLatin1String("minimal")) {
                run = TcpMinimal(count, length, minimalDir);
            } else if (label == QLatin1String("floor")) {
                run = TcpMinimal(count, length, minimalDir, minimalDir + QStringLiteral("/floor.txt"));
                QFile floor(minimalDir + QStringLiteral("/floor.txt"));
                stored = floor.open(QIODevice::ReadOnly) ? floor.readAll().count('\r') : 0;
            } else {
                const Target &t = *std::find_if(std::begin(kTargets), std::end(kTargets),
                                                [&](const Target &k) { return k.label == label; });
                const QString home = work + QStringLiteral("/tcp-") + t.label + QStringLiteral("-%1").arg(round);
                QDir().mkpath(home);
                run = TcpVendrix(count, length, t, home, &stored);
            }
            out(Result(QStringLiteral("tcp"), label, run).replace(QStringLiteral("RESULT "), QStringLiteral("RUN "))
                + QStringLiteral(" round=%1 stored=%2").arg(round).arg(stored));
            if (!best.contains(label) || (run.ok && Rate(run) > Rate(best[label]))) {
                best[label] = run;
                bestStored[label] = stored;
            }
            if (label == QLatin1String("PostgreSQL")) {
                double medianUs = 0;
                const double rate = PgBenchRate(work, 4, &medianUs);
                out(QStringLiteral("RUN bench=tcp target=pgbench records_per_s=%1 median_us=%2 round=%3")
                        .arg(rate, 0, 'f', 0)
                        .arg(medianUs, 0, 'f', 1)
                        .arg(round));
                if (rate > bestPgBench) {
                    bestPgBench = rate;
                    bestPgBenchMedian = medianUs;
                }
            }
        }
    }
    for (const QString &label : order)
        out(Result(QStringLiteral("tcp"), label, best[label])
            + QStringLiteral(" rounds=%1 stored=%2").arg(rounds).arg(bestStored[label]));
    if (bestPgBench > 0)
        out(QStringLiteral("RESULT bench=tcp target=pgbench records_per_s=%1 median_us=%2 rounds=%3")
                .arg(bestPgBench, 0, 'f', 0)
                .arg(bestPgBenchMedian, 0, 'f', 1)
                .arg(rounds));
}

// --- Serial over a pseudo-terminal pair -----------------------------------------

constexpr int kSerialSpeed = 115200;

Run SerialRun(const QList<QByteArray> &records, const QString &dir, bool vendrix, qint64 *stored)
{
    Run run;
    run.records = int(records.size());
    PtyPair pair;
    if (!pair.isReady()) {
        note(QStringLiteral("no pseudo-terminal pair: %1").arg(pair.errorText()));
        return run;
    }
    SimTerminal term;
    term.setRecordTraffic(false);
    if (!term.openSerial(pair.terminalEnd(), kSerialSpeed)) {
        note(term.errorText());
        return run;
    }
    std::unique_ptr<Child> child;
    const QString path = dir + QStringLiteral("/data.txt");
    if (vendrix) {
        const VendrixProcess::Ini ini = {{QStringLiteral("Com(1)"),
                                          {{QStringLiteral("ConnType"), QStringLiteral("Serial")},
                                           {QStringLiteral("Port"), QStringLiteral("Com1")},
                                           {QStringLiteral("Speed"), QString::number(kSerialSpeed)}}},
                                         {QStringLiteral("DBMS(1)"),
                                          {{QStringLiteral("Type"), QStringLiteral("TXT (*.txt)")},
                                           {QStringLiteral("Name"), path},
                                           {QStringLiteral("Policy"), QStringLiteral("Append")}}}};
        QString error;
        if (!VendrixProcess::WriteIni(dir + QStringLiteral("/Vendrix.ini"), ini, &error)) {
            note(error);
            return run;
        }
        child = std::make_unique<Child>(CollectorProgram(), QStringList{"--headless"}, dir,
                                        QMap<QString, QString>{{QStringLiteral("VENDRIX_HOME"), dir},
                                                               {QStringLiteral("VENDRIX_COM1"), pair.pcEnd()}});
        if (!child->started() || !WaitReady(dir, 15000)) {
            note(QStringLiteral("the collector did not start on %1").arg(pair.pcEnd()));
            return run;
        }
    } else {
        child = std::make_unique<Child>(programDir() + QStringLiteral("/vendrix-simterm"),
                                        QStringList{QStringLiteral("ackpeer"), QStringLiteral("--serial"), pair.pcEnd(),
                                                    QStringLiteral("--speed"), QString::number(kSerialSpeed)},
                                        dir);
        if (!child->started()) {
            note(QStringLiteral("the minimal peer did not start"));
            return run;
        }
        pause(300); // the peer opens its end
    }
    run = FromSimTerminal(term.sendTransfer(records, Options()), int(records.size()));
    child->stop();
    if (vendrix && stored)
        *stored = StoredRecords(kTargets[0], path);
    return run;
}

void BenchSerial(int count, int length, const QString &work, int rounds)
{
    const QList<QByteArray> records = Records(count, length);
    // The record's bytes on the wire: text, two check characters, CR; ten
    // bits per byte (start, eight data bits, stop).
    const double wireUs = double(length + 3) * 10.0 * 1e6 / kSerialSpeed;

    // The minimal peer and the collector take turns; their latencies are
    // pooled over the rounds.
    std::vector<qint64> minimalLat;
    std::vector<qint64> vendrixLat;
    Run minimal;
    Run vendrix;
    qint64 stored = -1;
    bool allOk = true;
    for (int round = 1; round <= rounds; ++round) {
        const QString minimalDir = work + QStringLiteral("/serial-minimal-%1").arg(round);
        const QString home = work + QStringLiteral("/serial-TXT-%1").arg(round);
        QDir().mkpath(minimalDir);
        QDir().mkpath(home);
        minimal = SerialRun(records, minimalDir, false, nullptr);
        vendrix = SerialRun(records, home, true, &stored);
        allOk = allOk && minimal.ok && vendrix.ok && stored == count;
        minimalLat.insert(minimalLat.end(), minimal.latenciesNs.begin(), minimal.latenciesNs.end());
        vendrixLat.insert(vendrixLat.end(), vendrix.latenciesNs.begin(), vendrix.latenciesNs.end());
        out(Result(QStringLiteral("serial"), QStringLiteral("minimal"), minimal)
                .replace(QStringLiteral("RESULT "), QStringLiteral("RUN "))
            + QStringLiteral(" round=%1").arg(round));
        out(Result(QStringLiteral("serial"), QStringLiteral("TXT"), vendrix)
                .replace(QStringLiteral("RESULT "), QStringLiteral("RUN "))
            + QStringLiteral(" round=%1 stored=%2").arg(round).arg(stored));
    }

    auto us = [](const std::vector<qint64> &v, double p) { return double(Percentile(v, p)) / 1000.0; };
    const double minimalMedian = us(minimalLat, 50);
    const double minimalP99 = us(minimalLat, 99);
    const double vxMedian = us(vendrixLat, 50);
    const double vxP99 = us(vendrixLat, 99);
    const QString common = QStringLiteral(
        "RESULT bench=serial target=%1 records=%2 rounds=%3 acked=%4 median_us=%5 "
        "p99_us=%6 length=%7 wire_us=%8 complete=%9");
    out(common.arg(QStringLiteral("minimal"))
            .arg(count)
            .arg(rounds)
            .arg(minimalLat.size())
            .arg(minimalMedian, 0, 'f', 1)
            .arg(minimalP99, 0, 'f', 1)
            .arg(length)
            .arg(wireUs, 0, 'f', 1)
            .arg(allOk ? 1 : 0));
    // What the processing adds: the collector's CR-to-ACK time beyond the
    // minimal peer's over the same pseudo-terminals, as a share of the wire
    // time; and, as an upper bound, its whole CR-to-ACK time.
    out(common.arg(QStringLiteral("TXT"))
            .arg(count)
            .arg(rounds)
            .arg(vendrixLat.size())
            .arg(vxMedian, 0, 'f', 1)
            .arg(vxP99, 0, 'f', 1)
            .arg(length)
            .arg(wireUs, 0, 'f', 1)
            .arg(allOk ? 1 : 0)
        + QStringLiteral(" added_median_pct=%1 added_p99_pct=%2 whole_median_pct=%3 whole_p99_pct=%4")
              .arg(100.0 * (vxMedian - minimalMedian) / wireUs, 0, 'f', 2)
              .arg(100.0 * (vxP99 - minimalP99) / wireUs, 0, 'f', 2)
              .arg(100.0 * vxMedian / wireUs, 0, 'f', 2)
              .arg(100.0 * vxP99 / wireUs, 0, 'f', 2));
}

// --- Look-up file ---------------------------------------------------------------

// Lines per second over count lines starting at index first, timed from the
// line before them (from "BOF" for the first ones).
double LookupRate(const SimTerminal::LookupFile &f, int first, int count)
{
    if (count <= 0 || first < 0 || first + count > int(f.lineNs.size()))
        return 0;
    const qint64 from = first == 0 ? f.bofNs : f.lineNs[size_t(first - 1)];
    const qint64 to = f.lineNs[size_t(first + count - 1)];
    return to > from ? double(count) * 1e9 / double(to - from) : 0;
}

// One look-up file sending: a fresh collector, "GETFILE1", every line
// acknowledged at once. Empty when it did not run.
std::unique_ptr<SimTerminal::LookupFile> LookupRun(const QString &home, const QString &file)
{
    BenchTerminal term(1, home);
    const quint16 port = term.port();
    if (port == 0) {
        note(QStringLiteral("the benchmark terminal does not listen (look-up)"));
        return {};
    }
    VendrixProcess::Ini ini = TcpChannel(port);
    ini[QStringLiteral("DBMS(1)")] = {{QStringLiteral("Name"), home + QStringLiteral("/data.txt")}};
    ini[QStringLiteral("ExtFile(1)")] = {{QStringLiteral("Name"), file},
                                         {QStringLiteral("DelAfterSend"), QStringLiteral("0")},
                                         {QStringLiteral("IsZucchetti"), QStringLiteral(" 0")},
                                         {QStringLiteral("MaxLenght"), QStringLiteral("0")}};
    QString error;
    if (!VendrixProcess::WriteIni(home + QStringLiteral("/Vendrix.ini"), ini, &error)) {
        note(error);
        return {};
    }
    Child vendrix(CollectorProgram(), {QStringLiteral("--headless")}, home, {{QStringLiteral("VENDRIX_HOME"), home}});
    if (!vendrix.started() || !term.waitForConnected(15000) || !WaitReady(home, 15000)) {
        note(QStringLiteral("the collector did not start or connect (look-up)"));
        return {};
    }
    return term.lookup(1);
}

// The median time between two lines over count lines starting at index
// first, in microseconds: the typical cost of a line, which a passing stall
// of the machine does not move.
double LookupMedianGapUs(const SimTerminal::LookupFile &f, int first, int count)
{
    std::vector<qint64> gaps;
    for (int i = std::max(first, 1); i < first + count && i < int(f.lineNs.size()); ++i)
        gaps.push_back(f.lineNs[size_t(i)] - f.lineNs[size_t(i - 1)]);
    return double(Percentile(gaps, 50)) / 1000.0;
}

void BenchLookup(int lines, const QString &work, int rounds)
{
    const QString file = work + QStringLiteral("/Inventory.txt");
    QList<QByteArray> expected;
    {
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            note(QStringLiteral("cannot write %1").arg(file));
            return;
        }
        QByteArray all;
        for (int i = 1; i <= lines; ++i) {
            expected.append("ART" + QByteArray::number(i).rightJustified(7, '0') + ";Article number "
                            + QByteArray::number(i) + ";" + QByteArray::number(i % 997 * 10 + 5));
            all += expected.back() + "\r\n";
        }
        f.write(all);
    }

    double bestFirst = 0;
    double bestLast = 0;
    double bestOverall = 0;
    std::vector<double> gapsFirst;
    std::vector<double> gapsLast;
    bool allOk = true;
    for (int round = 1; round <= rounds; ++round) {
        const QString home = work + QStringLiteral("/lookup-%1").arg(round);
        QDir().mkpath(home);
        const std::unique_ptr<SimTerminal::LookupFile> f = LookupRun(home, file);
        if (!f) {
            allOk = false;
            continue;
        }
        const int n = int(f->lineNs.size());
        const int k = std::min(1000, n);
        const double first = LookupRate(*f, 0, k);
        const double last = LookupRate(*f, n - k, k);
        const double secs = n > 0 ? double(f->lineNs.back() - f->bofNs) / 1e9 : 0;
        const bool ok = f->complete && n == lines && f->badChecks == 0 && f->lines == expected;
        allOk = allOk && ok;
        // The rate over each tenth of the file: a cost per line that grew with
        // the line number would show as a falling series.
        QStringList tenths;
        for (int t = 0; t < 10 && n >= 10; ++t)
            tenths << QString::number(LookupRate(*f, t * (n / 10), n / 10), 'f', 0);
        const double firstGap = LookupMedianGapUs(*f, 0, k);
        const double lastGap = LookupMedianGapUs(*f, n - k, k);
        gapsFirst.push_back(firstGap);
        gapsLast.push_back(lastGap);
        out(QStringLiteral("RUN bench=lookup round=%1 lines=%2 received=%3 identical=%4 seconds=%5 lines_per_s=%6 "
                           "first_lines_per_s=%7 last_lines_per_s=%8 tenths=%9")
                .arg(round)
                .arg(lines)
                .arg(n)
                .arg(ok ? 1 : 0)
                .arg(secs, 0, 'f', 3)
                .arg(secs > 0 ? n / secs : 0.0, 0, 'f', 0)
                .arg(first, 0, 'f', 0)
                .arg(last, 0, 'f', 0)
                .arg(tenths.join(QLatin1Char(',')))
            + QStringLiteral(" first_median_gap_us=%1 last_median_gap_us=%2")
                  .arg(firstGap, 0, 'f', 1)
                  .arg(lastGap, 0, 'f', 1));
        bestFirst = std::max(bestFirst, first);
        bestLast = std::max(bestLast, last);
        bestOverall = std::max(bestOverall, secs > 0 ? n / secs : 0.0);
    }
    out(QStringLiteral("RESULT bench=lookup lines=%1 rounds=%2 complete=%3 lines_per_s=%4 first_lines_per_s=%5 "
                       "last_lines_per_s=%6 difference_pct=%7")
            .arg(lines)
            .arg(rounds)
            .arg(allOk ? 1 : 0)
            .arg(bestOverall, 0, 'f', 0)
            .arg(bestFirst, 0, 'f', 0)
            .arg(bestLast, 0, 'f', 0)
            .arg(bestFirst > 0 ? 100.0 * std::abs(bestFirst - bestLast) / bestFirst : 0.0, 0, 'f', 1)
        + QStringLiteral(" first_median_gap_us=%1 last_median_gap_us=%2")
              .arg(gapsFirst.empty() ? 0.0 : *std::min_element(gapsFirst.begin(), gapsFirst.end()), 0, 'f', 1)
              .arg(gapsLast.empty() ? 0.0 : *std::min_element(gapsLast.begin(), gapsLast.end()), 0, 'f', 1));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("End-to-end benchmarks of the headless collector."));
    p.addHelpOption();
    p.addOptions({
        {"tcp-records", "Records per TCP run.", "n", "20000"},
        {"serial-records", "Records per serial run.", "n", "5000"},
        {"lookup-lines", "Lines of the look-up file.", "n", "100000"},
        {"length", "Record length before the check characters.", "chars", "50"},
        {"only", "Comma-separated subset of tcp, serial, lookup.", "list", "tcp,serial,lookup"},
        {"targets", "TCP target kinds, comma-separated.", "list", "TXT,CSV,SQLite,dBase,PostgreSQL"},
        {"rounds",
         "Measure this many times (the best round counts for TCP and the look-up file; serial\n"
         "latencies are pooled).",
         "n", "3"},
        {"keep", "Work in this folder and keep it (default: a temporary folder).", "dir"},
        {"collector", "The collector program in the program folder.", "name", "Vendrix"},
        {"pg-fsync", "on: the PostgreSQL server syncs each commit (fsync=on); off (default): it does not.", "on|off",
         "off"},
        {"placement",
         "same: the terminal and the collector (or the minimal peer) share CPU 0, so the figures\n"
         "compare their processing; split: the terminal on CPU 0, the other on CPU 1, so every\n"
         "answer also pays a wake-up across CPUs; free: wherever the system puts them.",
         "mode", "free"},
    });
    p.process(app);

    g_collector = p.value("collector");
    g_pgFsync = p.value("pg-fsync") == QLatin1String("on");
    for (const QString &tool : {programDir() + QLatin1Char('/') + g_collector, programDir() + "/vendrix-simterm",
                                benchDir() + "/vendrix_bench_terminal", benchDir() + "/vendrix_bench_peer"}) {
        if (!QFile::exists(tool)) {
            note(QStringLiteral("%1 is missing; build it first").arg(tool));
            return 2;
        }
    }
    const QString placement = p.value("placement");
    if (placement == QLatin1String("same") || placement == QLatin1String("split")) {
        if (QThread::idealThreadCount() < 2 && placement == QLatin1String("split")) {
            note(QStringLiteral("split placement needs two CPUs"));
            return 2;
        }
        if (!PinTo(0)) {
            note(QStringLiteral("cannot pin to CPU 0"));
            return 2;
        }
        g_childCpu = placement == QLatin1String("same") ? 0 : 1;
    } else if (placement != QLatin1String("free")) {
        note(QStringLiteral("--placement wants same, split or free"));
        return 2;
    }
    QTemporaryDir temp;
    const QString work = p.isSet("keep") ? p.value("keep") : temp.path();
    QDir().mkpath(work);
    const QStringList only = p.value("only").split(QLatin1Char(','), Qt::SkipEmptyParts);
    const int length = std::max(8, p.value("length").toInt());

    out(QStringLiteral("INFO cores=%1 records_length=%2 placement=%3")
            .arg(::sysconf(_SC_NPROCESSORS_ONLN))
            .arg(length)
            .arg(placement));
    if (only.contains(QLatin1String("tcp")))
        BenchTcp(std::max(1, p.value("tcp-records").toInt()), length, work,
                 p.value("targets").split(QLatin1Char(','), Qt::SkipEmptyParts),
                 std::max(1, p.value("rounds").toInt()));
    if (only.contains(QLatin1String("serial")))
        BenchSerial(p.value("serial-records").toInt(), length, work, std::max(1, p.value("rounds").toInt()));
    if (only.contains(QLatin1String("lookup")))
        BenchLookup(p.value("lookup-lines").toInt(), work, std::max(1, p.value("rounds").toInt()));
    return 0;
}
