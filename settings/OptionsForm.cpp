#include "settings/OptionsForm.h"

#include "platform/Paths.h"
#include "settings/IniStore.h"
#include "settings/Settings.h"

#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <iterator>

namespace vx {

namespace OptionsLists {

#define VX_LIST(name, ...)                                                                                             \
    const QStringList &name()                                                                                          \
    {                                                                                                                  \
        static const QStringList list = {__VA_ARGS__};                                                                 \
        return list;                                                                                                   \
    }

VX_LIST(ProtocolTypes, "ACK/NAK", "None")
VX_LIST(ConnTypes, "Serial", "IrDa", "InfraRed", "TCP", "Modem", "IRCradle")
VX_LIST(ConnTypeCaptions, "Serial", "IrDa", "Infrared", "TCP/IP", "Modem", "IR Cradle")
VX_LIST(Ports, "None", "Com1", "Com2", "Com3", "Com4", "Com5", "Com6", "Com7", "Com8", "Com9")
VX_LIST(Speeds, "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200")
VX_LIST(Parities, "None", "Pari", "Dispari", "Mark", "Spazio")
VX_LIST(DataBits, "8", "7", "6", "5", "4")
VX_LIST(StopBits, "1", "1,5", "2")
VX_LIST(FlowControls, "None", "Xon/Xoff", "RTS/CTS")
VX_LIST(DbmsTypes, "TXT (*.txt)", "Access 2.0 (*.mdb)", "Dbase III (*.dbf)", "Dbase IV (*.dbf)", "Dbase 5 (*.dbf)",
        "CSV (*.csv)", "Zucchetti", "PostgreSQL")
VX_LIST(Separators, "None", "Space", "<TAB>")
VX_LIST(Policies, "Append", "OverWrite", "NewFile")
VX_LIST(RootKeys, "HKEY_CLASSES_ROOT", "HKEY_CURRENT_CONFIG", "HKEY_CURRENT_USER", "HKEY_DYN_DATA",
        "HKEY_LOCAL_MACHINE", "HKEY_PERFORMANCE_DATA", "HKEY_USERS")

#undef VX_LIST

} // namespace OptionsLists

namespace {

QString flag(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}
// The text form of a Boolean.
QString boolWord(bool on)
{
    return on ? QStringLiteral("True") : QStringLiteral("False");
}
bool numericOne(const QString &text)
{
    return NumericValue(text) == 1.0;
}
QString at(const QStringList &list, int index)
{
    return index >= 0 && index < list.size() ? list.at(index) : list.value(0);
}

} // namespace

int OptionsForm::ListIndex(const QStringList &list, const QString &text)
{
    const int i = list.indexOf(text);
    return i < 0 ? 0 : i;
}

int OptionsForm::PortIndex(const QString &port)
{
    if (port == QLatin1String("None") || port.isEmpty())
        return 0;
    const QChar last = port.at(port.size() - 1);
    if (!last.isDigit() || last.unicode() >= 128)
        return 0;
    return last.digitValue();
}

QString OptionsForm::AutoSecText(const QString &typed)
{
    // The number is limited before it is converted, so a huge text cannot
    // overflow; halves round to even.
    double value = NumericValue(typed.trimmed());
    value = std::min(60.0, std::max(2.0, std::nearbyint(value)));
    return QStringLiteral("%1").arg(static_cast<int>(value), 2, 10, QLatin1Char('0'));
}

bool OptionsForm::AutoEnabled(int protocol)
{
    return protocol == 0;
}

bool OptionsForm::AlwaysOverwriteEnabled(int protocol, int policy)
{
    return protocol == 0 && policy == 1;
}

QString OptionsForm::DatabaseFilter(int dbmsType)
{
    static const char *const filters[] = {
        "Text File (*.txt)|*.txt", "Access DataBase (*.mdb)|*.mdb", "Dbase III (*.dbf)|*.dbf",
        "Dbase IV (*.dbf)|*.dbf",  "Dbase 5 (*.dbf)|*.dbf",         "CSV (*.csv)|*.csv",
        "Tutti i file|*.*",
    };
    if (dbmsType < 0 || dbmsType >= int(std::size(filters)))
        return {};
    return QString::fromLatin1(filters[dbmsType]);
}

QString OptionsForm::PortDeviceText(const QString &port)
{
    const QString device = Paths::comDevice(port);
    if (device.isEmpty())
        return QStringLiteral("(no device)");
    if (!QFileInfo::exists(device))
        return QStringLiteral("%1 (does not exist)").arg(device);
    return device;
}

OptionsForm OptionsForm::Fill(const Settings &s, const IniStore &store)
{
    using namespace OptionsLists;
    OptionsForm f;
    for (int i = 1; i <= 4; ++i) {
        const ChannelSettings &c = s.Com[i];
        const StoreSettings &d = s.DBMS[i];
        ChannelForm &x = f.com[i];
        x.protocol = ListIndex(ProtocolTypes(), c.ConnProtocol);
        x.autoOn = AutoEnabled(x.protocol) && BoolText(c.Auto);
        x.autoSec = c.AutoSec;
        x.connType = ListIndex(ConnTypes(), c.ConnType);
        x.port = PortIndex(c.Port);
        x.speed = ListIndex(Speeds(), c.Speed);
        x.parity = ListIndex(Parities(), c.Parity);
        x.dataBits = ListIndex(DataBits(), c.DataBits);
        x.stopBits = ListIndex(StopBits(), c.StopBits);
        x.flowControl = ListIndex(FlowControls(), c.FlowControl);
        x.ip = {c.IP1, c.IP2, c.IP3, c.IP4, c.IP5};
        x.resetModem = c.ResetModem;
        x.initModem = c.InitModem;
        x.dbmsType = ListIndex(DbmsTypes(), d.Type);
        x.dbmsName = d.Name;
        x.separator = d.SepCode;
        x.policy = ListIndex(Policies(), d.Policy);
        // The record store recreates a target only for the text "1".
        x.alwaysOverwrite = AlwaysOverwriteEnabled(x.protocol, x.policy) && d.AlwaysOverwrite == QLatin1String("1");
    }
    for (int k = 1; k <= 5; ++k) {
        const ExtFileSettings &e = s.ExtFile[k];
        ExtFileForm &x = f.ext[k];
        x.name = e.Name;
        x.delAfterSend = numericOne(e.DelAfterSend);
        x.zucchetti = numericOne(e.IsZucchetti);
        x.maxLenght = e.MaxLenght;
    }
    // Each run option is selected in turn when its flag is true, so the last
    // one true wins; with none true the window starts normally, as at start-up.
    MiscForm &m = f.misc;
    m.run = MiscForm::RunNormal;
    if (BoolText(s.Misc.RunIconized))
        m.run = MiscForm::RunIconized;
    if (BoolText(s.Misc.RunMinimized))
        m.run = MiscForm::RunMinimized;
    m.profileMode = s.Misc.ProfileMode == 1;
    m.pwd = s.Misc.Password;
    m.pwdVer = s.Misc.Password;
    m.chiavePC = store.read(MiscSection(), QStringLiteral("ChiavePC"), QStringLiteral("HKEY_CURRENT_USER"));
    m.percorso = store.read(MiscSection(), QStringLiteral("PercorsoChiave"), QStringLiteral("DataExchange"));
    return f;
}

void OptionsForm::ValorizzaSettings(Settings &s) const
{
    using namespace OptionsLists;
    for (int i = 1; i <= 4; ++i) {
        const ChannelForm &x = com[i];
        ChannelSettings &c = s.Com[i];
        StoreSettings &d = s.DBMS[i];
        c.ConnProtocol = at(ProtocolTypes(), x.protocol);
        c.Auto = flag(AutoEnabled(x.protocol) && x.autoOn);
        c.AutoSec = AutoSecText(x.autoSec);
        c.ConnType = at(ConnTypes(), x.connType);
        c.Port = at(Ports(), x.port);
        c.Speed = at(Speeds(), x.speed);
        c.Parity = at(Parities(), x.parity);
        c.DataBits = at(DataBits(), x.dataBits);
        c.StopBits = at(StopBits(), x.stopBits);
        c.FlowControl = at(FlowControls(), x.flowControl);
        c.IP1 = x.ip[0].trimmed();
        c.IP2 = x.ip[1].trimmed();
        c.IP3 = x.ip[2].trimmed();
        c.IP4 = x.ip[3].trimmed();
        c.IP5 = x.ip[4].trimmed();
        c.ResetModem = x.resetModem;
        c.InitModem = x.initModem;
        d.Type = at(DbmsTypes(), x.dbmsType);
        d.Name = x.dbmsName.trimmed();
        d.Policy = at(Policies(), x.policy);
        d.SepCode = x.separator.trimmed();
        d.AlwaysOverwrite = flag(AlwaysOverwriteEnabled(x.protocol, x.policy) && x.alwaysOverwrite);
    }
    for (int k = 1; k <= 5; ++k) {
        const ExtFileForm &x = ext[k];
        ExtFileSettings &e = s.ExtFile[k];
        e.Name = x.name.trimmed();
        e.DelAfterSend = flag(x.delAfterSend);
        e.IsZucchetti = flag(x.zucchetti);
        e.MaxLenght = x.maxLenght.trimmed();
    }
    s.Misc.RunMinimized = boolWord(misc.run == MiscForm::RunMinimized);
    s.Misc.RunIconized = boolWord(misc.run == MiscForm::RunIconized);
    s.Misc.RunNormal = boolWord(misc.run == MiscForm::RunNormal);
    s.Misc.ProfileMode = misc.profileMode ? 1 : 0;
    s.Misc.Password = misc.pwd.trimmed();
    s.Misc.ChiavePC = misc.chiavePC.trimmed();
    s.Misc.PercorsoChiave = misc.percorso.trimmed();
}

namespace PasswordRules {

bool ApplyNeedsPrompt(const MiscForm &misc, const QString &storedPassword)
{
    return misc.profileMode && !storedPassword.trimmed().isEmpty() && misc.pwd.trimmed() == misc.pwdVer.trimmed();
}

PasswordVerdict Check(const MiscForm &misc, const QString &storedPassword, const std::optional<QString> &prompted)
{
    const QString typed = misc.pwd.trimmed();
    if (typed != misc.pwdVer.trimmed())
        return PasswordVerdict::Mismatch;
    if (!misc.profileMode)
        return PasswordVerdict::Save;
    const QString stored = storedPassword.trimmed();
    if (stored.isEmpty() && typed.isEmpty())
        return PasswordVerdict::SaveBlankWarning;
    const QString offered = prompted ? prompted->trimmed() : typed;
    if (offered != stored && !stored.isEmpty())
        return PasswordVerdict::WrongPassword;
    return PasswordVerdict::Save;
}

} // namespace PasswordRules

} // namespace vx
