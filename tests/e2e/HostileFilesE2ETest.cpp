// Every file the program reads or writes beside its targets, tried with
// hostile files made here: profiles given to the commands, the settings a
// terminal sends back, the log and the temporary files in the data folder.
// The real program, as a user runs it; terminals on pseudo-terminals.
#include "../transfer/SettingsTerminal.h"
#include "PtyPair.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "settings/Settings.h"
#include "tools/simterm/SimTerminal.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace vx;
using vx::test::SettingsTerminal;
using vx::test::VendrixProcess;

namespace {

// A folder of hostile files, made once for all the rows.
class HostileFolder {
public:
    HostileFolder()
    {
        const QString d = m_dir.path();
        ::chmod(QFile::encodeName(d).constData(), 0755); // "unreadable" is tried as another user
        ::mkfifo(QFile::encodeName(d + "/fifo.VDX").constData(), 0644);
        QFile::link("/dev/zero", d + "/zero.VDX");
        {
            QFile sparse(d + "/sparse.VDX");
            if (sparse.open(QIODevice::WriteOnly))
                sparse.resize(qint64(200) * 1024 * 1024);
        }
        {
            QFile line(d + "/line50.VDX");
            if (line.open(QIODevice::WriteOnly)) {
                line.write("PROFILE0.NAME=");
                const QByteArray chunk(1024 * 1024, 'x');
                for (int i = 0; i < 50; ++i)
                    line.write(chunk);
            }
        }
        std::mt19937 random(27);
        QByteArray bytes(64 * 1024, Qt::Uninitialized);
        for (char &c : bytes)
            c = char(random() & 0xff);
        test::writeFile(d + "/random.VDX", bytes);
        test::writeFile(d + "/empty.VDX", "");
        test::writeFile(d + "/bom.VDX", "\xEF\xBB\xBFMISC.TERMTYPE=7xxx\r\nMISC.LANGUAGE=3\r\nFLAG=17\r\n");
        test::writeFile(d + "/noequals.VDX", "MISC.TERMTYPE=8xxx\r\nPROFILE0.NAMEShop\r\nFLAG=17\r\n");
        QDir(d).mkdir("folder.VDX");
        test::writeFile(d + "/numberx.VDX", "MISC.TERMTYPE=8xxx\r\nPROFILE0.COM.BLOCKTERM=x\r\nFLAG=17\r\n");
        test::writeFile(d + "/hello.VDX", "hello\n");
        test::writeFile(d + "/nul.VDX", QByteArray("MISC.OIDV=a\0b\r\nFLAG=17\r\n", 24));
        test::writeFile(d + "/longline.VDX", "PROFILE0.NAME=" + QByteArray(5000, 'x') + "\r\nFLAG=17\r\n");
        test::writeFile(d + "/unreadable.VDX", "MISC.LANGUAGE=1\r\n");
        ::chmod(QFile::encodeName(d + "/unreadable.VDX").constData(), 0);
    }
    QString file(const char *name) const { return m_dir.path() + '/' + QLatin1String(name); }

private:
    QTemporaryDir m_dir;
};

using Ran = VendrixProcess::Ran;

struct Rig {
    test::TempHome home;
    test::PtyPair pair;
    SettingsTerminal terminal;

    bool ready() { return pair.isReady() && terminal.openSerial(pair.terminalEnd()); }
    Ran send(const QString &file)
    {
        return VendrixProcess::Run(home.path(), {"send-settings", file, "--port", "Com2", "--speed", "38400"},
                                   {"VENDRIX_COM2=" + pair.pcEnd()});
    }
};

} // namespace

// --- Profiles: one strict reader for every use -----------------------------

struct ProfileRow {
    const char *file;
    int code;          // of check, export-c and send-settings alike
    const char *words; // in the message of each
};

