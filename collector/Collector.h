#pragma once

#include "collector/ChannelProtocol.h"
#include "collector/ChannelState.h"
#include "settings/Settings.h"
#include "store/RecordStore.h"
#include "transport/TransportFactory.h"

#include <QByteArray>
#include <QMetaMethod>
#include <QObject>
#include <QString>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>

namespace vx {

class Clock;
class ErpArticleExport;
class ErpWriter;
class IniStore;
class LookupFile;
class Messenger;
class SerialPort;
class Socket;

// Line settings of a serial channel: "19200,E,7,2". "Pari" is even parity
// (E), "Dispari" odd (O).
QString ParityLetter(const QString &parity);
QString LineSettingsText(const ChannelSettings &channel);
// "None" 0, "Xon/Xoff" 1, "RTS/CTS" 2, anything else 0.
int HandshakingOf(const QString &flowControl);

// The collector: four channels, their transports, the reception protocol,
// the step timer with its time-outs, the data exchange and the collector-
// driven file exchange. No widgets: the window shows the state panels and
// log panes through the signals, and offers its dialogs through the hooks.
class Collector : public QObject, public ExchangeFiles {
    Q_OBJECT
public:
    static constexpr int kChannels = 4;
    // A line longer than this is dropped up to its CR and answered as a
    // rejected record; memory stays bounded whatever a peer sends.
    static constexpr int kMaxLine = ChannelProtocol::kMaxLine;

    struct Hooks {
        // Opens channel n (the window shows its wait window around SetComm;
        // headless calls SetComm directly).
        std::function<void(int n)> openChannelWait;
        // Shows the options dialog modally (after a failed opening).
        std::function<void()> showOptions;
        // Ends the program (the ERP database is missing).
        std::function<void(int exitCode)> terminate;
        // Every log entry as LOG.txt gets it (UTF-8, without its line end),
        // for standard output.
        std::function<void(int index, QByteArrayView entry)> logLine;
        // In place of logLine, while LOG.txt has its usual form: the
        // entries LOG.txt just took, each "[n] message" and LF. One call for
        // many entries costs less than a call for each.
        std::function<void(QByteArrayView lines)> logEntries;
        // The entries given to logLine or logEntries so far were written to
        // LOG.txt (or its fallback): what holds them back may let them go
        // too.
        std::function<void()> logWritten;
    };

    Collector(Settings &settings, IniStore &store, Messenger &messenger, Clock &clock, TransportFactory &transports,
              QObject *parent = nullptr);
    ~Collector() override;

    void setHooks(Hooks hooks) { m_hooks = std::move(hooks); }
    // Whether each channel's latest entries are kept for LogPane (on by
    // default; without windows nothing shows them).
    void setKeepLogPanes(bool keep) { m_keepPanes = keep; }
    // Where the templates are (default: the program folder).
    void setProgramDir(const QString &dir);

    // What a window shows during the start-up, each at its place in the
    // sequence; headless runs without.
    struct StartupView {
        // Before the settings are read (the splash window and its wait).
        std::function<void()> beforeSettings;
        // Once they are read, before the channels open (what the settings
        // show or hide).
        std::function<void()> afterSettings;
    };
    // The start-up, the same for every runner: infrared link closed, state
    // reset ("Paused"), settings loaded, channels opened one after another,
    // missing targets created, flags reset.
    void Startup(const StartupView &view = {});
    // Every target that is named and not there yet is made (at start-up, at
    // a reload, and by the window's "CreaDB" and "SetDB" buttons).
    void createMissingTargets();
    // The step timer runs every 100 ms from here on.
    void startTimer();
    void stopTimer();
    bool timerRunning() const { return m_timer.isActive(); }

    // Channel log: the channel's pane (cleared when it holds more than 1024
    // characters) and LOG.txt in the data folder, an empty line after each.
    void PLog(const QString &message, int index);
    // How much an entry matters to someone reading the system journal.
    enum class LogLevel { Info, Warning, Error };
    // An entry of a failure (Error) or of something that will not work as
    // meant (Warning): the same entry, with its level for the journal.
    void PLog(const QString &message, int index, LogLevel level);
    // The level of the entry being handed to the logLine hook.
    LogLevel entryLevel() const { return m_entryLevel; }
    // The text of the last Warning or Error entry: a message box that says
    // the same again (headless, where boxes go to the log) is not logged a
    // second time.
    const QString &lastReported() const { return m_lastReported; }
    // After the settings were read (start-up, reload): the log's form, and
    // a warning in the log for every value the program does not know.
    void SettingsLoaded();
    // The line that says the collector runs: what each channel in use opens
    // and where it stores, or that no channel is in use.
    QString ReadyText() const;
    void CloseComm(int index);
    void SetComm(int n);
    void OpenChannels(); // OpeningCancelled = false, then every channel through openChannelWait
    // Without a window (headless) a TCP channel's connection attempts run in
    // the background: one absent terminal does not hold up the others.
    void setOpenInBackground(bool on) { m_openInBackground = on; }
    bool openInBackground() const { return m_openInBackground; }
    // Closes every channel (its records synced first), loads the settings
    // again and reopens the channels; a request of the data exchange being
    // served ends with code 6.
    void ReloadSettings();

