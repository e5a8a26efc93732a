#include "ui/options/frmOptions.h"

#include "collector/ConfigCheck.h"
#include "collector/RegistryExchange.h"
#include "platform/Messenger.h"
#include "settings/IniStore.h"
#include "settings/Settings.h"
#include "ui/options/frmSettingModem.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QTabWidget>
#include <QVBoxLayout>

namespace vx {

namespace {

QString indexed(const char *name, int i)
{
    return QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(i);
}

QComboBox *listBox(const QStringList &items, const QString &name, QWidget *parent, bool editable = false)
{
    auto *box = new QComboBox(parent);
    box->setObjectName(name);
    box->addItems(items);
    box->setEditable(editable);
    if (editable)
        box->setInsertPolicy(QComboBox::NoInsert);
    return box;
}

QLineEdit *digitsBox(const QString &name, int digits, QWidget *parent)
{
    auto *edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("\\d{0,%1}").arg(digits)), edit));
    return edit;
}

// Makes a box of at most `digits` digits wide enough to show them all
// whatever the font, and no wider than a little more: the frame and text
// margins are what the box's own size hint adds to its 17 characters.
void fitDigits(QLineEdit *edit, int digits)
{
    const QFontMetrics fm = edit->fontMetrics();
    const int frame = edit->sizeHint().width() - fm.horizontalAdvance(QLatin1Char('x')) * 17;
    const int width = fm.horizontalAdvance(QString(digits, QLatin1Char('0'))) + frame + fm.averageCharWidth();
    edit->setMinimumWidth(width);
    edit->setMaximumWidth(width + fm.averageCharWidth() * 2);
}

QLabel *note(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    QFont f = label->font();
    f.setItalic(true);
    label->setFont(f);
    return label;
}

// Shows a list position. A stored text that is none of the list's entries
// is shown as it is, as one more entry after the list's own, so that what
// the dialog shows is what "OK" saves.
void showChoice(QComboBox *box, const QStringList &list, int index, const QString &stored)
{
    const int size = int(list.size());
    while (box->count() > size)
        box->removeItem(box->count() - 1);
    if (index >= 0 && index < size) {
        box->setCurrentIndex(index);
        return;
    }
    box->addItem(stored);
    box->setItemData(size,
                     QStringLiteral("Stored as \"%1\", which is not one of this list's entries: kept as it is "
                                    "unless another entry is chosen")
                         .arg(stored),
                     Qt::ToolTipRole);
    box->setCurrentIndex(size);
}

// The list position a box shows; kUnlisted on the stored text of showChoice.
int choiceOf(const QComboBox *box, const QStringList &list)
{
    const int i = box->currentIndex();
    return i >= 0 && i < int(list.size()) ? i : kUnlisted;
}

void setComboText(QComboBox *box, const QString &text)
{
    const int i = box->findText(text);
    if (i >= 0)
        box->setCurrentIndex(i);
    box->setEditText(text);
}

} // namespace

frmOptions::frmOptions(Settings &settings, IniStore &store, Messenger &messenger, QWidget *parent)
    : QDialog(parent), m_settings(settings), m_store(store), m_messenger(messenger)
{
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("Options"));

    auto *layout = new QVBoxLayout(this);
    tabOptions = new QTabWidget(this);
    tabOptions->setObjectName(QStringLiteral("tabOptions"));

    tabChannels = new QTabWidget;
    tabChannels->setObjectName(QStringLiteral("tabChannels"));
    for (int i = 1; i <= kChannels; ++i)
        tabChannels->addTab(buildChannelTab(i), QStringLiteral("Channel %1").arg(i));
    tabOptions->addTab(tabChannels, QStringLiteral("Comm Settings"));
    tabOptions->addTab(buildFilesTab(), QStringLiteral("UpLoad Files"));
    tabOptions->addTab(buildMiscTab(), QStringLiteral("Miscellaneous"));
    layout->addWidget(tabOptions, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setAutoDefault(false);
    cmdApply = new QPushButton(QStringLiteral("&Apply"), this);
    cmdApply->setObjectName(QStringLiteral("cmdApply"));
    cmdApply->setAutoDefault(false);
    for (QPushButton *b : {cmdOK, cmdCancel, cmdApply}) {
        b->setMinimumWidth(90);
        buttons->addWidget(b);
    }
    layout->addLayout(buttons);
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
    connect(cmdApply, &QPushButton::clicked, this, [this] { cmdApply_Click(); });
    connect(cmdCancel, &QPushButton::clicked, this, &frmOptions::cmdCancel_Click);

    // Choosing a channel tab puts the focus on its protocol; a look-up file
    // tab on its file name.
    connect(tabChannels, &QTabWidget::currentChanged, this, [this](int index) {
        if (index >= 0 && index < kChannels)
            CmbProtocolType[index + 1]->setFocus(Qt::TabFocusReason);
    });
    connect(tabFiles, &QTabWidget::currentChanged, this, [this](int index) {
        if (index >= 0 && index < kFiles)
            PCtoTermdb[index + 1]->setFocus(Qt::TabFocusReason);
    });

    ShowForm(OptionsForm::Fill(m_settings, m_store));
    ShowPresentPorts(PresentPorts());
}

