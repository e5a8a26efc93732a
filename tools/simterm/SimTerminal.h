#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <vector>

class QIODevice;
class QSerialPort;
class QTcpServer;
class QTcpSocket;

namespace vx::sim {

// Characters of the terminal protocol.
inline constexpr char kAck = 6;
inline constexpr char kNak = 21;
inline constexpr char kCr = 13;
inline constexpr char kLf = 10;

// text + its two check characters + CR ("abc" gives "abc60\r").
QByteArray FramedRecord(const QByteArray &text);
// True when line (without its CR) ends with the two upper-case check
// characters of the text before them; that text goes to *text.
bool SplitCheckedLine(const QByteArray &line, QByteArray *text = nullptr);
// The p-th percentile (0..100, nearest rank) of the values; 0 when empty.
qint64 Percentile(std::vector<qint64> values, double p);

// How SimTerminal sends lines stop-and-wait.
struct SendOptions {
    int answerTimeoutMs = 5000;
    // Resend a line on NAK, on a time-out and after a new connection,
    // until it gets its ACK (what a real terminal does). Without it a
    // NAK is noted and the next line follows; a time-out ends the
    // transfer.
    bool resendUntilAck = false;
    int maxAttempts = 0;         // with resendUntilAck: 0 = no limit
    bool bofOnReconnect = false; // after a new connection, "BOF" again first
    int transferTimeoutMs = 0;   // 0 = no limit for the whole transfer
    bool checkCharacters = true; // records carry their check characters
};

// Plays one data-collection terminal towards the collector, either on a
// serial device (the terminal end of a PtyPair) or as a TCP server on
// 127.0.0.1 that the collector connects to (the collector is the client).
//
// It records every byte the collector sends, with its arrival time, and
// splits the bytes into tokens: ACK and NAK are tokens of their own, every
// other token is a line ended by CR (LF is dropped).
//
// It sends lines raw or stop-and-wait (each line waits for ACK or NAK, with
// a time-out, optionally resent until ACK, the CR-to-answer latency noted),
// and it answers the collector's file exchange like a terminal does:
//  - "GETDATA" n: sends data file n (BOF, records, EOF, stop-and-wait,
//    resent until ACK) and keeps it until "RMVDATA" n arrives, which it
//    answers with ACK and drops the file; or answers NAK, by rule;
//  - "PUTFILE" n: answers ACK, NAK or "GETFILE" j by rule; after "GETFILE" j
//    it acknowledges "BOF", takes the look-up lines (checking their check
//    characters, answering ACK or NAK by rule) and acknowledges "EOF";
//  - "AT..." modem commands: "OK" CR LF, "0" CR LF, or silence, by rule.
//
// Everything is event-driven; the blocking helpers (sendTransfer, waitFor)
// run a local event loop, so other objects of the test (the collector, a
// peer) keep working while they wait.
class SimTerminal : public QObject {
    Q_OBJECT
public:
    enum class Answer { None, Ack, Nak, Timeout, Disconnected };
    enum class LineKind { Bof, Record, Eof, Other };

    // One read from the transport, as it arrived.
    struct Arrival {
        qint64 ns = 0; // since the terminal was made (monotonic)
        QByteArray bytes;
    };
    // One token in either direction: fromPc tokens are ACK, NAK or a line
    // without its CR; terminal tokens are what the terminal wrote, as written.
    struct Event {
        qint64 ns = 0;
        bool fromPc = false;
        QByteArray data;
    };

    using SendOptions = vx::sim::SendOptions;

    struct LineResult {
        QByteArray line; // as sent, without CR
        LineKind kind = LineKind::Other;
        Answer answer = Answer::None;
        int attempts = 0;
        qint64 sentNs = 0;     // when the last attempt's CR was written
        qint64 latencyNs = -1; // CR of the last attempt to its answer; -1 when none
    };

    struct TransferResult {
        bool complete = false; // every line answered ACK
        std::vector<LineResult> lines;
        int acked = 0;
        int naked = 0;    // NAK answers, resent ones included
        int timeouts = 0; // time-outs, resent ones included
        int resends = 0;
        qint64 startNs = 0;
        qint64 endNs = 0;

        double seconds() const { return double(endNs - startNs) / 1e9; }
        // Latencies of the lines answered ACK; records only, or every line.
        std::vector<qint64> latenciesNs(bool recordsOnly = true) const;
        int recordCount() const;
    };

    enum class ModemReply { Ok, Zero, Silent };
    struct PutFileReply {
        enum Kind { Ack, Nak, GetFile } kind = Ack;
        int file = 0; // for GetFile
    };