TEST(HostileProfiles, EveryUseRefusesWhatIsNoProfileNamingTheFileAndWhy)
{
    Rig rig;
    if (!rig.ready())
        GTEST_SKIP() << rig.pair.errorText().toStdString();
    HostileFolder hostile;
    const ProfileRow rows[] = {
        {"fifo.VDX", 1, "fifo.VDX: is a FIFO"},
        {"zero.VDX", 1, "zero.VDX: is a character device"},
        {"sparse.VDX", 1, "sparse.VDX: is larger than 1 MiB"},
        {"line50.VDX", 1, "line50.VDX: is larger than 1 MiB"},
        {"random.VDX", 1, "not a text file"},
        {"empty.VDX", 1, "empty.VDX:1: the file holds no line"},
        {"folder.VDX", 1, "folder.VDX: is a folder"},
        {"numberx.VDX", 1, "numberx.VDX:2: the value \"x\" is not a number: PROFILE0.COM.BLOCKTERM=x"},
        {"hello.VDX", 1, "hello.VDX: no line of the form KEY=VALUE"},
        {"nul.VDX", 1, "nul.VDX:1: holds NUL bytes"},
        {"longline.VDX", 1, "longline.VDX:1: a line longer than 4096 bytes"},
        {"none.VDX", 1, "none.VDX"},
        {"bom.VDX", 0, "terminal family 711"},
        {"noequals.VDX", 0, "1 line without \"=\" skipped"},
    };
    for (const ProfileRow &row : rows) {
        SCOPED_TRACE(row.file);
        const QString path = hostile.file(row.file);
        const QString c = rig.home.file("out.c");
        QFile::remove(c);

        const Ran check = VendrixProcess::Run(rig.home.path(), {"profile", "check", path});
        EXPECT_EQ(check.code, row.code) << check.output.toStdString();
        const Ran exported = VendrixProcess::Run(rig.home.path(), {"profile", "export-c", path, c});
        EXPECT_EQ(exported.code, row.code) << exported.output.toStdString();
        EXPECT_EQ(QFileInfo::exists(c), row.code == 0);
        const int linesBefore = int(rig.terminal.lines().size());
        const Ran sent = rig.send(path);
        EXPECT_EQ(sent.code, row.code) << sent.output.toStdString();
        if (row.code == 0) {
            EXPECT_TRUE(check.output.contains(row.words)) << check.output.toStdString();
            EXPECT_TRUE(rig.terminal.crcAgreed());
        } else {
            for (const Ran *r : {&check, &exported, &sent})
                EXPECT_TRUE(r->output.contains(row.words)) << r->output.toStdString();
            EXPECT_EQ(rig.terminal.lines().size(), linesBefore) << "something was sent";
        }
    }
    // The mark before the first line never travels to the terminal.
    ASSERT_EQ(rig.send(hostile.file("bom.VDX")).code, 0);
    EXPECT_EQ(rig.terminal.items().value(0), "MISC.TERMTYPE=7xxx");
}

TEST(HostileProfiles, AnUnreadableFileIsRefusedAsSuch)
{
    HostileFolder hostile;
    test::TempHome home;
    // Root reads any file whatever its mode: the command then runs as nobody.
    QStringList asUser;
    if (::geteuid() == 0) {
        if (QStandardPaths::findExecutable("setpriv").isEmpty())
            GTEST_SKIP() << "runs as root without setpriv: a file mode does not stop root";
        asUser = {"--reuid=65534", "--regid=65534", "--clear-groups"};
        ::chmod(QFile::encodeName(home.path()).constData(), 0777);
    }
    for (const char *command : {"check", "export-c"}) {
        QStringList args{"profile", command, hostile.file("unreadable.VDX")};
        if (QLatin1String(command) == QLatin1String("export-c"))
            args << home.file("out.c");
        VendrixProcess p(home.path());
        p.setArguments(asUser.isEmpty() ? args : asUser + QStringList{p.program()} + args);
        if (!asUser.isEmpty())
            p.setProgram(QStandardPaths::findExecutable("setpriv"));
        const Ran r = p.runToEnd();
        EXPECT_EQ(r.code, 1) << r.output.toStdString();
        EXPECT_TRUE(r.output.contains("unreadable.VDX: Permission denied")) << r.output.toStdString();
    }
}

// --- Receiving settings: the previous profile survives every failure -------

