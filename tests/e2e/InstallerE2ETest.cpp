// What a new installation tells its user: the settings check, the warnings
// at start-up, the channel log's form, the failures of a TCP link said once,
// and a windowed start that one absent terminal does not hold up.
#include "PtyPair.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "tools/simterm/SimTerminal.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace vx::test;
using namespace vx::sim;

namespace {

// A listener that neither accepts nor refuses: its queue is full, so the
// next connection gets no answer at all (a terminal switched off).
class FullListener {
public:
    FullListener()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || ::listen(m_fd, 0) != 0)
            return;
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        // Fill the queue until a connection stays unanswered.
        for (int i = 0; i < 16; ++i) {
            const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            m_clients.push_back(c);
            ::connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a);
            pollfd p{c, POLLOUT, 0};
            if (::poll(&p, 1, 200) == 0) {
                full = true;
                break;
            }
        }
    }
    ~FullListener()
    {
        for (int c : m_clients)
            ::close(c);
        ::close(m_fd);
    }
    quint16 port = 0;
    bool full = false;

private:
    int m_fd = -1;
    std::vector<int> m_clients;
};

const QRegularExpression
    kStampedLine(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d \[[0-4]\] .+$)"));

} // namespace

// "config check" reads the settings without starting anything or writing
// to them, and names every problem by section, key and value.
TEST(InstallerE2E, ConfigCheckNamesEveryProblem)
{
    TempHome home;
    const QString target = home.file("records.txt");
    const quint16 nobody = ClosedLocalPort();
    struct Case {
        const char *name;
        VendrixProcess::Ini ini;
        QStringList env;
        int code;
        QStringList said;
    };
    const VendrixProcess::Ini tcp = VendrixProcess::TcpChannel(1, 9100, target);
    const auto with = [&](const VendrixProcess::Ini &more) { return VendrixProcess::Merged(tcp, more); };
    const std::vector<Case> cases = {
        {"all well", tcp, {}, 0, {"channel 1: TCP 127.0.0.1:9100 → " + target, "No problems found."}},
        {"target the system service may not write: a note, not a problem",
         tcp,
         {"HOME=" + home.path()},
         0,
         {"Note: [DBMS(1)] Name=" + target + " is outside the folders the system service",
          home.path() + "/.config/Vendrix, " + home.path() + "/.local/share/Vendrix",
          "\"ReadWritePaths=" + home.path() + "\"", "No problems found."}},
        {"type in lower case",
         with({{"Com(1)", {{"ConnType", "tcp"}}}}),
         {},
         1,
         {"[Com(1)] ConnType=tcp is not a value Vendrix knows", "did you mean \"TCP\"?", "opened as a serial port"}},
        {"unknown target kind",
         with({{"DBMS(1)", {{"Type", "SQLite"}}}}),
         {},
         1,
         {"[DBMS(1)] Type=SQLite is not a value", "written as plain text lines"}},
        {"port number out of range",
         with({{"Com(1)", {{"IP5", "70000"}}}}),
         {},
         1,
         {"[Com(1)] IP5=70000", "1 to 65535"}},
        {"address part out of range", with({{"Com(1)", {{"IP2", "300"}}}}), {}, 1, {"[Com(1)] IP2=300", "0 to 255"}},
        {"target folder missing",
         with({{"DBMS(1)", {{"Name", home.file("no-folder/records.txt")}}}}),
         {},
         1,
         {"[DBMS(1)] Name=" + home.file("no-folder/records.txt"), "does not exist"}},
        {"serial port that is not there",
         {{"Com(2)", {{"ConnType", "Serial"}, {"Port", "Com3"}}}, {"DBMS(2)", {{"Name", target}}}},
         {"VENDRIX_COM3=" + home.file("ttyGone")},
         1,
         {"channel 2: Serial Com3 (" + home.file("ttyGone") + ") 9600,N,8,1", "[Com(2)] Port=Com3 maps to",
          "which does not exist", "vendrix ports"}},
        {"database server that cannot be reached",
         with({{"DBMS(1)",
                {{"Type", "PostgreSQL"},
                 {"Name", QStringLiteral("host=127.0.0.1 port=%1 dbname=vx user=vx password=secret").arg(nobody)}}}}),
         {},
         1,
         {"[DBMS(1)] Name: the PostgreSQL server host=127.0.0.1 port=", "cannot be reached"}},
        {"no channel in use", {{"Com(1)", {{"Port", "None"}}}}, {}, 1, {"No channel is in use"}},
        {"automatic collection without its period",
         with({{"Com(1)", {{"Auto", "1"}, {"AutoSec", "00"}}}}),
         {},
         1,
         {"[Com(1)] AutoSec=00", "automatic collection stays off"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString file = home.file(QStringLiteral("check-%1.ini").arg(&c - cases.data()));
        ASSERT_TRUE(VendrixProcess::WriteIni(file, c.ini));
        const QByteArray before = readFile(file);
        const VendrixProcess::Ran r = VendrixProcess::Run(home.path(), {"config", "check", file}, c.env);
        EXPECT_EQ(r.code, c.code) << r.output.toStdString();
        for (const QString &s : c.said)
            EXPECT_TRUE(r.output.contains(s)) << s.toStdString() << "\n" << r.output.toStdString();
        EXPECT_FALSE(r.output.contains("secret"));
        EXPECT_EQ(readFile(file), before); // nothing written back
    }
    EXPECT_FALSE(QFile::exists(home.file("LOG.txt"))); // nothing started
    EXPECT_EQ(VendrixProcess::Run(home.path(), {"config", "check", home.file("absent.ini")}).code, 1);
    EXPECT_EQ(VendrixProcess::Run(home.path(), {"config", "frob"}).code, 2);
    EXPECT_EQ(VendrixProcess::Run(home.path(), {"ports", "extra"}).code, 2);
    const VendrixProcess::Ran ports = VendrixProcess::Run(home.path(), {"ports"}, {"VENDRIX_COM2=/dev/ttyUSB7"});
    EXPECT_EQ(ports.code, 0);
    EXPECT_TRUE(ports.output.contains("Com2 = /dev/ttyUSB7  (VENDRIX_COM2, not present)"))
        << ports.output.toStdString();
    EXPECT_TRUE(ports.output.contains("Com1 = /dev/ttyS0  (default")) << ports.output.toStdString();
}

// At start-up an unknown value is said as a warning (and kept), the ready
// line says what each channel opened and where it stores, and every entry
// of LOG.txt is one line with its time, UTC offset and channel.
TEST(InstallerE2E, StartUpSaysTheSettingsAndTheLogTellsWhenAndWhere)
{
    TempHome home;
    SimTerminal terminal;
    ASSERT_TRUE(terminal.listenTcp());
    VendrixProcess vendrix(home.path());
    vendrix.setEnv("TZ", "<+0130>-1:30");
    const QString target = home.file("records.txt");
    ASSERT_TRUE(vendrix.writeIni(
        VendrixProcess::Merged(VendrixProcess::TcpChannel(1, terminal.tcpPort(), target),
                               {{"Com(2)", {{"ConnType", "tcp"}}}, {"DBMS(1)", {{"Type", "SQLite"}}}})));
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(terminal.waitForConnected(10000));
    ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 10000)) << vendrix.outputText().toStdString();
    EXPECT_TRUE(terminal.sendTransfer({"one"}).complete);
    EXPECT_EQ(vendrix.terminate().code, 0);

    const QString out = vendrix.outputText();
    EXPECT_TRUE(out.contains("[0] [warning] [Com(2)] ConnType=tcp is not a value Vendrix knows")) << out.toStdString();
    EXPECT_TRUE(out.contains("[0] [warning] [DBMS(1)] Type=SQLite"));
    EXPECT_TRUE(out.contains(QStringLiteral("Collector ready; channel 1: TCP 127.0.0.1:%1 → %2 (SQLite)")
                                 .arg(terminal.tcpPort())
                                 .arg(target)))
        << out.toStdString();
    // Kept as it was: the unknown kind still writes plain text.
    EXPECT_EQ(readFile(target), QByteArray("one\r\n"));
    EXPECT_TRUE(readFile(home.file("Vendrix.ini")).contains("ConnType=tcp\n"));

    const QList<QByteArray> lines = readFile(vendrix.logPath()).split('\n');
    ASSERT_GT(lines.size(), 5);
    EXPECT_TRUE(lines.last().isEmpty()); // the file ends with LF
    for (qsizetype i = 0; i + 1 < lines.size(); ++i)
        EXPECT_TRUE(kStampedLine.match(QString::fromUtf8(lines[i])).hasMatch()) << lines[i].toStdString();
    const QByteArray log = readFile(vendrix.logPath());
    EXPECT_FALSE(log.contains('\r'));
    EXPECT_TRUE(log.contains("+01:30 [1] IN   <- one"));
    EXPECT_TRUE(log.contains("+01:30 [0] Collector ready"));
}

