#include "store/PostgresTarget.h"
#include "store/RecordText.h"

#include "store/PgConnector.h"

#include <QObject>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <deque>
#include <memory>

namespace vx {

namespace {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;
using Ms = std::chrono::milliseconds;

const char *const kTable = "vendrix_records";

bool IsAscii(const QByteArray &bytes)
{
    for (const char c : bytes)
        if (static_cast<unsigned char>(c) > 127)
            return false;
    return true;
}

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

// The rows of one target, written from the thread that made it (the
// collector's event loop) with libpq's asynchronous calls: a record's insert
// is sent and the event loop goes on; its answer is given when the server's
// result arrives on the connection's socket, or when the server has taken
// too long. The insert runs in autocommit, so its result comes after the
// row's commit. Connections are made, and the table readied, by a
// PgConnector on a thread of its own.
//
// The terminal waits for each answer, so a channel has one record out at a
// time; the queue only holds a record that comes while the last one is
// still being given up.
struct PostgresTarget::Writer {
    struct Job {
        TargetRow row;
        quint64 transfer = 0;
        quint64 recordNo = 0; // the record's number in its transfer
        TimePoint deadline;
        Done done;
        bool retried = false; // tried once more on a fresh connection
    };
    enum class Step { None, TransferNumber, Prepare, Insert };

    // How often deadlines and the pacing of connection attempts are looked
    // at while records wait.
    static constexpr int TickMs = 100;
    // A record that waits for a connection attempt is refused this long
    // after its deadline at the latest: the attempt ends by the deadline
    // and says why first.
    static constexpr int AttemptGraceMs = 300;

    Writer(const QString &conninfo, const QString &collectorName, int channelNumber, LogLine logLine)
        : channel(channelNumber), log(std::move(logLine)), described(Describe(conninfo)),
          receiver(std::make_unique<QObject>())
    {
        connector = std::make_unique<PgConnector>(conninfo, collectorName.toUtf8(), channel, receiver.get(), log,
                                                  [this](std::shared_ptr<PgSession> s) { Connected(std::move(s)); });
        tick.setInterval(TickMs);
        QObject::connect(&tick, &QTimer::timeout, receiver.get(), [this] { Tick(); });
    }

    ~Writer()
    {
        // An attempt is cut short, and its report dropped with the
        // receiver; answers not given yet are dropped too.
        connector.reset();
        tick.stop();
        Disconnect();
        receiver.reset();
    }

    const int channel;
    const LogLine log;
    const QString described;
    // The target's transfer and the number of its next record.
    const quint64 *transferNow = nullptr;
    quint64 *nextRecord = nullptr;
    std::unique_ptr<QObject> receiver;
    std::unique_ptr<PgConnector> connector;
    QTimer tick;

    std::shared_ptr<PgSession> session; // the connection, when there is one
    PGconn *conn = nullptr;             // session's
    bool sessionUsed = false;           // a command has been answered on it
    std::unique_ptr<QSocketNotifier> readable;
    std::unique_ptr<QSocketNotifier> writable;

    std::deque<Job> jobs;
    Step step = Step::None; // what the server is working on for jobs.front()
    QString stepError;      // the server's first error of the step
    QByteArray stepValue;   // the first value it returned
    bool stepOk = false;    // the last result said the command was done
    int inInsert = 0;       // Insert is on the stack: answers wait for the event loop
    int preparing = 0;      // the insert's variant being prepared
    // A row's values that are not sent as they are (UTF-8 for the
    // database, NUL left out), kept from one row to the next.
    std::array<QByteArray, TargetLayout::ColumnCount> text;

    quint64 transferOf = 0; // the transfer whose number is known
    QByteArray transferNumber;

    bool everConnected = false;
    bool down = false; // an outage is running (logged once)
    quint64 refusedWhileDown = 0;
    TimePoint nextAttempt{}; // no connection attempt before this
    int retryMs = FirstRetryMs;

