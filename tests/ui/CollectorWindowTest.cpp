// The collector window over in-memory transports, on the offscreen platform.
#include "CollectorFixture.h"
#include "WidgetDriver.h"
#include "platform/FileChecks.h"
#include "profiles/ProfileSet.h"
#include "ui/collector/frmAbout.h"
#include "ui/collector/frmAttendere.h"
#include "ui/collector/frmMain.h"
#include "ui/collector/frmSplash.h"
#include "ui/options/frmOptions.h"
#include "ui/profile/frmProfile.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

using namespace vx;
using namespace vx::test;

namespace {

QList<frmAttendere *> visibleWaitWindows()
{
    return ui::visible<frmAttendere>();
}

// Reports every top-level window that is shown while it lives.
class ShowWatcher : public QObject {
public:
    explicit ShowWatcher(std::function<void(QWidget *)> onShow) : m_onShow(std::move(onShow))
    {
        qApp->installEventFilter(this);
    }
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() == QEvent::Show && object->isWidgetType() && static_cast<QWidget *>(object)->isWindow())
            m_onShow(static_cast<QWidget *>(object));
        return false;
    }

private:
    std::function<void(QWidget *)> m_onShow;
};

} // namespace

// The collector over fake transports in a fresh home, on a manual clock,
// and its window wired as the program wires it. Every channel starts unused
// (port "None").
class WindowTest : public CollectorTest {
protected:
    ~WindowTest() override
    {
        window.reset();
        collector.reset();
    }

    // The collector and its window, as the program wires them.
    void makeWindow()
    {
        make();
        window = std::make_unique<frmMain>(*collector, store, settings, messenger);
        window->SplashSeconds = 0;
        window->TrayAvailable = [this] { return trayAvailable; };
        window->OpenUrl = [this](const QUrl &url) {
            opened << url;
            return browserAvailable;
        };
        window->EndProgram = [this](int code) { endedWith << code; };
        window->ProgramDir = home.path();
        Collector::Hooks hooks;
        hooks.openChannelWait = [this](int n) { window->OpenChannelWait(n); };
        hooks.showOptions = [this] { window->ShowOptions(); };
        collector->setHooks(hooks);
    }
    void startup()
    {
        window->Startup();
        settle();
    }
    bool hiddenToTray()
    {
        return waitUntil([&] { return !window->isVisible(); }, 2000);
    }

    bool trayAvailable = true;
    bool browserAvailable = true;
    QList<QUrl> opened;
    QList<int> endedWith;
    std::unique_ptr<frmMain> window;
};

