#include "store/PgConnector.h"
#include "store/PostgresTarget.h"
#include "store/RecordText.h"

#include <QObject>
#include <QRegularExpression>

#include <algorithm>
#include <array>
#include <cerrno>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vx {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Made in one transaction under an advisory lock, so collectors that start
// together do not trip over each other.
const char *const kCreateTable =
    "BEGIN;"
    "SELECT pg_advisory_xact_lock(861907340);"
    "CREATE SEQUENCE IF NOT EXISTS vendrix_transfer_seq;"
    "CREATE TABLE IF NOT EXISTS vendrix_records ("
    " id bigserial PRIMARY KEY,"
    " received_at timestamptz NOT NULL DEFAULT now(),"
    " collector text NOT NULL,"
    " channel int NOT NULL,"
    " transfer bigint NOT NULL,"
    " record_no int,"
    " allrek text NOT NULL,"
    " field1 text NOT NULL DEFAULT '', field2 text NOT NULL DEFAULT '', field3 text NOT NULL DEFAULT '',"
    " field4 text NOT NULL DEFAULT '', field5 text NOT NULL DEFAULT '', field6 text NOT NULL DEFAULT '',"
    " field7 text NOT NULL DEFAULT '', field8 text NOT NULL DEFAULT '', field9 text NOT NULL DEFAULT '',"
    " field10 text NOT NULL DEFAULT '', field11 text NOT NULL DEFAULT '', field12 text NOT NULL DEFAULT '',"
    " field13 text NOT NULL DEFAULT '', field14 text NOT NULL DEFAULT '', field15 text NOT NULL DEFAULT '',"
    " field16 text NOT NULL DEFAULT '', field17 text NOT NULL DEFAULT '', field18 text NOT NULL DEFAULT '',"
    " field19 text NOT NULL DEFAULT '', field20 text NOT NULL DEFAULT '',"
    " rawrek bytea);"
    "CREATE INDEX IF NOT EXISTS vendrix_records_received_at ON vendrix_records (received_at);"
    "CREATE INDEX IF NOT EXISTS vendrix_records_transfer ON vendrix_records (collector, channel, transfer);"
    "CREATE UNIQUE INDEX IF NOT EXISTS vendrix_records_key ON vendrix_records (collector, channel, transfer, "
    "record_no, allrek);"
    "COMMIT;";

// A table made before rows had their own key gets the column and its unique
// index in place; its rows stay (their record_no is NULL, which the index
// lets repeat). Under the same lock as the creation, with no statement time
// limit for the index over the rows already there.
const char *const kHasKey =
    "SELECT EXISTS (SELECT 1 FROM pg_attribute WHERE attrelid = 'vendrix_records'::regclass"
    " AND attname = 'record_no' AND NOT attisdropped)"
    " AND to_regclass('vendrix_records_key') IS NOT NULL";
const char *const kAddKey =
    "BEGIN;"
    "SET LOCAL statement_timeout = 0;"
    "SELECT pg_advisory_xact_lock(861907340);"
    "ALTER TABLE vendrix_records ADD COLUMN IF NOT EXISTS record_no int;"
    "CREATE UNIQUE INDEX IF NOT EXISTS vendrix_records_key ON vendrix_records (collector, channel, transfer, "
    "record_no, allrek);"
    "COMMIT;";

// The server itself gives up on a statement (a lock it waits for, a frozen
// disk before the commit) well inside the answer time, so a record answered
// NAK is one the server rolled back.
const char *const kSessionLimits = "SET statement_timeout = 1800; SET lock_timeout = 1500";

const char *const kCheckRights =
    "SELECT has_table_privilege('vendrix_records', 'INSERT')"
    " AND has_sequence_privilege(pg_get_serial_sequence('vendrix_records', 'id'), 'USAGE')"
    " AND has_sequence_privilege('vendrix_transfer_seq', 'USAGE'), current_user";

// A table made before column rawrek was there gets it, keeping its rows.
const char *const kHasRawColumn =
    "SELECT count(*) FROM pg_attribute WHERE attrelid = 'vendrix_records'::regclass"
    " AND attname = 'rawrek' AND NOT attisdropped";
const char *const kAddRawColumn =
    "BEGIN;"
    "SELECT pg_advisory_xact_lock(861907340);"
    "ALTER TABLE vendrix_records ADD COLUMN IF NOT EXISTS rawrek bytea;"
    "COMMIT;";