    // Reception: the characters that arrived go to the channel's protocol,
    // and what it asks for is done (apply).
    void SerialOnComm(int n);
    void SocketDataArrival(int n);

    // Step timer, time-outs and modem. Each channel's reply timer is kept
    // here: its protocol arms and stops it, the step timer reports to the
    // protocol when it ran out.
    void TimerStep_Timer();
    // A command of the link went out (a modem command, a connection
    // attempt): its reply is awaited under the reply time-out from now.
    void resetTimerTimeout(int n);
    // That reply came, or the wait for it was given up.
    void replyEnded(int n);
    // The reply time-out's message, by the kind of link.
    void HandleReplyTimeout(int n);
    bool SendModemCommand(int n, const QString &command);

    // ExchangeFiles.
    bool ExchangeActive() const override { return m_exchangeActive; }
    QString ExchangeFile(int channel) const override;

    // State, for the window and for tests.
    ChannelState &state(int n) { return m_protocol.at(n).state(); }
    const ChannelState &state(int n) const { return m_protocol.at(n).state(); }
    ChannelProtocol &protocol(int n) { return m_protocol.at(n); }
    // Channel n's status: its value, and the text its panel shows.
    ChannelStatus status(int n) const { return m_channelStatus.at(n); }
    QString StatusPanel(int n) const { return m_status.at(n); }
    void setStatus(int n, ChannelStatus status);
    QString LogPane(int n) const { return QString::fromUtf8(m_pane.at(n)); }
    RecordStore &store() { return *m_recordStore; }
    Settings &settings() { return m_settings; }
    SerialPort *serialPort(int n) const { return m_serial.at(n); }
    Socket *socket(int n) const { return m_socket.at(n); }
    bool OverwriteAllowed() const { return m_recordStore->OverwriteAllowed; }
    void setExchangeActive(bool on) { m_exchangeActive = on; }
    QString RequestKey() const { return m_requestKey; }
    bool OpeningCancelled = false;
    bool CaptureMode = false;
    QByteArray CaptureBuffer;
    int SkippedSerialEvents = 0;

    static const QByteArray ACK;
    static const QByteArray NAK;

signals:
    // entry is the message with CR LF; cleared says the pane was emptied first.
    void logAppended(int index, const QString &message, bool cleared);
    void statusChanged(int n, const QString &text);
    // A record of channel n is in its target (state(n).RecordsStored counts them).
    void recordStored(int n);
    // A TCP channel cannot connect (once per spell of failures): for a
    // notification that does not need the window.
    void connectionTrouble(int n, const QString &text);

protected:
    void connectNotify(const QMetaMethod &signal) override;
    void disconnectNotify(const QMetaMethod &signal) override;

private:
    void LoadSettingsAndOpen();
    void readSettings();
    bool openSerialKind(int n, bool modem, QString *cause);
    bool setupIrCradle(int n, QString *cause);
    bool probeCradle(int n, const QString &setting);
    void channelFailed(int n, const QString &cause = QString());
    void serialFailed(int n, const QString &why);

    // TCP links (TcpLink.cpp): opening, loss of the peer, reconnection.
    enum class TcpPhase { Idle, Opening, Background, Up };
    struct TcpLink {
        TcpPhase phase = TcpPhase::Idle;
        bool opening = false;    // background attempts of an opening: time-outs logged
        bool lost = false;       // the link was up and went away
        bool attempting = false; // a connection is being started: its own state changes are ignored
        qint64 windowStart = 0;  // when the current attempt started
        QString address;         // host:port
        // The spell of failures: the cause logged last, the attempts that
        // failed since it was logged, and when that was.
        QString failure;
        int failures = 0;
        int failuresInSpell = 0;
        qint64 reportedAt = 0;
    };
    // Logs a failed attempt: a new cause at once, the same cause again with
    // its count at most once an hour.
    void tcpFailed(int n, const QString &cause);
    void makeTcpRetryTimer(int n);
    bool tcpAddress(int n, QString *host, int *port);
    void connectTcp(int n);
    void stopTcp(int n);
    void startTcpBackground(int n, bool opening);
    void tcpAttempt(int n);
    void tcpConnected(int n);
    void tcpLost(int n);
    void tcpEnded(int n);
    void socketStateChanged(int n, int state);
    void checkTcpLinks();
    QString tcpTimeoutText(int n) const;

    // Outside requests: the end of one (code written, RequestKey freed), and
    // automatic collection taken up again after it.
    void endRequest(int n, const QString &code, const QString &why);
    void waitEvents(int ms);
    void terminateProgram(int code);

