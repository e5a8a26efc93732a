#include "ui/profile/frmProfile.h"

#include "platform/Messenger.h"
#include "profiles/CommEditRules.h"
#include "profiles/ProfileFile.h"
#include "ui/AppIcon.h"
#include "ui/profile/ProfileSubEditors.h"
#include "ui/profile/frmCopyProfile.h"
#include "ui/transfer/TransferWindows.h"
#include "ui/transfer/frmSettingsSend.h"

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTabWidget>
#include <QVBoxLayout>

namespace vx {

namespace {

const char *const kFamilies[3] = {"711", "8000", "8300"};
const char *const kPortTabs[5] = {"RS232", "Docking", "Keyboard", "IrDa", "IR"};
const char *const kModemLabels[5] = {"Phone Number", "Str. of reset", "Str. of Init", "Comp. Number", "TimeOut"};

QString indexed(const char *name, int i)
{
    return QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(i);
}

template <typename W>
W *named(W *widget, const QString &name)
{
    widget->setObjectName(name);
    return widget;
}

QSlider *makeSlider(int positions, const QString &name)
{
    auto *s = named(new QSlider(Qt::Horizontal), name);
    s->setRange(0, positions - 1);
    s->setPageStep(1);
    s->setTickPosition(QSlider::TicksBelow);
    s->setTickInterval(1);
    return s;
}

// The words of a slider's positions, each under its tick mark: the inner
// words centred on theirs, the end words beginning and ending at the end
// ticks. The ticks stand half a handle in from the slider's ends and evenly
// between, so a grid of two columns per step (one word spanning the two
// columns around its tick) inside that margin puts every word in place,
// and every word keeps its whole size.
QWidget *sliderLegend(const QStringList &words)
{
    auto *legend = new QWidget;
    auto *grid = new QGridLayout(legend);
    QStyleOptionSlider option;
    option.initFrom(legend);
    option.orientation = Qt::Horizontal;
    const int margin = legend->style()->pixelMetric(QStyle::PM_SliderLength, &option, nullptr) / 2;
    grid->setContentsMargins(margin, 0, margin, 0);
    grid->setHorizontalSpacing(0);
    const int steps = int(words.size()) - 1;
    for (int c = 0; c < 2 * steps; ++c)
        grid->setColumnStretch(c, 1);
    for (int i = 0; i <= steps; ++i) {
        auto *label = new QLabel(words.at(i));
        if (i == 0) {
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            grid->addWidget(label, 0, 0);
        } else if (i == steps) {
            label->setAlignment(Qt::AlignRight | Qt::AlignTop);
            grid->addWidget(label, 0, 2 * steps - 1);
        } else {
            label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
            grid->addWidget(label, 0, 2 * i - 1, 1, 2);
        }
    }
    return legend;
}

void setCombo(QComboBox *box, int index)
{
    box->setCurrentIndex(index >= 0 && index < box->count() ? index : -1);
}

// Sets a box's text without moving the caret when the text is unchanged.
void setBoxText(QLineEdit *box, const QString &text)
{
    if (box->text() != text)
        box->setText(text);
}

} // namespace

frmProfile::frmProfile(ProfileWorkspace &workspace, Messenger &messenger, QWidget *parent)
    : QDialog(parent), m_ws(workspace), m_messenger(messenger), m_state(workspace)
{
    setObjectName(QStringLiteral("frmProfile"));
    setWindowIcon(AppIcon());
    setModal(true);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 8);
    buildMenu();
    layout->setMenuBar(menuBar);

    tabProfile = named(new QTabWidget(this), QStringLiteral("tabProfile"));
    tabProfile->addTab(buildCommon(), QStringLiteral("Common"));
    tabProfile->addTab(buildExternalFiles(), QStringLiteral("External Files"));
    tabProfile->addTab(buildFunctions(), QStringLiteral("Functions"));
    tabProfile->addTab(buildModem(), QStringLiteral("Modem"));
    tabProfile->addTab(
        buildNote(QStringLiteral("This option will allow the use of printers (via IrDa or serial) to print labels, "
                                 "lists, and everithing else.")),
        QStringLiteral("Printer"));
    tabProfile->addTab(
        buildNote(QStringLiteral("This option will allow to enter custom control logic for fields and program")),
        QStringLiteral("Advanced Logic"));
    layout->addWidget(tabProfile, 1);

    auto *bottom = new QHBoxLayout;
    bottom->addStretch(1);
    cmdClose = named(new QPushButton(QStringLiteral("Close"), this), QStringLiteral("cmdClose"));
    cmdClose->setAutoDefault(false);
    connect(cmdClose, &QPushButton::clicked, this, &frmProfile::cmdClose_Click);
    bottom->addWidget(cmdClose);
    layout->addLayout(bottom);

    // Opening: the family of the profile with its name limit, then New,
    // function 1, the constants as strings.
    m_state.SetTerminalFamily(m_ws.Profile.TerminalFamily);
    m_state.New();
    m_state.Mode = ConstantMode::AsString;
    RefreshValue();
    resize(1040, 640);
}

frmProfile::~frmProfile() = default;

void frmProfile::buildMenu()
{
    menuBar = named(new QMenuBar(this), QStringLiteral("menuBar"));
    mnuSettings = named(menuBar->addMenu(QStringLiteral("Settings")), QStringLiteral("mnuSettings"));
    mnuNew = named(mnuSettings->addAction(QStringLiteral("New")), QStringLiteral("mnuNew"));
    mnuOpen = named(mnuSettings->addAction(QStringLiteral("Open")), QStringLiteral("mnuOpen"));
    mnuSave = named(mnuSettings->addAction(QStringLiteral("Save")), QStringLiteral("mnuSave"));
    mnuSave->setShortcut(QKeySequence::Save);
    mnuSaveAs = named(mnuSettings->addAction(QStringLiteral("Save As")), QStringLiteral("mnuSaveAs"));
    mnuSaveAs->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    mnuSettings->addSeparator();
    mnuCopyProfile = named(mnuSettings->addAction(QStringLiteral("Copy Profile")), QStringLiteral("mnuCopyProfile"));
    mnuSettings->addSeparator();
    mnuSendToTerm = named(mnuSettings->addAction(QStringLiteral("Send TO term")), QStringLiteral("mnuSendToTerm"));
    mnuReceiveFromTerm =
        named(mnuSettings->addAction(QStringLiteral("Receive FROM term")), QStringLiteral("mnuReceiveFromTerm"));
    connect(mnuNew, &QAction::triggered, this, &frmProfile::mnuNew_Click);
    connect(mnuOpen, &QAction::triggered, this, &frmProfile::mnuOpen_Click);
    connect(mnuSave, &QAction::triggered, this, &frmProfile::mnuSave_Click);
    connect(mnuSaveAs, &QAction::triggered, this, &frmProfile::mnuSaveAs_Click);
    connect(mnuCopyProfile, &QAction::triggered, this, &frmProfile::mnuCopyProfile_Click);
    connect(mnuSendToTerm, &QAction::triggered, this, &frmProfile::mnuSendToTerm_Click);
    connect(mnuReceiveFromTerm, &QAction::triggered, this, &frmProfile::mnuReceiveFromTerm_Click);
}

// ---------------------------------------------------------------------------
// Building the tabs