// The database encodings that hold the terminals' Windows-1252 text: UTF8
// gets the characters, WIN1252 and SQL_ASCII the bytes as they came.
enum class TextEncoding { Refused, Utf8, Bytes };
TextEncoding EncodingOf(const QByteArray &server)
{
    if (server == "UTF8")
        return TextEncoding::Utf8;
    if (server == "WIN1252" || server == "SQL_ASCII")
        return TextEncoding::Bytes;
    return TextEncoding::Refused;
}

// libpq's messages, on one line.
QString OneLine(const char *message)
{
    QString text = QString::fromUtf8(message).trimmed();
    text.replace(QRegularExpression(QStringLiteral("\\s*\\n\\s*")), QStringLiteral(" "));
    return text;
}

} // namespace

const char *PgConnector::InsertName(int variant)
{
    static const std::array<QByteArray, InsertVariants> names = [] {
        std::array<QByteArray, InsertVariants> n;
        for (int v = 0; v < InsertVariants; ++v)
            n[size_t(v)] = "vx_insert_" + QByteArray::number(v);
        return n;
    }();
    return names[size_t(variant)].constData();
}

// The insert: the row's columns, rawrek when the table has it, and the
// row's own key when the table has it (the record's number in its transfer
// and its text): a record resent after a commit whose outcome could not be
// known (the connection lost during it) finds its row there and makes no
// second one, while another record sent in its place is stored. Every
// column is named, so a field that is no parameter is the empty text
// whatever the table's defaults are.
std::string PgConnector::InsertStatement(const PgSession &session, int channel, int variant)
{
    const int fields = variant / 2;
    const bool raw = variant % 2 != 0;
    std::string columns = "collector, channel, transfer, allrek";
    std::string values =
        std::string(session.collectorLiteral.constData()) + ", " + std::to_string(channel) + ", $1, $2";
    int next = 3;
    for (int i = 1; i <= TargetLayout::ColumnCount - 1; ++i) {
        columns += ", field" + std::to_string(i);
        values += i <= fields ? ", $" + std::to_string(next++) : std::string(", ''");
    }
    if (session.rawColumn) {
        columns += ", rawrek";
        values += raw ? ", $" + std::to_string(next++) : std::string(", NULL");
    }
    if (session.keyed) {
        columns += ", record_no";
        values += ", $" + std::to_string(next++);
    }
    std::string sql = "INSERT INTO vendrix_records (" + columns + ") VALUES (" + values + ")";
    if (session.keyed)
        sql += " ON CONFLICT (collector, channel, transfer, record_no, allrek) DO NOTHING";
    return sql;
}
static_assert(PgConnector::MaxInsertParams == 2 + TargetLayout::ColumnCount - 1 + 2, "the insert's parameters");

// One attempt, on the connector's thread: every wait ends by the deadline,
// or at once when the connector stops.
struct PgConnector::Attempt {
    PgConnector &c;
    const TimePoint deadline;
    const QString described;
    PgSession &session; // what the rows need to know, filled in on the way
    PGconn *conn = nullptr;
    TextEncoding encoding = TextEncoding::Utf8;
    bool rawColumn = false;
    bool keyed = false;

    ~Attempt() { Disconnect(); }

    void Disconnect()
    {
        if (conn)
            PQfinish(conn);
        conn = nullptr;
    }

    void Say(const QString &line) const
    {
        LogLine l = c.m_log;
        QMetaObject::invokeMethod(
            c.m_receiver,
            [l, line] {
                if (l)
                    l(line);
            },
            Qt::QueuedConnection);
    }

    bool Stopping() const
    {
        std::lock_guard<std::mutex> lock(c.m_mutex);
        return c.m_stop;
    }

    enum class Wait { Ready, Timeout, Stopped };

    // Waits until fd is ready for events, the deadline passes or the
    // connector stops.
    Wait WaitFor(int fd, short events)
    {
        for (;;) {
            if (Stopping())
                return Wait::Stopped;
            const auto left = std::chrono::duration_cast<Ms>(deadline - SteadyClock::now()).count();
            if (left <= 0)
                return Wait::Timeout;
            pollfd fds[2] = {{c.m_wake, POLLIN, 0}, {fd, events, 0}};
            const int r = ::poll(fds, 2, int(std::min<long long>(left, 60000)));
            if (r < 0 && errno != EINTR)
                return Wait::Stopped;
            if (r <= 0)
                continue;
            if (fds[0].revents) {
                quint64 count;
                while (::read(c.m_wake, &count, sizeof count) > 0) {
                }
            }
            if (fds[1].revents)
                return Wait::Ready;
        }
    }

