#include "settings/Settings.h"

#include "platform/Paths.h"
#include "settings/IniStore.h"

#include <QStringList>
#include <cmath>

namespace vx {

QString ComSection(int n)
{
    return QStringLiteral("Com(%1)").arg(n);
}
QString DbmsSection(int n)
{
    return QStringLiteral("DBMS(%1)").arg(n);
}
QString ExtFileSection(int n)
{
    return QStringLiteral("ExtFile(%1)").arg(n);
}

QString DefaultPort(int channel)
{
    return channel == 1 ? QStringLiteral("Com1") : QStringLiteral("None");
}

QString DefaultStoreName()
{
    return Paths::dataFile(QStringLiteral("VdxPC.txt"));
}

QString DefaultExtFileName(int n)
{
    static const char *const names[] = {"", "Inventory.txt", "Sales.txt", "Picking.txt", "ReceivGo.txt", "PriceCh.txt"};
    if (n < 1 || n > 5)
        return Paths::dataFile(QStringLiteral("toTerm.txt"));
    return Paths::dataFile(QLatin1String(names[n]));
}

Settings Settings::defaults()
{
    Settings s;
    for (int n = 1; n <= 4; ++n) {
        s.Com[n].Port = DefaultPort(n);
        s.DBMS[n].Name = DefaultStoreName();
    }
    for (int n = 1; n <= 5; ++n)
        s.ExtFile[n].Name = DefaultExtFileName(n);
    return s;
}

double NumericValue(const QString &text)
{
    // Leading blanks, an optional sign, digits with at most one decimal
    // point; whatever follows is ignored.
    int i = 0;
    const int n = text.size();
    while (i < n && (text.at(i) == QLatin1Char(' ') || text.at(i) == QLatin1Char('\t')))
        ++i;
    const int start = i;
    if (i < n && (text.at(i) == QLatin1Char('-') || text.at(i) == QLatin1Char('+')))
        ++i;
    bool digits = false;
    bool point = false;
    while (i < n) {
        const QChar c = text.at(i);
        if (c.isDigit() && c.unicode() < 128) {
            digits = true;
        } else if (c == QLatin1Char('.') && !point) {
            point = true;
        } else {
            break;
        }
        ++i;
    }
    if (!digits)
        return 0.0;
    bool ok = false;
    const double value = text.mid(start, i - start).toDouble(&ok);
    return ok ? value : 0.0;
}

bool DelAfterSendOn(const QString &value)
{
    return NumericValue(value) == 1.0;
}

bool IsZucchettiOn(const QString &value)
{
    return value.trimmed() != QLatin1String("0");
}

bool BoolText(const QString &value)
{
    const QString t = value.trimmed();
    if (t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0 || t.isEmpty())
        return false;
    bool ok = false;
    const double number = t.toDouble(&ok);
    return ok && number != 0.0;
}

namespace {
// The longest automatic-collection period: its milliseconds fit a 32-bit
// count, as the period was always counted.
constexpr double kMaxAutoSec = 2147483.0;

bool autoSecInRange(double seconds)
{
    return seconds <= 0.0 || (seconds >= 1.0 && seconds <= kMaxAutoSec);
}

bool maxLengthInRange(double length)
{
    return length <= double(kMaxLookupLineLength);
}
} // namespace

bool AutoCollectionOn(const ChannelSettings &channel)
{
    return BoolText(channel.Auto) && AutoPeriodMs(channel) > 0;
}

qint64 AutoPeriodMs(const ChannelSettings &channel)
{
    const double seconds = NumericValue(channel.AutoSec.trimmed());
    if (!std::isfinite(seconds) || !autoSecInRange(seconds) || seconds <= 0.0)
        return 0; // off, as the default "00" is
    return static_cast<qint64>(seconds * 1000.0);
}

int LookupLineLength(const QString &maxLenght)
{
    const double length = NumericValue(maxLenght);
    if (!std::isfinite(length) || !maxLengthInRange(length) || length <= 0.0)
        return 0; // lines as they are, as the default "0" sends them
    return static_cast<int>(length);
}

QStringList SettingsRangeProblems(const Settings &settings)
{
    QStringList problems;
    auto say = [&problems](const QString &section, const QString &key, const QString &value, const QString &range,
                           const QString &fallback) {
        problems << QStringLiteral(
                        "[%1] %2=%3 is outside the range the program uses (%4): it runs on the "
                        "default %5; the file keeps the value.")
                        .arg(section, key, value, range, fallback);
    };
    for (int n = 1; n < int(settings.Com.size()); ++n) {
        const QString &text = settings.Com[n].AutoSec;
        const double seconds = NumericValue(text.trimmed());
        if (!std::isfinite(seconds) || !autoSecInRange(seconds))
            say(ComSection(n), QStringLiteral("AutoSec"), text,
                QStringLiteral("1 to %1 seconds; 0 turns automatic collection off").arg(qint64(kMaxAutoSec)),
                QStringLiteral("00 (no automatic collection)"));
    }
    for (int n = 1; n < int(settings.ExtFile.size()); ++n) {
        const QString &text = settings.ExtFile[n].MaxLenght;
        const double length = NumericValue(text);
        if (!std::isfinite(length) || !maxLengthInRange(length))
            say(ExtFileSection(n), QStringLiteral("MaxLenght"), text,
                QStringLiteral("0 to %1 characters; 0 sends lines as they are").arg(kMaxLookupLineLength),
                QStringLiteral("0 (lines as they are)"));
    }
    return problems;
}

namespace {

int profileModeOf(const QString &text)
{
    const double value = std::nearbyint(NumericValue(text.trimmed()));
    // The mode is a 16-bit number; anything outside that range is off.
    if (value < -32768.0 || value > 32767.0)
        return 0;
    return static_cast<int>(value);
}

} // namespace

void ReadSettings(const IniStore &store, Settings &s)
{
    const Settings d = Settings::defaults();
    for (int n = 1; n <= 4; ++n) {
        const QString sec = ComSection(n);
        ChannelSettings &c = s.Com[n];
        const ChannelSettings &dc = d.Com[n];
        c.ConnProtocol = store.read(sec, QStringLiteral("ConnProtocol"), dc.ConnProtocol);
        c.Auto = store.read(sec, QStringLiteral("Auto"), dc.Auto);
        c.AutoSec = store.read(sec, QStringLiteral("AutoSec"), dc.AutoSec);
        c.ConnType = store.read(sec, QStringLiteral("ConnType"), dc.ConnType);
        c.Port = store.read(sec, QStringLiteral("Port"), dc.Port);
        c.Speed = store.read(sec, QStringLiteral("Speed"), dc.Speed);
        c.Parity = store.read(sec, QStringLiteral("Parity"), dc.Parity);
        c.DataBits = store.read(sec, QStringLiteral("DataBits"), dc.DataBits);
        c.StopBits = store.read(sec, QStringLiteral("StopBits"), dc.StopBits);
        c.FlowControl = store.read(sec, QStringLiteral("FlowControl"), dc.FlowControl);
        c.IP1 = store.read(sec, QStringLiteral("IP1"), dc.IP1);
        c.IP2 = store.read(sec, QStringLiteral("IP2"), dc.IP2);
        c.IP3 = store.read(sec, QStringLiteral("IP3"), dc.IP3);
        c.IP4 = store.read(sec, QStringLiteral("IP4"), dc.IP4);
        c.IP5 = store.read(sec, QStringLiteral("IP5"), dc.IP5);
        if (c.IP5 == QLatin1String("0"))
            c.IP5 = QStringLiteral("3000");
        c.ResetModem = store.read(sec, QStringLiteral("ResetModem"), dc.ResetModem);
        c.InitModem = store.read(sec, QStringLiteral("InitModem"), dc.InitModem);
    }
    for (int n = 1; n <= 4; ++n) {
        const QString sec = DbmsSection(n);
        StoreSettings &t = s.DBMS[n];
        const StoreSettings &dt = d.DBMS[n];
        t.Type = store.read(sec, QStringLiteral("Type"), dt.Type);
        t.Name = store.read(sec, QStringLiteral("Name"), dt.Name);
        t.Policy = store.read(sec, QStringLiteral("Policy"), dt.Policy);
        t.AlwaysOverwrite = store.read(sec, QStringLiteral("AlwaysOverwrite"), dt.AlwaysOverwrite);
        t.SepCode = store.read(sec, QStringLiteral("SepCode"), dt.SepCode);
    }
    for (int n = 1; n <= 5; ++n) {
        const QString sec = ExtFileSection(n);
        ExtFileSettings &e = s.ExtFile[n];
        const ExtFileSettings &de = d.ExtFile[n];
        e.Name = store.read(sec, QStringLiteral("Name"), de.Name);
        e.DelAfterSend = store.read(sec, QStringLiteral("DelAfterSend"), de.DelAfterSend);
        e.IsZucchetti = store.read(sec, QStringLiteral("IsZucchetti"), de.IsZucchetti);
        e.MaxLenght = store.read(sec, QStringLiteral("MaxLenght"), de.MaxLenght);
    }
    const QString misc = MiscSection();
    MiscSettings &m = s.Misc;
    const MiscSettings &dm = d.Misc;
    m.RunMinimized = store.read(misc, QStringLiteral("RunMinimized"), dm.RunMinimized);
    m.RunIconized = store.read(misc, QStringLiteral("RunIconized"), dm.RunIconized);
    m.RunNormal = store.read(misc, QStringLiteral("RunNormal"), dm.RunNormal);
    m.ProfileMode = profileModeOf(store.read(misc, QStringLiteral("ProfileMode"), QStringLiteral("1")));
    m.Password = store.read(misc, QStringLiteral("Password"), QString()).trimmed();
    m.ChiavePC = store.read(misc, QStringLiteral("ChiavePC"), dm.ChiavePC);
    m.PercorsoChiave = store.read(misc, QStringLiteral("PercorsoChiave"), dm.PercorsoChiave);
}

void LoadSettings(IniStore &store, Settings &s)
{
    ReadSettings(store, s);
    SaveSettings(store, s);
}

void SaveSettings(IniStore &store, const Settings &s)
{
    store.beginBatch();
    for (int n = 1; n <= 4; ++n) {
        const QString sec = ComSection(n);
        const ChannelSettings &c = s.Com[n];
        store.write(sec, QStringLiteral("ConnProtocol"), c.ConnProtocol);
        store.write(sec, QStringLiteral("Auto"), c.Auto);
        store.write(sec, QStringLiteral("AutoSec"), c.AutoSec);
        store.write(sec, QStringLiteral("ConnType"), c.ConnType);
        store.write(sec, QStringLiteral("Port"), c.Port);
        store.write(sec, QStringLiteral("Speed"), c.Speed);
        store.write(sec, QStringLiteral("Parity"), c.Parity);
        store.write(sec, QStringLiteral("DataBits"), c.DataBits);
        store.write(sec, QStringLiteral("StopBits"), c.StopBits);
        store.write(sec, QStringLiteral("FlowControl"), c.FlowControl);
        store.write(sec, QStringLiteral("IP1"), c.IP1);
        store.write(sec, QStringLiteral("IP2"), c.IP2);
        store.write(sec, QStringLiteral("IP3"), c.IP3);
        store.write(sec, QStringLiteral("IP4"), c.IP4);
        store.write(sec, QStringLiteral("IP5"), c.IP5);
        store.write(sec, QStringLiteral("ResetModem"), c.ResetModem);
        store.write(sec, QStringLiteral("InitModem"), c.InitModem);
    }
    for (int n = 1; n <= 4; ++n) {
        const QString sec = DbmsSection(n);
        const StoreSettings &t = s.DBMS[n];
        store.write(sec, QStringLiteral("Type"), t.Type);
        store.write(sec, QStringLiteral("Name"), t.Name);
        store.write(sec, QStringLiteral("Policy"), t.Policy);
        store.write(sec, QStringLiteral("AlwaysOverwrite"), t.AlwaysOverwrite);
        store.write(sec, QStringLiteral("SepCode"), t.SepCode);
    }
    for (int n = 1; n <= 5; ++n) {
        const QString sec = ExtFileSection(n);
        const ExtFileSettings &e = s.ExtFile[n];
        store.write(sec, QStringLiteral("Name"), e.Name);
        store.write(sec, QStringLiteral("DelAfterSend"), e.DelAfterSend);
        store.write(sec, QStringLiteral("isZucchetti"), e.IsZucchetti);
        store.write(sec, QStringLiteral("MaxLenght"), e.MaxLenght);
    }
    const QString misc = MiscSection();
    const MiscSettings &m = s.Misc;
    store.write(misc, QStringLiteral("RunMinimized"), m.RunMinimized);
    store.write(misc, QStringLiteral("RunIconized"), m.RunIconized);
    store.write(misc, QStringLiteral("RunNormal"), m.RunNormal);
    store.write(misc, QStringLiteral("ProfileMode"), QString::number(m.ProfileMode));
    store.write(misc, QStringLiteral("Password"), m.Password.trimmed());
    store.write(misc, QStringLiteral("ChiavePC"), m.ChiavePC);
    store.write(misc, QStringLiteral("PercorsoChiave"), m.PercorsoChiave);
    store.endBatch();
}

} // namespace vx
