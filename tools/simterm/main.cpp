// vendrix-simterm: a simulated data-collection terminal on the command line, for
// benchmarks and for trying the collector by hand.
//
//   vendrix-simterm send    (--listen [--port P] | --serial DEV) [--records N] [--length L] [--resend] ...
//   vendrix-simterm respond (--listen [--port P] | --serial DEV) [--data N=FILE]... [--putfile REPLY]... ...
//   vendrix-simterm ackpeer (--connect HOST:PORT | --serial DEV)
//
// Run "vendrix-simterm --help" for every option. Results end with one "SUMMARY"
// line of key=value pairs (and "LOOKUP" lines in respond mode), so scripts
// can read them.
#include "tools/simterm/SimTerminal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

using vx::sim::AckOnlyPeer;
using vx::sim::Percentile;
using vx::sim::SimTerminal;

namespace {

int g_signalFd[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(g_signalFd[1], &c, 1);
}

// SIGTERM and SIGINT end the event loop, so the summary is still printed.
void quitOnSignals(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalFd) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalFd[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char c;
        [[maybe_unused]] const auto n = ::read(g_signalFd[0], &c, 1);
        app.quit();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

void out(const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void err(const QString &line)
{
    std::fputs(("vendrix-simterm: " + line + "\n").toLocal8Bit().constData(), stderr);
}

QString micro(qint64 ns)
{
    return QString::number(double(ns) / 1000.0, 'f', 1);
}

QList<QByteArray> readRecords(const QString &path, bool *ok)
{
    QFile f(path);
    *ok = f.open(QIODevice::ReadOnly);
    QList<QByteArray> records;
    if (!*ok)
        return records;
    QByteArray all = f.readAll();
    if (all.endsWith('\n'))
        all.chop(1);
    if (all.isEmpty())
        return records;
    for (QByteArray line : all.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        records.append(line);
    }
    return records;
}

// "ack", "nak" or "getfile:J".
bool parsePutFileReply(const QString &text, SimTerminal::PutFileReply *reply)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("ack")) {
        reply->kind = SimTerminal::PutFileReply::Ack;
        return true;
    }
    if (t == QLatin1String("nak")) {
        reply->kind = SimTerminal::PutFileReply::Nak;
        return true;
    }
    if (t.startsWith(QLatin1String("getfile:"))) {
        bool ok = false;
        reply->file = t.mid(8).toInt(&ok);
        reply->kind = SimTerminal::PutFileReply::GetFile;
        return ok;
    }
    return false;
}

// The lines per second over count lines ending at line index last, timed
// from the line before them (or from "BOF" for the first ones).
double lookupRate(const SimTerminal::LookupFile &f, int first, int count)
{
    if (count <= 0 || first < 0 || first + count > int(f.lineNs.size()))
        return 0;
    const qint64 from = first == 0 ? f.bofNs : f.lineNs[size_t(first - 1)];
    const qint64 to = f.lineNs[size_t(first + count - 1)];
    return to > from ? double(count) * 1e9 / double(to - from) : 0;
}

struct Transport {
    bool listen = false;
    quint16 port = 0;
    QString serial;
    qint32 speed = 115200;
    int waitConnectMs = 30000;
};

// Opens the terminal's side; prints "LISTENING <port>" for TCP.
bool openTerminal(SimTerminal &term, const Transport &t)
{
    if (t.listen) {
        if (!term.listenTcp(t.port)) {
            err(term.errorText());
            return false;
        }
        out(QStringLiteral("LISTENING %1").arg(term.tcpPort()));
        return true;
    }
    if (!term.openSerial(t.serial, t.speed)) {
        err(term.errorText());
        return false;
    }
    out(QStringLiteral("OPEN %1").arg(t.serial));
    return true;
}

int runSend(QCoreApplication &, const QCommandLineParser &p, const Transport &t)
{
    SimTerminal term;
    term.setRecordTraffic(false);
    term.setGreeting(p.isSet("greeting"));
    if (!openTerminal(term, t))
        return 3;
    if (!term.waitForConnected(t.waitConnectMs)) {
        err(QStringLiteral("no connection within %1 ms").arg(t.waitConnectMs));
        return 3;
    }
    const int startDelay = p.value("start-delay").toInt();
    if (startDelay > 0)
        term.waitFor([] { return false; }, startDelay);

    const int count = p.value("records").toInt();
    const int length = std::max(8, p.value("length").toInt());
    QList<QByteArray> records;
    records.reserve(count);
    for (int i = 1; i <= count; ++i)
        records.append(SimTerminal::generatedRecord(i, length));

    SimTerminal::SendOptions o;
    o.answerTimeoutMs = p.value("timeout").toInt();
    o.resendUntilAck = p.isSet("resend");
    o.bofOnReconnect = p.isSet("bof-on-reconnect");
    o.checkCharacters = !p.isSet("no-check");

    // A signal quits the application, which also ends this wait.
    term.startTransfer(records, o);
    term.waitFor([&] { return !term.isSending(); }, -1);

    const SimTerminal::TransferResult &r = term.lastTransfer();
    const std::vector<qint64> lat = r.latenciesNs();
    const double secs = r.endNs > r.startNs ? r.seconds() : double(term.nowNs() - r.startNs) / 1e9;
    const int recordsAcked = int(lat.size());
    out(QStringLiteral("SUMMARY mode=send records=%1 acked=%2 naks=%3 timeouts=%4 resends=%5 "
                       "seconds=%6 records_per_s=%7 latency_median_us=%8 latency_p99_us=%9 "
                       "complete=%10")
            .arg(count)
            .arg(recordsAcked)
            .arg(r.naked)
            .arg(r.timeouts)
            .arg(r.resends)
            .arg(secs, 0, 'f', 6)
            .arg(secs > 0 ? double(recordsAcked) / secs : 0.0, 0, 'f', 1)
            .arg(micro(Percentile(lat, 50)))
            .arg(micro(Percentile(lat, 99)))
            .arg(r.complete ? 1 : 0));
    return r.complete ? 0 : 1;
}

int runRespond(QCoreApplication &app, const QCommandLineParser &p, const Transport &t)
{
    SimTerminal term;
    term.setRecordTraffic(false);
    term.setGreeting(p.isSet("greeting"));
    SimTerminal::Rules &rules = term.rules();
    rules.dataSend.answerTimeoutMs = p.value("timeout").toInt();

    for (const QString &entry : p.values("data")) {
        const int eq = entry.indexOf(QLatin1Char('='));
        bool numOk = false;
        const int n = eq > 0 ? entry.left(eq).toInt(&numOk) : 0;
        bool fileOk = false;
        const QList<QByteArray> records = numOk ? readRecords(entry.mid(eq + 1), &fileOk) : QList<QByteArray>();
        if (!numOk || !fileOk) {
            err(QStringLiteral("--data wants N=FILE with a readable file: %1").arg(entry));
            return 2;
        }
        term.setDataFile(n, records);
    }

    QMap<int, SimTerminal::PutFileReply> putReplies;
    SimTerminal::PutFileReply defaultPut;
    for (const QString &entry : p.values("putfile")) {
        const int eq = entry.indexOf(QLatin1Char('='));
        SimTerminal::PutFileReply reply;
        if (!parsePutFileReply(eq > 0 ? entry.mid(eq + 1) : entry, &reply)) {
            err(QStringLiteral("--putfile wants ack, nak or getfile:J (optionally N=...): %1").arg(entry));
            return 2;
        }
        if (eq > 0)
            putReplies.insert(entry.left(eq).toInt(), reply);
        else
            defaultPut = reply;
    }
    rules.onPutFile = [putReplies, defaultPut](int n) { return putReplies.value(n, defaultPut); };
    if (p.isSet("getdata-nak"))
        rules.acceptGetData = [](int) { return false; };

    const QString modem = p.value("modem").toLower();
    if (modem == QLatin1String("zero"))
        rules.modemReply = SimTerminal::ModemReply::Zero;
    else if (modem == QLatin1String("silent"))
        rules.modemReply = SimTerminal::ModemReply::Silent;
    else if (modem != QLatin1String("ok")) {
        err(QStringLiteral("--modem wants ok, zero or silent"));
        return 2;
    }

    if (!openTerminal(term, t))
        return 3;
    if (!term.waitForConnected(t.waitConnectMs)) {
        err(QStringLiteral("no connection within %1 ms").arg(t.waitConnectMs));
        return 3;
    }

    const int filesLoaded = p.values("data").size();
    const bool exitAfterLookup = p.isSet("exit-after-lookup");
    const bool exitAfterRemoved = p.isSet("exit-after-removed");
    const QString saveDir = p.value("save-lookup");
    int saved = 0;

    QObject::connect(&term, &SimTerminal::lookupFileReceived, &app, [&](int j) {
        if (!saveDir.isEmpty()) {
            QDir().mkpath(saveDir);
            QFile f(QStringLiteral("%1/lookup%2_%3.txt").arg(saveDir).arg(j).arg(++saved));
            if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
                for (const QByteArray &line : term.lookupFiles().back().lines)
                    f.write(line + '\n');
        }
        if (exitAfterLookup)
            app.quit();
    });
    QObject::connect(&term, &SimTerminal::dataFileRemoved, &app, [&](int) {
        if (exitAfterRemoved && term.removedFiles().size() >= filesLoaded)
            app.quit();
    });
    if (p.isSet("max-seconds"))
        QTimer::singleShot(int(p.value("max-seconds").toDouble() * 1000), &app, &QCoreApplication::quit);
    if (p.isSet("getfile"))
        term.requestLookupFile(p.value("getfile").toInt());

    app.exec();

    auto list = [](const QList<int> &l) {
        QStringList s;
        for (int n : l)
            s.append(QString::number(n));
        return s.join(QLatin1Char(','));
    };
    const int firstK = p.value("rate-lines").toInt();
    for (const SimTerminal::LookupFile &f : term.lookupFiles()) {
        const int n = int(f.lineNs.size());
        const qint64 end = n > 0 ? f.lineNs.back() : f.bofNs;
        const double secs = double(end - f.bofNs) / 1e9;
        const int k = std::min(firstK, n);
        out(QStringLiteral("LOOKUP file=%1 lines=%2 complete=%3 naks=%4 bad_checks=%5 seconds=%6 "
                           "lines_per_s=%7 first_lines_per_s=%8 last_lines_per_s=%9 rate_lines=%10")
                .arg(f.number)
                .arg(n)
                .arg(f.complete ? 1 : 0)
                .arg(f.naked)
                .arg(f.badChecks)
                .arg(secs, 0, 'f', 6)
                .arg(secs > 0 ? double(n) / secs : 0.0, 0, 'f', 1)
                .arg(lookupRate(f, 0, k), 0, 'f', 1)
                .arg(lookupRate(f, n - k, k), 0, 'f', 1)
                .arg(k));
    }
    out(QStringLiteral("SUMMARY mode=respond sent_files=%1 removed_files=%2 lookups=%3 modem_commands=%4 "
                       "connections=%5")
            .arg(list(term.sentFiles()), list(term.removedFiles()))
            .arg(term.lookupFiles().size())
            .arg(term.modemCommands().size())
            .arg(term.connectionCount()));
    return 0;
}

int runAckPeer(QCoreApplication &app, const QCommandLineParser &p, const Transport &t)
{
    std::unique_ptr<QIODevice> device;
    if (!t.serial.isEmpty()) {
        auto *port = new QSerialPort(t.serial);
        device.reset(port);
        port->setBaudRate(t.speed);
        if (!port->open(QIODevice::ReadWrite)) {
            err(QStringLiteral("cannot open %1: %2").arg(t.serial, port->errorString()));
            return 3;
        }
    } else {
        const QString target = p.value("connect");
        const int colon = target.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        const quint16 port = colon > 0 ? quint16(target.mid(colon + 1).toUInt(&ok)) : 0;
        if (!ok) {
            err(QStringLiteral("ackpeer wants --connect HOST:PORT or --serial DEVICE"));
            return 2;
        }
        const QString host = target.left(colon);
        auto *socket = new QTcpSocket;
        device.reset(socket);
        // The terminal may not listen yet: try again until the wait is over.
        QElapsedTimer waited;
        waited.start();
        for (;;) {
            socket->connectToHost(host, port);
            if (socket->waitForConnected(1000))
                break;
            socket->abort();
            if (waited.elapsed() > t.waitConnectMs) {
                err(QStringLiteral("cannot connect to %1").arg(target));
                return 3;
            }
            QEventLoop pause;
            QTimer::singleShot(100, &pause, &QEventLoop::quit);
            pause.exec();
        }
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(socket, &QTcpSocket::disconnected, &app, &QCoreApplication::quit);
        out(QStringLiteral("CONNECTED %1").arg(target));
    }
    AckOnlyPeer peer(device.get());
    if (p.isSet("max-seconds"))
        QTimer::singleShot(int(p.value("max-seconds").toDouble() * 1000), &app, &QCoreApplication::quit);
    app.exec();
    out(QStringLiteral("SUMMARY mode=ackpeer lines=%1").arg(peer.lineCount()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vendrix-simterm"));
    quitOnSignals(app);

    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("A simulated data-collection terminal.\n\n"
                       "Modes:\n"
                       "  send     send N generated records stop-and-wait (BOF, records with check\n"
                       "           characters, EOF), then print the rate and the CR-to-answer latency\n"
                       "  respond  answer the collector's GETDATA/RMVDATA/PUTFILE and take look-up\n"
                       "           files, until a signal or an exit condition\n"
                       "  ackpeer  the minimal PC: connect to a terminal and answer ACK to every line\n\n"
                       "The terminal listens on 127.0.0.1 (--listen) or opens a serial device\n"
                       "(--serial); the collector connects to it. Results end with a SUMMARY line."));
    p.addHelpOption();
    p.addPositionalArgument(QStringLiteral("mode"), QStringLiteral("send, respond or ackpeer"));
    p.addOptions({
        {"listen", "Listen for the collector on 127.0.0.1 (prints LISTENING <port>)."},
        {"port", "TCP port to listen on (0: any free port).", "port", "0"},
        {"serial", "Serial device to open (the terminal end of a pty pair).", "device"},
        {"speed", "Serial speed in bit/s.", "baud", "115200"},
        {"connect", "ackpeer: the terminal to connect to.", "host:port"},
        {"greeting", "Send \"Connection OK!\" CR at each new TCP connection."},
        {"wait-connect", "How long to wait for the connection, in ms.", "ms", "30000"},
        {"start-delay", "send: pause after the connection before sending, in ms.", "ms", "0"},
        {"records", "send: number of records.", "n", "1000"},
        {"length", "send: record length before the check characters (8 or more).", "chars", "50"},
        {"resend", "send: resend a record until it gets its ACK (also after a time-out or reconnection)."},
        {"bof-on-reconnect", "send: after a reconnection, send BOF again before the pending record."},
        {"no-check", "send: records without check characters."},
        {"timeout", "Answer time-out per line, in ms.", "ms", "5000"},
        {"data", "respond: data file N from a text file, one record per line.", "n=file"},
        {"putfile", "respond: answer to PUTFILE: ack, nak or getfile:J; N=REPLY for one file.", "reply"},
        {"getdata-nak", "respond: answer NAK to every GETDATA."},
        {"modem", "respond: answer to AT commands: ok, zero or silent.", "reply", "ok"},
        {"getfile", "respond: ask for look-up file J once connected.", "j"},
        {"save-lookup", "respond: write each look-up file received into this folder.", "dir"},
        {"rate-lines", "respond: lines for the first/last rate of a look-up file.", "n", "1000"},
        {"exit-after-lookup", "respond: end after the first complete look-up file."},
        {"exit-after-removed", "respond: end once every data file given was removed."},
        {"max-seconds", "End after this many seconds.", "s"},
    });
    p.process(app);

    const QStringList pos = p.positionalArguments();
    if (pos.size() != 1) {
        err(QStringLiteral("give one mode: send, respond or ackpeer (see --help)"));
        return 2;
    }
    Transport t;
    t.listen = p.isSet("listen");
    t.port = quint16(p.value("port").toUInt());
    t.serial = p.value("serial");
    t.speed = p.value("speed").toInt();
    t.waitConnectMs = p.value("wait-connect").toInt();

    const QString mode = pos.front();
    if (mode != QLatin1String("send") && mode != QLatin1String("respond") && mode != QLatin1String("ackpeer")) {
        err(QStringLiteral("unknown mode '%1' (send, respond or ackpeer)").arg(mode));
        return 2;
    }
    if (mode == QLatin1String("ackpeer"))
        return runAckPeer(app, p, t);
    if (t.listen == !t.serial.isEmpty()) {
        err(QStringLiteral("give either --listen or --serial DEVICE"));
        return 2;
    }
    if (mode == QLatin1String("send"))
        return runSend(app, p, t);
    return runRespond(app, p, t);
}
