#include "TestSupport.h"
#include "platform/CheckCharacters.h"
#include "platform/Clock.h"
#include "platform/FileChecks.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace vx;

TEST(Utilities, FileChecks)
{
    test::TempHome home;
    const QString path = home.file("new.txt");
    EXPECT_FALSE(FileExists(path));
    EXPECT_TRUE(CanOpenForAppend(path)); // creates it, empty
    EXPECT_TRUE(FileExists(path));
    EXPECT_EQ(QFileInfo(path).size(), 0);
    EXPECT_FALSE(CanOpenForAppend(home.file("no/such/dir/x.txt")));
    EXPECT_FALSE(FileExists(home.path()));
    EXPECT_FALSE(CanOpenForAppend(home.path()));

    QFile::setPermissions(path, QFileDevice::ReadOwner);
    if (::geteuid() != 0) { // root ignores permissions
        EXPECT_FALSE(CanOpenForAppend(path));
    }
}

TEST(Utilities, WaitSecondsRunsTheEventLoop)
{
    bool fired = false;
    QTimer::singleShot(20, [&] { fired = true; });
    QElapsedTimer t;
    t.start();
    WaitSeconds(0.1);
    EXPECT_GE(t.elapsed(), 95);
    EXPECT_TRUE(fired);
}

TEST(Utilities, XorChecksumIsTwoUpperCaseDigits)
{
    EXPECT_EQ(XorChecksum("abc"), "60");
    EXPECT_EQ(XorChecksum("xyz"), "7B");
    EXPECT_EQ(XorChecksum(""), "00");
    EXPECT_EQ(XorChecksum("\x01"), "01");
    EXPECT_EQ(XorChecksum("\xff"), "FF");
}
