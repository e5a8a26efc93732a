#include "settings/SettingsCheck.h"

#include "settings/Settings.h"
#include "settings/TargetKinds.h"

namespace vx {

namespace {

struct Vocabulary {
    const char *key;
    QStringList words;
    bool trimmed; // the program compares the value with its blanks trimmed
    const char *effect;
};

const std::vector<Vocabulary> &vocabularies()
{
    static const std::vector<Vocabulary> list = {
        {"ConnProtocol", {"ACK/NAK", "None"}, false, "records are taken without check characters and not answered"},
        {"ConnType",
         {"Serial", "IrDa", "InfraRed", "TCP", "Modem", "IRCradle"},
         true,
         "the channel is opened as a serial port"},
        {"Speed", {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"}, true, ""},
        {"Parity", {"None", "Pari", "Dispari", "Mark", "Spazio"}, true, "the channel uses no parity"},
        {"DataBits", {"8", "7", "6", "5", "4"}, true, ""},
        {"StopBits", {"1", "1,5", "2"}, true, ""},
        {"FlowControl", {"None", "Xon/Xoff", "RTS/CTS"}, false, "the channel uses no flow control"},
        {"Type", TargetTypes(), false, "records are written as plain text lines"},
        {"Policy", {"Append", "OverWrite", "NewFile"}, false, "records are appended"},
        {"AlwaysOverwrite", {"0", "1"}, false, "the target is not recreated at each transfer"},
        {"ChiavePC",
         {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_CONFIG", "HKEY_CURRENT_USER", "HKEY_DYN_DATA", "HKEY_LOCAL_MACHINE",
          "HKEY_PERFORMANCE_DATA", "HKEY_USERS"},
         false,
         "the data exchange uses HKEY_LOCAL_MACHINE"},
    };
    return list;
}

const Vocabulary *vocabularyOf(const QString &key)
{
    for (const Vocabulary &v : vocabularies()) {
        if (key == QLatin1String(v.key))
            return &v;
    }
    return nullptr;
}

// The accepted word that a value resembles: the same letters in another
// case, or the same word with blanks around it.
QString resembles(const QString &value, const QStringList &words)
{
    const QString t = value.trimmed();
    for (const QString &w : words) {
        if (t.compare(w, Qt::CaseInsensitive) == 0 && value != w)
            return w;
    }
    return {};
}

void checkWord(std::vector<SettingFinding> &out, const QString &section, const QString &key, const QString &value)
{
    const Vocabulary *v = vocabularyOf(key);
    if (!v)
        return;
    const QString compared = v->trimmed ? value.trimmed() : value;
    // The two names of a server target are compared trimmed.
    const QString t = value.trimmed();
    if (v->words.contains(compared)
        || (key == QLatin1String("Type") && (t == QLatin1String("Zucchetti") || t == QLatin1String("PostgreSQL"))))
        return;
    SettingFinding f{section,
                     key,
                     value,
                     v->words.join(QStringLiteral(", ")),
                     resembles(value, v->words),
                     QString::fromLatin1(v->effect)};
    out.push_back(f);
}

// A whole number from low to high, blanks around it allowed.
bool wholeNumberIn(const QString &value, int low, int high)
{
    bool ok = false;
    const int number = value.trimmed().toInt(&ok);
    return ok && number >= low && number <= high;
}

void checkNumber(std::vector<SettingFinding> &out, const QString &section, const QString &key, const QString &value,
                 int low, int high, const QString &effect)
{
    if (wholeNumberIn(value, low, high))
        return;
    out.push_back({section, key, value, QStringLiteral("%1 to %2").arg(low).arg(high), QString(), effect});
}

// The window-state flags: 0/1 or the words True/False.
void checkFlag(std::vector<SettingFinding> &out, const QString &key, const QString &value)
{
    const QString t = value.trimmed();
    bool number = false;
    t.toDouble(&number);
    if (number || t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0
        || t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0)
        return;
    out.push_back({MiscSection(), key, value, QStringLiteral("0, 1, True, False"), QString(),
                   QStringLiteral("it counts as off")});
}

bool isTcp(const ChannelSettings &c)
{
    return c.ConnType.trimmed() == QLatin1String("TCP");
}

} // namespace

QString SettingFinding::text() const
{
    const bool range = accepted.contains(QLatin1String(" to "));
    QString t =
        QStringLiteral("[%1] %2=%3 %4 (accepted: %5)")
            .arg(section, key, value,
                 range ? QStringLiteral("is not a number in range") : QStringLiteral("is not a value Vendrix knows"),
                 accepted);
    if (!hint.isEmpty())
        t += QStringLiteral("; did you mean \"%1\"?").arg(hint);
    else
        t += QLatin1Char('.');
    if (!effect.isEmpty())
        t += QStringLiteral(" As it stands, %1.").arg(effect);
    return t;
}

QStringList AcceptedValues(const QString &key)
{
    const Vocabulary *v = vocabularyOf(key);
    return v ? v->words : QStringList();
}

std::vector<SettingFinding> UnknownSettingValues(const Settings &s)
{
    std::vector<SettingFinding> out;
    for (int n = 1; n <= 4; ++n) {
        const QString sec = ComSection(n);
        const ChannelSettings &c = s.Com[n];
        checkWord(out, sec, QStringLiteral("ConnProtocol"), c.ConnProtocol);
        checkWord(out, sec, QStringLiteral("ConnType"), c.ConnType);
        const QString port = c.Port.trimmed();
        const bool portKnown = port.compare(QLatin1String("None"), Qt::CaseInsensitive) == 0
                               || (port.size() == 4 && port.startsWith(QLatin1String("Com"), Qt::CaseInsensitive)
                                   && port.at(3) >= QLatin1Char('1') && port.at(3) <= QLatin1Char('9'));
        if (!portKnown && !isTcp(c))
            out.push_back({sec, QStringLiteral("Port"), c.Port, QStringLiteral("None, Com1 ... Com9"), QString(),
                           QStringLiteral("the channel is not opened")});
        // The line settings matter only to a channel with a serial port.
        if (!isTcp(c) && port.compare(QLatin1String("None"), Qt::CaseInsensitive) != 0) {
            for (const auto &[key, value] : {std::pair{QStringLiteral("Speed"), c.Speed},
                                             {QStringLiteral("Parity"), c.Parity},
                                             {QStringLiteral("DataBits"), c.DataBits},
                                             {QStringLiteral("StopBits"), c.StopBits},
                                             {QStringLiteral("FlowControl"), c.FlowControl}})
                checkWord(out, sec, key, value);
        }
        if (isTcp(c)) {
            const QString ips[4] = {c.IP1, c.IP2, c.IP3, c.IP4};
            for (int i = 0; i < 4; ++i)
                checkNumber(out, sec, QStringLiteral("IP%1").arg(i + 1), ips[i], 0, 255,
                            QStringLiteral("the channel is not opened"));
            checkNumber(out, sec, QStringLiteral("IP5"), c.IP5, 1, 65535, QStringLiteral("the channel is not opened"));
        }
        // A period of 0 with automatic collection on (the range of AutoSec
        // itself is SettingsRangeProblems's).
        if (BoolText(c.Auto) && NumericValue(c.AutoSec.trimmed()) <= 0.0)
            out.push_back({sec, QStringLiteral("AutoSec"), c.AutoSec, QStringLiteral("1 to 60 (seconds)"), QString(),
                           QStringLiteral("automatic collection stays off")});
    }
    for (int n = 1; n <= 4; ++n) {
        const QString sec = DbmsSection(n);
        const StoreSettings &t = s.DBMS[n];
        checkWord(out, sec, QStringLiteral("Type"), t.Type);
        checkWord(out, sec, QStringLiteral("Policy"), t.Policy);
        checkWord(out, sec, QStringLiteral("AlwaysOverwrite"), t.AlwaysOverwrite);
    }
    checkFlag(out, QStringLiteral("RunMinimized"), s.Misc.RunMinimized);
    checkFlag(out, QStringLiteral("RunIconized"), s.Misc.RunIconized);
    checkFlag(out, QStringLiteral("RunNormal"), s.Misc.RunNormal);
    checkWord(out, MiscSection(), QStringLiteral("ChiavePC"), s.Misc.ChiavePC);
    return out;
}

} // namespace vx
