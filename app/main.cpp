#include "app/Commands.h"
#include "profiles/ProfileCli.h"
#include "transfer/SettingsCommands.h"

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>
#include <cstring>

namespace {

const char *const kUsage =
    "Usage:\n"
    "  Vendrix                 start the collector (windows; headless when no display)\n"
    "  Vendrix --headless      start the collector without windows (a service)\n"
    "  Vendrix profile new FILE.VDX\n"
    "  Vendrix profile check FILE.VDX\n"
    "  Vendrix profile export-c FILE.VDX OUT.c\n"
    "  Vendrix send-settings FILE.VDX --port ComN --speed S [--ir]\n"
    "  Vendrix receive-settings FILE.VDX --port ComN --speed S [--ir]\n"
    "  Vendrix --help | --version\n"
    "\n"
    "Folders: VENDRIX_HOME holds the settings and data when set; otherwise\n"
    "~/.config/Vendrix and ~/.local/share/Vendrix. ComN names the device in\n"
    "VENDRIX_COM<N>, else the ComN= line of ports.ini, else /dev/ttyS<N-1>.\n";

bool hasDisplay()
{
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform)
        return true;
    const char *display = std::getenv("DISPLAY");
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    return (display && *display) || (wayland && *wayland);
}

// Runs a command that needs no display on a core application.
template <typename Fn>
int runPlain(int argc, char **argv, int skip, Fn fn)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    args.erase(args.begin(), args.begin() + qMin(skip, int(args.size())));
    return fn(args);
}

} // namespace

int main(int argc, char **argv)
{
    const char *first = argc > 1 ? argv[1] : "";
    if (std::strcmp(first, "--help") == 0 || std::strcmp(first, "-h") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (std::strcmp(first, "--version") == 0) {
        std::printf("Vendrix %s\n", VENDRIX_VERSION);
        return 0;
    }
    if (std::strcmp(first, "profile") == 0)
        return runPlain(argc, argv, 2, vx::RunProfileCommand);
    if (std::strcmp(first, "send-settings") == 0)
        return runPlain(argc, argv, 2, vx::RunSendSettings);
    if (std::strcmp(first, "receive-settings") == 0)
        return runPlain(argc, argv, 2, vx::RunReceiveSettings);

    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) {
            headless = true;
        } else {
            std::fprintf(stderr, "Vendrix: unknown argument '%s'\n\n%s", argv[i], kUsage);
            return 2;
        }
    }
    if (!headless && !hasDisplay())
        headless = true;
    return vx::RunCollector(argc, argv, headless);
}