TEST_F(WindowTest, ShowsFourChannelTabsTheirStatesAndTheControls)
{
    serialChannel(2);
    makeWindow();
    startup();

    ASSERT_EQ(window->SSTab1->count(), 4);
    for (int n = 1; n <= 4; ++n) {
        EXPECT_EQ(window->SSTab1->tabText(n - 1), QString::number(n));
        EXPECT_EQ(window->Label8[n - 1]->text(), "Receive Data Monitor");
        EXPECT_TRUE(window->txtLog[n]->isReadOnly());
        EXPECT_TRUE(QFontInfo(window->txtLog[n]->font()).fixedPitch());
        EXPECT_EQ(window->PanelText(2 * n - 1), QString("Ch %1").arg(n));
    }
    // Panel 2n is channel n's state, kept up to date.
    EXPECT_EQ(window->PanelText(2), "None");
    EXPECT_EQ(window->PanelText(4), "Com2 Run/Wait");
    EXPECT_EQ(window->PanelText(8), "None");
    collector->CloseComm(2);
    EXPECT_EQ(window->PanelText(4), "Paused");
    collector->setStatus(3, ChannelStatus::TcpReady);
    EXPECT_EQ(window->PanelText(6), "TCP Ready");

    EXPECT_EQ(window->Frame2->title(), "Operazioni manuali");
    const QStringList manual = {window->cmdCreaDB->text(),   window->cmdSetDB->text(),     window->cmdCloseDB->text(),
                                window->cmdSetComm->text(),  window->cmdCloseComm->text(), window->cmdAddRek->text(),
                                window->cmdUpdateRek->text()};
    EXPECT_EQ(manual, QStringList({"CreaDB", "SetDB", "CloseDB", "Reset Comunicazione", "Chiude Comm", "Add Record",
                                   "Update Record"}));
    EXPECT_EQ(window->Pulsanti[0]->text(), "Option");
    EXPECT_EQ(window->Pulsanti[1]->text(), "Profiles");
    EXPECT_EQ(window->Pulsanti[2]->text(), "Help");
    EXPECT_EQ(window->mnuProfiles->text(), "Profiles");
    EXPECT_EQ(window->mnuFile->actions(),
              QList<QAction *>({window->mnuOptions, window->mnuProfiles, window->mnusep0, window->mnuFileExit}));
    EXPECT_EQ(window->mnuHelp->actions(), QList<QAction *>({window->mnuHelpContents, window->mnuHelpAbout}));

    // A normal start: shown, not minimised, no tray icon; splash and wait
    // windows gone; the profile's terminal family set.
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isMinimized());
    EXPECT_FALSE(window->TrayIconAdded());
    EXPECT_TRUE(ui::visible<frmSplash>().isEmpty());
    EXPECT_TRUE(visibleWaitWindows().isEmpty());
    EXPECT_EQ(profileWorkspace().Profile.TerminalFamily, "8000");
    EXPECT_TRUE(collector->OverwriteAllowed());
    EXPECT_FALSE(collector->ExchangeActive());
}

TEST_F(WindowTest, ProfileModeShowsOrHidesTheProfileEntryPoints)
{
    makeWindow();
    store.write(MiscSection(), "ProfileMode", "0");
    startup();
    EXPECT_FALSE(window->Pulsanti[1]->isVisible());
    EXPECT_FALSE(window->mnuProfiles->isVisible());
    EXPECT_TRUE(window->Pulsanti[0]->isVisible());
    EXPECT_TRUE(window->Pulsanti[2]->isVisible());

    store.write(MiscSection(), "ProfileMode", "1");
    startup();
    EXPECT_TRUE(window->Pulsanti[1]->isVisible());
    EXPECT_TRUE(window->mnuProfiles->isVisible());
}

TEST_F(WindowTest, RunIconizedEndsHiddenWithTheTrayIconAndItsMenu)
{
    settings.Misc.RunIconized = "True";
    makeWindow();
    startup();

    ASSERT_TRUE(hiddenToTray());
    EXPECT_TRUE(window->isMinimized());
    EXPECT_TRUE(window->TrayIconAdded());
    EXPECT_TRUE(window->trayIcon->isVisible());
    EXPECT_EQ(window->trayIcon->toolTip(), "Vendrix PC");
    ASSERT_EQ(window->trayIcon->contextMenu(), window->mPopupSys);
    EXPECT_EQ(window->mPopupSys->actions(), QList<QAction *>({window->mPopRestore, window->mPopExit}));
    EXPECT_EQ(window->mPopRestore->text(), "Restore");
    EXPECT_EQ(window->mPopExit->text(), "Exit");

    // Left click restores; minimising again goes back to the tray; a double
    // click restores too; the right click is the menu's, not a restore.
    emit window->trayIcon->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isMinimized());
    window->setWindowState(window->windowState() | Qt::WindowMinimized);
    ASSERT_TRUE(hiddenToTray());
    emit window->trayIcon->activated(QSystemTrayIcon::Context);
    settle();
    EXPECT_FALSE(window->isVisible());
    emit window->trayIcon->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(window->isVisible());
    window->setWindowState(window->windowState() | Qt::WindowMinimized);
    ASSERT_TRUE(hiddenToTray());
    window->mPopRestore->trigger();
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isMinimized());

    // Exit from the tray menu removes the icon and ends the program.
    window->mPopExit->trigger();
    EXPECT_EQ(endedWith, QList<int>({0}));
    EXPECT_FALSE(window->trayIcon->isVisible());
    EXPECT_FALSE(window->TrayIconAdded());
}