// [Misc] LogFormat=Original keeps the original form for those who parse it.
TEST(InstallerE2E, OriginalLogFormIsASetting)
{
    TempHome home;
    SimTerminal terminal;
    ASSERT_TRUE(terminal.listenTcp());
    VendrixProcess vendrix(home.path());
    ASSERT_TRUE(
        vendrix.writeIni(VendrixProcess::Merged(VendrixProcess::TcpChannel(1, terminal.tcpPort(), home.file("r.txt")),
                                                {{"Misc", {{"LogFormat", "Original"}}}})));
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(terminal.waitForConnected(10000));
    EXPECT_TRUE(terminal.sendTransfer({"abc"}).complete);
    EXPECT_EQ(vendrix.terminate().code, 0);
    const QByteArray log = readFile(vendrix.logPath());
    EXPECT_TRUE(log.contains("\r\n\r\nIN   <- BOF\r\n\r\n")) << log.toStdString();
    EXPECT_TRUE(log.contains(" OUT -> ACK, Record accepted\r\n\r\n"));
}

// With its window, the collector starts with channel 1's terminal switched
// off (no answer at all) and channel 2's working: channel 2 collects at
// once, channel 1 says that it connects, and its time-out is logged, not
// shown as a box per attempt.
TEST(InstallerE2E, WindowedStartIsNotHeldByAnAbsentTerminal)
{
    TempHome home;
    FullListener off;
    ASSERT_TRUE(off.full) << "the listener's queue did not fill";
    SimTerminal on;
    ASSERT_TRUE(on.listenTcp());
    VendrixProcess vendrix(home.path());
    vendrix.setArguments({}); // the window, on the offscreen platform
    vendrix.setEnv("QT_QPA_PLATFORM", "offscreen");
    ASSERT_TRUE(
        vendrix.writeIni(VendrixProcess::Merged(VendrixProcess::TcpChannel(1, off.port, home.file("one.txt")),
                                                VendrixProcess::TcpChannel(2, on.tcpPort(), home.file("two.txt")))));
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(vendrix.start());
    // The window appears after the splash; the ready line follows it.
    ASSERT_TRUE(waitUntil([&] { return readFile(vendrix.logPath()).contains("Collector ready"); }, 20000))
        << readFile(vendrix.logPath()).toStdString();
    const qint64 ready = clock.elapsed();
    const QByteArray log = readFile(vendrix.logPath());
    EXPECT_TRUE(log.contains(QStringLiteral("channel 1: TCP 127.0.0.1:%1 → %2 (TCP Connecting)")
                                 .arg(off.port)
                                 .arg(home.file("one.txt"))
                                 .toUtf8()))
        << log.toStdString();
    ASSERT_TRUE(on.waitForConnected(3000));
    ASSERT_TRUE(on.sendTransfer({"first"}).complete);
    const qint64 acknowledged = clock.elapsed();
    qInfo().noquote() << QStringLiteral("window ready after %1 ms; channel 2's record acknowledged %2 ms after that")
                             .arg(ready)
                             .arg(acknowledged - ready);
    EXPECT_LE(acknowledged - ready, 3000);
    EXPECT_EQ(readFile(home.file("two.txt")), QByteArray("first\r\n"));

    // Channel 1's attempt times out after 10 seconds: logged once.
    const QByteArray timedOut =
        QStringLiteral("[1] [warning] Channel 1: cannot connect to 127.0.0.1:%1: timed out").arg(off.port).toUtf8();
    EXPECT_TRUE(waitUntil([&] { return readFile(vendrix.logPath()).contains(timedOut); }, 15000));
    EXPECT_FALSE(readFile(vendrix.logPath()).contains("Connection TCP response Timed Out"));
    EXPECT_EQ(vendrix.terminate().code, 0);
}

