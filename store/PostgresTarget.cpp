#include "store/PostgresTarget.h"
#include "store/RecordText.h"

#include <QObject>
#include <QRegularExpression>
#include <QStringList>

#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vx {

namespace {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;
using Ms = std::chrono::milliseconds;

const char *const kTable = "vendrix_records";

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

const char *const kInsertName = "vx_insert";
// The insert: the row's columns, rawrek when the table has it, and the
// row's own key when the table has it (the record's number in its transfer
// and its text): a record resent after a commit whose outcome could not be
// known (the connection lost during it) finds its row there and makes no
// second one, while another record sent in its place is stored.
std::string InsertStatement(bool raw, bool keyed)
{
    std::string columns = "collector, channel, transfer, allrek";
    for (int i = 1; i <= TargetLayout::ColumnCount - 1; ++i)
        columns += ", field" + std::to_string(i);
    int count = 3 + TargetLayout::ColumnCount;
    if (raw) {
        columns += ", rawrek";
        ++count;
    }
    if (keyed) {
        columns += ", record_no";
        ++count;
    }
    std::string values;
    for (int i = 1; i <= count; ++i)
        values += (i > 1 ? ", $" : "$") + std::to_string(i);
    std::string sql = "INSERT INTO vendrix_records (" + columns + ") VALUES (" + values + ")";
    if (keyed)
        sql += " ON CONFLICT (collector, channel, transfer, record_no, allrek) DO NOTHING";
    return sql;
}
// The most parameters an insert has: the columns, rawrek and record_no.
constexpr int kInsertParams = 3 + TargetLayout::ColumnCount + 2;

bool LooksLikeConnInfo(const QString &text)
{
    return text.contains(QLatin1Char('=')) || text.startsWith(QLatin1String("postgresql://"))
           || text.startsWith(QLatin1String("postgres://"));
}

// libpq's messages, on one line.
QString OneLine(const char *message)
{
    QString text = QString::fromUtf8(message).trimmed();
    text.replace(QRegularExpression(QStringLiteral("\\s*\\n\\s*")), QStringLiteral(" "));
    return text;
}

} // namespace

QString PostgresTarget::ConnInfoError(const QString &conninfo)
{
    if (!LooksLikeConnInfo(conninfo))
        return {};
    char *error = nullptr;
    PQconninfoOption *options = PQconninfoParse(conninfo.toUtf8().constData(), &error);
    if (options) {
        PQconninfoFree(options);
        return {};
    }
    // libpq quotes the part it could not read, which may be a password:
    // the quoted parts are left out.
    QString text = error ? OneLine(error) : QStringLiteral("out of memory");
    PQfreemem(error);
    text.replace(QRegularExpression(QStringLiteral("\"[^\"]*\"")), QStringLiteral("(...)"));
    return QStringLiteral("the connection string in Name cannot be read: ") + text;
}

QString PostgresTarget::Reach(const QString &conninfo, int timeoutSeconds)
{
    const QString error = ConnInfoError(conninfo);
    if (!error.isEmpty())
        return error;
    const QByteArray info = conninfo.toUtf8();
    const QByteArray timeout = QByteArray::number(std::max(1, timeoutSeconds));
    const char *keys[] = {"dbname", "fallback_application_name", "connect_timeout", nullptr};
    const char *values[] = {info.constData(), "vendrix", timeout.constData(), nullptr};
    PGconn *conn = PQconnectdbParams(keys, values, 1);
    QString why;
    if (!conn)
        why = QStringLiteral("out of memory");
    else if (PQstatus(conn) != CONNECTION_OK)
        why = OneLine(PQerrorMessage(conn));
    PQfinish(conn);
    return why;
}

