#include "ui/transfer/frmSettingsReceive.h"

#include "crclib/CrcLibrary.h"
#include "platform/Messenger.h"
#include "transfer/SettingsLinks.h"
#include "transfer/TransferMessages.h"
#include "transport/SerialPort.h"
#include "ui/transfer/TransferWindows.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace vx {

frmSettingsReceive::frmSettingsReceive(QWidget *parent, SerialPort *port, IrDevice *infrared, Messenger *messenger)
    : QDialog(parent), m_port(port), m_infrared(infrared), m_messenger(messenger ? messenger : &Messenger::current())
{
    setObjectName(QStringLiteral("frmSettingsReceive"));
    const TransferFormControls c = BuildTransferForm(this, TransferText::receiveCaption(), TransferText::receiveHint(),
                                                     QStringLiteral("57600"), QStringLiteral("Command1"));
    CommType = c.CommType;
    cmbCommPort = c.cmbCommPort;
    cmbSpeed = c.cmbSpeed;
    Start = c.Start;
    Command1 = c.cancel;
    ProgressBar1 = c.ProgressBar1;
    Label1 = c.Label1;
    Label2 = c.Label2;
    Label3 = c.Label3;
    Label4 = c.Label4;

    UseTransferTransports(m_port, m_ownPort, m_infrared, m_ownInfrared);
    m_receiver = std::make_unique<SettingsReceiver>(CrcLibrary::instance());
    m_receiver->setMessenger(m_messenger);
    connect(m_receiver.get(), &SettingsReceiver::progress, ProgressBar1, &QProgressBar::setValue);
    connect(m_receiver.get(), &SettingsReceiver::finished, this, &frmSettingsReceive::onFinished);

    connect(Start, &QPushButton::clicked, this, &frmSettingsReceive::onStart);
    connect(Command1, &QPushButton::clicked, this, &frmSettingsReceive::reject);
}

frmSettingsReceive::~frmSettingsReceive()
{
    m_closing = true;
    m_receiver->disconnect(this);
    if (m_receiver->isRunning())
        m_receiver->cancel();
    if (m_port->PortOpen())
        m_port->setPortOpen(false);
}

void frmSettingsReceive::onStart()
{
    if (m_receiver->isRunning())
        return;
    const int portNumber = cmbCommPort->currentIndex() + 1;
    Start->setEnabled(false);
    cmbCommPort->setEnabled(false);
    ProgressBar1->setValue(0);
    if (CommType->isChecked())
        m_receiver->startInfrared(m_infrared, portNumber, SpeedValue(cmbSpeed->currentText()));
    else
        m_receiver->startSerial(m_port, portNumber, cmbSpeed->currentText());
}

void frmSettingsReceive::onFinished(ReceiveOutcome outcome)
{
    switch (outcome) {
    case ReceiveOutcome::PortNotOpened:
    case ReceiveOutcome::TempFileError:
    case ReceiveOutcome::NoChecksum:
        // Said now; back to idle. (A temporary-file error was shown by the
        // reception itself.)
        // The kept text says only that the port did not open: the port says
        // which device and why.
        if (outcome == ReceiveOutcome::PortNotOpened && !m_port->errorString().isEmpty())
            m_messenger->message(ReceiveOutcomeText(outcome) + QStringLiteral("\r\n\r\n") + m_port->errorString(),
                                 ReceiveOutcomeIcon(outcome));
        else if (outcome != ReceiveOutcome::TempFileError)
            m_messenger->message(ReceiveOutcomeText(outcome), ReceiveOutcomeIcon(outcome));
        Start->setEnabled(true);
        cmbCommPort->setEnabled(true);
        return;
    default:
        break;
    }
    m_outcome = outcome;
    if (!m_closing)
        accept();
}

void frmSettingsReceive::reject()
{
    m_closing = true;
    if (m_receiver->isRunning())
        m_receiver->cancel();
    if (m_port->PortOpen())
        m_port->setPortOpen(false);
    QDialog::reject();
}

} // namespace vx
