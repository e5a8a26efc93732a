#include "store/SqliteTable.h"
#include "store/RecordText.h"
#include "store/SqliteSetup.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUuid>
#include <QVariant>

#include <sqlite3.h>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx {

namespace {

QString QuotedName(const QString &name)
{
    QString quoted = name;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString InsertStatement(const QString &table)
{
    QStringList columns;
    QStringList marks;
    for (int i = 0; i < TargetLayout::ColumnCount; ++i) {
        columns << QString::fromLatin1(TargetLayout::ColumnName(i));
        marks << QStringLiteral("?");
    }
    return QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
        .arg(QuotedName(table), columns.join(QLatin1String(", ")), marks.join(QLatin1String(", ")));
}

// No byte above 127 in the text: looked at eight bytes at a time.
bool IsAscii(QByteArrayView bytes)
{
    const char *p = bytes.data();
    qsizetype left = bytes.size();
    quint64 seen = 0;
    for (; left >= 8; p += 8, left -= 8) {
        quint64 word;
        std::memcpy(&word, p, sizeof word);
        seen |= word;
    }
    for (; left > 0; ++p, --left)
        seen |= static_cast<unsigned char>(*p);
    return (seen & 0x8080808080808080ULL) == 0;
}

} // namespace

QStringList SqliteSideFiles(const QString &path)
{
    return {path + QStringLiteral("-journal"), path + QStringLiteral("-wal"), path + QStringLiteral("-shm")};
}

SqliteTable::SqliteTable(QString connectionName) : m_connection(std::move(connectionName)) {}

SqliteTable::~SqliteTable()
{
    Close();
    if (QSqlDatabase::contains(m_connection))
        QSqlDatabase::removeDatabase(m_connection);
}

bool SqliteTable::Create(const QString &path, const QString &table, QString *error)
{
    QString ignored;
    QString &err = error ? *error : ignored;
    err.clear();
    QFile::remove(path);
    for (const QString &side : SqliteSideFiles(path))
        QFile::remove(side);
    const QString name = QStringLiteral("vx.template.") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        if (db.open()) {
            QStringList columns;
            for (int i = 0; i < TargetLayout::ColumnCount; ++i)
                columns << QString::fromLatin1(TargetLayout::ColumnName(i)) + QStringLiteral(" TEXT");
            QSqlQuery query(db);
            // Every committed row is one page of the write-ahead log, written,
            // summed and synced whole at the next checkpoint: a record-store
            // row takes about a hundred bytes, so small pages cut what each
            // record costs in copying, check sums and syncs.
            ok = query.exec(QStringLiteral("PRAGMA page_size=%1").arg(kPageSize))
                 && query.exec(
                     QStringLiteral("CREATE TABLE %1 (%2)").arg(QuotedName(table), columns.join(QLatin1String(", "))));
            if (!ok)
                err = query.lastError().text();
        } else {
            err = db.lastError().text();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    if (!ok)
        QFile::remove(path);
    return ok;
}

bool SqliteTable::Open(const QString &path, const QString &table)
{
    Close();
    m_error.clear();
    m_path = path;
    if (m_insert.isEmpty() || m_table != table)
        m_insert = InsertStatement(table);
    m_table = table;
    QSqlDatabase db = QSqlDatabase::contains(m_connection)
                          ? QSqlDatabase::database(m_connection, false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    if (!db.isValid()) {
        m_error = QStringLiteral("the SQLite driver is not available");
        return false;
    }
    db.setDatabaseName(path);
    // Another program holding a lock on the file makes a statement wait at
    // most this long before it fails (the record is refused and the terminal
    // sends it again). Every channel runs on one thread, so a longer wait
    // would hold all of them up.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
    if (!db.open()) {
        m_error = db.lastError().text();
        return false;
    }
    // While the table is open, rows go to a write-ahead log (one append per
    // row instead of a journal created and deleted per row); a crash of the
    // program never leaves a half-written row behind, and the next opening,
    // by any reader, replays the log. A commit does not wait for the disk,
    // but with synchronous=NORMAL every checkpoint (the automatic ones in a
    // long transfer, and the one at closing) syncs the log before it copies
    // pages into the database and syncs the database before the log is
    // restarted or removed: a power cut never takes rows that a checkpoint
    // already moved. Closing folds the log back and returns the file to a
    // plain rollback journal, so between transfers it is one self-contained
    // file, synced.
    QSqlQuery pragma(db);
    if (!pragma.exec(QStringLiteral("PRAGMA synchronous=NORMAL"))
        || !pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL"))) {
        m_error = pragma.lastError().text();
        db.close();
        return false;
    }
    // The connection itself, for the inserts.
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0
        || !(m_handle = *static_cast<sqlite3 *const *>(handle.constData()))) {
        m_error = QStringLiteral("%1: the SQLite connection cannot be reached").arg(path);
        db.close();
        return false;
    }
    // SQLite's own checkpoint after a commit, paced (in place of its
    // automatic one): see Checkpoint.
    sqlite3_wal_hook(m_handle, &SqliteTable::Checkpoint, this);
    m_lastCheckpoint.start();
    m_open = true;
    return true;
}

// After each commit, with the pages now in the write-ahead log: SQLite's
// passive checkpoint, as its automatic one does once the log holds
// kCheckpointPages, but at most once every kCheckpointEveryMs unless the log
// has grown to kCheckpointMostPages. Each checkpoint syncs the log and the
// database (synchronous=NORMAL), three waits for the disk of some
// milliseconds each; while records come back to back, this keeps those
// waits to one round a second (a few per cent of the time) instead of one
// every thousand records, and the log within what a second of records fills
// (at most kCheckpointMostPages frames of a page each, some 30 MB; its index
// in shared memory 256 KB).
int SqliteTable::Checkpoint(void *self, sqlite3 *db, const char *name, int pages)
{
    auto *table = static_cast<SqliteTable *>(self);
    table->WriteBehind(pages);
    if (pages < kCheckpointPages
        || (pages < kCheckpointMostPages && table->m_lastCheckpoint.isValid()
            && table->m_lastCheckpoint.elapsed() < kCheckpointEveryMs))
        return SQLITE_OK;
    sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    table->m_lastCheckpoint.start();
    return SQLITE_OK;
}

// The log's frames reach the disk at the next checkpoint's sync, and a
// transfer's last ones at the sync of the closing checkpoint, which the
// EOF's answer waits for: with up to a second of records in the log, that is
// tens of megabytes. Every 2,048 frames (2 MiB of 1 KiB pages) the system is
// asked to start writing the log out, without waiting for it, so that those
// syncs find most of it on the disk already. What a sync guarantees is
// unchanged; a log that cannot be opened here only leaves the work to them.
void SqliteTable::WriteBehind(int pages)
{
    constexpr int kBehindFrames = 2048;
    if (pages < m_logBehind)
        m_logBehind = 0; // the log started again after a checkpoint
    if (pages - m_logBehind < kBehindFrames)
        return;
    m_logBehind = pages;
    if (!m_logOpenTried) {
        m_logOpenTried = true;
        const int fd = ::open(QFile::encodeName(m_path + QStringLiteral("-wal")).constData(),
                              O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        struct stat st {};
        if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
            m_logFd = fd;
        else if (fd >= 0)
            ::close(fd);
    }
    if (m_logFd >= 0)
        ::sync_file_range(m_logFd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool SqliteTable::AppendRow(const TargetRow &row)
{
    if (!m_open) {
        m_error = QStringLiteral("no database is open");
        return false;
    }
    if (!m_insertStatement) {
        const QByteArray sql = m_insert.toUtf8();
        m_boundNull.fill(false);
        if (sqlite3_prepare_v2(m_handle, sql.constData(), int(sql.size()), &m_insertStatement, nullptr) != SQLITE_OK) {
            m_error = QStringLiteral("%1: %2").arg(m_path, QString::fromUtf8(sqlite3_errmsg(m_handle)));
            sqlite3_finalize(m_insertStatement);
            m_insertStatement = nullptr;
            return false;
        }
    }
    // A value the record does not have is NULL; the record's Windows-1252
    // bytes are stored as the UTF-8 text of their characters (see
    // FromWindows1252), control characters and NUL included.
    for (int i = 0; i < TargetLayout::ColumnCount; ++i) {
        const QByteArray &value = row[i];
        int rc = SQLITE_OK;
        if (value.isNull()) {
            if (!m_boundNull[i])
                rc = sqlite3_bind_null(m_insertStatement, i + 1);
            m_boundNull[i] = rc == SQLITE_OK;
        } else {
            m_boundNull[i] = false;
            const QByteArray *text = &value;
            if (!IsAscii(value)) {
                m_converted[i] = Windows1252ToUtf8(value);
                text = &m_converted[i];
            }
            rc = sqlite3_bind_text(m_insertStatement, i + 1, text->constData(), int(text->size()), SQLITE_STATIC);
        }
        if (rc != SQLITE_OK) {
            m_error = QStringLiteral("%1: %2").arg(m_path, QString::fromUtf8(sqlite3_errmsg(m_handle)));
            sqlite3_reset(m_insertStatement);
            return false;
        }
    }
    int rc;
    {
        // The row in a transaction of its own, its index locks joined where
        // they can be; none held once this returns.
        JoinedIndexLocks joined;
        rc = sqlite3_step(m_insertStatement);
        if (rc != SQLITE_DONE)
            m_error = QStringLiteral("%1: %2").arg(m_path, QString::fromUtf8(sqlite3_errmsg(m_handle)));
        sqlite3_reset(m_insertStatement);
    }
    if (rc != SQLITE_DONE) {
        // Prepared again at the next row, in case the failure left it unusable.
        sqlite3_finalize(m_insertStatement);
        m_insertStatement = nullptr;
        return false;
    }
    return true;
}

void SqliteTable::Close()
{
    // The statement goes before the connection it belongs to.
    sqlite3_finalize(m_insertStatement);
    m_insertStatement = nullptr;
    m_handle = nullptr;
    if (m_logFd >= 0)
        ::close(m_logFd);
    m_logFd = -1;
    m_logOpenTried = false;
    m_logBehind = 0;
    if (!QSqlDatabase::contains(m_connection))
        return;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    bool folded = true;
    if (m_open && db.isOpen()) {
        QSqlQuery pragma(db);
        folded = pragma.exec(QStringLiteral("PRAGMA journal_mode=DELETE")) && pragma.next()
                 && pragma.value(0).toString().compare(QLatin1String("delete"), Qt::CaseInsensitive) == 0;
    }
    db.close();
    // Another program reading the file keeps the log from being folded
    // back: its rows then reach the disk through the log itself.
    m_logLeft = m_open && !folded && QFile::exists(m_path + QStringLiteral("-wal"));
    m_open = false;
}

} // namespace vx