QString PostgresTarget::Describe(const QString &conninfo)
{
    if (!LooksLikeConnInfo(conninfo))
        return QStringLiteral("dbname=%1").arg(conninfo);
    PQconninfoOption *options = PQconninfoParse(conninfo.toUtf8().constData(), nullptr);
    if (!options)
        return QStringLiteral("(unreadable connection string)");
    QStringList parts;
    for (const char *key : {"service", "host", "hostaddr", "port", "dbname", "user"}) {
        for (PQconninfoOption *o = options; o->keyword; ++o) {
            if (qstrcmp(o->keyword, key) == 0 && o->val && *o->val)
                parts << QStringLiteral("%1=%2").arg(QLatin1String(key), QString::fromUtf8(o->val));
        }
    }
    PQconninfoFree(options);
    return parts.isEmpty() ? QStringLiteral("(libpq defaults)") : parts.join(QLatin1Char(' '));
}

// The thread that talks to the server. Jobs come through a queue; an
// eventfd wakes the thread for a new job or for the stop, also while it
// waits on the server's socket.
struct PostgresTarget::Worker {
    struct Job {
        enum Kind { Prepare, Insert } kind = Prepare;
        TargetRow row;
        quint64 transfer = 0;
        quint64 recordNo = 0; // the record's number in its transfer
        TimePoint deadline;
        Done done;
    };

    Worker(QString info, const QString &collectorName, int channel, QObject *answers, LogLine logLine)
        : conninfo(std::move(info)), collector(collectorName.toUtf8()), channelText(QByteArray::number(channel)),
          receiver(answers), log(std::move(logLine)), described(Describe(conninfo))
    {
        wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread = std::thread([this] { Loop(); });
    }

