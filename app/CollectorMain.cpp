#include "CollectorMain.h"

#include "Clock.h"
#include "Commands.h"
#include "Paths.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace vx {

namespace {

int g_signalPipe[2] = {-1, -1};
// Set by SIGTERM/SIGINT; start-up checks it, since quitting before the main
// event loop runs would otherwise be forgotten.
bool g_quitRequested = false;
Collector *g_collector = nullptr;

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT end the event loop cleanly.
void installQuitSignals()
{
    if (::pipe(g_signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char byte;
        [[maybe_unused]] const ssize_t got = ::read(g_signalPipe[0], &byte, 1);
        g_quitRequested = true;
        if (g_collector)
            g_collector->OpeningCancelled = true; // stop opening further channels
        QCoreApplication::quit();
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

int runHeadless(CollectorApp &app)
{
    Collector &c = *app.collector;
    // Standard output gets every log line, written out once the program has
    // handled what is pending and is about to wait for the next event: a
    // record's two lines leave together, and nothing waits longer than that.
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    const bool flushEachLine = dispatcher == nullptr;
    QObject::connect(&c, &Collector::logAppended, &c, [flushEachLine](int index, const QString &message, bool) {
        std::printf("[%d] %s\n", index, message.toLocal8Bit().constData());
        if (flushEachLine)
            std::fflush(stdout);
    });
    if (dispatcher)
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &c, [] { std::fflush(stdout); });
    Collector::Hooks hooks;
    hooks.terminate = [&app](int code) {
        app.exitCode = code;
        QCoreApplication::exit(code);
        std::fflush(stdout);
        std::_Exit(code);
    };
    c.setHooks(hooks);
    c.PLog(QStringLiteral("Vendrix %1 collector started without windows; data folder %2")
               .arg(QStringLiteral(VENDRIX_VERSION), Paths::dataDir()),
           0);
    g_collector = &c;
    c.setOpenInBackground(true);
    c.Startup();
    if (g_quitRequested) {
        c.PLog(QStringLiteral("Collector stopped during start-up"), 0);
        g_collector = nullptr;
        return app.exitCode;
    }
    c.startTimer();
    c.PLog(QStringLiteral("Collector ready"), 0);
    const int rc = QCoreApplication::exec();
    g_collector = nullptr;
    c.stopTimer();
    c.PLog(QStringLiteral("Collector stopped"), 0);
    return rc == 0 ? app.exitCode : rc;
}

} // namespace

CollectorApp::CollectorApp()
    : store(Paths::settingsFile()), settings(Settings::defaults()), transports(makeQtTransportFactory())
{
    collector = std::make_unique<Collector>(settings, store, messenger, Clock::current(),
                                            *transports);
}

CollectorApp::~CollectorApp() = default;

int RunCollector(int &argc, char **argv, bool headless)
{
    std::unique_ptr<QCoreApplication> qapp;
    if (headless)
        qapp = std::make_unique<QCoreApplication>(argc, argv);
    else
        qapp = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Vendrix"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VENDRIX_VERSION));
    installQuitSignals();

    // Messages go to the log and standard error until a window takes over.
    HeadlessMessenger messenger;
    Messenger::setCurrent(&messenger);
    CollectorApp app;
    messenger.setLogSink([&app](const QString &line) { app.collector->PLog(line, 0); });

    int rc = -1;
    if (!headless)
        rc = RunCollectorWindow(app);
    if (rc < 0)
        rc = runHeadless(app);
    Messenger::setCurrent(nullptr);
    return rc;
}

} // namespace vx
