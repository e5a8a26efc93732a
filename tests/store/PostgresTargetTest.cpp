// The "PostgreSQL" target against a real server that the test starts itself
// (a fresh cluster on a free port on 127.0.0.1): rows and their columns,
// transfer numbers, the table made when missing, targets that cannot be
// written, an outage, and an event loop that never waits for the server.
#include "store/PostgresTarget.h"
#include "PgServer.h"
#include "TestSupport.h"
#include "platform/CheckCharacters.h"
#include "platform/Clock.h"
#include "platform/Messenger.h"
#include "settings/IniStore.h"
#include "store/RecordStore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>
#include <gtest/gtest.h>

using namespace vx;
using vx::test::PgServer;
using vx::test::waitUntil;

namespace {

// One server for the whole program. A server that cannot be started fails
// every test that needs it.
PgServer &Server()
{
    return PgServer::Shared();
}

#define REQUIRE_SERVER() ASSERT_TRUE(Server().isReady()) << "PostgreSQL server: " << Server().errorText().toStdString()


class PostgresStoreTest : public ::testing::Test {
protected:
    PostgresStoreTest()
    {
        for (int n = 1; n <= 4; ++n) {
            settings.Com[n].ConnType = QStringLiteral("TCP");
            settings.Com[n].ConnProtocol = QStringLiteral("ACK/NAK");
        }
        ini.write(MiscSection(), QStringLiteral("CollectorName"), QStringLiteral("dock-3"));
    }

    RecordStore &Store()
    {
        SaveSettings(ini, settings);
        RecordStore::Context context{settings, ini, messenger, clock, test::programDir()};
        context.log = [this](const QString &line, int n) { logLines << QStringLiteral("%1: %2").arg(n).arg(line); };
        store = std::make_unique<RecordStore>(context);
        return *store;
    }

    void Target(int n, const QString &name, const QString &policy = QStringLiteral("Append"),
                const QString &sep = QStringLiteral(";"))
    {
        settings.DBMS[n] = StoreSettings{QStringLiteral("PostgreSQL"), name, policy, sep, QStringLiteral("0")};
    }

    // Stores one record and waits for its answer: 1 committed, 0 refused,
    // -1 no answer in time. *ms: how long the answer took.
    // The answer never comes inside the call that asks for it (the caller
    // is in the middle of reading the channel).
    int StoreAndWait(const QByteArray &record, int n = 1, qint64 *ms = nullptr)
    {
        int result = -1;
        bool returned = false;
        QElapsedTimer t;
        t.start();
        store->StoreRecordLater(record, n, [&result, &returned](bool ok) {
            EXPECT_TRUE(returned) << "answered inside the call";
            result = ok ? 1 : 0;
        });
        returned = true;
        waitUntil([&] { return result >= 0; }, PostgresTarget::AnswerWithinMs + 5000);
        if (ms)
            *ms = t.elapsed();
        return result;
    }

    QStringList LinesWith(const QString &text) const { return logLines.filter(text); }