void frmProfile::bindText(QLineEdit *box, std::function<EditVerdict(const QString &)> apply,
                          std::function<QString()> shown)
{
    connect(box, &QLineEdit::textEdited, this, [this, box, apply, shown](const QString &text) {
        if (m_state.LoadingControls)
            return;
        const EditVerdict verdict = apply(text);
        if (verdict.accepted)
            return;
        // Put back what the model holds, the caret where the refused key was.
        const int caret = box->cursorPosition();
        const int growth = int(text.size()) - int(shown().size());
        box->setText(shown());
        box->setCursorPosition(qMax(0, caret - qMax(0, growth)));
        tell(verdict);
    });
}

bool frmProfile::tell(const EditVerdict &verdict)
{
    if (!verdict.message.isEmpty())
        m_messenger.message(verdict.message, MsgIcon::Information, MsgButtons::Ok, ProfileEditorState::CloseTitle());
    return verdict.accepted;
}

QWidget *frmProfile::buildCommon()
{
    auto *page = named(new QWidget, QStringLiteral("tabCommon"));
    auto *columns = new QHBoxLayout(page);
    TerminalOptions &o = m_ws.Profile.TerminalOptions;

    // Left: language, family, automatic transmission.
    auto *left = new QVBoxLayout;
    auto *top = new QGridLayout;
    top->addWidget(new QLabel(QStringLiteral("Language")), 0, 0);
    cmbLanguage = named(new QComboBox, QStringLiteral("cmbLanguage"));
    cmbLanguage->addItems({QStringLiteral("Italiano"), QStringLiteral("English"), QStringLiteral("Deutsch"),
                           QStringLiteral("Francais"), QStringLiteral("Espanol")});
    connect(cmbLanguage, &QComboBox::currentIndexChanged, this, [this, &o](int i) {
        if (!m_state.LoadingControls && i >= 0)
            o.Language = qint16(i);
    });
    top->addWidget(cmbLanguage, 0, 1);
    auto *family = named(new QGroupBox(QStringLiteral("Terminal")), QStringLiteral("fraTerminal"));
    auto *familyRow = new QHBoxLayout(family);
    auto *familyGroup = new QButtonGroup(this);
    for (int i = 0; i < 3; ++i) {
        optTerminal[size_t(i)] = named(new QRadioButton(QLatin1String(kFamilies[i])), indexed("optTerminal", i));
        familyGroup->addButton(optTerminal[size_t(i)], i);
        familyRow->addWidget(optTerminal[size_t(i)]);
        connect(optTerminal[size_t(i)], &QRadioButton::clicked, this, [this, i] { familyClicked(i); });
    }
    top->addWidget(family, 1, 0, 1, 2);
    left->addLayout(top);

    chkComAuto = named(new QCheckBox(QStringLiteral("TX/RX Automatic")), QStringLiteral("chkComAuto"));
    connect(chkComAuto, &QCheckBox::clicked, this, [this](bool on) {
        m_state.SetAutoTransmit(on, tabComAuto->currentIndex());
        refreshAutoPort(false);
    });
    left->addWidget(chkComAuto);
    tabComAuto = named(new QTabWidget, QStringLiteral("tabComAuto"));
    for (int t = 0; t < 5; ++t)
        tabComAuto->addTab(buildPortTab(t), QLatin1String(kPortTabs[t]));
    connect(tabComAuto, &QTabWidget::currentChanged, this, [this](int tab) {
        if (m_state.LoadingControls)
            return;
        m_state.SelectAutoPortTab(tab);
        refreshAutoPort(false);
    });
    left->addWidget(tabComAuto);
    left->addStretch(1);
    columns->addLayout(left, 1);

    // Right: miscellaneous options and the constants.
    auto *right = new QVBoxLayout;
    auto *misc = named(new QGroupBox(QStringLiteral("Miscellaneous")), QStringLiteral("fraMiscellaneous"));
    auto *miscGrid = new QGridLayout(misc);
    auto flag = [this](QCheckBox *box, qint16 &member) {
        connect(box, &QCheckBox::clicked, this, [&member](bool on) { member = on ? 1 : 0; });
        return box;
    };
    chkBackLight =
        flag(named(new QCheckBox(QStringLiteral("Auto Back Light")), QStringLiteral("chkBackLight")), o.AutoBackLight);
    chkBeepRead =
        flag(named(new QCheckBox(QStringLiteral("Beep on Read")), QStringLiteral("chkBeepRead")), o.BeepOnRead);
    chkBeepError =
        flag(named(new QCheckBox(QStringLiteral("Beep on Error")), QStringLiteral("chkBeepError")), o.BeepOnError);
    chkTerminalId =
        flag(named(new QCheckBox(QStringLiteral("Terminal ID")), QStringLiteral("chkTerminalId")), o.TerminalIdEnabled);
    chkOperatorId =
        flag(named(new QCheckBox(QStringLiteral("Operator ID")), QStringLiteral("chkOperatorId")), o.OperatorIdEnabled);
    txtTerminalId = named(new QLineEdit, QStringLiteral("txtTerminalId"));
    txtOperatorId = named(new QLineEdit, QStringLiteral("txtOperatorId"));
    bindText(
        txtTerminalId, [this](const QString &t) { return m_state.SetTerminalIdValue(t); },
        [&o] { return o.TerminalIdValue; });
    bindText(
        txtOperatorId, [this](const QString &t) { return m_state.SetOperatorIdValue(t); },
        [&o] { return o.OperatorIdValue; });
    miscGrid->addWidget(chkBackLight, 0, 0);
    miscGrid->addWidget(chkBeepRead, 1, 0);
    miscGrid->addWidget(chkBeepError, 2, 0);
    miscGrid->addWidget(chkTerminalId, 3, 0);
    miscGrid->addWidget(new QLabel(QStringLiteral("Value")), 3, 1);
    miscGrid->addWidget(txtTerminalId, 3, 2);
    miscGrid->addWidget(chkOperatorId, 4, 0);
    miscGrid->addWidget(new QLabel(QStringLiteral("Value")), 4, 1);
    miscGrid->addWidget(txtOperatorId, 4, 2);
    right->addWidget(misc);

    auto *constants = named(new QGroupBox(QStringLiteral("Costants")), QStringLiteral("fraConstants"));
    auto *cGrid = new QGridLayout(constants);
    cGrid->addWidget(new QLabel(QStringLiteral("Costant Number")), 0, 0);
    cmbConstant = named(new QComboBox, QStringLiteral("cmbConstant"));
    for (int c = 1; c <= 10; ++c)
        cmbConstant->addItem(QStringLiteral("Constant %1").arg(c));
    connect(cmbConstant, &QComboBox::currentIndexChanged, this, [this](int c) {
        if (c < 0)
            return;
        m_state.SelectedConstant = c;
        refreshConstantBoxes();
    });
    cGrid->addWidget(cmbConstant, 0, 1, 1, 3);
    optAsAscii = named(new QRadioButton(QStringLiteral("As Ascii code")), QStringLiteral("optAsAscii"));
    optAsString = named(new QRadioButton(QStringLiteral("As String")), QStringLiteral("optAsString"));
    connect(optAsAscii, &QRadioButton::clicked, this, [this] { setConstantMode(ConstantMode::AsAsciiCode); });
    connect(optAsString, &QRadioButton::clicked, this, [this] { setConstantMode(ConstantMode::AsString); });
    cGrid->addWidget(optAsAscii, 1, 0, 1, 2);
    cGrid->addWidget(optAsString, 1, 2, 1, 2);
    cGrid->addWidget(new QLabel(QStringLiteral("Single characters of the constant")), 2, 0, 1, 4);
    auto *boxes = new QHBoxLayout;
    boxes->setSpacing(3);
    for (int k = 0; k < 10; ++k) {
        auto *box = named(new QLineEdit, indexed("txtConstant", k));
        box->setAlignment(Qt::AlignCenter);
        box->setFixedWidth(38);
        // The last text the box held that a terminal can store.
        connect(box, &QLineEdit::textChanged, this, [this, box] {
            if (ProfileEditorState::IsBoxText(box->text(), m_state.Mode))
                box->setProperty("accepted", box->text());
        });
        connect(box, &QLineEdit::textEdited, this, [this, box](const QString &text) {
            if (m_state.ConstantBoxesBusy)
                return;
            if (!ProfileEditorState::IsBoxText(text, m_state.Mode)) {
                // Not a single-byte character (or not a code 0..255): the key does nothing.
                box->setText(box->property("accepted").toString());
                return;
            }
            constantBoxEdited();
        });
        txtConstant[size_t(k)] = box;
        boxes->addWidget(box);
    }
    boxes->addStretch(1);
    cGrid->addLayout(boxes, 3, 0, 1, 4);
    auto *hint =
        new QLabel(QStringLiteral("If you want to use a non printable ascii character please use the "
                                  "\"Costant like Ascii code\" to enter the specific ascii code."));
    hint->setObjectName(QStringLiteral("lblConstantHint"));
    hint->setWordWrap(true);
    cGrid->addWidget(hint, 4, 0, 1, 4);
    right->addWidget(constants);
    right->addStretch(1);
    columns->addLayout(right, 1);
    return page;
}

