// A terminal's bytes arrive in every target kind as it sent them, and stay
// there through a power cut or a file moved away: the real program,
// headless, over TCP; the targets read back with sqlite3, Python's dbf
// module and psql (a PostgreSQL server of the test's own), and what reaches
// the disk when seen through strace attached to the running collector.
#include "../store/TableReaders.h"
#include "PgServer.h"
#include "TestSupport.h"
#include "VendrixProcess.h"
#include "platform/CheckCharacters.h"
#include "store/SqliteTable.h"
#include "tools/simterm/SimTerminal.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <memory>

using namespace vx::test;
using namespace vx::sim;
using Answer = SimTerminal::Answer;

namespace {

// Windows-1252 bytes: the euro sign, curly quotes, the five bytes the code
// page leaves undefined, a NUL and another control byte, a Latin-1 letter.
const QByteArray kRecord("EUR\x80;\x93q\x94;\x81\x8D\x8F\x90\x9D;nul\0x\x01;caf\xE9", 26);

// The same record as characters (the undefined bytes as the C1 controls of
// the same number).
QString RecordText()
{
    return QString::fromUtf16(u"EUR\u20AC;\u201Cq\u201D;\u0081\u008D\u008F\u0090\u009D;nul") + QChar(0)
           + QString::fromUtf16(u"x\u0001;caf\u00E9");
}

QByteArray RunTool(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.start(program, arguments);
    EXPECT_TRUE(p.waitForFinished(30000)) << program.toStdString();
    return p.readAllStandardOutput();
}

// The system calls of a running program, written by strace attached to it.
class Trace {
public:
    explicit Trace(QString file) : m_file(std::move(file)) {}
    ~Trace()
    {
        if (m_strace.state() != QProcess::NotRunning) {
            m_strace.terminate();
            m_strace.waitForFinished(5000);
        }
    }
    bool attach(qint64 pid)
    {
        m_strace.start(QStringLiteral("strace"),
                       {QStringLiteral("-f"), QStringLiteral("-yy"), QStringLiteral("-s"), QStringLiteral("0"),
                        QStringLiteral("-o"), m_file, QStringLiteral("-e"),
                        QStringLiteral("trace=write,pwrite64,writev,sendto,sendmsg,fsync,fdatasync,unlink,unlinkat,"
                                       "ftruncate"),
                        QStringLiteral("-p"), QString::number(pid)});
        return waitUntil(
            [&] {
                m_strace.waitForReadyRead(50);
                m_err += m_strace.readAllStandardError();
                return m_err.contains("attached");
            },
            10000);
    }
    // The calls, once the program has ended.
    QStringList calls()
    {
        m_strace.waitForFinished(10000);
        return QString::fromUtf8(readFile(m_file)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

private:
    QString m_file;
    QProcess m_strace;
    QByteArray m_err;
};

// The call's name and the file (or socket) of its first argument.
struct Call {
    QString name;
    QString fd; // the path strace shows for the descriptor, or the unlinked name
    QString line;
};
Call Parse(const QString &line)
{
    static const QRegularExpression call(QStringLiteral(R"(^\d+\s+(\w+)\((?:\d+<([^>]*)>|(?:AT_FDCWD, )?"([^"]*)\"))"));
    const QRegularExpressionMatch m = call.match(line);
    if (!m.hasMatch())
        return {};
    return {m.captured(1), m.captured(2).isEmpty() ? m.captured(3) : m.captured(2), line};
}
bool IsWrite(const Call &c)
{
    return c.name == QLatin1String("write") || c.name == QLatin1String("pwrite64") || c.name == QLatin1String("writev");
}
bool IsSync(const Call &c)
{
    return c.name == QLatin1String("fsync") || c.name == QLatin1String("fdatasync");
}
bool IsSend(const Call &c)
{
    return c.fd.startsWith(QLatin1String("TCP:"))
           && (IsWrite(c) || c.name == QLatin1String("sendto") || c.name == QLatin1String("sendmsg"));
}
// The position of the last answer to the terminal: the EOF's ACK.
qsizetype LastSend(const QList<Call> &calls)
{
    for (qsizetype i = calls.size() - 1; i >= 0; --i)
        if (IsSend(calls[i]))
            return i;
    return -1;
}

class RecordBytesE2E : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(terminal.listenTcp()); }

    void Start(const QString &type, const QString &name, const VendrixProcess::Ini &more = {})
    {
        vendrix = std::make_unique<VendrixProcess>(home.path());
        VendrixProcess::Ini ini = VendrixProcess::Merged(more, VendrixProcess::TcpChannel(1, terminal.tcpPort()));
        ini["DBMS(1)"].insert("Type", type);
        ini["DBMS(1)"].insert("Name", name);
        ini["DBMS(1)"].insert("SepCode", ";");
        ASSERT_TRUE(vendrix->writeIni(ini));
        ASSERT_TRUE(vendrix->start());
        ASSERT_TRUE(terminal.waitForConnected(15000)) << Output();
        ASSERT_TRUE(vendrix->waitForOutput("Collector ready", 15000)) << Output();
    }
    Answer Send(const QByteArray &line) { return terminal.sendAndWait(line).answer; }
    Answer Record(const QByteArray &text) { return Send(text + vx::XorChecksum(text)); }
    std::string Output() const { return vendrix->outputText().toStdString(); }
    // The collector's calls from now until it stops.
    void TraceFromNow()
    {
        trace = std::make_unique<Trace>(home.file(QStringLiteral("trace")));
        ASSERT_TRUE(trace->attach(vendrix->pid()));
    }
    QList<Call> StopAndTrace()
    {
        EXPECT_FALSE(vendrix->terminate().crashed);
        QList<Call> calls;
        for (const QString &line : trace->calls()) {
            const Call c = Parse(line);
            if (!c.name.isEmpty())
                calls << c;
        }
        return calls;
    }

    TempHome home;
    SimTerminal terminal;
    std::unique_ptr<VendrixProcess> vendrix;
    std::unique_ptr<Trace> trace;
};

// Every kind keeps the record so that its exact bytes can be had back, and
// the log shows its characters with the control bytes escaped.
struct KindCase {
    const char *name;
    const char *type;
    const char *file;
};
class RecordBytesKindE2E : public RecordBytesE2E, public ::testing::WithParamInterface<KindCase> {};

TEST_P(RecordBytesKindE2E, StoredSoTheExactBytesCanBeHadBack)
{
    const KindCase &k = GetParam();
    const QString type = QString::fromLatin1(k.type);
    const QString target = home.file(QString::fromLatin1(k.file));
    Start(type, target);
    ASSERT_EQ(Send("BOF"), Answer::Ack);
    ASSERT_EQ(Record(kRecord), Answer::Ack) << Output();
    ASSERT_EQ(Record("EUR\x80 \x93q\x94"), Answer::Ack);
    ASSERT_EQ(Send("EOF"), Answer::Ack);

    const QByteArray file = readFile(target);
    if (type.startsWith(QLatin1String("Access"))) {
        const QString out = QString::fromUtf8(
            RunTool(QStringLiteral("sqlite3"), {target, QStringLiteral("SELECT hex(AllRek) FROM Vendrix")}));
        EXPECT_EQ(out.split(QLatin1Char('\n'), Qt::SkipEmptyParts),
                  QStringList({QString::fromLatin1(RecordText().toUtf8().toHex().toUpper()),
                               QString::fromLatin1(
                                   QString::fromUtf16(u"EUR\u20AC \u201Cq\u201D").toUtf8().toHex().toUpper())}));
    } else if (type.startsWith(QLatin1String("Dbase"))) {
        // AllRek's bytes, whole, in a table marked Windows ANSI (language
        // driver 87). (Python's dbf module refuses to decode the undefined
        // bytes; its reading of the rows is checked where they are not.)
        ASSERT_GT(file.size(), 29);
        EXPECT_EQ(static_cast<unsigned char>(file.at(29)), 87);
        EXPECT_TRUE(file.contains(kRecord));
        EXPECT_TRUE(file.contains("EUR\x80 \x93q\x94"));
    } else {
        // CSV: the separator becomes a comma, every other byte stays.
        QByteArray expected = kRecord + "\r\nEUR\x80 \x93q\x94\r\n";
        if (type.startsWith(QLatin1String("CSV")))
            expected.replace(';', ',');
        EXPECT_EQ(file, expected);
    }

    const QByteArray log = readFile(vendrix->logPath());
    const QByteArray logged = QString::fromUtf16(
                                  u"IN   <- EUR\u20AC;\u201Cq\u201D;\\x81\\x8d\\x8f\\x90\\x9d;nul\\x00x\\x01;"
                                  u"caf\u00E9")
                                  .toUtf8();
    EXPECT_TRUE(log.contains(logged)) << log.toStdString();
    for (const char c : log)
        ASSERT_TRUE(static_cast<unsigned char>(c) >= 32 || c == '\r' || c == '\n' || c == '\t')
            << "control byte " << int(c) << " in the log";
}

INSTANTIATE_TEST_SUITE_P(Kinds, RecordBytesKindE2E,
                         ::testing::Values(KindCase{"Text", "TXT (*.txt)", "bytes.txt"},
                                           KindCase{"Csv", "CSV (*.csv)", "bytes.csv"},
                                           KindCase{"Dbase", "Dbase IV (*.dbf)", "bytes.dbf"},
                                           KindCase{"Sqlite", "Access 2.0 (*.mdb)", "bytes.mdb"}),
                         [](const auto &p) { return std::string(p.param.name); });

// An SQLite target never lets a power cut take rows: no page is written
// into the database and left unsynced when the write-ahead log is
// restarted (a checkpoint in the middle of a long transfer) or removed (the
// end of the transfer), and the rows are synced before the EOF's ACK.
TEST_F(RecordBytesE2E, SqliteRowsAreSyncedBeforeTheLogIsReusedAndBeforeTheEofIsAnswered)
{
    const QString target = home.file(QStringLiteral("power.mdb"));
    const QString wal = target + QStringLiteral("-wal");
    Start(QStringLiteral("Access 2.0 (*.mdb)"), target);
    TraceFromNow();
    ASSERT_EQ(Send("BOF"), Answer::Ack);
    // Enough rows, for long enough, for a checkpoint on the way: the log
    // past its checkpoint length and the pacing time over.
    QElapsedTimer sending;
    sending.start();
    int rows = 0;
    while (rows < vx::SqliteTable::kCheckpointPages + 500
           || sending.elapsed() < vx::SqliteTable::kCheckpointEveryMs + 300) {
        ++rows;
        ASSERT_EQ(Record("item;" + QByteArray::number(rows)), Answer::Ack);
    }
    ASSERT_EQ(Send("EOF"), Answer::Ack);
    const QList<Call> calls = StopAndTrace();

    bool dirty = false; // database pages written and not yet synced
    int restarts = 0;
    int unsafe = 0;
    qsizetype lastRow = -1;
    QString example;
    for (qsizetype i = 0; i < calls.size(); ++i) {
        const Call &c = calls[i];
        const bool reuse =
            (c.fd == wal && (c.name == QLatin1String("ftruncate") || c.name.startsWith(QLatin1String("unlink"))))
            || (c.fd == wal && c.name == QLatin1String("pwrite64") && c.line.contains(QLatin1String(", 0) =")));
        if (reuse) {
            restarts += c.name == QLatin1String("pwrite64") ? 1 : 0;
            if (dirty) {
                ++unsafe;
                example = c.line;
            }
        }
        if (c.fd == target && IsWrite(c))
            dirty = true;
        if (c.fd == target && IsSync(c))
            dirty = false;
        if (c.fd == wal && IsWrite(c))
            lastRow = i;
    }
    EXPECT_GE(restarts, 1) << "no checkpoint restarted the log in the transfer";
    EXPECT_EQ(unsafe, 0) << "the log was reused over unsynced database pages: " << example.toStdString();
    const qsizetype ack = LastSend(calls);
    ASSERT_GT(lastRow, 0);
    ASSERT_GT(ack, lastRow);
    bool synced = false;
    for (qsizetype i = lastRow + 1; i < ack; ++i)
        synced = synced || (IsSync(calls[i]) && (calls[i].fd == target || calls[i].fd == wal));
    EXPECT_TRUE(synced) << "no sync between the last row and the EOF's ACK";
    EXPECT_EQ(SqliteRows(target).size(), rows);
}

// A file target moved away in the middle of a transfer: the records written
// before the move are synced in the moved file (through a descriptor that
// followed it) before the EOF's ACK, the new file at the path too, and the
// log says where the file went.
class MovedTargetE2E : public RecordBytesE2E, public ::testing::WithParamInterface<KindCase> {};

TEST_P(MovedTargetE2E, RecordsBeforeTheMoveAreSyncedWhereTheFileIsNow)
{
    const KindCase &k = GetParam();
    const QString target = home.file(QString::fromLatin1(k.file));
    const QString moved = home.file(QStringLiteral("moved-") + QString::fromLatin1(k.file));
    Start(QString::fromLatin1(k.type), target);
    TraceFromNow();
    ASSERT_EQ(Send("BOF"), Answer::Ack);
    for (const char *r : {"a;1", "b;2", "c;3"})
        ASSERT_EQ(Record(r), Answer::Ack);
    ASSERT_EQ(::rename(QFile::encodeName(target).constData(), QFile::encodeName(moved).constData()), 0);
    for (const char *r : {"d;4", "e;5"})
        ASSERT_EQ(Record(r), Answer::Ack);
    ASSERT_EQ(Send("EOF"), Answer::Ack) << Output();
    EXPECT_TRUE(waitUntil([&] {
        return vendrix->outputText().contains(target + QStringLiteral(" was moved to ") + moved);
    })) << Output();
    const QList<Call> calls = StopAndTrace();

    const qsizetype ack = LastSend(calls);
    qsizetype movedSync = -1;
    qsizetype pathSync = -1;
    for (qsizetype i = 0; i < ack; ++i) {
        if (IsSync(calls[i]) && calls[i].fd == moved)
            movedSync = i;
        if (IsSync(calls[i]) && calls[i].fd == target)
            pathSync = i;
    }
    EXPECT_GE(movedSync, 0) << "the moved file was not synced before the EOF's ACK";
    EXPECT_GE(pathSync, 0) << "the new file was not synced before the EOF's ACK";

    if (QString::fromLatin1(k.type).startsWith(QLatin1String("Dbase"))) {
        EXPECT_EQ(AllRekColumn(QString::fromLatin1(k.type), moved), QStringList({"a;1", "b;2", "c;3"}));
        EXPECT_EQ(AllRekColumn(QString::fromLatin1(k.type), target), QStringList({"d;4", "e;5"}));
    } else {
        EXPECT_EQ(readFile(moved), QByteArray("a;1\r\nb;2\r\nc;3\r\n").replace(';', k.name[0] == 'C' ? ',' : ';'));
        EXPECT_EQ(readFile(target), QByteArray("d;4\r\ne;5\r\n").replace(';', k.name[0] == 'C' ? ',' : ';'));
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, MovedTargetE2E,
                         ::testing::Values(KindCase{"Text", "TXT (*.txt)", "moving.txt"},
                                           KindCase{"Csv", "CSV (*.csv)", "moving.csv"},
                                           KindCase{"Dbase", "Dbase IV (*.dbf)", "moving.dbf"}),
                         [](const auto &p) { return std::string(p.param.name); });

// PostgreSQL: the database's encoding decides what the connection sends.
// A UTF8 database gets the characters, WIN1252 and SQL_ASCII the bytes; a
// NUL is left out of the text and kept in rawrek; any other encoding is
// refused with a message that names it and what to use.
struct EncodingCase {
    const char *name;
    const char *encoding;
    bool characters; // the text columns hold the characters (else the bytes)
};
class PostgresBytesE2E : public RecordBytesE2E, public ::testing::WithParamInterface<EncodingCase> {
protected:
    static PgServer &Server()
    {
        PgServer &s = PgServer::Shared();
        return s;
    }
    // A database of the given encoding owned by the writing role.
    static QString Database(const char *encoding)
    {
        const QString name = QStringLiteral("enc_%1").arg(QString::fromLatin1(encoding).toLower());
        QString error;
        Server().query(QStringLiteral("DROP DATABASE IF EXISTS %1").arg(name), &error, QStringLiteral("postgres"));
        Server().query(QStringLiteral("CREATE DATABASE %1 ENCODING '%2' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0 "
                                      "OWNER vx_writer")
                           .arg(name, QString::fromLatin1(encoding)),
                       &error, QStringLiteral("postgres"));
        EXPECT_TRUE(error.isEmpty()) << error.toStdString();
        return name;
    }
};

TEST_P(PostgresBytesE2E, TextAsTheDatabaseKeepsItAndNulInRawrek)
{
    const EncodingCase &e = GetParam();
    ASSERT_TRUE(Server().isReady()) << Server().errorText().toStdString();
    const QString db = Database(e.encoding);
    Start(QStringLiteral("PostgreSQL"), Server().connInfo(QStringLiteral("vx_writer"), db));
    ASSERT_EQ(Send("BOF"), Answer::Ack);
    ASSERT_EQ(Record(kRecord), Answer::Ack) << Output();
    ASSERT_EQ(Record("EUR\x80 \x93q\x94"), Answer::Ack) << Output();
    ASSERT_EQ(Send("EOF"), Answer::Ack);

    QByteArray text = e.characters ? RecordText().toUtf8() : kRecord;
    text.replace('\0', QByteArrayView());
    const QByteArray plain =
        e.characters ? QString::fromUtf16(u"EUR\u20AC \u201Cq\u201D").toUtf8() : QByteArray("EUR\x80 \x93q\x94");
    const QStringList rows = Server().query(QStringLiteral("SELECT encode(convert_to(allrek, getdatabaseencoding()), "
                                                           "'hex'), coalesce(encode(rawrek, 'hex'), 'null') "
                                                           "FROM vendrix_records ORDER BY id"),
                                            nullptr, db);
    EXPECT_EQ(rows, QStringList({QString::fromLatin1(text.toHex() + "|" + kRecord.toHex()),
                                 QString::fromLatin1(plain.toHex() + "|null")}));
}

INSTANTIATE_TEST_SUITE_P(Encodings, PostgresBytesE2E,
                         ::testing::Values(EncodingCase{"Utf8", "UTF8", true},
                                           EncodingCase{"Win1252", "WIN1252", false},
                                           EncodingCase{"SqlAscii", "SQL_ASCII", false}),
                         [](const auto &p) { return std::string(p.param.name); });

TEST_F(RecordBytesE2E, PostgresDatabaseThatCannotHoldTheTextIsRefusedByName)
{
    PgServer &server = PgServer::Shared();
    ASSERT_TRUE(server.isReady()) << server.errorText().toStdString();
    QString error;
    server.query(QStringLiteral("DROP DATABASE IF EXISTS enc_latin1"), &error, QStringLiteral("postgres"));
    server.query(QStringLiteral("CREATE DATABASE enc_latin1 ENCODING 'LATIN1' LC_COLLATE 'C' LC_CTYPE 'C' "
                                "TEMPLATE template0 OWNER vx_writer"),
                 &error, QStringLiteral("postgres"));
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    Start(QStringLiteral("PostgreSQL"), server.connInfo(QStringLiteral("vx_writer"), QStringLiteral("enc_latin1")));
    ASSERT_EQ(Send("BOF"), Answer::Ack);
    EXPECT_EQ(Record("plain"), Answer::Nak);
    EXPECT_TRUE(waitUntil([&] {
        const QString out = vendrix->outputText();
        return out.contains(QStringLiteral("encoding is LATIN1")) && out.contains(QStringLiteral("UTF8"));
    })) << Output();
    EXPECT_EQ(
        server.value(QStringLiteral("SELECT to_regclass('vendrix_records') IS NULL"), QStringLiteral("enc_latin1")),
        QStringLiteral("t"));
}

// A table made before column rawrek existed gets it in place, its rows kept.
TEST_F(RecordBytesE2E, PostgresTableOfAnEarlierVersionIsUpgradedInPlace)
{
    PgServer &server = PgServer::Shared();
    ASSERT_TRUE(server.isReady()) << server.errorText().toStdString();
    QString error;
    server.query(QStringLiteral("DROP DATABASE IF EXISTS upgrade_db"), &error, QStringLiteral("postgres"));
    server.query(QStringLiteral("CREATE DATABASE upgrade_db ENCODING 'UTF8' TEMPLATE template0 OWNER vx_writer"),
                 &error, QStringLiteral("postgres"));
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    QString columns;
    for (int i = 1; i <= 20; ++i)
        columns += QStringLiteral(", field%1 text NOT NULL DEFAULT ''").arg(i);
    server.query(
        QStringLiteral("SET ROLE vx_writer; CREATE SEQUENCE vendrix_transfer_seq;"
                       "CREATE TABLE vendrix_records (id bigserial PRIMARY KEY, received_at timestamptz NOT NULL "
                       "DEFAULT now(), collector text NOT NULL, channel int NOT NULL, transfer bigint NOT NULL, "
                       "allrek text NOT NULL%1);"
                       "INSERT INTO vendrix_records (collector, channel, transfer, allrek) "
                       "VALUES ('old', 1, 1, 'kept')")
            .arg(columns),
        &error, QStringLiteral("upgrade_db"));
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();

    Start(QStringLiteral("PostgreSQL"), server.connInfo(QStringLiteral("vx_writer"), QStringLiteral("upgrade_db")));
    ASSERT_EQ(Send("BOF"), Answer::Ack);
    ASSERT_EQ(Record(QByteArray("a\0b", 3)), Answer::Ack) << Output();
    ASSERT_EQ(Send("EOF"), Answer::Ack);
    EXPECT_EQ(server.query(QStringLiteral("SELECT allrek, coalesce(encode(rawrek, 'hex'), 'null') FROM vendrix_records "
                                          "ORDER BY id"),
                           nullptr, QStringLiteral("upgrade_db")),
              QStringList({"kept|null", "ab|610062"}));
    EXPECT_TRUE(waitUntil([&] { return vendrix->outputText().contains(QStringLiteral("column rawrek added")); }))
        << Output();
}

} // namespace
