// Reading a profile file back into a ProfileSet. Keys are recognised the way
// the terminal side lays them out: by a few letters at the fixed column where
// the writer puts each part of the key, with single-digit indices at fixed
// columns; the value starts right after the writer's "=".
#include "profiles/ProfileFile.h"

#include "platform/Messenger.h"
#include "platform/OwnFiles.h"

#include <QByteArrayView>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <limits>

namespace vx {

namespace {

enum class Outcome { Used, Skipped, Error };

// The column at which the value of a key laid out like `example` begins.
constexpr int valueColumn(const char *example)
{
    int n = 0;
    while (example[n] != '\0')
        ++n;
    return n;
}

// A view of one line; the values are views into it.
class Line {
public:
    explicit Line(QByteArrayView text) : m_text(text) {}

    bool at(int column, const char *letters) const
    {
        const int n = int(std::strlen(letters));
        return column + n <= m_text.size() && std::memcmp(m_text.constData() + column, letters, n) == 0;
    }
    char ch(int column) const { return column < m_text.size() ? m_text[column] : '\0'; }
    // The digit at a column, -1 when there is none.
    int digit(int column) const
    {
        const char c = ch(column);
        return c >= '0' && c <= '9' ? c - '0' : -1;
    }
    QByteArrayView from(int column) const { return column < m_text.size() ? m_text.sliced(column) : QByteArrayView(); }
    QByteArrayView value(const char *example) const { return from(valueColumn(example)); }

private:
    QByteArrayView m_text;
};

QString text(QByteArrayView value)
{
    return QString::fromLatin1(value);
}

// The first n characters (all of them when there are fewer).
QByteArrayView head(QByteArrayView value, qsizetype n)
{
    return value.first(qMin(n, value.size()));
}

// The leading decimal number: blanks, an optional sign, digits; 0 when there
// are no digits. Magnitudes beyond what any member holds saturate.
long long leadingNumber(QByteArrayView value)
{
    int i = 0;
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == '-' || value[i] == '+'))
        negative = value[i++] == '-';
    long long n = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i)
        n = qMin(n * 10 + (value[i] - '0'), 10000000000LL);
    return negative ? -n : n;
}

// Empty (blanks only), or blanks, an optional sign and a digit.
bool beginsWithNumber(QByteArrayView value)
{
    int i = 0;
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
        ++i;
    if (i == value.size())
        return true;
    if (value[i] == '-' || value[i] == '+')
        ++i;
    return i < value.size() && value[i] >= '0' && value[i] <= '9';
}

// A whole integer: blanks around it allowed, nothing else.
std::optional<long long> wholeNumber(QByteArrayView value)
{
    const QByteArrayView t = value.trimmed();
    int i = 0;
    if (i < t.size() && (t[i] == '-' || t[i] == '+'))
        ++i;
    if (i == t.size())
        return std::nullopt;
    for (int j = i; j < t.size(); ++j) {
        if (t[j] < '0' || t[j] > '9')
            return std::nullopt;
    }
    return leadingNumber(t);
}

struct Reader {
    ProfileSet &set;
    QString detail;
    // COMPORT seen for the automatic port and for each function, so that
    // COMTYPE decodes the pair the writer wrote.
    std::optional<int> autoComPort;
    std::optional<int> comPort[5];

    Outcome fail(const QString &why)
    {
        detail = why;
        return Outcome::Error;
    }

