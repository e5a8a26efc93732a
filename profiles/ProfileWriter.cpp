#include "profiles/ProfileFile.h"

#include "platform/FileChecks.h"
#include "platform/Messenger.h"

#include <QSaveFile>
#include <charconv>

namespace vx {

// ---- Encodings shared with the reader --------------------------------------

std::optional<PortPair> EncodePort(int port, bool eightFamily)
{
    switch (port) {
    case 0:
        return PortPair{0, 0};
    case 1:
        return PortPair{1, 0};
    case 2:
        return PortPair{1, 1};
    case 3:
        return PortPair{2, 2};
    case 4:
        return PortPair{eightFamily ? 1 : 2, 3};
    case 5:
        return PortPair{eightFamily ? 1 : 2, 2};
    default:
        return std::nullopt;
    }
}

int DecodePort(int comPort, int comType, bool eightFamily)
{
    if (comPort == 0)
        return 0;
    switch (comType) {
    case 0:
        return 1;
    case 1:
        return 2;
    case 2:
        return eightFamily && comPort == 2 ? 3 : 5;
    case 3:
        return 4;
    default:
        return 1;
    }
}

std::optional<int> EncodeParity(int parity)
{
    switch (parity) {
    case 0:
        return 0;
    case 1:
        return 48;
    case 2:
        return 16;
    default:
        return std::nullopt;
    }
}

std::optional<int> DecodeParity(int code)
{
    switch (code) {
    case 0:
        return 0;
    case 48:
        return 1;
    case 16:
        return 2;
    default:
        return std::nullopt;
    }
}

std::optional<int> EncodeFlowControl(int flowControl)
{
    switch (flowControl) {
    case 0:
        return 0;
    case 1:
        return 64;
    case 2:
        return 192;
    default:
        return std::nullopt;
    }
}

std::optional<int> DecodeFlowControl(int code)
{
    switch (code) {
    case 0:
        return 0;
    case 64:
        return 1;
    case 192:
        return 2;
    default:
        return std::nullopt;
    }
}

QString TrimBlanks(const QString &text)
{
    int from = 0;
    int to = int(text.size());
    while (from < to && text[from] == QLatin1Char(' '))
        ++from;
    while (to > from && text[to - 1] == QLatin1Char(' '))
        --to;
    return text.mid(from, to - from);
}

long long LeadingNumber(const QString &text)
{
    int i = 0;
    while (i < text.size() && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+')))
        negative = text[i++] == QLatin1Char('-');
    long long value = 0;
    for (; i < text.size() && text[i].isDigit() && text[i].unicode() < 128; ++i)
        value = qMin(value * 10 + (text[i].unicode() - '0'), 10000000000LL);
    return negative ? -value : value;
}

namespace {

// Appends lines, each ended by CR LF, to one buffer. A line is given as the
// parts of its key (texts and indices) followed by its value.
class LineWriter {
public:
    explicit LineWriter(QByteArray &out) : m_out(out) {}

    template <typename... Key>
    void number(long long value, const Key &...key)
    {
        put(key...);
        putNumber(value);
        end();
    }
    // Strings lose their surrounding blanks; a line break inside becomes a
    // blank, so a value never starts a line of its own.
    template <typename... Key>
    void text(const QString &value, const Key &...key)
    {
        put(key...);
        QString clean = value;
        clean.replace(QLatin1Char('\r'), QLatin1Char(' '));
        clean.replace(QLatin1Char('\n'), QLatin1Char(' '));
        m_out.append(TrimBlanks(clean).toLatin1());
        end();
    }
    template <typename... Parts>
    void line(const Parts &...parts)
    {
        put(parts...);
        end();
    }

private:
    void put() {}
    template <typename First, typename... Rest>
    void put(const First &first, const Rest &...rest)
    {
        putOne(first);
        put(rest...);
    }
    void putOne(const char *s) { m_out.append(s); }
    void putOne(const QByteArray &s) { m_out.append(s); }
    void putOne(char c) { m_out.append(c); }
    void putOne(int i) { putNumber(i); }
    void putNumber(long long value)
    {
        char digits[24];
        const auto r = std::to_chars(digits, digits + sizeof digits, value);
        m_out.append(digits, int(r.ptr - digits));
    }
    void end() { m_out.append("\r\n", 2); }

    QByteArray &m_out;
};

void writePort(LineWriter &w, const char *prefix, int port, bool eightFamily)
{
    if (const auto pair = EncodePort(port, eightFamily)) {
        w.number(pair->ComPort, prefix, "COMPORT=");
        w.number(pair->ComType, prefix, "COMTYPE=");
    }
}

// BAUD, DATABIT, PARITY, HANDSHAKE under `prefix` ("...COMPORTSETTINGS.").
void writeLineSettings(LineWriter &w, const QByteArray &prefix, int speed, int dataBits, int parity, int flowControl)
{
    w.number(speed, prefix, "BAUD=");
    if (dataBits == 0 || dataBits == 1)
        w.number(dataBits == 0 ? 0 : 8, prefix, "DATABIT=");
    if (const auto code = EncodeParity(parity))
        w.number(*code, prefix, "PARITY=");
    if (const auto code = EncodeFlowControl(flowControl))
        w.number(*code, prefix, "HANDSHAKE=");
}

// A constant's codes: three digits each, followed by one blank.
QByteArray constantCodes(const ProfileConstant &constant)
{
    QByteArray out;
    for (const QString &code : constant.Codes) {
        if (code.isEmpty())
            continue;
        QByteArray digits = QByteArray::number(LeadingNumber(code));
        while (digits.size() < 3)
            digits.prepend('0');
        out += digits.left(3) + ' ';
    }
    return out;
}

void writeDualRule(LineWriter &w, const QByteArray &prefix, const char *rule, int value)
{
    if (value < 0 || value > 3)
        return;
    w.line(prefix, rule, "NONE=1");
    w.number(value == DualRejectOnKey ? 1 : 0, prefix, rule, "REFUSEKEY=");
    w.number(value == DualRejectOnRecord ? 1 : 0, prefix, rule, "REFUSEREC=");
    w.number(value == DualSumUp ? 1 : 0, prefix, rule, "SUM=");
}

// KEYREC / SUMREC: the 1-based numbers of the flagged fields, at most four,
// then 0 up to slot 3.
template <typename Flag>
void writeFieldList(LineWriter &w, const QByteArray &prefix, const char *key, const ProfileFunction &f, Flag flag)
{
    int slot = 0;
    for (int m = 0; m < 8 && slot < 4; ++m) {
        if (flag(f.Fields[m]) != 0)
            w.number(m + 1, prefix, key, slot++, '=');
    }
    for (; slot < 4; ++slot)
        w.number(0, prefix, key, slot, '=');
}

void writeFunction(LineWriter &w, const ProfileFunction &f, int n, bool eightFamily)
{
    const QByteArray p = "PROFILE" + QByteArray::number(n) + '.';
    w.text(f.Name, p, "NAME=");
    w.number(f.Enabled, p, "EXIST=");
    w.number(f.SaveData, p, "SAVEDATA=");

    for (int m = 0; m < 8; ++m) {
        const ProfileField &d = f.Fields[m];
        const QByteArray fp = p + "FIELD" + QByteArray::number(m) + '.';
        w.text(d.Name, fp, "DESC=");
        w.number(d.Enabled, fp, "EXIST=");
        w.text(d.Mask, fp, "MASK=");
        w.text(d.MinLength, fp, "MINLENGTH=");
        w.number(d.DefaultEnabled + d.DefaultAutomatic, fp, "DEFAULTE=");
        w.text(d.DefaultValue, fp, "DEFAULTV=");
        w.number(d.InputKeyboard + 2 * d.InputReader + 4 * d.InputReaderAutoCR, fp, "INPUTTYPE=");
        w.number(d.Align == 1 ? 2 : 1, fp, "ALIGN=");
        w.number(d.Align == 2 ? 3 : 0, fp, "TRIM=");
        w.number(d.Level + 1, fp, "LEVEL=");
    }
    for (int m = 0; m < 8; ++m) {
        const QByteArray fp = p + "FIELD" + QByteArray::number(m) + '.';
        for (int i = 0; i < int(f.Fields[m].Barcode.size()); ++i) {
            if (f.Fields[m].Barcode[i] != -1)
                w.number(f.Fields[m].Barcode[i], fp, "BARCODE", i, '=');
        }
    }
    writeFieldList(w, p, "KEYREC", f, [](const ProfileField &d) { return d.IsKey; });
    writeFieldList(w, p, "SUMREC", f, [](const ProfileField &d) { return d.IsSum; });
    writeDualRule(w, p, "DUALC.", f.DualConsecutive);
    writeDualRule(w, p, "DUALNC.", f.DualNotConsecutive);

    const FunctionCommSettings &c = f.Comm;
    const QByteArray cp = p + "COM.";
    writePort(w, cp.constData(), c.Port, eightFamily);
    w.number(c.Protocol == 0 ? 0 : 3, cp, "PROTOCOL=");
    w.number(c.RecordDelay, cp, "RECDELAY=");
    w.number(c.FieldDelay, cp, "FIELDELAY=");
    w.number(c.RecordBlock, cp, "RECBLOCK=");
    w.number(c.FieldSeparatorCode, cp, "RECFSEPARATOR=");
    w.number(c.DecimalSeparatorCode, cp, "RECDSEPARATOR=");
    w.number(c.TxImmediate, cp, "TXIMMEDIATE=");
    w.number(c.BlockWaitCR != 0 ? -13 : c.BlockWaitMs, cp, "BLOCKWAIT=");
    w.number(c.BlockTerminator - 1, cp, "BLOCKTERM=");
    w.number(c.CheckCable, cp, "CHECKCABLE=");
    writeLineSettings(w, cp + "COMPORTSETTINGS.", c.Speed, c.DataBits, c.Parity, c.FlowControl);
    for (int i = 0; i <= 25; ++i) {
        // The item code is the slot's first two characters; anything that is
        // not a code 01..26 counts as a free slot.
        const QString slot = TrimBlanks(c.RecordStructure[i]);
        const long long code = slot.isEmpty() ? 0 : LeadingNumber(slot.left(2));
        if (code >= 1 && code <= 26)
            w.line(cp, "RECSTRUCT", i, '=', code <= 10 ? "0" : "", int(code - 1));
        else
            w.line(cp, "RECSTRUCT", i, "=-1");
    }

    const ExtFileLink &x = f.ExtLink;
    const QByteArray xp = p + "EXTFILE.";
    w.number(x.FileNumber - 1, xp, "IDX=");
    for (int k = 0; k < 4; ++k)
        w.number(x.KeyField[k] - 1, xp, "KEY", k, '=');
    w.number(x.QueryActive, xp, "QUERY.ACTIVE=");
    for (int u = 0; u < 8; ++u)
        w.number(x.QueryShowField[u], xp, "QUERY.DSPFIELD", u, '=');
    w.number(x.RetrieveActive, xp, "RETR.ACTIVE=");
    for (int u = 0; u < 8; ++u)
        w.number(LeadingNumber(x.RetrieveInto[u]) - 1, xp, "RETR.USRFIELD", u, '=');
    w.number(x.UpdateActive, xp, "UPD.ACTIVE=");
    for (int u = 0; u < 8; ++u)
        w.number(x.UpdateEnabled[u], xp, "UPD.ACTIVEFIELD", u, '=');
    w.number(x.QueryStop, xp, "QUERY.STOP=");
    w.number(x.RetrieveStop, xp, "RETR.STOP=");
    w.number(x.UpdateStop, xp, "UPD.STOP=");
    for (int u = 0; u < 8; ++u)
        w.number(x.UpdateWithField[u] - 1, xp, "UPD.UPDFIELD", u, '=');
    static const char operators[] = {'+', '-', '*', '/', 'U'};
    for (int u = 0; u < 8; ++u) {
        const int op = x.UpdateOperator[u];
        w.line(xp, "UPD.OP", u, '=', op >= 0 && op <= 4 ? operators[op] : '+');
    }

    const ModemSettings &mo = f.Modem;
    const QByteArray mp = cp + "MODEM.";
    w.number(mo.Present, mp, "PRESENCE=");
    w.text(mo.DialNumber, mp, "DIALNUM=");
    w.text(mo.ResetString, mp, "RESET=");
    w.text(mo.InitString, mp, "INIT=");
    w.text(mo.DialCommand, mp, "DIAL=");
    w.number(mo.Timeout, mp, "TOUT=");

    for (int u = 0; u < 8; ++u)
        w.text(x.UpdateValue[u], xp, "UPD.VAL", u, '=');
}

} // namespace

QByteArray ProfileFileContent(const ProfileSet &set)
{
    QByteArray out;
    out.reserve(64 * 1024);
    LineWriter w(out);
    const bool eight = set.IsEightFamily();
    const TerminalOptions &o = set.TerminalOptions;

    w.line(eight ? "MISC.TERMTYPE=8xxx" : "MISC.TERMTYPE=7xxx");
    w.number(o.Language, "MISC.LANGUAGE=");
    w.number(o.OperatorIdEnabled, "MISC.OIDE=");
    w.text(o.OperatorIdValue, "MISC.OIDV=");
    w.number(o.TerminalIdEnabled, "MISC.TIDE=");
    w.text(o.TerminalIdValue, "MISC.TIDV=");
    w.number(o.BeepOnError, "MISC.BEEPERROR=");
    w.number(o.BeepOnRead, "MISC.BEEPREADER=");
    w.number(o.AutoBackLight, "MISC.BACKLIT=");
    writePort(w, "MISC.COMAUTO.", o.AutoPort, eight);
    writeLineSettings(w, "MISC.COMAUTO.COMPORTSETTINGS.", o.AutoPortSpeed, o.AutoPortDataBits, o.AutoPortParity,
                      o.AutoPortFlowControl);

    for (int c = 0; c < 10; ++c)
        w.line("CONST", c, '=', constantCodes(set.Constants[c]));

    for (int e = 0; e < 5; ++e) {
        const ExtFileLayout &l = set.ExtFileLayouts[e];
        const QByteArray p = "EXTFILE" + QByteArray::number(e) + '.';
        auto position = [&](const char *kind, int i, const char *end, const QString &value) {
            if (TrimBlanks(value).isEmpty())
                w.line(p, kind, i, end, "-1");
            else
                w.text(value, p, kind, i, end);
        };
        for (int k = 0; k < 4; ++k) {
            position("KEYFIELD", k, ".FROM=", l.KeyFrom[k]);
            position("KEYFIELD", k, ".TO=", l.KeyTo[k]);
        }
        for (int u = 0; u < 8; ++u) {
            position("USRFIELD", u, ".FROM=", l.UserFrom[u]);
            position("USRFIELD", u, ".TO=", l.UserTo[u]);
        }
    }

    for (int n = 0; n < 5; ++n)
        writeFunction(w, set.Functions[n], n, eight);

    w.line("FLAG=17");
    return out;
}

QList<QByteArray> ProfileLines(const ProfileSet &set)
{
    // Values never hold a line break, so the file splits back into its lines.
    QList<QByteArray> lines = ProfileFileContent(set).split('\n');
    lines.removeLast(); // after the last line end
    for (QByteArray &line : lines)
        line.chop(1); // its CR
    return lines;
}

bool WriteProfileFile(const ProfileSet &set, const QString &path, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    const QByteArray content = ProfileFileContent(set);
    if (file.write(content) != content.size() || !file.commit()) {
        if (error)
            *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

// The message of a save that failed: the kept text, then the file and why.
static QString SaveFailedText(const QString &path, const QString &why)
{
    return ProfileSaveErrorText() + QStringLiteral("\r\n\r\n")
           + QStringLiteral("The profile cannot be saved to %1: %2.")
                 .arg(path, why.isEmpty() ? QStringLiteral("unknown cause") : why);
}

bool SaveProfileFile(const ProfileSet &set, const QString &path, Messenger &messenger)
{
    QString why;
    if (!CanOpenForAppend(path, &why)) {
        messenger.message(SaveFailedText(path, why), MsgIcon::Critical);
        return false;
    }
    const bool ok = path.endsWith(QLatin1String(".c"))
                        ? SettingsSourceExport(set, path, QDateTime::currentDateTime(), &why)
                        : WriteProfileFile(set, path, &why);
    if (!ok)
        messenger.message(SaveFailedText(path, why), MsgIcon::Critical);
    return ok;
}

} // namespace vx