// Under systemd the journal reads each line's priority: a port that fails
// is an error, a value the program does not know a warning, and a box that
// repeats its channel's entry is not logged a second time; a box is said
// once, though the journal reads standard output and standard error.
TEST(InstallerE2E, JournalGetsFailuresAsErrorsOnce)
{
    TempHome home;
    VendrixProcess::Ini ini = VendrixProcess::TcpChannel(1, 3000, home.file("one.txt"));
    ini["Com(1)"]["IP5"] = "99999";
    ini["Com(2)"] = {{"ConnType", "Serial"}, {"Port", "Com2"}};
    ini["DBMS(2)"] = {{"Name", home.file("two.txt")}};
    ini["DBMS(3)"] = {{"Type", "SQLite"}};
    ASSERT_TRUE(VendrixProcess::WriteIni(home.file("Vendrix.ini"), ini));
    const QString journal = home.file("journal.txt");
    writeFile(journal, "");
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(journal).constData(), &st), 0);
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("VENDRIX_HOME", home.path());
    e.insert("VENDRIX_COM2", home.file("ttyGone"));
    e.insert("JOURNAL_STREAM", QStringLiteral("%1:%2").arg(qulonglong(st.st_dev)).arg(qulonglong(st.st_ino)));
    p.setProcessEnvironment(e);
    // Both streams go to the journal, as under a service.
    p.setStandardOutputFile(journal, QIODevice::Append);
    p.setStandardErrorFile(journal, QIODevice::Append);
    p.start(programDir() + "/Vendrix", {"--headless"});
    ASSERT_TRUE(p.waitForStarted(5000));
    EXPECT_TRUE(waitUntil([&] { return readFile(journal).contains("Collector ready"); }, 10000));
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(10000));
    const QString text = QString::fromUtf8(readFile(journal));
    EXPECT_EQ(text.count(R"(Channel 1 is not opened: IP5 is "99999")"), 1) << text.toStdString();
    EXPECT_EQ(text.count("Andare alla schermata Opzioni?"), 1) << text.toStdString(); // channel 2's box
    EXPECT_TRUE(text.contains(R"(<3>[1] Channel 1 is not opened: IP5 is "99999")"));
    EXPECT_TRUE(text.contains("<3>[2] Channel 2 (Com2 at 9600,N,8,1) is not opened"));
    EXPECT_TRUE(text.contains("<4>[0] [warning] [DBMS(3)] Type=SQLite"));
    EXPECT_TRUE(text.contains("<6>[0] Collector ready"));
}