    // A look-up file received after "GETFILE" j.
    struct LookupFile {
        int number = 0;
        qint64 bofNs = 0;           // when "BOF" arrived
        QList<QByteArray> lines;    // accepted lines, without check characters
        std::vector<qint64> lineNs; // arrival of each accepted line
        int naked = 0;              // lines answered NAK
        int badChecks = 0;          // lines with wrong check characters
        bool complete = false;      // "EOF" arrived
    };

    struct Rules {
        bool respond = true; // answer GETDATA/RMVDATA/PUTFILE at all
        // GETDATA n: true sends data file n (no file loaded: "BOF", "EOF"),
        // false answers NAK. Unset: send when file n is loaded, else NAK.
        std::function<bool(int n)> acceptGetData;
        // PUTFILE n. Unset: ACK.
        std::function<PutFileReply(int n)> onPutFile;
        // A look-up line (1-based number, text without check characters,
        // whether its check characters were right): true answers ACK.
        // Unset: ACK exactly when the check characters are right.
        std::function<bool(int lineNo, const QByteArray &text, bool checkOk)> acceptLookupLine;
        ModemReply modemReply = ModemReply::Ok;
        SendOptions dataSend = [] {
            SendOptions o;
            o.resendUntilAck = true;
            return o;
        }();
    };

    explicit SimTerminal(QObject *parent = nullptr);
    ~SimTerminal() override;

    // --- Transports ---------------------------------------------------------
    // Opens a serial device raw (8 data bits, no parity, 1 stop bit).
    bool openSerial(const QString &device, qint32 baudRate = 115200);
    // Listens on 127.0.0.1 (port 0: a free port, see tcpPort()).
    bool listenTcp(quint16 port = 0);
    quint16 tcpPort() const;
    bool isSerial() const { return m_serial != nullptr; }
    // Serial: open. TCP: a collector is connected.
    bool isConnected() const;
    bool waitForConnected(int timeoutMs);
    // TCP connections accepted so far (a new one replaces the current one).
    int connectionCount() const { return m_connections; }
    // Closes the current TCP connection; the server keeps listening.
    void dropConnection();
    void close();
    QString errorText() const { return m_error; }

    // Send "Connection OK!" + CR at every new TCP connection (what network
    // adapters do), after delayMs.
    void setGreeting(bool on, int delayMs = 0);

    // What follows a terminal's ACK or NAK answer: nothing on serial, CR on
    // TCP (a TCP line needs its CR). Overridable.
    QByteArray answerSuffix() const;
    void setAnswerSuffix(const QByteArray &suffix);

    // --- Recording ----------------------------------------------------------
    const std::vector<Arrival> &arrivals() const { return m_arrivals; }
    // Every byte received, in order.
    const QByteArray &received() const { return m_received; }
    const std::vector<Event> &events() const { return m_events; }
    // The collector's tokens in order (ACK and NAK as one-character tokens).
    QList<QByteArray> pcTokens() const;
    // The conversation, one token a line: "PC  RMVDATA1", "TRM <ACK>", ...
    QStringList transcript() const;
    void clearRecording();
    // Keep arrivals, received bytes and events (default). A benchmark that
    // needs none of them turns this off to spare the memory; the results of
    // transfers, look-up files and the exchange are kept either way.
    void setRecordTraffic(bool on) { m_record = on; }
    qint64 nowNs() const { return m_clock.nsecsElapsed(); }

    // Runs the event loop until pred() holds (checked after every arrival,
    // connection change and finished transfer) or timeoutMs passes.
    bool waitFor(const std::function<bool()> &pred, int timeoutMs);
    // Until received() contains needle (from byte offset from on).
    bool waitForReceived(const QByteArray &needle, int timeoutMs, qsizetype from = 0);

    // --- Raw sending --------------------------------------------------------
    void sendRaw(const QByteArray &bytes);
    void sendLine(const QByteArray &text);   // text + CR
    void sendRecord(const QByteArray &text); // text + check characters + CR
    void sendBof() { sendLine("BOF"); }
    void sendEof() { sendLine("EOF"); }
    void sendAck();                                     // ACK + answerSuffix()
    void sendNak();                                     // NAK + answerSuffix()
    void sendConnect(const QByteArray &speed = "9600"); // "CONNECT 9600" + CR

    // --- Stop-and-wait ------------------------------------------------------
    // One line (CR added), waiting for its answer.
    LineResult sendAndWait(const QByteArray &line, const SendOptions &options = SendOptions());
    // "BOF", the records (with check characters unless options say not),
    // "EOF", each waiting for its answer. Blocks on a local event loop.
    TransferResult sendTransfer(const QList<QByteArray> &records, const SendOptions &options = SendOptions());
    // The same without blocking; transferFinished() reports the end.
    bool startTransfer(const QList<QByteArray> &records, const SendOptions &options = SendOptions());
    // Lines as given (CR added), stop-and-wait, without blocking.
    bool startLines(const QList<QByteArray> &lines, const SendOptions &options = SendOptions());
    bool isSending() const { return m_tx.active; }
    const TransferResult &lastTransfer() const { return m_tx.result; }

