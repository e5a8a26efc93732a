// The program as a service and as an installed command: its output under
// the journal, its notifications to systemd, and the message a user gets for
// a serial port the system does not let them open.
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "platform/JournalStream.h"
#include "tools/simterm/SimTerminal.h"
#include "transport/PortAccess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace vx;
using vx::test::VendrixProcess;

namespace {

QByteArray StreamId(int fd, qint64 inodeDelta = 0)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return {};
    return QByteArray::number(qulonglong(st.st_dev)) + ':' + QByteArray::number(qulonglong(st.st_ino) + inodeDelta);
}

} // namespace

TEST(JournalStream, CountsOnlyWhenTheVariableNamesTheStream)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const QByteArray self = StreamId(fds[1]);
    struct Case {
        QByteArray value;
        bool journal;
    } cases[] = {
        {self, true},
        {self + "\n", true},          // a stray line end is harmless
        {StreamId(fds[1], 1), false}, // another stream
        {"", false},
        {"12345", false},
        {self + ":7", false},
        {"x:y", false},
        {"-1:-1", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Journal::IsJournalStream(c.value, fds[1]), c.journal) << c.value.constData();
    EXPECT_FALSE(Journal::IsJournalStream(self, -1)) << "a closed descriptor is no journal";
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(JournalStream, PriorityFollowsTheKindOfMessage)
{
    EXPECT_STREQ(Journal::PriorityPrefix("[error] WARNING: the database does not exist."), "<3>");
    EXPECT_STREQ(Journal::PriorityPrefix("[warning] Vendrix: port busy"), "<4>");
    EXPECT_STREQ(Journal::PriorityPrefix("[information] done"), "<6>");
    EXPECT_STREQ(Journal::PriorityPrefix("IN   <- 12345"), "<6>");
    EXPECT_STREQ(Journal::PriorityPrefix(" [error] not at the start"), "<6>");
}

// The headless collector with its standard output on the journal (a
// JOURNAL_STREAM naming that very pipe) marks every line with a priority and
// adds no time stamp; with a variable naming another stream it writes the
// plain lines as everywhere else. Either way SIGTERM ends it cleanly.
TEST(JournalStream, HeadlessCollectorWritesJournalLines)
{
    struct Case {
        const char *name;
        QString setVariable; // shell code that sets JOURNAL_STREAM
        bool journal;
    } cases[] = {
        {"journal", QStringLiteral("JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1)"), true},
        {"elsewhere", QStringLiteral("JOURNAL_STREAM=1:1"), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir home;
        VendrixProcess vendrix(home.path());
        // A serial channel on a device that does not exist: the program
        // warns that the port settings are wrong, and runs on.
        vendrix.setComDevice(1, home.path() + "/no-such-device");
        ASSERT_TRUE(vendrix.writeIni({{"Com(1)", {{"ConnType", "Serial"}, {"Port", "Com1"}}}}));
        const QString program = vendrix.program();
        vendrix.setProgram(QStringLiteral("/bin/sh"));
        vendrix.setArguments({"-c", "export " + c.setVariable + "; exec \"$0\" --headless", program});
        ASSERT_TRUE(vendrix.start()) << vendrix.errorText().toStdString();
        ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 20000)) << vendrix.outputText().toStdString();
        const VendrixProcess::Exit exit = vendrix.terminate(10000);
        EXPECT_TRUE(exit.ended && !exit.crashed && exit.code == 0) << vendrix.outputText().toStdString();
        const QList<QByteArray> lines = vendrix.stdoutBytes().split('\n');
        bool sawWarning = false;
        int logLines = 0;
        for (const QByteArray &line : lines) {
            if (line.isEmpty())
                continue;
            ++logLines;
            const QString text = QString::fromLocal8Bit(line);
            EXPECT_FALSE(text.contains(QRegularExpression(QStringLiteral("\\d\\d:\\d\\d:\\d\\d"))))
                << "a time stamp in: " << line.constData();
            if (c.journal) {
                EXPECT_TRUE(QRegularExpression(QStringLiteral("^<[346]>\\[\\d\\] ")).match(text).hasMatch())
                    << line.constData();
                if (line.startsWith("<4>[0] [warning] "))
                    sawWarning = true;
            } else {
                EXPECT_TRUE(line.startsWith('[')) << line.constData();
                if (line.startsWith("[0] [warning] "))
                    sawWarning = true;
            }
        }
        EXPECT_GE(logLines, 2) << vendrix.outputText().toStdString();
        EXPECT_TRUE(sawWarning) << vendrix.outputText().toStdString();
    }
}

