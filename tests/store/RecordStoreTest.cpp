#include "store/RecordStore.h"
#include "TableReaders.h"
#include "TestSupport.h"
#include "platform/CheckCharacters.h"
#include "platform/Clock.h"
#include "platform/CommandLine.h"
#include "platform/Messenger.h"
#include "settings/IniStore.h"
#include "store/DbaseTable.h"
#include "store/RecordTarget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vx;
using vx::test::readFile;
using vx::test::writeFile;

namespace {

// Whether another program could take the file's lock now.
bool Lockable(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0)
        ::close(fd);
    return free;
}

// How many of this process's descriptors name a file under folder.
int DescriptorsUnder(const QString &folder)
{
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        count += QFileInfo(fds.filePath(fd)).symLinkTarget().startsWith(folder + QLatin1Char('/')) ? 1 : 0;
    return count;
}

const QString kNotAvailable =
    QStringLiteral("WARNING, the requested file is not available. Change the settings, please.");
const QString kCannotCreate =
    QStringLiteral("Warning: requested file cannot be created.\r\nSelect another one and start application again.");
const QString kErpMissing =
    QStringLiteral("WARNING, database ZUCCHETTI does not exist.\r\nCreate database and re-run program!");


class FakeExchange : public ExchangeFiles {
public:
    bool ExchangeActive() const override { return active; }
    QString ExchangeFile(int channel) const override { return channel == 1 ? file : QString(); }
    bool active = false;
    QString file;
};

class FakeErp : public ZucchettiWriter {
public:
    bool WriteRecord(const QByteArray &record, const QString &dbPath, int channel) override
    {
        calls << QStringLiteral("%1|%2|%3").arg(QString::fromLatin1(record), dbPath).arg(channel);
        return accept;
    }
    QStringList calls;
    bool accept = true;
};

class RecordStoreTest : public ::testing::Test {
protected:
    RecordStoreTest()
    {
        QDir().mkpath(home.file("data"));
        for (int n = 1; n <= 4; ++n)
            settings.DBMS[n].Name = home.file("data/VdxPC.txt");
        SaveSettings(ini, settings);
    }

    RecordStore &Store(const QString &programDir = test::programDir())
    {
        RecordStore::Context context{settings, ini, messenger, clock, programDir};
        context.exchange = &exchange;
        context.zucchetti = withErp ? &erp : nullptr;
        context.terminate = [this](int code) { exitCode = code; };
        context.log = [this](const QString &line, int) { logLines << line; };
        store = std::make_unique<RecordStore>(context);
        return *store;
    }

    // Sets channel n's target in the records and in the settings store.
    void Target(const QString &type, const QString &name, const QString &policy = QStringLiteral("Append"),
                const QString &sep = QStringLiteral("None"), const QString &always = QStringLiteral("0"), int n = 1)
    {
        settings.DBMS[n] = StoreSettings{type, name, policy, sep, always};
        SaveSettings(ini, settings);
    }

    // One transfer: "BOF", the records, "EOF" (EndTransfer only when the
    // collector asked for the data).
    void Transfer(const QList<QByteArray> &records, bool requested = true, int n = 1)
    {
        store->BeginTransfer(n);
        for (const QByteArray &r : records)
            EXPECT_TRUE(store->StoreRecord(r, n)) << r.constData();
        if (requested)
            store->EndTransfer(n);
    }

    QString Name(int n = 1) const { return settings.DBMS[n].Name; }

    test::TempHome home;
    IniStore ini{home.file("Vendrix.ini")};
    Settings settings = Settings::defaults();
    ScriptedMessenger messenger;
    ManualClock clock;
    FakeExchange exchange;
    FakeErp erp;
    bool withErp = false;
    int exitCode = -1;
    QStringList logLines;
    std::unique_ptr<RecordStore> store;
};

// ---------------------------------------------------------------- text kinds