    // The channel's protocol set from the settings in force.
    void configure(int n);
    // Lines of what arrived on channel n, one after the other, each with
    // what its protocol asks for done before the next.
    void takeLines(int n);
    // Does what channel n's protocol asked for, in order (see Reception.cpp).
    void apply(int n, ChannelProtocol::Actions &actions);
    void applyLog(int n, const ChannelProtocol::Action &a);
    void logIncoming(int n, const QByteArray &line);
    void sendToChannel(int n, const QByteArray &text);
    bool channelOpen(int n) const;
    void scheduleSerialRescan();
    // The answer of a target that answers later (a database server).
    void answerStored(int n, quint64 ticket, bool stored);
    void dropLaterAnswer(int n);
    void recordWasStored(int n);
    // What a record's or a transfer's confirmation stands on: the store's
    // last report on the channel (see apply).
    enum class Reported { Nothing, Stored, Synced };
    std::array<Reported, kChannels + 1> m_reported{};

    QByteArray nextLookupLine(int n);
    void endLookup(int n, bool atEnd);
    QString exchangeRoot() const;
    QString exchangePath() const;
    void writeExchange(const QString &key, const QString &value);

    qint64 now() const;

    Settings &m_settings;
    IniStore &m_store;
    Messenger &m_messenger;
    Clock &m_clock;
    TransportFactory &m_transports;
    Hooks m_hooks;
    std::unique_ptr<ErpWriter> m_erpWriter;
    std::unique_ptr<ErpArticleExport> m_articles;
    std::unique_ptr<RecordStore> m_recordStore;
    QString m_programDir;

    std::array<ChannelProtocol, kChannels + 1> m_protocol;
    std::array<ChannelStatus, kChannels + 1> m_channelStatus{};
    std::array<QString, kChannels + 1> m_status; // the panel's text of m_channelStatus
    QString statusText(int n, ChannelStatus status) const;
    // A channel's reply timer: armed by its protocol (ArmReplyTimer) until
    // deadline; while the time-out's message is on screen, a timer armed
    // again meanwhile waits for it to close.
    struct ReplyTimer {
        bool armed = false;
        qint64 deadline = 0;
        bool boxOpen = false;
    };
    std::array<ReplyTimer, kChannels + 1> m_replyTimer{};
    // What each channel's pane shows (UTF-8) and its length in characters.
    std::array<QByteArray, kChannels + 1> m_pane;
    std::array<qsizetype, kChannels + 1> m_paneChars{};
    bool m_keepPanes = true;
    std::array<SerialPort *, kChannels + 1> m_serial{};
    std::array<Socket *, kChannels + 1> m_socket{};
    std::array<std::unique_ptr<LookupFile>, kChannels + 1> m_lookup;

    bool m_exchangeActive = false;
    bool m_openInBackground = false;
    QString m_cradleOpenError; // why the cradle's port did not open
    std::array<TcpLink, kChannels + 1> m_tcp;
    std::array<QTimer *, kChannels + 1> m_tcpRetry{};
    QString m_requestKey;
    bool m_serialBusy = false;
    bool m_rescanQueued = false;
    QTimer m_timer;

    struct LogFile;
    std::unique_ptr<LogFile> m_log;
    class LogStamp;
    std::unique_ptr<LogStamp> m_logStamp;
    // LOG.txt in the original form ([Misc] LogFormat=Original): the
    // message, CR LF and an empty line, no time and no channel.
    bool m_logOriginal = false;
    LogLevel m_entryLevel = LogLevel::Info;
    QString m_lastReported;
    void readLogForm();
    // While a line is being handled, its log entries are held here and
    // written to LOG.txt together, before its answer leaves (one write per
    // record instead of one per entry). The entries of a record that was
    // stored and acknowledged join the next write instead: that of another
    // line or message, of 64 KiB of entries, of a stop, or at the latest
    // a second later (m_logTimer; kLogWaitMs).
    class LogBatch;
    LogBatch *m_lineBatch = nullptr; // the batch of the line being handled
    int m_logBatch = 0;
    QByteArray m_logPending;
    // The same entries as logEntries hands them on.
    QByteArray m_linesPending;
    QByteArray m_logEntry; // an entry being made (logIncoming)
    // Whether a signal has a receiver, known without asking Qt at every
    // emission: connectNotify sets it; disconnectNotify, which Qt may call
    // with a lock of its own held, only makes it unsure, and the next
    // emission asks (heard).
    struct Receivers {
        bool any = false;
        bool unsure = false;
    };
    template <typename Signal>
    bool heard(Receivers &r, Signal signal) const
    {
        if (r.unsure) {
            r.unsure = false;
            r.any = isSignalConnected(QMetaMethod::fromSignal(signal));
        }
        return r.any;
    }
    Receivers m_logShown;    // logAppended: the text of an entry is made only for it
    Receivers m_storedHeard; // recordStored
    // The room of an action list, kept between lines (takeLines).
    ChannelProtocol::Actions m_spareActions;
    QTimer m_logTimer;
    void flushLog();
    // A log entry: bytes as LOG.txt gets them, chars its length as text,
    // message its text when the caller has it.
    void logEntry(int index, QByteArrayView bytes, qsizetype chars, const QString *message);
};

} // namespace vx
