#include "store/ErpArticleExport.h"

#include "platform/CheckCharacters.h"
#include "settings/Settings.h"
#include "store/ErpDatabase.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <cmath>

namespace vx {

namespace {

const QByteArray kEof = QByteArrayLiteral("EOF");

// Text of a field, Null as empty, cut or padded to width, one byte per
// character (characters outside the single-byte set become "?").
QByteArray column(const QVariant &value, int width)
{
    QString text = FieldValue(value);
    for (QChar &c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char(' ');
    }
    return text.leftJustified(width, QLatin1Char(' '), true).toLatin1();
}

// The price with the pattern "0000000": rounded half away from zero, at
// least seven digits, a minus sign in front of negative values.
QByteArray price(const QVariant &value)
{
    double number = 0;
    if (!value.isNull() && value.isValid()) {
        bool ok = false;
        number = value.toDouble(&ok);
        if (!ok)
            number = NumericValue(value.toString());
    }
    if (!std::isfinite(number))
        number = 0;
    const double whole = std::round(number);
    QByteArray digits = QByteArray::number(std::fabs(whole), 'f', 0).rightJustified(7, '0');
    return whole < 0 ? '-' + digits : digits;
}

} // namespace

ErpArticleExport::ErpArticleExport(ErpContext context) : m_context(std::move(context)) {}

QByteArray ErpArticleExport::FormatLine(const QVariant &code, const QVariant &priceValue, const QVariant &description)
{
    return column(code, 15) + price(priceValue) + column(description, 30);
}

void ErpArticleExport::Reset(int session)
{
    m_sessions.remove(session);
}

void ErpArticleExport::ResetAll()
{
    m_sessions.clear();
}

QByteArray ErpArticleExport::ArticleLine(const QString &dbPath, int lineNo, int session)
{
    Session &s = m_sessions[session];
    if (lineNo == 1 || s.path != dbPath) {
        s = Session();
        s.path = dbPath;
    }
    if (lineNo < 1)
        return kEof;
    const std::size_t wanted = static_cast<std::size_t>(lineNo);
    while (s.lines.size() < wanted && !s.complete) {
        if (!readChunk(s, session)) {
            m_sessions.remove(session);
            return kEof;
        }
    }
    if (s.lines.size() < wanted)
        return kEof;
    return s.lines[wanted - 1];
}

bool ErpArticleExport::readChunk(Session &s, int channel)
{
    if (!ErpDatabaseExists(s.path)) {
        ErpReportMissingDatabase(m_context, s.path);
        return false;
    }
    ErpConnection connection(s.path, ErpConnection::Mode::ReadOnly);
    if (!connection.isOpen()) {
        ErpLog(m_context, QStringLiteral("ERP database %1 cannot be opened: %2").arg(s.path, connection.errorText()),
               channel);
        s.complete = true;
        return true;
    }
    // Chunks double with what has been read, so the whole list costs about
    // twice one reading of it, spread evenly over the lines.
    const qint64 offset = static_cast<qint64>(s.lines.size());
    const qint64 limit = qMax<qint64>(FirstChunk, offset);
    QSqlQuery query(connection.database());
    query.setForwardOnly(true);
    const bool ok = query.prepare(QStringLiteral("SELECT * FROM qryinputArticoliCPT LIMIT ? OFFSET ?"));
    if (ok) {
        query.addBindValue(limit);
        query.addBindValue(offset);
    }
    if (!ok || !query.exec()) {
        ErpLog(m_context, QStringLiteral("ERP article list cannot be read: %1").arg(query.lastError().text()), channel);
        s.complete = true;
        return true;
    }
    const QSqlRecord fields = query.record();
    const int code = fields.indexOf(QStringLiteral("art_codice"));
    const int description = fields.indexOf(QStringLiteral("art_descrizione1"));
    const int priceColumn = fields.indexOf(QStringLiteral("lis_prezzo_1"));
    qint64 read = 0;
    while (query.next()) {
        const QByteArray line = FormatLine(code >= 0 ? query.value(code) : QVariant(),
                                           priceColumn >= 0 ? query.value(priceColumn) : QVariant(),
                                           description >= 0 ? query.value(description) : QVariant());
        s.lines.push_back(line + XorChecksum(line));
        ++read;
    }
    if (query.lastError().isValid()) {
        ErpLog(m_context, QStringLiteral("ERP article list cannot be read: %1").arg(query.lastError().text()), channel);
        s.complete = true;
    }
    if (read < limit)
        s.complete = true;
    return true;
}

} // namespace vx