    test::TempHome home;
    IniStore ini{home.file("Vendrix.ini")};
    Settings settings = Settings::defaults();
    ScriptedMessenger messenger;
    ManualClock clock;
    QStringList logLines;
    std::unique_ptr<RecordStore> store;
};

TEST_F(PostgresStoreTest, EachRecordIsOneCommittedRowWithItsColumns)
{
    REQUIRE_SERVER();
    Server().query(
        QStringLiteral("DROP TABLE IF EXISTS vendrix_records; DROP SEQUENCE IF EXISTS vendrix_transfer_seq"));
    Target(1, Server().connInfo(), QStringLiteral("NewFile"));
    RecordStore &s = Store();
    const QString folderBefore = QDir::currentPath();
    ASSERT_TRUE(s.CreaDB(1));
    ASSERT_TRUE(waitUntil([&] { return !LinesWith(QStringLiteral("connected")).isEmpty(); }, 10000))
        << logLines.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(LinesWith(QStringLiteral("table vendrix_records created")).size(), 1);
    // A shared server's rows are never deleted: "NewFile" appends, and says so.
    EXPECT_EQ(LinesWith(QStringLiteral("Policy \"NewFile\" on a PostgreSQL target: records are appended")).size(), 1);

    const QByteArray longRecord = "L;" + QByteArray(60, 'x') + ";" + QByteArray(300, 'y');
    s.BeginTransfer(1);
    EXPECT_EQ(StoreAndWait("A1;22;;4"), 1);
    EXPECT_EQ(StoreAndWait("caf\xe9;\xb0"
                           "C"),
              1); // single-byte text beyond ASCII
    s.EndTransfer(1);
    s.BeginTransfer(1);
    EXPECT_EQ(StoreAndWait(longRecord), 1);
    EXPECT_EQ(StoreAndWait("plain"), 1);

    const QStringList rows = Server().query(QStringLiteral(
        "SELECT collector, channel, allrek, field1, field2, field3, field4, field5, length(field2), length(allrek)"
        " FROM vendrix_records ORDER BY id"));
    ASSERT_EQ(rows.size(), 4);
    EXPECT_EQ(rows[0], QStringLiteral("dock-3|1|A1;22;;4|A1|22||4||2|8"));
    EXPECT_EQ(rows[1], QStringLiteral("dock-3|1|caf\u00e9;\u00b0C|caf\u00e9|\u00b0C||||2|7"));
    // The split and the limits of the other database kinds: the whole record
    // cut to 255 characters, each field to 50.
    EXPECT_EQ(rows[2], QStringLiteral("dock-3|1|%1|L|%2|%3|||50|255")
                           .arg(QString::fromLatin1(longRecord.left(255)), QString(50, QLatin1Char('x')),
                                QString(50, QLatin1Char('y'))));
    // One transfer number per BOF, the same for every record of the transfer.
    const QStringList transfers = Server().query(QStringLiteral("SELECT transfer FROM vendrix_records ORDER BY id"));
    ASSERT_EQ(transfers.size(), 4);
    EXPECT_EQ(transfers[0], transfers[1]);
    EXPECT_EQ(transfers[2], transfers[3]);
    EXPECT_NE(transfers[1], transfers[2]);
    // The record's number in its transfer: with collector, channel and
    // transfer, the row's own key.
    EXPECT_EQ(Server().query(QStringLiteral("SELECT record_no FROM vendrix_records ORDER BY id")),
              QStringList({"1", "2", "1", "2"}));
    // The indexes a reader needs, and the key's.
    EXPECT_EQ(Server().value(QStringLiteral("SELECT count(*) FROM pg_indexes WHERE tablename = 'vendrix_records'")),
              QStringLiteral("4"));
    // No file was made from the connection string, whatever the policy.
    EXPECT_TRUE(QDir(folderBefore).entryList({QStringLiteral("host=*")}).isEmpty());
    EXPECT_TRUE(logLines.filter(PgServer::Password()).isEmpty()) << "a password reached the log";
}

// The collector's name and the channel are written into the insert itself:
// a name with quotes, backslashes or letters beyond ASCII is stored exactly
// as it is, and cannot end the statement's text early.
TEST_F(PostgresStoreTest, CollectorNamesAreStoredExactlyWhateverTheyHold)
{
    REQUIRE_SERVER();
    const QString names[] = {QStringLiteral("O'Brien's dock"), QStringLiteral("back\\slash \\' x"),
                             QStringLiteral("caf\u00e9'); DROP TABLE vendrix_records; --")};
    for (const QString &name : names) {
        SCOPED_TRACE(name.toStdString());
        Server().query(QStringLiteral("DELETE FROM vendrix_records"));
        ini.write(MiscSection(), QStringLiteral("CollectorName"), name);
        Target(3, Server().connInfo());
        RecordStore &s = Store();
        s.BeginTransfer(3);
        ASSERT_EQ(StoreAndWait("A;B", 3), 1) << logLines.join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(Server().query(QStringLiteral("SELECT collector, channel, allrek, field2 FROM vendrix_records")),
                  QStringList{name + QStringLiteral("|3|A;B|B")});
    }
}

// Targets that cannot be written: each is refused with one clear line in the
// channel's log, within the answer time, while the caller's event loop and
// another channel go on; nothing reaches the table.
TEST_F(PostgresStoreTest, TargetsThatCannotBeWrittenRefuseWithOneClearMessage)
{
    REQUIRE_SERVER();
    // The table exists (made by the owner), so the role without rights meets
    // it rather than the schema.
    {
        Target(1, Server().connInfo());
        Store();
        ASSERT_EQ(StoreAndWait("setup"), 1) << logLines.join(QLatin1Char('\n')).toStdString();
    }
    QTcpServer silent; // accepts connections, never says a word
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));

    struct Case {
        const char *label;
        QString name;
        const char *expected;
    };
    const Case cases[] = {
        {"unparsable", QStringLiteral("host=127.0.0.1 password='%1").arg(PgServer::Password()),
         "the connection string in Name cannot be read"},
        {"wrong password",
         Server().connInfo(QStringLiteral("vx_writer"), QStringLiteral("warehouse"),
                           QStringLiteral("wrong-%1").arg(PgServer::Password())),
         "password authentication failed"},
        {"missing database", Server().connInfo(QStringLiteral("vx_writer"), QStringLiteral("nosuchdb")),
         "database \"nosuchdb\" does not exist"},
        {"role without rights", Server().connInfo(QStringLiteral("vx_reader")),
         "role \"vx_reader\" may not write table vendrix_records"},
        {"silent server",
         QStringLiteral("postgresql://vx_writer:%1@127.0.0.1:%2/warehouse")
             .arg(PgServer::Password())
             .arg(silent.serverPort()),
         "did not complete the connection in time"},
    };
    const QString rowsBefore = Server().value(QStringLiteral("SELECT count(*) FROM vendrix_records"));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        logLines.clear();
        Target(1, c.name);
        settings.DBMS[2] = StoreSettings{QStringLiteral("TXT (*.txt)"), home.file("ch2.txt"), QStringLiteral("Append"),
                                         QStringLiteral("None"), QStringLiteral("0")};
        RecordStore &s = Store();
        int ticks = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
        timer.start(20);
        for (int i = 0; i < 3; ++i) {
            int result = -1;
            QElapsedTimer t;
            t.start();
            s.StoreRecordLater("R" + QByteArray::number(i), 1, [&result](bool ok) { result = ok ? 1 : 0; });
            // Another channel stores while this one waits.
            EXPECT_TRUE(s.StoreRecord("other" + QByteArray::number(i), 2));
            ASSERT_TRUE(waitUntil([&] { return result >= 0; }, PostgresTarget::AnswerWithinMs + 3000));
            EXPECT_EQ(result, 0) << "refused";
            EXPECT_LE(t.elapsed(), PostgresTarget::AnswerWithinMs + 1500);
        }
        timer.stop();
        // The event loop kept turning while the target worked.
        EXPECT_GE(ticks, 10);
        const QStringList refusals = LinesWith(QStringLiteral("Records are refused"));
        ASSERT_EQ(refusals.size(), 1) << logLines.join(QLatin1Char('\n')).toStdString();
        EXPECT_TRUE(refusals.first().contains(QLatin1String(c.expected))) << refusals.first().toStdString();
        EXPECT_TRUE(logLines.filter(PgServer::Password()).isEmpty()) << logLines.join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(test::readFile(home.file("ch2.txt")).count("\r\n"), 3);
        QFile::remove(home.file("ch2.txt"));
        store.reset();
    }
    EXPECT_EQ(Server().value(QStringLiteral("SELECT count(*) FROM vendrix_records")), rowsBefore);
}

