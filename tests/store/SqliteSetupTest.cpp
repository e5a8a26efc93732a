// Log frames written in one piece: what other readers of the database see
// while the log is still open, and what a copy of the files taken at that
// moment (as a power cut leaves them) recovers to.
#include "store/SqliteSetup.h"
#include "TableReaders.h"
#include "store/SqliteTable.h"
#include "store/TargetLayout.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

// The locks this process holds on the file with this inode, as the system
// lists them: "READ 124 124", "WRITE 120 EOF", sorted.
QStringList HeldLocks(ino_t inode)
{
    QFile list(QStringLiteral("/proc/locks"));
    QStringList held;
    if (!list.open(QIODevice::ReadOnly))
        return {QStringLiteral("/proc/locks cannot be read")};
    const QByteArray pid = QByteArray::number(qint64(::getpid()));
    const QByteArray file = ':' + QByteArray::number(quint64(inode));
    for (const QByteArray &line : list.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        // "1: POSIX ADVISORY WRITE <pid> <dev>:<inode> <start> <end>"; a
        // waiter's line has "->" after the number.
        if (fields.size() == 8 && fields[1] == "POSIX" && fields[4] == pid && fields[5].endsWith(file))
            held << QString::fromLatin1(fields[3] + ' ' + fields[6] + ' ' + fields[7]);
    }
    held.sort();
    return held;
}

} // namespace

class SqliteSetupTest : public ::testing::Test {
protected:
    // A new record-store table in this test's folder, opened in table, with
    // SQLite set up as the program sets it up.
    ::testing::AssertionResult NewTable(const char *name)
    {
        ConfigureSqlite();
        path = dir.filePath(QString::fromLatin1(name));
        if (!SqliteTable::Create(path, QStringLiteral("Vendrix")))
            return ::testing::AssertionFailure() << "cannot create " << path.toStdString();
        if (!table.Open(path, QStringLiteral("Vendrix")))
            return ::testing::AssertionFailure() << table.ErrorText().toStdString();
        return ::testing::AssertionSuccess();
    }

    QTemporaryDir dir;
    QString path;
    SqliteTable table{QStringLiteral("sqlite-setup-test")};
};

TEST_F(SqliteSetupTest, JoinedLogFramesAreReadBackWhileOpenAndAfterACut)
{
    ASSERT_TRUE(NewTable("rows.mdb"));

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

    // No lock of the last row outlives it: another program writes at once,
    // without waiting.
    test::RunProgram(QStringLiteral("sqlite3"), {path, QStringLiteral("INSERT INTO Vendrix (%1) VALUES ('other')")
                                                           .arg(QString::fromLatin1(TargetLayout::ColumnName(0)))});
    table.Close();
}

// A transaction larger than the page cache writes frames before its commit;
// pages changed again after that are written over their frames, and the
// commit then writes the headers of those frames anew. The commit must be on
// the file once it returns: a copy of the files taken right then holds it.
TEST_F(SqliteSetupTest, FramesWrittenAgainBeforeTheCommitAreOnTheFileAtTheCommit)
{
    ConfigureSqlite();
    const QByteArray file = QFile::encodeName(dir.filePath(QStringLiteral("spill.db")));
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(file.constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), SQLITE_OK);
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
    ASSERT_TRUE(QFile::copy(QFile::decodeName(file), copy));
    ASSERT_TRUE(QFile::copy(QFile::decodeName(file) + QStringLiteral("-wal"), copy + QStringLiteral("-wal")));
    sqlite3_close(db);
    EXPECT_EQ(test::RunProgram(QStringLiteral("sqlite3"),
                               {copy, QStringLiteral("SELECT count(*) FROM t; PRAGMA integrity_check;")}),
              "3000\nok\n");
}

