#include "RandomProfile.h"

#include "profiles/ProfileFile.h"

namespace vx::test {

namespace {

class Gen {
public:
    Gen(std::mt19937 &rng, bool away) : m_rng(rng), m_away(away) {}

    int range(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_rng); }
    bool chance(int percent) { return range(1, 100) <= percent; }

    // A value in lo..hi, other than `def` when moving away from defaults.
    qint16 pick(int lo, int hi, int def)
    {
        for (;;) {
            const int v = range(lo, hi);
            if (!m_away || v != def || lo == hi)
                return qint16(v);
        }
    }
    qint16 flag(int def) { return m_away ? qint16(1 - def) : qint16(range(0, 1)); }

    // Printable single-byte text, sometimes with blanks around it.
    QString text(int minLength, int maxLength, const QString &def = QString())
    {
        for (;;) {
            QString s;
            const int n = range(minLength, maxLength);
            for (int i = 0; i < n; ++i) {
                const int c = chance(85) ? range(0x20, 0x7e) : range(0xa0, 0xff);
                s += QChar(char16_t(c));
            }
            if (n >= 3 && chance(15))
                s[0] = QLatin1Char(' ');
            if (n >= 3 && chance(15))
                s[n - 1] = QLatin1Char(' ');
            if (!m_away || (TrimBlanks(s) != def && !TrimBlanks(s).isEmpty()))
                return s;
        }
    }
    QString digits(int lo, int hi) { return QString::number(range(lo, hi)); }
    bool away() const { return m_away; }

private:
    std::mt19937 &m_rng;
    bool m_away;
};

void randomField(Gen &g, ProfileField &d, int nameLimit)
{
    const ProfileField def;
    d.Name = g.text(g.away() ? 1 : 0, nameLimit);
    d.Enabled = g.flag(def.Enabled);
    d.Level = g.pick(0, 4, def.Level);
    d.Mask.clear();
    const int maskLength = g.range(1, 20);
    for (int i = 0; i < maskLength; ++i)
        d.Mask += QLatin1Char("9.*"[g.range(0, 2)]);
    if (g.away() && d.Mask == def.Mask)
        d.Mask = QStringLiteral("99.9");
    d.MinLength = g.away() || g.chance(50) ? g.digits(1, 20) : QString();
    d.IsKey = qint16(g.range(0, 1));
    d.IsSum = qint16(g.range(0, 1));
    d.DefaultEnabled = qint16(g.range(0, 1));
    d.DefaultAutomatic = g.away() ? 1 : qint16(g.range(0, 1));
    d.DefaultValue = g.text(g.away() ? 1 : 0, int(d.Mask.size()));
    const int input = g.pick(0, 7, 7);
    d.InputKeyboard = input & 1;
    d.InputReader = input & 2 ? 1 : 0;
    d.InputReaderAutoCR = input & 4 ? 1 : 0;
    for (int i = 0; i < int(d.Barcode.size()); ++i) {
        const int original = DefaultBarcodeTable()[i];
        // Entries that do not apply stay -1 unless moving away from defaults.
        if (original == -1 && !g.away() && g.chance(50))
            continue;
        d.Barcode[i] = g.pick(0, 255, original);
    }
    d.Align = g.pick(0, 2, def.Align);
}

void randomFunction(Gen &g, ProfileFunction &f, bool eightFamily)
{
    const ProfileFunction def;
    f.Name = g.away() || g.chance(80) ? g.text(1, 20) : QString();
    f.Enabled = g.flag(def.Enabled);
    f.SaveData = g.flag(def.SaveData);
    const int nameLimit = eightFamily ? 16 : 20;
    for (ProfileField &d : f.Fields)
        randomField(g, d, nameLimit);
    f.DualConsecutive = g.pick(0, 3, def.DualConsecutive);
    f.DualNotConsecutive = g.pick(0, 3, def.DualNotConsecutive);
    if (f.DualNotConsecutive == DualSumUp)
        f.DualConsecutive = DualSumUp;

    ExtFileLink &x = f.ExtLink;
    x.FileNumber = g.pick(0, 5, 0);
    for (int k = 0; k < 4; ++k)
        x.KeyField[k] = g.pick(0, 8, 0);
    x.QueryActive = g.flag(0);
    x.RetrieveActive = g.flag(0);
    x.UpdateActive = g.flag(0);
    x.QueryStop = g.flag(0);
    x.RetrieveStop = g.flag(0);
    x.UpdateStop = g.flag(0);
    for (int u = 0; u < 8; ++u) {
        x.QueryShowField[u] = g.flag(0);
        x.RetrieveInto[u] = QString::number(g.pick(0, 8, 0));
        x.UpdateEnabled[u] = g.flag(0);
        x.UpdateOperator[u] = g.pick(0, 4, 1);
        x.UpdateWithField[u] = g.pick(0, 8, 0);
        x.UpdateValue[u] = g.text(g.away() ? 1 : 0, 12);
    }

    FunctionCommSettings &c = f.Comm;
    c.Protocol = g.pick(0, 1, def.Comm.Protocol);
    c.Port = g.pick(0, 5, def.Comm.Port);
    c.Speed = g.pick(0, 7, def.Comm.Speed);
    c.Parity = g.pick(0, 2, def.Comm.Parity);
    c.DataBits = g.pick(0, 1, def.Comm.DataBits);
    c.FlowControl = g.pick(0, 2, def.Comm.FlowControl);
    c.TxImmediate = g.flag(def.Comm.TxImmediate);
    c.CheckCable = g.flag(def.Comm.CheckCable);
    c.RecordDelay = g.pick(-32768, 32767, 0);
    c.FieldDelay = g.pick(-32768, 32767, 0);
    c.RecordBlock = g.pick(-32768, 32767, 0);
    const bool waitTime = g.away() || g.chance(50);
    c.BlockWaitCR = waitTime ? 0 : -1;
    c.BlockWaitTime = waitTime ? -1 : 0;
    c.BlockWaitMs = g.pick(0, 32767, 0);
    c.BlockTerminator = g.pick(0, 10, 0);
    c.FieldSeparatorCode = g.pick(1, 254, 44);
    c.FieldSeparator = QChar(char16_t(c.FieldSeparatorCode));
    c.DecimalSeparatorCode = g.pick(1, 254, 46);
    c.DecimalSeparator = QChar(char16_t(c.DecimalSeparatorCode));
    static const char *const names[] = {"Date", "Time", "Terminal ID", "Check Digit"};
    const int items = g.range(g.away() ? 1 : 0, 25);
    for (int i = 0; i < items; ++i) {
        QString slot = QStringLiteral("%1").arg(g.range(1, 26), 2, 10, QLatin1Char('0'));
        if (g.chance(50))
            slot += QLatin1Char(' ') + QLatin1String(names[g.range(0, 3)]);
        c.RecordStructure[i] = slot;
    }

    ModemSettings &mo = f.Modem;
    mo.Present = g.flag(def.Modem.Present);
    mo.DialNumber = g.text(g.away() ? 1 : 0, 20);
    mo.ResetString = g.text(g.away() ? 1 : 0, 10);
    mo.InitString = g.text(g.away() ? 1 : 0, 60);
    mo.DialCommand = g.text(g.away() ? 1 : 0, 10, def.Modem.DialCommand);
    for (;;) {
        mo.Timeout = g.range(0, 999999);
        if (!g.away() || mo.Timeout != def.Modem.Timeout)
            break;
    }
}

} // namespace