    void Say(const QString &line) const
    {
        if (log)
            log(line);
    }

    // --- Records ------------------------------------------------------------

    void Insert(Job job)
    {
        jobs.push_back(std::move(job));
        if (!tick.isActive())
            tick.start();
        ++inInsert;
        Pump();
        --inInsert;
    }

    // Takes the records as far as they can go now: refused once their time
    // is over, sent when there is a connection, else a connection attempt
    // started (when the pacing allows; the tick looks again).
    void Pump()
    {
        while (step == Step::None && !jobs.empty()) {
            const TimePoint now = SteadyClock::now();
            const Job &job = jobs.front();
            if (now >= job.deadline + Ms(connector->Running() ? AttemptGraceMs : 0)) {
                RefuseFront();
                continue;
            }
            if (!conn) {
                if (!connector->Running() && now >= nextAttempt)
                    connector->Start(job.deadline);
                return;
            }
            Begin();
        }
    }

    // Sends what the first record needs next: its transfer's number (once a
    // transfer), then its row.
    void Begin()
    {
        Job &job = jobs.front();
        stepError.clear();
        stepValue.clear();
        stepOk = false;
        if (transferOf != job.transfer || transferNumber.isEmpty()) {
            step = Step::TransferNumber;
            Sent(PQsendQuery(conn, "SELECT nextval('vendrix_transfer_seq')"));
            return;
        }
        // A text column cannot hold a NUL byte: it is left out of the text,
        // and rawrek keeps AllRek's exact bytes (NULL for every other
        // record, whose text is exact).
        const bool nul = job.row[0].contains('\0');
        if (nul && !session->rawColumn) {
            Failed(QStringLiteral("a record could not be inserted: the record holds a NUL byte, and table "
                                  "vendrix_records has no column rawrek to keep it"),
                   false);
            RefuseFront();
            return;
        }
        // The fields up to the last one that is not empty go as parameters.
        int fields = TargetLayout::ColumnCount - 1;
        while (fields > 0 && job.row[size_t(fields)].isEmpty())
            --fields;
        const int variant = PgConnector::InsertVariant(fields, nul);
        if (!(session->prepared & (quint64(1) << variant))) {
            step = Step::Prepare;
            preparing = variant;
            const std::string sql = PgConnector::InsertStatement(*session, channel, variant);
            Sent(PQsendPrepare(conn, PgConnector::InsertName(variant), sql.c_str(), 0, nullptr));
            return;
        }
        const char *params[PgConnector::MaxInsertParams];
        int count = 0;
        params[count++] = transferNumber.constData();
        for (int i = 0; i <= fields; ++i) {
            const QByteArray &value = job.row[size_t(i)];
            // Plain ASCII goes as it is (no copy); a byte beyond it becomes
            // its character in UTF-8 for a UTF8 database.
            QByteArray &t = text[size_t(i)];
            if (session->utf8 && !IsAscii(value))
                t = Windows1252ToUtf8(value);
            else if (nul)
                t = value;
            else {
                params[count++] = value.constData();
                continue;
            }
            if (nul)
                t.replace('\0', QByteArrayView());
            params[count++] = t.constData();
        }
        QByteArray raw;
        if (nul) {
            raw = "\\x" + job.row[0].toHex();
            params[count++] = raw.constData();
        }
        char recordNo[24];
        if (session->keyed) {
            *std::to_chars(recordNo, recordNo + sizeof recordNo - 1, job.recordNo).ptr = '\0';
            params[count++] = recordNo;
        }
        step = Step::Insert;
        Sent(PQsendQueryPrepared(conn, PgConnector::InsertName(variant), count, params, nullptr, nullptr, 0));
        for (int i = 0; i <= fields; ++i)
            text[size_t(i)].clear();
    }

    void Sent(int ok)
    {
        if (!ok) {
            ConnectionLost(OneLine(PQerrorMessage(conn)));
            return;
        }
        Flush();
    }

