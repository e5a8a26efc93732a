#pragma once

#include "collector/ChannelState.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <functional>
#include <vector>

namespace vx {

// What a channel's status panel says, as a value; the driver shows its text
// (the port's name, where it has one, comes from the channel's settings).
// The protocol says it when the link opens; the link's other states (closed,
// in error, still connecting, a modem that answered its commands) are the
// driver's to say.
enum class ChannelStatus {
    Paused,        // "Paused": the channel is closed
    NoPort,        // the port's name ("None"): nothing to open
    RunWait,       // "<port> Run/Wait": a serial kind is open and waits for its terminal
    Modem,         // "<port> Modem ": the modem answered its reset and init commands
    TcpConnecting, // "TCP Connecting"
    TcpReady,      // "TCP Ready": the connection is up
    Error,         // " Error/n.d.": the channel could not be opened, or its link failed
};

// One channel's protocol with its terminal, as a state machine without I/O:
// it takes events (characters that arrived, a tick of the step timer, the
// link opened or lost, what the record store answered, a request of an
// outside program) and returns what is to be done, in order (send these
// bytes, store this record, log this entry, show this status, arm or stop
// the reply timer, write this exchange value ...).
// The driver (Collector) does it and reports back what needs an answer:
// a record's store outcome, a sync's, the look-up line read from its file.
// Nothing here reads a clock, a file or a port: every event brings the time,
// and the reply time-out is a timer the driver keeps: the protocol arms it
// with its deadline and stops it, and the driver reports when it ran out.
//
// While a record, a sync or a look-up line waits for its outcome, the
// protocol takes no further line: what arrives meanwhile is held, and the
// answers keep the order of the lines.
class ChannelProtocol {
public:
    // A line longer than this is dropped up to its CR and answered as a
    // rejected record; memory stays bounded whatever a peer sends.
    static constexpr int kMaxLine = 64 * 1024;

    // How the characters of the link make lines: a serial line also ends
    // at a lone ACK or NAK; a modem's lines end at CR only; TCP arrivals may
    // start with a network adapter's greeting.
    enum class Link { Serial, Modem, Tcp };

    struct Config {
        int channel = 1;
        Link link = Link::Serial;
        bool ackNak = true;      // "ACK/NAK": records checked and answered; "None": stored, never answered
        qint64 replyTimeout = 0; // ms, set when the reply time-out is armed; 0 keeps the one in force
        qint64 autoPeriod = 0;   // automatic collection's period, ms; 0: off
        // The data file an outside request names (its Profilo(n) value),
        // read at the moment the request's command goes out.
        std::function<QString()> requestedFile;
    };

    struct Action {
        enum Kind {
            Send,             // bytes to the terminal
            Store,            // bytes: a record without its check characters; answer with storeOutcome(number, ...)
            Sync,             // the transfer's records to stable storage; answer with syncOutcome
            BeginTransfer,    // "BOF": the record store starts a transfer
            EndOfData,        // an exchange step's data file is complete (ends the transfer under "NewFile")
            Log,              // an entry of the channel's log (see Entry)
            StartLookup,      // look-up file `number` is sent from its first line: whatever was open is closed
            ReadLookupLine,   // line `number` of the look-up file; answer with lookupLine
            EndLookup,        // the look-up file's sending ended; number 1: its every line went out
            CloseLookup,      // the look-up file is let go, nothing more
            EndRequest,       // the outside request ends; text: the code for its key (empty: none)
            WriteExchange,    // this channel's request value becomes text
            ReplyTimedOut,    // the reply time-out ran out: its message is shown
            OverwriteAllowed, // the record store's OverwriteAllowed becomes number (0 or 1)
            Status,           // the channel's status panel shows number (a ChannelStatus)
            ArmReplyTimer,    // the reply timer runs out at number (ms, the events' clock); answer with replyTimedOut
            StopReplyTimer,   // the reply timer stops: no reply is awaited any more
        };
        // How a Log action's entry is made from its bytes or text.
        enum class Entry {
            Text,     // the message in text
            Fixed,    // bytes: the entry, plain ASCII
            Incoming, // "IN   <- " and the line in bytes
            Answer,   // " OUT -> " and the answer in bytes
            Stored,   // "IN   <-" and the stored line in bytes
        };
        // What a Send tells the terminal is safe.
        enum class Confirms { Nothing, Record, Transfer };

        Kind kind = Send;
        QByteArray bytes;
        QString text;
        qint64 number = 0;
        Entry entry = Entry::Text;
        Confirms confirms = Confirms::Nothing;
    };
    using Actions = std::vector<Action>;

    ChannelProtocol() = default;
    explicit ChannelProtocol(Config config) : m_config(std::move(config)) {}

    Config &config() { return m_config; }
    const Config &config() const { return m_config; }
    ChannelState &state() { return m_s; }
    const ChannelState &state() const { return m_s; }
    // Everything back to start-up, the configuration kept.
    void reset();

    // True when the line's check characters (the last two, hex, either case)
    // are the exclusive or of the characters before them.
    static bool CheckRecord(QByteArrayView line);

