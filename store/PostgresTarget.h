#pragma once

#include "store/TargetLayout.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

class QObject;

namespace vx {

// A "PostgreSQL" target: one row per record in table vendrix_records on a
// database server that many collectors share. The target of one channel
// keeps a connection of its own on a worker thread, so a slow or unreachable
// server never holds up the thread that hands it records (the collector's
// event loop): Insert returns at once and reports later.
//
// An answer always comes within AnswerWithinMs of the call: committed (the
// server confirmed the row's transaction) or refused (not reachable, not
// writable, no answer in time). While the server cannot be reached, records
// are refused at a paced rate, the reason is logged once per outage, and the
// target connects again by itself; collection goes on when the server is
// back.
class PostgresTarget {
public:
    // Longest time from Insert to its answer: well below a terminal's own
    // answer time-out, so a late answer is never taken for the next line's.
    static constexpr int AnswerWithinMs = 3000;
    // Pacing of the connection attempts during an outage.
    static constexpr int FirstRetryMs = 250;
    static constexpr int MaxRetryMs = 2000;

    using Done = std::function<void(bool committed)>;
    using Log = std::function<void(const QString &line)>;

    // conninfo: a libpq connection string ("host=db dbname=warehouse"), a
    // URI ("postgresql://vendrix@db/warehouse") or a database name.
    // collector and channel fill the rows' columns. log receives the lines
    // for the channel log, on the thread that made the target.
    PostgresTarget(const QString &conninfo, const QString &collector, int channel, Log log);
    ~PostgresTarget();
    PostgresTarget(const PostgresTarget &) = delete;
    PostgresTarget &operator=(const PostgresTarget &) = delete;

    QString ConnInfo() const { return m_conninfo; }
    QString Collector() const { return m_collector; }

    // Connects and creates the table when it is missing, in the background;
    // what goes wrong is logged.
    void Prepare();
    // The next record starts a new transfer (and gets a new transfer number).
    void NewTransfer();
    // Inserts one row; done runs on the thread that made the target, in the
    // order of the calls.
    void Insert(const TargetRow &row, Done done);

    // The connection string fit for a log: host, port, database and user,
    // never a password. An unreadable string gives a text saying so.
    static QString Describe(const QString &conninfo);
    // Why conninfo cannot be used (empty when it can), without repeating any
    // part of it.
    static QString ConnInfoError(const QString &conninfo);

private:
    struct Worker;
    QString m_conninfo;
    QString m_collector;
    quint64 m_transfer = 1;
    std::unique_ptr<QObject> m_receiver;
    std::unique_ptr<Worker> m_worker;
};

} // namespace vx