    template <typename T>
    Outcome store(long long value, T &member, QByteArrayView raw)
    {
        if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max())
            return fail(QStringLiteral("the value \"%1\" is out of range").arg(EscapedText(raw)));
        member = T(value);
        return Outcome::Used;
    }
    // The whole value must be an integer.
    Outcome strict(QByteArrayView value, qint16 &member)
    {
        const auto n = wholeNumber(value);
        if (!n)
            return fail(QStringLiteral("the value \"%1\" is not a whole number").arg(EscapedText(value)));
        return store(*n, member, value);
    }
    // Its first character must be a digit.
    Outcome strictDigit(QByteArrayView value, qint16 &member) { return strict(head(value, 1), member); }
    // The leading number, plus `add`.
    // A value that is not empty must begin with a number: "x" is refused,
    // never read as 0 (an empty value still reads as 0).
    template <typename T>
    Outcome lead(QByteArrayView value, T &member, int add = 0)
    {
        if (!beginsWithNumber(value))
            return fail(QStringLiteral("the value \"%1\" is not a number").arg(EscapedText(value)));
        return store(leadingNumber(value) + add, member, value);
    }
    Outcome leadDigit(QByteArrayView value, qint16 &member) { return lead(head(value, 1), member); }

    Outcome readMisc(const Line &l);
    Outcome readConstant(const Line &l);
    Outcome readLayout(const Line &l);
    Outcome readFunction(const Line &l);
    Outcome readField(const Line &l, ProfileFunction &f);
    Outcome readComm(const Line &l, ProfileFunction &f, int n);
    Outcome readLink(const Line &l, ProfileFunction &f);
    Outcome readLineSettings(const Line &l, int column, qint16 &speed, qint16 &dataBits, qint16 &parity,
                             qint16 &flowControl);
};

// BAUD, DATABIT, PARITY, HANDSHAKE, at `column` of the line.
Outcome Reader::readLineSettings(const Line &l, int column, qint16 &speed, qint16 &dataBits, qint16 &parity,
                                 qint16 &flowControl)
{
    if (l.at(column, "BAU"))
        return lead(l.from(column + valueColumn("BAUD=")), speed);
    if (l.at(column, "DAT")) {
        dataBits = l.from(column + valueColumn("DATABIT=")).trimmed() == "0" ? 0 : 1;
        return Outcome::Used;
    }
    if (l.at(column, "PAR")) {
        qint32 code = 0;
        if (lead(l.from(column + valueColumn("PARITY=")), code) == Outcome::Error)
            return Outcome::Error;
        if (const auto decoded = DecodeParity(code))
            parity = qint16(*decoded);
        return Outcome::Used;
    }
    if (l.at(column, "HAN")) {
        qint32 code = 0;
        if (lead(l.from(column + valueColumn("HANDSHAKE=")), code) == Outcome::Error)
            return Outcome::Error;
        if (const auto decoded = DecodeFlowControl(code))
            flowControl = qint16(*decoded);
        return Outcome::Used;
    }
    return Outcome::Skipped;
}

Outcome Reader::readMisc(const Line &l)
{
    TerminalOptions &o = set.TerminalOptions;
    if (l.at(5, "TER")) {
        set.TerminalFamily = l.value("MISC.TERMTYPE=").startsWith('8') ? QStringLiteral("8000") : QStringLiteral("711");
        return Outcome::Used;
    }
    if (l.at(5, "LAN"))
        return strict(l.value("MISC.LANGUAGE="), o.Language);
    if (l.at(5, "OIDE"))
        return strict(l.value("MISC.OIDE="), o.OperatorIdEnabled);
    if (l.at(5, "OIDV")) {
        o.OperatorIdValue = text(l.value("MISC.OIDV="));
        return Outcome::Used;
    }
    if (l.at(5, "TIDE"))
        return strict(l.value("MISC.TIDE="), o.TerminalIdEnabled);
    if (l.at(5, "TIDV")) {
        o.TerminalIdValue = text(l.value("MISC.TIDV="));
        return Outcome::Used;
    }
    if (l.at(5, "BEEPE"))
        return strict(l.value("MISC.BEEPERROR="), o.BeepOnError);
    if (l.at(5, "BEEPR"))
        return strict(l.value("MISC.BEEPREADER="), o.BeepOnRead);
    if (l.at(5, "BAC"))
        return strict(l.value("MISC.BACKLIT="), o.AutoBackLight);
    if (!l.at(5, "COMAUTO."))
        return Outcome::Skipped;

    const bool eight = set.IsEightFamily();
    if (l.at(13, "COMPORT=")) {
        qint16 p = 0;
        if (lead(l.value("MISC.COMAUTO.COMPORT="), p) == Outcome::Error)
            return Outcome::Error;
        autoComPort = p;
        o.AutoTransmit = p >= 1 ? 1 : 0;
        const auto current = EncodePort(o.AutoPort, eight);
        o.AutoPort = qint16(DecodePort(p, current ? current->ComType : 0, eight));
        return Outcome::Used;
    }
    if (l.at(13, "COMTYPE=")) {
        qint16 t = 0;
        if (lead(l.value("MISC.COMAUTO.COMTYPE="), t) == Outcome::Error)
            return Outcome::Error;
        const auto current = EncodePort(o.AutoPort, eight);
        const int p = autoComPort ? *autoComPort : (current ? current->ComPort : 0);
        o.AutoPort = qint16(DecodePort(p, t, eight));
        return Outcome::Used;
    }
    if (l.at(13, "COMPORTS"))
        return readLineSettings(l, valueColumn("MISC.COMAUTO.COMPORTSETTINGS."), o.AutoPortSpeed, o.AutoPortDataBits,
                                o.AutoPortParity, o.AutoPortFlowControl);
    return Outcome::Skipped;
}

