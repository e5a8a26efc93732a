// "Vendrix profile new|check|export-c ...": profile files for installers,
// without a display.
#include "profiles/ProfileCli.h"
#include "profiles/ProfileFile.h"
#include "profiles/ProfileRules.h"

#include <QFile>
#include <QFileInfo>
#include <cstdio>

namespace vx {

namespace {

void out(const QString &line)
{
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

void err(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

int usage()
{
    err(
        QStringLiteral("Usage:\n"
                       "  Vendrix profile new FILE.VDX          write a new default profile\n"
                       "  Vendrix profile check FILE.VDX        read a profile and report what is wrong\n"
                       "  Vendrix profile export-c FILE.VDX OUT.c   write the profile as C default settings"));
    return 2;
}

// Reads the file as Open does (New, then the file); reports a failure and
// returns false.
bool load(const QString &path, ProfileSet &set, ProfileReadResult &result)
{
    set.SetDefault();
    result = ReadProfile(path, set);
    switch (result.status) {
    case ProfileReadResult::Status::Ok:
        return true;
    case ProfileReadResult::Status::CannotOpen:
        err(QStringLiteral("%1: cannot open: %2").arg(path, result.detail));
        return false;
    case ProfileReadResult::Status::Empty:
    case ProfileReadResult::Status::BadValue:
        break;
    }
    err(QStringLiteral("%1:%2: %3").arg(path).arg(result.lineNumber).arg(ProfileReadErrorText()));
    err(QStringLiteral("  %1").arg(result.detail));
    if (!result.line.isEmpty())
        err(QStringLiteral("  line %1: %2").arg(result.lineNumber).arg(QString::fromLatin1(result.line)));
    return false;
}

int runNew(const QString &path)
{
    ProfileSet set; // New, terminal family "8000"
    QString why;
    if (!WriteProfileFile(set, path, &why)) {
        err(QStringLiteral("%1: cannot write: %2").arg(path, why));
        return 1;
    }
    out(QStringLiteral("%1: new profile written (%2 lines)").arg(path).arg(ProfileLines(set).size()));
    return 0;
}

int runCheck(const QString &path)
{
    ProfileSet set;
    ProfileReadResult result;
    if (!load(path, set, result))
        return 1;
    int functions = 0;
    int fields = 0;
    for (const ProfileFunction &f : set.Functions) {
        functions += f.Enabled != 0;
        for (const ProfileField &d : f.Fields)
            fields += f.Enabled != 0 && d.Enabled != 0;
    }
    QString summary = QStringLiteral(
                          "%1: OK, %2 lines, terminal family %3, %4 of 5 functions enabled, "
                          "%5 fields enabled in them")
                          .arg(path)
                          .arg(result.linesRead)
                          .arg(set.TerminalFamily)
                          .arg(functions)
                          .arg(fields);
    if (result.linesSkipped > 0)
        summary += result.linesSkipped == 1 ? QStringLiteral(", 1 line not recognised")
                                            : QStringLiteral(", %1 lines not recognised").arg(result.linesSkipped);
    if (!result.endsWithFlag)
        summary += QStringLiteral(", no closing FLAG=17");
    // A value with a comma reads back whole but cannot be sent.
    QFile file(path);
    const QList<QByteArray> commas =
        file.open(QIODevice::ReadOnly) ? KeysWithComma(file.readAll()) : QList<QByteArray>();
    if (!commas.isEmpty()) {
        err(QStringLiteral("%1: %2 The profile cannot be sent.").arg(path, CommaRefusalText(commas)));
        return 1;
    }
    out(summary);
    return 0;
}

int runExport(const QString &path, const QString &target)
{
    ProfileSet set;
    ProfileReadResult result;
    if (!load(path, set, result))
        return 1;
    QString why;
    if (!SettingsSourceExport(set, target, QDateTime::currentDateTime(), &why)) {
        err(QStringLiteral("%1: cannot write the C source: %2").arg(target, why));
        return 1;
    }
    out(QStringLiteral("%1: C source with %2 settings written").arg(target).arg(ProfileLines(set).size()));
    return 0;
}

} // namespace

int RunProfileCommand(const QStringList &args)
{
    const QString command = args.value(0);
    if (command == QLatin1String("new") && args.size() == 2)
        return runNew(args[1]);
    if (command == QLatin1String("check") && args.size() == 2)
        return runCheck(args[1]);
    if (command == QLatin1String("export-c") && args.size() == 3)
        return runExport(args[1], args[2]);
    return usage();
}

} // namespace vx