TEST_F(RecordStoreTest, TextKindsWriteOneLinePerRecord)
{
    Target("TXT (*.txt)", home.file("data/a.txt"));
    RecordStore &s = Store();
    EXPECT_TRUE(s.StoreRecord("ABC", 1));
    EXPECT_TRUE(s.StoreRecord("ABC12", 1));    // as handed over: check characters are the reception's
    EXPECT_TRUE(s.StoreRecord("caff\xe8", 1)); // single-byte text unchanged
    EXPECT_EQ(readFile(Name()), QByteArray("ABC\r\nABC12\r\ncaff\xe8\r\n"));

    // CSV: "Space" is one blank, "None" nothing, anything else literal.
    Target("CSV (*.csv)", home.file("data/b.csv"), "Append", "Space");
    EXPECT_TRUE(s.StoreRecord("A B  C", 1));
    settings.DBMS[1].SepCode = "None";
    EXPECT_TRUE(s.StoreRecord("A B;C", 1));
    settings.DBMS[1].SepCode = "<TAB>";
    EXPECT_TRUE(s.StoreRecord("a<TAB>b\tc", 1));
    settings.DBMS[1].SepCode = ";";
    EXPECT_TRUE(s.StoreRecord("1;22;;4", 1));
    EXPECT_EQ(readFile(Name()), QByteArray("A,B,,C\r\nA B;C\r\na,b\tc\r\n1,22,,4\r\n"));

    // A kind the store does not know is written as a plain line.
    Target("XML (*.xml)", home.file("data/c.xml"), "Append", ";");
    EXPECT_TRUE(s.StoreRecord("x;y", 1));
    EXPECT_EQ(readFile(Name()), QByteArray("x;y\r\n"));
    EXPECT_TRUE(messenger.shown.empty());
}

// A text target stays open and locked while records follow each other, yet
// every record lands where the path points at the moment it is written.
TEST_F(RecordStoreTest, HeldTextTargetFollowsItsPathAndLetsGo)
{
    const QString path = home.file("data/held.txt");
    const QString old = home.file("data/old.txt");
    Target("TXT (*.txt)", path);
    Target("TXT (*.txt)", path, "Append", "None", "0", 2);
    RecordStore &s = Store();
    // Another program's lock attempt while the file is held, and after.
    auto lockable = [&] { return Lockable(path); };
    ASSERT_TRUE(s.StoreRecord("one", 1));
    ASSERT_TRUE(s.StoreRecord("two", 1));
    EXPECT_FALSE(lockable());
    // Moved away: the next record makes the file again; removed: the same.
    ASSERT_TRUE(QFile::rename(path, old));
    ASSERT_TRUE(s.StoreRecord("three", 1));
    EXPECT_EQ(readFile(old), QByteArray("one\r\ntwo\r\n"));
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(s.StoreRecord("four", 1));
    // Two channels on one file take turns without losing a line.
    ASSERT_TRUE(s.StoreRecord("five", 2));
    ASSERT_TRUE(s.StoreRecord("six", 1));
    EXPECT_EQ(readFile(path), QByteArray("four\r\nfive\r\nsix\r\n"));
    // A FIFO put in its place is refused and left alone.
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    EXPECT_FALSE(s.StoreRecord("seven", 1));
    EXPECT_TRUE(QFileInfo(path).exists() && !QFileInfo(path).isFile());
    ASSERT_TRUE(QFile::remove(path));
    // Let go once the channel is quiet, and at once at the end of a transfer.
    ASSERT_TRUE(s.StoreRecord("eight", 1)); // made afresh
    ASSERT_TRUE(s.StoreRecord("nine", 1));
    EXPECT_FALSE(lockable());
    EXPECT_TRUE(test::waitUntil(lockable, 2000));
    ASSERT_TRUE(s.StoreRecord("ten", 1));
    EXPECT_FALSE(lockable());
    s.EndTransfer(1);
    EXPECT_TRUE(lockable());
    EXPECT_EQ(readFile(path), QByteArray("eight\r\nnine\r\nten\r\n"));

    // Another file renamed over the path, then the folder itself renamed and
    // made again, each while the file is held: the next record goes to the
    // file the path names now.
    ASSERT_TRUE(s.StoreRecord("eleven", 1));
    ASSERT_TRUE(s.StoreRecord("twelve", 1));
    writeFile(old, "other\r\n");
    ASSERT_EQ(::rename(QFile::encodeName(old).constData(), QFile::encodeName(path).constData()), 0);
    ASSERT_TRUE(s.StoreRecord("thirteen", 1));
    ASSERT_TRUE(s.StoreRecord("fourteen", 1));
    EXPECT_EQ(readFile(path), QByteArray("other\r\nthirteen\r\nfourteen\r\n"));
    ASSERT_TRUE(QDir(home.path()).rename("data", "data-old"));
    ASSERT_TRUE(QDir(home.path()).mkdir("data"));
    ASSERT_TRUE(s.StoreRecord("fifteen", 1));
    EXPECT_EQ(readFile(path), QByteArray("fifteen\r\n"));
    EXPECT_EQ(readFile(home.file("data-old/held.txt")), QByteArray("other\r\nthirteen\r\nfourteen\r\n"));
}