Outcome Reader::readConstant(const Line &l)
{
    const int c = l.digit(5);
    if (c < 0)
        return Outcome::Skipped;
    const QByteArrayView v = l.value("CONST0=");
    ProfileConstant constant;
    int count = 0;
    for (int offset = 0; offset < v.size() && count < 10; offset += 4) {
        const QByteArrayView group = head(v.sliced(offset), 3);
        const long long code = leadingNumber(group);
        if (code < 0 || code > 255)
            return fail(QStringLiteral("the character code \"%1\" is not 0..255").arg(text(group)));
        constant.Codes[count++] = QString::number(code);
        constant.Text += QChar(char16_t(code));
    }
    set.Constants[c] = constant;
    return Outcome::Used;
}

Outcome Reader::readLayout(const Line &l)
{
    const int e = l.digit(7);
    if (e < 0 || e > 4)
        return Outcome::Skipped;
    ExtFileLayout &layout = set.ExtFileLayouts[e];
    const int i = l.digit(17);
    QString *from = nullptr;
    QString *to = nullptr;
    if (l.at(9, "KEY") && i >= 0 && i <= 4) {
        from = &layout.KeyFrom[i];
        to = &layout.KeyTo[i];
    } else if (l.at(9, "USR") && i >= 0 && i <= 7) {
        from = &layout.UserFrom[i];
        to = &layout.UserTo[i];
    } else {
        return Outcome::Skipped;
    }
    QString *member = nullptr;
    QByteArrayView v;
    if (l.at(19, "FRO")) {
        member = from;
        v = l.value("EXTFILE0.KEYFIELD0.FROM=");
    } else if (l.at(19, "TO")) {
        member = to;
        v = l.value("EXTFILE0.KEYFIELD0.TO=");
    } else {
        return Outcome::Skipped;
    }
    *member = v == "-1" ? QString() : text(v);
    return Outcome::Used;
}