QWidget *frmProfile::buildPortTab(int tab)
{
    auto *page = named(new QWidget, indexed("tabComAutoPort", tab));
    auto *grid = new QGridLayout(page);
    PortTab &p = portTabs[size_t(tab)];
    TerminalOptions &o = m_ws.Profile.TerminalOptions;
    auto list = [&](const char *caption, const char *name, const QStringList &items, qint16 &member, int row) {
        grid->addWidget(new QLabel(QLatin1String(caption)), row, 0);
        auto *box = named(new QComboBox, indexed(name, tab));
        box->addItems(items);
        connect(box, &QComboBox::currentIndexChanged, this, [this, &member](int i) {
            if (m_state.LoadingControls || i < 0)
                return;
            member = qint16(i);
            refreshAutoPort(false); // every tab's copy shows the member
        });
        grid->addWidget(box, row, 1);
        return box;
    };
    // The speed is a position in the full list; the Keyboard tab's list
    // lacks "76800", so its positions are mapped by the rate shown.
    const bool keyboard = tab == ProfileEditorState::KeyboardTab;
    grid->addWidget(new QLabel(QStringLiteral("Speed")), 0, 0);
    p.cmbSpeed = named(new QComboBox, indexed("cmbSpeed", tab));
    p.cmbSpeed->addItems(SpeedItems(keyboard));
    connect(p.cmbSpeed, &QComboBox::currentIndexChanged, this, [this, &o, keyboard](int i) {
        const qint16 speed = SpeedFromListPosition(keyboard, i);
        if (m_state.LoadingControls || speed < 0)
            return;
        o.AutoPortSpeed = speed;
        refreshAutoPort(false);
    });
    grid->addWidget(p.cmbSpeed, 0, 1);
    p.cmbParity = list("Parity", "cmbParity", {QStringLiteral("None"), QStringLiteral("Even"), QStringLiteral("Odd")},
                       o.AutoPortParity, 1);
    p.cmbData = list("Data", "cmbData", {QStringLiteral("7"), QStringLiteral("8")}, o.AutoPortDataBits, 2);
    p.cmbFlowControl =
        list("Flow Control", "cmbFlowControl",
             {QStringLiteral("None"), QStringLiteral("Cts/Rts"), QStringLiteral("Xon/Xoff")}, o.AutoPortFlowControl, 3);
    if (tab == ProfileEditorState::KeyboardTab) {
        // The keyboard wedge's protocol is fixed by the terminal; the profile
        // holds no member for it, so the list only shows it.
        grid->addWidget(new QLabel(QStringLiteral("Protocol Type")), 4, 0);
        p.cmbProtocolType = named(new QComboBox, QStringLiteral("cmbProtocolType"));
        p.cmbProtocolType->addItems({QStringLiteral("None")});
        p.cmbProtocolType->setEnabled(false);
        p.cmbProtocolType->setToolTip(QStringLiteral("Not part of the profile"));
        grid->addWidget(p.cmbProtocolType, 4, 1);
    }
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(5, 1);
    return page;
}

QWidget *frmProfile::buildExternalFiles()
{
    auto *page = named(new QWidget, QStringLiteral("tabExternalFiles"));
    auto *layout = new QVBoxLayout(page);
    auto *top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("File number")));
    cmbExtFile = named(new QComboBox, QStringLiteral("cmbExtFile"));
    for (int e = 1; e <= 5; ++e)
        cmbExtFile->addItem(QStringLiteral("File %1").arg(e));
    connect(cmbExtFile, &QComboBox::currentIndexChanged, this, [this](int e) {
        if (e < 0)
            return;
        m_state.SelectedExtFile = e;
        refreshLayout();
    });
    top->addWidget(cmbExtFile);
    top->addStretch(1);
    layout->addLayout(top);

    auto position = [this](const QString &name, int kind, int index) {
        auto *box = named(new QLineEdit, name);
        box->setFixedWidth(70);
        bindText(
            box, [this, kind, index](const QString &t) { return m_state.SetLayoutPosition(kind, index, t); },
            [this, kind, index] { return m_state.layoutPosition(kind, index); });
        return box;
    };

    auto *frames = new QHBoxLayout;
    auto *keys = named(new QGroupBox(QStringLiteral("Key Fields")), QStringLiteral("fraKeyFields"));
    auto *kGrid = new QGridLayout(keys);
    kGrid->addWidget(new QLabel(QStringLiteral("From Byte")), 0, 1);
    kGrid->addWidget(new QLabel(QStringLiteral("To Byte")), 0, 2);
    for (int k = 0; k < 4; ++k) {
        kGrid->addWidget(new QLabel(QStringLiteral("Key %1").arg(k + 1)), k + 1, 0);
        txtKeyFrom[size_t(k)] = position(indexed("txtKeyFrom", k), 0, k);
        txtKeyTo[size_t(k)] = position(indexed("txtKeyTo", k), 1, k);
        kGrid->addWidget(txtKeyFrom[size_t(k)], k + 1, 1);
        kGrid->addWidget(txtKeyTo[size_t(k)], k + 1, 2);
    }
    kGrid->setRowStretch(5, 1);
    frames->addWidget(keys, 0, Qt::AlignTop);

    auto *users = named(new QGroupBox(QStringLiteral("User Fields")), QStringLiteral("fraUserFields"));
    auto *uGrid = new QGridLayout(users);
    uGrid->addWidget(new QLabel(QStringLiteral("Name")), 0, 1);
    uGrid->addWidget(new QLabel(QStringLiteral("From Byte")), 0, 2);
    uGrid->addWidget(new QLabel(QStringLiteral("To Byte")), 0, 3);
    for (int u = 0; u < 8; ++u) {
        uGrid->addWidget(new QLabel(QStringLiteral("Field %1").arg(u + 1)), u + 1, 0);
        auto *name = named(new QLineEdit, indexed("txtUserName", u));
        name->setToolTip(QStringLiteral("A note for this session; not saved in the profile"));
        connect(name, &QLineEdit::textEdited, this, [this, u](const QString &t) {
            m_state.UserFieldNotes[size_t(m_state.SelectedExtFile)][size_t(u)] = t;
        });
        txtUserName[size_t(u)] = name;
        txtUserFrom[size_t(u)] = position(indexed("txtUserFrom", u), 2, u);
        txtUserTo[size_t(u)] = position(indexed("txtUserTo", u), 3, u);
        uGrid->addWidget(name, u + 1, 1);
        uGrid->addWidget(txtUserFrom[size_t(u)], u + 1, 2);
        uGrid->addWidget(txtUserTo[size_t(u)], u + 1, 3);
    }
    uGrid->setColumnStretch(1, 1);
    frames->addWidget(users, 1);
    layout->addLayout(frames);
    auto *note = new QLabel(QStringLiteral("WARNING : by convention the first byte of record is equal to 0."));
    note->setObjectName(QStringLiteral("lblExtFileNote"));
    QFont bold = note->font();
    bold.setBold(true);
    note->setFont(bold);
    layout->addWidget(note);
    layout->addStretch(1);
    return page;
}