// A text or dBase target held while records follow each other lets go of
// its lock after holding it a while, so that another writer of the file gets
// its turn, and takes it again for the next record: what the other writer
// added in between stays, and the next record goes after it. So it does
// when another program appends without taking the lock while the file is
// held, and a file (or its folder) moved away while held keeps the records
// before the move, the next going to the path.
TEST_F(RecordStoreTest, HeldTargetsGiveAnotherWriterItsTurn)
{
    for (const QString &type : {QStringLiteral("TXT (*.txt)"), QStringLiteral("Dbase IV (*.dbf)")}) {
        SCOPED_TRACE(type.toStdString());
        const bool dbase = type.startsWith(QLatin1String("Dbase"));
        const QString file = dbase ? "turn.dbf" : "turn.txt";
        const QString path = home.file("data/" + file);
        Target(type, path);
        RecordStore &s = Store();
        auto lockable = [&] { return Lockable(path); };
        // The records of a table or file, separated by commas.
        auto rows = [&](const QString &table) {
            if (!dbase)
                return QString::fromLatin1(readFile(table)).split("\r\n", Qt::SkipEmptyParts).join(',').toStdString();
            QStringList first;
            for (const QStringList &row : test::DbaseRows(table))
                first << row.value(0);
            return first.join(',').toStdString();
        };
        // Another writer adds a row, under the lock every writer takes or
        // without it.
        auto addRow = [&](const QByteArray &value, bool lock) {
            if (dbase) {
                DbaseTable other;
                ASSERT_TRUE(other.Open(path)) << other.ErrorText().toStdString();
                QString error;
                ASSERT_TRUE(!lock || other.LockRow(&error)) << error.toStdString();
                TargetRow row;
                row[0] = value;
                ASSERT_TRUE(other.AppendRow(row)) << other.ErrorText().toStdString();
            } else {
                const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND);
                ASSERT_GE(fd, 0);
                ASSERT_TRUE(!lock || ::flock(fd, LOCK_EX | LOCK_NB) == 0);
                ASSERT_EQ(::write(fd, value + "\r\n", value.size() + 2), value.size() + 2);
                ::close(fd);
            }
        };
        ASSERT_TRUE(s.StoreRecord("one", 1)); // made
        ASSERT_TRUE(s.StoreRecord("two", 1)); // held from here on
        EXPECT_FALSE(lockable());
        addRow("stray", false);
        ASSERT_TRUE(s.StoreRecord("three", 1));
        QThread::msleep(RecordTarget::HoldLongestMs + 20);
        ASSERT_TRUE(s.StoreRecord("four", 1)); // held long: the lock goes after it
        addRow("other", true);
        ASSERT_TRUE(s.StoreRecord("five", 1));
        EXPECT_FALSE(lockable()); // taken again
        s.EndTransfer(1);
        EXPECT_TRUE(lockable());
        EXPECT_EQ(rows(path), "one,two,stray,three,four,other,five");

        // Moved away while held, then its folder moved (and made again).
        const QString moved = home.file("data/moved-" + file);
        ASSERT_TRUE(s.StoreRecord("six", 1));
        ASSERT_TRUE(s.StoreRecord("seven", 1));
        ASSERT_TRUE(QFile::rename(path, moved));
        ASSERT_TRUE(s.StoreRecord("eight", 1));
        ASSERT_TRUE(s.StoreRecord("nine", 1));
        ASSERT_TRUE(QDir(home.path()).rename("data", "data-old"));
        ASSERT_TRUE(QDir(home.path()).mkdir("data"));
        ASSERT_TRUE(s.StoreRecord("ten", 1));
        s.EndTransfer(1);
        EXPECT_EQ(rows(home.file("data-old/moved-" + file)), "one,two,stray,three,four,other,five,six,seven");
        EXPECT_EQ(rows(home.file("data-old/" + file)), "eight,nine");
        EXPECT_EQ(rows(path), "ten");
        ASSERT_TRUE(QDir(home.file("data")).removeRecursively());
        ASSERT_TRUE(QDir(home.path()).rename("data-old", "data"));
        ASSERT_TRUE(QFile::remove(home.file("data/moved-" + file)));
        ASSERT_TRUE(QFile::remove(path));
    }
}

