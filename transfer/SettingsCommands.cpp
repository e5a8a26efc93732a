// The command line of the settings transfer:
//   Vendrix send-settings FILE.VDX --port ComN --speed S [--ir]
//   Vendrix receive-settings FILE.VDX --port ComN --speed S [--ir]
// No display is needed. Progress and the outcome go to the terminal; the
// exit code is 0 only when the transfer succeeded (2 for a wrong command).
#include "transfer/SettingsCommands.h"

#include "crclib/CrcLibrary.h"
#include "platform/Messenger.h"
#include "platform/Paths.h"
#include "profiles/ProfileSet.h"
#include "transfer/SettingsImport.h"
#include "transfer/SettingsLine.h"
#include "transfer/SettingsLinks.h"
#include "transfer/SettingsReceiver.h"
#include "transfer/SettingsSender.h"
#include "transfer/TransferMessages.h"
#include "transport/IrLib.h"
#include "transport/QtSerialPort.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace vx {

namespace {

void out(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void err(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

// Messages of the import as plain lines: errors to standard error.
class PrintingMessenger : public HeadlessMessenger {
public:
    MsgAnswer message(const QString &text, MsgIcon icon, MsgButtons buttons, const QString &) override
    {
        QString flat = text;
        flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
        if (icon == MsgIcon::Critical || icon == MsgIcon::Exclamation || icon == MsgIcon::Information)
            err(flat);
        else
            out(flat);
        return defaultAnswer(buttons);
    }
};

struct TransferArgs {
    QString file;
    int port = 0;
    QString speed;
    bool infrared = false;
};

// Takes the port and the speed from the parsed command line; false, with
// the usage printed, when one is missing or wrong.
bool transferArgs(const CommandCall &call, TransferArgs *a, int *exitCode)
{
    static const QRegularExpression comPattern(QStringLiteral("^[Cc][Oo][Mm]([1-9])$"));
    static const QRegularExpression speedPattern(QStringLiteral("^[1-9][0-9]{0,8}$"));
    a->file = call.argument(0);
    a->infrared = call.isSet(QStringLiteral("ir"));
    QString why;
    const QString port = call.value(QStringLiteral("port"));
    const QString speed = call.value(QStringLiteral("speed"));
    const auto m = comPattern.match(port);
    if (!call.isSet(QStringLiteral("port")))
        why = QStringLiteral("--port ComN is missing.");
    else if (!m.hasMatch())
        why = QStringLiteral("'%1' is not a port: use Com1 to Com9.").arg(port);
    else if (!call.isSet(QStringLiteral("speed")))
        why = QStringLiteral("--speed S is missing.");
    else if (!speedPattern.match(speed).hasMatch())
        why = QStringLiteral("'%1' is not a speed: use bits per second, such as 38400.").arg(speed);
    if (!why.isEmpty()) {
        *exitCode = call.usageError(why);
        return false;
    }
    a->port = m.captured(1).toInt();
    a->speed = speed;
    return true;
}

// SIGINT and SIGTERM become the Cancel button: the transfer ends the way a
// cancel ends it, the port is closed, and the program still reports.
class InterruptWatcher {
public:
    template <typename Fn>
    explicit InterruptWatcher(Fn onInterrupt)
    {
        if (::pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        m_notifier = new QSocketNotifier(s_pipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier, &QSocketNotifier::activated, m_notifier, [onInterrupt] {
            char c;
            while (::read(s_pipe[0], &c, 1) > 0) {
            }
            onInterrupt();
        });
        struct sigaction sa = {};
        sa.sa_handler = &InterruptWatcher::handler;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGINT, &sa, &m_oldInt);
        ::sigaction(SIGTERM, &sa, &m_oldTerm);
        m_installed = true;
    }
    ~InterruptWatcher()
    {
        if (!m_installed)
            return;
        ::sigaction(SIGINT, &m_oldInt, nullptr);
        ::sigaction(SIGTERM, &m_oldTerm, nullptr);
        delete m_notifier;
        ::close(s_pipe[0]);
        ::close(s_pipe[1]);
    }
    InterruptWatcher(const InterruptWatcher &) = delete;
    InterruptWatcher &operator=(const InterruptWatcher &) = delete;

private:
    static void handler(int)
    {
        const char c = 1;
        [[maybe_unused]] const auto n = ::write(s_pipe[1], &c, 1);
    }
    static inline int s_pipe[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
    struct sigaction m_oldInt = {};
    struct sigaction m_oldTerm = {};
    bool m_installed = false;
};

int runSendSettings(const TransferArgs &a)
{
    QByteArray content;
    if (const ProfileCheck check = CheckProfileForSending(a.file, &content); !check.ok) {
        err(check.refusal);
        return 1;
    }

    QtSerialPort port;
    IrLibDevice infrared;
    std::unique_ptr<SettingsSendLink> link;
    if (a.infrared)
        link = std::make_unique<InfraredSendLink>(&infrared, a.port, SpeedValue(a.speed));
    else
        link = std::make_unique<SerialSendLink>(&port, a.port, a.speed);
    CrcLibrary &crc = CrcLibrary::instance();
    SettingsSender sender(link.get(), crc);

    out(QStringLiteral("Sending %1 over %2.").arg(a.file, link->description()));
    int lines = 0;
    int lastShown = -1;
    QObject::connect(&sender, &SettingsSender::lineSent, [&](const QByteArray &text, int attempt) {
        ++lines;
        if (attempt > 1)
            out(QStringLiteral("Refused, sending again: %1").arg(QString::fromLatin1(text)));
        const int total = sender.itemCount() + 4;
        const int percent = total > 0 ? qMin(100, lines * 100 / total) : 100;
        if (percent / 10 != lastShown / 10) {
            lastShown = percent;
            out(QStringLiteral("%1% (%2 of %3 lines)").arg(percent).arg(lines).arg(total));
        }
    });

    QEventLoop loop;
    QObject::connect(&sender, &SettingsSender::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    InterruptWatcher interrupt([&] {
        out(QStringLiteral("Cancelled."));
        sender.cancel();
    });
    sender.start(a.file);
    if (sender.isRunning())
        loop.exec();
    link->close();

    const SendOutcome outcome = sender.outcome();
    QString text = sender.outcomeText();
    if (outcome == SendOutcome::LinkNotOpened)
        text =
            IrLib::LoadError().isEmpty()
                ? QStringLiteral(
                      "The infrared link on Com%1 (%2) cannot be opened: check that the cradle is "
                      "connected to that port and powered.")
                      .arg(a.port)
                      .arg(Paths::comDevice(a.port))
                : QStringLiteral("The infrared link on Com%1 cannot be opened: %2").arg(a.port).arg(IrLib::LoadError());
    else if (outcome == SendOutcome::Stopped)
        text = QStringLiteral("Cancelled: the CRC line was not sent.");
    else if (outcome == SendOutcome::PortNotOpened && !port.errorString().isEmpty())
        text += QStringLiteral(" (%1)").arg(port.errorString());
    if (outcome == SendOutcome::Success) {
        out(QStringLiteral("CRC %1 agreed by the terminal.").arg(QString::fromLatin1(sender.crcText())));
        out(text);
        return 0;
    }
    err(text);
    return 1;
}

int runReceiveSettings(const TransferArgs &a)
{
    QtSerialPort port;
    IrLibDevice infrared;
    CrcLibrary &crc = CrcLibrary::instance();
    SettingsReceiver receiver(crc);
    PrintingMessenger messenger;
    receiver.setMessenger(&messenger);

    if (a.infrared)
        out(QStringLiteral("Waiting for the terminal's settings on the infrared cradle on Com%1 (%2) at %3.")
                .arg(a.port)
                .arg(Paths::comDevice(a.port), a.speed));
    else
        out(QStringLiteral("Waiting for the terminal's settings on Com%1 (%2) at %3.")
                .arg(a.port)
                .arg(Paths::comDevice(a.port), a.speed));
    QObject::connect(&receiver, &SettingsReceiver::lineReceived, [&](const QByteArray &line) {
        const int n = receiver.linesReceived();
        if (n == 1)
            out(QStringLiteral("Receiving."));
        if (n % 100 == 0)
            out(QStringLiteral("%1 lines received.").arg(n));
        if (line == kEofWord)
            out(QStringLiteral("\"EOF\" after %1 lines.").arg(n));
    });

    QEventLoop loop;
    QObject::connect(&receiver, &SettingsReceiver::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    InterruptWatcher interrupt([&] {
        out(QStringLiteral("Cancelled."));
        receiver.cancel();
    });
    if (a.infrared)
        receiver.startInfrared(&infrared, a.port, SpeedValue(a.speed));
    else
        receiver.startSerial(&port, a.port, a.speed);
    if (receiver.isRunning())
        loop.exec();
    if (port.PortOpen())
        port.setPortOpen(false);

    const ReceiveOutcome outcome = receiver.outcome();
    if (outcome != ReceiveOutcome::Accepted) {
        QString text = receiver.failureText();
        if (outcome == ReceiveOutcome::Cancelled)
            text = QStringLiteral("Cancelled: nothing was imported.");
        else if (outcome == ReceiveOutcome::PortNotOpened && !port.errorString().isEmpty())
            text += QStringLiteral(" (%1)").arg(port.errorString());
        else if (outcome == ReceiveOutcome::CrcMismatch)
            out(QStringLiteral("CRC sent by the terminal: %1, computed: %2.")
                    .arg(QString::fromLatin1(receiver.expectedCrc()), QString::fromLatin1(receiver.computedCrc())));
        err(text);
        return 1;
    }

    out(QStringLiteral("%1 lines received, CRC %2.")
            .arg(receiver.linesReceived())
            .arg(QString::fromLatin1(receiver.computedCrc())));
    // Import into the file named on the command line and read it back with
    // the profile reader, as the editor would; nobody is asked first.
    ProfileSet profile;
    const ImportResult result =
        CompleteSettingsReception(outcome, receiver.tempPath(), a.file, &profile, messenger, false);
    if (result != ImportResult::Imported)
        return 1;
    out(QStringLiteral("Settings Received! Imported into %1.").arg(a.file));
    return 0;
}

} // namespace

QList<Command> SettingsTransferCommands()
{
    const QList<QCommandLineOption> options = {
        QCommandLineOption(QStringLiteral("port"), QStringLiteral("The serial port, Com1 to Com9 (required)."),
                           QStringLiteral("ComN")),
        QCommandLineOption(QStringLiteral("speed"),
                           QStringLiteral("The speed in bits per second: 9600, 19200, 38400, 57600, 115200 "
                                          "(required)."),
                           QStringLiteral("S")),
        QCommandLineOption(QStringLiteral("ir"), QStringLiteral("Go through the infrared cradle library.")),
    };
    auto runWith = [](int (*transfer)(const TransferArgs &)) {
        return [transfer](CommandCall &call) {
            TransferArgs a;
            int code = kExitUsage;
            return transferArgs(call, &a, &code) ? transfer(a) : code;
        };
    };

    Command send;
    send.words = QStringLiteral("send-settings");
    send.summary = QStringLiteral("send a profile to a terminal");
    send.description = QStringLiteral(
        "Sends FILE.VDX to the terminal line by line, with a closing CRC-32 line. Exit code 0 only when "
        "the terminal agreed the CRC. Ctrl-C cancels.");
    send.arguments = {{QStringLiteral("FILE.VDX"), QStringLiteral("the profile to send")}};
    send.options = options;
    send.synopsis = QStringLiteral("FILE.VDX --port ComN --speed S [--ir]");
    send.run = runWith(&runSendSettings);

    Command receive;
    receive.words = QStringLiteral("receive-settings");
    receive.summary = QStringLiteral("receive a terminal's settings into a profile");
    receive.description = QStringLiteral(
        "Waits for the terminal (set it in TX mode), checks its CRC line and writes the settings to "
        "FILE.VDX, which is replaced only by a successful reception. Ctrl-C cancels.");
    receive.arguments = {{QStringLiteral("FILE.VDX"), QStringLiteral("the profile to write")}};
    receive.options = options;
    receive.synopsis = send.synopsis;
    receive.run = runWith(&runReceiveSettings);
    return {send, receive};
}

} // namespace vx
