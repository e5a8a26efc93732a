#include "ui/collector/frmAbout.h"

#include "ui/AppIcon.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace vx {

frmAbout::frmAbout(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(tr("About Vendrix"));
    setWindowIcon(AppIcon());

    auto *icon = new QLabel(this);
    icon->setPixmap(AppIcon().pixmap(64, 64));

    auto *name = new QLabel(QStringLiteral("Vendrix"), this);
    name->setObjectName(QStringLiteral("lblProductName"));
    QFont big = name->font();
    big.setPointSizeF(big.pointSizeF() * 1.8);
    big.setBold(true);
    name->setFont(big);

    auto *version = new QLabel(tr("Version %1").arg(QStringLiteral(VENDRIX_VERSION)), this);
    version->setObjectName(QStringLiteral("lblVersion"));

    auto *description = new QLabel(tr("Collects the data records of portable barcode terminals on up to four channels "
                                      "(serial port, infrared, modem or TCP) and stores them in text or CSV files, "
                                      "databases or the inventory tables of the ERP.\n\n"
                                      "Edits terminal profiles and sends them to the terminals."),
                                   this);
    description->setObjectName(QStringLiteral("lblDescription"));
    description->setWordWrap(true);
    description->setMinimumWidth(340);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto *text = new QVBoxLayout;
    text->addWidget(name);
    text->addWidget(version);
    text->addSpacing(10);
    text->addWidget(description);
    auto *top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addSpacing(16);
    top->addLayout(text, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addSpacing(8);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

} // namespace vx
