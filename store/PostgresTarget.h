#pragma once

#include "store/RecordTarget.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

namespace vx {

// A "PostgreSQL" target: one row per record in table vendrix_records on a
// database server that many collectors share. The target of one channel
// keeps a connection of its own and talks to the server without waiting on
// it: Insert sends the row and returns, and the answer comes from the event
// loop when the server's result arrives (while the server answers within a
// millisecond, the loop waits that long for it on its socket before it
// blocks, which spares it a turn); connecting and readying the table run on
// a thread of their own. A slow or unreachable server never holds up the
// thread that hands it records (the collector's event loop).
//
// An answer always comes within AnswerWithinMs of the call: committed (the
// server confirmed the row's transaction) or refused (not reachable, not
// writable, no answer in time). While the server cannot be reached, records
// are refused at a paced rate, the reason is logged once per outage, and the
// target connects again by itself; collection goes on when the server is
// back.
//
// A shared server's rows belong to every collector: no write policy deletes
// or moves them; every record is appended, and the column transfer tells the
// transfers apart.
class PostgresTarget : public RecordTarget {
public:
    // Longest time from Insert to its answer: well below a terminal's own
    // answer time-out, so a late answer is never taken for the next line's.
    static constexpr int AnswerWithinMs = 3000;
    // The target gives up on the server this long after Insert (the server
    // itself gives up on a statement sooner), leaving the rest of the answer
    // time for a loaded machine.
    static constexpr int GiveUpMs = 2500;
    // Pacing of the connection attempts during an outage: never more than
    // one a second.
    static constexpr int FirstRetryMs = 1000;
    static constexpr int MaxRetryMs = 4000;

    using LogLine = std::function<void(const QString &line)>;

    // The settings' Name is the connection: a libpq connection string
    // ("host=db dbname=warehouse"), a URI
    // ("postgresql://vendrix@db/warehouse") or a database name. collector
    // and the channel fill the rows' columns. The channel log gets its
    // lines on the thread that made the target.
    PostgresTarget(const TargetContext &context, const QString &collector);
    ~PostgresTarget() override;

    QString Describe() const override;
    Policies UnderPolicies() const override { return Policies::Ignored; }
    bool AnswersLater() const override { return true; }
    // The server's table is made when missing, never deleted: Create only
    // readies the connection and the table, in the background.
    bool Exists() const override { return true; }
    bool HoldsRecords() override { return false; }
    bool MoveToTimeStampedName(const QTime &) override { return true; }
    bool Create() override
    {
        Prepare();
        return true;
    }
    void NewTransfer() override;
    // Records are answered through StoreLater only.
    bool Store(const QByteArray &record) override;
    void StoreLater(const TargetRow &row, Done done) override { Insert(row, std::move(done)); }

    QString ConnInfo() const { return m_conninfo; }
    QString Collector() const { return m_collector; }

    // Connects and creates the table when it is missing, in the background;
    // what goes wrong is logged.
    void Prepare();
    // Inserts one row; done runs on the thread that made the target (never
    // inside this call), in the order of the calls.
    void Insert(const TargetRow &row, Done done);

    // The connection string fit for a log: host, port, database and user,
    // never a password. An unreadable string gives a text saying so.
    static QString Describe(const QString &conninfo);
    // Why conninfo cannot be used (empty when it can), without repeating any
    // part of it.
    static QString ConnInfoError(const QString &conninfo);
    // Connects once and disconnects (at most timeoutSeconds): empty when the
    // server takes the connection, else why not. For checks of the
    // settings, never on the record path.
    static QString Reach(const QString &conninfo, int timeoutSeconds = 5);

private:
    struct Writer;
    QString m_conninfo;
    QString m_collector;
    quint64 m_transfer = 1;
    // The number of the next record in the transfer: with the collector,
    // channel and transfer, the row's key.
    quint64 m_record = 1;
    std::unique_ptr<Writer> m_writer;
};

} // namespace vx
