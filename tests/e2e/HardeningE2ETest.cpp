// The collector as a hostile environment tries it: a second collector on the
// same data folder, two collectors writing one target, odd files in the
// data-exchange tree, bad settings, SIGHUP. The real program, headless,
// against the simulated terminal.
#include "../store/TableReaders.h"
#include "PtyPair.h"
#include "RunningCollector.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "tools/simterm/SimTerminal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vx::test;
using namespace vx::sim;

namespace {

const QString kKey = QStringLiteral("exchange/HKEY_CURRENT_USER/DataExchange/");

int CountLines(const VendrixProcess &p, const QString &needle)
{
    return int(p.lines().filter(needle).size());
}

using Running = RunningCollector;

} // namespace

// --- Two collectors ---------------------------------------------------------

TEST(TwoCollectors, SecondOnTheSameHomeEndsNamingTheFirst)
{
    TempHome home;
    VendrixProcess first(home.path());
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.waitForOutput("Collector ready", 15000)) << first.outputText().toStdString();

    const QString says = QStringLiteral("Another Vendrix collector (PID %1) is running").arg(first.pid());
    for (const bool headless : {true, false}) {
        VendrixProcess second(home.path());
        second.setArguments(headless ? QStringList{"--headless"} : QStringList{});
        ASSERT_TRUE(second.start());
        ASSERT_TRUE(second.waitForOutput(QRegularExpression::escape(says), 15000)) << second.outputText().toStdString();
        if (headless) {
            EXPECT_EQ(second.waitForExit(10000).code, 3);
        } else {
            second.kill(); // the window's message box waits for its OK
        }
        EXPECT_EQ(CountLines(second, "Collector ready"), 0);
    }
    EXPECT_TRUE(first.isRunning());

    // A collector that dies leaves no lock behind.
    first.kill();
    VendrixProcess third(home.path());
    ASSERT_TRUE(third.start());
    EXPECT_TRUE(third.waitForOutput("Collector ready", 15000)) << third.outputText().toStdString();
    EXPECT_EQ(third.terminate().code, 0);
}

TEST(TwoCollectors, ToolsRunBesideButNotOnItsPort)
{
    TempHome home;
    PtyPair pty;
    ASSERT_TRUE(pty.isReady()) << pty.errorText().toStdString();
    VendrixProcess collector(home.path());
    collector.setComDevice(1, pty.pcEnd());
    ASSERT_TRUE(collector.writeIni({{"Com(1)", {{"Port", "Com1"}}}}));
    ASSERT_TRUE(collector.start());
    ASSERT_TRUE(collector.waitForOutput("Com1 Run/Wait|Collector ready", 15000));

    VendrixProcess profile(home.path());
    profile.setArguments({"profile", "new", home.file("p.VDX")});
    ASSERT_TRUE(profile.start());
    EXPECT_EQ(profile.waitForExit(15000).code, 0) << profile.outputText().toStdString();

    VendrixProcess send(home.path());
    send.setComDevice(1, pty.pcEnd());
    send.setArguments({"send-settings", home.file("p.VDX"), "--port", "Com1", "--speed", "9600"});
    ASSERT_TRUE(send.start());
    const auto exit = send.waitForExit(15000);
    EXPECT_NE(exit.code, 0);
    EXPECT_TRUE(send.outputText().contains(QStringLiteral("in use by another program: the collector running on "
                                                          "this data folder (PID %1)")
                                               .arg(collector.pid())))
        << send.outputText().toStdString();
    EXPECT_EQ(collector.terminate().code, 0);
}