    // The record text number i of a generated transfer: an 8-digit number
    // and filler letters, length characters long (at least 8).
    static QByteArray generatedRecord(int i, int length);

    // --- Terminal side of the file exchange ----------------------------------
    Rules &rules() { return m_rules; }
    void setDataFile(int n, const QList<QByteArray> &records);
    bool hasDataFile(int n) const { return m_dataFiles.contains(n); }
    QList<QByteArray> dataFile(int n) const { return m_dataFiles.value(n); }
    // Files dropped after "RMVDATA", in order.
    const QList<int> &removedFiles() const { return m_removed; }
    // Files sent after "GETDATA", in order (a resent file appears again).
    const QList<int> &sentFiles() const { return m_sent; }
    // Asks for look-up file j ("GETFILE" j + CR) and takes it.
    void requestLookupFile(int j);
    const std::vector<LookupFile> &lookupFiles() const { return m_lookups; }
    bool receivingLookup() const { return m_lookupState != LookupState::Idle; }
    const QList<QByteArray> &modemCommands() const { return m_modemCommands; }

signals:
    void connected();
    void disconnected();
    void bytesArrived();
    void pcToken(const QByteArray &token);
    void transferFinished();
    void dataFileRemoved(int n);
    void lookupFileReceived(int j);
    void modemCommandReceived(const QByteArray &command);
    // Anything a waitFor() predicate may depend on has changed.
    void changed();

private:
    enum class LookupState { Idle, AwaitBof, Lines };

    struct Tx {
        bool active = false;
        QList<QByteArray> lines; // without CR
        std::vector<LineKind> kinds;
        int index = 0;
        int attempts = 0;
        bool awaitingAnswer = false;
        bool bofFirst = false;    // resending BOF after a reconnection
        bool bofAwaiting = false; // the resent BOF is out
        SendOptions options;
        TransferResult result;
    };

    void setDevice(QIODevice *device);
    void onReadyRead();
    void onNewConnection();
    void onDeviceGone();
    void handleToken(const QByteArray &token);
    void handleAnswer(bool ack);
    void handlePcLine(const QByteArray &line);
    void handleLookupLine(const QByteArray &line);
    void write(const QByteArray &bytes);
    void noteOut(const QByteArray &bytes);

    void txBegin(const QList<QByteArray> &lines, std::vector<LineKind> kinds, const SendOptions &options);
    void txSendCurrent();
    void txAdvance(Answer answer);
    void txTimeout();
    void txFinish();
    void txConnectionChanged(bool up);

    QElapsedTimer m_clock;
    QSerialPort *m_serial = nullptr;
    QTcpServer *m_server = nullptr;
    QPointer<QTcpSocket> m_socket;
    QIODevice *m_device = nullptr;
    int m_connections = 0;
    bool m_greeting = false;
    int m_greetingDelayMs = 0;
    bool m_suffixSet = false;
    QByteArray m_suffix;
    QString m_error;

    bool m_record = true;
    std::vector<Arrival> m_arrivals;
    QByteArray m_received;
    std::vector<Event> m_events;
    QByteArray m_lineBuffer;

    Tx m_tx;
    QTimer m_answerTimer;
    QTimer m_transferTimer;

    Rules m_rules;
    QMap<int, QList<QByteArray>> m_dataFiles;
    QList<int> m_removed;
    QList<int> m_sent;
    LookupState m_lookupState = LookupState::Idle;
    std::vector<LookupFile> m_lookups;
    QList<QByteArray> m_modemCommands;
};

// The minimal PC: reads lines ended by CR and answers every one with ACK,
// storing nothing. The baseline of the benchmarks and the peer of the
// harness's own tests. A decider may pick another answer per line.
class AckOnlyPeer : public QObject {
    Q_OBJECT
public:
    // The device is not owned and must outlive the peer.
    explicit AckOnlyPeer(QIODevice *device, QObject *parent = nullptr);

    // Answer per line (line without its CR): the bytes to send back
    // (empty: nothing). Unset: ACK for every line.
    void setDecider(std::function<QByteArray(const QByteArray &line)> decider);
    qint64 lineCount() const { return m_lines; }

private:
    void onReadyRead();

    QIODevice *m_device;
    std::function<QByteArray(const QByteArray &)> m_decider;
    QByteArray m_partial;
    qint64 m_lines = 0;
};

} // namespace vx::sim