TEST_F(WindowTest, WindowStateFlagsWithoutANotificationArea)
{
    // Iconized with nowhere to put the icon: minimised in the task bar, not
    // lost.
    trayAvailable = false;
    settings.Misc.RunIconized = "1";
    makeWindow();
    startup();
    settle();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized());
    EXPECT_FALSE(window->TrayIconAdded());

    // RunMinimized alone: minimised, no icon.
    store.write(MiscSection(), "RunIconized", "False");
    store.write(MiscSection(), "RunMinimized", "True");
    trayAvailable = true;
    window->mPopRestore_Click();
    startup();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized());
    EXPECT_FALSE(window->TrayIconAdded());
}

TEST_F(WindowTest, LogPaneIsClearedOnlyWhenItHoldsMoreThan1024Characters)
{
    makeWindow();
    // 1022 characters and CR LF: 1024, kept.
    collector->PLog(QString(1022, 'a'), 1);
    collector->PLog("kept", 1);
    // Each line shows the time of its entry ("14:03:21.517 ").
    const auto shown = [&](int n) {
        return window->txtLog[n]->toPlainText().remove(QRegularExpression("(?m)^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} "));
    };
    EXPECT_TRUE(
        QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} a").match(window->txtLog[1]->toPlainText()).hasMatch());
    EXPECT_EQ(shown(1), QString(1022, 'a') + "\nkept\n");
    // 1025: emptied before the next entry.
    collector->PLog(QString(1023, 'b'), 2);
    collector->PLog("after", 2);
    EXPECT_EQ(shown(2), "after\n");
    EXPECT_TRUE(window->txtLog[2]->textCursor().atEnd());
    // The window shows what the collector holds.
    QString pane = collector->LogPane(1);
    EXPECT_EQ(shown(1), pane.replace("\r\n", "\n"));
    // Entries of the program as a whole have no pane.
    collector->PLog("program", 0);
    for (int n = 1; n <= 4; ++n)
        EXPECT_FALSE(window->txtLog[n]->toPlainText().contains("program"));
}