TEST_F(RecordStoreTest, TxtFollowsTheExchangeFileWhileACollectionRuns)
{
    Target("TXT (*.txt)", home.file("data/a.txt"));
    settings.Com[1].ConnProtocol = "None";
    RecordStore &s = Store();
    exchange.file = home.file("data/exchange.txt");
    EXPECT_TRUE(s.StoreRecord("r1", 1)); // not active: Name
    exchange.active = true;
    EXPECT_TRUE(s.StoreRecord("r2", 1)); // File(1)
    exchange.file.clear();
    EXPECT_TRUE(s.StoreRecord("r3", 1)); // empty File(1): Name again
    EXPECT_EQ(readFile(Name()), QByteArray("r1\r\nr3\r\n"));
    EXPECT_EQ(readFile(home.file("data/exchange.txt")), QByteArray("r2\r\n"));

    // CSV targets never follow it; an unusable File(1) is refused.
    exchange.file = home.file("data");
    EXPECT_FALSE(s.StoreRecord("r4", 1));
    EXPECT_EQ(messenger.texts(), QStringList{kNotAvailable});
    Target("CSV (*.csv)", home.file("data/b.csv"));
    EXPECT_TRUE(s.StoreRecord("r5", 1));
    EXPECT_EQ(readFile(Name()), QByteArray("r5\r\n"));
}

// ------------------------------------------------------------ database kinds

struct DatabaseKind {
    const char *type;
    const char *file;
    const char *connect;
};

class DatabaseKindTest : public RecordStoreTest, public ::testing::WithParamInterface<DatabaseKind> {
protected:
    bool IsSqlite() const { return QByteArray(GetParam().type).startsWith("Access"); }
    QList<QStringList> Rows(const QString &path) const
    {
        return IsSqlite() ? test::SqliteRows(path) : test::DbaseRows(path);
    }
};