QWidget *frmProfile::buildFunctions()
{
    auto *page = named(new QWidget, QStringLiteral("tabFunctions"));
    auto *layout = new QVBoxLayout(page);

    auto *top = new QGridLayout;
    auto *numbers = named(new QGroupBox(QStringLiteral("Function Number")), QStringLiteral("fraFunctionNumber"));
    auto *numberRow = new QHBoxLayout(numbers);
    auto *group = new QButtonGroup(this);
    for (int n = 0; n < 5; ++n) {
        optFunction[size_t(n)] = named(new QRadioButton(QString::number(n + 1)), indexed("optFunction", n));
        group->addButton(optFunction[size_t(n)], n);
        numberRow->addWidget(optFunction[size_t(n)]);
        connect(optFunction[size_t(n)], &QRadioButton::clicked, this, [this, n] { selectFunction(n); });
    }
    top->addWidget(numbers, 0, 0, 2, 1);
    top->addWidget(new QLabel(QStringLiteral("Function Name")), 0, 1);
    txtFunctionName = named(new QLineEdit, QStringLiteral("txtFunctionName"));
    bindText(
        txtFunctionName, [this](const QString &t) { return m_state.SetFunctionName(t); },
        [this] { return m_state.function().Name; });
    txtFunctionName->installEventFilter(this);
    top->addWidget(txtFunctionName, 0, 2);
    chkProfileEnabled = named(new QCheckBox(QStringLiteral("Profile Enabled")), QStringLiteral("chkProfileEnabled"));
    chkProfileSaveData =
        named(new QCheckBox(QStringLiteral("Profile Save Data")), QStringLiteral("chkProfileSaveData"));
    connect(chkProfileEnabled, &QCheckBox::clicked, this, [this](bool on) { m_state.SetFunctionEnabled(on); });
    connect(chkProfileSaveData, &QCheckBox::clicked, this, [this](bool on) { m_state.SetFunctionSaveData(on); });
    auto *flags = new QHBoxLayout;
    flags->addWidget(chkProfileEnabled);
    flags->addWidget(chkProfileSaveData);
    flags->addStretch(1);
    top->addLayout(flags, 1, 1, 1, 2);
    cmdCommSettings =
        named(new QPushButton(QStringLiteral("Communications Settings")), QStringLiteral("cmdCommSettings"));
    cmdCommSettings->setAutoDefault(false);
    connect(cmdCommSettings, &QPushButton::clicked, this,
            [this] { runSubEditor([this] { ShowProfileComm(m_ws, this); }); });
    top->addWidget(cmdCommSettings, 0, 3, 2, 1);
    top->setColumnStretch(2, 1);
    layout->addLayout(top);

    tabFunction = named(new QTabWidget, QStringLiteral("tabFunction"));
    tabFunction->addTab(buildMlks(), QStringLiteral("MLKS"));
    tabFunction->addTab(buildDual(), QStringLiteral("Dual Manage"));
    tabFunction->addTab(buildDefaults(), QStringLiteral("Defaults"));
    tabFunction->addTab(buildInput(), QStringLiteral("Input/BC"));
    tabFunction->addTab(buildAlign(), QStringLiteral("Align"));
    tabFunction->addTab(buildExtFile(), QStringLiteral("Ext. File"));
    layout->addWidget(tabFunction, 1);
    return page;
}

QWidget *frmProfile::buildMlks()
{
    auto *page = named(new QWidget, QStringLiteral("tabMLKS"));
    auto *grid = new QGridLayout(page);
    grid->setVerticalSpacing(4);
    const QStringList headings = {QString(),
                                  QStringLiteral("Field enabled (and show)"),
                                  QStringLiteral("Field Name"),
                                  QStringLiteral("Field level (screen)"),
                                  QStringLiteral("Mask (and Lenght)"),
                                  QString(),
                                  QStringLiteral("Min Length"),
                                  QStringLiteral("Key"),
                                  QStringLiteral("Sum")};
    for (int c = 0; c < headings.size(); ++c)
        grid->addWidget(new QLabel(headings.at(c)), 1, c);
    auto *max = new QLabel(QStringLiteral("Max 4 Selected"));
    max->setObjectName(QStringLiteral("lblMaxKeys"));
    grid->addWidget(max, 0, 7, 1, 2, Qt::AlignHCenter);

    for (int i = 0; i < 8; ++i) {
        FieldRow &r = fields[size_t(i)];
        const int row = i + 2;
        grid->addWidget(new QLabel(QString::number(i + 1)), row, 0);

        r.chkEnabled = named(new QCheckBox, indexed("chkFieldEnabled", i));
        connect(r.chkEnabled, &QCheckBox::clicked, this, [this, i](bool on) {
            tell(m_state.SetFieldEnabled(i, on));
            refreshField(i);
        });
        grid->addWidget(r.chkEnabled, row, 1, Qt::AlignHCenter);

        r.txtName = named(new QLineEdit, indexed("txtFieldName", i));
        bindText(
            r.txtName, [this, i](const QString &t) { return m_state.SetFieldName(i, t); },
            [this, i] { return m_state.field(i).Name; });
        connect(r.txtName, &QLineEdit::textEdited, this, [this, i] {
            for (QLabel *l : fields[size_t(i)].lblName)
                l->setText(m_state.field(i).Name);
        });
        r.txtName->installEventFilter(this);
        grid->addWidget(r.txtName, row, 2);

        r.cmbLevel = named(new QComboBox, indexed("cmbFieldLevel", i));
        r.cmbLevel->addItems(
            {QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("4"), QStringLiteral("5")});
        connect(r.cmbLevel, &QComboBox::currentIndexChanged, this, [this, i](int level) {
            if (!m_state.LoadingControls && level >= 0)
                m_state.SetLevel(i, level);
        });
        grid->addWidget(r.cmbLevel, row, 3);

        r.txtMask = named(new QLineEdit, indexed("txtMask", i));
        bindText(
            r.txtMask, [this, i](const QString &t) { return m_state.SetMask(i, t); },
            [this, i] { return m_state.field(i).Mask; });
        // The box's own text: a refused key has already been taken back when
        // the change is reported.
        connect(r.txtMask, &QLineEdit::textChanged, this, [this, i] {
            FieldRow &f = fields[size_t(i)];
            f.lblMaskLen->setText(ProfileEditorState::MaskCountLabel(f.txtMask->text()));
        });
        // After the rule has run: the default follows the new mask length.
        connect(r.txtMask, &QLineEdit::textEdited, this,
                [this, i] { setBoxText(fields[size_t(i)].txtDefault, m_state.field(i).DefaultValue); });
        r.txtMask->installEventFilter(this);
        grid->addWidget(r.txtMask, row, 4);
        r.lblMaskLen = named(new QLabel(QStringLiteral("(10)")), indexed("lblMaskLen", i));
        r.lblMaskLen->setMinimumWidth(32);
        grid->addWidget(r.lblMaskLen, row, 5);

        r.txtMinLength = named(new QLineEdit, indexed("txtMinLength", i));
        r.txtMinLength->setFixedWidth(50);
        bindText(
            r.txtMinLength, [this, i](const QString &t) { return m_state.SetMinLength(i, t); },
            [this, i] { return m_state.field(i).MinLength; });
        grid->addWidget(r.txtMinLength, row, 6);

        r.chkKey = named(new QCheckBox, indexed("chkKey", i));
        connect(r.chkKey, &QCheckBox::clicked, this, [this, i](bool on) {
            tell(m_state.SetKey(i, on));
            refreshField(i);
        });
        grid->addWidget(r.chkKey, row, 7, Qt::AlignHCenter);
        r.chkSum = named(new QCheckBox, indexed("chkSum", i));
        connect(r.chkSum, &QCheckBox::clicked, this, [this, i](bool on) {
            tell(m_state.SetSum(i, on));
            refreshField(i);
        });
        grid->addWidget(r.chkSum, row, 8, Qt::AlignHCenter);
    }
    grid->setColumnStretch(2, 2);
    grid->setColumnStretch(4, 2);
    grid->setRowStretch(10, 1);
    return page;
}