TEST_F(WindowTest, CancellingTheWaitWindowStopsTheRemainingChannelsUntilTheNextOpening)
{
    tcpChannel(1);
    for (int n = 2; n <= 4; ++n)
        serialChannel(n);
    makeWindow();
    socket(1).setConnectOutcome(FakeSocket::ConnectOutcome::Pending);

    // Every wait window that comes up, as it is shown.
    QList<int> waitedFor;
    QStringList captions;
    ShowWatcher watcher([&](QWidget *w) {
        if (auto *wait = qobject_cast<frmAttendere *>(w)) {
            waitedFor << wait->Channel;
            captions << wait->windowTitle() << wait->lblAttendere->text();
        }
    });
    // Plays the user: cancels while channel 1 is being connected, then the
    // peer accepts.
    QTimer user;
    user.setInterval(10);
    QObject::connect(&user, &QTimer::timeout, [&] {
        for (frmAttendere *wait : visibleWaitWindows()) {
            if (wait->Channel == 1 && wait->cmdAnnulla->isEnabled() && socket(1).State() != Socket::sckConnected) {
                wait->cmdAnnulla->click();
                socket(1).acceptConnection();
            }
        }
    });
    user.start();
    startup();

    EXPECT_EQ(waitedFor, QList<int>({1}));
    EXPECT_EQ(captions, QStringList({"Elaborazione in corso...", "Attendere prego...settaggio porta COM in corso..."}));
    EXPECT_TRUE(collector->OpeningCancelled);
    EXPECT_EQ(window->PanelText(2), "TCP Ready");
    for (int n = 2; n <= 4; ++n) {
        EXPECT_EQ(serial(n).openCount(), 0) << n;
        EXPECT_EQ(window->PanelText(2 * n), "Paused") << n;
    }
    EXPECT_TRUE(window->isVisible());

    // The next reopening (Profiles) opens every channel again. The editor
    // opens on a fresh profile with the channels closed and the main window
    // out of the way; closing it asks about the unsaved profile.
    socket(1).setConnectOutcome(FakeSocket::ConnectOutcome::Accept);
    waitedFor.clear();
    profileWorkspace().Profile.Functions[1].Name = QStringLiteral("From an earlier opening");
    bool editorSeen = false;
    QTimer editorUser;
    editorUser.setInterval(10);
    QObject::connect(&editorUser, &QTimer::timeout, [&] {
        auto *editor = qobject_cast<frmProfile *>(QApplication::activeModalWidget());
        if (!editor || !editor->isVisible() || editorSeen)
            return;
        editorSeen = true;
        EXPECT_FALSE(window->isVisible());
        EXPECT_EQ(window->PanelText(4), "Paused");
        EXPECT_EQ(editor->windowTitle(), "Profile : Untitled*");
        EXPECT_EQ(profileWorkspace().Profile.Functions[1].Name, "Function 2");
        messenger.answers.push_back(MsgAnswer::Ok);
        editor->cmdClose->click();
    });
    editorUser.start();
    window->Pulsanti[1]->click();
    user.stop();
    editorUser.stop();
    EXPECT_TRUE(editorSeen);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(waitedFor, QList<int>({1, 2, 3, 4}));
    EXPECT_EQ(messenger.texts(), QStringList({"Profile not saved.\n Are you sure to quit?"}));
    for (int n = 2; n <= 4; ++n) {
        EXPECT_EQ(serial(n).openCount(), 1) << n;
        EXPECT_EQ(window->PanelText(2 * n), QString("Com%1 Run/Wait").arg(n));
    }
}

TEST_F(WindowTest, ManualButtonsCreateAndBindTheTargetsAndCloseTheChannels)
{
    serialChannel(1);
    settings.DBMS[1].Type = "Access 2.0 (*.mdb)";
    settings.DBMS[1].Name = home.file("ch1.mdb");
    serialChannel(2);
    settings.DBMS[2].Type = "Dbase III (*.dbf)";
    settings.DBMS[2].Name = home.file("ch2.dbf");
    serialChannel(3);
    settings.DBMS[3].Name = "  "; // blank: skipped
    serialChannel(4);
    writeFile(settings.DBMS[4].Name, "earlier transfer\r\n"); // exists: kept
    makeWindow();
    collector->SetComm(1);
    collector->SetComm(4);
    ASSERT_TRUE(serial(1).PortOpen());

    window->cmdCreaDB->click();
    EXPECT_TRUE(FileExists(settings.DBMS[1].Name));
    EXPECT_TRUE(FileExists(settings.DBMS[2].Name));
    EXPECT_EQ(readFile(settings.DBMS[4].Name), QByteArray("earlier transfer\r\n"));
    EXPECT_TRUE(collector->store().Binding(1).Connect.isEmpty()); // created, not bound

    // CloseDB, Add Record and Update Record are not offered, and say why.
    for (QPushButton *b : {window->cmdCloseDB, window->cmdAddRek, window->cmdUpdateRek}) {
        EXPECT_FALSE(b->isEnabled());
        EXPECT_TRUE(b->toolTip().contains("a second time"));
    }
    // Reset Comunicazione closes every channel and opens it again.
    window->cmdSetComm->click();
    settle();
    EXPECT_TRUE(serial(1).PortOpen());
    EXPECT_EQ(serial(1).openCount(), 2);
    EXPECT_EQ(window->PanelText(2), "Com1 Run/Wait");

    QFile::remove(settings.DBMS[1].Name);
    window->cmdSetDB->click();
    EXPECT_TRUE(FileExists(settings.DBMS[1].Name));
    EXPECT_EQ(collector->store().Binding(1).Connect, "Access");
    EXPECT_EQ(collector->store().Binding(2).Connect, "dBASE III");
    EXPECT_EQ(readFile(settings.DBMS[4].Name), QByteArray("earlier transfer\r\n"));
    EXPECT_TRUE(messenger.texts().isEmpty());

    window->cmdCloseComm->click();
    for (int n : {1, 4}) {
        EXPECT_FALSE(serial(n).PortOpen()) << n;
        EXPECT_EQ(window->PanelText(2 * n), "Paused") << n;
    }
}

