#include "ui/options/frmSettingModem.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace vx {

frmSettingModem::frmSettingModem(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmSettingModem"));
    setWindowTitle(QStringLiteral("Configure Modem Setting"));

    auto *layout = new QVBoxLayout(this);
    auto *grid = new QGridLayout;
    grid->setColumnStretch(1, 1);
    auto addRow = [&](int row, const QString &caption, const QString &note, const char *name) {
        auto *label = new QLabel(caption, this);
        auto *edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setMinimumWidth(320);
        label->setBuddy(edit);
        auto *hint = new QLabel(note, this);
        hint->setWordWrap(true);
        QFont small = hint->font();
        small.setItalic(true);
        hint->setFont(small);
        grid->addWidget(label, 2 * row, 0);
        grid->addWidget(edit, 2 * row, 1);
        grid->addWidget(hint, 2 * row + 1, 1);
        return edit;
    };
    txtReset = addRow(0, QStringLiteral("Reset String  "),
                      QStringLiteral("( initialization of modem to factory default value )  "), "txtReset");
    txtInitModem = addRow(1, QStringLiteral("Init String"),
                          QString::fromUtf8("( echo-off, verbose response, autoanswer to 1\u00b0 ring, volume "
                                            "level required )  "),
                          "txtInitModem");
    layout->addLayout(grid);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    buttons->addWidget(cmdOK);
    layout->addLayout(buttons);
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace vx