// Another program writing the same table row after row while rows are
// appended here: every row either side was told is stored is there, once,
// no row told it failed is, and the file is sound.
TEST_F(SqliteSetupTest, TwoWritersAtOnceKeepEveryRowEachWasToldIsStored)
{
    ASSERT_TRUE(NewTable("two.mdb"));

    constexpr int kTheirs = 3000;
    const QString theirs = QStringLiteral(
                               "import sqlite3, sys\n"
                               "c = sqlite3.connect(sys.argv[1], timeout=20, isolation_level=None)\n"
                               "for i in range(%1):\n"
                               "    c.execute('INSERT INTO Vendrix (%2) VALUES (?)', ('theirs %d' % i,))\n"
                               "    if i == 0: print('started', flush=True)\n")
                               .arg(kTheirs)
                               .arg(QString::fromLatin1(TargetLayout::ColumnName(0)));
    QProcess other;
    other.start(QStringLiteral("python3"), {QStringLiteral("-c"), theirs, path});
    // Rows are appended here once the other program writes.
    ASSERT_TRUE(other.waitForReadyRead(20000)) << other.readAllStandardError().toStdString();

    QStringList expected;
    int failed = 0;
    for (int i = 0; i < 3000; ++i) {
        TargetRow row;
        row[0] = "ours " + QByteArray::number(i);
        if (table.AppendRow(row))
            expected << QString::fromLatin1(row[0]);
        else
            ++failed; // "database is locked" after the busy time-out: a row refused, told so
    }
    ASSERT_TRUE(other.state() == QProcess::NotRunning || other.waitForFinished(60000));
    EXPECT_EQ(other.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(other.exitCode(), 0) << other.readAllStandardError().toStdString();
    EXPECT_LT(failed, 300);
    for (int i = 0; i < kTheirs; ++i)
        expected << QStringLiteral("theirs %1").arg(i);
    table.Close();

    QStringList read;
    for (const QStringList &row : test::SqliteRows(path))
        read << row.value(0);
    read.sort();
    expected.sort();
    EXPECT_EQ(read, expected);
    EXPECT_EQ(test::RunProgram(QStringLiteral("sqlite3"), {path, QStringLiteral("PRAGMA integrity_check;")}), "ok\n");
}

// Lock calls on a log's index made within a JoinedIndexLocks, some kept back
// and joined with the next: once it ends, the file is locked exactly as the
// same calls made one by one leave it.
TEST_F(SqliteSetupTest, JoinedIndexLocksLeaveTheLocksOfTheCallsOneByOne)
{
    ConfigureSqlite();
    sqlite3_vfs *files = sqlite3_vfs_find("unix");
    ASSERT_NE(files, nullptr);
    using FcntlCall = int (*)(int, int, ...);
    const auto joining = reinterpret_cast<FcntlCall>(files->xGetSystemCall(files, "fcntl"));
    ASSERT_NE(joining, nullptr);
    ASSERT_NE(reinterpret_cast<void *>(joining), reinterpret_cast<void *>(&::fcntl));

    struct Call {
        short type;
        off_t at;
        off_t length;
    };
    constexpr short R = F_RDLCK, W = F_WRLCK, U = F_UNLCK;
    struct Case {
        const char *rule;
        std::vector<Call> calls;
        QStringList after; // what the calls one by one leave
    };
    const Case cases[] = {
        {"a reader's mark moved: exclusive, let go, shared",
         {{W, 124, 1}, {U, 124, 1}, {R, 124, 1}},
         {QStringLiteral("READ 124 124")}},
        {"a write ends: the write lock, then the reader's slot",
         {{R, 124, 1}, {W, 120, 1}, {U, 120, 1}, {U, 124, 1}},
         {}},
        {"the checkpoint's lock held between the two",
         {{R, 121, 1}, {R, 125, 1}, {W, 120, 1}, {U, 120, 1}, {U, 125, 1}},
         {QStringLiteral("READ 121 121")}},
        {"another slot locked after a kept unlock",
         {{W, 124, 1}, {U, 124, 1}, {W, 125, 1}},
         {QStringLiteral("WRITE 125 125")}},
        {"a kept slot's unlock at the end", {{R, 123, 1}, {W, 126, 1}, {U, 126, 1}}, {QStringLiteral("READ 123 123")}},
        {"a kept write lock's unlock at the end",
         {{R, 123, 1}, {W, 120, 1}, {U, 120, 1}},
         {QStringLiteral("READ 123 123")}},
        {"the slots locked as a range", {{W, 124, 4}, {U, 124, 4}, {R, 124, 1}, {U, 124, 1}}, {}},
    };
    std::vector<int> open; // kept open to the end, so no case gets another's descriptor
    int n = 0;
    for (const Case &c : cases) {
        int fds[2];
        ino_t inodes[2];
        for (int i = 0; i < 2; ++i) {
            const QByteArray name = QFile::encodeName(dir.filePath(QStringLiteral("index-%1-%2").arg(n).arg(i)));
            fds[i] = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            ASSERT_GE(fds[i], 0);
            open.push_back(fds[i]);
            struct stat st {};
            ASSERT_EQ(::fstat(fds[i], &st), 0);
            inodes[i] = st.st_ino;
        }
        ++n;
        auto lock = [](const Call &call) {
            struct flock l {};
            l.l_type = call.type;
            l.l_whence = SEEK_SET;
            l.l_start = call.at;
            l.l_len = call.length;
            return l;
        };
        {
            JoinedIndexLocks joined;
            for (const Call &call : c.calls) {
                struct flock l = lock(call);
                ASSERT_EQ(joining(fds[0], F_SETLK, &l), 0) << c.rule;
            }
        }
        for (const Call &call : c.calls) {
            struct flock l = lock(call);
            ASSERT_EQ(::fcntl(fds[1], F_SETLK, &l), 0) << c.rule;
        }
        const std::string oneByOne = HeldLocks(inodes[1]).join(QLatin1String(", ")).toStdString();
        EXPECT_EQ(oneByOne, c.after.join(QLatin1String(", ")).toStdString()) << c.rule;
        EXPECT_EQ(HeldLocks(inodes[0]).join(QLatin1String(", ")).toStdString(), oneByOne) << c.rule;
    }
    for (int fd : open)
        ::close(fd);
}
