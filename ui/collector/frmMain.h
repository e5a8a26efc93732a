#pragma once

#include <QMainWindow>
#include <QSystemTrayIcon>
#include <array>
#include <functional>

class QAction;
class QDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QToolButton;
class QUrl;

namespace vx {

class Collector;
class IniStore;
class Messenger;
struct Settings;

// The collector window: one tab per channel with its log pane and the values
// of the last record stored, the channel states in the status bar, the
// menus, the picture buttons, the manual operations and the tray icon. The
// collector engine does the work; the window shows it and starts it up.
class frmMain : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kChannels = 4;

    frmMain(Collector &collector, IniStore &store, Settings &settings, Messenger &messenger, QWidget *parent = nullptr);
    ~frmMain() override;

    // --- What start-up and the actions use from the system; tests replace them.
    // Length of the splash wait, in seconds.
    double SplashSeconds = 3.0;
    // Whether a notification area exists to put the tray icon in.
    std::function<bool()> TrayAvailable;
    // Opens a document with the desktop's default application.
    std::function<bool(const QUrl &)> OpenUrl;
    // Ends the program with an exit code.
    std::function<void(int)> EndProgram;
    // Where the manual is (the program folder).
    QString ProgramDir;

    // The start-up sequence: splash and its wait, settings, profile entry
    // points, channels opened one after another behind the wait window,
    // missing targets created, window state applied.
    void Startup();
    // Opens channel n behind the wait window (the collector's hook).
    void OpenChannelWait(int n);
    // RunIconized: shown, tray icon added, minimised (and so hidden).
    // RunMinimized: minimised. Otherwise shown normally.
    void ApplyWindowState();
    // Removes the tray icon and ends the program.
    void Unload();

    // Shows the options dialog modally; after "OK" the profile entry points
    // follow the profile mode. The channels are closed and reopened by the
    // caller (the Options action, or a channel whose opening failed).
    void ShowOptions();

    // --- Actions of the menus, buttons and tray icon.
    void mnuOptions_Click();
    void mnuProfiles_Click();
    void mnuHelpContents_Click();
    void mnuHelpAbout_Click();
    void cmdCreaDB_Click();
    void cmdSetDB_Click();
    void cmdCloseComm_Click();
    void cmdSetComm_Click();
    void mPopRestore_Click();
    void trayIcon_Activated(QSystemTrayIcon::ActivationReason reason);

    // The tray icon is in the notification area.
    bool TrayIconAdded() const { return m_trayAdded; }
    // Text of status-bar panel i (counted from 1); panel 2n is channel n's state.
    QString PanelText(int i) const;
    // The manual's path in the program folder.
    QString ManualPath() const;
    // The manual in a window of the program (where no browser opens it).
    QDialog *ShowManualWindow(const QString &path);

    // --- Controls (n = 1..4 where indexed by channel; element 0 unused).
    QTabWidget *SSTab1 = nullptr;
    std::array<QPlainTextEdit *, kChannels + 1> txtLog{};
    std::array<QLabel *, kChannels> Label8{}; // index n - 1
    std::array<std::array<QLineEdit *, 21>, kChannels + 1> DBMSField{};
    std::array<QLabel *, 2 * kChannels + 1> sbStatusBar{}; // panels 1..8
    std::array<QToolButton *, 3> Pulsanti{};
    QGroupBox *Frame2 = nullptr;
    QPushButton *cmdCreaDB = nullptr;
    QPushButton *cmdSetDB = nullptr;
    QPushButton *cmdCloseDB = nullptr;
    QPushButton *cmdSetComm = nullptr;
    QPushButton *cmdCloseComm = nullptr;
    QPushButton *cmdAddRek = nullptr;
    QPushButton *cmdUpdateRek = nullptr;
    QMenu *mnuFile = nullptr;
    QAction *mnuOptions = nullptr;
    QAction *mnuProfiles = nullptr;
    QAction *mnusep0 = nullptr;
    QAction *mnuFileExit = nullptr;
    QMenu *mnuHelp = nullptr;
    QAction *mnuHelpContents = nullptr;
    QAction *mnuHelpAbout = nullptr;
    QMenu *mPopupSys = nullptr;
    QAction *mPopRestore = nullptr;
    QAction *mPopExit = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;

protected:
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildMenus();
    QWidget *buildChannelTab(int n);
    QWidget *buildRecordBox(int n);
    QGroupBox *buildManualFrame();
    void buildStatusBar();
    void buildTray();

    void appendLog(int index, const QString &message, bool cleared);
    void showStatus(int n, const QString &text);
    void refreshRecord(int n);
    void applyProfileMode();
    void createMissingTargets();
    void closeChannels();
    void addTrayIcon();
    void removeTrayIcon();

    Collector &m_collector;
    IniStore &m_store;
    Settings &m_settings;
    Messenger &m_messenger;
    bool m_trayAdded = false;
    bool m_unloading = false;
};

} // namespace vx
