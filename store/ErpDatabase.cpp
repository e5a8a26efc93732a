#include "store/ErpDatabase.h"

#include "platform/CommandLine.h"
#include "platform/Messenger.h"

#include <QAtomicInteger>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QUrl>
#include <QtDebug>
#include <cstdlib>

namespace vx {

QString ErpMissingDatabaseMessage()
{
    return QStringLiteral("WARNING, database ZUCCHETTI does not exist.\r\nCreate database and re-run program!");
}

bool ErpDatabaseExists(const QString &path)
{
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // Every SQLite database file begins with this 16-byte header; an empty
    // file would be taken by SQLite for a new database, which it is not.
    static const QByteArray header("SQLite format 3\0", 16);
    return file.read(header.size()) == header;
}

void ErpReportMissingDatabase(const ErpContext &context, const QString &path)
{
    ErpLog(context,
           QStringLiteral("The ERP database %1 does not exist (or is no SQLite database): the program ends. "
                          "Create it, or name the right file in the target's Name, and start again.")
               .arg(path),
           0);
    context.messenger.message(ErpMissingDatabaseMessage());
    if (context.terminate)
        context.terminate(kExitSettings);
    else
        std::exit(kExitSettings);
}

void ErpLog(const ErpContext &context, const QString &line, int channel)
{
    if (context.log)
        context.log(line, channel);
    else
        qWarning().noquote() << line;
}

ErpConnection::ErpConnection(const QString &path, Mode mode)
{
    static QAtomicInteger<int> counter;
    m_name = QStringLiteral("vx-erp-%1").arg(counter.fetchAndAddRelaxed(1));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    if (!db.isValid()) {
        m_error = QStringLiteral("the SQLite driver is not available");
        return;
    }
    // A URI with mode=ro / mode=rw opens an existing file only.
    QUrl uri = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
    uri.setQuery(mode == Mode::ReadOnly ? QStringLiteral("mode=ro") : QStringLiteral("mode=rw"));
    db.setDatabaseName(uri.toString(QUrl::FullyEncoded));
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=2000"));
    m_open = db.open();
    if (!m_open)
        m_error = db.lastError().text();
}

ErpConnection::~ErpConnection()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

QSqlDatabase ErpConnection::database() const
{
    return QSqlDatabase::database(m_name, false);
}

QString FieldValue(const QVariant &field)
{
    if (field.isNull() || !field.isValid())
        return {};
    return field.toString();
}

} // namespace vx
