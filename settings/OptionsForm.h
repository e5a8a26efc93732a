#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <optional>

namespace vx {

class IniStore;
struct Settings;

// The options dialog without its window: the lists its controls offer, what
// the controls show when it opens (Fill), the enabling rules, the password
// rules of "OK" and "&Apply", and the copy of the controls into the settings
// records (ValorizzaSettings). frmOptions maps its controls to this and back;
// tests call it directly.
namespace OptionsLists {
const QStringList &ProtocolTypes();    // "ACK/NAK", "None"
const QStringList &ConnTypes();        // stored words: "Serial" ... "IRCradle"
const QStringList &ConnTypeCaptions(); // "Serial", "IrDa", "Infrared", "TCP/IP", "Modem", "IR Cradle"
const QStringList &Ports();            // "None", "Com1" ... "Com9"
const QStringList &Speeds();
const QStringList &Parities();
const QStringList &DataBits();
const QStringList &StopBits();
const QStringList &FlowControls();
const QStringList &DbmsTypes();  // the target kinds, "PostgreSQL" last
const QStringList &Separators(); // "None", "Space", "<TAB>" (other text allowed)
const QStringList &Policies();   // "Append", "OverWrite", "NewFile"
const QStringList &RootKeys();   // the seven data-exchange roots
} // namespace OptionsLists

// A list position for a stored text that is none of the list's entries
// (a speed of "76800", a connection type with a trailing blank): the
// dialog shows that text as it is and saves it unchanged unless the user
// chooses an entry.
constexpr int kUnlisted = -1;

// What the controls of one channel tab hold. List positions are indexes
// into the lists above, or kUnlisted.
struct ChannelForm {
    int protocol = 0;
    bool autoOn = false;
    QString autoSec;
    int connType = 0;
    int port = 0;
    int speed = 0;
    int parity = 0;
    int dataBits = 0;
    int stopBits = 0;
    int flowControl = 0;
    std::array<QString, 5> ip; // IP1 .. IP4, IP5
    QString resetModem;
    QString initModem;
    int dbmsType = 0;
    QString dbmsName;
    QString separator;
    int policy = 0;
    bool alwaysOverwrite = false;
};

// One look-up file tab.
struct ExtFileForm {
    QString name;
    bool delAfterSend = false;
    bool zucchetti = false;
    QString maxLenght;
};

// The "Miscellaneous" tab.
struct MiscForm {
    enum Run { RunNormal, RunIconized, RunMinimized };
    Run run = RunNormal;
    bool profileMode = false;
    QString pwd;
    QString pwdVer;
    QString chiavePC;
    QString percorso;
};

struct OptionsForm {
    std::array<ChannelForm, 5> com; // 1..4
    std::array<ExtFileForm, 6> ext; // 1..5
    MiscForm misc;

    // The controls as the dialog opens on the records; the data-exchange
    // root and key path come straight from the store.
    static OptionsForm Fill(const Settings &settings, const IniStore &store);
    // Copies every control into the records, which still hold what the
    // dialog was opened on: a list left on a stored text that is not one of
    // its entries, the flags that only such an entry governs, and empty
    // password boxes keep the records' values.
    void ValorizzaSettings(Settings &settings) const;

    // --- Rules a control follows.
    // Position in a list of the stored text; kUnlisted when it is not there.
    static int ListPosition(const QStringList &list, const QString &text);
    // The interval saved for a typed text: its number, rounded, kept
    // between 2 and 60, in two digits ("", "0", "1" give "02"; 75 "60").
    static QString AutoSecText(const QString &typed);
    // What "OK" saves for the interval box: the text as AutoSecText writes
    // it. But on a channel that collects automatically, a stored text the
    // user left as it was keeps its meaning (the collector honours 120
    // seconds, and "00" stops the collection): it is saved as it is unless
    // writing it in two digits gives the same number.
    static QString SavedAutoSec(const QString &boxText, const QString &stored, bool autoOn);
    // "Automatic" is usable only on an "ACK/NAK" channel.
    static bool AutoEnabled(int protocol);
    // "Always Overwrite" only on an "ACK/NAK" channel whose policy is "OverWrite".
    static bool AlwaysOverwriteEnabled(int protocol, int policy);
    // The open-file dialog filter for a target kind ("Text File (*.txt)|*.txt");
    // empty for a kind whose name is not a file (PostgreSQL: a connection string).
    static QString DatabaseFilter(int dbmsType);
    static bool NameIsFile(int dbmsType) { return !DatabaseFilter(dbmsType).isEmpty(); }
    // The device a port name stands for on this machine ($VENDRIX_COM<N>,
    // ports.ini, or the default), marked when no such device exists; a
    // text saying there is none for "None".
    static QString PortDeviceText(const QString &port);
};

// The password check of "OK" and "&Apply".
//
// The two password boxes hold a new password, never the stored one: they
// start empty, and boxes left empty mean "password unchanged". Turning
// Profile Mode on or off, or typing a new password, needs the current
// password (asked in a prompt) whenever one is stored; without one stored
// nothing is asked.
enum class PasswordVerdict {
    Save,             // go on and save
    SaveBlankWarning, // warn that no password is set, then save
    Mismatch,         // "Profile Mode password not valid, please check"; nothing saved
    WrongPassword,    // "Profile Mode wrong Password"; Profile Mode as stored, nothing saved
};

namespace PasswordRules {
inline const char *const kMismatch = "Profile Mode password not valid, please check";
inline const char *const kBlank = "WARNING : Password blank.\r\nPlease remember to set a password";
inline const char *const kWrong = "Profile Mode wrong Password";
inline const char *const kPromptTitle = "Enter Password";

// Whether the current password must be asked for before saving.
bool NeedsCurrentPassword(const MiscForm &misc, const QString &storedPassword, bool storedProfileMode);
// The verdict; `current` is what was typed into the prompt, when one was shown.
PasswordVerdict Check(const MiscForm &misc, const QString &storedPassword, bool storedProfileMode,
                      const std::optional<QString> &current = std::nullopt);
} // namespace PasswordRules

} // namespace vx