    // What libpq could not write at once goes when the socket takes it.
    void Flush()
    {
        if (!conn)
            return;
        const int f = PQflush(conn);
        if (f < 0)
            ConnectionLost(OneLine(PQerrorMessage(conn)));
        else if (writable->isEnabled() != (f == 1))
            writable->setEnabled(f == 1);
    }

    void Readable()
    {
        if (!conn) // a notifier let go of in this turn of the event loop
            return;
        if (!PQconsumeInput(conn)) {
            ConnectionLost(OneLine(PQerrorMessage(conn)));
            return;
        }
        if (step == Step::None) {
            // Nothing was asked: a notice, or the server closing an idle
            // connection (a restart), after which the next record connects
            // afresh.
            while (!PQisBusy(conn)) {
                PGresult *r = PQgetResult(conn);
                if (!r)
                    break;
                PQclear(r);
            }
            if (PQstatus(conn) != CONNECTION_OK)
                Disconnect();
            return;
        }
        while (!PQisBusy(conn)) {
            PGresult *r = PQgetResult(conn);
            if (!r) {
                StepDone();
                return;
            }
            const ExecStatusType st = PQresultStatus(r);
            stepOk = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
            if (!stepOk && stepError.isEmpty()) {
                // The server's own sentence, without the details (which may
                // repeat the whole row).
                const char *primary = PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
                stepError = primary ? OneLine(primary) : OneLine(PQresultErrorMessage(r));
            }
            if (st == PGRES_TUPLES_OK && stepValue.isEmpty() && PQntuples(r) > 0)
                stepValue = QByteArray(PQgetvalue(r, 0, 0));
            PQclear(r);
        }
    }

    // The server has answered the step in full.
    void StepDone()
    {
        if (PQstatus(conn) != CONNECTION_OK) {
            ConnectionLost(stepError.isEmpty() ? OneLine(PQerrorMessage(conn)) : stepError);
            return;
        }
        sessionUsed = true;
        const Step done = std::exchange(step, Step::None);
        const bool ok = stepOk && stepError.isEmpty();
        if (done == Step::Prepare) {
            if (ok) {
                session->prepared |= quint64(1) << preparing;
            } else {
                Failed(QStringLiteral("cannot prepare the insert into vendrix_records: ") + stepError, false);
                RefuseFront();
            }
        } else if (done == Step::TransferNumber) {
            if (ok && !stepValue.isEmpty()) {
                transferNumber = stepValue;
                transferOf = jobs.front().transfer;
            } else {
                Failed(QStringLiteral("cannot take a transfer number: ")
                           + (stepError.isEmpty() ? QStringLiteral("no result") : stepError),
                       false);
                RefuseFront();
            }
        } else if (ok) {
            Recovered();
            Finish(true);
        } else {
            // The server refused the row on a sound connection (a full disk,
            // a lock waited for too long): the connection stays.
            Failed(QStringLiteral("a record could not be inserted: ") + stepError, false);
            RefuseFront();
        }
        Pump();
    }

    // The connection failed. A record whose connection had served before
    // (the server dropped it while idle, a restart) is tried once more at
    // once on a fresh one, as the terminal's own resending would do; the
    // row's key keeps a commit that did happen from being made twice.
    void ConnectionLost(const QString &why)
    {
        const bool working = std::exchange(step, Step::None) != Step::None;
        const bool served = sessionUsed;
        Disconnect();
        if (working) {
            Job &job = jobs.front();
            if (!job.retried && served) {
                job.retried = true;
            } else {
                Failed(QStringLiteral("a record could not be inserted: the connection failed: ") + why);
                RefuseFront();
            }
        }
        Pump();
    }