TEST_F(WindowTest, StartupCreatesMissingTargetsAndShowsTheLastRecordStored)
{
    serialChannel(1);
    settings.DBMS[1].Type = "Access 2.0 (*.mdb)";
    settings.DBMS[1].Name = home.file("ch1.mdb");
    settings.DBMS[1].SepCode = ";";
    serialChannel(2); // a text target
    settings.DBMS[2].SepCode = ";";
    serialChannel(3);
    settings.DBMS[3].Type = "CSV (*.csv)";
    settings.DBMS[3].Name = home.file("ch3.csv");
    settings.DBMS[3].SepCode = ";";
    makeWindow();
    startup();
    EXPECT_TRUE(FileExists(settings.DBMS[1].Name));
    EXPECT_TRUE(window->DBMSField[2][0]->text().isEmpty());

    serial(1).receive(record("1;22;;4"));
    settle();
    ASSERT_EQ(serial(1).written(), kAckLine);
    EXPECT_EQ(window->DBMSField[1][0]->text(), "1;22;;4");
    EXPECT_EQ(window->DBMSField[1][1]->text(), "1");
    EXPECT_EQ(window->DBMSField[1][2]->text(), "22");
    EXPECT_EQ(window->DBMSField[1][3]->text(), "");
    EXPECT_EQ(window->DBMSField[1][4]->text(), "4");
    EXPECT_TRUE(window->DBMSField[1][0]->isReadOnly());
    EXPECT_TRUE(window->txtLog[1]->toPlainText().contains("OUT -> ACK, Record accepted"));
    // Text and CSV targets show their last record too.
    serial(2).receive(record("a;b"));
    serial(3).receive(record("x;y;z"));
    settle();
    EXPECT_EQ(window->DBMSField[2][0]->text(), "a;b");
    EXPECT_EQ(window->DBMSField[2][2]->text(), "b");
    EXPECT_EQ(window->DBMSField[3][3]->text(), "z");
    EXPECT_EQ(readFile(settings.DBMS[3].Name), QByteArray("x,y,z\r\n"));
}

TEST_F(WindowTest, OptionsClosesReopensAndAppliesTheWindowStateAgain)
{
    serialChannel(1);
    settings.Misc.RunIconized = "True";
    makeWindow();
    startup();
    ASSERT_TRUE(hiddenToTray());
    window->mPopRestore->trigger();
    ASSERT_TRUE(window->isVisible());

    bool openDuringDialog = true;
    bool dialogShown = false;
    ui::whenModal<frmOptions>([&](frmOptions *options) {
        dialogShown = true;
        openDuringDialog = serial(1).PortOpen();
        ui::click(options->cmdCancel);
    });
    window->mnuOptions->trigger();
    EXPECT_TRUE(dialogShown);
    EXPECT_FALSE(openDuringDialog);
    EXPECT_TRUE(messenger.texts().isEmpty());
    EXPECT_EQ(serial(1).openCount(), 2);
    EXPECT_TRUE(serial(1).PortOpen());
    EXPECT_TRUE(hiddenToTray());
    EXPECT_TRUE(window->TrayIconAdded());
}