TEST_P(DatabaseKindTest, RowsRoundTripWithSplitAndCutRules)
{
    Target(GetParam().type, home.file(QStringLiteral("data/") + GetParam().file), "Append", ";");
    RecordStore &s = Store();

    EXPECT_TRUE(s.StoreRecord("1;22;;4", 1));
    const QByteArray longRecord = "K;" + QByteArray(60, 'y') + ";" + QByteArray(237, 'z'); // 300 characters
    EXPECT_TRUE(s.StoreRecord(longRecord, 1));
    EXPECT_TRUE(s.StoreRecord("caff\xe8;\xe8", 1));
    settings.DBMS[1].SepCode = "Space"; // never splits
    EXPECT_TRUE(s.StoreRecord("a b;c " + QByteArray(60, 'w'), 1));

    const auto rows = Rows(Name());
    ASSERT_EQ(rows.size(), 4);
    for (const QStringList &row : rows)
        ASSERT_EQ(row.size(), 21);
    EXPECT_EQ(rows[0].mid(0, 6), (QStringList{"1;22;;4", "1", "22", "", "4", ""}));
    EXPECT_EQ(rows[0].mid(5), QStringList(16, QString()));
    EXPECT_EQ(rows[1][0], QString::fromLatin1(longRecord.left(255)));
    EXPECT_EQ(rows[1][1], "K");
    EXPECT_EQ(rows[1][2], QString(50, 'y'));
    EXPECT_EQ(rows[1][3], QString(50, 'z'));
    EXPECT_EQ(rows[2][1], QString::fromUtf8("caff\xc3\xa8"));
    EXPECT_EQ(rows[2][2], QString::fromUtf8("\xc3\xa8"));
    EXPECT_EQ(rows[3][0], "a b;c " + QString(60, 'w'));
    EXPECT_EQ(rows[3][1], ("a b;c " + QString(60, 'w')).left(50));
    EXPECT_EQ(rows[3][2], "");
    if (IsSqlite()) {
        // A field the record does not have is NULL, an empty one too, also
        // after a row that had it.
        QProcess nulls;
        nulls.start("sqlite3", {Name(),
                                "SELECT group_concat(n) FROM (SELECT Field3 IS NULL AS n FROM Vendrix "
                                "ORDER BY rowid)"});
        ASSERT_TRUE(nulls.waitForFinished(10000));
        EXPECT_EQ(nulls.readAllStandardOutput().trimmed().toStdString(), "1,0,1,1");
    }

    // The engine state the window shows: the last row and its binding.
    EXPECT_EQ(s.DBMSField(1)[0], rows[3][0]);
    EXPECT_EQ(s.DBMSField(1)[1], rows[3][1]);
    EXPECT_EQ(s.LastSplit()[1], "a b;c " + QByteArray(60, 'w'));
    const auto binding = s.Binding(1);
    EXPECT_EQ(binding.Connect, GetParam().connect);
    if (IsSqlite()) {
        EXPECT_EQ(binding.DatabaseName, Name());
        EXPECT_EQ(binding.RecordSource, "Vendrix");
    } else {
        EXPECT_EQ(binding.DatabaseName, home.file("data/"));
        EXPECT_EQ(binding.RecordSource, GetParam().file);
    }
    // At the end of the transfer nothing is left beside the target: no
    // journal or write-ahead log, no code-page file; an SQLite target is
    // back to a plain rollback journal (file format bytes 1 and 1).
    EXPECT_TRUE(s.SyncTarget(1));
    EXPECT_EQ(QDir(home.file("data")).entryList(QDir::Files), QStringList{GetParam().file});
    if (IsSqlite()) {
        EXPECT_EQ(readFile(Name()).mid(18, 2), QByteArray("\x01\x01"));
    }
    EXPECT_TRUE(messenger.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, DatabaseKindTest,
                         ::testing::Values(DatabaseKind{"Access 2.0 (*.mdb)", "Store.mdb", "Access"},
                                           DatabaseKind{"Dbase III (*.dbf)", "Store.dbf", "dBASE III"},
                                           DatabaseKind{"Dbase IV (*.dbf)", "Store.dbf", "dBASE IV"},
                                           DatabaseKind{"Dbase 5 (*.dbf)", "Store.dbf", "dBASE 5.0"}),
                         [](const auto &p) {
                             return std::string(p.param.connect).substr(0, 5) + std::to_string(p.index);
                         });

TEST_F(RecordStoreTest, TemplatesAreEmptyTablesForIndependentReaders)
{
    const QString dir = test::programDir();
    EXPECT_TRUE(test::SqliteRows(dir + "/mdb2.mdb").isEmpty());
    QStringList columns{"allrek"};
    for (int i = 1; i <= 20; ++i)
        columns << QStringLiteral("field%1").arg(i);
    for (const char *name : {"db3.dbf", "db4.dbf", "db5.dbf"}) {
        EXPECT_EQ(test::DbaseColumns(dir + '/' + name), columns) << name;
        EXPECT_TRUE(test::DbaseRows(dir + '/' + name).isEmpty()) << name;
    }
}

TEST_F(RecordStoreTest, DbaseTableIsTheExactFileNamed)
{
    // Any extension, any case: the named file is the table, and no other
    // file is created or removed beside it.
    Target("Dbase III (*.dbf)", home.file("data/ORDERS.tab"));
    writeFile(home.file("data/ORDERS.cpg"), "keep");
    RecordStore &s = Store();
    EXPECT_TRUE(s.StoreRecord("row", 1));
    EXPECT_EQ(QDir(home.file("data")).entryList(QDir::Files), (QStringList{"ORDERS.cpg", "ORDERS.tab"}));
    EXPECT_EQ(readFile(home.file("data/ORDERS.cpg")), "keep");
    QFile::copy(Name(), home.file("copy.dbf"));
    const auto rows = test::DbaseRows(home.file("copy.dbf"));
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0][0], "row");

    // A name without a folder part binds no table: the record is refused.
    QTemporaryDir cwd;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(cwd.path());
    Target("Dbase IV (*.dbf)", "Loose.dbf");
    EXPECT_FALSE(s.StoreRecord("row", 1));
    EXPECT_EQ(s.Binding(1).Connect, "dBASE IV");
    EXPECT_TRUE(s.Binding(1).RecordSource.isEmpty());
    EXPECT_TRUE(logLines.join('\n').contains("no table is bound")) << qPrintable(logLines.join('\n'));
    QDir::setCurrent(previous);
}

// ------------------------------------------------------------------ policies

TEST_F(RecordStoreTest, AppendKeepsEverythingUnlessAlwaysOverwrite)
{
    Target("TXT (*.txt)", home.file("data/a.txt"));
    writeFile(Name(), "old\r\n");
    Store();
    Transfer({"r1"});
    Transfer({"r2"});
    EXPECT_EQ(readFile(Name()), QByteArray("old\r\nr1\r\nr2\r\n"));

    // AlwaysOverwrite: every "BOF" recreates, unless the reception forbids it.
    settings.DBMS[1].AlwaysOverwrite = "1";
    Transfer({"r3", "r4"});
    EXPECT_EQ(readFile(Name()), QByteArray("r3\r\nr4\r\n"));
    store->OverwriteAllowed = false;
    Transfer({"r5"});
    EXPECT_EQ(readFile(Name()), QByteArray("r3\r\nr4\r\nr5\r\n"));
}