TEST_F(PostgresStoreTest, AnOutageIsLoggedOnceAndCollectionGoesOnWhenTheServerIsBack)
{
    REQUIRE_SERVER();
    Target(1, Server().connInfo());
    Store();
    ASSERT_EQ(StoreAndWait("before"), 1) << logLines.join(QLatin1Char('\n')).toStdString();
    ASSERT_TRUE(Server().stop()) << Server().errorText().toStdString();
    int refused = 0;
    qint64 longest = 0;
    for (int i = 0; i < 4; ++i) {
        qint64 ms = 0;
        refused += StoreAndWait("during" + QByteArray::number(i), 1, &ms) == 0;
        longest = std::max(longest, ms);
    }
    EXPECT_EQ(refused, 4);
    EXPECT_LE(longest, PostgresTarget::AnswerWithinMs + 1500);
    // Refusals are paced: a terminal that resends at once is not answered in
    // a tight loop.
    EXPECT_EQ(LinesWith(QStringLiteral("Records are refused")).size(), 1)
        << logLines.join(QLatin1Char('\n')).toStdString();
    ASSERT_TRUE(Server().startAgain()) << Server().errorText().toStdString();
    int result = 0;
    for (int i = 0; i < 10 && result != 1; ++i)
        result = StoreAndWait("after");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(LinesWith(QStringLiteral("collection goes on")).size(), 1)
        << logLines.join(QLatin1Char('\n')).toStdString();
    // The server ends the idle connection (an administrator, a restart):
    // the next record goes on a fresh one and is stored, with no refusal.
    ASSERT_EQ(Server().value(QStringLiteral("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE "
                                            "application_name = 'vendrix'")),
              QStringLiteral("1"));
    waitUntil([] { return false; }, 200);
    EXPECT_EQ(StoreAndWait("fresh"), 1);
    EXPECT_EQ(LinesWith(QStringLiteral("Records are refused")).size(), 1)
        << logLines.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(Server().value(QStringLiteral("SELECT count(*) FROM vendrix_records WHERE allrek LIKE 'during%'")),
              QStringLiteral("0"));
    EXPECT_EQ(Server().value(QStringLiteral("SELECT count(*) FROM vendrix_records WHERE allrek = 'after'")),
              QStringLiteral("1"));
}

TEST(PostgresTargetText, ConnectionStringsAreDescribedWithoutTheirPassword)
{
    struct Case {
        QString name;
        QString described;
        bool readable;
    };
    const Case cases[] = {
        {QStringLiteral("host=db port=5433 dbname=warehouse user=vendrix password=s3cret"),
         QStringLiteral("host=db port=5433 dbname=warehouse user=vendrix"), true},
        {QStringLiteral("postgresql://vendrix:s3cret@db/warehouse?sslmode=verify-full"),
         QStringLiteral("host=db dbname=warehouse user=vendrix"), true},
        {QStringLiteral("warehouse"), QStringLiteral("dbname=warehouse"), true},
        {QStringLiteral("host=db password='s3cret"), QStringLiteral("(unreadable connection string)"), false},
        {QStringLiteral("postgresql://vendrix:s3cret@db/warehouse?nosuchoption=s3cret"),
         QStringLiteral("(unreadable connection string)"), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        EXPECT_EQ(PostgresTarget::Describe(c.name), c.described);
        const QString error = PostgresTarget::ConnInfoError(c.name);
        EXPECT_EQ(error.isEmpty(), c.readable) << error.toStdString();
        EXPECT_FALSE(error.contains(QLatin1String("s3cret"))) << error.toStdString();
    }
}

} // namespace