TEST(TwoCollectors, SharedDbaseTargetGetsEveryRowWhole)
{
    QTemporaryDir shared;
    const QString target = shared.path() + "/shared.dbf";
    TempHome homeA;
    QTemporaryDir homeB;
    Running a(homeA.path(), target, {{"DBMS(1)", {{"Type", "Dbase III (*.dbf)"}}}});
    ASSERT_TRUE(a.ready) << a.output();
    Running b(homeB.path(), target, {{"DBMS(1)", {{"Type", "Dbase III (*.dbf)"}}}});
    ASSERT_TRUE(b.ready) << b.output();

    const int count = 300;
    QList<QByteArray> recordsA;
    QList<QByteArray> recordsB;
    for (int i = 0; i < count; ++i) {
        recordsA << "A" + SimTerminal::generatedRecord(i, 20);
        recordsB << "B" + SimTerminal::generatedRecord(i, 20);
    }
    SendOptions options;
    options.resendUntilAck = true;
    ASSERT_TRUE(a.terminal.startTransfer(recordsA, options));
    ASSERT_TRUE(b.terminal.startTransfer(recordsB, options));
    // Each terminal wakes its own wait: one at a time.
    ASSERT_TRUE(a.terminal.waitFor([&] { return !a.terminal.isSending(); }, 120000));
    ASSERT_TRUE(b.terminal.waitFor([&] { return !b.terminal.isSending(); }, 120000));
    EXPECT_EQ(a.vendrix.terminate().code, 0);
    EXPECT_EQ(b.vendrix.terminate().code, 0);

    const QStringList stored = AllRekColumn("Dbase III (*.dbf)", target);
    QStringList expected;
    for (const QByteArray &r : recordsA + recordsB)
        expected << QString::fromLatin1(r);
    EXPECT_EQ(stored.size(), expected.size());
    QStringList missing;
    for (const QString &r : expected)
        if (!stored.contains(r))
            missing << r;
    EXPECT_TRUE(missing.isEmpty()) << missing.join(' ').toStdString();
}

// --- Hostile data-exchange values -------------------------------------------

