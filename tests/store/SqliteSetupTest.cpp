// Log frames written in one piece: what other readers of the database see
// while the log is still open, and what a copy of the files taken at that
// moment (as a power cut leaves them) recovers to.
#include "store/SqliteSetup.h"
#include "TableReaders.h"
#include "store/SqliteTable.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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
