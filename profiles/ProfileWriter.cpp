#include "ProfileFile.h"

#include "Messenger.h"
#include "Utilities.h"

#include <QSaveFile>

namespace vx {

// ---- Encodings shared with the reader --------------------------------------

std::optional<PortPair> EncodePort(int port, bool eightFamily)
{
    switch (port) {
    case 0: return PortPair{0, 0};
    case 1: return PortPair{1, 0};
    case 2: return PortPair{1, 1};
    case 3: return PortPair{2, 2};
    case 4: return PortPair{eightFamily ? 1 : 2, 3};
    case 5: return PortPair{eightFamily ? 1 : 2, 2};
    default: return std::nullopt;
    }
}

int DecodePort(int comPort, int comType, bool eightFamily)
{
    if (comPort == 0)
        return 0;
    switch (comType) {
    case 0: return 1;
    case 1: return 2;
    case 2: return eightFamily && comPort == 2 ? 3 : 5;
    case 3: return 4;
    default: return 1;
    }
}

std::optional<int> EncodeParity(int parity)
{
    switch (parity) {
    case 0: return 0;
    case 1: return 48;
    case 2: return 16;
    default: return std::nullopt;
    }
}

std::optional<int> DecodeParity(int code)
{
    switch (code) {
    case 0: return 0;
    case 48: return 1;
    case 16: return 2;
    default: return std::nullopt;
    }
}

std::optional<int> EncodeFlowControl(int flowControl)
{
    switch (flowControl) {
    case 0: return 0;
    case 1: return 64;
    case 2: return 192;
    default: return std::nullopt;
    }
}

std::optional<int> DecodeFlowControl(int code)
{
    switch (code) {
    case 0: return 0;
    case 64: return 1;
    case 192: return 2;
    default: return std::nullopt;
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

namespace {

// The leading decimal number of a text (0 when there is none).
long long leadingNumber(const QString &text)
{
    int i = 0;
    while (i < text.size() && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+')))
        negative = text[i++] == QLatin1Char('-');
    long long value = 0;
    for (; i < text.size() && text[i].isDigit() && text[i].unicode() < 128; ++i)
        value = qMin(value * 10 + (text[i].unicode() - '0'), 1000000000LL);
    return negative ? -value : value;
}

class LineWriter {
public:
    explicit LineWriter(QList<QByteArray> &lines) : m_lines(lines) {}

    void text(const QByteArray &key, const QString &value)
    {
        QString clean = value;
        clean.replace(QLatin1Char('\r'), QLatin1Char(' '));
        clean.replace(QLatin1Char('\n'), QLatin1Char(' '));
        m_lines.append(key + TrimBlanks(clean).toLatin1());
    }
    void number(const QByteArray &key, long long value) { m_lines.append(key + QByteArray::number(value)); }
    void raw(const QByteArray &line) { m_lines.append(line); }

private:
    QList<QByteArray> &m_lines;
};

QByteArray idx(const char *prefix, int i, const char *suffix)
{
    return QByteArray(prefix) + QByteArray::number(i) + suffix;
}

void writePort(LineWriter &w, const QByteArray &prefix, int port, bool eightFamily)
{
    if (const auto pair = EncodePort(port, eightFamily)) {
        w.number(prefix + "COMPORT=", pair->ComPort);
        w.number(prefix + "COMTYPE=", pair->ComType);
    }
}

// BAUD, DATABIT, PARITY, HANDSHAKE under `prefix` ("...COMPORTSETTINGS.").
void writeLineSettings(LineWriter &w, const QByteArray &prefix, int speed, int dataBits, int parity,
                       int flowControl)
{
    w.number(prefix + "BAUD=", speed);
    if (dataBits == 0 || dataBits == 1)
        w.number(prefix + "DATABIT=", dataBits == 0 ? 0 : 8);
    if (const auto code = EncodeParity(parity))
        w.number(prefix + "PARITY=", *code);
    if (const auto code = EncodeFlowControl(flowControl))
        w.number(prefix + "HANDSHAKE=", *code);
}

// A constant's codes: three digits each, followed by one blank.
QByteArray constantCodes(const ProfileConstant &constant)
{
    QByteArray out;
    for (const QString &code : constant.Codes) {
        if (code.isEmpty())
            continue;
        QByteArray digits = QByteArray::number(leadingNumber(code));
        while (digits.size() < 3)
            digits.prepend('0');
        out += digits.left(3) + ' ';
    }
    return out;
}

void writeDualRule(LineWriter &w, const QByteArray &prefix, int rule)
{
    if (rule < 0 || rule > 3)
        return;
    w.raw(prefix + "NONE=1");
    w.number(prefix + "REFUSEKEY=", rule == DualRejectOnKey ? 1 : 0);
    w.number(prefix + "REFUSEREC=", rule == DualRejectOnRecord ? 1 : 0);
    w.number(prefix + "SUM=", rule == DualSumUp ? 1 : 0);
}

// KEYREC / SUMREC: the 1-based numbers of the flagged fields, at most four,
// then 0 up to slot 3.
template <typename Flag>
void writeFieldList(LineWriter &w, const QByteArray &prefix, const ProfileFunction &f, Flag flag)
{
    int slot = 0;
    for (int m = 0; m < 8 && slot < 4; ++m) {
        if (flag(f.Fields[m]) != 0)
            w.number(prefix + QByteArray::number(slot++) + '=', m + 1);
    }
    for (; slot < 4; ++slot)
        w.number(prefix + QByteArray::number(slot) + '=', 0);
}

void writeFunction(LineWriter &w, const ProfileFunction &f, int n, bool eightFamily)
{
    const QByteArray p = "PROFILE" + QByteArray::number(n) + '.';
    w.text(p + "NAME=", f.Name);
    w.number(p + "EXIST=", f.Enabled);
    w.number(p + "SAVEDATA=", f.SaveData);

    for (int m = 0; m < 8; ++m) {
        const ProfileField &d = f.Fields[m];
        const QByteArray fp = p + "FIELD" + QByteArray::number(m) + '.';
        w.text(fp + "DESC=", d.Name);
        w.number(fp + "EXIST=", d.Enabled);
        w.text(fp + "MASK=", d.Mask);
        w.text(fp + "MINLENGTH=", d.MinLength);
        w.number(fp + "DEFAULTE=", d.DefaultEnabled + d.DefaultAutomatic);
        w.text(fp + "DEFAULTV=", d.DefaultValue);
        w.number(fp + "INPUTTYPE=", d.InputKeyboard + 2 * d.InputReader + 4 * d.InputReaderAutoCR);
        w.number(fp + "ALIGN=", d.Align == 1 ? 2 : 1);
        w.number(fp + "TRIM=", d.Align == 2 ? 3 : 0);
        w.number(fp + "LEVEL=", d.Level + 1);
    }
    for (int m = 0; m < 8; ++m) {
        const QByteArray fp = p + "FIELD" + QByteArray::number(m) + ".BARCODE";
        for (int i = 0; i < int(f.Fields[m].Barcode.size()); ++i) {
            if (f.Fields[m].Barcode[i] != -1)
                w.number(fp + QByteArray::number(i) + '=', f.Fields[m].Barcode[i]);
        }
    }
    writeFieldList(w, p + "KEYREC", f, [](const ProfileField &d) { return d.IsKey; });
    writeFieldList(w, p + "SUMREC", f, [](const ProfileField &d) { return d.IsSum; });
    writeDualRule(w, p + "DUALC.", f.DualConsecutive);
    writeDualRule(w, p + "DUALNC.", f.DualNotConsecutive);

    const FunctionCommSettings &c = f.Comm;
    const QByteArray cp = p + "COM.";
    writePort(w, cp, c.Port, eightFamily);
    w.number(cp + "PROTOCOL=", c.Protocol == 0 ? 0 : 3);
    w.number(cp + "RECDELAY=", c.RecordDelay);
    w.number(cp + "FIELDELAY=", c.FieldDelay);
    w.number(cp + "RECBLOCK=", c.RecordBlock);
    w.number(cp + "RECFSEPARATOR=", c.FieldSeparatorCode);
    w.number(cp + "RECDSEPARATOR=", c.DecimalSeparatorCode);
    w.number(cp + "TXIMMEDIATE=", c.TxImmediate);
    w.number(cp + "BLOCKWAIT=", c.BlockWaitCR != 0 ? -13 : c.BlockWaitMs);
    w.number(cp + "BLOCKTERM=", c.BlockTerminator - 1);
    w.number(cp + "CHECKCABLE=", c.CheckCable);
    writeLineSettings(w, cp + "COMPORTSETTINGS.", c.Speed, c.DataBits, c.Parity, c.FlowControl);
    for (int i = 0; i <= 25; ++i) {
        // The item code is the slot's first two characters; anything that is
        // not a code 01..26 counts as a free slot.
        const QString slot = TrimBlanks(c.RecordStructure[i]);
        const long long code = slot.isEmpty() ? 0 : leadingNumber(slot.left(2));
        QByteArray value = "-1";
        if (code >= 1 && code <= 26) {
            value = QByteArray::number(code - 1);
            if (value.size() < 2)
                value.prepend('0');
        }
        w.raw(cp + "RECSTRUCT" + QByteArray::number(i) + '=' + value);
    }

    const ExtFileLink &x = f.ExtLink;
    const QByteArray xp = p + "EXTFILE.";
    w.number(xp + "IDX=", x.FileNumber - 1);
    for (int k = 0; k < 4; ++k)
        w.number(idx(xp + "KEY", k, "="), x.KeyField[k] - 1);
    w.number(xp + "QUERY.ACTIVE=", x.QueryActive);
    for (int u = 0; u < 8; ++u)
        w.number(idx(xp + "QUERY.DSPFIELD", u, "="), x.QueryShowField[u]);
    w.number(xp + "RETR.ACTIVE=", x.RetrieveActive);
    for (int u = 0; u < 8; ++u)
        w.number(idx(xp + "RETR.USRFIELD", u, "="), leadingNumber(x.RetrieveInto[u]) - 1);
    w.number(xp + "UPD.ACTIVE=", x.UpdateActive);
    for (int u = 0; u < 8; ++u)
        w.number(idx(xp + "UPD.ACTIVEFIELD", u, "="), x.UpdateEnabled[u]);
    w.number(xp + "QUERY.STOP=", x.QueryStop);
    w.number(xp + "RETR.STOP=", x.RetrieveStop);
    w.number(xp + "UPD.STOP=", x.UpdateStop);
    for (int u = 0; u < 8; ++u)
        w.number(idx(xp + "UPD.UPDFIELD", u, "="), x.UpdateWithField[u] - 1);
    static const char operators[] = {'+', '-', '*', '/', 'U'};
    for (int u = 0; u < 8; ++u) {
        const int op = x.UpdateOperator[u];
        w.raw(idx(xp + "UPD.OP", u, "=") + (op >= 0 && op <= 4 ? operators[op] : '+'));
    }

    const ModemSettings &mo = f.Modem;
    const QByteArray mp = cp + "MODEM.";
    w.number(mp + "PRESENCE=", mo.Present);
    w.text(mp + "DIALNUM=", mo.DialNumber);
    w.text(mp + "RESET=", mo.ResetString);
    w.text(mp + "INIT=", mo.InitString);
    w.text(mp + "DIAL=", mo.DialCommand);
    w.number(mp + "TOUT=", mo.Timeout);

    for (int u = 0; u < 8; ++u)
        w.text(idx(xp + "UPD.VAL", u, "="), x.UpdateValue[u]);
}

} // namespace

QList<QByteArray> ProfileLines(const ProfileSet &set)
{
    QList<QByteArray> lines;
    lines.reserve(1936);
    LineWriter w(lines);
    const bool eight = set.IsEightFamily();
    const TerminalOptions &o = set.TerminalOptions;

    w.raw(eight ? "MISC.TERMTYPE=8xxx" : "MISC.TERMTYPE=7xxx");
    w.number("MISC.LANGUAGE=", o.Language);
    w.number("MISC.OIDE=", o.OperatorIdEnabled);
    w.text("MISC.OIDV=", o.OperatorIdValue);
    w.number("MISC.TIDE=", o.TerminalIdEnabled);
    w.text("MISC.TIDV=", o.TerminalIdValue);
    w.number("MISC.BEEPERROR=", o.BeepOnError);
    w.number("MISC.BEEPREADER=", o.BeepOnRead);
    w.number("MISC.BACKLIT=", o.AutoBackLight);
    writePort(w, "MISC.COMAUTO.", o.AutoPort, eight);
    writeLineSettings(w, "MISC.COMAUTO.COMPORTSETTINGS.", o.AutoPortSpeed, o.AutoPortDataBits,
                      o.AutoPortParity, o.AutoPortFlowControl);

    for (int c = 0; c < 10; ++c)
        w.raw(idx("CONST", c, "=") + constantCodes(set.Constants[c]));

    for (int e = 0; e < 5; ++e) {
        const ExtFileLayout &l = set.ExtFileLayouts[e];
        const QByteArray p = "EXTFILE" + QByteArray::number(e) + '.';
        auto position = [&](const QByteArray &key, const QString &value) {
            if (TrimBlanks(value).isEmpty())
                w.raw(key + "-1");
            else
                w.text(key, value);
        };
        for (int k = 0; k < 4; ++k) {
            position(idx(p + "KEYFIELD", k, ".FROM="), l.KeyFrom[k]);
            position(idx(p + "KEYFIELD", k, ".TO="), l.KeyTo[k]);
        }
        for (int u = 0; u < 8; ++u) {
            position(idx(p + "USRFIELD", u, ".FROM="), l.UserFrom[u]);
            position(idx(p + "USRFIELD", u, ".TO="), l.UserTo[u]);
        }
    }

    for (int n = 0; n < 5; ++n)
        writeFunction(w, set.Functions[n], n, eight);

    w.raw("FLAG=17");
    return lines;
}

QByteArray ProfileFileContent(const ProfileSet &set)
{
    QByteArray out;
    out.reserve(64 * 1024);
    for (const QByteArray &line : ProfileLines(set))
        out += line + "\r\n";
    return out;
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

bool SaveProfileFile(const ProfileSet &set, const QString &path, Messenger &messenger)
{
    if (!CanOpenForAppend(path)) {
        messenger.message(ProfileSaveErrorText(), MsgIcon::Critical);
        return false;
    }
    const bool ok = path.endsWith(QLatin1String(".c")) ? SettingsSourceExport(set, path)
                                                       : WriteProfileFile(set, path);
    if (!ok)
        messenger.message(ProfileSaveErrorText(), MsgIcon::Critical);
    return ok;
}

} // namespace vx