    // The whole attempt: a connection with the table ready, or why not.
    bool Run(QString *why) { return Connect(why) && PrepareTable(why); }

    bool Connect(QString *why)
    {
        const QString error = PostgresTarget::ConnInfoError(c.m_conninfo);
        if (!error.isEmpty()) {
            *why = error;
            return false;
        }
        const QByteArray info = c.m_conninfo.toUtf8();
        const char *keys[] = {"dbname", "fallback_application_name", "client_encoding", nullptr};
        const char *values[] = {info.constData(), "vendrix", "UTF8", nullptr};
        conn = PQconnectStartParams(keys, values, 1);
        if (!conn) {
            *why = QStringLiteral("out of memory");
            return false;
        }
        PostgresPollingStatusType status = PGRES_POLLING_WRITING;
        while (PQstatus(conn) != CONNECTION_BAD && status != PGRES_POLLING_OK && status != PGRES_POLLING_FAILED) {
            const short events = status == PGRES_POLLING_READING ? POLLIN : POLLOUT;
            const Wait w = WaitFor(PQsocket(conn), events);
            if (w == Wait::Stopped) {
                *why = QStringLiteral("stopped");
                return false;
            }
            if (w == Wait::Timeout) {
                *why = QStringLiteral("the server did not complete the connection in time");
                return false;
            }
            status = PQconnectPoll(conn);
        }
        if (PQstatus(conn) != CONNECTION_OK) {
            *why = QStringLiteral("cannot connect: ") + OneLine(PQerrorMessage(conn));
            return false;
        }
        PQsetnonblocking(conn, 1);
        return SetEncoding(why);
    }

    // Text goes to the server as the database keeps it: a UTF8 database
    // gets UTF-8 (the connection asked for it), WIN1252 and SQL_ASCII the
    // record's bytes untouched. Any other encoding cannot hold every
    // character the terminals send and is refused.
    bool SetEncoding(QString *why)
    {
        const char *status = PQparameterStatus(conn, "server_encoding");
        const QByteArray server = status ? QByteArray(status) : QByteArray("(unknown)");
        encoding = EncodingOf(server);
        if (encoding == TextEncoding::Refused) {
            *why = QStringLiteral(
                       "the database's encoding is %1, which cannot hold every character the terminals send "
                       "(Windows-1252: the euro sign, curly quotes); records are refused, also those of plain "
                       "ASCII. Use a database in UTF8 (or WIN1252): make one with createdb -E UTF8 -T template0, "
                       "copy the table over with pg_dump and psql, and name it in the target")
                       .arg(QString::fromUtf8(server));
            return false;
        }
        if (encoding == TextEncoding::Utf8)
            return true;
        QString error;
        PGresult *r = Exec("SET client_encoding TO 'WIN1252'", &error);
        if (!r) {
            *why = QStringLiteral("cannot set the connection's encoding to WIN1252: ") + error;
            return false;
        }
        PQclear(r);
        return true;
    }

