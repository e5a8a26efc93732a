#include "ui/collector/frmMain.h"

#include "collector/Collector.h"
#include "platform/Clock.h"
#include "platform/Messenger.h"
#include "platform/Paths.h"
#include "profiles/ProfileSet.h"
#include "settings/IniStore.h"
#include "settings/Settings.h"
#include "ui/AppIcon.h"
#include "ui/collector/frmAbout.h"
#include "ui/collector/frmAttendere.h"
#include "ui/collector/frmSplash.h"
#include "ui/options/frmOptions.h"
#include "ui/profile/frmProfile.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTextBrowser>
#include <QThread>
#include <QTime>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdio>
#include <cstdlib>

namespace vx {

namespace {

const char *const kManualName = "manual/index.html";

// "Courier New" where installed, else another fixed-pitch face.
QFont logFont()
{
    QFont font(QStringLiteral("Courier New"));
    font.setFamilies({QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"),
                      QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Monospace")});
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    if (!QFontInfo(font).fixedPitch())
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    return font;
}

// Ends the program: leaves the main event loop, or, from inside a nested
// loop (a wait window, a message box, a channel being opened), ends the
// process at once.
void endProgram(int code)
{
    std::fflush(stdout);
    std::fflush(stderr);
    if (QThread::currentThread()->loopLevel() <= 1) {
        QCoreApplication::exit(code);
        return;
    }
    std::_Exit(code);
}

} // namespace

frmMain::frmMain(Collector &collector, IniStore &store, Settings &settings, Messenger &messenger, QWidget *parent)
    : QMainWindow(parent), m_collector(collector), m_store(store), m_settings(settings), m_messenger(messenger)
{
    TrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    OpenUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    EndProgram = endProgram;
    ProgramDir = Paths::programDir();

    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Vendrix PC"));
    setWindowIcon(AppIcon());

    buildMenus();

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(8, 6, 8, 4);

    // Picture buttons: the same actions as Options, Profiles and Help contents.
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(4);
    const struct {
        const char *text;
        QStyle::StandardPixmap icon;
        const char *tip;
    } picture[3] = {
        {"Option", QStyle::SP_FileDialogDetailedView, "Options"},
        {"Profiles", QStyle::SP_FileDialogContentsView, "Terminal profiles"},
        {"Help", QStyle::SP_MessageBoxQuestion, "Manual"},
    };
    for (int i = 0; i < 3; ++i) {
        auto *b = new QToolButton(central);
        b->setObjectName(QStringLiteral("Pulsanti(%1)").arg(i));
        b->setText(QString::fromLatin1(picture[i].text));
        b->setToolTip(tr(picture[i].tip));
        b->setIcon(style()->standardIcon(picture[i].icon));
        b->setIconSize(QSize(32, 32));
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setAutoRaise(true);
        b->setMinimumWidth(72);
        Pulsanti[i] = b;
        buttons->addWidget(b);
    }
    buttons->addStretch(1);
    connect(Pulsanti[0], &QToolButton::clicked, this, &frmMain::mnuOptions_Click);
    connect(Pulsanti[1], &QToolButton::clicked, this, &frmMain::mnuProfiles_Click);
    connect(Pulsanti[2], &QToolButton::clicked, this, &frmMain::mnuHelpContents_Click);
    layout->addLayout(buttons);

    auto *line = new QFrame(central);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    layout->addWidget(line);

    auto *body = new QHBoxLayout;
    SSTab1 = new QTabWidget(central);
    SSTab1->setObjectName(QStringLiteral("SSTab1"));
    for (int n = 1; n <= kChannels; ++n)
        SSTab1->addTab(buildChannelTab(n), QString::number(n));
    body->addWidget(SSTab1, 1);
    Frame2 = buildManualFrame();
    body->addWidget(Frame2, 0, Qt::AlignTop);
    layout->addLayout(body, 1);
    setCentralWidget(central);

    buildStatusBar();
    buildTray();

    connect(&m_collector, &Collector::logAppended, this, &frmMain::appendLog);
    connect(&m_collector, &Collector::statusChanged, this, &frmMain::showStatus);
    // A channel that cannot connect is said once in the notification area
    // too, where the window is out of sight; its log pane has the details.
    connect(&m_collector, &Collector::connectionTrouble, this, [this](int, const QString &text) {
        if (m_trayAdded)
            trayIcon->showMessage(QStringLiteral("Vendrix PC"), text, QSystemTrayIcon::Warning);
    });
    for (int n = 1; n <= kChannels; ++n) {
        QString pane = m_collector.LogPane(n);
        pane.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        txtLog[n]->setPlainText(pane);
        showStatus(n, m_collector.StatusPanel(n));
        refreshRecord(n);
    }
    resize(980, 660);
}

frmMain::~frmMain()
{
    if (trayIcon)
        trayIcon->hide();
}

void frmMain::buildMenus()
{
    mnuFile = menuBar()->addMenu(tr("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuOptions = mnuFile->addAction(tr("&Options..."));
    mnuOptions->setObjectName(QStringLiteral("mnuOptions"));
    mnuProfiles = mnuFile->addAction(QStringLiteral("Profiles"));
    mnuProfiles->setObjectName(QStringLiteral("mnuProfiles"));
    mnusep0 = mnuFile->addSeparator();
    mnusep0->setObjectName(QStringLiteral("mnusep0"));
    mnuFileExit = mnuFile->addAction(tr("E&xit"));
    mnuFileExit->setObjectName(QStringLiteral("mnuFileExit"));

    mnuHelp = menuBar()->addMenu(tr("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuHelpContents = mnuHelp->addAction(tr("&Contents"));
    mnuHelpContents->setObjectName(QStringLiteral("mnuHelpContents"));
    mnuHelpContents->setShortcut(QKeySequence::HelpContents);
    mnuHelpAbout = mnuHelp->addAction(tr("&About Vendrix..."));
    mnuHelpAbout->setObjectName(QStringLiteral("mnuHelpAbout"));

    connect(mnuOptions, &QAction::triggered, this, &frmMain::mnuOptions_Click);
    connect(mnuProfiles, &QAction::triggered, this, &frmMain::mnuProfiles_Click);
    connect(mnuFileExit, &QAction::triggered, this, &frmMain::Unload);
    connect(mnuHelpContents, &QAction::triggered, this, &frmMain::mnuHelpContents_Click);
    connect(mnuHelpAbout, &QAction::triggered, this, &frmMain::mnuHelpAbout_Click);
}

QWidget *frmMain::buildChannelTab(int n)
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("SSTab1_Tab%1").arg(n));
    auto *layout = new QVBoxLayout(page);

    auto *caption = new QLabel(QStringLiteral("Receive Data Monitor"), page);
    caption->setObjectName(QStringLiteral("Label8(%1)").arg(n - 1));
    QFont bold = caption->font();
    bold.setBold(true);
    caption->setFont(bold);
    Label8[n - 1] = caption;
    layout->addWidget(caption);

    auto *log = new QPlainTextEdit(page);
    log->setObjectName(QStringLiteral("txtLog(%1)").arg(n));
    log->setReadOnly(true);
    log->setFont(logFont());
    log->setLineWrapMode(QPlainTextEdit::NoWrap);
    log->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    txtLog[n] = log;
    layout->addWidget(log, 1);

    layout->addWidget(buildRecordBox(n));
    return page;
}

// The 21 values of the last record stored on the channel: AllRek and
// Field1..Field20, as the record store holds them.
QWidget *frmMain::buildRecordBox(int n)
{
    auto *box = new QGroupBox(tr("Last record stored"));
    box->setObjectName(QStringLiteral("DBMSFieldFrame(%1)").arg(n));
    auto *grid = new QGridLayout(box);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(3);
    auto makeField = [&](int i) {
        auto *edit = new QLineEdit(box);
        edit->setObjectName(QStringLiteral("DBMSField%1(%2)").arg(n).arg(i));
        edit->setReadOnly(true);
        edit->setMinimumWidth(40);
        DBMSField[n][i] = edit;
        return edit;
    };
    constexpr int columns = 5;
    grid->addWidget(new QLabel(QStringLiteral("AllRek"), box), 0, 0, Qt::AlignRight);
    grid->addWidget(makeField(0), 0, 1, 1, 2 * columns - 1);
    for (int i = 1; i <= 20; ++i) {
        const int row = 1 + (i - 1) / columns;
        const int col = 2 * ((i - 1) % columns);
        grid->addWidget(new QLabel(QStringLiteral("Field%1").arg(i), box), row, col, Qt::AlignRight);
        grid->addWidget(makeField(i), row, col + 1);
    }
    for (int c = 0; c < columns; ++c)
        grid->setColumnStretch(2 * c + 1, 1);
    return box;
}

QGroupBox *frmMain::buildManualFrame()
{
    auto *frame = new QGroupBox(QStringLiteral("Operazioni manuali"));
    frame->setObjectName(QStringLiteral("Frame2"));
    auto *layout = new QVBoxLayout(frame);
    auto add = [&](const char *name, const char *text) {
        auto *b = new QPushButton(QString::fromUtf8(text), frame);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoDefault(false);
        layout->addWidget(b);
        return b;
    };
    cmdCreaDB = add("cmdCreaDB", "CreaDB");
    cmdSetDB = add("cmdSetDB", "SetDB");
    cmdCloseDB = add("cmdCloseDB", "CloseDB");
    layout->addSpacing(8);
    cmdSetComm = add("cmdSetComm", "Reset Comunicazione");
    cmdCloseComm = add("cmdCloseComm", "Chiude Comm");
    layout->addSpacing(8);
    cmdAddRek = add("cmdAddRek", "Add Record");
    cmdUpdateRek = add("cmdUpdateRek", "Update Record");
    layout->addStretch(1);

    // CloseDB, Add Record and Update Record would write the last record into
    // the target a second time: shown, but not offered.
    const QString why =
        tr("Not available: the record store opens and closes its targets itself, and this "
           "operation would write the last record into the target a second time.");
    for (QPushButton *b : {cmdCloseDB, cmdAddRek, cmdUpdateRek}) {
        b->setEnabled(false);
        b->setToolTip(why);
    }
    cmdSetComm->setToolTip(tr("Closes every channel and opens it again with the current settings."));
    connect(cmdCreaDB, &QPushButton::clicked, this, &frmMain::cmdCreaDB_Click);
    connect(cmdSetDB, &QPushButton::clicked, this, &frmMain::cmdSetDB_Click);
    connect(cmdSetComm, &QPushButton::clicked, this, &frmMain::cmdSetComm_Click);
    connect(cmdCloseComm, &QPushButton::clicked, this, &frmMain::cmdCloseComm_Click);
    return frame;
}

// Panels 2, 4, 6, 8 are the channel states; the panel before each names
// its channel.
void frmMain::buildStatusBar()
{
    QStatusBar *bar = statusBar();
    bar->setObjectName(QStringLiteral("sbStatusBar"));
    bar->setSizeGripEnabled(true);
    for (int i = 1; i <= 2 * kChannels; ++i) {
        auto *panel = new QLabel(bar);
        panel->setObjectName(QStringLiteral("sbStatusBar_Panel%1").arg(i));
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setContentsMargins(4, 0, 4, 0);
        if (i % 2 == 1) {
            panel->setText(QStringLiteral("Ch %1").arg((i + 1) / 2));
        } else {
            panel->setMinimumWidth(140);
        }
        sbStatusBar[i] = panel;
        bar->addPermanentWidget(panel, i % 2 == 0 ? 1 : 0);
    }
}

void frmMain::buildTray()
{
    mPopupSys = new QMenu(this);
    mPopupSys->setObjectName(QStringLiteral("mPopupSys"));
    mPopRestore = mPopupSys->addAction(tr("Restore"));
    mPopRestore->setObjectName(QStringLiteral("mPopRestore"));
    mPopExit = mPopupSys->addAction(tr("Exit"));
    mPopExit->setObjectName(QStringLiteral("mPopExit"));
    connect(mPopRestore, &QAction::triggered, this, &frmMain::mPopRestore_Click);
    connect(mPopExit, &QAction::triggered, this, &frmMain::Unload);

    trayIcon = new QSystemTrayIcon(AppIcon(), this);
    trayIcon->setObjectName(QStringLiteral("trayIcon"));
    trayIcon->setToolTip(QStringLiteral("Vendrix PC"));
    // A right click pops up the menu; the notification area shows it.
    trayIcon->setContextMenu(mPopupSys);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &frmMain::trayIcon_Activated);
}

// ---------------------------------------------------------------------------
// Start-up

// The collector's start-up, with the window's parts shown at their places:
// the splash window while it waits, the profile editor's entry points as
// the settings say, then the last records and the window state.
void frmMain::Startup()
{
    frmSplash splash;
    Collector::StartupView view;
    view.beforeSettings = [this, &splash] {
        splash.show();
        splash.repaint();
        (void)DefaultBarcodeTable(); // every new profile field receives it
        WaitSeconds(SplashSeconds);
    };
    view.afterSettings = [this, &splash] {
        applyProfileMode();
        splash.close();
        profileWorkspace().Profile.TerminalFamily = QStringLiteral("8000");
    };
    m_collector.Startup(view);
    for (int n = 1; n <= kChannels; ++n)
        refreshRecord(n);
    ApplyWindowState();
}

void frmMain::OpenChannelWait(int n)
{
    frmAttendere::OpenChannelWait(m_collector, n, this);
}

void frmMain::applyProfileMode()
{
    const bool profiles = m_settings.Misc.ProfileMode == 1;
    Pulsanti[1]->setVisible(profiles);
    mnuProfiles->setVisible(profiles);
}

void frmMain::createMissingTargets()
{
    m_collector.createMissingTargets();
    for (int n = 1; n <= kChannels; ++n)
        refreshRecord(n);
}

void frmMain::ApplyWindowState()
{
    const bool iconized = BoolText(m_settings.Misc.RunIconized);
    if (iconized) {
        show();
        repaint();
        addTrayIcon();
        setWindowState(windowState() | Qt::WindowMinimized);
    }
    if (BoolText(m_settings.Misc.RunMinimized))
        setWindowState(windowState() | Qt::WindowMinimized);
    if (!iconized)
        show();
}

void frmMain::addTrayIcon()
{
    if (!TrayAvailable || !TrayAvailable()) {
        // Without a notification area the window stays in the task bar,
        // minimised, instead of disappearing with no way back.
        m_collector.PLog(QStringLiteral("No notification area: the window stays minimized in the task bar."), 0);
        return;
    }
    trayIcon->show();
    m_trayAdded = true;
}

void frmMain::removeTrayIcon()
{
    trayIcon->hide();
    m_trayAdded = false;
}

// Minimised under RunIconized, the window leaves the task bar: only the tray
// icon remains.
void frmMain::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange)
        return;
    if (isMinimized() && BoolText(m_settings.Misc.RunIconized) && m_trayAdded) {
        QTimer::singleShot(0, this, [this] {
            if (isMinimized() && m_trayAdded)
                hide();
        });
    }
}

// ---------------------------------------------------------------------------
// Log, states and record values

void frmMain::appendLog(int index, const QString &message, bool cleared)
{
    if (index < 1 || index > kChannels)
        return; // entries of the program as a whole go to LOG.txt only
    QPlainTextEdit *pane = txtLog[index];
    if (cleared)
        pane->clear();
    QTextCursor cursor = pane->textCursor();
    cursor.movePosition(QTextCursor::End);
    // The time of the entry before it, as LOG.txt has it in full.
    cursor.insertText(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz ")) + message + QLatin1Char('\n'));
    pane->setTextCursor(cursor);
    pane->ensureCursorVisible();
    // Every record stored is followed by the log line of its answer.
    refreshRecord(index);
}

void frmMain::showStatus(int n, const QString &text)
{
    if (n < 1 || n > kChannels)
        return;
    sbStatusBar[2 * n]->setText(text);
}

QString frmMain::PanelText(int i) const
{
    return i >= 1 && i <= 2 * kChannels ? sbStatusBar[i]->text() : QString();
}

void frmMain::refreshRecord(int n)
{
    const std::array<QString, 21> &values = m_collector.store().DBMSField(n);
    for (int i = 0; i <= 20; ++i) {
        QLineEdit *edit = DBMSField[n][i];
        if (edit->text() != values[i]) {
            edit->setText(values[i]);
            edit->setCursorPosition(0);
            edit->setToolTip(values[i]);
        }
    }
}

// ---------------------------------------------------------------------------
// Actions

void frmMain::closeChannels()
{
    for (int n = 1; n <= kChannels; ++n)
        m_collector.CloseComm(n);
}

// The step timer rests while the dialog is open, so no reply time-out of a
// channel closed for it shows its box over the dialog.
void frmMain::ShowOptions()
{
    const bool timerWasRunning = m_collector.timerRunning();
    m_collector.stopTimer();
    frmOptions options(m_settings, m_store, m_messenger, this);
    options.ShowProfileEntryPoints = [this](bool) { applyProfileMode(); };
    options.exec();
    if (timerWasRunning)
        m_collector.startTimer();
}

// The channels run on the settings the dialog leaves: closed around it,
// each reopened behind the wait window.
void frmMain::mnuOptions_Click()
{
    closeChannels();
    ShowOptions();
    m_collector.OpenChannels();
    removeTrayIcon();
    ApplyWindowState();
}

// The profile editor, always on a fresh profile. The settings transfer it
// starts uses a serial port or the infrared cradle of its own, so the
// channels stay closed while it is open, and the step timer stops: no reply
// time-out of a closed channel may show its box meanwhile. The main window
// is out of the way until the editor closes.
void frmMain::mnuProfiles_Click()
{
    closeChannels();
    m_collector.stopTimer();
    hide();
    {
        frmProfile editor(profileWorkspace(), m_messenger, this);
        editor.exec();
    }
    show();
    m_collector.OpenChannels();
    m_collector.startTimer();
}

QString frmMain::ManualPath() const
{
    return ProgramDir + QLatin1Char('/') + QLatin1String(kManualName);
}

void frmMain::mnuHelpContents_Click()
{
    const QString path = ManualPath();
    if (!QFileInfo(path).isFile()) {
        m_messenger.message(
            tr("The manual %1 is missing from the program folder %2: install the program again to restore it.")
                .arg(QLatin1String(kManualName), ProgramDir),
            MsgIcon::Exclamation, MsgButtons::Ok, tr("Help"));
        return;
    }
    // The desktop's browser shows the manual; where there is none, a window
    // of the program does.
    if (!OpenUrl(QUrl::fromLocalFile(path)))
        ShowManualWindow(path);
}

QDialog *frmMain::ShowManualWindow(const QString &path)
{
    auto *window = new QDialog(this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setObjectName(QStringLiteral("frmManual"));
    window->setWindowTitle(tr("Vendrix manual"));
    auto *browser = new QTextBrowser(window);
    browser->setObjectName(QStringLiteral("txtManual"));
    browser->setOpenExternalLinks(true);
    browser->setSource(QUrl::fromLocalFile(path));
    auto *layout = new QVBoxLayout(window);
    layout->addWidget(browser);
    window->resize(820, 640);
    window->show();
    return window;
}

void frmMain::mnuHelpAbout_Click()
{
    frmAbout about(this);
    about.exec();
}

void frmMain::cmdCreaDB_Click()
{
    createMissingTargets();
}

void frmMain::cmdSetDB_Click()
{
    createMissingTargets();
    for (int n = 1; n <= kChannels; ++n) {
        m_collector.store().SetDB(n);
        refreshRecord(n);
    }
}

void frmMain::cmdCloseComm_Click()
{
    closeChannels();
}

// Every channel closed and opened again, each behind the wait window, as
// after the options dialog.
void frmMain::cmdSetComm_Click()
{
    closeChannels();
    m_collector.OpenChannels();
}

void frmMain::mPopRestore_Click()
{
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void frmMain::trayIcon_Activated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:     // left click
    case QSystemTrayIcon::DoubleClick: // left double click
        mPopRestore_Click();
        break;
    default: // the right click's menu is the icon's context menu
        break;
    }
}

void frmMain::Unload()
{
    if (m_unloading)
        return;
    m_unloading = true;
    removeTrayIcon();
    EndProgram(0);
    m_unloading = false;
}

void frmMain::closeEvent(QCloseEvent *event)
{
    event->accept();
    Unload();
}

} // namespace vx