TEST(HostileExchange, OddValuesAreIgnoredOnceAndRequestsGoOn)
{
    TempHome home;
    QDir().mkpath(home.file(kKey));
    ASSERT_EQ(::mkfifo(QFile::encodeName(home.file(kKey + "ID(2)")).constData(), 0644), 0);
    ASSERT_TRUE(QFile::link("/dev/zero", home.file(kKey + "ID(3)")));
    QFile big(home.file(kKey + "ID(4)"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    ASSERT_TRUE(big.resize(64 * 1024 * 1024)); // sparse: 64 MB of NULs
    big.close();

    writeFile(home.file(kKey + "Profilo(1)"), "1");
    Running r(home.path(), home.file("usual.txt"));
    r.terminal.setDataFile(1, {"rec-1"});
    ASSERT_TRUE(r.ready) << r.output();
    writeFile(home.file(kKey + "ID(1)"), "1\n");
    ASSERT_TRUE(waitUntil([&] { return readFile(home.file(kKey + "ID(1)")) == "3"; }, 15000)) << r.output();
    EXPECT_EQ(readFile(home.file("usual.txt")), QByteArray("rec-1\r\n"));

    for (const char *value :
         {"ID(2) ignored: a FIFO", "ID(3) ignored: a symbolic link", "ID(4) ignored: longer than 4096 bytes"})
        EXPECT_EQ(CountLines(r.vendrix, value), 1) << value << "\n" << r.output();
    EXPECT_EQ(r.vendrix.terminate().code, 0);
}

TEST(HostileExchange, FileValueRules)
{
    struct Case {
        const char *name;
        QString value;          // File(1)
        QString expectedTarget; // where the records go, relative to the home
    };
    const QString escape = QStringLiteral("../../../../../../vx-escape-%1.txt").arg(::getpid());
    const Case cases[] = {
        {"relative stays in the exchange folder", "sub/requested.txt", "exchange/sub/requested.txt"},
        {"relative may not climb out", escape, "usual.txt"},
        {"a FIFO is no file", "fifo", "usual.txt"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempHome home;
        QDir().mkpath(home.file(kKey));
        QDir().mkpath(home.file("exchange/sub"));
        ASSERT_EQ(::mkfifo(QFile::encodeName(home.file("exchange/fifo")).constData(), 0644), 0);
        writeFile(home.file(kKey + "File(1)"), c.value.toUtf8());
        writeFile(home.file(kKey + "Profilo(1)"), "1");
        Running r(home.path(), home.file("usual.txt"));
        r.terminal.setDataFile(1, {"rec-1", "rec-2"});
        ASSERT_TRUE(r.ready);
        writeFile(home.file(kKey + "ID(1)"), "1\n");
        ASSERT_TRUE(waitUntil([&] { return readFile(home.file(kKey + "ID(1)")) == "3"; }, 15000)) << r.output();
        EXPECT_EQ(readFile(home.file(c.expectedTarget)), QByteArray("rec-1\r\nrec-2\r\n"));
        EXPECT_EQ(r.vendrix.terminate().code, 0);
        EXPECT_FALSE(QFile::exists(QDir::cleanPath(home.file(kKey) + escape)));
        EXPECT_FALSE(QFile::exists(QDir::cleanPath(home.path() + "/" + escape)));
    }
}

TEST(HostileExchange, SymlinkedKeyFolderIsNotFollowed)
{
    TempHome home;
    QTemporaryDir outside;
    writeFile(outside.path() + "/ID(1)", "1\n");
    QDir().mkpath(home.file("exchange/HKEY_CURRENT_USER"));
    ASSERT_TRUE(QFile::link(outside.path(), home.file("exchange/HKEY_CURRENT_USER/DataExchange")));
    Running r(home.path(), home.file("usual.txt"));
    r.terminal.setDataFile(1, {"rec-1"});
    ASSERT_TRUE(r.ready);
    // A request would go out two seconds after it is seen.
    r.terminal.waitFor([] { return false; }, 3500);
    EXPECT_EQ(readFile(outside.path() + "/ID(1)"), QByteArray("1\n"));
    EXPECT_EQ(r.terminal.transcript().filter("GETDATA").size(), 0);
    EXPECT_EQ(CountLines(r.vendrix, "ignored: the key folder is a symbolic link"), 1) << r.output();
    EXPECT_EQ(r.vendrix.terminate().code, 0);
}

// --- Hostile settings --------------------------------------------------------

TEST(HostileSettings, PortsThatAreNoSerialPort)
{
    PtyPair pty;
    ASSERT_TRUE(pty.isReady());
    QTemporaryDir dir;
    const QString plain = dir.path() + "/passwd";
    writeFile(plain, "root:x:0:0\n");
    struct Case {
        const char *port;
        QString device;
        const char *says;
    };
    const Case cases[] = {
        {"../../dev/sda1", pty.pcEnd(),
         "Channel 1 is not opened: [Com(1)] Port=../../dev/sda1 is none of None, Com1 ... Com9"},
        {"Com1", plain, "is a regular file, not a serial device"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.port);
        TempHome home;
        VendrixProcess vendrix(home.path());
        vendrix.setComDevice(1, c.device);
        ASSERT_TRUE(vendrix.writeIni({{"Com(1)", {{"Port", c.port}}}}));
        ASSERT_TRUE(vendrix.start());
        ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 15000));
        EXPECT_GE(CountLines(vendrix, c.says), 1) << vendrix.outputText().toStdString();
        EXPECT_EQ(CountLines(vendrix, "Run/Wait"), 0);
        EXPECT_EQ(vendrix.terminate().code, 0);
    }
    EXPECT_EQ(readFile(plain), QByteArray("root:x:0:0\n"));
}

TEST(HostileSettings, UnusableSettingsFileIsReportedAndLeftAlone)
{
    struct Case {
        const char *name;
        std::function<void(const QString &)> make;
        const char *says;
    };
    const Case cases[] = {
        {"binary",
         [](const QString &p) {
             writeFile(p, QByteArray("\x7f"
                                     "ELF\x02\x01\x01\0\0\0junk[Com(1)]",
                                     22));
         },
         "does not parse: it holds binary data, no [Section] line"},
        {"no section", [](const QString &p) { writeFile(p, "{\"Com1\": {\"Port\": \"Com1\"}}\n"); },
         "does not parse: it has no [Section] line"},
        {"a folder", [](const QString &p) { QDir().mkpath(p); }, "cannot be read: it is not a regular file"},
        {"a FIFO", [](const QString &p) { ::mkfifo(QFile::encodeName(p).constData(), 0644); },
         "cannot be read: it is not a regular file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempHome home;
        VendrixProcess vendrix(home.path());
        c.make(vendrix.iniPath());
        const QFileInfo before(vendrix.iniPath());
        const QByteArray bytes = before.isFile() ? readFile(vendrix.iniPath()) : QByteArray();
        ASSERT_TRUE(vendrix.start());
        ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 15000)) << vendrix.outputText().toStdString();
        EXPECT_EQ(vendrix.terminate().code, 0);
        EXPECT_GE(CountLines(vendrix, c.says), 1) << vendrix.outputText().toStdString();
        EXPECT_GE(CountLines(vendrix, "runs on its default settings and leaves the file untouched"), 1);
        const QFileInfo after(vendrix.iniPath());
        EXPECT_EQ(after.isFile(), before.isFile());
        EXPECT_EQ(after.lastModified(), before.lastModified());
        if (before.isFile()) {
            EXPECT_EQ(readFile(vendrix.iniPath()), bytes);
        }
    }
}