TEST_F(RecordStoreTest, OverWriteRecreatesOnlyAtTheFirstRecordOfTheRun)
{
    Target("TXT (*.txt)", home.file("data/a.txt"), "OverWrite");
    writeFile(Name(), "old\r\n");
    Store();
    Transfer({"r1", "r2"});
    Transfer({"r3"});
    EXPECT_EQ(readFile(Name()), QByteArray("r1\r\nr2\r\nr3\r\n"));

    // A "BOF" whose recreation succeeds: the records are appended after it.
    settings.DBMS[1].AlwaysOverwrite = "1";
    Transfer({"r4", "r5"});
    EXPECT_EQ(readFile(Name()), QByteArray("r4\r\nr5\r\n"));

    // A "BOF" whose recreation fails: the first record tries again.
    settings.Com[1].Port = "None";
    store->BeginTransfer(1);
    EXPECT_TRUE(store->FirstRecord[1]);
    EXPECT_EQ(readFile(Name()), QByteArray("r4\r\nr5\r\n"));
    settings.Com[1].Port = "Com1";
    EXPECT_TRUE(store->StoreRecord("r6", 1));
    EXPECT_TRUE(store->StoreRecord("r7", 1));
    EXPECT_FALSE(store->FirstRecord[1]);
    EXPECT_EQ(readFile(Name()), QByteArray("r6\r\nr7\r\n"));
}

TEST_F(RecordStoreTest, NewFileMovesEachRequestedTransferToItsOwnName)
{
    Target("TXT (*.txt)", home.file("data/VdxPC.txt"), "NewFile");
    Store();
    clock.setTimeOfDay(QTime(9, 3, 7));
    Transfer({"r1", "r2"});
    EXPECT_FALSE(QFile::exists(Name()));
    EXPECT_EQ(readFile(home.file("data/VdxPC_090307.txt")), QByteArray("r1\r\nr2\r\n"));

    // Same second: a counter, never the earlier transfer overwritten.
    Transfer({"r3"});
    EXPECT_EQ(readFile(home.file("data/VdxPC_090307.txt")), QByteArray("r1\r\nr2\r\n"));
    EXPECT_EQ(readFile(home.file("data/VdxPC_090307_2.txt")), QByteArray("r3\r\n"));

    // A transfer the terminal started itself stays in place; the next "BOF"
    // moves it to its own name before the target is made again.
    Transfer({"r4"}, false);
    EXPECT_EQ(readFile(Name()), QByteArray("r4\r\n"));
    Transfer({"r5"}, false);
    EXPECT_EQ(readFile(Name()), QByteArray("r5\r\n"));
    EXPECT_EQ(readFile(home.file("data/VdxPC_090307_3.txt")), QByteArray("r4\r\n"));
    EXPECT_EQ(QDir(home.file("data")).entryList(QDir::Files).size(), 4);
}

TEST_F(RecordStoreTest, NewFileRereadsTheTargetsAtTheFirstRecord)
{
    Target("Access 2.0 (*.mdb)", home.file("data/first.mdb"), "NewFile");
    Store();
    // Another program changed the stored target since start-up.
    ini.write(DbmsSection(1), "Name", home.file("data/second.mdb"));
    EXPECT_TRUE(store->StoreRecord("r1", 1));
    EXPECT_EQ(Name(), home.file("data/second.mdb"));
    EXPECT_FALSE(QFile::exists(home.file("data/first.mdb")));
    store->EndTransfer(1);
    clock.setTimeOfDay(QTime(23, 59, 58));
    Transfer({"r2"});
    const auto first = test::SqliteRows(home.file("data/second_000000.mdb"));
    const auto second = test::SqliteRows(home.file("data/second_235958.mdb"));
    ASSERT_EQ(first.size(), 1);
    ASSERT_EQ(second.size(), 1);
    EXPECT_EQ(first[0][0], "r1");
    EXPECT_EQ(second[0][0], "r2");
}

// -------------------------------------------------------- creation and faults

