// "Vendrix profile ...", run as installers run it.
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "profiles/ProfileFile.h"

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

using namespace vx;

namespace {

using Ran = test::VendrixProcess::Ran;

Ran vendrix(const QStringList &args, const QString &home)
{
    return test::VendrixProcess::Run(home, QStringList{QStringLiteral("profile")} + args);
}

} // namespace

TEST(ProfileCommand, NewCheckAndExport)
{
    QTemporaryDir dir;
    const QString home = dir.path();

    Ran made = vendrix({"new", "shop.VDX"}, home);
    ASSERT_EQ(made.code, 0) << made.err.toStdString();
    EXPECT_EQ(test::readFile(home + "/shop.VDX"), ProfileFileContent(ProfileSet()));

    Ran checked = vendrix({"check", "shop.VDX"}, home);
    EXPECT_EQ(checked.code, 0) << checked.err.toStdString();
    EXPECT_EQ(checked.out.count('\n'), 1);
    EXPECT_TRUE(checked.out.startsWith("shop.VDX: OK, 1936 lines, terminal family 8000")) << checked.out.toStdString();

    Ran exported = vendrix({"export-c", "shop.VDX", "settings.c"}, home);
    EXPECT_EQ(exported.code, 0) << exported.err.toStdString();
    EXPECT_EQ(QDir(home).entryList(QDir::Files), QStringList({"settings.c", "shop.VDX"}));
    EXPECT_TRUE(test::readFile(home + "/settings.c").contains("\"PROFILE0.NAME=Function 1\",\r\n"));
}

TEST(ProfileCommand, CheckReportsTheLineAndFails)
{
    QTemporaryDir dir;
    const QString home = dir.path();
    test::writeFile(home + "/bad.VDX", "MISC.TERMTYPE=7xxx\r\nMISC.LANGUAGE=1\r\nPROFILE2.SAVEDATA=yes\r\nFLAG=17\r\n");
    test::writeFile(home + "/empty.VDX", "");

    Ran bad = vendrix({"check", "bad.VDX"}, home);
    EXPECT_NE(bad.code, 0);
    EXPECT_TRUE(bad.err.contains("bad.VDX:3: ERROR, please report at Orvane Staff (num 1546)"))
        << bad.err.toStdString();
    EXPECT_TRUE(bad.err.contains("PROFILE2.SAVEDATA=yes"));
    EXPECT_TRUE(bad.out.isEmpty());

    Ran empty = vendrix({"check", "empty.VDX"}, home);
    EXPECT_NE(empty.code, 0);
    EXPECT_TRUE(empty.err.contains("empty.VDX:1:"));

    Ran missing = vendrix({"check", "missing.VDX"}, home);
    EXPECT_NE(missing.code, 0);

    // No C source from a profile that does not read.
    Ran exported = vendrix({"export-c", "bad.VDX", "out.c"}, home);
    EXPECT_NE(exported.code, 0);
    EXPECT_FALSE(QFile::exists(home + "/out.c"));
    EXPECT_FALSE(QFile::exists(home + "/vdxtmp.c"));

    // A partial file with unknown lines is fine, and says so.
    test::writeFile(home + "/part.VDX", "MISC.TERMTYPE=7xxx\nPROFILE0.NAME=Inventory\nNOTE=hand made\n");
    Ran part = vendrix({"check", "part.VDX"}, home);
    EXPECT_EQ(part.code, 0);
    EXPECT_TRUE(part.out.contains("terminal family 711")) << part.out.toStdString();
    EXPECT_TRUE(part.out.contains("1 line not recognized"));
    EXPECT_TRUE(part.out.contains("no closing FLAG=17"));

    // A value with a comma reads but cannot be sent: named, and a failure.
    test::writeFile(home + "/comma.VDX", "MISC.TERMTYPE=8xxx\r\nPROFILE0.NAME=Qty,PROFILE0.EXIST=0\r\nFLAG=17\r\n");
    Ran comma = vendrix({"check", "comma.VDX"}, home);
    EXPECT_EQ(comma.code, 1);
    EXPECT_TRUE(comma.err.contains("comma.VDX: The value of PROFILE0.NAME holds a comma")) << comma.err.toStdString();

    EXPECT_EQ(vendrix({}, home).code, 2);
    EXPECT_EQ(vendrix({"check"}, home).code, 2);
    EXPECT_EQ(vendrix({"export-c", "bad.VDX"}, home).code, 2);
}