ProfileSet RandomProfile(std::mt19937 &rng, bool awayFromDefaults)
{
    Gen g(rng, awayFromDefaults);
    ProfileSet s;
    static const char *const families[] = {"711", "8000", "8300"};
    s.TerminalFamily = QLatin1String(families[g.away() ? (g.chance(50) ? 0 : 2) : g.range(0, 2)]);

    TerminalOptions &o = s.TerminalOptions;
    const TerminalOptions def;
    o.Language = g.pick(0, 4, def.Language);
    o.OperatorIdEnabled = g.flag(def.OperatorIdEnabled);
    o.OperatorIdValue = g.text(g.away() ? 1 : 0, 10, def.OperatorIdValue);
    o.TerminalIdEnabled = g.flag(def.TerminalIdEnabled);
    o.TerminalIdValue = g.text(g.away() ? 1 : 0, 10, def.TerminalIdValue);
    o.BeepOnError = g.flag(def.BeepOnError);
    o.BeepOnRead = g.flag(def.BeepOnRead);
    o.AutoBackLight = g.flag(def.AutoBackLight);
    if (g.away() || g.chance(60)) {
        // "TX/RX Automatic" ticked on one of the port tabs (the Keyboard tab
        // never selects its port).
        static const int ports[] = {1, 2, 4, 5};
        o.AutoTransmit = 1;
        o.AutoPort = qint16(ports[g.range(0, 3)]);
        o.AutoPortSpeed = g.pick(0, 7, 0);
        o.AutoPortParity = g.pick(0, 2, 0);
        o.AutoPortDataBits = g.pick(0, 1, 0);
        o.AutoPortFlowControl = g.pick(0, 2, 0);
    }

    for (ProfileConstant &c : s.Constants) {
        const int length = g.range(g.away() ? 1 : 0, 10);
        for (int i = 0; i < length; ++i) {
            const int code = g.range(0, 255);
            c.Codes[i] = QString::number(code);
            c.Text += QChar(char16_t(code));
        }
    }
    for (ExtFileLayout &l : s.ExtFileLayouts) {
        auto position = [&](QString &p) { p = g.away() || g.chance(70) ? g.digits(0, 999) : QString(); };
        for (int k = 0; k < 4; ++k) {
            position(l.KeyFrom[k]);
            position(l.KeyTo[k]);
        }
        for (int u = 0; u < 8; ++u) {
            position(l.UserFrom[u]);
            position(l.UserTo[u]);
        }
    }
    for (ProfileFunction &f : s.Functions)
        randomFunction(g, f, s.TerminalFamily == QLatin1String("8000"));
    return s;
}