// ---------------------------------------------------------------------------
// Layout

QWidget *frmOptions::buildChannelTab(int i)
{
    using namespace OptionsLists;
    auto *page = new QWidget;
    page->setObjectName(indexed("ChannelTab", i));
    auto *columns = new QHBoxLayout(page);
    auto *left = new QVBoxLayout;
    auto *right = new QVBoxLayout;
    columns->addLayout(left, 1);
    columns->addLayout(right, 1);

    // Protocol and automatic collection.
    auto *protocol = new QGroupBox(QStringLiteral("Protocol"), page);
    auto *pg = new QGridLayout(protocol);
    CmbProtocolType[i] = listBox(ProtocolTypes(), indexed("CmbProtocolType", i), protocol);
    chkComAuto[i] = new QCheckBox(QStringLiteral("Automatic"), protocol);
    chkComAuto[i]->setObjectName(indexed("chkComAuto", i));
    txtComAutoSec[i] = digitsBox(indexed("txtComAutoSec", i), 2, protocol);
    fitDigits(txtComAutoSec[i], 2);
    txtComAutoSec[i]->setToolTip(QStringLiteral("Seconds between two automatic collections, 2 to 60"));
    auto *protocolLabel = new QLabel(QStringLiteral("Protocol Type"), protocol);
    protocolLabel->setBuddy(CmbProtocolType[i]);
    auto *intervalLabel = new QLabel(QStringLiteral("Interval (sec.)"), protocol);
    intervalLabel->setBuddy(txtComAutoSec[i]);
    pg->addWidget(protocolLabel, 0, 0);
    pg->addWidget(CmbProtocolType[i], 0, 1, 1, 2);
    pg->addWidget(chkComAuto[i], 1, 0);
    pg->addWidget(intervalLabel, 1, 1, Qt::AlignRight);
    pg->addWidget(txtComAutoSec[i], 1, 2);
    pg->setColumnStretch(1, 1);
    left->addWidget(protocol);

    // Connection type.
    auto *conn = new QGroupBox(QStringLiteral("Connection Type"), page);
    conn->setObjectName(indexed("FrameConnType", i));
    auto *cg = new QGridLayout(conn);
    auto *group = new QButtonGroup(conn);
    static const char *const optNames[6] = {"OptConnTypeSerial", "OptConnTypeIrDa", "OptConnTypeIr",
                                            "OptConnTypeTCP",    "optConnModem",    "OptIRCradle"};
    for (int t = 0; t < 6; ++t) {
        auto *opt = new QRadioButton(ConnTypeCaptions().at(t), conn);
        opt->setObjectName(indexed(optNames[t], i));
        group->addButton(opt, t);
        OptConnType[i][t] = opt;
        cg->addWidget(opt, t % 3, t / 3);
    }
    m_connTypeGroup[i] = group;
    lblConnTypeKept[i] = new QLabel(conn);
    lblConnTypeKept[i]->setObjectName(indexed("lblConnTypeKept", i));
    lblConnTypeKept[i]->setWordWrap(true);
    lblConnTypeKept[i]->hide();
    cg->addWidget(lblConnTypeKept[i], 3, 0, 1, 2);
    connect(group, &QButtonGroup::idClicked, lblConnTypeKept[i], &QLabel::hide);
    left->addWidget(conn);

    // Address of a TCP terminal or network adapter.
    auto *tcp = new QGroupBox(QStringLiteral("TCP/IP"), page);
    auto *tg = new QHBoxLayout(tcp);
    tg->addWidget(new QLabel(QStringLiteral("Address"), tcp));
    for (int p = 0; p < 5; ++p) {
        QLineEdit *edit = digitsBox(indexed(qPrintable(QStringLiteral("IP%1").arg(p + 1)), i), p < 4 ? 3 : 5, tcp);
        fitDigits(edit, p < 4 ? 3 : 5);
        IP[i][p] = edit;
        if (p > 0)
            tg->addWidget(new QLabel(p < 4 ? QStringLiteral(".") : QStringLiteral("Port"), tcp));
        tg->addWidget(edit);
    }
    tg->addStretch(1);
    left->addWidget(tcp);

    // Modem commands.
    auto *modem = new QHBoxLayout;
    modem->addWidget(new QLabel(QStringLiteral("Modem reset and init strings"), page));
    cmdSettingModem[i] = new QPushButton(QStringLiteral("..."), page);
    cmdSettingModem[i]->setObjectName(indexed("cmdSettingModem", i));
    cmdSettingModem[i]->setToolTip(QStringLiteral("Configure Modem Setting"));
    cmdSettingModem[i]->setAutoDefault(false);
    cmdSettingModem[i]->setMaximumWidth(40);
    modem->addWidget(cmdSettingModem[i]);
    modem->addStretch(1);
    left->addLayout(modem);
    left->addStretch(1);

    // Serial line.
    auto *line = new QGroupBox(QStringLiteral("Port"), page);
    auto *lf = new QFormLayout(line);
    CmbComPort[i] = listBox(Ports(), indexed("CmbComPort", i), line);
    lblComDevice[i] = new QLabel(line);
    lblComDevice[i]->setObjectName(indexed("lblComDevice", i));
    lblComDevice[i]->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblComDevice[i]->setToolTip(
        QStringLiteral("The device this port stands for: VENDRIX_COM<N> when set, else the ComN= line of ports.ini, "
                       "else /dev/ttyS<N-1>"));
    auto *portRow = new QHBoxLayout;
    portRow->addWidget(CmbComPort[i]);
    portRow->addWidget(lblComDevice[i], 1);
    lf->addRow(QStringLiteral("Port"), portRow);
    cmbPresentPort[i] = new QComboBox(line);
    cmbPresentPort[i]->setObjectName(indexed("cmbPresentPort", i));
    // Long descriptions show in the open list, not in the dialog's width.
    cmbPresentPort[i]->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cmbPresentPort[i]->setMinimumContentsLength(24);
    cmbPresentPort[i]->setToolTip(
        QStringLiteral("The serial ports this computer has now. Choosing one maps it to a free ComN in ports.ini "
                       "(by its /dev/serial/by-id name where it has one) and uses that ComN for this channel."));
    lf->addRow(QStringLiteral("Present"), cmbPresentPort[i]);
    CmbSpeed[i] = listBox(Speeds(), indexed("CmbSpeed", i), line);
    cmbParity[i] = listBox(Parities(), indexed("cmbParity", i), line);
    CmbDataBits[i] = listBox(DataBits(), indexed("CmbDataBits", i), line);
    CmbStopBits[i] = listBox(StopBits(), indexed("CmbStopBits", i), line);
    CmbFlowControl[i] = listBox(FlowControls(), indexed("CmbFlowControl", i), line);
    lf->addRow(QStringLiteral("Speed"), CmbSpeed[i]);
    lf->addRow(QStringLiteral("Parity"), cmbParity[i]);
    lf->addRow(QStringLiteral("Data"), CmbDataBits[i]);
    lf->addRow(QStringLiteral("Stop Bits"), CmbStopBits[i]);
    lf->addRow(QStringLiteral("Flow Control"), CmbFlowControl[i]);
    right->addWidget(line);
    right->addWidget(buildDatabaseFrame(i, page));
    right->addStretch(1);

    connect(CmbProtocolType[i], &QComboBox::currentIndexChanged, this, [this, i] { protocolChanged(i); });
    connect(CmbComPort[i], &QComboBox::currentIndexChanged, this, [this, i] { portChanged(i); });
    connect(cmbPresentPort[i], &QComboBox::activated, this, [this, i](int index) { presentPortChosen(i, index); });
    connect(cmdSettingModem[i], &QPushButton::clicked, this, [this, i] { cmdSettingModem_Click(i); });
    return page;
}

