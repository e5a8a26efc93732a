// Saving: the profile file, the C source export and the unavailable file.
#include "TestSupport.h"
#include "platform/Messenger.h"
#include "profiles/ProfileFile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace vx;

namespace {

struct Ran {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Ran run(const QString &program, const QStringList &args, const QString &dir)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(program, args);
    Ran r;
    if (!p.waitForFinished(30000))
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

} // namespace

TEST(ProfileSave, ExportsCompilableCSourceAndNoProfileFile)
{
    const QString cc = QStandardPaths::findExecutable(QStringLiteral("cc"));
    ASSERT_FALSE(cc.isEmpty()) << "a C compiler (build-essential) is needed";
    test::TempHome home;
    QTemporaryDir out;
    test::writeFile(home.file("vdxtmp.c"), "left from an earlier run");

    ProfileSet set;
    // Characters that need care in a C string, and a comma that must not
    // split the item.
    set.Functions[0].Name = QStringLiteral(
        "Say \"hi\", C:\\tmp ?"
        "?= \t\u00e9");
    set.Functions[1].Fields[0].DefaultValue = QStringLiteral("a,b");
    set.Constants[0].Codes[0] = QStringLiteral("65");
    set.Constants[0].Codes[1] = QStringLiteral("66");

    const QString target = out.path() + QStringLiteral("/settings.c");
    ScriptedMessenger messenger;
    ASSERT_TRUE(SaveProfileFile(set, target, messenger));
    EXPECT_TRUE(messenger.shown.empty());
    EXPECT_FALSE(QFile::exists(home.file("vdxtmp.c")));
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files), QStringList{"settings.c"});
    EXPECT_TRUE(QDir(home.path()).entryList({"*.VDX", "*.vdx"}, QDir::Files).isEmpty());

    const QByteArray source = test::readFile(target);
    const QList<QByteArray> text = source.split('\n');
    ASSERT_GT(text.size(), 14);
    EXPECT_EQ(text[0], "//\r");
    EXPECT_EQ(text[1], "// settings.c   default settings for Vendrix.\r");
    EXPECT_EQ(text[2], "// same format of rx/tx file (with no CRC32)\r");
    EXPECT_TRUE(text[3].startsWith("// TimeStamp : "));
    EXPECT_EQ(text[5], "char *defaultSettings[] =\r");
    EXPECT_EQ(text[7], "\"MISC.TERMTYPE=8xxx\",\r");
    EXPECT_TRUE(source.contains("\"CONST0=065 066 \",\r\n"));
    EXPECT_TRUE(
        source.endsWith("\"FLAG=17\",\r\n\"\"\r\n};\r\nint TotalSettings()\r\n{\r\n"
                        "    return sizeof(defaultSettings) / sizeof(char *);\r\n}\r\n"));

    // It compiles, and a program that lists it gets every line back.
    const QString mainC = out.path() + QStringLiteral("/main.c");
    test::writeFile(mainC,
                    "#include <stdio.h>\n"
                    "extern char *defaultSettings[];\n"
                    "int TotalSettings();\n"
                    "int main(void)\n"
                    "{\n"
                    "    int n = TotalSettings();\n"
                    "    printf(\"%d\\n\", n);\n"
                    "    for (int i = 0; i < n; ++i)\n"
                    "        printf(\"%s\\n\", defaultSettings[i]);\n"
                    "    return 0;\n"
                    "}\n");
    Ran compile = run(cc, {"-std=c99", "-Wall", "-Werror", "-c", "settings.c", "-o", "settings.o"}, out.path());
    ASSERT_EQ(compile.exitCode, 0) << compile.err.constData();
    Ran link = run(cc, {"-std=c99", "main.c", "settings.o", "-o", "list"}, out.path());
    ASSERT_EQ(link.exitCode, 0) << link.err.constData();
    Ran listed = run(out.path() + QStringLiteral("/list"), {}, out.path());
    ASSERT_EQ(listed.exitCode, 0);

    const QList<QByteArray> lines = ProfileLines(set);
    QByteArray expected = QByteArray::number(lines.size() + 1) + '\n';
    for (const QByteArray &line : lines)
        expected += line + '\n';
    expected += '\n';
    EXPECT_EQ(listed.out, expected);
}

TEST(ProfileSave, ProfileFileOrWarning)
{
    test::TempHome home;
    ProfileSet set;
    set.TerminalFamily = QStringLiteral("711");
    ScriptedMessenger messenger;

    const QString path = home.file("shop.VDX");
    test::writeFile(path, "an older, longer file that must be replaced as a whole\r\n");
    ASSERT_TRUE(SaveProfileFile(set, path, messenger));
    EXPECT_EQ(test::readFile(path), ProfileFileContent(set));
    EXPECT_TRUE(messenger.shown.empty());

    // The kept text, then the file and the system's reason.
    EXPECT_FALSE(SaveProfileFile(set, home.file("no/such/folder/x.VDX"), messenger));
    EXPECT_FALSE(SaveProfileFile(set, home.path(), messenger));
    ASSERT_EQ(messenger.texts().size(), 2);
    const char *kept = "WARNING, the requested file is not available. Change the file, please.\r\n\r\n";
    EXPECT_TRUE(messenger.texts()[0].startsWith(QString(kept) + "The profile cannot be saved to "
                                                + home.file("no/such/folder/x.VDX") + ": No such file or directory"))
        << messenger.texts()[0].toStdString();
    EXPECT_TRUE(messenger.texts()[1].startsWith(QString(kept) + "The profile cannot be saved to " + home.path() + ": "))
        << messenger.texts()[1].toStdString();
}
