#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <optional>

namespace vx {

class SerialPort;

// The infrared cradle library as the transfer uses it: a seam so the protocol
// can also run against a scripted link. IrLibDevice is the real one.
class IrDevice {
public:
    virtual ~IrDevice() = default;
    // Above 0 when the link on that port is open.
    virtual int open(int port, int speed) = 0;
    virtual void write(const QByteArray &text) = 0;
    // What arrived since the last call; empty at once when nothing did.
    virtual QByteArray read() = 0;
    virtual void close() = 0;
};

// Calls libIrLib.so through the program's binding.
class IrLibDevice : public IrDevice {
public:
    int open(int port, int speed) override;
    void write(const QByteArray &text) override;
    QByteArray read() override;
    void close() override;
};

// How the sender reaches the terminal. send() puts one framed line on its
// way; the answer to it comes back through answered(). The link decides what
// counts as which answer.
class SettingsSendLink : public QObject {
    Q_OBJECT
public:
    enum class Answer { Ack, Nak, Nok };
    // Whether the link opened; when not, how the sender ends.
    enum class OpenResult { Opened, PortNotOpened, LinkNotOpened };

    using QObject::QObject;
    ~SettingsSendLink() override = default;

    virtual OpenResult open() = 0;
    virtual bool isOpen() const = 0;
    virtual void close() = 0;
    // Sends a framed line. finalLine marks the CRC line, the only one to
    // which "NOK" is an answer.
    virtual void send(const QByteArray &framed, bool finalLine) = 0;
    // Stops looking at answers (the exchange has ended).
    virtual void stopListening() = 0;
    // Called once when the exchange ends: the link closes what it must.
    virtual void exchangeEnded(bool success) = 0;
    // Items this link does not carry.
    virtual bool carries(const QByteArray &item) const
    {
        Q_UNUSED(item);
        return true;
    }
    // A short description for progress output ("Com1 (/dev/ttyS0) at 38400").
    virtual QString description() const = 0;

signals:
    void answered(vx::SettingsSendLink::Answer answer);
};

// Over the serial port: the framed line goes out one character at a time,
// each after the previous one has left the transmit buffer; answers are
// "ACK", "NAK" or "NOK" lines ended by a carriage return. A complete line
// that is none of them is dropped, so a stray line never hides the answers
// that follow it.
class SerialSendLink : public SettingsSendLink {
    Q_OBJECT
public:
    // speed: the speed text of the window ("38400"); the port is not owned.
    SerialSendLink(SerialPort *port, int portNumber, QString speed, QObject *parent = nullptr);

    OpenResult open() override;
    bool isOpen() const override;
    void close() override;
    void send(const QByteArray &framed, bool finalLine) override;
    void stopListening() override;
    void exchangeEnded(bool success) override;
    QString description() const override;

    // A received text longer than this without a carriage return is dropped.
    static constexpr int kMaxAnswerLength = 4096;

private:
    void onComm();
    void writeNext();
    void takeAnswers();

    QPointer<SerialPort> m_port;
    int m_portNumber;
    QString m_speed;
    QByteArray m_outgoing; // the framed line being written
    qsizetype m_next = 0;  // its next character
    bool m_writing = false;
    bool m_final = false;
    bool m_listening = false;
    bool m_awaiting = false; // the whole line is out: the next answer is its answer
    QByteArray m_received;
    QTimer m_drainPoll;   // looks at the transmit buffer again
    int m_drainWaits = 0; // looks so far for the current character
};

// Over the infrared cradle: the framed line goes out in one write; the answer
// is collected by polling the library until more than two characters (blanks
// trimmed) have arrived, and is then "ACK", "NOK" (to the CRC line) or a
// refusal. Items beginning with "MISC.TERMTYPE" do not travel this way.
class InfraredSendLink : public SettingsSendLink {
    Q_OBJECT
public:
    InfraredSendLink(IrDevice *device, int portNumber, int speed, QObject *parent = nullptr);

    OpenResult open() override;
    bool isOpen() const override { return m_open; }
    void close() override;
    void send(const QByteArray &framed, bool finalLine) override;
    void stopListening() override;
    void exchangeEnded(bool success) override;
    bool carries(const QByteArray &item) const override;
    QString description() const override;

private:
    void poll();

    IrDevice *m_device;
    int m_portNumber;
    int m_speed;
    bool m_open = false;
    bool m_final = false;
    bool m_awaiting = false;
    QByteArray m_received;
    QTimer m_poll;
    int m_pollInterval = 1;
};

// The numeric value of a speed text: its leading digits after blanks
// ("38400", " 9600 baud"); 0 when there are none.
int SpeedValue(const QString &text);

} // namespace vx