QGroupBox *frmOptions::buildDatabaseFrame(int i, QWidget *parent)
{
    using namespace OptionsLists;
    auto *frame = new QGroupBox(QStringLiteral("Download Database"), parent);
    frame->setObjectName(indexed("FrameDBMS", i));
    auto *f = new QFormLayout(frame);
    CmbDBMSType[i] = listBox(DbmsTypes(), indexed("CmbDBMSType", i), frame);
    f->addRow(QStringLiteral("Type"), CmbDBMSType[i]);
    txtDBMSName[i] = new QLineEdit(frame);
    txtDBMSName[i]->setObjectName(indexed("txtDBMSName", i));
    txtDBMSName[i]->setMinimumWidth(320);
    cmdEsplora[i] = new QPushButton(QStringLiteral("..."), frame);
    cmdEsplora[i]->setObjectName(indexed("cmdEsplora", i));
    cmdEsplora[i]->setAutoDefault(false);
    cmdEsplora[i]->setMaximumWidth(40);
    auto *nameRow = new QHBoxLayout;
    nameRow->addWidget(txtDBMSName[i], 1);
    nameRow->addWidget(cmdEsplora[i]);
    f->addRow(QStringLiteral("Name"), nameRow);
    cmbSeparator[i] = listBox(Separators(), indexed("cmbSeparator", i), frame, true);
    f->addRow(QStringLiteral("Fields Separator (asc)"), cmbSeparator[i]);
    cmbPolicy[i] = listBox(Policies(), indexed("cmbPolicy", i), frame);
    f->addRow(QStringLiteral("Policy"), cmbPolicy[i]);
    ChkAlwaysOverwrite[i] = new QCheckBox(QStringLiteral("Always Overwrite"), frame);
    ChkAlwaysOverwrite[i]->setObjectName(indexed("ChkAlwaysOverwrite", i));
    f->addRow(QString(), ChkAlwaysOverwrite[i]);
    // Two fixed lines: a wrapped label in a form row was given the height of
    // one line and cut.
    QLabel *erpNote = note(QStringLiteral("If file format is \"ZUCCHETTI\" then the parameters \"Policy\" and\n"
                                          "\"Field Separator\" will be ignored."),
                           frame);
    erpNote->setWordWrap(false);
    f->addRow(erpNote);

    connect(cmbPolicy[i], &QComboBox::currentIndexChanged, this, [this, i] { policyChanged(i); });
    connect(CmbDBMSType[i], &QComboBox::currentIndexChanged, this, [this, i] { typeChanged(i); });
    connect(cmdEsplora[i], &QPushButton::clicked, this, [this, i] { cmdEsplora_Click(i); });
    return frame;
}