TEST_F(RecordStoreTest, CreaDBTouchesNothingOnAnUnusedSerialChannel)
{
    Target("Dbase 5 (*.dbf)", home.file("data/two.dbf"), "Append", "None", "0", 2);
    writeFile(Name(2), "not a table");
    RecordStore &s = Store();
    ASSERT_EQ(settings.Com[2].Port, "None");
    EXPECT_FALSE(s.CreaDB(2));
    EXPECT_EQ(readFile(Name(2)), "not a table");
    QFile::remove(Name(2));
    EXPECT_FALSE(s.StoreRecord("r", 2));
    EXPECT_FALSE(QFile::exists(Name(2)));

    // A TCP channel is in use whatever its port says.
    settings.Com[2].ConnType = "TCP";
    EXPECT_TRUE(s.CreaDB(2));
    EXPECT_EQ(readFile(Name(2)), readFile(test::programDir() + "/db5.dbf"));
    EXPECT_TRUE(s.StoreRecord("r", 2));
    EXPECT_EQ(test::DbaseRows(Name(2)).size(), 1);
    EXPECT_TRUE(messenger.shown.empty());
}

TEST_F(RecordStoreTest, FailuresShowTheirMessageAndReportFalse)
{
    RecordStore &s = Store();
    // Target that cannot be opened for appending when it is recreated.
    Target("TXT (*.txt)", home.file("missing/folder/a.txt"), "OverWrite");
    EXPECT_FALSE(s.CreaDB(1));
    EXPECT_FALSE(s.StoreRecord("r", 1));
    ASSERT_EQ(messenger.shown.size(), 2u);
    EXPECT_EQ(messenger.shown[0].text,
              "Warning, selected download file (index =  1) not available. Choose another one.");
    EXPECT_EQ(messenger.shown[0].icon, MsgIcon::Critical);
    // The kept box names nothing: the channel's log names the file, the
    // cause and the setting to change.
    EXPECT_TRUE(logLines.join('\n').contains(QStringLiteral("The target %1 is not available: No such file or directory")
                                                 .arg(home.file("missing/folder/a.txt"))))
        << qPrintable(logLines.join('\n'));
    EXPECT_TRUE(logLines.join('\n').contains("choose another Name in [DBMS(1)]")) << qPrintable(logLines.join('\n'));

    // A missing template.
    messenger.clear();
    QTemporaryDir emptyProgramDir;
    RecordStore &bare = Store(emptyProgramDir.path());
    Target("Access 2.0 (*.mdb)", home.file("data/a.mdb"));
    EXPECT_FALSE(bare.CreaDB(1));
    EXPECT_EQ(messenger.texts(), QStringList{kCannotCreate});
    EXPECT_EQ(messenger.shown[0].icon, MsgIcon::Critical);
    EXPECT_FALSE(QFile::exists(Name()));
    writeFile(Name(), "earlier rows"); // not deleted for nothing
    EXPECT_FALSE(bare.CreaDB(1));
    EXPECT_EQ(readFile(Name()), "earlier rows");

    // A read-only installed template still gives a writable target, and
    // the template's world-readable mode is not carried over: the target
    // gets what the umask gives a new file.
    QFile::copy(test::programDir() + "/mdb2.mdb", emptyProgramDir.path() + "/mdb2.mdb");
    QFile(emptyProgramDir.path() + "/mdb2.mdb").setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadOther);
    const mode_t umaskBefore = ::umask(027);
    const bool created = bare.CreaDB(1);
    ::umask(umaskBefore);
    EXPECT_TRUE(created);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(Name()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_TRUE(test::SqliteRows(Name()).isEmpty());
    // Something that is not a database is refused, not reported as stored.
    writeFile(Name(), "plain text");
    EXPECT_FALSE(bare.StoreRecord("r", 1));
    EXPECT_EQ(readFile(Name()), "plain text");
}

TEST_F(RecordStoreTest, TargetThatCannotBeAppendedToAtWriteTime)
{
    // A file that can be read but not opened for appending; for root a
    // read-only kernel attribute file.
    QString name = home.file("data/readonly.txt");
    writeFile(name, "kept\r\n");
    QFile(name).setPermissions(QFileDevice::ReadOwner);
    if (::geteuid() == 0)
        name = "/sys/devices/system/cpu/online";
    if (!QFile(name).open(QIODevice::ReadOnly) || QFile(name).open(QIODevice::Append))
        GTEST_SKIP() << "no file here that is readable but refuses appending";
    Target("TXT (*.txt)", name);
    RecordStore &s = Store();
    EXPECT_FALSE(s.StoreRecord("r", 1));
    EXPECT_EQ(messenger.texts(), QStringList{kNotAvailable});
    EXPECT_EQ(messenger.shown[0].icon, MsgIcon::Critical);
    EXPECT_TRUE(s.FirstRecord[1]);
}

