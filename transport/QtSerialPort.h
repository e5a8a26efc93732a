#pragma once

#include "transport/SerialPort.h"

#include <QPointer>
#include <QSerialPort>

namespace vx {

// The line settings a settings text such as "9600,N,8,1" asks for.
struct SerialLineSettings {
    qint32 speed = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

// Reads a settings text: speed, parity letter (N O E M S, either case), data
// bits (5 to 8), stop bits ("1", "1,5" or "1.5", "2"), separated by commas,
// blanks around each part ignored. 1.5 stop bits exist only with 5 data bits
// (a UART sends 1.5 stop bits when asked for 2 in 5-bit mode). Returns false
// with *error saying which part is wrong.
bool parseSerialSettings(const QString &text, SerialLineSettings *out, QString *error);

// The serial-port object over Qt SerialPort. "ComN" is the device that
// Paths::comDevice(N) names. Settings, handshaking and the RTS/DTR lines are
// applied when the port opens and at once while it is open. A
// pseudo-terminal carries 8-bit bytes whatever the settings say: its data
// bits and parity are checked for validity only, as it has no line.
//
// Receiving: whatever the device delivers is kept until read, whatever the
// buffer sizes say (nothing received is dropped). With RThreshold above 0,
// OnComm is raised with CommEvent 2 each time characters arrive, never
// inside its own handler. When a handler returns with characters still
// waiting, OnComm is raised again (from the event loop) if characters
// arrived meanwhile or the handler took some, so a handler may take one
// character per event; a handler that takes nothing is not called again
// until more characters arrive. With RThreshold 0 (the initial value) no
// receive events are raised and the program polls Input().
class QtSerialPort : public SerialPort {
    Q_OBJECT
public:
    explicit QtSerialPort(QObject *parent = nullptr);
    ~QtSerialPort() override;

    void setCommPort(int port) override;
    int CommPort() const override { return m_commPort; }
    void setSettings(const QString &settings) override;
    QString Settings() const override { return m_settings; }
    void setHandshaking(int mode) override;
    int Handshaking() const override { return m_handshaking; }
    void setRTSEnable(bool on) override;
    bool RTSEnable() const override { return m_rts; }
    void setDTREnable(bool on) override;
    bool DTREnable() const override { return m_dtr; }
    void setInBufferSize(int size) override { m_inBufferSize = size; }
    void setOutBufferSize(int size) override { m_outBufferSize = size; }
    void setRThreshold(int count) override { m_rThreshold = count; }
    void setSThreshold(int count) override { m_sThreshold = count; }
    void setInputLen(int len) override { m_inputLen = len < 0 ? 0 : len; }
    int InputLen() const override { return m_inputLen; }

    QByteArray Input() override;
    void Output(const QByteArray &text) override;
    int InBufferCount() const override;
    void setInBufferCount(int count) override;
    int OutBufferCount() const override;

    bool setPortOpen(bool open) override;
    bool PortOpen() const override { return m_open; }
    QString errorString() const override { return m_error; }

    int CommEvent() const override { return m_commEvent; }

    // The device the port was last opened on (empty before the first open).
    QString deviceName() const { return m_device; }

private:
    void onReadyRead();
    void raiseReceive();
    void onPortError(QSerialPort::SerialPortError error);
    bool applyLineSettings(const SerialLineSettings &line);
    void applyFlowControl();
    void applyModemLines();
    qint64 receivedTotal() const;

    QSerialPort *m_port;
    int m_commPort = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    int m_handshaking = 0;
    bool m_rts = false;
    bool m_dtr = true;
    int m_inBufferSize = 1024;
    int m_outBufferSize = 512;
    int m_rThreshold = 0;
    int m_sThreshold = 0;
    int m_inputLen = 0;
    bool m_open = false;
    bool m_pseudoTerminal = false;
    int m_commEvent = 0;
    QString m_error;
    QString m_device;
    // Characters taken out of the receive buffer since the port opened; with
    // bytesAvailable() it tells whether anything arrived during a handler.
    qint64 m_consumed = 0;
    bool m_raising = false;
    bool m_reraiseQueued = false;
};

} // namespace vx
