#include "TestSupport.h"
#include "platform/Clock.h"
#include "platform/MappedHeader.h"
#include "platform/Messenger.h"
#include "platform/Paths.h"

#include <QDir>
#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vx;

TEST(Platform, FoldersFollowVendrixHome)
{
    test::TempHome home;
    EXPECT_EQ(Paths::configDir(), home.path());
    EXPECT_EQ(Paths::dataDir(), home.path());
    EXPECT_EQ(Paths::settingsFile(), home.file("Vendrix.ini"));
    EXPECT_EQ(Paths::dataFile("LOG.txt"), home.file("LOG.txt"));
}

TEST(Platform, ComPortsMapToDevices)
{
    test::TempHome home;
    qunsetenv("VENDRIX_COM3");
    EXPECT_EQ(Paths::comDevice("Com1"), "/dev/ttyS0");
    EXPECT_EQ(Paths::comDevice("com9"), "/dev/ttyS8");
    EXPECT_EQ(Paths::comDevice("None"), "");
    EXPECT_EQ(Paths::comDevice("Com10"), "");
    test::writeFile(Paths::portsFile(), "# my ports\n; the adapter\ncom3 = /dev/ttyUSB0\r\n");
    EXPECT_EQ(Paths::comDevice("Com3"), "/dev/ttyUSB0");
    qputenv("VENDRIX_COM3", "/tmp/pty-a");
    EXPECT_EQ(Paths::comDevice(3), "/tmp/pty-a");
    qunsetenv("VENDRIX_COM3");
}

TEST(Platform, MessengersGiveDefaultAnswers)
{
    QStringList logged;
    HeadlessMessenger headless([&](const QString &line) { logged << line; });
    EXPECT_EQ(headless.message("a\r\nb", MsgIcon::Critical, MsgButtons::Ok, {}), MsgAnswer::Ok);
    EXPECT_EQ(headless.message("q", MsgIcon::Exclamation, MsgButtons::OkCancel, {}), MsgAnswer::Cancel);
    EXPECT_EQ(headless.message("q", MsgIcon::Question, MsgButtons::YesNo, {}), MsgAnswer::No);
    EXPECT_FALSE(headless.prompt("Enter Password", "", "").has_value());
    EXPECT_TRUE(headless.openFileName("Open", "X (*.x)|*.x", "").isEmpty());
    ASSERT_EQ(logged.size(), 5);
    EXPECT_EQ(logged[0], "[error] a / b");

    ScriptedMessenger scripted;
    scripted.answers.push_back(MsgAnswer::Ok);
    EXPECT_EQ(scripted.message("first", MsgIcon::None, MsgButtons::OkCancel, {}), MsgAnswer::Ok);
    EXPECT_EQ(scripted.message("second", MsgIcon::None, MsgButtons::OkCancel, {}), MsgAnswer::Cancel);
    EXPECT_EQ(scripted.texts(), QStringList({"first", "second"}));

    EXPECT_EQ(Messenger::qtFilter("Vendrix Profiles (*.VDX)|*.VDX"), "Vendrix Profiles (*.VDX)");
    EXPECT_EQ(Messenger::qtFilter("Tutti i file|*.*"), "Tutti i file (*.*)");
}

TEST(Platform, ManualClockIsInjectable)
{
    ManualClock manual;
    Clock::setCurrent(&manual);
    const qint64 before = Clock::current().nowMs();
    manual.advanceMs(1500);
    EXPECT_EQ(Clock::current().nowMs() - before, 1500);
    Clock::setCurrent(nullptr);
    const qint64 a = Clock::current().nowMs();
    EXPECT_GE(Clock::current().nowMs(), a);
}

// A header changed through the mapped page is what every reader of the file
// sees; a file cut to nothing under the mapping makes the change fail
// instead of ending the program; what is not a regular file of the size
// asked for is not mapped.
TEST(Platform, MappedHeaderWritesTheFileAndSurvivesItBeingCut)
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("table.dbf")));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "0123456789abcdef", 16), 16);

    MappedHeader header;
    EXPECT_FALSE(header.Map(fd, 17)) << "shorter than asked";
    ASSERT_TRUE(header.Map(fd, 12));
    ASSERT_TRUE(header.Put(1, "XYZ", 3));
    char seen[16] = {};
    ASSERT_EQ(::pread(fd, seen, sizeof seen, 0), 16);
    EXPECT_EQ(QByteArray(seen, 16), "0XYZ456789abcdef");
    EXPECT_FALSE(header.Put(4094, "XYZ", 3)) << "past the page";

    ASSERT_EQ(::ftruncate(fd, 0), 0);
    EXPECT_FALSE(header.Put(1, "XYZ", 3));
    // The program goes on, and a bus error after it is caught again.
    EXPECT_FALSE(header.Put(2, "XYZ", 3));
    header.Unmap();
    ::close(fd);

    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("fifo")));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    const int pipeFd = ::open(fifo.constData(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(pipeFd, 0);
    EXPECT_FALSE(header.Map(pipeFd, 1));
    ::close(pipeFd);
}
