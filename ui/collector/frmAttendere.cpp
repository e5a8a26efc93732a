#include "ui/collector/frmAttendere.h"

#include "collector/Collector.h"
#include "settings/Settings.h"
#include "ui/AppIcon.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

namespace vx {

frmAttendere::frmAttendere(Collector &collector, int channel, QWidget *parent)
    : QDialog(parent), Channel(channel), m_collector(collector)
{
    setObjectName(QStringLiteral("frmAttendere"));
    setWindowTitle(QStringLiteral("Elaborazione in corso..."));
    setWindowIcon(AppIcon());
    setModal(true);
    setWindowFlags((windowFlags() | Qt::CustomizeWindowHint | Qt::WindowTitleHint) & ~Qt::WindowContextHelpButtonHint);

    auto *icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(32, 32));
    lblAttendere = new QLabel(QStringLiteral("Attendere prego...settaggio porta COM in corso..."), this);
    lblAttendere->setObjectName(QStringLiteral("lblAttendere"));

    auto *channelLabel = new QLabel(tr("Channel %1").arg(channel), this);
    channelLabel->setObjectName(QStringLiteral("lblChannel"));
    QFont small = channelLabel->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    channelLabel->setFont(small);

    cmdAnnulla = new QPushButton(tr("Cancel"), this);
    cmdAnnulla->setObjectName(QStringLiteral("cmdAnnulla"));
    cmdAnnulla->setAutoDefault(false);
    connect(cmdAnnulla, &QPushButton::clicked, this, &frmAttendere::cancel);

    auto *text = new QVBoxLayout;
    text->addWidget(lblAttendere);
    text->addWidget(channelLabel);
    auto *top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addSpacing(8);
    top->addLayout(text, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdAnnulla);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void frmAttendere::OpenChannelWait(Collector &collector, int n, QWidget *parent)
{
    if (collector.OpeningCancelled)
        return;
    // A TCP channel that connects in the background takes no time here:
    // its panel says that it connects, and the wait window is not needed.
    if (collector.openInBackground() && collector.settings().Com[n].ConnType.trimmed() == QLatin1String("TCP")) {
        collector.SetComm(n);
        return;
    }
    frmAttendere wait(collector, n, parent);
    wait.exec();
}

void frmAttendere::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (m_started)
        return;
    m_started = true;
    // Opened from the event loop, once the window is on screen.
    QTimer::singleShot(0, this, &frmAttendere::openChannel);
}

void frmAttendere::openChannel()
{
    if (!m_collector.OpeningCancelled)
        m_collector.SetComm(Channel);
    m_done = true;
    accept();
}

void frmAttendere::cancel()
{
    m_collector.OpeningCancelled = true;
    cmdAnnulla->setEnabled(false);
}

// Closing the window or pressing Escape cancels like the button; the window
// stays until its channel's attempt has ended.
void frmAttendere::reject()
{
    if (m_done) {
        QDialog::reject();
        return;
    }
    cancel();
}

void frmAttendere::closeEvent(QCloseEvent *event)
{
    if (m_done) {
        QDialog::closeEvent(event);
        return;
    }
    cancel();
    event->ignore();
}

} // namespace vx
