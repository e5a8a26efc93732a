// The command table: the collector (no command word) and every sub-command.
#include "app/Commands.h"

#include "profiles/ProfileCli.h"
#include "transfer/SettingsCommands.h"

#include <QFileInfo>
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
    return CommandLine(program, collectorCommand(), table, QString::fromUtf8(kVersionText), QString::fromUtf8(kFooter));
}

int RunCommandLine(int &argc, char **argv)
{
    const QString program = argc > 0 ? QFileInfo(QString::fromLocal8Bit(argv[0])).fileName() : QString();
    return ProgramCommandLine(program.isEmpty() ? QStringLiteral("vendrix") : program).exec(argc, argv);
}

} // namespace vx