QWidget *frmProfile::buildDual()
{
    auto *page = named(new QWidget, QStringLiteral("tabDualManage"));
    auto *layout = new QVBoxLayout(page);
    const QStringList legend = {QStringLiteral("Ignore"), QStringLiteral("Reject\non Key"),
                                QStringLiteral("Reject\non Rec"), QStringLiteral("Sum Up")};
    auto slider = [&](const QString &caption, const QString &name) {
        auto *box = named(new QGroupBox(caption), QStringLiteral("fra") + name);
        auto *v = new QVBoxLayout(box);
        auto *s = makeSlider(4, name);
        s->setMaximumWidth(420);
        v->addWidget(s);
        auto *words = sliderLegend(legend);
        words->setMaximumWidth(420);
        v->addWidget(words);
        layout->addWidget(box);
        return s;
    };
    sldDualConsecutive = slider(QStringLiteral("On Consecutive record"), QStringLiteral("sldDualConsecutive"));
    sldDualNotConsecutive =
        slider(QStringLiteral("On NOT Consecutive record"), QStringLiteral("sldDualNotConsecutive"));
    connect(sldDualConsecutive, &QSlider::valueChanged, this, [this](int v) {
        if (m_state.LoadingControls)
            return;
        m_state.SetDualConsecutive(v);
        refreshDual();
    });
    connect(sldDualNotConsecutive, &QSlider::valueChanged, this, [this](int v) {
        if (m_state.LoadingControls)
            return;
        m_state.SetDualNotConsecutive(v);
        refreshDual();
    });
    lblDualMessage = named(new QLabel, QStringLiteral("lblDualMessage"));
    QPalette warn = lblDualMessage->palette();
    warn.setColor(QPalette::WindowText, Qt::red);
    lblDualMessage->setPalette(warn);
    layout->addWidget(lblDualMessage);
    layout->addStretch(1);
    return page;
}

QWidget *frmProfile::buildDefaults()
{
    auto *page = named(new QWidget, QStringLiteral("tabDefaults"));
    auto *grid = new QGridLayout(page);
    grid->addWidget(new QLabel(QStringLiteral("Enable")), 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("Automatic")), 0, 3);
    grid->addWidget(new QLabel(QStringLiteral("Value")), 0, 4);
    for (int i = 0; i < 8; ++i) {
        FieldRow &r = fields[size_t(i)];
        grid->addWidget(new QLabel(QString::number(i + 1)), i + 1, 0);
        r.lblName[0] = new QLabel;
        grid->addWidget(r.lblName[0], i + 1, 1);
        r.chkDefaultEnable = named(new QCheckBox, indexed("chkDefaultEnable", i));
        r.chkDefaultAuto = named(new QCheckBox, indexed("chkDefaultAuto", i));
        connect(r.chkDefaultEnable, &QCheckBox::clicked, this,
                [this, i](bool on) { m_state.SetDefaultEnabled(i, on); });
        connect(r.chkDefaultAuto, &QCheckBox::clicked, this,
                [this, i](bool on) { m_state.SetDefaultAutomatic(i, on); });
        grid->addWidget(r.chkDefaultEnable, i + 1, 2, Qt::AlignHCenter);
        grid->addWidget(r.chkDefaultAuto, i + 1, 3, Qt::AlignHCenter);
        r.txtDefault = named(new QLineEdit, indexed("txtDefault", i));
        bindText(
            r.txtDefault, [this, i](const QString &t) { return m_state.SetDefaultValue(i, t); },
            [this, i] { return m_state.field(i).DefaultValue; });
        grid->addWidget(r.txtDefault, i + 1, 4);
    }
    grid->setColumnStretch(4, 1);
    grid->setColumnMinimumWidth(1, 180);
    grid->setRowStretch(9, 1);
    return page;
}

QWidget *frmProfile::buildInput()
{
    auto *page = named(new QWidget, QStringLiteral("tabInputBC"));
    auto *grid = new QGridLayout(page);
    grid->addWidget(new QLabel(QStringLiteral("Keyboard")), 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("Reader")), 0, 3);
    grid->addWidget(new QLabel(QStringLiteral("AutoCR")), 0, 4);
    for (int i = 0; i < 8; ++i) {
        FieldRow &r = fields[size_t(i)];
        grid->addWidget(new QLabel(QString::number(i + 1)), i + 1, 0);
        r.lblName[1] = new QLabel;
        grid->addWidget(r.lblName[1], i + 1, 1);
        r.chkKeyboard = named(new QCheckBox, indexed("chkKeyboard", i));
        r.chkReader = named(new QCheckBox, indexed("chkReader", i));
        r.chkAutoCR = named(new QCheckBox, indexed("chkAutoCR", i));
        connect(r.chkKeyboard, &QCheckBox::clicked, this, [this, i](bool on) {
            tell(m_state.SetInputKeyboard(i, on));
            refreshField(i);
        });
        connect(r.chkReader, &QCheckBox::clicked, this, [this, i](bool on) {
            tell(m_state.SetInputReader(i, on));
            refreshField(i);
        });
        connect(r.chkAutoCR, &QCheckBox::clicked, this, [this, i](bool on) {
            tell(m_state.SetInputAutoCR(i, on));
            refreshField(i);
        });
        grid->addWidget(r.chkKeyboard, i + 1, 2, Qt::AlignHCenter);
        grid->addWidget(r.chkReader, i + 1, 3, Qt::AlignHCenter);
        grid->addWidget(r.chkAutoCR, i + 1, 4, Qt::AlignHCenter);
        r.cmdBCTable = named(new QPushButton(QStringLiteral("BC table")), indexed("cmdBCTable", i));
        r.cmdBCTable->setAutoDefault(false);
        connect(r.cmdBCTable, &QPushButton::clicked, this, [this, i] {
            m_ws.CurrentBarcodeField = qint16(i);
            runSubEditor([this] { ShowBCTable(m_ws, this); });
        });
        grid->addWidget(r.cmdBCTable, i + 1, 5);
    }
    grid->setColumnMinimumWidth(1, 180);
    grid->setColumnStretch(6, 1);
    grid->setRowStretch(9, 1);
    return page;
}