TEST(PortPermission, AdviceNamesTheCauseAndTheFix)
{
    struct Case {
        QString group;
        bool listed;
        bool inSession;
        QStringList says;
    } cases[] = {
        {"dialout",
         false,
         false,
         {"permission denied", "user alice is not in group dialout", "sudo usermod -aG dialout alice",
          "log out and in again"}},
        {"dialout", true, false, {"alice was added to group dialout", "log out and in again", "restart the service"}},
        {"dialout", true, true, {"although user alice is in group dialout", "ls -l /dev/ttyUSB0"}},
        {"", false, false, {"only the owner of /dev/ttyUSB0", "read and write access"}},
    };
    for (const Case &c : cases) {
        const QString text = PortPermissionAdvice("/dev/ttyUSB0", "alice", c.group, c.listed, c.inSession);
        for (const QString &part : c.says)
            EXPECT_TRUE(text.contains(part)) << text.toStdString() << " lacks " << part.toStdString();
    }
}

// A real device the user may not open: a pseudo-terminal of group dialout,
// mode 0660, opened by the real program run as a user outside that group.
// Needs root to hand the program to another user.
TEST(PortPermission, ProgramSaysWhyAndHowToFix)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the program as another user";
    const group *dialout = ::getgrnam("dialout");
    const passwd *nobody = ::getpwnam("nobody");
    if (!dialout || !nobody || QStandardPaths::findExecutable("setpriv").isEmpty())
        GTEST_SKIP() << "needs group dialout, user nobody and setpriv";
    const gid_t dialoutGid = dialout->gr_gid;

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const QString device = QString::fromLocal8Bit(::ptsname(master));
    ASSERT_EQ(::chown(QFile::encodeName(device).constData(), 0, dialoutGid), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(device).constData(), 0660), 0);
    // The program running here (root) may open it: nothing to say.
    EXPECT_TRUE(PortPermissionProblem(device).isEmpty());

    QTemporaryDir home;
    ASSERT_TRUE(QFile::setPermissions(home.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                       | QFileDevice::ExeOwner | QFileDevice::ReadOther
                                                       | QFileDevice::WriteOther | QFileDevice::ExeOther));
    const QString vendrix = test::programDir() + "/Vendrix";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VENDRIX_HOME", home.path());
    env.insert("VENDRIX_COM1", device);
    const QString profile = home.path() + "/shop.VDX";

    struct Case {
        const char *name;
        QStringList groups; // supplementary groups of the program
        bool refused;
    } cases[] = {
        {"outside dialout", {}, true},
        {"in dialout", {QString::number(dialoutGid)}, false},
    };
    const QStringList asNobody{"--reuid=" + QString::number(nobody->pw_uid),
                               "--regid=" + QString::number(nobody->pw_gid)};
    {
        QProcess probe;
        probe.start("setpriv", asNobody + QStringList{"--clear-groups", vendrix, "--version"});
        if (!probe.waitForFinished(20000) || probe.exitCode() != 0)
            GTEST_SKIP() << "user nobody cannot run " << vendrix.toStdString();
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QStringList args = asNobody;
        args << (c.groups.isEmpty() ? QStringList{"--clear-groups"} : QStringList{"--groups=" + c.groups.join(',')});
        QProcess make;
        make.setProcessEnvironment(env);
        make.start("setpriv", args + QStringList{vendrix, "profile", "new", profile});
        ASSERT_TRUE(make.waitForFinished(20000));
        ASSERT_EQ(make.exitCode(), 0) << make.readAllStandardError().toStdString();

        QProcess send;
        send.setProcessEnvironment(env);
        send.start("setpriv",
                   args + QStringList{vendrix, "send-settings", profile, "--port", "Com1", "--speed", "9600"});
        ASSERT_TRUE(send.waitForStarted(5000));
        if (c.refused) {
            ASSERT_TRUE(send.waitForFinished(20000));
            const QString err = QString::fromLocal8Bit(send.readAllStandardError() + send.readAllStandardOutput());
            EXPECT_EQ(send.exitCode(), 1) << err.toStdString();
            const QString expected = QStringLiteral(
                                         "Com1 (%1) cannot be opened: permission denied: user nobody is "
                                         "not in group dialout, which may use %1; add the user with "
                                         "\"sudo usermod -aG dialout nobody\"")
                                         .arg(device);
            EXPECT_TRUE(err.contains(expected)) << err.toStdString();
        } else {
            // The port opens: the program sends its first line and waits
            // for the terminal's answer.
            char buffer[64];
            QByteArray got;
            for (int i = 0; i < 100 && !got.contains('\r'); ++i) {
                pollfd p{master, POLLIN, 0};
                if (::poll(&p, 1, 100) > 0) {
                    const ssize_t n = ::read(master, buffer, sizeof buffer);
                    if (n > 0)
                        got.append(buffer, int(n));
                }
            }
            EXPECT_TRUE(got.startsWith("SETTINGS")) << got.constData();
            send.terminate();
            send.waitForFinished(10000);
        }
    }
    ::close(master);
}