    // --- events ---
    // Characters arrived: held until next() takes their lines. A terminal
    // that is sending is activity: the step period and a request's reply
    // time-out start again.
    void receive(QByteArray bytes, qint64 now, Actions &out);
    // Handles the next complete line of what arrived: false when there is
    // none, or while an outcome is awaited.
    bool next(qint64 now, Actions &out);
    // Whether next() has anything to look at: characters not yet taken, and
    // no outcome awaited.
    bool hasInput() const { return m_await == Await::None && m_at < m_in.size(); }
    // What the store answered for the record of Store action `ticket`.
    void storeOutcome(quint64 ticket, bool stored, qint64 now, Actions &out);
    // Whether the sync asked for reached stable storage.
    void syncOutcome(bool synced, qint64 now, Actions &out);
    // The look-up line asked for (with its check characters), or "EOF"
    // after the last one; atEnd: that "EOF" follows the file's last line.
    void lookupLine(const QByteArray &line, bool atEnd, qint64 now, Actions &out);
    // The step timer: the step period.
    void tick(qint64 now, Actions &out);
    // The reply timer armed last ran out: the sending, and a request
    // waiting for the terminal, end. Nothing when no reply is awaited.
    void replyTimedOut(qint64 now, Actions &out);
    // An outside request was given to this channel: its command goes out
    // one step period from now.
    void requestAccepted(qint64 now);
    // The outside request served here ends, with its code (empty: none) and
    // why (empty: nothing logged).
    void endRequest(const QString &code, const QString &why, qint64 now, Actions &out);
    // The link opened (the port, the TCP connection): a serial kind shows
    // "Run/Wait", TCP "TCP Ready" (a modem's status follows its commands).
    void connected(qint64 now, Actions &out);
    // The peer went away: what was stored is synced, what ran ends.
    void connectionLost(qint64 now, Actions &out);
    // The link was closed here: what waited for the terminal is given up
    // (an outside request ends at the next tick, or when the link opens
    // again).
    void closed();
    // Whether the link is open, as the driver sees it.
    void setOpen(bool open) { m_open = open; }
    bool isOpen() const { return m_open; }
    // A record's outcome that is still awaited will not be answered: the
    // connection it came over is gone.
    void dropOutcome();
    // The driver sent a command of the link (a modem command, a connection
    // attempt) or the modem is answering one: its reply is awaited from now
    // under the link's reply time-out.
    void awaitLinkReply(qint64 now, Actions &out);
    // The reply to the driver's command came, or it gave up waiting.
    void linkReplyEnded(Actions &out);

    // What an outside program's request ("1" in its ID(n)) meets on a
    // channel with this status: an open link serves it; a channel without
    // a port, a modem, one in error or still connecting answers it with a
    // code (5, 9, 6, 6); on a paused channel it waits (empty code).
    static bool ServesRequests(ChannelStatus status);
    static QString RequestRefusal(ChannelStatus status);

    // A record waits for its store outcome.
    bool awaitingStore() const { return m_await == Await::Store; }
    // The number of the Store action whose outcome is awaited.
    quint64 awaitedTicket() const { return m_ticket; }

private:
    enum class Await { None, Store, Sync, LookupLine };

    bool takeLine(QByteArray &line, bool &overlong);
    void appendRun(QByteArrayView run);
    void handleLine(QByteArray line, bool overlong, qint64 now, Actions &out);
    void dispatch(const QByteArray &line, qint64 now, Actions &out);
    void afterSync(bool synced, qint64 now, Actions &out);
    void finish(const QByteArray &answer, Action::Confirms confirms, qint64 now, Actions &out);
    void logAnswer(const QByteArray &answer, Actions &out);
    void acknowledgementStep(QByteArray &answer, qint64 now, Actions &out);
    void refusalStep(QByteArray &answer, qint64 now, Actions &out);
    void endOfDataStep(QByteArray &answer, qint64 now, Actions &out);
    void lookupFileStep(QByteArray line, qint64 now, Actions &out);
    void stepCommand(qint64 now, Actions &out);
    void resumeAutomatic(qint64 now);
    void restartStepIfExchange(qint64 now, Actions &out);
    // The reply time-out runs from now; refresh: with the link's time-out.
    void armReply(qint64 now, bool refresh, Actions &out);
    void stopReply(Actions &out);
    // stopTimer false: the reply timer is left as it is.
    void endRequest(const QString &code, const QString &why, qint64 now, Actions &out, bool stopTimer);

    static Action &add(Actions &out, Action::Kind kind, qint64 number = 0, const QString &text = {});
    static void log(Actions &out, const QString &text);
    static void logBytes(Actions &out, Action::Entry entry, const QByteArray &bytes);
    static void send(Actions &out, const QByteArray &bytes, Action::Confirms confirms = Action::Confirms::Nothing);

    Config m_config;
    ChannelState m_s;
    bool m_open = false;
    bool m_closed = false; // the driver closed the channel (closed()) and has not opened it since
    Await m_await = Await::None;
    quint64 m_ticket = 0;     // tells the awaited store outcome from one dropped
    QByteArray m_awaitedLine; // without ACK/NAK: the line whose outcome is awaited, for its entry
    QByteArray m_in;          // what arrived and no line has taken yet
    qsizetype m_at = 0;       // where the next line starts in m_in
};

} // namespace vx
