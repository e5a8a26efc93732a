#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <libpq-fe.h>

class QObject;

namespace vx {

// A PostgreSQL target's connection readied for its rows: the table there
// (made or upgraded when needed), this role allowed to write it, the
// session's time limits and encoding set, the insert prepared. What the
// rows need to know about the table comes with it.
struct PgSession {
    PGconn *conn = nullptr;      // null when the attempt failed
    QString why;                 // why it failed
    bool utf8 = true;            // the connection takes UTF-8 (else the record's bytes)
    bool rawColumn = false;      // the table has column rawrek
    bool keyed = false;          // the table has the rows' own key
    QByteArray collector;        // the collector's name as the connection takes it
    QByteArray collectorLiteral; // the same, quoted as an SQL literal
    quint64 prepared = 0;        // the insert's variants prepared on it (bits)

    PgSession() = default;
    PgSession(const PgSession &) = delete;
    PgSession &operator=(const PgSession &) = delete;
    ~PgSession()
    {
        if (conn)
            PQfinish(conn);
    }
};

// Makes PgSessions on a thread of its own: connecting and readying the
// table take several round trips and may meet a server that never answers,
// which must not hold up the thread that owns the target (the collector's
// event loop). One attempt at a time; each ends by its deadline, and its
// outcome is reported on the owner's thread.
class PgConnector {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using LogLine = std::function<void(const QString &line)>;
    using Report = std::function<void(std::shared_ptr<PgSession> session)>;

    // The insert that the rows run comes in variants, each prepared on a
    // session when first needed: the collector and the channel are written
    // into the statement, and of a row's fields only those up to its last
    // non-empty one are parameters (the rest are the empty text), so the
    // server converts a handful of values per row, not two dozen. The
    // parameters: transfer, AllRek, Field1..Field<fields>, then rawrek
    // when raw, then record_no when the table has the key.
    static constexpr int MaxInsertParams = 2 + 20 + 2;
    static constexpr int InsertVariants = 2 * 21;
    static int InsertVariant(int fields, bool raw) { return fields * 2 + (raw ? 1 : 0); }
    static const char *InsertName(int variant);
    static std::string InsertStatement(const PgSession &session, int channel, int variant);

    // log and report run on receiver's thread (the owner's); a report that
    // comes after receiver is gone is dropped, and its connection closed.
    PgConnector(QString conninfo, QByteArray collector, int channel, QObject *receiver, LogLine log, Report report);
    ~PgConnector(); // cuts an attempt short
    PgConnector(const PgConnector &) = delete;
    PgConnector &operator=(const PgConnector &) = delete;

    // Starts an attempt that ends by deadline; ignored while one runs.
    void Start(TimePoint deadline);
    // An attempt runs (its report has not been delivered yet).
    bool Running() const { return m_running; }

private:
    struct Attempt;
    void Loop();
    void Wake() const;

    const QString m_conninfo;
    const QByteArray m_collector;
    const int m_channel;
    QObject *const m_receiver;
    const LogLine m_log;
    const Report m_report;
    bool m_running = false; // the owner's thread only
    std::mutex m_mutex;
    bool m_stop = false;
    bool m_wanted = false;
    TimePoint m_deadline{};
    int m_wake = -1;
    bool m_keyWarned = false; // the thread's own
    std::thread m_thread;
};

} // namespace vx