QWidget *frmProfile::buildAlign()
{
    auto *page = named(new QWidget, QStringLiteral("tabAlign"));
    auto *grid = new QGridLayout(page);
    grid->addWidget(sliderLegend({QStringLiteral("Left"), QStringLiteral("Right"), QStringLiteral("Trim")}), 0, 2);
    for (int i = 0; i < 8; ++i) {
        FieldRow &r = fields[size_t(i)];
        grid->addWidget(new QLabel(QString::number(i + 1)), i + 1, 0);
        r.lblName[2] = new QLabel;
        grid->addWidget(r.lblName[2], i + 1, 1);
        r.sldAlign = makeSlider(3, indexed("sldAlign", i));
        r.sldAlign->setFixedWidth(220);
        connect(r.sldAlign, &QSlider::valueChanged, this, [this, i](int v) {
            if (!m_state.LoadingControls)
                m_state.SetAlign(i, v);
        });
        grid->addWidget(r.sldAlign, i + 1, 2);
    }
    grid->itemAtPosition(0, 2)->widget()->setFixedWidth(220);
    grid->setColumnMinimumWidth(1, 180);
    grid->setColumnStretch(3, 1);
    grid->setRowStretch(9, 1);
    return page;
}

QWidget *frmProfile::buildExtFile()
{
    auto *page = named(new QWidget, QStringLiteral("tabExtFile"));
    auto *grid = new QGridLayout(page);
    grid->addWidget(new QLabel(QStringLiteral("File to use")), 0, 0);
    cmbFileToUse = named(new QComboBox, QStringLiteral("cmbFileToUse"));
    cmbFileToUse->addItem(QStringLiteral("None"));
    for (int e = 1; e <= 5; ++e)
        cmbFileToUse->addItem(QStringLiteral("File %1").arg(e));
    connect(cmbFileToUse, &QComboBox::currentIndexChanged, this, [this](int n) {
        if (m_state.LoadingControls || n < 0)
            return;
        m_state.SetExtFileNumber(n);
        refreshExtFile();
    });
    grid->addWidget(cmbFileToUse, 0, 1);
    const char *modes[3] = {"Query Mode", "Retrieve Mode", "Update Mode"};
    const std::function<void()> define[3] = {
        [this] { ShowExtFileFieldsToShow(m_ws, this); },
        [this] { ShowExtFileFieldsToRetrieve(m_ws, this); },
        [this] { ShowExtFileFieldsToUpdate(m_ws, this); },
    };
    for (int m = 0; m < 3; ++m) {
        const auto mode = ExtMode(m);
        chkExtMode[size_t(m)] = named(new QCheckBox(QLatin1String(modes[m])), indexed("chkExtMode", m));
        cmdDefine[size_t(m)] = named(new QPushButton(QStringLiteral("Define")), indexed("cmdDefine", m));
        cmdDefine[size_t(m)]->setAutoDefault(false);
        chkExtStop[size_t(m)] = named(new QCheckBox(QStringLiteral("Stop")), indexed("chkExtStop", m));
        connect(chkExtMode[size_t(m)], &QCheckBox::clicked, this, [this, mode](bool on) {
            m_state.SetExtMode(mode, on);
            refreshExtFile();
        });
        connect(chkExtStop[size_t(m)], &QCheckBox::clicked, this,
                [this, mode](bool on) { m_state.SetExtStop(mode, on); });
        const std::function<void()> open = define[m];
        connect(cmdDefine[size_t(m)], &QPushButton::clicked, this, [this, open] { runSubEditor(open); });
        grid->addWidget(chkExtMode[size_t(m)], m + 1, 0);
        grid->addWidget(cmdDefine[size_t(m)], m + 1, 1);
        grid->addWidget(chkExtStop[size_t(m)], m + 1, 2);
    }
    cmdJoinKey = named(new QPushButton(QStringLiteral("Join Key Fields")), QStringLiteral("cmdJoinKey"));
    cmdJoinKey->setAutoDefault(false);
    connect(cmdJoinKey, &QPushButton::clicked, this,
            [this] { runSubEditor([this] { ShowExtFileJoinKey(m_ws, this); }); });
    grid->addWidget(cmdJoinKey, 4, 0, 1, 2);
    grid->setColumnStretch(3, 1);
    grid->setRowStretch(5, 1);
    return page;
}

QWidget *frmProfile::buildModem()
{
    auto *page = named(new QWidget, QStringLiteral("tabModem"));
    auto *layout = new QVBoxLayout(page);
    auto *numbers = named(new QGroupBox(QStringLiteral("Profile Number")), QStringLiteral("fraProfileNumber"));
    auto *numberRow = new QHBoxLayout(numbers);
    auto *group = new QButtonGroup(this);
    for (int n = 0; n < 5; ++n) {
        optModemProfile[size_t(n)] = named(new QRadioButton(QString::number(n + 1)), indexed("optModemProfile", n));
        group->addButton(optModemProfile[size_t(n)], n);
        numberRow->addWidget(optModemProfile[size_t(n)]);
        connect(optModemProfile[size_t(n)], &QRadioButton::clicked, this, [this, n] { selectFunction(n); });
    }
    numberRow->addStretch(1);
    layout->addWidget(numbers);
    chkModem = named(new QCheckBox(QStringLiteral("Enabled modem")), QStringLiteral("chkModem"));
    connect(chkModem, &QCheckBox::clicked, this, [this](bool on) {
        m_state.SetModemPresent(on);
        refreshModem();
    });
    layout->addWidget(chkModem);
    fraModemConfig = named(new QGroupBox(QStringLiteral("Configuration")), QStringLiteral("fraModemConfig"));
    auto *grid = new QGridLayout(fraModemConfig);
    for (int b = 0; b < 5; ++b) {
        grid->addWidget(new QLabel(QLatin1String(kModemLabels[b])), b, 0);
        auto *box = named(new QLineEdit, indexed("txtModem", b));
        box->setMaxLength(ProfileEditorState::ModemBoxLength(b));
        bindText(
            box, [this, b](const QString &t) { return m_state.SetModemText(b, t); },
            [this, b, box] {
                // An emptied time-out box stays empty while it is edited.
                return b == 4 && box->text().isEmpty() ? QString() : m_state.modemText(b);
            });
        txtModem[size_t(b)] = box;
        grid->addWidget(box, b, 1);
    }
    txtModem[2]->setMinimumWidth(420);
    grid->setColumnStretch(2, 1);
    layout->addWidget(fraModemConfig);
    layout->addStretch(1);
    return page;
}

QWidget *frmProfile::buildNote(const QString &text)
{
    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);
    auto *note = new QLabel(text);
    note->setWordWrap(true);
    layout->addWidget(note);
    auto *notYet = new QLabel(QStringLiteral("Option not yet Available"));
    QFont bold = notYet->font();
    bold.setBold(true);
    notYet->setFont(bold);
    layout->addWidget(notYet);
    layout->addStretch(1);
    return page;
}