TEST(HostileReception, ThePreviousProfileSurvivesEveryFailureAndVdxTmpNeverStays)
{
    const QByteArray previous = "MISC.LANGUAGE=2\r\n";

    QByteArray endless;
    while (endless.size() < 1100 * 1024)
        endless += "MISC.LANGUAGE=1\r";
    struct Row {
        const char *what;
        QByteArray stream;
        int code;
        QStringList words;
        bool hangUp = false; // the line goes away after the stream
    };
    const Row rows[] = {
        {"more than a profile, without end", SettingsTerminal::Stream({}).left(13) + endless, 1, {"more than 1 MiB"}},
        {"a right CRC over no profile",
         SettingsTerminal::Stream({"hello"}),
         1,
         {"Error saving the profile", "no line of the form KEY=VALUE"}},
        {"a right CRC over a bad number",
         SettingsTerminal::Stream({"MISC.TERMTYPE=8xxx", "PROFILE0.COM.RECDELAY=x"}),
         1,
         {"the received settings:2:", "PROFILE0.COM.RECDELAY=x"}},
        {"a wrong CRC",
         SettingsTerminal::Stream({"MISC.LANGUAGE=4"}, {false, false, "00000000", true}),
         1,
         {"Error Receiving Settings"}},
        {"a hang-up before the end", "SETTINGS\rBOF\rMISC.LANGUAGE=5\r", 1, {"The line hung up"}, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Rig rig; // a line of its own: nothing of a row is left for the next
        if (!rig.ready())
            GTEST_SKIP() << rig.pair.errorText().toStdString();
        const QString target = rig.home.file("R.VDX");
        const QString temp = rig.home.file("VDX.tmp");
        test::writeFile(target, previous);
        VendrixProcess vendrix(rig.home.path());
        vendrix.setComDevice(2, rig.pair.pcEnd());
        vendrix.setArguments({"receive-settings", target, "--port", "Com2", "--speed", "57600"});
        ASSERT_TRUE(vendrix.start());
        ASSERT_TRUE(vendrix.waitForOutput("^Waiting for the terminal", 10000));
        rig.terminal.sendRaw(row.stream);
        if (row.hangUp) {
            ASSERT_TRUE(vendrix.waitForOutput("^Receiving", 10000));
            rig.terminal.close();
            rig.pair.stop();
        }
        EXPECT_EQ(vendrix.waitForExit(30000).code, row.code) << vendrix.outputText().toStdString();
        for (const QString &w : row.words)
            EXPECT_TRUE(vendrix.outputText().contains(w)) << vendrix.outputText().toStdString();
        EXPECT_EQ(test::readFile(target), previous);
        EXPECT_FALSE(QFileInfo::exists(temp));
    }
}

// --- Signals: every command ends within a second ---------------------------

TEST(HostileSignals, EveryCommandEndsWithinASecond)
{
    Rig rig;
    if (!rig.ready())
        GTEST_SKIP() << rig.pair.errorText().toStdString();
    const QString target = rig.home.file("R.VDX");
    const QString profile = rig.home.file("P.VDX");
    test::writeFile(profile, "MISC.TERMTYPE=8xxx\r\nMISC.LANGUAGE=1\r\nFLAG=17\r\n");
    struct Row {
        const char *what;
        QStringList args;
        QByteArray terminalSends; // once the command waits
        int signal;
    };
    const QStringList receive{"receive-settings", target, "--port", "Com2", "--speed", "57600"};
    const Row rows[] = {
        {"receive, waiting for the first byte", receive, {}, SIGINT},
        {"receive, in the middle of the settings", receive, "SETTINGS\rBOF\rMISC.LANGUAGE=5\r", SIGTERM},
        {"send, waiting for an answer", {"send-settings", profile, "--port", "Com2", "--speed", "38400"}, {}, SIGTERM},
        {"the collector, headless", {"--headless"}, {}, SIGTERM},
    };
    // The terminal stays silent to what the PC sends.
    rig.terminal.setRule([](const QByteArray &, int, bool) { return std::optional<QByteArray>(QByteArray()); });
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        VendrixProcess vendrix(rig.home.path());
        vendrix.setComDevice(2, rig.pair.pcEnd());
        vendrix.setArguments(row.args);
        ASSERT_TRUE(vendrix.start());
        ASSERT_TRUE(vendrix.waitForOutput("^Waiting for the terminal|^Sending|Collector ready", 15000))
            << vendrix.outputText().toStdString();
        if (!row.terminalSends.isEmpty()) {
            rig.terminal.sendRaw(row.terminalSends);
            ASSERT_TRUE(vendrix.waitForOutput("^Receiving", 10000));
        }
        QThread::msleep(300);
        QElapsedTimer t;
        t.start();
        ::kill(pid_t(vendrix.pid()), row.signal);
        const VendrixProcess::Exit exit = vendrix.waitForExit(5000);
        EXPECT_TRUE(exit.ended);
        EXPECT_LE(t.elapsed(), 1000);
        EXPECT_FALSE(QFileInfo::exists(rig.home.file("VDX.tmp")));
    }
    EXPECT_FALSE(QFileInfo::exists(target));
}

