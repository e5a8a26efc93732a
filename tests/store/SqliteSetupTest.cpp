// Log frames written in one piece: what other readers of the database see
// while the log is still open, and what a copy of the files taken at that
// moment (as a power cut leaves them) recovers to.
#include "store/SqliteSetup.h"
#include "TableReaders.h"
#include "store/SqliteTable.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace vx;

namespace {

// Write system calls this process has made so far.
qint64 WriteCalls()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : io.readAll().split('\n'))
        if (line.startsWith("syscw:"))
            return line.mid(6).trimmed().toLongLong();
    return -1;
}

} // namespace

TEST(SqliteSetupTest, JoinedLogFramesAreReadBackWhileOpenAndAfterACut)
{
    ConfigureSqlite();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("rows.mdb"));
    ASSERT_TRUE(SqliteTable::Create(path, QStringLiteral("Vendrix")));
    SqliteTable table(QStringLiteral("joined-frames-test"));
    ASSERT_TRUE(table.Open(path, QStringLiteral("Vendrix"))) << table.ErrorText().toStdString();

    constexpr int kRows = 400;
    QStringList expected;
    const qint64 before = WriteCalls();
    for (int i = 0; i < kRows; ++i) {
        TargetRow row;
        // Long and short rows, so that pages fill, split and grow the file.
        row[0] = QByteArray::number(i) + QByteArray(i % 7 * 30, char('a' + i % 26)) + "\xE9";
        row[1] = QByteArray::number(i * 3);
        expected << QString::fromLatin1(row[0]);
        ASSERT_TRUE(table.AppendRow(row)) << table.ErrorText().toStdString();
    }
    const qint64 calls = WriteCalls() - before;
    // One write per frame (a row's page, now and then a second page), where
    // a frame was two writes before.
    EXPECT_GT(calls, kRows - 1);
    EXPECT_LT(calls, kRows * 3 / 2);

    // The rows are in the log: another program reads them through it.
    ASSERT_TRUE(QFile::exists(path + QStringLiteral("-wal")));
    QStringList read;
    for (const QStringList &row : test::SqliteRows(path))
        read << row.value(0);
    EXPECT_EQ(read, expected);

    // The files as they stand (database, log, index), opened elsewhere:
    // the log's frames are replayed into every row.
    const QString cut = dir.filePath(QStringLiteral("cut.mdb"));
    ASSERT_TRUE(QFile::copy(path, cut));
    ASSERT_TRUE(QFile::copy(path + QStringLiteral("-wal"), cut + QStringLiteral("-wal")));
    read.clear();
    for (const QStringList &row : test::SqliteRows(cut))
        read << row.value(0);
    EXPECT_EQ(read, expected);
    table.Close();
}

// A transaction larger than the page cache writes frames before its commit;
// pages changed again after that are written over their frames, and the
// commit then writes the headers of those frames anew. The commit must be on
// the file once it returns: a copy of the files taken right then holds it.
TEST(SqliteSetupTest, FramesWrittenAgainBeforeTheCommitAreOnTheFileAtTheCommit)
{
    ConfigureSqlite();
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("spill.db")));
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), SQLITE_OK);
    const char *const script =
        "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=4;"
        "CREATE TABLE t (n INTEGER, v BLOB);"
        "BEGIN;"
        "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 3000)"
        "  INSERT INTO t SELECT i, randomblob(300) FROM c;"
        "UPDATE t SET v = randomblob(300) WHERE n % 7 = 0;"
        "COMMIT;";
    ASSERT_EQ(sqlite3_exec(db, script, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);

    const QString copy = dir.filePath(QStringLiteral("copy.db"));
    ASSERT_TRUE(QFile::copy(QFile::decodeName(path), copy));
    ASSERT_TRUE(QFile::copy(QFile::decodeName(path) + QStringLiteral("-wal"), copy + QStringLiteral("-wal")));
    sqlite3_close(db);
    QProcess count;
    count.start(QStringLiteral("sqlite3"), {copy, QStringLiteral("SELECT count(*) FROM t; PRAGMA integrity_check;")});
    ASSERT_TRUE(count.waitForFinished(20000));
    EXPECT_EQ(count.readAllStandardOutput(), "3000\nok\n");
}
