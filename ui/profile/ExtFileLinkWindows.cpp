#include "ui/profile/ExtFileLinkWindows.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSlider>
#include <QStyle>
#include <QVBoxLayout>

namespace vx {

namespace {

int currentFunction(const ProfileWorkspace &ws)
{
    return qBound(0, int(ws.CurrentFunction), 4);
}

QLabel *heading(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

QLabel *note(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}

QComboBox *fieldChoice(QWidget *parent, const QString &name, const QStringList &items, int position)
{
    auto *box = new QComboBox(parent);
    box->setObjectName(name);
    box->addItems(items);
    box->setCurrentIndex(position);
    box->setMinimumWidth(180);
    return box;
}

constexpr int kSliderWidth = 150;

// "+    --    x    /   Upd": each label over its position of a slider.
QWidget *operatorScale(QWidget *parent)
{
    auto *scale = new QWidget(parent);
    QSlider probe(Qt::Horizontal);
    const int handle = probe.style()->pixelMetric(QStyle::PM_SliderLength, nullptr, &probe);
    const QStringList labels = UpdateOperatorLabels();
    int height = 0;
    for (int i = 0; i < labels.size(); ++i) {
        auto *label = new QLabel(labels[i], scale);
        label->adjustSize();
        const int centre = handle / 2 + QStyle::sliderPositionFromValue(0, 4, i, kSliderWidth - handle);
        label->move(qBound(0, centre - label->width() / 2, kSliderWidth - label->width()), 0);
        height = qMax(height, label->height());
    }
    scale->setFixedSize(kSliderWidth, height);
    return scale;
}

// The OK button in its row, under the window's content.
QPushButton *finish(QDialog *dialog, QVBoxLayout *main)
{
    auto *ok = new QPushButton(QStringLiteral("OK"), dialog);
    ok->setObjectName(QStringLiteral("Command1"));
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
    auto *row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(ok);
    main->addStretch();
    main->addLayout(row);
    return ok;
}

} // namespace

// ---- Join keys ----------------------------------------------------------------

frmExtFileJoinKey::frmExtFileJoinKey(ProfileWorkspace &workspace, QWidget *parent)
    : QDialog(parent), m_ws(workspace), m_function(currentFunction(workspace))
{
    setObjectName(QStringLiteral("frmExtFileJoinKey"));
    setMinimumWidth(340);
    setWindowTitle(QStringLiteral("Join Key Field"));
    const ProfileFunction &function = m_ws.Profile.Functions[m_function];
    const ExtFileLayout *layout = LinkedLayout(m_ws.Profile, function);
    const QStringList items = FieldChoiceItems(function, QStringLiteral("None"));

    auto *main = new QVBoxLayout(this);
    main->addWidget(
        note(QStringLiteral("Select the internal field to use to join (seek) the external files key."), this));
    auto *grid = new QGridLayout;
    grid->addWidget(heading(QStringLiteral("key"), this), 0, 0);
    grid->addWidget(heading(QStringLiteral("Internal Field"), this), 0, 1);
    for (int k = 0; k < 4; ++k) {
        QComboBox *box = fieldChoice(this, QStringLiteral("cmbFileJoinKey%1").arg(k), items,
                                     FieldChoicePosition(function.ExtLink.KeyField[k]));
        box->setEnabled(layout && JoinKeyListEnabled(*layout, k));
        if (!box->isEnabled())
            box->setToolTip(QStringLiteral("Key %1 has no \"To Byte\" in the layout of File %2 (tab \"External "
                                           "Files\" of the profile editor): set it there to join this key.")
                                .arg(k + 1)
                                .arg(function.ExtLink.FileNumber));
        connect(box, qOverload<int>(&QComboBox::activated), this,
                [this, k](int position) { m_ws.Profile.Functions[m_function].ExtLink.KeyField[k] = qint16(position); });
        cmbFileJoinKey[k] = box;
        grid->addWidget(new QLabel(QStringLiteral("Key %1").arg(k + 1), this), k + 1, 0);
        grid->addWidget(box, k + 1, 1);
    }
    grid->setColumnStretch(2, 1);
    main->addLayout(grid);
    Command1 = finish(this, main);
}

// ---- Fields to show -----------------------------------------------------------

frmExtFileFieldsToShow::frmExtFileFieldsToShow(ProfileWorkspace &workspace, QWidget *parent)
    : QDialog(parent), m_ws(workspace), m_function(currentFunction(workspace))
{
    setObjectName(QStringLiteral("frmExtFileFieldsToShow"));
    setMinimumWidth(340);
    setWindowTitle(QStringLiteral("Field To Show"));
    const ExtFileLink &link = m_ws.Profile.Functions[m_function].ExtLink;

    auto *main = new QVBoxLayout(this);
    main->addWidget(
        note(QStringLiteral("Select the esternal file's fields to show when the record is retrieved"), this));
    auto *grid = new QGridLayout;
    for (int u = 0; u < 8; ++u) {
        auto *box = new QCheckBox(QStringLiteral("Field %1").arg(u + 1), this);
        box->setObjectName(QStringLiteral("chkFieldToShow%1").arg(u));
        box->setChecked(link.QueryShowField[u] != 0);
        connect(box, &QCheckBox::clicked, this,
                [this, u](bool on) { m_ws.Profile.Functions[m_function].ExtLink.QueryShowField[u] = on ? 1 : 0; });
        chkFieldToShow[u] = box;
        grid->addWidget(box, u % 4, u / 4);
    }
    main->addLayout(grid);
    Command1 = finish(this, main);
}

// ---- Fields to retrieve -------------------------------------------------------

frmExtFileFiledsToRetrieve::frmExtFileFiledsToRetrieve(ProfileWorkspace &workspace, QWidget *parent)
    : QDialog(parent), m_ws(workspace), m_function(currentFunction(workspace))
{
    setObjectName(QStringLiteral("frmExtFileFiledsToRetrieve"));
    setMinimumWidth(340);
    setWindowTitle(QStringLiteral("Retrieve Fields Definition"));
    const ProfileFunction &function = m_ws.Profile.Functions[m_function];
    const QStringList items = FieldChoiceItems(function, QStringLiteral("None"));

    auto *main = new QVBoxLayout(this);
    auto *grid = new QGridLayout;
    grid->addWidget(heading(QStringLiteral("Field To retrieve"), this), 0, 0);
    grid->addWidget(heading(QStringLiteral("Retrieve Into"), this), 0, 1);
    for (int u = 0; u < 8; ++u) {
        QComboBox *box = fieldChoice(this, QStringLiteral("cmbRetrieveInto%1").arg(u), items,
                                     RetrieveChoicePosition(function.ExtLink.RetrieveInto[u]));
        connect(box, qOverload<int>(&QComboBox::activated), this, [this, u](int position) {
            m_ws.Profile.Functions[m_function].ExtLink.RetrieveInto[u] = RetrieveChoiceText(position);
        });
        cmbRetrieveInto[u] = box;
        grid->addWidget(new QLabel(QStringLiteral("Field %1").arg(u + 1), this), u + 1, 0);
        grid->addWidget(box, u + 1, 1);
    }
    grid->setColumnStretch(2, 1);
    main->addLayout(grid);
    Command1 = finish(this, main);
}

// ---- Fields to update ---------------------------------------------------------

frmExtFileFieldsToUpdate::frmExtFileFieldsToUpdate(ProfileWorkspace &workspace, QWidget *parent)
    : QDialog(parent), m_ws(workspace), m_function(currentFunction(workspace))
{
    setObjectName(QStringLiteral("frmExtFileFieldsToUpdate"));
    setWindowTitle(QStringLiteral("Fields To Update"));
    const ProfileFunction &function = m_ws.Profile.Functions[m_function];
    const ExtFileLink &x = function.ExtLink;
    const QStringList items = FieldChoiceItems(function, QStringLiteral("Custom"));

    auto *main = new QVBoxLayout(this);
    auto *grid = new QGridLayout;
    grid->addWidget(heading(QStringLiteral("Field to Upd."), this), 0, 0);
    grid->addWidget(heading(QStringLiteral("Ena."), this), 0, 1);
    grid->addWidget(heading(QStringLiteral("Operator"), this), 0, 2);
    grid->addWidget(heading(QStringLiteral("Field to use to update"), this), 0, 3);
    grid->addWidget(heading(QStringLiteral("Custom Value to use"), this), 0, 4);
    grid->addWidget(operatorScale(this), 1, 2);
    // Single-byte characters and no comma: the terminal splits its items at
    // commas, so a comma would cut the value short.
    const QRegularExpression valuePattern(QStringLiteral("[\\x{20}-\\x{2B}\\x{2D}-\\x{FF}]*"));
    for (int u = 0; u < 8; ++u) {
        const int row = u + 2;
        grid->addWidget(new QLabel(QStringLiteral("Field %1").arg(u + 1), this), row, 0);

        auto *enabled = new QCheckBox(this);
        enabled->setObjectName(QStringLiteral("chkUpdateyesNo%1").arg(u));
        enabled->setChecked(x.UpdateEnabled[u] != 0);
        connect(enabled, &QCheckBox::clicked, this, [this, u](bool on) { link().UpdateEnabled[u] = on ? 1 : 0; });
        chkUpdateyesNo[u] = enabled;
        grid->addWidget(enabled, row, 1, Qt::AlignCenter);

        auto *slider = new QSlider(Qt::Horizontal, this);
        slider->setObjectName(QStringLiteral("sldOperator%1").arg(u));
        slider->setRange(0, 4);
        slider->setPageStep(1);
        slider->setTickPosition(QSlider::TicksBelow);
        slider->setTickInterval(1);
        slider->setFixedWidth(kSliderWidth);
        slider->setValue(UpdateOperatorPosition(x.UpdateOperator[u]));
        connect(slider, &QSlider::valueChanged, this,
                [this, u](int position) { link().UpdateOperator[u] = qint16(position); });
        sldOperator[u] = slider;
        grid->addWidget(slider, row, 2);

        QComboBox *operand = fieldChoice(this, QStringLiteral("cmbFieldOperand%1").arg(u), items,
                                         FieldChoicePosition(x.UpdateWithField[u]));
        connect(operand, qOverload<int>(&QComboBox::activated), this,
                [this, u](int position) { link().UpdateWithField[u] = qint16(position); });
        cmbFieldOperand[u] = operand;
        grid->addWidget(operand, row, 3);

        auto *value = new QLineEdit(x.UpdateValue[u], this);
        value->setObjectName(QStringLiteral("txtFieldVal%1").arg(u));
        value->setValidator(new QRegularExpressionValidator(valuePattern, value));
        value->setToolTip(QStringLiteral("A comma cannot be used: the terminal separates its settings with commas."));
        connect(value, &QLineEdit::textEdited, this, [this, u](const QString &text) {
            if (UpdateValueAccepted(text))
                link().UpdateValue[u] = text;
        });
        txtFieldVal[u] = value;
        grid->addWidget(value, row, 4);
    }
    main->addLayout(grid);
    Command1 = finish(this, main);
}

ExtFileLink &frmExtFileFieldsToUpdate::link()
{
    return m_ws.Profile.Functions[m_function].ExtLink;
}

} // namespace vx
