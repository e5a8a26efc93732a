#pragma once

#include <QString>
#include <QStringList>
#include <array>

namespace vx {

class IniStore;

// Settings of channel n, section "Com(n)".
struct ChannelSettings {
    QString ConnProtocol = QStringLiteral("ACK/NAK");
    QString ConnType = QStringLiteral("Serial");
    QString Port = QStringLiteral("None");
    QString Speed = QStringLiteral("9600");
    QString Parity = QStringLiteral("None");
    QString DataBits = QStringLiteral("8");
    QString StopBits = QStringLiteral("1");
    QString FlowControl = QStringLiteral("None");
    QString IP1 = QStringLiteral("0");
    QString IP2 = QStringLiteral("0");
    QString IP3 = QStringLiteral("0");
    QString IP4 = QStringLiteral("0");
    QString IP5 = QStringLiteral("3000");
    QString Auto = QStringLiteral("0");
    QString AutoSec = QStringLiteral("00");
    QString ResetModem = QStringLiteral("AT&F");
    QString InitModem = QStringLiteral("ATE0V1S0=1L0");
};

// Record-store target of channel n, section "DBMS(n)".
struct StoreSettings {
    QString Type = QStringLiteral("TXT (*.txt)");
    QString Name;
    QString Policy = QStringLiteral("Append");
    QString SepCode = QStringLiteral("None");
    QString AlwaysOverwrite = QStringLiteral("0");
};

// Look-up file n, section "ExtFile(n)".
struct ExtFileSettings {
    QString Name;
    QString DelAfterSend = QStringLiteral(" 1");
    QString IsZucchetti = QStringLiteral(" 0");
    QString MaxLenght = QStringLiteral("0");
};

// General options, section "Misc".
struct MiscSettings {
    QString RunMinimized = QStringLiteral("0");
    QString RunIconized = QStringLiteral("0");
    QString RunNormal = QStringLiteral("1");
    int ProfileMode = 1;
    QString ChiavePC = QStringLiteral("HKEY_CURRENT_USER");
    QString PercorsoChiave = QStringLiteral("DataExchange");
    QString Password;
};

// All settings records. Channel and look-up arrays are indexed from 1;
// element 0 exists and is never used.
struct Settings {
    std::array<ChannelSettings, 5> Com;
    std::array<StoreSettings, 5> DBMS;
    std::array<ExtFileSettings, 6> ExtFile;
    MiscSettings Misc;

    // The records as a fresh installation has them: defaults that name files
    // put them in the data folder.
    static Settings defaults();
};

// Section names: "Com(1)", "DBMS(2)", "ExtFile(5)", "Misc".
QString ComSection(int n);
QString DbmsSection(int n);
QString ExtFileSection(int n);
inline QString MiscSection()
{
    return QStringLiteral("Misc");
}

// Default values that depend on the index.
QString DefaultPort(int channel);
QString DefaultStoreName();
QString DefaultExtFileName(int n);

// Fills every record from the store (missing keys take their defaults) and
// writes them all back, so every key exists after the first start.
void LoadSettings(IniStore &store, Settings &settings);
// The same without writing anything back (a check of the file).
void ReadSettings(const IniStore &store, Settings &settings);
// Writes every field of every record, in the store's fixed order.
void SaveSettings(IniStore &store, const Settings &settings);

// Readers of flag and number texts that several parts share.
// The numeric value of the leading number of a text (leading blanks
// skipped, "1.5" and "-2" allowed); 0 when it does not begin with one.
double NumericValue(const QString &text);
// "DelAfterSend" is on when its numeric value is 1 (" 1" and "1" alike).
bool DelAfterSendOn(const QString &value);
// "IsZucchetti" is off when its trimmed text is "0", on for anything else.
bool IsZucchettiOn(const QString &value);
// Window-state Booleans: "0" and False are false; any other number and True
// are true. Other words are false.
bool BoolText(const QString &value);
// "Auto" read as a Boolean and "AutoSec" read as a period (AutoPeriodMs)
// above 0.
bool AutoCollectionOn(const ChannelSettings &channel);

// Numbers of the settings as the program uses them. A value outside the
// range is not used: the program runs on the key's default instead, and
// SettingsRangeProblems says so; the record (and so the file) keeps the
// user's text.
// "AutoSec": at least 1 second and at most 2147483 (the milliseconds fit
// 32 bits); 0 or less is off, as is a value out of range. Periods the
// options dialog would not write (120) work.
qint64 AutoPeriodMs(const ChannelSettings &channel);
// "MaxLenght": 0 to kMaxLookupLineLength; 0, less, or out of range sends
// the lines as they are.
inline constexpr int kMaxLookupLineLength = 65536;
int LookupLineLength(const QString &maxLenght);
// One message per value out of its range, naming the section, the key, the
// value, the range and the default used.
QStringList SettingsRangeProblems(const Settings &settings);

} // namespace vx