    // Sends one command (or the insert to prepare) and collects its results
    // up to the end. Returns the last result (the caller frees it), or null
    // with *why set; a connection that failed or did not answer in time is
    // given up (conn null).
    PGresult *Exec(const char *sql, QString *why, const char *prepareAs = nullptr)
    {
        const int sent = prepareAs ? PQsendPrepare(conn, prepareAs, sql, 0, nullptr) : PQsendQuery(conn, sql);
        auto lost = [&](const QString &text) -> PGresult * {
            *why = text;
            Disconnect();
            return nullptr;
        };
        if (!sent)
            return lost(QStringLiteral("the connection failed: ") + OneLine(PQerrorMessage(conn)));
        for (;;) {
            const int f = PQflush(conn);
            if (f == 0)
                break;
            if (f < 0)
                return lost(QStringLiteral("the connection failed: ") + OneLine(PQerrorMessage(conn)));
            const Wait w = WaitFor(PQsocket(conn), POLLOUT | POLLIN);
            if (w == Wait::Timeout)
                return lost(QStringLiteral("the server did not take the command in time"));
            if (w == Wait::Stopped)
                return lost(QStringLiteral("stopped"));
            if (!PQconsumeInput(conn))
                return lost(QStringLiteral("the connection failed: ") + OneLine(PQerrorMessage(conn)));
        }
        PGresult *last = nullptr;
        QString error;
        for (;;) {
            while (PQisBusy(conn)) {
                const Wait w = WaitFor(PQsocket(conn), POLLIN);
                if (w != Wait::Ready) {
                    PQclear(last);
                    return lost(w == Wait::Timeout ? QStringLiteral("the server did not answer in time")
                                                   : QStringLiteral("stopped"));
                }
                if (!PQconsumeInput(conn)) {
                    PQclear(last);
                    return lost(QStringLiteral("the connection failed: ") + OneLine(PQerrorMessage(conn)));
                }
            }
            PGresult *r = PQgetResult(conn);
            if (!r)
                break;
            const ExecStatusType st = PQresultStatus(r);
            if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK && error.isEmpty()) {
                // The server's own sentence, without the details.
                const char *primary = PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
                error = primary ? OneLine(primary) : OneLine(PQresultErrorMessage(r));
            }
            PQclear(last);
            last = r;
        }
        if (PQstatus(conn) != CONNECTION_OK) {
            PQclear(last);
            return lost(QStringLiteral("the connection failed: ")
                        + (error.isEmpty() ? OneLine(PQerrorMessage(conn)) : error));
        }
        if (!error.isEmpty() || !last) {
            PQclear(last);
            *why = error.isEmpty() ? QStringLiteral("no result") : error;
            return nullptr;
        }
        return last;
    }

    // The table there (created when missing), writable by this role, and the
    // insert prepared.
    bool PrepareTable(QString *why)
    {
        QString error;
        PGresult *r = Exec(kSessionLimits, &error);
        if (!r) {
            *why = QStringLiteral("cannot set the session's time limits: ") + error;
            return false;
        }
        PQclear(r);
        r = Exec("SELECT to_regclass('vendrix_records') IS NOT NULL", &error);
        if (!r) {
            *why = QStringLiteral("cannot look for table vendrix_records: ") + error;
            return false;
        }
        const bool exists = qstrcmp(PQgetvalue(r, 0, 0), "t") == 0;
        PQclear(r);
        if (!exists) {
            r = Exec(kCreateTable, &error);
            if (!r) {
                *why = QStringLiteral("cannot create table vendrix_records: ") + error;
                return false;
            }
            PQclear(r);
            Say(QStringLiteral("PostgreSQL target %1: table vendrix_records created.").arg(described));
        }
        if (!RawColumn(why))
            return false;
        r = Exec(kCheckRights, &error);
        if (!r) {
            *why = QStringLiteral("cannot check the rights on table vendrix_records: ") + error;
            return false;
        }
        const bool writable = qstrcmp(PQgetvalue(r, 0, 0), "t") == 0;
        const QString role = QString::fromUtf8(PQgetvalue(r, 0, 1));
        PQclear(r);
        if (!writable) {
            *why = QStringLiteral(
                       "role \"%1\" may not write table vendrix_records (it needs INSERT on the "
                       "table and USAGE on its sequences vendrix_records_id_seq and "
                       "vendrix_transfer_seq)")
                       .arg(role);
            return false;
        }
        keyed = HasKey(&error);
        if (!conn) {
            *why = QStringLiteral("cannot look at table vendrix_records: ") + error;
            return false;
        }
        // The session as the rows will use it, and the insert's variant
        // for a row of every field prepared now, so that a table the insert
        // cannot go into shows at the connection.
        session.utf8 = encoding == TextEncoding::Utf8;
        session.rawColumn = rawColumn;
        session.keyed = keyed;
        session.collector = session.utf8 ? c.m_collector : ToWindows1252(QString::fromUtf8(c.m_collector));
        char *literal = PQescapeLiteral(conn, session.collector.constData(), size_t(session.collector.size()));
        if (!literal) {
            *why = QStringLiteral("cannot quote the collector's name: ") + OneLine(PQerrorMessage(conn));
            return false;
        }
        session.collectorLiteral = QByteArray(literal);
        PQfreemem(literal);
        const int variant = InsertVariant(TargetLayout::ColumnCount - 1, rawColumn);
        const std::string insert = InsertStatement(session, c.m_channel, variant);
        r = Exec(insert.c_str(), &error, InsertName(variant));
        if (!r) {
            *why = QStringLiteral("cannot prepare the insert into vendrix_records: ") + error;
            return false;
        }
        PQclear(r);
        session.prepared = quint64(1) << variant;
        return true;
    }

    // Whether the table has the rows' own key, added in place when it is
    // missing. A role that may not alter the table writes rows without it
    // (a resend after a lost commit may then make a second row): logged once
    // with what the table's owner has to run.
    bool HasKey(QString *why)
    {
        auto yes = [&](const char *sql) {
            PGresult *r = Exec(sql, why);
            const bool t = r && qstrcmp(PQgetvalue(r, 0, 0), "t") == 0;
            PQclear(r);
            return t;
        };
        if (yes(kHasKey) || !conn)
            return conn != nullptr;
        PGresult *r = Exec(kAddKey, why);
        if (conn && PQtransactionStatus(conn) != PQTRANS_IDLE)
            PQclear(Exec("ROLLBACK", why));
        if (r) {
            PQclear(r);
            Say(QStringLiteral("PostgreSQL target %1: table vendrix_records upgraded in place: column record_no and "
                               "the unique index vendrix_records_key added, the rows kept.")
                    .arg(described));
            return true;
        }
        if (conn && !c.m_keyWarned) {
            c.m_keyWarned = true;
            Say(QStringLiteral(
                    "PostgreSQL target %1: table vendrix_records has no column record_no and cannot be "
                    "upgraded by this role (%2); rows are written without their own key, so a record "
                    "resent after a lost commit may be stored twice. The table's owner should run: "
                    "ALTER TABLE vendrix_records ADD COLUMN record_no int; CREATE UNIQUE INDEX "
                    "vendrix_records_key ON vendrix_records (collector, channel, transfer, record_no, allrek);")
                    .arg(described, *why));
        }
        return false;
    }

    // Column rawrek (a record's exact bytes when it holds a NUL), added to a
    // table made before it. A role that may not add it keeps writing every
    // other record; those with a NUL are refused, and the log says what to
    // run.
    bool RawColumn(QString *why)
    {
        QString error;
        PGresult *r = Exec(kHasRawColumn, &error);
        if (!r) {
            *why = QStringLiteral("cannot look at the columns of vendrix_records: ") + error;
            return false;
        }
        rawColumn = qstrcmp(PQgetvalue(r, 0, 0), "0") != 0;
        PQclear(r);
        if (rawColumn)
            return true;
        r = Exec(kAddRawColumn, &error);
        if (!r) {
            if (!conn || PQstatus(conn) != CONNECTION_OK) {
                *why = QStringLiteral("cannot add column rawrek to table vendrix_records: ") + error;
                return false;
            }
            if (PQtransactionStatus(conn) != PQTRANS_IDLE)
                PQclear(Exec("ROLLBACK", &error));
            Say(QStringLiteral("PostgreSQL target %1: cannot add column rawrek to table vendrix_records (%2); "
                               "records that hold a NUL byte are refused until its owner runs: ALTER TABLE "
                               "vendrix_records ADD COLUMN rawrek bytea")
                    .arg(described, error));
            return true;
        }
        PQclear(r);
        rawColumn = true;
        Say(QStringLiteral("PostgreSQL target %1: table vendrix_records upgraded, column rawrek added.")
                .arg(described));
        return true;
    }
};