TEST_F(WindowTest, HelpOpensTheManualInTheBrowserOrInAWindowOrSaysItIsMissing)
{
    makeWindow();
    window->mnuHelpContents->trigger();
    EXPECT_TRUE(opened.isEmpty());
    ASSERT_EQ(messenger.shown.size(), 1u);
    EXPECT_TRUE(messenger.shown[0].text.contains("manual/index.html"));

    QDir(home.path()).mkpath("manual");
    writeFile(home.file("manual/index.html"), "<html><body><h1>Collecting</h1></body></html>");
    window->Pulsanti[2]->click();
    EXPECT_EQ(opened, QList<QUrl>({QUrl::fromLocalFile(home.file("manual/index.html"))}));
    EXPECT_EQ(messenger.shown.size(), 1u);

    // No browser: the program shows the manual itself.
    browserAvailable = false;
    window->mnuHelpContents->trigger();
    const auto shown = window->findChildren<QDialog *>("frmManual");
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0]->isVisible());
    EXPECT_TRUE(shown[0]->findChild<QTextBrowser *>("txtManual")->toPlainText().contains("Collecting"));
    EXPECT_EQ(messenger.shown.size(), 1u);
}

TEST_F(WindowTest, AboutShowsNameAndVersionAndClosingTheWindowEndsTheProgram)
{
    makeWindow();
    QStringList labels;
    QTimer::singleShot(0, [&] {
        auto *about = qobject_cast<frmAbout *>(QApplication::activeModalWidget());
        if (!about)
            return;
        for (QLabel *l : about->findChildren<QLabel *>())
            labels << l->text();
        about->accept();
    });
    window->mnuHelpAbout->trigger();
    EXPECT_TRUE(labels.contains("Vendrix"));
    EXPECT_TRUE(labels.contains(QString("Version %1").arg(VENDRIX_VERSION)));

    window->show();
    window->close();
    EXPECT_EQ(endedWith, QList<int>({0}));
    window->mnuFileExit->trigger();
    EXPECT_EQ(endedWith, QList<int>({0, 0}));
}

// No reply time-out of a closed channel can show its box while the profile
// editor is open (its settings transfers use ports of their own): the step
// timer stops for it and runs again after it.
TEST_F(WindowTest, ProfileEditorStopsTheStepTimer)
{
    makeWindow();
    startup();
    collector->startTimer();
    std::vector<bool> runningWhileOpen;
    ShowWatcher watcher([&](QWidget *w) {
        if (auto *editor = qobject_cast<frmProfile *>(w)) {
            runningWhileOpen.push_back(collector->timerRunning());
            messenger.answers.push_back(MsgAnswer::Ok);
            QTimer::singleShot(0, editor, [editor] { editor->cmdClose->click(); });
        }
    });
    window->mnuProfiles->trigger();
    EXPECT_EQ(runningWhileOpen, std::vector<bool>({false}));
    EXPECT_TRUE(collector->timerRunning());
}

