#pragma once

#include "platform/Messenger.h"
#include "transfer/SettingsLinks.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

namespace vx {

class Clock;
class CrcLibrary;

// How an exchange of the settings send ended.
enum class SendOutcome {
    Success,         // the terminal's CRC agreed
    ChecksumError,   // the terminal answered "NOK" to the CRC line
    Timeout,         // no answer within 10 seconds
    Failure,         // a line refused twice, or the port closed during the items
    PortNotOpened,   // the serial port could not be opened
    LinkNotOpened,   // the infrared link did not open: nothing is said
    Stopped,         // cancelled, ended at the CRC line: nothing is said
    FileNotReadable, // the profile file is missing, cannot be read or is no profile
    NoChecksum,      // the checksum library is not available
    CommaInValue,    // a value of the profile holds a comma: nothing is sent
};

// The message that tells the user the outcome; empty where nothing is said.
QString SendOutcomeText(SendOutcome outcome);
MsgIcon SendOutcomeIcon(SendOutcome outcome);

// A profile file as the send takes it: read and checked as every use reads
// a profile (a regular file of bounded size, text with KEY=VALUE lines,
// numbers where numbers belong), and no value holding a comma. When not ok,
// refusal names the file and the reason (the keys that hold a comma).
struct ProfileCheck {
    bool ok = false;
    QString refusal;
    QList<QByteArray> commaKeys;
};
ProfileCheck CheckProfileForSending(const QString &path, QByteArray *content);

// Sends a profile file to a terminal: "SETTINGS", "BOF", every item of the
// file, "EOF", each acknowledged by the terminal, then the CRC-32 of all of
// them, which the terminal answers with "ACK" when its own agrees.
//
// Each line gets two attempts: a "NAK" sends it once more, a second one ends
// the exchange. The terminal has 10 seconds (on the injectable clock) to
// answer a line. Everything runs on the event loop: start() returns at once
// and finished() tells the outcome.
class SettingsSender : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kAnswerTimeoutMs = 10000;
    static constexpr int kAttempts = 2;

    // The link is not owned (it may be given later, see setLink); the clock
    // defaults to the program's clock.
    SettingsSender(SettingsSendLink *link, CrcLibrary &crc, QObject *parent = nullptr);
    SettingsSender(SettingsSendLink *link, CrcLibrary &crc, Clock &clock, QObject *parent = nullptr);
    ~SettingsSender() override;

    // The transport of the next start() (not owned); not while running.
    void setLink(SettingsSendLink *link);

    void start(const QString &profilePath);
    // The user's Cancel: closes the link; the exchange then ends as a closed
    // port makes it end (failure at the next item, silently at the CRC line).
    void cancel();

    bool isRunning() const { return m_running; }
    SendOutcome outcome() const { return m_outcome; }
    // The message for the outcome, naming the keys of a refused profile.
    QString outcomeText() const;
    // Items of the file that travel (after the link's filter).
    int itemCount() const { return m_itemCount; }
    int itemsAccepted() const { return m_itemsAccepted; }
    // The CRC line sent (8 upper-case hex digits), once it was made.
    QByteArray crcText() const { return m_crcText; }
    // The 10-second answer timer, "Timer1" (it looks at the clock while a
    // line waits for its answer).
    QTimer *answerTimer() { return m_tick; }

signals:
    // ProgressBar1: advanced by one (modulo 100) for every item.
    void progress(int value);
    // A line goes out: its text and the attempt (1 or 2).
    void lineSent(const QByteArray &text, int attempt);
    void finished(vx::SendOutcome outcome);

private:
    enum class Kind { Word, Item, Crc };
    struct Line {
        Kind kind;
        QByteArray text;
    };

    void next();
    void sendCurrent();
    void onAnswer(SettingsSendLink::Answer answer);
    void onTick();
    void finish(SendOutcome outcome);

    SettingsSendLink *m_link = nullptr;
    CrcLibrary &m_crc;
    Clock &m_clock;
    QList<Line> m_lines;
    qsizetype m_index = 0;
    int m_attemptsLeft = 0;
    bool m_waiting = false;
    bool m_running = false;
    qint64 m_deadline = 0;
    uint32_t m_register = 0;
    int m_progress = 0;
    int m_itemCount = 0;
    int m_itemsAccepted = 0;
    QByteArray m_crcText;
    QList<QByteArray> m_commaKeys;
    QString m_refusal; // why the file was refused, naming it
    QTimer *m_tick;    // a child: a window finds it as its Timer1
    SendOutcome m_outcome = SendOutcome::Stopped;
};

} // namespace vx

Q_DECLARE_METATYPE(vx::SendOutcome)