    ~Worker()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        Wake();
        thread.join();
        Disconnect();
        if (wake >= 0)
            ::close(wake);
    }

    void Push(Job job)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            jobs.push_back(std::move(job));
        }
        Wake();
    }

    // --- Shared with the calling thread -------------------------------------
    const QString conninfo;
    const QByteArray collector;
    const QByteArray channelText;
    QObject *const receiver;
    const LogLine log;
    const QString described;
    std::mutex mutex;
    std::deque<Job> jobs;
    bool stop = false;
    int wake = -1;
    std::thread thread;

    // --- The worker's own ---------------------------------------------------
    PGconn *conn = nullptr;
    bool everConnected = false;
    bool down = false; // an outage is running (logged once)
    quint64 refusedWhileDown = 0;
    bool keyed = false; // the table has the rows' own key
    bool keyWarned = false;
    TimePoint nextAttempt{}; // no connection attempt before this
    int retryMs = FirstRetryMs;
    quint64 transferOf = 0; // the transfer whose number is known
    QByteArray transferNumber;
    TextEncoding encoding = TextEncoding::Utf8; // how the connection takes text
    bool rawColumn = false;                     // the table has column rawrek
    QByteArray collectorText;                   // the collector's name as the connection takes it

    void Wake() const
    {
        const quint64 one = 1;
        if (wake >= 0)
            (void)!::write(wake, &one, sizeof one);
    }

    void Drain() const
    {
        quint64 count;
        while (::read(wake, &count, sizeof count) > 0) {
        }
    }

    bool Stopping()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return stop;
    }

    // Runs on the thread that made the target.
    void Post(std::function<void()> f) const
    {
        QMetaObject::invokeMethod(receiver, std::move(f), Qt::QueuedConnection);
    }
    void Say(const QString &line) const
    {
        LogLine l = log;
        Post([l, line] {
            if (l)
                l(line);
        });
    }

    void Loop()
    {
        for (;;) {
            Job job;
            bool have = false;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stop)
                    return;
                if (!jobs.empty()) {
                    job = std::move(jobs.front());
                    jobs.pop_front();
                    have = true;
                }
            }
            if (have) {
                Process(job);
                continue;
            }
            pollfd p{wake, POLLIN, 0};
            while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
            }
            Drain();
        }
    }

    void Process(Job &job)
    {
        if (job.kind == Job::Prepare) {
            Connected(job.deadline);
            return;
        }
        bool ok = false;
        for (int attempt = 0; attempt < 2; ++attempt) {
            const bool wasConnected = conn != nullptr;
            if (!Connected(job.deadline))
                break;
            bool connectionLost = false;
            QString why;
            ok = InsertRow(job, &connectionLost, &why);
            if (ok)
                break;
            // A connection that the server dropped while it was idle (a
            // restart): one more try at once on a fresh one, as the
            // terminal's own resending would do. The row's key keeps a
            // commit that did happen from being made twice.
            if (attempt == 0 && connectionLost && wasConnected) {
                Disconnect();
                continue;
            }
            // The server refused the statement on a sound connection (a full
            // disk, a lock waited for too long): the connection stays.
            Failed(why, connectionLost);
            break;
        }
        if (ok) {
            Recovered();
        } else {
            // Refused records are counted while the outage lasts; a record
            // refused without an outage (the deadline passed in the queue)
            // starts one.
            if (!down)
                Failed(QStringLiteral("no answer from the server in time"), false);
            ++refusedWhileDown;
        }
        Done done = std::move(job.done);
        Post([done, ok] { done(ok); });
    }

    // --- Waiting ------------------------------------------------------------

    enum class Wait { Ready, Timeout, Stopped };

    // Waits until fd is ready for events, the deadline passes or the target
    // stops; fd -1 waits for the time alone. New jobs do not end the wait
    // (the main loop looks at the queue after every job).
    Wait WaitFor(int fd, short events, TimePoint deadline)
    {
        for (;;) {
            if (Stopping())
                return Wait::Stopped;
            const auto left = std::chrono::duration_cast<Ms>(deadline - SteadyClock::now()).count();
            if (left <= 0)
                return Wait::Timeout;
            pollfd fds[2] = {{wake, POLLIN, 0}, {fd, events, 0}};
            const int count = fd >= 0 ? 2 : 1;
            const int r = ::poll(fds, nfds_t(count), int(std::min<long long>(left, 60000)));
            if (r < 0 && errno != EINTR)
                return Wait::Stopped;
            if (r <= 0)
                continue;
            if (fds[0].revents)
                Drain();
            if (count == 2 && fds[1].revents)
                return Wait::Ready;
        }
    }

    // --- Connection ---------------------------------------------------------

    void Disconnect()
    {
        if (conn)
            PQfinish(conn);
        conn = nullptr;
    }

    // Something failed: with disconnect, the connection is given up and the
    // next attempt waits (one a second at first, then longer). The first
    // failure of an outage is logged with the server's reason; the later
    // ones only count.
    void Failed(const QString &why, bool disconnect = true)
    {
        if (disconnect) {
            Disconnect();
            nextAttempt = SteadyClock::now() + Ms(retryMs);
            retryMs = std::min(retryMs * 2, MaxRetryMs);
        }
        if (!down) {
            down = true;
            refusedWhileDown = 0;
            QString reason = why;
            while (reason.endsWith(QLatin1Char('.')))
                reason.chop(1);
            Say(QStringLiteral("PostgreSQL target %1: %2. Records are refused (NAK) until the table can be "
                               "written again; the target keeps trying.")
                    .arg(described, reason));
        }
    }

    // A connection with the table ready.
    void ConnectionMade()
    {
        retryMs = FirstRetryMs;
        if (!everConnected && !down)
            Say(QStringLiteral("PostgreSQL target %1 connected; records go to table %2.")
                    .arg(described, QLatin1String(kTable)));
        everConnected = true;
    }

    // A row was committed: an outage is over only now.
    void Recovered()
    {
        if (!down)
            return;
        down = false;
        Say(QStringLiteral("PostgreSQL target %1 can be written again: collection goes on (%2 refused "
                           "meanwhile).")
                .arg(described)
                .arg(refusedWhileDown == 1 ? QStringLiteral("1 record")
                                           : QStringLiteral("%1 records").arg(refusedWhileDown)));
        refusedWhileDown = 0;
    }

    // A connection with the table ready, made when there is none (at the
    // paced rate during an outage). False when there is none by the
    // deadline.
    bool Connected(TimePoint deadline)
    {
        if (conn && PQstatus(conn) == CONNECTION_OK)
            return true;
        Disconnect();
        if (SteadyClock::now() < nextAttempt) {
            if (WaitFor(-1, 0, std::min(nextAttempt, deadline)) == Wait::Stopped)
                return false;
            if (SteadyClock::now() < nextAttempt)
                return false;
        }
        // An attempt ends with the record's time: its answer is never late.
        QString why;
        if (!Connect(deadline, &why) || !PrepareTable(deadline, &why)) {
            Failed(why);
            return false;
        }
        ConnectionMade();
        return true;
    }

    bool Connect(TimePoint deadline, QString *why)
    {
        const QString error = ConnInfoError(conninfo);
        if (!error.isEmpty()) {
            *why = error;
            return false;
        }
        const QByteArray info = conninfo.toUtf8();
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
            const Wait w = WaitFor(PQsocket(conn), events, deadline);
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
        return SetEncoding(deadline, why);
    }

    // Text goes to the server as the database keeps it: a UTF8 database
    // gets UTF-8 (the connection asked for it), WIN1252 and SQL_ASCII the
    // record's bytes untouched. Any other encoding cannot hold every
    // character the terminals send and is refused.
    bool SetEncoding(TimePoint deadline, QString *why)
    {
        const char *status = PQparameterStatus(conn, "server_encoding");
        const QByteArray server = status ? QByteArray(status) : QByteArray("(unknown)");
        encoding = EncodingOf(server);
        collectorText = encoding == TextEncoding::Bytes ? ToWindows1252(QString::fromUtf8(collector)) : collector;
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
        PGresult *r = Exec("SET client_encoding TO 'WIN1252'", deadline, &error);
        if (!r) {
            *why = QStringLiteral("cannot set the connection's encoding to WIN1252: ") + error;
            return false;
        }
        PQclear(r);
        return true;
    }

    // Sends one command (text, or a prepared statement with parameters) and
    // collects its results up to the end. Returns the last result (the
    // caller frees it), or null with *why set.
    PGresult *Exec(const char *sql, TimePoint deadline, QString *why, bool *connectionLost = nullptr,
                   const char *const *params = nullptr, int paramCount = 0, bool prepare = false)
    {
        int sent;
        if (prepare)
            sent = PQsendPrepare(conn, kInsertName, sql, 0, nullptr);
        else if (params)
            sent = PQsendQueryPrepared(conn, kInsertName, paramCount, params, nullptr, nullptr, 0);
        else
            sent = PQsendQuery(conn, sql);
        auto lost = [&](const QString &text) -> PGresult * {
            *why = text;
            if (connectionLost)
                *connectionLost = true;
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
            const Wait w = WaitFor(PQsocket(conn), POLLOUT | POLLIN, deadline);
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
                const Wait w = WaitFor(PQsocket(conn), POLLIN, deadline);
                if (w != Wait::Ready) {
                    PQclear(last);
                    // The command may still complete on the server; the
                    // connection is given up, so its outcome can never be
                    // taken for the next command's.
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
                // The server's own sentence, without the details (which may
                // repeat the whole row).
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
    bool PrepareTable(TimePoint deadline, QString *why)
    {
        QString error;
        PGresult *r = Exec(kSessionLimits, deadline, &error);
        if (!r) {
            *why = QStringLiteral("cannot set the session's time limits: ") + error;
            return false;
        }
        PQclear(r);
        r = Exec("SELECT to_regclass('vendrix_records') IS NOT NULL", deadline, &error);
        if (!r) {
            *why = QStringLiteral("cannot look for table vendrix_records: ") + error;
            return false;
        }
        const bool exists = qstrcmp(PQgetvalue(r, 0, 0), "t") == 0;
        PQclear(r);
        if (!exists) {
            r = Exec(kCreateTable, deadline, &error);
            if (!r) {
                *why = QStringLiteral("cannot create table vendrix_records: ") + error;
                return false;
            }
            PQclear(r);
            Say(QStringLiteral("PostgreSQL target %1: table vendrix_records created.").arg(described));
        }
        if (!RawColumn(deadline, why))
            return false;
        r = Exec(kCheckRights, deadline, &error);
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
        keyed = HasKey(deadline, &error);
        if (!conn) {
            *why = QStringLiteral("cannot look at table vendrix_records: ") + error;
            return false;
        }
        const std::string insert = InsertStatement(rawColumn, keyed);
        r = Exec(insert.c_str(), deadline, &error, nullptr, nullptr, 0, true);
        if (!r) {
            *why = QStringLiteral("cannot prepare the insert into vendrix_records: ") + error;
            return false;
        }
        PQclear(r);
        return true;
    }

    // Whether the table has the rows' own key, added in place when it is
    // missing. A role that may not alter the table writes rows without it
    // (a resend after a lost commit may then make a second row): logged once
    // with what the table's owner has to run.
    bool HasKey(TimePoint deadline, QString *why)
    {
        auto yes = [&](const char *sql) {
            PGresult *r = Exec(sql, deadline, why);
            const bool t = r && qstrcmp(PQgetvalue(r, 0, 0), "t") == 0;
            PQclear(r);
            return t;
        };
        if (yes(kHasKey) || !conn)
            return conn != nullptr;
        PGresult *r = Exec(kAddKey, deadline, why);
        if (conn && PQtransactionStatus(conn) != PQTRANS_IDLE)
            PQclear(Exec("ROLLBACK", deadline, why));
        if (r) {
            PQclear(r);
            Say(QStringLiteral("PostgreSQL target %1: table vendrix_records upgraded in place: column record_no and "
                               "the unique index vendrix_records_key added, the rows kept.")
                    .arg(described));
            return true;
        }
        if (conn && !keyWarned) {
            keyWarned = true;
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
    bool RawColumn(TimePoint deadline, QString *why)
    {
        QString error;
        PGresult *r = Exec(kHasRawColumn, deadline, &error);
        if (!r) {
            *why = QStringLiteral("cannot look at the columns of vendrix_records: ") + error;
            return false;
        }
        rawColumn = qstrcmp(PQgetvalue(r, 0, 0), "0") != 0;
        PQclear(r);
        if (rawColumn)
            return true;
        r = Exec(kAddRawColumn, deadline, &error);
        if (!r) {
            if (!conn || PQstatus(conn) != CONNECTION_OK) {
                *why = QStringLiteral("cannot add column rawrek to table vendrix_records: ") + error;
                return false;
            }
            if (PQtransactionStatus(conn) != PQTRANS_IDLE)
                PQclear(Exec("ROLLBACK", deadline, &error));
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

    // --- Rows ---------------------------------------------------------------

    bool InsertRow(const Job &job, bool *connectionLost, QString *why)
    {
        QString error;
        if (transferOf != job.transfer || transferNumber.isEmpty()) {
            PGresult *r = Exec("SELECT nextval('vendrix_transfer_seq')", job.deadline, &error, connectionLost);
            if (!r) {
                *why = QStringLiteral("cannot take a transfer number: ") + error;
                return false;
            }
            transferNumber = QByteArray(PQgetvalue(r, 0, 0));
            transferOf = job.transfer;
            PQclear(r);
        }
        // A text column cannot hold a NUL byte: it is left out of the text,
        // and rawrek keeps AllRek's exact bytes (NULL for every other
        // record, whose text is exact).
        const bool nul = job.row[0].contains('\0');
        if (nul && !rawColumn) {
            *why = QStringLiteral(
                "the record holds a NUL byte, and table vendrix_records has no column rawrek to "
                "keep it");
            return false;
        }
        std::array<QByteArray, TargetLayout::ColumnCount> text;
        const char *params[kInsertParams];
        int count = 3 + TargetLayout::ColumnCount;
        params[0] = collectorText.constData();
        params[1] = channelText.constData();
        params[2] = transferNumber.constData();
        for (int i = 0; i < TargetLayout::ColumnCount; ++i) {
            const QByteArray &value = job.row[size_t(i)];
            QByteArray &t = text[size_t(i)];
            t = encoding == TextEncoding::Utf8 ? Windows1252ToUtf8(value) : value;
            if (nul)
                t.replace('\0', QByteArrayView());
            params[3 + i] = t.constData();
        }
        QByteArray raw;
        if (nul)
            raw = "\\x" + job.row[0].toHex();
        if (rawColumn)
            params[count++] = nul ? raw.constData() : nullptr;
        const QByteArray recordNo = QByteArray::number(job.recordNo);
        if (keyed)
            params[count++] = recordNo.constData();
        PGresult *r = Exec(nullptr, job.deadline, &error, connectionLost, params, count);
        if (!r) {
            *why = QStringLiteral("a record could not be inserted: ") + error;
            return false;
        }
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
        return ok;
    }
};

PostgresTarget::PostgresTarget(const TargetContext &context, const QString &collector)
    : RecordTarget(context), m_conninfo(context.db.Name), m_collector(collector),
      m_receiver(std::make_unique<QObject>()),
      m_worker(std::make_unique<Worker>(
          m_conninfo, collector, context.channel, m_receiver.get(),
          [&host = context.host, n = context.channel](const QString &line) { host.Log(n, line); }))
{
    FixName();
    const StoreSettings &db = context.db;
    if (db.Policy == QLatin1String("OverWrite") || db.Policy == QLatin1String("NewFile")
        || db.AlwaysOverwrite == QLatin1String("1"))
        Log(QStringLiteral("Policy \"%1\"%2 on a PostgreSQL target: records are appended, rows are never "
                           "deleted; column transfer tells the transfers apart.")
                .arg(db.Policy,
                     db.AlwaysOverwrite == QLatin1String("1") ? QStringLiteral(" with AlwaysOverwrite") : QString()));
}

QString PostgresTarget::Describe() const
{
    return QStringLiteral("PostgreSQL target %1").arg(Describe(m_conninfo));
}

bool PostgresTarget::Store(const QByteArray &)
{
    Log(QStringLiteral("Record not stored: a PostgreSQL target answers through StoreRecordLater"));
    return false;
}

PostgresTarget::~PostgresTarget()
{
    // The worker stops (waits on the server are cut short) before the
    // receiver goes, which drops the answers not yet delivered.
    m_worker.reset();
}

void PostgresTarget::Prepare()
{
    Worker::Job job;
    job.kind = Worker::Job::Prepare;
    job.deadline = SteadyClock::now() + Ms(AnswerWithinMs);
    job.done = [](bool) {};
    m_worker->Push(std::move(job));
}

void PostgresTarget::NewTransfer()
{
    ++m_transfer;
    m_record = 1;
}

void PostgresTarget::Insert(const TargetRow &row, Done done)
{
    Worker::Job job;
    job.kind = Worker::Job::Insert;
    job.row = row;
    job.transfer = m_transfer;
    job.recordNo = m_record;
    job.deadline = SteadyClock::now() + Ms(GiveUpMs);
    // The number goes on only when the row is stored: the terminal resends
    // a refused record, which keeps its number (and so its key).
    job.done = [this, transfer = m_transfer, done = std::move(done)](bool stored) {
        if (stored && transfer == m_transfer)
            ++m_record;
        done(stored);
    };
    m_worker->Push(std::move(job));
}

} // namespace vx