    // Deadlines and the pacing of connection attempts.
    void Tick()
    {
        if (step != Step::None && SteadyClock::now() >= jobs.front().deadline) {
            // The command may still complete on the server (the server's own
            // time limit should have ended it first); the connection is
            // given up, so its outcome can never be taken for the next
            // command's, and the row's key keeps a resend from making a
            // second row.
            step = Step::None;
            Failed(QStringLiteral("a record could not be inserted: the server did not answer in time"));
            RefuseFront();
        }
        Pump();
        if (jobs.empty() && step == Step::None)
            tick.stop();
    }

    // The first record is answered: at once, or from the event loop when
    // Insert is still on the stack (an answer never comes inside the call
    // that asked for it).
    void Finish(bool stored)
    {
        Job &job = jobs.front();
        // The number goes on only when the row is stored: the terminal
        // resends a refused record, which keeps its number (and so its key).
        if (stored && job.transfer == *transferNow)
            ++*nextRecord;
        Done done = std::move(job.done);
        jobs.pop_front();
        if (inInsert > 0)
            QMetaObject::invokeMethod(
                receiver.get(), [done, stored] { done(stored); }, Qt::QueuedConnection);
        else
            done(stored);
    }

    // Refused records are counted while the outage lasts; a record refused
    // without an outage (its time ran out) starts one.
    void RefuseFront()
    {
        if (!down)
            Failed(QStringLiteral("no answer from the server in time"), false);
        ++refusedWhileDown;
        Finish(false);
    }

    // --- Connection ---------------------------------------------------------

    void Prepare()
    {
        if (!conn && !connector->Running() && SteadyClock::now() >= nextAttempt)
            connector->Start(SteadyClock::now() + Ms(AnswerWithinMs));
    }

    // The connector's attempt is over.
    void Connected(std::shared_ptr<PgSession> made)
    {
        if (!made->conn) {
            Failed(made->why);
            // The record that waited for the attempt is refused at once: the
            // terminal's resend waits for the next attempt.
            if (step == Step::None && !jobs.empty())
                RefuseFront();
            Pump();
            return;
        }
        Disconnect();
        session = std::move(made);
        conn = session->conn;
        sessionUsed = false;
        readable = std::make_unique<QSocketNotifier>(PQsocket(conn), QSocketNotifier::Read);
        QObject::connect(readable.get(), &QSocketNotifier::activated, receiver.get(), [this] { Readable(); });
        writable = std::make_unique<QSocketNotifier>(PQsocket(conn), QSocketNotifier::Write);
        writable->setEnabled(false);
        QObject::connect(writable.get(), &QSocketNotifier::activated, receiver.get(), [this] { Flush(); });
        ConnectionMade();
        Pump();
    }

    void Disconnect()
    {
        // The notifiers may be the ones whose signal runs now: they go from
        // the event loop, after the socket has gone.
        for (std::unique_ptr<QSocketNotifier> *n : {&readable, &writable}) {
            if (*n) {
                (*n)->setEnabled(false);
                n->release()->deleteLater();
            }
        }
        session.reset();
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
};

PostgresTarget::PostgresTarget(const TargetContext &context, const QString &collector)
    : RecordTarget(context), m_conninfo(context.db.Name), m_collector(collector),
      m_writer(std::make_unique<Writer>(
          m_conninfo, collector, context.channel,
          [&host = context.host, n = context.channel](const QString &line) { host.Log(n, line); }))
{
    m_writer->transferNow = &m_transfer;
    m_writer->nextRecord = &m_record;
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

// A connection attempt under way is cut short; answers not given yet are
// dropped.
PostgresTarget::~PostgresTarget() = default;

void PostgresTarget::Prepare()
{
    m_writer->Prepare();
}

void PostgresTarget::NewTransfer()
{
    ++m_transfer;
    m_record = 1;
}

void PostgresTarget::Insert(const TargetRow &row, Done done)
{
    Writer::Job job;
    job.row = row;
    job.transfer = m_transfer;
    job.recordNo = m_record;
    job.deadline = SteadyClock::now() + Ms(GiveUpMs);
    job.done = std::move(done);
    m_writer->Insert(std::move(job));
}

} // namespace vx