QWidget *frmOptions::buildFilesTab()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("UpLoadFilesTab"));
    auto *layout = new QVBoxLayout(page);
    auto *heading = new QLabel(QStringLiteral("External Files (like defined on the CPT 7xx)"), page);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    layout->addWidget(heading);
    for (const char *text : {"Byte 00-14 = Codice Articolo da usarsi anche come chiave",
                             "Byte 15-44 = Descrizione articolo (riga1)", "Byte 45-74 = Descrizione articolo (riga2)"})
        layout->addWidget(new QLabel(QString::fromLatin1(text), page));
    tabFiles = new QTabWidget(page);
    tabFiles->setObjectName(QStringLiteral("tabFiles"));
    for (int k = 1; k <= kFiles; ++k)
        tabFiles->addTab(buildFileTab(k), QStringLiteral("File %1").arg(k));
    layout->addWidget(tabFiles);
    layout->addStretch(1);
    return page;
}

QWidget *frmOptions::buildFileTab(int k)
{
    auto *page = new QWidget;
    page->setObjectName(indexed("FileTab", k));
    auto *f = new QFormLayout(page);
    PCtoTermdb[k] = new QLineEdit(page);
    PCtoTermdb[k]->setObjectName(indexed("PCtoTermdb", k));
    cmdEsploraBis[k] = new QPushButton(QStringLiteral("..."), page);
    cmdEsploraBis[k]->setObjectName(indexed("cmdEsploraBis", k));
    cmdEsploraBis[k]->setAutoDefault(false);
    cmdEsploraBis[k]->setMaximumWidth(40);
    auto *nameRow = new QHBoxLayout;
    nameRow->addWidget(PCtoTermdb[k], 1);
    nameRow->addWidget(cmdEsploraBis[k]);
    f->addRow(QStringLiteral("Name"), nameRow);
    DelAfterSend[k] = new QCheckBox(QStringLiteral("Delete After Send"), page);
    DelAfterSend[k]->setObjectName(indexed("DelAfterSend", k));
    f->addRow(QString(), DelAfterSend[k]);
    chkZucchetti[k] = new QCheckBox(QStringLiteral("Zucchetti"), page);
    chkZucchetti[k]->setObjectName(indexed("chkZucchetti", k));
    f->addRow(QString(), chkZucchetti[k]);
    txtMaxLenght[k] = digitsBox(indexed("txtMaxLenght", k), 5, page);
    fitDigits(txtMaxLenght[k], 5);
    f->addRow(QStringLiteral("MaxLenght"), txtMaxLenght[k]);
    f->addRow(QString(),
              note(QStringLiteral("Maximum lenght of record to send. if 0 the real lenght will be sent."), page));
    f->addRow(note(QStringLiteral("If file is marked \"ZUCCHETTI\"then the parameter \"Delete After Send\" will be "
                                  "ignored"),
                   page));
    connect(cmdEsploraBis[k], &QPushButton::clicked, this, [this, k] { cmdEsploraBis_Click(k); });
    return page;
}

