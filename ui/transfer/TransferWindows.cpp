#include "ui/transfer/TransferWindows.h"

#include "platform/Messenger.h"
#include "profiles/ProfileSet.h"
#include "transfer/SettingsImport.h"
#include "transfer/SettingsLinks.h"
#include "transfer/SettingsSender.h"
#include "transfer/TransferMessages.h"
#include "transport/QtSerialPort.h"
#include "ui/transfer/frmSettingsReceive.h"
#include "ui/transfer/frmSettingsSend.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace vx {

void UseTransferTransports(SerialPort *&port, std::unique_ptr<SerialPort> &ownPort, IrDevice *&infrared,
                           std::unique_ptr<IrDevice> &ownInfrared)
{
    if (!port) {
        ownPort = std::make_unique<QtSerialPort>();
        port = ownPort.get();
    }
    port->setObjectName(QStringLiteral("MSComm1"));
    if (!infrared) {
        ownInfrared = std::make_unique<IrLibDevice>();
        infrared = ownInfrared.get();
    }
}

TransferFormControls BuildTransferForm(QDialog *dialog, const QString &caption, const QString &hint,
                                       const QString &defaultSpeed, const QString &cancelName)
{
    TransferFormControls c;
    dialog->setWindowTitle(caption);
    dialog->setModal(true);

    c.Label3 = new QLabel(hint, dialog);
    c.Label3->setObjectName(QStringLiteral("Label3"));
    c.Label3->setWordWrap(true);
    QFont bold = c.Label3->font();
    bold.setBold(true);
    c.Label3->setFont(bold);

    c.CommType = new QCheckBox(QStringLiteral("IR CRADLE"), dialog);
    c.CommType->setObjectName(QStringLiteral("CommType"));

    c.Label2 = new QLabel(QStringLiteral("Port"), dialog);
    c.Label2->setObjectName(QStringLiteral("Label2"));
    c.cmbCommPort = new QComboBox(dialog);
    c.cmbCommPort->setObjectName(QStringLiteral("cmbCommPort"));
    for (int i = 1; i <= 8; ++i)
        c.cmbCommPort->addItem(QStringLiteral("Com%1").arg(i));
    c.cmbCommPort->setCurrentIndex(0);

    c.Label4 = new QLabel(QStringLiteral("Speed"), dialog);
    c.Label4->setObjectName(QStringLiteral("Label4"));
    c.cmbSpeed = new QComboBox(dialog);
    c.cmbSpeed->setObjectName(QStringLiteral("cmbSpeed"));
    c.cmbSpeed->addItems({QStringLiteral("9600"), QStringLiteral("19200"), QStringLiteral("38400"),
                          QStringLiteral("57600"), QStringLiteral("115200")});
    c.cmbSpeed->setCurrentText(defaultSpeed);

    c.Label1 = new QLabel(QStringLiteral("Status"), dialog);
    c.Label1->setObjectName(QStringLiteral("Label1"));
    c.ProgressBar1 = new QProgressBar(dialog);
    c.ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    c.ProgressBar1->setRange(0, 100);
    c.ProgressBar1->setValue(0);
    c.ProgressBar1->setTextVisible(false);

    c.Start = new QPushButton(QStringLiteral("Start"), dialog);
    c.Start->setObjectName(QStringLiteral("Start"));
    // Enter starts nothing: a transfer to or from a terminal begins only
    // on a click.
    c.Start->setAutoDefault(false);
    c.cancel = new QPushButton(QStringLiteral("Cancel"), dialog);
    c.cancel->setObjectName(cancelName);
    c.cancel->setAutoDefault(false);

    auto *grid = new QGridLayout(dialog);
    grid->addWidget(c.Label3, 0, 0, 1, 4);
    grid->addWidget(c.CommType, 1, 0, 1, 4);
    grid->addWidget(c.Label2, 2, 0);
    grid->addWidget(c.cmbCommPort, 2, 1);
    grid->addWidget(c.Label4, 2, 2);
    grid->addWidget(c.cmbSpeed, 2, 3);
    grid->addWidget(c.Label1, 3, 0);
    grid->addWidget(c.ProgressBar1, 3, 1, 1, 3);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(c.Start);
    buttons->addWidget(c.cancel);
    grid->addLayout(buttons, 4, 0, 1, 4);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    dialog->setMinimumWidth(440);
    return c;
}

bool SendProfileToTerminal(QWidget *parent, Messenger &messenger)
{
    const QString path = messenger.openFileName(TransferText::sendDialogTitle(), TransferText::profileFilter());
    if (path.isEmpty())
        return false;
    // Read and checked as every use reads a profile; a value with a comma is
    // refused by the window's Start, which names the keys.
    QByteArray content;
    if (const ProfileCheck check = CheckProfileForSending(path, &content); !check.ok && check.commaKeys.isEmpty()) {
        if (!QFileInfo::exists(path))
            messenger.message(TransferText::profileMissing(), MsgIcon::Information);
        else
            messenger.message(check.refusal, MsgIcon::Critical);
        return false;
    }
    profileWorkspace().ProfileFileName = path;
    frmSettingsSend window(path, parent, nullptr, nullptr, &messenger);
    window.exec();
    return true;
}

bool ReceiveProfileFromTerminal(QWidget *parent, ProfileSet &set, Messenger &messenger, QString *target)
{
    const QString path = messenger.saveFileName(TransferText::receiveDialogTitle(), TransferText::profileFilter());
    if (target)
        *target = path;
    if (path.isEmpty())
        return false;
    frmSettingsReceive window(parent, nullptr, nullptr, &messenger);
    window.exec();
    return CompleteSettingsReception(window.outcome(), window.receiver().tempPath(), path, &set, messenger)
           == ImportResult::Imported;
}

} // namespace vx
