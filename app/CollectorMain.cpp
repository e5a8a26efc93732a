#include "app/CollectorMain.h"

#include "app/Commands.h"
#include "app/ServiceStatus.h"
#include "collector/RegistryExchange.h"
#include "platform/Clock.h"
#include "platform/FileLock.h"
#include "platform/JournalStream.h"
#include "platform/OwnFiles.h"
#include "platform/Paths.h"
#include "platform/PollDispatcher.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vx {

namespace {

int g_signalPipe[2] = {-1, -1};
// Set by SIGTERM/SIGINT; start-up checks it, since quitting before the main
// event loop runs would otherwise be forgotten.
bool g_quitRequested = false;
Collector *g_collector = nullptr;

// The collector runs (its start-up is over): a reload may happen now.
bool g_running = false;
bool g_reloading = false;
bool g_reloadPending = false;
IniStore *g_store = nullptr;
// Tells systemd about the headless collector (nothing when not under systemd).
ServiceStatus *g_service = nullptr;

constexpr char kQuitByte = 1;
constexpr char kReloadByte = 2;

void onSignal(int signal)
{
    // The pipe does not block: with it full (signals coming faster than the
    // event loop reads them), a quit or reload is pending already and the
    // byte is dropped. errno is the interrupted code's, kept as it was.
    const int saved = errno;
    const char byte = signal == SIGHUP ? kReloadByte : kQuitByte;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

// The message for a settings file that is not used, empty when it is.
QString settingsProblem(const IniStore &store)
{
    const QString problem = store.problem();
    if (problem.isEmpty())
        return {};
    return problem
           + QStringLiteral(
               ". Vendrix runs on its default settings and leaves the file untouched; "
               "changes are not saved until the file is repaired or removed.");
}

// SIGHUP: Vendrix.ini is read again and the channels reopen with it. It
// waits while the collector starts or waits inside a channel operation
// (a connection, a modem command, a message box), and runs once after.
void reloadWhenIdle()
{
    if (!g_collector || g_quitRequested)
        return;
    if (!g_running || g_reloading || QThread::currentThread()->loopLevel() > 1) {
        if (!g_reloadPending && g_running)
            QTimer::singleShot(200, QCoreApplication::instance(), [] {
                g_reloadPending = false;
                reloadWhenIdle();
            });
        g_reloadPending = true;
        return;
    }
    g_reloading = true;
    g_reloadPending = false;
    Collector &c = *g_collector;
    if (g_service)
        g_service->reloading();
    c.PLog(QStringLiteral("SIGHUP: reading %1 again and reopening the channels").arg(g_store->path()), 0);
    const QString problem = g_store->problem();
    if (!problem.isEmpty())
        c.PLog(problem + QStringLiteral(". The settings stay as they were and the file is left untouched."), 0);
    c.ReloadSettings();
    c.PLog(QStringLiteral("Settings reloaded"), 0);
    c.PLog(c.ReadyText(), 0);
    if (g_service)
        g_service->ready();
    g_reloading = false;
}

// SIGTERM and SIGINT end the event loop cleanly; SIGHUP reloads.
// The application is named as QCoreApplication::instance(): the headless run
// has no QApplication, which qApp (with QApplication included) would cast to.
void installQuitSignals()
{
    if (::pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, QCoreApplication::instance(), [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(g_signalPipe[0], &byte, 1);
        if (byte == kReloadByte) {
            reloadWhenIdle();
            return;
        }
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
    sigaction(SIGHUP, &sa, nullptr);
}

// One collector per data folder: two would write the same targets and
// serve the same data-exchange requests twice. The lock is the kernel's
// (flock), so it goes with the process however that ends.
bool takeInstanceLock(bool headless)
{
    const QString path = Paths::dataFile(QStringLiteral("Vendrix.lock"));
    const FileLock::InstanceResult lock = FileLock::AcquireInstance(path);
    if (lock.held)
        return true;
    QString text;
    if (lock.error.isEmpty()) {
        const QString pid = lock.otherPid > 0 ? QStringLiteral(" (PID %1)").arg(lock.otherPid) : QString();
        text = QStringLiteral(
                   "Another Vendrix collector%1 is running on the data folder %2; this one ends. Use the one "
                   "that runs, or stop it first.")
                   .arg(pid, Paths::dataDir());
    } else {
        text = QStringLiteral(
                   "Vendrix cannot use its lock file (%1), so it cannot make sure it runs alone on its "
                   "data folder; it ends. Make the data folder writable for this user, or remove what "
                   "stands in the lock file's place.")
                   .arg(lock.error);
    }
    std::fprintf(stderr, "Vendrix: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
    if (!headless)
        QMessageBox::critical(nullptr, QStringLiteral("Vendrix"), text);
    return false;
}

int runHeadless(CollectorApp &app, HeadlessMessenger &messenger)
{
    Collector &c = *app.collector;
    // Standard output gets every log line, written out together with
    // LOG.txt: a busy collector writes many lines at once, not one per
    // record (the records are in their targets before their answers either
    // way; the log is not the data).
    //
    // Under systemd, with standard output going to the journal, each line
    // leaves at once (the journal stamps a line with the time it arrives;
    // the program adds no time stamps of its own anywhere) and starts with
    // its priority, so the program's warnings and errors can be picked out.
    const bool journal = Journal::StdoutIsJournal();
    const bool flushEachLine = QAbstractEventDispatcher::instance() == nullptr || journal;
    Collector::Hooks hooks;
    // Lines that leave together with the next write of LOG.txt, gathered
    // here and handed to standard output in one piece.
    static QByteArray pending;
    const auto writePending = [] {
        // One write for the whole piece: through stdio's buffer a piece of
        // 64 KiB would leave in four or five.
        std::fflush(stdout);
        // Standard output gone: the log still has every line.
        WriteAll(STDOUT_FILENO, pending);
        pending.resize(0); // keeps its room
    };
    if (!flushEachLine) {
        hooks.logLine = [](int index, QByteArrayView text) {
            // "[n] message" and LF.
            const qsizetype at = pending.size();
            pending.resize(at + 4 + text.size() + 1);
            char *p = pending.data() + at;
            const char tag[4] = {'[', char('0' + index), ']', ' '};
            std::memcpy(p, tag, sizeof tag);
            std::memcpy(p + sizeof tag, text.data(), size_t(text.size()));
            p[sizeof tag + size_t(text.size())] = '\n';
        };
        // The usual form of LOG.txt: all its new entries at once, in one
        // write.
        hooks.logEntries = [](QByteArrayView lines) {
            std::fflush(stdout);
            WriteAll(STDOUT_FILENO, lines);
        };
        hooks.logWritten = writePending;
    } else {
        hooks.logLine = [journal](int index, QByteArrayView text) {
            // "[n] message": written in pieces, which is cheaper than formatting.
            const char tag[4] = {'[', char('0' + index), ']', ' '};
            // Only this thread writes standard output.
            if (journal) {
                // The entry's own level, else the kind its text names.
                const Collector::LogLevel level = g_collector ? g_collector->entryLevel() : Collector::LogLevel::Info;
                fputs_unlocked(level == Collector::LogLevel::Error     ? "<3>"
                               : level == Collector::LogLevel::Warning ? "<4>"
                                                                       : Journal::PriorityPrefix(text),
                               stdout);
            }
            fwrite_unlocked(tag, 1, sizeof tag, stdout);
            fwrite_unlocked(text.data(), 1, size_t(text.size()), stdout);
            putc_unlocked('\n', stdout);
            std::fflush(stdout);
        };
    }
    hooks.terminate = [&app, writePending](int code) {
        app.exitCode = code;
        QCoreApplication::exit(code);
        writePending();
        std::_Exit(code);
    };
    c.setHooks(hooks);
    // Nothing shows the windows' panes of the latest entries.
    c.setKeepLogPanes(false);
    // Every log entry reaches standard output now, a message box's text
    // included: standard error, which a service's journal reads too, does
    // not get it a second time.
    messenger.setStandardError(false);
    c.PLog(QStringLiteral("Vendrix %1 collector started without windows; data folder %2")
               .arg(QStringLiteral(VENDRIX_VERSION), Paths::dataDir()),
           0);
    g_collector = &c;
    ServiceStatus service(c);
    g_service = &service;
    c.setOpenInBackground(true);
    const QString problem = settingsProblem(app.store);
    if (!problem.isEmpty())
        app.messenger.message(problem, MsgIcon::Exclamation, MsgButtons::Ok, QStringLiteral("Vendrix"));
    c.Startup();
    if (g_quitRequested) {
        c.PLog(QStringLiteral("Collector stopped during start-up"), 0);
        service.stopping();
        g_service = nullptr;
        g_collector = nullptr;
        return app.exitCode;
    }
    c.startTimer();
    c.PLog(c.ReadyText(), 0);
    // Every channel is open or its attempts run in the background.
    service.ready();
    CollectorRunning();
    const int rc = QCoreApplication::exec();
    service.stopping();
    g_service = nullptr;
    g_running = false;
    g_collector = nullptr;
    c.stopTimer();
    c.PLog(QStringLiteral("Collector stopped"), 0);
    return rc == 0 ? app.exitCode : rc;
}

} // namespace

CollectorApp::CollectorApp()
    : store(Paths::settingsFile()), settings(Settings::defaults()), transports(makeQtTransportFactory())
{
    collector = std::make_unique<Collector>(settings, store, messenger, Clock::current(), *transports);
}

CollectorApp::~CollectorApp() = default;

int RunCollector(int &argc, char **argv, bool headless)
{
    std::unique_ptr<QCoreApplication> qapp;
    if (headless) {
        // Without windows the event loop serves only sockets, ports, timers
        // and posted events; a dispatcher that does only that turns once per
        // record with less work than Qt's general one.
        QCoreApplication::setEventDispatcher(new PollDispatcher);
        qapp = std::make_unique<QCoreApplication>(argc, argv);
    } else {
        qapp = std::make_unique<QApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("Vendrix"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VENDRIX_VERSION));
    installQuitSignals();
    if (!takeInstanceLock(headless))
        return kExitAnotherCollector;

    // Messages go to the log and standard error until a window takes over.
    HeadlessMessenger messenger;
    Messenger::setCurrent(&messenger);
    CollectorApp app;
    messenger.setLogSink([&app](const QString &line) {
        // A box that says what its channel's log just said ("[warning] "
        // and the same text) is not logged twice.
        const QString &reported = app.collector->lastReported();
        if (!reported.isEmpty() && line.endsWith(QStringLiteral("] ") + reported))
            return;
        app.collector->PLog(line, 0);
    });
    RegistryExchange::SetLog([&app](const QString &line) { app.collector->PLog(line, 0); });
    g_collector = app.collector.get();
    g_store = &app.store;

    int rc = -1;
    if (!headless)
        rc = RunCollectorWindow(app);
    if (rc < 0)
        rc = runHeadless(app, messenger);
    g_running = false;
    g_collector = nullptr;
    g_store = nullptr;
    RegistryExchange::SetLog({});
    Messenger::setCurrent(nullptr);
    return rc;
}

void CollectorRunning()
{
    g_running = true;
    if (g_reloadPending)
        reloadWhenIdle();
}

QString SettingsFileProblem(const IniStore &store)
{
    return settingsProblem(store);
}

} // namespace vx