QWidget *frmOptions::buildMiscTab()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("MiscellaneousTab"));
    auto *layout = new QHBoxLayout(page);

    auto *misc = new QGroupBox(QStringLiteral("Miscellaneous"), page);
    auto *mv = new QVBoxLayout(misc);
    RunNormal = new QRadioButton(QStringLiteral("Run Normal"), misc);
    RunNormal->setObjectName(QStringLiteral("RunNormal"));
    RunIconized = new QRadioButton(QStringLiteral("Run iconized"), misc);
    RunIconized->setObjectName(QStringLiteral("RunIconized"));
    RunMinimized = new QRadioButton(QStringLiteral("Run minimized"), misc);
    RunMinimized->setObjectName(QStringLiteral("RunMinimized"));
    for (QRadioButton *r : {RunNormal, RunIconized, RunMinimized})
        mv->addWidget(r);
    mv->addSpacing(12);
    chkProfileMode = new QCheckBox(QStringLiteral("Profile Mode"), misc);
    chkProfileMode->setObjectName(QStringLiteral("chkProfileMode"));
    mv->addWidget(chkProfileMode);
    auto *pf = new QFormLayout;
    txtPWD = new QLineEdit(misc);
    txtPWD->setObjectName(QStringLiteral("txtPWD"));
    txtPWD->setEchoMode(QLineEdit::Password);
    txtPWDVer = new QLineEdit(misc);
    txtPWDVer->setObjectName(QStringLiteral("txtPWDVer"));
    txtPWDVer->setEchoMode(QLineEdit::Password);
    pf->addRow(QStringLiteral("Password"), txtPWD);
    pf->addRow(QStringLiteral("Password verify"), txtPWDVer);
    mv->addLayout(pf);
    mv->addStretch(1);
    layout->addWidget(misc, 1, Qt::AlignTop);

    auto *activation = new QGroupBox(QStringLiteral("Parameters for activation"), page);
    auto *af = new QFormLayout(activation);
    ComboKey = listBox(OptionsLists::RootKeys(), QStringLiteral("ComboKey"), activation, true);
    af->addRow(QStringLiteral("Primary Key"), ComboKey);
    Percorso = new QLineEdit(activation);
    Percorso->setObjectName(QStringLiteral("Percorso"));
    af->addRow(QStringLiteral("PC Key"), Percorso);
    layout->addWidget(activation, 1, Qt::AlignTop);

    connect(chkProfileMode, &QCheckBox::toggled, this, &frmOptions::profileModeToggled);
    return page;
}

// ---------------------------------------------------------------------------
// Controls and the form

void frmOptions::ShowForm(const OptionsForm &form)
{
    for (int i = 1; i <= kChannels; ++i) {
        using namespace OptionsLists;
        const ChannelForm &x = form.com[i];
        const ChannelSettings &c = m_settings.Com[i];
        const StoreSettings &d = m_settings.DBMS[i];
        showChoice(CmbProtocolType[i], ProtocolTypes(), x.protocol, c.ConnProtocol);
        showChoice(CmbComPort[i], Ports(), x.port, c.Port);
        showChoice(CmbSpeed[i], Speeds(), x.speed, c.Speed);
        showChoice(cmbParity[i], Parities(), x.parity, c.Parity);
        showChoice(CmbDataBits[i], DataBits(), x.dataBits, c.DataBits);
        showChoice(CmbStopBits[i], StopBits(), x.stopBits, c.StopBits);
        showChoice(CmbFlowControl[i], FlowControls(), x.flowControl, c.FlowControl);
        for (int p = 0; p < 5; ++p)
            IP[i][p]->setText(x.ip[p]);
        txtComAutoSec[i]->setText(x.autoSec);
        if (x.connType >= 0 && x.connType < 6) {
            OptConnType[i][x.connType]->setChecked(true);
            lblConnTypeKept[i]->hide();
        } else {
            // None of the six: no button is on, and the stored word is named.
            m_connTypeGroup[i]->setExclusive(false);
            for (QRadioButton *opt : OptConnType[i])
                opt->setChecked(false);
            m_connTypeGroup[i]->setExclusive(true);
            lblConnTypeKept[i]->setText(QStringLiteral("Stored as \"%1\": kept unless one is chosen").arg(c.ConnType));
            lblConnTypeKept[i]->show();
        }
        showChoice(CmbDBMSType[i], DbmsTypes(), x.dbmsType, d.Type);
        txtDBMSName[i]->setText(x.dbmsName);
        setComboText(cmbSeparator[i], x.separator);
        showChoice(cmbPolicy[i], Policies(), x.policy, d.Policy);
        ModemReset[i] = x.resetModem;
        ModemInit[i] = x.initModem;
        // The enabling rules first, then the ticks they allow.
        protocolChanged(i);
        typeChanged(i);
        portChanged(i);
        chkComAuto[i]->setChecked(x.autoOn && (chkComAuto[i]->isEnabled() || x.protocol == kUnlisted));
        const bool unlisted = x.protocol == kUnlisted || x.policy == kUnlisted;
        ChkAlwaysOverwrite[i]->setChecked(x.alwaysOverwrite && (ChkAlwaysOverwrite[i]->isEnabled() || unlisted));
    }
    for (int k = 1; k <= kFiles; ++k) {
        const ExtFileForm &x = form.ext[k];
        PCtoTermdb[k]->setText(x.name);
        DelAfterSend[k]->setChecked(x.delAfterSend);
        chkZucchetti[k]->setChecked(x.zucchetti);
        txtMaxLenght[k]->setText(x.maxLenght);
    }
    const MiscForm &m = form.misc;
    RunNormal->setChecked(m.run == MiscForm::RunNormal);
    RunIconized->setChecked(m.run == MiscForm::RunIconized);
    RunMinimized->setChecked(m.run == MiscForm::RunMinimized);
    chkProfileMode->setChecked(m.profileMode);
    txtPWD->setText(m.pwd);
    txtPWDVer->setText(m.pwdVer);
    const QString unchanged =
        m_settings.Misc.Password.trimmed().isEmpty() ? QStringLiteral("(none set)") : QStringLiteral("(unchanged)");
    txtPWD->setPlaceholderText(unchanged);
    txtPWDVer->setPlaceholderText(unchanged);
    setPasswordBoxes(m.profileMode);
    setComboText(ComboKey, m.chiavePC);
    Percorso->setText(m.percorso);
}