// --- The log and the program's own temporary files -------------------------

TEST(HostileDataFolder, PlantedLogIsNeitherWrittenThroughNorWaitedFor)
{
    struct Row {
        const char *what;
        std::function<void(const QString &log, const QString &victim)> plant;
        const char *why;
    };
    const Row rows[] = {
        {"a link to another file", [](const QString &log, const QString &victim) { QFile::link(victim, log); },
         "is a symbolic link"},
        {"a FIFO", [](const QString &log, const QString &) { ::mkfifo(QFile::encodeName(log).constData(), 0644); },
         "is a FIFO"},
        {"a folder", [](const QString &log, const QString &) { QDir().mkdir(log); }, "is a folder"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        test::TempHome home;
        const QString log = home.file("LOG.txt");
        const QString victim = home.file("victim");
        test::writeFile(victim, "keep\n");
        row.plant(log, victim);
        VendrixProcess vendrix(home.path());
        ASSERT_TRUE(vendrix.start());
        ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 15000)) << vendrix.outputText().toStdString();
        const QString said =
            QStringLiteral("Cannot open the log %1: %2; the log goes to standard error").arg(log, row.why);
        EXPECT_EQ(QString::fromUtf8(vendrix.stderrBytes()).count(said), 1) << vendrix.outputText().toStdString();
        EXPECT_EQ(vendrix.terminate().code, 0);
        EXPECT_EQ(test::readFile(victim), "keep\n");
    }

    // Unplanted: a regular file, readable by its owner and group only; its
    // rotation moves a planted link by its name and never writes through it.
    test::TempHome home;
    const QString victim = home.file("victim");
    test::writeFile(victim, "keep\n");
    QFile::link(victim, home.file("LOG.txt.1"));
    VendrixProcess vendrix(home.path());
    vendrix.setEnv("VENDRIX_LOG_MAX_BYTES", "40");
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 15000)) << vendrix.outputText().toStdString();
    EXPECT_EQ(vendrix.terminate().code, 0);
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(home.file("LOG.txt")).constData(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(test::readFile(victim), "keep\n");
}

TEST(HostileDataFolder, PlantedTemporaryFilesAreReplacedNotWrittenThrough)
{
    Rig rig;
    if (!rig.ready())
        GTEST_SKIP() << rig.pair.errorText().toStdString();
    const QString victim = rig.home.file("victim");
    test::writeFile(victim, "keep\n");
    QFile::link(victim, rig.home.file("vdxtmp.c"));
    QFile::link(victim, rig.home.file("VDX.tmp"));

    const QString profile = rig.home.file("P.VDX");
    ASSERT_EQ(VendrixProcess::Run(rig.home.path(), {"profile", "new", profile}).code, 0);
    const Ran exported = VendrixProcess::Run(rig.home.path(), {"profile", "export-c", profile, rig.home.file("out.c")});
    EXPECT_EQ(exported.code, 0) << exported.output.toStdString();

    const QString target = rig.home.file("R.VDX");
    VendrixProcess vendrix(rig.home.path());
    vendrix.setComDevice(2, rig.pair.pcEnd());
    vendrix.setArguments({"receive-settings", target, "--port", "Com2", "--speed", "57600"});
    ASSERT_TRUE(vendrix.start());
    ASSERT_TRUE(vendrix.waitForOutput("^Waiting for the terminal", 10000));
    rig.terminal.sendRaw(SettingsTerminal::Stream({"MISC.LANGUAGE=3"}));
    EXPECT_EQ(vendrix.waitForExit(10000).code, 0) << vendrix.outputText().toStdString();
    EXPECT_EQ(test::readFile(target), "MISC.LANGUAGE=3\r\n");

    EXPECT_EQ(test::readFile(victim), "keep\n");
    EXPECT_FALSE(QFileInfo::exists(rig.home.file("vdxtmp.c")));
    EXPECT_FALSE(QFileInfo::exists(rig.home.file("VDX.tmp")));
}

