// The collector with its window.
#include "app/CollectorMain.h"
#include "ui/QtMessenger.h"
#include "ui/collector/frmMain.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace vx {

namespace {

int g_quitPipe[2] = {-1, -1};

void onQuitSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_quitPipe[1], &byte, 1);
}

// While the window runs, SIGTERM and SIGINT act like File, Exit, also during
// the start-up and inside a wait window or a message box.
class QuitSignals {
public:
    explicit QuitSignals(frmMain &window)
    {
        if (::pipe(g_quitPipe) != 0)
            return;
        m_notifier = new QSocketNotifier(g_quitPipe[0], QSocketNotifier::Read, &window);
        QObject::connect(m_notifier, &QSocketNotifier::activated, &window, [&window] {
            char byte;
            [[maybe_unused]] const ssize_t got = ::read(g_quitPipe[0], &byte, 1);
            window.Unload();
        });
        struct sigaction sa {};
        sa.sa_handler = onQuitSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &sa, &m_oldTerm);
        sigaction(SIGINT, &sa, &m_oldInt);
        m_installed = true;
    }
    ~QuitSignals()
    {
        if (!m_installed)
            return;
        sigaction(SIGTERM, &m_oldTerm, nullptr);
        sigaction(SIGINT, &m_oldInt, nullptr);
        delete m_notifier;
        ::close(g_quitPipe[0]);
        ::close(g_quitPipe[1]);
        g_quitPipe[0] = g_quitPipe[1] = -1;
    }

private:
    QSocketNotifier *m_notifier = nullptr;
    struct sigaction m_oldTerm {};
    struct sigaction m_oldInt {};
    bool m_installed = false;
};

} // namespace

int RunCollectorWindow(CollectorApp &app)
{
    // The window decides when the program ends: a hidden window (the tray
    // icon) or a closed wait window must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    Collector &c = *app.collector;
    frmMain window(c, app.store, app.settings, app.messenger);

    // Ending the program leaves the main event loop when nothing else runs;
    // from the start-up or from inside a nested loop (a wait window, a
    // message box, a channel being opened) the process ends at once, as
    // the code around those loops must not go on.
    bool inMainLoop = false;
    window.EndProgram = [&inMainLoop](int code) {
        std::fflush(stdout);
        std::fflush(stderr);
        if (inMainLoop && QThread::currentThread()->loopLevel() <= 1) {
            QCoreApplication::exit(code);
            return;
        }
        std::_Exit(code);
    };

    Messenger &previous = Messenger::current();
    QtMessenger messenger(&window);
    Messenger::setCurrent(&messenger);
    QuitSignals quitSignals(window);

    Collector::Hooks hooks;
    hooks.openChannelWait = [&window](int n) { window.OpenChannelWait(n); };
    // A channel that cannot be opened offers the options dialog; the
    // collector reopens the channel after it.
    hooks.showOptions = [&window] { window.ShowOptions(); };
    hooks.terminate = [&app, &window](int code) {
        app.exitCode = code;
        if (window.trayIcon)
            window.trayIcon->hide();
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(code);
    };
    c.setHooks(hooks);
    // A TCP terminal that is switched off holds up neither the start nor
    // the other channels: its attempts run in the background, and their
    // failures go to the channel's log pane, not to a box per attempt.
    c.setOpenInBackground(true);

    const QString problem = SettingsFileProblem(app.store);
    if (!problem.isEmpty())
        messenger.message(problem, MsgIcon::Exclamation, MsgButtons::Ok, QStringLiteral("Vendrix"));
    window.Startup();
    c.startTimer();
    c.PLog(c.ReadyText(), 0);
    CollectorRunning();
    inMainLoop = true;
    const int rc = QApplication::exec();
    inMainLoop = false;
    c.stopTimer();
    c.setHooks(Collector::Hooks{});
    Messenger::setCurrent(&previous);
    return rc == 0 ? app.exitCode : rc;
}

} // namespace vx