Outcome Reader::readField(const Line &l, ProfileFunction &f)
{
    const int m = l.digit(14);
    if (m < 0 || m > 7)
        return Outcome::Skipped;
    ProfileField &d = f.Fields[m];
    if (l.at(16, "DES")) {
        d.Name = text(l.value("PROFILE0.FIELD0.DESC="));
        return Outcome::Used;
    }
    if (l.at(16, "EXI"))
        return strictDigit(l.value("PROFILE0.FIELD0.EXIST="), d.Enabled);
    if (l.at(16, "MAS")) {
        d.Mask = text(l.value("PROFILE0.FIELD0.MASK="));
        return Outcome::Used;
    }
    if (l.at(16, "MIN")) {
        d.MinLength = text(l.value("PROFILE0.FIELD0.MINLENGTH="));
        return Outcome::Used;
    }
    if (l.at(16, "DEFAULTE")) {
        switch (leadingNumber(l.value("PROFILE0.FIELD0.DEFAULTE="))) {
        case 0:
            d.DefaultEnabled = 0;
            d.DefaultAutomatic = 0;
            break;
        case 1:
            d.DefaultEnabled = 1;
            d.DefaultAutomatic = 0;
            break;
        case 2:
            d.DefaultEnabled = 1;
            d.DefaultAutomatic = 1;
            break;
        default:
            break;
        }
        return Outcome::Used;
    }
    if (l.at(16, "DEFAULTV")) {
        d.DefaultValue = text(l.value("PROFILE0.FIELD0.DEFAULTV="));
        return Outcome::Used;
    }
    if (l.at(16, "INP")) {
        const QByteArrayView v = l.value("PROFILE0.FIELD0.INPUTTYPE=");
        const char c = v.isEmpty() ? '\0' : v[0];
        const int bits = c >= '0' && c <= '6' ? c - '0' : 7;
        d.InputKeyboard = bits & 1 ? 1 : 0;
        d.InputReader = bits & 2 ? 1 : 0;
        d.InputReaderAutoCR = bits & 4 ? 1 : 0;
        return Outcome::Used;
    }
    if (l.at(16, "BAR")) {
        // BARCODEi= or BARCODEii=: "=" right after the first digit tells.
        const int first = l.digit(23);
        if (first < 0)
            return Outcome::Skipped;
        int i = first;
        QByteArrayView v;
        if (l.ch(24) == '=') {
            v = l.value("PROFILE0.FIELD0.BARCODE0=");
        } else {
            const int second = l.digit(24);
            if (second < 0)
                return Outcome::Skipped;
            i = first * 10 + second;
            v = l.value("PROFILE0.FIELD0.BARCODE00=");
        }
        if (i >= int(d.Barcode.size()))
            return Outcome::Skipped;
        return lead(v, d.Barcode[i]);
    }
    if (l.at(16, "ALI"))
        return lead(l.value("PROFILE0.FIELD0.ALIGN="), d.Align, -1);
    if (l.at(16, "TRI")) {
        // TRIM follows ALIGN in the file.
        if (l.value("PROFILE0.FIELD0.TRIM=").trimmed() != "0")
            d.Align = 2;
        return Outcome::Used;
    }
    if (l.at(16, "LEV"))
        return lead(l.value("PROFILE0.FIELD0.LEVEL="), d.Level, -1);
    return Outcome::Skipped;
}

