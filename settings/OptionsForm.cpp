#include "settings/OptionsForm.h"

#include "platform/Paths.h"
#include "settings/IniStore.h"
#include "settings/Settings.h"
#include "settings/TargetKinds.h"

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
VX_LIST(Separators, "None", "Space", "<TAB>")
VX_LIST(Policies, "Append", "OverWrite", "NewFile")
VX_LIST(RootKeys, "HKEY_CLASSES_ROOT", "HKEY_CURRENT_CONFIG", "HKEY_CURRENT_USER", "HKEY_DYN_DATA",
        "HKEY_LOCAL_MACHINE", "HKEY_PERFORMANCE_DATA", "HKEY_USERS")

#undef VX_LIST

const QStringList &DbmsTypes()
{
    return TargetTypes();
}

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
// A list's entry into a record; a list left on an unlisted stored text
// leaves the record as it is.
void choose(QString &record, const QStringList &list, int index)
{
    if (index != kUnlisted)
        record = at(list, index);
}

} // namespace

int OptionsForm::ListPosition(const QStringList &list, const QString &text)
{
    const int i = int(list.indexOf(text));
    return i < 0 ? kUnlisted : i;
}

QString OptionsForm::AutoSecText(const QString &typed)
{
    // The number is limited before it is converted, so a huge text cannot
    // overflow; halves round to even.
    double value = NumericValue(typed.trimmed());
    value = std::min(60.0, std::max(2.0, std::nearbyint(value)));
    return QStringLiteral("%1").arg(static_cast<int>(value), 2, 10, QLatin1Char('0'));
}

QString OptionsForm::SavedAutoSec(const QString &boxText, const QString &stored, bool autoOn)
{
    const QString written = AutoSecText(boxText);
    if (!autoOn || boxText != stored || NumericValue(written) == NumericValue(stored.trimmed()))
        return written;
    return stored;
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
    return TargetFilter(dbmsType);
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
        x.protocol = ListPosition(ProtocolTypes(), c.ConnProtocol);
        // Under an unlisted protocol the box shows the stored flag, greyed.
        x.autoOn = (AutoEnabled(x.protocol) || x.protocol == kUnlisted) && BoolText(c.Auto);
        x.autoSec = c.AutoSec;
        x.connType = ListPosition(ConnTypes(), c.ConnType);
        x.port = ListPosition(Ports(), c.Port);
        x.speed = ListPosition(Speeds(), c.Speed);
        x.parity = ListPosition(Parities(), c.Parity);
        x.dataBits = ListPosition(DataBits(), c.DataBits);
        x.stopBits = ListPosition(StopBits(), c.StopBits);
        x.flowControl = ListPosition(FlowControls(), c.FlowControl);
        x.ip = {c.IP1, c.IP2, c.IP3, c.IP4, c.IP5};
        x.resetModem = c.ResetModem;
        x.initModem = c.InitModem;
        x.dbmsType = ListPosition(DbmsTypes(), d.Type);
        x.dbmsName = d.Name;
        x.separator = d.SepCode;
        x.policy = ListPosition(Policies(), d.Policy);
        // The record store recreates a target only for the text "1".
        const bool unlisted = x.protocol == kUnlisted || x.policy == kUnlisted;
        x.alwaysOverwrite =
            (AlwaysOverwriteEnabled(x.protocol, x.policy) || unlisted) && d.AlwaysOverwrite == QLatin1String("1");
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
    // The stored password is never shown: the boxes are for a new one.
    m.pwd.clear();
    m.pwdVer.clear();
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
        choose(c.ConnProtocol, ProtocolTypes(), x.protocol);
        // Under an unlisted protocol the flag keeps its stored text.
        if (x.protocol != kUnlisted)
            c.Auto = flag(AutoEnabled(x.protocol) && x.autoOn);
        c.AutoSec = SavedAutoSec(x.autoSec, c.AutoSec, BoolText(c.Auto));
        choose(c.ConnType, ConnTypes(), x.connType);
        choose(c.Port, Ports(), x.port);
        choose(c.Speed, Speeds(), x.speed);
        choose(c.Parity, Parities(), x.parity);
        choose(c.DataBits, DataBits(), x.dataBits);
        choose(c.StopBits, StopBits(), x.stopBits);
        choose(c.FlowControl, FlowControls(), x.flowControl);
        c.IP1 = x.ip[0].trimmed();
        c.IP2 = x.ip[1].trimmed();
        c.IP3 = x.ip[2].trimmed();
        c.IP4 = x.ip[3].trimmed();
        c.IP5 = x.ip[4].trimmed();
        c.ResetModem = x.resetModem;
        c.InitModem = x.initModem;
        choose(d.Type, DbmsTypes(), x.dbmsType);
        d.Name = x.dbmsName.trimmed();
        choose(d.Policy, Policies(), x.policy);
        d.SepCode = x.separator.trimmed();
        if (x.protocol != kUnlisted && x.policy != kUnlisted)
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
    if (!misc.pwd.trimmed().isEmpty())
        s.Misc.Password = misc.pwd.trimmed();
    s.Misc.ChiavePC = misc.chiavePC.trimmed();
    s.Misc.PercorsoChiave = misc.percorso.trimmed();
}

namespace PasswordRules {

bool NeedsCurrentPassword(const MiscForm &misc, const QString &storedPassword, bool storedProfileMode)
{
    if (storedPassword.trimmed().isEmpty())
        return false;
    return misc.profileMode != storedProfileMode || !misc.pwd.trimmed().isEmpty();
}

PasswordVerdict Check(const MiscForm &misc, const QString &storedPassword, bool storedProfileMode,
                      const std::optional<QString> &current)
{
    const QString typed = misc.pwd.trimmed();
    if (typed != misc.pwdVer.trimmed())
        return PasswordVerdict::Mismatch;
    const QString stored = storedPassword.trimmed();
    if (NeedsCurrentPassword(misc, storedPassword, storedProfileMode) && (!current || current->trimmed() != stored))
        return PasswordVerdict::WrongPassword;
    if (misc.profileMode && stored.isEmpty() && typed.isEmpty())
        return PasswordVerdict::SaveBlankWarning;
    return PasswordVerdict::Save;
}

} // namespace PasswordRules

} // namespace vx
