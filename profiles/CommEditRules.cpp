#include "profiles/CommEditRules.h"
#include "profiles/ProfileFile.h"

#include <limits>

namespace vx {

namespace {

// A whole number (blanks around it allowed, an optional sign) that fits
// 16 bits.
std::optional<qint16> wholeInt16(const QString &text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    if (!ok || value < std::numeric_limits<qint16>::min() || value > std::numeric_limits<qint16>::max())
        return std::nullopt;
    return qint16(value);
}

const QStringList &fullSpeeds()
{
    static const QStringList speeds{QStringLiteral("115200"), QStringLiteral("76800"), QStringLiteral("57600"),
                                    QStringLiteral("38400"),  QStringLiteral("19200"), QStringLiteral("9600"),
                                    QStringLiteral("4800"),   QStringLiteral("2400")};
    return speeds;
}

} // namespace

QString CommWindowTitle(const ProfileFunction &function)
{
    return function.Name + QStringLiteral(" : ") + QStringLiteral("Communication Parameter");
}

QStringList TerminalFamilies()
{
    return {QStringLiteral("711"), QStringLiteral("8000"), QStringLiteral("8300")};
}

QStringList PortTabCaptions()
{
    return {QStringLiteral("RS232"), QStringLiteral("Docking"), QStringLiteral("Keyboard"), QStringLiteral("IrDa"),
            QStringLiteral("IR")};
}

QStringList ParityItems()
{
    return {QStringLiteral("None"), QStringLiteral("Even"), QStringLiteral("Odd")};
}
QStringList DataBitsItems()
{
    return {QStringLiteral("7"), QStringLiteral("8")};
}
QStringList FlowControlItems()
{
    return {QStringLiteral("None"), QStringLiteral("Cts/Rts"), QStringLiteral("Xon/Xoff")};
}
QStringList ProtocolItems()
{
    return {QStringLiteral("None"), QStringLiteral("ACK/NAK")};
}

QStringList TerminatorItems()
{
    QStringList items{QStringLiteral("None")};
    for (int n = 1; n <= 10; ++n)
        items << QStringLiteral("Constant %1").arg(n);
    return items;
}

int TabForPort(qint16 port)
{
    return port >= 1 && port <= 5 ? port - 1 : 0;
}

qint16 PortAfterTab(int tab, qint16 port)
{
    if (tab == kKeyboardTab || tab < 0 || tab > 4)
        return port;
    return qint16(tab + 1);
}

QStringList SpeedItems(bool keyboardTab)
{
    QStringList items = fullSpeeds();
    if (keyboardTab)
        items.removeAt(1);
    return items;
}

int SpeedListPosition(bool keyboardTab, qint16 speed)
{
    if (speed < 0 || speed >= fullSpeeds().size())
        return -1;
    return int(SpeedItems(keyboardTab).indexOf(fullSpeeds().at(speed)));
}

qint16 SpeedFromListPosition(bool keyboardTab, int position)
{
    const QStringList items = SpeedItems(keyboardTab);
    if (position < 0 || position >= items.size())
        return -1;
    return qint16(fullSpeeds().indexOf(items.at(position)));
}

std::optional<qint16> NumberBoxValue(const QString &text)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return qint16(0);
    for (const QChar c : t) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    const auto value = wholeInt16(t);
    if (!value || *value < 0)
        return std::nullopt;
    return value;
}

void SetBlockWait(FunctionCommSettings &comm, bool waitTime)
{
    comm.BlockWaitCR = waitTime ? 0 : -1;
    comm.BlockWaitTime = waitTime ? -1 : 0;
}

QString SeparatorCharacter(int code)
{
    if (code > 0 && code < 255)
        return QString(QChar(char16_t(code)));
    return QString();
}

QString SeparatorPair::codeEdited(const QString &codeText)
{
    const auto value = wholeInt16(codeText);
    if (!value)
        return QString();
    code = *value;
    character = SeparatorCharacter(*value);
    return character;
}

QString SeparatorPair::characterEdited(const QString &charText)
{
    // Profile files are single-byte: a character beyond code 255 has no code
    // the terminal knows, so it changes nothing.
    if (!charText.isEmpty() && charText.at(0).unicode() > 255)
        return QString::number(code);
    const bool empty = blankIsEmpty ? charText.trimmed().isEmpty() : charText.isEmpty();
    if (empty)
        return QString();
    character = charText.trimmed();
    code = qint16(charText.at(0).unicode());
    return QString::number(code);
}

QStringList AvailableRecordItems(const ProfileFunction &function)
{
    QStringList items{QStringLiteral("01 Date"),
                      QStringLiteral("02 Time"),
                      QStringLiteral("03 Terminal ID"),
                      QStringLiteral("04 Operator ID"),
                      QStringLiteral("05 Rec. Progr. num."),
                      QStringLiteral("06 Rec. Total num."),
                      QStringLiteral("07 Profile")};
    for (int m = 0; m < 8; ++m) {
        const ProfileField &field = function.Fields[m];
        if (field.Enabled == 1)
            items << QStringLiteral("%1 %2").arg(m + 8, 2, 10, QLatin1Char('0')).arg(field.Name);
    }
    for (int n = 1; n <= 10; ++n)
        items << QStringLiteral("%1 Constant %2").arg(n + 15).arg(n);
    items << QStringLiteral("26 Check Digit");
    return items;
}

RecordStructureList::RecordStructureList(const ProfileFunction &function) : m_available(AvailableRecordItems(function))
{
    for (const ProfileField &field : function.Fields)
        m_fieldNames << field.Name;
}

QString RecordStructureList::unavailableItem(const QString &slot) const
{
    const long long number = LeadingNumber(slot);
    const QString code = QStringLiteral("%1").arg(number, 2, 10, QLatin1Char('0'));
    if (number >= 8 && number <= 15)
        return QStringLiteral("%1 %2 (field not enabled)").arg(code, m_fieldNames.value(int(number - 8)));
    return QStringLiteral("%1 (not available)").arg(code);
}

void RecordStructureList::load(const RecordStructure &record)
{
    m_chosen.clear();
    for (int i = 0; i < kStoredRecordSlots; ++i) {
        const QString text = record[i].trimmed();
        if (text.isEmpty())
            continue;
        const long long code = LeadingNumber(text);
        QString found;
        for (const QString &item : m_available) {
            if (LeadingNumber(item.left(2)) == code) {
                found = item;
                break;
            }
        }
        // A code the terminal knows whose item is not offered (a field that
        // is not enabled) stays; a text that is no code at all is dropped.
        if (!found.isEmpty())
            m_chosen << found;
        else if (code >= 1 && code <= kStoredRecordSlots)
            m_chosen << unavailableItem(text);
    }
}

bool RecordStructureList::add(int index)
{
    if (index < 0 || index >= m_available.size() || isFull())
        return false;
    m_chosen << m_available.at(index);
    return true;
}

bool RecordStructureList::remove(int index)
{
    if (index < 0 || index >= m_chosen.size())
        return false;
    m_chosen.removeAt(index);
    return true;
}

void RecordStructureList::store(RecordStructure &record) const
{
    for (int i = 0; i < kStoredRecordSlots; ++i)
        record[i] = i < m_chosen.size() ? m_chosen.at(i).left(2) : QString();
}

} // namespace vx