// ---------------------------------------------------------------------------
// Filling the controls

void frmProfile::RefreshValue()
{
    m_state.LoadingControls = true;
    refreshCaption();
    refreshFamily();
    refreshCommon();
    refreshLayout();
    refreshFunction();
    m_state.LoadingControls = false;
    // The automatic transmission is shown as the profile holds it: a file
    // may keep port settings while the transmission is off, and showing a
    // profile must not change it (clearing them is the user's act).
    refreshAutoPort();
}

void frmProfile::refreshCaption()
{
    setWindowTitle(m_state.caption());
}

void frmProfile::refreshFamily()
{
    const QString &family = m_ws.Profile.TerminalFamily;
    for (int i = 0; i < 3; ++i)
        optTerminal[size_t(i)]->setChecked(family == QLatin1String(kFamilies[i]));
}

void frmProfile::refreshCommon()
{
    const TerminalOptions &o = m_ws.Profile.TerminalOptions;
    const bool loading = m_state.LoadingControls;
    m_state.LoadingControls = true;
    setCombo(cmbLanguage, o.Language);
    chkBackLight->setChecked(o.AutoBackLight);
    chkBeepRead->setChecked(o.BeepOnRead);
    chkBeepError->setChecked(o.BeepOnError);
    chkTerminalId->setChecked(o.TerminalIdEnabled);
    setBoxText(txtTerminalId, o.TerminalIdValue);
    chkOperatorId->setChecked(o.OperatorIdEnabled);
    setBoxText(txtOperatorId, o.OperatorIdValue);
    optAsString->setChecked(m_state.Mode == ConstantMode::AsString);
    optAsAscii->setChecked(m_state.Mode == ConstantMode::AsAsciiCode);
    cmbConstant->setCurrentIndex(m_state.SelectedConstant);
    refreshConstantBoxes();
    m_state.LoadingControls = loading;
}

void frmProfile::refreshAutoPort(bool selectTab)
{
    const TerminalOptions &o = m_ws.Profile.TerminalOptions;
    const bool loading = m_state.LoadingControls;
    m_state.LoadingControls = true;
    chkComAuto->setChecked(o.AutoTransmit);
    if (selectTab)
        tabComAuto->setCurrentIndex(m_state.autoPortTab());
    for (int t = 0; t < 5; ++t) {
        PortTab &p = portTabs[size_t(t)];
        setCombo(p.cmbSpeed, SpeedListPosition(t == ProfileEditorState::KeyboardTab, o.AutoPortSpeed));
        setCombo(p.cmbParity, o.AutoPortParity);
        setCombo(p.cmbData, o.AutoPortDataBits);
        setCombo(p.cmbFlowControl, o.AutoPortFlowControl);
    }
    tabComAuto->setEnabled(o.AutoTransmit);
    m_state.LoadingControls = loading;
}

void frmProfile::refreshConstantBoxes()
{
    m_state.ConstantBoxesBusy = true;
    const QStringList boxes = m_state.ConstantBoxes(m_state.SelectedConstant, m_state.Mode);
    for (int k = 0; k < 10; ++k) {
        txtConstant[size_t(k)]->setMaxLength(ProfileEditorState::BoxLength(m_state.Mode));
        txtConstant[size_t(k)]->setText(boxes.value(k));
    }
    m_state.ConstantBoxesBusy = false;
}

void frmProfile::setConstantMode(ConstantMode mode)
{
    if (mode == m_state.Mode)
        return;
    QStringList boxes;
    for (QLineEdit *box : txtConstant)
        boxes << box->text();
    const QStringList converted = ProfileEditorState::ConvertBoxes(boxes, m_state.Mode, mode);
    m_state.ConstantBoxesBusy = true;
    m_state.Mode = mode;
    for (int k = 0; k < 10; ++k) {
        txtConstant[size_t(k)]->setMaxLength(ProfileEditorState::BoxLength(mode));
        txtConstant[size_t(k)]->setText(converted.value(k));
    }
    m_state.ConstantBoxesBusy = false;
}

void frmProfile::constantBoxEdited()
{
    QStringList boxes;
    for (QLineEdit *box : txtConstant)
        boxes << box->text();
    m_state.SetConstantFromBoxes(m_state.SelectedConstant, boxes, m_state.Mode);
}

void frmProfile::refreshLayout()
{
    const bool loading = m_state.LoadingControls;
    m_state.LoadingControls = true;
    cmbExtFile->setCurrentIndex(m_state.SelectedExtFile);
    for (int k = 0; k < 4; ++k) {
        setBoxText(txtKeyFrom[size_t(k)], m_state.layoutPosition(0, k));
        setBoxText(txtKeyTo[size_t(k)], m_state.layoutPosition(1, k));
    }
    for (int u = 0; u < 8; ++u) {
        setBoxText(txtUserName[size_t(u)], m_state.UserFieldNotes[size_t(m_state.SelectedExtFile)][size_t(u)]);
        setBoxText(txtUserFrom[size_t(u)], m_state.layoutPosition(2, u));
        setBoxText(txtUserTo[size_t(u)], m_state.layoutPosition(3, u));
    }
    m_state.LoadingControls = loading;
}

void frmProfile::refreshFunction()
{
    const bool loading = m_state.LoadingControls;
    m_state.LoadingControls = true;
    const int n = m_state.currentFunction();
    optFunction[size_t(n)]->setChecked(true);
    optModemProfile[size_t(n)]->setChecked(true);
    const ProfileFunction &f = m_state.function();
    setBoxText(txtFunctionName, f.Name);
    chkProfileEnabled->setChecked(f.Enabled);
    chkProfileSaveData->setChecked(f.SaveData);
    for (int i = 0; i < 8; ++i)
        refreshField(i);
    refreshDual();
    refreshExtFile();
    refreshModem();
    m_state.LoadingControls = loading;
}

void frmProfile::refreshField(int i)
{
    const bool loading = m_state.LoadingControls;
    m_state.LoadingControls = true;
    const ProfileField &f = m_state.field(i);
    FieldRow &r = fields[size_t(i)];
    r.chkEnabled->setChecked(f.Enabled);
    setBoxText(r.txtName, f.Name);
    for (QLabel *l : r.lblName) {
        if (l)
            l->setText(f.Name);
    }
    setCombo(r.cmbLevel, f.Level);
    setBoxText(r.txtMask, f.Mask);
    r.lblMaskLen->setText(ProfileEditorState::MaskCountLabel(r.txtMask->text()));
    setBoxText(r.txtMinLength, f.MinLength);
    r.chkKey->setChecked(f.IsKey);
    r.chkSum->setChecked(f.IsSum);
    r.chkDefaultEnable->setChecked(f.DefaultEnabled);
    r.chkDefaultAuto->setChecked(f.DefaultAutomatic);
    setBoxText(r.txtDefault, f.DefaultValue);
    r.chkKeyboard->setChecked(f.InputKeyboard);
    r.chkReader->setChecked(f.InputReader);
    r.chkAutoCR->setChecked(f.InputReaderAutoCR);
    r.sldAlign->setValue(f.Align);
    m_state.LoadingControls = loading;
}