// --- Its own settings -------------------------------------------------------

TEST(HostileSettings, AByteOrderMarkHidesNoSectionAndASaveKeepsIt)
{
    test::TempHome home;
    sim::SimTerminal terminal;
    ASSERT_TRUE(terminal.listenTcp());
    const QString ini = home.file("Vendrix.ini");
    test::writeFile(ini, "\xEF\xBB\xBF[Com(1)]\r\nConnType=TCP\r\nIP1=127\r\nIP2=0\r\nIP3=0\r\nIP4=1\r\nIP5="
                             + QByteArray::number(terminal.tcpPort()) + "\r\n");
    VendrixProcess vendrix(home.path());
    ASSERT_TRUE(vendrix.start());
    EXPECT_TRUE(terminal.waitForConnected(15000)) << vendrix.outputText().toStdString();
    ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 15000)) << vendrix.outputText().toStdString();
    EXPECT_EQ(vendrix.terminate().code, 0);
    const QByteArray saved = test::readFile(ini);
    EXPECT_TRUE(saved.startsWith("\xEF\xBB\xBF[Com(1)]")) << saved.left(40).toStdString();
    EXPECT_EQ(saved.count("[Com(1)]"), 1);
    EXPECT_EQ(saved.count("ConnType="), 4); // once per channel
}

TEST(HostileSettings, ANumberOutOfRangeIsSaidAndItsDefaultUsedWhileTheFileKeepsIt)
{
    struct Row {
        const char *section;
        const char *key;
        const char *value;
        const char *range; // in the message; empty: in range, no message
        int getData;       // GETDATA requests seen within 2.5 s at least (-1: none at all)
    };
    const Row rows[] = {
        {"Com(1)", "AutoSec", "99999999999999999999", "1 to 2147483 seconds", -1},
        {"Com(1)", "AutoSec", "0.5", "1 to 2147483 seconds", -1},
        {"Com(1)", "AutoSec", "1", "", 1},
        {"ExtFile(1)", "MaxLenght", "3000000000", "0 to 65536 characters", -1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.key) + "=" + row.value);
        test::TempHome home;
        sim::SimTerminal terminal;
        ASSERT_TRUE(terminal.listenTcp());
        VendrixProcess vendrix(home.path());
        VendrixProcess::Ini ini = VendrixProcess::TcpChannel(1, terminal.tcpPort());
        ini["Com(1)"]["Auto"] = "1"; // AutoSec alone decides whether GETDATA goes out
        if (QLatin1String(row.key) != QLatin1String("AutoSec"))
            ini["Com(1)"]["AutoSec"] = "00";
        ini[row.section][row.key] = row.value;
        ASSERT_TRUE(vendrix.writeIni(ini));
        ASSERT_TRUE(vendrix.start());
        ASSERT_TRUE(terminal.waitForConnected(15000)) << vendrix.outputText().toStdString();
        ASSERT_TRUE(vendrix.waitForOutput("Collector ready", 15000));
        terminal.waitFor([] { return false; }, 2500);
        const QString said = QStringLiteral("[%1] %2=%3 is outside the range the program uses (%4")
                                 .arg(row.section, row.key, row.value, row.range);
        EXPECT_EQ(vendrix.outputText().contains(said), *row.range != '\0') << vendrix.outputText().toStdString();
        const int asked = int(terminal.received().count("GETDATA"));
        if (row.getData < 0)
            EXPECT_EQ(asked, 0);
        else
            EXPECT_GE(asked, row.getData);
        EXPECT_EQ(vendrix.terminate().code, 0);
        EXPECT_TRUE(test::readFile(vendrix.iniPath()).contains(QByteArray(row.key) + "=" + row.value));
    }
    // Periods the dialog would not write still work.
    ChannelSettings c;
    c.AutoSec = "120";
    EXPECT_EQ(AutoPeriodMs(c), 120000);
    EXPECT_EQ(LookupLineLength("65536"), 65536);
}
