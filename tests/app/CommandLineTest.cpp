// The program's command line as a user types it: every command of the
// table, the collector included, answers --help and "help WORDS" with its
// own usage, refuses a wrong command line with exit code 2, and writes
// nothing while doing so.
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "app/Commands.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace vx;

namespace {

using Ran = test::VendrixProcess::Ran;

class CommandLineTest : public ::testing::Test {
protected:
    QTemporaryDir dir;

    Ran run(const QStringList &args) { return test::VendrixProcess::Run(dir.path(), args); }

    // Nothing at all in the home and working folder.
    QStringList written() const
    {
        return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
};

QStringList wordsOf(const Command &c)
{
    return c.words.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// Names for every required argument: a command line that would run.
QStringList requiredArguments(const Command &c)
{
    QStringList args;
    for (const auto &a : c.arguments)
        if (!a.first.startsWith(QLatin1Char('[')))
            args << a.first;
    return args;
}

} // namespace

TEST_F(CommandLineTest, EveryCommandHasItsHelpAndRefusesAWrongCommandLine)
{
    const CommandLine line = ProgramCommandLine(QStringLiteral("Vendrix"));
    QList<Command> all = line.commands();
    all.prepend(line.root());
    ASSERT_GE(all.size(), 6);
    const Ran programHelp = run({QStringLiteral("--help")});

    for (const Command &c : all) {
        const QStringList words = wordsOf(c);
        const QString name = (QStringList{QStringLiteral("Vendrix")} + words).join(QLatin1Char(' '));
        SCOPED_TRACE(name.toStdString());
        if (!words.isEmpty()) {
            EXPECT_TRUE(programHelp.out.contains(QStringLiteral("\n  ") + c.words + QLatin1Char(' ')))
                << programHelp.out.toStdString();
        }

        // --help wins over a command line that would otherwise run (and
        // write a file named by an argument).
        const Ran help = run(words + requiredArguments(c) + QStringList{QStringLiteral("--help")});
        EXPECT_EQ(help.code, 0) << help.err.toStdString();
        EXPECT_TRUE(help.out.startsWith(QStringLiteral("Usage: ") + name + QLatin1Char(' '))) << help.out.toStdString();
        EXPECT_TRUE(help.out.contains(QStringLiteral("-h, --help")));
        EXPECT_EQ(help.err, QString());
        const Ran asked = run(QStringList{QStringLiteral("help")} + words);
        EXPECT_EQ(asked.code, 0);
        EXPECT_EQ(asked.out, help.out);
        EXPECT_EQ(run(words + QStringList{QStringLiteral("-h")}).out, help.out);

        const Ran bad = run(words + requiredArguments(c) + QStringList{QStringLiteral("--no-such-option")});
        EXPECT_EQ(bad.code, 2);
        EXPECT_EQ(bad.out, QString());
        EXPECT_TRUE(bad.err.startsWith(name + QStringLiteral(": Unknown option 'no-such-option'.")))
            << bad.err.toStdString();
        EXPECT_TRUE(bad.err.contains(QStringLiteral("Usage: ") + name + QLatin1Char(' '))) << bad.err.toStdString();

        // One more argument than the command takes (an optional one filled).
        QStringList every = requiredArguments(c);
        for (const auto &a : c.arguments)
            if (a.first.startsWith(QLatin1Char('[')))
                every << a.first.mid(1, a.first.size() - 2);
        const Ran extra = run(words + every + QStringList{QStringLiteral("surplus")});
        EXPECT_EQ(extra.code, 2) << extra.err.toStdString();
        if (!requiredArguments(c).isEmpty()) {
            const Ran missing = run(words);
            EXPECT_EQ(missing.code, 2);
            EXPECT_TRUE(missing.err.startsWith(name + QStringLiteral(": ") + requiredArguments(c).first()
                                               + QStringLiteral(" is missing.")))
                << missing.err.toStdString();
        }
    }
    EXPECT_EQ(written(), QStringList());
}

TEST_F(CommandLineTest, GroupsUnknownWordsAndValues)
{
    struct Case {
        QStringList args;
        int code;
        const char *stream; // "out" or "err": where the text goes
        const char *text;   // what it starts with
    };
    const QList<Case> cases = {
        {{"profile", "--help"}, 0, "out", "Usage: Vendrix profile COMMAND"},
        {{"help", "profile"}, 0, "out", "Usage: Vendrix profile COMMAND"},
        {{"profile"}, 2, "err", "Vendrix profile: a command is missing."},
        {{"profile", "old", "x.VDX"}, 2, "err", "Vendrix profile: no command 'old'."},
        {{"collect"}, 2, "err", "Vendrix: no command 'collect'."},
        {{"help", "collect"}, 2, "err", "Vendrix: no command 'collect'."},
        {{"--version"}, 0, "out", "Vendrix " VENDRIX_VERSION "\nLicense GPL-3.0-or-later"},
        {{"send-settings", "P.VDX", "--port", "Com10", "--speed", "9600"},
         2,
         "err",
         "Vendrix send-settings: 'Com10' is not a port"},
        {{"send-settings", "P.VDX", "--speed", "9600"}, 2, "err", "Vendrix send-settings: --port ComN is missing."},
        {{"receive-settings", "P.VDX", "--port", "Com1", "--speed", "fast"},
         2,
         "err",
         "Vendrix receive-settings: 'fast' is not a speed"},
        {{"receive-settings", "P.VDX", "--port"}, 2, "err", "Vendrix receive-settings: Missing value after '--port'."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const Ran r = run(c.args);
        EXPECT_EQ(r.code, c.code);
        const QString &text = QLatin1String(c.stream) == QLatin1String("out") ? r.out : r.err;
        const QString &other = QLatin1String(c.stream) == QLatin1String("out") ? r.err : r.out;
        EXPECT_TRUE(text.startsWith(QString::fromUtf8(c.text))) << text.toStdString();
        EXPECT_EQ(other, QString());
    }
    EXPECT_EQ(written(), QStringList());
}

namespace {

// What the bash completion offers for the words typed so far (the last
// one being completed), run in folder.
QStringList completions(const QStringList &typed, const QString &folder)
{
    const QString script = QStringLiteral(VX_BASH_COMPLETION);
    QProcess p;
    p.setWorkingDirectory(folder);
    p.start(QStringLiteral("bash"),
            QStringList{QStringLiteral("-c"),
                        QStringLiteral("source \"$1\" || exit 9; shift; COMP_WORDS=(\"$@\"); "
                                       "COMP_CWORD=$(($# - 1)); _vendrix; printf '%s\\n' \"${COMPREPLY[@]}\""),
                        QStringLiteral("bash"), script, QStringLiteral("vendrix")}
                + typed);
    if (!p.waitForFinished(10000) || p.exitCode() != 0)
        return {QStringLiteral("<failed: %1>").arg(QString::fromLocal8Bit(p.readAllStandardError()))};
    QStringList words = QString::fromLocal8Bit(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    words.sort();
    return words;
}

} // namespace

TEST_F(CommandLineTest, BashCompletionKnowsEveryCommandAndOption)
{
    const CommandLine line = ProgramCommandLine(QStringLiteral("Vendrix"));
    QList<Command> all = line.commands();
    all.prepend(line.root());
    for (const Command &c : all) {
        SCOPED_TRACE(c.words.toStdString());
        const QStringList words = wordsOf(c);
        // Each word of the command completes from its first letter.
        for (int i = 0; i < words.size(); ++i)
            EXPECT_TRUE(completions(words.mid(0, i) + QStringList{words[i].left(1)}, dir.path()).contains(words[i]));
        // Every long option, and --help.
        const QStringList offered = completions(words + QStringList{QStringLiteral("--")}, dir.path());
        EXPECT_TRUE(offered.contains(QStringLiteral("--help"))) << offered.join(' ').toStdString();
        for (const QCommandLineOption &o : c.options) {
            for (const QString &name : o.names()) {
                if (name.size() > 1) {
                    EXPECT_TRUE(offered.contains(QStringLiteral("--") + name)) << name.toStdString();
                }
            }
        }
    }

    test::writeFile(dir.path() + QStringLiteral("/shop.VDX"), "FLAG=17\r\n");
    EXPECT_EQ(completions({"send-settings", "shop.VDX", "--port", ""}, dir.path()),
              QStringList({"Com1", "Com2", "Com3", "Com4", "Com5", "Com6", "Com7", "Com8", "Com9"}));
    EXPECT_EQ(completions({"receive-settings", "--speed", "1"}, dir.path()), QStringList({"115200", "19200"}));
    EXPECT_EQ(completions({"profile", "check", "sh"}, dir.path()), QStringList({"shop.VDX"}));
    EXPECT_EQ(completions({"help", "profile", "ex"}, dir.path()), QStringList({"export-c"}));
}
