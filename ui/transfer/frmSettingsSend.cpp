#include "ui/transfer/frmSettingsSend.h"

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

frmSettingsSend::frmSettingsSend(const QString &profilePath, QWidget *parent, SerialPort *port, IrDevice *infrared,
                                 Messenger *messenger)
    : QDialog(parent), m_profilePath(profilePath), m_port(port), m_infrared(infrared),
      m_messenger(messenger ? messenger : &Messenger::current())
{
    setObjectName(QStringLiteral("frmSettingsSend"));
    const TransferFormControls c = BuildTransferForm(this, TransferText::sendCaption(), TransferText::sendHint(),
                                                     QStringLiteral("38400"), QStringLiteral("cmdCancel"));
    CommType = c.CommType;
    cmbCommPort = c.cmbCommPort;
    cmbSpeed = c.cmbSpeed;
    Start = c.Start;
    cmdCancel = c.cancel;
    ProgressBar1 = c.ProgressBar1;
    Label1 = c.Label1;
    Label2 = c.Label2;
    Label3 = c.Label3;
    Label4 = c.Label4;

    UseTransferTransports(m_port, m_ownPort, m_infrared, m_ownInfrared);

    // A child of the window, so its answer timer is the window's Timer1.
    m_sender = new SettingsSender(nullptr, CrcLibrary::instance(), this);
    connect(m_sender, &SettingsSender::progress, ProgressBar1, &QProgressBar::setValue);
    connect(m_sender, &SettingsSender::finished, this, &frmSettingsSend::onFinished);

    connect(Start, &QPushButton::clicked, this, &frmSettingsSend::onStart);
    connect(cmdCancel, &QPushButton::clicked, this, &frmSettingsSend::onCancel);
}

frmSettingsSend::~frmSettingsSend()
{
    m_closing = true;
    m_sender->disconnect(this);
    if (m_sender->isRunning())
        m_sender->cancel();
    m_sender->setLink(nullptr);
    if (m_link)
        m_link->close();
    if (m_port->PortOpen())
        m_port->setPortOpen(false);
}

void frmSettingsSend::onStart()
{
    if (isRunning())
        return;
    const int portNumber = cmbCommPort->currentIndex() + 1;
    // A new link for this Start (the earlier one, if any, is done).
    m_sender->setLink(nullptr);
    m_link.reset();
    if (m_port->PortOpen())
        m_port->setPortOpen(false);
    if (CommType->isChecked()) {
        m_link = std::make_unique<InfraredSendLink>(m_infrared, portNumber, SpeedValue(cmbSpeed->currentText()));
    } else {
        m_link = std::make_unique<SerialSendLink>(m_port, portNumber, cmbSpeed->currentText());
        cmbCommPort->setEnabled(false);
    }
    Start->setEnabled(false);
    ProgressBar1->setValue(0);
    m_sender->setLink(m_link.get());
    m_sender->start(m_profilePath);
}

void frmSettingsSend::onFinished(SendOutcome outcome)
{
    m_outcome = outcome;
    QString text = m_sender->outcomeText();
    // The kept text says only that the port did not open: the port says
    // which device and why.
    if (outcome == SendOutcome::PortNotOpened && !m_port->errorString().isEmpty())
        text += QStringLiteral("\r\n\r\n") + m_port->errorString();
    if (!text.isEmpty())
        m_messenger->message(text, SendOutcomeIcon(outcome));
    if (m_closing)
        return;
    switch (outcome) {
    case SendOutcome::Success:
        accept();
        break;
    case SendOutcome::PortNotOpened:
    case SendOutcome::FileNotReadable:
    case SendOutcome::NoChecksum:
    case SendOutcome::CommaInValue:
        Start->setEnabled(true);
        cmbCommPort->setEnabled(true);
        break;
    case SendOutcome::LinkNotOpened:
    case SendOutcome::Stopped:
        QDialog::reject();
        break;
    default:
        break; // stays open, Start disabled, until Cancel
    }
}

void frmSettingsSend::onCancel()
{
    m_closing = true;
    if (m_sender->isRunning())
        m_sender->cancel(); // may still tell how the exchange ended
    if (m_link)
        m_link->close();
    if (m_port->PortOpen())
        m_port->setPortOpen(false);
    QDialog::reject();
}

void frmSettingsSend::reject()
{
    onCancel();
}

} // namespace vx
