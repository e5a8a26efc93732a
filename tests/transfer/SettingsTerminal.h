#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class QSerialPort;

namespace vx::test {

// How a simulated terminal sends a settings stream.
struct SettingsStreamOptions {
    bool lowerCaseCrc = false;
    bool lfAfterCr = false; // CR LF line ends
    QByteArray crcOverride; // sent instead of the right CRC when set
    bool withCrc = true;
};

// Plays a terminal in the settings transfer, independently of the program's
// own code: its check bytes and its CRC-32 (zlib) are computed here.
//
// Receiving a profile from the PC: every line is its text, a check byte and
// a carriage return. A line whose check byte is wrong is answered "NAK";
// otherwise the rule decides (default "ACK"). Lines answered "ACK" are kept
// from "SETTINGS" on; the line after "EOF" is the PC's CRC line, compared
// with the terminal's own CRC of the kept lines and answered "ACK" when they
// agree, "NOK" when not (unless the rule says otherwise).
//
// Sending settings to the PC: "SETTINGS", "BOF", the lines, "EOF" and the
// CRC line, each ended by a carriage return, no check bytes. echo() sends
// back what it received.
//
// It runs on the terminal end of a pseudo-terminal pair (openSerial) or in
// memory: take() is given the PC's bytes and returns the answer.
class SettingsTerminal : public QObject {
    Q_OBJECT
public:
    // The answer word for a line ("ACK", "NAK", "NOK", anything else, or
    // empty for silence); nothing: the default answer.
    using Rule = std::function<std::optional<QByteArray>(const QByteArray &text, int attempt, bool crcLine)>;

    using StreamOptions = SettingsStreamOptions;

    explicit SettingsTerminal(QObject *parent = nullptr);
    ~SettingsTerminal() override;

    bool openSerial(const QString &device, qint32 baudRate = 38400);
    void close();
    QString errorText() const { return m_error; }

    // The PC's bytes; returns what the terminal answers to them (also
    // written to the serial device when one is open).
    QByteArray take(const QByteArray &bytes);

    void setRule(Rule rule) { m_rule = std::move(rule); }
    // What follows an answer word; default CR.
    void setAnswerSuffix(const QByteArray &suffix) { m_suffix = suffix; }

    // Every line as it arrived, without check byte and CR (repeats included).
    const QList<QByteArray> &lines() const { return m_lines; }
    int sendsOf(const QByteArray &text) const { return int(m_lines.count(text)); }
    // Lines answered "ACK" since the last "SETTINGS", "SETTINGS" to "EOF".
    const QList<QByteArray> &accepted() const { return m_accepted; }
    // The accepted lines between "BOF" and "EOF".
    QList<QByteArray> items() const;
    int badChecks() const { return m_badChecks; }
    bool crcSeen() const { return m_crcSeen; }
    bool crcAgreed() const { return m_crcAgreed; }
    QByteArray crcReceived() const { return m_crcReceived; }
    QByteArray crcOwn() const { return m_crcOwn; }
    // Every byte received from the PC.
    const QByteArray &received() const { return m_received; }

    // The bytes of a settings stream for these lines.
    static QByteArray Stream(const QList<QByteArray> &lines, const StreamOptions &options = StreamOptions());
    // CRC-32 of the concatenated pieces, 8 upper-case hex digits (zlib).
    static QByteArray Crc(const QList<QByteArray> &pieces);
    // The check byte of a line, computed the terminal's way.
    static char CheckByte(const QByteArray &text);

    // Sends a settings stream on the serial device; returns its bytes.
    QByteArray sendSettings(const QList<QByteArray> &lines, const StreamOptions &options = StreamOptions());
    // Sends back the items received.
    QByteArray echo(const StreamOptions &options = StreamOptions()) { return sendSettings(items(), options); }
    void sendRaw(const QByteArray &bytes);

    // Runs the event loop until pred() holds or timeoutMs passes.
    bool waitFor(const std::function<bool()> &pred, int timeoutMs);

signals:
    void changed();

private:
    QByteArray handleLine(const QByteArray &line);
    void onReadyRead();

    QSerialPort *m_serial = nullptr;
    QString m_error;
    Rule m_rule;
    QByteArray m_suffix = "\r";
    QByteArray m_partial;
    QByteArray m_received;
    QList<QByteArray> m_lines;
    QList<QByteArray> m_accepted;
    QByteArray m_current; // the line being attempted
    int m_attempt = 0;
    bool m_afterEof = false;
    int m_badChecks = 0;
    bool m_crcSeen = false;
    bool m_crcAgreed = false;
    QByteArray m_crcReceived;
    QByteArray m_crcOwn;
};

} // namespace vx::test