void frmProfile::refreshDual()
{
    const bool loading = m_state.LoadingControls;
    m_state.LoadingControls = true;
    const ProfileFunction &f = m_state.function();
    sldDualConsecutive->setValue(f.DualConsecutive);
    sldDualNotConsecutive->setValue(f.DualNotConsecutive);
    sldDualConsecutive->setEnabled(!m_state.consecutiveLocked());
    lblDualMessage->setText(m_state.dualWarning());
    m_state.LoadingControls = loading;
}

void frmProfile::refreshExtFile()
{
    const bool loading = m_state.LoadingControls;
    m_state.LoadingControls = true;
    setCombo(cmbFileToUse, m_state.function().ExtLink.FileNumber);
    const bool withFile = m_state.extControlsEnabled();
    for (int m = 0; m < 3; ++m) {
        const auto mode = ExtMode(m);
        chkExtMode[size_t(m)]->setChecked(m_state.extModeActive(mode));
        chkExtStop[size_t(m)]->setChecked(m_state.extStop(mode));
        chkExtMode[size_t(m)]->setEnabled(withFile);
        chkExtStop[size_t(m)]->setEnabled(withFile);
        cmdDefine[size_t(m)]->setEnabled(m_state.extDefineEnabled(mode));
    }
    cmdJoinKey->setEnabled(withFile);
    m_state.LoadingControls = loading;
}

void frmProfile::refreshModem()
{
    const bool loading = m_state.LoadingControls;
    m_state.LoadingControls = true;
    const bool present = m_state.function().Modem.Present != 0;
    chkModem->setChecked(present);
    fraModemConfig->setEnabled(present);
    for (int b = 0; b < 5; ++b)
        setBoxText(txtModem[size_t(b)], m_state.modemText(b));
    m_state.LoadingControls = loading;
}

void frmProfile::selectFunction(int function)
{
    m_state.SelectFunction(function);
    refreshFunction();
}

void frmProfile::familyClicked(int which)
{
    m_state.ChooseTerminalFamily(QLatin1String(kFamilies[which]));
    m_state.LoadingControls = true;
    refreshFamily();
    for (int i = 0; i < 8; ++i)
        refreshField(i);
    m_state.LoadingControls = false;
}

void frmProfile::runSubEditor(const std::function<void()> &open)
{
    const QString family = m_ws.Profile.TerminalFamily;
    open();
    // The sub-editors write the profile directly. A family chosen in the
    // communication settings is the user's choice, as on the Common tab.
    if (m_ws.Profile.TerminalFamily != family)
        m_state.ChooseTerminalFamily(m_ws.Profile.TerminalFamily);
    RefreshValue();
}

// Blank names and masks are repaired when their box loses the focus.
bool frmProfile::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusOut && !m_closing) {
        if (watched == txtFunctionName) {
            const EditVerdict v = m_state.FunctionNameFocusLost();
            if (!v.message.isEmpty()) {
                setBoxText(txtFunctionName, m_state.function().Name);
                tell(v);
            }
        }
        for (int i = 0; i < 8; ++i) {
            FieldRow &r = fields[size_t(i)];
            if (watched == r.txtName) {
                const EditVerdict v = m_state.FieldNameFocusLost(i);
                if (!v.message.isEmpty()) {
                    refreshField(i);
                    tell(v);
                }
            } else if (watched == r.txtMask) {
                const EditVerdict v = m_state.MaskFocusLost(i);
                if (!v.message.isEmpty()) {
                    refreshField(i);
                    tell(v);
                }
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------
// Commands

void frmProfile::mnuNew_Click()
{
    m_state.New();
    RefreshValue();
}

void frmProfile::mnuOpen_Click()
{
    const QString path = m_messenger.openFileName(QStringLiteral("Open..."), ProfileFileFilter());
    if (path.isEmpty())
        return; // the profile being edited stays
    if (!QFileInfo(path).isFile()) {
        m_messenger.message(QStringLiteral("The profile %1 does not exist.").arg(path), MsgIcon::Exclamation,
                            MsgButtons::Ok, ProfileEditorState::CloseTitle());
        return;
    }
    m_state.Open(path, m_messenger);
    RefreshValue();
}

bool frmProfile::OpenOrCreate(const QString &path)
{
    if (!QFileInfo::exists(path)) {
        m_state.NewAt(path);
        RefreshValue();
        return true;
    }
    const bool ok = m_state.Open(path, m_messenger);
    RefreshValue();
    return ok;
}

void frmProfile::mnuSave_Click()
{
    if (m_state.filePath().isEmpty()) {
        mnuSaveAs_Click();
        return;
    }
    m_state.Save(m_messenger);
    refreshCaption();
}

void frmProfile::mnuSaveAs_Click()
{
    const auto outcome = m_state.SaveAs(m_messenger);
    refreshCaption();
    if (outcome != ProfileEditorState::SaveAsOutcome::SavedToSend)
        return;
    frmSettingsSend send(m_ws.ProfileFileName, this, nullptr, nullptr, &m_messenger);
    send.exec();
}

void frmProfile::mnuCopyProfile_Click()
{
    frmCopyProfile copy(m_state, m_messenger, this);
    copy.exec();
    m_state.SelectFunction(0);
    RefreshValue();
}

void frmProfile::mnuSendToTerm_Click()
{
    SendProfileToTerminal(this, m_messenger);
}

void frmProfile::mnuReceiveFromTerm_Click()
{
    if (ReceiveProfileFromTerminal(this, m_ws.Profile, m_messenger)) {
        m_state.SetTerminalFamily(m_ws.Profile.TerminalFamily);
        RefreshValue();
    }
}

void frmProfile::ShowFileMenu()
{
    if (mnuFile)
        return;
    mnuFile = named(new QMenu(QStringLiteral("&File"), menuBar), QStringLiteral("mnuFile"));
    mnuFile->addAction(mnuSave);
    mnuFile->addAction(mnuSaveAs);
    mnuFile->addSeparator();
    mnuClose = named(mnuFile->addAction(QStringLiteral("Close")), QStringLiteral("mnuClose"));
    mnuClose->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    connect(mnuClose, &QAction::triggered, this, &frmProfile::cmdClose_Click);
    menuBar->insertMenu(mnuSettings->menuAction(), mnuFile);
}

void frmProfile::cmdClose_Click()
{
    if (m_state.modified()) {
        // Edits since the last Open, Save or New: save them, drop them, or stay.
        const MsgAnswer answer =
            m_messenger.message(QStringLiteral("The profile has changes that are not saved.\nSave them?"),
                                MsgIcon::Question, MsgButtons::YesNoCancel, ProfileEditorState::CloseTitle());
        if (answer == MsgAnswer::Cancel)
            return;
        if (answer == MsgAnswer::Yes) {
            const auto saved = m_state.Save(m_messenger);
            refreshCaption();
            if (saved == ProfileEditorState::SaveAsOutcome::SavedToSend) {
                frmSettingsSend send(m_ws.ProfileFileName, this, nullptr, nullptr, &m_messenger);
                send.exec();
            } else if (saved != ProfileEditorState::SaveAsOutcome::Saved) {
                return; // not saved: the editor stays
            }
        }
    } else if (m_state.closeNeedsConfirmation()
               && m_messenger.message(ProfileEditorState::CloseQuestion(), MsgIcon::Question, MsgButtons::OkCancel,
                                      ProfileEditorState::CloseTitle())
                      != MsgAnswer::Ok) {
        return;
    }
    m_closing = true;
    QDialog::reject();
}

void frmProfile::reject()
{
    cmdClose_Click();
}

} // namespace vx