ProfileSet ExpectedAfterRoundTrip(const ProfileSet &written)
{
    ProfileSet e = written;
    const ProfileSet fresh;
    if (e.TerminalFamily == QLatin1String("8300"))
        e.TerminalFamily = QStringLiteral("8000");
    const bool eight = e.IsEightFamily();

    TerminalOptions &o = e.TerminalOptions;
    o.OperatorIdValue = TrimBlanks(o.OperatorIdValue);
    o.TerminalIdValue = TrimBlanks(o.TerminalIdValue);
    if (!eight && o.AutoPort == 3)
        o.AutoPort = 5;

    for (ExtFileLayout &l : e.ExtFileLayouts) {
        for (auto *list : {&l.KeyFrom, &l.KeyTo})
            for (QString &p : *list)
                p = TrimBlanks(p);
        for (auto *list : {&l.UserFrom, &l.UserTo})
            for (QString &p : *list)
                p = TrimBlanks(p);
    }

    for (ProfileFunction &f : e.Functions) {
        f.Name = TrimBlanks(f.Name);
        if (f.Name.isEmpty())
            f.Name = QStringLiteral("N/A");
        int keys = 0;
        int sums = 0;
        for (ProfileField &d : f.Fields) {
            d.Name = TrimBlanks(d.Name);
            d.Mask = TrimBlanks(d.Mask);
            d.MinLength = TrimBlanks(d.MinLength);
            d.DefaultValue = TrimBlanks(d.DefaultValue);
            if (d.IsKey && ++keys > 4)
                d.IsKey = 0;
            if (d.IsSum && ++sums > 4)
                d.IsSum = 0;
            if (d.DefaultAutomatic && !d.DefaultEnabled) {
                d.DefaultEnabled = 1;
                d.DefaultAutomatic = 0;
            }
        }
        for (QString &v : f.ExtLink.UpdateValue)
            v = TrimBlanks(v);

        FunctionCommSettings &c = f.Comm;
        if (!eight && c.Port == 3)
            c.Port = 5;
        c.FieldSeparator = fresh.Functions[0].Comm.FieldSeparator;
        c.DecimalSeparator = fresh.Functions[0].Comm.DecimalSeparator;
        if (c.BlockWaitCR != 0)
            c.BlockWaitMs = 0;
        for (QString &slot : c.RecordStructure)
            slot = slot.left(2);

        ModemSettings &mo = f.Modem;
        mo.DialNumber = TrimBlanks(mo.DialNumber);
        mo.ResetString = TrimBlanks(mo.ResetString);
        mo.InitString = TrimBlanks(mo.InitString);
        mo.DialCommand = TrimBlanks(mo.DialCommand);
    }
    return e;
}

} // namespace vx::test
