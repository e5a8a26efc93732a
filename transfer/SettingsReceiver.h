#pragma once

#include "platform/Messenger.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

namespace vx {

class Clock;
class CrcLibrary;
class IrDevice;
class SerialPort;

// How a reception of a terminal's settings ended.
enum class ReceiveOutcome {
    Accepted,          // the settings arrived whole and may be imported
    CrcMismatch,       // the terminal's CRC text is not the one computed
    CancelledAfterEof, // cancelled after "EOF": reported as an error
    Cancelled,         // cancelled before "EOF": nothing is said
    NothingReceived,   // infrared: no line (other than blanks) arrived
    PortNotOpened,     // the serial port could not be opened
    TempFileError,     // the temporary file cannot be written
    TooLarge,          // more than a profile's size arrived: ended, nothing imported
    TooLong,           // the terminal took too long after its first byte: ended
    HungUp,            // the line hung up before the CRC line
    NoChecksum,        // the checksum library is not available
};

QString ReceiveOutcomeText(ReceiveOutcome outcome);
MsgIcon ReceiveOutcomeIcon(ReceiveOutcome outcome);

// Receives a terminal's settings: the PC only listens. Every line before
// "EOF" (and "EOF" itself) goes into the temporary file VDX.tmp of the data
// folder; the line after "EOF" is the terminal's CRC text, compared with the
// CRC-32 of the items of that file.
//
// Over the serial port the reception waits for the terminal's first byte
// without a limit; from then on it ends after kMaxReceivedBytes or
// kMaxReceiveMs, or when the line hangs up. VDX.tmp is removed on every end
// but an accepted reception (whose import removes it). Over the infrared cradle it waits for the first
// bytes (until Cancel), then ends at "EOF" or after one second without data;
// there is no CRC comparison on that path.
class SettingsReceiver : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kInfraredQuietMs = 1000;
    // A reception ends when more than a profile's size arrived ...
    static constexpr qint64 kMaxReceivedBytes = 1024 * 1024;
    // ... or when it takes longer than this from the terminal's first byte
    // (a 40 KB profile takes under a minute at 9600 bits per second). The
    // wait for that first byte has no limit: the user may start the
    // reception and then walk to the terminal.
    static constexpr qint64 kMaxReceiveMs = 10 * 60 * 1000;
    // A longer line (no carriage return) is cut; the CRC then tells.
    static constexpr int kMaxLineLength = 65536;

    explicit SettingsReceiver(CrcLibrary &crc, QObject *parent = nullptr);
    SettingsReceiver(CrcLibrary &crc, Clock &clock, QObject *parent = nullptr);
    ~SettingsReceiver() override;

    // Default: VDX.tmp in the data folder.
    void setTempPath(const QString &path) { m_tempPath = path; }
    QString tempPath() const { return m_tempPath; }
    // Where errors while receiving are shown; default the program's messenger.
    void setMessenger(Messenger *messenger) { m_messenger = messenger; }

    // speed: the speed text of the window ("57600"). The port is not owned.
    void startSerial(SerialPort *port, int portNumber, const QString &speed);
    // The device is not owned.
    void startInfrared(IrDevice *device, int portNumber, int speed);
    void cancel();

    bool isRunning() const { return m_running; }
    ReceiveOutcome outcome() const { return m_outcome; }
    // "" until "EOF" was stored, then "EOF", then the terminal's CRC text.
    QByteArray expectedCrc() const { return m_expected; }
    // "" until the reception is complete, then the CRC computed here.
    QByteArray computedCrc() const { return m_computed; }
    int linesReceived() const { return m_lines; }
    // The message for a reception that ended on a bound or a hang-up.
    QString failureText() const;

signals:
    // ProgressBar1: advanced by one (modulo 100) for every line stored.
    void progress(int value);
    void lineReceived(const QByteArray &line);
    void finished(vx::ReceiveOutcome outcome);

private:
    bool begin();
    void onComm();
    void handleChar(char c);
    void storeLine(const QByteArray &line);
    void pollInfrared();
    void endInfrared();
    QByteArray computeCrc();
    void onPortFailed(const QString &why);
    void checkDeadline();
    void endOnBound(ReceiveOutcome outcome);
    bool countReceived(qsizetype bytes);
    void finish(ReceiveOutcome outcome);
    Messenger &messenger() const;

    CrcLibrary &m_crc;
    Clock &m_clock;
    QString m_tempPath;
    Messenger *m_messenger = nullptr;
    QFile m_temp;
    bool m_madeTemp = false; // this receiver made VDX.tmp
    bool m_writeErrorShown = false;

    QPointer<SerialPort> m_port;
    IrDevice *m_device = nullptr;
    QTimer m_poll;
    QTimer m_deadlineTick; // looks at the clock while a reception runs
    qint64 m_firstByteAt = -1;
    qint64 m_received = 0;
    QString m_failure; // the hang-up's description
    bool m_gotBytes = false;
    qint64 m_lastData = 0;

    bool m_running = false;
    ReceiveOutcome m_outcome = ReceiveOutcome::Cancelled;
    QByteArray m_line;
    QByteArray m_expected;
    QByteArray m_computed;
    int m_lines = 0;
    int m_contentLines = 0; // lines that are not blank
    int m_progress = 0;
};

} // namespace vx

Q_DECLARE_METATYPE(vx::ReceiveOutcome)