Outcome Reader::readComm(const Line &l, ProfileFunction &f, int n)
{
    FunctionCommSettings &c = f.Comm;
    if (l.at(13, "MODEM")) {
        ModemSettings &mo = f.Modem;
        if (l.at(19, "PRE")) {
            mo.Present = l.value("PROFILE0.COM.MODEM.PRESENCE=").trimmed() == "1" ? 1 : 0;
            return Outcome::Used;
        }
        if (l.at(19, "DIALN")) {
            mo.DialNumber = text(head(l.value("PROFILE0.COM.MODEM.DIALNUM="), 20));
            return Outcome::Used;
        }
        if (l.at(19, "RES")) {
            mo.ResetString = text(head(l.value("PROFILE0.COM.MODEM.RESET="), 10));
            return Outcome::Used;
        }
        if (l.at(19, "INI")) {
            mo.InitString = text(head(l.value("PROFILE0.COM.MODEM.INIT="), 60));
            return Outcome::Used;
        }
        if (l.at(19, "DIAL=")) {
            mo.DialCommand = text(head(l.value("PROFILE0.COM.MODEM.DIAL="), 10));
            return Outcome::Used;
        }
        if (l.at(19, "TOU"))
            return lead(head(l.value("PROFILE0.COM.MODEM.TOUT="), 6), mo.Timeout);
        return Outcome::Skipped;
    }

    const bool eight = set.IsEightFamily();
    if (l.at(13, "COMPORT=")) {
        qint16 p = 0;
        if (lead(l.value("PROFILE0.COM.COMPORT="), p) == Outcome::Error)
            return Outcome::Error;
        comPort[n] = p;
        const auto current = EncodePort(c.Port, eight);
        c.Port = qint16(DecodePort(p, current ? current->ComType : 0, eight));
        return Outcome::Used;
    }
    if (l.at(13, "COMTYPE=")) {
        qint16 t = 0;
        if (lead(l.value("PROFILE0.COM.COMTYPE="), t) == Outcome::Error)
            return Outcome::Error;
        const auto current = EncodePort(c.Port, eight);
        const int p = comPort[n] ? *comPort[n] : (current ? current->ComPort : 0);
        c.Port = qint16(DecodePort(p, t, eight));
        return Outcome::Used;
    }
    if (l.at(13, "COMPORTS"))
        return readLineSettings(l, valueColumn("PROFILE0.COM.COMPORTSETTINGS."), c.Speed, c.DataBits, c.Parity,
                                c.FlowControl);
    if (l.at(13, "PROTOCOL")) {
        c.Protocol = l.value("PROFILE0.COM.PROTOCOL=").trimmed() == "0" ? 0 : 1;
        return Outcome::Used;
    }
    if (l.at(13, "RECDELAY"))
        return strict(l.value("PROFILE0.COM.RECDELAY="), c.RecordDelay);
    if (l.at(13, "FIELDELAY"))
        return strict(l.value("PROFILE0.COM.FIELDELAY="), c.FieldDelay);
    if (l.at(13, "RECBLOCK"))
        return strict(l.value("PROFILE0.COM.RECBLOCK="), c.RecordBlock);
    if (l.at(13, "RECSTRUC")) {
        // RECSTRUCTi= or RECSTRUCTii=.
        const int first = l.digit(22);
        if (first < 0)
            return Outcome::Skipped;
        int i = first;
        QByteArrayView v;
        if (l.ch(23) == '=') {
            v = l.value("PROFILE0.COM.RECSTRUCT0=");
        } else {
            const int second = l.digit(23);
            if (second < 0)
                return Outcome::Skipped;
            i = first * 10 + second;
            v = l.value("PROFILE0.COM.RECSTRUCT00=");
        }
        if (i > 25)
            return Outcome::Skipped;
        const long long code = leadingNumber(v);
        if (code < 0 || code > 25)
            c.RecordStructure[i].clear();
        else
            c.RecordStructure[i] = QStringLiteral("%1").arg(code + 1, 2, 10, QLatin1Char('0'));
        return Outcome::Used;
    }
    if (l.at(13, "RECFSEPA"))
        return lead(l.value("PROFILE0.COM.RECFSEPARATOR="), c.FieldSeparatorCode);
    if (l.at(13, "RECDSEPA"))
        return lead(l.value("PROFILE0.COM.RECDSEPARATOR="), c.DecimalSeparatorCode);
    if (l.at(13, "TXIMMEDI"))
        return lead(l.value("PROFILE0.COM.TXIMMEDIATE="), c.TxImmediate);
    if (l.at(13, "BLOCKWAI")) {
        qint16 ms = 0;
        if (lead(l.value("PROFILE0.COM.BLOCKWAIT="), ms) == Outcome::Error)
            return Outcome::Error;
        if (ms == -13) {
            c.BlockWaitCR = -1;
            c.BlockWaitTime = 0;
            c.BlockWaitMs = 0;
        } else {
            c.BlockWaitCR = 0;
            c.BlockWaitTime = -1;
            c.BlockWaitMs = ms;
        }
        return Outcome::Used;
    }
    if (l.at(13, "BLOCKTER"))
        return lead(l.value("PROFILE0.COM.BLOCKTERM="), c.BlockTerminator, 1);
    if (l.at(13, "CHECKCAB"))
        return leadDigit(l.value("PROFILE0.COM.CHECKCABLE="), c.CheckCable);
    return Outcome::Skipped;
}

