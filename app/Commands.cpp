// The command table: the collector (no command word) and every sub-command.
#include "app/Commands.h"

#include "collector/ConfigCheck.h"
#include "profiles/ProfileCli.h"
#include "transfer/SettingsCommands.h"
#include "ui/StandaloneWindows.h"

#include <QApplication>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>

namespace vx {

namespace {

bool hasDisplay()
{
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform)
        return true;
    const char *display = std::getenv("DISPLAY");
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    return (display && *display) || (wayland && *wayland);
}

Command collectorCommand()
{
    Command root;
    root.summary = QStringLiteral("start the collector");
    root.description = QStringLiteral(
        "Starts the collector: the collector window where a display exists, otherwise (or with --headless) "
        "without windows, logging to LOG.txt and standard output. SIGTERM or SIGINT stop it, SIGHUP reloads "
        "the settings and reopens the channels.");
    root.options = {QCommandLineOption(QStringLiteral("headless"),
                                       QStringLiteral("Run the collector without windows (as a service)."))};
    root.app = Command::App::Own;
    root.run = [](CommandCall &call) {
        const bool headless = call.isSet(QStringLiteral("headless")) || !hasDisplay();
        return RunCollector(call.argc(), call.argv(), headless);
    };
    return root;
}

// A window on its own: a QApplication of its own, and a display.
int runWindow(CommandCall &call, const std::function<int()> &window)
{
    if (!hasDisplay()) {
        std::fprintf(
            stderr,
            "vendrix %s: cannot open its window: there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set); "
            "run it in a desktop session\n",
            call.command().words.toLocal8Bit().constData());
        return kExitFailed;
    }
    QApplication app(call.argc(), call.argv());
    return window();
}

QList<Command> windowCommands()
{
    Command edit;
    edit.words = QStringLiteral("profile edit");
    edit.summary = QStringLiteral("open the profile editor on its own");
    edit.description = QStringLiteral(
        "Opens the profile editor alone, without collecting and without the collector's lock, so it runs beside "
        "a collector service. FILE.VDX is opened when it exists; otherwise the editor starts a new profile that "
        "Save (Ctrl+S) writes there.");
    edit.arguments = {{QStringLiteral("[FILE.VDX]"), QStringLiteral("the profile to edit")}};
    edit.app = Command::App::Own;
    edit.run = [](CommandCall &call) {
        const QString file = call.argument(0);
        return runWindow(call, [file] { return RunProfileEditorAlone(file); });
    };

    Command options;
    options.words = QStringLiteral("options");
    options.summary = QStringLiteral("open the options dialog on its own");
    options.description = QStringLiteral(
        "Opens the options dialog alone on Vendrix.ini, without collecting and without the collector's lock. "
        "After OK, a collector running on the same data folder is told to read the settings again (SIGHUP).");
    options.app = Command::App::Own;
    options.run = [](CommandCall &call) { return runWindow(call, [] { return RunOptionsAlone(); }); };
    return {edit, options};
}

const char *const kVersionText = "Vendrix " VENDRIX_VERSION
                                 "\n"
                                 "License GPL-3.0-or-later: GNU GPL version 3 or later "
                                 "<https://www.gnu.org/licenses/gpl-3.0.html>.\n"
                                 "This is free software: you are free to change and redistribute it.\n"
                                 "There is NO WARRANTY, to the extent permitted by law.\n";

const char *const kFooter =
    "Exit codes: 0 done, 1 what was asked failed, 2 a wrong command line,\n"
    "3 another collector runs on this data folder.\n"
    "\n"
    "Folders: VENDRIX_HOME holds the settings and data when set; otherwise\n"
    "~/.config/Vendrix and ~/.local/share/Vendrix. ComN names the device in\n"
    "VENDRIX_COM<N>, else the ComN= line of ports.ini, else /dev/ttyS<N-1>.\n";

} // namespace

CommandLine ProgramCommandLine(const QString &program)
{
    // Adding a sub-command: append its Command here.
    QList<Command> table;
    table << ProfileCommands();
    table << SettingsTransferCommands();
    table << windowCommands();
    table << SettingsCheckCommands();
    return CommandLine(program, collectorCommand(), table, QString::fromUtf8(kVersionText), QString::fromUtf8(kFooter));
}

int RunCommandLine(int &argc, char **argv)
{
    const QString program = argc > 0 ? QFileInfo(QString::fromLocal8Bit(argv[0])).fileName() : QString();
    return ProgramCommandLine(program.isEmpty() ? QStringLiteral("vendrix") : program).exec(argc, argv);
}

} // namespace vx