OptionsForm frmOptions::Form() const
{
    OptionsForm form;
    for (int i = 1; i <= kChannels; ++i) {
        using namespace OptionsLists;
        ChannelForm &x = form.com[i];
        x.protocol = choiceOf(CmbProtocolType[i], ProtocolTypes());
        x.autoOn = chkComAuto[i]->isChecked();
        x.autoSec = txtComAutoSec[i]->text();
        x.connType = kUnlisted;
        for (int t = 0; t < 6; ++t) {
            if (OptConnType[i][t]->isChecked())
                x.connType = t;
        }
        x.port = choiceOf(CmbComPort[i], Ports());
        x.speed = choiceOf(CmbSpeed[i], Speeds());
        x.parity = choiceOf(cmbParity[i], Parities());
        x.dataBits = choiceOf(CmbDataBits[i], DataBits());
        x.stopBits = choiceOf(CmbStopBits[i], StopBits());
        x.flowControl = choiceOf(CmbFlowControl[i], FlowControls());
        for (int p = 0; p < 5; ++p)
            x.ip[p] = IP[i][p]->text();
        x.resetModem = ModemReset[i];
        x.initModem = ModemInit[i];
        x.dbmsType = choiceOf(CmbDBMSType[i], DbmsTypes());
        x.dbmsName = txtDBMSName[i]->text();
        x.separator = cmbSeparator[i]->currentText();
        x.policy = choiceOf(cmbPolicy[i], Policies());
        x.alwaysOverwrite = ChkAlwaysOverwrite[i]->isChecked();
    }
    for (int k = 1; k <= kFiles; ++k) {
        ExtFileForm &x = form.ext[k];
        x.name = PCtoTermdb[k]->text();
        x.delAfterSend = DelAfterSend[k]->isChecked();
        x.zucchetti = chkZucchetti[k]->isChecked();
        x.maxLenght = txtMaxLenght[k]->text();
    }
    MiscForm &m = form.misc;
    m.run = RunIconized->isChecked()    ? MiscForm::RunIconized
            : RunMinimized->isChecked() ? MiscForm::RunMinimized
                                        : MiscForm::RunNormal;
    m.profileMode = chkProfileMode->isChecked();
    m.pwd = txtPWD->text();
    m.pwdVer = txtPWDVer->text();
    m.chiavePC = ComboKey->currentText();
    m.percorso = Percorso->text();
    return form;
}

// ---------------------------------------------------------------------------
// Enabling rules

// Under an unlisted stored protocol or policy the flags they govern show
// their stored state, greyed: they are saved as they were.
void frmOptions::protocolChanged(int i)
{
    const int protocol = choiceOf(CmbProtocolType[i], OptionsLists::ProtocolTypes());
    const bool autoOk = OptionsForm::AutoEnabled(protocol);
    if (!autoOk && protocol != kUnlisted)
        chkComAuto[i]->setChecked(false);
    chkComAuto[i]->setEnabled(autoOk);
    policyChanged(i);
}