Outcome Reader::readLink(const Line &l, ProfileFunction &f)
{
    ExtFileLink &x = f.ExtLink;
    if (l.at(17, "IDX"))
        return lead(l.value("PROFILE0.EXTFILE.IDX="), x.FileNumber, 1);
    if (l.at(17, "KEY")) {
        const int k = l.digit(20);
        if (k < 0 || k > 4)
            return Outcome::Skipped;
        return lead(l.value("PROFILE0.EXTFILE.KEY0="), x.KeyField[k], 1);
    }
    if (l.at(17, "QUE")) {
        if (l.at(23, "ACT"))
            return leadDigit(l.value("PROFILE0.EXTFILE.QUERY.ACTIVE="), x.QueryActive);
        if (l.at(23, "STO"))
            return leadDigit(l.value("PROFILE0.EXTFILE.QUERY.STOP="), x.QueryStop);
        const int u = l.digit(31);
        if (l.at(23, "DSP") && u >= 0 && u <= 7)
            return lead(l.value("PROFILE0.EXTFILE.QUERY.DSPFIELD0="), x.QueryShowField[u]);
        return Outcome::Skipped;
    }
    if (l.at(17, "RET")) {
        if (l.at(22, "ACT"))
            return leadDigit(l.value("PROFILE0.EXTFILE.RETR.ACTIVE="), x.RetrieveActive);
        if (l.at(22, "STO"))
            return leadDigit(l.value("PROFILE0.EXTFILE.RETR.STOP="), x.RetrieveStop);
        const int u = l.digit(30);
        if (l.at(22, "USR") && u >= 0 && u <= 7) {
            x.RetrieveInto[u] = QString::number(leadingNumber(l.value("PROFILE0.EXTFILE.RETR.USRFIELD0=")) + 1);
            return Outcome::Used;
        }
        return Outcome::Skipped;
    }
    if (l.at(17, "UPD")) {
        if (l.at(21, "ACTIVE="))
            return leadDigit(l.value("PROFILE0.EXTFILE.UPD.ACTIVE="), x.UpdateActive);
        if (l.at(21, "ACTIVEF")) {
            const int u = l.digit(32);
            if (u < 0 || u > 7)
                return Outcome::Skipped;
            return lead(l.value("PROFILE0.EXTFILE.UPD.ACTIVEFIELD0="), x.UpdateEnabled[u]);
        }
        if (l.at(21, "STO"))
            return leadDigit(l.value("PROFILE0.EXTFILE.UPD.STOP="), x.UpdateStop);
        if (l.at(21, "UPD")) {
            const int u = l.digit(29);
            if (u < 0 || u > 7)
                return Outcome::Skipped;
            return lead(l.value("PROFILE0.EXTFILE.UPD.UPDFIELD0="), x.UpdateWithField[u], 1);
        }
        if (l.at(21, "OP")) {
            const int u = l.digit(23);
            if (u < 0 || u > 7)
                return Outcome::Skipped;
            const QByteArrayView v = l.value("PROFILE0.EXTFILE.UPD.OP0=");
            static const char operators[] = "+-*/U";
            const char *hit = v.isEmpty() || v[0] == '\0' ? nullptr : std::strchr(operators, v[0]);
            if (hit)
                x.UpdateOperator[u] = qint16(hit - operators);
            return Outcome::Used;
        }
        if (l.at(21, "VAL")) {
            const int u = l.digit(24);
            if (u < 0 || u > 7)
                return Outcome::Skipped;
            x.UpdateValue[u] = text(l.value("PROFILE0.EXTFILE.UPD.VAL0="));
            return Outcome::Used;
        }
    }
    return Outcome::Skipped;
}

Outcome Reader::readFunction(const Line &l)
{
    const int n = l.digit(7);
    if (n < 0 || n > 4)
        return Outcome::Skipped;
    ProfileFunction &f = set.Functions[n];
    if (l.at(9, "NAM")) {
        const QByteArrayView v = l.value("PROFILE0.NAME=");
        f.Name = v.isEmpty() ? QStringLiteral("N/A") : text(v);
        return Outcome::Used;
    }
    if (l.at(9, "EXI"))
        return strictDigit(l.value("PROFILE0.EXIST="), f.Enabled);
    if (l.at(9, "SAV"))
        return strictDigit(l.value("PROFILE0.SAVEDATA="), f.SaveData);
    if (l.at(9, "FIE"))
        return readField(l, f);
    if (l.at(9, "KEY") || l.at(9, "SUM")) {
        // A field number 1..8 flags that field; the slot number and 0 do not matter.
        const long long field = leadingNumber(l.value("PROFILE0.KEYREC0="));
        if (field >= 1 && field <= 8) {
            ProfileField &d = f.Fields[field - 1];
            (l.at(9, "KEY") ? d.IsKey : d.IsSum) = 1;
        }
        return Outcome::Used;
    }
    if (l.at(9, "DUA")) {
        int column = 0;
        qint16 *rule = nullptr;
        if (l.at(13, "C")) {
            column = valueColumn("PROFILE0.DUALC.");
            rule = &f.DualConsecutive;
        } else if (l.at(13, "NC")) {
            column = valueColumn("PROFILE0.DUALNC.");
            rule = &f.DualNotConsecutive;
        } else {
            return Outcome::Skipped;
        }
        qint16 value = 0;
        int valueAt = 0;
        if (l.at(column, "NON")) {
            value = DualIgnore;
            valueAt = column + valueColumn("NONE=");
        } else if (l.at(column, "REFUSEK")) {
            value = DualRejectOnKey;
            valueAt = column + valueColumn("REFUSEKEY=");
        } else if (l.at(column, "REFUSER")) {
            value = DualRejectOnRecord;
            valueAt = column + valueColumn("REFUSEREC=");
        } else if (l.at(column, "SUM")) {
            value = DualSumUp;
            valueAt = column + valueColumn("SUM=");
        } else {
            return Outcome::Skipped;
        }
        if (l.from(valueAt).trimmed() == "1")
            *rule = value;
        return Outcome::Used;
    }
    if (l.at(9, "COM"))
        return readComm(l, f, n);
    if (l.at(9, "EXT"))
        return readLink(l, f);
    return Outcome::Skipped;
}

} // namespace

