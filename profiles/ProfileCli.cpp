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

// Reads the file as Open does (New, then the file) through the one checked
// reading every use shares; reports a refusal and returns false. *content
// gets the file's bytes.
bool load(const QString &path, ProfileSet &set, ProfileReadResult &result, QByteArray *content)
{
    set.SetDefault();
    if (ReadProfileBytes(path, content, &result))
        result = ParseProfileText(*content, set);
    switch (result.status) {
    case ProfileReadResult::Status::Ok:
        return true;
    case ProfileReadResult::Status::CannotOpen:
    case ProfileReadResult::Status::NotProfile:
        err(result.message(path));
        return false;
    case ProfileReadResult::Status::Empty:
    case ProfileReadResult::Status::BadValue:
        break;
    }
    err(QStringLiteral("%1:%2: %3").arg(path).arg(result.lineNumber).arg(ProfileReadErrorText()));
    err(QStringLiteral("  ") + result.message(path));
    return false;
}

int runNew(const QString &path)
{
    ProfileSet set; // New, terminal family "8000"
    QString why;
    if (!WriteProfileFile(set, path, &why)) {
        err(QStringLiteral("%1: cannot write: %2").arg(path, why));
        return kExitFailed;
    }
    out(QStringLiteral("%1: new profile written (%2 lines)").arg(path).arg(ProfileLines(set).size()));
    return kExitOk;
}

int runCheck(const QString &path)
{
    ProfileSet set;
    ProfileReadResult result;
    QByteArray content;
    if (!load(path, set, result, &content))
        return kExitFailed;
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
        summary += result.linesSkipped == 1 ? QStringLiteral(", 1 line not recognized")
                                            : QStringLiteral(", %1 lines not recognized").arg(result.linesSkipped);
    if (result.linesWithoutEquals > 0)
        summary += QStringLiteral(", %1 without \"=\" skipped")
                       .arg(result.linesWithoutEquals == 1 ? QStringLiteral("1 line")
                                                           : QStringLiteral("%1 lines").arg(result.linesWithoutEquals));
    if (!result.endsWithFlag)
        summary += QStringLiteral(", no closing FLAG=17");
    // A value with a comma reads back whole but cannot be sent.
    const QList<QByteArray> commas = KeysWithComma(content);
    if (!commas.isEmpty()) {
        err(QStringLiteral("%1: %2 The profile cannot be sent.").arg(path, CommaRefusalText(commas)));
        return kExitFailed;
    }
    out(summary);
    return kExitOk;
}

int runExport(const QString &path, const QString &target)
{
    ProfileSet set;
    ProfileReadResult result;
    QByteArray content;
    if (!load(path, set, result, &content))
        return kExitFailed;
    QString why;
    if (!SettingsSourceExport(set, target, QDateTime::currentDateTime(), &why)) {
        err(QStringLiteral("%1: cannot write the C source: %2").arg(target, why));
        return kExitFailed;
    }
    out(QStringLiteral("%1: C source with %2 settings written").arg(target).arg(ProfileLines(set).size()));
    return kExitOk;
}

} // namespace

QList<Command> ProfileCommands()
{
    const std::pair<QString, QString> profile{QStringLiteral("FILE.VDX"), QStringLiteral("the profile file")};
    Command made;
    made.words = QStringLiteral("profile new");
    made.summary = QStringLiteral("write a new default profile");
    made.description = QStringLiteral("Writes the profile of a new editor session (terminal family 8000) to FILE.VDX.");
    made.arguments = {profile};
    made.run = [](CommandCall &call) { return runNew(call.argument(0)); };

    Command check;
    check.words = QStringLiteral("profile check");
    check.summary = QStringLiteral("read a profile and report what is wrong");
    check.description = QStringLiteral(
        "Reads FILE.VDX as the profile editor opens it and prints a summary; a line the reader refuses, "
        "or a value that holds a comma, is reported with its line and the exit code is 1.");
    check.arguments = {profile};
    check.run = [](CommandCall &call) { return runCheck(call.argument(0)); };

    Command exportC;
    exportC.words = QStringLiteral("profile export-c");
    exportC.summary = QStringLiteral("write the profile as C default settings");
    exportC.description = QStringLiteral(
        "Reads FILE.VDX and writes OUT.c: the array defaultSettings[] with one string per profile line "
        "and TotalSettings().");
    exportC.arguments = {profile, {QStringLiteral("OUT.c"), QStringLiteral("the C source to write")}};
    exportC.run = [](CommandCall &call) { return runExport(call.argument(0), call.argument(1)); };
    return {made, check, exportC};
}

} // namespace vx