void frmOptions::policyChanged(int i)
{
    const int protocol = choiceOf(CmbProtocolType[i], OptionsLists::ProtocolTypes());
    const int policy = choiceOf(cmbPolicy[i], OptionsLists::Policies());
    const bool ok = OptionsForm::AlwaysOverwriteEnabled(protocol, policy);
    if (!ok && protocol != kUnlisted && policy != kUnlisted)
        ChkAlwaysOverwrite[i]->setChecked(false);
    ChkAlwaysOverwrite[i]->setEnabled(ok);
}

// A PostgreSQL target is named by a connection string, not a file.
void frmOptions::typeChanged(int i)
{
    const int type = choiceOf(CmbDBMSType[i], OptionsLists::DbmsTypes());
    const bool file = OptionsForm::NameIsFile(type);
    cmdEsplora[i]->setEnabled(file);
    txtDBMSName[i]->setPlaceholderText(file ? QString()
                                            : QStringLiteral("host=... dbname=... user=...  or  postgresql://..."));
}

void frmOptions::portChanged(int i)
{
    lblComDevice[i]->setText(OptionsForm::PortDeviceText(CmbComPort[i]->currentText()));
}

// Each ComN entry tells what it stands for now, as "vendrix ports" prints it.
void frmOptions::showComMap()
{
    const std::vector<ComMapping> map = ComMap();
    for (int i = 1; i <= kChannels; ++i) {
        for (const ComMapping &m : map) {
            const int row = CmbComPort[i]->findText(QStringLiteral("Com%1").arg(m.number));
            if (row < 0)
                continue;
            CmbComPort[i]->setItemData(
                row,
                QStringLiteral("Com%1 = %2 (%3%4)")
                    .arg(m.number)
                    .arg(m.device, m.source, QFileInfo::exists(m.device) ? QString() : QStringLiteral(", not present")),
                Qt::ToolTipRole);
        }
        portChanged(i);
    }
}

void frmOptions::ShowPresentPorts(const std::vector<PresentPort> &ports)
{
    m_presentPorts = ports;
    const std::vector<ComMapping> map = ComMap();
    for (int i = 1; i <= kChannels; ++i) {
        QComboBox *box = cmbPresentPort[i];
        box->clear();
        box->addItem(ports.empty() ? QStringLiteral("(no serial port found)")
                     : ports.size() == 1
                         ? QStringLiteral("(1 port present: choose it to use it here)")
                         : QStringLiteral("(%1 ports present: choose one to use it here)").arg(ports.size()));
        for (const PresentPort &p : ports) {
            QStringList about;
            for (const QString &part : {p.description, p.manufacturer})
                if (!part.isEmpty())
                    about << part;
            QString text = p.device;
            if (!about.isEmpty())
                text += QStringLiteral(" - ") + about.join(QStringLiteral(", "));
            // The ComN that names it already, by its stable name or its device.
            for (const ComMapping &m : map) {
                const QString named = QFileInfo(m.device).canonicalFilePath();
                if (m.device == p.stableName || m.device == p.device
                    || (!named.isEmpty() && named == QFileInfo(p.device).canonicalFilePath())) {
                    text += QStringLiteral(" (Com%1)").arg(m.number);
                    break;
                }
            }
            box->addItem(text);
            QStringList tip{p.stableName.isEmpty() ? p.device : p.stableName};
            if (!p.serialNumber.isEmpty())
                tip << QStringLiteral("serial number %1").arg(p.serialNumber);
            box->setItemData(box->count() - 1, tip.join(QStringLiteral(", ")), Qt::ToolTipRole);
        }
        box->setCurrentIndex(0);
        box->setEnabled(!ports.empty());
    }
    showComMap();
}

void frmOptions::presentPortChosen(int i, int index)
{
    if (index <= 0 || index > int(m_presentPorts.size()))
        return;
    QString why;
    const int number = MapPortToCom(m_presentPorts[size_t(index - 1)], &why);
    if (number == 0) {
        m_messenger.message(why, MsgIcon::Exclamation, MsgButtons::Ok, windowTitle());
        cmbPresentPort[i]->setCurrentIndex(0);
        return;
    }
    CmbComPort[i]->setCurrentIndex(CmbComPort[i]->findText(QStringLiteral("Com%1").arg(number)));
    // The map may have changed: every list says so.
    ShowPresentPorts(m_presentPorts);
}

void frmOptions::profileModeToggled(bool on)
{
    setPasswordBoxes(on);
}

void frmOptions::setPasswordBoxes(bool enabled)
{
    txtPWD->setEnabled(enabled);
    txtPWDVer->setEnabled(enabled);
}

