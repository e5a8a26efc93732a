#pragma once

#include "profiles/ProfileEditorState.h"

#include <QDialog>
#include <array>
#include <functional>

class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPushButton;
class QRadioButton;
class QSlider;
class QTabWidget;

namespace vx {

class Messenger;

// The profile editor: terminal options and constants, look-up file layouts,
// the five functions with their eight fields, and the modem settings. Every
// control writes the profile as soon as it changes, through the rules of
// ProfileEditorState; the window shows back what the model holds.
class frmProfile : public QDialog {
    Q_OBJECT
public:
    // Opens on a fresh profile (New), function 1 shown.
    explicit frmProfile(ProfileWorkspace &workspace, Messenger &messenger, QWidget *parent = nullptr);

    // Opens `path` as "Open" does (true when it was read), or, for a file
    // that is not there yet, starts a new profile that "Save" writes there.
    bool OpenOrCreate(const QString &path);
    ~frmProfile() override;

    ProfileEditorState &state() { return m_state; }

    // Fills every control from the model (RefreshValue).
    void RefreshValue();

    // For the editor on its own: a "File" menu first in the menu bar with
    // Save (Ctrl+S), Save As (Ctrl+Shift+S) and Close (Ctrl+W), as every
    // editor has. Save and Save As are the actions of the Settings menu.
    void ShowFileMenu();

    // ---- Commands
    void mnuNew_Click();
    void mnuOpen_Click();
    void mnuSave_Click();
    void mnuSaveAs_Click();
    void mnuCopyProfile_Click();
    void mnuSendToTerm_Click();
    void mnuReceiveFromTerm_Click();
    void cmdClose_Click();

    // ---- Controls
    QMenuBar *menuBar = nullptr;
    QMenu *mnuSettings = nullptr;
    QAction *mnuNew = nullptr;
    QAction *mnuOpen = nullptr;
    QAction *mnuSave = nullptr;   // Ctrl+S
    QAction *mnuSaveAs = nullptr; // Ctrl+Shift+S
    QAction *mnuCopyProfile = nullptr;
    QAction *mnuSendToTerm = nullptr;
    QAction *mnuReceiveFromTerm = nullptr;
    QMenu *mnuFile = nullptr;    // ShowFileMenu() only
    QAction *mnuClose = nullptr; // Ctrl+W, in the File menu
    QPushButton *cmdClose = nullptr;
    QTabWidget *tabProfile = nullptr;

    // Common
    QComboBox *cmbLanguage = nullptr;
    std::array<QRadioButton *, 3> optTerminal{}; // "711", "8000", "8300"
    QCheckBox *chkComAuto = nullptr;
    QTabWidget *tabComAuto = nullptr;
    struct PortTab {
        QComboBox *cmbSpeed = nullptr;
        QComboBox *cmbParity = nullptr;
        QComboBox *cmbData = nullptr;
        QComboBox *cmbFlowControl = nullptr;
        QComboBox *cmbProtocolType = nullptr; // Keyboard only
    };
    std::array<PortTab, 5> portTabs;
    QCheckBox *chkBackLight = nullptr;
    QCheckBox *chkBeepRead = nullptr;
    QCheckBox *chkBeepError = nullptr;
    QCheckBox *chkTerminalId = nullptr;
    QLineEdit *txtTerminalId = nullptr;
    QCheckBox *chkOperatorId = nullptr;
    QLineEdit *txtOperatorId = nullptr;
    QComboBox *cmbConstant = nullptr;
    QRadioButton *optAsAscii = nullptr;
    QRadioButton *optAsString = nullptr;
    std::array<QLineEdit *, 10> txtConstant{};

    // External Files
    QComboBox *cmbExtFile = nullptr;
    std::array<QLineEdit *, 4> txtKeyFrom{};
    std::array<QLineEdit *, 4> txtKeyTo{};
    std::array<QLineEdit *, 8> txtUserName{};
    std::array<QLineEdit *, 8> txtUserFrom{};
    std::array<QLineEdit *, 8> txtUserTo{};

    // Functions
    std::array<QRadioButton *, 5> optFunction{};
    QLineEdit *txtFunctionName = nullptr;
    QCheckBox *chkProfileEnabled = nullptr;
    QCheckBox *chkProfileSaveData = nullptr;
    QPushButton *cmdCommSettings = nullptr;
    QTabWidget *tabFunction = nullptr;
    struct FieldRow {
        QCheckBox *chkEnabled = nullptr;
        QLineEdit *txtName = nullptr;
        QComboBox *cmbLevel = nullptr;
        QLineEdit *txtMask = nullptr;
        QLabel *lblMaskLen = nullptr;
        QLineEdit *txtMinLength = nullptr;
        QCheckBox *chkKey = nullptr;
        QCheckBox *chkSum = nullptr;
        QCheckBox *chkDefaultEnable = nullptr;
        QCheckBox *chkDefaultAuto = nullptr;
        QLineEdit *txtDefault = nullptr;
        QCheckBox *chkKeyboard = nullptr;
        QCheckBox *chkReader = nullptr;
        QCheckBox *chkAutoCR = nullptr;
        QPushButton *cmdBCTable = nullptr;
        QSlider *sldAlign = nullptr;
        std::array<QLabel *, 3> lblName{}; // the field's name on the other tabs
    };
    std::array<FieldRow, 8> fields;
    QSlider *sldDualConsecutive = nullptr;
    QSlider *sldDualNotConsecutive = nullptr;
    QLabel *lblDualMessage = nullptr;
    QComboBox *cmbFileToUse = nullptr;
    std::array<QCheckBox *, 3> chkExtMode{}; // Query, Retrieve, Update
    std::array<QCheckBox *, 3> chkExtStop{};
    std::array<QPushButton *, 3> cmdDefine{};
    QPushButton *cmdJoinKey = nullptr;

    // Modem
    std::array<QRadioButton *, 5> optModemProfile{};
    QCheckBox *chkModem = nullptr;
    QGroupBox *fraModemConfig = nullptr;
    std::array<QLineEdit *, 5> txtModem{};

protected:
    void reject() override; // Escape and the window's close button: as "Close"
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *buildCommon();
    QWidget *buildPortTab(int tab);
    QWidget *buildExternalFiles();
    QWidget *buildFunctions();
    QWidget *buildMlks();
    QWidget *buildDual();
    QWidget *buildDefaults();
    QWidget *buildInput();
    QWidget *buildAlign();
    QWidget *buildExtFile();
    QWidget *buildModem();
    QWidget *buildNote(const QString &text);
    void buildMenu();

    // A text box whose edits go through `apply`; a refused edit puts back
    // what `shown` gives and tells the user why.
    void bindText(QLineEdit *box, std::function<EditVerdict(const QString &)> apply, std::function<QString()> shown);
    // Shows a verdict's message; true when the edit was accepted.
    bool tell(const EditVerdict &verdict);

    void refreshCaption();
    void refreshFamily();
    void refreshCommon();
    // selectTab: show the tab of the model's port (a refill); otherwise the
    // tab the user chose stays.
    void refreshAutoPort(bool selectTab = true);
    void refreshConstantBoxes();
    void refreshLayout();
    void refreshFunction();
    void refreshField(int i);
    void refreshDual();
    void refreshExtFile();
    void refreshModem();
    void selectFunction(int function);
    void setConstantMode(ConstantMode mode);
    void constantBoxEdited();
    void familyClicked(int which);
    void runSubEditor(const std::function<void()> &open);

    ProfileWorkspace &m_ws;
    Messenger &m_messenger;
    ProfileEditorState m_state;
    bool m_closing = false;
};

} // namespace vx
