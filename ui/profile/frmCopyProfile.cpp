#include "ui/profile/frmCopyProfile.h"

#include "platform/Messenger.h"
#include "profiles/ProfileEditorState.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace vx {

frmCopyProfile::frmCopyProfile(ProfileEditorState &state, Messenger &messenger, QWidget *parent)
    : QDialog(parent), m_state(state), m_messenger(messenger)
{
    setObjectName(QStringLiteral("frmCopyProfile"));
    setWindowTitle(QStringLiteral("Copy Profile"));
    setModal(true);

    auto list = [this](const QString &name) {
        auto *box = new QComboBox(this);
        box->setObjectName(name);
        for (int n = 1; n <= 5; ++n)
            box->addItem(QStringLiteral("Profile %1").arg(n));
        box->setCurrentIndex(m_state.currentFunction());
        return box;
    };
    cmbProfileFrom = list(QStringLiteral("cmbProfileFrom"));
    cmbProfileTo = list(QStringLiteral("cmbProfileTo"));
    lblArrow = new QLabel(QStringLiteral(">>"), this);
    lblArrow->setObjectName(QStringLiteral("lblArrow"));
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setAutoDefault(false);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    // The copy cannot be undone: Enter cancels.
    cmdCancel->setDefault(true);

    auto *grid = new QGridLayout(this);
    grid->addWidget(new QLabel(QStringLiteral("From Profile"), this), 0, 0);
    grid->addWidget(new QLabel(QStringLiteral("To Profile"), this), 0, 2);
    grid->addWidget(cmbProfileFrom, 1, 0);
    grid->addWidget(lblArrow, 1, 1, Qt::AlignCenter);
    grid->addWidget(cmbProfileTo, 1, 2);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    grid->addLayout(buttons, 2, 0, 1, 3);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(2, 1);

    connect(cmdOK, &QPushButton::clicked, this, &frmCopyProfile::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void frmCopyProfile::cmdOK_Click()
{
    const int from = cmbProfileFrom->currentIndex();
    const int to = cmbProfileTo->currentIndex();
    const EditVerdict check = ProfileEditorState::CheckCopy(from, to);
    if (!check.accepted) {
        m_messenger.message(check.message, MsgIcon::Information, MsgButtons::Ok, windowTitle());
        return;
    }
    if (m_messenger.message(ProfileEditorState::CopyWarningText(from, to), MsgIcon::Critical, MsgButtons::OkCancel,
                            ProfileEditorState::CopyWarningTitle())
        != MsgAnswer::Ok)
        return;
    m_state.CopyFunction(from, to);
    accept();
}

} // namespace vx
