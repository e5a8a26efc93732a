#pragma once

#include "transfer/SettingsSender.h"

#include <QDialog>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace vx {

class IrDevice;
class Messenger;
class SerialPort;

// "SENDING Settings": sends one profile file to a terminal over the serial
// port or the infrared cradle. Start runs the exchange; the outcome is told
// in a message; a success closes the window, any other end leaves it open
// (Start stays disabled) until Cancel.
class frmSettingsSend : public QDialog {
    Q_OBJECT
public:
    // The port, infrared device and messenger default to the real ones
    // (a Qt serial port, libIrLib.so, the program's messenger).
    explicit frmSettingsSend(const QString &profilePath, QWidget *parent = nullptr, SerialPort *port = nullptr,
                             IrDevice *infrared = nullptr, Messenger *messenger = nullptr);
    ~frmSettingsSend() override;

    QString profilePath() const { return m_profilePath; }
    // How the last exchange ended (Stopped before any).
    SendOutcome outcome() const { return m_outcome; }
    bool isRunning() const { return m_sender->isRunning(); }

    QCheckBox *CommType;
    QComboBox *cmbCommPort;
    QComboBox *cmbSpeed;
    QPushButton *Start;
    QPushButton *cmdCancel;
    QProgressBar *ProgressBar1;
    QLabel *Label1;
    QLabel *Label2;
    QLabel *Label3;
    QLabel *Label4;

public slots:
    void reject() override; // Cancel, Escape and the window's close button

private:
    void onStart();
    void onCancel();
    void onFinished(SendOutcome outcome);

    QString m_profilePath;
    SerialPort *m_port;
    std::unique_ptr<SerialPort> m_ownPort;
    IrDevice *m_infrared;
    std::unique_ptr<IrDevice> m_ownInfrared;
    Messenger *m_messenger;
    std::unique_ptr<SettingsSendLink> m_link;
    SettingsSender *m_sender;
    SendOutcome m_outcome = SendOutcome::Stopped;
    bool m_closing = false;
};

} // namespace vx