TEST_F(RecordStoreTest, ErpTargetIsNeverRecreatedAndNeedsItsBridge)
{
    Target("Zucchetti", home.file("data/erp.db"), "NewFile", "None", "1");
    RecordStore &s = Store();
    // Missing database: message, the program ends, no empty file appears.
    s.BeginTransfer(1);
    EXPECT_EQ(messenger.texts(), QStringList{kErpMissing});
    EXPECT_EQ(exitCode, kExitSettings);
    EXPECT_FALSE(QFile::exists(Name()));

    // No bridge: the record is refused with a log line.
    writeFile(Name(), "erp");
    messenger.clear();
    EXPECT_FALSE(s.StoreRecord("r1", 1));
    EXPECT_TRUE(logLines.join('\n').contains("no ERP bridge")) << qPrintable(logLines.join('\n'));

    // With a bridge: the record without its check characters; never
    // deleted, recreated or moved whatever the policy.
    withErp = true;
    RecordStore &bridged = Store();
    clock.setTimeOfDay(QTime(10, 0, 0));
    bridged.BeginTransfer(1);
    EXPECT_TRUE(bridged.StoreRecord("ABC", 1));
    erp.accept = false;
    EXPECT_FALSE(bridged.StoreRecord("DEF", 1));
    bridged.EndTransfer(1);
    EXPECT_EQ(erp.calls, (QStringList{"ABC|" + Name() + "|1", "DEF|" + Name() + "|1"}));
    EXPECT_EQ(readFile(Name()), "erp");
    EXPECT_EQ(QDir(home.file("data")).entryList(QDir::Files), QStringList{"erp.db"});
    EXPECT_TRUE(messenger.shown.empty());
}

TEST_F(RecordStoreTest, SyncTargetSyncsWhatTheChannelWrote)
{
    RecordStore &s = Store();
    EXPECT_TRUE(s.SyncTarget(1)); // nothing written yet

    Target("CSV (*.csv)", home.file("data/a.csv"), "NewFile");
    Transfer({"r1"}, false);
    Target("Dbase IV (*.dbf)", home.file("data/b.dbf"), "Append", "None", "0", 2);
    settings.Com[2].ConnType = "TCP";
    Transfer({"r2"}, false, 2);
    EXPECT_TRUE(s.SyncTarget(1));
    EXPECT_TRUE(s.SyncTarget(2));

    // It syncs the very file written: one that vanished is reported.
    EXPECT_TRUE(s.StoreRecord("r3", 2));
    QFile::remove(Name(2));
    EXPECT_FALSE(s.SyncTarget(2));
    EXPECT_TRUE(logLines.join('\n').contains("Cannot sync")) << qPrintable(logLines.join('\n'));

    // EndTransfer syncs before it moves the file: nothing is left pending.
    EXPECT_TRUE(s.StoreRecord("r4", 1));
    s.EndTransfer(1);
    EXPECT_FALSE(QFile::exists(Name()));
    EXPECT_TRUE(s.SyncTarget(1));
}

// A target renamed again and again during a transfer: each file the writer
// let go is synced at once (the log says where it went) and its descriptor
// closed, so the channel holds no descriptor per renamed file; the transfer
// still ends synced.
TEST_F(RecordStoreTest, RenamedTargetIsSyncedWhenLetGo)
{
    for (const QString &type : {QStringLiteral("TXT (*.txt)"), QStringLiteral("Dbase IV (*.dbf)")}) {
        SCOPED_TRACE(type.toStdString());
        const QString path = home.file(type.startsWith('T') ? "data/r.txt" : "data/r.dbf");
        Target(type, path);
        RecordStore &s = Store();
        logLines.clear();
        s.BeginTransfer(1);
        constexpr int kRenames = 40;
        for (int i = 0; i < kRenames; ++i) {
            ASSERT_TRUE(s.StoreRecord("r" + QByteArray::number(i), 1));
            ASSERT_TRUE(QFile::rename(path, path + QLatin1Char('.') + QString::number(i)));
        }
        ASSERT_TRUE(s.StoreRecord("last", 1));
        EXPECT_LE(DescriptorsUnder(home.file("data")), 2);
        EXPECT_EQ(logLines.filter(" during the transfer: the records written before the move are there, synced").size(),
                  kRenames)
            << qPrintable(logLines.join('\n'));
        EXPECT_TRUE(s.SyncTarget(1));
        EXPECT_EQ(DescriptorsUnder(home.file("data")), 0);
        store.reset();
    }
}

} // namespace