// --- SIGHUP ------------------------------------------------------------------

TEST(Sighup, ReloadsTheSettingsAndReopensTheChannels)
{
    TempHome home;
    Running r(home.path(), home.file("before.txt"));
    ASSERT_TRUE(r.ready) << r.output();
    EXPECT_TRUE(r.terminal.sendTransfer({"old-1"}).complete);

    SimTerminal other;
    ASSERT_TRUE(other.listenTcp());
    ASSERT_TRUE(r.vendrix.writeIni(VendrixProcess::TcpChannel(1, other.tcpPort(), home.file("after.txt"))));
    ASSERT_EQ(::kill(pid_t(r.vendrix.pid()), SIGHUP), 0);
    ASSERT_TRUE(r.vendrix.waitForOutput("Settings reloaded", 15000)) << r.output();
    ASSERT_TRUE(other.waitForConnected(15000));
    // The first terminal was let go when the channel moved.
    EXPECT_TRUE(r.terminal.waitFor([&] { return !r.terminal.isConnected(); }, 3000));
    EXPECT_TRUE(other.sendTransfer({"new-1", "new-2"}).complete);
    EXPECT_TRUE(r.vendrix.isRunning());
    EXPECT_EQ(r.vendrix.terminate().code, 0);
    EXPECT_EQ(readFile(home.file("before.txt")), QByteArray("old-1\r\n"));
    EXPECT_EQ(readFile(home.file("after.txt")), QByteArray("new-1\r\nnew-2\r\n"));
}

// Started with standard input, output and error closed (as a careless
// script may), the collector's own descriptors must not take their numbers:
// what it prints would go into them. With LOG.txt unusable, its entries and
// the report of the failure go to standard error.
TEST(ClosedStandardDescriptors, TakeNothingOfTheCollector)
{
    TempHome home;
    ASSERT_TRUE(QDir().mkpath(home.file("LOG.txt")));
    SimTerminal terminal;
    ASSERT_TRUE(terminal.listenTcp());
    VendrixProcess vendrix(home.path());
    ASSERT_TRUE(vendrix.writeIni(VendrixProcess::TcpChannel(1, terminal.tcpPort(), home.file("data.txt"))));
    const QString program = vendrix.program();
    vendrix.setProgram(QStringLiteral("/bin/sh"));
    vendrix.setArguments({QStringLiteral("-c"), QStringLiteral("exec \"$0\" --headless <&- >&- 2>&-"), program});
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(terminal.waitForConnected(15000));
    EXPECT_TRUE(terminal.sendTransfer({"rec-1", "rec-2"}).complete);
    EXPECT_TRUE(vendrix.isRunning());
    EXPECT_EQ(vendrix.terminate().code, 0);
    EXPECT_EQ(readFile(home.file("data.txt")), QByteArray("rec-1\r\nrec-2\r\n"));
}
