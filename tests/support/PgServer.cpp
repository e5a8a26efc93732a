#include "PgServer.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <libpq-fe.h>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace vx::test {

namespace {

QString FindBin()
{
    QProcess config;
    config.start(QStringLiteral("pg_config"), {QStringLiteral("--bindir")});
    if (config.waitForFinished(10000) && config.exitCode() == 0) {
        const QString dir = QString::fromLocal8Bit(config.readAllStandardOutput()).trimmed();
        if (QFile::exists(dir + QStringLiteral("/initdb")))
            return dir;
    }
    // The server's programs live in a folder per version.
    QDir versions(QStringLiteral("/usr/lib/postgresql"));
    QStringList found = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    std::sort(found.begin(), found.end(), [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
    for (const QString &v : found) {
        const QString dir = versions.filePath(v) + QStringLiteral("/bin");
        if (QFile::exists(dir + QStringLiteral("/initdb")))
            return dir;
    }
    return {};
}

int FreePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QString Quoted(const QString &value)
{
    QString v = value;
    v.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + v + QLatin1Char('\'');
}

} // namespace

PgServer::PgServer() = default;

PgServer &PgServer::Shared()
{
    static PgServer server;
    static const bool started = server.start();
    (void)started;
    return server;
}

PgServer::~PgServer()
{
    // Plain system calls: this may run at the program's exit, after the Qt
    // application is gone. SIGQUIT is the server's immediate shutdown.
    if (m_data.isEmpty())
        return;
    const std::string pidFile = (m_data + QStringLiteral("/postmaster.pid")).toStdString();
    FILE *f = std::fopen(pidFile.c_str(), "r");
    if (!f)
        return;
    long pid = 0;
    const bool read = std::fscanf(f, "%ld", &pid) == 1;
    std::fclose(f);
    if (!read || pid <= 0)
        return;
    ::kill(pid_t(pid), SIGQUIT);
    for (int i = 0; i < 200 && ::kill(pid_t(pid), 0) == 0; ++i)
        ::usleep(50000);
    if (::kill(pid_t(pid), 0) == 0)
        ::kill(pid_t(pid), SIGKILL);
}

QString PgServer::serverLog() const
{
    QFile log(folder() + QStringLiteral("/server.log"));
    if (!log.open(QIODevice::ReadOnly))
        return QStringLiteral("(no server log)");
    return QString::fromLocal8Bit(log.readAll().right(4000));
}

void PgServer::startTool(QProcess &process, const QString &tool, const QStringList &args) const
{
    process.setWorkingDirectory(folder());
    const QString program = m_bin + QLatin1Char('/') + tool;
    if (m_asNobody)
        process.start(QStringLiteral("runuser"),
                      QStringList{QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--"), program}
                          + args);
    else
        process.start(program, args);
}

bool PgServer::runCtl(const QStringList &args, int timeoutMs)
{
    QStringList all = {QStringLiteral("-D"),
                       m_data,
                       QStringLiteral("-l"),
                       folder() + QStringLiteral("/server.log"),
                       QStringLiteral("-w"),
                       QStringLiteral("-t"),
                       QString::number(timeoutMs / 1000)};
    all = args + all;
    QProcess ctl;
    startTool(ctl, QStringLiteral("pg_ctl"), all);
    // Waits on the event loop, so the test's own objects (simulated
    // terminals) go on meanwhile.
    if (ctl.state() != QProcess::NotRunning) {
        QEventLoop loop;
        QObject::connect(&ctl, &QProcess::finished, &loop, &QEventLoop::quit);
        QObject::connect(&ctl, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
        QTimer::singleShot(timeoutMs + 10000, &loop, &QEventLoop::quit);
        if (ctl.state() != QProcess::NotRunning)
            loop.exec();
    }
    if (ctl.state() != QProcess::NotRunning || ctl.exitStatus() != QProcess::NormalExit || ctl.exitCode() != 0) {
        m_error = QStringLiteral("pg_ctl %1 failed: %2%3\n%4")
                      .arg(args.join(QLatin1Char(' ')), QString::fromLocal8Bit(ctl.readAllStandardOutput()),
                           QString::fromLocal8Bit(ctl.readAllStandardError()), serverLog());
        return false;
    }
    return true;
}

bool PgServer::start()
{
    // Run as root, the server's user must be able to reach its folder: one
    // right under /tmp, whatever TMPDIR says.
    m_dir = ::geteuid() == 0 ? std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/vx-pgserver-XXXXXX"))
                             : std::make_unique<QTemporaryDir>();
    if (!m_dir->isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    m_bin = FindBin();
    if (m_bin.isEmpty()) {
        m_error = QStringLiteral("the PostgreSQL server programs (initdb, pg_ctl) are not installed");
        return false;
    }
    m_data = folder() + QStringLiteral("/data");
    uid_t uid = 0;
    gid_t gid = 0;
    m_asNobody = ::geteuid() == 0;
    if (m_asNobody) {
        const passwd *pw = ::getpwnam("nobody");
        if (!pw) {
            m_error = QStringLiteral("running as root, and there is no user \"nobody\" to run the server as");
            return false;
        }
        uid = pw->pw_uid;
        gid = pw->pw_gid;
        if (::chown(QFile::encodeName(folder()).constData(), uid, gid) != 0) {
            m_error = QStringLiteral("cannot hand %1 to nobody").arg(folder());
            return false;
        }
    }

    QStringList init = {QStringLiteral("-D"),          m_data,
                        QStringLiteral("-U"),          QStringLiteral("vx_admin"),
                        QStringLiteral("-A"),          QStringLiteral("trust"),
                        QStringLiteral("-E"),          QStringLiteral("UTF8"),
                        QStringLiteral("--no-locale"), QStringLiteral("--no-sync")};
    QProcess initdb;
    startTool(initdb, QStringLiteral("initdb"), init);
    if (!initdb.waitForFinished(120000) || initdb.exitCode() != 0) {
        m_error = QStringLiteral("initdb failed: %1%2")
                      .arg(QString::fromLocal8Bit(initdb.readAllStandardOutput()),
                           QString::fromLocal8Bit(initdb.readAllStandardError()));
        return false;
    }

    // Only 127.0.0.1; passwords for every role but the test's superuser.
    const QString hba = m_data + QStringLiteral("/pg_hba.conf");
    QFile hbaFile(hba);
    if (!hbaFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_error = QStringLiteral("cannot write %1").arg(hba);
        return false;
    }
    hbaFile.write(
        "local all all trust\n"
        "host all vx_admin 127.0.0.1/32 trust\n"
        "host all all 127.0.0.1/32 scram-sha-256\n");
    hbaFile.close();
    if (m_asNobody && ::chown(QFile::encodeName(hba).constData(), uid, gid) != 0) {
        m_error = QStringLiteral("cannot hand %1 to nobody").arg(hba);
        return false;
    }

    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = FreePort();
        // What the test needs, small and quick; the server's durability is
        // not what the tests look at.
        QFile conf(m_data + QStringLiteral("/postgresql.auto.conf"));
        if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            m_error = QStringLiteral("cannot write the server settings");
            return false;
        }
        conf.write(QStringLiteral("listen_addresses = '127.0.0.1'\n"
                                  "port = %1\n"
                                  "unix_socket_directories = %2\n"
                                  "fsync = off\n"
                                  "full_page_writes = off\n"
                                  "shared_buffers = 16MB\n"
                                  "max_connections = 60\n"
                                  "password_encryption = 'scram-sha-256'\n")
                       .arg(m_port)
                       .arg(Quoted(folder()))
                       .toUtf8());
        conf.close();
        if (m_asNobody)
            (void)!::chown(QFile::encodeName(conf.fileName()).constData(), uid, gid);
        if (runCtl({QStringLiteral("start")}, 60000))
            break;
        if (!m_error.contains(QLatin1String("could not bind")) && !m_error.contains(QLatin1String("in use")))
            return false;
        QThread::msleep(200);
    }
    if (!QFile::exists(m_data + QStringLiteral("/postmaster.pid")))
        return false;

    QString error;
    query(QStringLiteral("CREATE ROLE vx_writer LOGIN PASSWORD %1").arg(Quoted(Password())), &error,
          QStringLiteral("postgres"));
    if (error.isEmpty())
        query(QStringLiteral("CREATE ROLE vx_reader LOGIN PASSWORD %1").arg(Quoted(Password())), &error,
              QStringLiteral("postgres"));
    if (error.isEmpty())
        query(QStringLiteral("CREATE DATABASE warehouse OWNER vx_writer"), &error, QStringLiteral("postgres"));
    if (!error.isEmpty()) {
        m_error = QStringLiteral("cannot set up the roles: ") + error;
        return false;
    }
    // A test program killed outright (a time-out) leaves no server behind:
    // a watcher stops it once the program is gone.
    const QString pidFile = m_data + QStringLiteral("/postmaster.pid");
    QProcess::startDetached(
        QStringLiteral("sh"),
        {QStringLiteral("-c"), QStringLiteral("while kill -0 %1 2>/dev/null; do sleep 2; done; "
                                              "[ -f '%2' ] && kill -QUIT \"$(head -n 1 '%2')\" 2>/dev/null && sleep 3; "
                                              "rm -rf '%3'")
                                   .arg(::getpid())
                                   .arg(pidFile, folder())});
    m_ready = true;
    return true;
}

bool PgServer::restartFast()
{
    return runCtl({QStringLiteral("restart"), QStringLiteral("-m"), QStringLiteral("fast")}, 60000);
}

bool PgServer::stop()
{
    return runCtl({QStringLiteral("stop"), QStringLiteral("-m"), QStringLiteral("fast")}, 60000);
}

bool PgServer::startAgain()
{
    return runCtl({QStringLiteral("start")}, 60000);
}

QString PgServer::connInfo(const QString &user, const QString &database, const QString &password) const
{
    QString info = QStringLiteral("host=127.0.0.1 port=%1 dbname=%2 user=%3").arg(m_port).arg(database, user);
    if (!password.isEmpty())
        info += QStringLiteral(" password=") + Quoted(password);
    return info;
}

QString PgServer::adminConnInfo(const QString &database) const
{
    return QStringLiteral("host=127.0.0.1 port=%1 dbname=%2 user=vx_admin connect_timeout=10")
        .arg(m_port)
        .arg(database);
}

QStringList PgServer::query(const QString &sql, QString *error, const QString &database) const
{
    QStringList rows;
    PGconn *conn = PQconnectdb(adminConnInfo(database).toUtf8().constData());
    if (PQstatus(conn) != CONNECTION_OK) {
        if (error)
            *error = QString::fromUtf8(PQerrorMessage(conn));
        PQfinish(conn);
        return rows;
    }
    PGresult *r = PQexec(conn, sql.toUtf8().constData());
    const ExecStatusType st = PQresultStatus(r);
    if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) {
        if (error)
            *error = QString::fromUtf8(PQresultErrorMessage(r));
    } else {
        for (int i = 0; i < PQntuples(r); ++i) {
            QStringList cols;
            for (int j = 0; j < PQnfields(r); ++j)
                cols << QString::fromUtf8(PQgetvalue(r, i, j));
            rows << cols.join(QLatin1Char('|'));
        }
    }
    PQclear(r);
    PQfinish(conn);
    return rows;
}

QStringList PgServer::psql(const QString &sql, QString *error, const QString &database) const
{
    QProcess p;
    p.start(m_bin + QStringLiteral("/psql"),
            {QStringLiteral("-X"), QStringLiteral("-A"), QStringLiteral("-t"), QStringLiteral("-v"),
             QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-d"), adminConnInfo(database), QStringLiteral("-c"),
             sql});
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("psql failed: ") + QString::fromLocal8Bit(p.readAllStandardError());
        return {};
    }
    QStringList rows = QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'));
    if (!rows.isEmpty() && rows.last().isEmpty())
        rows.removeLast();
    return rows;
}

QString PgServer::value(const QString &sql, const QString &database) const
{
    const QStringList rows = query(sql, nullptr, database);
    return rows.isEmpty() ? QString() : rows.first().section(QLatin1Char('|'), 0, 0);
}

} // namespace vx::test