QString EscapedText(QByteArrayView bytes)
{
    QString out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c > 0x7e)
            out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        else
            out += QLatin1Char(char(c));
    }
    return out;
}

QString ProfileReadResult::message(const QString &path) const
{
    switch (status) {
    case Status::Ok:
        return {};
    case Status::CannotOpen:
        return QStringLiteral("%1: %2").arg(path, detail);
    case Status::NotProfile:
    case Status::Empty:
    case Status::BadValue:
        break;
    }
    // What concerns the whole text names no line.
    if (lineNumber <= 0)
        return QStringLiteral("%1: %2").arg(path, detail);
    QString text = QStringLiteral("%1:%2: %3").arg(path).arg(lineNumber).arg(detail);
    if (!line.isEmpty())
        text += QStringLiteral(": ") + EscapedText(line.first(qMin<qsizetype>(line.size(), 200)));
    return text;
}

namespace {
// A UTF-8 byte-order mark that an editor put before the first line.
QByteArray withoutBom(const QByteArray &content)
{
    return content.startsWith("\xEF\xBB\xBF") ? content.sliced(3) : content;
}
} // namespace

ProfileReadResult CheckProfileText(const QByteArray &withBom)
{
    const QByteArray content = withoutBom(withBom);
    ProfileReadResult r;
    auto refuse = [&r](int number, QByteArrayView line, const QString &why) {
        r.status = ProfileReadResult::Status::NotProfile;
        r.lineNumber = number;
        r.line = line.toByteArray();
        r.detail = why;
        return r;
    };
    if (content.isEmpty())
        return r;
    const qsizetype nul = content.indexOf('\0');
    if (nul >= 0)
        return refuse(int(content.first(nul).count('\n')) + 1, {},
                      QStringLiteral("holds NUL bytes: not a text file, no profile"));
    int lines = 0;
    int withControl = 0;
    bool keyValue = false;
    const QByteArrayView all(content);
    qsizetype start = 0;
    while (start < all.size()) {
        qsizetype end = start;
        while (end < all.size() && all[end] != '\r' && all[end] != '\n')
            ++end;
        const QByteArrayView line = all.sliced(start, end - start);
        if (end < all.size() && all[end] == '\r' && end + 1 < all.size() && all[end + 1] == '\n')
            ++end;
        start = end + 1;
        ++lines;
        if (line.size() > kMaxProfileLineBytes)
            return refuse(lines, line.first(80),
                          QStringLiteral("a line longer than %1 bytes: no profile").arg(kMaxProfileLineBytes));
        if (line.trimmed().isEmpty())
            continue;
        bool control = false;
        for (const char ch : line) {
            const auto c = static_cast<unsigned char>(ch);
            if ((c < 0x20 && c != '\t') || c == 0x7f) {
                control = true;
                break;
            }
        }
        withControl += control;
        // KEY=VALUE: a key of printable characters without blanks before the
        // first "=".
        const qsizetype eq = line.indexOf('=');
        if (!control && eq > 0) {
            bool plain = true;
            for (const char ch : line.first(eq))
                plain = plain && ch > ' ' && static_cast<unsigned char>(ch) < 0x7f;
            keyValue = keyValue || plain;
        }
    }
    if (withControl * 2 > lines)
        return refuse(0, {}, QStringLiteral("control bytes in most lines: not a text file, no profile"));
    if (!keyValue)
        return refuse(0, {}, QStringLiteral("no line of the form KEY=VALUE: no profile"));
    return r;
}