TEST_F(WindowTest, OptionsOkReopensTheChannelsOnTheNewSettingsAndSetsTheProfileEntryPoints)
{
    serialChannel(1);
    makeWindow();
    startup();
    collector->startTimer();
    ASSERT_EQ(window->PanelText(2), "Com1 Run/Wait");
    ASSERT_TRUE(window->Pulsanti[1]->isVisible());

    // Channel 1 moves to Com4 at 19200 baud; profile mode goes off. The
    // step timer rests while the dialog is open.
    bool timerRunningInDialog = true;
    ui::whenModal<frmOptions>([&](frmOptions *options) {
        timerRunningInDialog = collector->timerRunning();
        ASSERT_TRUE(ui::choose(options->CmbComPort[1], "Com4"));
        ASSERT_TRUE(ui::choose(options->CmbSpeed[1], "19200"));
        ui::click(options->chkProfileMode);
        ui::click(options->cmdOK);
    });
    ui::click(window->Pulsanti[0]);
    settle();
    EXPECT_FALSE(timerRunningInDialog);
    EXPECT_TRUE(collector->timerRunning());
    EXPECT_EQ(serial(1).openCount(), 2);
    EXPECT_TRUE(serial(1).PortOpen());
    EXPECT_EQ(serial(1).CommPort(), 4);
    EXPECT_EQ(serial(1).Settings(), "19200,N,8,1");
    EXPECT_EQ(window->PanelText(2), "Com4 Run/Wait");
    EXPECT_TRUE(visibleWaitWindows().isEmpty());
    EXPECT_FALSE(window->Pulsanti[1]->isVisible());
    EXPECT_FALSE(window->mnuProfiles->isVisible());
    EXPECT_EQ(store.read("Com(1)", "Port", ""), "Com4");

    // On again, with no password anywhere: the warning, then saved and shown.
    ui::whenModal<frmOptions>([&](frmOptions *options) {
        ui::click(options->chkProfileMode);
        ui::click(options->cmdOK);
    });
    window->mnuOptions->trigger();
    // Each OK also has the check of the saved settings say what it found
    // (Com4 names a device that is not there).
    QStringList shown = messenger.texts();
    const QStringList checks = shown.filter(QRegularExpression("^The settings are saved, but the check found:"));
    for (const QString &c : checks)
        shown.removeAll(c);
    EXPECT_EQ(shown, QStringList({"WARNING : Password blank.\r\nPlease remember to set a password"}));
    if (!QFile::exists("/dev/ttyS3")) {
        ASSERT_FALSE(checks.isEmpty());
        EXPECT_TRUE(checks.last().contains("[Com(1)] Port=Com4 maps to /dev/ttyS3, which does not exist"));
    }
    EXPECT_TRUE(window->Pulsanti[1]->isVisible());
    EXPECT_TRUE(window->mnuProfiles->isVisible());

    // "Cancel" after "&Apply": saved, but the entry points wait for "OK".
    messenger.clear();
    ui::whenModal<frmOptions>([&](frmOptions *options) {
        ui::click(options->chkProfileMode);
        ui::click(options->cmdApply);
        ui::click(options->cmdCancel);
    });
    window->mnuOptions->trigger();
    EXPECT_EQ(store.read("Misc", "ProfileMode", ""), "0");
    EXPECT_TRUE(window->Pulsanti[1]->isVisible());
}

TEST_F(WindowTest, AChannelThatCannotOpenOffersTheOptionsAndOpensOnWhatTheyChose)
{
    serialChannel(1);
    makeWindow();
    serial(1).setOpenFailure("Permission denied");
    messenger.answers = {MsgAnswer::Ok};
    bool offered = false;
    ui::whenModal<frmOptions>([&](frmOptions *options) {
        offered = true;
        serial(1).setOpenFailure(QString());
        ASSERT_TRUE(ui::choose(options->CmbComPort[1], "Com3"));
        ui::click(options->cmdOK);
    });
    startup();
    EXPECT_TRUE(offered);
    ASSERT_FALSE(messenger.shown.empty());
    EXPECT_TRUE(messenger.shown[0].text.endsWith("Andare alla schermata Opzioni?"));
    EXPECT_TRUE(serial(1).PortOpen());
    EXPECT_EQ(serial(1).CommPort(), 3);
    EXPECT_EQ(window->PanelText(2), "Com3 Run/Wait");

    // Cancel: no dialog, the channel stays closed.
    window->cmdCloseComm->click();
    serial(1).setOpenFailure("Permission denied");
    messenger.clear();
    messenger.answers = {MsgAnswer::Cancel};
    offered = false;
    ShowWatcher watcher([&](QWidget *w) {
        if (auto *options = qobject_cast<frmOptions *>(w)) {
            offered = true;
            QTimer::singleShot(0, options, &QDialog::reject);
        }
    });
    window->OpenChannelWait(1);
    settle();
    EXPECT_FALSE(offered);
    EXPECT_EQ(messenger.shown.size(), 1u);
    EXPECT_FALSE(serial(1).PortOpen());
    EXPECT_EQ(window->PanelText(2), " Error/n.d.");
}