namespace {

// The receiving end of NOTIFY_SOCKET, as systemd holds it: a datagram
// socket; each datagram is one notification ("READY=1", "STATUS=...").
class NotifySocket {
public:
    explicit NotifySocket(const QString &path) : m_path(path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        if (m_fd < 0 || size_t(name.size()) >= sizeof addr.sun_path)
            return;
        std::memcpy(addr.sun_path, name.constData(), size_t(name.size()));
        m_bound = ::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    ~NotifySocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool bound() const { return m_bound; }

    // Every datagram so far, one entry per assignment line.
    const QStringList &received()
    {
        char buffer[4096];
        ssize_t got;
        while ((got = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0)
            for (const QByteArray &line : QByteArray(buffer, got).split('\n'))
                if (!line.isEmpty())
                    m_received << QString::fromUtf8(line);
        return m_received;
    }
    // Waits (running the test's event loop, where the terminal lives) for an
    // entry at from or later that starts with prefix; its index or -1.
    int waitFor(const QString &prefix, int timeoutMs, int from = 0)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            const QStringList &all = received();
            for (int i = from; i < all.size(); ++i)
                if (all.at(i).startsWith(prefix))
                    return i;
            if (timer.elapsed() > timeoutMs)
                return -1;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            pollfd p{m_fd, POLLIN, 0};
            ::poll(&p, 1, 20);
        }
    }
    int count(const QString &entry) { return int(received().count(entry)); }

private:
    QString m_path;
    int m_fd = -1;
    bool m_bound = false;
    QStringList m_received;
};

} // namespace

TEST(ServiceNotify, HeadlessCollectorTellsReadinessStatusWatchdogAndReload)
{
    QTemporaryDir home;
    NotifySocket notify(home.path() + QStringLiteral("/notify"));
    ASSERT_TRUE(notify.bound());
    sim::SimTerminal terminal;
    ASSERT_TRUE(terminal.listenTcp());
    VendrixProcess vendrix(home.path());
    ASSERT_TRUE(vendrix.writeIni(VendrixProcess::Merged(
        VendrixProcess::TcpChannel(1, terminal.tcpPort(), home.path() + QStringLiteral("/records.txt")),
        {{"Com(2)", {{"ConnType", "Serial"}, {"Port", "None"}}}})));
    vendrix.setEnv(QStringLiteral("NOTIFY_SOCKET"), home.path() + QStringLiteral("/notify"));
    // WatchdogSec=0.2: a ping every 100 ms.
    vendrix.setEnv(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("200000"));
    ASSERT_TRUE(vendrix.start()) << vendrix.errorText().toStdString();

    const int ready = notify.waitFor(QStringLiteral("READY=1"), 20000);
    ASSERT_GE(ready, 0) << vendrix.outputText().toStdString();
    // The status came with the readiness, before it.
    const int status = notify.waitFor(QStringLiteral("STATUS="), 0);
    ASSERT_GE(status, 0);
    EXPECT_LT(status, ready);
    EXPECT_TRUE(notify.received().at(status).startsWith(QStringLiteral("STATUS=0 records stored since start; 1: ")))
        << notify.received().at(status).toStdString();

    // Records stored show in the status, per channel and in all.
    ASSERT_TRUE(terminal.waitForConnected(10000));
    EXPECT_TRUE(terminal.sendTransfer({"first", "second", "third"}).complete);
    const int stored =
        notify.waitFor(QStringLiteral("STATUS=3 records stored since start; 1: TCP Ready (3); 2: None"), 5000, ready);
    EXPECT_GE(stored, 0) << notify.received().join('\n').toStdString();

    // The watchdog's pings keep coming while the collector runs.
    const int firstPing = notify.waitFor(QStringLiteral("WATCHDOG=1"), 5000);
    ASSERT_GE(firstPing, 0);
    EXPECT_GE(notify.waitFor(QStringLiteral("WATCHDOG=1"), 5000, firstPing + 1), 0);

    // SIGHUP: RELOADING=1, then READY=1 once the channels are open again.
    const int before = int(notify.received().size());
    ::kill(pid_t(vendrix.pid()), SIGHUP);
    const int reloading = notify.waitFor(QStringLiteral("RELOADING=1"), 10000, before);
    ASSERT_GE(reloading, 0) << vendrix.outputText().toStdString();
    EXPECT_GE(notify.waitFor(QStringLiteral("MONOTONIC_USEC="), 0, reloading), 0);
    EXPECT_GE(notify.waitFor(QStringLiteral("READY=1"), 10000, reloading), 0);

    const VendrixProcess::Exit exit = vendrix.terminate(10000);
    EXPECT_TRUE(exit.ended && !exit.crashed && exit.code == 0) << vendrix.outputText().toStdString();
    EXPECT_EQ(notify.count(QStringLiteral("STOPPING=1")), 1);
    EXPECT_EQ(notify.count(QStringLiteral("READY=1")), 2);
}
