#include "ui/profile/frmBCTable.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

namespace vx {

frmBCTable::frmBCTable(ProfileWorkspace &workspace, QWidget *parent)
    : QDialog(parent), m_ws(workspace), m_function(qBound(0, int(workspace.CurrentFunction), 4)),
      m_field(qBound(0, int(workspace.CurrentBarcodeField), 7))
{
    setObjectName(QStringLiteral("frmBCTable"));
    setWindowTitle(BarcodeWindowTitle(m_ws.Profile.Functions[m_function].Fields[m_field]));

    auto *selection = new QGroupBox(QStringLiteral("Bar Code Selection"), this);
    auto *selectionGrid = new QGridLayout(selection);
    auto *conversions = new QGroupBox(QStringLiteral("Conversions"), this);
    auto *conversionsBox = new QVBoxLayout(conversions);
    const BarcodeTable &t = table();
    for (int i = 0; i < kBarcodeBoxes; ++i) {
        const bool inSelection = i < kBarcodeSelectionBoxes;
        auto *box = new QCheckBox(QString::fromLatin1(BarcodeBoxes()[i].caption),
                                  inSelection ? static_cast<QWidget *>(selection) : conversions);
        box->setObjectName(QStringLiteral("chkBarCode%1").arg(i));
        box->setChecked(BarcodeBoxTicked(t, i));
        // An entry that does not apply to the terminal (-1) is shown but
        // cannot be changed, so it never reaches the file.
        box->setEnabled(BarcodeBoxApplies(t, i));
        connect(box, &QCheckBox::clicked, this, [this, i](bool ticked) { SetBarcodeBox(table(), i, ticked); });
        chkBarCode[i] = box;
        if (inSelection)
            selectionGrid->addWidget(box, i % 10, i / 10);
        else
            conversionsBox->addWidget(box);
    }
    conversionsBox->addStretch();

    Command1 = new QPushButton(QStringLiteral("OK"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setDefault(true);
    connect(Command1, &QPushButton::clicked, this, &QDialog::accept);

    auto *frames = new QHBoxLayout;
    frames->addWidget(selection, 2);
    frames->addWidget(conversions, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Command1);
    auto *main = new QVBoxLayout(this);
    main->addLayout(frames);
    main->addLayout(buttons);
}

BarcodeTable &frmBCTable::table()
{
    return m_ws.Profile.Functions[m_function].Fields[m_field].Barcode;
}

} // namespace vx
