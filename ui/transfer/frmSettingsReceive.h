#pragma once

#include "transfer/SettingsReceiver.h"

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

// "RECEIVING Settings": listens for a terminal's settings on the serial port
// or the infrared cradle. Start begins the reception; the window closes when
// it is complete or on Cancel. What happens with the settings afterwards is
// up to the caller (CompleteSettingsReception), by outcome().
class frmSettingsReceive : public QDialog {
    Q_OBJECT
public:
    explicit frmSettingsReceive(QWidget *parent = nullptr, SerialPort *port = nullptr, IrDevice *infrared = nullptr,
                                Messenger *messenger = nullptr);
    ~frmSettingsReceive() override;

    // How the reception ended; Cancelled when none ran to its end.
    ReceiveOutcome outcome() const { return m_outcome; }
    SettingsReceiver &receiver() { return *m_receiver; }

    QCheckBox *CommType;
    QComboBox *cmbCommPort;
    QComboBox *cmbSpeed;
    QPushButton *Start;
    QPushButton *Command1;
    QProgressBar *ProgressBar1;
    QLabel *Label1;
    QLabel *Label2;
    QLabel *Label3;
    QLabel *Label4;

public slots:
    void reject() override; // Cancel, Escape and the window's close button

private:
    void onStart();
    void onFinished(ReceiveOutcome outcome);

    SerialPort *m_port;
    std::unique_ptr<SerialPort> m_ownPort;
    IrDevice *m_infrared;
    std::unique_ptr<IrDevice> m_ownInfrared;
    Messenger *m_messenger;
    std::unique_ptr<SettingsReceiver> m_receiver;
    ReceiveOutcome m_outcome = ReceiveOutcome::Cancelled;
    bool m_closing = false;
};

} // namespace vx
