#pragma once

#include "collector/PortList.h"
#include "settings/OptionsForm.h"

#include <QDialog>
#include <array>
#include <functional>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace vx {

class IniStore;
class Messenger;
struct Settings;

// "Options": every setting of the collector in three tabs ("Comm Settings"
// with one tab per channel, "UpLoad Files" with one tab per look-up file,
// "Miscellaneous"). It shows the records as they are when it opens and
// writes them (records, settings file, the data-exchange requests reset)
// only on "OK" or "&Apply", after the profile-mode password check. The
// rules live in OptionsForm; the window maps its controls to it.
class frmOptions : public QDialog {
    Q_OBJECT
public:
    static constexpr int kChannels = 4;
    static constexpr int kFiles = 5;

    frmOptions(Settings &settings, IniStore &store, Messenger &messenger, QWidget *parent = nullptr);

    // After "OK": shows (true) or hides the main window's profile entry points.
    std::function<void(bool)> ShowProfileEntryPoints;

    // The controls as an OptionsForm, and the controls set from one.
    OptionsForm Form() const;
    void ShowForm(const OptionsForm &form);

    // Buttons. OK and Apply return whether the settings were saved.
    bool cmdOK_Click();
    bool cmdApply_Click();
    void cmdCancel_Click();
    void cmdSettingModem_Click(int channel);
    void cmdEsplora_Click(int channel);
    void cmdEsploraBis_Click(int file);

    // Fills every channel's list of the serial ports present (the dialog
    // shows PresentPorts() when it opens). Choosing one maps it to a ComN
    // in ports.ini (by its stable name where it has one) and chooses that
    // ComN for the channel.
    void ShowPresentPorts(const std::vector<PresentPort> &ports);

    // The modem commands of each channel, as the modem window last left them.
    std::array<QString, kChannels + 1> ModemReset;
    std::array<QString, kChannels + 1> ModemInit;

    // --- Controls (channels 1..4, look-up files 1..5; element 0 unused).
    QTabWidget *tabOptions = nullptr; // "Comm Settings", "UpLoad Files", "Miscellaneous"
    QTabWidget *tabChannels = nullptr;
    QTabWidget *tabFiles = nullptr;
    std::array<QComboBox *, kChannels + 1> CmbProtocolType{};
    std::array<QCheckBox *, kChannels + 1> chkComAuto{};
    std::array<QLineEdit *, kChannels + 1> txtComAutoSec{};
    // OptConnTypeSerial, OptConnTypeIrDa, OptConnTypeIr, OptConnTypeTCP,
    // optConnModem, OptIRCradle, in the order of the stored words.
    std::array<std::array<QRadioButton *, 6>, kChannels + 1> OptConnType{};
    // Shown under the connection types when the stored word is none of them.
    std::array<QLabel *, kChannels + 1> lblConnTypeKept{};
    std::array<QComboBox *, kChannels + 1> CmbComPort{};
    std::array<QLabel *, kChannels + 1> lblComDevice{};
    // The ports present: a first entry that asks for a choice, then one
    // entry per port (device, what it is, the ComN that names it).
    std::array<QComboBox *, kChannels + 1> cmbPresentPort{};
    std::array<QComboBox *, kChannels + 1> CmbSpeed{};
    std::array<QComboBox *, kChannels + 1> cmbParity{};
    std::array<QComboBox *, kChannels + 1> CmbDataBits{};
    std::array<QComboBox *, kChannels + 1> CmbStopBits{};
    std::array<QComboBox *, kChannels + 1> CmbFlowControl{};
    std::array<std::array<QLineEdit *, 5>, kChannels + 1> IP{}; // IP1..IP4, IP5
    std::array<QPushButton *, kChannels + 1> cmdSettingModem{};
    std::array<QComboBox *, kChannels + 1> CmbDBMSType{};
    std::array<QLineEdit *, kChannels + 1> txtDBMSName{};
    std::array<QPushButton *, kChannels + 1> cmdEsplora{};
    std::array<QComboBox *, kChannels + 1> cmbSeparator{};
    std::array<QComboBox *, kChannels + 1> cmbPolicy{};
    std::array<QCheckBox *, kChannels + 1> ChkAlwaysOverwrite{};

    std::array<QLineEdit *, kFiles + 1> PCtoTermdb{};
    std::array<QPushButton *, kFiles + 1> cmdEsploraBis{};
    std::array<QCheckBox *, kFiles + 1> DelAfterSend{};
    std::array<QCheckBox *, kFiles + 1> chkZucchetti{};
    std::array<QLineEdit *, kFiles + 1> txtMaxLenght{};

    QRadioButton *RunNormal = nullptr;
    QRadioButton *RunIconized = nullptr;
    QRadioButton *RunMinimized = nullptr;
    QCheckBox *chkProfileMode = nullptr;
    QLineEdit *txtPWD = nullptr;
    QLineEdit *txtPWDVer = nullptr;
    QComboBox *ComboKey = nullptr;
    QLineEdit *Percorso = nullptr;

    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;
    QPushButton *cmdApply = nullptr;

private:
    QWidget *buildChannelTab(int i);
    QGroupBox *buildDatabaseFrame(int i, QWidget *parent);
    QWidget *buildFilesTab();
    QWidget *buildFileTab(int k);
    QWidget *buildMiscTab();

    void protocolChanged(int i);
    void policyChanged(int i);
    void typeChanged(int i);
    void portChanged(int i);
    void presentPortChosen(int i, int index);
    void showComMap();
    void profileModeToggled(bool on);
    void setPasswordBoxes(bool enabled);
    bool confirm();

    std::array<QButtonGroup *, kChannels + 1> m_connTypeGroup{};
    std::vector<PresentPort> m_presentPorts;
    Settings &m_settings;
    IniStore &m_store;
    Messenger &m_messenger;
};

} // namespace vx