// A serial port that cannot be opened says why and what to do: a device
// that is not there, or one another process holds, named by the lock it
// holds on the device or by its lock file, so the user knows what to close.
TEST(InstallerE2E, APortThatCannotBeOpenedSaysWhyAndWhatToDo)
{
    PtyPair pty;
    if (!pty.isReady())
        GTEST_SKIP() << pty.errorText().toStdString();
    TempHome home;
    ASSERT_EQ(VendrixProcess::Run(home.path(), {"profile", "new", home.file("p.VDX")}).code, 0);
    const QString gone = home.file("ttyUSB-gone");
    const VendrixProcess::Ran missing =
        VendrixProcess::Run(home.path(), {"send-settings", home.file("p.VDX"), "--port", "Com1", "--speed", "9600"},
                            {"VENDRIX_COM1=" + gone});
    EXPECT_EQ(missing.code, 1);
    EXPECT_TRUE(missing.output.contains(QStringLiteral("Com1 (%1) does not exist: connect the device, or map Com1 to a "
                                                       "port that is there (\"vendrix ports\" lists the ports present)")
                                            .arg(gone)))
        << missing.output.toStdString();

    TempHome otherHome;
    struct Holder {
        const char *what;
        QString program;
        QStringList arguments;
        const char *name; // its command name, as the message gives it
    };
    const Holder holders[] = {
        {"a program that locks the device", QStringLiteral("flock"), {"-o", pty.pcEnd(), "sleep", "30"}, "flock"},
        {"a settings reception of another data folder",
         programDir() + "/Vendrix",
         {"receive-settings", otherHome.file("in.VDX"), "--port", "Com1", "--speed", "9600"},
         "Vendrix"},
    };
    for (const Holder &h : holders) {
        SCOPED_TRACE(h.what);
        QProcess holder;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VENDRIX_HOME", otherHome.path());
        env.insert("VENDRIX_COM1", pty.pcEnd());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        holder.setProcessEnvironment(env);
        holder.start(h.program, h.arguments);
        ASSERT_TRUE(holder.waitForStarted(5000)) << h.program.toStdString();
        QTest::qWait(700); // it opens the device
        ASSERT_EQ(holder.state(), QProcess::Running) << holder.readAll().toStdString();

        const VendrixProcess::Ran send =
            VendrixProcess::Run(home.path(), {"send-settings", home.file("p.VDX"), "--port", "Com1", "--speed", "9600"},
                                {"VENDRIX_COM1=" + pty.pcEnd()});
        EXPECT_EQ(send.code, 1);
        EXPECT_TRUE(send.output.contains(QStringLiteral("Com1 (%1) is in use by PID %2 (%3): close that program")
                                             .arg(pty.pcEnd())
                                             .arg(holder.processId())
                                             .arg(h.name)))
            << send.output.toStdString();
        holder.kill();
        holder.waitForFinished(5000);
    }
}
