#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

namespace vx::test {

// A PostgreSQL server of the test's own: a fresh cluster in a temporary
// folder, listening on a free port on 127.0.0.1 only, stopped and removed at
// the end. Started through initdb and pg_ctl (as the unprivileged user
// "nobody" when the test runs as root, since the server refuses to run as
// root).
//
// The cluster has a superuser "vx_admin" (no password, from 127.0.0.1 only)
// and a role "vx_writer" with the password Password(), owner of the database
// "warehouse"; "vx_reader" (password Password()) may log in but write
// nothing. Every role but vx_admin must give its password.
class PgServer {
public:
    PgServer();
    ~PgServer();
    // One server for the whole test program, started at the first call and
    // stopped at the program's end (check isReady()).
    static PgServer &Shared();
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    // Makes and starts the cluster; false with errorText() (the server's
    // log included) when it cannot.
    bool start();
    bool restartFast(); // pg_ctl restart -m fast
    bool stop();        // pg_ctl stop -m fast
    bool startAgain();  // pg_ctl start after stop()
    bool isReady() const { return m_ready; }
    QString errorText() const { return m_error; }
    int port() const { return m_port; }
    // The folder of the server's programs (psql, pgbench).
    QString binDir() const { return m_bin; }
    QString folder() const { return m_dir ? m_dir->path() : QString(); }

    static QString Password() { return QStringLiteral("Pw7rq-secret"); }
    // "host=127.0.0.1 port=N dbname=db user=user" (+ password when given).
    QString connInfo(const QString &user = QStringLiteral("vx_writer"),
                     const QString &database = QStringLiteral("warehouse"), const QString &password = Password()) const;
    QString adminConnInfo(const QString &database = QStringLiteral("warehouse")) const;

    // Runs SQL as vx_admin on the database; the rows, one per line, the
    // columns separated by "|". Empty with *error set on failure.
    QStringList query(const QString &sql, QString *error = nullptr,
                      const QString &database = QStringLiteral("warehouse")) const;
    // The same through the psql program, as a reader outside the program
    // would see the table (unaligned, "|" between the columns).
    QStringList psql(const QString &sql, QString *error = nullptr,
                     const QString &database = QStringLiteral("warehouse")) const;
    // A single value (first column of the first row).
    QString value(const QString &sql, const QString &database = QStringLiteral("warehouse")) const;

private:
    // Starts one of the server's programs, as the server's user.
    void startTool(QProcess &process, const QString &tool, const QStringList &args) const;
    bool runCtl(const QStringList &args, int timeoutMs);
    QString serverLog() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_bin;
    QString m_data;
    int m_port = 0;
    bool m_ready = false;
    bool m_asNobody = false;
    QString m_error;
};

} // namespace vx::test