// ---------------------------------------------------------------------------
// Buttons

void frmOptions::cmdSettingModem_Click(int channel)
{
    frmSettingModem modem(this);
    modem.txtReset->setText(ModemReset[channel]);
    modem.txtInitModem->setText(ModemInit[channel]);
    if (modem.exec() != QDialog::Accepted)
        return;
    ModemReset[channel] = modem.txtReset->text();
    ModemInit[channel] = modem.txtInitModem->text();
}

void frmOptions::cmdEsplora_Click(int channel)
{
    const QString filter = OptionsForm::DatabaseFilter(CmbDBMSType[channel]->currentIndex());
    if (filter.isEmpty())
        return;
    // A target is usually made by the collector: a new name is as good as
    // an existing file.
    const QString name =
        m_messenger.newFileName(QStringLiteral("Select DataBase FileName"), filter, txtDBMSName[channel]->text());
    if (!name.isEmpty())
        txtDBMSName[channel]->setText(name);
}

void frmOptions::cmdEsploraBis_Click(int file)
{
    const QString name = m_messenger.openFileName(QStringLiteral("Select DataBase FileName"),
                                                  QStringLiteral("Text File (*.txt)|*.txt"), PCtoTermdb[file]->text());
    if (!name.isEmpty())
        PCtoTermdb[file]->setText(name);
}

bool frmOptions::confirm()
{
    const OptionsForm form = Form();
    const QString stored = m_settings.Misc.Password;
    const bool storedMode = m_settings.Misc.ProfileMode == 1;
    std::optional<QString> current;
    if (form.misc.pwd.trimmed() == form.misc.pwdVer.trimmed()
        && PasswordRules::NeedsCurrentPassword(form.misc, stored, storedMode)) {
        current = m_messenger.promptPassword(QLatin1String(PasswordRules::kPromptTitle),
                                             QStringLiteral("Current profile mode password:"));
        if (!current)
            return false; // the user changed their mind: nothing saved
    }
    switch (PasswordRules::Check(form.misc, stored, storedMode, current)) {
    case PasswordVerdict::Mismatch:
        m_messenger.message(QLatin1String(PasswordRules::kMismatch), MsgIcon::Exclamation, MsgButtons::Ok,
                            windowTitle());
        return false;
    case PasswordVerdict::WrongPassword:
        m_messenger.message(QLatin1String(PasswordRules::kWrong), MsgIcon::Critical, MsgButtons::Ok, windowTitle());
        chkProfileMode->setChecked(storedMode);
        return false;
    case PasswordVerdict::SaveBlankWarning:
        m_messenger.message(QLatin1String(PasswordRules::kBlank), MsgIcon::Exclamation, MsgButtons::Ok, windowTitle());
        setPasswordBoxes(true);
        break;
    case PasswordVerdict::Save:
        setPasswordBoxes(form.misc.profileMode);
        break;
    }

    form.ValorizzaSettings(m_settings);
    SaveSettings(m_store, m_settings);
    if (!m_store.errorText().isEmpty()) {
        m_messenger.message(QStringLiteral("The settings could not be written to %1: %2\r\n"
                                           "They apply until the program ends.")
                                .arg(m_store.path(), m_store.errorText()),
                            MsgIcon::Exclamation, MsgButtons::Ok, windowTitle());
        return false;
    }
    // The outside program's requests start again from "0"; one refusal of
    // the data-exchange key is reported once, not for every channel.
    for (int n = 1; n <= kChannels; ++n) {
        if (!RegistryExchange::WriteRegistryValue(m_settings.Misc.ChiavePC, m_settings.Misc.PercorsoChiave,
                                                  QStringLiteral("ID(%1)").arg(n), QStringLiteral("0"), m_messenger))
            break;
    }
    return true;
}

bool frmOptions::cmdOK_Click()
{
    if (!confirm())
        return false;
    // The settings just saved, checked as "vendrix config check" does: what
    // would not work is said before the channels reopen with it.
    const ConfigReport report = CheckConfiguration(m_store, m_settings);
    if (!report.ok())
        m_messenger.message(QStringLiteral("The settings are saved, but the check found:\r\n\r\n- ")
                                + report.problems.join(QStringLiteral("\r\n- ")),
                            MsgIcon::Exclamation, MsgButtons::Ok, windowTitle());
    if (ShowProfileEntryPoints)
        ShowProfileEntryPoints(m_settings.Misc.ProfileMode == 1);
    accept();
    return true;
}

bool frmOptions::cmdApply_Click()
{
    return confirm();
}

void frmOptions::cmdCancel_Click()
{
    reject();
}

} // namespace vx
