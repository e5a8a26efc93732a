#include "store/ErpWriter.h"

#include "settings/Settings.h"
#include "store/ErpDatabase.h"
#include "store/RecordText.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <cmath>
#include <limits>

namespace vx {

namespace {

double numberAt(const QByteArray &record, int position, int length)
{
    return NumericValue(QString::fromLatin1(record.mid(position - 1, length)));
}

// Month and day are whole 16-bit numbers, rounded half to even.
qint16 smallNumberAt(const QByteArray &record, int position, int length)
{
    const double value = std::nearbyint(numberAt(record, position, length));
    if (value > std::numeric_limits<qint16>::max() || value < std::numeric_limits<qint16>::min())
        return 0;
    return static_cast<qint16>(value);
}

struct Descriptions {
    QString first;
    QString second;
};

// The article's two descriptions; empty when the article is missing, a
// value is Null, or the look-up fails. The code is bound, never spliced
// into the statement. A code padded with blanks also finds the article
// stored without them.
Descriptions lookUpArticle(const QSqlDatabase &db, const QByteArray &code)
{
    Descriptions found;
    QSqlQuery query(db);
    if (!query.prepare(QStringLiteral("SELECT * FROM art WHERE ART_CODICE = ?")))
        return found;
    QByteArray trimmed = code;
    while (trimmed.endsWith(' '))
        trimmed.chop(1);
    QList<QByteArray> candidates{code};
    if (trimmed != code && !trimmed.isEmpty())
        candidates << trimmed;
    for (const QByteArray &candidate : candidates) {
        query.bindValue(0, FromWindows1252(candidate));
        if (query.exec() && query.next()) {
            found.first = FieldValue(query.value(QStringLiteral("art_descrizione1")));
            found.second = FieldValue(query.value(QStringLiteral("art_descrizione2")));
            return found;
        }
    }
    return found;
}

} // namespace

ErpRecord ErpRecord::parse(const QByteArray &record)
{
    ErpRecord r;
    r.lastRow = numberAt(record, 1, 5);
    r.row = numberAt(record, 6, 5);
    r.code = record.mid(10, 13);
    r.quantity = numberAt(record, 24, 5);
    r.year = numberAt(record, 37, 4);
    r.month = smallNumberAt(record, 41, 2);
    r.day = smallNumberAt(record, 43, 2);
    r.time = numberAt(record, 45, 4);
    return r;
}

ErpWriter::ErpWriter(ErpContext context) : m_context(std::move(context)) {}

bool ErpWriter::WriteRecord(const QByteArray &record, const QString &dbPath, int channel)
{
    if (!ErpDatabaseExists(dbPath)) {
        ErpReportMissingDatabase(m_context, dbPath);
        return false;
    }
    if (record.size() < ErpRecord::MinimumLength)
        return false;

    const ErpRecord r = ErpRecord::parse(record);
    ErpConnection connection(dbPath, ErpConnection::Mode::ReadWrite);
    if (!connection.isOpen()) {
        ErpLog(m_context, QStringLiteral("ERP database %1 cannot be opened: %2").arg(dbPath, connection.errorText()),
               channel);
        return false;
    }
    QSqlDatabase db = connection.database();
    auto fail = [&](const QString &what, const QSqlQuery &query) {
        ErpLog(m_context, QStringLiteral("ERP record not written (%1): %2").arg(what, query.lastError().text()),
               channel);
        db.rollback();
        return false;
    };

    // The header and its row go in together or not at all.
    if (!db.transaction()) {
        ErpLog(m_context, QStringLiteral("ERP record not written: %1").arg(db.lastError().text()), channel);
        return false;
    }

    qint16 document = m_documentNumber;
    if (r.row == 1.0) {
        // The last header added (an empty table counts as 0), one above it.
        QSqlQuery last(db);
        if (!last.exec(QStringLiteral("SELECT pet_progressivo FROM pet ORDER BY rowid DESC LIMIT 1")))
            return fail(QStringLiteral("reading the last document header"), last);
        double previous = 0;
        if (last.next())
            previous = NumericValue(FieldValue(last.value(0)));
        const double next = std::nearbyint(previous) + 1;
        if (next > std::numeric_limits<qint16>::max() || next < std::numeric_limits<qint16>::min()) {
            ErpLog(m_context,
                   QStringLiteral("ERP record not written: document number %1 is out of range").arg(next, 0, 'f', 0),
                   channel);
            db.rollback();
            return false;
        }
        document = static_cast<qint16>(next);

        QSqlQuery header(db);
        header.prepare(QStringLiteral("INSERT INTO pet (pet_progressivo, pet_ultima_riga) VALUES (?, ?)"));
        header.addBindValue(static_cast<int>(document));
        header.addBindValue(r.lastRow);
        if (!header.exec())
            return fail(QStringLiteral("adding the document header"), header);
    }

    const Descriptions descriptions = lookUpArticle(db, r.code);

    QSqlQuery row(db);
    row.prepare(
        QStringLiteral("INSERT INTO per (per_progressivo, per_riga, per_codice_art, per_descrizione1, per_descrizione2,"
                       " per_quantita, per_aa, per_mm, per_gg, per_ora, per_penna)"
                       " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    row.addBindValue(static_cast<int>(document));
    row.addBindValue(r.row);
    row.addBindValue(FromWindows1252(r.code));
    // Empty text, not Null, when there is no description.
    row.addBindValue(descriptions.first.isNull() ? QStringLiteral("") : descriptions.first);
    row.addBindValue(descriptions.second.isNull() ? QStringLiteral("") : descriptions.second);
    row.addBindValue(r.quantity);
    row.addBindValue(r.year);
    row.addBindValue(static_cast<int>(r.month));
    row.addBindValue(static_cast<int>(r.day));
    row.addBindValue(r.time);
    row.addBindValue(QStringLiteral("001"));
    if (!row.exec())
        return fail(QStringLiteral("adding the document row"), row);

    if (!db.commit()) {
        ErpLog(m_context, QStringLiteral("ERP record not written: %1").arg(db.lastError().text()), channel);
        db.rollback();
        return false;
    }
    m_documentNumber = document;
    return true;
}

} // namespace vx
