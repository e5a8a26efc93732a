#include "ui/profile/frmProfileComm.h"

#include "platform/Messenger.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QTabWidget>
#include <QVBoxLayout>

namespace vx {

namespace {

QComboBox *combo(QWidget *parent, const QString &name, const QStringList &items)
{
    auto *box = new QComboBox(parent);
    box->setObjectName(name);
    box->addItems(items);
    return box;
}

QLineEdit *lineEdit(QWidget *parent, const QString &name, const QString &pattern, int width)
{
    auto *box = new QLineEdit(parent);
    box->setObjectName(name);
    box->setValidator(new QRegularExpressionValidator(QRegularExpression(pattern), box));
    box->setFixedWidth(width);
    return box;
}

// Digits only: delays, blocks, times and codes are never negative.
const QString kNumberPattern = QStringLiteral("\\s*\\d{0,5}\\s*");
// Single-byte characters: the profile file has no others.
const QString kCharacterPattern = QStringLiteral("[\\x{20}-\\x{FF}]*");

} // namespace

frmProfileComm::frmProfileComm(ProfileWorkspace &workspace, QWidget *parent, Messenger *messenger)
    : QDialog(parent), m_ws(workspace), m_function(qBound(0, int(workspace.CurrentFunction), 4)),
      m_messenger(messenger ? messenger : &Messenger::current()), m_record(workspace.Profile.Functions[m_function])
{
    setObjectName(QStringLiteral("frmProfileComm"));
    const ProfileFunction &function = m_ws.Profile.Functions[m_function];
    setWindowTitle(CommWindowTitle(function));

    // ---- Left column: terminal, ports, transmission options ----
    auto *family = new QGroupBox(QStringLiteral("Terminal"), this);
    auto *familyRow = new QHBoxLayout(family);
    const QStringList families = TerminalFamilies();
    for (int i = 0; i < 3; ++i) {
        TipoTermi[i] = new QRadioButton(families[i], family);
        TipoTermi[i]->setObjectName(QStringLiteral("TipoTermi%1").arg(i));
        familyRow->addWidget(TipoTermi[i]);
    }
    familyRow->addStretch();

    SSTab1 = new QTabWidget(this);
    SSTab1->setObjectName(QStringLiteral("SSTab1"));
    const QStringList tabs = PortTabCaptions();
    for (int t = 0; t < 5; ++t)
        SSTab1->addTab(buildPortTab(t), tabs[t]);

    chkImmediateTX = new QCheckBox(QStringLiteral("Immediate TX"), this);
    chkImmediateTX->setObjectName(QStringLiteral("chkImmediateTX"));
    chkCheckDTE = new QCheckBox(QStringLiteral("Check Cable (DTE)"), this);
    chkCheckDTE->setObjectName(QStringLiteral("chkCheckDTE"));
    auto *checks = new QHBoxLayout;
    checks->addWidget(chkImmediateTX);
    checks->addWidget(chkCheckDTE);
    checks->addStretch();

    auto *record = new QGroupBox(QStringLiteral("Record"), this);
    auto *recordGrid = new QGridLayout(record);
    txtRecordDelay = lineEdit(record, QStringLiteral("txtRecordDelay"), kNumberPattern, 70);
    txtRecordBlock = lineEdit(record, QStringLiteral("txtRecordBlock"), kNumberPattern, 70);
    recordGrid->addWidget(new QLabel(QStringLiteral("Delay"), record), 0, 0);
    recordGrid->addWidget(txtRecordDelay, 0, 1);
    recordGrid->addWidget(new QLabel(QStringLiteral("Block"), record), 1, 0);
    recordGrid->addWidget(txtRecordBlock, 1, 1);

    auto *field = new QGroupBox(QStringLiteral("Field"), this);
    auto *fieldGrid = new QGridLayout(field);
    txtFieldelay = lineEdit(field, QStringLiteral("txtFieldelay"), kNumberPattern, 70);
    fieldGrid->addWidget(new QLabel(QStringLiteral("Delay"), field), 0, 0);
    fieldGrid->addWidget(txtFieldelay, 0, 1);
    fieldGrid->setRowStretch(1, 1);

    auto *blocks = new QGroupBox(QStringLiteral("Blocks"), this);
    auto *blocksGrid = new QGridLayout(blocks);
    optBloksWaitCR = new QRadioButton(QStringLiteral("Wait :  CR"), blocks);
    optBloksWaitCR->setObjectName(QStringLiteral("optBloksWaitCR"));
    optBloksWaitTime = new QRadioButton(QStringLiteral("Time"), blocks);
    optBloksWaitTime->setObjectName(QStringLiteral("optBloksWaitTime"));
    txtBloksWaitTimemsecs = lineEdit(blocks, QStringLiteral("txtBloksWaitTimemsecs"), kNumberPattern, 70);
    cmbBloksTerminator = combo(blocks, QStringLiteral("cmbBloksTerminator"), TerminatorItems());
    blocksGrid->addWidget(optBloksWaitCR, 0, 0);
    blocksGrid->addWidget(optBloksWaitTime, 1, 0);
    blocksGrid->addWidget(txtBloksWaitTimemsecs, 1, 1);
    blocksGrid->addWidget(new QLabel(QStringLiteral("msecs"), blocks), 1, 2);
    blocksGrid->addWidget(new QLabel(QStringLiteral("Terminator"), blocks), 2, 0);
    blocksGrid->addWidget(cmbBloksTerminator, 2, 1, 1, 2);

    auto *separators = new QGroupBox(QStringLiteral("Separators"), this);
    auto *sepGrid = new QGridLayout(separators);
    txtSeparatorFieldChar = lineEdit(separators, QStringLiteral("txtSeparatorFieldChar"), kCharacterPattern, 40);
    txtSeparatorFieldAscii = lineEdit(separators, QStringLiteral("txtSeparatorFieldAscii"), kNumberPattern, 60);
    txtSeparatorDecimalChar = lineEdit(separators, QStringLiteral("txtSeparatorDecimalChar"), kCharacterPattern, 40);
    txtSeparatorDecimalAscii = lineEdit(separators, QStringLiteral("txtSeparatorDecimalAscii"), kNumberPattern, 60);
    sepGrid->addWidget(new QLabel(QStringLiteral("Field"), separators), 0, 0);
    sepGrid->addWidget(txtSeparatorFieldChar, 0, 1);
    sepGrid->addWidget(new QLabel(QStringLiteral("Ascii Code"), separators), 0, 2);
    sepGrid->addWidget(txtSeparatorFieldAscii, 0, 3);
    sepGrid->addWidget(new QLabel(QStringLiteral("Decimal"), separators), 1, 0);
    sepGrid->addWidget(txtSeparatorDecimalChar, 1, 1);
    sepGrid->addWidget(new QLabel(QStringLiteral("Ascii Code"), separators), 1, 2);
    sepGrid->addWidget(txtSeparatorDecimalAscii, 1, 3);

    auto *delays = new QHBoxLayout;
    delays->addWidget(record);
    delays->addWidget(field);
    auto *blockRow = new QHBoxLayout;
    blockRow->addWidget(blocks);
    blockRow->addWidget(separators);

    auto *left = new QVBoxLayout;
    left->addWidget(family);
    left->addWidget(SSTab1);
    left->addLayout(checks);
    left->addLayout(delays);
    left->addLayout(blockRow);
    left->addStretch();

    // ---- Right column: the record structure ----
    lstRecordStructure[0] = new QListWidget(this);
    lstRecordStructure[0]->setObjectName(QStringLiteral("lstRecordStructure0"));
    lstRecordStructure[1] = new QListWidget(this);
    lstRecordStructure[1]->setObjectName(QStringLiteral("lstRecordStructure1"));
    btnMoveUp = new QPushButton(QStringLiteral("\u25B2 Add"), this);
    btnMoveUp->setObjectName(QStringLiteral("btnMoveUp"));
    btnMoveUp->setToolTip(QStringLiteral("Add the selected available field to the record structure"));
    btnMoveDown = new QPushButton(QStringLiteral("\u25BC Remove"), this);
    btnMoveDown->setObjectName(QStringLiteral("btnMoveDown"));
    btnMoveDown->setToolTip(QStringLiteral("Remove the selected item from the record structure"));
    auto *moves = new QHBoxLayout;
    moves->addWidget(btnMoveUp);
    moves->addWidget(btnMoveDown);
    auto *right = new QVBoxLayout;
    right->addWidget(new QLabel(QStringLiteral("Rec Structure"), this));
    right->addWidget(lstRecordStructure[1], 1);
    right->addLayout(moves);
    right->addWidget(new QLabel(QStringLiteral("Available Fields"), this));
    right->addWidget(lstRecordStructure[0], 1);
    for (QListWidget *list : lstRecordStructure)
        list->setMinimumWidth(220);

    Command1 = new QPushButton(QStringLiteral("OK"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setDefault(true);

    auto *columns = new QHBoxLayout;
    columns->addLayout(left, 3);
    columns->addLayout(right, 2);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Command1);
    auto *main = new QVBoxLayout(this);
    main->addLayout(columns);
    main->addLayout(buttons);

    // ---- Show the members ----
    const FunctionCommSettings &c = comm();
    for (int i = 0; i < 3; ++i)
        TipoTermi[i]->setChecked(families[i] == m_ws.Profile.TerminalFamily);
    showPortLists();
    SSTab1->setCurrentIndex(TabForPort(c.Port));
    chkImmediateTX->setChecked(c.TxImmediate != 0);
    chkCheckDTE->setChecked(c.CheckCable != 0);
    txtRecordDelay->setText(QString::number(c.RecordDelay));
    txtRecordBlock->setText(QString::number(c.RecordBlock));
    txtFieldelay->setText(QString::number(c.FieldDelay));
    optBloksWaitCR->setChecked(c.BlockWaitCR != 0);
    optBloksWaitTime->setChecked(c.BlockWaitCR == 0 && c.BlockWaitTime != 0);
    txtBloksWaitTimemsecs->setText(QString::number(c.BlockWaitMs));
    cmbBloksTerminator->setCurrentIndex(c.BlockTerminator >= 0 && c.BlockTerminator <= 10 ? c.BlockTerminator : -1);
    // The characters follow from the codes, which are what is stored.
    comm().FieldSeparator = SeparatorCharacter(c.FieldSeparatorCode);
    comm().DecimalSeparator = SeparatorCharacter(c.DecimalSeparatorCode);
    txtSeparatorFieldAscii->setText(QString::number(c.FieldSeparatorCode));
    txtSeparatorFieldChar->setText(c.FieldSeparator);
    txtSeparatorDecimalAscii->setText(QString::number(c.DecimalSeparatorCode));
    txtSeparatorDecimalChar->setText(c.DecimalSeparator);
    m_record.load(c.RecordStructure);
    lstRecordStructure[0]->addItems(m_record.available());
    showRecordStructure();

    // ---- Edits ----
    connect(SSTab1, &QTabWidget::currentChanged, this, &frmProfileComm::onTabChanged);
    connect(chkImmediateTX, &QCheckBox::clicked, this, [this](bool on) { comm().TxImmediate = on ? 1 : 0; });
    connect(chkCheckDTE, &QCheckBox::clicked, this, [this](bool on) { comm().CheckCable = on ? 1 : 0; });
    connectNumberBox(txtRecordDelay, &FunctionCommSettings::RecordDelay);
    connectNumberBox(txtRecordBlock, &FunctionCommSettings::RecordBlock);
    connectNumberBox(txtFieldelay, &FunctionCommSettings::FieldDelay);
    connectNumberBox(txtBloksWaitTimemsecs, &FunctionCommSettings::BlockWaitMs);
    connect(optBloksWaitCR, &QRadioButton::clicked, this, [this] { SetBlockWait(comm(), false); });
    connect(optBloksWaitTime, &QRadioButton::clicked, this, [this] { SetBlockWait(comm(), true); });
    connect(cmbBloksTerminator, qOverload<int>(&QComboBox::activated), this,
            [this](int position) { comm().BlockTerminator = qint16(position); });
    connectSeparator(txtSeparatorFieldChar, txtSeparatorFieldAscii, &FunctionCommSettings::FieldSeparator,
                     &FunctionCommSettings::FieldSeparatorCode, true);
    connectSeparator(txtSeparatorDecimalChar, txtSeparatorDecimalAscii, &FunctionCommSettings::DecimalSeparator,
                     &FunctionCommSettings::DecimalSeparatorCode, false);
    connect(lstRecordStructure[0], &QListWidget::itemDoubleClicked, this, &frmProfileComm::addRecordItem);
    connect(lstRecordStructure[1], &QListWidget::itemDoubleClicked, this, &frmProfileComm::removeRecordItem);
    connect(btnMoveUp, &QPushButton::clicked, this, [this] {
        const QList<QListWidgetItem *> selected = lstRecordStructure[0]->selectedItems();
        if (!selected.isEmpty())
            addRecordItem(selected.first());
    });
    connect(btnMoveDown, &QPushButton::clicked, this, [this] {
        const QList<QListWidgetItem *> selected = lstRecordStructure[1]->selectedItems();
        if (!selected.isEmpty())
            removeRecordItem(selected.first());
    });
    connect(Command1, &QPushButton::clicked, this, &frmProfileComm::onOk);
    m_loading = false;
}

FunctionCommSettings &frmProfileComm::comm()
{
    return m_ws.Profile.Functions[m_function].Comm;
}

QWidget *frmProfileComm::buildPortTab(int tab)
{
    auto *page = new QWidget;
    auto *grid = new QGridLayout(page);
    const bool keyboard = tab == kKeyboardTab;
    const QString n = QString::number(tab);
    CmbSpeed[tab] = combo(page, QStringLiteral("CmbSpeed") + n, SpeedItems(keyboard));
    cmbParity[tab] = combo(page, QStringLiteral("cmbParity") + n, ParityItems());
    CmbDataBits[tab] = combo(page, QStringLiteral("CmbDataBits") + n, DataBitsItems());
    CmbFlowControl[tab] = combo(page, QStringLiteral("CmbFlowControl") + n, FlowControlItems());
    CmbProtocolType[tab] = combo(page, QStringLiteral("CmbProtocolType") + n, ProtocolItems());
    const std::array<std::pair<const char *, QComboBox *>, 5> rows{{{"Speed", CmbSpeed[tab]},
                                                                    {"Parity", cmbParity[tab]},
                                                                    {"Data Bits", CmbDataBits[tab]},
                                                                    {"Flow Control", CmbFlowControl[tab]},
                                                                    {"Protocol", CmbProtocolType[tab]}}};
    for (int r = 0; r < 5; ++r) {
        grid->addWidget(new QLabel(QString::fromLatin1(rows[r].first), page), r % 3, (r / 3) * 2);
        grid->addWidget(rows[r].second, r % 3, (r / 3) * 2 + 1);
    }
    if (keyboard) {
        grid->addWidget(
            new QLabel(QStringLiteral("Available only with the keyboard wedge model of the terminal."), page), 3, 0, 1,
            5);
    }
    grid->setColumnStretch(4, 1);

    connect(CmbSpeed[tab], qOverload<int>(&QComboBox::activated), this, [this, keyboard](int position) {
        const qint16 speed = SpeedFromListPosition(keyboard, position);
        if (speed >= 0)
            comm().Speed = speed;
        showPortLists();
    });
    connect(cmbParity[tab], qOverload<int>(&QComboBox::activated), this, [this](int position) {
        comm().Parity = qint16(position);
        showPortLists();
    });
    connect(CmbDataBits[tab], qOverload<int>(&QComboBox::activated), this, [this](int position) {
        comm().DataBits = qint16(position);
        showPortLists();
    });
    connect(CmbFlowControl[tab], qOverload<int>(&QComboBox::activated), this, [this](int position) {
        comm().FlowControl = qint16(position);
        showPortLists();
    });
    connect(CmbProtocolType[tab], qOverload<int>(&QComboBox::activated), this, [this](int position) {
        comm().Protocol = qint16(position);
        showPortLists();
    });
    return page;
}

// Every tab's copy of the five lists shows the members.
void frmProfileComm::showPortLists()
{
    const FunctionCommSettings &c = comm();
    const auto shown = [](QComboBox *box, int position) {
        box->setCurrentIndex(position >= 0 && position < box->count() ? position : -1);
    };
    for (int t = 0; t < 5; ++t) {
        shown(CmbSpeed[t], SpeedListPosition(t == kKeyboardTab, c.Speed));
        shown(cmbParity[t], c.Parity);
        shown(CmbDataBits[t], c.DataBits);
        shown(CmbFlowControl[t], c.FlowControl);
        shown(CmbProtocolType[t], c.Protocol);
    }
}

void frmProfileComm::onTabChanged(int tab)
{
    if (m_loading)
        return;
    comm().Port = PortAfterTab(tab, comm().Port);
}

void frmProfileComm::connectNumberBox(QLineEdit *box, qint16 FunctionCommSettings::*member)
{
    connect(box, &QLineEdit::textEdited, this, [this, member](const QString &text) {
        if (const auto value = NumberBoxValue(text))
            comm().*member = *value;
    });
    // A number too large for the terminal is not taken: leaving the box
    // shows the value that is stored.
    connect(box, &QLineEdit::editingFinished, this, [this, box, member] {
        if (!NumberBoxValue(box->text()))
            box->setText(QString::number(comm().*member));
    });
}

void frmProfileComm::connectSeparator(QLineEdit *character, QLineEdit *code, QString FunctionCommSettings::*separator,
                                      qint16 FunctionCommSettings::*separatorCode, bool blankIsEmpty)
{
    // textEdited comes from the user only, so setting the partner's text
    // never bounces back.
    connect(code, &QLineEdit::textEdited, this, [=](const QString &text) {
        SeparatorPair pair{comm().*separator, comm().*separatorCode, blankIsEmpty};
        character->setText(pair.codeEdited(text));
    });
    connect(character, &QLineEdit::textEdited, this, [=](const QString &text) {
        SeparatorPair pair{comm().*separator, comm().*separatorCode, blankIsEmpty};
        code->setText(pair.characterEdited(text));
    });
    // A pair left showing something that is not stored (an empty box) shows
    // the stored separator again.
    const auto reshow = [=] {
        if (character->hasFocus() || code->hasFocus())
            return;
        const QString storedCode = QString::number(comm().*separatorCode);
        if (code->text().trimmed() != storedCode) {
            code->setText(storedCode);
            character->setText(comm().*separator);
        }
    };
    connect(code, &QLineEdit::editingFinished, this, reshow);
    connect(character, &QLineEdit::editingFinished, this, reshow);
}

void frmProfileComm::addRecordItem(QListWidgetItem *item)
{
    if (!item)
        return;
    if (m_record.isFull()) {
        m_messenger->message(NoMoreRoomText(), MsgIcon::Information);
        return;
    }
    if (m_record.add(lstRecordStructure[0]->row(item)))
        showRecordStructure();
}

void frmProfileComm::removeRecordItem(QListWidgetItem *item)
{
    if (!item)
        return;
    const int row = lstRecordStructure[1]->row(item);
    if (m_record.remove(row)) {
        showRecordStructure();
        lstRecordStructure[1]->setCurrentRow(qMin(row, lstRecordStructure[1]->count() - 1));
    }
}

void frmProfileComm::showRecordStructure()
{
    lstRecordStructure[1]->clear();
    lstRecordStructure[1]->addItems(m_record.chosen());
}

void frmProfileComm::onOk()
{
    const QStringList families = TerminalFamilies();
    for (int i = 0; i < 3; ++i) {
        if (TipoTermi[i]->isChecked())
            m_ws.Profile.TerminalFamily = families[i];
    }
    m_record.store(comm().RecordStructure);
    accept();
}

} // namespace vx