ProfileReadResult ParseProfileText(const QByteArray &withBom, ProfileSet &set)
{
    const QByteArray content = withoutBom(withBom);
    ProfileReadResult result = CheckProfileText(content);
    if (!result.ok())
        return result;
    for (ProfileFunction &f : set.Functions) {
        for (ProfileField &d : f.Fields) {
            d.IsKey = 0;
            d.IsSum = 0;
        }
    }
    if (content.isEmpty()) {
        result.status = ProfileReadResult::Status::Empty;
        result.lineNumber = 1;
        result.detail = QStringLiteral("the file holds no line");
        return result;
    }

    Reader reader{set, {}, {}, {}};
    const QByteArrayView all(content);
    const qsizetype size = all.size();
    qsizetype start = 0;
    QByteArrayView last;
    while (start < size) {
        qsizetype end = start;
        while (end < size && all[end] != '\r' && all[end] != '\n')
            ++end;
        const QByteArrayView text = all.sliced(start, end - start);
        if (end < size && all[end] == '\r' && end + 1 < size && all[end + 1] == '\n')
            ++end;
        start = end + 1;

        ++result.linesRead;
        const Line line(text);
        Outcome outcome = Outcome::Skipped;
        // A key without "=" has no value: it never sets one.
        if (!text.contains('=')) {
            if (!text.trimmed().isEmpty())
                ++result.linesWithoutEquals;
        } else if (line.at(0, "PRO")) {
            outcome = reader.readFunction(line);
        } else if (line.at(0, "EXT")) {
            outcome = reader.readLayout(line);
        } else if (line.at(0, "MIS")) {
            outcome = reader.readMisc(line);
        } else if (line.at(0, "CON")) {
            outcome = reader.readConstant(line);
        } else if (text == "FLAG=17") {
            outcome = Outcome::Used;
        }

        if (outcome == Outcome::Error) {
            result.status = ProfileReadResult::Status::BadValue;
            result.lineNumber = result.linesRead;
            result.line = text.toByteArray();
            result.detail = reader.detail;
            return result;
        }
        if (outcome == Outcome::Skipped)
            ++result.linesSkipped;
        last = text;
    }
    result.endsWithFlag = last == "FLAG=17";
    return result;
}

bool ReadProfileBytes(const QString &path, QByteArray *content, ProfileReadResult *result)
{
    *result = ProfileReadResult();
    const BoundedRead file = ReadRegularFile(path, kMaxProfileBytes);
    if (!file.ok) {
        result->status = ProfileReadResult::Status::CannotOpen;
        result->detail = file.error;
        result->missing = file.errorNumber == ENOENT;
        return false;
    }
    *result = CheckProfileText(file.content);
    if (!result->ok())
        return false;
    *content = withoutBom(file.content);
    return true;
}

ProfileReadResult ReadProfile(const QString &path, ProfileSet &set)
{
    QByteArray content;
    ProfileReadResult result;
    if (!ReadProfileBytes(path, &content, &result))
        return result;
    return ParseProfileText(content, set);
}

bool ReadProfileFile(const QString &path, ProfileSet &set, Messenger &messenger)
{
    const ProfileReadResult result = ReadProfile(path, set);
    switch (result.status) {
    case ProfileReadResult::Status::Ok:
        return true;
    case ProfileReadResult::Status::CannotOpen:
        // A file that is not there is not reported (the caller chose it).
        if (!result.missing)
            messenger.message(result.message(path), MsgIcon::Critical);
        return false;
    case ProfileReadResult::Status::NotProfile:
        messenger.message(result.message(path), MsgIcon::Critical);
        return false;
    case ProfileReadResult::Status::Empty:
    case ProfileReadResult::Status::BadValue:
        break;
    }
    messenger.message(ProfileReadErrorText(), MsgIcon::Critical);
    return false;
}

bool ReadProfileFile(const QString &path)
{
    return ReadProfileFile(path, profileWorkspace().Profile, Messenger::current());
}

} // namespace vx