PgConnector::PgConnector(QString conninfo, QByteArray collector, int channel, QObject *receiver, LogLine log,
                         Report report)
    : m_conninfo(std::move(conninfo)), m_collector(std::move(collector)), m_channel(channel), m_receiver(receiver),
      m_log(std::move(log)), m_report(std::move(report))
{
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread([this] { Loop(); });
}

PgConnector::~PgConnector()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    Wake();
    m_thread.join();
    if (m_wake >= 0)
        ::close(m_wake);
}

void PgConnector::Wake() const
{
    const quint64 one = 1;
    if (m_wake >= 0)
        (void)!::write(m_wake, &one, sizeof one);
}

void PgConnector::Start(TimePoint deadline)
{
    if (m_running)
        return;
    m_running = true;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wanted = true;
        m_deadline = deadline;
    }
    Wake();
}

void PgConnector::Loop()
{
    for (;;) {
        TimePoint deadline;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_stop)
                return;
            deadline = m_deadline;
            if (!std::exchange(m_wanted, false)) {
                lock.unlock();
                pollfd p{m_wake, POLLIN, 0};
                while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
                }
                quint64 count;
                while (::read(m_wake, &count, sizeof count) > 0) {
                }
                continue;
            }
        }
        auto session = std::make_shared<PgSession>();
        {
            Attempt attempt{*this, deadline, PostgresTarget::Describe(m_conninfo), *session};
            if (attempt.Run(&session->why))
                session->conn = std::exchange(attempt.conn, nullptr);
        }
        // Delivered after the log lines of the attempt (the same queue); a
        // report that finds the receiver gone frees the session with it.
        QMetaObject::invokeMethod(
            m_receiver,
            [this, session] {
                m_running = false;
                m_report(session);
            },
            Qt::QueuedConnection);
    }
}

} // namespace vx
