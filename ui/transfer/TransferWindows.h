#pragma once

#include <QString>
#include <memory>

class QCheckBox;
class QComboBox;
class QDialog;
class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;

namespace vx {

class IrDevice;
class Messenger;
class SerialPort;
struct ProfileSet;

// The controls the send and the receive window share, laid out the same way.
struct TransferFormControls {
    QCheckBox *CommType = nullptr;
    QComboBox *cmbCommPort = nullptr;
    QComboBox *cmbSpeed = nullptr;
    QPushButton *Start = nullptr;
    QPushButton *cancel = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label4 = nullptr;
};

// Builds the form: "IR CRADLE", ports Com1..Com8 (Com1 selected), speeds
// 9600..115200 (defaultSpeed selected), Start and the Cancel button (named
// cancelName), the progress bar (0..100) and the labels.
TransferFormControls BuildTransferForm(QDialog *dialog, const QString &caption, const QString &hint,
                                       const QString &defaultSpeed, const QString &cancelName);

// The serial port and infrared link a transfer window uses: the ones handed
// in (tests), else a Qt serial port and libIrLib.so, owned by the window. The
// port is named MSComm1 either way.
void UseTransferTransports(SerialPort *&port, std::unique_ptr<SerialPort> &ownPort, IrDevice *&infrared,
                           std::unique_ptr<IrDevice> &ownInfrared);

// The profile editor's "Send TO term": asks for a profile file ("Send
// profile..."), says "Profile Settings not existent" when it does not
// exist, keeps the path as the workspace's ProfileFileName and opens the
// send window modally. False when nothing was sent (cancelled or missing).
bool SendProfileToTerminal(QWidget *parent, Messenger &messenger);

// The profile editor's "Receive FROM term": asks for the target file
// ("Receive As..."), opens the receive window modally, then tells the
// outcome, offers the import and reads the imported file into `set`. The
// chosen target is replaced only by a successful import. True when `set`
// now holds the received profile; *target receives the chosen path.
bool ReceiveProfileFromTerminal(QWidget *parent, ProfileSet &set, Messenger &messenger, QString *target = nullptr);

} // namespace vx
